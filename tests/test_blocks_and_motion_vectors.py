"""QP blocks of any size and motion vectors, checked against what FFmpeg's
own decoder exports for the same pictures (read by a small C program against
libavcodec, tests/cpp/side_data_reader.c) and against the encoders' settings.

Every comparison is exact.
"""

from __future__ import annotations

import functools
import random
import shutil
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pytest

import mbgauge
import mbgauge_tools
from mbgauge_tools import cli
from mbgauge_tools.dataset import extract, maps_path
from tests.support import ffmpeg_reference, videos
from tests.support.ffmpeg_reference import ffmpeg_build_flags
from tests.support.native import CPP_DIR
from tests.test_coding_blocks import coding_blocks_exported
from tests.test_reference_decode import picture_types, qpfile_plan, qpfile_video

MV_FIELDS = (
    "source",
    "w",
    "h",
    "src_x",
    "src_y",
    "dst_x",
    "dst_y",
    "flags",
    "motion_x",
    "motion_y",
    "motion_scale",
)
VP9_PARAMS_TYPE = 0


# ---------------------------------------------------------------------------
# FFmpeg's own export, read by tests/cpp/side_data_reader.c
# ---------------------------------------------------------------------------


@dataclass
class ExportedPicture:
    pts: int
    params: tuple[int, int, int] | None = None  # type, base qp, block count
    blocks: list[tuple[int, ...]] = field(default_factory=list)  # x, y, w, h, delta
    vectors: list[tuple[int, ...]] = field(default_factory=list)  # MV_FIELDS
    luma_nonzero: int = 0  # bytes of the first plane's rows that are not 0


@pytest.fixture(scope="session")
def side_data_reader(tmp_path_factory) -> Path:
    if shutil.which("gcc") is None:
        pytest.fail("gcc is needed to build the side data reader")
    binary = tmp_path_factory.mktemp("reader") / "side_data_reader"
    command = [
        "gcc",
        "-std=c11",
        "-Wall",
        "-Wextra",
        "-Werror",
        "-O1",
        str(CPP_DIR / "side_data_reader.c"),
        *ffmpeg_build_flags(),
        "-o",
        str(binary),
    ]
    built = subprocess.run(command, capture_output=True, text=True)
    assert built.returncode == 0, f"{' '.join(command)}\n{built.stderr}"
    return binary


@functools.cache
def _exported(reader: Path, path: Path, *options: str) -> list[ExportedPicture] | None:
    """The pictures FFmpeg exports, with decoder OPTION=VALUE `options`; None
    when this FFmpeg has no decoder for the file (or the decoder lacks an
    option)."""
    result = subprocess.run([str(reader), str(path), *options], capture_output=True, text=True)
    if result.returncode in (3, 4):
        return None
    assert result.returncode == 0, f"side_data_reader {path.name}: {result.stderr}"
    pictures: list[ExportedPicture] = []
    for line in result.stdout.splitlines():
        kind, *values = line.split()
        numbers = tuple(int(v) for v in values)
        if kind == "picture":
            pictures.append(ExportedPicture(numbers[0]))
        elif kind == "params":
            pictures[-1].params = numbers
        elif kind == "block":
            pictures[-1].blocks.append(numbers)
        elif kind == "luma":
            pictures[-1].luma_nonzero = numbers[0]
        else:
            pictures[-1].vectors.append(numbers)
    # Display order: frame f is the f-th timestamp.
    return sorted(pictures, key=lambda picture: picture.pts)


def exported(reader: Path, path: Path) -> list[ExportedPicture]:
    pictures = _exported(reader, path)
    if pictures is None:
        pytest.skip(f"this FFmpeg has no decoder for {path.suffix} test file {path.name}")
    return pictures


