"""`mbgauge qp`: the QP maps of a frame range of each file, saved as .npz."""

from __future__ import annotations

import argparse

from ..outputs import OutputPlan
from ..qpmaps import QpMaps, qp_span
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
        "--out",
        metavar="PATH",
        help="the .npz file (- for standard output); a "
        "directory for several files (default: ./NAME.qp.npz)",
    )


def run(args: argparse.Namespace, console: Console) -> None:
    plan = OutputPlan(args.files, overwrite=args.overwrite)
    outputs = outputs_per_file(
        plan, args.files, args.out, ".qp.npz", binary=True, default_here=True
    )
    report_on_stderr_if_data_on_stdout(console, outputs)
    for file in decode_each_file(
        console,
        args.files,
        args.frames,
        qp_span,
        QpMaps.gather,
        lambda maps: bool((maps.qp_maps >= 0).any()),
        workers=args.workers,
        quiet=args.quiet,
    ):
        output = outputs[file.number]
        output.write(file.result.save)
        _, rows, cols = file.result.qp_maps.shape
        frames = frames_text(len(file.frames), file.session.num_frames, args.frames)
        console.say(f"{output}: QP maps of {frames} of {file.path}, {grid_text(rows, cols)}")


COMMAND = Command(
    "qp",
    "Export the QP maps (H.264 and HEVC QPs; the quantiser scale of MPEG-1/2/4) of a "
    "frame range to .npz (arrays frames, qp_maps (int8, frames x mb_rows x mb_cols; "
    "-1: no QP) and chroma_qp_offsets (cb, cr)).",
    add_arguments,
    run,
    shared=(options.FILES, options.FRAME_RANGE, options.WORKERS, options.OVERWRITE, options.QUIET),
)
