"""`mbgauge stats`: per-frame QP statistics of each file, printed or written
as CSV, summed up, and plotted."""

from __future__ import annotations

import argparse
from functools import partial
from pathlib import Path

from ..outputs import OutputPlan
from ..plotting import plot_mean_qp, save_figure
from ..quantities import quantity_of
from ..stats import gather_stats, stats_span, summary_lines, table_lines, write_csv
from . import options
from .base import Command, Console
from .driver import (
    decode_each_file,
    frames_text,
    grid_text,
    outputs_per_file,
    report_on_stderr_if_data_on_stdout,
)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--csv",
        metavar="OUT",
        help="write the per-frame rows to this CSV file "
        "(- for standard output; a directory for several files)",
    )
    parser.add_argument(
        "--plot",
        metavar="OUT.png",
        help="plot the mean QP over the frame index, "
        "and below it each frame's size in bits coloured by picture type, to this "
        "PNG file (- for standard output; a directory for several files)",
    )


def run(args: argparse.Namespace, console: Console) -> None:
    plan = OutputPlan(args.files, overwrite=args.overwrite)
    csv_outputs = (
        outputs_per_file(plan, args.files, args.csv, ".stats.csv", binary=False)
        if args.csv
        else None
    )
    plot_outputs = (
        outputs_per_file(plan, args.files, args.plot, ".mean-qp.png", binary=True)
        if args.plot
        else None
    )
    report_on_stderr_if_data_on_stdout(console, [*(csv_outputs or []), *(plot_outputs or [])])
    first = True
    for file in decode_each_file(
        console,
        args.files,
        args.frames,
        stats_span,
        gather_stats,
        lambda stats: bool((stats["min_qp"] >= 0).any()),
        workers=args.workers,
        quiet=args.quiet,
    ):
        stats, session = file.result, file.session
        quantity = quantity_of(session.codec, session.pix_fmt)
        # The files first: whatever happens to standard output later, they
        # are complete.
        if csv_outputs is not None:
            csv_outputs[file.number].write(partial(write_csv, stats))
        if plot_outputs is not None:
            figure = plot_mean_qp(
                stats,
                label=Path(file.path).name,
                quantity=quantity,
                frame_table=session.frame_table(),
            )
            plot_outputs[file.number].write(partial(save_figure, figure))

        if not first:
            console.say()
        first = False
        if csv_outputs is None:
            # The per-frame rows go to exactly one place: the CSV, or stdout.
            console.say("\n".join(table_lines(stats, quantity.short)) + "\n")
        console.say(
            f"{file.path}: {frames_text(len(stats), session.num_frames, args.frames)}, "
            f"{session.width}x{session.height}, "
            f"{grid_text(session.mb_rows, session.mb_cols)}, {quantity.name}"
        )
        for line in summary_lines(stats, quantity.short):
            console.say(f"  {line}")
        if csv_outputs is not None:
            console.say(f"  per-frame CSV       {csv_outputs[file.number]}")
        if plot_outputs is not None:
            console.say(f"  {quantity.short} and frame size plot {plot_outputs[file.number]}")


COMMAND = Command(
    "stats",
    "Per-frame QP statistics (H.264 and HEVC QPs; the quantiser scale of MPEG-1/2/4): "
    "mean, lowest and highest QP of the macroblocks that carry one, the share that "
    "carry none, and the chroma QP offsets; printed as a table unless --csv is given, "
    "then summed up.",
    add_arguments,
    run,
    shared=(options.FILES, options.FRAME_RANGE, options.WORKERS, options.OVERWRITE, options.QUIET),
)
