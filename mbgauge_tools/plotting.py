"""Pictures: a frame's luma with its QP map laid over it (optionally with
each cell's value written in it and the motion vectors drawn as arrows), and
the mean QP and the size of each frame over the frame index. Figures are made without pyplot, so they
hold no global state and work in any thread, script or notebook."""

from __future__ import annotations

import io
import math
import operator
import os
import zlib
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, BinaryIO, Literal, SupportsIndex, TypedDict, Unpack

import numpy as np
import numpy.typing as npt

from mbgauge import H264DecoderSession

from .files import atomic_output
from .qpmaps import CellMaps, cell_map
from .quantities import Quantity, bit_depth, quantity_of

if TYPE_CHECKING:
    from matplotlib.figure import Figure
    from PIL import Image

MB_SIZE = 16
DPI = 100
# Pictures smaller than this (longest side, in pixels) are drawn enlarged by
# a whole factor, so that the title and axes fit and macroblocks stay crisp.
MIN_PICTURE_SIDE = 320
# Margins around the picture, in pixels at text scale 1: the axes' ticks and
# labels at the left and bottom, the two title lines at the top, the colour
# bar and its labels at the right.
MARGIN_LEFT, MARGIN_BOTTOM, MARGIN_TOP = 56, 50, 52
COLOUR_BAR_GAP, COLOUR_BAR_WIDTH, COLOUR_BAR_LABELS = 12, 16, 56
MARGIN_RIGHT = COLOUR_BAR_GAP + COLOUR_BAR_WIDTH + COLOUR_BAR_LABELS
# Pictures larger than this are drawn with text, ticks and margins grown in
# proportion, so that the text stays readable when the image is shown
# scaled down to fit a screen.
TEXT_PICTURE_SIZE = (1280, 720)
# Cells narrower than this on the image (in pixels) get no value written in
# them: two digits would not be legible. A value's digits are about this
# share of the cell's side high. Pictures with values or motion vectors are
# drawn enlarged until their longest side reaches MIN_DETAILED_PICTURE_SIDE.
MIN_VALUE_CELL = 24
VALUE_HEIGHT_SHARE = 0.45
MIN_DETAILED_PICTURE_SIDE = 640
# Pictures with values up to this size (longest side) are drawn at least
# twice enlarged, for cells of 32 pixels; larger ones get no values.
MAX_VALUES_PICTURE_SIDE = 1920
# Arrow colours by where the prediction comes from, and the arrows' line
# width in image pixels at text scale 1.
PAST_REFERENCE_COLOUR, FUTURE_REFERENCE_COLOUR = "white", "black"
ARROW_WIDTH = 1.0

DEFAULT_OPACITY = 0.5
# Perceptually uniform, and its two ends look different at any opacity.
DEFAULT_COLOUR_MAP = "viridis"
ImageFormat = Literal["png", "jpeg"]
# Compression level 1 with run-length matching writes a 1080p heatmap in
# half the time of the default level 6, into a file about as small.
_PNG_OPTIONS = {"compress_level": 1, "compress_type": zlib.Z_RLE}
_JPEG_QUALITY = 90

HeatmapSource = H264DecoderSession | str | os.PathLike[str]


class HeatmapOptions(TypedDict, total=False):
    """The options of render_heatmap and heatmap_png."""

    qp_range: tuple[int, int] | None  # colour scale; default: the codec's whole range
    label: str | None  # heads the title (a file name, say)
    opacity: float  # of the QP colours over the picture, 0..1
    colour_map: str  # a matplotlib colour map name
    values: bool  # each cell's QP written in it
    motion_vectors: bool  # arrows; the session needs motion_vectors=True


@dataclass(frozen=True)
class HeatmapLayout:
    """Where things go in the heatmap image of a picture, in pixels."""

    scale: int  # whole factor the picture is enlarged by
    text_scale: float  # factor text, ticks and margins are grown by
    picture: tuple[int, int]
    left: int
    bottom: int
    top: int
    right: int

    @property
    def size(self) -> tuple[int, int]:
        return (self.left + self.picture[0] + self.right, self.bottom + self.picture[1] + self.top)


