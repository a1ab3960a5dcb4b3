#!/usr/bin/env bash
# Runs the benchmarks: sets up the .venv and mbgauge, adds the comparison
# libraries, then runs bench/run.py with the arguments given (for example
# --quick, --scenarios seq_qp,open, --runs 7, --out DIR).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
"$ROOT/.venv/bin/python" -m pip install -q -r "$ROOT/requirements-bench.txt"
exec "$ROOT/.venv/bin/python" "$ROOT/bench/run.py" "$@"
