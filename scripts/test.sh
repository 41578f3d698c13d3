#!/usr/bin/env bash
# Builds the package and runs the whole test suite once per supported CPython found on this machine
# (3.11, 3.12, 3.13), each in its own virtual environment: .venv for the default python3, .venv-X.Y
# for the others. A missing interpreter is reported and skipped; every interpreter found is run even
# when an earlier one fails, and the script fails if any of them did.
# Installs what the tests need by itself: Python packages from PyPI, and (as root, when missing)
# the Debian programs some tests start.
#
# Usage: bash scripts/test.sh [pytest arguments]
#   QL_PYTHONS="3.12 3.13"   which versions to run (space or comma separated; default: 3.11 3.12 3.13)
#   QL_PYTHONS_STRICT=1      a missing interpreter fails the run instead of being skipped (CI)
#   PYTHON=/path/python3     the default interpreter (default: python3), whose environment is .venv
#   QL_SANITIZE_RUN=1|0      the shorter sanitizer run after the suites (default: on only under CI=true)
#   QL_SANITIZE_PYTHON=X.Y   the version it runs on (default: 3.12, the target, else the first found)
#   QL_SANITIZE_TESTS        replaces its test selection
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

# Debian programs that tests start, as "command package". Tests that need one skip when it is
# missing; here they are installed so that the run covers them. A new one is one more line.
DEBIAN_NEEDS=(
  "chromium chromium"
  "curl curl"
  "redis-server redis-server"
)
if [ "$(id -u)" = "0" ] && command -v apt-get >/dev/null 2>&1; then
  missing=()
  for need in "${DEBIAN_NEEDS[@]}"; do
    read -r cmd pkg <<<"$need"
    command -v "$cmd" >/dev/null 2>&1 || missing+=("$pkg")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing from Debian: ${missing[*]}"
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null || {
      echo "test.sh: apt-get install ${missing[*]} failed" >&2
      exit 1
    }
  fi
fi

DEFAULT_PY="${PYTHON:-python3}"
VERSIONS="${QL_PYTHONS:-3.11 3.12 3.13}"
VERSIONS="${VERSIONS//,/ }"

# "X.Y" of an interpreter, or nothing when it does not run (a pyenv shim without a selected
# version, for one, exists on PATH but fails).
py_version() {
  "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null
}

PYENV_ROOT_DIR="$( (command -v pyenv >/dev/null 2>&1 && pyenv root 2>/dev/null) || echo "${PYENV_ROOT:-$HOME/.pyenv}")"

# The interpreter for version X.Y: the default python3 when it is that version, else pyenv's
# newest X.Y.* build, else pythonX.Y on PATH. Only an interpreter that runs and reports X.Y counts.
find_python() {
  local want="$1" cand
  local cands=("$DEFAULT_PY")
  if [ -d "$PYENV_ROOT_DIR/versions" ]; then
    # Plain releases only (not "3.13.0t" or "-dev" builds), newest first.
    while IFS= read -r cand; do cands+=("$PYENV_ROOT_DIR/versions/$cand/bin/python3"); done < <(
      ls "$PYENV_ROOT_DIR/versions" 2>/dev/null | grep -E "^${want//./\\.}\.[0-9]+\$" | sort -V -r)
  fi
  cands+=("python$want")
  for cand in "${cands[@]}"; do
    if [ "$(py_version "$cand")" = "$want" ]; then
      command -v "$cand" 2>/dev/null || echo "$cand"
      return 0
    fi
  done
  return 1
}

