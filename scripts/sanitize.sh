#!/usr/bin/env bash
# Runs the test suite against a build of mbgauge instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   scripts/sanitize.sh [PYTEST ARGS...]     e.g. scripts/sanitize.sh -k "not reference"
#
# Builds the extension with -DMBGAUGE_SANITIZE=ON (g++, build/asan) into a venv
# of its own (.venv-asan), then runs pytest with the gcc sanitizer runtimes
# preloaded into the interpreter. The native test programs of tests/cpp
# (tests/support/native.py) are built with the same sanitizers
# (MBGAUGE_NATIVE_CXXFLAGS), in a build directory of their own. Sanitizer reports of every process, including the
# subprocesses and forked children the tests start, are written to
# build/asan-reports/; the script fails when pytest fails or any report was
# written.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
cd "$ROOT"

VENV=$ROOT/.venv-asan
if [ ! -x "$VENV/bin/python" ]; then
    base_python=$("$ROOT/.venv/bin/python" -c 'import sys; print(sys._base_executable)')
    "$base_python" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q -r "$ROOT/requirements-dev.txt"
# The FFmpeg the default build links (MBGAUGE_FFMPEG=system for the system's).
source "$ROOT/ffmpeg/env.sh"
echo "sanitize.sh: building mbgauge with -fsanitize=address,undefined ($FFMPEG_FLAVOUR FFmpeg)"
CC=gcc CXX=g++ "$VENV/bin/python" -m pip install -q --no-build-isolation \
    --config-settings=build-dir="$ROOT/build/asan-$FFMPEG_FLAVOUR" \
    --config-settings=cmake.define.MBGAUGE_SANITIZE=ON \
    --config-settings=cmake.build-type=RelWithDebInfo "$ROOT"

REPORTS=$ROOT/build/asan-reports
rm -rf "$REPORTS"
mkdir -p "$REPORTS"

export LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
# No leak checking under CPython (the interpreter keeps memory until exit). A
# single allocation above 2 GiB fails as it would under the tests' own memory
# limits, which tests/sanitize/sitecustomize.py lifts (see there).
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=2048:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$REPORTS/ubsan"
export PYTHONMALLOC=malloc
export MBGAUGE_ASAN=1
export PYTHONPATH="$ROOT/tests/sanitize${PYTHONPATH:+:$PYTHONPATH}"
export MBGAUGE_NATIVE_CXXFLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"

# Three tests cannot run in this set-up and are left out: two import the module
# with LD_PRELOAD replaced by a shim (the ASan runtime must come first in the
# preload list), one runs the session core under valgrind (which does not mix
# with a preloaded ASan runtime; ASan covers the same ground here).
DESELECT=(
    --deselect tests/test_module_surface.py::test_import_succeeds_under_any_313_release
    --deselect tests/test_module_surface.py::test_import_fails_under_another_interpreter_version
    --deselect tests/test_stress.py::test_valgrind_finds_no_definite_leak_in_the_session_core
)

echo "sanitize.sh: running pytest (reports go to $REPORTS)"
set +e
"$VENV/bin/python" -m pytest -p no:cacheprovider "${DESELECT[@]}" "$@"
status=$?
set -e
unset LD_PRELOAD

reports=$(find "$REPORTS" -type f | sort)
if [ -n "$reports" ]; then
    echo "sanitize.sh: sanitizer reports:"
    for report in $reports; do
        echo "---- $report"
        head -n 60 "$report"
    done
    exit 1
fi
echo "sanitize.sh: no sanitizer reports (pytest exit $status)"
exit $status
