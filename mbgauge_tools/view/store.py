"""What the viewer shows of one file: its frame table, and each frame's
picture, QP map, blocks, motion vectors and facts, decoded once and kept for
a while.

Three sessions of the file work side by side. Two are lent, one frame at a
time, to the page's requests and to a thread that decodes ahead of the page
in the direction it travels, each time the one nearest the frame; the
third reads every frame's QP map in the background for the timeline's
mean-QP line. A frame being decoded by one of them is waited for, not
decoded twice.
"""

from __future__ import annotations

import functools
import io
import math
import os
import threading
from collections import OrderedDict
from collections.abc import Iterator
from concurrent.futures import Future
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
from PIL import Image

import mbgauge

from ..quantities import bit_depth, quantity_of
from ..stats import stats_span
from . import bodies

# Frames kept ready (pictures as JPEG, the rest as JSON): at 1080p a frame
# takes about a megabyte.
CACHED_FRAMES = 96
# Frames the read-ahead decodes beyond the one the page shows.
READ_AHEAD = 12
# Frames before the last one a session decoded that its frame cache (of 64)
# surely still holds.
CACHE_REACH = 48
# Frames of one batch query of the mean-QP scan: small, so that the scan
# yields the decoder soon to the page's requests.
SCAN_CHUNK = 50
JPEG_QUALITY = 90
MB_SIZE = bodies.MB_SIZE
# Chroma subsampling (across, down) of FFmpeg's planar YUV formats, by the
# digits of their names; other formats are shown as their luma alone.
_CHROMA_SUBSAMPLING = {
    "420": (2, 2),
    "422": (2, 1),
    "444": (1, 1),
    "440": (1, 2),
    "411": (4, 1),
    "410": (4, 4),
}


class FrameNotFound(LookupError):
    """A frame index outside the file."""


@dataclass
class FrameData:
    """Everything the page asks for of one frame: the picture and facts
    ready to send, the tables as arrays (sent as JSON or as binary columns)."""

    index: int
    qp: npt.NDArray[np.int16]  # (rows, cols); -1: no value
    picture: bytes  # JPEG
    facts: bytes  # JSON
    blocks: npt.NDArray[np.void]
    vectors: npt.NDArray[np.void]
    coding_blocks: bool


@dataclass
class _Travel:
    """Where the page was last and which way it went."""

    frame: int = -1
    direction: int = 1
    changed: threading.Condition = field(default_factory=threading.Condition)
    generation: int = 0


@functools.cache
def _range_tables(depth: int, full_range: bool) -> tuple[npt.NDArray[np.uint8], ...]:
    """Lookup tables from samples of a depth to JPEG's full-range 8 bits,
    for luma and for chroma."""
    codes = np.arange(1 << depth, dtype=np.float64) / (1 << (depth - 8))
    luma = codes if full_range else (codes - 16) * 255 / 219
    chroma = codes if full_range else (codes - 128) * 255 / 224 + 128
    return tuple(np.clip(np.rint(t), 0, 255).astype(np.uint8) for t in (luma, chroma))


def _eight_bit_image(samples: npt.NDArray[Any], table: npt.NDArray[np.uint8]) -> Image.Image:
    if samples.dtype == np.uint8:
        # PIL applies a 256-entry table in C, faster than NumPy's indexing.
        return Image.fromarray(samples).point(table.tolist())
    return Image.fromarray(table[samples])


