#!/usr/bin/env bash
# Runs every test twice: against mbgauge's own FFmpeg (the default build,
# ffmpeg/build.sh) in .venv, then against the system FFmpeg in .venv-system.
# The wheel test (scripts/wheel.sh) runs in the first leg only.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

"$ROOT/scripts/setup.sh"
echo "== lint, format and type check (ruff, mypy)"
.venv/bin/ruff check .
.venv/bin/ruff format --check .
.venv/bin/mypy
loaded_libavcodec() {
    "$1" -c "import mbgauge; print(next(l.split()[-1] for l in open('/proc/self/maps') if 'libavcodec' in l))"
}
echo "== tests against mbgauge's FFmpeg ($(loaded_libavcodec .venv/bin/python))"
MBGAUGE_TEST_WHEEL=1 .venv/bin/python -m pytest "$@"

MBGAUGE_FFMPEG=system MBGAUGE_VENV="$ROOT/.venv-system" "$ROOT/scripts/setup.sh"
echo "== tests against the system FFmpeg ($(loaded_libavcodec .venv-system/bin/python))"
.venv-system/bin/python -m pytest "$@"
