"""The `mbgauge` command: stream properties, QP map export, per-frame QP
statistics and QP heatmaps of video files.

Every failure the user can fix (a missing file, a file without video, a bad
frame range, an output it will not write) is reported in one line on stderr
with exit status 2; with several files, a file that fails is reported and the
others are finished, and the run exits 2 at the end. Every output location is
checked before any decoding (see outputs.py for the rules); files are written
before anything is printed about them. Ctrl-C stops the workers and exits
with status 130, leaving no half-written output file.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import sys
import threading
from collections.abc import Callable, Iterable, Sequence
from importlib.metadata import version
from pathlib import Path
from typing import Never, NoReturn, TextIO, TypeVar

import numpy as np
import numpy.typing as npt
from tqdm import tqdm

import mbgauge

from .frames import FrameRangeError, FrameSelection, parse_frame_range, select_frames
from .info import PROPERTIES, frame_table_lines, stream_info, write_frame_table_csv
from .outputs import STDOUT, Output, OutputError, OutputPlan
from .parallel import FrameJob, Frames, SessionPool, counted, default_workers, run_spans
from .plotting import (
    DEFAULT_COLOUR_MAP,
    DEFAULT_OPACITY,
    HeatmapData,
    HeatmapOptions,
    HeatmapPainter,
    ImageFormat,
    default_qp_range,
    image_format_of,
    plot_mean_qp,
    save_figure,
)
from .qpmaps import QpMaps, cell_map, maps_by_size, qp_span
from .quantities import quantity_of
from .stats import gather_stats, stats_span, summary_lines, table_lines, write_csv

EXIT_ERROR = 2
EXIT_INTERRUPTED = 130
# Codecs whose decoder exports a QP for every macroblock of every frame: a
# first frame without any is no sign that the stream carries none.
_QP_IN_EVERY_FRAME = {"h264", "mpeg1video", "mpeg2video", "mpeg4", "vp9"}
# Frames whose luma planes one batch query of the heatmap command fetches:
# the decoder moves forward from one chunk to the next without seeking, so
# larger chunks save only a call each (nothing beside a frame's rendering),
# while each frame adds its plane (2 MiB at 1080p, 16 MiB at 4K and 10 bits)
# to what a worker holds.
HEATMAP_CHUNK_FRAMES = 4

T = TypeVar("T")


class CommandError(Exception):
    """A request the command cannot carry out, told to the user in one line."""


class Console:
    """Standard output and error for the run. A closed standard output
    (`mbgauge stats x | head -1`) ends the printing, not the work: the files
    are still written."""

    def __init__(self) -> None:
        self.stdout_closed = False
        self.failures = 0
        # Where the lines about finished work go: stderr once standard
        # output carries data (`--csv -`).
        self.report: TextIO = sys.stdout

    def say(self, text: str = "") -> None:
        if self.report is sys.stdout and self.stdout_closed:
            return
        try:
            tqdm.write(text, file=self.report)
            self.report.flush()
        except BrokenPipeError:
            self.close_stdout()

    def fail(self, message: str) -> None:
        """A failure of one file; the others go on, and the run exits 2."""
        self.failures += 1
        tqdm.write(f"mbgauge: error: {message}", file=sys.stderr)

    def close_stdout(self) -> None:
        # Keep Python from complaining while flushing at exit.
        self.stdout_closed = True
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(_attach_negative_frames(sys.argv[1:] if argv is None else argv))
    console = Console()
    try:
        status = args.run(args, console)
    except KeyboardInterrupt:
        print("mbgauge: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # Data for standard output (`--csv -`) whose reader went away.
        console.close_stdout()
        return 1
    except (CommandError, OutputError, FrameRangeError, ValueError, RuntimeError, OSError) as error:
        # RuntimeError is how the extension reports a file it cannot open or a
        # frame it cannot decode; its message names the file. ValueError: a
        # bad frame range, or QPs an int8 map cannot hold (VP9's quantiser
        # index).
        print(f"mbgauge: error: {error}", file=sys.stderr)
        return EXIT_ERROR
    if console.failures:
        return EXIT_ERROR
    if status:
        return status
    return 1 if console.stdout_closed else 0


# Commands


def run_info(args: argparse.Namespace, console: Console) -> None:
    infos = []
    for path in args.files:
        try:
            with mbgauge.H264DecoderSession(path) as session:
                infos.append({"file": path, **stream_info(session)})
        except RuntimeError as error:
            console.fail(str(error))
    if args.json:
        console.say(json.dumps(infos, indent=2))
        return
    if not infos:
        return
    columns = ("file", *PROPERTIES)
    cells = [[_format_cell(info[name]) for name in columns] for info in infos]
    widths = [max(len(name), *(len(row[i]) for row in cells)) for i, name in enumerate(columns)]
    left_aligned = {"file", "codec", "pix_fmt"}
    for row in [list(columns), *cells]:
        console.say(
            "  ".join(
                cell.ljust(width) if name in left_aligned else cell.rjust(width)
                for name, cell, width in zip(columns, row, widths)
            ).rstrip()
        )


def run_frames(args: argparse.Namespace, console: Console) -> None:
    plan = OutputPlan([args.file], overwrite=args.overwrite)
    output = (
        _outputs_per_file(plan, [args.file], args.csv, ".frames.csv", binary=False)[0]
        if args.csv is not None
        else None
    )
    if output is not None:
        _report_on_stderr_if_data_on_stdout(console, [output])
    session = mbgauge.H264DecoderSession(args.file)
    table = session.frame_table()
    if output is None:
        console.say("\n".join(frame_table_lines(table)))
        return
    output.write(lambda stream: write_frame_table_csv(table, stream))
    keys = int(table["key"].sum())
    console.say(
        f"{output}: {table.size} frame{'s' if table.size != 1 else ''}, "
        f"{keys} key frame{'s' if keys != 1 else ''}"
    )


def run_qp(args: argparse.Namespace, console: Console) -> None:
    plan = OutputPlan(args.files, overwrite=args.overwrite)
    outputs = _outputs_per_file(
        plan, args.files, args.out, ".qp.npz", binary=True, default_here=True
    )
    _report_on_stderr_if_data_on_stdout(console, outputs)
    jobs = _open_jobs(args.files, args.frames, console)
    with _progress(jobs, args.quiet) as bar:
        for path, job, output in zip(args.files, jobs, outputs):
            if job is None:
                continue
            if _first_frame_says_no_qp(job):
                console.fail(_no_qp_message(path, job.pool.first, f"frame {job.frames[0]}"))
                bar.update(len(job.frames))
                continue
            try:
                maps = QpMaps.gather(
                    counted(run_spans([job], qp_span, args.workers), bar), len(job.frames)
                )
            except (RuntimeError, ValueError) as error:
                console.fail(f"{path}: {error}")
                continue
            if not (maps.qp_maps >= 0).any():
                console.fail(
                    _no_qp_message(
                        path,
                        job.pool.first,
                        _frames_text(len(job.frames), job.pool.first.num_frames, args.frames),
                    )
                )
                continue
            output.write(maps.save)
            _, rows, cols = maps.qp_maps.shape
            frames = _frames_text(len(maps.frames), job.pool.first.num_frames, args.frames)
            console.say(f"{output}: QP maps of {frames} of {path}, {_grid_text(rows, cols)}")


def run_stats(args: argparse.Namespace, console: Console) -> None:
    plan = OutputPlan(args.files, overwrite=args.overwrite)
    csv_outputs = (
        _outputs_per_file(plan, args.files, args.csv, ".stats.csv", binary=False)
        if args.csv
        else None
    )
    plot_outputs = (
        _outputs_per_file(plan, args.files, args.plot, ".mean-qp.png", binary=True)
        if args.plot
        else None
    )
    _report_on_stderr_if_data_on_stdout(console, [*(csv_outputs or []), *(plot_outputs or [])])
    jobs = _open_jobs(args.files, args.frames, console)
    first = True
    with _progress(jobs, args.quiet) as bar:
        for number, (path, job) in enumerate(zip(args.files, jobs)):
            if job is None:
                continue
            session = job.pool.first
            if _first_frame_says_no_qp(job):
                console.fail(_no_qp_message(path, session, f"frame {job.frames[0]}"))
                bar.update(len(job.frames))
                continue
            try:
                stats = gather_stats(
                    counted(run_spans([job], stats_span, args.workers), bar), len(job.frames)
                )
            except (RuntimeError, ValueError) as error:
                console.fail(f"{path}: {error}")
                continue
            if not (stats["min_qp"] >= 0).any():
                console.fail(
                    _no_qp_message(
                        path,
                        session,
                        _frames_text(len(job.frames), session.num_frames, args.frames),
                    )
                )
                continue
            quantity = quantity_of(session.codec, session.pix_fmt)
            # The files first: whatever happens to standard output later,
            # they are complete.
            if csv_outputs is not None:
                csv_outputs[number].write(lambda stream, stats=stats: write_csv(stats, stream))
            if plot_outputs is not None:
                figure = plot_mean_qp(
                    stats,
                    label=Path(path).name,
                    quantity=quantity,
                    frame_table=session.frame_table(),
                )
                plot_outputs[number].write(
                    lambda stream, figure=figure: save_figure(figure, stream)
                )

            if not first:
                console.say()
            first = False
            if csv_outputs is None:
                # The per-frame rows go to exactly one place: the CSV, or stdout.
                console.say("\n".join(table_lines(stats, quantity.short)) + "\n")
            console.say(
                f"{path}: {_frames_text(len(stats), session.num_frames, args.frames)}, "
                f"{session.width}x{session.height}, "
                f"{_grid_text(session.mb_rows, session.mb_cols)}, {quantity.name}"
            )
            for line in summary_lines(stats, quantity.short):
                console.say(f"  {line}")
            if csv_outputs is not None:
                console.say(f"  per-frame CSV       {csv_outputs[number]}")
            if plot_outputs is not None:
                console.say(f"  {quantity.short} and frame size plot {plot_outputs[number]}")


class _HeatmapWork:
    """Renders the heatmaps of a span of frames and writes them, in a worker:
    only finished files leave the thread, never a picture. Each session (lent
    to one thread at a time) has a painter of its own.

    The span's QP maps come from one batch query, its luma planes from one
    batch query per chunk of HEATMAP_CHUNK_FRAMES frames, so that neither
    fills the session's frame cache. Frames the batch queries cannot serve
    go through the single-frame queries: all of them with motion vectors
    (which have no batch query), and a chunk whose frames differ in picture
    size or format from one another or from the stream's first frames (the
    format of such frames is only known to the single-frame queries)."""

    def __init__(
        self, outputs: dict[int, Output], options: HeatmapOptions, image_format: ImageFormat
    ) -> None:
        self.outputs, self.options, self.image_format = outputs, options, image_format
        self._painters: dict[int, HeatmapPainter] = {}
        self._lock = threading.Lock()

    def __call__(self, session: mbgauge.H264DecoderSession, frames: Frames) -> None:
        with self._lock:
            painter = self._painters.get(id(session))
            if painter is None:
                painter = self._painters[id(session)] = HeatmapPainter(session, **self.options)
        if self.options.get("motion_vectors"):
            self._write(painter, frames.tolist())
            return
        try:
            parts = maps_by_size(session, frames)
        except ValueError:
            # Sizes change where the frame table does not show it.
            self._write(painter, frames.tolist())
            return
        for part, maps in parts:
            for start in range(0, len(part), HEATMAP_CHUNK_FRAMES):
                chunk = part[start : start + HEATMAP_CHUNK_FRAMES]
                lumas = _first_format_lumas(session, chunk)
                if lumas is None:
                    self._write(painter, chunk.tolist())
                    continue
                for frame, qp, luma in zip(chunk.tolist(), maps[start : start + len(chunk)], lumas):
                    self._write(painter, [frame], HeatmapData(qp, luma, session.pix_fmt))

    def _write(
        self, painter: HeatmapPainter, frames: list[int], data: HeatmapData | None = None
    ) -> None:
        for frame in frames:
            self.outputs[frame].write(
                lambda stream, frame=frame: painter.save(
                    frame, stream, self.image_format, data=data
                )
            )


def _first_format_lumas(
    session: mbgauge.H264DecoderSession, frames: Frames
) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16] | None:
    """The frames' luma planes from one batch query, or None when they do
    not all have the stream's first size and sample size."""
    try:
        lumas = session.get_planes(frames, 0)
    except ValueError:
        return None
    if (
        lumas.shape[1:] != (session.height, session.width)
        or lumas.dtype.itemsize != session.bytes_per_sample
    ):
        return None
    return lumas


