"""MCP binding over real sockets with the official client (both protocol eras, stdio), raw HTTP for
hostile input, the fast path held against the SDK's own handling, and the request telemetry."""

from __future__ import annotations

import asyncio
import json
import os
import re
import sys
from contextlib import asynccontextmanager

import httpx
import httpx2
import pytest
from mcp import Client, StdioServerParameters
from mcp.client.streamable_http import streamable_http_client
from mcp.shared.exceptions import MCPError
from otel_sdk import METRICS, SPANS
from test_serve_rest import API_KEY, AUD, CALLERS, CHILD_PATH, ISS, ROOT, SECRET, AcmeConnector, Flaky, Probe, Served

from quellon_runtime import throttle
from quellon_runtime.serve import CallPath, ServeSettings, telemetry
from quellon_runtime.serve.app import build_app
from quellon_runtime.serve.mcp import TRACE_META_KEY, McpBinding

MODES = ["2026-07-28", "legacy"]
UUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")
ENV = {"QL_JWT_AUDIENCE": AUD, "QL_JWT_ISSUER": ISS, "QL_SERVE_API_KEY_SCOPES": "orders:read"}


def _callpath() -> CallPath:
    settings = ServeSettings(api_key=API_KEY, jwt_secret=SECRET, max_body_bytes=4096, protocols=("mcp",),
                             scope_default="allow")
    cp = CallPath({"acme": AcmeConnector(), "probe": Probe(), "flaky": Flaky()}, settings)
    cp.bucket = throttle.TokenBucket(float("inf"), float("inf"))
    return cp


@pytest.fixture(scope="module")
def served():
    with pytest.MonkeyPatch.context() as mp:
        for k, v in ENV.items():
            mp.setenv(k, v)
        cp = _callpath()
        s = Served(build_app(cp, cp.settings))
        s.mcp = s.url + "/mcp"
        yield s
        s.stop()


@asynccontextmanager
async def client(served, mode, caller="api"):
    auth = CALLERS[caller]
    async with httpx2.AsyncClient(headers={"authorization": auth} if auth else {}) as http:
        async with Client(streamable_http_client(served.mcp, http_client=http), mode=mode) as c:
            yield c


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("caller,visible", [("anon", {"probe.public"}), ("api", 12), ("admin", 13)])
async def test_listing_per_caller_with_markers(served, mode, caller, visible):
    async with client(served, mode, caller) as c:
        tools = {t.name: t for t in (await c.list_tools()).tools}
    assert set(tools) == visible if isinstance(visible, set) else len(tools) == visible
    if caller == "admin":
        assert tools["probe.old"].meta["quellon/deprecated"] is True
        assert tools["probe.limited"].meta["quellon/throttle"] == {"max_requests": 2, "window_seconds": 60}
        assert tools["orders.create"].meta["quellon/scopes"] == ["orders:write"]
        assert tools["orders.get"].input_schema["type"] == "object" and "action" not in tools["orders.get"].input_schema["properties"]


CALLS = [  # caller, tool, arguments, isError, error_code (or output)
    ("api", "orders.get", {"order_id": 1}, False, None),
    ("anon", "orders.get", {"order_id": 1}, True, "UNAUTHENTICATED"),
    ("bad", "orders.get", {"order_id": 1}, True, "INVALID_TOKEN"),
    ("api", "orders.create", {"sku": "WIDGET-9", "quantity": 1}, True, "POLICY_DENIED"),
    ("api", "orders.get", {"order_id": "x"}, True, "VALIDATION_ERROR"),
    ("admin", "probe.missing", {}, True, "GONE"),
    ("admin", "probe.boom", {}, True, "INTERNAL_ERROR"),
    ("anon", "probe.public", {}, False, {"note": "hi"}),
    ("admin", "probe.old", {}, False, {"note": ""}),
]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("caller,tool,args,is_error,expect", CALLS)
async def test_outcomes_become_tool_results(served, mode, caller, tool, args, is_error, expect):
    async with client(served, mode, caller) as c:
        r = await c.call_tool(tool, args)
    assert r.is_error is is_error and UUID.fullmatch(r.meta[TRACE_META_KEY])
    assert json.loads(r.content[0].text) == r.structured_content
    if is_error:
        assert r.structured_content["error_code"] == expect
        assert r.structured_content["trace_id"] == r.meta[TRACE_META_KEY] and "SECRET123" not in r.content[0].text
    elif expect:
        assert r.structured_content == expect
    assert r.meta.get("quellon/deprecated", False) is (tool == "probe.old")


