"""QP maps of a range of frames: streamed one by one, or gathered into one
array with the frame indices and chroma QP offsets and saved as `.npz`."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import BinaryIO

import numpy as np
import numpy.typing as npt
from tqdm import tqdm

from mbgauge import H264DecoderSession

from .files import atomic_output
from .frames import FrameSelection
from .parallel import FrameResult, map_frames, open_job, run_jobs

# The record one worker makes of a frame: its QP map and (cb, cr) offsets.
QpRecord = tuple[npt.NDArray[np.int8], tuple[int, int]]


def qp_record(session: H264DecoderSession, frame: int) -> QpRecord:
    return session.get_qpmap(frame), session.get_chroma_qp_offset(frame)


class MixedMapSizes(ValueError):
    """The selected frames' QP maps differ in size (the picture size changes
    mid-stream), so they cannot be stacked into one array."""


@dataclass(frozen=True)
class QpMaps:
    """QP maps of several frames; row i of every array belongs to frames[i].
    A QP of -1 marks a macroblock for which the frame carried no value."""

    frames: npt.NDArray[np.int64]             # (n,)
    qp_maps: npt.NDArray[np.int8]             # (n, mb_rows, mb_cols)
    chroma_qp_offsets: npt.NDArray[np.int8]   # (n, 2): cb, cr

    @classmethod
    def gather(cls, results: Iterable[FrameResult[QpRecord]], count: int) -> QpMaps:
        """From the records of `count` frames."""
        frames = np.empty(count, np.int64)
        offsets = np.empty((count, 2), np.int8)
        maps: npt.NDArray[np.int8] | None = None
        filled = 0
        for row, result in enumerate(results):
            qp, offset = result.value
            if maps is None:
                maps = np.empty((count, *qp.shape), np.int8)
            elif qp.shape != maps.shape[1:]:
                raise MixedMapSizes(
                    f"frame {result.frame} has {qp.shape[0]}x{qp.shape[1]} macroblocks but frame "
                    f"{frames[0]} has {maps.shape[1]}x{maps.shape[2]}: the picture size changes "
                    "mid-stream, and maps of different sizes do not fit one array; "
                    "export each part on its own with --frames")
            frames[row], maps[row], offsets[row] = result.frame, qp, offset
            filled = row + 1
        if maps is None or filled != count:
            raise ValueError(f"expected {count} QP maps, got {filled}")
        return cls(frames, maps, offsets)

    def save(self, path: str | os.PathLike[str] | BinaryIO) -> None:
        """Writes `frames`, `qp_maps` and `chroma_qp_offsets` to a `.npz` file
        (whole or not at all) or to a binary stream."""
        if not isinstance(path, (str, os.PathLike)):
            np.savez_compressed(path, frames=self.frames, qp_maps=self.qp_maps,
                                chroma_qp_offsets=self.chroma_qp_offsets)
            return
        with atomic_output(path) as stream:
            self.save(stream)

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> QpMaps:
        with np.load(path) as saved:
            return cls(saved["frames"], saved["qp_maps"], saved["chroma_qp_offsets"])


def iter_qp_maps(path: str | os.PathLike[str], frames: FrameSelection = None, *,
                 workers: int | None = None) -> Iterator[tuple[int, npt.NDArray[np.int8]]]:
    """(frame index, QP map) for the selected frames in order, decoded on
    `workers` threads (default: one per core)."""
    return map_frames(path, _qp_map, frames, workers=workers)


def read_qp_maps(path: str | os.PathLike[str], frames: FrameSelection = None, *,
                 workers: int | None = None, progress: bool = False) -> QpMaps:
    """The QP maps and chroma QP offsets of the selected frames. Raises
    MixedMapSizes when their sizes differ (a mid-stream size change)."""
    job = open_job(path, frames)
    count = len(job.frames)
    results = run_jobs([job], qp_record, workers)
    return QpMaps.gather(tqdm(results, total=count, disable=not progress, unit="frame"), count)


def _qp_map(session: H264DecoderSession, frame: int) -> npt.NDArray[np.int8]:
    return session.get_qpmap(frame)