def run_heatmap(args: argparse.Namespace, console: Console) -> None:
    options = _heatmap_options(args)
    plan = OutputPlan([args.file], overwrite=args.overwrite)
    image_format: ImageFormat = "png"
    if args.frame is not None:
        output = _outputs_per_file(plan, [args.file], args.out, ".png", binary=True)[0]
        if not output.is_stdout:
            chosen = image_format_of(output.shown)
            if chosen is None:
                raise CommandError(f"cannot write {output}: heatmaps are written as .png or .jpg")
            image_format = chosen
        _report_on_stderr_if_data_on_stdout(console, [output])
    else:
        directory = plan.directory(args.out)
    job = _open_jobs(
        [args.file],
        args.frames if args.frame is None else args.frame,
        console,
        motion_vectors=args.motion_vectors,
    )[0]
    if job is None:
        return
    session = job.pool.first
    if args.frame is None:
        outputs = {
            frame: plan.file(directory / f"frame_{frame:06d}.png", binary=True)
            for frame in job.frames
        }
    else:
        outputs = {job.frames[0]: output}
    if _first_frame_says_no_qp(job, every_codec=args.frame is not None):
        console.fail(_no_qp_message(args.file, session, f"frame {job.frames[0]}"))
        return
    if "qp_range" not in options:
        # One colour scale for every frame, so that frames compare.
        options["qp_range"] = default_qp_range(session) or _qp_range_of(job, args.workers)
    work = _HeatmapWork(outputs, options, image_format)
    with _progress([job], args.quiet) as bar:
        for _ in counted(run_spans([job], work, args.workers), bar):
            pass
    if args.frame is not None:
        console.say(f"{outputs[job.frames[0]]}: QP heatmap of frame {args.frame} of {args.file}")
    else:
        console.say(
            f"{args.out}: {len(outputs)} QP heatmap{'s' if len(outputs) != 1 else ''} "
            f"of frames {args.frames} of {args.file}, frame_{job.frames[0]:06d}.png to "
            f"frame_{job.frames[-1]:06d}.png"
        )