@pytest.mark.parametrize("mode", MODES)
async def test_unknown_tool_is_a_jsonrpc_error_and_throttles_apply(served, mode):
    async with client(served, mode, "writer" if mode == MODES[0] else "admin") as c:
        with pytest.raises(MCPError) as err:
            await c.call_tool("no.such.tool", {})
        limited = [(await c.call_tool("probe.limited", {})).is_error for _ in range(3)]
    assert err.value.code == -32602 and limited == [False, False, True]


def _raw(method="tools/call", params=None, version="2026-07-28", caller="api", **headers):
    params = {"name": "probe.public", "arguments": {}} if params is None else params
    h = {"content-type": "application/json", "accept": "application/json, text/event-stream",
         "mcp-protocol-version": version}
    if version == "2026-07-28":
        params = {**params, "_meta": {"io.modelcontextprotocol/protocolVersion": version,
                                      "io.modelcontextprotocol/clientCapabilities": {},
                                      "io.modelcontextprotocol/clientInfo": {"name": "t", "version": "1"},
                                      **params.get("_meta", {})}}
        h.update({"mcp-method": method, **({"mcp-name": str(params.get("name"))} if "name" in params else {})})
    if CALLERS[caller]:
        h["authorization"] = CALLERS[caller]
    h.update(headers)
    return h, json.dumps({"jsonrpc": "2.0", "id": 7, "method": method, "params": params}).encode()


def _request(method="tools/call", params=None, version="2026-07-28", caller="api", body=None, **headers):
    h, b = _raw(method, params, version, caller, **headers)
    return h, b if body is None else body


HOSTILE = [  # request, status, JSON-RPC error code (None: a result), header that must be there
    (_request(body=b"{not json"), 400, -32700, None),
    (_request(body=b"[1, 2]"), 400, -32600, None),
    (_request(body=b'{"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {"x": 1}}'), 400, -32602, None),
    (_request(body=b"x" * 5000), 413, None, None),
    (_request(origin="https://evil.example"), 403, None, None),
    (_request(params={"name": "evil\r\nset-cookie: a=b", "arguments": {}}, version="2025-06-18"), 200, -32602, None),
    (_request(params={"name": 5, "arguments": {}}), 400, -32020, None),
    (_request(params={"name": 5, "arguments": {}}, version="2025-06-18"), 200, -32602, None),
    (_request(params={"name": "probe.public", "arguments": [1]}), 400, -32602, None),
    (_request(params={"name": "orders.get", "arguments": {"order_id": 1}}, caller="anon"), 200, None, "www-authenticate"),
    (_request("tools/list", {}, caller="bad"), 401, -32600, "www-authenticate"),
    (_request("tools/list", {}, version="2025-06-18", caller="basic"), 401, -32600, "www-authenticate"),
    (_request(params={"name": "probe.public", "arguments": {}}, version="2025-06-18"), 200, None, "x-trace-id"),
]


@pytest.mark.parametrize("request_,status,code,header", HOSTILE)
async def test_hostile_input_gets_a_clean_answer_and_the_server_keeps_serving(served, request_, status, code, header):
    headers, body = request_
    async with httpx.AsyncClient() as http:
        r = await http.post(served.mcp, content=body, headers=headers)
        ok = await http.post(served.mcp, content=_raw()[1], headers=_raw()[0])
    assert r.status_code == status, r.text
    if code is not None:
        assert r.json()["error"]["code"] == code
    assert header is None or header in r.headers
    assert "set-cookie" not in r.headers and "Traceback" not in r.text
    assert ok.status_code == 200 and ok.json()["result"]["isError"] is False


async def test_many_concurrent_clients(served):
    async def one(i):
        async with client(served, MODES[i % 2], "admin") as c:
            return [(await c.call_tool("probe.slow", {"seconds": 0.01})).is_error for _ in range(3)]

    assert await asyncio.gather(*(one(i) for i in range(24))) == [[False] * 3] * 24


