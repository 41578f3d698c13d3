import asyncio
import base64
import json
import logging
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import hmac
import jwt
import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa
from jwt.algorithms import get_default_algorithms

from quellon_runtime import resource_server as rs
from quellon_runtime.caller_profile import hash_api_key
from quellon_runtime.mcp_client.challenges import parse_www_authenticate
from quellon_runtime.resource_server import ResourceServerVerifier, TrustedIssuer

oidc_provider_mock = pytest.importorskip("oidc_provider_mock")

AUD = "https://connectors.example/mcp"
RSA_KEY = rsa.generate_private_key(public_exponent=65537, key_size=2048)
KEYS = {"RS256": RSA_KEY, "PS256": RSA_KEY, "ES256": ec.generate_private_key(ec.SECP256R1()),
        "EdDSA": ed25519.Ed25519PrivateKey.generate()}


def jwk(alg, kid):
    return {**json.loads(get_default_algorithms()[alg].to_jwk(KEYS[alg].public_key())), "kid": kid}


class AuthServerDouble(BaseHTTPRequestHandler):
    """JWKS and introspection endpoints whose faults the tests choose (slow, down, junk)."""

    def do_GET(self):
        srv = self.server
        srv.hits[self.path] = srv.hits.get(self.path, 0) + 1
        if srv.mode == "slow":
            time.sleep(3)
        body = b"<html>junk" if srv.mode == "junk" else json.dumps({"keys": srv.keys}).encode()
        self.send_response(500 if srv.mode == "down" else 200)
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        srv = self.server
        srv.hits[self.path] = srv.hits.get(self.path, 0) + 1
        form = urllib.parse.parse_qs(self.rfile.read(int(self.headers["Content-Length"])).decode())
        if self.headers.get("Authorization") != "Basic " + base64.b64encode(b"rs:s3cret").decode():
            self.send_response(401)
            self.end_headers()
            return
        self.send_response(200)
        self.end_headers()
        self.wfile.write(json.dumps(srv.tokens.get(form["token"][0], {"active": False})).encode())

    def log_message(self, *args):
        pass


@pytest.fixture
def double():
    srv = ThreadingHTTPServer(("127.0.0.1", 0), AuthServerDouble)
    srv.mode, srv.hits, srv.tokens = "ok", {}, {}
    srv.keys = [jwk(alg, alg.lower()) for alg in KEYS]
    srv.base = f"http://127.0.0.1:{srv.server_port}"
    threading.Thread(target=srv.serve_forever, args=(0.05,), daemon=True).start()
    yield srv
    srv.shutdown()
    srv.server_close()


def verifier_for(double, **kw):
    issuer = TrustedIssuer(double.base, (AUD,), double.base + "/jwks", tuple(KEYS))
    return ResourceServerVerifier([issuer], fetch_timeout=0.5, **kw)


def sign(double, alg="ES256", kid=None, headers=None, key=None, **claims):
    now = int(time.time())
    body = {"iss": double.base, "aud": AUD, "sub": "svc-7", "exp": now + 300, "iat": now, "scp": ["a", "b"], **claims}
    body = {k: v for k, v in body.items() if v is not None}
    return jwt.encode(body, key or KEYS[alg], alg, headers={"kid": kid or alg.lower(), **(headers or {})})


# ---- the real authorization server ----------------------------------------------------------------


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


def provider_token(base, client):
    """An ID token from the provider by its authorization-code flow (its audience is the client)."""
    opener = urllib.request.build_opener(_NoRedirect)
    query = urllib.parse.urlencode({"client_id": client, "redirect_uri": "http://127.0.0.1/cb",
                                    "response_type": "code", "scope": "openid"})
    with pytest.raises(urllib.error.HTTPError) as redirect:
        opener.open(urllib.request.Request(f"{base}/oauth2/authorize?{query}", data=b"sub=alice"))
    code = urllib.parse.parse_qs(urllib.parse.urlsplit(redirect.value.headers["location"]).query)["code"][0]
    form = {"grant_type": "authorization_code", "code": code, "redirect_uri": "http://127.0.0.1/cb",
            "client_id": client, "client_secret": "x"}
    return json.loads(opener.open(f"{base}/oauth2/token", data=urllib.parse.urlencode(form).encode()).read())["id_token"]


