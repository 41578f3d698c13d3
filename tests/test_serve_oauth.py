"""The bindings as an OAuth resource server: a real provider's RS256 tokens over REST and MCP,
challenges read back by the client's own parser, the metadata documents, named API keys."""

from __future__ import annotations

import json
import logging
import time

import httpx
import httpx2
import jwt
import pytest
from mcp import Client
from mcp.client.streamable_http import streamable_http_client
from otel_sdk import METRICS
from test_resource_server import RSA_KEY, provider_token
from test_serve_rest import Out, Served, _in

from quellon_runtime import throttle
from quellon_runtime.caller_profile import hash_api_key
from quellon_runtime.connector_base import ConnectorBase, ql_action
from quellon_runtime.mcp_client.challenges import parse_www_authenticate
from quellon_runtime.resource_server import ResourceServerVerifier, TrustedIssuer
from quellon_runtime.serve import CallPath, ServeSettings
from quellon_runtime.serve.app import build_app

oidc_provider_mock = pytest.importorskip("oidc_provider_mock")

RESOURCE = "https://connectors.example"
META = {"rest": RESOURCE + "/.well-known/oauth-protected-resource",
        "mcp": RESOURCE + "/.well-known/oauth-protected-resource/mcp"}


class Guarded(ConnectorBase):
    connector_id = "guarded"
    output_model = Out

    @ql_action("guarded.read", scopes=["rs:read"])
    async def read(self, p: _in("guarded.read"), *, trace_id: str) -> Out:
        return Out(note="read")

    @ql_action("guarded.admin", scopes=["rs:admin", "rs:read"])
    async def admin(self, p: _in("guarded.admin"), *, trace_id: str) -> Out:
        return Out(note="admin")


@pytest.fixture(scope="module")
def served():
    user = oidc_provider_mock.User(sub="alice", claims={"scope": "rs:read"})
    with oidc_provider_mock.run_server_in_thread(user_claims=[user]) as provider:
        issuer = f"http://localhost:{provider.server_port}"
        verifier = ResourceServerVerifier([TrustedIssuer(issuer, ("svc-a",))])  # keys by discovery
        settings = ServeSettings(scope_gate=False, resource_url=RESOURCE)
        cp = CallPath({"guarded": Guarded()}, settings, verifier=verifier)
        cp.bucket = throttle.TokenBucket(float("inf"), float("inf"))
        s = Served(build_app(cp, settings))
        s.issuer = issuer
        s.tokens = {client: "Bearer " + provider_token(issuer, client) for client in ("svc-a", "svc-b")}
        yield s
        s.stop()


def _rejections(reason):
    data = getattr(METRICS.get_metrics_data(), "resource_metrics", ())
    return sum(p.value for rm in data for sm in rm.scope_metrics for m in sm.metrics if m.name == "connector.rejections"
               for p in m.data.data_points if dict(p.attributes).get("reason") == reason)


# client (None: no token), action, status, (error, scope) of the challenge
REFUSALS = [
    ("svc-a", "guarded.read", 200, None),
    ("svc-b", "guarded.read", 401, ("invalid_token", None)),   # issued for another audience
    (None, "guarded.read", 401, (None, None)),
    ("svc-a", "guarded.admin", 403, ("insufficient_scope", "rs:admin rs:read")),
]


@pytest.mark.parametrize("client,action,status,challenge", REFUSALS)
async def test_rest_accepts_the_providers_tokens_and_challenges_the_rest(served, client, action, status, challenge,
                                                                         caplog):
    before = _rejections("audience")
    headers = {"authorization": served.tokens[client]} if client else {}
    with caplog.at_level(logging.DEBUG, "runtime"):
        async with httpx.AsyncClient(base_url=served.url) as http:
            r = await http.post(f"/v1/guarded/{action}", json={}, headers=headers)
    logged = "\n".join(rec.getMessage() for rec in caplog.records)
    assert ("Caller refused over rest: audience" in logged) is (client == "svc-b")
    assert client is None or not any(part in logged for part in served.tokens[client].split("."))
    assert r.status_code == status, r.text
    if challenge is None:
        assert r.json()["data"]["note"] == "read" and "www-authenticate" not in r.headers
        return
    parsed = parse_www_authenticate(r.headers["www-authenticate"])
    assert (parsed.scheme, parsed.error, parsed.scope, parsed.resource_metadata) == ("Bearer", *challenge, META["rest"])
    assert _rejections("audience") == before + (client == "svc-b")