def run_dataset(args: argparse.Namespace, console: Console) -> int:
    try:
        from . import dataset
    except ImportError as error:
        raise CommandError(
            f"mbgauge dataset needs {error.name}: pip install 'mbgauge[dataset]'"
        ) from None
    return dataset.run_command(args)


# Helpers


def _open_jobs(
    files: Sequence[str], frames: FrameSelection, console: Console, *, motion_vectors: bool = False
) -> list[FrameJob | None]:
    """Opens every file and checks the frame selection against each before
    any decoding starts. A file that fails is reported (None in its place),
    so that the others can be done; a single file's failure ends the run."""
    if isinstance(frames, str):
        frames = parse_frame_range(frames)
    jobs: list[FrameJob | None] = []
    for path in files:
        try:
            pool = SessionPool(path, motion_vectors=motion_vectors)
            jobs.append(FrameJob(pool, select_frames(frames, pool.first.num_frames)))
        except FrameRangeError as error:
            if len(files) == 1:
                raise CommandError(f"{path}: {error}") from None
            console.fail(f"{path}: {error}")
            jobs.append(None)
        except RuntimeError as error:
            if len(files) == 1:
                raise
            console.fail(str(error))
            jobs.append(None)
    return jobs


def _outputs_per_file(
    plan: OutputPlan,
    files: Sequence[str],
    out: str | None,
    suffix: str,
    *,
    binary: bool,
    default_here: bool = False,
) -> list[Output]:
    """Where each file's output goes, checked: `out` itself for one file (or
    `out/<name><suffix>` when `out` is a directory), `out/<name><suffix>` in
    the directory `out` for several files (`./<name><suffix>` without `out`
    when `default_here`)."""
    if out is not None and len(files) == 1 and (out == STDOUT or not Path(out).is_dir()):
        return [plan.file(out, binary=binary)]
    if out is None and not default_here:
        raise CommandError("no output path")
    names = [Path(path).stem for path in files]
    repeated = sorted({name for name in names if names.count(name) > 1})
    if repeated:
        raise CommandError(f"several files are named {repeated[0]}; their outputs would collide")
    directory = plan.directory(out) if out is not None else Path()
    return [plan.file(directory / f"{name}{suffix}", binary=binary) for name in names]


