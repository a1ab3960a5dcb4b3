"""HEVC through mbgauge, checked against references nobody here wrote: the
QPs x265 was told to use (constant QP, a qpfile, chroma offsets) and the
average QP its own per-frame log reports, the slice and picture headers as
FFmpeg's header tracer reads them, the video encoding parameters FFmpeg's
decoder exports (tests/cpp/ffmpeg_reference.c against the same libraries),
and the ffmpeg command's pictures.

The QPs need mbgauge's own FFmpeg build (its HEVC decoder exports them);
against another FFmpeg the maps read -1, which is checked instead.
"""

from __future__ import annotations

import csv
import functools
import re
import subprocess
from pathlib import Path

import numpy as np
import pytest

import mbgauge
from tests.support import ffmpeg_reference, videos
from tests.test_reference_decode import describe_cells

# Constant QP as the brief for x265 puts it: no I/P/B ratios, no adaptive
# quantisation, no cutree.
CONSTANT = "ipratio=1:pbratio=1:aq-mode=0:cutree=0:bframes=3:keyint=8"


@functools.cache
def ffmpeg_exports_hevc_qp() -> bool:
    """Whether the FFmpeg that mbgauge loads attaches encoding parameters to HEVC pictures."""
    path = videos.libx265_video("hevc-probe", ".mkv", f"qp=30:{CONSTANT}", frames=2)
    return ffmpeg_reference.decode(path)[0].params_type is not None


needs_hevc_qp = pytest.mark.skipif(
    "not ffmpeg_exports_hevc_qp()", reason="the FFmpeg mbgauge runs on exports no HEVC QPs"
)


def qp_prime(qp: int, bit_depth: int) -> int:
    """What FFmpeg exports for a luma QP: QP'Y = QpY + 6 * (bit depth - 8), as for H.264."""
    return qp + 6 * (bit_depth - 8)


def header_values(path: Path, *names: str) -> dict[str, list[int]]:
    """Values of HEVC syntax elements in stream order, as FFmpeg's trace_headers reads them."""
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
    return {
        name: [int(v) for v in re.findall(rf"\s{name}\s+[01]+ = (-?\d+)", log)] for name in names
    }


def slice_qps(path: Path) -> set[int]:
    values = header_values(path, "init_qp_minus26", "slice_qp_delta")
    (init_qp_minus26,) = set(values["init_qp_minus26"])
    return {26 + init_qp_minus26 + delta for delta in values["slice_qp_delta"]}


def assert_maps_match_ffmpeg(session, pictures) -> None:
    """mbgauge's blocks, cell maps and chroma offsets, frame by frame and in
    one batch, equal what FFmpeg's export gives."""
    assert len(pictures) == session.num_frames
    frames = list(range(session.num_frames))[::-1]
    batch_maps = session.get_qpmaps(frames)
    batch_offsets = session.get_chroma_qp_offsets(frames)
    for position, f in enumerate(frames):
        picture = pictures[f]
        blocks = session.get_qp_blocks(f)
        got = np.stack([blocks[name] for name in ("x", "y", "w", "h", "qp")], axis=1)
        assert np.array_equal(got, picture.blocks), f"frame {f}: blocks differ from FFmpeg's export"
        expected = picture.cell_map(session.mb_rows, session.mb_cols)
        for qp_map in (session.get_qpmap(f), batch_maps[position]):
            assert np.array_equal(qp_map, expected), (
                f"frame {f}: {describe_cells(qp_map, expected)}"
            )
        offsets = (picture.cb_offset, picture.cr_offset)
        assert session.get_chroma_qp_offset(f) == offsets, f"frame {f}"
        assert tuple(batch_offsets[position]) == offsets, f"frame {f}"


