"""The two ways to store a file's QP maps, side by side: a Zarr store chunked
by frames (what `mbgauge dataset --maps` writes) and one compressed `.npz`
(what `mbgauge qp` writes). Time to write and to read all frames or one
frame, bytes and files on disk, and the memory the writer must hold.

    .venv/bin/python bench/maps_store.py VIDEO [--repeat N]

With --repeat N the file's maps are written N times over (a long file made
of a short one; compression then sees repeats across its chunks, so its size
is a lower bound).
"""

from __future__ import annotations

import argparse
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import zarr

import mbgauge
from mbgauge_tools.dataset import MAPS_CHUNK_FRAMES

RUNS = 5


def timed(fn: Callable[[], object]) -> float:
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def disk(path: Path) -> tuple[int, int]:
    files = [path] if path.is_file() else [p for p in path.rglob("*") if p.is_file()]
    return sum(p.stat().st_size for p in files), len(files)


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("video")
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    session = mbgauge.H264DecoderSession(args.video)
    frames = range(session.num_frames)
    maps = np.tile(np.stack([session.get_qpmap(frame) for frame in frames]), (args.repeat, 1, 1))
    offsets = np.tile(
        np.array([session.get_chroma_qp_offset(frame) for frame in frames], np.int8),
        (args.repeat, 1),
    )
    count, rows, cols = maps.shape
    work = Path(tempfile.mkdtemp(prefix="mbgauge-maps-store-"))
    try:
        npz = work / "maps.npz"
        store = work / "maps.zarr"

        def write_npz() -> None:
            np.savez_compressed(npz, qp_maps=maps, chroma_qp_offsets=offsets)

        def write_zarr() -> None:
            # As the dataset writer does: one chunk of frames at a time.
            group = zarr.open_group(str(store), mode="w")
            array = group.create_array(
                "qp_maps",
                shape=maps.shape,
                dtype="int8",
                chunks=(min(MAPS_CHUNK_FRAMES, count), rows, cols),
                fill_value=-1,
            )
            for start in range(0, count, MAPS_CHUNK_FRAMES):
                array[start : start + MAPS_CHUNK_FRAMES] = maps[start : start + MAPS_CHUNK_FRAMES]
            group.create_array(
                "chroma_qp_offsets", shape=offsets.shape, dtype="int8", chunks=offsets.shape
            )[:] = offsets

        middle = count // 2

        def npz_all() -> None:
            with np.load(npz) as saved:
                assert np.array_equal(saved["qp_maps"], maps)

        def npz_one() -> None:
            with np.load(npz) as saved:
                saved["qp_maps"][middle]

        def zarr_all() -> None:
            assert np.array_equal(zarr.open_group(str(store), mode="r")["qp_maps"][:], maps)

        def zarr_one() -> None:
            zarr.open_group(str(store), mode="r")["qp_maps"][middle]

        results = {
            "npz": (timed(write_npz), timed(npz_all), timed(npz_one), *disk(npz), maps.nbytes),
            "zarr": (
                timed(write_zarr),
                timed(zarr_all),
                timed(zarr_one),
                *disk(store),
                min(MAPS_CHUNK_FRAMES, count) * rows * cols,
            ),
        }
    finally:
        shutil.rmtree(work)
    print(
        f"{args.video}: {count} frames of {rows}x{cols} macroblocks "
        f"({maps.nbytes / 2**20:.1f} MiB of int8), median of {RUNS} runs"
    )
    print(
        "| store | write ms | read all ms | read one frame ms | KiB on disk | files | "
        "writer holds KiB |"
    )
    print("|---|---|---|---|---|---|---|")
    for name, (write, read_all, read_one, size, files, held) in results.items():
        print(
            f"| {name} | {write * 1e3:.1f} | {read_all * 1e3:.1f} | {read_one * 1e3:.2f} | "
            f"{size / 1024:.0f} | {files} | {held / 1024:.0f} |"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
