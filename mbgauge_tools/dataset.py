"""Per-frame QP datasets of whole video collections, as Parquet, made on one
machine or on a Dask cluster.

    from mbgauge_tools.dataset import extract
    files = extract(["videos/"], "qp-dataset", client=None, maps=True)

Every input file is one task. The task decodes the file, writes its own
outputs under `out` (its frames as one Parquet file, its QP maps as one Zarr
store) under a temporary name and renames them when complete, and hands back
only the file's one-row summary. The frames file is renamed last, so a file
whose frames file exists is complete; the summary travels inside that
file's Parquet metadata, which is how a resumed run learns about work a
previous run finished. Without a Dask client the tasks run on threads of
this process (one per core), which needs no cluster.

Inputs and `out` may be URLs that fsspec knows (``s3://bucket/videos/*.mp4``,
``--out s3://bucket/dataset``): the tasks read the videos straight from the
store, and each task's frames file is written under a unique temporary name
and then copied to its final name in one step, which an object store makes
visible whole or not at all (there is no rename). A file's QP map store is
written to a local temporary directory and uploaded, object by object, before
its frames file is committed: there too a map store counts only once its
frames file exists (a task that stopped between the two leaves a store that
the next run replaces).

Layout of `out`:

    frames/NAME-HASH.parquet   one row per frame of each readable file
    maps/NAME-HASH.zarr        with maps=True: qp_maps (frames x mb_rows x
                               mb_cols, int8, -1: no QP) and
                               chroma_qp_offsets (frames x 2: cb, cr)
    files.parquet              one row per input file, written at the end
"""

from __future__ import annotations

import json
import os
import shutil
import sys
import tempfile
import threading
import time
import uuid
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor, as_completed
from contextlib import ExitStack
from hashlib import sha1
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
import pyarrow as pa
import pyarrow.parquet as pq
from tqdm import tqdm

from mbgauge import H264DecoderSession

from . import remote
from .files import atomic_output
from .info import FRAME_TABLE_COLUMNS
from .parallel import FrameJob, Frames, SessionPool, default_workers, run_spans
from .qpmaps import BLOCK_SCALE_CODECS, CellMaps, maps_by_size
from .stats import STATS_DTYPE, frame_stats, stats_span

if TYPE_CHECKING:
    import distributed

FRAMES_SCHEMA = pa.schema(
    [
        ("file", pa.string()),
        ("frame", pa.int64()),
        ("pts", pa.int64()),
        ("time", pa.float64()),
        ("key", pa.bool_()),
        ("pict_type", pa.string()),
        ("packet_size", pa.int64()),
        ("width", pa.int32()),
        ("height", pa.int32()),
        ("mean_qp", pa.float64()),
        ("min_qp", pa.int16()),
        ("max_qp", pa.int16()),
        ("no_qp_share", pa.float64()),
        ("cb_qp_offset", pa.int8()),
        ("cr_qp_offset", pa.int8()),
    ]
)

FILES_SCHEMA = pa.schema(
    [
        ("file", pa.string()),
        ("status", pa.string()),
        ("error", pa.string()),
        ("num_frames", pa.int64()),
        ("width", pa.int32()),
        ("height", pa.int32()),
        ("codec", pa.string()),
        ("fps", pa.float64()),
        ("seconds", pa.float64()),
    ]
)

# Suffixes of the files a directory is searched for; files named explicitly
# are tried whatever their name.
VIDEO_SUFFIXES = frozenset(
    {
        ".264",
        ".265",
        ".3g2",
        ".3gp",
        ".avi",
        ".f4v",
        ".flv",
        ".h264",
        ".h265",
        ".hevc",
        ".m2t",
        ".m2ts",
        ".m2v",
        ".m4v",
        ".mkv",
        ".mov",
        ".mp4",
        ".mpeg",
        ".mpg",
        ".mts",
        ".mxf",
        ".ogv",
        ".ts",
        ".vob",
        ".webm",
        ".wmv",
    }
)

