"""Frames of video files split into spans that start at key frames, each span
decoded by one batch query on one of several sessions of its file, in threads.

The extension releases the GIL while it decodes, so threads decode in
parallel. A session serialises its own calls, so each span borrows a session
of its own from the file's pool. A span that starts at a key frame costs no
decoding its neighbour also does, so spans are cut where a key group starts,
once they hold SPAN_FRAMES frames (fewer in a short file, so that each worker
has one); a key group longer than MAX_SPAN_FRAMES is cut inside, at the cost
of decoding its start twice. Results come back in
job and span order, whatever the number of workers, with at most two spans
per worker decoded ahead of the one being consumed.
"""

from __future__ import annotations

import os
import threading
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import closing, contextmanager
from dataclasses import dataclass
from typing import Generic, Never, TypeVar

import numpy as np
import numpy.typing as npt
from tqdm import tqdm

from mbgauge import H264DecoderSession

from .frames import FrameSelection, select_frames

T = TypeVar("T")
Frames = npt.NDArray[np.int64]
# Work on one span: a session of the file and the span's frames, in the
# order asked; returns the span's result.
SpanWork = Callable[[H264DecoderSession, Frames], T]

# A few hundred frames: the maps of a span are small (1080p: 8 KiB a frame),
# and a span is long enough that its first key group's decoding is shared by
# many frames.
SPAN_FRAMES = 250
MAX_SPAN_FRAMES = 1000


def default_workers() -> int:
    return os.process_cpu_count() or 1


class SessionPool:
    """The open sessions of one file, each lent to one thread at a time. It
    opens the file at once (so a bad file fails here) and opens further
    sessions only when every open one is lent out."""

    def __init__(self, path: str | os.PathLike[str], *, motion_vectors: bool = False) -> None:
        self.path = os.fspath(path)
        self.motion_vectors = motion_vectors
        self.first = H264DecoderSession(self.path, motion_vectors=motion_vectors)
        self._idle = [self.first]
        self._lock = threading.Lock()

    @contextmanager
    def borrow(self) -> Iterator[H264DecoderSession]:
        with self._lock:
            session = self._idle.pop() if self._idle else None
        if session is None:
            session = H264DecoderSession(self.path, motion_vectors=self.motion_vectors)
        try:
            yield session
        finally:
            with self._lock:
                self._idle.append(session)


def key_spans(
    key: npt.NDArray[np.bool_],
    frames: Sequence[int],
    *,
    span_frames: int | None = None,
    max_span_frames: int | None = None,
) -> list[Frames]:
    """`frames` (in the order asked) cut into consecutive spans: after at
    least `span_frames` frames where the next frame lies in another key group
    than the one before it, and after `max_span_frames` frames anywhere.
    `key` is the frame table's key column."""
    span_frames = SPAN_FRAMES if span_frames is None else span_frames
    max_span_frames = MAX_SPAN_FRAMES if max_span_frames is None else max_span_frames
    asked = np.asarray(frames, np.int64)
    if asked.size == 0:
        return []
    group = np.cumsum(key)[asked]
    group_starts = np.flatnonzero(group[1:] != group[:-1]) + 1
    spans, start = [], 0
    for cut in (*group_starts.tolist(), asked.size):
        while cut - start > max_span_frames:
            spans.append(asked[start : start + max_span_frames])
            start += max_span_frames
        if cut - start >= span_frames or cut == asked.size:
            if cut > start:
                spans.append(asked[start:cut])
            start = cut
    return spans


@dataclass(frozen=True)
class FrameJob:
    """Frames of one file to work on."""

    pool: SessionPool
    frames: Sequence[int]

    def spans(self, threads: int = 1) -> list[Frames]:
        """The frames cut into spans; a short file still gives each of
        `threads` a span of its own where its key groups allow (spans shrink
        to each thread's share)."""
        key = self.pool.first.frame_table()["key"]
        share = -(-len(self.frames) // max(1, threads))
        return key_spans(key, self.frames, span_frames=max(1, min(SPAN_FRAMES, share)))


@dataclass(frozen=True)
class SpanResult(Generic[T]):
    job: int  # position of the job in the list given to run_spans
    frames: Frames
    value: T


def asked_workers(workers: int | None) -> int:
    """The number of threads asked for (default: one per core)."""
    asked = default_workers() if workers is None else workers
    if asked < 1:
        raise ValueError(f"workers must be at least 1, not {asked}")
    return asked


def run_spans(
    jobs: Sequence[FrameJob], work: SpanWork[T], workers: int | None = None
) -> Generator[SpanResult[T]]:
    """Calls `work(session, frames)` for every span of every job on up to
    `workers` threads and yields the results in job and span order. Closing
    the iterator early (or an exception in the consumer) cancels the spans
    not yet started and waits for those being decoded."""
    asked = asked_workers(workers)
    spans = [
        (number, job.pool, span) for number, job in enumerate(jobs) for span in job.spans(asked)
    ]
    if not spans:
        return
    # Never more threads than spans: a span is never split between two.
    threads = min(asked, len(spans))

    def work_on(pool: SessionPool, frames: Frames) -> T:
        with pool.borrow() as session:
            return work(session, frames)

    executor = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="mbgauge-worker")
    pending: deque[tuple[int, Frames, Future[T]]] = deque()
    waiting = iter(spans)
    try:
        # Two spans per worker in flight: every worker has its next span
        # ready while the results of the oldest are being consumed.
        for number, pool, frames in waiting:
            pending.append((number, frames, executor.submit(work_on, pool, frames)))
            if len(pending) >= 2 * threads:
                break
        while pending:
            number, frames, future = pending.popleft()
            value = future.result()
            for next_number, pool, next_frames in waiting:
                pending.append(
                    (next_number, next_frames, executor.submit(work_on, pool, next_frames))
                )
                break
            yield SpanResult(number, frames, value)
    finally:
        executor.shutdown(wait=True, cancel_futures=True)


def counted(results: Iterable[SpanResult[T]], bar: tqdm[Never]) -> Iterator[SpanResult[T]]:
    """The results, each span's frames counted on the progress bar as it passes."""
    for result in results:
        yield result
        bar.update(len(result.frames))


def map_frames(
    path: str | os.PathLike[str],
    work: SpanWork[T],
    frames: FrameSelection = None,
    *,
    workers: int | None = None,
) -> Generator[tuple[Frames, T]]:
    """`(span_frames, work(session, span_frames))` for the selected frames of
    one file cut into spans at key frames, in frame order, computed on
    `workers` threads (default: one per core, at most one per span)."""
    job = open_job(path, frames)  # now, not at the first next()
    return _frames_and_values(run_spans([job], work, workers))


def open_job(path: str | os.PathLike[str], frames: FrameSelection = None) -> FrameJob:
    """Opens the file and checks the frame selection against it."""
    pool = SessionPool(path)
    return FrameJob(pool, select_frames(frames, pool.first.num_frames))


def _frames_and_values(results: Generator[SpanResult[T]]) -> Generator[tuple[Frames, T]]:
    with closing(results):  # closing this iterator stops the workers at once
        for result in results:
            yield result.frames, result.value
