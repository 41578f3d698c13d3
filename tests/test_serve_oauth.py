import httpx2
import otel_sdk
import pytest
from mcp import Client
from mcp.client.streamable_http import streamable_http_client
from test_resource_server import oidc_provider_mock, provider_token
from test_serve_rest import AcmeConnector, Served

from quellon_runtime.mcp_client.challenges import parse_www_authenticate
from quellon_runtime.resource_server import ResourceServerVerifier, TrustedIssuer
from quellon_runtime.serve import CallPath, ServeSettings, app

RS = "https://connectors.example"


@pytest.fixture(scope="module")
def served():  # real providers (their own keys, JWKS by discovery); the second one's keys are out of reach
    with oidc_provider_mock.run_server_in_thread(user_claims=[oidc_provider_mock.User(sub="alice", claims={"scope": "orders:read"})]) as idp, \
            oidc_provider_mock.run_server_in_thread() as down:
        iss, other = (f"http://localhost:{p.server_port}" for p in (idp, down))
        cp = CallPath({"acme": AcmeConnector()}, ServeSettings(scope_gate=False, resource_url=RS),
                      verifier=ResourceServerVerifier([TrustedIssuer(iss, ("svc-a",)), TrustedIssuer(
                          other, ("svc-a",), "http://127.0.0.1:9/jwks")], fetch_timeout=0.5))
        cp.bucket = type(cp.bucket)(float("inf"), float("inf"))  # other tests' calls spend the process's bucket
        s = Served(app.build_app(cp, cp.settings))
        s.iss, s.tokens = iss, {c: "Bearer " + provider_token(i, a) for c, i, a in (("svc-a", iss, "svc-a"), ("svc-b", iss, "svc-b"), ("down", other, "svc-a"))}
        yield s
        s.stop()


@pytest.mark.parametrize("protocol", ["rest", "2026-07-28", "legacy"])
@pytest.mark.parametrize("client,action,status,challenge,reason", [("svc-a", "orders.get", 200, None, None),  # challenge: (error, scope)
    ("svc-b", "orders.get", 401, ("invalid_token", None), "audience"), (None, "orders.get", 401, (None, None), None),
    ("down", "orders.get", 503, None, "unavailable"), ("svc-a", "orders.create", 403, ("insufficient_scope", "orders:write"), None)])
async def test_provider_tokens_and_challenges(served, caplog, protocol, client, action, status, challenge, reason):
    headers, seen, (proto, suffix) = {"authorization": served.tokens[client]} if client else {}, [], ("rest", "") if protocol == "rest" else ("mcp", "/mcp")

    async def hook(response):
        seen.extend(response.headers.get_list("www-authenticate"))
    async with httpx2.AsyncClient(headers=headers, event_hooks={"response": [hook]}) as http:
        with caplog.at_level("DEBUG", "runtime.serve"):
            if protocol == "rest":
                ok = (await http.post(f"{served.url}/v1/acme/{action}", json={"order_id": 1})).status_code == status
            else:
                async with Client(streamable_http_client(served.url + "/mcp", http_client=http), mode=protocol) as c:
                    ok = (await c.call_tool(action, {"order_id": 1})).is_error is (status != 200)  # a result, 200 on the wire
        assert ok and (challenge is None) is not any(seen)
        got = parse_www_authenticate(seen[-1] if seen else f'Bearer resource_metadata="{RS}/.well-known/oauth-protected-resource{suffix}"')
        assert challenge is None or (got.error, got.scope) == challenge
        doc = (await http.get(served.url + got.resource_metadata[len(RS):])).json()  # the document the challenge names
    assert (doc["resource"], doc["authorization_servers"][0], "orders:write" in doc["scopes_supported"]) == (RS + suffix, served.iss, True)
    counted, logged = otel_sdk.METRICS.get_metrics_data().to_json(), caplog.text  # never a token in the log
    assert "eyJ" not in logged and (reason is None or f'"reason": "{reason}"' in counted and f"over {proto}: {reason}" in logged)
