"""Decoded frames, QP maps and chroma QP offsets checked against references
that nobody in this project wrote: the QPs the encoder was told to use, the
settings x264 records in its own stream, what the ffmpeg command decodes and
exports, and the slice headers as FFmpeg's header tracer reads them.

Every comparison is exact.
"""

from __future__ import annotations

import functools
import random
import re
import subprocess
from pathlib import Path

import numpy as np
import pytest

import mbgauge
from tests.support import videos

# ---------------------------------------------------------------------------
# References made by other tools
# ---------------------------------------------------------------------------


@functools.cache
def reference_frames(path: Path, pix_fmt: str = "yuv420p", bytes_per_sample: int = 1):
    """The ffmpeg command's pictures of a file (cached: several tests share files)."""
    session = mbgauge.H264DecoderSession(str(path))
    return videos.ffmpeg_reference_frames(
        path, session.width, session.height, pix_fmt, bytes_per_sample
    )


@functools.cache
def picture_types(path: Path) -> list[str]:
    """I, P or B for every picture, in display order, as ffprobe reports them."""
    out = subprocess.run(
        [
            "ffprobe",
            "-v",
            "error",
            "-select_streams",
            "v:0",
            "-show_entries",
            "frame=pict_type",
            "-of",
            "csv=p=0",
            str(path),
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    return [line.strip().rstrip(",") for line in out.splitlines() if line.strip().rstrip(",")]


def x264_recorded_setting(path: Path, name: str) -> int:
    """A numeric setting from the option string x264 writes into its stream."""
    values = set(re.findall(rb"[ /]" + name.encode() + rb"=(-?\d+)", path.read_bytes()))
    assert len(values) == 1, f"x264 option string in {path.name}: {name} = {values}"
    return int(values.pop())


def ffmpeg_exported_enc_params(path: Path) -> list[dict | None]:
    """What the ffmpeg command's decoder exports as video encoding parameters
    for every picture in display order (None where it exports none), as the
    showinfo filter prints them: type, base qp, chroma deltas, block count."""
    result = subprocess.run(
        [
            "ffmpeg",
            "-hide_banner",
            "-nostdin",
            "-export_side_data",
            "venc_params",
            "-skip_loop_filter",
            "all",
            "-i",
            str(path),
            "-map",
            "0:v:0",
            "-fps_mode",
            "passthrough",
            "-vf",
            "showinfo",
            "-f",
            "null",
            "-",
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    frames: list[dict | None] = []
    for line in result.stderr.splitlines():
        if re.search(r"\]\s+n:\s*\d+\s+pts:", line):
            frames.append(None)
        elif "video encoding parameters" in line:
            fields = dict(re.findall(r"(\w+(?:\[\d\]\[\d\])?)=(-?\d+)", line))
            blocks = re.search(r"(\d+) blocks", line)
            frames[-1] = {
                "type": int(re.search(r"type (\d+)", line).group(1)),
                "qp": int(fields.get("qp", 0)),
                "cb": int(fields.get("delta_qp[1][0]", 0)),
                "cr": int(fields.get("delta_qp[2][0]", 0)),
                "blocks": int(blocks.group(1)) if blocks else 0,
            }
    return frames


def leading_picture_count(path: Path) -> int:
    """Packets that follow a key packet (other than the first) in demux order
    but show before it, as ffprobe lists them: the leading pictures of open GOPs."""
    out = subprocess.run(
        [
            "ffprobe",
            "-v",
            "error",
            "-select_streams",
            "v:0",
            "-show_entries",
            "packet=pts,flags",
            "-of",
            "csv=p=0",
            str(path),
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    count, keys_seen, key_pts = 0, 0, None
    for line in out.splitlines():
        pts, flags = line.split(",")[:2]
        if "K" in flags:
            keys_seen, key_pts = keys_seen + 1, int(pts)
        elif keys_seen > 1 and pts != "N/A" and int(pts) < key_pts:
            count += 1
    return count


def h264_slice_header_qps(path: Path) -> tuple[int, set[int]]:
    """Luma bit depth and the set of slice QPs (26 + pic_init_qp_minus26 +
    slice_qp_delta) of an H.264 stream with one PPS, read by FFmpeg's
    trace_headers bitstream filter."""
    log = subprocess.run(
        [
            "ffmpeg",
            "-hide_banner",
            "-nostdin",
            "-v",
            "debug",
            "-i",
            str(path),
            "-map",
            "0:v:0",
            "-c",
            "copy",
            "-bsf:v",
            "trace_headers",
            "-f",
            "null",
            "-",
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stderr

    def syntax(name: str) -> list[int]:
        return [int(v) for v in re.findall(name + r"\s+[01]+ = (-?\d+)", log)]

    depths = set(syntax("bit_depth_luma_minus8"))
    init_qps = set(syntax("pic_init_qp_minus26"))
    assert len(depths) == 1 and len(init_qps) == 1, (depths, init_qps)
    init_qp = 26 + init_qps.pop()
    return 8 + depths.pop(), {init_qp + delta for delta in syntax("slice_qp_delta")}


# ---------------------------------------------------------------------------
# Helpers for the checks
# ---------------------------------------------------------------------------


def describe_cells(qp_map: np.ndarray, expected) -> str:
    """How many cells of a QP map differ from the expected value(s), and the first one."""
    expected = np.broadcast_to(np.asarray(expected), qp_map.shape)
    wrong = np.argwhere(qp_map != expected)
    if wrong.size == 0:
        return "no difference"
    row, col = wrong[0]
    values = sorted(set(qp_map[qp_map != expected].tolist()))
    return (
        f"{len(wrong)} of {qp_map.size} cells differ; first at (row {row}, col {col}): "
        f"{qp_map[row, col]} instead of {expected[row, col]}; wrong values {values}"
    )


def describe_planes(actual: list[np.ndarray], expected: list[np.ndarray]) -> str | None:
    """None when all three planes are equal, otherwise where the first difference is."""
    for plane, (a, e) in enumerate(zip(actual, expected)):
        if a.shape != e.shape:
            return f"plane {plane}: shape {a.shape} instead of {e.shape}"
        if not np.array_equal(a, e):
            row, col = np.argwhere(a != e)[0]
            count = int(np.count_nonzero(a != e))
            return (
                f"plane {plane}: {count} samples differ, first at (row {row}, col {col}): "
                f"{a[row, col]} instead of {e[row, col]}"
            )
    return None


def assert_planes_match_reference(session, frame_idx: int, reference, context: str) -> None:
    error = None
    try:
        planes = videos.visible_planes(session, frame_idx)
    except RuntimeError as caught:  # name the access order along with the frame
        error = caught
    if error is not None:
        pytest.fail(f"{context}: frame {frame_idx} could not be decoded: {error!r}")
    difference = describe_planes(planes, reference[frame_idx])
    assert difference is None, f"{context}: frame {frame_idx}: {difference}"


def access_orders(num_frames: int) -> dict[str, list[int]]:
    frames = list(range(num_frames))
    return {
        "in order": frames,
        "reversed": frames[::-1],
        "shuffled": random.Random(20240611).sample(frames, num_frames),
    }


# ---------------------------------------------------------------------------
# The test videos (each made once and cached by recipe)
# ---------------------------------------------------------------------------

CONSTANT_QPS = (18, 30, 44)


def constant_qp_video(qp: int) -> Path:
    # 640x480 so the decoder has many macroblock rows to work through; a
    # 24-frame GOP gives several key groups in 100 frames.
    return videos.lavfi_h264(
        f"refdec-cqp{qp}",
        ".mp4",
        size="640x480",
        frames=100,
        extra=[
            "-qp",
            str(qp),
            "-bf",
            "3",
            "-g",
            "24",
            "-x264-params",
            "ipratio=1:pbratio=1:aq-mode=0",
        ],
    )


QPFILE_FRAMES = 61


def qpfile_plan() -> tuple[list[str], list[int]]:
    """Frame types and QPs for x264's --qpfile, in display order: I, then
    groups of three B frames (the middle one a reference B) and a P; a second
    I at frame 32, whose preceding frame is a P since x264's GOPs are closed."""
    rng = random.Random(7)
    qps = [rng.randint(1, 51) for _ in range(QPFILE_FRAMES)]
    types = []
    for i in range(QPFILE_FRAMES):
        if i in (0, 32):
            types.append("I")
        elif i % 4 == 0 or i == 31:
            types.append("P")
        else:
            types.append("B" if i % 8 == 2 else "b")
    return types, qps


def qpfile_video() -> Path:
    types, qps = qpfile_plan()
    qpfile = "".join(f"{i} {t} {q}\n" for i, (t, q) in enumerate(zip(types, qps)))
    return videos.x264_video(
        "refdec-qpfile",
        ".mkv",
        ["--crf", "23", "--no-mbtree", "--aq-mode", "0", "--bframes", "3"],
        frames=QPFILE_FRAMES,
        qpfile=qpfile,
    )


# (preset, psy, offset asked for, offset x264 writes into the PPS)
CHROMA_CASES = [
    ("veryfast", 0, -4, -4),
    ("veryfast", 0, 0, 0),
    ("veryfast", 0, 5, 5),
    # With psy on and a subpel refinement that enables psy-rd (medium: subme
    # 7), x264 lowers the chroma offset by 2, staying within -12..12.
    ("medium", 1, -4, -6),
    ("medium", 1, 5, 3),
    ("medium", 1, -12, -12),
]


def chroma_offset_video(preset: str, psy: int, offset: int) -> Path:
    return videos.lavfi_h264(
        f"refdec-chroma{offset}-{preset}-psy{psy}",
        ".mp4",
        size="160x120",
        frames=30,
        encoder=["-c:v", "libx264", "-preset", preset],
        extra=[
            "-bf",
            "3",
            "-g",
            "12",
            "-x264-params",
            f"chroma-qp-offset={offset}:psy={psy}:aq-mode=0",
        ],
    )


TEN_BIT_QPS = (24, 57)


def ten_bit_video(qp: int) -> Path:
    # 200x116: rows wider than the visible width, and a cropped bottom row.
    return videos.lavfi_h264(
        f"refdec-10bit-qp{qp}",
        ".mp4",
        size="200x116",
        frames=30,
        extra=[
            "-pix_fmt",
            "yuv420p10le",
            "-qp",
            str(qp),
            "-bf",
            "3",
            "-g",
            "12",
            "-x264-params",
            "ipratio=1:pbratio=1:aq-mode=0",
        ],
    )


def long_b_frame_video() -> Path:
    return videos.lavfi_h264(
        "refdec-long", ".mp4", size="192x108", frames=420, extra=["-bf", "3", "-g", "48"]
    )


def short_b_frame_video() -> Path:
    return videos.lavfi_h264(
        "refdec-short", ".mp4", size="160x120", frames=120, extra=["-bf", "3", "-g", "30"]
    )


def remuxed_video(suffix: str) -> Path:
    return videos.ffmpeg_video(
        "refdec-short-remux", suffix, "-i", str(short_b_frame_video()), "-c", "copy"
    )


# (codec, container, -q:v); closed GOPs so that every picture decodes from its own key frame.
NON_H264_CASES = [
    ("mpeg2video", ".mkv", 5),
    ("mpeg4", ".mp4", 4),
]


def non_h264_video(codec: str, suffix: str, quality: int, open_gop: bool = False) -> Path:
    gop = [] if open_gop else ["-flags", "+cgop", "-sc_threshold", "1000000000"]
    name = f"refdec-{codec}{'-open' if open_gop else ''}"
    return videos.ffmpeg_video(
        name,
        suffix,
        "-f",
        "lavfi",
        "-i",
        "testsrc2=size=176x144:rate=25",
        "-frames:v",
        "40",
        "-c:v",
        codec,
        "-q:v",
        str(quality),
        "-bf",
        "2",
        "-g",
        "12",
        *gop,
    )


def open_gop_h264_video() -> Path:
    return videos.x264_video(
        "refdec-opengop",
        ".mkv",
        ["--preset", "veryfast", "--bframes", "3", "--keyint", "30", "--open-gop"],
        size="192x108",
        frames=120,
    )


# Every file above, for the frame count check.
ALL_VIDEOS = {
    **{f"h264 constant qp {qp}": functools.partial(constant_qp_video, qp) for qp in CONSTANT_QPS},
    "h264 x264 qpfile": qpfile_video,
    **{
        f"h264 chroma offset {o} {p} psy={s}": functools.partial(chroma_offset_video, p, s, o)
        for p, s, o, _ in CHROMA_CASES
    },
    **{f"h264 10-bit qp {qp}": functools.partial(ten_bit_video, qp) for qp in TEN_BIT_QPS},
    "h264 420 frames mp4": long_b_frame_video,
    "h264 120 frames mp4": short_b_frame_video,
    "h264 120 frames mkv": functools.partial(remuxed_video, ".mkv"),
    "h264 120 frames ts": functools.partial(remuxed_video, ".ts"),
    "h264 120 frames avi": functools.partial(remuxed_video, ".avi"),
    **{f"{c} {s}": functools.partial(non_h264_video, c, s, q) for c, s, q in NON_H264_CASES},
    "mpeg2video .mpg": functools.partial(non_h264_video, "mpeg2video", ".mpg", 5),
    "mpeg4 open gop .mp4": functools.partial(non_h264_video, "mpeg4", ".mp4", 4, True),
    "h264 open gop .mkv": open_gop_h264_video,
}


# ---------------------------------------------------------------------------
# QP maps
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("qp", CONSTANT_QPS)
def test_qp_map_matches_constant_encoder_qp_in_every_frame(qp):
    path = constant_qp_video(qp)
    types = picture_types(path)
    assert {"I", "P", "B"} <= set(types) and types.count("I") >= 4, f"picture types {types}"

    # Each pass in a fresh session, so every frame is really decoded three
    # times, reached from different places.
    num_frames = mbgauge.H264DecoderSession(str(path)).num_frames
    for order_name, order in access_orders(num_frames).items():
        session = mbgauge.H264DecoderSession(str(path))
        for f in order:
            qp_map = session.get_qpmap(f)
            assert qp_map.dtype == np.int8
            assert qp_map.shape == (30, 40)
            assert np.all(qp_map == qp), (
                f"{order_name} pass, frame {f} ({types[f]}): {describe_cells(qp_map, qp)}"
            )


def test_qp_map_reads_the_qp_x264_was_given_for_each_frame():
    path = qpfile_video()
    types, qps = qpfile_plan()
    # x264 kept the frame types it was given, so the QPs land on I, P and B frames.
    assert picture_types(path) == [t.upper() for t in types]

    for order_name in ("in order", "shuffled"):
        session = mbgauge.H264DecoderSession(str(path))
        assert session.num_frames == QPFILE_FRAMES
        for f in access_orders(QPFILE_FRAMES)[order_name]:
            qp_map = session.get_qpmap(f)
            assert np.all(qp_map == qps[f]), (
                f"{order_name}, frame {f} ({types[f]}, qpfile QP {qps[f]}): "
                f"{describe_cells(qp_map, qps[f])}"
            )


# ---------------------------------------------------------------------------
# Chroma QP offsets
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("preset", "psy", "asked", "written"),
    CHROMA_CASES,
    ids=[f"{p}-psy{s}-offset{o}" for p, s, o, _ in CHROMA_CASES],
)
def test_chroma_qp_offsets_are_the_ones_x264_wrote(preset, psy, asked, written):
    path = chroma_offset_video(preset, psy, asked)
    assert x264_recorded_setting(path, "chroma_qp_offset") == written
    assert x264_recorded_setting(path, "psy") == psy

    session = mbgauge.H264DecoderSession(str(path))
    types = picture_types(path)
    assert {"I", "P", "B"} <= set(types)
    for f in range(session.num_frames):
        assert session.get_chroma_qp_offset(f) == (written, written), f"frame {f} ({types[f]})"


# ---------------------------------------------------------------------------
# 10-bit
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("qp", TEN_BIT_QPS)
def test_ten_bit_frames_match_ffmpeg_and_carry_the_encoder_qp(qp):
    path = ten_bit_video(qp)
    session = mbgauge.H264DecoderSession(str(path))
    assert session.pix_fmt == "yuv420p10le"
    assert session.bytes_per_sample == 2
    assert (session.mb_cols, session.mb_rows) == (13, 8)

    # What FFmpeg exports for high bit depth: the H.264 decoder reports
    # QP'Y = QPY + 6 * (bit depth - 8), i.e. the slice header's QP plus 12 for
    # 10-bit. x264's -qp for 10-bit is on that same 0..63 scale, so the map
    # reads Q itself (57 is only reachable above 8 bits), while the slice
    # headers carry Q - 12.
    bit_depth, slice_qps = h264_slice_header_qps(path)
    assert bit_depth == 10
    assert slice_qps == {qp - 12}
    exported = qp - 12 + 6 * (bit_depth - 8)

    reference = reference_frames(path, "yuv420p10le", 2)
    assert len(reference) == session.num_frames
    chroma_width, chroma_height = (session.width + 1) // 2, (session.height + 1) // 2
    for f in range(session.num_frames):
        qp_map = session.get_qpmap(f)
        assert np.all(qp_map == exported), f"frame {f}: {describe_cells(qp_map, exported)}"

        for plane, (width, height) in enumerate(
            [
                (session.width, session.height),
                (chroma_width, chroma_height),
                (chroma_width, chroma_height),
            ]
        ):
            data = session.get_plane_data(f, plane)
            assert data.dtype == np.uint16, f"frame {f} plane {plane}"
            # Columns are samples (the byte stride halved), at least the visible width.
            assert data.shape[0] == height and data.shape[1] >= width, (
                f"frame {f} plane {plane}: shape {data.shape}"
            )

            # The direct copy writes the same 16-bit samples into caller memory.
            copied = np.zeros((height, width), dtype=np.uint16)
            session.copy_plane_to_ptr(f, plane, copied.ctypes.data, copied.strides[0])
            assert np.array_equal(copied, reference[f][plane]), f"frame {f} plane {plane} copy"
        assert_planes_match_reference(session, f, reference, "10-bit in order")


# ---------------------------------------------------------------------------
# Frame-accurate pixels
# ---------------------------------------------------------------------------

# Jumps of more than 350 frames both ways, steps inside a GOP, across key
# frames and to the end of the file (the last pictures come out only when the
# decoder is drained).
SCRIPTED_JUMPS = [
    0,
    1,
    2,
    400,
    401,
    5,
    6,
    419,
    418,
    3,
    47,
    48,
    100,
    99,
    371,
    20,
    380,
    379,
    417,
    416,
    50,
    51,
    415,
    4,
    414,
    10,
    419,
    0,
]


def long_video_orders(num_frames: int) -> dict[str, list[int]]:
    return {
        "shuffled": random.Random(11).sample(range(num_frames), num_frames),
        "backwards from the last frame": list(range(num_frames))[::-1],
        "scripted jumps": SCRIPTED_JUMPS,
        "in order": list(range(num_frames)),
    }


@pytest.mark.parametrize("order_name", list(long_video_orders(420)))
def test_planes_equal_ffmpeg_frames_in_any_access_order(order_name):
    path = long_b_frame_video()
    reference = reference_frames(path)
    session = mbgauge.H264DecoderSession(str(path))
    assert session.num_frames == len(reference) == 420
    assert picture_types(path).count("I") >= 8
    for f in long_video_orders(session.num_frames)[order_name]:
        assert_planes_match_reference(session, f, reference, order_name)


@pytest.mark.parametrize("order_name", ["in order", "reversed", "shuffled"])
@pytest.mark.parametrize("suffix", [".mkv", ".ts", ".avi"])
def test_planes_equal_ffmpeg_frames_in_other_containers(suffix, order_name):
    path = remuxed_video(suffix)
    reference = reference_frames(path)
    session = mbgauge.H264DecoderSession(str(path))
    assert session.num_frames == len(reference) == 120
    for f in access_orders(session.num_frames)[order_name]:
        assert_planes_match_reference(session, f, reference, f"{suffix} {order_name}")


@pytest.mark.parametrize("name", ALL_VIDEOS)
def test_num_frames_equals_the_pictures_ffmpeg_decodes(name):
    path = ALL_VIDEOS[name]()
    assert mbgauge.H264DecoderSession(str(path)).num_frames == videos.ffmpeg_frame_count(path)


# ---------------------------------------------------------------------------
# Codecs other than H.264
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("codec", "suffix", "quality"),
    [
        *NON_H264_CASES,
        # MPEG-PS: the last picture's packet carries a dts but no pts.
        ("mpeg2video", ".mpg", 5),
    ],
)
def test_non_h264_frames_match_ffmpeg_and_export_what_ffmpeg_exports(codec, suffix, quality):
    path = non_h264_video(codec, suffix, quality)
    reference = reference_frames(path)
    exported = ffmpeg_exported_enc_params(path)
    session = mbgauge.H264DecoderSession(str(path))
    assert session.num_frames == len(reference) == len(exported) == 40

    # What FFmpeg exports for MPEG-2 and MPEG-4 video (found by trying it): a
    # QP table of the MPEG-2 kind (type 2) with one block per macroblock, whose
    # value is the quantiser scale, 2 * -q:v for these linear-quantiser streams; no
    # chroma offsets. The last picture, which the decoder only hands out when
    # it is drained, carries no table at all (the ffmpeg command shows the
    # same), so its map is all -1.
    assert sum(p is not None for p in exported) >= len(exported) - 1, exported
    for f in range(session.num_frames):
        assert_planes_match_reference(session, f, reference, f"{codec}{suffix} in order")
        qp_map = session.get_qpmap(f)
        assert qp_map.shape == (9, 11)
        assert session.get_chroma_qp_offset(f) == (0, 0), f"frame {f}"
        params = exported[f]
        if params is None:
            assert np.all(qp_map == -1), f"frame {f} (no table): {describe_cells(qp_map, -1)}"
        else:
            assert (params["type"], params["qp"], params["blocks"]) == (2, 0, 99), params
            assert np.all(qp_map == 2 * quality), (
                f"frame {f}: {describe_cells(qp_map, 2 * quality)}"
            )


@pytest.mark.parametrize("name", ["mpeg4 open gop .mp4", "h264 open gop .mkv"])
@pytest.mark.parametrize("order_name", ["in order", "shuffled"])
def test_open_gop_leading_pictures_equal_ffmpeg_frames(name, order_name):
    # Leading pictures come after their key frame in decode order but before
    # it in display order, and need the GOP before it.
    path = ALL_VIDEOS[name]()
    assert leading_picture_count(path) >= 2
    reference = reference_frames(path)
    session = mbgauge.H264DecoderSession(str(path))
    assert session.num_frames == len(reference)
    for f in access_orders(session.num_frames)[order_name]:
        assert_planes_match_reference(session, f, reference, f"{name} {order_name}")
