"""Contract for reading secrets by name."""

from __future__ import annotations

import json
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


def _without_secret(exc: BaseException, what: str) -> BaseException:
    """A copy of a decoding error raised over secret text that carries none of that text.

    ``JSONDecodeError.doc`` and ``UnicodeError.object`` hold the whole input, and error trackers
    capture exception attributes. The copy keeps the type, so callers catch it as before; the
    offending characters alone are kept for a Unicode error, `what` (the key or secret name) says
    where they were. Raise it ``from None``.
    """
    if isinstance(exc, json.JSONDecodeError):
        clean = json.JSONDecodeError(exc.msg, "", 0)
        clean.args = (f"{what} is not valid JSON: {exc.args[0] if exc.args else exc.msg}",)
        clean.pos, clean.lineno, clean.colno = exc.pos, exc.lineno, exc.colno
        return clean
    if isinstance(exc, UnicodeEncodeError):
        bad_text = exc.object[exc.start:exc.end]
        return UnicodeEncodeError(exc.encoding, bad_text, 0, len(bad_text), _where(exc, what))
    if isinstance(exc, UnicodeDecodeError):
        bad_bytes = exc.object[exc.start:exc.end]
        return UnicodeDecodeError(exc.encoding, bad_bytes, 0, len(bad_bytes), _where(exc, what))
    raise TypeError(f"not a decoding error: {type(exc).__name__}")


def _where(exc: UnicodeEncodeError | UnicodeDecodeError, what: str) -> str:
    return f"{exc.reason} (at position {exc.start} of {what})"