# (id, bit depth, CTU size, extra x265 options, QP)
CONSTANT_QP_CASES = [
    ("8bit-ctu16-nosao", 8, 16, "no-sao=1", 22),
    ("8bit-ctu32-sao", 8, 32, "sao=1", 30),
    ("8bit-ctu64-mincu8-sao", 8, 64, "sao=1:min-cu-size=8", 37),
    ("10bit-ctu32-sao", 10, 32, "sao=1", 30),
    # QP'Y 57: beyond 51, reachable only above 8 bits.
    ("10bit-ctu64-nosao", 10, 64, "no-sao=1:min-cu-size=8", 45),
]


def constant_qp_video(case_id: str, bit_depth: int, ctu: int, extra: str, qp: int) -> Path:
    pix_fmt = "yuv420p" if bit_depth == 8 else "yuv420p10le"
    # 200x116: HEVC codes 120 rows (a multiple of the 8-sample minimum
    # coding block) and crops 4, and the last cell row is half covered.
    return videos.libx265_video(
        f"hevc-cqp-{case_id}",
        ".mkv",
        f"qp={qp}:ctu={ctu}:{extra}:{CONSTANT}",
        frames=12,
        pix_fmt=pix_fmt,
    )


@needs_hevc_qp
@pytest.mark.parametrize("case", CONSTANT_QP_CASES, ids=[case[0] for case in CONSTANT_QP_CASES])
def test_constant_qp_reads_in_every_cell_of_every_frame(case):
    case_id, bit_depth, ctu, extra, qp = case
    path = constant_qp_video(*case)
    # What x265 wrote: every slice at QP qp, no CU-level deltas.
    assert slice_qps(path) == {qp}

    session = mbgauge.H264DecoderSession(str(path))
    assert (session.width, session.height, session.mb_cols, session.mb_rows) == (200, 116, 13, 8)
    expected = qp_prime(qp, bit_depth)
    for f in range(session.num_frames):
        qp_map = session.get_qpmap(f)
        assert np.all(qp_map == expected), f"frame {f}: {describe_cells(qp_map, expected)}"
        assert session.get_chroma_qp_offset(f) == (0, 0), f"frame {f}"

    pictures = ffmpeg_reference.decode(path)
    # FFmpeg's export: one block per coding block, none larger than a CTU,
    # none smaller than 8, tiling the coded picture (200x120) exactly once.
    for f, picture in enumerate(pictures):
        x, y, w, h, block_qp = picture.blocks.T
        assert picture.params_type == 1 and np.all(block_qp == expected), f"frame {f}"
        assert set(w) <= {8, 16, 32, 64} and np.all(w == h) and w.max() <= ctu, f"frame {f}"
        coverage = np.zeros((120, 200), np.int64)
        for bx, by, bw, bh in zip(x, y, w, h):
            coverage[by : by + bh, bx : bx + bw] += 1
        assert np.all(coverage == 1), f"frame {f}: blocks overlap or leave gaps"
    assert_maps_match_ffmpeg(session, pictures)


# Types and QPs for x265's --qpfile, by frame number; a second I at frame 11.
QPFILE_TYPES = "I P P P P P P P P P P I P P P P".split()
QPFILE_QPS = [24, 40, 33, 45, 20, 38, 29, 50, 17, 31, 26, 22, 44, 35, 28, 19]


def qpfile_video() -> Path:
    """Written by the x265 command (ffmpeg's libx265 takes no qpfile) as a
    raw stream, then put into Matroska by ffmpeg. No B-frames: the raw stream
    carries no timestamps, and only in decode order = display order can
    ffmpeg make them up correctly."""
    plan = "".join(f"{i} {t} {q}\n" for i, (t, q) in enumerate(zip(QPFILE_TYPES, QPFILE_QPS)))

    def make(out: Path) -> None:
        source, qpfile, raw = (
            out.with_suffix(".y4m"),
            out.with_suffix(".txt"),
            out.with_suffix(".hevc"),
        )
        subprocess.run(
            [
                *videos.FFMPEG,
                "-f",
                "lavfi",
                "-i",
                "testsrc2=size=200x116:rate=25",
                "-frames:v",
                str(len(QPFILE_QPS)),
                "-pix_fmt",
                "yuv420p",
                str(source),
            ],
            check=True,
        )
        qpfile.write_text(plan)
        subprocess.run(
            [
                "x265",
                "--log-level",
                "error",
                "--qpfile",
                str(qpfile),
                "--aq-mode",
                "0",
                "--no-cutree",
                "--bframes",
                "0",
                str(source),
                "-o",
                str(raw),
            ],
            check=True,
        )
        subprocess.run(
            [
                *videos.FFMPEG,
                "-fflags",
                "+genpts",
                "-r",
                "25",
                "-i",
                str(raw),
                "-c",
                "copy",
                str(out),
            ],
            check=True,
        )
        for path in (source, qpfile, raw):
            path.unlink()

    return videos._cached("hevc-qpfile", ".mkv", ["x265 --qpfile", plan], make)


