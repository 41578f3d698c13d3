"""Served throughput: one trivial tool served several ways by one server process, driven by wrk.

One uvicorn process (uvloop, httptools, no access log) serves, side by side under path prefixes:

- `/binding/mcp` and `/binding/v1/...` (REST): this package's bindings with the whole call path (API-key
  verification, the global bucket, the per-identity limiter, the action's own throttle, the scope
  gate, `run`), limits set high enough never to reject;
- `/sdk/mcp`: the SDK's high-level `MCPServer`, stateless, JSON responses, the same tool;
- `/floor/mcp` and `/floor/rest`: a hand-written ASGI endpoint that parses the request, validates
  it with pydantic and answers, with no pipeline: the floor a binding cannot go below;
- `/floor-run/mcp` and `/floor-run/rest`: the floors plus a bare `run` of the connector (no call
  path): the ceiling of any binding's ratio to its floor, since a binding calls `run` and does more;
- `/raw`: a constant response, the cost of the server and wrk themselves.

wrk posts the same request over and over on loopback: 32 connections for throughput (with the
server's CPU time per request, read from the server before and after), one for the mean latency. Ratios are taken between rows of the same run; the variants take turns over a few
rounds and each keeps its best figure, so a burst of load from elsewhere lands on every variant.
The targets are judged on capacity (one over the server CPU per request); the wall-clock ratios
are printed beside them.
"""


import json
import logging
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from typing import Literal

HERE = os.path.dirname(os.path.abspath(__file__))
API_KEY = "bench-serve-api-key-0123"
TOOL = "bench.echo"
MODERN, LEGACY = "2026-07-28", "2025-06-18"
SECONDS = int(os.environ.get("QL_BENCH_SERVE_SECONDS", "2"))
ROUNDS = int(os.environ.get("QL_BENCH_SERVE_ROUNDS", "3"))

# Environment of the server process: generous limits so nothing is rejected, the API key's scopes.
SERVER_ENV = {
    "QL_THROTTLE_BURST": "100000000",
    "QL_THROTTLE_REFILL_RATE": "100000000",
    "QL_THROTTLE_PER_IDENTITY_ENABLED": "true",
    "QL_THROTTLE_PER_IDENTITY_MAX_REQUESTS": "100000000",
    "QL_THROTTLE_PER_IDENTITY_WINDOW_SECONDS": "60",
    "QL_SERVE_API_KEY_SCOPES": "bench:call",
    "QL_MCP_SCOPE_GATE_DEFAULT": "deny",
    "QL_MCP_ACTION_SCOPE_MAP_JSON": json.dumps({TOOL: "bench:call", f"bench_serve.{TOOL}": "bench:call"}),
    "QL_REST_LOAD_DOTENV": "false",
}


# ---------------------------------------------------------------------------------------------
# The server process
# ---------------------------------------------------------------------------------------------