def heatmap_layout(
    width: int, height: int, *, values: bool = False, motion_vectors: bool = False
) -> HeatmapLayout:
    scale = heatmap_scale(width, height, values=values, motion_vectors=motion_vectors)
    picture = (width * scale, height * scale)
    text_scale = max(1.0, picture[0] / TEXT_PICTURE_SIZE[0], picture[1] / TEXT_PICTURE_SIZE[1])

    def grown(margin: int) -> int:
        return round(margin * text_scale)

    return HeatmapLayout(
        scale,
        text_scale,
        picture,
        grown(MARGIN_LEFT),
        grown(MARGIN_BOTTOM),
        grown(MARGIN_TOP),
        grown(MARGIN_RIGHT),
    )


def heatmap_scale(
    width: int, height: int, *, values: bool = False, motion_vectors: bool = False
) -> int:
    """The whole factor a picture of this size is drawn enlarged by, with
    or without values and motion vectors."""
    longest = max(width, height)
    side = MIN_DETAILED_PICTURE_SIDE if values or motion_vectors else MIN_PICTURE_SIDE
    scale = max(1, math.ceil(side / longest))
    return max(scale, 2) if values and longest <= MAX_VALUES_PICTURE_SIDE else scale


# Decoders that export motion vectors (AV_CODEC_EXPORT_DATA_MVS), FFmpeg 5.1
# to 9.0: H.264 and the MPEG family; HEVC only on mbgauge's FFmpeg (see
# decoder_exports_motion_vectors), VP9 and AV1 none.
MOTION_VECTOR_CODECS = frozenset(
    {
        "h264",
        "mpeg1video",
        "mpeg2video",
        "mpeg4",
        "h263",
        "h263p",
        "flv1",
        "msmpeg4v2",
        "msmpeg4v3",
        "wmv1",
        "wmv2",
    }
)

# Bar colours of the frame-size panel, by picture type.
PICTURE_TYPE_COLOURS = {"I": "tab:red", "P": "tab:blue", "B": "tab:green"}
OTHER_PICTURE_TYPE_COLOUR = "tab:gray"


def heatmap_size(
    width: int, height: int, *, values: bool = False, motion_vectors: bool = False
) -> tuple[int, int]:
    """(width, height) in pixels of the heatmap image of a picture."""
    return heatmap_layout(width, height, values=values, motion_vectors=motion_vectors).size


def default_qp_range(session: H264DecoderSession) -> tuple[int, int] | None:
    """The colour range heatmaps of this stream use unless told otherwise:
    everything its codec can code at its bit depth (None: not known)."""
    return quantity_of(session.codec, session.pix_fmt).value_range


def render_heatmap(
    source: HeatmapSource, index: SupportsIndex, **options: Unpack[HeatmapOptions]
) -> Figure:
    """Frame `index`'s luma (before deblocking) with its QP map drawn over it,
    one colour per QP value, and a colour bar. Macroblocks that carry no QP
    are left clear. `source` is a session or the path of a video.

    `qp_range` fixes the colour scale (values outside it get the end
    colours); by default it spans what the codec can code at the stream's
    bit depth (0..51 for 8-bit H.264), so that the frames of a file compare.
    `label` (a file name, say) heads the title; `opacity` (default 0.5) and
    `colour_map` (default viridis) set how the QP colours are drawn.

    `values` writes each macroblock's QP in its cell (when the cells are
    large enough to read). `motion_vectors` draws the frame's motion vectors
    as arrows from where each block's prediction comes from to the block,
    white from past pictures, black from future ones; a session must be
    opened with motion_vectors=True (a path is opened so)."""
    with _session_of(source, options) as session:
        frame = operator.index(index)
        return HeatmapPainter(session, **_with_range(session, frame, options)).figure(frame)


def heatmap_png(
    source: HeatmapSource, index: SupportsIndex, **options: Unpack[HeatmapOptions]
) -> bytes:
    """render_heatmap's picture (same options) as PNG bytes."""
    with _session_of(source, options) as session:
        frame = operator.index(index)
        stream = io.BytesIO()
        HeatmapPainter(session, **_with_range(session, frame, options)).save(frame, stream)
        return stream.getvalue()


# Arrays compare cell by cell: no dataclass equality.
@dataclass(frozen=True, eq=False)
class HeatmapData:
    """What the heatmap of one frame shows, fetched by the caller (with the
    batch queries, say): its QP map, the visible part of its luma plane
    (height x width: the frame's own size) and its pixel format. Motion
    vectors, where the painter draws them, come from the session."""

    qp: npt.NDArray[np.int8]
    luma: npt.NDArray[np.uint8] | npt.NDArray[np.uint16]
    pix_fmt: str