@needs_hevc_qp
def test_each_frame_reads_its_qp_from_the_qpfile():
    path = qpfile_video()
    session = mbgauge.H264DecoderSession(str(path))
    assert session.num_frames == len(QPFILE_QPS)
    # Out of order on purpose: frames come from the cache or after a seek.
    order = [*range(session.num_frames)][::-3] + [*range(session.num_frames)]
    for f in order:
        qp_map = session.get_qpmap(f)
        expected = np.full_like(qp_map, QPFILE_QPS[f])
        assert np.array_equal(qp_map, expected), (
            f"frame {f} ({QPFILE_TYPES[f]}): {describe_cells(qp_map, expected)}"
        )


CHROMA_CASES = [(-4, 6), (3, -2), (12, -12)]


@pytest.mark.parametrize("cb, cr", CHROMA_CASES)
def test_chroma_offsets_are_the_pps_offsets_x265_was_given(cb, cr):
    path = videos.libx265_video(
        f"hevc-chroma{cb}{cr}", ".mkv", f"qp=28:cbqpoffs={cb}:crqpoffs={cr}:{CONSTANT}", frames=10
    )
    headers = header_values(path, "pps_cb_qp_offset", "pps_cr_qp_offset")
    assert (set(headers["pps_cb_qp_offset"]), set(headers["pps_cr_qp_offset"])) == ({cb}, {cr})

    session = mbgauge.H264DecoderSession(str(path))
    expected = (cb, cr) if ffmpeg_exports_hevc_qp() else (0, 0)
    for f in range(session.num_frames):
        assert session.get_chroma_qp_offset(f) == expected, f"frame {f}"


# (id, bit depth, x265 options): adaptive quantisation down to quantisation
# groups of 8 and of 64.
AQ_CASES = [
    ("8bit-ctu32-qg8", 8, "ctu=32:min-cu-size=8:qg-size=8:aq-mode=2:aq-strength=1.5"),
    ("8bit-ctu64-qg64", 8, "ctu=64:qg-size=64:aq-mode=1:aq-strength=2"),
    ("10bit-ctu64-qg16", 10, "ctu=64:min-cu-size=8:qg-size=16:aq-mode=3"),
]
# x265's per-frame log prints the average QP with two decimals.
CSV_ROUNDING = 0.005


def x265_logged_qps(path: Path) -> dict[int, float]:
    """Average QP of every frame by display position (POC), from x265's csv log."""
    with open(path.with_suffix(".csv"), newline="") as log:
        rows = [
            {key.strip(): value.strip() for key, value in row.items()}
            for row in csv.DictReader(log)
        ]
    return {int(row["POC"]): float(row["QP"]) for row in rows}