@pytest.mark.parametrize("mode", ["2026-07-28", "legacy"])
@pytest.mark.parametrize("client,action,status,challenge", REFUSALS)
async def test_mcp_accepts_the_providers_tokens(served, mode, client, action, status, challenge):
    headers = {"authorization": served.tokens[client]} if client else {}
    async with httpx2.AsyncClient(headers=headers) as http:
        async with Client(streamable_http_client(served.url + "/mcp", http_client=http), mode=mode) as c:
            r = await c.call_tool(action, {})
    assert r.is_error is (status != 200)
    expected = {200: {"note": "read"}, 401: "INVALID_TOKEN" if client else "UNAUTHENTICATED", 403: "POLICY_DENIED"}
    got = r.structured_content if status == 200 else r.structured_content["error_code"]
    assert got == expected[status]


async def test_mcp_challenge_points_at_the_mcp_metadata(served):
    headers = {"content-type": "application/json", "accept": "application/json, text/event-stream",
               "mcp-protocol-version": "2025-06-18", "authorization": served.tokens["svc-b"]}
    body = {"jsonrpc": "2.0", "id": 1, "method": "tools/list", "params": {}}
    async with httpx.AsyncClient() as http:
        r = await http.post(served.url + "/mcp", json=body, headers=headers)
    parsed = parse_www_authenticate(r.headers["www-authenticate"])
    assert (r.status_code, parsed.error, parsed.resource_metadata) == (401, "invalid_token", META["mcp"])


@pytest.mark.parametrize("path,resource", [("/.well-known/oauth-protected-resource", RESOURCE),
                                           ("/.well-known/oauth-protected-resource/mcp", RESOURCE + "/mcp")])
async def test_metadata_documents(served, path, resource):
    async with httpx.AsyncClient(base_url=served.url) as http:
        r, post = await http.get(path), await http.post(path)
    assert (r.status_code, post.status_code) == (200, 405)
    assert r.json() == {"resource": resource, "authorization_servers": [served.issuer],
                        "bearer_methods_supported": ["header"], "scopes_supported": ["rs:admin", "rs:read"]}


async def test_metadata_is_not_served_unless_configured():
    cp = CallPath({"guarded": Guarded()}, ServeSettings(resource_url=RESOURCE), verifier=None)
    assert cp.resource_documents == {} and cp._auth_challenges("mcp")[1] == 'Bearer realm="quellon", error="invalid_token", error_description="The access token is invalid or expired"'


async def test_each_named_api_key_is_its_own_identity(monkeypatch):
    keys = {f"named-key-{n}-0123456789": {"principal": f"batch-{n}", "scopes": ["rs:read"]} for n in "ab"}
    monkeypatch.setenv("QL_API_KEYS_JSON", json.dumps({hash_api_key(k): v for k, v in keys.items()}))
    cp = CallPath({"guarded": Guarded()}, ServeSettings(scope_gate=False), verifier=None)
    cp.identity_limiter = throttle.InMemoryThrottler(max_requests=1, window_seconds=60)
    cp.identity_async = getattr(cp.identity_limiter, "consume_async", None)
    a, b = (f"Bearer {k}" for k in keys)
    outs = [await cp.call("guarded.read", {}, authorization=auth, protocol="rest") for auth in (a, a, b, "Bearer nope")]
    assert [o.kind for o in outs] == ["ok", "throttled", "ok", "unauthenticated"]
    assert _rejections("unknown_api_key") >= 1


async def test_keys_out_of_reach_are_503_not_the_callers_fault():
    down = "http://127.0.0.1:9"  # nothing listens on the discard port
    verifier = ResourceServerVerifier([TrustedIssuer(down, ("x",), down + "/jwks", ("RS256",))], fetch_timeout=0.5)
    token = jwt.encode({"iss": down, "aud": "x", "sub": "s", "exp": time.time() + 60}, RSA_KEY, "RS256", headers={"kid": "k"})
    out = await CallPath({"guarded": Guarded()}, ServeSettings(), verifier=verifier).call(
        "guarded.read", {}, authorization="Bearer " + token, protocol="rest")
    assert (out.status, out.challenge, out.retry_after) == (503, None, 5.0) and _rejections("unavailable") >= 1
