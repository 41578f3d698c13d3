"""REST binding and serve command over real sockets: statuses, markers, per-caller listings, hostile input."""

from __future__ import annotations

import asyncio
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Literal

import httpx
import jwt
import pytest
import uvicorn
from jsonschema import Draft202012Validator
from pydantic import BaseModel, Field, create_model

import quellon_runtime

ROOT = Path(__file__).resolve().parents[1]
# Child processes import the package from wherever the suite does (src/ or an installed copy).
PKG_PATH = str(Path(quellon_runtime.__file__).resolve().parents[1])
CHILD_PATH = os.pathsep.join([PKG_PATH, str(ROOT / "examples" / "quellon_acme" / "src")])
sys.path.insert(0, str(ROOT / "examples" / "quellon_acme" / "src"))

from quellon_acme.logic import AcmeConnector  # noqa: E402

from quellon_runtime import throttle  # noqa: E402
from quellon_runtime.connector_base import ConnectorBase, ql_action  # noqa: E402
from quellon_runtime.models import ErrorCategory  # noqa: E402
from quellon_runtime.serve import CallPath, ServeSettings  # noqa: E402
from quellon_runtime.serve.app import build_app  # noqa: E402

API_KEY, SECRET = "rest-test-api-key-0123", "rest-test-jwt-secret-0123456789abcdef"
AUD, ISS = "quellon-serve-test", "https://issuer.serve.test"


def _in(action: str, **fields):
    return create_model(action.replace(".", "_"), action=(Literal[action], action), **fields)


class Out(BaseModel):
    note: str = ""


class Gone(LookupError):
    pass


class Probe(ConnectorBase):
    connector_id = "probe"
    output_model = Out
    error_map = {Gone: (ErrorCategory.NOT_FOUND, "GONE")}

    @ql_action("probe.public", requires_auth=False)
    async def public(self, p: _in("probe.public"), *, trace_id: str) -> Out:
        return Out(note="hi")

    @ql_action("probe.limited", throttle={"max_requests": 2})
    async def limited(self, p: _in("probe.limited"), *, trace_id: str) -> Out:
        return Out()

    @ql_action("probe.old", deprecated=True)
    async def old(self, p: _in("probe.old"), *, trace_id: str) -> Out:
        return Out()

    @ql_action("probe.fuzzy", alias_tolerant=True, mcp_normalize=lambda a: a.update(userName=a.pop("who").upper()) if "who" in a else None)
    async def fuzzy(self, p: _in("probe.fuzzy", user_name=(str, Field(alias="userName"))), *, trace_id: str) -> Out:
        return Out(note=p.user_name)

    @ql_action("probe.boom")
    async def boom(self, p: _in("probe.boom"), *, trace_id: str) -> Out:
        raise RuntimeError("GET https://vendor.example/?api_key=SECRET123 failed")

    @ql_action("probe.missing")
    async def missing(self, p: _in("probe.missing"), *, trace_id: str) -> Out:
        raise Gone("no such thing")

    @ql_action("probe.slow")
    async def slow(self, p: _in("probe.slow", seconds=(float, 0.0)), *, trace_id: str) -> Out:
        await asyncio.sleep(p.seconds)
        return Out(note="slept")


class Flaky(ConnectorBase):
    connector_id = "flaky"
    output_model = Out

    @ql_action("flaky.fail")
    async def fail(self, p: _in("flaky.fail"), *, trace_id: str) -> Out:
        raise RuntimeError("down")


def token(*scopes: str, sub: str = "user-1") -> str:
    now = int(time.time())
    claims = {"sub": sub, "scopes": list(scopes), "aud": AUD, "iss": ISS, "iat": now, "exp": now + 600}
    return "Bearer " + jwt.encode(claims, SECRET, algorithm="HS256")


CALLERS = {"anon": None, "api": "Bearer " + API_KEY, "admin": token("*", sub="admin"),
           "writer": token("orders:write"), "bad": "Bearer not-a-key", "basic": "Basic abc"}


