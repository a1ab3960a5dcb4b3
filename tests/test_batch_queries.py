"""The batch queries (get_qpmaps, get_chroma_qp_offsets, get_planes) against
the single-frame queries and against references nobody here wrote: the ffmpeg
command's pictures without deblocking, the QPs x264 was told to use, and
ffprobe's view of every frame for the frame table."""

from __future__ import annotations

import functools
import json
import subprocess
from pathlib import Path

import numpy as np
import pytest

import mbgauge
from tests.support import videos
from tests.test_real_world_files import CASES as REAL_WORLD
from tests.test_real_world_files import encoded, joined
from tests.test_reference_decode import (
    chroma_offset_video,
    describe_cells,
    non_h264_video,
    open_gop_h264_video,
    qpfile_plan,
    qpfile_video,
    remuxed_video,
    short_b_frame_video,
    ten_bit_video,
)
from tests.test_untimed_streams import x264_stream

VIDEOS = {
    "mp4 b-frames": short_b_frame_video,
    "mpeg-ts": functools.partial(remuxed_video, ".ts"),
    "avi without pts": functools.partial(remuxed_video, ".avi"),
    "mkv open gop": open_gop_h264_video,
    "raw h264 open gop": functools.partial(x264_stream, "open-gop", ".264"),
    "raw h264 pyramid": functools.partial(x264_stream, "pyramid", ".264"),
    "mpeg4 open gop": functools.partial(non_h264_video, "mpeg4", ".mp4", 4, True),
    "10-bit": functools.partial(ten_bit_video, 24),
    "chroma offset -6": functools.partial(chroma_offset_video, "medium", 1, -4),
    # Cropped on the left and top (the capture crops), joined recordings, a
    # cut in the middle of a key group, pts = dts remuxes.
    **{
        name: REAL_WORLD[name]
        for name in ("crop-left-top.mp4", "cut-mid-key-group.ts", "pts-is-dts.mkv")
    },
    "joined same start.ts": lambda: joined(
        "batch-joined",
        ".ts",
        [encoded("real-rec-a", ".ts"), encoded("batch-rec-b", ".ts", frames=75)],
    ),
    "hevc mp4": functools.partial(
        videos.lavfi_h264,
        "batch-hevc",
        ".mp4",
        size="160x120",
        frames=30,
        encoder=["-c:v", "libx265", "-x265-params", "log-level=none:keyint=12:bframes=2"],
    ),
}


def request_orders(table: np.ndarray) -> dict[str, list[int]]:
    """Frame lists as users ask for them: shuffled with repeats, reversed,
    a sample across key groups, and the last frames."""
    n = table.size
    rng = np.random.default_rng(12)
    keys = np.flatnonzero(table["key"])
    around_keys = sorted({int(f) for k in keys for f in (k - 1, k, k + 1) if 0 <= f < n})
    return {
        "shuffled with repeats": [int(f) for f in rng.choice(n, size=n + 10, replace=True)],
        "reversed": list(range(n - 1, -1, -1)),
        "across key groups": [int(f) for f in rng.permutation(around_keys)],
        "last frames": [n - 1, n - 3, n - 2, n - 1],
    }


@functools.cache
def single_frame_answers(path: Path) -> tuple[list, list, list]:
    """Every frame's QP map, chroma offsets and visible planes, asked one at
    a time in display order."""
    session = mbgauge.H264DecoderSession(str(path))
    qp, offsets, planes = [], [], []
    for f in range(session.num_frames):
        qp.append(session.get_qpmap(f))
        offsets.append(session.get_chroma_qp_offset(f))
        planes.append(videos.visible_planes(session, f))
    return qp, offsets, planes


