#!/usr/bin/env bash
# Line and branch coverage of session/*.cpp reached by the fuzz target over
# the given inputs (default: the seed videos and the work corpus of
# scripts/fuzz.sh), from a build with clang's source-based coverage.
#
#   tests/fuzz/coverage.sh [DIR...]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
CACHE_DIR=${MBGAUGE_CACHE:-$HOME/.cache/mbgauge}
[ $# -gt 0 ] || set -- "$CACHE_DIR/fuzz-seeds" "$CACHE_DIR/fuzz-corpus"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
"$ROOT/tests/fuzz/build.sh" coverage "$WORK/fuzz_cov"
# -runs=0: run every input once, then stop.
LLVM_PROFILE_FILE=$WORK/run.profraw "$WORK/fuzz_cov" -runs=0 -rss_limit_mb=2048 -timeout=10 "$@" \
    > "$WORK/run.log" 2>&1 || { tail -n 20 "$WORK/run.log"; exit 1; }
llvm-profdata merge -sparse "$WORK/run.profraw" -o "$WORK/run.profdata"
llvm-cov report "$WORK/fuzz_cov" -instr-profile="$WORK/run.profdata" "$ROOT"/session/*.cpp