@pytest.fixture
def provider():
    with oidc_provider_mock.run_server_in_thread() as srv:
        yield srv


@pytest.mark.parametrize("client, other_issuer, reason", [("svc-a", False, None), ("svc-b", False, "audience"),
                                                          ("svc-a", True, "issuer")])
async def test_provider_tokens(provider, client, other_issuer, reason):
    base = f"http://localhost:{provider.server_port}"
    verifier = ResourceServerVerifier([TrustedIssuer(base, ("svc-a",))])  # keys found by discovery
    if other_issuer:
        with oidc_provider_mock.run_server_in_thread() as other:
            token = provider_token(f"http://localhost:{other.server_port}", client)
    else:
        token = provider_token(base, client)
    ok, caller, why = await verifier.verify(token)
    assert (ok, why) == (reason is None, reason)
    assert caller is None or (caller.principal, caller.auth_type) == ("alice", "jwt")


async def test_provider_key_rotation_without_restart():
    with oidc_provider_mock.run_server_in_thread() as first:
        port = first.server_port
        base = f"http://localhost:{port}"
        verifier = ResourceServerVerifier([TrustedIssuer(base, ("svc-a",))], refresh_interval=0)
        old = provider_token(base, "svc-a")
        assert (await verifier.verify(old))[0]
    with oidc_provider_mock.run_server_in_thread(port=port) as second:  # same issuer, new signing key
        assert (await verifier.verify(provider_token(base, "svc-a")))[0]
        # the retired key is gone: by kid (the provider names it from 0.4 on) or by signature
        assert (await verifier.verify(old))[:2] == (False, None) and (await verifier.verify(old))[2] in (
            "unknown_key", "signature")


# ---- algorithms, hostile tokens, faults -----------------------------------------------------------


@pytest.mark.parametrize("alg", list(KEYS))
def test_each_algorithm_accepted(double, alg):
    ok, caller, reason = verifier_for(double).verify_sync(sign(double, alg, tenant_id="t-1"))
    assert (ok, reason, caller.principal, caller.tenant_id, caller.scopes) == (True, None, "svc-7", "t-1", ("a", "b"))


def _b64(obj):
    return base64.urlsafe_b64encode(json.dumps(obj).encode()).rstrip(b"=").decode()


def _unsigned(double, header, key=None):
    signing_input = f"{_b64(header)}.{_b64({'iss': double.base, 'aud': AUD, 'exp': time.time() + 60})}"
    mac = hmac.digest(key, signing_input.encode(), "sha256") if key else b""
    return signing_input + "." + base64.urlsafe_b64encode(mac).rstrip(b"=").decode()


PUBLIC_PEM = RSA_KEY.public_key().public_bytes(serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo)
HOSTILE = {
    "alg none": (lambda d: _unsigned(d, {"alg": "none"}), "algorithm"),
    "HS256 with the public key": (lambda d: _unsigned(d, {"alg": "HS256", "kid": "rs256"}, PUBLIC_PEM), "algorithm"),
    "kid with path": (lambda d: sign(d, kid="../../etc/passwd"), "unknown_key"),
    "kid with URL": (lambda d: sign(d, kid="http://127.0.0.1:9/k"), "unknown_key"),
    "jku elsewhere": (lambda d: sign(d, kid="x", headers={"jku": d.base + "/evil"}), "unknown_key"),
    "x5u elsewhere": (lambda d: sign(d, kid="x", headers={"x5u": d.base + "/evil"}), "unknown_key"),
    "oversize": (lambda d: sign(d, pad="p" * 20000), "malformed"),
    "bad base64": (lambda d: sign(d).replace(".", ".*", 1), "malformed"),
    "nested JWS": (lambda d: sign(d, headers={"cty": "JWT"}), "malformed"),
    "unknown crit": (lambda d: sign(d, headers={"crit": ["exp-x"], "exp-x": 1}), "malformed"),
    "JWE shape": (lambda d: sign(d) + ".a.b", "malformed"),
    "key of another issuer": (lambda d: sign(d, key=ec.generate_private_key(ec.SECP256R1())), "signature"),
    "alg not pinned by key": (lambda d: sign(d, "ES256", kid="rs256", key=KEYS["ES256"]), "algorithm"),
    "untrusted issuer": (lambda d: sign(d, iss="https://elsewhere.example"), "issuer"),
    "other audience": (lambda d: sign(d, aud="https://other.example"), "audience"),
    "no exp": (lambda d: sign(d, exp=None), "missing_claim"),
    "expired": (lambda d: sign(d, exp=int(time.time()) - 3600), "expired"),
    "not yet valid": (lambda d: sign(d, nbf=int(time.time()) + 3600), "not_yet_valid"),
    "bearer prefix": (lambda d: "Bearer " + sign(d), "bearer_prefix"),
}