def _report_on_stderr_if_data_on_stdout(console: Console, outputs: Iterable[Output]) -> None:
    if any(output.is_stdout for output in outputs):
        console.report = sys.stderr


def _progress(jobs: Sequence[FrameJob | None], quiet: bool) -> tqdm[Never]:
    """A progress bar over the frames of all jobs, on a terminal only."""
    return tqdm(
        total=sum(len(job.frames) for job in jobs if job is not None),
        unit="frame",
        leave=False,
        disable=quiet or not sys.stderr.isatty(),
    )


def _first_frame_says_no_qp(job: FrameJob, *, every_codec: bool = False) -> bool:
    """True when the first selected frame carries no QP and the codec is not
    one whose decoder exports a QP for every frame (or `every_codec`): then
    the decoder exports none, and decoding the rest would only confirm it."""
    session = job.pool.first
    if session.codec in _QP_IN_EVERY_FRAME and not every_codec:
        return False
    return not (cell_map(session, int(job.frames[0])) >= 0).any()


def _no_qp_message(path: str, session: mbgauge.H264DecoderSession, checked: str) -> str:
    quantity = quantity_of(session.codec, session.pix_fmt)
    return (
        f"{path}: no {quantity.short} values: this FFmpeg's {session.codec} decoder exports "
        f"none for the stream (checked {checked})"
    )


