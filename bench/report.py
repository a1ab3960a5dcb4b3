"""Tables (Markdown) and a plot (PNG) from the rows bench/run.py collects."""

from __future__ import annotations

import statistics
from collections.abc import Callable, Iterable, Sequence
from functools import partial
from pathlib import Path
from typing import Any

Row = dict[str, Any]
MIB = 1024.0  # rows hold KiB

REFERENCE_QP = "mbgauge get_qpmap"
BATCH_QP = "mbgauge get_qpmaps"
TOOLS_QP = "mbgauge tools"  # followed by ", N workers"
PLANES_PTR = "mbgauge copy_plane_to_ptr"
BATCH_PLANES = "mbgauge get_planes, luma only"
BATCH_ACCESS = "mbgauge get_qpmaps, one call"
PYAV_READER_ASCENDING = "PyAV frame-exact reader, ascending order"
UNPATCHED_QP = "mbgauge get_qpmap, same FFmpeg unpatched"
FFMPEG_1 = "ffmpeg -threads 1"
FFMPEG_0 = "ffmpeg -threads 0"
PYAV_HELPER = "PyAV qp_map()"
PYAV_BUFFER = "PyAV side data via NumPy"
PYAV_READER = "PyAV frame-exact reader"
FFPROBE = "ffprobe -count_packets"
MVS_ON = "mbgauge get_qpmap + get_motion_vectors"
FFPROBE_STARTUP = "ffprobe -version (start-up only)"
DATASET_LOCAL = "mbgauge dataset, threads (local default)"
DATASET_CLUSTER = "mbgauge dataset, 2-worker Dask cluster"
DATASET_FFMPEG = "ffmpeg -threads 1, 2 files at a time"
VIEW = "mbgauge view in headless Chromium"
VIEW_SERVER = "mbgauge view's server, one frame at a time"
NOT_VIDEOS = "not-video"  # the dataset scenario's files that are no video
REMOTE_LOCAL = "mbgauge get_qpmap, local path"
REMOTE_S3 = "mbgauge get_qpmap, S3 URL (moto on 127.0.0.1)"
REMOTE_READS = "reads of an S3 URL, 1 MiB requests"
REOPEN_LOCAL = "open, then reopen from the index cache: local path"
REOPEN_S3 = "open, then reopen from the index cache: S3 URL"
DATASET_CORES = 2  # what the three dataset routes each get: 2 threads, workers or processes


# --- figures from rows -----------------------------------------------------


def fps(row: Row) -> float | None:
    """Frames per second, end to end: opening included; for a command, the
    whole process (start-up, opening, decoding)."""
    if row.get("frames") and row.get("total_s"):
        return row["frames"] / row["total_s"]
    return None


def loop_fps(row: Row) -> float | None:
    """Frames per second of the decoding loop alone (ffmpeg: -benchmark's
    rtime, which leaves out start-up and opening)."""
    seconds = row.get("loop_s") or row.get("rtime_s")
    if row.get("frames") and seconds:
        return row["frames"] / seconds
    return None


def cpu_fps(row: Row) -> float | None:
    """Frames per second of CPU time (all the process's threads): on a
    loaded machine a steadier measure of what a route costs than wall time."""
    cpu = row.get("cpu_s")
    return row["frames"] / cpu if cpu and "frames" in row else None


def open_seconds(row: Row) -> float | None:
    return row.get("open_s") if "open_s" in row else row.get("total_s")


def peak_kib(row: Row) -> int | None:
    return row.get("command_peak_rss_kib") or row.get("peak_rss_kib")


def headline(row: Row) -> str:
    scenario = row["scenario"]
    if scenario == "dataset" and not row.get("frames"):
        return f"{ms_per_file(row):8.1f} ms per file"
    if scenario == "remote" and "reopen_s" in row:
        return f"open {row['open_s']:7.3f} s  reopen {row['reopen_s']:7.4f} s"
    if scenario == "remote" and "open_bytes" in row:
        return (
            f"scan {row['open_bytes'] / row['file_bytes']:5.3f}x the file in "
            f"{row['open_requests']} requests; {row['access_frames']} frames "
            f"{row['access_bytes'] / 2**20:6.1f} MiB"
        )
    if scenario in ("seq_qp", "mvs", "planes", "dataset", "remote"):
        return f"{fps(row):8.1f} fps"
    if scenario in ("random", "local"):
        return f"mean {row['mean_ms']:8.2f} ms  p95 {row['p95_ms']:8.2f} ms"
    if scenario == "open":
        return f"{open_seconds(row):7.3f} s  {row.get('bytes_read', 0) / 2**20:7.1f} MiB read"
    if scenario == "heatmap" and row.get("heatmaps"):
        return (
            f"{row['heatmaps'] / row['total_s']:6.2f} heatmaps/s  "
            f"{row['heatmaps'] / row['cpu_s']:6.2f} per CPU s  "
            f"peak {(peak_kib(row) or 0) / MIB:7.1f} MiB"
        )
    return f"peak {(peak_kib(row) or 0) / MIB:7.1f} MiB"


def groups(rows: Iterable[Row], scenario: str) -> dict[tuple[str, str], list[Row]]:
    out: dict[tuple[str, str], list[Row]] = {}
    for row in rows:
        if row["scenario"] == scenario:
            out.setdefault((row["input"], row["impl"]), []).append(row)
    return out