def _server_app():
    """The ASGI app of the server process: a path-prefix router over every variant."""
    import pydantic_core
    from pydantic import BaseModel

    from quellon_runtime.connector_base import ConnectorBase, ql_action

    class EchoIn(BaseModel):
        action: Literal["bench.echo"] = "bench.echo"
        value: int

    class EchoOut(BaseModel):
        value: int

    class BenchServe(ConnectorBase):
        connector_id = "bench_serve"
        output_model = EchoOut

        @ql_action(TOOL, scopes=["bench:call"], throttle={"max_requests": 100_000_000, "window_seconds": 60})
        async def echo(self, params: EchoIn, *, trace_id: str) -> EchoOut:
            """Echo the value back."""
            return EchoOut(value=params.value)

    connector = BenchServe()
    routes: dict[str, object] = {}

    # The floor: parse, validate with pydantic, answer; no pipeline.
    class Arguments(BaseModel):
        value: int

    class CallParams(BaseModel):
        name: str
        arguments: Arguments
        model_config = {"extra": "allow"}

    class Request(BaseModel):
        jsonrpc: Literal["2.0"]
        id: int | str
        method: Literal["tools/call"]
        params: CallParams

    json_headers = [(b"content-type", b"application/json")]

    async def read_body(receive) -> bytes:
        body = b""
        while True:
            message = await receive()
            body += message.get("body", b"")
            if not message.get("more_body"):
                return body

    async def answer(send, payload: bytes, status: int = 200) -> None:
        await send({"type": "http.response.start", "status": status,
                    "headers": json_headers + [(b"content-length", str(len(payload)).encode())]})
        await send({"type": "http.response.body", "body": payload})

    def tool_result(data: dict) -> dict:
        text = pydantic_core.to_json(data).decode()
        return {"content": [{"type": "text", "text": text}], "structuredContent": data, "isError": False}

    async def floor_mcp(scope, receive, send):
        req = Request.model_validate_json(await read_body(receive))
        data = {"value": req.params.arguments.value}
        await answer(send, pydantic_core.to_json({"jsonrpc": "2.0", "id": req.id, "result": tool_result(data)}))

    async def floor_run_mcp(scope, receive, send):
        req = Request.model_validate_json(await read_body(receive))
        envelope = await connector.run({"action": TOOL, "value": req.params.arguments.value})
        await answer(send, pydantic_core.to_json({"jsonrpc": "2.0", "id": req.id, "result": tool_result(envelope.data)}))

    async def floor_rest(scope, receive, send):
        args = Arguments.model_validate_json(await read_body(receive))
        await answer(send, pydantic_core.to_json({"value": args.value}))

    async def floor_run_rest(scope, receive, send):
        args = Arguments.model_validate_json(await read_body(receive))
        envelope = await connector.run({"action": TOOL, "value": args.value})
        await answer(send, pydantic_core.to_json(envelope.data))

    raw_payload = b'{"ok":true}'

    async def cpu(scope, receive, send):
        await answer(send, json.dumps({"cpu": time.process_time()}).encode())

    async def raw(scope, receive, send):
        await read_body(receive)
        await answer(send, raw_payload)

    routes.update({"/cpu": cpu, "/floor/mcp": floor_mcp, "/floor-run/mcp": floor_run_mcp, "/floor/rest": floor_rest,
                   "/floor-run/rest": floor_run_rest, "/raw": raw})

    # The SDK's high-level server, stateless with JSON responses, the same tool.
    from mcp.server.mcpserver import MCPServer

    sdk = MCPServer("bench-sdk")

    @sdk.tool(name=TOOL)
    async def sdk_echo(value: int) -> EchoOut:
        """Echo the value back."""
        return EchoOut(value=value)

    sdk_app = sdk.streamable_http_app(stateless_http=True, json_response=True)
    lifespans = [sdk_app.router.lifespan_context(sdk_app)]
    routes["/sdk"] = sdk_app

    # This package's bindings, when installed in this tree.
    try:
        from quellon_runtime.serve import CallPath, ServeSettings
        from quellon_runtime.serve.app import build_app
    except ImportError:
        build_app = None
    if build_app is not None:
        settings = ServeSettings.from_env(api_key=API_KEY)
        binding = build_app(CallPath({"bench_serve": connector}, settings), settings)
        lifespans.append(binding.mcp.lifespan())
        routes["/binding"] = binding

    async def router(scope, receive, send):
        if scope["type"] == "lifespan":
            message = await receive()
            for cm in lifespans:
                await cm.__aenter__()
            await send({"type": "lifespan.startup.complete"})
            message = await receive()
            for cm in reversed(lifespans):
                await cm.__aexit__(None, None, None)
            await send({"type": "lifespan.shutdown.complete"})
            return
        path = scope["path"]
        app = routes.get(path)
        if app is None:
            prefix, _, rest = path[1:].partition("/")
            app = routes.get("/" + prefix)
            scope = dict(scope, path="/" + rest, raw_path=("/" + rest).encode())
        if app is None:
            await answer(send, b'{"error":"no route"}', 404)
            return
        await app(scope, receive, send)

    return router, build_app is not None


def _serve(port_file: str) -> None:
    import uvicorn

    os.environ.update(SERVER_ENV)
    app, has_binding = _server_app()
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    config = uvicorn.Config(app, loop="uvloop", http="httptools", log_level="warning", access_log=False,
                            lifespan="on")
    server = uvicorn.Server(config)
    logging.getLogger().setLevel(logging.WARNING)  # as a production host runs: no INFO records
    for name in ("runtime", "mcp", "quellon_runtime"):
        logging.getLogger(name).setLevel(logging.WARNING)
    with open(port_file + ".tmp", "w") as f:
        json.dump({"port": sock.getsockname()[1], "binding": has_binding}, f)
    os.replace(port_file + ".tmp", port_file)
    server.run(sockets=[sock])


# ---------------------------------------------------------------------------------------------
# The driver
# ---------------------------------------------------------------------------------------------

def _modern_meta() -> dict:
    return {"io.modelcontextprotocol/protocolVersion": MODERN,
            "io.modelcontextprotocol/clientInfo": {"name": "wrk", "version": "1"},
            "io.modelcontextprotocol/clientCapabilities": {}}