@needs_hevc_qp
@pytest.mark.parametrize("case", AQ_CASES, ids=[case[0] for case in AQ_CASES])
def test_block_mean_qp_matches_x265_log_and_maps_match_ffmpeg(case):
    case_id, bit_depth, options = case
    pix_fmt = "yuv420p" if bit_depth == 8 else "yuv420p10le"
    # 320x192: whole CTUs of 64, so x265's average runs over the same area.
    path = videos.libx265_video(
        f"hevc-aq-{case_id}",
        ".mkv",
        f"crf=28:{options}:bframes=3",
        size="320x192",
        frames=16,
        pix_fmt=pix_fmt,
        csv=True,
    )
    logged = x265_logged_qps(path)
    pictures = ffmpeg_reference.decode(path)
    assert len(pictures) == len(logged) == 16

    differences = []
    for f, picture in enumerate(pictures):
        mean = picture.block_area_mean_qp() - 6 * (bit_depth - 8)
        differences.append(abs(mean - logged[f]))
        assert len(set(picture.blocks[:, 4])) > 1, f"frame {f}: adaptive QP gave one value"
    worst = int(np.argmax(differences))
    assert differences[worst] <= CSV_ROUNDING, (
        f"frame {worst}: mean of the exported blocks {differences[worst]:.4f} away from x265's {logged[worst]}"
    )

    session = mbgauge.H264DecoderSession(str(path))
    assert_maps_match_ffmpeg(session, pictures)


@needs_hevc_qp
def test_a_conformance_window_at_the_left_and_top_moves_blocks_and_cells_with_the_picture():
    """The same bitstream with a conformance window cropping 16 columns and
    16 rows at the left and top: its blocks are the uncropped stream's moved
    up and left by 16, its cells and luma the uncropped ones without the
    first row and column."""
    whole = videos.libx265_video(
        "hevc-aq-crop-source", ".mkv", "crf=28:aq-mode=2:bframes=3", size="320x192", frames=6
    )
    cropped = videos.ffmpeg_video(
        "hevc-aq-cropped",
        ".mkv",
        "-i",
        str(whole),
        "-c",
        "copy",
        "-bsf:v",
        "hevc_metadata=crop_left=16:crop_top=16",
    )
    full = mbgauge.H264DecoderSession(str(whole))
    session = mbgauge.H264DecoderSession(str(cropped))
    assert (session.width, session.height) == (full.width - 16, full.height - 16)
    for f in range(session.num_frames):
        expected = full.get_qp_blocks(f).copy()
        expected["x"] -= 16
        expected["y"] -= 16
        assert np.array_equal(session.get_qp_blocks(f), expected), f"frame {f}: blocks differ"
        qp_map, shifted = session.get_qpmap(f), full.get_qpmap(f)[1:, 1:]
        assert np.array_equal(qp_map, shifted), f"frame {f}: {describe_cells(qp_map, shifted)}"
        luma = session.get_plane_data(f, 0)[: session.height, : session.width]
        assert np.array_equal(luma, full.get_plane_data(f, 0)[16 : full.height, 16 : full.width]), (
            f"frame {f}: luma differs"
        )


# (id, x265 options, whether the stream carries in-loop filters)
LOOP_FILTER_CASES = [
    ("deblock-sao", "sao=1", True),
    ("sao-only", "sao=1:no-deblock=1", True),
    ("no-filters", "no-sao=1:no-deblock=1", False),
]


@pytest.mark.parametrize("case", LOOP_FILTER_CASES, ids=[case[0] for case in LOOP_FILTER_CASES])
@pytest.mark.parametrize("bit_depth", [8, 10])
def test_planes_are_the_pictures_before_deblocking_and_sao(case, bit_depth):
    case_id, options, filtered = case
    pix_fmt = "yuv420p" if bit_depth == 8 else "yuv420p10le"
    path = videos.libx265_video(
        f"hevc-planes-{case_id}-{bit_depth}",
        ".mkv",
        f"crf=30:ctu=32:{options}:bframes=3:keyint=8",
        frames=12,
        pix_fmt=pix_fmt,
    )
    session = mbgauge.H264DecoderSession(str(path))
    bps = 2 if bit_depth > 8 else 1
    # FFmpeg's HEVC decoder with skip_loop_filter skips deblocking and SAO
    # alike; its HEVC decoding is bit-exact, so the system ffmpeg command
    # and the libraries mbgauge loads must give the same pictures.
    unfiltered = videos.ffmpeg_reference_frames(path, 200, 116, pix_fmt, bps)
    same_libs = ffmpeg_reference.decode(path, planes=True)
    output = videos.ffmpeg_reference_frames(path, 200, 116, pix_fmt, bps, skip_loop_filter=False)
    assert len(unfiltered) == len(same_libs) == len(output) == session.num_frames
    for f in reversed(range(session.num_frames)):
        planes = videos.visible_planes(session, f)
        for p in range(3):
            assert np.array_equal(planes[p], unfiltered[f][p]), (
                f"frame {f}, plane {p}: not ffmpeg -skip_loop_filter all"
            )
            assert np.array_equal(planes[p], same_libs[f].planes[p]), (
                f"frame {f}, plane {p}: not the same libraries' decode"
            )
    # Where the stream has no in-loop filter, the picture before filtering
    # is the decoded picture itself; where it has one, they differ.
    differs = [
        any(not np.array_equal(unfiltered[f][p], output[f][p]) for p in range(3))
        for f in range(session.num_frames)
    ]
    assert any(differs) if filtered else not any(differs), differs


