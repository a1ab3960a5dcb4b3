"""Options that several subcommands share, each declared once as an argparse
parent parser: a subcommand lists the ones it takes in its Command's
`shared`, and gets them in its help and its namespace."""

from __future__ import annotations

import argparse
import math
from typing import Any

from ..parallel import default_workers
from .base import OneLineErrorParser


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, not {text!r}")
    return value


def fraction(text: str) -> float:
    """A number from 0 to 1."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, not {text!r}")
    return value


def _parent() -> OneLineErrorParser:
    return OneLineErrorParser(add_help=False)


def _shared_option(*names: str, **settings: Any) -> OneLineErrorParser:
    """A parent parser of one option. Its group puts the shared options after
    a subcommand's own in its help."""
    parser = _parent()
    parser.add_argument_group("common options").add_argument(*names, **settings)
    return parser


FRAMES_HELP = (
    "frames A:B (B excluded), A:, :B, A:B:STEP or N; negative numbers count from "
    "the end (default: all)"
)

# One video file, or several: any file FFmpeg's demuxers open.
FILE = _parent()
FILE.add_argument("file", metavar="FILE", help="a video file")
FILES = _parent()
FILES.add_argument("files", nargs="+", metavar="FILE", help="video files")

FRAME_RANGE = _shared_option("--frames", metavar="A:B", help=FRAMES_HELP)
WORKERS = _shared_option(
    "--workers",
    type=positive_int,
    metavar="N",
    help=f"decode on N sessions in threads (default: {default_workers()}, the cores; "
    f"never more than the spans of frames that start at key frames)",
)
OVERWRITE = _shared_option(
    "-y",
    "--overwrite",
    action="store_true",
    help="replace output files that exist (without it, an existing file is an error)",
)
QUIET = _shared_option(
    "-q",
    "--quiet",
    action="store_true",
    help="no progress bar (there is none anyway when stderr is not a terminal)",
)
