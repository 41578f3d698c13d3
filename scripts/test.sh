#!/usr/bin/env bash
# Builds the package into a fresh virtual environment and runs the whole test suite.
# Installs what the tests need by itself: Python packages from PyPI, and (as root, when missing)
# Debian's chromium and curl for the loopback-listener tests.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
if [ "$(id -u)" = "0" ] && command -v apt-get >/dev/null 2>&1; then
  if ! command -v chromium >/dev/null 2>&1 || ! command -v curl >/dev/null 2>&1; then
    echo "== installing chromium and curl from Debian"
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium curl >/dev/null
  fi
fi
echo "== building and installing quellon-runtime (this compiles every native module)"
bash scripts/setup-env.sh "test,aws,azure,gcp" QL_SELFTEST=ON QL_WERROR=ON
VENV="${QL_VENV:-$ROOT/.venv}"
echo "== running the test suite"
cd "$ROOT"
exec "$VENV/bin/python" -m pytest -p no:cacheprovider -q "$@"
