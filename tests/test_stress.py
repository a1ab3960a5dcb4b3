"""Short versions of the leak and thread stress runs (-m tests.support.stress)."""

import shutil
import subprocess
import threading

import numpy as np
import pytest

import mbgauge
from tests.support import stress


def test_open_query_close_cycles_do_not_grow_resident_memory():
    assert stress.resident_growth_kib(cycles=600, failing=300) <= 5 * 1024


def test_threads_give_the_answers_of_one_thread():
    assert stress.threaded_mismatches(accesses=40) == []


def test_deleting_a_session_while_another_thread_holds_its_arrays():
    session = mbgauge.H264DecoderSession(str(stress.small_clip()))
    arrays = [session.get_plane_data(f, 0) for f in range(10)]
    expected = [a.copy() for a in arrays]
    deleted = threading.Event()
    same = []

    def reader():
        deleted.wait()
        same.extend(np.array_equal(a, e) for a, e in zip(arrays, expected))

    thread = threading.Thread(target=reader)
    thread.start()
    del session
    deleted.set()
    thread.join()
    assert same == [True] * 10


def test_valgrind_finds_no_definite_leak_in_the_session_core(tmp_path, native_programs):
    if shutil.which("valgrind") is None:
        pytest.skip("valgrind is not installed")
    result = subprocess.run(
        [
            "valgrind",
            "--leak-check=full",
            "--errors-for-leak-kinds=definite",
            "--error-exitcode=99",
            str(native_programs["leak_driver"]),
            "3",
            str(stress.small_clip()),
            str(tmp_path / "missing"),
        ],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr[-4000:]
    assert "definitely lost: 0 bytes" in result.stderr or "no leaks are possible" in result.stderr
