"""Typed use of the public surface of every native module.

mypy --strict checks this file against the stubs (``assert_type`` pins the declared results), and
tests/test_typing.py also runs ``main()``, so every call written here works as typed. Calls with
process-wide side effects (once-only warnings, the shared limiter, `.env` loading, connector
imports) and the cloud stores are only type-checked: they sit in functions that ``main`` does not run.
"""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Mapping
from typing import Any, Literal, assert_type

import pybreaker
from pydantic import BaseModel, RootModel

from quellon_runtime.auth.base import AuthProvider
from quellon_runtime.auth.fixed_token import FixedTokenAuthProvider
from quellon_runtime.auth.null_auth import NullAuthProvider
from quellon_runtime.caller_profile import (
    JWT_AUDIENCE_ENV,
    JWT_ISSUER_ENV,
    CallerProfile,
    JwtVerificationNotConfigured,
    api_key_matches,
    build_caller_profile,
    decode_binding_jwt,
    load_jwt_audience_issuer_from_env,
    parse_api_key_scopes_from_env,
    verify_bearer_token_and_identity,
    warn_jwt_audience_issuer_not_configured,
)
from quellon_runtime.config_store import ConnectorConfigStore
from quellon_runtime.connector_base import (
    POLICY_DENIED_CODE,
    ConnectorBase,
    NestedConnectorActionError,
    QlActionMeta,
    get_connector_index,
    ql_action,
    sdk_action,
    tracer,
)
from quellon_runtime.connector_base import logger as connector_logger
from quellon_runtime.connector_index import auto_register, entry_points
from quellon_runtime.mcp_client.challenges import WwwAuthenticateChallenge, parse_www_authenticate
from quellon_runtime.mcp_client.config import McpClientConfig, RedirectMode, TokenStoreMode
from quellon_runtime.mcp_client.env_settings import (
    config_from_env,
    legacy_static_mcp_token,
    mcp_oauth_enabled,
    mcp_oauth_user_id,
)
from quellon_runtime.mcp_client.exceptions import McpOAuthFlowAborted
from quellon_runtime.mcp_client.redirect_catcher import (
    AuthorizationCallback,
    LoopbackRedirectBinding,
    LoopbackRedirectCatcher,
)
from quellon_runtime.models import ConnectorResponse, ErrorCategory
from quellon_runtime.policies.mcp_scope_gate import (
    DEFAULT_SCOPE_MODE_ALLOW,
    DEFAULT_SCOPE_MODE_DENY,
    ScopePolicyHook,
    action_allowed_for_identity_scopes,
    load_scope_map_from_env,
    load_scope_policy_default_from_env,
    resolve_required_scope_for_action,
)
from quellon_runtime.policy import PolicyContext, PolicyDenied, PolicyHook, TenantConfigHook
from quellon_runtime.secrets.aws import AwsSecretsManagerProvider
from quellon_runtime.secrets.azure import AzureKeyVaultProvider
from quellon_runtime.secrets.base import SecretNotFoundError, SecretProvider, SecretProviderError
from quellon_runtime.secrets.chained import ChainedSecretProvider
from quellon_runtime.secrets.gcp import GcpSecretManagerProvider
from quellon_runtime import throttle
from quellon_runtime.throttle import (
    InMemoryThrottler,
    ThrottleExceeded,
    ThrottleResult,
    TokenBucket,
    fingerprint_throttle_credential,
    get_per_identity_throttler,
    identity_throttle_key,
    per_identity_throttle_config,
    per_identity_throttle_enabled,
)

UNSET_ENV = "QL_TYPING_USAGE_UNSET_VARIABLE"

# ------------------------------------------------------------------ secrets and auth


class StaticSecrets(SecretProvider):
    def __init__(self, values: Mapping[str, str]) -> None:
        self._values = dict(values)

    def get_secret(self, key: str) -> str:
        try:
            return self._values[key]
        except KeyError:
            raise SecretNotFoundError(key) from None


def secret_chain() -> ChainedSecretProvider:
    return ChainedSecretProvider(StaticSecrets({}), StaticSecrets({"vendor_token": "tok-123"}))


def cloud_stores() -> list[SecretProvider]:
    # Type-checked only: each reaches its cloud service when constructed.
    return [
        AwsSecretsManagerProvider("app/prod"),
        AwsSecretsManagerProvider("app/prod", region="eu-west-1"),
        AzureKeyVaultProvider("https://vault.example.invalid"),
        GcpSecretManagerProvider("proj", "bundle"),
        GcpSecretManagerProvider(project_id="proj", secret_id="bundle", version="3"),
    ]


