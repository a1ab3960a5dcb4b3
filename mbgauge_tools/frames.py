"""Choosing frames: `A:B` ranges as typed on the command line, slices, ranges
or lists of indices, checked against a video's frame count."""

from __future__ import annotations

import operator
import re
from collections.abc import Sequence

FrameSelection = str | int | slice | Sequence[int] | None

_RANGE_SYNTAX = re.compile(r"\s*(-?\d+)?\s*:\s*(-?\d+)?\s*(?::\s*(\d+)\s*)?")


class FrameRangeError(ValueError):
    """A frame selection that is malformed, empty or outside the video."""


def parse_frame_range(text: str) -> slice | int:
    """`A:B` (B excluded), `A:`, `:B`, `A:B:STEP` or a single index `N`;
    negative numbers count from the end, as in Python."""
    if re.fullmatch(r"\s*-?\d+\s*", text):
        return int(text)
    match = _RANGE_SYNTAX.fullmatch(text)
    if match is None:
        raise FrameRangeError(f"bad frame range {text!r}: expected A:B, A:, :B, A:B:STEP or N")
    start, stop, step = (int(group) if group is not None else None for group in match.groups())
    if step == 0:
        raise FrameRangeError(f"bad frame range {text!r}: the step must be at least 1")
    return slice(start, stop, step)


def select_frames(selection: FrameSelection, num_frames: int) -> Sequence[int]:
    """The frame indices a selection names, in order. Unlike Python slicing,
    bounds outside the video are errors rather than silently clipped."""
    if selection is None:
        return range(num_frames)
    shown = selection if isinstance(selection, str) else None
    if isinstance(selection, str):
        selection = parse_frame_range(selection)
    if isinstance(selection, slice):
        return _slice_frames(selection, num_frames, shown)
    if isinstance(selection, int):
        index = _resolve(selection, num_frames, num_frames - 1, f"frame {shown or selection}")
        return range(index, index + 1)
    indices = [operator.index(value) for value in selection]
    if not indices:
        raise FrameRangeError("the frame selection is empty")
    return [_resolve(value, num_frames, num_frames - 1, f"frame {value}") for value in indices]


def _slice_frames(selection: slice, num_frames: int, shown: str | None) -> range:
    start, stop, step = selection.start, selection.stop, selection.step
    shown = shown or ":".join("" if v is None else str(v) for v in (start, stop, step)).rstrip(":")
    step = 1 if step is None else operator.index(step)
    if step < 1:
        raise FrameRangeError(f"bad frame range {shown!r}: the step must be at least 1")
    described = f"frame range {shown!r}"
    first = (
        0 if start is None else _resolve(operator.index(start), num_frames, num_frames, described)
    )
    end = (
        num_frames
        if stop is None
        else _resolve(operator.index(stop), num_frames, num_frames, described)
    )
    frames = range(first, end, step)
    if not frames:
        raise FrameRangeError(f"frame range {shown!r} selects no frames")
    return frames


def _resolve(index: int, num_frames: int, highest: int, described: str) -> int:
    resolved = index + num_frames if index < 0 else index
    if not 0 <= resolved <= highest:
        raise FrameRangeError(
            f"{described} is outside the video's {num_frames} frames (0:{num_frames})"
        )
    return resolved