def decoder_exports_motion_vectors(session: H264DecoderSession) -> bool:
    """Whether the session's decoder exports motion vectors: those of
    MOTION_VECTOR_CODECS, and HEVC on mbgauge's FFmpeg, which exports them
    with the block structure (other builds refuse that query with
    RuntimeError)."""
    if session.codec in MOTION_VECTOR_CODECS:
        return True
    if session.codec != "hevc":
        return False
    try:
        session.get_coding_blocks(0)
    except RuntimeError:
        return False
    except ValueError:
        pass  # the session was opened without the structure; the build has it
    return True


class HeatmapPainter:
    """Heatmaps of frames of one stream, on one colour scale. For a series
    of images, the axes, colour bar and labels are drawn once; each frame
    then costs its picture, its title and the image encoding, a third of
    drawing the whole figure again. One painter belongs to one thread.

    Each frame's QP map, luma and format come from the session's single-frame
    queries, or from `data` where the caller has them already."""

    def __init__(self, session: H264DecoderSession, **options: Unpack[HeatmapOptions]) -> None:
        from matplotlib import colormaps

        self.session = session
        self.label = options.get("label")
        self.values = bool(options.get("values", False))
        self.motion_vectors = bool(options.get("motion_vectors", False))
        if self.motion_vectors and not session.motion_vectors:
            raise ValueError(
                "motion vectors are not exported by this session; open it with "
                "H264DecoderSession(path, motion_vectors=True)"
            )
        self.opacity = float(options.get("opacity", DEFAULT_OPACITY))
        if not 0.0 <= self.opacity <= 1.0:
            raise ValueError(f"opacity must be between 0 and 1, not {self.opacity}")
        colour_map_name = options.get("colour_map", DEFAULT_COLOUR_MAP)
        try:
            colour_map = colormaps[colour_map_name]
        except KeyError:
            raise ValueError(f"unknown colour map {colour_map_name!r}") from None
        self._colour_map = colour_map
        self._asked_range = options.get("qp_range")
        self._format: tuple[int, int, str] | None = None
        self._build(session.width, session.height, session.pix_fmt)

    def _build(self, width: int, height: int, pix_fmt: str) -> None:
        """The figure for pictures of this size and format; made again when
        a stream changes them mid-way."""
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.cm import ScalarMappable
        from matplotlib.colors import BoundaryNorm
        from matplotlib.figure import Figure
        from matplotlib.ticker import MaxNLocator

        self._format = (width, height, pix_fmt)
        self.quantity = quantity_of(self.session.codec, pix_fmt)
        full_range = self.quantity.value_range
        lowest, highest = (int(value) for value in self._asked_range or full_range or (0, 51))
        if lowest > highest:
            raise ValueError(f"empty QP range {lowest}:{highest}")
        self.qp_range = lowest, highest
        levels = highest - lowest + 1
        colours = self._colour_map.resampled(levels)
        self._blend_table = blend_table(colours(np.arange(levels), bytes=True), self.opacity)

        self.layout = layout = heatmap_layout(
            width, height, values=self.values, motion_vectors=self.motion_vectors
        )
        figure_w, figure_h = layout.size
        picture_w, picture_h = layout.picture
        # Everything sized in points (text, ticks, lines) grows with the dpi.
        dpi = DPI * layout.text_scale
        self._figure = figure = Figure(figsize=(figure_w / dpi, figure_h / dpi), dpi=dpi)
        self._canvas = FigureCanvasAgg(figure)
        # The picture is composed in NumPy and placed pixel for pixel; the
        # axes on top of it only carry the ticks and labels.
        self._pixels = _Pixels(layout.left, layout.bottom)
        figure.add_artist(self._pixels)
        self._axes = axes = figure.add_axes(
            (
                layout.left / figure_w,
                layout.bottom / figure_h,
                picture_w / figure_w,
                picture_h / figure_h,
            )
        )
        axes.patch.set_visible(False)
        # Axes units are macroblocks: cell (row, col) of the map covers
        # [col, col + 1) x [row, row + 1), over the pixels it was coded for.
        axes.set_xlim(0, width / MB_SIZE)
        axes.set_ylim(height / MB_SIZE, 0)
        axes.xaxis.set_major_locator(MaxNLocator(integer=True))
        axes.yaxis.set_major_locator(MaxNLocator(integer=True))
        axes.set_xlabel("macroblock column")
        axes.set_ylabel("macroblock row")
        axes.set_title("", fontsize=10)

        gap, bar_width = COLOUR_BAR_GAP * layout.text_scale, COLOUR_BAR_WIDTH * layout.text_scale
        bar_axes = figure.add_axes(
            (
                (layout.left + picture_w + gap) / figure_w,
                layout.bottom / figure_h,
                bar_width / figure_w,
                picture_h / figure_h,
            )
        )
        ticks = [
            t
            for t in MaxNLocator(nbins=min(levels, 8), integer=True).tick_values(lowest, highest)
            if lowest <= t <= highest
        ]
        # Arrows at the ends when the scale is narrower than what the codec
        # can code: values beyond it are drawn in the end colours.
        clipped = full_range is not None and (lowest > full_range[0] or highest < full_range[1])
        scale = ScalarMappable(BoundaryNorm(np.arange(lowest - 0.5, highest + 1), levels), colours)
        bar = figure.colorbar(
            scale, cax=bar_axes, ticks=ticks, extend="both" if clipped else "neither"
        )
        bar.minorticks_off()
        bar.set_label(f"{self.quantity.name} of the 16×16 macroblock")
        self._background: npt.NDArray[np.uint8] | None = None
        # The values and arrows of the frame shown, drawn over the picture.
        self._overlay: list[Any] = []

    def figure(self, index: SupportsIndex, *, data: HeatmapData | None = None) -> Figure:
        """The painter's figure showing frame `index` (the same figure each
        call: copy what you keep)."""
        picture, title = self._frame(operator.index(index), data)
        self._pixels.picture = picture
        self._axes.title.set_text(title)
        return self._figure

    def image(self, index: SupportsIndex, *, data: HeatmapData | None = None) -> Image.Image:
        """Frame `index`'s heatmap as an RGB image."""
        from PIL import Image

        picture, title = self._frame(operator.index(index), data)
        canvas, axes = self._canvas, self._axes
        spines = list(axes.spines.values())
        if self._background is None:
            # Everything but the picture, the lines around it and the title.
            # (A hidden title would be placed off the figure: it is emptied.)
            for spine in spines:
                spine.set_visible(False)
            axes.title.set_text("")
            self._pixels.picture = None
            canvas.draw()
            self._background = np.array(canvas.buffer_rgba())
            for spine in spines:
                spine.set_visible(True)
        buffer = np.asarray(canvas.buffer_rgba())
        buffer[...] = self._background
        top = buffer.shape[0] - self.layout.bottom - picture.shape[0]
        buffer[
            top : top + picture.shape[0], self.layout.left : self.layout.left + picture.shape[1]
        ] = picture
        axes.title.set_text(title)
        # In the order the whole figure would draw them.
        for artist in sorted((*self._overlay, *spines), key=lambda artist: artist.zorder):
            axes.draw_artist(artist)
        axes.draw_artist(axes.title)
        height, width = buffer.shape[:2]
        return Image.frombuffer("RGBA", (width, height), buffer, "raw", "RGBA", 0, 1).convert("RGB")

    def save(
        self,
        index: SupportsIndex,
        path: str | os.PathLike[str] | BinaryIO,
        format: ImageFormat = "png",
        *,
        data: HeatmapData | None = None,
    ) -> None:
        """Writes frame `index`'s heatmap as PNG or JPEG, to a path (whole or
        not at all) or to a binary stream."""
        _save_image(self.image(index, data=data), path, format, self._figure.dpi)

    def _frame(
        self, index: int, data: HeatmapData | None = None
    ) -> tuple[npt.NDArray[np.uint8], str]:
        session = self.session
        if data is None:
            # The frame's own size and format: a stream may change them mid-way.
            width, height, pix_fmt = session.get_frame_format(index)
            qp = cell_map(session, index)
            luma = session.get_plane_data(index, 0)[:height, :width]
        else:
            qp, luma, pix_fmt = data.qp, data.luma, data.pix_fmt
            height, width = _checked_shapes(qp, luma)
        if (width, height, pix_fmt) != self._format:
            self._build(width, height, pix_fmt)
        picture = compose_heatmap(
            luma,
            qp,
            white=(1 << bit_depth(pix_fmt)) - 1,
            qp_range=self.qp_range,
            table=self._blend_table,
            scale=self.layout.scale,
        )
        for artist in self._overlay:
            artist.remove()
        self._overlay = []
        carried = qp[qp >= 0]
        heading = f"{self.label} — frame {index}" if self.label else f"frame {index}"
        short = self.quantity.short
        if carried.size:
            detail = f"{short} {carried.min()}–{carried.max()}, mean {carried.mean():.1f}"
            if carried.size < qp.size:
                detail += (
                    f"; {1 - carried.size / qp.size:.0%} of macroblocks without a value (clear)"
                )
        else:
            detail = f"no macroblock carries a {short}"
        if self.values and not self._write_cell_values(qp, picture):
            detail += "; cells too small for their values"
        if self.motion_vectors:
            detail += "; " + self._draw_motion_vectors(session.get_motion_vectors(index), index)
        return picture, f"{heading}\n{detail}"

    def _write_cell_values(self, qp: CellMaps, picture: npt.NDArray[np.uint8]) -> bool:
        """Writes each carried QP in the middle of its cell, black on light
        cells and white on dark ones; False when the cells are too small to
        read a value."""
        layout = self.layout
        cell_pixels = MB_SIZE * layout.scale
        if cell_pixels < MIN_VALUE_CELL:
            return False
        # Points from image pixels: a point is dpi / 72 pixels.
        size = cell_pixels * VALUE_HEIGHT_SHARE * 72 / (DPI * layout.text_scale)
        light = _light_cells(picture, cell_pixels, qp.shape)
        # The last row and column of cells may reach past the picture (a
        # height of 120 leaves half a cell): values go in the middle of the
        # part shown, in a smaller size where that part is too low for them.
        assert self._format is not None
        width, height = (extent / MB_SIZE for extent in self._format[:2])
        for row, col in zip(*np.nonzero(qp >= 0)):
            shown = min(1.0, height - row)
            self._overlay.append(
                self._axes.text(
                    (col + min(col + 1.0, width)) / 2,
                    row + shown / 2,
                    str(qp[row, col]),
                    ha="center",
                    va="center_baseline",
                    fontsize=size * min(1.0, shown / (2 * VALUE_HEIGHT_SHARE)),
                    color="black" if light[row, col] else "white",
                    clip_on=True,
                )
            )
        return True

    def _draw_motion_vectors(self, vectors: npt.NDArray[np.void], index: int) -> str:
        """Arrows from each vector's source to its block (axes in macroblock
        units), zero vectors left out; says what was drawn, for the title."""
        if not vectors.size:
            if self.session.frame_table()["pict_type"][index] == "I":
                return "no motion vectors (intra picture)"
            codec = self.session.codec
            if not decoder_exports_motion_vectors(self.session):
                return f"no motion vectors: FFmpeg's {codec} decoder exports none"
            return "no motion vectors"
        scale = np.where(vectors["motion_scale"] > 0, vectors["motion_scale"], 1).astype(float)
        to_x, to_y = vectors["dst_x"].astype(float), vectors["dst_y"].astype(float)
        from_x = to_x + vectors["motion_x"] / scale
        from_y = to_y + vectors["motion_y"] / scale
        moving = (vectors["motion_x"] != 0) | (vectors["motion_y"] != 0)
        from_past = vectors["source"] < 0
        for is_past, colour in ((True, PAST_REFERENCE_COLOUR), (False, FUTURE_REFERENCE_COLOUR)):
            chosen = moving & (from_past == is_past)
            if not chosen.any():
                continue
            self._overlay.append(
                self._axes.quiver(
                    from_x[chosen] / MB_SIZE,
                    from_y[chosen] / MB_SIZE,
                    (to_x - from_x)[chosen] / MB_SIZE,
                    (to_y - from_y)[chosen] / MB_SIZE,
                    angles="xy",
                    scale_units="xy",
                    scale=1,
                    units="dots",
                    width=ARROW_WIDTH * self.layout.text_scale,
                    headwidth=4,
                    headlength=4,
                    headaxislength=3.5,
                    color=colour,
                    clip_on=True,
                )
            )
        past = int(np.count_nonzero(moving & from_past))
        future = int(np.count_nonzero(moving)) - past
        return (
            f"{len(vectors)} motion vectors, {len(vectors) - past - future} zero; from the "
            f"past {past} ({PAST_REFERENCE_COLOUR}), from the future {future} "
            f"({FUTURE_REFERENCE_COLOUR})"
        )


