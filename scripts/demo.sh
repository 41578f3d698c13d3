#!/usr/bin/env bash
# Builds the package and the demo connector package into a virtual environment and runs the demo
# host: the whole request road of one host process, printed as tables. Then it serves the demo
# connector with `python -m quellon_runtime.serve` and calls it with the official MCP client (both
# protocol eras) and a plain HTTP client on REST (examples/serve_client.py), again as tables.
#
# With redis-server available (installed from Debian when missing, as root) the demo also starts
# one on a free loopback port, with no persistence, and sets QL_THROTTLE_BACKEND=redis: the host
# then starts a second replica process and shows the per-identity limit and the tenant's breaker
# holding across both. QL_DEMO_REDIS=0, or no redis-server to be had, runs the demo as one process.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
WANT_REDIS="${QL_DEMO_REDIS:-1}"
EXTRAS="aws,serve"
[ "$WANT_REDIS" != "0" ] && EXTRAS="aws,serve,redis"
bash scripts/setup-env.sh "$EXTRAS"
VENV="${QL_VENV:-$ROOT/.venv}"
PY="${PYTHON_FOR_DEMO:-$VENV/bin/python}"
"$PY" -m pip install -q "moto[server]>=5" "$ROOT/examples/quellon_acme"

REDIS_PID=""
REDIS_DIR=""
SERVE_PID=""
cleanup() {
  if [ -n "$SERVE_PID" ]; then kill "$SERVE_PID" 2>/dev/null || true; wait "$SERVE_PID" 2>/dev/null || true; fi
  if [ -n "$REDIS_PID" ]; then kill "$REDIS_PID" 2>/dev/null || true; wait "$REDIS_PID" 2>/dev/null || true; fi
  if [ -n "$REDIS_DIR" ]; then rm -rf "$REDIS_DIR"; fi
}
trap cleanup EXIT

if [ "$WANT_REDIS" != "0" ] && [ -z "${QL_THROTTLE_REDIS_URL:-}" ]; then
  if ! command -v redis-server >/dev/null 2>&1 && [ "$(id -u)" = "0" ] && command -v apt-get >/dev/null 2>&1; then
    echo "== installing redis-server from Debian"
    apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq redis-server >/dev/null || true
  fi
  if command -v redis-server >/dev/null 2>&1; then
    PORT="$("$PY" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
    REDIS_DIR="$(mktemp -d)"
    redis-server --bind 127.0.0.1 --port "$PORT" --save "" --appendonly no --dir "$REDIS_DIR" \
      --daemonize no --loglevel warning >"$REDIS_DIR/log" 2>&1 &
    REDIS_PID=$!
    for _ in $(seq 100); do
      if "$PY" -c "import redis, sys; redis.Redis(host='127.0.0.1', port=$PORT).ping()" 2>/dev/null; then break; fi
      sleep 0.1
    done
    export QL_THROTTLE_BACKEND=redis QL_THROTTLE_REDIS_URL="redis://127.0.0.1:$PORT/0"
    echo "== redis-server on 127.0.0.1:$PORT (pid $REDIS_PID): the throttles and breakers are shared"
  else
    echo "== no redis-server: the demo runs as one process with in-memory throttles"
  fi
fi
"$PY" "$ROOT/examples/host.py" "$@"

# The bindings: the one command serves the demo connector on loopback (shared limits and breakers
# when Redis is up), then the clients call it.
SERVE_KEY="demo-serve-api-key-$RANDOM$RANDOM"
SERVE_PORT="$("$PY" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
echo
echo "== python -m quellon_runtime.serve on 127.0.0.1:$SERVE_PORT"
QL_ALLOWED_CONNECTORS=acme QL_SERVE_PORT="$SERVE_PORT" QL_SERVE_API_KEY="$SERVE_KEY" \
  QL_SERVE_API_KEY_SCOPES=orders:read QL_MCP_SCOPE_GATE_DEFAULT=allow \
  "$PY" -m quellon_runtime.serve --log-level CRITICAL &
SERVE_PID=$!
for _ in $(seq 200); do
  if "$PY" -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$SERVE_PORT/readyz', timeout=1)" 2>/dev/null; then break; fi
  sleep 0.1
done
"$PY" "$ROOT/examples/serve_client.py" "http://127.0.0.1:$SERVE_PORT" "$SERVE_KEY"
kill -TERM "$SERVE_PID" && wait "$SERVE_PID" || true
SERVE_PID=""
