"""The one call path every binding uses: credential, throttles, markers, scope gate, run, envelope.

It holds no protocol detail: a binding hands in the tool name, the arguments and the raw
``Authorization`` header, and turns the returned :class:`Outcome` into its own wire format.
Everything per tool is prepared once, when the path is built.
"""

from __future__ import annotations

import hmac
import json
import logging
import math
import re
import urllib.parse
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import Any, Callable, Mapping, Optional

from opentelemetry import metrics

from quellon_runtime import throttle as _throttle
from quellon_runtime.caller_profile import REASON_NO_TOKEN, REASON_UNAVAILABLE, CallerProfile
from quellon_runtime.connector_base import _new_trace_id
from quellon_runtime.identity import effective_run_tenant_id
from quellon_runtime.models import ErrorCategory
from quellon_runtime.policies.mcp_scope_gate import resolve_required_scope_for_action
from quellon_runtime.resource_server import (
    ResourceServerVerifier,
    get_resource_server_verifier,
    protected_resource_metadata,
    resource_metadata_url,
    verify_caller,
    verify_caller_sync,
    www_authenticate_challenge,
)

from .catalogue import Catalogue, ToolEntry
from .settings import API_KEY_SCOPES_ENV, ServeSettings

__all__ = ["CallPath", "Outcome", "KINDS", "challenge"]

logger = logging.getLogger("runtime.serve")

# kind -> HTTP status; the MCP binding makes every kind but "ok" an isError result, except
# "unknown_tool" (a JSON-RPC error there).
KINDS: dict[str, int] = {
    "ok": 200,
    "validation": 422,
    "business": 422,
    "unauthenticated": 401,
    "forbidden": 403,
    "not_found": 404,
    "unknown_tool": 404,
    "throttled": 429,
    "refused": 503,
    "upstream": 502,
    "internal": 500,
}

_rejections = metrics.get_meter("runtime").create_counter(
    "connector.rejections",
    unit="1",
    description="Calls the bindings rejected before running the action, by reason",
)

GENERIC = {
    "internal": "Internal error; quote the trace id when reporting it.",
    "upstream": "The upstream service failed; quote the trace id when reporting it.",
    "refused": "The service is temporarily unavailable; retry later.",
}


@dataclass(slots=True)
class Outcome:
    """Result of one call, ready for a binding to put on the wire."""

    kind: str
    # what a remote caller may see: the envelope's fields, internals replaced by a generic message
    body: dict
    envelope: Any = None  # the pipeline's ConnectorResponse; None when rejected before run
    trace_id: Optional[str] = None
    retry_after: Optional[float] = None
    challenge: Optional[str] = None  # WWW-Authenticate value for 401/403
    deprecated: bool = False

    @property
    def status(self) -> int:
        return KINDS[self.kind]


_PROTOCOLS = ("rest", "mcp")
_ERROR_STATUS = {None: 401, "invalid_token": 401, "insufficient_scope": 403}


def challenge(settings: ServeSettings, error: Optional[str] = None, *, scope: Optional[str] = None,
              description: Optional[str] = None, resource_metadata: Optional[str] = None) -> str:
    """The ``WWW-Authenticate`` value for a 401 (``error`` None when no credential was sent, else
    invalid_token) or a 403 (insufficient_scope, with every scope the operation needs).
    ``resource_metadata`` defaults to the settings' ``resource_metadata_url``."""
    if error not in _ERROR_STATUS:
        raise ValueError(f"no challenge for error {error!r}")
    return www_authenticate_challenge(
        _ERROR_STATUS[error], realm=settings.realm, scope=scope, error_description=description,
        resource_metadata=resource_metadata or settings.resource_metadata_url,
        reason=None if error else REASON_NO_TOKEN)


def _body(success: bool, code: Optional[str], category: Optional[str], message: Optional[str], trace_id: Optional[str], data: Any = None, details: Any = None) -> dict:
    return {
        "success": success,
        "data": data,
        "error_code": code,
        "error_category": category,
        "message": message,
        "trace_id": trace_id,
        "details": details,
    }


