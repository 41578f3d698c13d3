from abc import ABCMeta, abstractmethod
from collections.abc import Mapping
from typing import Any, ClassVar

from quellon_runtime.config_store import ConnectorConfigStore

__all__ = ["PolicyContext", "PolicyDenied", "PolicyHook", "TenantConfigHook"]

class PolicyContext:
    """One pending action call, as a policy hook sees it (mutable record)."""

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
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class PolicyDenied(Exception):
    """Raised when a policy hook denies execution."""

class PolicyHook(metaclass=ABCMeta):
    @abstractmethod
    def check(self, context: PolicyContext) -> None:
        """Return to allow the call; raise PolicyDenied to refuse it."""

class TenantConfigHook(PolicyHook):
    def __init__(self, store: ConnectorConfigStore) -> None: ...
    def check(self, context: PolicyContext) -> None: ...
