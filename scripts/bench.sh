#!/usr/bin/env bash
# Builds the package into the virtual environment and runs every benchmark, printing one table.
# Benchmarks compare against baselines measured in the same run; give them a quiet machine.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
bash scripts/setup-env.sh "test"
VENV="${QL_VENV:-$ROOT/.venv}"
"$VENV/bin/python" -m pip install -q limits
exec "$VENV/bin/python" benchmarks/run_all.py "$@"
