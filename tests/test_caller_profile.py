import collections
import collections.abc
import dataclasses
import importlib.machinery
import json
import logging
import os
import re
import subprocess
import sys
import time
import types

import jwt
import pytest

from quellon_runtime import caller_profile as cp
from quellon_runtime.caller_profile import CallerProfile, JwtVerificationNotConfigured

SECRET = "s3cret-" + "x" * 64
AUD, ISS = "quellon-api", "https://issuer.example"
SCOPES_ENV = "QL_TEST_API_KEY_SCOPES"


@pytest.fixture(autouse=True)
def jwt_env(monkeypatch):
    monkeypatch.setenv("QL_JWT_AUDIENCE", AUD)
    monkeypatch.setenv("QL_JWT_ISSUER", ISS)
    monkeypatch.delenv(SCOPES_ENV, raising=False)


def make_jwt(secret=SECRET, algorithm="HS256", drop=(), **claims):
    now = int(time.time())
    body = {"sub": "user-1", "aud": AUD, "iss": ISS, "iat": now, "exp": now + 300}
    body.update(claims)
    for key in drop:
        body.pop(key)
    return jwt.encode(body, secret, algorithm=algorithm)


def verify(token, api_key=None, jwt_secret=SECRET, auth_type="rest_api_key"):
    return cp.verify_bearer_token_and_identity(
        token, api_key=api_key, jwt_secret=jwt_secret, api_key_scopes_env=SCOPES_ENV, api_key_auth_type=auth_type)


def test_module_surface():
    assert cp.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert (cp.JWT_AUDIENCE_ENV, cp.JWT_ISSUER_ENV) == ("QL_JWT_AUDIENCE", "QL_JWT_ISSUER")
    assert cp.logger.name == "runtime.caller_profile"
    assert issubclass(JwtVerificationNotConfigured, jwt.InvalidTokenError)
    assert JwtVerificationNotConfigured.__module__ == CallerProfile.__module__ == "quellon_runtime.caller_profile"
    assert CallerProfile.__doc__ == "Who is calling ``connector.run`` (REST, MCP, or other bindings)."


def test_profile_is_a_frozen_value():
    p = CallerProfile("a", None, ("s",), {"sub": "a"}, "jwt")
    assert p == CallerProfile(principal="a", tenant_id=None, scopes=("s",), claims={"sub": "a"}, auth_type="jwt")
    assert p != CallerProfile("a", "t", ("s",), {"sub": "a"}, "jwt")
    with pytest.raises(dataclasses.FrozenInstanceError):
        p.principal = "b"
    with pytest.raises(TypeError):
        CallerProfile("a", None, (), {})


@pytest.mark.parametrize("claims,principal", [
    ({"sub": "alice", "client_id": "svc"}, "alice"),
    ({"client_id": "svc"}, "svc"),
    ({"sub": "", "client_id": "svc"}, "svc"),
    ({"sub": None, "client_id": 17}, "17"),
    ({"sub": "", "client_id": ""}, "unknown"),
    ({}, "unknown"),
])
def test_principal_fallbacks(claims, principal):
    assert cp.build_caller_profile(claims, "jwt").principal == principal


@pytest.mark.parametrize("claims,tenant", [({}, None), ({"tenant_id": None}, None), ({"tenant_id": 42}, "42"),
                                           ({"tenant_id": ""}, "")])
def test_tenant_rendering(claims, tenant):
    assert cp.build_caller_profile(claims, "jwt").tenant_id == tenant


@pytest.mark.parametrize("claims,scopes", [
    ({"scopes": [], "scope": "a b"}, ()),
    ({"scopes": None, "scope": "a b"}, ("a", "b")),
    ({"scope": "a  b"}, ("a", "b")),
    ({"scope": "a\tb c"}, ("a\tb", "c")),
    ({"scopes": ["  ", 7, " x "]}, ("7", " x ")),
    ({"scopes": ("a", "b")}, ("a", "b")),
    ({"scopes": {"only"}}, ("only",)),
    ({"scopes": 5, "scope": "ignored"}, ()),
    ({"scopes": {"a": "b"}}, ()),
    ({}, ()),
])
def test_scope_claims(claims, scopes):
    assert cp.build_caller_profile(claims, "jwt").scopes == scopes


