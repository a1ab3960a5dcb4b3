"""Pictures: a frame's luma with its QP map laid over it (optionally with
each cell's value written in it and the motion vectors drawn as arrows), and
the mean QP and the size of each frame over the frame index. Figures are made without pyplot, so they
hold no global state and work in any thread, script or notebook."""

from __future__ import annotations

import io
import math
import os
import re
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from mbgauge import H264DecoderSession

from .files import atomic_output

if TYPE_CHECKING:
    from matplotlib.figure import Figure

MB_SIZE = 16
DPI = 100
# Pictures smaller than this (longest side, in pixels) are drawn enlarged by
# a whole factor, so that the title and axes fit and macroblocks stay crisp.
MIN_PICTURE_SIDE = 320
# Fixed margins around the picture, in pixels: the axes' ticks and labels at
# the left and bottom, the two title lines at the top, the colour bar and its
# labels at the right.
MARGIN_LEFT, MARGIN_BOTTOM, MARGIN_TOP = 56, 50, 52
COLOUR_BAR_GAP, COLOUR_BAR_WIDTH, COLOUR_BAR_LABELS = 12, 16, 56
MARGIN_RIGHT = COLOUR_BAR_GAP + COLOUR_BAR_WIDTH + COLOUR_BAR_LABELS
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
# width in image pixels.
PAST_REFERENCE_COLOUR, FUTURE_REFERENCE_COLOUR = "white", "black"
ARROW_WIDTH = 1.0
# Bar colours of the frame-size panel, by picture type.
PICTURE_TYPE_COLOURS = {"I": "tab:red", "P": "tab:blue", "B": "tab:green"}
OTHER_PICTURE_TYPE_COLOUR = "tab:gray"


def heatmap_scale(width: int, height: int, *, values: bool = False,
                  motion_vectors: bool = False) -> int:
    """The whole factor a picture of this size is drawn enlarged by, with
    or without values and motion vectors."""
    longest = max(width, height)
    side = MIN_DETAILED_PICTURE_SIDE if values or motion_vectors else MIN_PICTURE_SIDE
    scale = max(1, math.ceil(side / longest))
    return max(scale, 2) if values and longest <= MAX_VALUES_PICTURE_SIDE else scale


def heatmap_size(width: int, height: int, *, values: bool = False,
                 motion_vectors: bool = False) -> tuple[int, int]:
    """(width, height) in pixels of the heatmap image of a picture."""
    scale = heatmap_scale(width, height, values=values, motion_vectors=motion_vectors)
    return (MARGIN_LEFT + width * scale + MARGIN_RIGHT,
            MARGIN_TOP + height * scale + MARGIN_BOTTOM)