@pytest.mark.parametrize("make, reason", HOSTILE.values(), ids=HOSTILE.keys())
async def test_hostile_tokens_refused(double, make, reason, caplog):
    verifier = verifier_for(double, refresh_interval=3600)
    assert (await verifier.verify(sign(double)))[0]
    token = make(double)
    with caplog.at_level(logging.DEBUG, "runtime.caller_profile"):
        assert await verifier.verify(token) == (False, None, reason)
    assert double.hits == {"/jwks": 1}, "only the configured JWKS, and an unknown kid at most once per interval"
    assert [r.getMessage() for r in caplog.records if r.getMessage().startswith("caller refused: " + reason)]
    assert not any(part in r.getMessage() for r in caplog.records for part in token.split(".") if len(part) > 8)


@pytest.mark.parametrize("mode", ["slow", "down", "junk"])
async def test_jwks_faults_keep_the_cache_serving(double, mode):
    verifier = verifier_for(double, refresh_interval=0)
    assert (await verifier.verify(sign(double)))[0]
    double.mode = mode
    started = time.monotonic()
    assert await verifier.verify(sign(double, kid="rotated")) == (False, None, "unavailable")
    assert time.monotonic() - started < 10, "bounded by the fetch timeout, well below the 3 s stall plus margin"
    assert (await verifier.verify(sign(double)))[0]
    assert (await ResourceServerVerifier(verifier.issuers.values(), fetch_timeout=0.5).verify(sign(double)))[2] \
        == "unavailable"


async def test_one_fetch_for_concurrent_callers_and_none_when_cached(double):
    verifier = verifier_for(double, refresh_interval=0)
    results = await asyncio.gather(*(verifier.verify(sign(double, alg)) for alg in KEYS for _ in range(10)))
    results += [verifier.verify_sync(sign(double)) for _ in range(20)]
    assert all(ok for ok, _, _ in results) and double.hits == {"/jwks": 1}
    double.keys.append(jwk("ES256", "next"))  # rotation: an unknown kid refreshes once
    assert (await verifier.verify(sign(double, kid="next")))[0] and double.hits == {"/jwks": 2}


@pytest.mark.parametrize("answer, reason, cached", [
    ({"active": True, "sub": "u-1", "scope": "read write", "aud": AUD}, None, True),
    ({"active": False}, "inactive", False),
    ({"active": True, "sub": "u-1", "exp": 1000}, "expired", False),
    ({"active": True, "sub": "u-1", "aud": "https://other.example"}, "audience", False),
    (None, "unavailable", False),  # the endpoint refuses this server's credentials
])
async def test_introspection(double, answer, reason, cached):
    secret = "s3cret" if answer else "wrong"
    verifier = ResourceServerVerifier(introspection=rs.Introspection(double.base + "/introspect", "rs", secret, (AUD,)))
    double.tokens["opaque-1"] = answer
    for _ in range(2):
        ok, caller, why = await verifier.verify("opaque-1")
        assert (ok, why) == (reason is None, reason)
    assert double.hits["/introspect"] == (1 if cached else 2)
    assert caller is None or (caller.principal, caller.scopes, caller.auth_type) == ("u-1", ("read", "write"),
                                                                                      "introspection")


# ---- the whole caller check, settings, documents -------------------------------------------------


async def test_verify_caller_tries_keys_then_providers_then_hs256(double, monkeypatch):
    monkeypatch.setenv("QL_API_KEYS_JSON", json.dumps({hash_api_key("named"): {"principal": "svc-n"}}))
    monkeypatch.setenv("QL_JWT_AUDIENCE", AUD)
    monkeypatch.setenv("QL_JWT_ISSUER", "legacy")
    hs = jwt.encode({"iss": "legacy", "aud": AUD, "sub": "h", "exp": time.time() + 60, "iat": time.time()}, "k" * 32)
    kw = {"api_key": "single", "jwt_secret": "k" * 32, "verifier": verifier_for(double)}
    expect = {"single": "api-key-user", "named": "svc-n", sign(double): "svc-7", hs: "h"}
    for token, principal in expect.items():
        assert (await rs.verify_caller(token, **kw))[1].principal == rs.verify_caller_sync(token, **kw)[1].principal \
            == principal
    for token, reason in [(None, "no_token"), ("other", "unknown_api_key"), (sign(double, aud="x"), "audience")]:
        assert await rs.verify_caller(token, **kw) == (False, None, reason)


