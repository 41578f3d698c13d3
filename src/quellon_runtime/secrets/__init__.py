"""Secret providers: the contract and its two exceptions."""

from .base import SecretNotFoundError, SecretProvider, SecretProviderError

__all__ = ["SecretNotFoundError", "SecretProvider", "SecretProviderError"]