def render_heatmap(session: H264DecoderSession, index: int, *,
                   qp_range: tuple[int, int] | None = None, label: str | None = None,
                   opacity: float = 0.5, colour_map: str = "turbo", values: bool = False,
                   motion_vectors: bool = False) -> Figure:
    """Frame `index`'s luma (before deblocking) with its QP map drawn over it,
    one colour per QP value, and a colour bar. Macroblocks that carry no QP
    are left clear. `qp_range` fixes the colour scale (values outside it get
    the end colours), so that several frames can be compared; by default it
    spans the frame's own QPs. `label` (a file name, say) heads the title.

    `values` writes each macroblock's QP in its cell (when the cells are
    large enough to read). `motion_vectors` draws the frame's motion vectors
    as arrows from where each block's prediction comes from to the block,
    white from past pictures, black from future ones; the session must be
    opened with motion_vectors=True."""
    from matplotlib import colormaps
    from matplotlib.colors import BoundaryNorm
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator

    width, height = session.width, session.height
    qp = session.get_qpmap(index)
    luma = session.get_plane_data(index, 0)[:height, :width]
    carried = qp[qp >= 0]
    lowest, highest = qp_range or ((int(carried.min()), int(carried.max())) if carried.size
                                   else (0, 51))
    if lowest > highest:
        raise ValueError(f"empty QP range {lowest}:{highest}")

    scale = heatmap_scale(width, height, values=values, motion_vectors=motion_vectors)
    picture_w, picture_h = width * scale, height * scale
    figure_w, figure_h = heatmap_size(width, height, values=values, motion_vectors=motion_vectors)
    figure = Figure(figsize=(figure_w / DPI, figure_h / DPI), dpi=DPI)
    # Axes placed by pixel, so that the picture is drawn at exactly `scale`.
    axes = figure.add_axes((MARGIN_LEFT / figure_w, MARGIN_BOTTOM / figure_h,
                            picture_w / figure_w, picture_h / figure_h))
    # Axes units are macroblocks: cell (row, col) of the map covers
    # [col, col + 1) x [row, row + 1), over the pixels it was coded for.
    # Black is drawn as a mid grey so that dark picture areas do not darken
    # the QP colours into one another.
    white = _white_level(session)
    axes.imshow(luma, cmap="gray", vmin=-0.6 * white, vmax=white, interpolation="nearest",
                extent=(0, width / MB_SIZE, height / MB_SIZE, 0))
    levels = highest - lowest + 1
    overlay = axes.imshow(
        np.ma.masked_less(np.clip(qp, lowest, highest), 0) if carried.size else
        np.ma.masked_all(qp.shape), cmap=colormaps[colour_map].resampled(levels),
        norm=BoundaryNorm(np.arange(lowest - 0.5, highest + 1), levels),
        alpha=opacity, interpolation="nearest", extent=(0, session.mb_cols, session.mb_rows, 0))
    axes.set_xlim(0, width / MB_SIZE)
    axes.set_ylim(height / MB_SIZE, 0)
    axes.xaxis.set_major_locator(MaxNLocator(integer=True))
    axes.yaxis.set_major_locator(MaxNLocator(integer=True))
    axes.set_xlabel("macroblock column")
    axes.set_ylabel("macroblock row")

    bar_axes = figure.add_axes(((MARGIN_LEFT + picture_w + COLOUR_BAR_GAP) / figure_w,
                                MARGIN_BOTTOM / figure_h, COLOUR_BAR_WIDTH / figure_w,
                                picture_h / figure_h))
    ticks = [t for t in MaxNLocator(nbins=min(levels, 8), integer=True).tick_values(lowest, highest)
             if lowest <= t <= highest]
    clipped = carried.size and (carried.min() < lowest or carried.max() > highest)
    bar = figure.colorbar(overlay, cax=bar_axes, ticks=ticks, extend="both" if clipped else "neither")
    bar.set_label("QP of the 16×16 macroblock")

    heading = f"{label} — frame {index}" if label else f"frame {index}"
    if carried.size:
        detail = f"QP {carried.min()}–{carried.max()}, mean {carried.mean():.1f}"
        if carried.size < qp.size:
            detail += f"; {1 - carried.size / qp.size:.0%} of macroblocks without QP (clear)"
    else:
        detail = "no macroblock carries a QP"
    if values and not _write_cell_values(axes, qp, MB_SIZE * scale, overlay):
        detail += "; cells too small for their values"
    if motion_vectors:
        detail += "; " + _draw_motion_vectors(axes, session.get_motion_vectors(index))
    axes.set_title(f"{heading}\n{detail}", fontsize=10)
    return figure


def _write_cell_values(axes: Any, qp: npt.NDArray[np.int8], cell_pixels: int,
                       overlay: Any) -> bool:
    """Writes each carried QP in the middle of its cell (axes in macroblock
    units), black on light colours and white on dark ones; False when the
    cells are too small to read a value."""
    if cell_pixels < MIN_VALUE_CELL:
        return False
    # Points from pixels: a point is DPI / 72 pixels.
    size = cell_pixels * VALUE_HEIGHT_SHARE * 72 / DPI
    red, green, blue, _ = overlay.to_rgba(qp).transpose(2, 0, 1)
    light = 0.2126 * red + 0.7152 * green + 0.0722 * blue > 0.5
    for row, col in zip(*np.nonzero(qp >= 0)):
        axes.text(col + 0.5, row + 0.5, str(qp[row, col]), ha="center", va="center_baseline",
                  fontsize=size, color="black" if light[row, col] else "white", clip_on=True)
    return True


def _draw_motion_vectors(axes: Any, vectors: npt.NDArray[np.void]) -> str:
    """Arrows from each vector's source to its block (axes in macroblock
    units), zero vectors left out; says what was drawn, for the title."""
    if not vectors.size:
        return "no motion vectors (intra picture)"
    scale = np.where(vectors["motion_scale"] > 0, vectors["motion_scale"], 1).astype(float)
    to_x, to_y = vectors["dst_x"].astype(float), vectors["dst_y"].astype(float)
    from_x = to_x + vectors["motion_x"] / scale
    from_y = to_y + vectors["motion_y"] / scale
    moving = (vectors["motion_x"] != 0) | (vectors["motion_y"] != 0)
    for past, colour in ((True, PAST_REFERENCE_COLOUR), (False, FUTURE_REFERENCE_COLOUR)):
        chosen = moving & ((vectors["source"] < 0) == past)
        if not chosen.any():
            continue
        axes.quiver(from_x[chosen] / MB_SIZE, from_y[chosen] / MB_SIZE,
                    (to_x - from_x)[chosen] / MB_SIZE, (to_y - from_y)[chosen] / MB_SIZE,
                    angles="xy", scale_units="xy", scale=1, units="dots", width=ARROW_WIDTH,
                    headwidth=4, headlength=4, headaxislength=3.5, color=colour)
    past = int(np.count_nonzero(moving & (vectors["source"] < 0)))
    future = int(np.count_nonzero(moving)) - past
    return (f"{len(vectors)} motion vectors, {len(vectors) - past - future} zero; from the past "
            f"{past} ({PAST_REFERENCE_COLOUR}), from the future {future} "
            f"({FUTURE_REFERENCE_COLOUR})")


