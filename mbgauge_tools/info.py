"""The stream properties a session reports, and its frame table as text."""

from __future__ import annotations

import csv
import io
import os
from collections.abc import Iterator
from typing import BinaryIO

import numpy as np
import numpy.typing as npt

from mbgauge import H264DecoderSession

from .files import atomic_output

PROPERTIES = (
    "codec",
    "width",
    "height",
    "mb_cols",
    "mb_rows",
    "num_frames",
    "fps",
    "fps_num",
    "fps_den",
    "pix_fmt",
    "bytes_per_sample",
)


def stream_info(session: H264DecoderSession) -> dict[str, int | float | str]:
    """The stream properties of a session, by name, in their documented order."""
    return {name: getattr(session, name) for name in PROPERTIES}


# The frame table's columns, with the frame index in front.
FRAME_TABLE_COLUMNS = ("frame", "pts", "time", "key", "pict_type", "packet_size", "width", "height")


def frame_table_rows(table: npt.NDArray[np.void]) -> Iterator[list[str]]:
    """The frame table as text cells, one list per frame. Times are written
    exactly; key is 1 or 0."""
    for frame, row in enumerate(table):
        yield [
            str(frame),
            str(row["pts"]),
            repr(float(row["time"])),
            str(int(row["key"])),
            str(row["pict_type"]),
            str(row["packet_size"]),
            str(row["width"]),
            str(row["height"]),
        ]


def frame_table_lines(table: npt.NDArray[np.void]) -> Iterator[str]:
    """The frame table as an aligned text table."""
    yield (
        f"{'frame':>7} {'pts':>12} {'time':>10} {'key':>3} {'type':>4} {'bytes':>8} "
        f"{'width':>5} {'height':>6}"
    )
    for frame, row in enumerate(table):
        yield (
            f"{frame:7d} {row['pts']:12d} {row['time']:10.4f} {int(row['key']):3d} "
            f"{row['pict_type']:>4} {row['packet_size']:8d} {row['width']:5d} "
            f"{row['height']:6d}"
        )


def write_frame_table_csv(
    table: npt.NDArray[np.void], path: str | os.PathLike[str] | BinaryIO
) -> None:
    """Writes the frame table as CSV to a file (whole or not at all) or to a
    binary stream, which stays open."""
    if not isinstance(path, (str, os.PathLike)):
        text = io.TextIOWrapper(path, "utf-8", newline="")
        writer = csv.writer(text, lineterminator="\n")
        writer.writerow(FRAME_TABLE_COLUMNS)
        writer.writerows(frame_table_rows(table))
        text.flush()
        text.detach()
        return
    with atomic_output(path) as stream:
        write_frame_table_csv(table, stream)
