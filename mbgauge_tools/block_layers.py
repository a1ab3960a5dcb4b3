"""Pictures of a frame's block structure over its luma: what each block is
(type), how it is split (partition), what it cost (bits per 16x16 area) and
the largest transform it used."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, BinaryIO, Literal

import numpy as np
import numpy.typing as npt

import mbgauge
from mbgauge import H264DecoderSession

from .plotting import DPI, ImageFormat, save_figure

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

Layer = Literal["type", "partition", "bits", "transform"]
BLOCK_LAYERS: tuple[Layer, ...] = ("type", "partition", "bits", "transform")
# Area whose bits the bits layer shows, in luma samples on a side.
BITS_AREA = 16
# Categorical colours (matplotlib's tab10) for the kinds, in BLOCK_KINDS order.
KIND_COLOURS = {
    "intra": "#d62728",
    "inter": "#1f77b4",
    "skip": "#2ca02c",
    "direct": "#9467bd",
    "pcm": "#8c564b",
    "merge": "#17becf",
    "lossless": "#e377c2",
}
# The transform layer's colours by log2 of the transform size, 0 for none.
TRANSFORM_COLOURS = {0: "#7f7f7f", 2: "#1f77b4", 3: "#ff7f0e", 4: "#2ca02c", 5: "#d62728"}
PARTITION_LINE = "#ffdd00"
BLOCK_LINE = "white"
FILL_OPACITY = 0.55
# Pictures are drawn enlarged until their longest side reaches this, so
# that 8x8 blocks and their outlines stay visible.
MIN_SIDE = 720


def prediction_splits(
    partition: str, x: int, y: int, size: int
) -> list[tuple[list[float], list[float]]]:
    """The lines that split a block into its prediction blocks, as
    ([x0, x1], [y0, y1]) pairs."""
    half, quarter = size / 2, size / 4
    across = {"2NxN": half, "2NxnU": quarter, "2NxnD": size - quarter}
    down = {"Nx2N": half, "nLx2N": quarter, "nRx2N": size - quarter}
    lines: list[tuple[list[float], list[float]]] = []
    if partition in across or partition == "NxN":
        at = across.get(partition, half)
        lines.append(([x, x + size], [y + at, y + at]))
    if partition in down or partition == "NxN":
        at = down.get(partition, half)
        lines.append(([x + at, x + at], [y, y + size]))
    return lines


def transform_name(log2: int) -> str:
    """The legend's name of a transform size given as its log2, 0 for none."""
    return "no residual" if log2 == 0 else f"{1 << log2}x{1 << log2}"