_CAMEL = re.compile(r"(?<=[a-z0-9])(?=[A-Z])")


def _norm_key(key: str) -> str:
    return _CAMEL.sub("_", key).replace("-", "_").lower()


def _alias_map(model: Any) -> dict[str, str]:
    """Spelling (normalised) -> the key the model validates; for alias-tolerant actions."""
    out: dict[str, str] = {}
    clash: set[str] = set()
    for name, f in model.model_fields.items():
        canonical = f.validation_alias if isinstance(f.validation_alias, str) else (f.alias or name)
        for spelling in {name, canonical, f.alias or name}:
            n = _norm_key(spelling)
            if out.get(n, canonical) != canonical:
                clash.add(n)
            out[n] = canonical
    for n in clash:
        del out[n]
    return out


class _Route:
    """Everything the call path needs for one tool, looked up once."""

    __slots__ = (
        "entry", "connector", "run", "action", "inject_action", "normalize", "aliases", "canonical",
        "limiter", "limiter_async", "scopes", "gate_scope", "requires_auth", "deprecated", "wanted",
        "challenge_403", "attrs",
    )

    def __init__(self, entry: ToolEntry, meta: Any, connector: Any, settings: ServeSettings) -> None:
        self.entry = entry
        self.connector = connector
        self.run = connector.run
        self.action = entry.action
        fields = meta.input_model.model_fields
        self.inject_action = "action" in fields
        self.normalize: Optional[Callable[[dict], None]] = meta.mcp_normalize
        self.aliases = _alias_map(meta.input_model) if entry.alias_tolerant else None
        self.canonical = frozenset(self.aliases.values()) if self.aliases else frozenset()
        self.limiter: Any = None
        self.limiter_async: Any = None
        if entry.throttle:
            self.limiter = _action_limiter(entry, settings)
            self.limiter_async = getattr(self.limiter, "consume_async", None)
        self.scopes = entry.scopes
        gate = None
        if settings.scope_gate and entry.requires_auth:
            gate = resolve_required_scope_for_action(
                connector_id=entry.connector_id,
                action=entry.action,
                action_scope_map=settings.scope_map,
                default_mode=settings.scope_default,
            )
        self.gate_scope = gate
        self.requires_auth = entry.requires_auth
        self.deprecated = entry.deprecated
        self.wanted = tuple(dict.fromkeys((*entry.scopes, *((gate,) if gate else ()))))
        # protocol -> the 403 challenge (set by the call path); none when the operation needs no scope
        self.challenge_403: dict[str, Optional[str]] = {}
        self.attrs = {"connector.id": entry.connector_id, "connector.action": entry.action}

    def missing_scope(self, held: tuple[str, ...]) -> Optional[str]:
        """The first required scope the caller lacks, or None."""
        if "*" in held:
            return None
        for s in self.scopes:
            if s not in held:
                return s
        gate = self.gate_scope
        if gate is not None and gate not in held:
            return gate
        return None


def _action_limiter(entry: ToolEntry, settings: ServeSettings) -> Any:
    limit = entry.throttle or {}
    kw = {
        "max_requests": limit["max_requests"],
        "window_seconds": limit["window_seconds"],
        "max_tracked_keys": _throttle.per_identity_throttle_config()[2],
        "key_ttl_seconds": max(limit["window_seconds"], 60),
    }
    if _throttle.throttle_backend() == "redis":
        # shared by the replicas, like the per-identity limiter
        return _throttle.RedisThrottler(**kw, prefix=f"ql:throttle:action:{entry.connector_id}.{entry.action}:")
    return _throttle.InMemoryThrottler(**kw)


