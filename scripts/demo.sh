#!/usr/bin/env bash
# Builds the package and the demo connector package into a virtual environment and runs the demo
# host: the whole request road of one host process, printed as tables.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
bash scripts/setup-env.sh "aws"
VENV="${QL_VENV:-$ROOT/.venv}"
"$VENV/bin/python" -m pip install -q "moto[server]>=5" "$ROOT/examples/quellon_acme"
exec "$VENV/bin/python" "$ROOT/examples/host.py" "$@"
