#!/usr/bin/env bash
# Fuzzes the C++ session core with libFuzzer for a given number of seconds.
#
#   scripts/fuzz.sh SECONDS                        against mbgauge's FFmpeg (ffmpeg/build.sh)
#   MBGAUGE_FFMPEG=system scripts/fuzz.sh SECONDS  against the system's
#
# Builds tests/fuzz/fuzz_session.cpp with -fsanitize=fuzzer,address,undefined,
# writes the seed videos (tests/fuzz/make_seeds.sh), then fuzzes one process
# with -max_total_time=SECONDS -rss_limit_mb=2048 -timeout=10 on a work corpus
# outside the checkout. A crash stops libFuzzer; the run is then resumed for
# the time left (at most 20 times). Crash and leak inputs are copied into
# tests/fuzz/regressions/, which tests/test_fuzz_regressions.py replays;
# timeouts and out-of-memory inputs stay in the artifacts directory, named at
# the end. Everything else lives under $MBGAUGE_CACHE (~/.cache/mbgauge):
#   fuzz-build/    the fuzz target          fuzz-seeds/     the seed videos
#   fuzz-corpus/   the growing corpus       fuzz-artifacts/ crash-*, leak-*, timeout-*, oom-*
#   fuzz-logs/     one log per run
set -euo pipefail

SECONDS_TOTAL=${1:?usage: scripts/fuzz.sh SECONDS}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE_DIR=${MBGAUGE_CACHE:-$HOME/.cache/mbgauge}

# clang, libFuzzer and the ffmpeg command come with the set-up script.
if ! command -v clang++ >/dev/null || ! command -v ffmpeg >/dev/null ||
        [ ! -e "$(clang++ -print-runtime-dir 2>/dev/null)/libclang_rt.fuzzer-$(uname -m).a" ]; then
    "$ROOT/scripts/setup.sh"
fi

source "$ROOT/ffmpeg/env.sh"
FLAVOUR=$FFMPEG_FLAVOUR

BUILD_DIR=$CACHE_DIR/fuzz-build
SEEDS=$CACHE_DIR/fuzz-seeds
CORPUS=$CACHE_DIR/fuzz-corpus
ARTIFACTS=$CACHE_DIR/fuzz-artifacts
LOGS=$CACHE_DIR/fuzz-logs
REGRESSIONS=$ROOT/tests/fuzz/regressions
mkdir -p "$BUILD_DIR" "$SEEDS" "$CORPUS" "$ARTIFACTS" "$LOGS" "$REGRESSIONS"

BINARY=$BUILD_DIR/fuzz_session-$FLAVOUR
echo "fuzz.sh: building $BINARY against libavcodec $(pkg-config --modversion libavcodec)"
"$ROOT/tests/fuzz/build.sh" fuzz "$BINARY"
"$ROOT/tests/fuzz/make_seeds.sh" "$SEEDS"

LOG=$LOGS/fuzz-$FLAVOUR-$(date +%Y%m%d-%H%M%S).log
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
start=$(date +%s)
runs=0
while true; do
    left=$((SECONDS_TOTAL - ($(date +%s) - start)))
    [ "$left" -gt 0 ] || break
    runs=$((runs + 1))
    before=$(ls "$ARTIFACTS" | wc -l)
    echo "fuzz.sh: run $runs, $left s left; log $LOG"
    set +e
    "$BINARY" -max_total_time="$left" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$ARTIFACTS/" "$CORPUS" "$SEEDS" >>"$LOG" 2>&1
    status=$?
    set -e
    [ $status = 0 ] && break
    after=$(ls "$ARTIFACTS" | wc -l)
    if [ "$after" -le "$before" ]; then
        echo "fuzz.sh: the fuzzer failed (exit $status) without leaving an input; see $LOG" >&2
        exit $status
    fi
    echo "fuzz.sh: a finding (exit $status); resuming"
    [ $runs -lt 20 ] || { echo "fuzz.sh: 20 findings, stopping"; break; }
done

for finding in "$ARTIFACTS"/crash-* "$ARTIFACTS"/leak-*; do
    [ -e "$finding" ] || continue
    name=$(basename "$finding")
    if [ ! -e "$REGRESSIONS/$name" ]; then
        cp "$finding" "$REGRESSIONS/$name"
        echo "fuzz.sh: new regression input tests/fuzz/regressions/$name"
    fi
done

echo "== fuzz.sh summary ($FLAVOUR FFmpeg, $SECONDS_TOTAL s, $runs libFuzzer run(s))"
awk '/^stat::number_of_executed_units/ { n += $NF } END { print "executions:", n + 0 }' "$LOG"
grep -E '^#[0-9]+' "$LOG" | tail -n 1
echo "corpus: $(ls "$CORPUS" | wc -l) files, $(du -sh "$CORPUS" | cut -f1)"
ls -1 "$ARTIFACTS" | sed 's/^/artifact: /'
