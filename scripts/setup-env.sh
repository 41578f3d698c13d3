#!/usr/bin/env bash
# Creates (or reuses) the virtual environment and installs the package from this checkout with the
# given extras. Everything comes from PyPI; the native modules are compiled by pip via CMake.
# Usage: bash scripts/setup-env.sh [EXTRAS [extra cmake defines...]]
# Without arguments it installs what the test suite needs ("test,aws,azure,gcp"); "" installs none.
# PYTHON picks the interpreter (default python3); QL_VENV another environment; QL_BUILD_DIR another
# CMake build directory (so that builds with different options, e.g. QL_SANITIZE=ON, do not overwrite
# each other's objects; "{wheel_tag}" in it keeps interpreters apart too).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${QL_VENV:-$ROOT/.venv}"
PY="${PYTHON:-python3}"
# An environment left by another Python version (or a moved interpreter) is made anew: pip would
# otherwise build for the wrong interpreter, or fail.
want="$("$PY" -c 'import sys; print(sys.version_info[:2])')"
if [ -x "$VENV/bin/python" ] && [ "$("$VENV/bin/python" -c 'import sys; print(sys.version_info[:2])' 2>/dev/null)" != "$want" ]; then
  echo "setup-env.sh: $VENV is not for $PY's version; recreating it" >&2
  rm -rf "$VENV"
fi
if [ ! -x "$VENV/bin/python" ]; then
  "$PY" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
if [ $# -eq 0 ]; then
  EXTRAS="test,aws,azure,gcp"
else
  EXTRAS="$1"
  shift
fi
CONFIG=()
for d in "$@"; do CONFIG+=("-Ccmake.define.$d"); done
[ -n "${QL_BUILD_DIR:-}" ] && CONFIG+=("-Cbuild-dir=$QL_BUILD_DIR")
INSTALL_TARGET="$ROOT"
[ -n "$EXTRAS" ] && INSTALL_TARGET="$ROOT[$EXTRAS]"
"$VENV/bin/python" -m pip install -q "${CONFIG[@]}" "$INSTALL_TARGET"
