"""Circuit-breaker wrapping of asynchronous action calls."""

from __future__ import annotations

import contextlib
import sys
from typing import Any, Awaitable, Callable, ContextManager, Optional, TypeVar

import pybreaker

from .errors import ErrorMapper
from .models import ErrorCategory

__all__ = ["with_resilience"]

T = TypeVar("T")


# Failures on the caller's side of the call: the vendor answered, so they say nothing of its health.
_CALLER_SIDE = frozenset({ErrorCategory.AUTH, ErrorCategory.BUSINESS, ErrorCategory.VALIDATION, ErrorCategory.NOT_FOUND})


def _counts_as_failure(exc: BaseException, connector_id: Optional[str]) -> bool:
    """Whether an exception out of an action is a failure its breaker counts: an ``Exception``
    that is neither a nested call's failure (the nested call's own breaker counted it) nor one
    that the error mapping puts on the caller's side. Anyone can send a lookup that is not found;
    that must not open the tenant's breaker for every other caller."""
    if not isinstance(exc, Exception):
        return False
    from .connector_base import NestedConnectorActionError  # the native module imports this one

    if isinstance(exc, NestedConnectorActionError):
        return False
    return ErrorMapper.resolve(exc, connector_id=connector_id).category not in _CALLER_SIDE


def _leave_uncounted(breaker: pybreaker.CircuitBreaker, cm: ContextManager[Any]) -> None:
    """Leave ``breaker.calling()`` for an exit that is not a failure of the vendor (cancellation,
    a caller-side error, a nested call's failure), leaving the breaker as it was.

    pybreaker knows only two outcomes: a failure, or a success (its excluded exceptions are counted
    as successes too). So the context is left as a success, and what that changed is put back:
    the state (a half-open trial stays a trial, an open breaker stays open) and the count of
    consecutive failures (a nested call on the same breaker may just have added to it). Listeners
    still hear of a success.
    """
    before = breaker.current_state
    failures = breaker.fail_counter
    cm.__exit__(None, None, None)
    if breaker.current_state != before:
        if before == pybreaker.STATE_HALF_OPEN:
            breaker.half_open()
        elif before == pybreaker.STATE_OPEN:
            breaker.open()
    increment = getattr(breaker, "_inc_counter", None)  # pybreaker's own step; absent, the count stays reset
    if increment is not None:
        for _ in range(failures - breaker.fail_counter):
            increment()


@contextlib.contextmanager
def _resumed(state: Any) -> Any:
    """``breaker.calling()`` as it stands once entered through ``state`` (the breaker's state object
    then): leaving it is that state's own handling of the outcome, as leaving ``calling()`` is. For
    a call entered without ``calling()`` while entering had nothing to do."""

    def _wrapper() -> Any:
        yield

    yield from state.generator_call(_wrapper())


def with_resilience(
    breaker: pybreaker.CircuitBreaker,
    *,
    connector_id: Optional[str] = None,
    action: Optional[str] = None,
) -> Callable[[Callable[..., Awaitable[T]]], Callable[..., Awaitable[T]]]:
    """Decorator that runs an async function under ``breaker``.

    A failure of the vendor is counted and re-raised; once the breaker is
    open, calls are refused with ``pybreaker.CircuitBreakerError`` without
    running the function. Other exits pass through unchanged and are not
    counted: cancellation, ``KeyboardInterrupt``, ``SystemExit`` and
    ``GeneratorExit``; an exception that the error mapping of ``connector_id``
    resolves to a caller-side category (auth, business, validation, not found);
    a nested call's failure, which the nested call's own breaker counted.
    ``action`` identifies the call site; the breaker itself is already per
    connector instance and tenant.

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
            except BaseException as exc:
                if _counts_as_failure(exc, connector_id):
                    # the breaker may raise its own error in its place when this trips it
                    if not cm.__exit__(type(exc), exc, exc.__traceback__):
                        raise
                    raise  # pragma: no cover - calling() never suppresses
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