async def auth_providers() -> None:
    chain = secret_chain()
    assert_type(chain.get_secret("vendor_token"), str)
    try:
        chain.get_secret("missing")
    except SecretProviderError:
        raise
    except SecretNotFoundError as exc:
        assert exc.__cause__ is not None

    fixed = FixedTokenAuthProvider(secret_provider=chain, secret_key="vendor_token", prefix="Token")
    headers = await fixed.get_headers()
    assert_type(headers, dict[str, str])
    assert headers == {"Authorization": "Token tok-123"}
    await fixed.refresh()
    basic = FixedTokenAuthProvider(
        secret_provider=chain, secret_key="vendor_token", header_name="X-Auth", prefix="", encoding="base64"
    )
    assert "X-Auth" in await basic.get_headers()

    null = NullAuthProvider()
    providers: list[AuthProvider] = [fixed, basic, null]
    for provider in providers:
        assert_type(await provider.get_client_credentials(), Any)
    assert await null.get_headers() == {}


# ------------------------------------------------------------------ connectors


class Lookup(BaseModel):
    action: Literal["items.get"] = "items.get"
    item_id: int


class Create(BaseModel):
    action: Literal["items.create"] = "items.create"
    name: str


class ItemResult(BaseModel):
    value: str = ""


class VendorBase(ConnectorBase):
    """An intermediate base: exempt from validation and not registered."""

    _ql_abstract_base = True

    def build_client(self) -> dict[str, str]:
        return {"endpoint": str(self.config.get("endpoint", "https://vendor.example.invalid"))}


class ItemsConnector(VendorBase):
    connector_id = "typing_usage_items"
    output_model = ItemResult
    error_map = {LookupError: (ErrorCategory.NOT_FOUND, "ITEM_NOT_FOUND")}

    @ql_action("items.get", scopes=["items:read"])
    async def get_item(self, params: Lookup, *, trace_id: str) -> ItemResult:
        if params.item_id <= 0:
            raise LookupError(f"no item {params.item_id}")
        return ItemResult(value=f"item-{params.item_id}")

    @sdk_action("items.create", requires_auth=False, throttle={"per_minute": 5}, deprecated=False)
    async def create_item(self, params: Create, *, trace_id: str) -> ItemResult:
        # Nested call through the whole pipeline; the result is the action's output model.
        found = await self.call_action("items.get", {"item_id": 7})
        headers = await self.get_auth_headers("vendor")
        return ItemResult(value=f"{params.name}/{found.value}/{sorted(headers)}")


class AllowAll(PolicyHook):
    def check(self, context: PolicyContext) -> None:
        return None


async def connectors() -> None:
    chain = secret_chain()
    connector = ItemsConnector(
        secret_provider=chain,
        policy_hook=ScopePolicyHook({"typing_usage_items.items.get": "items:read"}, default_mode="allow"),
        auth_providers={"vendor": FixedTokenAuthProvider(secret_provider=chain, secret_key="vendor_token")},
        config={"endpoint": "https://vendor.example.invalid/v2"},
        tenant_id="tenant-a",
        config_name="prod",
    )
    ok = await connector.run(
        {"action": "items.get", "item_id": 3}, principal="alice", tenant_id="tenant-a", scopes=("items:read",)
    )
    assert_type(ok, ConnectorResponse)
    assert ok.success and ok.data == {"value": "item-3"}
    missing = await connector.run({"action": "items.get", "item_id": 0}, "alice", None, ("items:read",))
    assert missing.error_code == "ITEM_NOT_FOUND" and missing.error_category is ErrorCategory.NOT_FOUND
    denied = await connector.run({"action": "items.get", "item_id": 1}, principal="bob", scopes=())
    assert denied.error_code == POLICY_DENIED_CODE
    nested = await connector.run({"action": "items.create", "name": "n"}, principal="alice", scopes=("items:read",))
    assert nested.success, nested.message

    plain = ItemsConnector(policy_hook=AllowAll())
    assert_type(plain.auth_provider, AuthProvider)
    assert isinstance(plain.resolve_auth_provider(), NullAuthProvider)
    assert await plain.get_auth_headers() == {}
    assert plain.tenant_id is None and plain.config_name is None and plain.config == {}
    assert connector.secret_provider is chain
    assert connector.get_client() == {"endpoint": "https://vendor.example.invalid/v2"}

    breaker = connector._breaker_for_tenant("tenant-a")
    assert_type(breaker, pybreaker.CircuitBreaker)
    assert breaker is connector._breaker_for_tenant(connector._breaker_key("tenant-a"))

    metas = ItemsConnector.ql_action_metas()
    assert_type(metas, dict[str, QlActionMeta])
    meta = metas["items.get"]
    assert (meta.input_model, meta.output_model, meta.scopes) == (Lookup, ItemResult, ["items:read"])
    assert ItemsConnector.sdk_action_metas()["items.create"].throttle == {"per_minute": 5}
    union: type[RootModel[Any]] = ItemsConnector._union_input_model
    assert isinstance(union.model_validate({"action": "items.create", "name": "x"}).root, Create)
    registry: dict[str, type[ConnectorBase]] = ItemsConnector.get_registry()
    assert registry["typing_usage_items"] is ItemsConnector is get_connector_index()["typing_usage_items"]

    failure = ConnectorResponse(success=False, error_code="VENDOR_DOWN", trace_id="t-1")
    err = NestedConnectorActionError(failure)
    assert_type(err.response, ConnectorResponse)
    assert str(err) == "VENDOR_DOWN"
    if connector_logger.isEnabledFor(logging.DEBUG):
        connector_logger.debug("typed usage ran", extra={"connector_id": ItemsConnector.connector_id})
    with tracer.start_as_current_span("typing-usage"):
        pass