def spread(values: Sequence[float | None]) -> tuple[float, float, float] | None:
    clean = [v for v in values if v is not None]
    if not clean:
        return None
    return statistics.median(clean), min(clean), max(clean)


def fmt(triple: tuple[float, float, float] | None, digits: int = 1) -> str:
    if triple is None:
        return "–"
    median, low, high = triple
    return f"{median:.{digits}f} [{low:.{digits}f}–{high:.{digits}f}]"


def median_of(rows: Sequence[Row], metric: Any) -> float | None:
    triple = spread([metric(r) for r in rows])
    return triple[0] if triple else None


def percentile(values: Sequence[float], q: float) -> float:
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    position = (len(ordered) - 1) * q / 100
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


def pooled_latencies(rows: Sequence[Row]) -> list[float]:
    return [value for row in rows for value in row.get("latencies_ms", [])]


def ratio(a: float | None, b: float | None) -> float | None:
    return a / b if a and b else None


def fmt_ratio(value: float | None) -> str:
    return "–" if value is None else f"{value:.2f}x"


# --- tables -----------------------------------------------------------------

# A function that gives a table line's cells after the input's:
# cells(implementation, its rows, peers), where peers(other) is the same
# input's rows of another implementation; None leaves the line out.
Cells = Callable[[str, list[Row], Callable[[str], list[Row]]], Sequence[Any] | None]


def _md_row(cells: Iterable[Any]) -> str:
    return "| " + " | ".join(map(str, cells)) + " |"


def _header(*columns: str) -> list[str]:
    return [_md_row(columns), "|" + "---|" * len(columns)]


def _table(
    results: dict[str, Any], scenario: str, columns: Sequence[str], cells: Cells
) -> list[str]:
    """One line per input and implementation of a scenario, in the order
    they were measured."""
    grouped = groups(results["rows"], scenario)
    lines = _header("input", *columns)
    for (input_name, impl), rows in grouped.items():
        found = cells(impl, rows, lambda other, name=input_name: grouped.get((name, other), []))
        if found is not None:
            lines.append(_md_row([input_name, *found]))
    return lines


def _spread_cell(rows: Sequence[Row], metric: Callable[[Row], Any], digits: int = 1) -> str:
    return fmt(spread([metric(r) for r in rows]), digits)


def _ratio_of(
    rows: Sequence[Row], base: Sequence[Row], metric: Callable[[Row], Any]
) -> float | None:
    return ratio(median_of(rows, metric), median_of(base, metric))


def _vs(rows: Sequence[Row], base: Sequence[Row], metric: Callable[[Row], Any]) -> str:
    return fmt_ratio(_ratio_of(rows, base, metric))


def _peak_cell(rows: Sequence[Row]) -> str:
    return _spread_cell(rows, lambda r: (peak_kib(r) or 0) / MIB, 0)


def _hash_column(rows: Sequence[Row], reference: set[str] | None, key: str) -> str:
    hashes = {r[key] for r in rows if key in r}
    if not hashes:
        return "–"
    if reference is None:
        return "–"
    return "identical" if hashes == reference else "DIFFER"


def _throughput_table(results: dict[str, Any], scenario: str, hash_key: str) -> list[str]:
    reference_impl = PLANES_PTR if scenario == "planes" else REFERENCE_QP

    def cells(impl: str, rows: list[Row], peers: Callable[[str], list[Row]]) -> list[str]:
        # A route that gives the luma plane only is checked on the luma plane.
        key = (
            "luma_sha256"
            if any("luma_sha256" in r and hash_key not in r for r in rows)
            else hash_key
        )
        reference = {r[key] for r in peers(reference_impl) if key in r} or None
        if impl == reference_impl:
            check = "reference" if reference and len(reference) == 1 else "UNSTABLE"
        else:
            check = _hash_column(rows, reference, key)
        base = peers(FFMPEG_1)
        return [
            impl,
            _spread_cell(rows, fps),
            _spread_cell(rows, loop_fps),
            f"{_vs(rows, base, fps)} / {_vs(rows, base, loop_fps)}",
            _vs(rows, peers(FFMPEG_0), fps),
            check,
            _peak_cell(rows),
        ]

    return _table(
        results,
        scenario,
        (
            "implementation",
            "frames/s end to end",
            "frames/s decode loop",
            "vs ffmpeg -threads 1 (end to end / loop)",
            "vs ffmpeg -threads 0",
            "output check",
            "peak RSS MiB",
        ),
        cells,
    )


def _patch_table(results: dict[str, Any]) -> list[str]:
    def cells(impl: str, rows: list[Row], peers: Callable[[str], list[Row]]) -> list[str]:
        unpatched = peers(UNPATCHED_QP)
        theirs = {r["qp_sha256"] for r in unpatched if "qp_sha256" in r}
        ours = {r["qp_sha256"] for r in rows if "qp_sha256" in r}
        check = "–" if impl == UNPATCHED_QP else ("identical" if ours == theirs else "differ")
        libs = sorted({Path(r.get("libavcodec", "?")).parent.parent.name for r in rows})
        return [
            "unpatched" if impl == UNPATCHED_QP else "patched",
            ", ".join(libs),
            _spread_cell(rows, loop_fps),
            _vs(rows, unpatched, loop_fps),
            check,
        ]

    return _table(
        results,
        "patch",
        ("FFmpeg", "libavcodec loaded from", "frames/s decode loop", "vs unpatched", "QP maps"),
        cells,
    )


