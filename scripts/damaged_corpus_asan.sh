#!/usr/bin/env bash
# Runs the damaged-input corpus (tests/support/damaged_corpus.py) against
# mbgauge's FFmpeg built with AddressSanitizer and UndefinedBehaviorSanitizer
# (ffmpeg/build.sh --sanitize), so that the code the patches add inside FFmpeg
# gets the same checks as mbgauge's own.
#
#   scripts/damaged_corpus_asan.sh [--quick]
#
# Builds that FFmpeg if needed (a full FFmpeg build the first time), builds
# mbgauge against it into a venv of its own (.venv-ffmpeg-asan), and runs the
# corpus with clang's ASan runtime (which carries UBSan's) preloaded. A case
# whose child process a sanitizer stops fails like a crash; the reports are
# written to build/ffmpeg-asan-reports/ and printed at the end.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
VENV=$ROOT/.venv-ffmpeg-asan
MBGAUGE_FFMPEG=sanitize MBGAUGE_VENV=$VENV "$ROOT/scripts/setup.sh"

REPORTS=$ROOT/build/ffmpeg-asan-reports
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
RUNTIME=$(clang -print-file-name=libclang_rt.asan-x86_64.so)
[ -e "$RUNTIME" ] || RUNTIME=$(clang++ -print-runtime-dir)/libclang_rt.asan-x86_64.so

cd "$ROOT"
set +e
# No leak checking (CPython keeps memory until exit); address-space limits
# of the corpus's children are lifted (tests/sanitize/sitecustomize.py).
LD_PRELOAD=$RUNTIME PYTHONMALLOC=malloc MBGAUGE_ASAN=1 \
    PYTHONPATH="$ROOT/tests/sanitize${PYTHONPATH:+:$PYTHONPATH}" \
    ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=2048:log_path=$REPORTS/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$REPORTS/ubsan" \
    "$VENV/bin/python" -m tests.support.damaged_corpus "$@"
status=$?
set -e

reports=$(find "$REPORTS" -type f | sort)
if [ -n "$reports" ]; then
    echo "damaged_corpus_asan.sh: sanitizer reports:"
    for report in $reports; do
        echo "---- $report"
        head -n 40 "$report"
    done
    exit 1
fi
echo "damaged_corpus_asan.sh: no sanitizer reports (corpus exit $status)"
exit $status