def test_claims_are_copied_and_types_checked():
    claims = {"sub": "a"}
    profile = cp.build_caller_profile(claims, "mcp_api_key")
    claims["sub"] = "changed"
    assert profile.claims == {"sub": "a"} and profile.auth_type == "mcp_api_key"
    with pytest.raises(TypeError, match="auth_type"):
        cp.build_caller_profile({}, None)
    with pytest.raises(TypeError, match="claims"):
        cp.build_caller_profile([("sub", "a")], "jwt")


@pytest.mark.parametrize("value,scopes", [
    (None, ()), ("", ()), ("   ", ()),
    ("read, write", ("read", "write")),
    (" read,,write\n admin ", ("read", "write", "admin")),
    ('[" read ", "", "  ", "write", 7]', ("read", "write", "7")),
    ("[]", ()),
])
def test_api_key_scopes_from_env(monkeypatch, value, scopes):
    if value is not None:
        monkeypatch.setenv(SCOPES_ENV, value)
    assert cp.parse_api_key_scopes_from_env(SCOPES_ENV) == scopes


@pytest.mark.parametrize("value,error,message", [
    ('{"read": true}', ValueError, f"^{SCOPES_ENV} JSON must be an array of strings$"),
    ("[read, write", json.JSONDecodeError, None),
])
def test_malformed_api_key_scopes_raise(monkeypatch, value, error, message):
    monkeypatch.setenv(SCOPES_ENV, value)
    with pytest.raises(error, match=message):
        cp.parse_api_key_scopes_from_env(SCOPES_ENV)
    # Also out of verification, rather than becoming a rejection.
    with pytest.raises(error, match=message):
        verify("key", api_key="key")
    with pytest.raises(TypeError, match="env_var"):
        cp.parse_api_key_scopes_from_env(None)


def test_api_key_comparison():
    assert cp.api_key_matches("abc", "abc") is True
    assert cp.api_key_matches("abc", "abd") is False
    assert cp.api_key_matches("clé", "clé") is True
    assert cp.api_key_matches("clé", "cle") is False
    with pytest.raises(TypeError, match="api_key"):
        cp.api_key_matches("abc", None)
    with pytest.raises(TypeError, match="token"):
        cp.api_key_matches(None, "abc")


def test_api_keys_are_compared_through_hmac_compare_digest(tmp_path):
    # The module may bind compare_digest when it loads, so the spy goes in first, in a fresh
    # interpreter; a plain == would answer without it.
    code = """
import hmac, json
real, calls = hmac.compare_digest, []
def spy(a, b):
    calls.append([type(a).__name__, a.decode("utf-8", "surrogatepass"), b.decode("utf-8", "surrogatepass")])
    return real(a, b)
hmac.compare_digest = spy
from quellon_runtime import caller_profile as cp
answers = [cp.api_key_matches("abc", "abc"), cp.api_key_matches("abc", "abd"), cp.api_key_matches("cl\u00e9", "cle")]
answers += [cp.verify_bearer_token_and_identity(t, api_key="k3y", jwt_secret=None, api_key_scopes_env="UNSET",
                                                api_key_auth_type="x")[0] for t in ("k3y", "k3z")]
print(json.dumps([answers, calls]))
"""
    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(cp.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path, capture_output=True, text=True,
                         check=True).stdout
    answers, calls = json.loads(out)
    assert answers == [True, False, False, True, False]
    assert calls == [["bytes", "abc", "abc"], ["bytes", "abc", "abd"], ["bytes", "clé", "cle"],
                     ["bytes", "k3y", "k3y"], ["bytes", "k3z", "k3y"]]


@pytest.mark.parametrize("aud,iss,expected", [
    ("  a ", " i", ("a", "i")),
    (None, "i", None), ("a", None, None), ("  ", "i", None), ("a", "", None),
])
def test_audience_and_issuer_from_env(monkeypatch, aud, iss, expected):
    for name, value in (("QL_JWT_AUDIENCE", aud), ("QL_JWT_ISSUER", iss)):
        if value is None:
            monkeypatch.delenv(name)
        else:
            monkeypatch.setenv(name, value)
    assert cp.load_jwt_audience_issuer_from_env() == expected


