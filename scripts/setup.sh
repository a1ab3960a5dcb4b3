#!/usr/bin/env bash
# Installs everything mbgauge needs to build and test, idempotently: Debian
# packages, a CPython 3.13 that runs, the .venv made from it, the Python
# packages, mbgauge's own FFmpeg build (ffmpeg/build.sh, cached under
# ~/.cache/mbgauge) and mbgauge itself, linked against that FFmpeg and rebuilt
# only when its sources or its FFmpeg changed.
#
#   MBGAUGE_FFMPEG=system   link the system's FFmpeg instead (see ffmpeg/env.sh;
#                           HEVC QP maps then read -1)
#   MBGAUGE_VENV=DIR        make and use that venv instead of .venv
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
VENV=${MBGAUGE_VENV:-$ROOT/.venv}
APT_PACKAGES=(pkg-config libavformat-dev libavcodec-dev libavutil-dev ffmpeg x264 x265
              g++ cmake nasm xz-utils clang libclang-rt-dev valgrind patch
              libdav1d-dev zlib1g-dev chromium chromium-driver)

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

apt_updated=0
apt_install() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ $apt_updated = 0 ]; then
        as_root apt-get update -qq
        apt_updated=1
    fi
    echo "setup: installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}" >/dev/null
}

runs_313() { [ -x "$1" ] && "$1" -c 'import sys, venv; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; }

find_python313() {
    local candidates=(/usr/bin/python3.13)
    local pyenv_root
    pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    candidates+=("$pyenv_root"/versions/3.13*/bin/python3.13)
    for candidate in "${candidates[@]}"; do
        if runs_313 "$candidate"; then echo "$candidate"; return 0; fi
    done
    return 1
}

apt_install "${APT_PACKAGES[@]}"

PYTHON313=$(find_python313 || true)
if [ -z "$PYTHON313" ]; then
    apt_install python3.13 python3.13-venv python3.13-dev
    PYTHON313=$(find_python313) || { echo "setup: no working CPython 3.13 found" >&2; exit 1; }
fi

if ! runs_313 "$VENV/bin/python"; then
    rm -rf "$VENV"
    "$PYTHON313" -m venv "$VENV"
fi

REQUIREMENTS_STAMP=$VENV/.requirements.sha256
if ! sha256sum --status -c "$REQUIREMENTS_STAMP" 2>/dev/null; then
    "$VENV/bin/python" -m pip install -q --upgrade pip
    "$VENV/bin/python" -m pip install -q -r "$ROOT/requirements-dev.txt"
    sha256sum "$ROOT/requirements-dev.txt" > "$REQUIREMENTS_STAMP"
fi

source "$ROOT/ffmpeg/env.sh"
# CMake keeps pkg-config's answers in its cache: one build directory per FFmpeg.
BUILD_DIR=$ROOT/build/$FFMPEG_FLAVOUR

# Rebuild mbgauge when its sources, build files or the FFmpeg it links change.
build_fingerprint() {
    (cd "$ROOT" && cat CMakeLists.txt pyproject.toml session/* binding/* mbgauge.pyi \
            $(find mbgauge_tools -type f ! -path '*/__pycache__/*' | sort) &&
        pkg-config --variable=libdir libavcodec &&
        pkg-config --modversion libavformat libavcodec libavutil) | sha256sum | cut -d' ' -f1
}
BUILD_STAMP=$VENV/.mbgauge-build

# The tests' S3 server, in an environment of its own (see requirements-moto.txt).
MOTO_VENV=${MBGAUGE_MOTO_VENV:-$ROOT/.venv-moto}
MOTO_STAMP=$MOTO_VENV/.requirements.sha256
if ! runs_313 "$MOTO_VENV/bin/python" || ! sha256sum --status -c "$MOTO_STAMP" 2>/dev/null; then
    rm -rf "$MOTO_VENV"
    "$PYTHON313" -m venv "$MOTO_VENV"
    "$MOTO_VENV/bin/python" -m pip install -q -r "$ROOT/requirements-moto.txt"
    sha256sum "$ROOT/requirements-moto.txt" > "$MOTO_STAMP"
fi
fingerprint=$(build_fingerprint)
if [ "$(cat "$BUILD_STAMP" 2>/dev/null)" != "$fingerprint" ] ||
        ! "$VENV/bin/python" -c 'import mbgauge' 2>/dev/null; then
    echo "setup: building mbgauge against FFmpeg $(pkg-config --modversion libavcodec)" \
         "($(pkg-config --variable=libdir libavcodec))"
    "$VENV/bin/python" -m pip install -q --no-build-isolation \
        --config-settings=build-dir="$BUILD_DIR" "$ROOT"
    echo "$fingerprint" > "$BUILD_STAMP"
fi
