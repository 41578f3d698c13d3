"""Authentication provider for vendors that need no credentials."""

from typing import Any

from quellon_runtime.auth.base import AuthProvider

__all__ = ["NullAuthProvider"]

class NullAuthProvider(AuthProvider):
    """Auth provider that adds no headers and supplies no credentials.

    The default for connectors without an auth provider; also fits vendor SDKs that
    authenticate on their own and internal endpoints that need no credentials.
    """

    async def get_headers(self) -> dict[str, str]:
        """Return a new, empty header dict."""
    async def get_client_credentials(self) -> Any:
        """Return None: no SDK credentials are needed."""
