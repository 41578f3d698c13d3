from quellon_runtime.secrets.base import SecretProvider

__all__ = ["ChainedSecretProvider"]

class ChainedSecretProvider(SecretProvider):
    """Asks its providers in order; falls through only on an absent key."""

    def __init__(self, *providers: SecretProvider) -> None: ...
    def get_secret(self, key: str) -> str: ...