def expected_blocks(picture: ExportedPicture, width: int, height: int) -> list[tuple[int, ...]]:
    """(x, y, w, h, qp) as FFmpeg's export defines them, in raster order; a
    VP9 frame without segmentation is its frame quantiser over the picture."""
    if picture.params is None:
        return []
    kind, base, _ = picture.params
    if not picture.blocks:
        return [(0, 0, width, height, base)] if kind == VP9_PARAMS_TYPE else []
    blocks = [(x, y, w, h, base + delta) for x, y, w, h, delta in picture.blocks]
    return sorted(blocks, key=lambda block: (block[1], block[0]))


def block_tuples(blocks: np.ndarray) -> list[tuple[int, ...]]:
    assert blocks.dtype.names == ("x", "y", "w", "h", "qp")
    assert all(blocks.dtype[name] == np.int32 for name in blocks.dtype.names)
    return [tuple(int(v) for v in row) for row in blocks]


def vector_tuples(vectors: np.ndarray) -> list[tuple[int, ...]]:
    assert vectors.dtype.names == MV_FIELDS
    return [tuple(int(v) for v in row) for row in vectors]


def first_difference(actual: list, expected: list) -> str:
    if len(actual) != len(expected):
        return f"{len(actual)} entries instead of {len(expected)}"
    for i, (a, e) in enumerate(zip(actual, expected)):
        if a != e:
            return f"entry {i}: {a} instead of {e}"
    return "no difference"


def shuffled(count: int, seed: int = 13) -> list[int]:
    return random.Random(seed).sample(range(count), count)


# ---------------------------------------------------------------------------
# Test videos
# ---------------------------------------------------------------------------


def vp9_video(aq_mode: int, size: str = "320x240", tile_columns: int = 0) -> Path:
    return videos.ffmpeg_video(
        f"vp9-aq{aq_mode}-{size}-tiles{tile_columns}",
        ".webm",
        "-f",
        "lavfi",
        "-i",
        f"testsrc2=size={size}:rate=25",
        "-frames:v",
        "30",
        "-c:v",
        "libvpx-vp9",
        "-b:v",
        "300k",
        "-deadline",
        "good",
        "-cpu-used",
        "4",
        "-g",
        "12",
        "-aq-mode",
        str(aq_mode),
        "-tile-columns",
        str(tile_columns),
    )


VP9_CASES = {
    "no segmentation": functools.partial(vp9_video, 0),
    "variance aq": functools.partial(vp9_video, 1),
    "cyclic refresh aq": functools.partial(vp9_video, 3),
    "cyclic refresh aq, two tile columns": functools.partial(vp9_video, 3, "640x360", 1),
}


def h264_pyramid_video() -> Path:
    return videos.lavfi_h264(
        "mv-h264-pyramid",
        ".mp4",
        size="320x240",
        frames=60,
        extra=["-bf", "3", "-g", "30", "-x264-params", "b-pyramid=normal:b-adapt=0"],
    )


def mpeg4_video(
    flags: str, name: str = "mv-mpeg4", source: str = "testsrc2", *filters: str, q: str = "5"
) -> Path:
    """MPEG-4 Part 2 with two B-frames from a lavfi `source` (320x240 unless
    `filters` crop a larger one), 40 frames."""
    size = "640x240" if filters else "320x240"
    return videos.ffmpeg_video(
        f"{name}{flags}",
        ".mp4",
        "-f",
        "lavfi",
        "-i",
        f"{source}{':' if '=' in source else '='}size={size}:rate=25",
        *(["-vf", ",".join(filters)] if filters else []),
        "-frames:v",
        "40",
        "-c:v",
        "mpeg4",
        "-q:v",
        q,
        "-bf",
        "2",
        "-g",
        "15",
        *(["-flags", flags] if flags else []),
    )


MV_CASES = {
    "h264 b-pyramid": h264_pyramid_video,
    "mpeg4": functools.partial(mpeg4_video, ""),
    "mpeg4 4mv qpel": functools.partial(mpeg4_video, "+mv4+qpel"),
}


def interlaced_h264_video() -> Path:
    return videos.x264_video(
        "interlaced-tff-qp27",
        ".mkv",
        [
            "--tff",
            "--qp",
            "27",
            "--ipratio",
            "1",
            "--pbratio",
            "1",
            "--bframes",
            "2",
            "--keyint",
            "12",
        ],
        size="320x240",
        frames=24,
    )