DEFAULT_VERSION="$(py_version "$DEFAULT_PY")"
RESULTS=()
rc=0
found=0
declare -A PY_OF=()
for v in $VERSIONS; do
  if ! py="$(find_python "$v")"; then
    if [ "${QL_PYTHONS_STRICT:-0}" = "1" ]; then
      RESULTS+=("CPython $v: FAILED (no interpreter found; QL_PYTHONS_STRICT=1)")
      rc=1
    else
      RESULTS+=("CPython $v: skipped (no interpreter found on PATH or in $PYENV_ROOT_DIR/versions)")
    fi
    echo "== CPython $v: no interpreter found"
    continue
  fi
  if [ "$v" = "$DEFAULT_VERSION" ]; then
    venv="${QL_VENV:-$ROOT/.venv}"
  else
    venv="$ROOT/.venv-$v"
  fi
  PY_OF[$v]="$py"
  found=$((found + 1))
  echo "== CPython $v ($py): building and installing quellon-runtime into ${venv#"$ROOT"/} (this compiles every native module)"
  # The CMake build directory is per interpreter (pyproject's build-dir carries the wheel tag).
  if ! PYTHON="$py" QL_VENV="$venv" bash scripts/setup-env.sh "test,aws,azure,gcp" QL_SELFTEST=ON QL_WERROR=ON; then
    RESULTS+=("CPython $v: FAILED (build or install)")
    rc=1
    continue
  fi
  echo "== CPython $v: running the test suite"
  "$venv/bin/python" -m pytest -p no:cacheprovider -q "$@"
  prc=$?
  case $prc in
    0) RESULTS+=("CPython $v: passed") ;;
    5) RESULTS+=("CPython $v: FAILED (pytest ran no tests)"); rc=1 ;;
    *) RESULTS+=("CPython $v: FAILED (pytest exit $prc)"); rc=1 ;;
  esac
  # Once per run, on the first interpreter built: every native module against its stub (mypy's
  # stubtest, with scripts/stubtest-allowlist.txt for what it cannot see).
  if [ -z "${STUBTEST_DONE:-}" ]; then
    STUBTEST_DONE=1
    echo "== CPython $v: stubtest over every native module"
    if "$venv/bin/python" scripts/stubtest.py; then
      RESULTS+=("stubtest (CPython $v): passed")
    else
      RESULTS+=("stubtest (CPython $v): FAILED"); rc=1
    fi
  fi
done

if [ "$found" -eq 0 ]; then
  RESULTS+=("no supported interpreter found for: $VERSIONS")
  rc=1
fi

# In CI (CI=true) a shorter run under AddressSanitizer and UBSan follows, on one interpreter;
# QL_SANITIZE_RUN=1 or 0 asks for it or skips it anywhere.
SANITIZE_RUN="${QL_SANITIZE_RUN:-$([ "${CI:-}" = "true" ] && echo 1 || echo 0)}"
if [ "$SANITIZE_RUN" = "1" ]; then
  sv="${QL_SANITIZE_PYTHON:-3.12}"
  if [ -z "${PY_OF[$sv]:-}" ]; then
    sv=""
    for v in $VERSIONS; do [ -n "${PY_OF[$v]:-}" ] && { sv="$v"; break; }; done
  fi
  if [ -z "$sv" ]; then
    RESULTS+=("sanitizers: FAILED (no interpreter to run them on)")
    rc=1
  else
    echo "== CPython $sv: shorter run under AddressSanitizer and UndefinedBehaviorSanitizer (scripts/sanitize.sh)"
    srcs=0
    # shellcheck disable=SC2086  # the selection is a list of paths
    PYTHON="${PY_OF[$sv]}" bash scripts/sanitize.sh ${QL_SANITIZE_TESTS:-tests/test_toolkit.py tests/test_pipeline.py \
      tests/test_nested_calls.py tests/test_redirect_catcher.py tests/test_mcp_challenges.py tests/test_bad_input.py tests/test_redis_faults.py::test_reinitialising_during_a_call_keeps_the_call_whole} || srcs=$?
    case $srcs in
      0) RESULTS+=("sanitizers (CPython $sv): passed") ;;
      5) RESULTS+=("sanitizers (CPython $sv): FAILED (pytest ran no tests)"); rc=1 ;;
      *) RESULTS+=("sanitizers (CPython $sv): FAILED (exit $srcs)"); rc=1 ;;
    esac
  fi
fi

echo "== summary"
for line in "${RESULTS[@]}"; do echo "   $line"; done
exit $rc
