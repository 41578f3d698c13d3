"""OAuth 2.1 resource-server verification of identity providers' access tokens.

JWTs signed by trusted issuers are checked against each issuer's JWKS (fetched, cached, refreshed
on an unknown key at most once per interval, kept for a bounded time while the endpoint is away);
opaque tokens are checked by introspection (RFC 7662). Verification never fetches on the hot path:
a cached key or introspection result answers in place, and the first fetch for an issuer is shared
by every caller waiting for it. The documents a resource server publishes (RFC 9728 metadata and
``WWW-Authenticate`` challenges) are plain functions.
"""

from __future__ import annotations

import asyncio
import base64
import binascii
import concurrent.futures
import hashlib
import json
import logging
import os
import re
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Callable, TypeGuard

import jwt

from .caller_profile import (
    REASON_ALGORITHM,
    REASON_AUDIENCE,
    REASON_BEARER_PREFIX,
    REASON_EXPIRED,
    REASON_INACTIVE,
    REASON_ISSUER,
    REASON_MALFORMED,
    REASON_MISSING_CLAIM,
    REASON_NO_TOKEN,
    REASON_NOT_CONFIGURED,
    REASON_NOT_YET_VALID,
    REASON_SIGNATURE,
    REASON_UNAVAILABLE,
    REASON_UNKNOWN_KEY,
    CallerProfile,
    match_api_key,
    verify_bearer_token_with_reason,
)

__all__ = [
    "ISSUERS_ENV",
    "ASYMMETRIC_ALGORITHMS",
    "TrustedIssuer",
    "Introspection",
    "ResourceServerVerifier",
    "get_resource_server_verifier",
    "verify_caller",
    "verify_caller_sync",
    "www_authenticate_challenge",
    "protected_resource_metadata",
    "resource_metadata_url",
]

logger = logging.getLogger("runtime.caller_profile")

ISSUERS_ENV = "QL_OAUTH_ISSUERS_JSON"
AUDIENCE_ENV = "QL_OAUTH_AUDIENCE"
LEEWAY_ENV = "QL_OAUTH_LEEWAY_SECONDS"
REFRESH_ENV = "QL_OAUTH_JWKS_REFRESH_SECONDS"
MAX_AGE_ENV = "QL_OAUTH_JWKS_MAX_AGE_SECONDS"
STALE_ENV = "QL_OAUTH_JWKS_STALE_SECONDS"
TIMEOUT_ENV = "QL_OAUTH_FETCH_TIMEOUT_SECONDS"
INTROSPECTION_URL_ENV = "QL_OAUTH_INTROSPECTION_URL"
INTROSPECTION_ID_ENV = "QL_OAUTH_INTROSPECTION_CLIENT_ID"
INTROSPECTION_SECRET_ENV = "QL_OAUTH_INTROSPECTION_CLIENT_SECRET"
INTROSPECTION_CACHE_ENV = "QL_OAUTH_INTROSPECTION_CACHE_SECONDS"

# Public-key algorithms only: an HMAC "verified" with a published key is forgeable by anyone.
ASYMMETRIC_ALGORITHMS = ("RS256", "RS384", "RS512", "PS256", "PS384", "PS512", "ES256", "ES384", "ES512", "EdDSA")
_KEY_TYPES = {"RS": "RSA", "PS": "RSA", "ES": "EC", "Ed": "OKP"}
MAX_TOKEN_CHARS = 16 * 1024
MAX_DOCUMENT_BYTES = 1024 * 1024
_JWS_SHAPE = re.compile(r"[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+\.[A-Za-z0-9_-]*")  # an empty signature is alg "none"
_ACCEPTED_TYP = {None, "jwt", "at+jwt", "application/jwt", "application/at+jwt"}
try:
    _ALGORITHMS = {name: jwt.PyJWS().get_algorithm_by_name(name) for name in ASYMMETRIC_ALGORITHMS}
except NotImplementedError:  # PyJWT without cryptography: only the documents work
    _ALGORITHMS = {}


def _b64json(part: str) -> Any:
    return json.loads(base64.urlsafe_b64decode(part + "=" * (-len(part) % 4)))


