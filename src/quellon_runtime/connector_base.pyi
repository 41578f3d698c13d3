"""Base class of connectors: action declaration, validated and audited runs, policy, tenants and resilience."""

import logging
from abc import ABC
from collections.abc import Callable, Coroutine
from contextvars import ContextVar
from typing import Any, ClassVar, Final, TypeVar

import pybreaker
from opentelemetry.metrics import Counter, Histogram, Meter
from opentelemetry.trace import Tracer
from pydantic import BaseModel, RootModel

from quellon_runtime.auth.base import AuthProvider
from quellon_runtime.models import ConnectorResponse, ErrorCategory
from quellon_runtime.policy import PolicyHook
from quellon_runtime.resilience import with_resilience as with_resilience
from quellon_runtime.secrets.base import SecretProvider

_F = TypeVar("_F", bound=Callable[..., Any])

logger: logging.Logger
tracer: Tracer
_meter: Meter
_invocation_counter: Counter
_invocation_duration: Histogram
POLICY_DENIED_CODE: Final = "POLICY_DENIED"
# (principal, tenant id, scopes) of the action call in progress, read by nested calls.
_caller_execution_ctx: ContextVar[tuple[str | None, str | None, tuple[str, ...] | None] | None]
_CONNECTOR_INDEX: dict[str, type[ConnectorBase]]

class QlActionMeta:
    """Metadata for one @ql_action method."""

    __slots__ = (
        "name",
        "fn_name",
        "input_model",
        "output_model",
        "alias_tolerant",
        "mcp_normalize",
        "requires_auth",
        "scopes",
        "throttle",
        "deprecated",
    )
    __match_args__ = (
        "name",
        "fn_name",
        "input_model",
        "output_model",
        "alias_tolerant",
        "mcp_normalize",
        "requires_auth",
        "scopes",
        "throttle",
        "deprecated",
    )
    name: str
    fn_name: str
    input_model: type[BaseModel]
    output_model: type[BaseModel]
    alias_tolerant: bool
    mcp_normalize: Callable[[dict[str, Any]], None] | None
    requires_auth: bool
    scopes: list[str] | None
    throttle: dict[str, Any] | None
    deprecated: bool
    def __init__(
        self,
        name: str,
        fn_name: str,
        input_model: type[BaseModel],
        output_model: type[BaseModel],
        alias_tolerant: bool = False,
        mcp_normalize: Callable[[dict[str, Any]], None] | None = None,
        requires_auth: bool = True,
        scopes: list[str] | None = None,
        throttle: dict[str, Any] | None = None,
        deprecated: bool = False,
    ) -> None:
        """Record the metadata of one declared action."""
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

def sdk_action(
    name: str,
    *,
    alias_tolerant: bool = False,
    mcp_normalize: Callable[[dict[str, Any]], None] | None = None,
    requires_auth: bool = True,
    scopes: list[str] | None = None,
    throttle: dict[str, Any] | None = None,
    deprecated: bool = False,
) -> Callable[[_F], _F]:
    """Mark an async method ``(self, params: InputModel, *, trace_id: str) -> OutputModel`` as an action."""

def ql_action(
    name: str,
    *,
    alias_tolerant: bool = False,
    mcp_normalize: Callable[[dict[str, Any]], None] | None = None,
    requires_auth: bool = True,
    scopes: list[str] | None = None,
    throttle: dict[str, Any] | None = None,
    deprecated: bool = False,
) -> Callable[[_F], _F]:
    """Same as ``sdk_action``."""

def get_connector_index() -> dict[str, type[ConnectorBase]]:
    """A copy of the connector index: connector id -> connector class."""

def _make_spec_handler(
    action_name: str,
    input_model: Any,
    output_model: Any,
    cls_qualname: str,
    cls_module: str,
    alias_tolerant: bool = False,
    mcp_normalize: Callable[[dict[str, Any]], None] | None = None,
    requires_auth: bool = True,
    scopes: list[str] | None = None,
    throttle: dict[str, Any] | None = None,
    deprecated: bool = False,
) -> Callable[..., Coroutine[Any, Any, Any]]: ...
def _generate_methods_from_action_specs(cls: type[ConnectorBase]) -> None: ...
def _merge_nested_failure_details(nested: ConnectorResponse) -> Any: ...

class NestedConnectorActionError(Exception):
    """A nested action invoked via call_action returned an envelope whose success is False."""

    response: ConnectorResponse
    def __init__(self, response: ConnectorResponse) -> None:
        """Keep the failed envelope as ``response``; the message is its message, else its error code."""

