from typing import Any

from quellon_runtime.auth.base import AuthProvider

__all__ = ["NullAuthProvider"]

class NullAuthProvider(AuthProvider):
    """Injects no headers and supplies no credentials; stateless and shareable."""

    async def get_headers(self) -> dict[str, str]: ...
    async def get_client_credentials(self) -> Any: ...