def _access_table(results: dict[str, Any], scenario: str) -> list[str]:
    def cells(impl: str, rows: list[Row], peers: Callable[[str], list[Row]]) -> list[Any]:
        latencies = pooled_latencies(rows)
        mean = statistics.fmean(latencies) if latencies else float("nan")
        reference = {r["run"]: r.get("qp_sha256") for r in peers(REFERENCE_QP)}
        if impl == REFERENCE_QP:
            check = "reference"
        else:
            same = [reference.get(r["run"]) == r.get("qp_sha256") for r in rows]
            check = "identical" if all(same) else f"DIFFER in {same.count(False)} runs"
        return [
            impl,
            len(latencies),
            f"{mean:.2f}",
            f"{percentile(latencies, 95):.2f}",
            _spread_cell(rows, lambda r: r["mean_ms"], 2),
            _spread_cell(rows, lambda r: r["open_s"], 3),
            check,
            _peak_cell(rows),
        ]

    return _table(
        results,
        scenario,
        (
            "implementation",
            "accesses",
            "mean ms (pooled)",
            "p95 ms (pooled)",
            "per-run mean ms",
            "opening s",
            "same QP maps as mbgauge",
            "peak RSS MiB",
        ),
        cells,
    )


def _open_table(results: dict[str, Any]) -> list[str]:
    def cells(impl: str, rows: list[Row], peers: Callable[[str], list[Row]]) -> list[Any]:
        frames = rows[0].get("frames", "–")
        if impl == FFPROBE:
            frames = rows[0].get("output_tail", "").strip() or frames
        return [
            impl,
            _spread_cell(rows, open_seconds, 3),
            _vs(rows, peers(FFPROBE), open_seconds),
            _spread_cell(rows, lambda r: r.get("bytes_read", 0) / 2**20),
            frames,
            _peak_cell(rows),
        ]

    return _table(
        results,
        "open",
        (
            "implementation",
            "seconds",
            "vs ffprobe -count_packets",
            "MiB read",
            "frames",
            "peak RSS MiB",
        ),
        cells,
    )


def _remote_table(results: dict[str, Any]) -> list[str]:
    def cells(impl: str, rows: list[Row], peers: Callable[[str], list[Row]]) -> list[Any]:
        if impl == REMOTE_READS:
            size = rows[0]["file_bytes"]
            return [
                impl,
                "scan " + _spread_cell(rows, lambda r: r["open_s"], 3) + " s",
                "–",
                "scan: "
                + _spread_cell(rows, lambda r: r["open_bytes"] / size, 3)
                + "x the file in "
                + _spread_cell(rows, lambda r: r["open_requests"], 0)
                + " requests; "
                + f"{rows[0]['access_frames']} random frames: "
                + _spread_cell(rows, lambda r: r["access_bytes"] / 2**20)
                + " MiB in "
                + _spread_cell(rows, lambda r: r["access_requests"], 0)
                + " requests",
            ]
        if "reopen_s" in rows[0]:
            return [
                impl,
                "open "
                + _spread_cell(rows, lambda r: r["open_s"], 3)
                + " s, reopen "
                + _spread_cell(rows, lambda r: r["reopen_s"], 4)
                + " s",
                "–",
                "reopen / open "
                + _spread_cell(rows, lambda r: 100 * r["reopen_s"] / r["open_s"], 2)
                + " %; CPU s: open "
                + _spread_cell(rows, lambda r: r["cpu_s"], 3)
                + ", reopen "
                + _spread_cell(rows, lambda r: r["reopen_cpu_s"], 4),
            ]
        return [
            impl,
            _spread_cell(rows, fps) + " fps",
            _vs(rows, peers(REMOTE_LOCAL), fps),
            "CPU s " + _spread_cell(rows, lambda r: r.get("cpu_s"), 2),
        ]

    return _table(results, "remote", ("implementation", "time", "vs local path", "details"), cells)


def _memory_lines(results: dict[str, Any]) -> list[str]:
    lines: list[str] = []
    for (input_name, impl), rows in groups(results["rows"], "memory").items():
        row = rows[0]
        if impl == "mbgauge cache growth":
            record = row["record_bytes"]
            cache = record * row["cache_capacity"]
            lines += [
                f"Cache growth on {input_name}: one frame record is {record / 2**20:.2f} MiB "
                f"(three planes at the decoder's stride plus the QP map), so a full "
                f"{row['cache_capacity']}-frame cache holds {cache / 2**20:.0f} MiB. "
                f"Resident memory after importing: {row['rss_after_import_kib'] / MIB:.0f} MiB, "
                f"after opening: {row['rss_after_open_kib'] / MIB:.0f} MiB, peak "
                f"{row['peak_rss_kib'] / MIB:.0f} MiB.",
                "",
                *_header("frames decoded", "resident MiB", "above the opened session, MiB"),
            ]
            for frames, kib in sorted(
                row["rss_kib_after_frames"].items(), key=lambda kv: int(kv[0])
            ):
                lines.append(
                    _md_row(
                        [
                            frames,
                            f"{kib / MIB:.0f}",
                            f"{(kib - row['rss_after_open_kib']) / MIB:.0f}",
                        ]
                    )
                )
            lines.append("")
        else:
            lines.append(f"- {impl}: {row['peak_rss_kib'] / MIB:.0f} MiB peak resident")
    return lines


