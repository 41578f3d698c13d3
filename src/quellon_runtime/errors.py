"""Mapping of exceptions to envelope error codes and categories.

Connectors register their own exceptions (scoped to their connector id); the
runtime registers a few global ones. ``resolve`` runs once per failed call, so
it is a walk over the exception's MRO with plain dict lookups.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass
from typing import Dict, Optional, Type

from .models import ErrorCategory

__all__ = ["ErrorMapper", "MappedError", "DEFAULT_ERROR"]


@dataclass(frozen=True, slots=True)
class MappedError:
    """Error code and category that an exception maps to."""

    code: str
    category: ErrorCategory


DEFAULT_ERROR = MappedError(code="INTERNAL_ERROR", category=ErrorCategory.INTERNAL)

_lock = threading.Lock()
_global: Dict[type, MappedError] = {}
_scoped: Dict[str, Dict[type, MappedError]] = {}


def _entry(exc_type: object, category: object, code: object) -> MappedError:
    if not (isinstance(exc_type, type) and issubclass(exc_type, BaseException)):
        raise TypeError(f"exc_type must be an exception class, got {exc_type!r}")
    if not isinstance(code, str) or not code:
        raise TypeError(f"code must be a non-empty string, got {code!r}")
    # Accepts members and their values alike; anything else fails here, at
    # registration, instead of producing a broken envelope later.
    return MappedError(code=code, category=ErrorCategory(category))  # type: ignore[arg-type]


class ErrorMapper:
    """Process-wide registry of exception class -> (code, category)."""

    @staticmethod
    def register(
        connector_id: str,
        exc_type: Type[BaseException],
        category: ErrorCategory,
        code: str,
    ) -> None:
        """Map ``exc_type`` (and its subclasses) for one connector only."""
        if not isinstance(connector_id, str):
            raise TypeError(f"connector_id must be a string, got {connector_id!r}")
        entry = _entry(exc_type, category, code)
        with _lock:
            _scoped.setdefault(connector_id, {})[exc_type] = entry

    @staticmethod
    def register_global(
        exc_type: Type[BaseException],
        category: ErrorCategory,
        code: str,
    ) -> None:
        """Map ``exc_type`` (and its subclasses) for every connector."""
        entry = _entry(exc_type, category, code)
        with _lock:
            _global[exc_type] = entry

    @staticmethod
    def resolve(exc: BaseException, connector_id: Optional[str] = None) -> MappedError:
        """Code and category for ``exc``; never fails.

        The most specific class with any registration wins; at the same class
        a connector's own mapping beats the global one. A connector that maps
        a broad base class therefore cannot hide the runtime's mappings of
        specific errors (policy denial, tenant mismatch) that callers rely on.
        """
        scoped = _scoped.get(connector_id) if connector_id is not None else None
        glob = _global
        if scoped:
            for klass in type(exc).__mro__:
                hit = scoped.get(klass) or glob.get(klass)
                if hit is not None:
                    return hit
        else:
            for klass in type(exc).__mro__:
                hit = glob.get(klass)
                if hit is not None:
                    return hit
        return DEFAULT_ERROR
