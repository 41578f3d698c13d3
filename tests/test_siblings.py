"""Host-side helper modules: error mapping, identity, resilience, contracts, MCP records."""

import asyncio
import logging
import pickle

import pybreaker
import pytest

from quellon_runtime.errors import DEFAULT_ERROR, ErrorMapper
from quellon_runtime.identity import TenantMismatchError, effective_run_tenant_id
from quellon_runtime.log_sanitization import (
    ConnectorIdLogFilter, get_log_connector_id, reset_log_connector_id, set_log_connector_id,
)
from quellon_runtime.mcp_client import config as mcfg
from quellon_runtime.mcp_client.discovery import parse_resource_metadata_url
from quellon_runtime.models import ConnectorResponse, ErrorCategory
from quellon_runtime.resilience import with_resilience


class VendorError(Exception):
    pass


class VendorAuthError(VendorError):
    pass


class RuntimeSpecific(Exception):
    pass


def test_error_mapper_resolution_order():
    ErrorMapper.register_global(VendorError, ErrorCategory.UPSTREAM, code="VENDOR")
    ErrorMapper.register_global(RuntimeSpecific, ErrorCategory.AUTH, code="RT")
    ErrorMapper.register("crm", VendorAuthError, ErrorCategory.AUTH, code="CRM_AUTH")
    ErrorMapper.register("crm", Exception, "business", code="CRM_ANY")

    class Expired(VendorAuthError):
        pass

    resolve = ErrorMapper.resolve
    assert resolve(Expired(), connector_id="crm").code == "CRM_AUTH"  # inherited mapping
    assert resolve(VendorAuthError(), connector_id="other").code == "VENDOR"  # scope stays
    assert resolve(VendorAuthError()).code == "VENDOR"
    # A broad connector mapping does not hide a more specific global one ...
    assert resolve(RuntimeSpecific(), connector_id="crm").category is ErrorCategory.AUTH
    # ... but covers everything else for its connector.
    assert resolve(KeyError(), connector_id="crm").category is ErrorCategory.BUSINESS
    assert resolve(KeyError(), connector_id="other") is DEFAULT_ERROR
    assert (DEFAULT_ERROR.code, DEFAULT_ERROR.category) == ("INTERNAL_ERROR", ErrorCategory.INTERNAL)

    ErrorMapper.register("crm", VendorAuthError, ErrorCategory.RATE_LIMIT, code="LATER")
    assert resolve(Expired(), connector_id="crm").code == "LATER"
    for bad in [("crm", "cls", ErrorCategory.AUTH, "X"), ("crm", VendorError, ErrorCategory.AUTH, None)]:
        with pytest.raises(TypeError):
            ErrorMapper.register(*bad[:3], code=bad[3])
    with pytest.raises(ValueError):
        ErrorMapper.register_global(VendorError, "no-such-category", code="X")


def test_envelope_fields_and_category_values():
    assert set(ConnectorResponse.model_fields) == {
        "success", "data", "error_code", "error_category", "message", "trace_id", "details",
    }
    assert ConnectorResponse(success=True, data={}, trace_id="t").error_category is None
    failed = ConnectorResponse(success=False, error_code="E", error_category=ErrorCategory.AUTH,
                               message="m", trace_id="t", details=[1])
    assert failed.model_dump(mode="json")["error_category"] == "auth"


@pytest.mark.parametrize("pinned, caller, effective", [
    (None, None, None), (None, "b", "b"), ("", "", None), ("a", None, "a"), ("a", "", "a"),
    ("a", "a", "a"),
])
def test_effective_tenant_without_mismatch(pinned, caller, effective):
    assert effective_run_tenant_id(pinned=pinned, caller=caller) == (effective, None)


def test_tenant_mismatch():
    effective, mismatch = effective_run_tenant_id(pinned="a", caller="b")
    assert effective == "a" and isinstance(mismatch, TenantMismatchError)
    assert (mismatch.pinned, mismatch.requested) == ("a", "b")
    # The envelope text names the requested tenant but not the pinned one.
    assert "'b'" in str(mismatch) and "'a'" not in str(mismatch)
    copy = pickle.loads(pickle.dumps(mismatch))
    assert (copy.pinned, copy.requested, str(copy)) == ("a", "b", str(mismatch))


def test_log_connector_id_context_and_filter():
    record = logging.LogRecord("x", logging.INFO, __file__, 1, "m", None, None)
    outer = set_log_connector_id("outer")
    inner = set_log_connector_id("inner")
    assert ConnectorIdLogFilter().filter(record) and record.connector_id == "inner"
    reset_log_connector_id(inner)
    assert get_log_connector_id() == "outer"
    ConnectorIdLogFilter().filter(record)
    assert record.connector_id == "inner"  # an existing value is kept
    reset_log_connector_id(outer)
    assert get_log_connector_id() is None