def _dataset_table(results: dict[str, Any]) -> list[str]:
    def cells(impl: str, rows: list[Row], peers: Callable[[str], list[Row]]) -> list[Any]:
        ffmpeg, local = peers(DATASET_FFMPEG), peers(DATASET_LOCAL)
        reference = {r["frames_sha256"] for r in local if "frames_sha256" in r} or None
        return [
            impl,
            rows[0].get("files", "–"),
            rows[0].get("frames"),
            _spread_cell(rows, lambda r: r.get("total_s"), 2),
            _spread_cell(rows, ms_per_file),
            _spread_cell(rows, fps),
            _vs(rows, local, fps),
            _spread_cell(rows, lambda r: r.get("cpu_s"), 2),
            _spread_cell(rows, cpu_fps),
            _vs(rows, ffmpeg, cpu_fps),
            _vs(rows, local, cpu_fps),
            _hash_column(rows, reference, "frames_sha256"),
        ]

    return _table(
        results,
        "dataset",
        (
            "implementation",
            "files",
            "frames",
            "seconds",
            "ms per file",
            "frames/s",
            "vs local default",
            "CPU s",
            "frames per CPU s",
            "vs ffmpeg",
            "vs local default",
            "frames table",
        ),
        cells,
    )


def ms_per_file(row: Row) -> float | None:
    return row["total_s"] / row["files"] * 1e3 if row.get("files") else None


def heatmap_rates(rows: list[Row]) -> tuple[float | None, float | None, float | None]:
    """Median heatmaps per second of wall time and per CPU second, and the
    median peak memory in MiB, of the runs of the heatmap command."""
    done = [r for r in rows if r.get("heatmaps")]
    if not done:
        return None, None, None
    wall = statistics.median(r["heatmaps"] / r["total_s"] for r in done)
    cpu = statistics.median(r["heatmaps"] / r["cpu_s"] for r in done)
    return wall, cpu, statistics.median((peak_kib(r) or 0) / MIB for r in done)


def _heatmap_table(results: dict[str, Any]) -> list[str]:
    def cells(impl: str, rows: list[Row], peers: Callable[[str], list[Row]]) -> list[str] | None:
        if impl == FFMPEG_1:
            return None
        wall, cpu, peak = heatmap_rates(rows)
        decoding = _vs(rows, peers(FFMPEG_1), lambda r: r.get("total_s"))
        return [
            impl,
            f"{wall or 0:.2f}",
            f"{cpu or 0:.2f}",
            f"{decoding} of ffmpeg -threads 1's decoding time",
            f"{peak or 0:.0f}",
        ]

    return _table(
        results,
        "heatmap",
        ("command", "heatmaps/s", "heatmaps per CPU second", "decode-only ratio", "peak MiB"),
        cells,
    )


def _by_input(rows: Iterable[Row], scenario: str) -> list[tuple[str, Callable[[str], list[Row]]]]:
    """Each input of a scenario, in the order measured, with a function
    that gives its rows of an implementation."""
    grouped = groups(rows, scenario)
    return [
        (name, lambda impl, name=name: grouped.get((name, impl), []))
        for name in dict.fromkeys(k[0] for k in grouped)
    ]


def _target(target: str, name: str, measured: str, met: Any) -> str:
    return _md_row([target, name, measured, "yes" if met else "no"])


