#!/usr/bin/env bash
# Runs every test: first against the system FFmpeg, then against FFmpeg 9.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
cd "$ROOT"
echo "== tests against the system FFmpeg ($(pkg-config --modversion libavcodec))"
.venv/bin/python -m pytest "$@"
echo "== tests against FFmpeg 9"
"$ROOT/scripts/ffmpeg9.sh" "$@"