class Served:
    """A uvicorn server on 127.0.0.1:0 in its own thread."""

    def __init__(self, app) -> None:
        self.app = app
        self.server = uvicorn.Server(uvicorn.Config(app, host="127.0.0.1", port=0, log_config=None, lifespan="on"))
        self.thread = threading.Thread(target=self.server.run, daemon=True)
        self.thread.start()
        while not self.server.started:
            assert self.thread.is_alive()
            time.sleep(0.01)
        self.url = f"http://127.0.0.1:{self.server.servers[0].sockets[0].getsockname()[1]}"

    def stop(self) -> None:
        self.app.drain()
        self.server.should_exit = True
        self.thread.join(30)


@pytest.fixture(scope="module")
def served():
    with pytest.MonkeyPatch.context() as mp:
        for k, v in {"QL_JWT_AUDIENCE": AUD, "QL_JWT_ISSUER": ISS, "QL_SERVE_API_KEY_SCOPES": "orders:read"}.items():
            mp.setenv(k, v)
        settings = ServeSettings(api_key=API_KEY, jwt_secret=SECRET, max_body_bytes=4096, protocols=("rest",),
                                 scope_map={"probe.probe.fuzzy": "probe:fuzzy"}, scope_default="allow")
        cp = CallPath({"acme": AcmeConnector(), "probe": Probe(), "flaky": Flaky()}, settings)
        cp.bucket = throttle.TokenBucket(float("inf"), float("inf"))
        s = Served(build_app(cp, settings))
        yield s
        s.stop()


async def post(s, path, caller="api", json=None, **kw):
    headers = {"authorization": CALLERS[caller]} if CALLERS[caller] else {}
    async with httpx.AsyncClient(base_url=s.url) as c:
        return await c.post(path, json={} if json is None and "content" not in kw else json, headers=headers, **kw)


STATUS_TABLE = [
    ("api", "/v1/acme/orders.get", {"order_id": 1}, 200, {}),
    ("anon", "/v1/acme/orders.get", {"order_id": 1}, 401, {"www-authenticate": 'Bearer realm="quellon"'}),
    ("bad", "/v1/acme/orders.get", {"order_id": 1}, 401, {"www-authenticate": "invalid_token"}),
    ("basic", "/v1/probe/probe.public", {}, 401, {"www-authenticate": 'Bearer realm="quellon"'}),
    ("api", "/v1/acme/orders.create", {"sku": "WIDGET-9", "quantity": 1}, 403, {"www-authenticate": 'scope="orders:write"'}),
    ("api", "/v1/acme/orders.get", {"order_id": "x"}, 422, {}),
    ("writer", "/v1/acme/orders.create", {"sku": "GADGET-2", "quantity": 1}, 422, {}),
    ("admin", "/v1/probe/probe.missing", {}, 404, {}),
    ("admin", "/v1/nope/nothing", {}, 404, {}),
    ("admin", "/v1/acme/vendor.ping", {}, 502, {}),
    ("admin", "/v1/probe/probe.boom", {}, 500, {}),
    ("anon", "/v1/probe/probe.public", {}, 200, {}),
    ("admin", "/v1/probe/probe.old", {}, 200, {"deprecation": "true"}),
    ("admin", "/v1/probe/probe.fuzzy", {"user-name": "ann"}, 200, {}),
    ("api", "/v1/probe/probe.fuzzy", {"userName": "ann"}, 403, {"www-authenticate": 'scope="probe:fuzzy"'}),
]


@pytest.mark.parametrize("caller,path,body,status,headers", STATUS_TABLE)
async def test_status_table(served, caller, path, body, status, headers):
    r = await post(served, path, caller, body)
    assert r.status_code == status, r.text
    for k, v in headers.items():
        assert v in r.headers[k]
    doc = r.json()
    assert doc["success"] is (status == 200) and doc["trace_id"] == r.headers["x-trace-id"]
    assert "SECRET123" not in r.text and "Traceback" not in r.text