async def test_a_client_that_leaves_cancels_its_action_and_the_breaker_does_not_count_it(served):
    cp = served.app.callpath
    headers, body = _raw(params={"name": "probe.slow", "arguments": {"seconds": 120}}, caller="admin")
    head = f"POST /mcp HTTP/1.1\r\nhost: x\r\ncontent-length: {len(body)}\r\n" + "".join(f"{k}: {v}\r\n" for k, v in headers.items())
    for _ in range(6):  # more than the breaker's fail_max
        reader, writer = await asyncio.open_connection(*served.mcp.split("/")[2].split(":"))
        writer.write(head.encode() + b"\r\n" + body)
        await writer.drain()
        for _ in range(500):
            if cp.inflight:
                break
            await asyncio.sleep(0.01)
        writer.close()
        for _ in range(1000):  # far below the action's 120 s
            if not cp.inflight:
                break
            await asyncio.sleep(0.01)
        assert cp.inflight == 0
    async with client(served, MODES[0], "admin") as c:
        r = await c.call_tool("probe.slow", {"seconds": 0})
    assert r.is_error is False, r.structured_content


async def test_stdio_with_the_official_client():
    env = {**os.environ, **ENV, "QL_ALLOWED_CONNECTORS": "acme", "QL_CONNECTOR_MODULE_PREFIX": "quellon_",
           "QL_SERVE_API_KEY": API_KEY, "QL_SERVE_STDIO_TOKEN": API_KEY, "QL_MCP_SCOPE_GATE_DEFAULT": "allow",
           "PYTHONPATH": CHILD_PATH}
    params = StdioServerParameters(command=sys.executable, args=["-m", "quellon_runtime.serve", "--stdio"], env=env)
    async with Client(params, mode="legacy") as c:
        names = {t.name for t in (await c.list_tools()).tools}
        r = await c.call_tool("orders.get", {"order_id": 3})
    assert {"orders.get", "orders.summary"} <= names and "orders.create" not in names
    assert r.is_error is False and UUID.fullmatch(r.meta[TRACE_META_KEY])


# -- the fast path against the SDK's own handling ------------------------------------------------

def _diff_corpus():
    rows = []  # (request, whether the fast path answers it)
    for v in ("2026-07-28", "2025-06-18", "2025-11-25"):
        for caller in ("api", "anon", "bad"):
            rows += [(_request(version=v, caller=caller, params=p), True) for p in (
                {"name": "orders.get", "arguments": {"order_id": 2}}, {"name": "orders.get", "arguments": {"order_id": "x"}},
                {"name": "probe.boom"}, {"name": "no.such"}, {"name": "probe.old", "arguments": None})]
            rows.append((_request("tools/list", {}, version=v, caller=caller), True))
        rows += [(_request(version=v, params={"name": "probe.public", "_meta": {"progressToken": 3}}), False),
                 (_request(version=v, accept="*/*"), True), (_request(version=v, accept="text/html"), False), (_request(version=v, params={"name": 1}), False),
                 (_request(version=v, body=b'{"jsonrpc":"2.0","id":true,"method":"tools/list","params":{}}'), False),
                 (_request(version=v, params={"name": "probe.public", "_meta": {"traceparent": "00-" + "1" * 32 + "-" + "2" * 16 + "-01"}}), True)]
    rows += [(_request(params={"name": "probe.public"}, **{"mcp-name": "other"}), False),
             (_request(params={"name": "probe.public", "_meta": {"io.modelcontextprotocol/clientCapabilities": {"roots": {}}}}), False),
             (_request(params={"name": "probe.public"}, **{"mcp-param-x": "1"}), False)]
    return rows


async def _asgi(app, headers, body, split=False):
    scope = {"type": "http", "method": "POST", "path": "/mcp", "client": ("127.0.0.1", 9), "query_string": b"",
             "headers": [(k.encode(), v.encode()) for k, v in headers.items()]}
    msgs, out = [{"type": "http.request", "body": body}], []
    if split:  # the body in two messages (popped from the end)
        msgs = [{"type": "http.request", "body": body[9:]}, {"type": "http.request", "body": body[:9], "more_body": True}]

    async def receive():
        return msgs.pop() if msgs else await asyncio.Event().wait()

    async def send(m):
        out.append(m)

    await app(scope, receive, send)
    h = {k.decode(): UUID.sub("T", v.decode()) for k, v in out[0]["headers"]}
    return out[0]["status"], h, json.loads(UUID.sub("T", b"".join(m.get("body", b"") for m in out[1:]).decode()) or "null")


