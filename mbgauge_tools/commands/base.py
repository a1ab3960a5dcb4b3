"""What every subcommand shares: its description for the parser, the console
it talks to the user through, and the error that stops it in one line."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import NoReturn, TextIO

from tqdm import tqdm

EXIT_ERROR = 2
EXIT_INTERRUPTED = 130


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


class OneLineErrorParser(argparse.ArgumentParser):
    """Reports a usage error in one line, like every other failure."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_ERROR, f"{self.prog}: error: {message} (try: {self.prog} --help)\n")


@dataclass(frozen=True)
class Command:
    """A subcommand of `mbgauge`.

    `summary` is its line in `mbgauge --help` and the description of its own
    help; `shared` are the parent parsers (options.py) of the options it has
    in common with other subcommands, `add_arguments` declares its own, and
    `run` carries it out: it returns the exit status, or None for 0 (or 2
    when the console reported a failure)."""

    name: str
    summary: str
    add_arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace, Console], int | None]
    shared: Sequence[OneLineErrorParser] = ()
