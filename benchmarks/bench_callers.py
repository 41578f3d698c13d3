"""Caller verification and fixed-token headers: instructions per call against plain Python renderings.

Run:  PYTHONPATH=src python benchmarks/bench_callers.py
Rows: `verify_bearer_token_and_identity` accepting the API key (scopes from a comma-and-blank list in
the environment), and `FixedTokenAuthProvider.get_headers` once the header is cached. The baselines
are the same contracts written as idiomatic Python (hmac.compare_digest, os.environ, a compiled
regex split, a frozen dataclass; an async method returning dict(cached)), measured the same way.
Figures are instructions per call under callgrind (the scripts' `--loop MODE N`), the warm-up and
start-up subtracted.
The RS256 and ES256 rows verify an identity provider's access token with its key cached
(`ResourceServerVerifier.verify_sync`) against PyJWT's own `decode` with that key, audience and
issuer: the floor, to stay within 1.15 times.
"""

from __future__ import annotations

import asyncio
import hmac
import json
import os
import re
import tempfile
import time
from dataclasses import dataclass
from typing import Any, Mapping, Optional

import _callgrind
import _report

from quellon_runtime.auth.fixed_token import FixedTokenAuthProvider
from quellon_runtime.caller_profile import verify_bearer_token_and_identity
from quellon_runtime.resource_server import ResourceServerVerifier, TrustedIssuer
from quellon_runtime.secrets import SecretProvider

SCOPES_ENV = "QL_BENCH_API_KEY_SCOPES"
SCOPES = "connectors:read, connectors:run admin"
API_KEY = "k-" + "7" * 40
TARGETS = {"verify": 15000, "headers": 1900}
KEYS_DIR_ENV = "QL_BENCH_SIGNING_KEYS"  # where run() leaves the keys for the measured children
ISS, AUD = "https://idp.example", "https://connectors.example/mcp"
JWT_ALGS = {"rs256": "RS256", "es256": "ES256"}
JWT_RATIO = 1.15


# ---- baselines --------------------------------------------------------------------------------

_SPLIT = re.compile(r"[\s,]+").split


@dataclass(frozen=True)
class PyProfile:
    principal: str
    tenant_id: Optional[str]
    scopes: tuple
    claims: Mapping[str, Any]
    auth_type: str


def py_verify(token, *, api_key, jwt_secret, api_key_scopes_env, api_key_auth_type):
    if api_key and hmac.compare_digest(token.encode(), api_key.encode()):
        text = (os.environ.get(api_key_scopes_env) or "").strip()
        if text.startswith(("[", "{")):
            scopes = [str(s).strip() for s in json.loads(text) if str(s).strip()]
        else:
            scopes = [s for s in _SPLIT(text) if s]
        claims = {"sub": "api-key-user", "tenant_id": None, "scopes": scopes}
        return True, PyProfile("api-key-user", None, tuple(scopes), claims, api_key_auth_type)
    return False, None


class PyFixedToken:
    def __init__(self, header):
        self._cached_header = header

    async def get_headers(self):
        return dict(self._cached_header)


class Store(SecretProvider):
    def get_secret(self, key):
        return "bench-token"


# ---- instruction counts -----------------------------------------------------------------------


def _signing_keys() -> dict:
    import jwt
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec, rsa

    folder = os.environ.get(KEYS_DIR_ENV)
    if not folder:
        folder = os.environ[KEYS_DIR_ENV] = tempfile.mkdtemp(prefix="ql-bench-keys-")
        made = {"RS256": rsa.generate_private_key(public_exponent=65537, key_size=2048),
                "ES256": ec.generate_private_key(ec.SECP256R1())}
        for alg, key in made.items():
            with open(os.path.join(folder, alg), "wb") as f:
                f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                          serialization.NoEncryption()))
    out = {}
    for alg in JWT_ALGS.values():
        with open(os.path.join(folder, alg), "rb") as f:
            key = serialization.load_pem_private_key(f.read(), None)
        now = int(time.time()) // 600 * 600  # the same claims in every process of one run
        claims = {"iss": ISS, "aud": AUD, "sub": "svc-7", "exp": now + 7200, "iat": now,
                  "scope": "connectors:read connectors:run"}
        out[alg] = (jwt.encode(claims, key, alg, headers={"kid": alg}), key.public_key())
    return out


