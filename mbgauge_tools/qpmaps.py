"""QP maps of a range of frames: streamed one by one, or gathered into one
array with the frame indices and chroma QP offsets and saved as `.npz`."""

from __future__ import annotations

import os
from collections.abc import Generator, Iterable, Iterator
from contextlib import closing
from dataclasses import dataclass
from typing import BinaryIO

import numpy as np
import numpy.typing as npt
from tqdm import tqdm

from mbgauge import H264DecoderSession

from .files import atomic_output
from .frames import FrameSelection
from .parallel import Frames, SpanResult, counted, map_frames, open_job, run_spans

# QP maps as the tools hold them: int8 from get_qpmap(s), int16 for the
# codecs of BLOCK_SCALE_CODECS.
CellMaps = npt.NDArray[np.int8] | npt.NDArray[np.int16]

# What one worker makes of a span: its QP maps and (cb, cr) offsets.
QpSpan = tuple[CellMaps, npt.NDArray[np.int32]]


def qp_span(session: H264DecoderSession, frames: Frames) -> QpSpan:
    parts = maps_by_size(session, frames)
    if len(parts) > 1:
        (first, first_maps), (other, other_maps) = parts[:2]
        raise mixed_sizes(int(other[0]), other_maps.shape[1:], int(first[0]), first_maps.shape[1:])
    # The offsets of frames just decoded are known to the session: the second
    # query decodes nothing.
    return parts[0][1], session.get_chroma_qp_offsets(frames)


# Codecs whose exported values do not fit int8 maps (VP9's quantiser index,
# 0..255): the tools build their maps from the QP blocks instead, as int16.
BLOCK_SCALE_CODECS = frozenset({"vp9"})


