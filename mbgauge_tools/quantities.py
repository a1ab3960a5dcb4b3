"""What the numbers of a QP map mean for each codec, and the range they take:
the names columns, axes and colour bars carry, and the fixed colour range
that makes heatmaps of one file, or of a flat frame, comparable."""

from __future__ import annotations

import re
from dataclasses import dataclass


@dataclass(frozen=True)
class Quantity:
    name: str  # "H.264 QP": axis and colour bar labels
    short: str  # "QP": table columns and short texts
    value_range: tuple[int, int] | None  # what the codec can code; None: not known


# MPEG-1/2/4 Part 2 and the H.263 family code a quantiser of 1..31; FFmpeg
# exports the quantiser scale it multiplies by, twice that (2..62), or for
# MPEG-2 with the non-linear table (q_scale_type) the table's value (1..112).
_MPEG_CODECS = {
    "mpeg1video",
    "mpeg4",
    "h263",
    "h263p",
    "h263i",
    "flv1",
    "msmpeg4v1",
    "msmpeg4v2",
    "msmpeg4v3",
    "wmv1",
    "wmv2",
    "h261",
}


def quantity_of(codec: str, pix_fmt: str = "yuv420p") -> Quantity:
    """The quantity a stream's QP map holds. H.264 and HEVC QPs reach 51 plus
    6 for every bit of depth beyond 8 (0..63 at 10 bits)."""
    if codec in ("h264", "hevc"):
        high = 51 + 6 * max(0, bit_depth(pix_fmt) - 8)
        return Quantity("H.264 QP" if codec == "h264" else "HEVC QP", "QP", (0, high))
    if codec == "mpeg2video":
        return Quantity("MPEG quantiser scale", "qscale", (1, 112))
    if codec in _MPEG_CODECS:
        return Quantity("MPEG quantiser scale", "qscale", (2, 62))
    if codec in ("vp9", "av1"):
        return Quantity(f"{codec.upper()} quantiser index", "q index", (0, 255))
    return Quantity(f"{codec.upper()} quantiser", "quantiser", None)


# FFmpeg's names carry the depth in three ways: after the planar "p"
# (yuv420p10le, gbrp12be, yuva444p9le), after the family of grey pictures
# (gray10le, ya16be) and as the last two digits of the semi-planar and packed
# 4:2:x families (p010le, p216be, y210le). nv20 is the one semi-planar name
# whose digits are its layout, not its depth; the other nvXX names are 8 bits.
_DEPTH_IN_NAME = (
    (re.compile(r"^[py]\d(\d\d)(?:le|be)?$"), None),
    (re.compile(r"^nv20(?:le|be)?$"), 10),
    (re.compile(r"^(?:gray|ya)f?(\d+)(?:le|be)?$"), None),
    (re.compile(r"pf?(\d+)(?:le|be)?$"), None),
)


def bit_depth(pix_fmt: str) -> int:
    """Bits per sample of a pixel format name, as FFmpeg counts them
    (yuv420p10le, gray10le, p010le: 10; yuv420p, gray, nv12: 8)."""
    for pattern, depth in _DEPTH_IN_NAME:
        match = pattern.search(pix_fmt)
        if match:
            return depth if depth is not None else int(match.group(1))
    return 8