# Frames per Zarr chunk: a chunk of 1080p maps is 256 x 68 x 120 bytes (2 MB
# before compression), and a one-minute file takes seven.
MAPS_CHUNK_FRAMES = 256

# Where a file's summary row is kept in its frames file's Parquet metadata.
_ROW_METADATA_KEY = b"mbgauge.file"
# The input's size and modification time when it was read: a resumed run
# redoes a file replaced since under the same path.
_SOURCE_METADATA_KEY = b"mbgauge.source"


def _source_stamp(path: str) -> dict[str, int] | None:
    try:
        status = os.stat(path)
    except OSError:
        return None
    return {"size": status.st_size, "mtime_ns": status.st_mtime_ns}


_PARTIAL = ".partial-"


class DatasetExistsError(FileExistsError):
    """The output directory already holds a dataset, and neither resuming it
    nor replacing it was asked for."""


def find_inputs(paths: Iterable[str | os.PathLike[str]]) -> list[str]:
    """The input files, in the order given, each once, as absolute paths:
    files as they are, directories searched recursively for video files (by
    suffix), and `@LIST` read as a text file of paths, one per line (blank
    lines and lines starting with # skipped; relative paths are taken
    relative to the list's directory). A directory's files come in the
    order of their paths."""
    found: dict[str, None] = {}
    for path in _expand_lists(paths):
        if isinstance(path, str):
            for url in _expand_url(path):
                found.setdefault(url)
            continue
        if path.is_dir():
            videos = [
                os.path.abspath(os.path.join(root, name))
                for root, _, names in os.walk(path)
                for name in names
                if Path(name).suffix.lower() in VIDEO_SUFFIXES
            ]
            for video in sorted(videos):
                found.setdefault(video)
        else:
            found.setdefault(os.path.abspath(path))
    return list(found)


def _expand_url(url: str) -> list[str]:
    """A URL as it is; one with glob characters, or naming a directory (a
    prefix), as the video files it matches, in the order of their names."""
    fs, path = remote.filesystem(url)
    if any(char in path for char in "*?["):
        names = fs.glob(path)
    elif fs.isdir(path):
        names = [name for name in fs.find(path) if Path(name).suffix.lower() in VIDEO_SUFFIXES]
    else:
        return [url]
    if not names:
        raise FileNotFoundError(f"no video files match {url}")
    return [fs.unstrip_protocol(name) for name in sorted(names)]


def _expand_lists(paths: Iterable[str | os.PathLike[str]]) -> Iterator[Path | str]:
    for path in paths:
        text = os.fspath(path)
        if remote.is_remote(text):
            yield text
            continue
        if not text.startswith("@"):
            yield Path(text)
            continue
        listing = Path(text[1:])
        try:
            lines = listing.read_text(encoding="utf-8").splitlines()
        except (OSError, UnicodeDecodeError) as error:
            raise OSError(f"cannot read the list of paths {listing}: {error}") from None
        for line in lines:
            entry = line.strip()
            if entry and not entry.startswith("#"):
                yield entry if remote.is_remote(entry) else listing.parent / entry


def output_name(path: str) -> str:
    """The name stem of one input's outputs: its own name plus a hash of its
    full path, so that equal names in different directories do not collide
    and a rerun finds the same name again."""
    digest = sha1(os.fsencode(path)).hexdigest()[:12]
    return f"{Path(path).stem}-{digest}"


def frames_path(out: str | os.PathLike[str], path: str) -> Path:
    return Path(out) / "frames" / f"{output_name(path)}.parquet"


def maps_path(out: str | os.PathLike[str], path: str) -> Path:
    return Path(out) / "maps" / f"{output_name(path)}.zarr"


def frames_url(out: str, path: str) -> str:
    """frames_path of an `out` that is a URL."""
    return f"{out.rstrip('/')}/frames/{output_name(path)}.parquet"


