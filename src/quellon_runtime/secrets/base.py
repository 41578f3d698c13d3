"""Contract for reading secrets by name."""

from __future__ import annotations

from abc import ABC, abstractmethod

__all__ = ["SecretNotFoundError", "SecretProvider", "SecretProviderError"]


class SecretNotFoundError(Exception):
    """The provider holds no value under the key.

    Deliberately unrelated to ``SecretProviderError``: chains fall through on
    this one and stop on the other.
    """


class SecretProviderError(Exception):
    """The provider itself failed (authentication, network, configuration)."""


class SecretProvider(ABC):
    """Synchronous secret lookup; implementations take their own arguments only."""

    @abstractmethod
    def get_secret(self, key: str) -> str:
        """Return the secret stored under ``key``.

        Raises ``SecretNotFoundError`` when absent, ``SecretProviderError``
        when the provider cannot answer.
        """