def targets(results: dict[str, Any]) -> list[str]:
    rows = results["rows"]
    lines = _header("target", "input", "measured", "met")
    for (input_name, impl), group in groups(rows, "heatmap").items():
        if impl == FFMPEG_1:
            continue
        wall, cpu, peak = heatmap_rates(group)
        if cpu is not None and peak is not None:
            lines.append(
                _target(
                    "heatmaps >= 4/s on one core, peak < 400 MiB",
                    input_name,
                    f"{cpu:.2f} per CPU second ({wall:.2f}/s wall), peak {peak:.0f} MiB",
                    cpu >= 4 and peak < 400,
                )
            )
    seq = groups(rows, "seq_qp")
    for name, of in _by_input(rows, "seq_qp"):
        ours, ff1, ff0 = of(REFERENCE_QP), of(FFMPEG_1), of(FFMPEG_0)
        reference = {x["qp_sha256"] for x in ours}
        if ours and ff1:
            r_end = _ratio_of(ours, ff1, fps)
            exact = all(
                _hash_column(seq[k], reference, "qp_sha256") == "identical"
                for k in seq
                if k[0] == name and "qp_sha256" in seq[k][0] and k[1] != REFERENCE_QP
            )
            lines.append(
                _target(
                    "QP extraction >= 0.9x ffmpeg -threads 1, maps exact",
                    name,
                    f"{fmt_ratio(r_end)} end to end, {_vs(ours, ff1, loop_fps)} loop; maps "
                    f"{'identical to every other route' if exact else 'NOT identical'}",
                    r_end is not None and r_end >= 0.9 and exact,
                )
            )
        for pyav_impl in (PYAV_HELPER, PYAV_BUFFER):
            theirs = of(pyav_impl)
            if ours and theirs:
                r = _ratio_of(ours, theirs, fps)
                lines.append(
                    _target(f"QP extraction >= 5x {pyav_impl}", name, fmt_ratio(r), r and r >= 5)
                )
        batch = of(BATCH_QP)
        if batch and ff1:
            r = _ratio_of(batch, ff1, fps)
            peak = median_of(batch, peak_kib)
            exact = _hash_column(batch, reference, "qp_sha256")
            met = r is not None and r >= 0.98 and peak is not None and peak <= 150 * MIB
            lines.append(
                _target(
                    "get_qpmaps(range(n)) >= 0.98x ffmpeg -threads 1 end to end, peak RSS <= 150 MiB",
                    name,
                    f"{fmt_ratio(r)}, peak {(peak or 0) / MIB:.0f} MiB, maps {exact}",
                    met and exact == "identical",
                )
            )
        for impl in (k[1] for k in seq if k[0] == name and k[1].startswith(TOOLS_QP)):
            tools = seq[(name, impl)]
            r = _ratio_of(tools, ff0, fps)
            exact = _hash_column(tools, reference, "qp_sha256")
            lines.append(
                _target(
                    f"{impl} >= 1.1x ffmpeg -threads 0, 0 cells differing",
                    name,
                    f"{fmt_ratio(r)} ({_vs(tools, ff1, fps)} of -threads 1), maps {exact}",
                    r and r >= 1.1 and exact == "identical",
                )
            )
    for name, of in _by_input(rows, "planes"):
        batch, ff1 = of(BATCH_PLANES), of(FFMPEG_1)
        if batch and ff1:
            r = _ratio_of(batch, ff1, fps)
            lines.append(
                _target(
                    "get_planes every frame >= 0.95x ffmpeg -threads 1 -f rawvideo",
                    name,
                    fmt_ratio(r),
                    r and r >= 0.95,
                )
            )
    for name, of in _by_input(rows, "mvs"):
        off, on = of(REFERENCE_QP), of(MVS_ON)
        if off and on:
            r = _ratio_of(on, off, loop_fps)
            same = {x["qp_sha256"] for x in on} == {x["qp_sha256"] for x in off}
            lines.append(
                _target(
                    "motion-vector export costs <= 15 % frames/s, maps unchanged",
                    name,
                    f"{fmt_ratio(r)} of the loop frames/s without it ({_vs(on, off, cpu_fps)} in "
                    f"frames per CPU second); maps {'identical' if same else 'DIFFER'}",
                    r is not None and r >= 0.85 and same,
                )
            )
    for name, of in _by_input(rows, "random"):
        single, batch = pooled_latencies(of(REFERENCE_QP)), pooled_latencies(of(BATCH_ACCESS))
        pyav = [pooled_latencies(of(impl)) for impl in (PYAV_READER, PYAV_READER_ASCENDING)]
        best_pyav = min((statistics.fmean(ms) for ms in pyav if ms), default=None)
        if single and batch:
            speedup = statistics.fmean(single) / statistics.fmean(batch)
            versus = (
                f"; {best_pyav / statistics.fmean(batch):.2f}x faster than PyAV's best "
                f"frame-exact route"
                if best_pyav
                else ""
            )
            lines.append(
                _target(
                    "one get_qpmaps call >= 2.5x faster than get_qpmap calls in the same order, "
                    "faster than PyAV",
                    name,
                    f"{speedup:.2f}x{versus}",
                    speedup >= 2.5 and (best_pyav is None or statistics.fmean(batch) < best_pyav),
                )
            )
        their_ms = pyav[0]
        if single and their_ms:
            mean_ours, mean_theirs = statistics.fmean(single), statistics.fmean(their_ms)
            p95_ours, p95_theirs = percentile(single, 95), percentile(their_ms, 95)
            lines.append(
                _target(
                    "random access latency <= PyAV",
                    name,
                    f"mean {mean_ours:.1f} vs {mean_theirs:.1f} ms ({mean_ours / mean_theirs:.2f}x), "
                    f"p95 {p95_ours:.1f} vs {p95_theirs:.1f} ms",
                    mean_ours <= mean_theirs,
                )
            )
    for name, of in _by_input(rows, "open"):
        ours, probe = of("mbgauge construction"), of(FFPROBE)
        if ours and probe:
            r = _ratio_of(ours, probe, open_seconds)
            startup = median_of(of(FFPROBE_STARTUP), open_seconds)
            probe_s = median_of(probe, open_seconds)
            net = ""
            if startup is not None and probe_s is not None and probe_s > startup:
                net_ratio = ratio(median_of(ours, open_seconds), probe_s - startup)
                net = f" ({fmt_ratio(net_ratio)} of ffprobe's time less its start-up)"
            lines.append(
                _target(
                    "opening < 1.5x ffprobe -count_packets",
                    name,
                    f"{fmt_ratio(r)}{net}",
                    r is not None and r < 1.5,
                )
            )
    for name, of in _by_input(rows, "remote"):
        local, s3 = of(REMOTE_LOCAL), of(REMOTE_S3)
        if local and s3:
            r = _ratio_of(s3, local, fps)
            lines.append(
                _target(
                    "whole-file QP from S3 >= 0.8x the local path",
                    name,
                    f"{fmt_ratio(r)} of its frames/s",
                    r is not None and r >= 0.8,
                )
            )
        reads = of(REMOTE_READS)
        if reads:
            scan = median_of(reads, lambda r: r["open_bytes"] / r["file_bytes"])
            lines.append(
                _target(
                    "whole-file scan reads <= 1.1x the file",
                    name,
                    f"{scan:.3f}x",
                    scan is not None and scan <= 1.1,
                )
            )
        for impl in (REOPEN_LOCAL, REOPEN_S3):
            wall = median_of(of(impl), lambda r: r["reopen_s"] / r["open_s"])
            cpu = median_of(of(impl), lambda r: r["reopen_cpu_s"] / r["cpu_s"])
            if wall is not None and cpu is not None:
                lines.append(
                    _target(
                        "reopen <= 5 % of the first open (CPU time)",
                        f"{name}, {impl.rsplit(': ', 1)[1]}",
                        f"{cpu * 100:.2f} % of its CPU time ({wall * 100:.2f} % of its wall time)",
                        cpu <= 0.05,
                    )
                )
    for name, of in _by_input(rows, "dataset"):
        local, cluster = of(DATASET_LOCAL), of(DATASET_CLUSTER)
        if name == NOT_VIDEOS:
            ours, theirs = median_of(cluster, ms_per_file), median_of(local, ms_per_file)
            if ours is not None and theirs is not None:
                lines.append(
                    _md_row(
                        [
                            "(measured) per-file overhead of the cluster path",
                            name,
                            f"{ours - theirs:.1f} ms per file ({ours:.1f} ms on the cluster, "
                            f"{theirs:.1f} ms on threads)",
                            "–",
                        ]
                    )
                )
        elif local and cluster:
            r = _ratio_of(cluster, local, fps)
            lines.append(
                _target(
                    "2-worker cluster within 15 % of the local default",
                    name,
                    f"{fmt_ratio(r)} of its frames/s ({_vs(cluster, local, cpu_fps)} per CPU second)",
                    r is not None and r >= 0.85,
                )
            )
    return lines


