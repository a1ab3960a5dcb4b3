#!/usr/bin/env bash
# Compiles one of the native sanitizer programs against session/*.cpp and the
# FFmpeg that pkg-config names (a PKG_CONFIG_PATH build is found at run time
# through an rpath):
#
#   tests/fuzz/build.sh fuzz OUTPUT   libFuzzer target, -fsanitize=fuzzer,address,undefined
#   tests/fuzz/build.sh tsan OUTPUT   threaded driver, -fsanitize=thread
#   tests/fuzz/build.sh coverage OUTPUT   the fuzz target with source-based coverage
#
# Uses clang++ (Debian's clang and libclang-rt-dev). The objects are compiled
# in parallel in a scratch directory beside OUTPUT.
set -euo pipefail

KIND=${1:?usage: build.sh fuzz|tsan|coverage OUTPUT}
OUTPUT=${2:?usage: build.sh fuzz|tsan|coverage OUTPUT}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
CXX=${CXX_FUZZ:-clang++}

case $KIND in
    fuzz)
        MAIN=$ROOT/tests/fuzz/fuzz_session.cpp
        SANITIZE=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
        ;;
    tsan)
        MAIN=$ROOT/tests/fuzz/tsan_threads.cpp
        SANITIZE=(-fsanitize=thread)
        ;;
    coverage)
        MAIN=$ROOT/tests/fuzz/fuzz_session.cpp
        SANITIZE=(-fsanitize=fuzzer -fprofile-instr-generate -fcoverage-mapping)
        ;;
    *) echo "build.sh: unknown kind '$KIND' (fuzz, tsan or coverage)" >&2; exit 2 ;;
esac

read -r -a FFMPEG_CFLAGS <<< "$(pkg-config --cflags libavformat libavcodec libavutil)"
read -r -a FFMPEG_LIBS <<< "$(pkg-config --libs libavformat libavcodec libavutil)"
if [ -n "${PKG_CONFIG_PATH:-}" ]; then
    FFMPEG_LIBS+=("-Wl,-rpath,$(pkg-config --variable=libdir libavcodec)")
fi

FLAGS=(-std=c++17 -g -O1 -fno-omit-frame-pointer -Wall -Wextra "${SANITIZE[@]}" "-I$ROOT"
       "${FFMPEG_CFLAGS[@]}")

OBJ_DIR=$(mktemp -d "$(dirname "$OUTPUT")/.objects-XXXXXX")
trap 'rm -rf "$OBJ_DIR"' EXIT
pids=()
objects=()
for source in "$MAIN" "$ROOT"/session/*.cpp; do
    object=$OBJ_DIR/$(basename "$source" .cpp).o
    objects+=("$object")
    "$CXX" "${FLAGS[@]}" -c "$source" -o "$object" &
    pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
[ $status = 0 ] || { echo "build.sh: compiling failed" >&2; exit 1; }
"$CXX" "${FLAGS[@]}" "${objects[@]}" "${FFMPEG_LIBS[@]}" -o "$OUTPUT.partial"
mv "$OUTPUT.partial" "$OUTPUT"
