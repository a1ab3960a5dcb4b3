"""Where mbgauge spends its time beyond FFmpeg's decoding.

    .venv/bin/python bench/profile/profile.py [--out bench/results/profile.md] [--runs 5]

1. CPU time (user + system, so that other load on the machine matters less)
   of the same whole-file QP extraction done six ways, taking turns: the
   least possible work (bench/profile/ideal.cpp: decoder as the session sets
   it up, QP map into one reused buffer, no plane copies), the session core
   without Python (bench/profile/driver.cpp), get_qpmap and get_qpmaps from Python, the
   ffmpeg command with -threads 1, and PyAV decoding alone.
2. perf (cpu-clock sampling; hardware counters are often missing in VMs):
   shares per shared object and the top symbols outside libavcodec, for
   get_qpmap, get_plane_data, copy_plane_to_ptr and random access.
3. callgrind instruction counts per shared object, session core against the
   minimal loop, on the first frames of the file.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(HERE.parent))

import inputs  # noqa: E402

PYTHON = sys.executable
WORKLOADS = HERE.parent / "workloads.py"


def pkg_config_flags() -> list[str]:
    return subprocess.run(
        ["pkg-config", "--cflags", "--libs", "libavformat", "libavcodec", "libavutil"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()


def build(build_dir: Path) -> tuple[Path, Path]:
    build_dir.mkdir(parents=True, exist_ok=True)
    driver, ideal = build_dir / "driver", build_dir / "ideal"
    sessions = sorted(str(p) for p in (ROOT / "session").glob("*.cpp"))
    common = ["g++", "-O2", "-g", "-std=c++17", f"-I{ROOT}"]
    subprocess.run(
        [*common, str(HERE / "driver.cpp"), *sessions, *pkg_config_flags(), "-o", str(driver)],
        check=True,
    )
    subprocess.run(
        [*common, str(HERE / "ideal.cpp"), *pkg_config_flags(), "-o", str(ideal)], check=True
    )
    return driver, ideal


def cpu_seconds(argv: list[str]) -> tuple[float, float]:
    """(user + system CPU seconds, wall seconds) of one run of a command."""
    import time

    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _pid, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    wall = time.perf_counter() - start
    if process.returncode != 0:
        raise RuntimeError(f"{argv} failed")
    return usage.ru_utime + usage.ru_stime, wall


# As in bench/run.py: no idle OpenBLAS pool competing for the cores.
os.environ["OPENBLAS_NUM_THREADS"] = "1"


def workload_argv(name: str, path: Path, **params: object) -> list[str]:
    return [PYTHON, str(WORKLOADS), json.dumps({"workload": name, "path": str(path), **params})]


def perf_available() -> bool:
    if shutil.which("perf") is None:
        return False
    probe = subprocess.run(
        ["perf", "record", "-e", "cpu-clock", "-o", "/dev/null", "true"], capture_output=True
    )
    return probe.returncode == 0


def perf_profile(argv: list[str], workdir: Path, top: int = 12) -> tuple[list[str], list[str]]:
    data = workdir / "perf.data"
    subprocess.run(
        ["perf", "record", "-q", "-e", "cpu-clock", "-F", "1999", "-o", str(data), "--", *argv],
        check=True,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )

    def report(sort: str) -> list[tuple[float, str]]:
        out = subprocess.run(
            [
                "perf",
                "report",
                "-i",
                str(data),
                "--stdio",
                "--no-children",
                "-g",
                "none",
                "--sort",
                sort,
            ],
            capture_output=True,
            text=True,
        ).stdout
        rows = []
        for line in out.splitlines():
            match = re.match(r"\s*([\d.]+)%\s+(.*\S)", line)
            if match and not line.lstrip().startswith("#"):
                rows.append((float(match.group(1)), re.sub(r"\s+", " ", match.group(2))))
        return rows

    dsos = [f"| {share:.2f}% | {name} |" for share, name in report("dso")[:top] if share >= 0.05]
    symbols = [
        f"| {share:.2f}% | {name} |"
        for share, name in report("dso,sym")
        if "libavcodec" not in name and share >= 0.1
    ][:top]
    return dsos, symbols


def callgrind(argv: list[str], workdir: Path, label: str) -> Path:
    out_file = workdir / f"callgrind.{label}.out"
    subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}", *argv],
        check=True,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    return out_file


def self_cost_per_object(out_file: Path, default: str) -> dict[str, int]:
    return {obj: cost for (obj, fn), cost in _self_costs(out_file, default).items() if fn == ""}


def self_cost_per_function(out_file: Path, default: str) -> dict[tuple[str, str], int]:
    return {key: cost for key, cost in _self_costs(out_file, default).items() if key[1]}


def inclusive_cost(out_file: Path, default: str, function: str) -> int:
    """Instructions executed in the named function and everything it called
    (summed over every function whose name starts with `function`)."""
    costs = _self_costs(out_file, default, inclusive=True)
    return sum(cost for (_obj, fn), cost in costs.items() if fn.startswith(function))


def _self_costs(
    out_file: Path, default: str, inclusive: bool = False
) -> dict[tuple[str, str], int]:
    """Instructions executed in each object and in each (object, function),
    read from callgrind's own file: cost lines add to the current `ob=` and
    `fn=`; the line after a `calls=` line is the inclusive cost of that call
    and is skipped. `(n)` ids name objects and functions once for later use.
    Keys (object, "") hold the per-object totals. With `inclusive`, the cost
    of calls is added to the calling function as well."""
    obj_names: dict[str, str] = {}
    fn_names: dict[str, str] = {}
    totals: dict[tuple[str, str], int] = {}
    obj, fn = default, "?"
    skip_next = False

    def resolve(value: str, table: dict[str, str]) -> str:
        match = re.match(r"(\(\d+\))?\s*(.*)", value.strip())
        assert match is not None
        ident, name = match.group(1), match.group(2)
        if name and ident:
            table[ident] = name
        return name or (table.get(ident, "?") if ident else "?")

    with open(out_file) as data:
        for line in data:
            key, _, value = line.partition("=")
            if key == "ob":
                obj = Path(resolve(value, obj_names)).name
                continue
            if key == "cob":
                resolve(value, obj_names)
                continue
            if key == "fn":
                fn = resolve(value, fn_names)
                continue
            if key == "cfn":
                resolve(value, fn_names)
                continue
            if key == "calls":
                skip_next = True
                continue
            if not line[:1] or not (line[0].isdigit() or line[0] in "+-*"):
                continue
            if skip_next:
                skip_next = False
                if inclusive:
                    fields = line.split()
                    if len(fields) >= 2:
                        totals[(obj, fn)] = totals.get((obj, fn), 0) + int(fields[1])
                continue
            fields = line.split()
            if len(fields) >= 2:
                cost = int(fields[1])
                totals[(obj, "")] = totals.get((obj, ""), 0) + cost
                totals[(obj, fn)] = totals.get((obj, fn), 0) + cost
    return totals


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--out", type=Path, default=HERE.parent / "results" / "profile.md")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--callgrind-frames", type=int, default=60)
    parser.add_argument("--input", default="1080p-gop250", choices=sorted(inputs.FULL_INPUTS))
    args = parser.parse_args()

    path = inputs.input_path(inputs.FULL_INPUTS[args.input], inputs.FULL_INPUTS)
    driver, ideal = build(ROOT / "build" / "bench-profile")
    lines = [f"# Profile of mbgauge on {args.input}", ""]
    with open("/proc/loadavg") as f:
        lines += [f"Load average at the start: {f.read().split()[0]}.", ""]

    ways = {
        "minimal loop (ideal.cpp)": [str(ideal), str(path)],
        "session core (driver.cpp, get_frame + QP map copy)": [
            str(driver),
            str(path),
            "100000",
            "seq",
            "copy",
        ],
        "Python get_qpmap (workloads.py mbgauge_qp)": workload_argv("mbgauge_qp", path),
        "Python get_qpmaps, one call (workloads.py mbgauge_qp_batch)": workload_argv(
            "mbgauge_qp_batch", path
        ),
        "ffmpeg -threads 1 -skip_loop_filter all -f null": [
            "ffmpeg",
            "-nostdin",
            "-threads",
            "1",
            "-skip_loop_filter",
            "all",
            "-i",
            str(path),
            "-f",
            "null",
            "-",
        ],
        "PyAV decode only (FFmpeg 9 build)": workload_argv("pyav_decode", path),
    }
    try:
        import av  # noqa: F401
    except ImportError:
        ways.pop("PyAV decode only (FFmpeg 9 build)")
    samples: dict[str, list[tuple[float, float]]] = {name: [] for name in ways}
    for _ in range(args.runs):
        for name, argv in ways.items():
            samples[name].append(cpu_seconds(argv))
    baseline = statistics.median(cpu for cpu, _ in samples["minimal loop (ideal.cpp)"])
    lines += [
        f"## CPU time of whole-file QP extraction (median of {args.runs}, taking turns)",
        "",
        "Process CPU time, start-up included (about 0.1-0.2 s for a Python process with "
        "NumPy, 0.05 s for the ffmpeg command).",
        "",
        "| way | CPU s median [min–max] | vs minimal loop | wall s median |",
        "|---|---|---|---|",
    ]
    for name, values in samples.items():
        cpu = [c for c, _ in values]
        wall = [w for _, w in values]
        lines.append(
            f"| {name} | {statistics.median(cpu):.2f} [{min(cpu):.2f}–{max(cpu):.2f}] | "
            f"{statistics.median(cpu) / baseline:.3f}x | {statistics.median(wall):.2f} |"
        )
    lines.append("")

    with tempfile.TemporaryDirectory() as tmp:
        workdir = Path(tmp)
        if perf_available():
            profiles = {
                "get_qpmap, every frame in order (Python)": workload_argv("mbgauge_qp", path),
                "get_qpmaps(range(n)), one call (Python)": workload_argv("mbgauge_qp_batch", path),
                "get_planes(span, 0), every frame (Python)": workload_argv(
                    "mbgauge_planes_batch", path
                ),
                "get_plane_data(f, 0..2), every frame (Python)": workload_argv(
                    "mbgauge_planes_array", path
                ),
                "copy_plane_to_ptr(f, 0..2), every frame (Python)": workload_argv(
                    "mbgauge_planes_ptr", path
                ),
                "session core, 40 random frames (driver.cpp)": [
                    str(driver),
                    str(path),
                    "40",
                    "random",
                ],
                "ffmpeg -threads 1": ways["ffmpeg -threads 1 -skip_loop_filter all -f null"],
            }
            lines += ["## perf: shares of CPU samples (cpu-clock)", ""]
            for name, argv in profiles.items():
                dsos, symbols = perf_profile(argv, workdir)
                lines += [
                    f"### {name}",
                    "",
                    "| share | shared object |",
                    "|---|---|",
                    *dsos,
                    "",
                    "Top symbols outside libavcodec:",
                    "",
                    "| share | object, symbol |",
                    "|---|---|",
                    *symbols,
                    "",
                ]
        else:
            lines += ["perf is not available here (or not allowed); no sampling profile.", ""]

        if shutil.which("valgrind"):
            frames = str(args.callgrind_frames)
            core_argv = [str(driver), str(path), frames, "seq", "copy"]
            core_file = callgrind(core_argv, workdir, "core")
            minimal_file = callgrind([str(ideal), str(path), frames], workdir, "minimal")
            core = self_cost_per_object(core_file, driver.name)
            minimal = self_cost_per_object(minimal_file, ideal.name)
            names = sorted(set(core) | set(minimal), key=lambda n: -(core.get(n, 0)))
            lines += [
                f"## callgrind: instructions per shared object, first {frames} frames",
                "",
                "Valgrind counts every iteration of `rep movsb`/`rep stosb` as an instruction, "
                "so memcpy and memset weigh more here than in time.",
                "",
                "| object | session core | minimal loop | difference |",
                "|---|---|---|---|",
            ]
            for name in names[:8]:
                a, b = core.get(name, 0), minimal.get(name, 0)
                lines.append(f"| {name} | {a:,} | {b:,} | {a - b:+,} |")
            total_core, total_minimal = sum(core.values()), sum(minimal.values())
            lines += [
                f"| total | {total_core:,} | {total_minimal:,} | {total_core - total_minimal:+,} |",
                "",
                "Top functions of the session core outside libavcodec:",
                "",
                "| instructions | share | object | function |",
                "|---|---|---|---|",
            ]
            functions = self_cost_per_function(core_file, driver.name)
            ranked = sorted(
                (
                    (cost, obj, fn)
                    for (obj, fn), cost in functions.items()
                    if "libavcodec" not in obj
                ),
                reverse=True,
            )
            for cost, obj, fn in ranked[:12]:
                lines.append(f"| {cost:,} | {cost / total_core:.2%} | {obj} | `{fn[:70]}` |")
            lines.append("")
            long_path = inputs.input_path(inputs.FULL_INPUTS["720p-10min"], inputs.FULL_INPUTS)
            open_file = callgrind([str(driver), str(long_path), "0"], workdir, "open")
            whole = inclusive_cost(open_file, driver.name, "H264DecoderSession::H264DecoderSession")
            parts = {
                "avformat_open_input + avformat_find_stream_info": inclusive_cost(
                    open_file, driver.name, "avformat_open_input"
                )
                + inclusive_cost(open_file, driver.name, "avformat_find_stream_info"),
                "av_read_frame (demuxing every packet, with the demuxer's own parser)": (
                    inclusive_cost(open_file, driver.name, "av_read_frame")
                ),
                "DisplayOrderRecovery::observe (a second H.264 parser pass)": inclusive_cost(
                    open_file, driver.name, "DisplayOrderRecovery::observe"
                ),
                "number_frames": inclusive_cost(open_file, driver.name, "number_frames"),
            }
            lines += [
                "## callgrind: construction on 720p-10min (18000 packets)",
                "",
                "| part | instructions | share of construction |",
                "|---|---|---|",
                *(f"| {name} | {cost:,} | {cost / whole:.1%} |" for name, cost in parts.items()),
                f"| construction in all | {whole:,} | 100% |",
                "",
            ]
        else:
            lines += ["valgrind is not installed; no instruction counts.", ""]

    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text("\n".join(lines))
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