def _qp_range_of(job: FrameJob, workers: int | None) -> tuple[int, int] | None:
    """The QPs of the selected frames, for a codec whose range is not known."""
    extents = [
        result.value for result in run_spans([job], _qp_extent, workers) if result.value is not None
    ]
    if not extents:
        return None
    return min(low for low, _ in extents), max(high for _, high in extents)


def _qp_extent(session: mbgauge.H264DecoderSession, frames: Frames) -> tuple[int, int] | None:
    carried = np.concatenate([maps[maps >= 0] for _, maps in maps_by_size(session, frames)])
    return (int(carried.min()), int(carried.max())) if carried.size else None


def _heatmap_options(args: argparse.Namespace) -> HeatmapOptions:
    """The heatmap options from the command line, checked before any work."""
    from matplotlib import colormaps

    if args.cmap not in colormaps:
        raise CommandError(
            f"unknown colour map {args.cmap!r} (try viridis, cividis, magma, "
            f"gray or any matplotlib colour map)"
        )
    options = HeatmapOptions(
        label=Path(args.file).name,
        opacity=args.opacity,
        colour_map=args.cmap,
        values=args.values,
        motion_vectors=args.motion_vectors,
    )
    if args.qp_range:
        options["qp_range"] = _parse_qp_range(args.qp_range)
    return options