def block_cell_map(session: H264DecoderSession, frame: int) -> npt.NDArray[np.int16]:
    """Frame `frame`'s map built from its QP blocks, as int16 on the codec's
    own scale: like get_qpmap, each 16x16 cell takes the block that covers
    its top-left sample, and -1 where none does."""
    width, height, _ = session.get_frame_format(frame)
    cells = np.full((-(-height // 16), -(-width // 16)), -1, np.int16)
    for block in session.get_qp_blocks(frame):
        x, y, w, h = (int(block[name]) for name in ("x", "y", "w", "h"))
        cells[-(-y // 16) : -(-(y + h) // 16), -(-x // 16) : -(-(x + w) // 16)] = block["qp"]
    return cells


def cell_map(session: H264DecoderSession, frame: int) -> CellMaps:
    """Frame `frame`'s QP map as the tools show it: get_qpmap's, or for the
    codecs of BLOCK_SCALE_CODECS block_cell_map's."""
    if session.codec in BLOCK_SCALE_CODECS:
        return block_cell_map(session, frame)
    return session.get_qpmap(frame)


def maps_by_size(session: H264DecoderSession, frames: Frames) -> list[tuple[Frames, CellMaps]]:
    """The frames' QP maps, in one array, or in one per run of frames of one
    picture size where the size changes among them (as the frame table says).
    For the codecs of BLOCK_SCALE_CODECS the maps are int16 (block_cell_map)."""
    if session.codec in BLOCK_SCALE_CODECS:
        maps = [block_cell_map(session, int(frame)) for frame in frames]
        changes = [i for i in range(1, len(maps)) if maps[i].shape != maps[i - 1].shape]
        bounds = [0, *changes, len(maps)]
        return [
            (frames[start:end], np.stack(maps[start:end]))
            for start, end in zip(bounds, bounds[1:])
            if end > start
        ]
    try:
        return [(frames, session.get_qpmaps(frames))]
    except ValueError:
        sizes = session.frame_table()[["width", "height"]][frames]
        cuts = np.flatnonzero(sizes[1:] != sizes[:-1]) + 1
        if not cuts.size:
            raise
        return [(part, session.get_qpmaps(part)) for part in np.split(frames, cuts)]


def mixed_sizes(
    frame: int, shape: tuple[int, ...], first: int, first_shape: tuple[int, ...]
) -> MixedMapSizes:
    return MixedMapSizes(
        f"frame {frame} has {shape[0]}x{shape[1]} macroblocks but frame {first} has "
        f"{first_shape[0]}x{first_shape[1]}: the picture size changes mid-stream, and maps of "
        "different sizes do not fit one array; export each part on its own with --frames"
    )


class MixedMapSizes(ValueError):
    """The selected frames' QP maps differ in size (the picture size changes
    mid-stream), so they cannot be stacked into one array."""


@dataclass(frozen=True)
class QpMaps:
    """QP maps of several frames; row i of every array belongs to frames[i].
    A QP of -1 marks a macroblock for which the frame carried no value."""

    frames: npt.NDArray[np.int64]  # (n,)
    qp_maps: npt.NDArray[np.int8]  # (n, mb_rows, mb_cols)
    chroma_qp_offsets: npt.NDArray[np.int8]  # (n, 2): cb, cr

    @classmethod
    def gather(cls, results: Iterable[SpanResult[QpSpan]], count: int) -> QpMaps:
        """From the spans of `count` frames."""
        frames = np.empty(count, np.int64)
        offsets = np.empty((count, 2), np.int8)
        maps: npt.NDArray[np.int8] | None = None
        filled = 0
        for result in results:
            span_maps, span_offsets = result.value
            end = filled + len(result.frames)
            if end > count:
                raise ValueError(f"expected {count} QP maps, got more")
            if maps is None:
                maps = np.empty((count, *span_maps.shape[1:]), span_maps.dtype)
            elif span_maps.shape[1:] != maps.shape[1:]:
                raise mixed_sizes(
                    int(result.frames[0]), span_maps.shape[1:], int(frames[0]), maps.shape[1:]
                )
            frames[filled:end], maps[filled:end] = result.frames, span_maps
            offsets[filled:end] = span_offsets
            filled = end
        if maps is None or filled != count:
            raise ValueError(f"expected {count} QP maps, got {filled}")
        return cls(frames, maps, offsets)

    def save(self, path: str | os.PathLike[str] | BinaryIO) -> None:
        """Writes `frames`, `qp_maps` and `chroma_qp_offsets` to a `.npz` file
        (whole or not at all) or to a binary stream."""
        if not isinstance(path, (str, os.PathLike)):
            np.savez_compressed(
                path,
                frames=self.frames,
                qp_maps=self.qp_maps,
                chroma_qp_offsets=self.chroma_qp_offsets,
            )
            return
        with atomic_output(path) as stream:
            self.save(stream)

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> QpMaps:
        with np.load(path) as saved:
            return cls(saved["frames"], saved["qp_maps"], saved["chroma_qp_offsets"])


def iter_qp_maps(
    path: str | os.PathLike[str], frames: FrameSelection = None, *, workers: int | None = None
) -> Iterator[tuple[int, npt.NDArray[np.int8]]]:
    """(frame index, QP map) for the selected frames in order, decoded span
    by span on `workers` threads (default: one per core)."""
    return _each_frame(map_frames(path, _qp_maps, frames, workers=workers))


def read_qp_maps(
    path: str | os.PathLike[str],
    frames: FrameSelection = None,
    *,
    workers: int | None = None,
    progress: bool = False,
) -> QpMaps:
    """The QP maps and chroma QP offsets of the selected frames. Raises
    MixedMapSizes when their sizes differ (a mid-stream size change)."""
    job = open_job(path, frames)
    count = len(job.frames)
    with tqdm(total=count, disable=not progress, unit="frame") as bar:
        return QpMaps.gather(counted(run_spans([job], qp_span, workers), bar), count)


def _qp_maps(session: H264DecoderSession, frames: Frames) -> npt.NDArray[np.int8]:
    if session.codec in BLOCK_SCALE_CODECS:
        return np.stack([block_cell_map(session, int(frame)) for frame in frames])
    return session.get_qpmaps(frames)


def _each_frame(
    spans: Generator[tuple[Frames, npt.NDArray[np.int8]]],
) -> Generator[tuple[int, npt.NDArray[np.int8]]]:
    with closing(spans):  # closing this iterator stops the workers at once
        for frames, maps in spans:
            yield from zip(frames.tolist(), maps)