def test_decode_valid_jwt_returns_claims():
    claims = cp.decode_binding_jwt(make_jwt(scope="a b"), SECRET)
    assert claims["sub"] == "user-1" and claims["scope"] == "a b"


@pytest.mark.parametrize("token,error", [
    (lambda: make_jwt(exp=int(time.time()) - 600), jwt.ExpiredSignatureError),
    (lambda: make_jwt(aud="other"), jwt.InvalidAudienceError),
    (lambda: make_jwt(iss="https://other.example"), jwt.InvalidIssuerError),
    (lambda: make_jwt(drop=["exp"]), jwt.MissingRequiredClaimError),
    (lambda: make_jwt(drop=["iat"]), jwt.MissingRequiredClaimError),
    (lambda: make_jwt(algorithm="HS512"), jwt.InvalidAlgorithmError),
    (lambda: make_jwt(secret="another-" + "y" * 64), jwt.InvalidSignatureError),
])
def test_bad_jwts_raise_from_decode_and_are_rejected_by_verify(token, error):
    tok = token()
    with pytest.raises(error):
        cp.decode_binding_jwt(tok, SECRET)
    assert verify(tok) == (False, None)


def test_decode_without_audience_or_issuer(monkeypatch):
    monkeypatch.delenv("QL_JWT_ISSUER")
    with pytest.raises(JwtVerificationNotConfigured) as err:
        cp.decode_binding_jwt(make_jwt(), SECRET)
    assert str(err.value) == "QL_JWT_AUDIENCE and QL_JWT_ISSUER must be set when JWT authentication is enabled"
    assert verify(make_jwt()) == (False, None)


def test_api_key_caller(monkeypatch):
    monkeypatch.setenv(SCOPES_ENV, "read write")
    ok, profile = verify("the-key", api_key="the-key", auth_type="mcp_api_key")
    assert ok is True
    assert profile == CallerProfile("api-key-user", None, ("read", "write"),
                                    {"sub": "api-key-user", "tenant_id": None, "scopes": ["read", "write"]},
                                    "mcp_api_key")


def test_jwt_caller_and_credential_order():
    token = make_jwt(sub="alice", tenant_id="t1", scopes=["mcp:crm.x"])
    for api_key in (None, "", "wrong-key"):
        ok, profile = verify(token, api_key=api_key)
        assert ok and profile.auth_type == "jwt"
        assert (profile.principal, profile.tenant_id, profile.scopes) == ("alice", "t1", ("mcp:crm.x",))
    # A token equal to the API key is never decoded as a JWT.
    ok, profile = verify(token, api_key=token)
    assert ok and profile.principal == "api-key-user"


@pytest.mark.parametrize("token,api_key,jwt_secret", [
    ("", "", None),                      # an empty key accepts nothing, not even an empty token
    ("nope", "key", None),               # no JWT secret: a wrong key is the end
    ("a.b", None, SECRET),               # one dot: not decoded
    ("a.b.c.d", None, SECRET),           # three dots
    ("a.b.c", None, SECRET),             # undecodable
    ("\ud800.a.b", "key", SECRET),       # text no encoder accepts
    ("x.y.z", None, ""),                 # empty secret disables JWTs
])
def test_rejections(token, api_key, jwt_secret):
    assert verify(token, api_key=api_key, jwt_secret=jwt_secret) == (False, None)


@pytest.mark.parametrize("kwargs,param", [
    (dict(token=None), "token"), (dict(token=b"x.y.z"), "token"),
    (dict(api_key=1), "api_key"), (dict(jwt_secret=b"s"), "jwt_secret"),
    (dict(api_key_scopes_env=None), "api_key_scopes_env"), (dict(api_key_auth_type=None), "api_key_auth_type"),
])
def test_verify_argument_types(kwargs, param):
    args = dict(token="t", api_key=None, jwt_secret=None, api_key_scopes_env=SCOPES_ENV, api_key_auth_type="x")
    args.update(kwargs)
    with pytest.raises(TypeError, match=param):
        cp.verify_bearer_token_and_identity(**args)


