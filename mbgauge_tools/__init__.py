"""Tools around the mbgauge extension: QP maps of frame ranges, per-frame QP
statistics, QP heatmaps over the picture, and the `mbgauge` command.

    from mbgauge_tools import iter_qp_maps, qp_stats, render_heatmap

Functions that take a path cut the frames into spans that start at key frames
and decode each span with one batch query, on several sessions of the file in
threads (`workers`, default: one per core, at most one per span); results are
the same for any number of workers and come in frame order.
"""

from .frames import FrameRangeError, FrameSelection, parse_frame_range, select_frames
from .info import PROPERTIES, stream_info
from .parallel import default_workers, map_frames
from .plotting import (
    HeatmapData,
    HeatmapOptions,
    HeatmapPainter,
    heatmap_png,
    plot_mean_qp,
    render_heatmap,
    save_figure,
)
from .qpmaps import QpMaps, iter_qp_maps, read_qp_maps
from .stats import STATS_DTYPE, qp_stats, write_csv

__all__ = [
    "PROPERTIES",
    "STATS_DTYPE",
    "FrameRangeError",
    "FrameSelection",
    "HeatmapData",
    "HeatmapOptions",
    "HeatmapPainter",
    "QpMaps",
    "default_workers",
    "heatmap_png",
    "iter_qp_maps",
    "map_frames",
    "parse_frame_range",
    "plot_mean_qp",
    "qp_stats",
    "read_qp_maps",
    "render_heatmap",
    "save_figure",
    "select_frames",
    "stream_info",
    "write_csv",
]