class ConnectorBase(ABC):
    """Base class of every connector.

    Subclasses define ``connector_id``, ``output_model`` (the common output envelope for all actions), an optional ``error_map`` (mapping of exception -> (ErrorCategory, code)), and ``build_client()`` / ``get_client()`` for the vendor SDK lifecycle. Actions are declared with ``@ql_action("resource.operation")`` on asynchronous methods.
    """

    connector_id: str
    action: str
    error_map: ClassVar[dict[type[BaseException], tuple[ErrorCategory, str]]]
    output_model: ClassVar[type[BaseModel]]
    # Set True in a class's own body to mark an intermediate base (not validated, not registered).
    _ql_abstract_base: ClassVar[bool]
    _action_registry: ClassVar[dict[str, QlActionMeta]]
    _union_input_model: ClassVar[type[RootModel[Any]]]
    # Each tenant's breaker opens after breaker_fail_max consecutive vendor failures and lets a trial
    # call through after breaker_reset_timeout seconds.
    breaker_fail_max: ClassVar[int]
    breaker_reset_timeout: ClassVar[float]
    config: dict[str, Any]
    def __init_subclass__(cls, **kwargs: Any) -> None: ...
    def __init__(
        self,
        *,
        secret_provider: SecretProvider | None = None,
        policy_hook: PolicyHook | None = None,
        auth_provider: AuthProvider | None = None,
        auth_providers: dict[str, AuthProvider] | None = None,
        config: dict[str, Any] | None = None,
        tenant_id: str | None = None,
        config_name: str | None = None,
    ) -> None:
        """Set up a connector instance with its collaborators; every argument is keyword-only and optional."""
    @property
    def tenant_id(self) -> str | None:
        """The tenant this instance is pinned to, or None."""
    @property
    def config_name(self) -> str | None:
        """The name of the stored configuration this instance was built from, or None."""
    @property
    def secret_provider(self) -> SecretProvider:
        """The secret provider; RuntimeError when none was configured."""
    @property
    def auth_provider(self) -> AuthProvider:
        """The default authentication provider."""
    def resolve_auth_provider(self, auth_scheme: str | None = None) -> AuthProvider:
        """The provider for auth_scheme (the default one for None); ValueError for an unknown scheme."""
    async def get_auth_headers(self, auth_scheme: str | None = None) -> dict[str, str]:
        """The headers of the provider that resolve_auth_provider(auth_scheme) returns."""
    def build_client(self) -> Any:
        """Create the vendor SDK client; subclasses override it (the default returns None)."""
    def get_client(self) -> Any:
        """The instance's client, built by build_client() on first use and kept."""
    def _create_breaker(self, tenant_key: str | None = None) -> pybreaker.CircuitBreaker:
        """A new breaker for one tenant key, with the class's breaker_fail_max and breaker_reset_timeout and named after the concrete class; its state is kept in Redis with the shared backend."""
    def _breaker_key(self, tenant_id: str | None) -> str: ...
    def _breaker_for_tenant(self, tenant_id: str | None) -> pybreaker.CircuitBreaker: ...
    @classmethod
    def get_registry(cls) -> dict[str, type[ConnectorBase]]:
        """A copy of the connector index: connector id -> connector class."""
    @classmethod
    def sdk_action_metas(cls) -> dict[str, QlActionMeta]:
        """A new dict of this class's declared actions: action name -> QlActionMeta."""
    @classmethod
    def ql_action_metas(cls) -> dict[str, QlActionMeta]:
        """Same as ``sdk_action_metas``."""
    async def run(
        self,
        raw_input: dict[str, Any],
        principal: str | None = None,
        tenant_id: str | None = None,
        scopes: tuple[str, ...] | None = None,
    ) -> ConnectorResponse:
        """Validate raw_input, apply the policy hook and run the action; always returns a response envelope."""
    async def _run_with_log_connector_id(
        self,
        raw_input: dict[str, Any],
        principal: str | None = None,
        tenant_id: str | None = None,
        scopes: tuple[str, ...] | None = None,
    ) -> ConnectorResponse: ...
    async def internal_execute(self, params: Any, *, trace_id: str) -> Any:
        """Dispatch validated input to its action method; returns the method's output model."""
    async def call_action(
        self,
        name: str,
        params_dict: dict[str, Any],
        *,
        principal: str | None = None,
        tenant_id: str | None = None,
        scopes: tuple[str, ...] | None = None,
    ) -> Any:
        """Run another action of this instance through ``run``; its output model instance."""
