"""mbgauge benchmarks, side by side with the ffmpeg command and PyAV.

    .venv/bin/python bench/run.py                  # everything (about 10 min)
    .venv/bin/python bench/run.py --quick          # tiny inputs, one run each
    .venv/bin/python bench/run.py --scenarios seq_qp,open --runs 7

Scenarios: seq_qp (every frame's QP map: frame by frame, in one batch call,
with the tools on --workers threads), mvs (frame by frame with motion vectors
exported and read, beside a session without them), planes (every frame's
planes), random (random access: frame by frame, and the same frames in one
batch call), local (a 32-frame window moving forward), open (construction of a
10-minute 720p file), memory (the 64-frame cache bound), heatmap (the heatmap
command on every tenth frame), dataset (`mbgauge dataset` over 40 short 1080p
files: threads of one process vs a 2-worker Dask cluster on this machine vs
ffmpeg decoding 2 files at a time), and, only when asked for, patch (sequential QP
extraction on mbgauge's patched FFmpeg against the same FFmpeg build without
its patches, H.264 and HEVC; builds the unpatched FFmpeg with ffmpeg/build.sh
--unpatched first) and remote (every frame's QP map read from a local S3
server against the local path; the bytes and requests of a whole-file scan
and of 8 random frames of the 10-minute file; reopening with and without the
packet index cache; needs fsspec, s3fs and .venv-moto from scripts/setup.sh).
The packet index cache is off in every measurement but the reopen rows.
Every measurement runs in a fresh child process (bench/workloads.py), so its
peak resident memory is its own; the runs of the implementations being
compared are interleaved, one after another, on the same machine. Results go
to --out (default bench/results): results.json, results.md and results.png.
PyAV is optional: without it (or with --no-pyav) its rows are left out.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import json
import math
import os
import platform
import random
import shlex
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from functools import partial
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import inputs  # noqa: E402
import report  # noqa: E402

BENCH_DIR = Path(__file__).resolve().parent
WORKLOADS = BENCH_DIR / "workloads.py"
SCENARIOS = (
    "seq_qp",
    "mvs",
    "planes",
    "random",
    "local",
    "open",
    "memory",
    "heatmap",
    "dataset",
)
DATASET_FILES = 40  # files of the dataset scenario (8 with --quick)
DATASET_WORKERS = 2  # worker processes of its cluster, one thread each
SCENARIO_ROLES = {
    "seq_qp": ("main", "other", "short_gop"),
    "mvs": ("main", "short_gop"),
    "blocks": ("main", "hevc"),
    "planes": ("main",),
    "random": ("main", "short_gop"),
    "local": ("main", "short_gop"),
    "open": ("long",),
    "memory": ("main",),
    "heatmap": ("main",),
    "dataset": ("dataset",),
    "patch": ("main", "hevc"),
    "remote": ("other", "long"),
    "view": ("main", "hour"),
    "parse_only": ("noisy", "typical", "hevc1080"),
}
# Every tenth frame, as one would look through a file.
HEATMAP_FRAMES = "0::10"
HEATMAP_DIR = Path(tempfile.gettempdir()) / "mbgauge-bench-heatmaps"
# view needs Debian's chromium and chromium-driver, and an hour-long input;
# remote needs moto's server (.venv-moto); blocks needs mbgauge's FFmpeg.
OPT_IN_SCENARIOS = ("patch", "remote", "view", "parse_only", "blocks")
REMOTE_BUCKET = "mbgauge-bench"
RANDOM_FRAMES = 8  # the remote scenario's random accesses
# Frames stepped through and random jumps of the view scenario, per run.
VIEW_STEPS, VIEW_JUMPS = 60, 20
PARSE_ONLY_OFF = {"MBGAUGE_PARSE_ONLY": "0"}
RANDOM_BATCH = 32  # parse_only: frames of the random batch call

FFMPEG_DECODE = ["ffmpeg", "-hide_banner", "-nostdin", "-benchmark"]
FFPROBE_COUNT = [
    "ffprobe",
    "-v",
    "error",
    "-count_packets",
    "-select_streams",
    "v:0",
    "-show_entries",
    "stream=nb_read_packets",
    "-of",
    "csv=p=0",
]

WINDOW = 32  # local access: frames in the window
WINDOW_STEP = 16  # local access: the window moves forward this far ...
WINDOW_DRAWS = 8  # ... after this many frames drawn from it


@dataclass
class Job:
    scenario: str
    input: str
    impl: str
    # The workload's parameters for run number r (the input path is added).
    params: Callable[[int], dict[str, Any]]
    runs: int | None = None  # None: the --runs figure


@dataclass
class Plan:
    jobs: list[Job] = field(default_factory=list)

    def add(
        self,
        scenario: str,
        input_name: str,
        impl: str,
        params: dict[str, Any] | Callable[[int], dict[str, Any]],
        runs: int | None = None,
    ) -> None:
        make = params if callable(params) else (lambda _run, p=params: dict(p))
        self.jobs.append(Job(scenario, input_name, impl, make, runs))

    def command(
        self, scenario: str, input_name: str, impl: str, argv: list[str], **params: Any
    ) -> None:
        self.add(scenario, input_name, impl, {"workload": "command", "argv": argv, **params})


def ffmpeg_decode(
    path: Path | str, threads: str = "1", output: tuple[str, ...] = ("-f", "null", "-")
) -> list[str]:
    """ffmpeg's own decode of the video stream, without deblocking, as
    mbgauge decodes."""
    return [
        *FFMPEG_DECODE,
        "-threads",
        threads,
        "-skip_loop_filter",
        "all",
        "-i",
        str(path),
        "-map",
        "0:v:0",
        *output,
    ]


def random_indices(num_frames: int, count: int, seed: int) -> list[int]:
    rng = random.Random(seed)
    return [rng.randrange(num_frames) for _ in range(count)]


def window_indices(num_frames: int, count: int, seed: int) -> list[int]:
    """`count` frames drawn WINDOW_DRAWS at a time from a WINDOW-frame window
    that then moves WINDOW_STEP frames forward, from a random start."""
    rng = random.Random(seed)
    span = (math.ceil(count / WINDOW_DRAWS) - 1) * WINDOW_STEP + WINDOW
    start = rng.randrange(max(1, num_frames - span + 1))
    indices: list[int] = []
    while len(indices) < count:
        low = min(start, max(0, num_frames - WINDOW))
        high = min(num_frames, low + WINDOW)
        indices += [
            rng.randrange(low, high) for _ in range(min(WINDOW_DRAWS, count - len(indices)))
        ]
        start += WINDOW_STEP
    return indices


def build_plan(
    args: argparse.Namespace,
    paths: dict[str, Path],
    facts: dict[str, dict[str, Any]],
    roles: dict[str, str],
    pyav: bool,
) -> Plan:
    plan = Plan()
    main, short, other, long_ = roles["main"], roles["short_gop"], roles["other"], roles["long"]
    per_run = max(1, math.ceil(args.accesses / args.runs))

    if "seq_qp" in args.scenarios:
        for name in dict.fromkeys([main, other, short]):
            full = name == main
            plan.add("seq_qp", name, report.REFERENCE_QP, {"workload": "mbgauge_qp"})
            for threads in ("1", "0"):
                plan.command(
                    "seq_qp",
                    name,
                    f"ffmpeg -threads {threads}",
                    ffmpeg_decode(paths[name], threads),
                )
            plan.add("seq_qp", name, report.BATCH_QP, {"workload": "mbgauge_qp_batch"})
            plan.add(
                "seq_qp",
                name,
                f"{report.TOOLS_QP}, {args.workers} workers",
                {"workload": "mbgauge_qp_tools", "workers": args.workers},
            )
            if pyav:
                plan.add(
                    "seq_qp", name, report.PYAV_HELPER, {"workload": "pyav_qp", "route": "helper"}
                )
                if full or args.quick:
                    plan.add(
                        "seq_qp",
                        name,
                        report.PYAV_BUFFER,
                        {"workload": "pyav_qp", "route": "buffer"},
                    )
                    plan.add(
                        "seq_qp",
                        name,
                        "PyAV decode only, no QP",
                        {"workload": "pyav_decode", "threads": "SLICE"},
                    )

    if "mvs" in args.scenarios:
        for name in dict.fromkeys([main, short]):
            plan.add(
                "mvs",
                name,
                report.REFERENCE_QP,
                {"workload": "mbgauge_qp", "motion_vectors": False},
            )
            plan.add("mvs", name, report.MVS_ON, {"workload": "mbgauge_qp", "motion_vectors": True})
            plan.command("mvs", name, report.FFMPEG_1, ffmpeg_decode(paths[name]))

    if "blocks" in args.scenarios:
        for name in dict.fromkeys([main, roles["hevc"]]):
            plan.add(
                "blocks",
                name,
                report.BLOCKS_OFF,
                {"workload": "mbgauge_qp", "coding_blocks": False},
            )
            plan.add(
                "blocks", name, report.BLOCKS_ON, {"workload": "mbgauge_qp", "coding_blocks": True}
            )
            plan.command("blocks", name, report.FFMPEG_1, ffmpeg_decode(paths[name]))

    if "planes" in args.scenarios:
        plan.add("planes", main, "mbgauge get_plane_data", {"workload": "mbgauge_planes_array"})
        plan.add("planes", main, report.PLANES_PTR, {"workload": "mbgauge_planes_ptr"})
        plan.add("planes", main, report.BATCH_PLANES, {"workload": "mbgauge_planes_batch"})
        plan.command(
            "planes",
            main,
            report.FFMPEG_1,
            ffmpeg_decode(paths[main], output=("-f", "rawvideo", "-y", "/dev/null")),
        )
        if pyav:
            plan.add(
                "planes",
                main,
                "PyAV to_ndarray, slice threads",
                {"workload": "pyav_planes", "threads": "SLICE"},
            )
            plan.add(
                "planes",
                main,
                "PyAV to_ndarray, frame threads",
                {"workload": "pyav_planes", "threads": "AUTO"},
            )

    for scenario, draw in (("random", random_indices), ("local", window_indices)):
        if scenario not in args.scenarios:
            continue
        for name in dict.fromkeys([main, short]):
            frames = facts[name]["frames"]

            def params(
                run: int,
                workload: str,
                frames: int = frames,
                draw: Callable[[int, int, int], list[int]] = draw,
            ) -> dict[str, Any]:
                return {"workload": workload, "indices": draw(frames, per_run, 1000 + run)}

            plan.add(
                scenario, name, report.REFERENCE_QP, partial(params, workload="mbgauge_access")
            )
            plan.add(
                scenario,
                name,
                report.BATCH_ACCESS,
                partial(params, workload="mbgauge_batch_access"),
            )
            if pyav:
                plan.add(
                    scenario, name, report.PYAV_READER, partial(params, workload="pyav_access")
                )
                plan.add(
                    scenario,
                    name,
                    report.PYAV_READER_ASCENDING,
                    lambda run, p=partial(params, workload="pyav_access"): {  # noqa: B008
                        **p(run),
                        "ascending": True,
                    },
                )

    if "open" in args.scenarios:
        plan.add("open", long_, "mbgauge construction", {"workload": "mbgauge_open"})
        plan.command("open", long_, report.FFPROBE, [*FFPROBE_COUNT, str(paths[long_])])
        plan.command("open", long_, report.FFPROBE_STARTUP, ["ffprobe", "-version"])
        if pyav:
            plan.add(
                "open", long_, "PyAV reader index (demux all packets)", {"workload": "pyav_open"}
            )

    if "view" in args.scenarios:
        plan.add(
            "view",
            roles["hour"],
            report.VIEW,
            {"workload": "view_browser", "steps": 5, "jumps": 5},
        )
        steps, jumps = (5, 5) if args.quick else (VIEW_STEPS, VIEW_JUMPS)
        plan.add(
            "view",
            main,
            report.VIEW,
            lambda run: {"workload": "view_browser", "steps": steps, "jumps": jumps, "seed": run},
        )
        plan.add(
            "view",
            main,
            report.VIEW_SERVER,
            lambda run: {"workload": "view_frames", "steps": steps, "jumps": jumps, "seed": run},
        )
        plan.command("view", main, report.FFMPEG_1, ffmpeg_decode(paths[main]))

    if "dataset" in args.scenarios:
        name = roles["dataset"]
        directory = str(inputs.copies(paths[name], args.dataset_files))
        listing = Path(directory).with_name(Path(directory).name + ".list")
        listing.write_text("".join(f"{path}\n" for path in sorted(Path(directory).iterdir())))
        not_videos = str(inputs.not_videos(args.dataset_files))
        for impl, workers in ((report.DATASET_LOCAL, 0), (report.DATASET_CLUSTER, DATASET_WORKERS)):
            plan.add(
                "dataset",
                name,
                impl,
                {"workload": "dataset_extract", "directory": directory, "cluster_workers": workers},
            )
            # The same route over files that are no video: what it costs by itself.
            plan.add(
                "dataset",
                report.NOT_VIDEOS,
                impl,
                {
                    "workload": "dataset_extract",
                    "directory": not_videos,
                    "cluster_workers": workers,
                    "errors_expected": True,
                },
            )
        # FFmpeg's own decode of the same files, as many at a time as the
        # cluster has workers. Two ffmpegs writing progress lines into one
        # output interleave them, so each prints only its final count, as one
        # short line.
        decode = shlex.join(ffmpeg_decode("FILE"))
        script = (
            "set -o pipefail; "
            + decode.replace("FILE", '"$1"')
            + " 2>&1 | tr '\\r' '\\n' | grep -a '^frame=' | tail -n 1"
        )
        argv = [
            "xargs",
            "-a",
            str(listing),
            "-d",
            "\n",
            "-P",
            str(DATASET_WORKERS),
            "-n",
            "1",
            "bash",
            "-c",
            script,
            "bash",
        ]
        plan.command("dataset", name, report.DATASET_FFMPEG, argv, files=args.dataset_files)
    if "heatmap" in args.scenarios:
        command = Path(sys.executable).with_name("mbgauge")
        plan.command(
            "heatmap",
            main,
            f"mbgauge heatmap --frames {HEATMAP_FRAMES}, 1 worker",
            [
                str(command),
                "heatmap",
                str(paths[main]),
                "--frames",
                HEATMAP_FRAMES,
                "--out",
                str(HEATMAP_DIR),
                "--workers",
                "1",
                "-q",
                "-y",
            ],
        )
        # The decoding alone, on one thread, for the ratio.
        plan.command("heatmap", main, report.FFMPEG_1, ffmpeg_decode(paths[main]))
    if "remote" in args.scenarios:
        other, long_ = roles["other"], roles["long"]

        def url(name: str) -> str:
            return f"s3://{REMOTE_BUCKET}/{paths[name].name}"

        plan.add("remote", other, report.REMOTE_LOCAL, {"workload": "mbgauge_qp"})
        plan.add(
            "remote", other, report.REMOTE_S3, {"workload": "mbgauge_qp", "source": url(other)}
        )
        frames = facts[long_]["frames"]
        plan.add(
            "remote",
            long_,
            report.REMOTE_READS,
            lambda run: {
                "workload": "mbgauge_remote_reads",
                "source": url(long_),
                "indices": random_indices(frames, RANDOM_FRAMES, 2000 + run),
            },
        )
        for impl, source in ((report.REOPEN_LOCAL, None), (report.REOPEN_S3, url(long_))):
            plan.add("remote", long_, impl, {"workload": "mbgauge_reopen", "source": source})

    if "patch" in args.scenarios:
        unpatched = unpatched_ffmpeg_libdir()
        for name in dict.fromkeys([main, roles["hevc"]]):
            plan.add("patch", name, report.REFERENCE_QP, {"workload": "mbgauge_qp"})
            plan.add(
                "patch",
                name,
                report.UNPATCHED_QP,
                {"workload": "mbgauge_qp", "library_path": unpatched},
            )

    if "parse_only" in args.scenarios:
        for name in dict.fromkeys([roles["noisy"], roles["typical"], roles["hevc1080"]]):
            frames = facts[name]["frames"]
            plan.add("parse_only", name, report.BATCH_QP, {"workload": "mbgauge_qp_batch"})
            plan.add(
                "parse_only",
                name,
                report.PARSE_OFF_QP,
                {"workload": "mbgauge_qp_batch", "environment": PARSE_ONLY_OFF},
            )
            plan.command("parse_only", name, report.FFMPEG_1, ffmpeg_decode(paths[name]))
            for environment, impl in (({}, report.TOOLS_2), (PARSE_ONLY_OFF, report.TOOLS_2_OFF)):
                plan.add(
                    "parse_only",
                    name,
                    impl,
                    {"workload": "mbgauge_qp_tools", "workers": 2, "environment": environment},
                )
            plan.command("parse_only", name, report.FFMPEG_0, ffmpeg_decode(paths[name], "0"))
            for environment, impl in (
                ({}, report.RANDOM_BATCH),
                (PARSE_ONLY_OFF, report.RANDOM_BATCH_OFF),
            ):
                plan.add(
                    "parse_only",
                    name,
                    impl,
                    lambda run, frames=frames, environment=environment: {
                        "workload": "mbgauge_batch_access",
                        "indices": random_indices(frames, RANDOM_BATCH, 2000 + run),
                        "environment": environment,
                    },
                )

    if "memory" in args.scenarios:
        checkpoints = [1, 8, 16, 32, 48, 64, 80, 96, 128, 192, 256, 384, 512, 768]
        plan.add(
            "memory",
            main,
            "mbgauge cache growth",
            {"workload": "mbgauge_cache_growth", "checkpoints": checkpoints},
            runs=1,
        )
        plan.add(
            "memory",
            main,
            "idle: Python + NumPy + mbgauge",
            {"workload": "idle", "modules": ["numpy", "mbgauge"]},
            runs=1,
        )
        if pyav:
            plan.add(
                "memory",
                main,
                "idle: Python + NumPy + PyAV",
                {"workload": "idle", "modules": ["numpy", "av"]},
                runs=1,
            )
    return plan


def unpatched_ffmpeg_libdir() -> str:
    """The library directory of mbgauge's FFmpeg build without its patches
    (built on first use). Loaded through LD_LIBRARY_PATH, which the loader
    searches before the module's own run path, it replaces the patched
    libraries of the same version and configuration."""
    build = BENCH_DIR.parent / "ffmpeg" / "build.sh"
    print("bench: building (or finding) the unpatched FFmpeg", flush=True)
    out = subprocess.run([str(build), "--unpatched"], check=True, capture_output=True, text=True)
    return str(Path(out.stdout.splitlines()[-1]) / "lib")


def run_child(params: dict[str, Any]) -> dict[str, Any]:
    # No BLAS work happens here: one OpenBLAS thread, so that an idle BLAS
    # pool does not compete with the decoders for the cores.
    # The packet index cache would turn every opening after the first into a
    # cache hit; the workloads that measure it set it themselves.
    env = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "MBGAUGE_INDEX_CACHE": "off"}
    if "library_path" in params:
        env["LD_LIBRARY_PATH"] = params["library_path"]
    env.update(params.get("environment", {}))
    result = subprocess.run(
        [sys.executable, str(WORKLOADS), json.dumps(params)],
        capture_output=True,
        text=True,
        env=env,
    )
    if result.returncode != 0:
        raise RuntimeError(f"workload {params['workload']} failed:\n{result.stderr[-3000:]}")
    return json.loads(result.stdout.strip().splitlines()[-1])


def loadavg() -> float:
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def machine_facts(pyav: bool) -> dict[str, Any]:
    def first_line(argv: list[str]) -> str:
        try:
            return subprocess.run(argv, capture_output=True, text=True).stdout.splitlines()[0]
        except (OSError, IndexError):
            return "unknown"

    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    libs = subprocess.run(
        ["pkg-config", "--modversion", "libavformat", "libavcodec", "libavutil"],
        capture_output=True,
        text=True,
    ).stdout.split()
    facts: dict[str, Any] = {
        "nproc": os.cpu_count(),
        "cpu": cpu,
        "kernel": platform.release(),
        "memory_gib": round(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30, 1),
        "python": platform.python_version(),
        "ffmpeg_command": first_line(["ffmpeg", "-version"]),
        "system_libs": dict(zip(["libavformat", "libavcodec", "libavutil"], libs)),
        "mbgauge_commit": first_line(
            ["git", "-C", str(BENCH_DIR.parent), "rev-parse", "--short", "HEAD"]
        ),
        "mbgauge_tree_dirty": bool(
            subprocess.run(
                [
                    "git",
                    "-C",
                    str(BENCH_DIR.parent),
                    "status",
                    "--porcelain",
                    "--",
                    "session",
                    "binding",
                ],
                capture_output=True,
                text=True,
            ).stdout.strip()
        ),
    }
    if pyav:
        probe = subprocess.run(
            [
                sys.executable,
                "-c",
                "import av, json; print(json.dumps("
                "{'version': av.__version__, 'ffmpeg': av.ffmpeg_version_info, "
                "'libs': {k: '.'.join(map(str, v)) for k, v in av.library_versions.items()}}))",
            ],
            capture_output=True,
            text=True,
            check=True,
        )
        facts["pyav"] = json.loads(probe.stdout)
    return facts


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--quick", action="store_true", help="tiny inputs, one run: checks the harness works"
    )
    parser.add_argument(
        "--scenarios",
        default=",".join(SCENARIOS),
        help=f"comma-separated subset of {','.join(SCENARIOS)} (the default), "
        f"or of {','.join(SCENARIOS + OPT_IN_SCENARIOS)}",
    )
    parser.add_argument(
        "--runs", type=int, default=None, help="runs per figure (default 5; 1 with --quick)"
    )
    parser.add_argument(
        "--accesses",
        type=int,
        default=200,
        help="random/local accesses per implementation and input, spread over the runs",
    )
    parser.add_argument("--workers", type=int, default=2, help="threads for the multi-session rows")
    parser.add_argument(
        "--dataset-files",
        type=int,
        default=None,
        help=f"files of the dataset scenario (default {DATASET_FILES}; 8 with --quick)",
    )
    parser.add_argument("--no-pyav", action="store_true", help="leave PyAV out even if installed")
    parser.add_argument("--no-plot", action="store_true", help="skip the PNG")
    parser.add_argument("--out", type=Path, default=BENCH_DIR / "results")
    parser.add_argument(
        "--report-only",
        action="store_true",
        help="remake results.md and results.png from the results.json in --out",
    )
    args = parser.parse_args(argv)
    if args.report_only:
        results = json.loads((args.out / "results.json").read_text())
        (args.out / "results.md").write_text(report.markdown(results))
        if not args.no_plot:
            report.plot(results, args.out / "results.png")
        return 0
    args.scenarios = [s.strip() for s in args.scenarios.split(",") if s.strip()]
    unknown = set(args.scenarios) - set(SCENARIOS) - set(OPT_IN_SCENARIOS)
    if unknown:
        parser.error(f"unknown scenarios: {', '.join(sorted(unknown))}")
    if args.runs is None:
        args.runs = 1 if args.quick else 5
    if args.quick and args.accesses == 200:
        args.accesses = 20

    pyav = not args.no_pyav and importlib.util.find_spec("av") is not None
    catalogue = inputs.QUICK_INPUTS if args.quick else inputs.FULL_INPUTS
    roles = (
        {
            "main": "tiny-gop25",
            "other": "tiny-gop25",
            "short_gop": "tiny-gop6",
            "long": "tiny-long",
            "hevc": "tiny-hevc",
            "dataset": "tiny-gop25",
            "hour": "tiny-long",
            "noisy": "tiny-gop25",
            "typical": "tiny-gop6",
            "hevc1080": "tiny-hevc",
        }
        if args.quick
        else {
            "main": "1080p-gop250",
            "other": "720p-gop250",
            "short_gop": "1080p-gop12",
            "long": "720p-10min",
            "hevc": "720p-hevc",
            "dataset": "1080p-2s",
            "hour": "720p-1h",
            "noisy": "1080p-noisy-20s",
            "typical": "1080p-typical-20s",
            "hevc1080": "1080p-hevc-20s",
        }
    )
    if args.dataset_files is None:
        args.dataset_files = 8 if args.quick else DATASET_FILES
    # Only the inputs the chosen scenarios use are made.
    needed = {roles[role] for scenario in args.scenarios for role in SCENARIO_ROLES[scenario]}
    print(f"bench: preparing inputs in {inputs.CACHE_DIR}", flush=True)
    paths = {name: inputs.input_path(catalogue[name], catalogue) for name in sorted(needed)}
    # Every figure is taken with the inputs in the page cache: read each once.
    for path in paths.values():
        with open(path, "rb") as stream:
            while stream.read(1 << 22):
                pass
    facts: dict[str, dict[str, Any]] = {}
    for name, path in paths.items():
        facts[name] = {
            **inputs.describe(path),
            "description": catalogue[name].description,
            "file": path.name,
        }

    with contextlib.ExitStack() as stack:
        if "remote" in args.scenarios:
            remote_inputs = [roles[role] for role in SCENARIO_ROLES["remote"]]
            stack.enter_context(s3_store([paths[name] for name in remote_inputs]))
        return measure(args, paths, facts, roles, pyav)


@contextlib.contextmanager
def s3_store(files: list[Path]) -> Iterator[None]:
    """moto's S3 server on 127.0.0.1 (the tests' helper starts it), holding
    `files` in REMOTE_BUCKET; the workloads find it through the environment."""
    sys.path.insert(0, str(BENCH_DIR.parent))
    import fsspec

    from tests.support import servers

    with servers.s3_endpoint():
        fs = fsspec.filesystem("s3", skip_instance_cache=True)
        if not fs.exists(REMOTE_BUCKET):
            fs.mkdir(REMOTE_BUCKET)
        for path in files:
            fs.put_file(str(path), f"{REMOTE_BUCKET}/{path.name}")
        yield


def measure(
    args: argparse.Namespace,
    paths: dict[str, Path],
    facts: dict[str, dict[str, Any]],
    roles: dict[str, str],
    pyav: bool,
) -> int:
    plan = build_plan(args, paths, facts, roles, pyav)
    machine = machine_facts(pyav)
    print(
        f"bench: {len(plan.jobs)} measurements x {args.runs} runs; PyAV {'on' if pyav else 'off'}; "
        f"load {loadavg():.2f}",
        flush=True,
    )

    rows: list[dict[str, Any]] = []
    started = time.time()
    load_start = loadavg()
    for run in range(args.runs):
        for job in plan.jobs:
            if job.runs is not None and run >= job.runs:
                continue
            params = job.params(run)
            if job.input in paths:
                params["path"] = str(paths[job.input])
            load = loadavg()
            result = run_child(params)
            result.pop("output_tail", None)
            rows.append(
                {
                    "scenario": job.scenario,
                    "input": job.input,
                    "impl": job.impl,
                    "run": run,
                    "load": load,
                    **result,
                }
            )
            print(
                f"  run {run + 1}/{args.runs} {job.scenario:7} {job.input:13} {job.impl:40} "
                f"{report.headline(rows[-1])}",
                flush=True,
            )

    results = {
        "machine": machine,
        "inputs": facts,
        "roles": roles,
        "settings": {
            "runs": args.runs,
            "accesses": args.accesses,
            "workers": args.workers,
            "quick": args.quick,
            "scenarios": args.scenarios,
            "pyav": pyav,
            "window": WINDOW,
            "window_step": WINDOW_STEP,
            "window_draws": WINDOW_DRAWS,
        },
        "load": {"start": load_start, "end": loadavg()},
        "elapsed_s": round(time.time() - started, 1),
        "rows": rows,
    }
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "results.json").write_text(json.dumps(results, indent=1) + "\n")
    markdown = report.markdown(results)
    (args.out / "results.md").write_text(markdown)
    if not args.no_plot:
        report.plot(results, args.out / "results.png")
    print(markdown)
    print(f"bench: wrote {args.out} in {results['elapsed_s']:.0f} s", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
