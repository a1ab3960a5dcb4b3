"""One measurement, run in a process of its own so that its peak resident
memory is its own:

    python bench/workloads.py '{"workload": "mbgauge_qp", "path": "...", ...}'

prints one JSON object: the workload's figures plus `peak_rss_kib` (VmHWM)
and `baseline_rss_kib` (VmRSS after the imports the workload needs, before it
opens anything). Workloads that time an external command (ffmpeg, ffprobe)
report the command's own peak memory and the bytes it read.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import resource
import subprocess
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

Result = dict[str, Any]
WORKLOADS: dict[str, Callable[..., Result]] = {}


def workload(fn: Callable[..., Result]) -> Callable[..., Result]:
    WORKLOADS[fn.__name__] = fn
    return fn


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def _rchar() -> int:
    """Bytes this process has passed through read() and its kin so far,
    including those of children it has reaped."""
    with open("/proc/self/io") as io:
        for line in io:
            if line.startswith("rchar:"):
                return int(line.split()[1])
    return 0


def _latency_stats(latencies: Sequence[float]) -> Result:
    values = np.asarray(latencies)
    return {
        "count": len(values),
        "mean_ms": float(values.mean() * 1e3),
        "p50_ms": float(np.percentile(values, 50) * 1e3),
        "p95_ms": float(np.percentile(values, 95) * 1e3),
        "max_ms": float(values.max() * 1e3),
        "total_s": float(values.sum()),
    }


# --- mbgauge ---------------------------------------------------------------


def _import_mbgauge() -> Any:
    # The extension may be being rebuilt by someone else for a few seconds.
    for attempt in range(20):
        try:
            import mbgauge

            return mbgauge
        except ImportError:
            if attempt == 19:
                raise
            time.sleep(1)


class _Clock:
    """The clocks of an open-then-loop workload, started when made: resident
    memory first, then wall and CPU time. `opened` marks the end of opening,
    `stop` the end of the loop; the CPU time runs on until `result`."""

    def __init__(self) -> None:
        self.baseline = _status_kib("VmRSS")
        self.t0 = time.perf_counter()
        self.c0 = time.process_time()

    def opened(self, reader: Any) -> Any:
        self.t1 = time.perf_counter()
        return reader

    def stop(self) -> None:
        self.t2 = time.perf_counter()

    def result(self, frames: int, **checks: Any) -> Result:
        """Opening, loop and total wall time, CPU time, and output digests."""
        return {
            "frames": frames,
            "open_s": self.t1 - self.t0,
            "loop_s": self.t2 - self.t1,
            "total_s": self.t2 - self.t0,
            "cpu_s": time.process_time() - self.c0,
            **checks,
            "baseline_rss_kib": self.baseline,
        }


@workload
def mbgauge_qp(
    path: str, motion_vectors: bool = False, source: str | None = None, **_: Any
) -> Result:
    """get_qpmap for every frame in order, in one session; with
    `motion_vectors`, in a session that exports them, reading
    get_motion_vectors for every frame too. `source`: a URL to open instead
    of the local path."""
    mbgauge = _import_mbgauge()
    if source:
        _import_remote()
    clock = _Clock()
    session = clock.opened(
        mbgauge.H264DecoderSession(source or path, motion_vectors=motion_vectors)
    )
    digest = hashlib.sha256()
    vectors = 0
    for frame in range(session.num_frames):
        digest.update(session.get_qpmap(frame))
        if motion_vectors:
            vectors += len(session.get_motion_vectors(frame))
    clock.stop()
    extra = {"motion_vectors": vectors} if motion_vectors else {}
    return clock.result(
        session.num_frames,
        qp_sha256=digest.hexdigest(),
        libavcodec=_loaded_library("libavcodec"),
        **extra,
    )


def _loaded_library(name: str) -> str:
    """The file the loader mapped for a library (the FFmpeg build in use)."""
    with open("/proc/self/maps") as maps:
        return next((line.split()[-1] for line in maps if f"/{name}.so" in line), "")


@workload
def mbgauge_qp_batch(path: str, **_: Any) -> Result:
    """get_qpmaps(range(num_frames)): every frame's QP map in one call."""
    mbgauge = _import_mbgauge()
    clock = _Clock()
    session = clock.opened(mbgauge.H264DecoderSession(path))
    maps = session.get_qpmaps(range(session.num_frames))
    clock.stop()
    # One digest of all maps in frame order equals the per-frame route's.
    return clock.result(session.num_frames, qp_sha256=hashlib.sha256(maps).hexdigest())


