"""`mbgauge info`: the stream properties of each file, as a table or JSON."""

from __future__ import annotations

import argparse
import json

import mbgauge

from ..info import PROPERTIES, stream_info
from . import options
from .base import Command, Console

# Text columns; the numbers are aligned to the right.
_LEFT_ALIGNED = {"file", "codec", "pix_fmt"}


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true", help="print a JSON list instead of a table")


def run(args: argparse.Namespace, console: Console) -> None:
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
    for row in [list(columns), *cells]:
        console.say(
            "  ".join(
                cell.ljust(width) if name in _LEFT_ALIGNED else cell.rjust(width)
                for name, cell, width in zip(columns, row, widths)
            ).rstrip()
        )


def _format_cell(value: object) -> str:
    return f"{value:.6g}" if isinstance(value, float) else str(value)


COMMAND = Command(
    "info",
    "Print the stream properties of each file (any video FFmpeg decodes).",
    add_arguments,
    run,
    shared=(options.FILES,),
)