def _mcp_request(version: str, auth: bool) -> tuple[dict, dict]:
    params: dict = {"name": TOOL, "arguments": {"value": 7}}
    headers = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream",
               "MCP-Protocol-Version": version}
    if version == MODERN:
        params["_meta"] = _modern_meta()
        headers.update({"Mcp-Method": "tools/call", "Mcp-Name": TOOL})
    if auth:
        headers["Authorization"] = f"Bearer {API_KEY}"
    return {"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": params}, headers


def _lua(body: dict, headers: dict) -> str:
    lines = ['wrk.method = "POST"', f"wrk.body = {json.dumps(json.dumps(body))}"]
    lines += [f"wrk.headers[{json.dumps(k)}] = {json.dumps(v)}" for k, v in headers.items()]
    return "\n".join(lines) + "\n"


_UNITS = {"us": 1e-6, "ms": 1e-3, "s": 1.0}


def _wrk(url: str, body: dict, headers: dict, connections: int) -> tuple[float, float, int, int]:
    """(requests per second, mean latency in seconds, requests, non-2xx responses) of one wrk run."""
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as f:
        f.write(_lua(body, headers))
        script = f.name
    try:
        out = subprocess.run(
            ["wrk", "-t1", f"-c{connections}", f"-d{SECONDS:g}s", "-s", script, url],
            capture_output=True, text=True, timeout=SECONDS + 60, check=True,
        ).stdout
    finally:
        os.unlink(script)
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    m = re.search(r"Latency\s+([\d.]+)(us|ms|s)", out)
    latency = float(m.group(1)) * _UNITS[m.group(2)]
    count = int(re.search(r"(\d+) requests in", out).group(1))
    bad = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
    return rps, latency, count, int(bad.group(1)) if bad else 0


def _cpu(port: int) -> float:
    """CPU seconds the server process has used (all its threads)."""
    import urllib.request

    with urllib.request.urlopen(f"http://127.0.0.1:{port}/cpu", timeout=10) as resp:
        return json.loads(resp.read())["cpu"]


def _check(url: str, body: dict, headers: dict) -> None:
    """One request first: a variant that answers wrongly must not be measured as fast."""
    import urllib.request

    req = urllib.request.Request(url, data=json.dumps(body).encode(), headers=headers, method="POST")
    try:
        with urllib.request.urlopen(req, timeout=10) as resp:
            answer = json.loads(resp.read())
    except OSError as exc:
        raise RuntimeError(f"{url} failed: {exc}") from exc
    result = answer.get("result", answer)
    got = result.get("structuredContent") or result.get("data") or result
    if result.get("isError") or got != {"value": 7}:
        raise RuntimeError(f"{url} answered {answer!r}")


def _start_server() -> tuple[subprocess.Popen, int, bool]:
    port_file = tempfile.mktemp(prefix="bench_serve_")
    env = dict(os.environ, **SERVER_ENV)
    proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve", port_file], env=env)
    deadline = time.monotonic() + 60
    while not os.path.exists(port_file):
        if proc.poll() is not None or time.monotonic() > deadline:
            proc.kill()
            raise RuntimeError("the benchmark server did not start")
        time.sleep(0.05)
    with open(port_file) as f:
        info = json.load(f)
    os.unlink(port_file)
    base = f"http://127.0.0.1:{info['port']}"
    for _ in range(200):
        try:
            with socket.create_connection(("127.0.0.1", info["port"]), timeout=1):
                break
        except OSError:
            time.sleep(0.05)
    return proc, info["port"], info["binding"]


def _variants(has_binding: bool) -> list[tuple[str, str, dict, dict]]:
    """(row key, path, body, headers) of every variant measured."""
    v = [
        ("raw", "/raw", {"value": 7}, {"Content-Type": "application/json"}),
        ("floor mcp", "/floor/mcp", *_mcp_request(MODERN, False)),
        ("floor rest", "/floor/rest", {"value": 7}, {"Content-Type": "application/json"}),
        ("floor+run mcp", "/floor-run/mcp", *_mcp_request(MODERN, False)),
        ("floor+run rest", "/floor-run/rest", {"value": 7}, {"Content-Type": "application/json"}),
        (f"sdk mcp {MODERN}", "/sdk/mcp", *_mcp_request(MODERN, False)),
        (f"sdk mcp {LEGACY}", "/sdk/mcp", *_mcp_request(LEGACY, False)),
    ]
    if has_binding:
        rest_headers = {"Content-Type": "application/json", "Authorization": f"Bearer {API_KEY}"}
        v += [
            (f"binding mcp {MODERN}", "/binding/mcp", *_mcp_request(MODERN, True)),
            (f"binding mcp {LEGACY}", "/binding/mcp", *_mcp_request(LEGACY, True)),
            ("binding rest", f"/binding/v1/bench_serve/{TOOL}", {"value": 7}, rest_headers),
        ]
    return v