async def test_open_breaker_is_503_with_retry_after_and_limits_are_429(served):
    codes = [(await post(served, "/v1/flaky/flaky.fail", "admin")).status_code for _ in range(5)]
    refused = await post(served, "/v1/flaky/flaky.fail", "admin")
    assert codes[:4] == [500] * 4 and refused.status_code == 503 and int(refused.headers["retry-after"]) >= 1
    limited = [await post(served, "/v1/probe/probe.limited", c) for c in ("admin", "admin", "admin", "api")]
    assert [r.status_code for r in limited] == [200, 200, 429, 200]  # per identity and action
    assert int(limited[2].headers["retry-after"]) >= 1


@pytest.mark.parametrize("layer", ["bucket", "identity_limiter"])
async def test_global_and_per_identity_throttles(served, layer):
    cp = served.app.callpath
    before = getattr(cp, layer)
    setattr(cp, layer, throttle.TokenBucket(0, 0) if layer == "bucket" else throttle.InMemoryThrottler(max_requests=1, window_seconds=60))
    try:
        r1, r2 = [await post(served, "/v1/probe/probe.public", "admin") for _ in range(2)]
    finally:
        setattr(cp, layer, before)
    assert (r1.status_code, r2.status_code) == ((429, 429) if layer == "bucket" else (200, 429))
    assert int(r2.headers["retry-after"]) >= 1


@pytest.mark.parametrize("caller,expected", [
    ("anon", {"probe.public"}),
    ("api", {"probe.public", "orders.get", "orders.summary", "vendor.ping", "vendor.whoami", "probe.limited",
             "probe.old", "probe.boom", "probe.missing", "probe.slow", "flaky.fail"}),
    ("admin", "all"),
])
async def test_catalogue_per_caller(served, caller, expected):
    async with httpx.AsyncClient(base_url=served.url) as c:
        r = await c.get("/v1/tools", headers={"authorization": CALLERS[caller]} if CALLERS[caller] else {})
    names = {t["name"] for t in r.json()["tools"]}
    assert names == ({e.name for e in served.app.callpath.catalogue.entries} if expected == "all" else expected)


async def test_openapi_health_and_readiness(served):
    async with httpx.AsyncClient(base_url=served.url) as c:
        doc, live, ready = [await c.get(p) for p in ("/openapi.json", "/healthz", "/readyz")]
    document = doc.json()
    assert document["openapi"].startswith("3.1") and (live.status_code, ready.status_code) == (200, 200)
    assert document["paths"]["/v1/probe/probe.old"]["post"]["deprecated"] is True
    for schema in document["components"]["schemas"].values():
        Draft202012Validator.check_schema(schema)
    refs = {n["$ref"] for n in _walk(document) if "$ref" in n}
    assert {r.rsplit("/", 1)[1] for r in refs} <= set(document["components"]["schemas"])


def _walk(node):
    if isinstance(node, dict):
        yield node
        for v in node.values():
            yield from _walk(v)
    elif isinstance(node, list):
        for v in node:
            yield from _walk(v)


HOSTILE = [
    (b"POST /v1/probe/probe.public HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: 5\r\n\r\n{oops", 400),
    (b"POST /v1/probe/probe.public HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n[]", 422),
    (b"POST /v1/probe/probe.public HTTP/1.1\r\nHost: x\r\nContent-Length: 999999\r\n\r\n{}", 413),
    (b"POST /v1/probe/probe.public HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n1400\r\n" + b"x" * 5120 + b"\r\n0\r\n\r\n", 413),
    (b"POST /v1/probe/probe.public HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\n\xff\xfe{}", 400),
    (b"POST /v1/acme/orders.get HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer a\rX-Evil: 1\r\nContent-Length: 2\r\n\r\n{}", 400),
    (b"POST /v1/acme/orders.get HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer a b c\r\nContent-Length: 2\r\n\r\n{}", 401),
    (b"POST /v1/probe/probe.public%0d%0aX-Evil:%201 HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}", 404),
]


