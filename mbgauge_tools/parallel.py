"""Per-frame work spread over several sessions of the same files, in threads.

The extension releases the GIL while it decodes, so threads decode in
parallel. A session serialises its own calls, so every thread borrows a
session of its own from the file's pool. Each thread works through a
contiguous chunk of frames: within a chunk a session decodes forward, while
the start of a chunk costs a seek and a decode from the preceding key frame.
Results come back in job and frame order, whatever the number of workers.
"""

from __future__ import annotations

import os
import threading
from collections import deque
from collections.abc import Callable, Generator, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from contextlib import closing, contextmanager
from dataclasses import dataclass
from queue import SimpleQueue
from typing import Generic, TypeVar, cast

from mbgauge import H264DecoderSession

from .frames import FrameSelection, select_frames

T = TypeVar("T")
FrameWork = Callable[[H264DecoderSession, int], T]

# Long enough that the seek at its start (up to a GOP of wasted decoding) is
# a small share of a chunk, short enough that results already decoded ahead
# of the one being consumed stay few.
MAX_CHUNK_FRAMES = 1000


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


@dataclass(frozen=True)
class FrameJob:
    """Frames of one file to work on."""

    pool: SessionPool
    frames: Sequence[int]


@dataclass(frozen=True)
class FrameResult(Generic[T]):
    job: int  # position of the job in the list given to run_jobs
    frame: int
    value: T


@dataclass(frozen=True)
class _Failure:
    error: BaseException


_CHUNK_DONE = object()


def run_jobs(jobs: Sequence[FrameJob], work: FrameWork[T],
             workers: int | None = None) -> Generator[FrameResult[T]]:
    """Calls `work(session, frame)` for every frame of every job on up to
    `workers` threads and yields the results in job and frame order. Closing
    the iterator early (or an exception in the consumer) stops the workers
    after the frame each is on."""
    workers = default_workers() if workers is None else workers
    if workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    chunks = [(number, job.pool, chunk) for number, job in enumerate(jobs)
              for chunk in _split(job.frames, workers)]
    if not chunks:
        return
    stop = threading.Event()

    def work_through(pool: SessionPool, frames: Sequence[int], out: SimpleQueue[object]) -> None:
        try:
            with pool.borrow() as session:
                for frame in frames:
                    if stop.is_set():
                        return
                    out.put((frame, work(session, frame)))
        except BaseException as error:  # handed to the consumer, which raises it
            out.put(_Failure(error))
        else:
            out.put(_CHUNK_DONE)

    executor = ThreadPoolExecutor(max_workers=min(workers, len(chunks)),
                                  thread_name_prefix="mbgauge-worker")
    pending: deque[tuple[int, SimpleQueue[object]]] = deque()
    waiting = iter(chunks)

    def submit_next() -> None:
        for number, pool, frames in waiting:
            out: SimpleQueue[object] = SimpleQueue()
            executor.submit(work_through, pool, frames, out)
            pending.append((number, out))
            return

    try:
        # Two chunks per worker in flight: every worker has its next chunk
        # ready while the results of the oldest are being consumed.
        for _ in range(2 * workers):
            submit_next()
        while pending:
            number, out = pending[0]
            item = out.get()
            if item is _CHUNK_DONE:
                pending.popleft()
                submit_next()
            elif isinstance(item, _Failure):
                raise item.error
            else:
                frame, value = cast(tuple[int, T], item)
                yield FrameResult(number, frame, value)
    finally:
        stop.set()
        executor.shutdown(wait=True, cancel_futures=True)


def map_frames(path: str | os.PathLike[str], work: FrameWork[T], frames: FrameSelection = None,
               *, workers: int | None = None) -> Iterator[tuple[int, T]]:
    """`(frame, work(session, frame))` for the selected frames of one file, in
    frame order, computed on `workers` threads (default: one per core)."""
    job = open_job(path, frames)  # now, not at the first next()
    return _frames_and_values(run_jobs([job], work, workers))


def open_job(path: str | os.PathLike[str], frames: FrameSelection = None) -> FrameJob:
    """Opens the file and checks the frame selection against it."""
    pool = SessionPool(path)
    return FrameJob(pool, select_frames(frames, pool.first.num_frames))


def _frames_and_values(results: Generator[FrameResult[T]]) -> Iterator[tuple[int, T]]:
    with closing(results):  # closing this iterator stops the workers at once
        for result in results:
            yield result.frame, result.value


def _split(frames: Sequence[int], workers: int) -> list[Sequence[int]]:
    size = max(1, min(MAX_CHUNK_FRAMES, -(-len(frames) // workers)))
    return [frames[start:start + size] for start in range(0, len(frames), size)]
