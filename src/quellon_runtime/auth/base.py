"""Contract through which a connector obtains credentials for vendor calls."""

from __future__ import annotations

from abc import ABC, abstractmethod
from typing import Any, Dict

__all__ = ["AuthProvider"]


class AuthProvider(ABC):
    """Produces request headers (and optionally SDK credentials).

    Stateless base: providers take only their own constructor arguments.
    """

    @abstractmethod
    async def get_headers(self) -> Dict[str, str]:
        """Headers to add to a vendor request; a new dict on every call."""

    async def get_client_credentials(self) -> Any:
        """Credentials for an SDK client the connector builds itself; None if unused."""
        return None

    async def refresh(self) -> None:
        """Drop anything cached so the next ``get_headers`` reads fresh secrets."""
        return None