@pytest.mark.parametrize("raw,status", HOSTILE)
async def test_hostile_input_gets_a_clean_error(served, raw, status):
    port = int(served.url.rsplit(":", 1)[1])
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(raw)
    await writer.drain()
    head = await asyncio.wait_for(reader.read(65536), 20)
    writer.close()
    assert head.split(b" ", 2)[1] == str(status).encode(), head[:200]
    assert b"x-evil" not in head.lower()
    assert (await post(served, "/v1/probe/probe.public", "anon")).status_code == 200


async def test_many_concurrent_clients(served):
    rs = await asyncio.gather(*(post(served, "/v1/probe/probe.slow", ("admin", "api")[i % 2], {"seconds": 0.01}) for i in range(64)))
    assert {(r.status_code, r.json()["data"]["note"]) for r in rs} == {(200, "slept")}


async def test_shutdown_drains_in_flight_calls():
    settings = ServeSettings(api_key=API_KEY, protocols=("rest",), scope_gate=False, drain_seconds=20)
    cp = CallPath({"probe": Probe()}, settings)
    s = Served(build_app(cp, settings))
    async with httpx.AsyncClient(base_url=s.url, timeout=30) as c:
        slow = asyncio.ensure_future(c.post("/v1/probe/probe.slow", json={"seconds": 0.5}, headers={"authorization": "Bearer " + API_KEY}))
        for _ in range(2000):  # until the call is in flight
            if cp.inflight or slow.done():
                break
            await asyncio.sleep(0.01)
        await asyncio.to_thread(s.stop)
        r = await slow
    assert r.status_code == 200 and r.json()["data"]["note"] == "slept" and s.app.draining


def test_command_discovers_serves_and_stops_cleanly():
    env = {**os.environ, "PYTHONPATH": CHILD_PATH,
           "QL_ALLOWED_CONNECTORS": "acme", "QL_SERVE_API_KEY": API_KEY, "QL_SERVE_API_KEY_SCOPES": "orders:read",
           "QL_MCP_SCOPE_GATE_DEFAULT": "allow", "QL_REST_LOAD_DOTENV": "false", "QL_SERVE_PROTOCOLS": "rest"}
    bad = subprocess.run([sys.executable, "-m", "quellon_runtime.serve", "--check"], env={**env, "QL_SERVE_PORT": "http"},
                         capture_output=True, text=True, timeout=120)
    assert bad.returncode == 2 and "QL_SERVE_PORT must be an integer" in bad.stderr
    proc = subprocess.Popen([sys.executable, "-m", "quellon_runtime.serve", "--port", "0"], env=env,
                            stderr=subprocess.PIPE, text=True)
    try:
        lines = [proc.stderr.readline()]
        while not ("orders.get" in lines[-1] and "orders:read" in lines[-1]):
            lines.append(proc.stderr.readline())
            assert lines[-1] and len(lines) < 100, lines
        port = next(ln for ln in lines if "listen" in ln).rsplit(":", 1)[1].strip()
        r = httpx.post(f"http://127.0.0.1:{port}/v1/acme/orders.get", json={"order_id": 2},
                       headers={"authorization": "Bearer " + API_KEY}, timeout=30)
        assert r.status_code == 200 and r.json()["data"]["order"]["id"] == 2
    finally:
        proc.send_signal(signal.SIGINT)
        assert proc.wait(60) == 0


@pytest.mark.parametrize("chunks,status", [
    ([b'{"order_', b'id": 1}'], 200),  # one body in two messages
    ([b"{", b" " * 4096, b"}"], 413),  # past the limit only once the second has come
    ([b'{"order_', None], None),  # the client left mid-body: nothing is sent
])
async def test_a_body_in_several_messages(served, chunks, status):
    msgs = [{"type": "http.disconnect"} if c is None else {"type": "http.request", "body": c, "more_body": True}
            for c in chunks]
    msgs[-1]["more_body"] = False
    out = []

    async def send(m):
        out.append(m)

    scope = {"type": "http", "method": "POST", "path": "/v1/acme/orders.get", "client": ("127.0.0.1", 9),
             "headers": [(b"authorization", CALLERS["api"].encode())]}
    await served.app.rest(scope, lambda: asyncio.sleep(0, msgs.pop(0)), send)
    assert (out[0]["status"] if out else None) == status