def maps_url(out: str, path: str) -> str:
    """maps_path of an `out` that is a URL."""
    return f"{out.rstrip('/')}/maps/{output_name(path)}.zarr"


def extract(
    paths: Iterable[str | os.PathLike[str]],
    out: str | os.PathLike[str],
    *,
    client: distributed.Client | None = None,
    maps: bool = False,
    resume: bool = False,
    overwrite: bool = False,
    progress: bool = False,
) -> pa.Table:
    """Writes the dataset of the input files to `out` and returns its files
    table (one row per input: file, status 'ok' or 'error', error, num_frames,
    width, height, codec, fps, seconds).

    `paths` are files, directories (searched for video files) or `@LIST`
    files of paths. With `client` (a `distributed.Client`) every file is a
    task on its cluster; the workers must see the files and `out` at the same
    paths. Without it, files are decoded on threads of this process.

    A file that cannot be read becomes an 'error' row; the others go on.
    `resume` keeps the files a previous run into `out` completed and does
    the rest; `overwrite` replaces a dataset already in `out`. Without
    either, an `out` that holds a dataset raises DatasetExistsError."""
    inputs = find_inputs(paths)
    if not inputs:
        raise FileNotFoundError("no video files found in the paths given")
    if remote.is_remote(os.fspath(out)):
        return _extract_to_store(
            inputs,
            os.fspath(out),
            client,
            maps=maps,
            resume=resume,
            overwrite=overwrite,
            progress=progress,
        )
    out = Path(out)
    _prepare(out, resume=resume, overwrite=overwrite)
    rows: dict[str, dict[str, Any]] = {}
    if resume:
        for path in inputs:
            row = _completed_row(out, path, maps)
            if row is not None:
                rows[path] = row
    _extract_missing(inputs, rows, out, maps, client, progress)
    _remove_partials(out)
    table = pa.Table.from_pylist([rows[path] for path in inputs], schema=FILES_SCHEMA)
    _write_parquet_atomically(table, out / "files.parquet")
    return table


def extract_file(
    path: str, out: str, maps: bool = False, workers: int = 1, stop: threading.Event | None = None
) -> dict[str, Any]:
    """One task: decodes the file (on `workers` sessions in threads), writes
    its frames (and maps) under `out` and returns its row of the files
    table. A file that cannot be read gives an error row; an output that
    cannot be written raises."""
    started = time.perf_counter()
    source = _source_stamp(path)
    try:
        pool = SessionPool(path)
    except Exception as error:  # the extension's RuntimeError, or an OSError
        return _error_row(path, error, time.perf_counter() - started)
    session = pool.first
    try:
        frames = session.frame_table()
        count = len(frames)
        stats = np.empty(count, STATS_DTYPE)
        writer = _MapsWriter(out, path, session, count) if maps else None
        try:
            work = _stats_and_maps if maps else _stats_only
            filled = 0
            for result in run_spans([FrameJob(pool, range(count))], work, workers):
                if stop is not None and stop.is_set():
                    raise KeyboardInterrupt
                span_stats, span_maps = result.value
                stats[filled : filled + len(span_stats)] = span_stats
                filled += len(span_stats)
                if writer is not None and span_maps is not None:
                    for qp, row in zip(span_maps, span_stats):
                        writer.add(qp, row["cb_qp_offset"], row["cr_qp_offset"])
            if writer is not None:
                writer.finish()
        except BaseException:
            if writer is not None:
                writer.discard()
            raise
    except (RuntimeError, IndexError, ValueError, MemoryError) as error:
        # A damaged file: the extension reports what it could not decode.
        return _error_row(path, error, time.perf_counter() - started)
    row = {
        "file": path,
        "status": "ok",
        "error": None,
        "num_frames": count,
        "width": session.width,
        "height": session.height,
        "codec": session.codec,
        "fps": session.fps,
        "seconds": time.perf_counter() - started,
    }
    table = _frames_as_table(path, frames, stats)
    table = table.replace_schema_metadata(
        {
            _ROW_METADATA_KEY: json.dumps(row).encode(),
            _SOURCE_METADATA_KEY: json.dumps(source).encode(),
        }
    )
    if remote.is_remote(out):
        _commit_to_store(table, frames_url(out, path))
    else:
        _write_parquet_atomically(table, frames_path(out, path))
    return row