def _number(value: Any) -> TypeGuard[int | float]:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _scopes(claims: Mapping[str, Any]) -> tuple[str, ...]:
    raw = claims.get("scope")
    if isinstance(raw, str):
        return tuple(s for s in raw.split(" ") if s)
    for name in ("scp", "scopes"):
        raw = claims.get(name)
        if isinstance(raw, str):
            return tuple(s for s in raw.split(" ") if s)
        if isinstance(raw, (list, tuple)):
            return tuple(s for s in raw if isinstance(s, str) and s.strip())
    return ()


def _profile(claims: dict[str, Any], tenant_claim: str, auth_type: str) -> CallerProfile:
    principal = next((str(claims[k]) for k in ("sub", "client_id") if claims.get(k)), "unknown")
    tenant = claims.get(tenant_claim)
    return CallerProfile(principal, None if tenant is None else str(tenant), _scopes(claims), claims, auth_type)


@dataclass(frozen=True)
class TrustedIssuer:
    """One identity provider whose tokens are accepted: exact issuer, the audiences meant for this
    server, where its keys are (discovered from its metadata when not given) and what it may sign with."""

    issuer: str
    audiences: tuple[str, ...]
    jwks_uri: str | None = None
    algorithms: tuple[str, ...] = ("RS256", "PS256", "ES256", "EdDSA")
    tenant_claim: str = "tenant_id"
    # where the token names its audience: "aud", or "client_id" for providers whose access tokens
    # carry no aud (the client they were issued to is then what must match)
    audience_claim: str = "aud"

    def __post_init__(self) -> None:
        if not self.issuer:
            raise ValueError("issuer must not be empty")
        if not self.audiences or not all(isinstance(a, str) and a for a in self.audiences):
            raise ValueError(f"issuer {self.issuer!r}: at least one audience is required")
        bad = [a for a in self.algorithms if a not in ASYMMETRIC_ALGORITHMS]
        if bad or not self.algorithms:
            raise ValueError(f"issuer {self.issuer!r}: algorithms must be among {', '.join(ASYMMETRIC_ALGORITHMS)}")


@dataclass(frozen=True)
class Introspection:
    """An RFC 7662 introspection endpoint and the client credentials this server presents to it."""

    url: str
    client_id: str
    client_secret: str = field(repr=False)
    audiences: tuple[str, ...] = ()
    cache_seconds: float = 300.0
    tenant_claim: str = "tenant_id"


class _FetchError(Exception):
    """A key or introspection document could not be had; the message names what, never a secret."""


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    # Keys come from the configured address only, never from wherever it points.
    def redirect_request(self, *args: Any, **kwargs: Any) -> None:
        return None


_OPENER = urllib.request.build_opener(_NoRedirect)


def _where(url: str) -> str:
    # for messages: host and path only, never credentials or a query that may carry them
    parts = urllib.parse.urlsplit(url)
    return f"{parts.hostname}{':%d' % parts.port if parts.port else ''}{parts.path}"


def _fetch_json(url: str, timeout: float, data: bytes | None = None, headers: Mapping[str, str] = {}) -> Any:
    request = urllib.request.Request(url, data=data, headers={"Accept": "application/json", **headers})
    try:
        with _OPENER.open(request, timeout=timeout) as response:
            body = response.read(MAX_DOCUMENT_BYTES + 1)
    except (OSError, urllib.error.URLError, ValueError) as e:
        raise _FetchError(f"{_where(url)}: {type(e).__name__}") from None
    if len(body) > MAX_DOCUMENT_BYTES:
        raise _FetchError(f"{_where(url)}: document too large")
    try:
        return json.loads(body)
    except ValueError:
        raise _FetchError(f"{_where(url)}: not JSON") from None


@dataclass
class _KeySet:
    keys: dict[str, tuple[str | None, str, Any]]  # kid -> (alg pinned by the JWK, key type, key)
    fetched_at: float


def _parse_jwks(document: Any, url: str) -> dict[str, tuple[str | None, str, Any]]:
    if not isinstance(document, dict) or not isinstance(document.get("keys"), list):
        raise _FetchError(f"{_where(url)}: no JWKS")
    keys: dict[str, tuple[str | None, str, Any]] = {}
    for n, entry in enumerate(document["keys"]):
        if not isinstance(entry, dict) or entry.get("use", "sig") != "sig" or entry.get("kty") == "oct":
            continue
        try:
            jwk = jwt.PyJWK(entry)
        except (jwt.PyJWTError, ValueError, TypeError, KeyError):
            continue  # a key this host cannot use does not spoil the others
        raw_kid = entry.get("kid")
        kid = raw_kid if isinstance(raw_kid, str) else f"#{n}"
        keys[kid] = (entry.get("alg") if isinstance(entry.get("alg"), str) else None, entry["kty"], jwk.key)
    if not keys:
        raise _FetchError(f"{_where(url)}: no usable signing key")
    return keys