def test_maps_read_minus_one_where_ffmpeg_exports_no_hevc_qp():
    path = constant_qp_video(*CONSTANT_QP_CASES[1])
    session = mbgauge.H264DecoderSession(str(path))
    if ffmpeg_exports_hevc_qp():
        pytest.skip("this FFmpeg exports HEVC QPs")
    for f in range(session.num_frames):
        assert np.all(session.get_qpmap(f) == -1), f"frame {f}"


def test_mbgauge_own_ffmpeg_build_exports_hevc_qp():
    # A prefix made by ffmpeg/build.sh carries its completion stamp.
    prefix = ffmpeg_reference.loaded_libavcodec().parent.parent
    if not (prefix / ".complete").exists():
        pytest.skip(f"mbgauge runs on another FFmpeg ({prefix})")
    assert ffmpeg_exports_hevc_qp(), f"{prefix}: the patched HEVC decoder exports nothing"


def annexb_nal_units(data: bytes) -> list[bytes]:
    """The NAL units of an Annex B stream, start codes left out (emulation
    prevention keeps 00 00 0x out of a unit)."""
    return re.split(rb"\x00\x00\x00?\x01", data)[1:]


@needs_hevc_qp
def test_coding_tree_blocks_of_a_lost_slice_read_minus_one(tmp_path):
    # Three slices a picture, CTBs of 16: a CTB is a cell. No B-frames, so
    # that ffmpeg can time the raw stream when it puts it into Matroska.
    raw = videos.libx265_video(
        "hevc-3slices", ".hevc", f"qp=30:{CONSTANT}:bframes=0:ctu=16:slices=3", frames=6
    )
    addresses = header_values(raw, "slice_segment_address")["slice_segment_address"]
    assert addresses[:2] == [26, 65], addresses  # the second slice of each picture: CTBs 26..64

    units = annexb_nal_units(raw.read_bytes())
    slices = [i for i, unit in enumerate(units) if (unit[0] >> 1) & 0x3F < 32]
    lost_picture = 2
    lost = slices[3 * lost_picture + 1]
    damaged = tmp_path / "lost-slice.hevc"
    damaged.write_bytes(b"".join(b"\x00\x00\x00\x01" + u for i, u in enumerate(units) if i != lost))
    path = tmp_path / "lost-slice.mkv"
    subprocess.run(
        [
            *videos.FFMPEG,
            "-fflags",
            "+genpts",
            "-r",
            "25",
            "-i",
            str(damaged),
            "-c",
            "copy",
            str(path),
        ],
        check=True,
    )

    session = mbgauge.H264DecoderSession(str(path))
    assert session.num_frames == 6
    for f in range(session.num_frames):
        expected = np.full((session.mb_rows, session.mb_cols), 30, np.int8)
        if f == lost_picture:
            expected.reshape(-1)[26:65] = -1
        qp_map = session.get_qpmap(f)
        assert np.array_equal(qp_map, expected), f"frame {f}: {describe_cells(qp_map, expected)}"
        blocks = session.get_qp_blocks(f)
        assert np.all(blocks["qp"] == 30), f"frame {f}"
