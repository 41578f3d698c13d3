"""Authentication provider that sends one secret, read from a secret provider, as a request header."""

from quellon_runtime.auth.base import AuthProvider
from quellon_runtime.secrets.base import SecretProvider

__all__ = ["FixedTokenAuthProvider"]

class FixedTokenAuthProvider(AuthProvider):
    """Auth provider that sends one secret as one request header.

    Serves API keys, non-expiring bearer tokens and HTTP Basic (encoding="base64" over a
    secret of the form user:password). The secret is read once and kept in memory until
    refresh(); call refresh() or replace the provider to follow a rotated secret.
    """

    def __init__(
        self,
        *,
        secret_provider: SecretProvider,
        secret_key: str,
        header_name: str = "Authorization",
        prefix: str = "Bearer",
        encoding: str | None = None,
    ) -> None:
        """Keep the secret's location and header format; nothing is read until the first get_headers()."""
    async def get_headers(self) -> dict[str, str]:
        """Return a new dict with the one header, reading the secret on first use."""
    async def refresh(self) -> None:
        """Drop the cached header so that the next get_headers() reads the secret again."""
    def _build_header(self) -> dict[str, str]: ...