def _frames_text(count: int, total: int, typed: str | None) -> str:
    """The selected frames, with the range as the user typed it: `frames
    10:20 (10 of 48)`, `frame 7 (1 of 48)`, `all 48 frames`, `its 1 frame`."""
    if typed is None:
        return "its 1 frame" if total == 1 else f"all {total} frames"
    return f"frame{'' if count == 1 and ':' not in typed else 's'} {typed} ({count} of {total})"


def _grid_text(rows: int, cols: int) -> str:
    return (
        f"{rows} row{'' if rows == 1 else 's'} x {cols} column{'' if cols == 1 else 's'} "
        f"of macroblocks"
    )


def _parse_qp_range(text: str) -> tuple[int, int]:
    try:
        low, high = (int(part) for part in text.split(":"))
    except ValueError:
        raise CommandError(f"bad QP range {text!r}: expected LOW:HIGH, e.g. 18:40") from None
    if not 0 <= low <= high <= 255:
        raise CommandError(f"bad QP range {text!r}: expected 0 <= LOW <= HIGH <= 255")
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


def _opacity(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, not {text!r}")
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
        prog="mbgauge",
        description="Per-macroblock QP maps of H.264 video: export, statistics and heatmaps.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version('mbgauge')}")
    commands = parser.add_subparsers(
        title="commands", required=True, metavar="COMMAND", parser_class=_OneLineErrorParser
    )

    def command(
        name: str, run: Callable[[argparse.Namespace, Console], int | None], summary: str
    ) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary)
        sub.set_defaults(run=run)
        return sub

    frames_help = (
        "frames A:B (B excluded), A:, :B, A:B:STEP or N; negative numbers count from "
        "the end (default: all)"
    )
    workers_help = (
        f"decode on N sessions in threads (default: {default_workers()}, the cores; "
        f"never more than the spans of frames that start at key frames)"
    )
    quiet_help = "no progress bar (there is none anyway when stderr is not a terminal)"
    overwrite_help = "replace output files that exist (without it, an existing file is an error)"

    info = command("info", run_info, "Print the stream properties of each file.")
    info.add_argument("files", nargs="+", metavar="FILE")
    info.add_argument("--json", action="store_true", help="print a JSON list instead of a table")

    frames = command(
        "frames",
        run_frames,
        "Print the frame table of a file, read from its "
        "packets without decoding: pts, time in seconds, key frame (1: decoding "
        "can start there), picture type, packet size in bytes, picture size.",
    )
    frames.add_argument("file", metavar="FILE")
    frames.add_argument("--csv", metavar="OUT", help="write the table to this CSV file instead")
    frames.add_argument("-y", "--overwrite", action="store_true", help=overwrite_help)

    qp = command(
        "qp",
        run_qp,
        "Export the QP maps of a frame range to .npz "
        "(arrays frames, qp_maps (int8, frames x mb_rows x mb_cols; -1: no QP) "
        "and chroma_qp_offsets (cb, cr)).",
    )
    qp.add_argument("files", nargs="+", metavar="FILE")
    qp.add_argument("--frames", metavar="A:B", help=frames_help)
    qp.add_argument(
        "--out",
        metavar="PATH",
        help="the .npz file (- for standard output); a "
        "directory for several files (default: ./NAME.qp.npz)",
    )
    qp.add_argument("--workers", type=_positive_int, metavar="N", help=workers_help)
    qp.add_argument("-y", "--overwrite", action="store_true", help=overwrite_help)
    qp.add_argument("-q", "--quiet", action="store_true", help=quiet_help)

    stats = command(
        "stats",
        run_stats,
        "Per-frame QP statistics: mean, lowest and highest QP "
        "of the macroblocks that carry one, the share that carry none, and the "
        "chroma QP offsets; printed as a table unless --csv is given, then summed up.",
    )
    stats.add_argument("files", nargs="+", metavar="FILE")
    stats.add_argument("--frames", metavar="A:B", help=frames_help)
    stats.add_argument(
        "--csv",
        metavar="OUT",
        help="write the per-frame rows to this CSV file "
        "(- for standard output; a directory for several files)",
    )
    stats.add_argument(
        "--plot",
        metavar="OUT.png",
        help="plot the mean QP over the frame index, "
        "and below it each frame's size in bits coloured by picture type, to this "
        "PNG file (- for standard output; a directory for several files)",
    )
    stats.add_argument("--workers", type=_positive_int, metavar="N", help=workers_help)
    stats.add_argument("-y", "--overwrite", action="store_true", help=overwrite_help)
    stats.add_argument("-q", "--quiet", action="store_true", help=quiet_help)

    heatmap = command(
        "heatmap",
        run_heatmap,
        "Draw a frame's QP map over its picture as a colour-coded heatmap PNG.",
    )
    heatmap.add_argument("file", metavar="FILE")
    which = heatmap.add_mutually_exclusive_group(required=True)
    which.add_argument("--frame", type=int, metavar="N", help="one frame; --out is the PNG")
    which.add_argument(
        "--frames",
        metavar="A:B",
        help=f"several frames, one PNG each in the "
        f"directory --out, on one colour scale; {frames_help}",
    )
    heatmap.add_argument(
        "--out",
        required=True,
        metavar="PATH",
        help="with --frame: the .png "
        "or .jpg file (- for PNG on standard output); with --frames: the "
        "directory",
    )
    heatmap.add_argument(
        "--qp-range",
        metavar="LOW:HIGH",
        help="the colour scale (default: all "
        "the codec can code at the stream's bit depth, e.g. 0:51 for 8-bit "
        "H.264, 0:63 for 10-bit)",
    )
    heatmap.add_argument(
        "--opacity",
        type=_opacity,
        default=DEFAULT_OPACITY,
        metavar="A",
        help=f"of the QP colours over the picture, 0 to 1 (default: {DEFAULT_OPACITY})",
    )
    heatmap.add_argument(
        "--cmap",
        default=DEFAULT_COLOUR_MAP,
        metavar="NAME",
        help=f"matplotlib colour map (default: {DEFAULT_COLOUR_MAP}; "
        f"cividis for colour-blind readers)",
    )
    heatmap.add_argument(
        "--values",
        action="store_true",
        help="write each macroblock's QP in its cell (when the cells are large enough to read)",
    )
    heatmap.add_argument(
        "--motion-vectors",
        action="store_true",
        help="draw the motion vectors "
        "as arrows from where each block is predicted from to the block (white: "
        "from a past picture, black: from a future one)",
    )
    heatmap.add_argument("--workers", type=_positive_int, metavar="N", help=workers_help)
    heatmap.add_argument("-y", "--overwrite", action="store_true", help=overwrite_help)
    heatmap.add_argument("-q", "--quiet", action="store_true", help=quiet_help)

    dataset = command(
        "dataset",
        run_dataset,
        "Per-frame QP statistics of many files as a "
        "Parquet dataset (OUT/frames/, OUT/files.parquet), on this machine or on "
        "a Dask cluster; exit status 1 when any file could not be read.",
    )
    dataset.add_argument(
        "paths",
        nargs="+",
        metavar="PATH",
        help="a video file, a directory "
        "(searched recursively for video files) or @LIST (a text file of paths)",
    )
    dataset.add_argument("--out", required=True, metavar="DIR", help="the dataset's directory")
    dataset.add_argument(
        "--maps",
        action="store_true",
        help="also write each file's QP maps as a Zarr store in OUT/maps/",
    )
    dataset.add_argument(
        "--scheduler",
        metavar="tcp://HOST:PORT",
        help="run the files as tasks on this Dask cluster (default: threads of this process)",
    )
    dataset.add_argument(
        "--resume",
        action="store_true",
        help="keep the files a previous run into DIR completed and do the rest",
    )
    dataset.add_argument(
        "-y", "--overwrite", action="store_true", help="replace a dataset already in DIR"
    )
    dataset.add_argument("-q", "--quiet", action="store_true", help=quiet_help)
    return parser