def _stats_only(session: H264DecoderSession, frames: Frames) -> tuple[Any, None]:
    # The dataset's frames table has no block columns.
    return stats_span(session, frames, blocks=False), None


def _stats_and_maps(session: H264DecoderSession, frames: Frames) -> tuple[Any, list[CellMaps]]:
    # Where the picture size changes mid-stream, the span is taken in runs
    # of one size; the store pads the smaller maps (see _MapsWriter).
    stats: list[npt.NDArray[np.void]] = []
    maps: list[CellMaps] = []
    for part, part_maps in maps_by_size(session, frames):
        stats.append(frame_stats(part, part_maps, session.get_chroma_qp_offsets(part)))
        maps.extend(part_maps)
    return np.concatenate(stats), maps


def _frames_as_table(
    path: str, frames: npt.NDArray[np.void], stats: npt.NDArray[np.void]
) -> pa.Table:
    columns: dict[str, Any] = {
        "file": pa.array([path] * len(frames), pa.string()),
        "frame": stats["frame"],
    }
    for name in FRAME_TABLE_COLUMNS[1:]:
        columns[name] = frames[name]
    for name in STATS_DTYPE.names or ():
        if name != "frame":
            columns[name] = stats[name]
    # A frame without any QP has no minimum or maximum: null, not -1, so
    # that min() and max() over the column skip it.
    masks = {name: stats[name] < 0 for name in ("min_qp", "max_qp")}
    return pa.table(
        {
            name: pa.array(columns[name], type=field.type, mask=masks.get(name))
            for name, field in zip(FRAMES_SCHEMA.names, FRAMES_SCHEMA)
        },
        schema=FRAMES_SCHEMA,
    )