_ACCESS_INTRO = (
    "{accesses} accesses per implementation and input, spread over the runs (the same frames "
    "for every reader in each run); latencies of single get_qpmap calls (PyAV: seek, decode to "
    "the frame, build its QP map); for the one get_qpmaps call of each run, its time shared out "
    "over its frames."
)


# The sections of the report, in order, each shown when its scenario was run:
# title, a paragraph before the table (str.format'ed with the settings), and
# the table.
def _view_table(results: dict[str, Any]) -> list[str]:
    def cells(impl: str, rows: list[Row], peers: Callable[[str], list[Row]]) -> list[str] | None:
        if impl != VIEW:
            return None
        decode_ms = median_of(
            peers(FFMPEG_1), lambda r: 1e3 * r["total_s"] / r["frames"] if r.get("frames") else None
        )

        def latency(kind: str, key: str) -> str:
            return _spread_cell(rows, lambda r: r[kind][key] if kind in r else None, 0)

        return [
            _spread_cell(rows, lambda r: r["startup_s"], 2),
            _spread_cell(rows, lambda r: r["page_open_s"], 2),
            latency("step", "p50_ms"),
            latency("step", "p95_ms"),
            latency("jump", "p50_ms"),
            latency("jump", "max_ms"),
            "–" if decode_ms is None else f"{decode_ms:.1f}",
            _spread_cell(rows, lambda r: r["server_cpu_s"], 1),
        ]

    def server_cells(
        impl: str, rows: list[Row], peers: Callable[[str], list[Row]]
    ) -> list[str] | None:
        if impl != VIEW_SERVER:
            return None
        decode = peers(FFMPEG_1)
        ffmpeg_cpu_ms = median_of(
            decode, lambda r: 1e3 * r["cpu_s"] / r["frames"] if r.get("frames") else None
        )

        def cell(kind: str, key: str) -> str:
            return _spread_cell(rows, lambda r: r[kind][key], 0)

        def per_decoded(kind: str) -> str:
            ours = median_of(rows, lambda r: r[kind]["cpu_mean_ms"])
            if ours is None or not ffmpeg_cpu_ms:
                return "–"
            return f"{ours / ffmpeg_cpu_ms:.1f}"

        return [
            cell("step", "p50_ms"),
            cell("step", "cpu_mean_ms"),
            per_decoded("step"),
            cell("jump", "p50_ms"),
            cell("jump", "max_ms"),
            cell("jump", "cpu_mean_ms"),
            per_decoded("jump"),
            "–" if ffmpeg_cpu_ms is None else f"{ffmpeg_cpu_ms:.1f}",
        ]

    server = _table(
        results,
        "view",
        (
            "next frame ms",
            "next frame CPU ms",
            "in ffmpeg frames",
            "random frame ms",
            "random frame max ms",
            "random frame CPU ms",
            "in ffmpeg frames",
            "ffmpeg -threads 1 CPU ms per frame",
        ),
        server_cells,
    )
    return [
        *_table(
            results,
            "view",
            (
                "server start s",
                "page open s",
                "next frame p50 ms",
                "next frame p95 ms",
                "random jump p50 ms",
                "random jump max ms",
                "ffmpeg -threads 1 ms per frame",
                "server CPU s",
            ),
            cells,
        ),
        "",
        "The server's work for one frame, without a browser:",
        "",
        *server,
    ]


