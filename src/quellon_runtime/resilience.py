"""Circuit-breaker wrapping of asynchronous action calls."""

from __future__ import annotations

from typing import Any, Awaitable, Callable, Optional, TypeVar

import pybreaker

__all__ = ["with_resilience"]

T = TypeVar("T")


def with_resilience(
    breaker: pybreaker.CircuitBreaker,
    *,
    connector_id: Optional[str] = None,
    action: Optional[str] = None,
) -> Callable[[Callable[..., Awaitable[T]]], Callable[..., Awaitable[T]]]:
    """Decorator that runs an async function under ``breaker``.

    A failure (any exception, as pybreaker counts them) is counted and
    re-raised; once the breaker is open, calls are refused with
    ``pybreaker.CircuitBreakerError`` without running the function.
    ``connector_id`` and ``action`` identify the call site; the breaker
    itself is already per connector instance and tenant.

    ``breaker.calling()`` is used rather than ``call_async`` (which needs
    tornado): its context spans the await, and the breaker's lock is not
    held while the function is suspended.
    """
    calling = breaker.calling

    def decorator(fn: Callable[..., Awaitable[T]]) -> Callable[..., Awaitable[T]]:
        async def guarded(*args: Any, **kwargs: Any) -> T:
            try:
                with calling():
                    return await fn(*args, **kwargs)
            except Exception as exc:
                # The breaker counts a cancellation as a failure and, when that trips it, raises
                # its own error in its place: let the cancellation through regardless.
                ctx = exc.__context__
                if isinstance(ctx, BaseException) and not isinstance(ctx, Exception):
                    raise ctx from None
                raise

        return guarded

    return decorator
