from quellon_runtime.auth.base import AuthProvider
from quellon_runtime.secrets.base import SecretProvider

__all__ = ["FixedTokenAuthProvider"]

class FixedTokenAuthProvider(AuthProvider):
    """Sends one secret as one request header; read once, kept until refresh()."""

    def __init__(
        self,
        *,
        secret_provider: SecretProvider,
        secret_key: str,
        header_name: str = "Authorization",
        prefix: str = "Bearer",
        encoding: str | None = None,
    ) -> None: ...
    async def get_headers(self) -> dict[str, str]: ...
    async def refresh(self) -> None: ...
    def _build_header(self) -> dict[str, str]: ...
