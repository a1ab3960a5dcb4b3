"""The block structure of H.264 and HEVC pictures against what the encoders
and FFmpeg's own debug output say about it."""

from __future__ import annotations

import csv
import functools
import re
import subprocess
from collections import Counter
from pathlib import Path

import numpy as np
import pytest

import mbgauge
from tests.support import videos

FIELDS = ("x", "y", "w", "h", "qp", "kind", "partition", "transform", "intra_mode", "bits")
KIND = {name: index for index, name in enumerate(mbgauge.BLOCK_KINDS)}
PART = {name: index for index, name in enumerate(mbgauge.PARTITIONS)}


@functools.cache
def coding_blocks_exported() -> bool:
    """Whether the FFmpeg mbgauge runs on exports the block structure."""
    session = mbgauge.H264DecoderSession(str(videos.lavfi_h264("blocks-probe", frames=2)))
    try:
        session.get_coding_blocks(0)
    except RuntimeError:
        return False
    return True


needs_blocks = pytest.mark.skipif(
    "not coding_blocks_exported()", reason="the FFmpeg mbgauge runs on exports no coding blocks"
)


def test_without_the_export_the_query_says_what_it_needs():
    path = str(videos.lavfi_h264("blocks-probe", frames=2))
    session = mbgauge.H264DecoderSession(path)
    if coding_blocks_exported():
        assert session.get_coding_blocks(0).dtype.names == FIELDS
        assert session.get_coding_blocks_batch([1]).dtype.names == ("frame", *FIELDS)
        off = mbgauge.H264DecoderSession(path, coding_blocks=False)
        assert not off.coding_blocks
        with pytest.raises(ValueError, match="coding_blocks=True"):
            off.get_coding_blocks(0)
    else:
        with pytest.raises(RuntimeError, match="need mbgauge's FFmpeg"):
            session.get_coding_blocks(0)
        with pytest.raises(RuntimeError, match="need mbgauge's FFmpeg"):
            session.get_coding_blocks_batch([0, 1])


# FFmpeg's -debug mb_type characters: the first says what a macroblock is,
# the second how it is partitioned (mpegutils.c).
DEBUG_KIND = {"P": "pcm", "i": "intra", "I": "intra", "d": "skip", "S": "skip", "D": "direct"}
DEBUG_KIND.update({">": "inter", "<": "inter", "X": "inter"})
DEBUG_PARTITION = {"+": "NxN", "-": "2NxN", "|": "Nx2N", " ": "2Nx2N"}


