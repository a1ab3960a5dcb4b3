"""Heatmaps checked against what the encoder was told (constant QP) and
matplotlib's own colour maps: the fixed colour range per codec and depth,
the command's options, the output formats, and text sized for the picture."""

import io
import subprocess

import numpy as np
import pytest
from matplotlib import colormaps
from matplotlib.backends.backend_agg import FigureCanvasAgg
from PIL import Image

import mbgauge
import mbgauge_tools
from mbgauge_tools import cli, plotting, quantities
from mbgauge_tools.commands import heatmap as heatmap_command
from tests.support import videos
from tests.test_coding_blocks import coding_blocks_exported
from tests.test_real_world_files import encoded, joined

CONSTANT_QP = ["-x264-params", "ipratio=1:pbratio=1:aq-mode=0"]


def constant_qp_clip(qp, ten_bit=False):
    extra = ["-qp", str(qp), *CONSTANT_QP]
    if ten_bit:
        extra = ["-pix_fmt", "yuv420p10le", *extra]
    return videos.lavfi_h264(
        f"heatmap-cqp{qp}{'-10bit' if ten_bit else ''}", size="160x96", frames=6, extra=extra
    )


def cell_colours(png, width, height):
    """The colour at the centre of every macroblock of a 1:1 heatmap."""
    with Image.open(io.BytesIO(png) if isinstance(png, bytes) else png) as image:
        picture = np.asarray(image)
    top, left = plotting.MARGIN_TOP, plotting.MARGIN_LEFT
    rows = np.arange(height // 16) * 16 + 8 + top
    cols = np.arange(width // 16) * 16 + 8 + left
    return picture[rows[:, None], cols[None, :], :3]


@pytest.mark.parametrize("qp, ten_bit, levels", [(30, False, 52), (18, False, 52), (57, True, 64)])
@pytest.mark.parametrize("colour_map", ["viridis", "cividis"])
def test_cells_take_the_colour_of_the_encoder_qp_on_the_codec_range(
    qp, ten_bit, levels, colour_map
):
    """0..51 for 8-bit H.264, 0..63 for 10-bit: a flat frame gets the colour
    of its QP on that scale, not the one colour of a range of one value."""
    path = constant_qp_clip(qp, ten_bit)
    session = mbgauge.H264DecoderSession(str(path))
    expected = colormaps[colour_map].resampled(levels)(qp, bytes=True)[:3]
    for frame in (0, 3):
        assert (session.get_qpmap(frame) == qp).all()
        png = mbgauge_tools.heatmap_png(session, frame, opacity=1.0, colour_map=colour_map)
        colours = cell_colours(png, 160, 96)
        assert (colours == expected).all(), (
            f"frame {frame}: {np.unique(colours.reshape(-1, 3), axis=0)}"
        )
        figure = mbgauge_tools.render_heatmap(session, frame)
        assert figure.axes[1].get_ylim() == (-0.5, levels - 0.5)


@pytest.mark.parametrize(
    "codec, suffix, q, low, high",
    [
        ("mpeg2video", ".m2v", 25, 1, 112),
        ("mpeg2video", ".m2v", 31, 1, 112),
        ("mpeg2video", ".m2v", 4, 1, 112),
        ("mpeg1video", ".mpg", 16, 2, 62),
        ("mpeg4", ".avi", 25, 2, 62),
    ],
)
def test_mpeg_cells_take_the_colour_of_twice_the_encoder_quantiser(codec, suffix, q, low, high):
    """FFmpeg's MPEG decoders export the quantiser scale, twice the coded
    quantiser: `-q:v 25` reads 50, coloured on a scale that reaches it."""
    path = videos.ffmpeg_video(
        f"heatmap-{codec}-q{q}",
        suffix,
        *("-f", "lavfi", "-i", "testsrc2=size=160x96:rate=25", "-frames:v", "3"),
        *("-c:v", codec, "-q:v", str(q), "-bf", "0"),
    )
    session = mbgauge.H264DecoderSession(path)
    expected = colormaps["viridis"].resampled(high - low + 1)(2 * q - low, bytes=True)[:3]
    assert (session.get_qpmap(1) == 2 * q).all()
    colours = cell_colours(mbgauge_tools.heatmap_png(session, 1, opacity=1.0), 160, 96)
    assert (colours == expected).all(), np.unique(colours.reshape(-1, 3), axis=0)


def test_values_of_the_last_row_sit_in_the_part_of_the_cell_shown():
    """A picture 120 high shows half of its last row of macroblocks: the
    values written there stay inside the picture."""
    path = videos.lavfi_h264("heatmap-120-high", size="160x120", frames=2, extra=["-qp", "30"])
    figure = mbgauge_tools.render_heatmap(str(path), 0, values=True)
    axes = figure.axes[0]
    renderer = FigureCanvasAgg(figure).get_renderer()
    box = axes.get_window_extent(renderer)
    texts = [t for t in axes.texts if t.get_text()]
    assert len(texts) == 10 * 8
    for text in texts:
        extent = text.get_window_extent(renderer)
        assert box.y0 <= extent.y0 and extent.y1 <= box.y1, (text.get_text(), text.get_position())


def test_default_colour_map_is_perceptually_uniform(capsys, tmp_path):
    path = constant_qp_clip(30)
    assert (
        cli.main(
            [
                "heatmap",
                str(path),
                "--frame",
                "1",
                "--out",
                str(tmp_path / "h.png"),
                "--opacity",
                "1",
            ]
        )
        == 0
    )
    expected = colormaps["viridis"].resampled(52)(30, bytes=True)[:3]
    assert (cell_colours(tmp_path / "h.png", 160, 96) == expected).all()


@pytest.mark.parametrize(
    "options, check",
    [
        (["--opacity", "0"], "grey"),
        (["--opacity", "1", "--cmap", "magma"], "magma"),
        (["--opacity", "1", "--qp-range", "20:40"], "range"),
    ],
)
def test_command_options_reach_the_picture(capsys, tmp_path, options, check):
    path = constant_qp_clip(30)
    out = tmp_path / "h.png"
    assert cli.main(["heatmap", str(path), "--frame", "2", "--out", str(out), *options]) == 0
    colours = cell_colours(out, 160, 96)
    if check == "grey":
        assert (colours[..., 0] == colours[..., 1]).all() and (
            colours[..., 1] == colours[..., 2]
        ).all()
    elif check == "magma":
        assert (colours == colormaps["magma"].resampled(52)(30, bytes=True)[:3]).all()
    else:
        assert (colours == colormaps["viridis"].resampled(21)(10, bytes=True)[:3]).all()


def test_jpeg_by_its_suffix(capsys, tmp_path):
    path = constant_qp_clip(30)
    assert cli.main(["heatmap", str(path), "--frame", "0", "--out", str(tmp_path / "h.jpg")]) == 0
    with Image.open(tmp_path / "h.jpg") as image:
        assert image.format == "JPEG"
        assert image.size == plotting.heatmap_size(160, 96)


def test_a_path_renders_as_a_session_does(tmp_path):
    path = constant_qp_clip(18)
    session = mbgauge.H264DecoderSession(str(path))
    assert mbgauge_tools.heatmap_png(path, np.int64(4)) == mbgauge_tools.heatmap_png(session, 4)


def test_heatmaps_are_the_same_for_any_number_of_workers(capsys, tmp_path):
    clip = videos.lavfi_h264(
        "tools",
        size="320x240",
        frames=48,
        extra=["-bf", "2", "-g", "12", "-x264-params", "aq-mode=2"],
    )
    for workers in (1, 3):
        assert (
            cli.main(
                [
                    "heatmap",
                    str(clip),
                    "--frames",
                    "0:48:5",
                    "--out",
                    str(tmp_path / str(workers)),
                    "--workers",
                    str(workers),
                    "-q",
                ]
            )
            == 0
        )
    one, three = (sorted((tmp_path / w).iterdir()) for w in ("1", "3"))
    assert [p.name for p in one] == [f"frame_{i:06d}.png" for i in range(0, 48, 5)]
    for a, b in zip(one, three):
        assert a.read_bytes() == b.read_bytes(), a.name


@pytest.mark.parametrize("size", ["320x180", "1920x1080", "3840x2160"])
def test_text_stays_readable_when_the_heatmap_is_shown_1920_wide(size):
    """A 4K heatmap shown on a 1920-pixel screen is scaled down by half:
    its title and tick labels must still be 10 pixels tall or more there."""
    path = videos.lavfi_h264(
        f"heatmap-{size}", size=size, frames=1, encoder=["-c:v", "libx264", "-preset", "ultrafast"]
    )
    figure = mbgauge_tools.render_heatmap(path, 0, label="clip.mp4")
    canvas = FigureCanvasAgg(figure)
    canvas.draw()
    renderer = canvas.get_renderer()
    shown = min(1.0, 1920 / canvas.get_width_height()[0])
    axes = figure.axes[0]
    title_lines = axes.title.get_window_extent(renderer).height / 2
    tick = axes.get_xticklabels()[0].get_window_extent(renderer).height
    assert title_lines * shown >= 10 and tick * shown >= 10, (title_lines, tick, shown)
    width, height = map(int, size.split("x"))
    assert canvas.get_width_height() == plotting.heatmap_size(width, height)


SINGLE_FRAME_QUERIES = ("get_qpmap", "get_plane_data", "get_frame_format", "get_motion_vectors")


class QueryRecordingSession(mbgauge.H264DecoderSession):
    """A session that notes each single-frame query made on it: those are
    the queries that fill the session's frame cache."""

    single_frame_queries: list[tuple[str, int]] = []

    def get_qpmap(self, frame_idx):
        self.single_frame_queries.append(("get_qpmap", frame_idx))
        return super().get_qpmap(frame_idx)

    def get_plane_data(self, frame_idx, plane):
        self.single_frame_queries.append(("get_plane_data", frame_idx))
        return super().get_plane_data(frame_idx, plane)

    def get_frame_format(self, frame_idx):
        self.single_frame_queries.append(("get_frame_format", frame_idx))
        return super().get_frame_format(frame_idx)

    def get_motion_vectors(self, frame_idx):
        self.single_frame_queries.append(("get_motion_vectors", frame_idx))
        return super().get_motion_vectors(frame_idx)


def b_frame_clip():
    return videos.lavfi_h264(
        "heatmap-bframes",
        size="200x120",
        frames=60,
        extra=["-bf", "3", "-g", "12", "-x264-params", "aq-mode=2"],
    )


def format_change_clip():
    """20 frames of 8-bit 4:2:0, then 20 of 10-bit, of one picture size."""
    parts = [
        encoded(
            f"heatmap-{pix_fmt}-part",
            ".ts",
            frames=20,
            extra=("-pix_fmt", pix_fmt, "-g", "10", "-bf", "2", "-output_ts_offset", offset),
        )
        for pix_fmt, offset in (("yuv420p", "0"), ("yuv420p10le", "0.8"))
    ]
    return joined("heatmap-format-change", ".ts", parts)


@pytest.fixture
def recording_sessions(monkeypatch):
    from mbgauge_tools import parallel

    monkeypatch.setattr(QueryRecordingSession, "single_frame_queries", [])
    monkeypatch.setattr(parallel, "H264DecoderSession", QueryRecordingSession)
    # Spans of a key group or two, so that a short clip is cut into several.
    monkeypatch.setattr(parallel, "SPAN_FRAMES", 12)
    return QueryRecordingSession.single_frame_queries


@pytest.mark.parametrize(
    "clip, frames, options",
    [
        (b_frame_clip, "3:58", []),
        (b_frame_clip, "1:60:7", ["--values", "--opacity", "0.8"]),
        (lambda: constant_qp_clip(57, ten_bit=True), "0:6", []),
        # The 10-bit frames' format is known to the single-frame queries alone.
        (format_change_clip, "0:40", []),
    ],
    ids=["b-frames", "b-frames-step-values", "10-bit", "8-bit-then-10-bit"],
)
@pytest.mark.parametrize("workers", [1, 2])
def test_command_renders_from_batch_queries_as_the_painter_does_frame_by_frame(
    capsys, tmp_path, recording_sessions, clip, frames, options, workers
):
    """The command's heatmaps come from the batch queries (which leave the
    frame cache empty) wherever they can serve, and are byte for byte what
    a painter makes of each frame with the single-frame queries."""
    path = clip()
    out = tmp_path / "out"
    assert (
        cli.main(
            [
                "heatmap",
                str(path),
                "--frames",
                frames,
                "--out",
                str(out),
                "-q",
                "--workers",
                str(workers),
                *options,
            ]
        )
        == 0
    )
    frame_by_frame = {frame for _, frame in recording_sessions}
    if clip is format_change_clip:
        assert frame_by_frame >= set(range(20, 40)), sorted(frame_by_frame)
        assert not frame_by_frame & set(range(16)), sorted(frame_by_frame)
    else:
        assert frame_by_frame == set(), sorted(frame_by_frame)
    session = mbgauge.H264DecoderSession(str(path))
    painter = plotting.HeatmapPainter(
        session,
        **heatmap_command.heatmap_options(
            cli.parser().parse_args(
                ["heatmap", str(path), "--frames", frames, "--out", str(out), *options]
            )
        ),
        qp_range=plotting.default_qp_range(session),
    )
    written = sorted(out.iterdir())
    selected = mbgauge_tools.select_frames(frames, session.num_frames)
    assert [p.name for p in written] == [f"frame_{i:06d}.png" for i in selected]
    for frame, png in zip(selected, written):
        expected = io.BytesIO()
        painter.save(frame, expected)
        assert png.read_bytes() == expected.getvalue(), f"frame {frame} differs"


def test_motion_vectors_are_drawn_through_the_single_frame_queries(
    capsys, tmp_path, recording_sessions
):
    path = b_frame_clip()
    assert (
        cli.main(
            [
                "heatmap",
                str(path),
                "--frames",
                "10:14",
                "--out",
                str(tmp_path),
                "-q",
                "--motion-vectors",
            ]
        )
        == 0
    )
    assert sorted(set(recording_sessions)) == sorted(
        (query, frame) for query in SINGLE_FRAME_QUERIES for frame in range(10, 14)
    )


def ffmpeg_pixel_format_depths():
    """Luma bits of every pixel format, as `ffmpeg -pix_fmts` reports them
    (its BIT_DEPTHS column, first component)."""
    listing = subprocess.run(
        ["ffmpeg", "-hide_banner", "-pix_fmts"], capture_output=True, text=True, check=True
    ).stdout
    rows = listing.split("-----\n", 1)[1].splitlines()
    return {
        fields[1]: int(fields[4].split("-")[0])
        for fields in map(str.split, rows)
        if len(fields) == 5
    }


@pytest.mark.parametrize(
    "pix_fmt",
    [
        "yuv420p",
        "yuvj420p",
        "yuv420p9le",
        "yuv420p10le",
        "yuv422p10be",
        "yuv444p12le",
        "yuva420p10le",
        "yuv420p16le",
        "gray",
        "gray10le",
        "gray12le",
        "gray16be",
        "gbrp",
        "gbrp10le",
        "gbrp12be",
        "nv12",
        "nv21",
        "nv16",
        "nv20le",
        "p010le",
        "p016be",
        "p210le",
        "p416le",
        "y210le",
    ],
)
def test_bit_depth_is_the_one_ffmpeg_reports(pix_fmt):
    depths = ffmpeg_pixel_format_depths()
    if pix_fmt not in depths:
        pytest.skip(f"this ffmpeg has no {pix_fmt}")
    assert quantities.bit_depth(pix_fmt) == depths[pix_fmt], pix_fmt


def test_ten_bit_grey_hevc_heatmap(capsys, tmp_path):
    """Monochrome pictures keep their depth in the name (gray10le): the luma
    under the cells is scaled to it, not read as 8 bits."""
    try:
        path = videos.libx265_video(
            "heatmap-gray10", ".mkv", "qp=30", size="320x240", frames=3, pix_fmt="gray10le"
        )
    except subprocess.CalledProcessError:
        pytest.skip("this ffmpeg's libx265 makes no 10-bit grey HEVC")
    session = mbgauge.H264DecoderSession(str(path))
    try:
        qp = session.get_qpmap(2)
    except RuntimeError as error:
        pytest.skip(f"this FFmpeg decodes no 10-bit grey HEVC: {error}")
    assert session.pix_fmt == "gray10le"
    with Image.open(io.BytesIO(mbgauge_tools.heatmap_png(session, 2))) as image:
        assert image.size == plotting.heatmap_size(320, 240)
    if not (qp >= 0).any():
        pytest.skip("this FFmpeg exports no HEVC QPs: the command stops at that")
    out = tmp_path / "g.png"
    assert (
        cli.main(["heatmap", str(path), "--frame", "2", "--out", str(out), "--opacity", "1"]) == 0
    )
    with Image.open(out) as image:
        assert image.format == "PNG"
        assert image.size == plotting.heatmap_size(320, 240)
    # 0..63 at 10 bits; x265's qp=30 is exported as QP'Y 42.
    expected = colormaps["viridis"].resampled(64)(qp, bytes=True)[..., :3]
    colours = cell_colours(out, 320, 240)
    assert (colours == expected).all(), f"frame 2: {np.unique(colours.reshape(-1, 3), axis=0)}"


@pytest.mark.parametrize(
    "codec, frame, says",
    [
        ("hevc", 1, "no motion vectors: FFmpeg's hevc decoder exports none"),
        ("h264", 0, "no motion vectors (intra picture)"),
    ],
)
def test_motion_vector_title_says_why_a_picture_has_none(codec, frame, says):
    """An HEVC P picture has motion, which only mbgauge's FFmpeg exports (with
    the block structure): elsewhere the title says the decoder exports none;
    an H.264 I picture has none to export."""
    if codec == "hevc":
        path = videos.libx265_video("heatmap-mv-hevc", ".mkv", "bframes=0:keyint=10", frames=3)
    else:
        path = videos.lavfi_h264("heatmap-mv-h264", size="160x96", frames=3)
    assert videos.ffprobe_frames(path)[frame]["pict_type"] == ("P" if frame else "I")
    figure = mbgauge_tools.render_heatmap(str(path), frame, motion_vectors=True)
    title = figure.axes[0].get_title()
    if codec == "hevc" and coding_blocks_exported():
        assert "motion vector" in title and "no motion vectors" not in title, title
    else:
        assert says in title
