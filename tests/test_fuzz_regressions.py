"""Replays the saved fuzzer inputs of tests/fuzz/regressions/ through the
libFuzzer target (tests/fuzz/fuzz_session.cpp, built with AddressSanitizer and
UndefinedBehaviorSanitizer against the FFmpeg pkg-config names): every input
must run to the end without a sanitizer report, a broken frame record or an
overwritten guard byte. Skipped where clang or its libFuzzer runtime is
missing."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

TESTS_DIR = Path(__file__).resolve().parent
FUZZ_DIR = TESTS_DIR / "fuzz"
REGRESSIONS = FUZZ_DIR / "regressions"


def _libfuzzer_available(scratch: Path) -> bool:
    if shutil.which("clang++") is None:
        return False
    probe = scratch / "probe.cpp"
    probe.write_text(
        "#include <cstddef>\n#include <cstdint>\n"
        'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n'
    )
    result = subprocess.run(
        ["clang++", "-fsanitize=fuzzer", str(probe), "-o", str(scratch / "probe")],
        capture_output=True,
    )
    return result.returncode == 0


@pytest.fixture(scope="module")
def fuzz_target(tmp_path_factory) -> Path:
    out_dir = tmp_path_factory.mktemp("fuzz")
    if not _libfuzzer_available(out_dir):
        pytest.skip("clang++ with libFuzzer (Debian: clang, libclang-rt-dev) is not installed")
    binary = out_dir / "fuzz_session"
    # Outside scripts/sanitize.sh's preloaded runtimes: this binary has its own.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    result = subprocess.run(
        [str(FUZZ_DIR / "build.sh"), "fuzz", str(binary)], capture_output=True, text=True, env=env
    )
    assert result.returncode == 0, f"building the fuzz target failed:\n{result.stderr[-5000:]}"
    return binary


def test_every_saved_input_replays_cleanly(fuzz_target, tmp_path):
    inputs = sorted(p for p in REGRESSIONS.iterdir() if p.is_file() and not p.name.startswith("."))
    assert inputs, "tests/fuzz/regressions/ holds no inputs"
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    env.update(TMPDIR=str(tmp_path), UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
    # With files as arguments libFuzzer runs each of them once and exits.
    result = subprocess.run(
        [str(fuzz_target), "-rss_limit_mb=2048", "-timeout=10", *map(str, inputs)],
        capture_output=True,
        text=True,
        env=env,
        timeout=600,
    )
    assert result.returncode == 0, result.stderr[-10000:]
    ran = [line for line in result.stderr.splitlines() if line.startswith("Executed ")]
    assert len(ran) == len(inputs), result.stderr[-5000:]