def bits_per_area(blocks: npt.NDArray[np.void], width: int, height: int) -> npt.NDArray[np.float64]:
    """Bits per BITS_AREA x BITS_AREA area of the visible picture, each
    block's bits spread evenly over the samples it covers."""
    rows, cols = -(-height // BITS_AREA), -(-width // BITS_AREA)
    density = np.zeros((rows * BITS_AREA, cols * BITS_AREA))
    for block in blocks:
        x, y, w, h = (int(block[name]) for name in ("x", "y", "w", "h"))
        x0, y0 = max(x, 0), max(y, 0)
        x1, y1 = min(x + w, density.shape[1]), min(y + h, density.shape[0])
        if x1 > x0 and y1 > y0:
            density[y0:y1, x0:x1] += int(block["bits"]) / (w * h)
    return density.reshape(rows, BITS_AREA, cols, BITS_AREA).sum(axis=(1, 3))


def render_block_layer(
    session: H264DecoderSession, frame: int, layer: Layer, *, name: str = ""
) -> Figure:
    """The figure of one layer of frame `frame`'s block structure; `name`
    (the file's) heads the title."""
    from matplotlib.colors import to_rgba
    from matplotlib.figure import Figure
    from matplotlib.patches import Patch, Rectangle

    blocks = session.get_coding_blocks(frame)
    luma = session.get_plane_data(frame, 0)
    width, height, _ = session.get_frame_format(frame)
    picture = luma[:height, :width].astype(np.float64)
    if session.bytes_per_sample == 2:
        picture /= picture.max() or 1
    else:
        picture /= 255
    scale = max(1, -(-MIN_SIDE // max(width, height)))
    figure = Figure(figsize=((width * scale + 380) / DPI, (height * scale + 110) / DPI), dpi=DPI)
    axes: Axes = figure.add_axes(
        (
            60 / (width * scale + 380),
            50 / (height * scale + 110),
            width * scale / (width * scale + 380),
            height * scale / (height * scale + 110),
        )
    )
    axes.imshow(
        picture, cmap="gray", vmin=0, vmax=1, extent=(0, width, height, 0), interpolation="nearest"
    )
    axes.set_xlim(0, width)
    axes.set_ylim(height, 0)
    names = {
        "type": "block types",
        "partition": "partitions",
        "bits": f"bits per {BITS_AREA}x{BITS_AREA} area",
        "transform": "largest transforms",
    }
    axes.set_title(f"{name + ' ' if name else ''}frame {frame}: {names[layer]}")
    if layer == "bits":
        density = bits_per_area(blocks, width, height)
        rows, cols = density.shape
        image = axes.imshow(
            np.ma.masked_equal(density, 0),
            cmap="magma",
            alpha=0.7,
            extent=(0, cols * BITS_AREA, rows * BITS_AREA, 0),
            interpolation="nearest",
        )
        axes.set_xlim(0, width)
        axes.set_ylim(height, 0)
        bar = figure.colorbar(image, ax=axes, fraction=0.04, pad=0.02)
        bar.set_label(f"bits per {BITS_AREA}x{BITS_AREA} area")
        return figure
    if layer == "partition":
        for block in blocks:
            x, y, w = int(block["x"]), int(block["y"]), int(block["w"])
            axes.add_patch(
                Rectangle(
                    (x, y), w, int(block["h"]), fill=False, edgecolor=BLOCK_LINE, linewidth=0.8
                )
            )
            partition = mbgauge.PARTITIONS[int(block["partition"])]
            for xs, ys in prediction_splits(partition, x, y, w):
                axes.plot(xs, ys, color=PARTITION_LINE, linewidth=0.8)
        handles = [
            Patch(facecolor="none", edgecolor=BLOCK_LINE, label="coding block"),
            Patch(facecolor=PARTITION_LINE, label="prediction split"),
        ]
        axes.legend(
            handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1), facecolor="#dddddd"
        )
        return figure
    colours: dict[str, str]
    if layer == "type":
        labels = [mbgauge.BLOCK_KINDS[int(kind)] for kind in blocks["kind"]]
        colours = KIND_COLOURS
        present = [kind for kind in mbgauge.BLOCK_KINDS if kind in set(labels)]
    else:
        sizes = {log2: transform_name(log2) for log2 in TRANSFORM_COLOURS}
        labels = [sizes[int(log2)] for log2 in blocks["transform"]]
        colours = {sizes[log2]: colour for log2, colour in TRANSFORM_COLOURS.items()}
        present = [size for size in sizes.values() if size in set(labels)]
    for block, label in zip(blocks, labels):
        axes.add_patch(
            Rectangle(
                (int(block["x"]), int(block["y"])),
                int(block["w"]),
                int(block["h"]),
                facecolor=to_rgba(colours[label], FILL_OPACITY),
                edgecolor=to_rgba(colours[label], 0.9),
                linewidth=0.4,
            )
        )
    handles = [Patch(facecolor=colours[label], label=label) for label in present]
    axes.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1))
    return figure


def block_layer_png(
    session: H264DecoderSession,
    frame: int,
    layer: Layer,
    path: str | os.PathLike[str] | BinaryIO,
    format: ImageFormat = "png",
    *,
    name: str = "",
) -> None:
    """Draws one layer of frame `frame` and writes it to `path`."""
    save_figure(render_block_layer(session, frame, layer, name=name), path, format)
