#!/usr/bin/env bash
# Builds every native module with AddressSanitizer and UndefinedBehaviorSanitizer and runs the test
# suite under them. The build goes to its own environment and build directory (.venv-sanitize,
# build/sanitize), so the ordinary .venv and its objects stay as they are.
#
# Usage: bash scripts/sanitize.sh [pytest arguments]     (no arguments: the whole suite)
#   PYTHON=/path/python3  the interpreter to build for (default python3)
#   QL_SANITIZE_BUILD=0   reuse the last sanitizer build instead of (re)installing
#   QL_SANITIZE_VENV, QL_SANITIZE_BUILD_DIR   other locations
#
# The interpreter itself is not instrumented, so the compiler's ASan runtime is preloaded into it
# (and into every Python subprocess a test starts); Python's small-object allocator is switched off
# so that ASan sees every object allocation. Leak detection is off: CPython does not free everything
# at exit. The first ASan or UBSan report aborts the process, which fails the test run.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
VENV="${QL_SANITIZE_VENV:-$ROOT/.venv-sanitize}"
CXX="${CXX:-g++}"

if [ "${QL_SANITIZE_BUILD:-1}" != "0" ]; then
  echo "== building quellon-runtime with ASan and UBSan into $VENV"
  # Keep symbols and line tables so reports point at source lines.
  export SKBUILD_CMAKE_BUILD_TYPE=RelWithDebInfo SKBUILD_INSTALL_STRIP=false
  QL_VENV="$VENV" QL_BUILD_DIR="${QL_SANITIZE_BUILD_DIR:-$ROOT/build/sanitize/{wheel_tag\}}" \
    bash scripts/setup-env.sh "test,aws,azure,gcp" QL_SANITIZE=ON QL_SELFTEST=ON
fi

runtime() {
  local lib
  lib="$("$CXX" -print-file-name="$1")"
  if [ "$lib" = "$1" ] || [ ! -e "$lib" ]; then
    echo "sanitize.sh: $CXX has no $1 (install the compiler's sanitizer runtimes)" >&2
    exit 2
  fi
  readlink -f "$lib"
}
ASAN_LIB="$(runtime libasan.so)"
UBSAN_LIB="$(runtime libubsan.so)"

# Programs the tests start that are not Python (a browser, curl) run without the preloaded runtime.
SHIMS="$(mktemp -d)"
trap 'rm -rf "$SHIMS"' EXIT
for prog in chromium chromium-browser google-chrome curl redis-server; do
  real="$(command -v "$prog" || true)"
  [ -n "$real" ] || continue
  printf '#!/bin/sh\nunset LD_PRELOAD ASAN_OPTIONS UBSAN_OPTIONS PYTHONMALLOC\nexec "%s" "$@"\n' "$real" >"$SHIMS/$prog"
  chmod +x "$SHIMS/$prog"
done

echo "== running the tests under ASan and UBSan"
export PATH="$SHIMS:$PATH"
export LD_PRELOAD="$ASAN_LIB $UBSAN_LIB${LD_PRELOAD:+ $LD_PRELOAD}"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:strict_init_order=1:detect_stack_use_after_return=0:print_summary=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONMALLOC=malloc
export PYTHONFAULTHANDLER=1
"$VENV/bin/python" -m pytest -p no:cacheprovider -q "$@"