# ---------------------------------------------------------------------------
# QP blocks
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("name", VP9_CASES)
def test_vp9_blocks_equal_ffmpeg_export_and_refuse_an_int8_map(side_data_reader, name):
    path = VP9_CASES[name]()
    reference = exported(side_data_reader, path)
    session = mbgauge.H264DecoderSession(str(path))
    assert session.num_frames == len(reference) == 30
    assert all(p.params is not None and p.params[0] == VP9_PARAMS_TYPE for p in reference)
    segmented = [f for f, p in enumerate(reference) if len({d for *_, d in p.blocks}) > 1]
    if name == "no segmentation":
        assert not any(p.blocks for p in reference)
    else:
        # Segments with their own quantiser in several frames.
        assert len(segmented) >= 3, f"frames with per-segment quantisers: {segmented}"

    for f in shuffled(session.num_frames):
        blocks = block_tuples(session.get_qp_blocks(f))
        expected = expected_blocks(reference[f], session.width, session.height)
        assert blocks == expected, f"{name}, frame {f}: {first_difference(blocks, expected)}"
        with pytest.raises(
            ValueError,
            match=rf"^Frame {f} carries VP9 quantiser indices "
            rf"\(0\.\.255\).*get_qp_blocks\({f}\)",
        ):
            session.get_qpmap(f)
    with pytest.raises(ValueError, match=r"^Frame 3 carries VP9 quantiser indices"):
        session.get_qpmaps([5, 3])


def test_codec_that_exports_nothing_has_no_blocks_and_no_qp(side_data_reader):
    path = videos.ffmpeg_video(
        "vp8-nothing-exported",
        ".webm",
        "-f",
        "lavfi",
        "-i",
        "testsrc2=size=96x64:rate=25",
        "-frames:v",
        "6",
        "-c:v",
        "libvpx",
    )
    reference = exported(side_data_reader, path)
    assert all(p.params is None and not p.vectors for p in reference)
    session = mbgauge.H264DecoderSession(str(path), motion_vectors=True)
    assert session.num_frames == len(reference) == 6
    for f in range(session.num_frames):
        blocks = session.get_qp_blocks(f)
        assert blocks.shape == (0,) and blocks.dtype.names == ("x", "y", "w", "h", "qp")
        assert np.all(session.get_qpmap(f) == -1), f"frame {f}"
        assert session.get_motion_vectors(f).shape == (0,), f"frame {f}"


def test_h264_blocks_carry_the_qp_x264_was_given(side_data_reader):
    path = qpfile_video()
    types, qps = qpfile_plan()
    session = mbgauge.H264DecoderSession(str(path))
    reference = exported(side_data_reader, path)
    grid = [
        (16 * c, 16 * r, 16, 16) for r in range(session.mb_rows) for c in range(session.mb_cols)
    ]
    for f in shuffled(session.num_frames):
        blocks = block_tuples(session.get_qp_blocks(f))
        assert [b[:4] for b in blocks] == grid, f"frame {f}: not the macroblock grid"
        assert {b[4] for b in blocks} == {qps[f]}, f"frame {f} ({types[f]}, qpfile QP {qps[f]})"
        expected = expected_blocks(reference[f], session.width, session.height)
        assert blocks == expected, f"frame {f}: {first_difference(blocks, expected)}"
        # The map is the same blocks, one per cell.
        assert np.array_equal(session.get_qpmap(f).ravel(), [b[4] for b in blocks]), f"frame {f}"


@pytest.mark.parametrize("name", ["h264 b-pyramid", "mpeg4 4mv qpel"])
def test_blocks_of_other_files_equal_ffmpeg_export(side_data_reader, name):
    path = MV_CASES[name]()
    reference = exported(side_data_reader, path)
    session = mbgauge.H264DecoderSession(str(path))
    assert session.num_frames == len(reference)
    for f in range(session.num_frames):
        blocks = block_tuples(session.get_qp_blocks(f))
        expected = expected_blocks(reference[f], session.width, session.height)
        assert blocks == expected, f"{name}, frame {f}: {first_difference(blocks, expected)}"


