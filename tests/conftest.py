"""Fixtures shared by several test files."""

from __future__ import annotations

from pathlib import Path

import pytest

from tests.support import native


@pytest.fixture(scope="session")
def native_programs() -> dict[str, Path]:
    """The native test programs of tests/cpp, built once per test run."""
    try:
        return native.build_programs()
    except RuntimeError as error:
        pytest.fail(str(error))