def discovery() -> tuple[set[str], list[str]]:
    # Type-checked only: importing connector modules registers them for the whole process.
    declared = {ep.name for ep in entry_points(group="quellon.connectors")}
    return declared, auto_register()


# ------------------------------------------------------------------ throttling


async def throttles() -> None:
    bucket = TokenBucket(capacity=2, refill_rate=0.0)
    await bucket.acquire()
    await bucket.acquire(1)
    try:
        await bucket.acquire()
    except ThrottleExceeded as exc:
        assert str(exc) == "Global rate limit exceeded. Please try again later."
    assert bucket.tokens < bucket.capacity and bucket.last_refill > 0 and bucket.refill_rate == 0
    # Through the module: a registered connector keeps this module's globals alive for the whole
    # process, and the process-wide bucket is better not among them at shutdown.
    await throttle.global_throttler.acquire(0)

    limiter = InMemoryThrottler(max_requests=1, window_seconds=60, max_tracked_keys=10)
    first, second = limiter.consume("k"), limiter.consume("k")
    assert_type(first, ThrottleResult)
    assert first == ThrottleResult(True) and not second.allowed and second.retry_after_seconds >= 1
    assert limiter.tracked_key_count == 1

    key = identity_throttle_key("alice", fallback="10.0.0.1")
    assert key.startswith("principal:") and identity_throttle_key(None, fallback="ip") == "addr:ip"
    assert fingerprint_throttle_credential("token", salt=b"pepper").startswith("token:")
    assert_type(per_identity_throttle_enabled(), bool)
    max_requests, window, tracked, ttl = per_identity_throttle_config()
    assert all(isinstance(v, int) for v in (max_requests, window, tracked, ttl))


def shared_limiter(principal: str) -> int:
    # Type-checked only: creates the process-wide limiter.
    verdict = get_per_identity_throttler().consume(identity_throttle_key(principal, fallback="-"))
    return 0 if verdict.allowed else verdict.retry_after_seconds


# ------------------------------------------------------------------ callers and policies


def callers() -> None:
    profile = build_caller_profile({"sub": "alice", "tenant_id": "t1", "scope": "a b"}, "jwt")
    assert_type(profile, CallerProfile)
    assert (profile.principal, profile.tenant_id, profile.scopes, profile.auth_type) == (
        "alice",
        "t1",
        ("a", "b"),
        "jwt",
    )
    assert profile.claims["sub"] == "alice"
    assert profile == CallerProfile("alice", "t1", ("a", "b"), {"sub": "alice", "tenant_id": "t1", "scope": "a b"}, "jwt")
    assert parse_api_key_scopes_from_env(UNSET_ENV) == ()
    assert api_key_matches("k", "k") and not api_key_matches("k", "K")
    accepted, by_key = verify_bearer_token_and_identity(
        "key-1", api_key="key-1", jwt_secret=None, api_key_scopes_env=UNSET_ENV, api_key_auth_type="api_key"
    )
    assert accepted and by_key is not None and by_key.principal == "api-key-user"
    rejected = verify_bearer_token_and_identity(
        "a.b", api_key=None, jwt_secret=None, api_key_scopes_env=UNSET_ENV, api_key_auth_type="api_key"
    )
    assert rejected == (False, None)
    assert JWT_AUDIENCE_ENV == "QL_JWT_AUDIENCE" and JWT_ISSUER_ENV == "QL_JWT_ISSUER"


