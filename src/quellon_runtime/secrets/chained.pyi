"""Secret provider that asks several providers in turn."""

from quellon_runtime.secrets.base import SecretProvider

__all__ = ["ChainedSecretProvider"]

class ChainedSecretProvider(SecretProvider):
    """Secret provider that asks several providers in order.

    A provider reporting the key absent (SecretNotFoundError or KeyError) passes the
    question to the next one; any other error, SecretProviderError first of all, stops
    the search and reaches the caller unchanged. When every provider reports the key
    absent, SecretNotFoundError is raised, so chains can be nested.
    """

    def __init__(self, *providers: SecretProvider) -> None:
        """Keep the providers in the order they are asked."""
    def get_secret(self, key: str) -> str:
        """Return the first answer of the providers, in order, for `key`."""