def _checked_shapes(
    qp: npt.NDArray[np.int8], luma: npt.NDArray[np.uint8] | npt.NDArray[np.uint16]
) -> tuple[int, int]:
    """(height, width) of a frame given as data, once its QP map is known to
    have a cell for every macroblock of its luma."""
    if luma.ndim != 2 or qp.ndim != 2:
        raise ValueError(
            f"expected a 2-D luma plane and QP map, not of shapes {luma.shape} and {qp.shape}"
        )
    height, width = luma.shape
    cells = (-(-height // MB_SIZE), -(-width // MB_SIZE))
    if qp.shape != cells:
        raise ValueError(
            f"a {width}x{height} picture has {cells[0]}x{cells[1]} macroblocks, "
            f"but its QP map is {qp.shape[0]}x{qp.shape[1]}"
        )
    return height, width


def _with_range(session: H264DecoderSession, index: int, options: HeatmapOptions) -> HeatmapOptions:
    """The options, with the frame's own QPs as the scale when neither the
    caller nor the codec gives one."""
    if options.get("qp_range") or quantity_of(session.codec, session.pix_fmt).value_range:
        return options
    qp = cell_map(session, index)
    carried = qp[qp >= 0]
    if not carried.size:
        return options
    return {**options, "qp_range": (int(carried.min()), int(carried.max()))}


def blend_table(colours: npt.NDArray[np.uint8], opacity: float) -> npt.NDArray[np.uint8]:
    """Every (cell colour, grey) pair blended once, in 1/256 steps (weight
    256 shows a colour alone), as RGBA bytes: row `i` for `colours[i]` (RGB(A)
    bytes, one per QP of the range), the last row for cells without a value.
    It depends on the painter's colours and opacity only, not on the frame."""
    weight = round(opacity * 256)
    greys = np.arange(256, dtype=np.uint32)
    palette = np.asarray(colours)[:, :3].astype(np.uint32)
    levels = len(palette)
    blended = (greys[None, :, None] * (256 - weight) + palette[:, None, :] * weight + 128) >> 8
    table = np.empty((levels + 1, 256, 4), np.uint8)
    table[:levels, :, :3] = blended
    table[levels, :, :3] = greys[:, None]
    table[..., 3] = 255
    return table


def compose_heatmap(
    luma: npt.NDArray[np.uint8] | npt.NDArray[np.uint16],
    qp: CellMaps,
    *,
    white: int,
    qp_range: tuple[int, int],
    table: npt.NDArray[np.uint8],
    scale: int = 1,
) -> npt.NDArray[np.uint8]:
    """The picture as RGBA bytes: luma in grey, each macroblock's colour
    blended over it from `table` (see blend_table; values clipped to the
    range), and macroblocks without a value left grey; enlarged `scale`
    times."""
    height, width = luma.shape
    lowest, highest = qp_range
    levels = highest - lowest + 1
    # Black is drawn as a dark grey, so that dark picture areas do not darken
    # the QP colours into one another.
    grey_of_luma = np.round(np.arange(white + 1) * (255 / (1.6 * white)) + 255 * 0.6 / 1.6)
    grey = grey_of_luma.astype(np.uint8)[luma]
    # Each pixel is one look-up of its cell's row and its grey.
    cell_rows = np.where(qp >= 0, np.clip(qp, lowest, highest).astype(np.int32) - lowest, levels)
    rows = (cell_rows * 256).repeat(MB_SIZE, axis=0)[:height].repeat(MB_SIZE, axis=1)[:, :width]
    rows += grey
    picture: npt.NDArray[np.uint8] = (
        table.view(np.uint32).reshape(-1)[rows].view(np.uint8).reshape(height, width, 4)
    )
    if scale > 1:
        picture = picture.repeat(scale, axis=0).repeat(scale, axis=1)
    return picture


def _light_cells(
    picture: npt.NDArray[np.uint8], cell_pixels: int, shape: tuple[int, int]
) -> npt.NDArray[np.bool_]:
    """Whether each cell of the composed picture looks light on average
    (cells cut by the picture's edge: their part in it)."""
    rows, cols = shape
    luminance = picture[..., :3].astype(np.float32) @ np.array([0.2126, 0.7152, 0.0722], np.float32)
    luminance = luminance[: rows * cell_pixels, : cols * cell_pixels]
    height, width = luminance.shape
    padded = np.zeros((rows * cell_pixels, cols * cell_pixels), np.float32)
    padded[:height, :width] = luminance
    counts = np.zeros_like(padded)
    counts[:height, :width] = 1
    sums = padded.reshape(rows, cell_pixels, cols, cell_pixels).sum(axis=(1, 3))
    means = sums / np.maximum(
        counts.reshape(rows, cell_pixels, cols, cell_pixels).sum(axis=(1, 3)), 1
    )
    return np.asarray(means > 127.5)


def image_format_of(path: str | os.PathLike[str]) -> ImageFormat | None:
    """The image format a file name asks for (no suffix: PNG); None for a
    suffix this module does not write."""
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    formats: dict[str, ImageFormat] = {"": "png", ".png": "png", ".jpg": "jpeg", ".jpeg": "jpeg"}
    return formats.get(suffix)


def plot_mean_qp(
    stats: npt.NDArray[np.void],
    *,
    label: str | None = None,
    quantity: Quantity | None = None,
    frame_table: npt.NDArray[np.void] | None = None,
) -> Figure:
    """Mean QP of each frame over the frame index, within a band from the
    frame's lowest to its highest QP (qp_stats's array). `quantity` names
    what the values are (default: QP). With the session's `frame_table`, a
    second panel shows each frame's size in bits, coloured by picture type,
    as a bitrate viewer does."""
    from matplotlib.figure import Figure

    with_blocks = "block_bits" in (stats.dtype.names or ()) and bool(
        (stats["block_bits"] >= 0).any()
    )
    panels = 1 + (frame_table is not None) + with_blocks
    # The block shares share the height of the two panels above them.
    figure = Figure(figsize=(10, 4 * min(panels, 2)), dpi=DPI, layout="constrained")
    heights = [3, 3, 2][:panels] if panels == 3 else None
    axes, *below = figure.subplots(panels, 1, sharex=True, squeeze=False, height_ratios=heights)[
        :, 0
    ]
    carries = stats["min_qp"] >= 0
    frames = stats["frame"]
    lowest = np.where(carries, stats["min_qp"], np.nan)
    highest = np.where(carries, stats["max_qp"], np.nan)
    axes.fill_between(frames, lowest, highest, alpha=0.25, linewidth=0, label="lowest to highest")
    axes.plot(frames, stats["mean_qp"], linewidth=1.2, label="mean")
    if panels == 1:
        axes.set_xlabel("frame index")
    name = quantity.name if quantity else "QP"
    axes.set_ylabel(name)
    axes.grid(alpha=0.3)
    axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1), borderaxespad=0)
    axes.set_title(f"{name} per frame — {label}" if label else f"{name} per frame")
    if frame_table is not None:
        _plot_frame_sizes(below[0], frames, frame_table, stats if with_blocks else None)
    if with_blocks:
        _plot_block_shares(below[-1], stats)
    for upper in [axes, *below][:-1]:
        upper.set_xlabel("")
    return figure


