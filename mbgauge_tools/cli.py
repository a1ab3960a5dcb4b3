"""The `mbgauge` command: stream properties, frame tables, QP map export,
per-frame QP statistics and QP heatmaps of video files. The subcommands
live in mbgauge_tools.commands, one module each; this module parses the
command line and runs the chosen one.

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
import re
import sys
from collections.abc import Sequence
from importlib.metadata import version

from .commands import COMMANDS
from .commands.base import EXIT_ERROR, EXIT_INTERRUPTED, CommandError, Console, OneLineErrorParser
from .frames import FrameRangeError
from .outputs import OutputError


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(_attach_negative_frames(sys.argv[1:] if argv is None else argv))
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


def parser() -> argparse.ArgumentParser:
    """The command line of `mbgauge` and of each subcommand in COMMANDS."""
    top = OneLineErrorParser(
        prog="mbgauge",
        description="Per-macroblock QP maps of H.264, HEVC and MPEG-1/2/4 video (for MPEG, "
        "the quantiser scale): export, statistics and heatmaps; stream properties and "
        "frame tables of any video FFmpeg decodes (VP9, AV1, ...).",
    )
    top.add_argument("--version", action="version", version=f"%(prog)s {version('mbgauge')}")
    subparsers = top.add_subparsers(
        title="commands", required=True, metavar="COMMAND", parser_class=OneLineErrorParser
    )
    for command in COMMANDS:
        sub = subparsers.add_parser(
            command.name,
            help=command.summary,
            description=command.summary,
            parents=list(command.shared),
        )
        command.add_arguments(sub)
        sub.set_defaults(run=command.run)
    return top


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
