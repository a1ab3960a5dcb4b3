"""Writing output files whole or not at all, so that an interrupted or failed
run leaves no truncated file behind."""

from __future__ import annotations

import os
import stat
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import BinaryIO


@contextmanager
def atomic_output(path: str | os.PathLike[str]) -> Iterator[BinaryIO]:
    """A binary file that appears at `path` only when the block completes.

    A symbolic link is followed: the file it points to is replaced and the
    link stays. A device or pipe (`/dev/null`, `/dev/stdout`, a FIFO) cannot
    be replaced and is written in place, and so is a path that names an open
    descriptor (`/dev/stdout` redirected to a file). Errors name `path`,
    never the temporary file."""
    target = Path(os.path.realpath(path))
    try:
        existing: os.stat_result | None = os.stat(path)
    except FileNotFoundError:
        existing = None
    except OSError as error:
        raise _naming(error, path) from None
    if existing is not None and stat.S_ISDIR(existing.st_mode):
        raise IsADirectoryError(f"cannot write {os.fspath(path)}: it is a directory")
    if existing is not None and (not stat.S_ISREG(existing.st_mode) or names_descriptor(path)):
        try:
            special = open(path, "wb")
        except OSError as error:
            raise _naming(error, path) from None
        with special:
            yield special
        return

    # Unique per thread, so that two threads writing one name never share it.
    partial = target.with_name(f".{target.name}.partial-{os.getpid()}-{threading.get_ident()}")
    try:
        stream = open(partial, "xb")
    except OSError as error:
        raise _naming(error, path) from None
    try:
        with stream:
            yield stream
        try:
            if existing is not None:
                # The replacement keeps the permissions of the file it replaces.
                os.chmod(partial, stat.S_IMODE(existing.st_mode))
            os.replace(partial, target)
        except OSError as error:
            raise _naming(error, path) from None
    finally:
        partial.unlink(missing_ok=True)


def names_descriptor(path: str | os.PathLike[str]) -> bool:
    """True for paths that stand for a descriptor of this process rather than
    a file: replacing what they resolve to would miss the descriptor."""
    return os.fspath(path).startswith(("/dev/fd/", "/proc/self/fd/", "/dev/stdout", "/dev/stderr"))


def _naming(error: OSError, path: str | os.PathLike[str]) -> OSError:
    """The same error, about the caller's path."""
    return type(error)(error.errno, error.strerror, os.fspath(path))
