"""Pictures: a frame's luma with its QP map laid over it, and the mean QP of
each frame over the frame index. Figures are made without pyplot, so they
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


def heatmap_scale(width: int, height: int) -> int:
    """The whole factor a picture of this size is drawn enlarged by."""
    return max(1, math.ceil(MIN_PICTURE_SIDE / max(width, height)))


def heatmap_size(width: int, height: int) -> tuple[int, int]:
    """(width, height) in pixels of the heatmap image of a picture."""
    scale = heatmap_scale(width, height)
    return (MARGIN_LEFT + width * scale + MARGIN_RIGHT,
            MARGIN_TOP + height * scale + MARGIN_BOTTOM)


def render_heatmap(session: H264DecoderSession, index: int, *,
                   qp_range: tuple[int, int] | None = None, label: str | None = None,
                   opacity: float = 0.5, colour_map: str = "turbo") -> Figure:
    """Frame `index`'s luma (before deblocking) with its QP map drawn over it,
    one colour per QP value, and a colour bar. Macroblocks that carry no QP
    are left clear. `qp_range` fixes the colour scale (values outside it get
    the end colours), so that several frames can be compared; by default it
    spans the frame's own QPs. `label` (a file name, say) heads the title."""
    from matplotlib import colormaps
    from matplotlib.colors import BoundaryNorm
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator

    # The frame's own size: a stream may change it mid-way.
    width, height, pix_fmt = session.get_frame_format(index)
    qp = session.get_qpmap(index)
    mb_rows, mb_cols = qp.shape
    luma = session.get_plane_data(index, 0)[:height, :width]
    carried = qp[qp >= 0]
    lowest, highest = qp_range or ((int(carried.min()), int(carried.max())) if carried.size
                                   else (0, 51))
    if lowest > highest:
        raise ValueError(f"empty QP range {lowest}:{highest}")

    scale = heatmap_scale(width, height)
    picture_w, picture_h = width * scale, height * scale
    figure_w, figure_h = heatmap_size(width, height)
    figure = Figure(figsize=(figure_w / DPI, figure_h / DPI), dpi=DPI)
    # Axes placed by pixel, so that the picture is drawn at exactly `scale`.
    axes = figure.add_axes((MARGIN_LEFT / figure_w, MARGIN_BOTTOM / figure_h,
                            picture_w / figure_w, picture_h / figure_h))
    # Axes units are macroblocks: cell (row, col) of the map covers
    # [col, col + 1) x [row, row + 1), over the pixels it was coded for.
    # Black is drawn as a mid grey so that dark picture areas do not darken
    # the QP colours into one another.
    white = _white_level(pix_fmt, luma.itemsize)
    axes.imshow(luma, cmap="gray", vmin=-0.6 * white, vmax=white, interpolation="nearest",
                extent=(0, width / MB_SIZE, height / MB_SIZE, 0))
    levels = highest - lowest + 1
    overlay = axes.imshow(
        np.ma.masked_less(np.clip(qp, lowest, highest), 0) if carried.size else
        np.ma.masked_all(qp.shape), cmap=colormaps[colour_map].resampled(levels),
        norm=BoundaryNorm(np.arange(lowest - 0.5, highest + 1), levels),
        alpha=opacity, interpolation="nearest", extent=(0, mb_cols, mb_rows, 0))
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
    axes.set_title(f"{heading}\n{detail}", fontsize=10)
    return figure


def heatmap_png(session: H264DecoderSession, index: int, **options: Any) -> bytes:
    """render_heatmap's picture (same options) as PNG bytes."""
    stream = io.BytesIO()
    render_heatmap(session, index, **options).savefig(stream, format="png", dpi=DPI)
    return stream.getvalue()


def plot_mean_qp(stats: npt.NDArray[np.void], *, label: str | None = None) -> Figure:
    """Mean QP of each frame over the frame index, within a band from the
    frame's lowest to its highest QP (qp_stats's array)."""
    from matplotlib.figure import Figure

    figure = Figure(figsize=(10, 4), dpi=DPI, layout="constrained")
    axes = figure.add_subplot()
    carries = stats["min_qp"] >= 0
    frames = stats["frame"]
    lowest = np.where(carries, stats["min_qp"], np.nan)
    highest = np.where(carries, stats["max_qp"], np.nan)
    axes.fill_between(frames, lowest, highest, alpha=0.25, linewidth=0, label="lowest to highest")
    axes.plot(frames, stats["mean_qp"], linewidth=1.2, label="mean")
    axes.set_xlabel("frame index")
    axes.set_ylabel("QP")
    axes.grid(alpha=0.3)
    figure.legend(loc="outside right upper")
    axes.set_title(f"QP per frame — {label}" if label else "QP per frame")
    return figure


def save_figure(figure: Figure, path: str | os.PathLike[str]) -> None:
    with atomic_output(path) as stream:
        figure.savefig(stream, format="png", dpi=DPI)


def _white_level(pix_fmt: str, bytes_per_sample: int) -> int:
    """The largest sample value of a pixel format's bit depth (yuv420p10le: 1023)."""
    depth = re.search(r"p(\d+)(?:le|be)?$", pix_fmt)
    bits = int(depth.group(1)) if depth else 8 * bytes_per_sample
    return (1 << bits) - 1