@pytest.mark.parametrize("name", VIDEOS)
def test_batch_queries_equal_single_frame_queries(name):
    path = VIDEOS[name]()
    qp, offsets, planes = single_frame_answers(path)
    table = mbgauge.H264DecoderSession(str(path)).frame_table()
    for order_name, frames in request_orders(table).items():
        # A fresh session per query, so that each decodes its frames itself.
        def fresh() -> mbgauge.H264DecoderSession:
            return mbgauge.H264DecoderSession(str(path))

        maps = fresh().get_qpmaps(frames)
        assert maps.dtype == np.int8 and maps.shape == (len(frames), *qp[0].shape)
        chroma = fresh().get_chroma_qp_offsets(frames)
        assert chroma.shape == (len(frames), 2)
        plane_batches = [fresh().get_planes(np.array(frames), p) for p in range(3)]
        for row, f in enumerate(frames):
            where = f"{name}, {order_name}, row {row}: frame {f}"
            assert np.array_equal(maps[row], qp[f]), (
                f"{where}: {np.count_nonzero(maps[row] != qp[f])} QP cells differ"
            )
            assert tuple(chroma[row]) == offsets[f], f"{where}: chroma offsets"
            for p in range(3):
                assert plane_batches[p][row].dtype == planes[f][p].dtype
                assert np.array_equal(plane_batches[p][row], planes[f][p]), (
                    f"{where}: plane {p} differs in "
                    f"{np.count_nonzero(plane_batches[p][row] != planes[f][p])} samples"
                )


@pytest.mark.parametrize(
    "name", ["mp4 b-frames", "mpeg-ts", "mkv open gop", "raw h264 pyramid", "10-bit"]
)
def test_every_frame_in_one_batch_equals_ffmpeg_without_deblocking(name):
    path = VIDEOS[name]()
    session = mbgauge.H264DecoderSession(str(path))
    ten_bit = session.bytes_per_sample == 2
    reference = videos.ffmpeg_reference_frames(
        path,
        session.width,
        session.height,
        "yuv420p10le" if ten_bit else "yuv420p",
        session.bytes_per_sample,
    )
    assert len(reference) == session.num_frames
    for p in range(3):
        batch = session.get_planes(range(session.num_frames), p)
        for f, expected in enumerate(reference):
            assert np.array_equal(batch[f], expected[p]), (
                f"{name}: frame {f}, plane {p}: "
                f"{np.count_nonzero(batch[f] != expected[p])} samples differ from ffmpeg"
            )


def test_batch_qp_maps_carry_the_qp_x264_was_given_for_each_frame():
    path = qpfile_video()
    types, qps = qpfile_plan()
    session = mbgauge.H264DecoderSession(str(path))
    frames = list(range(session.num_frames))[::-1]
    maps = session.get_qpmaps(frames)
    for row, f in enumerate(frames):
        assert np.all(maps[row] == qps[f]), (
            f"frame {f} ({types[f]}, qpfile QP {qps[f]}): {describe_cells(maps[row], qps[f])}"
        )


@pytest.mark.parametrize(
    "view",
    [
        lambda n: np.arange(n)[::-3],
        lambda n: np.arange(n, dtype=np.uint16)[1::4],
        lambda n: np.stack([np.arange(n), np.arange(n)[::-1]], axis=1)[:, 1],
    ],
    ids=["reversed step 3", "uint16 step 4", "column of a 2-D array"],
)
def test_strided_index_arrays_are_read_through_their_strides(view):
    path = qpfile_video()
    _, qps = qpfile_plan()
    session = mbgauge.H264DecoderSession(str(path))
    frames = view(session.num_frames)
    assert not frames.flags.c_contiguous
    maps = session.get_qpmaps(frames)
    assert [int(np.unique(m)[0]) for m in maps] == [qps[f] for f in frames.tolist()]


def test_chroma_offsets_batch_after_qp_maps_batch_equals_x264_setting():
    # -4 asked with psy-rd on: x264 writes -6 into its PPS.
    path = chroma_offset_video("medium", 1, -4)
    session = mbgauge.H264DecoderSession(str(path))
    frames = [5, 0, 29, 5]
    session.get_qpmaps(frames)
    assert session.get_chroma_qp_offsets(frames).tolist() == [[-6, -6]] * len(frames)
    assert session.get_chroma_qp_offsets([]).shape == (0, 2)