def test_verify_options_are_keyword_only():
    with pytest.raises(TypeError, match="positional"):
        cp.verify_bearer_token_and_identity("t", None, None, SCOPES_ENV, "x")


def test_not_configured_warning_is_logged_once_per_process(tmp_path):
    code = f"""
import logging, sys, time, jwt
logging.basicConfig(stream=sys.stdout, format="%(levelname)s %(name)s %(message)s")
from quellon_runtime import caller_profile as cp
now = int(time.time())
token = jwt.encode({{"sub": "a", "aud": "x", "iat": now, "exp": now + 60}}, {SECRET!r}, algorithm="HS256")
for _ in range(3):
    print(cp.verify_bearer_token_and_identity(token, api_key=None, jwt_secret={SECRET!r},
          api_key_scopes_env="UNSET", api_key_auth_type="x"))
cp.warn_jwt_audience_issuer_not_configured()
"""
    env = {k: v for k, v in os.environ.items() if not k.startswith("QL_JWT_")}
    env["QL_JWT_AUDIENCE"] = "x"
    # The package as imported here, wherever the subprocess starts.
    package_root = os.path.dirname(os.path.dirname(cp.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path, capture_output=True, text=True,
                         check=True).stdout.splitlines()
    assert out == [
        "WARNING runtime.caller_profile JWT secret is configured but QL_JWT_AUDIENCE and QL_JWT_ISSUER are not set;"
        " JWT verification will fail"] + ["(False, None)"] * 3


# ---- the fast paths agree with the general ones ---------------------------------------------

from hypothesis import given, settings, strategies as st  # noqa: E402

SCOPE_TEXT = st.lists(st.sampled_from(["read", "w:x", ",", " ", ",,", "\t", "\n", "\u3000", "\x85", "\x1c", "\xa0",
                                       "é", "\u2028", "\U0001f600", "a,b", "-", "[", "\u200b"]),
                      max_size=12).map("".join)


@settings(max_examples=300, derandomize=True, deadline=None)
@given(SCOPE_TEXT)
def test_scope_list_splits_as_the_pattern_does(text):
    os.environ[SCOPES_ENV] = text
    try:
        if text.strip().startswith(("[", "{")):
            return
        expected = tuple(p for p in re.split(r"[\s,]+", text.strip()) if p)
        assert cp.parse_api_key_scopes_from_env(SCOPES_ENV) == expected
        ok, profile = verify("k", api_key="k")
    finally:
        del os.environ[SCOPES_ENV]
    # The API-key profile is what the public builder makes of the same claims.
    claims = {"sub": "api-key-user", "tenant_id": None, "scopes": list(expected)}
    assert ok and profile == cp.build_caller_profile(claims, "rest_api_key")
    assert type(profile.claims) is dict and all(type(s) is str for s in profile.scopes)


class PlainMapping(collections.abc.Mapping):
    def __init__(self, d):
        self.d = d

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


class OddDict(dict):
    def keys(self):  # a subclass's own view of its keys is what a copy takes
        return [k for k in super().keys() if k != "hidden"]

    def __getitem__(self, k):
        return "seen-" + super().__getitem__(k)


@pytest.mark.parametrize("make", [dict, collections.OrderedDict, types.MappingProxyType, PlainMapping, OddDict])
def test_every_mapping_kind_builds_the_same_profile_as_a_plain_copy(make):
    claims = {"sub": "u", "tenant_id": 5, "scope": "a  b", "hidden": "h"}
    profile = cp.build_caller_profile(make(claims), "jwt")
    copied = dict(make(claims))
    assert type(profile) is CallerProfile and profile.claims == copied and type(profile.claims) is dict
    assert (profile.principal, profile.tenant_id, profile.scopes) == (copied["sub"], str(copied["tenant_id"]),
                                                                       tuple(copied["scope"].split()))


# ---- refusal reasons and named API keys ---------------------------------------------------------


@pytest.mark.parametrize("token, api_key, jwt_secret, reason", [
    ("", "key", SECRET, "no_token"),
    ("Bearer key", "key", None, "bearer_prefix"),
    ("nope", "key", SECRET, "unknown_api_key"),
    ("nope", None, SECRET, "malformed"),
    ("a.b.c", None, None, "not_configured"),
    ("a.b.c", None, SECRET, "malformed"),
    ("\ud800.a.b", None, SECRET, "malformed"),
    (lambda: make_jwt(exp=int(time.time()) - 600), None, SECRET, "expired"),
    (lambda: make_jwt(nbf=int(time.time()) + 600), None, SECRET, "not_yet_valid"),
    (lambda: make_jwt(aud="other"), None, SECRET, "audience"),
    (lambda: make_jwt(iss="https://other.example"), None, SECRET, "issuer"),
    (lambda: make_jwt(drop=["iat"]), None, SECRET, "missing_claim"),
    (lambda: make_jwt(algorithm="HS512"), None, SECRET, "algorithm"),
    (lambda: make_jwt(secret="another-" + "y" * 64), None, SECRET, "signature"),
])
def test_refusal_reasons_logged_without_the_token(token, api_key, jwt_secret, reason, caplog):
    token = token() if callable(token) else token
    with caplog.at_level(logging.DEBUG, "runtime.caller_profile"):
        assert cp.verify_bearer_token_with_reason(token, api_key=api_key, jwt_secret=jwt_secret,
                                                  api_key_scopes_env=SCOPES_ENV, api_key_auth_type="k") \
            == (False, None, reason)
        assert verify(token, api_key=api_key, jwt_secret=jwt_secret) == (False, None)
    assert reason in cp.REFUSAL_REASONS and getattr(cp, "REASON_" + reason.upper()) == reason
    messages = [r.getMessage() for r in caplog.records]
    assert messages[0].startswith(f"caller refused: {reason} (issuer ")
    assert not any(part in m for m in messages for part in token.split(".") if len(part) > 3)


def test_named_api_keys_are_identities_of_their_own(monkeypatch):
    keys = {cp.hash_api_key("k-one"): {"principal": "billing", "tenant_id": "t-a", "scopes": ["read", "write"]},
            "sha256:" + cp.hash_api_key("k-two").upper(): {"principal": "batch", "scopes": "read, run"}}
    monkeypatch.setenv(cp.API_KEYS_ENV, json.dumps(keys))
    got = {k: cp.verify_bearer_token_with_reason(k, api_key="single", jwt_secret=None, api_key_scopes_env=SCOPES_ENV,
                                                 api_key_auth_type="api_key") for k in ("k-one", "k-two", "single", "x")}
    assert [(ok, c and (c.principal, c.tenant_id, c.scopes), r) for ok, c, r in got.values()] == [
        (True, ("billing", "t-a", ("read", "write")), None), (True, ("batch", None, ("read", "run")), None),
        (True, ("api-key-user", None, ()), None), (False, None, "unknown_api_key")]
    assert dict(got["k-one"][1].claims) == {"sub": "billing", "tenant_id": "t-a", "scopes": ["read", "write"]}


@pytest.mark.parametrize("value", ["{not json", "[]", '{"abc": {"principal": "p"}}', '{"%s": "p"}',
                                   '{"%s": {"principal": ""}}', '{"%s": {"principal": "p", "scopes": [1]}}',
                                   '{"%s": {"principal": "p", "tenant_id": 5}}'])
def test_bad_named_api_keys_name_the_variable(monkeypatch, value):
    monkeypatch.setenv(cp.API_KEYS_ENV, value.replace("%s", cp.hash_api_key("k")))
    with pytest.raises(ValueError, match="^QL_API_KEYS_JSON ") as err:
        verify("k", api_key=None)
    assert cp.hash_api_key("k") not in str(err.value)


def test_jwt_refusal_reason_of_each_error():
    assert [cp.jwt_refusal_reason(e("x")) for e in (jwt.ExpiredSignatureError, jwt.InvalidSignatureError,
                                                    jwt.DecodeError, JwtVerificationNotConfigured)] == [
        "expired", "signature", "malformed", "not_configured"]
