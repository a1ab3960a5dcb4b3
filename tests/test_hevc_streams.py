"""HEVC streams without usable timestamps: raw x265 output and its remuxes,
whose presentation timestamps are copies of the decode timestamps. Every
picture comes back in FFmpeg's display order, in any order of access."""

import subprocess

import numpy as np
import pytest

import mbgauge
from tests.support import ffmpeg_reference, videos
from tests.test_reference_decode import describe_planes

SIZE = (128, 96)
FRAMES = 60
# Key pictures every 24 frames: an IDR, then CRA pictures with RASL leading
# pictures (open GOP is x265's default) or IDR pictures (closed GOP).
STRUCTURES = {
    "no-bframes": (["--bframes", "0"], 8),
    "bframes": (["--bframes", "3", "--no-b-pyramid"], 8),
    "pyramid": (["--bframes", "8", "--b-pyramid"], 8),
    "closed-gop": (["--bframes", "3", "--no-open-gop"], 8),
    "10bit": (["--bframes", "3"], 10),
    # A 4-bit order count wraps every 16 pictures.
    "order-count-wrap": (["--bframes", "3", "--log2-max-poc-lsb", "4"], 8),
    # IDR pictures with decodable leading (RADL) pictures.
    "radl": (["--bframes", "3", "--no-open-gop", "--radl", "2"], 8),
    # Parameter sets before every key picture, as in broadcast captures.
    "repeat-headers": (["--bframes", "3", "--repeat-headers"], 8),
}
COMMON = ["--keyint", "24", "--min-keyint", "24", "--no-scenecut", "--frame-threads", "1"]


def hevc_stream(structure: str, wrap: str = "raw"):
    args, depth = STRUCTURES[structure]
    raw = videos.x265_video(
        f"hevc-{structure}",
        [*COMMON, *args],
        size=f"{SIZE[0]}x{SIZE[1]}",
        frames=FRAMES,
        depth=depth,
    )
    if wrap == "raw":
        return raw
    # Remuxing a raw stream leaves pts equal to dts; Matroska takes the MP4's.
    source = hevc_stream(structure, "mp4") if wrap == "mkv" else raw
    return videos.ffmpeg_video(f"hevc-{structure}", f".{wrap}", "-i", str(source), "-c", "copy")


def reference(path, structure):
    depth = STRUCTURES[structure][1]
    pix_fmt, sample_bytes = ("yuv420p", 1) if depth == 8 else ("yuv420p10le", 2)
    return videos.ffmpeg_reference_frames(path, *SIZE, pix_fmt, sample_bytes)


@pytest.mark.parametrize("structure", STRUCTURES)
@pytest.mark.parametrize("wrap", ["raw", "mp4", "mov", "mkv"])
def test_every_picture_in_display_order_in_random_order(structure, wrap):
    path = hevc_stream(structure, wrap)
    expected = reference(path, structure)
    session = mbgauge.H264DecoderSession(str(path))
    assert session.num_frames == len(expected) == videos.ffmpeg_frame_count(path)
    assert session.bytes_per_sample == (2 if STRUCTURES[structure][1] == 10 else 1)
    for frame in np.random.default_rng(7).permutation(session.num_frames):
        frame = int(frame)
        difference = describe_planes(videos.visible_planes(session, frame), expected[frame])
        assert difference is None, f"frame {frame}: {difference}"


@pytest.mark.parametrize(
    "structure, wrap", [("bframes", "raw"), ("pyramid", "mkv"), ("closed-gop", "mp4")]
)
def test_every_picture_from_a_fresh_session(structure, wrap):
    """Leading pictures of a CRA are reached through the key picture before it."""
    path = hevc_stream(structure, wrap)
    expected = reference(path, structure)
    for frame in range(len(expected)):
        session = mbgauge.H264DecoderSession(str(path))
        difference = describe_planes(videos.visible_planes(session, frame), expected[frame])
        assert difference is None, f"frame {frame}: {difference}"


def cut(tmp_path, structure, start, end):
    raw = hevc_stream(structure).read_bytes()
    path = tmp_path / f"cut-{structure}.hevc"
    path.write_bytes(raw[int(len(raw) * start) : int(len(raw) * end)])
    return path


