"""Frame-exact random access in every container: any frame, first thing after
opening or in any order, equals the ffmpeg command's decode of that frame."""

import numpy as np
import pytest

import mbgauge
from tests.support import videos

GOPS = {
    "closed": ["-bf", "3", "-g", "30"],
    "open": ["-bf", "3", "-g", "30", "-x264-params", "open-gop=1"],
    "pyramid": ["-bf", "3", "-g", "30", "-x264-params", "b-pyramid=normal"],
    "no-bframes": ["-bf", "0", "-g", "30"],
}
CONTAINERS = [".mp4", ".mov", ".mkv", ".ts"]


def encoded(gop: str, suffix: str = ".mkv"):
    return videos.lavfi_h264(
        f"access-{gop}",
        suffix,
        size="128x96",
        frames=130,
        encoder=["-c:v", "libx264", "-preset", "veryfast", *GOPS[gop]],
    )


def remuxed(gop: str, suffix: str):
    if suffix == ".avi":  # the AVI muxer takes H.264 straight from the encoder only
        return encoded(gop, suffix)
    return videos.ffmpeg_video(f"access-{gop}", suffix, "-i", str(encoded(gop)), "-c", "copy")


def trimmed_by_edit_list():
    # Cutting mid-group with stream copy keeps the pictures the first shown one
    # needs and hides them behind an edit list.
    return videos.ffmpeg_video(
        "access-edit-list", ".mp4", "-ss", "1.3", "-i", str(encoded("closed")), "-c", "copy"
    )


def shifted_start():
    return videos.ffmpeg_video(
        "access-offset",
        ".mp4",
        "-i",
        str(encoded("pyramid")),
        "-c",
        "copy",
        "-output_ts_offset",
        "10",
    )


SOURCES = {
    f"{gop}{suffix}": (lambda gop=gop, suffix=suffix: remuxed(gop, suffix))
    for gop in GOPS
    for suffix in CONTAINERS
}
SOURCES["no-bframes.avi"] = lambda: remuxed("no-bframes", ".avi")
SOURCES["edit-list.mp4"] = trimmed_by_edit_list
SOURCES["start-offset.mp4"] = shifted_start


@pytest.fixture(scope="module")
def reference():
    cache = {}

    def frames_of(path):
        if path not in cache:
            cache[path] = videos.ffmpeg_reference_frames(path, 128, 96)
        return cache[path]

    return frames_of


def mismatch(session, frame, expected) -> str | None:
    qp = session.get_qpmap(frame)
    for plane, (got, want) in enumerate(zip(videos.visible_planes(session, frame), expected)):
        if not np.array_equal(got, want):
            return (
                f"frame {frame}: plane {plane} differs in {np.count_nonzero(got != want)} samples"
            )
    if (qp < 0).any():
        return f"frame {frame}: QP map has cells without a value"
    return None


@pytest.mark.parametrize("source", SOURCES)
def test_first_request_after_opening_gives_the_right_frame(source, reference):
    path = SOURCES[source]()
    expected = reference(path)
    count = mbgauge.H264DecoderSession(str(path)).num_frames
    assert count == len(expected)
    # Every key group boundary, its neighbours, and the last frames.
    sampled = sorted(
        {
            0,
            1,
            count - 1,
            count - 2,
            *range(26, count, 30),
            *range(29, count, 30),
            *range(30, count, 30),
            *range(31, count, 30),
        }
        & set(range(count))
    )
    problems = []
    for frame in sampled:
        session = mbgauge.H264DecoderSession(str(path))
        try:
            problem = mismatch(session, frame, expected[frame])
        except RuntimeError as error:
            problem = f"frame {frame}: {error}"
        if problem:
            problems.append(problem)
    assert problems == []


@pytest.mark.parametrize("source", SOURCES)
def test_walk_in_random_order_gives_the_right_frames(source, reference):
    path = SOURCES[source]()
    expected = reference(path)
    session = mbgauge.H264DecoderSession(str(path))
    order = np.random.default_rng(7).permutation(session.num_frames)
    problems = [p for p in (mismatch(session, int(f), expected[f]) for f in order) if p]
    assert problems == []