def _jwt_workload(mode: str):
    """A cached-key verification (ours, or PyJWT's decode) of one token, as a zero-argument call."""
    import jwt

    alg = JWT_ALGS[mode.removesuffix("_py")]
    token, public = _signing_keys()[alg]
    if mode.endswith("_py"):
        return lambda: jwt.decode(token, public, algorithms=[alg], audience=AUD, issuer=ISS)
    verifier = ResourceServerVerifier([TrustedIssuer(ISS, (AUD,), ISS + "/jwks", (alg,))])
    verifier._keys[ISS] = _cached_keys(alg, public)
    return lambda: verifier.verify_sync(token)


def _cached_keys(alg, public):
    from quellon_runtime.resource_server import _KeySet

    return _KeySet({alg: (alg, {"RS": "RSA", "ES": "EC"}[alg[:2]], public)}, time.monotonic())


def _loop(mode: str, n: int) -> None:
    """Body of one instruction-count measurement (run in a child process under callgrind)."""
    if mode.removesuffix("_py") in JWT_ALGS:
        call = _jwt_workload(mode)
        for _ in range(300 + n):
            call()
        return
    os.environ[SCOPES_ENV] = SCOPES
    if mode in ("verify", "verify_py"):
        fn = verify_bearer_token_and_identity if mode == "verify" else py_verify

        def go(k):
            for _ in range(k):
                fn(API_KEY, api_key=API_KEY, jwt_secret=None, api_key_scopes_env=SCOPES_ENV,
                   api_key_auth_type="api_key")

        go(300)
        go(n)
        return
    provider = FixedTokenAuthProvider(secret_provider=Store(), secret_key="k")
    asyncio.run(provider.get_headers())
    target = provider if mode == "headers" else PyFixedToken(dict(provider._cached_header))

    async def run(k):
        for _ in range(k):
            await target.get_headers()

    asyncio.run(run(300))
    asyncio.run(run(n))


ROWS = [("verify", "verify_bearer_token_and_identity, API key (instructions per call, callgrind)"),
        ("headers", "FixedTokenAuthProvider.get_headers, cached (instructions per call, callgrind)")]


def run(n: int = 4000) -> list[dict]:
    for token in (API_KEY, "wrong"):  # both sides must agree before their cost means anything
        kwargs = dict(api_key=API_KEY, jwt_secret=None, api_key_scopes_env=SCOPES_ENV, api_key_auth_type="api_key")
        os.environ[SCOPES_ENV] = SCOPES
        try:
            ok, profile = verify_bearer_token_and_identity(token, **kwargs)
            py_ok, py_profile = py_verify(token, **kwargs)
        finally:
            del os.environ[SCOPES_ENV]
        assert ok == py_ok and (profile is None) == (py_profile is None)
        if profile is not None:
            assert (profile.principal, profile.tenant_id, profile.scopes, dict(profile.claims), profile.auth_type) == (
                py_profile.principal, py_profile.tenant_id, py_profile.scopes, py_profile.claims, py_profile.auth_type)
    for mode in JWT_ALGS:  # ours and PyJWT's agree on the claims
        ok, caller, _ = _jwt_workload(mode)()
        assert ok and dict(caller.claims) == _jwt_workload(mode + "_py")()
    if not _callgrind.available():
        return []
    rows = [_callgrind.target_row(__file__, name, mode, mode + "_py", n, TARGETS[mode]) for mode, name in ROWS]
    for mode, alg in JWT_ALGS.items():
        ours, floor = _callgrind.per_call(__file__, mode, 500), _callgrind.per_call(__file__, mode + "_py", 500)
        if ours is not None and floor is not None:
            rows.append(_report.row(f"{alg} access token, cached key, vs PyJWT decode (instructions per call, "
                                    "callgrind)", round(ours), round(floor), floor / ours,
                                    f">= {1 / JWT_RATIO:.3f} (within {JWT_RATIO}x of PyJWT)", ours <= JWT_RATIO * floor))
    return [r for r in rows if r]


if __name__ == "__main__":
    _callgrind.script_main(run, _loop)