def heatmap_png(session: H264DecoderSession, index: int, **options: Any) -> bytes:
    """render_heatmap's picture (same options) as PNG bytes."""
    stream = io.BytesIO()
    render_heatmap(session, index, **options).savefig(stream, format="png", dpi=DPI)
    return stream.getvalue()


def plot_mean_qp(stats: npt.NDArray[np.void], *, label: str | None = None,
                 frame_table: npt.NDArray[np.void] | None = None) -> Figure:
    """Mean QP of each frame over the frame index, within a band from the
    frame's lowest to its highest QP (qp_stats's array). With the session's
    `frame_table`, a second panel shows each frame's size in bits, coloured
    by picture type, as a bitrate viewer does."""
    from matplotlib.figure import Figure

    panels = 1 if frame_table is None else 2
    figure = Figure(figsize=(10, 4 * panels), dpi=DPI, layout="constrained")
    axes, *below = figure.subplots(panels, 1, sharex=True, squeeze=False)[:, 0]
    carries = stats["min_qp"] >= 0
    frames = stats["frame"]
    lowest = np.where(carries, stats["min_qp"], np.nan)
    highest = np.where(carries, stats["max_qp"], np.nan)
    axes.fill_between(frames, lowest, highest, alpha=0.25, linewidth=0, label="lowest to highest")
    axes.plot(frames, stats["mean_qp"], linewidth=1.2, label="mean")
    if frame_table is None:
        axes.set_xlabel("frame index")
    axes.set_ylabel("QP")
    axes.grid(alpha=0.3)
    axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1), borderaxespad=0)
    axes.set_title(f"QP per frame — {label}" if label else "QP per frame")
    if frame_table is not None:
        _plot_frame_sizes(below[0], frames, frame_table)
    return figure


def _plot_frame_sizes(axes: Any, frames: npt.NDArray[np.int64],
                      frame_table: npt.NDArray[np.void]) -> None:
    rows = frame_table[frames]
    bits = rows["packet_size"].astype(np.int64) * 8
    types = rows["pict_type"]
    for picture_type in dict.fromkeys(sorted(set(types.tolist()), key=_picture_type_order)):
        chosen = types == picture_type
        colour = PICTURE_TYPE_COLOURS.get(picture_type, OTHER_PICTURE_TYPE_COLOUR)
        mean = bits[chosen].mean()
        axes.bar(frames[chosen], bits[chosen], width=1.0, color=colour, linewidth=0,
                 label=f"{picture_type or '?'}: {np.count_nonzero(chosen)} frames, "
                       f"mean {_kilobits(mean)}")
    axes.set_xlabel("frame index")
    axes.set_ylabel("bits per frame")
    axes.grid(alpha=0.3, axis="y")
    axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1), borderaxespad=0,
                title="picture type")
    # A rate only for consecutive frames: each frame's bits over its time.
    consecutive = len(rows) > 1 and bool(np.all(np.diff(frames) == 1))
    duration = float(rows["time"][-1] - rows["time"][0]) if consecutive else 0.0
    rate = f", {bits[:-1].sum() / duration / 1000:.0f} kbit/s" if duration > 0 else ""
    axes.set_title(f"Frame sizes: {_kilobits(bits.sum())} in {len(bits)} frames{rate}")


def _picture_type_order(picture_type: str) -> int:
    order = list(PICTURE_TYPE_COLOURS)
    return order.index(picture_type) if picture_type in order else len(order)


def _kilobits(bits: float) -> str:
    return f"{bits / 1000:.1f} kbit" if bits < 1e6 else f"{bits / 1e6:.2f} Mbit"


def save_figure(figure: Figure, path: str | os.PathLike[str]) -> None:
    with atomic_output(path) as stream:
        figure.savefig(stream, format="png", dpi=DPI)


def _white_level(session: H264DecoderSession) -> int:
    """The largest sample value of the stream's bit depth (yuv420p10le: 1023)."""
    depth = re.search(r"p(\d+)(?:le|be)?$", session.pix_fmt)
    bits = int(depth.group(1)) if depth else 8 * session.bytes_per_sample
    return (1 << bits) - 1