SECTIONS: dict[str, tuple[str, str, Callable[[dict[str, Any]], list[str]]]] = {
    "seq_qp": (
        "Sequential QP extraction",
        "",
        partial(_throughput_table, scenario="seq_qp", hash_key="qp_sha256"),
    ),
    "mvs": (
        "Motion-vector export",
        "One session without motion vectors and one that exports and reads them, over the "
        "same frames in order.",
        partial(_throughput_table, scenario="mvs", hash_key="qp_sha256"),
    ),
    "planes": (
        "Sequential planes",
        "",
        partial(_throughput_table, scenario="planes", hash_key="planes_sha256"),
    ),
    "random": ("Random access", _ACCESS_INTRO, partial(_access_table, scenario="random")),
    "local": (
        "Local access (32-frame window moving forward)",
        _ACCESS_INTRO,
        partial(_access_table, scenario="local"),
    ),
    "open": ("Opening", "", _open_table),
    "memory": ("Memory", "", _memory_lines),
    "dataset": (
        "Datasets of many files",
        "The same files (hard links to one input) through `mbgauge_tools.dataset.extract` "
        "on threads of one process (the command's default) and on a local Dask cluster of "
        f"{DATASET_CORES} worker processes (started before the clock), and decoded by "
        f"{DATASET_CORES} ffmpeg processes at a time. Seconds: the whole run, writing the "
        "Parquet dataset included. CPU s: all processes' CPU time (the cluster's: this "
        "process with its scheduler, and the workers), which other work on the machine does "
        "not inflate as it does the wall time; a cluster's processes also spend CPU time while "
        f"idle. The {NOT_VIDEOS} rows run both routes over text files named like videos "
        "(each an error row): what a route costs per file by itself.",
        _dataset_table,
    ),
    "heatmap": ("Heatmaps", "", _heatmap_table),
    "remote": (
        "Reading from an object store",
        "moto's S3 server on 127.0.0.1 holds copies of the inputs; sessions open their `s3://` "
        "URLs through fsspec/s3fs, 1 MiB per request. Every frame's QP map through the URL "
        "against the local path; what opening (the whole-file scan) and 8 random frames read "
        "of the 10-minute file; and a first open against a reopen that finds the packet index "
        "in the cache (the time of each, in one process).",
        _remote_table,
    ),
    "view": (
        "`mbgauge view` in the browser",
        "The command started on the input (server start: until it prints its URL, the file "
        "opened and indexed), its page opened in headless Chromium (page open: until the "
        "first frame is drawn), then the right arrow key pressed for each of the next "
        "frames, with 0.1 s of looking after each, and random jumps. Milliseconds: from the "
        "navigation until the page has drawn the frame with every layer's data, measured "
        "by the page. Server CPU s: the command's process over the whole run. Then the "
        "server's work for one frame (decode, picture, facts, tables) timed alone, in order "
        "and at random frames, with its CPU time also counted in frames of ffmpeg's "
        "single-threaded decode of the same file.",
        _view_table,
    ),
    "patch": (
        "mbgauge's FFmpeg against the same build without its patches",
        "The same mbgauge module, once on its own FFmpeg and once with the unpatched build "
        "of the same version and configuration put first by LD_LIBRARY_PATH. H.264 must "
        "give identical maps at the same speed; HEVC maps differ (the unpatched decoder "
        "exports no QPs), and the speed difference is the cost of the export.",
        _patch_table,
    ),
}


def markdown(results: dict[str, Any]) -> str:
    machine, settings = results["machine"], results["settings"]
    out = [
        "# mbgauge benchmark results",
        "",
        f"Machine: {machine['nproc']} cores, {machine['cpu']}, {machine['memory_gib']} GiB, "
        f"Linux {machine['kernel']}, Python {machine['python']}. "
        f"Load average {results['load']['start']:.2f} at the start, "
        f"{results['load']['end']:.2f} at the end; {results['elapsed_s']:.0f} s in all.",
        "",
        f"System FFmpeg (mbgauge and the ffmpeg/ffprobe commands): {machine['ffmpeg_command']}; "
        + ", ".join(f"{k} {v}" for k, v in machine["system_libs"].items())
        + ".",
        "",
    ]
    if "pyav" in machine:
        pyav = machine["pyav"]
        out += [
            f"PyAV {pyav['version']} with its bundled FFmpeg {pyav['ffmpeg']} "
            f"(libavcodec {pyav['libs'].get('libavcodec')}): a different FFmpeg build from the "
            f"system one.",
            "",
        ]
    out += [
        f"mbgauge commit {machine['mbgauge_commit']}"
        + (
            " (with uncommitted changes in session/ or binding/)"
            if machine["mbgauge_tree_dirty"]
            else ""
        )
        + f". Figures: median [min–max] of {settings['runs']} runs, each a fresh process; the "
        f"implementations compared take turns within each run.",
        "",
    ]
    out += ["Inputs:", ""]
    for name, facts in results["inputs"].items():
        out.append(
            f"- `{name}`: {facts['description']}; {facts['frames']} frames, "
            f"{facts['bytes'] / 2**20:.1f} MiB, {facts['mbit_per_s']} Mbit/s"
        )
    out.append("")
    present = {r["scenario"] for r in results["rows"]}
    for scenario, (title, intro, table) in SECTIONS.items():
        if scenario in present:
            out += [
                f"## {title}",
                "",
                *([intro.format(**settings), ""] if intro else []),
                *table(results),
                "",
            ]
    out += ["## Targets", "", *targets(results), ""]
    return "\n".join(out)