@workload
def mbgauge_qp_tools(path: str, workers: int = 2, **_: Any) -> Result:
    """mbgauge_tools.read_qp_maps on `workers` threads: spans that start at
    key frames, one batch query each, on one session per thread."""
    mbgauge = _import_mbgauge()
    import mbgauge_tools

    clock = _Clock()
    maps = mbgauge_tools.read_qp_maps(path, workers=workers)
    t1 = time.perf_counter()
    del mbgauge
    return {
        "frames": len(maps.frames),
        "total_s": t1 - clock.t0,
        "cpu_s": time.process_time() - clock.c0,
        "qp_sha256": hashlib.sha256(maps.qp_maps).hexdigest(),
        "baseline_rss_kib": clock.baseline,
    }


def _yuv420_layout(width: int, height: int) -> list[tuple[int, int, int]]:
    """(offset, rows, row bytes) of Y, Cb, Cr packed one after another, the
    layout of PyAV's yuv420p to_ndarray()."""
    cw, ch = (width + 1) // 2, (height + 1) // 2
    return [(0, height, width), (width * height, ch, cw), (width * height + cw * ch, ch, cw)]


# Every this many frames, the planes are hashed to check both readers agree.
PLANE_CHECK_EVERY = 30


@workload
def mbgauge_planes_array(path: str, **_: Any) -> Result:
    """get_plane_data(f, 0..2) for every frame: three new arrays per frame."""
    mbgauge = _import_mbgauge()
    clock = _Clock()
    session = clock.opened(mbgauge.H264DecoderSession(path))
    digest = hashlib.sha256()
    widths = [session.width, (session.width + 1) // 2, (session.width + 1) // 2]
    for frame in range(session.num_frames):
        planes = [session.get_plane_data(frame, plane) for plane in range(3)]
        if frame % PLANE_CHECK_EVERY == 0:
            for plane, width in zip(planes, widths):
                digest.update(np.ascontiguousarray(plane[:, :width]))
    clock.stop()
    return clock.result(session.num_frames, planes_sha256=digest.hexdigest())


@workload
def mbgauge_planes_ptr(path: str, **_: Any) -> Result:
    """copy_plane_to_ptr(f, 0..2) into one preallocated yuv420p array."""
    mbgauge = _import_mbgauge()
    clock = _Clock()
    session = clock.opened(mbgauge.H264DecoderSession(path))
    layout = _yuv420_layout(session.width, session.height)
    out = np.empty(layout[2][0] + layout[2][1] * layout[2][2], np.uint8)
    base = out.ctypes.data
    digest = hashlib.sha256()
    luma_digest = hashlib.sha256()
    for frame in range(session.num_frames):
        for plane, (offset, _rows, row_bytes) in enumerate(layout):
            session.copy_plane_to_ptr(frame, plane, base + offset, row_bytes)
        if frame % PLANE_CHECK_EVERY == 0:
            digest.update(out)
            luma_digest.update(out[: layout[1][0]])
    clock.stop()
    return clock.result(
        session.num_frames, planes_sha256=digest.hexdigest(), luma_sha256=luma_digest.hexdigest()
    )


# Frames per get_planes call: a few seconds of 1080p luma (about 200 MiB).
PLANES_SPAN = 100


@workload
def mbgauge_planes_batch(path: str, **_: Any) -> Result:
    """get_planes(span, 0) over every frame, PLANES_SPAN frames a call: the
    luma plane of every frame, each frame decoded once."""
    mbgauge = _import_mbgauge()
    clock = _Clock()
    session = clock.opened(mbgauge.H264DecoderSession(path))
    digest = hashlib.sha256()
    for start in range(0, session.num_frames, PLANES_SPAN):
        luma = session.get_planes(range(start, min(start + PLANES_SPAN, session.num_frames)), 0)
        for frame in range(start, start + len(luma)):
            if frame % PLANE_CHECK_EVERY == 0:
                digest.update(luma[frame - start])
        del luma
    clock.stop()
    return clock.result(session.num_frames, luma_sha256=digest.hexdigest())


# An access query: given the opened reader, the per-frame latencies and a
# function that gives the digest of the maps read.
Query = Callable[[Any], tuple[list[float], Callable[[], str]]]


def _access(path: str, open_reader: Callable[[str], Any], query: Query) -> Result:
    """Opens a reader, then times the query on it (its CPU time apart from
    the opening's)."""
    baseline = _status_kib("VmRSS")
    t0 = time.perf_counter()
    reader = open_reader(path)
    open_s = time.perf_counter() - t0
    c0 = time.process_time()
    latencies, qp_sha256 = query(reader)
    return {
        "open_s": open_s,
        "cpu_s": time.process_time() - c0,
        **_latency_stats(latencies),
        "qp_sha256": qp_sha256(),
        "latencies_ms": [round(latency * 1e3, 4) for latency in latencies],
        "baseline_rss_kib": baseline,
    }


def _one_call_each(indices: Sequence[int], get: Callable[[Any, int], np.ndarray]) -> Query:
    def query(reader: Any) -> tuple[list[float], Callable[[], str]]:
        latencies = []
        digest = hashlib.sha256()
        for index in indices:
            start = time.perf_counter()
            qp = get(reader, index)
            latencies.append(time.perf_counter() - start)
            digest.update(qp)
        return latencies, digest.hexdigest

    return query


@workload
def mbgauge_access(path: str, indices: Sequence[int], **_: Any) -> Result:
    """get_qpmap for the given frames in the given order; per-call latency."""
    mbgauge = _import_mbgauge()
    return _access(
        path,
        mbgauge.H264DecoderSession,
        _one_call_each(indices, lambda session, index: session.get_qpmap(index)),
    )


@workload
def mbgauge_batch_access(path: str, indices: Sequence[int], **_: Any) -> Result:
    """get_qpmaps(indices): the same frames in one call. Its latency per
    frame is the call's time shared out over the frames."""
    mbgauge = _import_mbgauge()

    def query(session: Any) -> tuple[list[float], Callable[[], str]]:
        start = time.perf_counter()
        maps = session.get_qpmaps(indices)
        call_s = time.perf_counter() - start
        return [call_s / len(indices)] * len(indices), lambda: hashlib.sha256(maps).hexdigest()

    return _access(path, mbgauge.H264DecoderSession, query)


def _opening(open_reader: Callable[[str], Any], path: str, frames: Callable[[Any], int]) -> Result:
    """Opening alone: time, CPU time and the bytes read."""
    baseline = _status_kib("VmRSS")
    read0 = _rchar()
    t0 = time.perf_counter()
    c0 = time.process_time()
    reader = open_reader(path)
    t1 = time.perf_counter()
    read1 = _rchar()
    return {
        "open_s": t1 - t0,
        "cpu_s": time.process_time() - c0,
        "bytes_read": read1 - read0,
        "frames": frames(reader),
        "baseline_rss_kib": baseline,
    }


@workload
def mbgauge_open(path: str, **_: Any) -> Result:
    """Construction (the packet index) alone: time and bytes read."""
    mbgauge = _import_mbgauge()
    return _opening(mbgauge.H264DecoderSession, path, lambda session: session.num_frames)


def _import_remote() -> None:
    """Imports what reading a URL imports (fsspec, s3fs, aiobotocore: most of
    a second of CPU time), once per process, before a clock starts."""
    import fsspec

    import mbgauge_tools.remote

    fsspec.filesystem("s3")
    assert mbgauge_tools.remote


class _CountingFile:
    """A binary file object that counts the reads the session makes of it."""

    def __init__(self, file: Any) -> None:
        self._file = file
        self.requests = 0
        self.bytes = 0

    def seekable(self) -> bool:
        return True

    def seek(self, offset: int, whence: int = 0) -> int:
        return self._file.seek(offset, whence)

    def read(self, size: int = -1) -> bytes:
        data = self._file.read(size)
        self.requests += 1
        self.bytes += len(data)
        return data

    def readinto(self, buffer: Any) -> int:
        count = self._file.readinto(buffer)
        self.requests += 1
        self.bytes += count
        return count


@workload
def mbgauge_remote_reads(
    path: str, source: str, indices: Sequence[int] = (), read_size: int = 1 << 20, **_: Any
) -> Result:
    """What the session reads of `source` (through fsspec, `read_size` bytes
    per request): opening (the whole-file scan), then `indices` one by one."""
    import fsspec

    mbgauge = _import_mbgauge()
    fs, name = fsspec.core.url_to_fs(source)
    size = fs.size(name)
    with fs.open(name, "rb", block_size=read_size, cache_type="none") as raw:
        counting = _CountingFile(raw)
        t0 = time.perf_counter()
        session = mbgauge.H264DecoderSession(counting, read_size=read_size)
        t1 = time.perf_counter()
        opened = (counting.requests, counting.bytes)
        for frame in indices:
            session.get_qpmap(frame)
        t2 = time.perf_counter()
        session.close()
    return {
        "frames": session.num_frames,
        "file_bytes": size,
        "open_s": t1 - t0,
        "open_requests": opened[0],
        "open_bytes": opened[1],
        "access_s": t2 - t1,
        "access_frames": len(indices),
        "access_requests": counting.requests - opened[0],
        "access_bytes": counting.bytes - opened[1],
        "baseline_rss_kib": _status_kib("VmRSS"),
    }


@workload
def mbgauge_reopen(path: str, source: str | None = None, **_: Any) -> Result:
    """A first open with an empty packet index cache, then a reopen that
    finds the index there: time and CPU time of each."""
    import tempfile

    mbgauge = _import_mbgauge()
    if source:
        _import_remote()
    with tempfile.TemporaryDirectory(prefix="mbgauge-bench-index-") as directory:
        os.environ["MBGAUGE_INDEX_CACHE"] = directory
        timings = []
        for _ in range(2):
            t0, c0 = time.perf_counter(), time.process_time()
            session = mbgauge.H264DecoderSession(source or path)
            timings.append((time.perf_counter() - t0, time.process_time() - c0))
            frames = session.num_frames
            session.close()
    (first_s, first_cpu), (reopen_s, reopen_cpu) = timings
    return {
        "frames": frames,
        "open_s": first_s,
        "cpu_s": first_cpu,
        "reopen_s": reopen_s,
        "reopen_cpu_s": reopen_cpu,
        "baseline_rss_kib": _status_kib("VmRSS"),
    }


@workload
def mbgauge_cache_growth(path: str, checkpoints: Sequence[int] = (), **_: Any) -> Result:
    """Resident memory while get_qpmap walks the file: it levels off once
    the 64-frame cache is full."""
    mbgauge = _import_mbgauge()
    imported = _status_kib("VmRSS")
    session = mbgauge.H264DecoderSession(path)
    opened = _status_kib("VmRSS")
    record_bytes = sum(session.get_plane_data(0, plane).nbytes for plane in range(3))
    record_bytes += session.mb_rows * session.mb_cols
    wanted = sorted({c for c in checkpoints if 0 < c <= session.num_frames} | {session.num_frames})
    rss = {}
    for frame in range(session.num_frames):
        session.get_qpmap(frame)
        if frame + 1 in wanted:
            rss[frame + 1] = _status_kib("VmRSS")
    return {
        "frames": session.num_frames,
        "rss_after_import_kib": imported,
        "rss_after_open_kib": opened,
        "rss_kib_after_frames": rss,
        "record_bytes": record_bytes,
        "cache_capacity": 64,
        "baseline_rss_kib": imported,
    }


@workload
def idle(modules: Sequence[str] = ("numpy",), **_: Any) -> Result:
    """Peak memory of the interpreter with the given modules imported."""
    for module in modules:
        if module == "mbgauge":
            _import_mbgauge()
        else:
            __import__(module)
    return {"baseline_rss_kib": _status_kib("VmRSS")}


# --- external commands -----------------------------------------------------

_BENCH_LINE = re.compile(r"bench: utime=([\d.]+)s stime=([\d.]+)s rtime=([\d.]+)s")


@workload
def command(argv: Sequence[str], files: int | None = None, **_: Any) -> Result:
    """Runs a command; wall time, the peak memory the kernel reports for it,
    the bytes it read, and ffmpeg's -benchmark figures when printed. With
    `files`, the command decodes that many files (ffmpeg run by xargs) and
    the frames are the sum of every ffmpeg's count."""
    read0 = _rchar()
    t0 = time.perf_counter()
    with open(os.devnull, "wb") as devnull:
        # Output to a file: reading it back through a pipe would count as ours.
        with open(f"/tmp/mbgauge-bench-{os.getpid()}.out", "w+b") as out:
            process = subprocess.Popen(
                list(argv), stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT
            )
            _pid, status, usage = os.wait4(process.pid, 0)
            process.returncode = os.waitstatus_to_exitcode(status)
            t1 = time.perf_counter()
            read1 = _rchar()
            out.seek(0)
            text = out.read().decode(errors="replace")
        os.unlink(out.name)
    del devnull
    if process.returncode != 0:
        raise RuntimeError(f"{argv[0]} failed ({process.returncode}): {text[-2000:]}")
    result: Result = {
        "total_s": t1 - t0,
        "command_peak_rss_kib": usage.ru_maxrss,
        "bytes_read": read1 - read0,
        "output_tail": text[-300:],
    }
    bench = _BENCH_LINE.findall(text)
    result["cpu_s"] = usage.ru_utime + usage.ru_stime
    if text.strip().isdigit():  # ffprobe's packet count
        result["frames"] = int(text)
    if bench:
        utime, stime, rtime = map(float, bench[-1])
        result.update(utime_s=utime, stime_s=stime, rtime_s=rtime)
    frames = re.findall(r"frame=\s*(\d+)", text)
    if files is not None:
        # One line per file: the final count of each ffmpeg.
        counts = re.findall(r"^frame=\s*(\d+)", text, re.MULTILINE)
        result.update(files=files, frames=sum(map(int, counts)))
        if len(counts) != files:
            raise RuntimeError(f"expected {files} ffmpeg summaries, found {len(counts)}")
    elif frames:
        result["frames"] = int(frames[-1])
    heatmaps = re.findall(r": (\d+) QP heatmaps", text)
    if heatmaps:
        result["heatmaps"] = int(heatmaps[-1])
    return result


# --- datasets of many files ---------------------------------------------------


@workload
def dataset_extract(
    directory: str, cluster_workers: int = 0, errors_expected: bool = False, **_: Any
) -> Result:
    """mbgauge_tools.dataset.extract over every file in the directory: on
    threads of this process, or on a local Dask cluster of worker processes
    (started, and its workers' imports done, before the clock starts: a
    cluster is started once for thousands of files)."""
    import shutil
    import tempfile
    from contextlib import ExitStack
    from pathlib import Path

    _import_mbgauge()
    import pyarrow.parquet as pq

    from mbgauge_tools.dataset import extract

    files = sorted(str(path) for path in Path(directory).iterdir())
    out = Path(tempfile.mkdtemp(prefix="mbgauge-bench-dataset-"))
    try:
        with ExitStack() as stack:
            client = None
            if cluster_workers:
                from distributed import Client, LocalCluster

                cluster = stack.enter_context(
                    LocalCluster(
                        n_workers=cluster_workers,
                        threads_per_worker=1,
                        host="127.0.0.1",
                        dashboard_address="127.0.0.1:0",
                    )
                )
                client = stack.enter_context(Client(cluster))
            # One file first, on every route: what a process pays once (lazy
            # imports, FFmpeg's and Arrow's first use) is not per-file cost.
            extract(files[:1], out / "warm-up", client=client)
            workers_cpu0 = _workers_cpu_s(client)
            cpu0 = _cpu_s()
            t0 = time.perf_counter()
            table = extract(files, out / "dataset", client=client)
            t1 = time.perf_counter()
            # Under load the wall time says more about the other processes on
            # the machine than about this work: the CPU time it took, in this
            # process (the cluster's scheduler included) and on the workers,
            # does not.
            cpu_s = _cpu_s() - cpu0 + _workers_cpu_s(client) - workers_cpu0
        rows = table.to_pylist()
        failed = [row for row in rows if row["status"] != "ok"]
        if len(failed) != (len(rows) if errors_expected else 0):
            raise RuntimeError(f"{len(failed)} of {len(rows)} files failed")
        result: Result = {
            "files": len(files),
            "frames": sum(row["num_frames"] or 0 for row in rows),
            "total_s": t1 - t0,
            "cpu_s": cpu_s,
        }
        if not errors_expected:
            frames = pq.read_table(out / "dataset" / "frames").sort_by(
                [("file", "ascending"), ("frame", "ascending")]
            )
            digest = hashlib.sha256()
            for name in ("frame", "pts", "key", "mean_qp", "min_qp", "max_qp", "no_qp_share"):
                digest.update(frames[name].to_numpy().tobytes())
            result["frames_sha256"] = digest.hexdigest()
    finally:
        shutil.rmtree(out, ignore_errors=True)
    return result


def _cpu_s() -> float:
    """CPU seconds of this process and of the children it has reaped."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def _workers_cpu_s(client: Any) -> float:
    return sum((client.run(_cpu_s) if client is not None else {}).values())


# --- PyAV ------------------------------------------------------------------


def _pyav_open(
    path: str, *, threads: str = "SLICE", export_qp: bool = True, skip_loop_filter: bool = True
) -> tuple[Any, Any]:
    import av

    container = av.open(path)
    stream = container.streams.video[0]
    context = stream.codec_context
    options = {}
    if skip_loop_filter:
        options["skip_loop_filter"] = "all"
    if export_qp:
        options["export_side_data"] = "venc_params"
    context.options = options
    context.thread_type = threads
    context.thread_count = 0
    return container, stream


def _pyav_qp_from_helper(frame: Any, _shape: tuple[int, int]) -> np.ndarray:
    """PyAV's own VideoEncParams.qp_map() (int32, built block by block)."""
    from av.sidedata.sidedata import Type

    params = frame.side_data.get(Type.VIDEO_ENC_PARAMS)
    return np.clip(params.qp_map(), 0, 63).astype(np.int8)


def _pyav_qp_from_buffer(frame: Any, shape: tuple[int, int]) -> np.ndarray:
    """The side data's block array read through the buffer protocol with
    NumPy, the fastest route PyAV allows."""
    from av.sidedata.sidedata import Type

    params = frame.side_data.get(Type.VIDEO_ENC_PARAMS)
    qp_map = np.full(shape, -1, np.int8)
    count = params.nb_blocks
    if count == 0:
        return qp_map
    raw = np.frombuffer(params, np.uint8)
    # AVVideoBlockParams: src_x, src_y, w, h, delta_qp (int32 each).
    blocks = np.ndarray((count, 5), np.int32, raw, params.blocks_offset, (params.block_size, 4))
    w = np.where(blocks[:, 2] > 0, blocks[:, 2], 16)
    h = np.where(blocks[:, 3] > 0, blocks[:, 3], 16)
    rows, cols = blocks[:, 1] // h, blocks[:, 0] // w
    inside = (rows >= 0) & (rows < shape[0]) & (cols >= 0) & (cols < shape[1])
    qp_map[rows[inside], cols[inside]] = np.clip(params.qp + blocks[inside, 4], 0, 63)
    return qp_map


_PYAV_QP_ROUTES = {"helper": _pyav_qp_from_helper, "buffer": _pyav_qp_from_buffer}


@workload
def pyav_qp(path: str, route: str = "helper", **_: Any) -> Result:
    """Decodes every frame with PyAV (slice threads, no deblocking, encoding
    parameters exported) and builds each frame's QP map from its side data."""
    import av  # noqa: F401  (imported before the baseline)

    build = _PYAV_QP_ROUTES[route]
    clock = _Clock()
    container, stream = clock.opened(_pyav_open(path))
    shape = ((stream.codec_context.height + 15) // 16, (stream.codec_context.width + 15) // 16)
    digest = hashlib.sha256()
    frames = 0
    for frame in container.decode(stream):
        digest.update(build(frame, shape))
        frames += 1
    clock.stop()
    container.close()
    return clock.result(frames, qp_sha256=digest.hexdigest())


@workload
def pyav_decode(path: str, threads: str = "SLICE", **_: Any) -> Result:
    """PyAV decoding alone (no side data, no conversion): its FFmpeg's speed."""
    import av  # noqa: F401

    clock = _Clock()
    container, stream = clock.opened(_pyav_open(path, threads=threads, export_qp=False))
    frames = sum(1 for _ in container.decode(stream))
    clock.stop()
    container.close()
    return clock.result(frames)


@workload
def pyav_planes(path: str, threads: str = "SLICE", **_: Any) -> Result:
    """frame.to_ndarray() (yuv420p: Y, Cb, Cr packed in one array) per frame."""
    import av  # noqa: F401

    clock = _Clock()
    container, stream = clock.opened(_pyav_open(path, threads=threads, export_qp=False))
    digest = hashlib.sha256()
    frames = 0
    for frame in container.decode(stream):
        array = frame.to_ndarray()
        if frames % PLANE_CHECK_EVERY == 0:
            digest.update(np.ascontiguousarray(array))
        frames += 1
    clock.stop()
    container.close()
    return clock.result(frames, planes_sha256=digest.hexdigest())


class PyAVFrameReader:
    """Frame-exact random access with PyAV, written for this benchmark: the
    presentation timestamps of all packets are read once (the index); frame
    i is the i-th smallest. A query seeks to the key frame at or before the
    frame's timestamp and decodes forward until that timestamp comes out."""

    def __init__(self, path: str) -> None:
        self.container, self.stream = _pyav_open(path)
        self.pts = sorted(
            packet.pts for packet in self.container.demux(self.stream) if packet.pts is not None
        )
        self.shape = (
            (self.stream.codec_context.height + 15) // 16,
            (self.stream.codec_context.width + 15) // 16,
        )
        self.seeks = 0

    def frame(self, index: int) -> Any:
        target = self.pts[index]
        # A landing after the target (a demuxer that seeks by another
        # timestamp) is retried from further back.
        for back in (0, 1, 16, 256, len(self.pts)):
            start = self.pts[max(0, index - back)]
            self.container.seek(start, stream=self.stream, backward=True, any_frame=False)
            self.seeks += 1
            for frame in self.container.decode(self.stream):
                if frame.pts == target:
                    return frame
                if frame.pts is not None and frame.pts > target:
                    break
        raise RuntimeError(f"PyAV reader could not reach frame {index}")

    def qp_map(self, index: int) -> np.ndarray:
        return _pyav_qp_from_buffer(self.frame(index), self.shape)


@workload
def pyav_access(path: str, indices: Sequence[int], ascending: bool = False, **_: Any) -> Result:
    """The PyAV frame-exact reader over the given frames: per-call latency.
    `ascending`: asked in ascending order (its best order), the maps then
    put back in the order given, so that they compare with the others'."""
    import av  # noqa: F401

    if not ascending:
        return _access(
            path,
            PyAVFrameReader,
            _one_call_each(indices, lambda reader, index: reader.qp_map(index)),
        )
    order = sorted(range(len(indices)), key=lambda k: indices[k])
    maps: dict[int, np.ndarray] = {}

    def get(reader: PyAVFrameReader, index: int) -> np.ndarray:
        maps[index] = maps[index] if index in maps else reader.qp_map(index)
        return maps[index]

    result = _access(path, PyAVFrameReader, _one_call_each([indices[k] for k in order], get))
    digest = hashlib.sha256()
    for index in indices:
        digest.update(maps[index])
    result["qp_sha256"] = digest.hexdigest()
    return result


@workload
def pyav_open(path: str, **_: Any) -> Result:
    """The PyAV reader's index: open and read every packet's timestamp."""
    import av  # noqa: F401

    return _opening(PyAVFrameReader, path, lambda reader: len(reader.pts))


# --- mbgauge view ----------------------------------------------------------


@workload
def view_browser(
    path: str, steps: int = 0, jumps: int = 0, seed: int = 0, pause_s: float = 0.1, **_: Any
) -> Result:
    """`mbgauge view` as a person uses it: the command started, its page
    opened in headless Chromium, then `steps` presses of the right arrow
    key (each waited for, then `pause_s` of looking) and `jumps` random
    jumps. The page itself times each navigation until its frame is drawn
    (all layers' data fetched, the picture decoded). CPU time: the server's
    (the command's process), not the browser's."""
    import random
    import shutil

    from selenium import webdriver
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    t0 = time.perf_counter()
    server = subprocess.Popen(
        [sys.executable, "-m", "mbgauge_tools", "view", path, "--port", "0", "--no-browser"],
        cwd=root,
        stdout=subprocess.PIPE,
        text=True,
    )
    url = server.stdout.readline().rsplit(" at ", 1)[1].strip()  # type: ignore[union-attr]
    startup_s = time.perf_counter() - t0
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1600,1000"):
        options.add_argument(argument)
    driver = webdriver.Chrome(
        service=webdriver.ChromeService(shutil.which("chromedriver")), options=options
    )

    def shown(frame: int) -> None:
        WebDriverWait(driver, 600, poll_frequency=0.005).until(
            lambda d: d.execute_script("return document.body.dataset.shownFrame") == str(frame)
        )

    try:
        t1 = time.perf_counter()
        driver.get(url)
        shown(0)
        page_open_s = time.perf_counter() - t1
        num_frames = driver.execute_script("return mbgaugeView.state.count")
        for step in range(1, steps + 1):
            ActionChains(driver).send_keys(Keys.ARROW_RIGHT).perform()
            shown(step)
            time.sleep(pause_s)
        rng = random.Random(seed)
        for _ in range(jumps):
            frame = rng.randrange(num_frames)
            driver.execute_script("mbgaugeView.goTo(arguments[0])", frame)
            shown(frame)
            time.sleep(pause_s)
        timings = driver.execute_script("return mbgaugeView.state.timings")
        server_cpu_s = _process_cpu_s(server.pid)
    finally:
        driver.quit()
        server.terminate()
        server.wait()
    result: Result = {
        "frames": num_frames,
        "startup_s": startup_s,
        "page_open_s": page_open_s,
        "first_frame_ms": timings[0]["ms"],
        "server_cpu_s": server_cpu_s,
    }
    if steps:
        result["step"] = _latency_stats([t["ms"] / 1e3 for t in timings[1 : steps + 1]])
    if jumps:
        result["jump"] = _latency_stats([t["ms"] / 1e3 for t in timings[steps + 1 :]])
    return result


@workload
def view_frames(path: str, steps: int = 60, jumps: int = 20, seed: int = 0, **_: Any) -> Result:
    """What the viewer's server does for one frame (decode it, make its
    picture, facts and tables), timed in this process without a browser or
    threads: `steps` frames in order from frame 0, then `jumps` random
    frames, each on a session last used for a frame elsewhere. Wall and CPU
    time per frame: the CPU time is what the load of other processes does
    not inflate."""
    import random

    _import_mbgauge()
    from mbgauge_tools.view.store import ViewedFile, decode_frame

    viewed = ViewedFile(path)
    viewed.close()  # only its frame table and block-structure check are used
    session = _import_mbgauge().H264DecoderSession(path, motion_vectors=True)

    def timed(indices: Sequence[int]) -> Result:
        walls, cpus = [], []
        for index in indices:
            t0, c0 = time.perf_counter(), time.process_time()
            decode_frame(
                session, index, viewed.table[index], with_coding_blocks=viewed.coding_blocks
            )
            walls.append(time.perf_counter() - t0)
            cpus.append(time.process_time() - c0)
        return {**_latency_stats(walls), "cpu_mean_ms": float(np.mean(cpus) * 1e3)}

    step = timed(range(steps))
    rng = random.Random(seed)
    jump = timed([rng.randrange(session.num_frames) for _ in range(jumps)])
    return {"frames": session.num_frames, "step": step, "jump": jump}


def _process_cpu_s(pid: int) -> float:
    """User and system CPU time of a running process, all its threads."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main() -> None:
    params = json.loads(sys.argv[1])
    result = WORKLOADS[params.pop("workload")](**params)
    result["peak_rss_kib"] = _status_kib("VmHWM")
    usage = resource.getrusage(resource.RUSAGE_SELF)
    result.setdefault("cpu_s", usage.ru_utime + usage.ru_stime)
    json.dump(result, sys.stdout)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