# Colours of the block shares: as the type layer of the block pictures.
BLOCK_SHARE_COLOURS = {"intra": "#d62728", "inter": "#1f77b4", "skip": "#2ca02c"}


def _plot_block_shares(axes: Any, stats: npt.NDArray[np.void]) -> None:
    frames = stats["frame"]
    bottom = np.zeros(len(stats))
    for kind, colour in BLOCK_SHARE_COLOURS.items():
        share = np.nan_to_num(stats[f"{kind}_share"])
        axes.bar(frames, share, bottom=bottom, width=1.0, color=colour, linewidth=0, label=kind)
        bottom += share
    axes.set_ylim(0, 1)
    axes.yaxis.set_major_formatter("{x:.0%}")
    axes.set_xlabel("frame index")
    axes.set_ylabel("share of the picture")
    axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1), borderaxespad=0, title="blocks")
    axes.set_title("Intra, inter and skipped blocks")


def _plot_frame_sizes(
    axes: Any,
    frames: npt.NDArray[np.int64],
    frame_table: npt.NDArray[np.void],
    stats: npt.NDArray[np.void] | None = None,
) -> None:
    rows = frame_table[frames]
    bits = rows["packet_size"].astype(np.int64) * 8
    types = rows["pict_type"]
    for picture_type in dict.fromkeys(sorted(set(types.tolist()), key=_picture_type_order)):
        chosen = types == picture_type
        colour = PICTURE_TYPE_COLOURS.get(picture_type, OTHER_PICTURE_TYPE_COLOUR)
        mean = float(bits[chosen].mean())
        axes.bar(
            frames[chosen],
            bits[chosen],
            width=1.0,
            color=colour,
            linewidth=0,
            label=f"{picture_type or '?'}: {np.count_nonzero(chosen)} frames, "
            f"mean {_kilobits(mean)}",
        )
    if stats is not None:
        # What the coding blocks cost, against the whole packet.
        axes.plot(
            frames,
            np.where(stats["block_bits"] >= 0, stats["block_bits"], np.nan),
            color="black",
            linewidth=1.0,
            label="in coding blocks",
        )
    axes.set_xlabel("frame index")
    axes.set_ylabel("bits per frame")
    axes.grid(alpha=0.3, axis="y")
    axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1), borderaxespad=0, title="picture type")
    # A rate only for consecutive frames: each frame's bits over its time.
    consecutive = len(rows) > 1 and bool(np.all(np.diff(frames) == 1))
    duration = float(rows["time"][-1] - rows["time"][0]) if consecutive else 0.0
    rate = f", {bits[:-1].sum() / duration / 1000:.0f} kbit/s" if duration > 0 else ""
    axes.set_title(f"Frame sizes: {_kilobits(float(bits.sum()))} in {len(bits)} frames{rate}")


