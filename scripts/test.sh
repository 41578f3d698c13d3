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
  if ! command -v redis-server >/dev/null 2>&1; then
    echo "== installing redis-server from Debian (shared throttle backend tests)"
    apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq redis-server >/dev/null
  fi
fi
echo "== building and installing quellon-runtime (this compiles every native module)"
bash scripts/setup-env.sh "test,aws,azure,gcp" QL_SELFTEST=ON QL_WERROR=ON
VENV="${QL_VENV:-$ROOT/.venv}"
echo "== running the test suite"
cd "$ROOT"
# In CI (CI=true) a shorter run under AddressSanitizer and UBSan follows; QL_SANITIZE_RUN=1 or 0
# asks for it or skips it anywhere. QL_SANITIZE_TESTS replaces the default selection.
SANITIZE_RUN="${QL_SANITIZE_RUN:-$([ "${CI:-}" = "true" ] && echo 1 || echo 0)}"
if [ "$SANITIZE_RUN" != "1" ]; then
  exec "$VENV/bin/python" -m pytest -p no:cacheprovider -q "$@"
fi
rc=0
"$VENV/bin/python" -m pytest -p no:cacheprovider -q "$@" || rc=$?
echo "== shorter run under AddressSanitizer and UndefinedBehaviorSanitizer (scripts/sanitize.sh)"
# shellcheck disable=SC2086  # the selection is a list of paths
bash scripts/sanitize.sh ${QL_SANITIZE_TESTS:-tests/test_toolkit.py tests/test_pipeline.py tests/test_nested_calls.py \
  tests/test_redirect_catcher.py tests/test_mcp_challenges.py tests/test_bad_input.py} || rc=$?
exit $rc
