"""Caller verification and fixed-token headers: instructions per call against plain Python renderings.

Run:  PYTHONPATH=src python benchmarks/bench_callers.py
Rows: `verify_bearer_token_and_identity` accepting the API key (scopes from a comma-and-blank list in
the environment), and `FixedTokenAuthProvider.get_headers` once the header is cached. The baselines
are the same contracts written as idiomatic Python (hmac.compare_digest, os.environ, a compiled
regex split, a frozen dataclass; an async method returning dict(cached)), measured the same way.
Figures are instructions per call under callgrind (the scripts' `--loop MODE N`), the warm-up and
start-up subtracted.
"""

from __future__ import annotations

import asyncio
import hmac
import json
import os
import re
from dataclasses import dataclass
from typing import Any, Mapping, Optional

import _callgrind

from quellon_runtime.auth.fixed_token import FixedTokenAuthProvider
from quellon_runtime.caller_profile import verify_bearer_token_and_identity
from quellon_runtime.secrets import SecretProvider

SCOPES_ENV = "QL_BENCH_API_KEY_SCOPES"
SCOPES = "connectors:read, connectors:run admin"
API_KEY = "k-" + "7" * 40
TARGETS = {"verify": 15000, "headers": 1900}


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


def _loop(mode: str, n: int) -> None:
    """Body of one instruction-count measurement (run in a child process under callgrind)."""
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
    if not _callgrind.available():
        return []
    rows = [_callgrind.target_row(__file__, name, mode, mode + "_py", n, TARGETS[mode]) for mode, name in ROWS]
    return [r for r in rows if r]


if __name__ == "__main__":
    _callgrind.script_main(run, _loop)
