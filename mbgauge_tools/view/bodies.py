"""The answers of a frame's endpoints: JSON for scripts, and the same
tables packed as binary columns for the page, which reads them without
parsing (`?format=binary`).

A packed answer is a 4-byte little-endian length, that many bytes of a JSON
header (padded with spaces to a multiple of 4), then the header's
`columns`, each `count` little-endian int32 values, one after another."""

from __future__ import annotations

import json
from typing import Any

import numpy as np
import numpy.typing as npt

MB_SIZE = 16
MOTION_VECTOR_FIELDS = (
    *("source", "w", "h", "src_x", "src_y", "dst_x", "dst_y"),
    *("motion_x", "motion_y", "motion_scale"),
)


def encode(value: Any) -> bytes:
    return json.dumps(value, separators=(",", ":"), allow_nan=False).encode()


def packed(header: dict[str, Any], arrays: dict[str, npt.NDArray[Any]]) -> bytes:
    """The header, with the names of the arrays as its columns, then the
    arrays as int32 columns of one length."""
    count = len(next(iter(arrays.values()))) if arrays else 0
    text = json.dumps({**header, "count": count, "columns": list(arrays)}).encode()
    text += b" " * (-len(text) % 4)
    parts = [len(text).to_bytes(4, "little"), text]
    parts += [np.ascontiguousarray(array, "<i4").tobytes() for array in arrays.values()]
    return b"".join(parts)


def packed_table(
    header: dict[str, Any], table: npt.NDArray[np.void], names: tuple[str, ...] | None = None
) -> bytes:
    present = table.dtype.names or ()
    return packed(header, {name: table[name] for name in names or present if name in present})


def columns(table: npt.NDArray[np.void], names: tuple[str, ...] | None = None) -> dict[str, list]:
    """A structured array as one list per field."""
    present = table.dtype.names or ()
    return {name: table[name].tolist() for name in names or present if name in present}


def facts(
    index: int,
    num_frames: int,
    row: np.void,
    qp: npt.NDArray[np.int16],
    chroma_qp_offsets: tuple[int, int],
    picture: tuple[int, int, str],
    blocks: int,
    vectors: int,
) -> dict[str, Any]:
    """What the facts panel shows: the frame table's row and the QP map's
    mean, lowest and highest value over the cells that carry one."""
    carried = qp[qp >= 0]
    width, height, pix_fmt = picture
    return {
        "frame": index,
        "num_frames": num_frames,
        "pict_type": str(row["pict_type"]),
        "key": bool(row["key"]),
        "pts": int(row["pts"]),
        "time": float(row["time"]),
        "packet_size": int(row["packet_size"]),
        "width": width,
        "height": height,
        "pix_fmt": pix_fmt,
        "qp_mean": float(carried.mean()) if carried.size else None,
        "qp_min": int(carried.min()) if carried.size else None,
        "qp_max": int(carried.max()) if carried.size else None,
        "chroma_qp_offsets": list(chroma_qp_offsets),
        "blocks": blocks,
        "motion_vectors": vectors,
    }


def qp_map(index: int, qp: npt.NDArray[np.int16]) -> dict[str, Any]:
    rows, cols = qp.shape
    return {"frame": index, "cell": MB_SIZE, "rows": rows, "cols": cols, "qp": qp.tolist()}


def blocks(index: int, table: npt.NDArray[np.void], coding_blocks: bool) -> dict[str, Any]:
    return {
        "frame": index,
        "coding_blocks": coding_blocks,
        "count": len(table),
        "blocks": columns(table),
    }


def vectors(index: int, table: npt.NDArray[np.void]) -> dict[str, Any]:
    return {"frame": index, "count": len(table), "vectors": columns(table, MOTION_VECTOR_FIELDS)}


def qp_difference(
    index: int, first: npt.NDArray[np.int16], second: npt.NDArray[np.int16]
) -> dict[str, Any]:
    """The second map less the first, None where either has no value."""
    difference = (second - first).astype(object)
    difference[(first < 0) | (second < 0)] = None
    rows, cols = first.shape
    return {
        "frame": index,
        "cell": MB_SIZE,
        "rows": rows,
        "cols": cols,
        "qp_difference": difference.tolist(),
    }