def picture_jpeg(session: mbgauge.H264DecoderSession, index: int) -> tuple[bytes, int, int, str]:
    """The frame's picture before deblocking as a JPEG, colour where the
    planes are Y, Cb and Cr. JPEG codes YCbCr itself, so the planes go in
    as they are, stretched from the video's limited range to JPEG's full
    one; chroma is repeated to the luma's size, which the encoder's own 4:2:0
    subsampling undoes exactly."""
    width, height, pix_fmt = session.get_frame_format(index)
    luma_table, chroma_table = _range_tables(bit_depth(pix_fmt), pix_fmt.startswith("yuvj"))
    luma = _eight_bit_image(session.get_plane_data(index, 0)[:height, :width], luma_table)
    subsampling = _CHROMA_SUBSAMPLING.get(pix_fmt.removeprefix("yuvj").removeprefix("yuv")[:3])
    if pix_fmt.startswith("yuv") and subsampling is not None:
        across, down = subsampling
        rows, cols = -(-height // down), -(-width // across)
        planes = [luma]
        for plane in (1, 2):
            chroma = session.get_plane_data(index, plane)[:rows, :cols]
            image = _eight_bit_image(chroma, chroma_table)
            planes.append(image.resize((width, height), Image.Resampling.NEAREST))
        image = Image.merge("YCbCr", planes)
    else:
        image = luma
    out = io.BytesIO()
    image.save(out, "JPEG", quality=JPEG_QUALITY)
    return out.getvalue(), width, height, pix_fmt


def _qp_grid(session: mbgauge.H264DecoderSession, index: int, width: int, height: int) -> Any:
    """The frame's QP per 16x16 cell: its QP map, or, where the values do not
    fit the map's int8 (VP9's quantiser index), the QP block that covers each
    cell's top-left sample."""
    try:
        return session.get_qpmap(index).astype(np.int16)
    except ValueError:
        pass
    rows, cols = -(-height // MB_SIZE), -(-width // MB_SIZE)
    grid = np.full((rows, cols), -1, np.int16)
    for block in session.get_qp_blocks(index):
        top, left = max(int(block["y"]), 0), max(int(block["x"]), 0)
        r0, c0 = -(-top // MB_SIZE), -(-left // MB_SIZE)
        r1 = -(-(int(block["y"]) + int(block["h"])) // MB_SIZE)
        c1 = -(-(int(block["x"]) + int(block["w"])) // MB_SIZE)
        grid[r0:r1, c0:c1] = block["qp"]
    return grid


def coding_blocks_of(session: mbgauge.H264DecoderSession) -> bool:
    """Whether the session gives each frame's coding blocks (kind,
    partition, bits): builds of mbgauge without them raise RuntimeError."""
    getter = getattr(session, "get_coding_blocks", None)
    if getter is None:
        return False
    try:
        getter(0)
    except (RuntimeError, ValueError):
        return False
    return True


def decode_frame(
    session: mbgauge.H264DecoderSession,
    index: int,
    row: np.void,
    *,
    with_coding_blocks: bool,
) -> FrameData:
    """Decodes a frame and makes every answer about it; `row` is its row of
    the frame table."""
    picture, width, height, pix_fmt = picture_jpeg(session, index)
    qp = _qp_grid(session, index, width, height)
    if with_coding_blocks:
        blocks = session.get_coding_blocks(index)  # type: ignore[attr-defined]
    else:
        blocks = session.get_qp_blocks(index)
    vectors = session.get_motion_vectors(index)
    offsets = session.get_chroma_qp_offset(index)
    facts = bodies.facts(
        index,
        session.num_frames,
        row,
        qp,
        offsets,
        (width, height, pix_fmt),
        len(blocks),
        len(vectors),
    )
    return FrameData(
        index=index,
        qp=qp,
        picture=picture,
        facts=bodies.encode(facts),
        blocks=blocks,
        vectors=vectors,
        coding_blocks=with_coding_blocks,
    )


class _SessionPool:
    """Sessions of one file, each lent to one thread at a time: to the one
    whose decoder is nearest the frame asked for (already past it within
    its frame cache, or before it within its key-frame group), so that a
    step after a jump continues on the session that made the jump."""

    def __init__(self, first: mbgauge.H264DecoderSession, keys: npt.NDArray[np.intp]) -> None:
        self._keys = keys
        self._sessions = [first]
        self._decoded_to = [-1]
        self._free = {0}
        self._changed = threading.Condition()

    def add(self, session: mbgauge.H264DecoderSession) -> None:
        with self._changed:
            self._sessions.append(session)
            self._decoded_to.append(-1)
            self._free.add(len(self._sessions) - 1)
            self._changed.notify()

    def _cost(self, slot: int, index: int) -> int:
        """Frames the slot's session would decode to reach the frame."""
        reached = self._decoded_to[slot]
        if reached - CACHE_REACH <= index <= reached:
            return 0
        position = int(np.searchsorted(self._keys, index, "right"))
        key = int(self._keys[max(position - 1, 0)])
        if key <= reached < index:
            return index - reached
        # A seek, and the decoder starts again at the key frame.
        return index - key + 1

    @contextmanager
    def borrow(self, index: int) -> Iterator[mbgauge.H264DecoderSession]:
        with self._changed:
            while not self._free:
                self._changed.wait()
            slot = min(sorted(self._free), key=lambda s: self._cost(s, index))
            self._free.remove(slot)
        try:
            yield self._sessions[slot]
        finally:
            with self._changed:
                reached = self._decoded_to[slot]
                if not reached - CACHE_REACH <= index <= reached:
                    self._decoded_to[slot] = index
                self._free.add(slot)
                self._changed.notify()

    def close(self) -> None:
        with self._changed:
            while len(self._free) < len(self._sessions):
                self._changed.wait()
            for session in self._sessions:
                session.close()


class ViewedFile:
    """One file named on the command line, with the sessions that serve it."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = Path(path)
        self.name = self.path.name
        self._session = mbgauge.H264DecoderSession(path, motion_vectors=True)
        self.table = self._session.frame_table()
        self.num_frames = self._session.num_frames
        self.coding_blocks = coding_blocks_of(self._session)
        keys = np.flatnonzero(self.table["key"])
        self._sessions = _SessionPool(self._session, keys if keys.size else np.zeros(1, np.intp))
        self._cache: OrderedDict[int, FrameData] = OrderedDict()
        self._pending: dict[int, Future[FrameData]] = {}
        self._lock = threading.Lock()
        self._travel = _Travel()
        self._closing = threading.Event()
        self._second_session_opened = threading.Event()
        self._idle = threading.Event()
        self._idle.set()
        self._busy_requests = 0
        self._mean_qp = np.full(self.num_frames, math.nan)
        self._scanned = 0
        self._threads = [
            threading.Thread(target=self._read_ahead, name=f"read-ahead {self.name}", daemon=True),
            threading.Thread(target=self._scan_qp, name=f"QP scan {self.name}", daemon=True),
        ]
        for thread in self._threads:
            thread.start()

    # The facts of the stream, for /api/files.
    def describe(self, position: int) -> dict[str, Any]:
        session = self._session
        quantity = quantity_of(session.codec, session.pix_fmt)
        return {
            "file": position,
            "name": self.name,
            "codec": session.codec,
            "width": session.width,
            "height": session.height,
            "mb_cols": session.mb_cols,
            "mb_rows": session.mb_rows,
            "num_frames": self.num_frames,
            "fps": session.fps,
            "pix_fmt": session.pix_fmt,
            "quantity": quantity.name,
            "quantity_short": quantity.short,
            "qp_range": list(quantity.value_range) if quantity.value_range else None,
            "coding_blocks": self.coding_blocks,
            "block_kinds": list(getattr(mbgauge, "BLOCK_KINDS", ())),
            "partitions": list(getattr(mbgauge, "PARTITIONS", ())),
        }

    def check_index(self, index: int) -> None:
        if not 0 <= index < self.num_frames:
            raise FrameNotFound(
                f"frame {index} is outside {self.name}'s {self.num_frames} frames "
                f"(0..{self.num_frames - 1})"
            )

    def frame(self, index: int, *, travelling: bool = True) -> FrameData:
        """The frame's data, from the cache, from a decode in progress, or
        decoded now. `travelling`: the page went to this frame, so the
        read-ahead follows it."""
        self.check_index(index)
        self._enter_request()
        try:
            future, mine = self._claim(index)
            if mine:
                self._fill(future, index)
            data = future.result()
        finally:
            self._leave_request()
        # Read ahead once the frame is there, not beside its decoding.
        if travelling:
            self._went_to(index)
        return data

    def mean_qp(self, start: int = 0) -> tuple[int, list[float | None]]:
        """The mean QP of frames start.. as far as the scan has gone."""
        scanned = self._scanned
        values = self._mean_qp[start:scanned]
        return scanned, [None if math.isnan(v) else round(float(v), 3) for v in values]

    def close(self) -> None:
        self._closing.set()
        self._second_session_opened.set()
        self._idle.set()
        with self._travel.changed:
            self._travel.changed.notify_all()
        for thread in self._threads:
            thread.join()
        self._sessions.close()

    def _claim(self, index: int) -> tuple[Future[FrameData], bool]:
        """The future of the frame's data, and whether the caller must fill it."""
        with self._lock:
            cached = self._cache.get(index)
            if cached is not None:
                self._cache.move_to_end(index)
                done: Future[FrameData] = Future()
                done.set_result(cached)
                return done, False
            pending = self._pending.get(index)
            if pending is not None:
                return pending, False
            future: Future[FrameData] = Future()
            self._pending[index] = future
            return future, True

    def _fill(self, future: Future[FrameData], index: int) -> None:
        try:
            with self._sessions.borrow(index) as session:
                data = decode_frame(
                    session, index, self.table[index], with_coding_blocks=self.coding_blocks
                )
        except BaseException as error:
            with self._lock:
                del self._pending[index]
            future.set_exception(error)
            if not isinstance(error, Exception):
                raise
            return
        with self._lock:
            del self._pending[index]
            self._cache[index] = data
            while len(self._cache) > CACHED_FRAMES:
                self._cache.popitem(last=False)
        future.set_result(data)

    def _went_to(self, index: int) -> None:
        travel = self._travel
        with travel.changed:
            if index != travel.frame:
                if travel.frame >= 0:
                    travel.direction = 1 if index > travel.frame else -1
                travel.frame = index
                travel.generation += 1
                travel.changed.notify_all()

    def _enter_request(self) -> None:
        with self._lock:
            self._busy_requests += 1
            self._idle.clear()

    def _leave_request(self) -> None:
        with self._lock:
            self._busy_requests -= 1
            if self._busy_requests == 0:
                self._idle.set()

    def _read_ahead(self) -> None:
        """Decodes the frames after the page's (or before it, going back),
        so that the next step finds them ready. The second session of the
        pool is opened here, so that the page need not wait for it."""
        travel = self._travel
        # Opened once the page has its first frame, not beside its decoding.
        with travel.changed:
            while travel.generation == 0 and not self._closing.is_set():
                travel.changed.wait()
        try:
            if not self._closing.is_set():
                self._sessions.add(mbgauge.H264DecoderSession(self.path, motion_vectors=True))
        except RuntimeError:
            pass  # one session serves both
        finally:
            self._second_session_opened.set()
        seen = 0
        while not self._closing.is_set():
            with travel.changed:
                while travel.generation == seen and not self._closing.is_set():
                    travel.changed.wait()
                seen = travel.generation
                start, direction = travel.frame, travel.direction
            self._enter_request()
            try:
                for step in range(1, READ_AHEAD + 1):
                    index = start + direction * step
                    if self._closing.is_set() or travel.generation != seen:
                        break
                    if not 0 <= index < self.num_frames:
                        break
                    future, mine = self._claim(index)
                    if mine:
                        self._fill(future, index)
            finally:
                self._leave_request()

    def _scan_qp(self) -> None:
        """Reads every frame's mean QP in order, a chunk at a time, while the
        page asks for nothing, at the lowest scheduling priority."""
        try:
            os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), 19)
        except OSError:
            pass
        self._second_session_opened.wait()
        if self._closing.is_set():
            return
        with mbgauge.H264DecoderSession(self.path) as session:
            for start in range(0, self.num_frames, SCAN_CHUNK):
                self._idle.wait()
                if self._closing.is_set():
                    return
                frames = np.arange(start, min(start + SCAN_CHUNK, self.num_frames))
                try:
                    stats = stats_span(session, frames)
                except (RuntimeError, ValueError):
                    # A frame that does not decode, or QPs beyond int8
                    # (VP9): the line has a gap there.
                    stats = None
                if stats is not None:
                    self._mean_qp[frames] = stats["mean_qp"]
                self._scanned = int(frames[-1]) + 1