# --- plot --------------------------------------------------------------------


def plot(results: dict[str, Any], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = results["rows"]
    fig, axes = plt.subplots(2, 3, figsize=(16, 9))

    def not_run(ax: Any, title: str) -> None:
        ax.set_title(title, fontsize=10)
        ax.text(0.5, 0.5, "not run", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()

    def bars(
        ax: Any,
        grouped: dict[tuple[str, str], list[Row]],
        metric: Any,
        title: str,
        xlabel: str,
        only_input: str | None = None,
        log: bool = False,
    ) -> None:
        labels, medians, lows, highs = [], [], [], []
        for (input_name, impl), group in grouped.items():
            if only_input is not None and input_name != only_input:
                continue
            triple = spread([metric(r) for r in group])
            if triple is None:
                continue
            labels.append(impl if only_input else f"{impl} · {input_name}")
            medians.append(triple[0])
            lows.append(triple[0] - triple[1])
            highs.append(triple[2] - triple[0])
        if not labels:
            not_run(ax, title)
            return
        ypos = range(len(labels))
        colors = [
            "tab:blue"
            if label.startswith("mbgauge")
            else "tab:gray"
            if label.startswith("ff")
            else "tab:orange"
            for label in labels
        ]
        ax.barh(list(ypos), medians, xerr=[lows, highs], color=colors, capsize=3)
        ax.set_yticks(list(ypos), labels, fontsize=7)
        ax.invert_yaxis()
        ax.set_title(title, fontsize=10)
        ax.set_xlabel(xlabel, fontsize=8)
        if log:
            ax.set_xscale("log")
        for y, value, high in zip(ypos, medians, highs):
            ax.text(value + high, y - 0.3, f" {value:.3g}", va="center", fontsize=7)

    main = results["roles"]["main"]
    end_to_end = "frames/s (end to end)"
    bars(
        axes[0][0],
        groups(rows, "seq_qp"),
        fps,
        f"Sequential QP maps, {main}",
        end_to_end,
        only_input=main,
    )
    others = {k: v for k, v in groups(rows, "seq_qp").items() if k[0] != main}
    bars(axes[0][1], others, fps, "Sequential QP maps, other inputs", end_to_end)
    bars(
        axes[0][2],
        groups(rows, "planes"),
        fps,
        f"Sequential planes, {main}",
        end_to_end,
        only_input=main,
    )

    def latency_panel(ax: Any) -> None:
        labels, means, p95s = [], [], []
        for scenario in ("random", "local"):
            for (input_name, impl), group in groups(rows, scenario).items():
                latencies = pooled_latencies(group)
                if latencies:
                    labels.append(f"{scenario}: {impl} · {input_name}")
                    means.append(statistics.fmean(latencies))
                    p95s.append(percentile(latencies, 95))
        if not labels:
            not_run(ax, "Access latency per frame")
            return
        ypos = list(range(len(labels)))
        colors = ["tab:blue" if "mbgauge" in label else "tab:orange" for label in labels]
        ax.barh(ypos, means, color=colors)
        ax.scatter(p95s, ypos, marker="|", color="black", s=80, label="p95", zorder=3)
        ax.set_yticks(ypos, labels, fontsize=7)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_title("Access latency per frame (bar: mean, tick: p95)", fontsize=10)
        ax.set_xlabel("ms (log scale)", fontsize=8)
        ax.legend(fontsize=7)
        for y, value in zip(ypos, means):
            ax.text(value, y, f" {value:.3g}", va="center", fontsize=7)

    latency_panel(axes[1][0])

    long_ = results["roles"]["long"]
    bars(
        axes[1][1],
        groups(rows, "open"),
        open_seconds,
        f"Opening, {long_}",
        "seconds",
        only_input=long_,
    )

    ax = axes[1][2]
    for (input_name, impl), group in groups(rows, "memory").items():
        if impl == "mbgauge cache growth":
            row = group[0]
            points = sorted((int(k), v / MIB) for k, v in row["rss_kib_after_frames"].items())
            ax.plot(
                [p[0] for p in points],
                [p[1] for p in points],
                marker="o",
                label=f"resident, {input_name}",
            )
            ax.axhline(
                row["rss_after_open_kib"] / MIB
                + row["record_bytes"] * row["cache_capacity"] / 2**20,
                color="gray",
                linestyle="--",
                label="after opening + 64 records",
            )
            ax.axvline(row["cache_capacity"], color="gray", linestyle=":")
            ax.set_xscale("log", base=2)
    ax.set_title("Memory, decoding forward (64-frame cache)", fontsize=10)
    ax.set_xlabel("frames decoded", fontsize=8)
    ax.set_ylabel("MiB", fontsize=8)
    if not ax.lines:
        not_run(ax, "Memory, decoding forward (64-frame cache)")
    else:
        ax.legend(fontsize=7)

    for row_axes in axes:
        for ax in row_axes:
            ax.tick_params(labelsize=7)
    fig.suptitle(
        f"mbgauge benchmarks ({results['machine']['nproc']} cores, {results['machine']['cpu']}); "
        f"blue mbgauge, grey ffmpeg/ffprobe, orange PyAV; whiskers min–max",
        fontsize=10,
    )
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)
