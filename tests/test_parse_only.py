"""Queries that read no pixels decode without reconstructing the pictures
where the decoder can (the parse_only option that mbgauge's FFmpeg gives its
H.264 and HEVC decoders). Checked against FFmpeg's own export with and
without the option (tests/cpp/side_data_reader.c), against mbgauge's answers
with reconstruction (MBGAUGE_PARSE_ONLY=0) on clean and damaged files, and
against the ffmpeg command's pictures after a query without them."""

from __future__ import annotations

import functools
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import mbgauge
from tests.support import videos
from tests.test_blocks_and_motion_vectors import _exported, side_data_reader  # noqa: F401
from tests.test_coding_blocks import coding_blocks_exported

ROOT = Path(__file__).resolve().parent.parent


def _x264(name: str, *options: str, pix_fmt: str = "yuv420p") -> Path:
    return videos.lavfi_h264(
        f"parse-only-{name}",
        ".mkv",
        size="176x144",
        frames=24,
        encoder=["-c:v", "libx264", "-preset", "medium", "-g", "12", "-pix_fmt", pix_fmt],
        extra=list(options),
    )


def _x265(name: str, params: str, pix_fmt: str = "yuv420p") -> Path:
    return videos.libx265_video(
        f"parse-only-{name}", ".mkv", params, size="176x144", frames=24, pix_fmt=pix_fmt
    )


# What each decoder's reconstruction paths see: CABAC and CAVLC, B-frames
# with direct prediction, weighted prediction, slices, interlaced macroblock
# pairs, 8x8 transforms, lossless transform bypass, 4:2:2 and 4:4:4, 10 bits;
# HEVC wavefronts, adaptive quantisation with 8x8 coding blocks, slices,
# transform skip, asymmetric partitions, lossless (transquant bypass).
VIDEOS = {
    "h264 cabac b-frames weighted": lambda: _x264("cabac", "-bf", "3", "-x264-params", "weightp=2"),
    "h264 cavlc baseline slices": lambda: _x264(
        "cavlc", "-profile:v", "baseline", "-x264-params", "slices=3"
    ),
    "h264 interlaced mbaff": lambda: _x264(
        "mbaff", "-flags", "+ildct+ilme", "-x264-params", "tff=1"
    ),
    "h264 4:4:4 lossless": lambda: _x264("lossless", "-qp", "0", pix_fmt="yuv444p"),
    "h264 4:2:2 10-bit": lambda: _x264("422p10", "-bf", "2", pix_fmt="yuv422p10le"),
    "hevc wpp aq 8x8": lambda: _x265(
        "wpp", "wpp=1:ctu=32:min-cu-size=8:qg-size=8:aq-mode=2:bframes=3:keyint=12"
    ),
    "hevc slices tskip amp 10-bit": lambda: _x265(
        "slices", "slices=3:tskip=1:amp=1:rect=1:keyint=12", pix_fmt="yuv420p10le"
    ),
    "hevc 4:4:4 lossless": lambda: _x265("lossless", "lossless=1:keyint=12", pix_fmt="yuv444p"),
}


@functools.cache
def decoder_has_parse_only(reader: Path) -> bool:
    """Whether the FFmpeg mbgauge runs on offers the option (FFmpeg's own
    builds do not)."""
    return _exported(reader, VIDEOS["h264 cabac b-frames weighted"](), "parse_only=1") is not None


def answers(path: Path, frames, parse_only: bool, monkeypatch) -> tuple[np.ndarray, np.ndarray]:
    """get_qpmaps and get_chroma_qp_offsets of `frames` from a fresh session."""
    monkeypatch.setenv("MBGAUGE_PARSE_ONLY", "1" if parse_only else "0")
    session = mbgauge.H264DecoderSession(str(path))
    assert session.parse_only in (parse_only, False)
    return session.get_qpmaps(frames), session.get_chroma_qp_offsets(frames)


@pytest.mark.parametrize("name", VIDEOS)
def test_ffmpeg_exports_the_same_side_data_without_reconstructing(side_data_reader, name):  # noqa: F811
    path = VIDEOS[name]()
    full = _exported(side_data_reader, path)
    parsed = _exported(side_data_reader, path, "parse_only=1")
    if parsed is None:
        pytest.skip("this FFmpeg's decoders have no parse_only option")
    assert full is not None and len(parsed) == len(full) > 0
    for frame, (a, b) in enumerate(zip(parsed, full)):
        assert (a.pts, a.params, a.blocks, a.vectors) == (b.pts, b.params, b.blocks, b.vectors), (
            f"{name}: frame {frame} exports other side data without reconstruction"
        )
    # Untouched pool buffers stay zero: nothing was predicted, added or filtered.
    assert [p.luma_nonzero for p in parsed] == [0] * len(parsed)
    assert all(p.luma_nonzero > 0 for p in full)


