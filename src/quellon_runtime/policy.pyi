"""Policy hooks: decide, before an action runs, whether it may run."""

from abc import ABCMeta, abstractmethod
from collections.abc import Mapping
from typing import Any, ClassVar

from quellon_runtime.config_store import ConnectorConfigStore

__all__ = ["PolicyContext", "PolicyDenied", "PolicyHook", "TenantConfigHook"]

# One pending action call, as a policy hook sees it (mutable record). The class carries no
# docstring at run time, so none here either.
class PolicyContext:
    __slots__ = ("connector_id", "action", "input_payload", "principal", "tenant_id", "scopes")
    __match_args__ = ("connector_id", "action", "input_payload", "principal", "tenant_id", "scopes")
    connector_id: str
    action: str
    input_payload: Mapping[str, Any]
    principal: str | None
    tenant_id: str | None
    scopes: tuple[str, ...] | None
    def __init__(
        self,
        connector_id: str,
        action: str,
        input_payload: Mapping[str, Any],
        principal: str | None = None,
        tenant_id: str | None = None,
        scopes: tuple[str, ...] | None = None,
    ) -> None:
        """Record one pending action call."""
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class PolicyDenied(Exception):
    """Raised when a policy hook denies execution."""

class PolicyHook(metaclass=ABCMeta):
    """Decides, before an action runs, whether it may run.

    ``check`` returns to allow the call and raises ``PolicyDenied`` to refuse it.
    """
    @abstractmethod
    def check(self, context: PolicyContext) -> None:
        """Return to allow the action; raise PolicyDenied to deny it."""

class TenantConfigHook(PolicyHook):
    """Denies any action for which the calling tenant has no stored connector configuration."""
    def __init__(self, store: ConnectorConfigStore) -> None:
        """Keep the store that holds the tenants' connector configurations."""
    def check(self, context: PolicyContext) -> None:
        """Raise PolicyDenied when the tenant has no configuration for the connector."""