class _MapsWriter:
    """A file's QP maps written into a Zarr store chunk by chunk as frames
    arrive, so that memory holds one chunk, not the whole file's maps."""

    def __init__(self, out: str, path: str, session: H264DecoderSession, count: int) -> None:
        import zarr

        # An object store's maps are made in a local directory and uploaded.
        self.url = maps_url(out, path) if remote.is_remote(out) else None
        self.frames_url = frames_url(out, path) if self.url is not None else None
        if self.url is None:
            self.target = maps_path(out, path)
            self.target.parent.mkdir(parents=True, exist_ok=True)
        else:
            self.target = Path(tempfile.mkdtemp(prefix="mbgauge-maps-")) / "maps.zarr"
        self.partial = self.target.with_name(f".{self.target.name}{_PARTIAL}{uuid.uuid4().hex}")
        try:
            self._create(zarr, path, session, count)
        except BaseException:
            self.discard()
            raise

    def _create(self, zarr: Any, path: str, session: H264DecoderSession, count: int) -> None:
        # Room for the largest picture of the file: a map of a smaller one
        # (the size changes mid-stream) fills the top-left of its cells, and
        # the rest read -1, no QP. The frames table gives each frame's size.
        table = session.frame_table()
        rows = max(session.mb_rows, -(-int(table["height"].max(initial=0)) // 16))
        cols = max(session.mb_cols, -(-int(table["width"].max(initial=0)) // 16))
        # VP9's quantiser index (0..255) needs int16 cells.
        self.dtype = np.int16 if session.codec in BLOCK_SCALE_CODECS else np.int8
        group = zarr.open_group(store=str(self.partial), mode="w")
        group.attrs.update({"file": path, "width": session.width, "height": session.height})
        chunk = max(1, min(MAPS_CHUNK_FRAMES, count))
        self.qp_maps = group.create_array(
            "qp_maps",
            shape=(count, rows, cols),
            chunks=(chunk, rows, cols),
            dtype=self.dtype,
            fill_value=-1,
        )
        self.offsets = group.create_array(
            "chroma_qp_offsets", shape=(count, 2), chunks=(max(count, 1), 2), dtype="int8"
        )
        self.buffer = np.empty((chunk, rows, cols), self.dtype)
        self.all_offsets = np.empty((count, 2), np.int8)
        self.filled = 0

    def add(self, qp: CellMaps, cb: int, cr: int) -> None:
        chunk = len(self.buffer)
        if qp.shape[0] > self.buffer.shape[1] or qp.shape[1] > self.buffer.shape[2]:
            raise ValueError(
                f"frame {self.filled} has {qp.shape[0]}x{qp.shape[1]} macroblocks, more than "
                f"the {self.buffer.shape[1]}x{self.buffer.shape[2]} of the store"
            )
        cells = self.buffer[self.filled % chunk]
        cells.fill(-1)
        cells[: qp.shape[0], : qp.shape[1]] = qp
        self.all_offsets[self.filled] = (cb, cr)
        self.filled += 1
        if self.filled % chunk == 0:
            self.qp_maps[self.filled - chunk : self.filled] = self.buffer

    def finish(self) -> None:
        chunk = len(self.buffer)
        rest = self.filled % chunk
        if rest:
            self.qp_maps[self.filled - rest : self.filled] = self.buffer[:rest]
        self.offsets[:] = self.all_offsets
        if self.url is not None:
            self._upload()
            return
        if self.target.exists():  # left by a run that stopped before its frames file
            shutil.rmtree(self.target)
        os.rename(self.partial, self.target)

    def _upload(self) -> None:
        assert self.url is not None and self.frames_url is not None
        fs, target = remote.filesystem(self.url)
        try:
            # The frames file is the mark of a complete file: one left by an
            # earlier run (without maps) must not vouch for a partial upload.
            frames = remote.filesystem(self.frames_url)[1]
            if fs.exists(frames):
                fs.rm(frames)
            if fs.exists(target):  # left by a run that stopped before its frames file
                fs.rm(target, recursive=True)
            fs.put(f"{self.partial}/", f"{target}/", recursive=True)
        finally:
            self.discard()

    def discard(self) -> None:
        shutil.rmtree(self.partial, ignore_errors=True)
        if self.url is not None:
            shutil.rmtree(self.target.parent, ignore_errors=True)


def _extract_missing(
    inputs: list[str],
    rows: dict[str, dict[str, Any]],
    out: Path | str,
    maps: bool,
    client: distributed.Client | None,
    progress: bool,
) -> None:
    """Extracts the inputs that have no row yet, on threads or on the cluster,
    and adds their rows."""
    todo = [path for path in inputs if path not in rows]
    with tqdm(
        total=len(inputs), initial=len(rows), unit="file", disable=not progress, leave=False
    ) as bar:
        if client is None:
            completed = _run_on_threads(todo, out, maps)
        else:
            completed = _run_on_cluster(client, todo, out, maps)
        for row in completed:
            rows[row["file"]] = row
            bar.update()


def _run_on_threads(paths: Sequence[str], out: Path | str, maps: bool) -> Iterator[dict[str, Any]]:
    if not paths:
        return
    stop = threading.Event()
    cores = default_workers()
    # One file per core; fewer files than cores share the cores out.
    per_file = max(1, cores // len(paths))
    executor = ThreadPoolExecutor(
        max_workers=min(cores, len(paths)), thread_name_prefix="mbgauge-dataset"
    )
    try:
        futures = {
            executor.submit(extract_file, path, os.fspath(out), maps, per_file, stop): path
            for path in paths
        }
        yield from _rows_as_completed(as_completed(futures), futures)
    finally:
        stop.set()
        executor.shutdown(wait=True, cancel_futures=True)


def _run_on_cluster(
    client: distributed.Client, paths: Sequence[str], out: Path | str, maps: bool
) -> Iterator[dict[str, Any]]:
    from distributed import as_completed as cluster_completed

    if not paths:
        return
    # Keys named after the files, so that the dashboard tells which file a
    # task is; the random part keeps two runs over one file on one cluster
    # apart.
    futures = {
        client.submit(
            extract_file,
            path,
            out if isinstance(out, str) else os.fspath(out.absolute()),
            maps,
            key=f"mbgauge-dataset-{output_name(path)}-{uuid.uuid4().hex[:8]}",
            pure=False,
            retries=2,
        ): path
        for path in paths
    }
    try:
        yield from _rows_as_completed(cluster_completed(futures), futures)
    finally:
        client.cancel(list(futures))


def _rows_as_completed(done: Iterable[Any], paths_of: dict[Any, str]) -> Iterator[dict[str, Any]]:
    started = time.perf_counter()
    for future in done:
        try:
            yield future.result()
        except Exception as error:
            # Writing the outputs failed, or the cluster gave the task up
            # (its workers kept dying): still one row, not a lost file.
            yield _error_row(paths_of[future], error, time.perf_counter() - started)


def _error_row(path: str, error: BaseException, seconds: float) -> dict[str, Any]:
    lines = str(error).strip().splitlines()
    message = lines[0] if lines else type(error).__name__
    if not isinstance(error, RuntimeError) and lines:
        message = f"{type(error).__name__}: {message}"
    return {
        "file": path,
        "status": "error",
        "error": message,
        "num_frames": None,
        "width": None,
        "height": None,
        "codec": None,
        "fps": None,
        "seconds": seconds,
    }


def _prepare(out: Path, *, resume: bool, overwrite: bool) -> None:
    holds_dataset = (out / "files.parquet").exists() or any(
        (out / part).is_dir() and any((out / part).iterdir()) for part in ("frames", "maps")
    )
    if holds_dataset and not resume:
        if not overwrite:
            raise DatasetExistsError(f"{out} already holds a dataset")
        for part in ("frames", "maps"):
            shutil.rmtree(out / part, ignore_errors=True)
        (out / "files.parquet").unlink(missing_ok=True)
    (out / "frames").mkdir(parents=True, exist_ok=True)
    _remove_partials(out)


def _remove_partials(out: Path) -> None:
    """Removes what tasks of a killed worker or an interrupted run left
    behind under temporary names."""
    for part in ("frames", "maps"):
        directory = out / part
        if directory.is_dir():
            for leftover in directory.glob(f".*{_PARTIAL}*"):
                if leftover.is_dir():
                    shutil.rmtree(leftover, ignore_errors=True)
                else:
                    leftover.unlink(missing_ok=True)


def _completed_row(out: Path, path: str, maps: bool) -> dict[str, Any] | None:
    """The files-table row a previous run left for this input, if that run
    completed its outputs from the file now at that path (same size and
    modification time)."""
    finished = frames_path(out, path)
    if not finished.exists() or (maps and not maps_path(out, path).exists()):
        return None
    try:
        metadata = pq.read_schema(finished).metadata or {}
        row: dict[str, Any] = json.loads(metadata[_ROW_METADATA_KEY])
        source = json.loads(metadata[_SOURCE_METADATA_KEY])
    except (OSError, KeyError, ValueError, pa.ArrowException):
        return None
    if source is None or source != _source_stamp(path):
        return None
    return row if row.get("file") == path else None


def _write_parquet_atomically(table: pa.Table, target: Path) -> None:
    target.parent.mkdir(parents=True, exist_ok=True)
    with atomic_output(target) as stream:
        pq.write_table(table, stream)


def _extract_to_store(
    inputs: list[str],
    out: str,
    client: distributed.Client | None,
    *,
    maps: bool,
    resume: bool,
    overwrite: bool,
    progress: bool,
) -> pa.Table:
    """extract() into an object store (or any fsspec URL)."""
    fs, root = remote.filesystem(out)
    root = root.rstrip("/")
    fs.invalidate_cache()
    holds_dataset = fs.exists(f"{root}/files.parquet") or bool(_store_frames(fs, root))
    if holds_dataset and not resume:
        if not overwrite:
            raise DatasetExistsError(f"{out} already holds a dataset")
        for name in [*_store_frames(fs, root), f"{root}/files.parquet"]:
            if fs.exists(name):
                fs.rm(name)
        if fs.exists(f"{root}/maps"):
            fs.rm(f"{root}/maps", recursive=True)
    _remove_store_partials(fs, root)
    rows: dict[str, dict[str, Any]] = {}
    if resume:
        finished = set(_store_frames(fs, root))
        for path in inputs:
            name = remote.filesystem(frames_url(out, path))[1]
            row = _store_row(fs, name, path) if name in finished else None
            if (
                row is not None
                and maps
                and not fs.exists(remote.filesystem(maps_url(out, path))[1])
            ):
                row = None
            if row is not None:
                rows[path] = row
    _extract_missing(inputs, rows, out, maps, client, progress)
    _remove_store_partials(fs, root)
    table = pa.Table.from_pylist([rows[path] for path in inputs], schema=FILES_SCHEMA)
    _commit_to_store(table, f"{out.rstrip('/')}/files.parquet")
    return table


def _store_frames(fs: Any, root: str) -> list[str]:
    """The committed frames files under `root`/frames of a store."""
    try:
        names = fs.ls(f"{root}/frames", detail=False, refresh=True)
    except FileNotFoundError:
        return []
    return [name for name in names if name.endswith(".parquet") and _PARTIAL not in name]


def _remove_store_partials(fs: Any, root: str) -> None:
    try:
        names = fs.ls(f"{root}/frames", detail=False, refresh=True)
    except FileNotFoundError:
        return
    for name in names:
        if _PARTIAL in name:
            fs.rm(name)


def _store_row(fs: Any, name: str, path: str) -> dict[str, Any] | None:
    try:
        with fs.open(name, "rb") as file:
            metadata = pq.read_schema(file).metadata or {}
        row: dict[str, Any] = json.loads(metadata[_ROW_METADATA_KEY])
    except (OSError, KeyError, ValueError, pa.ArrowException):
        return None
    return row if row.get("file") == path else None


def _commit_to_store(table: pa.Table, url: str) -> None:
    """Writes `table` as Parquet to `url`: first whole under a unique
    temporary name, then copied to its name, which the store makes visible
    in one step, and the temporary object removed."""
    fs, target = remote.filesystem(url)
    parent, name = target.rsplit("/", 1)
    partial = f"{parent}/.{name}{_PARTIAL}{uuid.uuid4().hex}"
    try:
        with fs.open(partial, "wb") as stream:
            pq.write_table(table, stream)
        fs.copy(partial, target)
    finally:
        try:
            fs.rm(partial)
        except FileNotFoundError:
            pass


def run_command(args: Any) -> int:
    """`mbgauge dataset`: 0 when every file was read, 1 when any failed."""
    with ExitStack() as stack:
        client = None
        if args.scheduler:
            from distributed import Client

            client = stack.enter_context(Client(args.scheduler, timeout="30s"))
        try:
            table = extract(
                args.paths,
                args.out,
                client=client,
                maps=args.maps,
                resume=args.resume,
                overwrite=args.overwrite,
                progress=not args.quiet and sys.stderr.isatty(),
            )
        except DatasetExistsError as error:
            raise DatasetExistsError(
                f"{error}: continue it with --resume, or replace it with -y/--overwrite"
            ) from None
    files = table.to_pylist()
    failed = [row for row in files if row["status"] != "ok"]
    frames = sum(row["num_frames"] or 0 for row in files)
    for row in failed:
        print(f"{row['file']}: {row['error']}", file=sys.stderr)
    print(
        f"{args.out}: {len(files) - len(failed)} of {len(files)} files, {frames} frames"
        + (f"; {len(failed)} failed" if failed else "")
    )
    return 1 if failed else 0
