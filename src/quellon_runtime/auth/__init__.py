"""Auth providers: the contract and the built-in providers."""

from .base import AuthProvider
from .null_auth import NullAuthProvider

__all__ = ["AuthProvider", "NullAuthProvider"]
