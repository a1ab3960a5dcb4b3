"""Writing output files whole or not at all, so that an interrupted or failed
run leaves no truncated file behind."""

from __future__ import annotations

import os
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import BinaryIO


@contextmanager
def atomic_output(path: str | os.PathLike[str]) -> Iterator[BinaryIO]:
    """A binary file that appears at `path` only when the block completes."""
    target = Path(path)
    partial = target.with_name(f".{target.name}.partial-{os.getpid()}")
    try:
        with open(partial, "wb") as stream:
            yield stream
        os.replace(partial, target)
    finally:
        partial.unlink(missing_ok=True)
