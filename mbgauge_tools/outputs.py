"""Where the command's outputs go, and the rules that keep it from destroying
a file: every output location is checked before any decoding starts.

- An output never lands on one of the run's inputs (nor on another output of
  the same run), whatever path leads there: links, `..`, hard links.
- An existing regular file is replaced only when the user said so
  (`-y`/`--overwrite`); it is replaced whole, through a temporary file in the
  same directory, and a symbolic link is followed to the file it points to.
- Devices and pipes (`/dev/null`, `/dev/stdout`, a FIFO) are written in place.
- `-` is standard output, for one output of one file; binary data is not
  written to a terminal.
- Errors name the path as the user typed it.
"""

from __future__ import annotations

import os
import stat
import sys
import tempfile
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO

from .files import atomic_output, names_descriptor

STDOUT = "-"
# Names that plainly mean a file, refused where a directory is needed.
FILE_SUFFIXES = frozenset({".npz", ".npy", ".csv", ".png", ".jpg", ".jpeg", ".json", ".txt"})


class OutputError(Exception):
    """An output the command will not or cannot write, told in one line."""


@dataclass(frozen=True)
class Output:
    """One output location, checked."""

    shown: str  # as the user typed it (or the directory plus a name)
    target: Path | None  # the real path, links followed; None for standard output

    @property
    def is_stdout(self) -> bool:
        return self.target is None

    def write(self, writer: Callable[[BinaryIO], None]) -> None:
        """Calls `writer` with a binary stream and puts what it wrote in place."""
        try:
            if self.target is None:
                sys.stdout.flush()
                writer(sys.stdout.buffer)
                sys.stdout.buffer.flush()
                return
            with atomic_output(self.target) as stream:
                writer(stream)
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OutputError(f"cannot write {self.shown}: {error.strerror or error}") from None

    def __str__(self) -> str:
        return "standard output" if self.shown == STDOUT else self.shown


class OutputPlan:
    """Checks and hands out the outputs of one run."""

    def __init__(self, inputs: Sequence[str | os.PathLike[str]], *, overwrite: bool) -> None:
        self.overwrite = overwrite
        self._inputs: list[tuple[str, Path, os.stat_result | None]] = []
        for path in inputs:
            shown = os.fspath(path)
            try:
                status: os.stat_result | None = os.stat(shown)
            except OSError:
                status = None
            self._inputs.append((shown, Path(os.path.realpath(shown)), status))
        self._claimed: dict[Path | None, str] = {}

    def file(self, path: str | os.PathLike[str], *, binary: bool) -> Output:
        """A file output at `path` (`-`: standard output)."""
        shown = os.fspath(path)
        if shown == STDOUT or _is_stdout(shown):
            # `/dev/stdout` too: written through our own standard output, so
            # that it and the lines printed there do not overwrite each other.
            return self._stdout(shown, binary)
        target = Path(os.path.realpath(shown))
        self._refuse_inputs(shown, target)
        self._claim(target, shown)
        try:
            status: os.stat_result | None = os.stat(shown)
        except FileNotFoundError:
            status = None
        except OSError as error:
            raise OutputError(f"cannot write {shown}: {error.strerror}") from None
        if status is not None and stat.S_ISDIR(status.st_mode):
            raise OutputError(f"cannot write {shown}: it is a directory")
        if status is not None and (not stat.S_ISREG(status.st_mode) or names_descriptor(shown)):
            # Written in place, through the path as given.
            if not os.access(shown, os.W_OK):
                raise OutputError(f"cannot write {shown}: permission denied")
            return Output(shown, Path(shown))
        if status is not None and not self.overwrite:
            raise OutputError(f"{shown} already exists (add -y or --overwrite to replace it)")
        if not target.parent.is_dir():
            raise OutputError(f"cannot write {shown}: no directory {Path(shown).parent}")
        _probe_directory(target.parent, shown)
        return Output(shown, target)

    def directory(self, path: str | os.PathLike[str]) -> Path:
        """A directory that holds several outputs; made if it is missing."""
        shown = os.fspath(path)
        if shown == STDOUT:
            raise OutputError(
                "standard output (-) takes the output of one file only; give a directory"
            )
        target = Path(os.path.realpath(shown))
        if target.exists() and not target.is_dir():
            raise OutputError(f"{shown} is not a directory; several outputs need a directory")
        if not target.exists():
            if target.suffix.lower() in FILE_SUFFIXES:
                raise OutputError(
                    f"{shown} names a file, but several outputs need a directory; give a directory"
                )
            try:
                target.mkdir(parents=True, exist_ok=True)
            except OSError as error:
                raise OutputError(f"cannot make directory {shown}: {error.strerror}") from None
        _probe_directory(target, shown)
        return Path(shown)

    def _stdout(self, shown: str, binary: bool) -> Output:
        if binary and sys.stdout.isatty():
            raise OutputError(
                "will not write binary data to a terminal; redirect standard "
                "output or give a file name"
            )
        try:
            status: os.stat_result | None = os.fstat(sys.stdout.fileno())
        except (OSError, ValueError):
            status = None
        for input_shown, _, input_status in self._inputs:
            if status is not None and input_status is not None and _same(status, input_status):
                raise OutputError(f"will not write {shown}: it is the input {input_shown}")
        self._claim(None, shown)
        return Output(shown, None)

    def _refuse_inputs(self, shown: str, target: Path) -> None:
        try:
            status: os.stat_result | None = os.stat(shown)
        except OSError:
            status = None
        for input_shown, input_target, input_status in self._inputs:
            if target == input_target or (
                status is not None and input_status is not None and _same(status, input_status)
            ):
                raise OutputError(f"will not write {shown}: it is the input {input_shown}")

    def _claim(self, target: Path | None, shown: str) -> None:
        if target in self._claimed:
            raise OutputError(
                f"two outputs of this run go to one place: {self._claimed[target]} and {shown}"
            )
        self._claimed[target] = shown


def _is_stdout(path: str) -> bool:
    try:
        return _same(os.stat(path), os.fstat(sys.stdout.fileno()))
    except (OSError, ValueError):
        return False


def _same(a: os.stat_result, b: os.stat_result) -> bool:
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def _probe_directory(directory: Path, shown: str) -> None:
    """Makes and removes a file in `directory`: the only sure test that the
    outputs can be written there (access() says yes to root even on /sys)."""
    try:
        with tempfile.NamedTemporaryFile(dir=directory, prefix=".mbgauge-probe-"):
            pass
    except OSError as error:
        raise OutputError(f"cannot write {shown}: {error.strerror}") from None
