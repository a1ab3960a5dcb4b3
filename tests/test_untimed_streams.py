"""Streams whose packets carry no presentation timestamps (raw elementary
streams, AVI with B-frames): every picture, in display order, any order."""

import subprocess

import numpy as np
import pytest

import mbgauge
from tests.support import videos

SIZE = "128x96"
FRAMES = 90
STRUCTURES = {
    "no-bframes": ["--bframes", "0", "--keyint", "40"],
    "bframes": ["--bframes", "3", "--b-pyramid", "none", "--keyint", "40"],
    "pyramid": ["--bframes", "3", "--b-pyramid", "normal", "--keyint", "40"],
    "open-gop": ["--bframes", "3", "--open-gop", "--keyint", "30"],
    "idr-periods": ["--bframes", "2", "--keyint", "12", "--min-keyint", "12"],
    "interlaced": ["--bframes", "2", "--tff", "--keyint", "40"],
}
CONSTANT_QP = ["--qp", "27", "--ipratio", "1", "--pbratio", "1", "--aq-mode", "0", "--threads", "1"]


def x264_stream(structure: str, suffix: str):
    return videos.x264_video(
        f"untimed-{structure}",
        suffix,
        [*CONSTANT_QP, *STRUCTURES[structure]],
        size=SIZE,
        frames=FRAMES,
    )


def as_avi(structure: str):
    raw = x264_stream(structure, ".264")
    return videos.ffmpeg_video(
        f"untimed-{structure}", ".avi", "-framerate", "25", "-i", str(raw), "-c", "copy"
    )


def declared_rate(path) -> tuple[int, int]:
    rates = (
        subprocess.run(
            [
                "ffprobe",
                "-v",
                "error",
                "-select_streams",
                "v:0",
                "-show_entries",
                "stream=avg_frame_rate,r_frame_rate",
                "-of",
                "csv=p=0",
                str(path),
            ],
            capture_output=True,
            text=True,
            check=True,
        )
        .stdout.strip()
        .split(",")
    )
    for rate in reversed(rates):  # ffprobe prints r_frame_rate first
        num, den = map(int, rate.split("/"))
        if num > 0 and den > 0:
            return num, den
    return 24, 1


def all_frames_in_random_order(path, seed=3):
    session = mbgauge.H264DecoderSession(str(path))
    order = np.random.default_rng(seed).permutation(session.num_frames)
    frames = {}
    for frame in order:
        frame = int(frame)
        frames[frame] = (videos.visible_planes(session, frame), session.get_qpmap(frame))
    return session, [frames[f] for f in range(session.num_frames)]


def assert_matches_ffmpeg(path, frames, expected_qp=None):
    reference = videos.ffmpeg_reference_frames(path, 128, 96)
    assert len(frames) == len(reference) == videos.ffmpeg_frame_count(path)
    for index, ((planes, qp), expected) in enumerate(zip(frames, reference)):
        for plane, (got, want) in enumerate(zip(planes, expected)):
            assert np.array_equal(got, want), f"frame {index} plane {plane}"
        if expected_qp is not None:
            assert (qp == expected_qp).all(), f"frame {index}: QPs {np.unique(qp)}"


@pytest.mark.parametrize("structure", STRUCTURES)
@pytest.mark.parametrize("wrap", ["raw", "avi"])
def test_every_picture_in_display_order(structure, wrap):
    path = x264_stream(structure, ".264") if wrap == "raw" else as_avi(structure)
    session, frames = all_frames_in_random_order(path)
    assert session.num_frames == FRAMES
    assert (session.fps_num, session.fps_den) == declared_rate(path)
    assert_matches_ffmpeg(path, frames, expected_qp=27)


@pytest.mark.parametrize("structure", ["bframes", "open-gop"])
def test_raw_avi_and_mkv_of_one_stream_agree(structure):
    results = [
        all_frames_in_random_order(path, seed)[1]
        for seed, path in enumerate(
            [x264_stream(structure, ".264"), as_avi(structure), x264_stream(structure, ".mkv")]
        )
    ]
    for index in range(FRAMES):
        planes = [result[index][0] for result in results]
        qps = [result[index][1] for result in results]
        for other in range(1, 3):
            assert all(np.array_equal(a, b) for a, b in zip(planes[0], planes[other])), index
            assert np.array_equal(qps[0], qps[other]), index


def test_per_frame_qp_from_qpfile_in_a_raw_stream():
    qps = [20 + (frame * 7) % 23 for frame in range(60)]
    qpfile = "".join(
        f"{frame} {'I' if frame == 0 else 'P' if frame % 4 == 0 else 'B'} {qp}\n"
        for frame, qp in enumerate(qps)
    )
    path = videos.x264_video(
        "untimed-qpfile",
        ".264",
        [
            "--crf",
            "23",
            "--no-mbtree",
            "--aq-mode",
            "0",
            "--bframes",
            "3",
            "--b-adapt",
            "0",
            "--threads",
            "1",
        ],
        size=SIZE,
        frames=60,
        qpfile=qpfile,
    )
    session = mbgauge.H264DecoderSession(str(path))
    for frame in np.random.default_rng(5).permutation(60):
        qp = session.get_qpmap(int(frame))
        assert (qp == qps[frame]).all(), f"frame {frame}: {np.unique(qp)} != {qps[frame]}"


@pytest.mark.parametrize("fraction", [0.33, 0.6, 0.9])
def test_raw_stream_cut_inside_a_picture_serves_every_complete_picture(tmp_path, fraction):
    raw = x264_stream("bframes", ".264").read_bytes()
    cut = tmp_path / "cut.264"
    cut.write_bytes(raw[: int(len(raw) * fraction)])
    session, frames = all_frames_in_random_order(cut)
    reference = videos.ffmpeg_reference_frames(cut, 128, 96)
    assert session.num_frames == len(reference)
    differing = [
        index
        for index, (planes, _) in enumerate(frames)
        if not all(np.array_equal(a, b) for a, b in zip(planes, reference[index]))
    ]
    # Only the picture that was cut may be concealed differently; it is the
    # last in decode order, so within the last few in display order.
    assert len(differing) <= 1 and all(index >= len(reference) - 4 for index in differing)


@pytest.mark.parametrize(
    "codec, suffix",
    [
        ("mpeg2video", ".m2v"),
        ("mpeg4", ".m4v"),
        ("mpeg4", ".avi"),
        # XviD packs a P and a B picture into one packet
        ("libxvid", ".avi"),
    ],
)
def test_other_codecs_without_timestamps(codec, suffix):
    path = videos.ffmpeg_video(
        f"untimed-{codec}",
        suffix,
        "-f",
        "lavfi",
        "-i",
        f"testsrc2=size={SIZE}:rate=25",
        "-frames:v",
        "60",
        "-c:v",
        codec,
        "-bf",
        "2",
        "-g",
        "15",
        "-q:v",
        "5",
    )
    _, frames = all_frames_in_random_order(path)
    assert_matches_ffmpeg(path, frames)


def test_timestamped_inputs_are_untouched_by_display_order_recovery():
    """An MP4 whose B-frames carry timestamps numbers frames by those timestamps."""
    path = videos.lavfi_h264(
        "untimed-control", ".mp4", size=SIZE, frames=40, extra=["-bf", "3", "-g", "20"]
    )
    probe = subprocess.run(
        [
            "ffprobe",
            "-v",
            "error",
            "-select_streams",
            "v:0",
            "-show_entries",
            "packet=pts",
            "-of",
            "csv=p=0",
            str(path),
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    assert "N/A" not in probe
    _, frames = all_frames_in_random_order(path)
    assert_matches_ffmpeg(path, frames)