def _picture_type_order(picture_type: str) -> int:
    order = list(PICTURE_TYPE_COLOURS)
    return order.index(picture_type) if picture_type in order else len(order)


def _kilobits(bits: float) -> str:
    return f"{bits / 1000:.1f} kbit" if bits < 1e6 else f"{bits / 1e6:.2f} Mbit"


def save_figure(
    figure: Figure, path: str | os.PathLike[str] | BinaryIO, format: ImageFormat = "png"
) -> None:
    """Writes the figure as an RGB PNG or JPEG, to a path (whole or not at
    all) or to a binary stream."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from PIL import Image

    # A painter's figure keeps its canvas: a new one would take the painter's
    # later drawing away from the canvas it reads its images from.
    canvas = (
        figure.canvas if isinstance(figure.canvas, FigureCanvasAgg) else FigureCanvasAgg(figure)
    )
    canvas.draw()
    width, height = canvas.get_width_height(physical=True)
    buffer = canvas.buffer_rgba()
    image = Image.frombuffer("RGBA", (width, height), buffer, "raw", "RGBA", 0, 1).convert("RGB")
    _save_image(image, path, format, figure.dpi)


def _save_image(
    image: Image.Image, path: str | os.PathLike[str] | BinaryIO, format: ImageFormat, dpi: float
) -> None:
    options = _PNG_OPTIONS if format == "png" else {"quality": _JPEG_QUALITY}
    if isinstance(path, (str, os.PathLike)):
        with atomic_output(path) as stream:
            image.save(stream, format=format, dpi=(round(dpi),) * 2, **options)
    else:
        image.save(path, format=format, dpi=(round(dpi),) * 2, **options)


def _Pixels(left: int, bottom: int) -> Any:
    """An artist that draws an RGBA picture (`.picture`, or nothing while it
    is None) pixel for pixel with its lower-left corner at (left, bottom):
    matplotlib's own images resample even at 1:1, which takes a second at
    1080p."""
    from matplotlib.artist import Artist

    class Pixels(Artist):
        zorder = -1  # under the axes, whose background is left out

        def __init__(self) -> None:
            super().__init__()
            self.picture: npt.NDArray[np.uint8] | None = None

        def draw(self, renderer: Any) -> None:
            if self.picture is None or not self.get_visible():
                return
            gc = renderer.new_gc()
            # The renderer takes the rows from the bottom up.
            renderer.draw_image(gc, left, bottom, np.ascontiguousarray(self.picture[::-1]))
            gc.restore()

    return Pixels()


@contextmanager
def _session_of(source: HeatmapSource, options: HeatmapOptions) -> Iterator[H264DecoderSession]:
    if isinstance(source, H264DecoderSession):
        yield source
        return
    with H264DecoderSession(
        os.fspath(source), motion_vectors=bool(options.get("motion_vectors"))
    ) as session:
        yield session
