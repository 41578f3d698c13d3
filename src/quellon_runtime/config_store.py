"""In-memory store of connector configurations per tenant."""

from __future__ import annotations

from typing import Any, Dict, Mapping, Optional, Tuple

__all__ = ["ConnectorConfigStore"]


class ConnectorConfigStore:
    """Configurations keyed by (tenant id, connector id).

    The tenant id is an opaque key: callers without a tenant use whatever
    placeholder they agree on (the tenant-config policy uses "__default__").
    Single dict operations only, so one store may be shared across threads.
    """

    def __init__(self) -> None:
        self._configs: Dict[Tuple[str, str], Dict[str, Any]] = {}

    def put(self, tenant_id: str, connector_id: str, config: Mapping[str, Any]) -> None:
        """Store a copy of ``config``, replacing any earlier one."""
        self._configs[(tenant_id, connector_id)] = dict(config)

    def get(self, tenant_id: str, connector_id: str) -> Optional[Dict[str, Any]]:
        """A copy of the stored configuration, or None."""
        config = self._configs.get((tenant_id, connector_id))
        return None if config is None else dict(config)

    def has_config(self, tenant_id: str, connector_id: str) -> bool:
        return (tenant_id, connector_id) in self._configs