class Boom(Exception):
    pass


def _guarded(breaker, outcomes):
    calls = []

    async def action(*, trace_id):
        calls.append(trace_id)
        await asyncio.sleep(0)
        if isinstance(outcomes[0], Exception):
            raise outcomes.pop(0)
        return outcomes.pop(0)

    return with_resilience(breaker, connector_id="c", action="a")(action), calls


async def test_resilience_counts_failures_and_refuses_when_open():
    breaker = pybreaker.CircuitBreaker(fail_max=3, reset_timeout=3600, name="t")
    run, calls = _guarded(breaker, [Boom(), Boom(), "ok", Boom(), Boom(), Boom()])
    for _ in range(2):
        with pytest.raises(Boom):
            await run(trace_id="t")
    assert breaker.fail_counter == 2
    assert await run(trace_id="t") == "ok"
    assert breaker.fail_counter == 0  # success resets the count
    for _ in range(2):
        with pytest.raises(Boom):
            await run(trace_id="t")
    with pytest.raises(pybreaker.CircuitBreakerError):  # third failure trips it
        await run(trace_id="t")
    made = len(calls)
    with pytest.raises(pybreaker.CircuitBreakerError):
        await run(trace_id="t")
    assert len(calls) == made  # refused without running the action


async def test_resilience_half_open_trial():
    breaker = pybreaker.CircuitBreaker(fail_max=1, reset_timeout=3600, name="t")
    run, _ = _guarded(breaker, [Boom(), Boom(), "ok"])
    with pytest.raises(pybreaker.CircuitBreakerError):
        await run(trace_id="t")
    breaker.half_open()
    with pytest.raises(pybreaker.CircuitBreakerError):  # failed trial reopens
        await run(trace_id="t")
    assert breaker.current_state == pybreaker.STATE_OPEN
    breaker.half_open()
    assert await run(trace_id="t") == "ok"
    assert breaker.current_state == pybreaker.STATE_CLOSED


async def test_provider_contracts():
    from quellon_runtime import auth
    from quellon_runtime.secrets import SecretNotFoundError, SecretProvider, SecretProviderError

    assert not issubclass(SecretNotFoundError, SecretProviderError)
    assert issubclass(SecretNotFoundError, Exception) and issubclass(SecretProviderError, Exception)
    for abstract in (auth.AuthProvider, SecretProvider):
        with pytest.raises(TypeError):
            abstract()

    class Static(auth.AuthProvider):
        async def get_headers(self):
            return {"X-Key": "v"}

    assert await Static().get_client_credentials() is None
    assert await Static().refresh() is None
    with pytest.raises(AttributeError):
        auth.NoSuchProvider


def test_mcp_config_records_accept_the_filled_keywords():
    auth = mcfg.AuthConfig(
        production=False, scopes="a b",
        client=mcfg.AuthClientConfig(clientId="id", clientSecret=""),
        redirect=mcfg.AuthRedirectConfig(mode=mcfg.RedirectMode.LOOPBACK, url="http://127.0.0.1:0/cb",
                                         loopbackHost="127.0.0.1", loopbackPath="/cb"),
        discovery=mcfg.AuthDiscoveryConfig(cacheTtlSeconds=3600),
        dcr=mcfg.AuthDcrConfig(enabled=True),
        token=mcfg.AuthTokenConfig(refreshLeadSeconds=60, store=mcfg.TokenStoreMode.OS_KEYCHAIN),
        registrationStorePath=None, issuerOverride=None,
    )
    cfg = mcfg.McpClientConfig(server=mcfg.McpServerConfig(url="https://mcp.example"), auth=auth)
    assert cfg.auth.redirect.loopbackPath == "/cb"
    assert {m.name for m in mcfg.RedirectMode} == {"CONFIGURED_URL", "LOOPBACK"}
    assert {m.name for m in mcfg.TokenStoreMode} == {"CONFIGURED_SECRET_STORE", "OS_KEYCHAIN"}
    with pytest.raises(TypeError):
        mcfg.AuthConfig(enabled=True)


@pytest.mark.parametrize("header, expected", [
    ('Bearer resource_metadata="https://rs/.well-known/x"', "https://rs/.well-known/x"),
    ('Bearer error="invalid_token", RESOURCE_METADATA = "https://a/b"', "https://a/b"),
    ("Bearer realm=x,resource_metadata=https://a/c", "https://a/c"),
    ('Bearer resource_metadata="https://a/\\"q\\""', 'https://a/"q"'),
    ('Bearer x_resource_metadata="https://evil"', None),
    ('Bearer resource_metadata=""', None),
    ("", None),
])
def test_parse_resource_metadata_url(header, expected):
    assert parse_resource_metadata_url(header) == expected