def measure() -> dict:
    """{row key: (requests/s at 32 connections, server CPU per request in s, mean latency at 1 connection)}."""
    if shutil.which("wrk") is None:
        raise RuntimeError("wrk is not installed (apt-get install wrk)")
    proc, port, has_binding = _start_server()
    best: dict = {}
    variants = [(key, f"http://127.0.0.1:{port}{path}", body, headers)
                for key, path, body, headers in _variants(has_binding)]
    try:
        for key, url, body, headers in variants:
            if key != "raw":
                _check(url, body, headers)
        for _ in range(ROUNDS):
            for key, url, body, headers in variants:
                cpu = _cpu(port)
                rate, _, count, bad = _wrk(url, body, headers, 32)
                cpu = (_cpu(port) - cpu) / count
                if bad:
                    raise RuntimeError(f"{key}: {bad} responses were not 2xx")
                latency = _wrk(url, body, headers, 1)[1]
                old = best.get(key, (0.0, float("inf"), float("inf")))
                best[key] = (max(rate, old[0]), min(cpu, old[1]), min(latency, old[2]))
    finally:
        proc.terminate()
        proc.wait(timeout=30)
    return best


def run() -> list[dict]:
    from _report import row

    best = measure()
    rows = []
    for key, (rate, cpu, latency) in best.items():
        rows.append(row(f"{key}: req/s at 32 connections", rate, best["raw"][0], rate / best["raw"][0],
                        "baseline (ratio to raw)", True, " req/s"))
        rows.append(row(f"{key}: server CPU per request", cpu * 1e6, best["raw"][1] * 1e6, cpu / best["raw"][1],
                        "baseline (ratio to raw)", True, " us"))
        rows.append(row(f"{key}: mean latency at 1 connection", latency * 1e6, best["floor mcp"][2] * 1e6,
                        latency / best["floor mcp"][2], "baseline (ratio to the MCP floor)", True, " us"))
    run_cost = best["floor+run mcp"][1] - best["floor mcp"][1]
    rows.append(row("bare run per served request (server CPU)", run_cost * 1e6, 0.0, 0.0, "baseline", True, " us"))
    # A binding calls run and does more besides (verification, limits, the scope gate), so the floor
    # plus a bare run is as near the floor as any binding can come: the ceiling of the ratios below.
    for kind in ("mcp", "rest"):
        ceiling = best[f"floor {kind}"][1] / best[f"floor+run {kind}"][1]
        rows.append(row(f"ceiling: capacity of floor+run {kind} against floor {kind}", 1 / best[f"floor+run {kind}"][1],
                        1 / best[f"floor {kind}"][1], ceiling, "baseline (no binding can exceed it)", True, " req/s"))
    if f"binding mcp {MODERN}" not in best:
        return rows
    # Targets on capacity (1 / server CPU per request): on a shared, oversubscribed machine the
    # wall-clock rates above swing with everything else running; the CPU a request costs does not.
    targets = [(f"binding mcp {v}", f"sdk mcp {v}", 5.0) for v in (MODERN, LEGACY)]
    targets += [(f"binding mcp {MODERN}", "floor mcp", 0.6), ("binding rest", "floor rest", 0.6)]
    for ours, base, want in targets:
        ratio = best[base][1] / best[ours][1]
        rows.append(row(f"capacity of {ours} against {base}", 1 / best[ours][1], 1 / best[base][1], ratio,
                        f">= {want:g}x", ratio >= want, " req/s"))
        wall = best[ours][0] / best[base][0]
        rows.append(row(f"req/s of {ours} against {base} (wall clock)", best[ours][0], best[base][0], wall,
                        f">= {want:g}x", wall >= want, " req/s"))
    for ours, base in ((f"binding mcp {MODERN}", "floor mcp"), ("binding rest", "floor rest")):
        ratio = best[ours][2] / best[base][2]
        rows.append(row(f"mean latency at 1 connection of {ours} against {base}", best[ours][2] * 1e6,
                        best[base][2] * 1e6, ratio, "<= 1.5x", ratio <= 1.5, " us"))
    return rows


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--serve":
        _serve(sys.argv[2])
    else:
        sys.path.insert(0, HERE)
        from _report import print_rows

        print_rows(run())
