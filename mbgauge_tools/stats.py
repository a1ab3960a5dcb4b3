"""Per-frame QP statistics: a structured NumPy array with one row per frame,
written as CSV, printed as a table or summed up in a few lines."""

from __future__ import annotations

import io
import math
import os
from collections.abc import Iterable, Iterator
from functools import partial
from typing import BinaryIO

import numpy as np
import numpy.typing as npt
from tqdm import tqdm

from mbgauge import BLOCK_KINDS, H264DecoderSession

from .files import atomic_output
from .frames import FrameSelection
from .parallel import Frames, SpanResult, counted, open_job, run_spans
from .qpmaps import CellMaps, maps_by_size

# mean/min/max cover the macroblocks that carry a QP; a frame that carries
# none has a NaN mean and -1 as min and max, like the -1 cells of a QP map.
# min and max are int16, wide enough for VP9's quantiser index (0..255).
STATS_DTYPE = np.dtype(
    [
        ("frame", np.int64),
        ("mean_qp", np.float64),
        ("min_qp", np.int16),
        ("max_qp", np.int16),
        ("no_qp_share", np.float64),
        ("cb_qp_offset", np.int8),
        ("cr_qp_offset", np.int8),
    ]
)
# With the block structure: the shares of the picture's area covered by
# intra (and PCM) blocks, inter (and direct and merge) blocks and skipped
# blocks, and block_bits, the bits of all its blocks (get_coding_blocks);
# NaN and -1 where the FFmpeg exports no block structure or the codec has none.
BLOCK_STATS_DTYPE = np.dtype(
    [
        *STATS_DTYPE.descr,
        ("intra_share", np.float64),
        ("inter_share", np.float64),
        ("skip_share", np.float64),
        ("block_bits", np.int64),
    ]
)
BLOCK_GROUPS = {
    "intra_share": ("intra", "pcm"),
    "inter_share": ("inter", "direct", "merge"),
    "skip_share": ("skip",),
}


def frame_stats(
    frames: Frames, maps: CellMaps, offsets: npt.NDArray[np.integer]
) -> npt.NDArray[np.void]:
    """Rows of STATS_DTYPE for the frames whose QP maps and (cb, cr) offsets
    are given. Computed where the frames are decoded, so that only the rows,
    not the maps, travel back from a worker."""
    stats = np.empty(len(frames), STATS_DTYPE)
    carried = maps >= 0
    cells = maps[0].size if len(maps) else 0
    counts = carried.sum(axis=(1, 2))
    totals = np.where(carried, maps, 0).sum(axis=(1, 2), dtype=np.int64)
    with np.errstate(invalid="ignore", divide="ignore"):
        stats["mean_qp"] = np.where(counts > 0, totals / counts, math.nan)
        stats["no_qp_share"] = (cells - counts) / cells
    stats["frame"] = frames
    stats["min_qp"] = np.where(
        counts > 0,
        np.where(carried, maps.astype(np.int16), 32767).min(axis=(1, 2), initial=32767),
        -1,
    )
    stats["max_qp"] = np.where(counts > 0, maps.max(axis=(1, 2), initial=-1), -1)
    stats["cb_qp_offset"] = offsets[:, 0]
    stats["cr_qp_offset"] = offsets[:, 1]
    return stats


def with_block_stats(
    session: H264DecoderSession, qp_stats: npt.NDArray[np.void]
) -> npt.NDArray[np.void]:
    """`qp_stats` (STATS_DTYPE) as rows of BLOCK_STATS_DTYPE, the block shares
    and bits filled from the frames' coding blocks if the session's FFmpeg
    exports them."""
    stats = np.empty(len(qp_stats), BLOCK_STATS_DTYPE)
    for name in STATS_DTYPE.names or ():
        stats[name] = qp_stats[name]
    for name in BLOCK_GROUPS:
        stats[name] = math.nan
    stats["block_bits"] = -1
    if not session.coding_blocks or len(stats) == 0:
        return stats
    try:
        blocks = session.get_coding_blocks_batch(stats["frame"])
    except RuntimeError:
        return stats  # an FFmpeg without the block structure
    position = np.searchsorted(stats["frame"], blocks["frame"])
    area = (blocks["w"].astype(np.int64) * blocks["h"]).astype(np.float64)
    totals = np.bincount(position, area, len(stats))
    names = np.asarray(BLOCK_KINDS)[blocks["kind"]]
    with np.errstate(invalid="ignore", divide="ignore"):
        for name, kinds in BLOCK_GROUPS.items():
            chosen = np.isin(names, kinds)
            covered = np.bincount(position[chosen], area[chosen], len(stats))
            stats[name] = np.where(totals > 0, covered / totals, math.nan)
    bits = np.bincount(position, blocks["bits"].astype(np.float64), len(stats))
    stats["block_bits"] = np.where(totals > 0, bits.astype(np.int64), -1)
    return stats


def stats_span(
    session: H264DecoderSession, frames: Frames, *, blocks: bool = True
) -> npt.NDArray[np.void]:
    """STATS_DTYPE rows of `frames`; with `blocks`, BLOCK_STATS_DTYPE rows,
    the block shares and bits too (a second pass over the frames)."""
    # Rows need not share a map size: a size change mid-stream is fine here.
    rows = [
        frame_stats(part, maps, session.get_chroma_qp_offsets(part))
        for part, maps in maps_by_size(session, frames)
    ]
    stats = np.concatenate(rows)
    return with_block_stats(session, stats) if blocks else stats


