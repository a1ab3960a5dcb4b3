"""Keeps the packet index cache of the test run in a directory of its own, so
that the tests neither read nor fill the user's, and every open after a file's
first goes through the cache as a user's would."""

import os
import tempfile

import pytest


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