class CallPath:
    """Verification, throttles, markers, scope gate and ``run`` for every binding.

    ``connectors`` maps connector id -> a built connector instance. Rejections are counted in the
    "connector.rejections" counter with the attributes "reason" and "protocol".
    """

    def __init__(self, connectors: Mapping[str, Any], settings: ServeSettings, *,
                 verifier: Optional[ResourceServerVerifier] | str = "env") -> None:
        """``verifier`` judges identity providers' tokens; by default the one the QL_OAUTH_*
        settings describe (none when they are unset), None for none."""
        self.settings = settings
        self.connectors = dict(connectors)
        self.catalogue = Catalogue(connectors)
        self._routes: dict[str, _Route] = {
            e.name: _Route(e, self.catalogue.metas[e.name], connectors[e.connector_id], settings)
            for e in self.catalogue.entries
        }
        self.by_route: dict[tuple[str, str], str] = {k: e.name for k, e in self.catalogue.by_route.items()}
        self.bucket = _throttle.global_throttler
        self.bucket_retry = 1.0
        rate = getattr(self.bucket, "refill_rate", math.inf)
        if 0 < rate < math.inf:
            self.bucket_retry = float(max(1, math.ceil(1.0 / rate)))
        self.identity_limiter: Any = None
        self.identity_async: Any = None
        if _throttle.per_identity_throttle_enabled():
            self.identity_limiter = _throttle.get_per_identity_throttler()
            self.identity_async = getattr(self.identity_limiter, "consume_async", None)
        self.verifier = get_resource_server_verifier() if verifier == "env" else verifier
        self._api_key = settings.api_key
        self._api_key_bytes = settings.api_key.encode() if settings.api_key else None
        self._api_key_profile: Optional[CallerProfile] = None
        if settings.api_key:
            # the API key's profile is fixed for the process (its scopes variable is read once)
            self._api_key_profile = verify_caller_sync(settings.api_key, api_key=settings.api_key,
                                                       api_key_scopes_env=API_KEY_SCOPES_ENV, verifier=None)[1]
        self._warned: set[str] = set()
        self._keys: dict[str, str] = {}
        self._rejection_attrs: dict[tuple[str, str], dict[str, str]] = {}
        self.authorization_servers = settings.authorization_servers or (
            tuple(self.verifier.issuers) if self.verifier is not None else ())
        self.resource_documents = self._resource_documents()
        # protocol -> (no credential sent, credential refused); the 403s are per route
        self._challenges: dict[str, tuple[str, str]] = {}
        for protocol in _PROTOCOLS:
            where = self._metadata_url(protocol)
            self._challenges[protocol] = (
                challenge(settings, resource_metadata=where),
                challenge(settings, "invalid_token", description="The access token is invalid or expired",
                          resource_metadata=where))
            for r in self._routes.values():
                r.challenge_403[protocol] = challenge(settings, "insufficient_scope", scope=" ".join(r.wanted),
                                                      resource_metadata=where) if r.wanted else None
        self.inflight = 0

    # -- protected-resource metadata --------------------------------------------------------------

    def _resources(self) -> dict[str, str]:
        """protocol -> this server's resource identifier, when the metadata is published."""
        s = self.settings
        if not s.resource_url or not self.authorization_servers:
            return {}
        return {"rest": s.resource_url, "mcp": s.resource_url + s.mcp_path}

    def _resource_documents(self) -> dict[str, bytes]:
        """Path -> the metadata document served there (RFC 9728), one per resource."""
        scopes = sorted({scope for r in self._routes.values() for scope in r.wanted})
        docs = {}
        for resource in self._resources().values():
            doc = protected_resource_metadata(resource, self.authorization_servers, scopes_supported=scopes)
            docs[urllib.parse.urlsplit(resource_metadata_url(resource)).path] = json.dumps(doc).encode()
        return docs

    def _metadata_url(self, protocol: str) -> Optional[str]:
        if self.settings.resource_metadata_url:
            return self.settings.resource_metadata_url
        resource = self._resources().get(protocol)
        return resource_metadata_url(resource) if resource else None

    # -- caller verification ------------------------------------------------------------------

    def _auth_challenges(self, protocol: str) -> tuple[str, str]:
        return self._challenges.get(protocol) or self._challenges["rest"]

    async def verify(self, token: str) -> tuple[Optional[CallerProfile], Optional[str]]:
        """(the caller a bearer token stands for, None) or (None, the refusal reason). The one
        place verification happens: the API key, the named keys, an identity provider's token
        (its keys or introspection fetched off the event loop), the HS256 JWT."""
        if self._is_api_key(token):
            return self._api_key_profile, None
        return await self._verify_token(token)

    def _is_api_key(self, token: str) -> bool:
        """Whether ``token`` is the API key (compared in constant time)."""
        key = self._api_key_bytes
        return key is not None and hmac.compare_digest(token.encode(), key)

    async def _verify_token(self, token: str) -> tuple[Optional[CallerProfile], Optional[str]]:
        """:meth:`verify` for anything but the API key."""
        s = self.settings
        _, caller, reason = await verify_caller(token, api_key=s.api_key, jwt_secret=s.jwt_secret,
                                                api_key_scopes_env=API_KEY_SCOPES_ENV, verifier=self.verifier)
        return caller, reason

    async def authenticate(self, authorization: Optional[str], *, protocol: str = "rest") -> tuple[Optional[CallerProfile], Optional[Outcome]]:
        """Bearer credential, global token bucket, verification: (caller or None for anonymous, rejection or None)."""
        token = None
        if authorization:
            scheme, _, token = authorization.partition(" ")
            token = token.strip()
            if scheme.lower() != "bearer" or not token or " " in token:
                # another scheme is no bearer token sent (no error in the challenge); a bad one is invalid
                bearer = scheme.lower() == "bearer"
                return None, self.reject("unauthenticated", "malformed_credential", protocol, "INVALID_REQUEST",
                                          "Authorization must be: Bearer <token>",
                                          challenge=self._auth_challenges(protocol)[bearer])
        try:
            await self.bucket.acquire()
        except _throttle.ThrottleExceeded:
            return None, self.reject("throttled", "global_throttle", protocol, "RATE_LIMITED",
                                      "Global rate limit exceeded. Please try again later.", retry_after=self.bucket_retry)
        if token is None:
            return None, None
        try:
            # what verify() does, the API key spared a coroutine
            if self._is_api_key(token):
                caller, reason = self._api_key_profile, None
            else:
                caller, reason = await self._verify_token(token)
        except Exception:
            logger.exception("Caller verification failed")
            return None, self.reject("internal", "verification_error", protocol, "INTERNAL_ERROR", GENERIC["internal"])
        if caller is None:
            reason = reason or "invalid_credential"
            if logger.isEnabledFor(logging.DEBUG):
                logger.debug("Caller refused over %s: %s", protocol, reason)
            if reason == REASON_UNAVAILABLE:  # the provider's keys are out of reach: not the caller's fault
                return None, self.reject("refused", reason, protocol, "VERIFICATION_UNAVAILABLE", GENERIC["refused"],
                                          retry_after=5.0)
            return None, self.reject("unauthenticated", reason, protocol, "INVALID_TOKEN",
                                      "The access token is invalid or expired.",
                                      challenge=self._auth_challenges(protocol)[1])
        return caller, None

    # -- listing ------------------------------------------------------------------------------

    def visible_tools(self, caller: Optional[CallerProfile]) -> list[ToolEntry]:
        """The tools this caller may call (public ones for anonymous callers)."""
        held = caller.scopes if caller is not None else ()
        out = []
        for r in self._routes.values():
            if not r.requires_auth or (caller is not None and r.missing_scope(held) is None):
                out.append(r.entry)
        return out

    # -- the call -----------------------------------------------------------------------------

    def reject(self, kind: str, reason: str, protocol: str, code: str, message: str, *,
                retry_after: Optional[float] = None, challenge: Optional[str] = None,
                category: str = "auth", details: Any = None) -> Outcome:
        attrs = self._rejection_attrs.get((reason, protocol))
        if attrs is None:
            attrs = self._rejection_attrs[(reason, protocol)] = {"reason": reason, "protocol": protocol}
        _rejections.add(1, attrs)
        trace_id = _new_trace_id()
        if kind == "throttled":
            category = "rate_limit"
        return Outcome(kind, _body(False, code, category, message, trace_id, details=details), None, trace_id,
                       retry_after, challenge)

    def _limit_key(self, caller: Optional[CallerProfile], client: Optional[str]) -> str:
        """The limiters' key: the hashed principal (memoised), else the client address."""
        principal = caller.principal if caller is not None else None
        if not principal or principal == "unknown":
            return _throttle.identity_throttle_key(None, fallback=client or "anonymous")
        key = self._keys.get(principal)
        if key is None:
            if len(self._keys) >= 4096:
                self._keys.clear()
            key = self._keys[principal] = _throttle.identity_throttle_key(principal, fallback="")
        return key

    async def call(self, tool: str, arguments: Mapping[str, Any], *, authorization: Optional[str] = None,
                   protocol: str, caller: Optional[CallerProfile] = None, authenticated: bool = False,
                   client: Optional[str] = None) -> Outcome:
        """Run one tool call. A binding that already ran :meth:`authenticate` for this request
        passes its ``caller`` with ``authenticated=True`` (a non-None ``caller`` implies it);
        ``client`` (an address) keys the limiters for anonymous callers."""
        self.inflight += 1
        try:
            if caller is None and not authenticated:
                caller, rejected = await self.authenticate(authorization, protocol=protocol)
                if rejected is not None:
                    return rejected
            key = None
            if caller is not None:  # read once: the profile's fields are properties
                principal, tenant_id, held = caller.principal, caller.tenant_id, caller.scopes
                key = self._keys.get(principal) if principal else None
            limiter = self.identity_limiter
            if limiter is not None:
                if key is None:
                    key = self._limit_key(caller, client)
                res = await self.identity_async(key) if self.identity_async is not None else limiter.consume(key)
                if not res.allowed:
                    return self.reject("throttled", "identity_throttle", protocol, "RATE_LIMITED",
                                       "Rate limit exceeded for this caller. Please try again later.",
                                       retry_after=float(res.retry_after_seconds))
            route = self._routes.get(tool)
            if route is None:
                return self.reject("unknown_tool", "unknown_tool", protocol, "UNKNOWN_TOOL", "Unknown tool.",
                                    category="not_found")
            if route.limiter is not None:
                if key is None:
                    key = self._limit_key(caller, client)
                lim_async = route.limiter_async
                res = await lim_async(key) if lim_async is not None else route.limiter.consume(key)
                if not res.allowed:
                    return self.reject("throttled", "action_throttle", protocol, "RATE_LIMITED",
                                        "Rate limit exceeded for this action. Please try again later.",
                                        retry_after=float(res.retry_after_seconds))
            if route.requires_auth:
                if caller is None:
                    return self.reject("unauthenticated", "missing_credential", protocol, "UNAUTHENTICATED",
                                        "This action requires a bearer credential.",
                                        challenge=self._auth_challenges(protocol)[0])
                missing = route.missing_scope(held)
                if missing is not None:
                    return self.reject("forbidden", "missing_scope", protocol, "POLICY_DENIED",
                                        f"Missing required scope: {missing}", challenge=route.challenge_403.get(protocol))
            payload = dict(arguments)
            if route.inject_action:
                payload["action"] = route.action
            if route.normalize is not None and protocol == "mcp":
                try:
                    route.normalize(payload)
                except Exception as exc:
                    logger.warning("Argument normalisation failed for %s: %s", tool, type(exc).__name__)
                    return self.reject("validation", "normalize_failed", protocol, "VALIDATION_ERROR",
                                        "Input validation failed; please check the request payload.", category="business")
            if route.aliases is not None:
                self._apply_aliases(route, payload)
            deprecated = route.deprecated
            if deprecated and tool not in self._warned:
                self._warned.add(tool)
                logger.warning("Deprecated action called: %s.%s", route.entry.connector_id, route.action)
            try:
                if caller is not None:
                    env = await route.run(payload, principal=principal, tenant_id=tenant_id, scopes=held)
                else:
                    env = await route.run(payload)
            except Exception:
                # run answers ordinary failures with an envelope; this is a fault of the runtime itself
                trace_id = _new_trace_id()
                logger.exception("Action call raised instead of answering", extra={"trace_id": trace_id, "tool": tool})
                return Outcome("internal", _body(False, "INTERNAL_ERROR", "internal", GENERIC["internal"], trace_id),
                               None, trace_id, None, None, deprecated)
            if env.success:  # the common answer, built here
                trace_id = env.trace_id
                return Outcome("ok", {"success": True, "data": env.data, "error_code": None, "error_category": None,
                                      "message": None, "trace_id": trace_id, "details": None},
                               env, trace_id, None, None, deprecated)
            return self._outcome(env, route, caller, deprecated, protocol)
        finally:
            self.inflight -= 1

    @staticmethod
    def _apply_aliases(route: _Route, payload: dict) -> None:
        aliases, canonical = route.aliases, route.canonical
        for k in [k for k in payload if k not in canonical and k != "action"]:
            target = aliases.get(_norm_key(k)) if isinstance(k, str) else None  # type: ignore[union-attr]
            if target is not None and target not in payload:
                payload[target] = payload.pop(k)

    def _outcome(self, env: Any, route: _Route, caller: Optional[CallerProfile], deprecated: bool,
                 protocol: str = "rest") -> Outcome:
        """The outcome of a failed envelope (:meth:`call` builds the successful one)."""
        trace_id = env.trace_id
        cat = env.error_category
        code = env.error_code
        if code == "VALIDATION_ERROR" or cat is ErrorCategory.VALIDATION:
            kind = "validation"
        elif cat is ErrorCategory.BUSINESS:
            kind = "business"
        elif cat is ErrorCategory.AUTH:
            kind = "forbidden"
        elif cat is ErrorCategory.NOT_FOUND:
            kind = "not_found"
        elif cat is ErrorCategory.RATE_LIMIT:
            return Outcome("throttled", _body(False, code, cat.value, env.message, trace_id, details=env.details), env,
                           trace_id, 1.0, None, deprecated)
        else:
            retry = self._breaker_open(route, caller)
            if retry is not None:
                return Outcome("refused", _body(False, code, cat.value if cat else "internal", GENERIC["refused"], trace_id),
                               env, trace_id, retry, None, deprecated)
            kind = "upstream" if cat is ErrorCategory.UPSTREAM else "internal"
            # the envelope (and the log) keep the detail; remote callers get a generic text
            return Outcome(kind, _body(False, code, cat.value if cat else "internal", GENERIC[kind], trace_id), env,
                           trace_id, None, None, deprecated)
        return Outcome(kind, _body(False, code, cat.value if cat else None, env.message, trace_id, details=env.details),
                       env, trace_id, None, route.challenge_403.get(protocol) if kind == "forbidden" else None,
                       deprecated)

    @staticmethod
    def _breaker_open(route: _Route, caller: Optional[CallerProfile]) -> Optional[float]:
        """Seconds until the tenant's open breaker allows a trial call, or None when it is not open.

        The pipeline reports a refusal as an ordinary failure envelope; the breaker's state tells it
        apart from the action's own failure (a call that trips the breaker counts as refused too)."""
        conn = route.connector
        tenant, _ = effective_run_tenant_id(pinned=conn.tenant_id, caller=caller.tenant_id if caller else None)
        try:
            breaker = conn._breaker_for_tenant(tenant)
            if breaker.current_state != "open":
                return None
            opened = breaker._state_storage.opened_at
            left = breaker.reset_timeout
            if isinstance(opened, datetime):
                left -= (datetime.now(UTC) - opened).total_seconds()
        except Exception:  # a connector without the usual breaker: an ordinary failure
            return None
        return float(max(1, math.ceil(left)))

    def route_tool(self, connector_id: str, action: str) -> Optional[str]:
        """Tool name of a connector's action (the REST path's two parts), or None."""
        return self.by_route.get((connector_id, action))