@pytest.mark.parametrize("name", VIDEOS)
def test_batch_queries_answer_as_with_reconstruction(side_data_reader, name, monkeypatch):  # noqa: F811
    path = VIDEOS[name]()
    monkeypatch.setenv("MBGAUGE_PARSE_ONLY", "1")
    session = mbgauge.H264DecoderSession(str(path))
    assert session.parse_only == decoder_has_parse_only(side_data_reader)
    n = session.num_frames
    rng = np.random.default_rng(22)
    for order in (list(range(n)), [int(f) for f in rng.choice(n, size=n, replace=True)]):
        parsed = answers(path, order, True, monkeypatch)
        full = answers(path, order, False, monkeypatch)
        for what, a, b in zip(("QP maps", "chroma offsets"), parsed, full):
            rows = [order[row] for row in np.flatnonzero((a != b).reshape(len(order), -1).any(1))]
            assert not rows, f"{name}: {what} of frames {rows} differ without reconstruction"


@pytest.mark.parametrize(
    "video, setting, expected",
    [
        ("h264", None, True),
        ("h264", "1", True),
        ("h264", "0", False),
        ("hevc", None, True),
        ("hevc", "0", False),
        ("mpeg2", None, False),
    ],
)
def test_parse_only_is_used_where_the_decoder_offers_it_unless_turned_off(
    side_data_reader,  # noqa: F811
    monkeypatch,
    video,
    setting,
    expected,
):
    path = {
        "h264": VIDEOS["h264 cabac b-frames weighted"],
        "hevc": VIDEOS["hevc wpp aq 8x8"],
        "mpeg2": lambda: videos.lavfi_h264(
            "parse-only-mpeg2", ".ts", frames=12, encoder=["-c:v", "mpeg2video"]
        ),
    }[video]()
    if setting is None:
        monkeypatch.delenv("MBGAUGE_PARSE_ONLY", raising=False)
    else:
        monkeypatch.setenv("MBGAUGE_PARSE_ONLY", setting)
    session = mbgauge.H264DecoderSession(str(path))
    assert session.parse_only == (expected and decoder_has_parse_only(side_data_reader))


@pytest.mark.parametrize("name", ["h264 cabac b-frames weighted", "hevc wpp aq 8x8"])
def test_pictures_after_a_query_without_them_are_ffmpegs(name, monkeypatch):
    path = VIDEOS[name]()
    monkeypatch.setenv("MBGAUGE_PARSE_ONLY", "1")
    session = mbgauge.H264DecoderSession(str(path), motion_vectors=True)
    fresh = mbgauge.H264DecoderSession(str(path), motion_vectors=True)
    reference = videos.ffmpeg_reference_frames(path, session.width, session.height)
    n = session.num_frames
    # Each query of one kind after one of the other, on one session: the
    # decoder changes its mind between the two and must not hand out
    # pictures decoded against references it did not reconstruct, nor lose
    # the vectors and blocks that QP maps alone do not need.
    # (Batches fill no frame cache: the vectors of the first step after the
    # maps are decoded then.)
    steps = [("maps", range(n)), ("vectors", n // 2), ("plane", n - 1), ("maps", [n - 2])]
    steps += [("planes", [n - 3, n - 1]), ("maps", [1]), ("plane", 2), ("maps", [0, 3])]
    steps += [("blocks", [n - 1])]
    for kind, frames in steps:
        if kind == "maps":
            session.get_qpmaps(frames)
        elif kind == "vectors":
            got, expected = session.get_motion_vectors(frames), fresh.get_motion_vectors(frames)
            for field in ("source", "dst_x", "dst_y", "motion_x", "motion_y"):
                assert np.array_equal(got[field], expected[field]), f"{name}: {field}"
        elif kind == "blocks" and session.coding_blocks and coding_blocks_exported():
            got = session.get_coding_blocks_batch(frames)
            assert np.array_equal(got, fresh.get_coding_blocks_batch(frames)), name
        elif kind == "plane":
            for p, plane in enumerate(videos.visible_planes(session, frames)):
                assert np.array_equal(plane, reference[frames][p]), (
                    f"{name}: frame {frames} plane {p}"
                )
        else:
            for p in range(3):
                got = session.get_planes(frames, p)
                for row, frame in enumerate(frames):
                    assert np.array_equal(got[row], reference[frame][p]), f"{name}: frame {frame}"


def test_damaged_corpus_answers_as_with_reconstruction(tmp_path):
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "tests.support.damaged_corpus",
            "--quick",
            "--parse-only",
            "--workdir",
            str(tmp_path),
        ],
        cwd=ROOT,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout[-5000:]
