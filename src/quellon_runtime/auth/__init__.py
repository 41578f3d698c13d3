"""Auth providers: the contract and the built-in providers."""

from typing import Any

from .base import AuthProvider

__all__ = ["AuthProvider", "NullAuthProvider"]


def __getattr__(name: str) -> Any:
    # The null provider is an extension module; load it on first use so the
    # package (and the contract) imports before it has been built.
    if name == "NullAuthProvider":
        from .null_auth import NullAuthProvider

        globals()[name] = NullAuthProvider
        return NullAuthProvider
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
