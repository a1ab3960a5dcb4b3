"""Leak and thread stress runs over the Python API.

    .venv/bin/python -m tests.support.stress leaks [--cycles 10000 --failing 1000]
    .venv/bin/python -m tests.support.stress threads [--accesses 500]

The test suite runs short versions of both.
"""

from __future__ import annotations

import argparse
import sys
import threading
from pathlib import Path

import numpy as np

import mbgauge
from tests.support import videos


def small_clip() -> Path:
    return videos.lavfi_h264(
        "stress-small", size="96x64", frames=30, extra=["-bf", "2", "-g", "10"]
    )


def threads_clip() -> Path:
    return videos.lavfi_h264(
        "stress-threads", size="192x128", frames=240, extra=["-bf", "3", "-g", "40"]
    )


def resident_kib() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def open_query_close(path: str, frame: int) -> None:
    session = mbgauge.H264DecoderSession(path)
    session.get_qpmap(frame)
    session.get_plane_data(frame, 1)
    session.get_chroma_qp_offset(frame)
    del session


def fail_to_open(path: str) -> None:
    try:
        mbgauge.H264DecoderSession(path)
    except RuntimeError:
        pass


def resident_growth_kib(cycles: int, failing: int, warm_up: int = 200) -> int:
    """Resident memory growth over `cycles` open/query/close cycles and
    `failing` failed opens, after a warm-up of the same work."""
    path = str(small_clip())
    missing = path + ".missing"
    no_video = str(
        videos.ffmpeg_video(
            "stress-audio",
            ".m4a",
            "-f",
            "lavfi",
            "-i",
            "sine=sample_rate=8000",
            "-t",
            "0.2",
            "-c:a",
            "aac",
        )
    )
    for i in range(warm_up):
        open_query_close(path, i % 30)
        fail_to_open(missing if i % 2 else no_video)
    before = resident_kib()
    for i in range(cycles):
        open_query_close(path, i % 30)
    for i in range(failing):
        fail_to_open(missing if i % 2 else no_video)
    return resident_kib() - before


def reference_answers(path: str, frames: list[int]) -> dict[int, tuple]:
    session = mbgauge.H264DecoderSession(path)
    return {
        f: (
            session.get_qpmap(f).tobytes(),
            session.get_plane_data(f, 0).tobytes(),
            session.get_chroma_qp_offset(f),
        )
        for f in sorted(set(frames))
    }


def threaded_mismatches(accesses: int, own_sessions: int = 8, shared_threads: int = 4) -> list:
    """Runs threads with a session each and threads sharing one session over
    random frames; returns the (thread, frame) pairs whose answers differ
    from a single-threaded run."""
    path = str(threads_clip())
    count = mbgauge.H264DecoderSession(path).num_frames
    plans = [
        np.random.default_rng(seed).integers(0, count, accesses).tolist()
        for seed in range(own_sessions + shared_threads)
    ]
    expected = reference_answers(path, [f for plan in plans for f in plan])
    shared = mbgauge.H264DecoderSession(path)
    mismatches: list = []
    errors: list = []

    def worker(number: int) -> None:
        try:
            session = shared if number >= own_sessions else mbgauge.H264DecoderSession(path)
            for frame in plans[number]:
                answer = (
                    session.get_qpmap(frame).tobytes(),
                    session.get_plane_data(frame, 0).tobytes(),
                    session.get_chroma_qp_offset(frame),
                )
                if answer != expected[frame]:
                    mismatches.append((number, frame))
        except Exception as error:  # noqa: BLE001 - reported to the caller
            errors.append((number, repr(error)))

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(len(plans))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return mismatches + errors


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="run", required=True)
    leaks = sub.add_parser("leaks")
    leaks.add_argument("--cycles", type=int, default=10000)
    leaks.add_argument("--failing", type=int, default=1000)
    threads = sub.add_parser("threads")
    threads.add_argument("--accesses", type=int, default=500)
    args = parser.parse_args()
    if args.run == "leaks":
        growth = resident_growth_kib(args.cycles, args.failing)
        print(
            f"resident memory grew by {growth} KiB over {args.cycles} open/query/close cycles "
            f"and {args.failing} failed opens"
        )
        sys.exit(0 if growth <= 5 * 1024 else 1)
    problems = threaded_mismatches(args.accesses)
    print(
        f"8 threads with own sessions + 4 sharing one, {args.accesses} accesses each: "
        f"{len(problems)} answers differing from one thread {problems[:10]}"
    )
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