def test_blocks_of_a_cropped_picture_sit_on_the_visible_picture(side_data_reader):
    # 20 columns and 18 rows cropped off the left and top: one whole
    # macroblock each, and 4 and 2 samples of the next.
    path = videos.lavfi_h264(
        "blocks-crop", size="320x240", frames=8, extra=["-x264opts", "crop-rect=20,18,6,8"]
    )
    reference = exported(side_data_reader, path)
    session = mbgauge.H264DecoderSession(str(path))
    assert (session.width, session.height, session.mb_cols, session.mb_rows) == (294, 214, 19, 14)
    for f in range(session.num_frames):
        kind, base, _ = reference[f].params
        coded = {(x, y): base + delta for x, y, _, _, delta in reference[f].blocks}
        blocks = block_tuples(session.get_qp_blocks(f))
        assert blocks == [(x - 20, y - 18, 16, 16, qp) for (x, y), qp in coded.items()], (
            f"frame {f}"
        )
        # Cell (0, 0) is the coded macroblock holding the visible top-left sample.
        expected = [[coded[16 * (c + 1), 16 * (r + 1)] for c in range(19)] for r in range(14)]
        assert np.array_equal(session.get_qpmap(f), expected), f"frame {f}"


def test_interlaced_h264_fills_the_frame_grid():
    # x264 codes --tff as MBAFF: macroblock pairs, frame or field, each
    # macroblock on its own cell of the frame's grid. Pairs make the coded
    # height 16 macroblock rows; the 16th lies below the 240 visible lines,
    # has blocks but no cell.
    path = interlaced_h264_video()
    session = mbgauge.H264DecoderSession(str(path))
    assert (session.mb_rows, session.mb_cols) == (15, 20)
    coded_grid = [(16 * c, 16 * r, 16, 16, 27) for r in range(16) for c in range(20)]
    for f in range(session.num_frames):
        qp_map = session.get_qpmap(f)
        assert np.all(qp_map == 27), f"frame {f}: values {sorted(set(qp_map.ravel().tolist()))}"
        assert block_tuples(session.get_qp_blocks(f)) == coded_grid, f"frame {f}"


# ---------------------------------------------------------------------------
# Motion vectors
# ---------------------------------------------------------------------------


# FFmpeg's MPEG-4 Part 2 decoder exports B pictures' vectors from motion
# tables it writes only for P pictures, unless patched as mbgauge's FFmpeg
# is: elsewhere their values are those of whichever picture last used the
# pooled table, and follow the decoding history. Where each vector is, its
# direction, size and scale are the picture's own.
HISTORY_DEPENDENT_B_VECTORS = set() if coding_blocks_exported() else {"mpeg4", "mpeg4 4mv qpel"}


def without_motion(vector: tuple[int, ...]) -> tuple[int, ...]:
    source, w, h, _, _, dst_x, dst_y, flags, _, _, scale = vector
    return source, w, h, dst_x, dst_y, flags, scale


@pytest.mark.parametrize("order", ["in order", "shuffled"])
@pytest.mark.parametrize("name", MV_CASES)
def test_motion_vectors_equal_ffmpeg_export_for_the_same_display_frame(
    side_data_reader, name, order
):
    path = MV_CASES[name]()
    reference = exported(side_data_reader, path)
    types = picture_types(path)
    session = mbgauge.H264DecoderSession(str(path), motion_vectors=True)
    assert session.motion_vectors
    assert session.num_frames == len(reference) == len(types)
    # Both directions occur, so B pictures are exercised.
    assert {v[0] for p in reference for v in p.vectors} == {-1, 1}
    assert "B" in types and types.count("I") >= 2

    frames = range(session.num_frames) if order == "in order" else shuffled(session.num_frames)
    for f in frames:
        vectors = vector_tuples(session.get_motion_vectors(f))
        if types[f] == "I":
            assert vectors == [], f"{name}, frame {f} is an I picture"
        expected = reference[f].vectors
        if order != "in order" and types[f] == "B" and name in HISTORY_DEPENDENT_B_VECTORS:
            vectors = [without_motion(v) for v in vectors]
            expected = [without_motion(v) for v in expected]
        assert vectors == expected, (
            f"{name}, {order}, frame {f} ({types[f]}): {first_difference(vectors, expected)}"
        )