# Errors


@pytest.fixture(scope="module")
def clip() -> Path:
    return short_b_frame_video()


@pytest.mark.parametrize("bad", [-1, 120, 2**40])
@pytest.mark.parametrize("query", ["get_qpmaps", "get_chroma_qp_offsets", "get_planes"])
def test_an_index_out_of_range_fails_before_decoding(clip, query, bad):
    session = mbgauge.H264DecoderSession(str(clip))
    args = (0,) if query == "get_planes" else ()
    with pytest.raises(IndexError) as error:
        getattr(session, query)([3, 7, bad, 1], *args)
    assert str(error.value) == f"Frame index out of bounds: {bad}"
    # Nothing was decoded, and the session answers as before.
    assert session.get_qpmaps([7]).shape == (1, 8, 10)


@pytest.mark.parametrize(
    ("frames", "error", "text"),
    [
        ([1.0, 2.0], TypeError, "frames must be integers, not float64"),
        (["1"], TypeError, "frames must be integers, not <U1"),
        (5, TypeError, "frames must be a sequence of frame indices"),
        (None, TypeError, "frames must be a sequence of frame indices"),
        ([1, None], TypeError, "frames must be integers, not object"),
        ([[1, 2]], ValueError, "frames must be one-dimensional, not of shape (1, 2)"),
        ([True], TypeError, "frames must be integers, not bool"),
    ],
)
def test_frames_that_are_not_a_list_of_indices_are_refused(clip, frames, error, text):
    with pytest.raises(error) as raised:
        mbgauge.H264DecoderSession(str(clip)).get_qpmaps(frames)
    assert str(raised.value) == text


@pytest.mark.parametrize("plane", [-1, 3, 7])
def test_a_plane_outside_the_picture_is_refused(clip, plane):
    with pytest.raises(IndexError, match="^Invalid plane index$"):
        mbgauge.H264DecoderSession(str(clip)).get_planes([0], plane)


def test_empty_requests_give_empty_arrays_of_the_stream_shape(clip):
    session = mbgauge.H264DecoderSession(str(clip))
    assert session.get_qpmaps([]).shape == (0, 8, 10)
    assert session.get_planes(np.array([], np.int64), 1).shape == (0, 60, 80)


def size_change_video() -> Path:
    """Two MPEG-TS parts of different picture sizes joined byte by byte, the
    second one's timestamps following the first's."""
    parts = [
        videos.lavfi_h264(
            f"batch-size-{size}",
            ".ts",
            size=size,
            frames=20,
            extra=["-bf", "2", "-g", "10", "-output_ts_offset", offset],
        )
        for size, offset in (("160x120", "0"), ("96x64", "10"))
    ]
    joined = videos.CACHE_DIR / "batch-size-change.ts"
    data = b"".join(part.read_bytes() for part in parts)
    if not joined.exists() or joined.read_bytes() != data:
        joined.write_bytes(data)
    return joined


def test_frames_of_different_sizes_in_one_batch_raise_value_error():
    session = mbgauge.H264DecoderSession(str(size_change_video()))
    sizes = {session.get_qpmap(f).shape for f in range(session.num_frames)}
    assert sizes == {(8, 10), (4, 6)}, "the joined file should change size"
    first_small = next(f for f in range(session.num_frames) if session.get_qpmap(f).shape == (4, 6))
    for query, args in (("get_qpmaps", ()), ("get_planes", (0,))):
        with pytest.raises(
            ValueError,
            match=r"^Frames of different sizes in one batch: frame 0 "
            rf"is 160x120 yuv420p, frame {first_small} is 96x64 yuv420p$",
        ):
            getattr(session, query)([0, first_small], *args)
    # Frames of one size are fine on either side of the change.
    assert session.get_qpmaps(range(first_small, session.num_frames)).shape[1:] == (4, 6)
    assert session.get_chroma_qp_offsets([0, first_small]).shape == (2, 2)