def jwt_claims(token: str, secret: str) -> dict[str, Any]:
    # Type-checked only: the warning is logged once per process.
    if load_jwt_audience_issuer_from_env() is None:
        warn_jwt_audience_issuer_not_configured()
        warn_jwt_audience_issuer_not_configured.cache_clear()
    try:
        return decode_binding_jwt(token, secret)
    except JwtVerificationNotConfigured:
        return {}


def policies() -> None:
    ctx = PolicyContext("crm", "contacts.create", {"name": "n"}, principal="p", scopes=("mcp:crm.contacts.create",))
    assert ctx.tenant_id is None and ctx == PolicyContext(
        connector_id="crm",
        action="contacts.create",
        input_payload={"name": "n"},
        principal="p",
        tenant_id=None,
        scopes=("mcp:crm.contacts.create",),
    )
    store = ConnectorConfigStore()
    try:
        TenantConfigHook(store).check(ctx)
    except PolicyDenied as exc:
        assert str(exc) == "no config for tenant '__default__' / connector 'crm'"
    store.put("__default__", "crm", {})
    TenantConfigHook(store).check(ctx)

    hook = ScopePolicyHook({}, default_mode=DEFAULT_SCOPE_MODE_DENY)
    hook.check(ctx)
    ctx.action = "contacts.delete"
    try:
        hook.check(ctx)
    except PolicyDenied as exc:
        assert str(exc) == "Missing required scope: mcp:crm.contacts.delete"
    required = resolve_required_scope_for_action(
        connector_id="crm", action="a", action_scope_map={"crm.a": "s"}, default_mode=DEFAULT_SCOPE_MODE_ALLOW
    )
    assert_type(required, str | None)
    assert required == "s"
    assert action_allowed_for_identity_scopes(
        connector_id="crm",
        action="b",
        principal=None,
        tenant_id=None,
        scopes=None,
        action_scope_map={},
        default_mode=DEFAULT_SCOPE_MODE_ALLOW,
    )


def scope_hook_from_env() -> ScopePolicyHook:
    # Type-checked only: may load .env files and warns once per process.
    return ScopePolicyHook(load_scope_map_from_env(), default_mode=load_scope_policy_default_from_env())


# ------------------------------------------------------------------ MCP client


async def mcp_client() -> None:
    config = config_from_env(server_url="https://mcp.example.invalid/mcp")
    assert_type(config, McpClientConfig)
    assert config.server.url == "https://mcp.example.invalid/mcp"
    assert isinstance(config.auth.redirect.mode, RedirectMode)
    assert isinstance(config.auth.token.store, TokenStoreMode)
    assert_type(mcp_oauth_enabled(), bool)
    assert_type(legacy_static_mcp_token(), str | None)
    assert isinstance(mcp_oauth_user_id(), str)

    challenge = parse_www_authenticate('Bearer error="insufficient_scope", scope="files:read files:write"')
    assert_type(challenge, WwwAuthenticateChallenge | None)
    assert challenge is not None and challenge.is_insufficient_scope and not challenge.treat_as_unauthorized
    assert (challenge.scheme, challenge.error, challenge.scope) == ("Bearer", "insufficient_scope", "files:read files:write")
    assert challenge.resource_metadata is None and challenge.error_description is None
    assert challenge.raw.startswith("Bearer") and not challenge.is_invalid_token
    assert parse_www_authenticate("   ") is None

    catcher = LoopbackRedirectCatcher(path="cb")
    binding = await catcher.start()
    assert_type(binding, LoopbackRedirectBinding)
    assert binding == catcher.binding and binding.path == "/cb" and binding.port > 0
    assert binding.redirect_uri == f"http://{binding.host}:{binding.port}/cb"
    reader, writer = await asyncio.open_connection(binding.host, binding.port)
    writer.write(b"GET /cb?code=c-1&state=s-1 HTTP/1.1\r\nHost: localhost\r\n\r\n")
    status = await reader.readline()
    writer.close()
    callback = await catcher.wait_for_callback(timeout=20)
    assert_type(callback, AuthorizationCallback)
    assert status.startswith(b"HTTP/1.1 200") and callback == AuthorizationCallback("c-1", "s-1", None, None)
    await catcher.close()

    idle = LoopbackRedirectCatcher(host="127.0.0.1")
    await idle.start()
    try:
        await idle.wait_for_callback(0.01)
    except McpOAuthFlowAborted as exc:
        assert isinstance(exc.__cause__, (asyncio.TimeoutError, TimeoutError))
    finally:
        await idle.close()


async def main() -> None:
    await auth_providers()
    await connectors()
    await throttles()
    callers()
    policies()
    await mcp_client()


if __name__ == "__main__":
    asyncio.run(main())
