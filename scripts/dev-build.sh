#!/usr/bin/env bash
# Development build: compiles the named native modules (all when none are named) next to their
# Python sources, so that PYTHONPATH=src picks them up. BUILD_DIR keeps concurrent builds apart.
set -euo pipefail
cd "$(dirname "$0")/.."
# The interpreter: PYTHON, else the checkout's own .venv (which scripts/setup-env.sh makes), else python3.
PY=${PYTHON:-$PWD/.venv/bin/python}
[ -x "$PY" ] || PY=python3
BUILD_DIR=${BUILD_DIR:-build/dev}
if [ ! -f "$BUILD_DIR/build.ninja" ]; then
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} \
    -DQL_INPLACE=ON -DQL_WERROR=ON -DQL_SELFTEST=ON -DPython_EXECUTABLE="$PY" ${CMAKE_ARGS:-} >/dev/null
else
  cmake "$BUILD_DIR" >/dev/null   # pick up modules added since the last configure
fi
if [ $# -gt 0 ]; then
  cmake --build "$BUILD_DIR" -j2 --target "$@"
else
  cmake --build "$BUILD_DIR" -j2
fi
