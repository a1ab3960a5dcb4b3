#!/usr/bin/env bash
# Runs the threaded workload of tests/fuzz/tsan_threads.cpp under
# ThreadSanitizer: 4 threads sharing one session, 4 threads with sessions of
# their own, all fetching random frames.
#
#   scripts/tsan.sh                          against mbgauge's FFmpeg (ffmpeg/build.sh)
#   MBGAUGE_FFMPEG=system scripts/tsan.sh    against the system's
#
# FFmpeg is not instrumented: TSan sees its pthread calls (so the hand-over of
# pictures between its slice threads and the caller is ordered), but none of
# its memory accesses or atomics. tests/fuzz/tsan.supp holds the suppressions
# for races inside FFmpeg, if any are needed (none were when written).
# Exit status: 0 when TSan reported nothing and every check held.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE_DIR=${MBGAUGE_CACHE:-$HOME/.cache/mbgauge}
if ! command -v clang++ >/dev/null || ! command -v ffmpeg >/dev/null; then
    "$ROOT/scripts/setup.sh"
fi

source "$ROOT/ffmpeg/env.sh"
FLAVOUR=$FFMPEG_FLAVOUR

BUILD_DIR=$CACHE_DIR/fuzz-build
SEEDS=$CACHE_DIR/fuzz-seeds
mkdir -p "$BUILD_DIR"
BINARY=$BUILD_DIR/tsan_threads-$FLAVOUR
echo "tsan.sh: building $BINARY against libavcodec $(pkg-config --modversion libavcodec)"
"$ROOT/tests/fuzz/build.sh" tsan "$BINARY"
"$ROOT/tests/fuzz/make_seeds.sh" "$SEEDS"

# The shared session's file: more frames than the session caches, key
# frames every 30 pictures, 4 slices per picture for FFmpeg's slice threads.
SHARED=$SEEDS/../tsan-shared-320x240.mp4
if [ ! -s "$SHARED" ]; then
    ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=320x240:rate=25 \
        -frames:v 150 -c:v libx264 -preset veryfast -bf 3 -g 30 -x264-params slices=4 \
        "$SHARED.partial.mp4"
    mv "$SHARED.partial.mp4" "$SHARED"
fi

OWN=()
for name in h264_cabac_bframes_opengop.mp4 h264_10bit.mkv h264_raw.h264 h264.ts mpeg2.ts \
            mpeg4_bframes.avi h264_interlaced.mkv h264_fragmented.mp4; do
    OWN+=("$SEEDS/$name")
done

export TSAN_OPTIONS="halt_on_error=0:second_deadlock_stack=1:exitcode=66:suppressions=$ROOT/tests/fuzz/tsan.supp"
echo "tsan.sh: running (TSAN_OPTIONS=$TSAN_OPTIONS)"
"$BINARY" "$SHARED" "${OWN[@]}"
echo "tsan.sh: no ThreadSanitizer reports"
