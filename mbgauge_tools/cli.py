"""The `mbgauge` command: stream properties, QP map export, per-frame QP
statistics and QP heatmaps of video files.

Every failure the user can fix (a missing file, a file without video, a bad
frame range, an unwritable output) is reported in one line on stderr with
exit status 2; Ctrl-C stops the workers and exits with status 130, leaving no
half-written output file.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import re
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from importlib.metadata import version
from pathlib import Path
from typing import Never, NoReturn, TypeVar

from tqdm import tqdm

import mbgauge

from .frames import FrameRangeError, FrameSelection, parse_frame_range, select_frames
from .info import PROPERTIES, stream_info
from .parallel import FrameJob, FrameResult, FrameWork, SessionPool, default_workers, run_jobs
from .plotting import plot_mean_qp, render_heatmap, save_figure
from .qpmaps import MixedMapSizes, QpMaps, qp_record
from .stats import frame_stats, gather_stats, summary_lines, table_lines, write_csv

EXIT_ERROR = 2
EXIT_INTERRUPTED = 130

T = TypeVar("T")


class CommandError(Exception):
    """A request the command cannot carry out, told to the user in one line."""


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(_attach_negative_frames(sys.argv[1:] if argv is None else argv))
    try:
        status = args.run(args)
    except KeyboardInterrupt:
        print("mbgauge: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (`mbgauge stats x | head`): stop
        # quietly, and keep Python from complaining while flushing at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (CommandError, FrameRangeError, RuntimeError, OSError) as error:
        # RuntimeError is how the extension reports a file it cannot open or a
        # frame it cannot decode; its message names the file.
        print(f"mbgauge: error: {error}", file=sys.stderr)
        return EXIT_ERROR
    return status or 0


# Commands

def run_info(args: argparse.Namespace) -> None:
    infos = [{"file": path, **stream_info(mbgauge.H264DecoderSession(path))} for path in args.files]
    if args.json:
        json.dump(infos, sys.stdout, indent=2)
        print()
        return
    columns = ("file", *PROPERTIES)
    cells = [[_format_cell(info[name]) for name in columns] for info in infos]
    widths = [max(len(name), *(len(row[i]) for row in cells)) for i, name in enumerate(columns)]
    left_aligned = {"file", "pix_fmt"}
    for row in [list(columns), *cells]:
        print("  ".join(cell.ljust(width) if name in left_aligned else cell.rjust(width)
                        for name, cell, width in zip(columns, row, widths)).rstrip())


def run_qp(args: argparse.Namespace) -> None:
    jobs = _open_jobs(args.files, args.frames)
    outputs = _output_paths(args.files, args.out, ".qp.npz", default_here=True)
    with _progress(jobs, args.quiet) as bar:
        for number, results in _per_job(run_jobs(jobs, qp_record, args.workers), bar):
            try:
                maps = QpMaps.gather(results, len(jobs[number].frames))
            except MixedMapSizes as error:
                raise CommandError(f"{jobs[number].pool.path}: {error}") from None
            maps.save(outputs[number])
            _, rows, cols = maps.qp_maps.shape
            tqdm.write(f"{outputs[number]}: QP maps of {len(maps.frames)} frames, "
                       f"{rows}x{cols} macroblocks")


def run_stats(args: argparse.Namespace) -> None:
    jobs = _open_jobs(args.files, args.frames)
    csv_paths = _output_paths(args.files, args.csv, ".stats.csv") if args.csv else None
    plot_paths = _output_paths(args.files, args.plot, ".mean-qp.png") if args.plot else None
    with _progress(jobs, args.quiet) as bar:
        all_stats = [gather_stats(results, len(jobs[number].frames))
                     for number, results in _per_job(run_jobs(jobs, frame_stats, args.workers), bar)]
    for number, (job, stats) in enumerate(zip(jobs, all_stats)):
        session = job.pool.first
        if number:
            print()
        if csv_paths is None:
            # The per-frame rows go to exactly one place: the CSV, or stdout.
            print("\n".join(table_lines(stats)), end="\n\n")
        print(f"{job.pool.path}: {len(stats)} of {session.num_frames} frames, "
              f"{session.width}x{session.height}, {session.mb_cols}x{session.mb_rows} macroblocks")
        for line in summary_lines(stats):
            print(f"  {line}")
        if csv_paths is not None:
            write_csv(stats, csv_paths[number])
            print(f"  per-frame CSV       {csv_paths[number]}")
        if plot_paths is not None:
            save_figure(plot_mean_qp(stats, label=Path(job.pool.path).name), plot_paths[number])
            print(f"  mean QP plot        {plot_paths[number]}")


def run_heatmap(args: argparse.Namespace) -> None:
    job = _open_jobs([args.file], args.frames if args.frame is None else args.frame)[0]
    session, label = job.pool.first, Path(args.file).name
    qp_range = _parse_qp_range(args.qp_range) if args.qp_range else None
    if args.frame is not None:
        outputs = _output_paths([args.file], args.out, ".png")
    else:
        directory = Path(args.out)
        directory.mkdir(parents=True, exist_ok=True)
        outputs = [directory / f"frame_{frame:06d}.png" for frame in job.frames]
        # One colour scale for the whole series, so that frames compare.
        qp_range = qp_range or _qp_range_of(job)
    with _progress([job], args.quiet) as bar:
        for frame, output in zip(job.frames, outputs):
            save_figure(render_heatmap(session, frame, qp_range=qp_range, label=label), output)
            bar.update()
    if args.frame is not None:
        print(f"{outputs[0]}: QP heatmap of frame {job.frames[0]}")
    else:
        print(f"{args.out}: {len(outputs)} QP heatmaps, frame_{job.frames[0]:06d}.png "
              f"to frame_{job.frames[-1]:06d}.png")


def run_dataset(args: argparse.Namespace) -> int:
    try:
        from . import dataset
    except ImportError as error:
        raise CommandError(f"mbgauge dataset needs {error.name}: "
                           "pip install 'mbgauge[dataset]'") from None
    return dataset.run_command(args)


# Helpers

def _open_jobs(files: Sequence[str], frames: FrameSelection) -> list[FrameJob]:
    """Opens every file and checks the frame selection against each before
    any work starts, so that a bad input fails at once."""
    if isinstance(frames, str):
        frames = parse_frame_range(frames)
    jobs = []
    for path in files:
        pool = SessionPool(path)
        try:
            jobs.append(FrameJob(pool, select_frames(frames, pool.first.num_frames)))
        except FrameRangeError as error:
            raise CommandError(f"{path}: {error}") from None
    return jobs


def _output_paths(files: Sequence[str], out: str | None, suffix: str, *,
                  default_here: bool = False) -> list[Path]:
    """Where each file's output goes: `out` itself for one file, or
    `out/<name><suffix>` when `out` is a directory or there are several files
    (`./<name><suffix>` without `out` when `default_here`)."""
    if out is not None and len(files) == 1 and not Path(out).is_dir():
        target = Path(out)
        if not target.parent.is_dir():
            raise CommandError(f"cannot write {out}: no directory {target.parent}")
        return [target]
    if out is None and not default_here:
        raise CommandError("no output path")
    names = [Path(path).stem for path in files]
    repeated = sorted({name for name in names if names.count(name) > 1})
    if repeated:
        raise CommandError(f"several files are named {repeated[0]}; their outputs would collide")
    directory = Path(out) if out is not None else Path()
    directory.mkdir(parents=True, exist_ok=True)
    return [directory / f"{name}{suffix}" for name in names]


def _progress(jobs: Sequence[FrameJob], quiet: bool) -> tqdm[Never]:
    """A progress bar over the frames of all jobs, on a terminal only."""
    return tqdm(total=sum(len(job.frames) for job in jobs), unit="frame", leave=False,
                disable=quiet or not sys.stderr.isatty())


def _per_job(results: Iterable[FrameResult[T]],
             bar: tqdm[Never]) -> Iterator[tuple[int, Iterator[FrameResult[T]]]]:
    """Results grouped by job (each group must be consumed before the next),
    counted on the progress bar as they pass."""
    def counted() -> Iterator[FrameResult[T]]:
        for result in results:
            yield result
            bar.update()

    return itertools.groupby(counted(), key=lambda result: result.job)


def _qp_range_of(job: FrameJob) -> tuple[int, int] | None:
    extents = [result.value for result in run_jobs([job], _qp_extent) if result.value is not None]
    if not extents:
        return None
    return min(low for low, _ in extents), max(high for _, high in extents)


def _qp_extent(session: mbgauge.H264DecoderSession, frame: int) -> tuple[int, int] | None:
    qp = session.get_qpmap(frame)
    carried = qp[qp >= 0]
    return (int(carried.min()), int(carried.max())) if carried.size else None


def _parse_qp_range(text: str) -> tuple[int, int]:
    try:
        low, high = (int(part) for part in text.split(":"))
    except ValueError:
        raise CommandError(f"bad QP range {text!r}: expected LOW:HIGH, e.g. 18:40") from None
    if not 0 <= low <= high <= 63:
        raise CommandError(f"bad QP range {text!r}: expected 0 <= LOW <= HIGH <= 63")
    return low, high


def _format_cell(value: object) -> str:
    return f"{value:.6g}" if isinstance(value, float) else str(value)


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, not {text!r}")
    return value


# Command line

def _attach_negative_frames(argv: Sequence[str]) -> list[str]:
    """`--frames -6:` as `--frames=-6:`: argparse would take a value that
    starts with a minus sign (other than a plain number) for an option."""
    args: list[str] = []
    for arg in argv:
        if args and args[-1] in ("--frames", "--frame") and re.match(r"-\d", arg):
            args[-1] += f"={arg}"
        else:
            args.append(arg)
    return args


class _OneLineErrorParser(argparse.ArgumentParser):
    """Reports a usage error in one line, like every other failure."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_ERROR, f"{self.prog}: error: {message} (try: {self.prog} --help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _OneLineErrorParser(
        prog="mbgauge", description="Per-macroblock QP maps of H.264 video: export, "
        "statistics and heatmaps.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {version('mbgauge')}")
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND",
                                     parser_class=_OneLineErrorParser)

    def command(name: str, run: Callable[[argparse.Namespace], int | None],
                summary: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary)
        sub.set_defaults(run=run)
        return sub

    frames_help = ("frames A:B (B excluded), A:, :B, A:B:STEP or N; negative numbers count from "
                   "the end (default: all)")
    workers_help = f"decode on N sessions in threads (default: {default_workers()}, the cores)"
    quiet_help = "no progress bar (there is none anyway when stderr is not a terminal)"

    info = command("info", run_info, "Print the stream properties of each file.")
    info.add_argument("files", nargs="+", metavar="FILE")
    info.add_argument("--json", action="store_true", help="print a JSON list instead of a table")

    qp = command("qp", run_qp, "Export the QP maps of a frame range to .npz "
                 "(arrays frames, qp_maps (int8, frames x mb_rows x mb_cols; -1: no QP) "
                 "and chroma_qp_offsets (cb, cr)).")
    qp.add_argument("files", nargs="+", metavar="FILE")
    qp.add_argument("--frames", metavar="A:B", help=frames_help)
    qp.add_argument("--out", metavar="PATH", help="the .npz file; a directory for several files "
                    "(default: ./NAME.qp.npz)")
    qp.add_argument("--workers", type=_positive_int, metavar="N", help=workers_help)
    qp.add_argument("-q", "--quiet", action="store_true", help=quiet_help)

    stats = command("stats", run_stats, "Per-frame QP statistics: mean, lowest and highest QP "
                    "of the macroblocks that carry one, the share that carry none, and the "
                    "chroma QP offsets; printed as a table unless --csv is given, then summed up.")
    stats.add_argument("files", nargs="+", metavar="FILE")
    stats.add_argument("--frames", metavar="A:B", help=frames_help)
    stats.add_argument("--csv", metavar="OUT", help="write the per-frame rows to this CSV file "
                       "(a directory for several files)")
    stats.add_argument("--plot", metavar="OUT.png", help="plot the mean QP over the frame index "
                       "to this PNG file (a directory for several files)")
    stats.add_argument("--workers", type=_positive_int, metavar="N", help=workers_help)
    stats.add_argument("-q", "--quiet", action="store_true", help=quiet_help)

    heatmap = command("heatmap", run_heatmap, "Draw a frame's QP map over its picture as a "
                      "colour-coded heatmap PNG.")
    heatmap.add_argument("file", metavar="FILE")
    which = heatmap.add_mutually_exclusive_group(required=True)
    which.add_argument("--frame", type=int, metavar="N", help="one frame; --out is the PNG")
    which.add_argument("--frames", metavar="A:B", help=f"several frames, one PNG each in the "
                       f"directory --out, on one colour scale; {frames_help}")
    heatmap.add_argument("--out", required=True, metavar="PATH", help="PNG file or directory")
    heatmap.add_argument("--qp-range", metavar="LOW:HIGH", help="fix the colour scale "
                         "(default: the frame's QPs, or those of all frames with --frames)")
    heatmap.add_argument("-q", "--quiet", action="store_true", help=quiet_help)

    dataset = command("dataset", run_dataset, "Per-frame QP statistics of many files as a "
                      "Parquet dataset (OUT/frames/, OUT/files.parquet), on this machine or on "
                      "a Dask cluster; exit status 1 when any file could not be read.")
    dataset.add_argument("paths", nargs="+", metavar="PATH", help="a video file, a directory "
                         "(searched recursively for video files) or @LIST (a text file of paths)")
    dataset.add_argument("--out", required=True, metavar="DIR", help="the dataset's directory")
    dataset.add_argument("--maps", action="store_true", help="also write each file's QP maps "
                         "as a Zarr store in OUT/maps/")
    dataset.add_argument("--scheduler", metavar="tcp://HOST:PORT", help="run the files as "
                         "tasks on this Dask cluster (default: threads of this process)")
    dataset.add_argument("--resume", action="store_true", help="keep the files a previous run "
                         "into DIR completed and do the rest")
    dataset.add_argument("-y", "--overwrite", action="store_true", help="replace a dataset "
                         "already in DIR")
    dataset.add_argument("-q", "--quiet", action="store_true", help=quiet_help)
    return parser
