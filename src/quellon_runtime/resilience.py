"""Circuit-breaker wrapping of asynchronous action calls."""

from __future__ import annotations

import sys
from typing import Any, Awaitable, Callable, ContextManager, Optional, TypeVar

import pybreaker

__all__ = ["with_resilience"]

T = TypeVar("T")


def _leave_uncounted(breaker: pybreaker.CircuitBreaker, cm: ContextManager[Any]) -> None:
    """Leave ``breaker.calling()`` for an exit that is not a failure (cancellation and the like).

    pybreaker knows only two outcomes: a failure, or a success (its excluded exceptions are counted
    as successes too). Leaving as a failure would let callers that time out or disconnect open a
    tenant's breaker, so the context is left as a success; where that changed the breaker's state
    (a cancelled half-open trial would close it), the state it had is put back, so the next call is
    a trial again. What remains of the success: a closed breaker's consecutive-failure count is
    reset, and listeners hear of a success.
    """
    before = breaker.current_state
    cm.__exit__(None, None, None)
    if breaker.current_state != before:
        if before == pybreaker.STATE_HALF_OPEN:
            breaker.half_open()
        elif before == pybreaker.STATE_OPEN:
            breaker.open()


def with_resilience(
    breaker: pybreaker.CircuitBreaker,
    *,
    connector_id: Optional[str] = None,
    action: Optional[str] = None,
) -> Callable[[Callable[..., Awaitable[T]]], Callable[..., Awaitable[T]]]:
    """Decorator that runs an async function under ``breaker``.

    A failure (an ``Exception``) is counted and re-raised; once the breaker is
    open, calls are refused with ``pybreaker.CircuitBreakerError`` without
    running the function. Cancellation, ``KeyboardInterrupt``, ``SystemExit``
    and ``GeneratorExit`` are not the vendor's failures: they pass through
    unchanged and are not counted. ``connector_id`` and ``action`` identify the
    call site; the breaker itself is already per connector instance and tenant.

    ``breaker.calling()`` is used rather than ``call_async`` (which needs
    tornado): its context spans the await, and the breaker's lock is not
    held while the function is suspended.
    """
    calling = breaker.calling

    def decorator(fn: Callable[..., Awaitable[T]]) -> Callable[..., Awaitable[T]]:
        async def guarded(*args: Any, **kwargs: Any) -> T:
            cm = calling()
            cm.__enter__()
            try:
                result = await fn(*args, **kwargs)
            except Exception as exc:
                # counted; the breaker may raise its own error in its place when this trips it
                if not cm.__exit__(type(exc), exc, exc.__traceback__):
                    raise
                raise  # pragma: no cover - calling() never suppresses
            except BaseException:
                try:
                    _leave_uncounted(breaker, cm)
                except Exception as err:  # the exception in flight matters more than the bookkeeping
                    sys.unraisablehook(_Unraisable(err, _leave_uncounted))  # type: ignore[arg-type]
                raise
            cm.__exit__(None, None, None)
            return result

        return guarded

    return decorator


class _Unraisable:
    """The argument sys.unraisablehook expects."""

    def __init__(self, exc: BaseException, obj: object) -> None:
        self.exc_type = type(exc)
        self.exc_value = exc
        self.exc_traceback = exc.__traceback__
        self.err_msg = "Exception ignored while leaving a circuit breaker"
        self.object = obj