@pytest.mark.parametrize("env, variable", [
    ({"QL_OAUTH_ISSUERS_JSON": "{not json"}, "QL_OAUTH_ISSUERS_JSON"),
    ({"QL_OAUTH_ISSUERS_JSON": '[{"issuer": "https://i"}]'}, "QL_OAUTH_AUDIENCE"),
    ({"QL_OAUTH_ISSUERS_JSON": '{"issuer": "https://i", "audience": "a", "algorithms": ["HS256"]}'},
     "QL_OAUTH_ISSUERS_JSON"),
    ({"QL_OAUTH_ISSUERS_JSON": '{"issuer": "https://i", "audience": "a"}', "QL_OAUTH_LEEWAY_SECONDS": "9999"},
     "QL_OAUTH_LEEWAY_SECONDS"),
    ({"QL_OAUTH_INTROSPECTION_URL": "ftp://s3cret@x"}, "QL_OAUTH_INTROSPECTION_URL"),
    ({"QL_OAUTH_INTROSPECTION_URL": "https://x/i", "QL_OAUTH_INTROSPECTION_CLIENT_SECRET": "s3cret"},
     "QL_OAUTH_INTROSPECTION_CLIENT_ID"),
])
def test_bad_settings_name_the_variable_not_the_secret(monkeypatch, env, variable):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    with pytest.raises(ValueError, match=variable) as err:
        ResourceServerVerifier.from_env()
    assert "s3cret" not in str(err.value)


def test_settings_off_by_default_and_read(monkeypatch):
    assert ResourceServerVerifier.from_env() is None
    monkeypatch.setenv("QL_OAUTH_AUDIENCE", AUD)
    monkeypatch.setenv("QL_OAUTH_ISSUERS_JSON", '[{"issuer": "https://i", "tenant_claim": "tid"}]')
    verifier = ResourceServerVerifier.from_env()
    assert verifier.issuers["https://i"] == TrustedIssuer("https://i", (AUD,), tenant_claim="tid")


@pytest.mark.parametrize("status, kwargs, fields", [
    (401, {"resource_metadata": "https://rs/.well-known/oauth-protected-resource"},
     ("invalid_token", None, "https://rs/.well-known/oauth-protected-resource")),
    (401, {"reason": "no_token", "resource_metadata": "https://rs/m"}, (None, None, "https://rs/m")),
    (403, {"scope": ["mcp:acme.orders.get", "mcp:acme.orders.create"], "resource_metadata": "https://rs/m"},
     ("insufficient_scope", "mcp:acme.orders.get mcp:acme.orders.create", "https://rs/m")),
])
def test_challenges_round_trip_through_the_parser(status, kwargs, fields):
    parsed = parse_www_authenticate(rs.www_authenticate_challenge(status, **kwargs))
    assert (parsed.scheme, parsed.error, parsed.scope, parsed.resource_metadata) == ("Bearer", *fields)
    assert parsed.treat_as_unauthorized == (status == 401) and parsed.is_insufficient_scope == (status == 403)


def test_documents_refuse_what_cannot_be_sent():
    for call in (lambda: rs.www_authenticate_challenge(403), lambda: rs.www_authenticate_challenge(500),
                 lambda: rs.www_authenticate_challenge(401, error_description='say "hi"')):
        pytest.raises(ValueError, call)
    assert rs.resource_metadata_url("https://rs.example/mcp") == "https://rs.example/.well-known/oauth-protected-resource/mcp"
    assert rs.protected_resource_metadata("https://rs.example/mcp", ["https://idp"], scopes_supported=["s"]) == {
        "resource": "https://rs.example/mcp", "authorization_servers": ["https://idp"],
        "bearer_methods_supported": ["header"], "scopes_supported": ["s"]}
