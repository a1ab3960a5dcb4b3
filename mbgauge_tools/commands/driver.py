"""The per-file machinery of the subcommands that decode: where each file's
output goes, opening the files before any decoding, the progress bar, and
the driver that decodes file after file and reports the files that fail."""

from __future__ import annotations

import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Generic, Never, TypeVar

from tqdm import tqdm

import mbgauge

from ..frames import FrameRangeError, FrameSelection, parse_frame_range, select_frames
from ..outputs import STDOUT, Output, OutputPlan
from ..parallel import FrameJob, SessionPool, SpanResult, SpanWork, counted, run_spans
from ..qpmaps import BLOCK_SCALE_CODECS, cell_map
from ..quantities import quantity_of
from .base import CommandError, Console

T = TypeVar("T")
R = TypeVar("R")

# Codecs whose decoder exports a QP for every macroblock of every frame: a
# first frame without any is no sign that the stream carries none.
QP_IN_EVERY_FRAME = {"h264", "mpeg1video", "mpeg2video", "mpeg4", "vp9"}


@dataclass(frozen=True)
class DecodedFile(Generic[R]):
    """One file's result, and what the subcommand reports with it."""

    number: int  # position among the command line's files (and their outputs)
    path: str
    session: mbgauge.H264DecoderSession
    frames: Sequence[int]
    result: R


def decode_each_file(
    console: Console,
    files: Sequence[str],
    frame_range: str | None,
    work: SpanWork[T],
    gather: Callable[[Iterable[SpanResult[T]], int], R],
    carries_qp: Callable[[R], bool],
    *,
    workers: int | None,
    quiet: bool,
) -> Iterator[DecodedFile[R]]:
    """Opens every file (open_jobs), then decodes one file after the other:
    `work` runs on the spans of the frames `frame_range` selects (as typed;
    None: all) on `workers` threads, and each file's `gather`ed result is
    yielded. A file whose decoding fails, or whose selected frames carry no
    QP at all, is reported on the console and skipped; so is a file whose
    first frame carries none when its codec may leave frames without, before
    the rest is decoded."""
    jobs = open_jobs(files, frame_range, console)
    with progress(jobs, quiet) as bar:
        for number, (path, job) in enumerate(zip(files, jobs)):
            if job is None:
                continue
            session = job.pool.first
            if first_frame_says_no_qp(job):
                console.fail(no_qp_message(path, session, f"frame {job.frames[0]}"))
                bar.update(len(job.frames))
                continue
            try:
                result = gather(counted(run_spans([job], work, workers), bar), len(job.frames))
            except (RuntimeError, ValueError) as error:
                console.fail(f"{path}: {error}")
                continue
            if not carries_qp(result):
                checked = frames_text(len(job.frames), session.num_frames, frame_range)
                console.fail(no_qp_message(path, session, checked))
                continue
            yield DecodedFile(number, path, session, job.frames, result)


def open_jobs(
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


def outputs_per_file(
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


def report_on_stderr_if_data_on_stdout(console: Console, outputs: Iterable[Output]) -> None:
    if any(output.is_stdout for output in outputs):
        console.report = sys.stderr


def progress(jobs: Sequence[FrameJob | None], quiet: bool) -> tqdm[Never]:
    """A progress bar over the frames of all jobs, on a terminal only."""
    return tqdm(
        total=sum(len(job.frames) for job in jobs if job is not None),
        unit="frame",
        leave=False,
        disable=quiet or not sys.stderr.isatty(),
    )


def first_frame_says_no_qp(job: FrameJob, *, every_codec: bool = False) -> bool:
    """True when the first selected frame carries no QP and the codec is not
    one whose decoder exports a QP for every frame (or `every_codec`): then
    the decoder exports none, and decoding the rest would only confirm it."""
    session = job.pool.first
    if session.codec in QP_IN_EVERY_FRAME and not every_codec:
        return False
    frame = int(job.frames[0])
    if session.codec in BLOCK_SCALE_CODECS:
        return not (cell_map(session, frame) >= 0).any()
    # A batch query, as the job's own: it decodes without reconstructing.
    return not (session.get_qpmaps([frame]) >= 0).any()


def no_qp_message(path: str, session: mbgauge.H264DecoderSession, checked: str) -> str:
    quantity = quantity_of(session.codec, session.pix_fmt)
    return (
        f"{path}: no {quantity.short} values: this FFmpeg's {session.codec} decoder exports "
        f"none for the stream (checked {checked})"
    )


def frames_text(count: int, total: int, typed: str | None) -> str:
    """The selected frames, with the range as the user typed it: `frames
    10:20 (10 of 48)`, `frame 7 (1 of 48)`, `all 48 frames`, `its 1 frame`."""
    if typed is None:
        return "its 1 frame" if total == 1 else f"all {total} frames"
    return f"frame{'' if count == 1 and ':' not in typed else 's'} {typed} ({count} of {total})"


def grid_text(rows: int, cols: int) -> str:
    return (
        f"{rows} row{'' if rows == 1 else 's'} x {cols} column{'' if cols == 1 else 's'} "
        f"of macroblocks"
    )