def debug_mb_types(path: Path, mb_cols: int) -> list[list[tuple[str, str]]]:
    """Per output frame, the (kind, partition) of every macroblock in raster
    order, as the system ffmpeg's -debug mb_type prints them."""
    log = subprocess.run(
        [
            *("ffmpeg", "-hide_banner", "-nostdin", "-threads", "1"),
            *("-debug", "mb_type", "-loglevel", "debug", "-i", str(path), "-f", "null", "-"),
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stderr
    frames: list[list[tuple[str, str]]] = []
    for line in log.splitlines():
        match = re.match(r"\[h264 @ 0x[0-9a-f]+\] (.*)$", line)
        if match is None:
            continue
        text = match.group(1)
        if text.startswith("New frame"):
            frames.append([])
            continue
        row = text[-3 * mb_cols :]
        if not frames or len(text) < 3 * mb_cols or not set(row[0::3]) <= set(DEBUG_KIND):
            continue
        for cell in range(mb_cols):
            kind, split = row[3 * cell], row[3 * cell + 1]
            # FFmpeg prints no partition for intra macroblocks: I_NxN is "i".
            partition = "NxN" if kind == "i" else DEBUG_PARTITION[split]
            frames[-1].append((DEBUG_KIND[kind], partition))
    return frames


H264_CASES = [
    ("cabac-spatial", ["--bframes", "3", "--direct", "spatial", "--partitions", "all"]),
    ("cabac-temporal", ["--bframes", "2", "--direct", "temporal", "--b-pyramid", "none"]),
    ("cavlc", ["--no-cabac", "--bframes", "2", "--partitions", "all", "--weightb"]),
    ("baseline", ["--profile", "baseline", "--partitions", "all"]),
    ("no-8x8dct", ["--no-8x8dct", "--bframes", "1"]),
]


def h264_file(name: str, args: list[str], frames: int = 24) -> Path:
    return videos.x264_video(f"blocks-{name}", ".264", ["--preset", "medium", *args], frames=frames)


@needs_blocks
@pytest.mark.parametrize("name, args", H264_CASES, ids=[c[0] for c in H264_CASES])
def test_h264_kinds_and_partitions_match_ffmpeg_debug_mb_type(name, args):
    path = h264_file(name, args)
    session = mbgauge.H264DecoderSession(str(path))
    # ffmpeg's stream probing decodes (and prints) some frames first.
    expected = debug_mb_types(path, session.mb_cols)[-session.num_frames :]
    seen = Counter()
    for f in range(session.num_frames):
        blocks = session.get_coding_blocks(f)
        assert len(blocks) == session.mb_rows * session.mb_cols, f"frame {f}"
        assert (blocks["w"] == 16).all() and (blocks["h"] == 16).all()
        assert list(zip(blocks["y"] // 16, blocks["x"] // 16)) == [
            (r, c) for r in range(session.mb_rows) for c in range(session.mb_cols)
        ]
        got = [
            (mbgauge.BLOCK_KINDS[k], mbgauge.PARTITIONS[p])
            for k, p in zip(blocks["kind"], blocks["partition"])
        ]
        differ = [(i, e, g) for i, (e, g) in enumerate(zip(expected[f], got)) if e != g]
        assert not differ, f"frame {f}: (macroblock, ffmpeg, mbgauge) {differ[:5]}"
        seen.update(got)
    # The clip exercises what it is meant to.
    assert {"intra", "inter", "skip"} <= {kind for kind, _ in seen}


@needs_blocks
@pytest.mark.parametrize("name, args", H264_CASES, ids=[c[0] for c in H264_CASES])
def test_h264_qp_and_intra_modes_follow_the_macroblock(name, args):
    path = h264_file(name, args)
    session = mbgauge.H264DecoderSession(str(path))
    for f in range(session.num_frames):
        blocks = session.get_coding_blocks(f)
        qp = session.get_qp_blocks(f)
        assert blocks["qp"].tolist() == qp["qp"].tolist(), f"frame {f}"
        intra = blocks["kind"] == KIND["intra"]
        # Intra_4x4 and Intra_8x8 modes are 0..8, Intra_16x16 ones 0..3.
        nxn = intra & (blocks["partition"] == PART["NxN"])
        assert ((blocks["intra_mode"][nxn] >= 0) & (blocks["intra_mode"][nxn] <= 8)).all()
        whole = intra & (blocks["partition"] == PART["2Nx2N"])
        assert ((blocks["intra_mode"][whole] >= 0) & (blocks["intra_mode"][whole] <= 3)).all()
        assert (blocks["intra_mode"][~intra] == -1).all(), f"frame {f}"


@needs_blocks
@pytest.mark.parametrize("dct8x8, expected", [(False, {0, 2}), (True, {0, 2, 3})])
def test_h264_transform_sizes_follow_x264s_8x8dct(dct8x8, expected):
    args = ["--qp", "24"] + ([] if dct8x8 else ["--no-8x8dct"])
    path = h264_file("dct8x8" if dct8x8 else "dct4x4", args)
    session = mbgauge.H264DecoderSession(str(path))
    table = session.get_coding_blocks_batch(range(session.num_frames))
    assert set(table["transform"].tolist()) == expected
    # Skipped macroblocks code no residual.
    assert (table["transform"][table["kind"] == KIND["skip"]] == 0).all()


def packet_bits(session) -> list[int]:
    return [int(size) * 8 for size in session.frame_table()["packet_size"]]


BITS_CASES = [
    ("h264-cabac", lambda: h264_file("bits-cabac", ["--qp", "20", "--bframes", "2"])),
    ("h264-cavlc", lambda: h264_file("bits-cavlc", ["--qp", "20", "--no-cabac"])),
    (
        "hevc",
        lambda: videos.x265_video(
            "blocks-bits", ["--qp", "22", "--no-info", "--no-sao"], size="256x144", frames=12
        ),
    ),
]


@needs_blocks
@pytest.mark.parametrize("name, make", BITS_CASES, ids=[c[0] for c in BITS_CASES])
def test_block_bits_make_up_the_packet(name, make):
    session = mbgauge.H264DecoderSession(str(make()))
    sizes = packet_bits(session)
    table = session.get_coding_blocks_batch(range(session.num_frames))
    for f, size in enumerate(sizes):
        bits = table["bits"][table["frame"] == f]
        assert (bits >= 0).all(), f"frame {f}"
        assert 0.85 * size <= bits.sum() <= size, f"frame {f}: {bits.sum()} of {size} bits"


def x265_csv_counts(path: Path) -> dict[int, dict[str, str]]:
    """x265's per-frame CU statistics by POC: the first block of its level-2
    columns, each a share of the frame's coding units (each counted once)."""
    with open(path.with_suffix(".csv"), newline="") as log:
        reader = csv.reader(log)
        header = [name.strip() for name in next(reader)]
        frames = {}
        for row in reader:
            values = [value.strip() for value in row]
            first = {}
            for name, value in zip(header, values):
                first.setdefault(name, value)
            frames[int(first["POC"])] = first
    return frames


def share(count: int, total: int) -> str:
    return f"{count * 100 / total:.2f}%"


@needs_blocks
@pytest.mark.parametrize("ctu", [64, 32])
def test_hevc_coding_units_match_x265s_statistics(ctu):
    path = videos.libx265_video(
        f"blocks-stats-{ctu}", ".mkv", f"ctu={ctu}:bframes=2:rect=0:amp=0", frames=10, csv=True
    )
    stats = x265_csv_counts(path)
    session = mbgauge.H264DecoderSession(str(path))
    assert sorted(stats) == list(range(session.num_frames))
    for f in range(session.num_frames):
        blocks = session.get_coding_blocks(f)
        total = len(blocks)
        kinds = blocks["kind"]
        # x265 files a skipped coding unit under "Merge" when the first
        # coding unit of its CTU merges (is skipped or merged), else under
        # "Skip" (it reads the merge flag of the CTU's first partition).
        first = {
            (x // ctu, y // ctu): kind
            for x, y, kind in zip(blocks["x"], blocks["y"], kinds)
            if x % ctu == 0 and y % ctu == 0
        }
        ctu_merges = np.array(
            [
                first[(x // ctu, y // ctu)] in (KIND["skip"], KIND["merge"])
                for x, y in zip(blocks["x"], blocks["y"])
            ]
        )
        for size in (s for s in (64, 32, 16, 8) if s <= ctu):
            at = blocks["w"] == size
            intra = at & (kinds == KIND["intra"])
            whole = intra & (blocks["partition"] == PART["2Nx2N"])
            mode = blocks["intra_mode"]
            skipped = at & (kinds == KIND["skip"])
            label = f"{size}x{size}"
            # x265 counts its intra modes by number, 0 (planar) and 1 (DC),
            # under the headings "DC" and "Planar" in that order.
            expected = {
                f"Intra {label} DC": share(int((whole & (mode == 0)).sum()), total),
                f"Intra {label} Planar": share(int((whole & (mode == 1)).sum()), total),
                f"Intra {label} Ang": share(int((whole & (mode > 1)).sum()), total),
                f"Inter {label}": share(
                    int((at & np.isin(kinds, [KIND["inter"], KIND["merge"]])).sum()), total
                ),
                f"Skip {label}": share(int((skipped & ~ctu_merges).sum()), total),
                f"Merge {label}": share(int((skipped & ctu_merges).sum()), total),
            }
            got = {name: stats[f][name] for name in expected}
            assert got == expected, f"frame {f}"
        nxn = int(((blocks["partition"] == PART["NxN"]) & (kinds == KIND["intra"])).sum())
        assert stats[f]["4x4"] == share(nxn, total), f"frame {f}"


@needs_blocks
@pytest.mark.parametrize("ctu, largest", [(16, 16), (32, 32)])
def test_hevc_coding_units_never_exceed_the_ctu(ctu, largest):
    path = videos.x265_video(f"blocks-ctu{ctu}", ["--ctu", str(ctu), "--qp", "30"], frames=8)
    session = mbgauge.H264DecoderSession(str(path))
    table = session.get_coding_blocks_batch(range(session.num_frames))
    assert table["w"].max() == largest
    assert (table["w"] == table["h"]).all()
    # The coding units tile the coded picture (x265 pads 128x96 to whole CUs).
    for f in range(session.num_frames):
        blocks = table[table["frame"] == f]
        assert int((blocks["w"] * blocks["h"]).sum()) == 128 * 96, f"frame {f}"


def panning_source(frames: int) -> list[str]:
    """One still picture panned 4 pixels per frame to the right: its content
    moves left."""
    return [
        *("-f", "lavfi", "-i", "testsrc2=size=480x144:rate=25"),
        *("-vf", "loop=loop=-1:size=1,crop=256:144:x=4*n:y=0", "-frames:v", str(frames)),
    ]


def dominant_vector(vectors) -> tuple[int, int, int]:
    forward = vectors[vectors["source"] == -1]
    moves = Counter(zip(forward["motion_x"].tolist(), forward["motion_y"].tolist()))
    (motion_x, motion_y), _ = moves.most_common(1)[0]
    return motion_x, motion_y, int(forward["motion_scale"][0])


@needs_blocks
def test_hevc_and_h264_vectors_agree_on_a_pan():
    common = ["-bf", "0", "-pix_fmt", "yuv420p"]
    h264 = videos.ffmpeg_video(
        "pan-h264", ".mkv", *panning_source(8), *common, "-c:v", "libx264", "-qp", "20"
    )
    hevc = videos.ffmpeg_video(
        "pan-hevc",
        ".mkv",
        *panning_source(8),
        *common,
        *("-c:v", "libx265", "-x265-params", "qp=20:log-level=error"),
    )
    sessions = [mbgauge.H264DecoderSession(str(p), motion_vectors=True) for p in (h264, hevc)]
    for f in range(1, 8):
        found = [dominant_vector(s.get_motion_vectors(f)) for s in sessions]
        # src = dst + 4 samples: 16 quarter samples.
        assert found == [(16, 0, 4), (16, 0, 4)], f"frame {f}"
        vectors = sessions[1].get_motion_vectors(f)
        assert (vectors["src_x"] == vectors["dst_x"] + vectors["motion_x"] // 4).all()
        # One vector per prediction block, inside a coding unit of the frame.
        blocks = sessions[1].get_coding_blocks(f)
        assert len(vectors) >= int((blocks["kind"] != KIND["intra"]).sum())


@needs_blocks
def test_batch_rows_follow_the_frames_asked_with_repeats():
    path = h264_file("cabac-spatial", H264_CASES[0][1])
    session = mbgauge.H264DecoderSession(str(path))
    asked = [5, 0, 5, 17]
    table = session.get_coding_blocks_batch(asked)
    single = [session.get_coding_blocks(f) for f in asked]
    assert table["frame"].tolist() == [f for f, rows in zip(asked, single) for _ in rows]
    assert table[list(FIELDS)].tolist() == np.concatenate(single).tolist()


def run_command(capsys, *args) -> str:
    from mbgauge_tools import cli

    assert cli.main([str(arg) for arg in args]) == 0, capsys.readouterr().err
    return capsys.readouterr().out


@needs_blocks
def test_stats_count_every_block_of_an_all_intra_encode(tmp_path, capsys):
    # x264 with a key frame every frame: only intra macroblocks, no skip.
    path = h264_file("all-intra", ["--keyint", "1", "--qp", "26"], frames=6)
    run_command(capsys, "stats", path, "--csv", tmp_path / "s.csv")
    with open(tmp_path / "s.csv", newline="") as table:
        rows = list(csv.DictReader(table))
    assert [(r["intra_share"], r["inter_share"], r["skip_share"]) for r in rows] == [
        ("1.0", "0.0", "0.0")
    ] * 6
    sizes = packet_bits(mbgauge.H264DecoderSession(str(path)))
    assert all(0.85 * size <= int(r["block_bits"]) <= size for r, size in zip(rows, sizes))


@needs_blocks
@pytest.mark.parametrize("layer", ["type", "partition", "bits", "transform"])
def test_heatmap_draws_each_block_layer(tmp_path, capsys, layer):
    from PIL import Image

    path = h264_file("cabac-spatial", H264_CASES[0][1])
    out = tmp_path / f"{layer}.png"
    said = run_command(capsys, "heatmap", path, "--frame", 5, "--layer", layer, "--out", out)
    assert f"{layer} picture of frame 5" in said
    with Image.open(out) as image:
        # The picture is drawn enlarged to at least 720 samples across.
        assert image.format == "PNG" and image.width >= 720 + 60


def test_block_layers_refuse_qp_options(tmp_path, capsys):
    from mbgauge_tools import cli

    path = h264_file("cabac-spatial", H264_CASES[0][1])
    args = ["heatmap", str(path), "--frame", "0", "--layer", "type", "--values"]
    assert cli.main([*args, "--out", str(tmp_path / "x.png")]) != 0
    assert "--values" in capsys.readouterr().err