def panning_mpeg4_video(flags: str) -> Path:
    # A still, detailed picture (a deep zoom into the Mandelbrot set) that
    # moves 4 samples to the left every frame.
    source = "mandelbrot=start_scale=0.005:end_scale=0.005"
    return mpeg4_video(flags, "mv-mpeg4-pan", source, "crop=320:240:4*n:0", q="3")


@pytest.mark.skipif(
    "not coding_blocks_exported()",
    reason="MPEG-4 Part 2 B pictures' own vectors need mbgauge's FFmpeg",
)
@pytest.mark.parametrize("flags", ["", "+mv4+qpel"])
@pytest.mark.parametrize("order", ["in order", "shuffled"])
def test_mpeg4_b_pictures_carry_the_motion_of_the_picture(flags, order):
    """A pan of 4 samples a frame: a B picture's blocks come from 4 samples
    to the right per frame back in the past reference, and from 4 to the
    left per frame ahead in the future one, whichever frames came before."""
    path = panning_mpeg4_video(flags)
    types = picture_types(path)
    session = mbgauge.H264DecoderSession(str(path), motion_vectors=True)
    references = [f for f, kind in enumerate(types) if kind != "B"]
    frames = range(session.num_frames) if order == "in order" else shuffled(session.num_frames)
    b_pictures = [f for f in frames if types[f] == "B" and f < references[-1]]
    assert len(b_pictures) >= 8
    for f in b_pictures:
        vectors = session.get_motion_vectors(f)
        past = f - max(r for r in references if r < f)
        future = min(r for r in references if r > f) - f
        for source, expected in ((-1, 4 * past), (1, -4 * future)):
            chosen = vectors[vectors["source"] == source]
            shift_x = chosen["src_x"].astype(int) - chosen["dst_x"]
            shift_y = chosen["src_y"].astype(int) - chosen["dst_y"]
            assert len(chosen) > 100, (f, source)
            assert (np.median(shift_x), np.median(shift_y)) == (expected, 0), (f, source)


def test_concealed_pictures_do_not_depend_on_exporting_motion_vectors(tmp_path):
    """Error concealment's deblocking compares neighbouring blocks' vectors
    of the picture: a damaged MPEG-4 stream with B pictures decodes alike
    whether or not the vectors are exported."""
    clean = videos.ffmpeg_video(
        "mv-mpeg4-raw",
        ".m4v",
        *("-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-frames:v", "40"),
        *("-c:v", "mpeg4", "-q:v", "5", "-bf", "2", "-g", "15", "-f", "m4v"),
    )
    data = bytearray(clean.read_bytes())
    for offset in range(3000, len(data), 2500):
        data[offset] ^= 0x5A
    damaged = tmp_path / "damaged.m4v"
    damaged.write_bytes(bytes(data))
    plain = mbgauge.H264DecoderSession(str(damaged))
    with_vectors = mbgauge.H264DecoderSession(str(damaged), motion_vectors=True)
    assert plain.num_frames == with_vectors.num_frames >= 30
    for f in shuffled(plain.num_frames, seed=21):
        try:
            expected = [plain.get_plane_data(f, plane) for plane in range(3)]
        except RuntimeError:
            with pytest.raises(RuntimeError):
                with_vectors.get_plane_data(f, 0)
            continue
        for plane in range(3):
            assert np.array_equal(with_vectors.get_plane_data(f, plane), expected[plane]), f


