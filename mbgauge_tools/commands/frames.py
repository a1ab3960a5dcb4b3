"""`mbgauge frames`: a file's frame table, read from its packets."""

from __future__ import annotations

import argparse

import mbgauge

from ..info import frame_table_lines, write_frame_table_csv
from ..outputs import OutputPlan
from . import options
from .base import Command, Console
from .driver import outputs_per_file, report_on_stderr_if_data_on_stdout


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--csv", metavar="OUT", help="write the table to this CSV file instead")


def run(args: argparse.Namespace, console: Console) -> None:
    plan = OutputPlan([args.file], overwrite=args.overwrite)
    output = (
        outputs_per_file(plan, [args.file], args.csv, ".frames.csv", binary=False)[0]
        if args.csv is not None
        else None
    )
    if output is not None:
        report_on_stderr_if_data_on_stdout(console, [output])
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


COMMAND = Command(
    "frames",
    "Print the frame table of a file, read from its packets without decoding: pts, "
    "time in seconds, key frame (1: decoding can start there), picture type, packet "
    "size in bytes, picture size.",
    add_arguments,
    run,
    shared=(options.FILE, options.OVERWRITE),
)
