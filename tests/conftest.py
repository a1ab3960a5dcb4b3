"""Fixtures shared by several test files, and the packet index cache of the
test run, kept in a directory of its own so that the tests neither read nor
fill the user's, and every open after a file's first goes through the cache
as a user's would."""

from __future__ import annotations

import os
import tempfile
from pathlib import Path

import pytest

from tests.support import native

# gcsfs's newer file system asks Google's gRPC storage-control API what kind
# each bucket is, which the tests' Cloud Storage server lacks: each question
# would wait a minute before gcsfs falls back to the JSON API.
os.environ.setdefault("GCSFS_EXPERIMENTAL_ZB_HNS_SUPPORT", "false")


@pytest.fixture(scope="session")
def native_programs() -> dict[str, Path]:
    """The native test programs of tests/cpp, built once per test run."""
    try:
        return native.build_programs()
    except RuntimeError as error:
        pytest.fail(str(error))


@pytest.fixture(autouse=True, scope="session")
def _index_cache_of_the_test_run():
    with tempfile.TemporaryDirectory(prefix="mbgauge-index-cache-") as directory:
        earlier = os.environ.get("MBGAUGE_INDEX_CACHE")
        os.environ["MBGAUGE_INDEX_CACHE"] = directory
        yield directory
        if earlier is None:
            os.environ.pop("MBGAUGE_INDEX_CACHE", None)
        else:
            os.environ["MBGAUGE_INDEX_CACHE"] = earlier