class _SingleFlight:
    """One fetch per key at a time, shared by every caller (sync or async) that wants it."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._running: dict[Any, concurrent.futures.Future[Any]] = {}
        self._pool = concurrent.futures.ThreadPoolExecutor(max_workers=4, thread_name_prefix="ql-oauth-fetch")

    def run(self, key: Any, fn: Callable[[], Any]) -> concurrent.futures.Future[Any]:
        with self._lock:
            fut = self._running.get(key)
            if fut is not None:
                return fut
            fut = self._running[key] = self._pool.submit(fn)
        # outside the lock: a fetch already done runs the callback here and now
        fut.add_done_callback(lambda f: self._forget(key, f))
        return fut

    def running(self, key: Any) -> bool:
        return key in self._running

    def _forget(self, key: Any, fut: concurrent.futures.Future[Any]) -> None:
        with self._lock:
            if self._running.get(key) is fut:
                del self._running[key]


_Result = tuple[bool, CallerProfile | None, str | None]


class ResourceServerVerifier:
    """Verifies bearer access tokens as an OAuth 2.1 resource server: JWTs of the trusted issuers
    against their JWKS, opaque tokens by introspection when configured."""

    def __init__(
        self,
        issuers: Sequence[TrustedIssuer] = (),
        *,
        introspection: Introspection | None = None,
        leeway: float = 30.0,
        refresh_interval: float = 60.0,
        max_age: float = 3600.0,
        stale_for: float = 86400.0,
        fetch_timeout: float = 5.0,
        clock: Callable[[], float] = time.time,
    ) -> None:
        if not _ALGORITHMS:
            raise ImportError("verifying identity providers' tokens needs cryptography: "
                              "pip install 'quellon-runtime[oauth]'")
        self.issuers = {i.issuer: i for i in issuers}
        self.introspection = introspection
        self.leeway, self.refresh_interval, self.max_age = leeway, refresh_interval, max_age
        self.stale_for, self.fetch_timeout, self._clock = stale_for, fetch_timeout, clock
        self._keys: dict[str, _KeySet] = {}
        self._last_attempt: dict[str, float] = {}
        self._jwks_uris = {i.issuer: i.jwks_uri for i in issuers if i.jwks_uri}
        self._failed: set[str] = set()  # issuers whose last key fetch failed
        self._introspected: dict[bytes, tuple[float, CallerProfile]] = {}
        self._last_introspection: dict[bytes, tuple[str, str | None]] = {}
        self._flight = _SingleFlight()
        # discovery, then the key set: each fetch bounded, and so the wait for both
        self._wait = fetch_timeout * 3 + 1

    @classmethod
    def from_env(cls) -> ResourceServerVerifier | None:
        """The verifier the QL_OAUTH_* settings describe, or None when none of them is set."""
        return _from_env(cls)

    # ---- verification ---------------------------------------------------------------------------

    def handles(self, token: str, *, hs256_configured: bool = False) -> bool:
        """Whether this verifier is the one to judge TOKEN: a JWT (when HS256 JWTs are accepted
        too, only one naming a trusted issuer), or an opaque token with introspection configured."""
        if token.count(".") == 2:
            if not hs256_configured:
                return True
            try:
                iss = _b64json(token.split(".", 2)[1]).get("iss")
            except (ValueError, TypeError, AttributeError, binascii.Error):
                return False
            return isinstance(iss, str) and iss in self.issuers
        return self.introspection is not None

    async def verify(self, token: str) -> _Result:
        """(True, caller, None) or (False, None, reason); a fetch it needs runs off the event loop."""
        outcome = self._check(token)
        if callable(outcome):
            try:
                # shielded: a caller that stops waiting does not cancel the fetch others share
                await asyncio.wait_for(asyncio.shield(asyncio.wrap_future(outcome())), self._wait)
                failed = False
            except Exception:
                failed = True  # the fetch logged why; the caller gets a reason below
            outcome = self._check(token, fetched=True)
            if failed and not isinstance(outcome, CallerProfile):
                outcome = (REASON_UNAVAILABLE, None) if callable(outcome) else _unavailable(outcome)
        return self._finish(outcome, token)

    def verify_sync(self, token: str) -> _Result:
        """As `verify`, blocking the calling thread on a fetch it needs (never call it on the event loop)."""
        outcome = self._check(token)
        if callable(outcome):
            try:
                outcome().result(self._wait)
                failed = False
            except Exception:
                failed = True
            outcome = self._check(token, fetched=True)
            if failed and not isinstance(outcome, CallerProfile):
                outcome = (REASON_UNAVAILABLE, None) if callable(outcome) else _unavailable(outcome)
        return self._finish(outcome, token)

    def _finish(self, outcome: Any, token: str) -> _Result:
        if callable(outcome):  # still nothing to check with after one fetch
            outcome = (REASON_UNAVAILABLE, None)
        if isinstance(outcome, CallerProfile):
            return True, outcome, None
        reason, issuer = outcome
        if logger.isEnabledFor(logging.DEBUG):
            logger.debug("caller refused: %s (issuer %r, kid %r)", reason, issuer, _kid_for_log(token))
        return False, None, reason

    def _check(self, token: str, fetched: bool = False) -> Any:
        """A CallerProfile, a (reason, issuer) refusal, or a zero-argument callable that starts the
        fetch the check is waiting for (a future); never does I/O itself."""
        if not isinstance(token, str):
            raise TypeError(f"token must be a str, not {type(token).__name__}")
        if not token:
            return REASON_NO_TOKEN, None
        if len(token) > MAX_TOKEN_CHARS:
            return REASON_MALFORMED, None
        if token[:7].lower() == "bearer ":
            return REASON_BEARER_PREFIX, None
        if _JWS_SHAPE.fullmatch(token):
            return self._check_jwt(token, fetched)
        if self.introspection is not None and token.count(".") != 2 and token.isprintable() and token.isascii():
            return self._check_introspected(token, fetched)
        return REASON_MALFORMED, None

    def _check_jwt(self, token: str, fetched: bool) -> Any:
        head_b64, body_b64, sig_b64 = token.split(".")
        try:
            header, claims = _b64json(head_b64), _b64json(body_b64)
            signature = base64.urlsafe_b64decode(sig_b64 + "=" * (-len(sig_b64) % 4))
        except (ValueError, binascii.Error):
            return REASON_MALFORMED, None
        if not isinstance(header, dict) or not isinstance(claims, dict):
            return REASON_MALFORMED, None
        iss = claims.get("iss")
        trusted = self.issuers.get(iss) if isinstance(iss, str) else None
        if trusted is None:
            return REASON_ISSUER, None
        alg, kid = header.get("alg"), header.get("kid")
        if "crit" in header or header.get("cty") is not None or not isinstance(kid, (str, type(None))):
            return REASON_MALFORMED, iss  # unknown extensions and nested tokens are never accepted
        typ = header.get("typ")
        if typ is not None and (not isinstance(typ, str) or typ.lower() not in _ACCEPTED_TYP):
            return REASON_MALFORMED, iss
        if not isinstance(alg, str) or alg not in trusted.algorithms:
            return REASON_ALGORITHM, iss
        found = self._key_for(trusted, kid, alg, fetched)
        if not isinstance(found, list):
            return found
        signing_input = token[: len(head_b64) + 1 + len(body_b64)].encode()
        algorithm = _ALGORITHMS[alg]
        for key in found:
            try:
                if algorithm.verify(signing_input, key, signature):
                    return self._check_claims(claims, trusted)
            except (ValueError, TypeError, jwt.PyJWTError):
                pass  # a key of the wrong curve or size is one more mismatch
        if kid is None and not fetched and self._may_refresh(trusted.issuer):
            return lambda: self._refresh_keys(trusted.issuer)  # a key-less token may be signed by a new key
        return REASON_SIGNATURE, iss

    def _key_for(self, trusted: TrustedIssuer, kid: str | None, alg: str, fetched: bool) -> Any:
        iss = trusted.issuer
        keyset = self._keys.get(iss)
        now = time.monotonic()
        if keyset is not None and now - keyset.fetched_at > self.max_age + self.stale_for:
            keyset = None  # kept through an outage, but not for ever
        if keyset is not None and now - keyset.fetched_at > self.max_age and self._may_refresh(iss):
            self._refresh_keys(iss)  # in the background: the cached keys answer meanwhile
        if keyset is None:
            if not fetched and self._may_refresh(iss):
                return lambda: self._refresh_keys(iss)
            return REASON_UNAVAILABLE, iss
        if kid is not None:
            entry = keyset.keys.get(kid)
            if entry is None:
                if not fetched and self._may_refresh(iss):
                    return lambda: self._refresh_keys(iss)
                return (REASON_UNAVAILABLE if iss in self._failed else REASON_UNKNOWN_KEY), iss
            candidates = [entry]
        else:
            candidates = list(keyset.keys.values())
        family = _KEY_TYPES[alg[:2]]
        usable = [key for pinned, kty, key in candidates if kty == family and pinned in (None, alg)]
        return usable or (REASON_ALGORITHM, iss)

    def _may_refresh(self, iss: str) -> bool:
        # A fetch under way is joined; a new one starts at most once per interval.
        last = self._last_attempt.get(iss)
        return last is None or time.monotonic() - last >= self.refresh_interval or self._flight.running(("jwks", iss))

    def _refresh_keys(self, iss: str) -> concurrent.futures.Future[Any]:
        return self._flight.run(("jwks", iss), lambda: self._fetch_keys(iss))

    def _fetch_keys(self, iss: str) -> None:
        self._last_attempt[iss] = time.monotonic()
        try:
            url = self._jwks_uris.get(iss) or self._discover_jwks_uri(iss)
            keys = _parse_jwks(_fetch_json(url, self.fetch_timeout), url)
        except _FetchError as e:
            self._failed.add(iss)
            logger.warning("signing keys of issuer %r not refreshed: %s; cached keys stay in use", iss, e)
            raise
        self._keys[iss] = _KeySet(keys, time.monotonic())
        self._failed.discard(iss)

    def _discover_jwks_uri(self, iss: str) -> str:
        parts = urllib.parse.urlsplit(iss)
        path = parts.path.rstrip("/")
        for url in (
            urllib.parse.urlunsplit((parts.scheme, parts.netloc, "/.well-known/oauth-authorization-server" + path, "", "")),
            iss.rstrip("/") + "/.well-known/openid-configuration",
        ):
            try:
                meta = _fetch_json(url, self.fetch_timeout)
            except _FetchError:
                continue
            if isinstance(meta, dict) and meta.get("issuer") == iss and isinstance(meta.get("jwks_uri"), str):
                uri: str = meta["jwks_uri"]
                self._jwks_uris[iss] = uri
                return uri
        raise _FetchError(f"{iss}: no authorization-server metadata naming its jwks_uri")

    def _check_claims(self, claims: dict[str, Any], trusted: TrustedIssuer) -> Any:
        iss = trusted.issuer
        now, leeway = self._clock(), self.leeway
        exp, nbf, iat = claims.get("exp"), claims.get("nbf"), claims.get("iat")
        aud = claims.get(trusted.audience_claim)
        if exp is None:
            return REASON_MISSING_CLAIM, iss
        if not _number(exp) or any(v is not None and not _number(v) for v in (nbf, iat)):
            return REASON_MALFORMED, iss
        if exp + leeway <= now:
            return REASON_EXPIRED, iss
        if (nbf is not None and nbf - leeway > now) or (iat is not None and iat - leeway > now):
            return REASON_NOT_YET_VALID, iss
        audiences = [aud] if isinstance(aud, str) else aud if isinstance(aud, list) else ()
        if not any(a in trusted.audiences for a in audiences if isinstance(a, str)):
            return REASON_AUDIENCE, iss
        return _profile(claims, trusted.tenant_claim, "jwt")

    # ---- introspection --------------------------------------------------------------------------

    def _check_introspected(self, token: str, fetched: bool) -> Any:
        digest = hashlib.sha256(token.encode()).digest()
        hit = self._introspected.get(digest)
        if hit is not None and hit[0] > self._clock():
            return hit[1]
        if fetched:  # a refusal is kept only for this recheck right after its fetch
            return hit[1] if hit else self._last_introspection.get(digest, (REASON_UNAVAILABLE, None))
        return lambda: self._flight.run(("introspect", digest), lambda: self._introspect(token, digest))

    def _introspect(self, token: str, digest: bytes) -> None:
        conf = self.introspection
        assert conf is not None
        credentials = base64.b64encode(
            f"{urllib.parse.quote(conf.client_id, safe='')}:{urllib.parse.quote(conf.client_secret, safe='')}".encode())
        body = urllib.parse.urlencode({"token": token, "token_type_hint": "access_token"}).encode()
        headers = {"Authorization": "Basic " + credentials.decode(), "Content-Type": "application/x-www-form-urlencoded"}
        try:
            answer = _fetch_json(conf.url, self.fetch_timeout, body, headers)
        except _FetchError as e:
            logger.warning("token introspection failed: %s", e)
            self._remember_refusal(digest, REASON_UNAVAILABLE, None)
            raise
        if not isinstance(answer, dict) or answer.get("active") is not True:
            self._remember_refusal(digest, REASON_INACTIVE, None)
            return
        outcome = self._judge_introspection(answer, conf)
        if isinstance(outcome, CallerProfile):
            exp = answer.get("exp")
            until = self._clock() + conf.cache_seconds
            if _number(exp):
                until = min(until, exp)
            if len(self._introspected) >= 10000:
                self._introspected.pop(next(iter(self._introspected)))
            self._introspected[digest] = (until, outcome)
        else:
            self._remember_refusal(digest, *outcome)

    def _remember_refusal(self, digest: bytes, reason: str, issuer: str | None) -> None:
        self._last_introspection[digest] = (reason, issuer)
        if len(self._last_introspection) > 1000:
            self._last_introspection.pop(next(iter(self._last_introspection)))

    def _judge_introspection(self, answer: dict[str, Any], conf: Introspection) -> Any:
        now, iss = self._clock(), answer.get("iss") if isinstance(answer.get("iss"), str) else None
        exp, nbf = answer.get("exp"), answer.get("nbf")
        if _number(exp) and exp + self.leeway <= now:
            return REASON_EXPIRED, iss
        if _number(nbf) and nbf - self.leeway > now:
            return REASON_NOT_YET_VALID, iss
        if conf.audiences:
            aud = answer.get("aud")
            audiences = [aud] if isinstance(aud, str) else aud if isinstance(aud, list) else []
            if not any(a in conf.audiences for a in audiences):
                return REASON_AUDIENCE, iss
        return _profile(dict(answer), conf.tenant_claim, "introspection")


def _unavailable(outcome: tuple[str, str | None]) -> tuple[str, str | None]:
    # After a failed fetch a key that may exist elsewhere is unavailable, not unknown.
    return (REASON_UNAVAILABLE, outcome[1]) if outcome[0] in (REASON_UNKNOWN_KEY, REASON_SIGNATURE) else outcome


def _kid_for_log(token: str) -> str | None:
    try:
        kid = _b64json(token.split(".", 1)[0]).get("kid")
    except Exception:
        return None
    return kid[:64] if isinstance(kid, str) else None


# ---- settings -----------------------------------------------------------------------------------


def _env_seconds(name: str, default: float, low: float, high: float) -> float:
    raw = os.environ.get(name, "").strip()
    if not raw:
        return default
    try:
        value = float(raw)
    except ValueError:
        raise ValueError(f"{name} must be a number of seconds") from None
    if not low <= value <= high:
        raise ValueError(f"{name} must be between {low:g} and {high:g} seconds")
    return value


def _env_url(name: str) -> str | None:
    raw = os.environ.get(name, "").strip()
    if not raw:
        return None
    parts = urllib.parse.urlsplit(raw)
    if parts.scheme not in ("https", "http") or not parts.netloc:
        raise ValueError(f"{name} must be an absolute http(s) URL")
    return raw


def _texts(value: Any, what: str) -> tuple[str, ...]:
    if isinstance(value, str):
        value = [value]
    if not isinstance(value, list) or not all(isinstance(v, str) and v for v in value):
        raise ValueError(f"{ISSUERS_ENV}: {what} must be a string or a list of strings")
    return tuple(value)


def _issuer_from_setting(entry: Any, n: int, audience: str | None) -> TrustedIssuer:
    if not isinstance(entry, dict) or not isinstance(entry.get("issuer"), str):
        raise ValueError(f"{ISSUERS_ENV}: entry {n} must be an object with an issuer")
    unknown = set(entry) - {"issuer", "audience", "jwks_uri", "algorithms", "tenant_claim", "audience_claim"}
    if unknown:
        raise ValueError(f"{ISSUERS_ENV}: entry {n} has unknown fields {sorted(unknown)}")
    audiences = _texts(entry["audience"], "audience") if "audience" in entry else (audience,) if audience else ()
    if not audiences:
        raise ValueError(f"{ISSUERS_ENV}: entry {n} needs an audience (or set {AUDIENCE_ENV})")
    extra: dict[str, Any] = {}
    if "algorithms" in entry:
        extra["algorithms"] = _texts(entry["algorithms"], "algorithms")
    for name in ("tenant_claim", "audience_claim"):
        if name in entry:
            extra[name] = _texts(entry[name], name)[0]
    jwks_uri = entry.get("jwks_uri")
    if jwks_uri is not None and (not isinstance(jwks_uri, str) or not jwks_uri.startswith(("https://", "http://"))):
        raise ValueError(f"{ISSUERS_ENV}: entry {n}: jwks_uri must be an absolute http(s) URL")
    try:
        return TrustedIssuer(entry["issuer"], audiences, jwks_uri, **extra)
    except ValueError as e:
        raise ValueError(f"{ISSUERS_ENV}: entry {n}: {e}") from None


def _from_env(cls: type[ResourceServerVerifier]) -> ResourceServerVerifier | None:
    raw = os.environ.get(ISSUERS_ENV, "").strip()
    audience = os.environ.get(AUDIENCE_ENV, "").strip() or None
    issuers: list[TrustedIssuer] = []
    if raw:
        try:
            parsed = json.loads(raw)
        except ValueError:
            raise ValueError(f"{ISSUERS_ENV} is not valid JSON") from None
        entries = parsed if isinstance(parsed, list) else [parsed]
        issuers = [_issuer_from_setting(e, n, audience) for n, e in enumerate(entries)]
    introspection = None
    url = _env_url(INTROSPECTION_URL_ENV)
    if url:
        client_id = os.environ.get(INTROSPECTION_ID_ENV, "").strip()
        secret = os.environ.get(INTROSPECTION_SECRET_ENV, "")
        if not client_id or not secret:
            raise ValueError(f"{INTROSPECTION_URL_ENV} needs {INTROSPECTION_ID_ENV} and {INTROSPECTION_SECRET_ENV}")
        introspection = Introspection(url, client_id, secret, (audience,) if audience else (),
                                      _env_seconds(INTROSPECTION_CACHE_ENV, 300, 0, 86400))
    if not issuers and introspection is None:
        return None
    return cls(
        issuers,
        introspection=introspection,
        leeway=_env_seconds(LEEWAY_ENV, 30, 0, 300),
        refresh_interval=_env_seconds(REFRESH_ENV, 60, 1, 86400),
        max_age=_env_seconds(MAX_AGE_ENV, 3600, 1, 7 * 86400),
        stale_for=_env_seconds(STALE_ENV, 86400, 0, 30 * 86400),
        fetch_timeout=_env_seconds(TIMEOUT_ENV, 5, 0.1, 60),
    )


_env_verifier_lock = threading.Lock()
_env_verifier: list[ResourceServerVerifier | None] = []


def get_resource_server_verifier() -> ResourceServerVerifier | None:
    """The process's verifier built from the QL_OAUTH_* settings on first use (None when off)."""
    if not _env_verifier:
        with _env_verifier_lock:
            if not _env_verifier:
                _env_verifier.append(ResourceServerVerifier.from_env())
    return _env_verifier[0]