def damaged_clip(tmp_path: Path, victim: int) -> Path:
    """A copy of a clip without B-frames whose picture `victim` (a P frame)
    has its slice overwritten with bytes that no decoder reads as a slice."""
    source = videos.lavfi_h264(
        "batch-no-b", ".mp4", size="160x120", frames=30, extra=["-bf", "0", "-g", "15"]
    )
    packets = json.loads(
        subprocess.run(
            [
                "ffprobe",
                "-v",
                "error",
                "-select_streams",
                "v:0",
                "-show_entries",
                "packet=pos,size",
                "-of",
                "json",
                str(source),
            ],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
    )["packets"]
    pos, size = int(packets[victim]["pos"]), int(packets[victim]["size"])
    data = bytearray(source.read_bytes())
    # Keep the 4-byte length prefix; 0xFF makes NAL unit type 31, which is skipped.
    data[pos + 4 : pos + size] = b"\xff" * (size - 4)
    damaged = tmp_path / "damaged.mp4"
    damaged.write_bytes(data)
    return damaged


def test_an_undecodable_frame_fails_the_whole_batch(tmp_path):
    path = damaged_clip(tmp_path, 20)
    session = mbgauge.H264DecoderSession(str(path))
    with pytest.raises(RuntimeError, match="^Failed to decode frame 20$"):
        session.get_qpmaps([25, 2, 20])
    with pytest.raises(RuntimeError, match="^Failed to decode frame 20$"):
        session.get_planes([20], 0)
    # The single-frame query agrees, and the frames around still decode.
    with pytest.raises(RuntimeError, match="^Failed to decode frame 20$"):
        session.get_qpmap(20)
    assert session.get_qpmaps([19, 2]).shape == (2, 8, 10)


# The frame table


TABLE_VIDEOS = {
    **{
        name: VIDEOS[name]
        for name in (
            "mp4 b-frames",
            "mpeg-ts",
            "mkv open gop",
            "raw h264 pyramid",
            "10-bit",
            "hevc mp4",
        )
    },
    "mpeg2 mkv": functools.partial(non_h264_video, "mpeg2video", ".mkv", 5),
    "mpeg4 mp4": functools.partial(non_h264_video, "mpeg4", ".mp4", 4),
}


@pytest.mark.parametrize("name", TABLE_VIDEOS)
def test_frame_table_agrees_with_ffprobe(name):
    path = TABLE_VIDEOS[name]()
    session = mbgauge.H264DecoderSession(str(path))
    table = session.frame_table()
    assert table.dtype.names == (
        "pts",
        "time",
        "key",
        "pict_type",
        "packet_size",
        "width",
        "height",
    )
    assert [table.dtype[n] for n in table.dtype.names] == [
        np.dtype(np.int64),
        np.dtype(np.float64),
        np.dtype(bool),
        np.dtype("U1"),
        np.dtype(np.int32),
        np.dtype(np.int32),
        np.dtype(np.int32),
    ]
    probed = videos.ffprobe_frames(path)
    assert table.size == len(probed) == session.num_frames
    for f, (row, frame) in enumerate(zip(table, probed)):
        mine = (
            bool(row["key"]),
            str(row["pict_type"]),
            int(row["packet_size"]),
            int(row["width"]),
            int(row["height"]),
        )
        theirs = (
            bool(frame["key_frame"]),
            frame["pict_type"],
            int(frame["pkt_size"]),
            frame["width"],
            frame["height"],
        )
        assert mine == theirs, f"{name}: frame {f}: (key, type, size, w, h) {mine} != {theirs}"
        if "pts" in frame and name != "raw h264 pyramid":
            assert row["pts"] == frame["pts"], f"{name}: frame {f}: pts"
    # Times follow the timestamps, one frame duration apart at 25 frames/s.
    assert np.allclose(np.diff(table["time"]), 1 / 25)