def gather_stats(
    results: Iterable[SpanResult[npt.NDArray[np.void]]], count: int
) -> npt.NDArray[np.void]:
    stats = np.empty(count, STATS_DTYPE)
    filled = 0
    for result in results:
        if filled == 0 and result.value.dtype != stats.dtype:
            stats = np.empty(count, result.value.dtype)
        end = filled + len(result.value)
        if end > count:
            raise ValueError(f"expected statistics of {count} frames, got more")
        stats[filled:end] = result.value
        filled = end
    if filled != count:
        raise ValueError(f"expected statistics of {count} frames, got {filled}")
    return stats


def qp_stats(
    path: str | os.PathLike[str],
    frames: FrameSelection = None,
    *,
    workers: int | None = None,
    progress: bool = False,
) -> npt.NDArray[np.void]:
    """Per-frame QP statistics of the selected frames, as an array of
    STATS_DTYPE (fields frame, mean_qp, min_qp, max_qp, no_qp_share,
    cb_qp_offset, cr_qp_offset), decoded span by span on `workers` threads."""
    job = open_job(path, frames)
    count = len(job.frames)
    span = partial(stats_span, blocks=False)
    with tqdm(total=count, disable=not progress, unit="frame") as bar:
        return gather_stats(counted(run_spans([job], span, workers), bar), count)


def csv_lines(stats: npt.NDArray[np.void]) -> Iterator[str]:
    """A header and one line per frame. Floats are written exactly; the
    fields a frame without any QP has no value for are left empty."""
    names = stats.dtype.names or ()
    blocks = "block_bits" in names
    yield ",".join(names) + "\n"
    for row in stats:
        carries = row["min_qp"] >= 0
        fields = [
            str(row["frame"]),
            repr(float(row["mean_qp"])) if carries else "",
            str(row["min_qp"]) if carries else "",
            str(row["max_qp"]) if carries else "",
            repr(float(row["no_qp_share"])),
            str(row["cb_qp_offset"]),
            str(row["cr_qp_offset"]),
        ]
        if blocks:
            known = row["block_bits"] >= 0
            fields += [repr(float(row[name])) if known else "" for name in BLOCK_GROUPS]
            fields.append(str(row["block_bits"]) if known else "")
        yield ",".join(fields) + "\n"


def write_csv(stats: npt.NDArray[np.void], path: str | os.PathLike[str] | BinaryIO) -> None:
    """Writes csv_lines to a file (whole or not at all) or to a binary stream."""
    if not isinstance(path, (str, os.PathLike)):
        text = io.TextIOWrapper(path, "utf-8", newline="")
        text.writelines(csv_lines(stats))
        text.flush()
        text.detach()  # the stream stays open: it may be standard output
        return
    with atomic_output(path) as stream:
        write_csv(stats, stream)


def table_lines(stats: npt.NDArray[np.void], short: str = "QP") -> Iterator[str]:
    """The statistics as an aligned text table; `short` names the quantity
    (QP, qscale, q index)."""
    mean, missing = f"mean {short}", f"no {short}"
    width = max(8, len(mean))
    yield (
        f"{'frame':>7} {mean:>{width}} {'min':>4} {'max':>4} {missing:>{max(7, len(missing))}} "
        f"{'cb':>4} {'cr':>4}"
    )
    for row in stats:
        if row["min_qp"] >= 0:
            qp = f"{row['mean_qp']:{width}.2f} {row['min_qp']:4d} {row['max_qp']:4d}"
        else:
            qp = f"{'-':>{width}} {'-':>4} {'-':>4}"
        yield (
            f"{row['frame']:7d} {qp} {row['no_qp_share']:{max(7, len(missing))}.1%} "
            f"{row['cb_qp_offset']:4d} {row['cr_qp_offset']:4d}"
        )


def summary_lines(stats: npt.NDArray[np.void], short: str = "QP") -> list[str]:
    """A few lines that sum the statistics up; `short` names the quantity."""
    carrying = stats[stats["min_qp"] >= 0]
    # Labels in one column wide enough for the longest ("cells without
    # q index"), so that no label runs into its number.
    labels = {
        "mean": f"mean {short} per frame",
        "range": f"{short} range",
        "none": f"cells without {short}",
        "chroma": "chroma QP offsets",
    }
    width = max(map(len, labels.values())) + 2
    lines = []
    if carrying.size:
        means = carrying["mean_qp"]
        lowest, highest = carrying[np.argmin(means)], carrying[np.argmax(means)]
        lines += [
            f"{labels['mean']:<{width}}{means.mean():.2f} on average, "
            f"lowest {lowest['mean_qp']:.2f} (frame {lowest['frame']}), "
            f"highest {highest['mean_qp']:.2f} (frame {highest['frame']})",
            f"{labels['range']:<{width}}{carrying['min_qp'].min()} to {carrying['max_qp'].max()}",
        ]
    else:
        lines.append(f"{short:<{width}}no frame carries a {short} value")
    lines.append(
        f"{labels['none']:<{width}}{stats['no_qp_share'].mean():.1%} "
        f"(frames without any: {stats.size - carrying.size})"
    )
    lines.append(
        f"{labels['chroma']:<{width}}cb {_value_range(stats['cb_qp_offset'])}, "
        f"cr {_value_range(stats['cr_qp_offset'])}"
    )
    return lines


def _value_range(values: npt.NDArray[np.int8]) -> str:
    lowest, highest = int(values.min()), int(values.max())
    return str(lowest) if lowest == highest else f"{lowest} to {highest}"