# ---- the whole caller check ---------------------------------------------------------------------

_DEFAULT: Any = object()


def _route(token: str | None, api_key: str | None, jwt_secret: str | None, api_key_scopes_env: str,
           api_key_auth_type: str, verifier: Any) -> _Result | tuple[ResourceServerVerifier, str]:
    """The answer of every check that needs no fetch, or the verifier that is to judge the token."""
    if token is None or token == "":
        return False, None, REASON_NO_TOKEN
    caller = match_api_key(token, api_key=api_key, api_key_scopes_env=api_key_scopes_env,
                           api_key_auth_type=api_key_auth_type)
    if caller is not None:
        return True, caller, None
    if verifier is _DEFAULT:
        verifier = get_resource_server_verifier()
    if verifier is not None and verifier.handles(token, hs256_configured=bool(jwt_secret)):
        return verifier, token
    return verify_bearer_token_with_reason(token, api_key=api_key, jwt_secret=jwt_secret,
                                           api_key_scopes_env=api_key_scopes_env, api_key_auth_type=api_key_auth_type)


async def verify_caller(
    token: str | None,
    *,
    api_key: str | None = None,
    jwt_secret: str | None = None,
    api_key_scopes_env: str = "QL_API_KEY_SCOPES",
    api_key_auth_type: str = "api_key",
    verifier: ResourceServerVerifier | None = _DEFAULT,
) -> _Result:
    """Who is calling, for a binding on the event loop: the API keys, then an identity provider's
    token (JWKS or introspection, fetched off the loop), then the HS256 JWT.
    Returns (True, caller, None) or (False, None, reason)."""
    routed = _route(token, api_key, jwt_secret, api_key_scopes_env, api_key_auth_type, verifier)
    if isinstance(routed[0], ResourceServerVerifier):
        return await routed[0].verify(routed[1])
    return routed