@pytest.mark.parametrize("chunks, status", [
    ([b"{" + b" " * 100, b"}"], 413),  # the first message alone is past the limit
    ([b"{", None], None),  # the client left mid-body: nothing is sent
    ([None], None),  # ... or before it
])
async def test_a_body_cut_short_or_too_large(monkeypatch, chunks, status):
    for k, v in ENV.items():
        monkeypatch.setenv(k, v)
    binding, out = McpBinding(_callpath()), []
    binding._max_body = 64
    msgs = [{"type": "http.disconnect"} if c is None else {"type": "http.request", "body": c, "more_body": True}
            for c in chunks]
    scope = {"type": "http", "method": "POST", "path": "/mcp", "headers": [(b"content-type", b"application/json")]}
    async with binding.lifespan():
        await binding(scope, lambda: asyncio.sleep(0, msgs.pop(0)), lambda m: asyncio.sleep(0, out.append(m)))
    assert (out[0]["status"] if out else None) == status


async def test_fast_path_answers_as_the_sdk_does(monkeypatch):
    for k, v in ENV.items():
        monkeypatch.setenv(k, v)
    cp = _callpath()
    fast, sdk = McpBinding(cp, fast=True), McpBinding(cp, fast=False)
    fallbacks = []
    monkeypatch.setattr(fast, "_sdk", lambda *a, f=fast._sdk: fallbacks.append(a[1]) or f(*a))
    async with fast.lifespan(), sdk.lifespan():
        for (headers, body), answered_fast in _diff_corpus():
            before = len(fallbacks)
            assert await _asgi(fast, headers, body) == await _asgi(sdk, headers, body), (headers, body)
            assert (len(fallbacks) == before) is answered_fast, (headers, body)
        for v in ("2026-07-28", "2025-06-18"):
            assert await _asgi(fast, *_request(version=v), split=True) == await _asgi(sdk, *_request(version=v))
        async def broken(*args, **kwargs):
            raise RuntimeError("SECRET123")

        for b in (fast, sdk):  # a fault of the binding itself: generic on both paths and eras
            monkeypatch.setattr(b, "_call", broken)
        for v in ("2026-07-28", "2025-06-18"):
            answer = await _asgi(fast, *_request(version=v))
            assert answer == await _asgi(sdk, *_request(version=v)) and answer[2]["error"]["code"] == -32603
            assert "SECRET123" not in json.dumps(answer)


# -- telemetry -----------------------------------------------------------------------------------

@pytest.mark.parametrize("mode", MODES)
async def test_request_span_parents_the_pipeline_span_and_continues_the_client_trace(served, mode):
    async with client(served, mode, "admin") as c:
        await c.call_tool("probe.public", {})  # the client puts its span's context in params._meta
        await c.call_tool("probe.boom", {})
    spans = {(s.kind.name, s.name): s for s in SPANS.get_finished_spans() if "tools/call probe." in s.name}
    ok, failed = spans["SERVER", "tools/call probe.public"], spans["SERVER", "tools/call probe.boom"]
    caller = spans["CLIENT", "MCP send tools/call probe.public"]
    assert ok.context.trace_id == caller.context.trace_id and ok.parent.span_id == caller.context.span_id
    version = "2026-07-28" if mode == MODES[0] else "2025-11-25"
    assert dict(ok.attributes) == {
        "mcp.method.name": "tools/call", "mcp.protocol.version": version,
        "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "probe.public"}
    assert failed.attributes["error.type"] == "tool_error"
    run = [s for s in SPANS.get_finished_spans() if s.name == "connector.run" and s.parent and s.parent.span_id == ok.context.span_id]
    assert len(run) == 1
    points = [(m.unit, p) for rm in METRICS.get_metrics_data().resource_metrics for sm in rm.scope_metrics
              for m in sm.metrics if m.name == "mcp.server.operation.duration" for p in m.data.data_points]
    assert points and all(u == "s" for u, _ in points)
    assert telemetry.active() is telemetry._active_public() is True