@pytest.mark.parametrize("name", MV_CASES)
def test_exporting_motion_vectors_changes_no_plane_or_qp_map(name):
    path = MV_CASES[name]()
    plain = mbgauge.H264DecoderSession(str(path))
    with_vectors = mbgauge.H264DecoderSession(str(path), motion_vectors=True)
    reference = videos.ffmpeg_reference_frames(path, plain.width, plain.height)
    for f in shuffled(plain.num_frames, seed=5):
        assert np.array_equal(with_vectors.get_qpmap(f), plain.get_qpmap(f)), f"frame {f}"
        assert with_vectors.get_chroma_qp_offset(f) == plain.get_chroma_qp_offset(f)
        for plane, expected in enumerate(reference[f]):
            height, width = expected.shape
            data = with_vectors.get_plane_data(f, plane)[:height, :width]
            assert np.array_equal(data, expected), f"{name}, frame {f}, plane {plane}"


def test_motion_vector_query_needs_the_option_and_a_valid_frame():
    path = MV_CASES["mpeg4"]()
    session = mbgauge.H264DecoderSession(str(path))
    assert session.motion_vectors is False
    with pytest.raises(ValueError, match=r"motion_vectors=True"):
        session.get_motion_vectors(1)
    with pytest.raises(TypeError):
        mbgauge.H264DecoderSession(str(path), True)  # keyword only

    session = mbgauge.H264DecoderSession(str(path), motion_vectors=True)
    with pytest.raises(IndexError, match=rf"^Frame index out of bounds: {session.num_frames}$"):
        session.get_motion_vectors(session.num_frames)
    vectors = session.get_motion_vectors(1)
    # FFmpeg's AVMotionVector field types, so values pass through unchanged.
    assert [vectors.dtype[name].str[1:] for name in MV_FIELDS] == [
        "i4",
        "u1",
        "u1",
        "i2",
        "i2",
        "i2",
        "i2",
        "u8",
        "i4",
        "i4",
        "u2",
    ]
    assert vectors.flags.writeable and vectors.base is None


@pytest.mark.parametrize("case", ["no segmentation", "variance aq"])
def test_tools_read_vp9_quantiser_indices_on_their_own_scale(case, tmp_path):
    """stats, qp, heatmap and dataset read VP9 through its blocks, as int16
    cells on the 0..255 scale, equal to the cells FFmpeg's own blocks fill."""
    from matplotlib import colormaps

    from tests.test_heatmaps import cell_colours

    path = VP9_CASES[case]()
    session = mbgauge.H264DecoderSession(path)
    shape = (session.mb_rows, session.mb_cols)
    # Without segmentation FFmpeg exports the frame's quantiser and no block:
    # it stands for the whole picture.
    want = np.stack(
        [
            p.cell_map(*shape) if len(p.blocks) else np.full(shape, p.qp)
            for p in ffmpeg_reference.decode(path)
        ]
    )
    assert len(want) == session.num_frames and want.max() > 127

    maps = mbgauge_tools.read_qp_maps(path).qp_maps
    assert maps.dtype == np.int16 and np.array_equal(maps, want)
    stats = mbgauge_tools.qp_stats(path)
    assert list(stats["min_qp"]) == [int(m[m >= 0].min()) for m in want]
    assert list(stats["max_qp"]) == [int(m[m >= 0].max()) for m in want]
    assert list(stats["mean_qp"]) == [float(m[m >= 0].mean()) for m in want]

    colours = cell_colours(mbgauge_tools.heatmap_png(session, 3, opacity=1.0), 320, 240)
    expected = colormaps["viridis"].resampled(256)(want[3], bytes=True)[..., :3]
    assert np.array_equal(colours, expected)

    out = tmp_path / "dataset"
    extract([str(path)], out, maps=True)
    zarr = pytest.importorskip("zarr")
    assert np.array_equal(
        zarr.open_group(str(maps_path(out, str(path))), mode="r")["qp_maps"][:], want
    )
    assert cli.main(["stats", str(path)]) == 0