def verify_caller_sync(
    token: str | None,
    *,
    api_key: str | None = None,
    jwt_secret: str | None = None,
    api_key_scopes_env: str = "QL_API_KEY_SCOPES",
    api_key_auth_type: str = "api_key",
    verifier: ResourceServerVerifier | None = _DEFAULT,
) -> _Result:
    """As `verify_caller`, blocking on a fetch it needs: for threads, never for the event loop."""
    routed = _route(token, api_key, jwt_secret, api_key_scopes_env, api_key_auth_type, verifier)
    if isinstance(routed[0], ResourceServerVerifier):
        return routed[0].verify_sync(routed[1])
    return routed


# ---- documents ----------------------------------------------------------------------------------


def _quoted(name: str, value: str) -> str:
    # The challenge grammar has no escapes the clients' parsers honour: refuse what cannot be quoted.
    if not value or '"' in value or "\\" in value or not value.isprintable():
        raise ValueError(f"{name} cannot be sent in a challenge (empty, quotes, backslashes or control characters)")
    return f'{name}="{value}"'


def www_authenticate_challenge(
    status: int,
    *,
    resource_metadata: str | None = None,
    scope: str | Iterable[str] | None = None,
    reason: str | None = None,
    error_description: str | None = None,
    realm: str | None = None,
) -> str:
    """The ``WWW-Authenticate`` value for a refusal: 401 with error="invalid_token" (no error when
    REASON is "no_token": no credential was sent), or 403 with error="insufficient_scope" and the
    full SCOPE the operation needs. REALM, when given, comes first."""
    scope_text = scope if isinstance(scope, str) or scope is None else " ".join(scope)
    if status == 401:
        params = [] if reason == REASON_NO_TOKEN else ['error="invalid_token"']
    elif status == 403:
        if not scope_text:
            raise ValueError("a 403 challenge needs the scope the operation requires")
        params = ['error="insufficient_scope"']
    else:
        raise ValueError(f"challenges are for 401 and 403, not {status}")
    if realm is not None:
        params.insert(0, _quoted("realm", realm))
    if scope_text:
        params.append(_quoted("scope", scope_text))
    if error_description:
        params.append(_quoted("error_description", error_description))
    if resource_metadata:
        params.append(_quoted("resource_metadata", resource_metadata))
    return "Bearer " + ", ".join(params) if params else "Bearer"


def resource_metadata_url(resource: str) -> str:
    """Where RESOURCE publishes its protected-resource metadata (the well-known path goes between
    the host and the resource's path)."""
    parts = urllib.parse.urlsplit(resource)
    if parts.scheme not in ("https", "http") or not parts.netloc:
        raise ValueError("resource must be an absolute http(s) URL")
    path = parts.path.rstrip("/")
    return urllib.parse.urlunsplit((parts.scheme, parts.netloc, "/.well-known/oauth-protected-resource" + path, "", ""))


def protected_resource_metadata(
    resource: str,
    authorization_servers: Sequence[str],
    *,
    scopes_supported: Sequence[str] = (),
    bearer_methods_supported: Sequence[str] = ("header",),
    resource_name: str | None = None,
) -> dict[str, Any]:
    """The protected-resource metadata document of this server."""
    resource_metadata_url(resource)  # the same checks
    document: dict[str, Any] = {
        "resource": resource,
        "authorization_servers": list(authorization_servers),
        "bearer_methods_supported": list(bearer_methods_supported),
    }
    if scopes_supported:
        document["scopes_supported"] = list(scopes_supported)
    if resource_name:
        document["resource_name"] = resource_name
    return document