@pytest.mark.parametrize(
    "start, end",
    [
        (0, 0.3),
        (0, 0.55),
        (0, 0.85),
        # the first pictures miss their references
        (0.4, 1),
        (0.7, 1),
    ],
)
def test_raw_stream_cut_inside_a_group_of_pictures(tmp_path, start, end):
    path = cut(tmp_path, "repeat-headers", start, end)
    # Whether the pictures ahead of the first key picture come out depends on
    # the FFmpeg version (5.1 puts them out, 9.0 does not): the reference is
    # the decode of the very libavcodec the module runs on.
    expected = [list(picture.planes) for picture in ffmpeg_reference.decode(path, planes=True)]
    session = mbgauge.H264DecoderSession(str(path))
    assert session.num_frames == len(expected)
    differing = [
        frame
        for frame in np.random.default_rng(2).permutation(session.num_frames)
        if describe_planes(videos.visible_planes(session, int(frame)), expected[frame]) is not None
    ]
    # Only a picture cut at the end may be concealed differently; it is the
    # last in decode order, so among the last few in display order.
    assert len(differing) <= (1 if end < 1 else 0), differing
    assert all(frame >= len(expected) - 9 for frame in differing), differing


def joined(tmp_path, name, *parts):
    path = tmp_path / f"{name}.hevc"
    path.write_bytes(b"".join(parts))
    return path


def from_second_key_picture(structure):
    """The stream from its second key picture (a CRA picture in open GOP),
    parameter sets included."""
    raw = hevc_stream(structure).read_bytes()
    vps = b"\x00\x00\x00\x01\x40\x01"
    return raw[raw.index(vps, raw.index(vps) + 1) :]


END_OF_SEQUENCE = b"\x00\x00\x00\x01\x48\x01"


@pytest.mark.parametrize(
    "parts",
    [
        # A new IDR picture restarts the order count.
        lambda: [hevc_stream("bframes").read_bytes(), hevc_stream("pyramid").read_bytes()],
        # A CRA picture after an end of sequence drops its leading pictures and
        # the pictures of the previous sequence still waiting for output.
        lambda: [
            hevc_stream("bframes").read_bytes(),
            END_OF_SEQUENCE,
            from_second_key_picture("repeat-headers"),
        ],
    ],
    ids=["idr", "end-of-sequence"],
)
def test_joined_recordings(tmp_path, parts):
    path = joined(tmp_path, "joined", *parts())
    expected = reference(path, "bframes")
    session = mbgauge.H264DecoderSession(str(path))
    assert session.num_frames == len(expected) == videos.ffmpeg_frame_count(path)
    for frame in np.random.default_rng(4).permutation(session.num_frames):
        frame = int(frame)
        difference = describe_planes(videos.visible_planes(session, frame), expected[frame])
        assert difference is None, f"frame {frame}: {difference}"


def test_stream_without_parameter_sets_fails_to_open(tmp_path):
    """Pictures whose order cannot be read are not an empty file."""
    raw = hevc_stream("bframes").read_bytes()
    # Parameter sets come only before the first picture (IDR_N_LP, NAL unit
    # header 28 01); keep the access units after it.
    first_picture = raw.index(b"\x00\x00\x01\x28\x01")
    path = tmp_path / "headless.hevc"
    path.write_bytes(raw[raw.index(b"\x00\x00\x00\x01", first_picture) :])
    with pytest.raises(RuntimeError, match=r"^Cannot number the frames of: .*headless\.hevc"):
        mbgauge.H264DecoderSession(str(path))


def test_timestamped_file_starting_at_a_cra_picture():
    """The RASL pictures after the first CRA picture carry timestamps but are
    never decoded: they get no frame."""
    source = videos.ffmpeg_video(
        "hevc-timestamped",
        ".mkv",
        "-f",
        "lavfi",
        "-i",
        "testsrc2=size=128x96:rate=25",
        "-frames:v",
        "60",
        "-c:v",
        "libx265",
        "-x265-params",
        "log-level=error:keyint=24:min-keyint=24:scenecut=0:bframes=3",
    )
    flags = subprocess.run(
        [
            "ffprobe",
            "-v",
            "error",
            "-select_streams",
            "v:0",
            "-show_entries",
            "packet=flags",
            "-of",
            "csv=p=0",
            str(source),
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    cra = [index for index, flag in enumerate(flags) if flag.startswith("K")][1]
    path = videos.ffmpeg_video(
        "hevc-from-cra",
        ".mkv",
        "-i",
        str(source),
        "-c",
        "copy",
        "-bsf:v",
        f"noise=drop=lt(n\\,{cra})",
    )
    expected = reference(path, "bframes")
    session = mbgauge.H264DecoderSession(str(path))
    assert session.num_frames == len(expected) == videos.ffmpeg_frame_count(path)
    assert session.num_frames < len(flags) - cra
    for frame in np.random.default_rng(9).permutation(session.num_frames):
        frame = int(frame)
        difference = describe_planes(videos.visible_planes(session, frame), expected[frame])
        assert difference is None, f"frame {frame}: {difference}"
