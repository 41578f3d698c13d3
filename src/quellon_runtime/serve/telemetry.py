"""MCP server telemetry on the runtime's tracer and meter, named after the MCP semantic conventions.

One SERVER span per request (``tools/call <tool>``, ``tools/list``) that parents the pipeline's
"connector.run" span, continues the trace context a client put in ``params._meta``, and one
"mcp.server.operation.duration" histogram in seconds. With no SDK installed the API's proxies
record nothing, so the whole thing is skipped after one check per request.
"""

from __future__ import annotations

import os
import time
from typing import Any, Awaitable, Callable, Mapping, Optional, TypeVar

from opentelemetry import metrics, trace
from opentelemetry.propagate import extract
from opentelemetry.trace import ProxyTracerProvider, SpanKind, StatusCode

try:
    from opentelemetry.metrics import _internal as _metrics_internal
    from opentelemetry.metrics._internal import _ProxyMeterProvider
except ImportError:  # a later API without these: the public check, and always record
    _metrics_internal = None  # type: ignore[assignment]
    _ProxyMeterProvider = ()  # type: ignore[assignment,misc]

__all__ = ["active", "observe"]

T = TypeVar("T")

_tracer = trace.get_tracer("runtime")
_duration = metrics.get_meter("runtime").create_histogram(
    "mcp.server.operation.duration",
    unit="s",
    description="Duration of MCP requests as the server handled them",
)
_get_tracer_provider = trace.get_tracer_provider
_get_meter_provider = metrics.get_meter_provider
_perf = time.perf_counter
_TRACE_KEYS = ("traceparent", "tracestate", "baggage")


def _active_public() -> bool:
    return not isinstance(_get_tracer_provider(), ProxyTracerProvider) or not isinstance(
        _get_meter_provider(), _ProxyMeterProvider
    )


# The API's getters look the environment up on every call until a provider is set; the globals they
# read say the same for less. Only when those globals exist and no provider is named in the
# environment (which the getters would load lazily).
_SHORTCUT = (
    _metrics_internal is not None
    and hasattr(trace, "_TRACER_PROVIDER")
    and hasattr(_metrics_internal, "_METER_PROVIDER")
    and "OTEL_PYTHON_TRACER_PROVIDER" not in os.environ
    and "OTEL_PYTHON_METER_PROVIDER" not in os.environ
)


def active() -> bool:
    """Whether a tracer or meter provider is installed (checked per request: one may come later)."""
    if _SHORTCUT:
        return trace._TRACER_PROVIDER is not None or _metrics_internal._METER_PROVIDER is not None
    return _active_public()


def _parent(meta: Any) -> Any:
    """Trace context from ``params._meta``; None (the ambient context) when it carries none that is valid."""
    if not isinstance(meta, Mapping) or "traceparent" not in meta:
        return None
    carrier = {k: meta[k] for k in _TRACE_KEYS if isinstance(meta.get(k), str)}
    try:
        ctx = extract(carrier)
    except (ValueError, TypeError):
        return None
    return ctx if trace.get_current_span(ctx).get_span_context().is_valid else None


async def observe(
    method: str,
    tool: Optional[str],
    version: str,
    meta: Any,
    work: Awaitable[T],
    error_of: Callable[[T], Optional[str]],
) -> T:
    """Await ``work`` inside the request's SERVER span; ``error_of(result)`` names a failure for error.type."""
    attrs: dict[str, Any] = {"mcp.method.name": method, "mcp.protocol.version": version}
    if tool is not None:
        attrs["gen_ai.operation.name"] = "execute_tool"
        attrs["gen_ai.tool.name"] = tool
    name = f"{method} {tool}" if tool is not None else method
    start = _perf()
    error: Optional[str] = None
    with _tracer.start_as_current_span(
        name, kind=SpanKind.SERVER, context=_parent(meta), attributes=attrs,
        record_exception=False, set_status_on_exception=False,
    ) as span:
        try:
            result = await work
        except BaseException as exc:
            error = type(exc).__qualname__
            span.set_attribute("error.type", error)
            span.set_status(StatusCode.ERROR)
            raise
        else:
            error = error_of(result)
            if error is not None:
                span.set_attribute("error.type", error)
                span.set_status(StatusCode.ERROR)
            return result
        finally:
            if error is not None:
                attrs["error.type"] = error
            _duration.record(_perf() - start, attrs)
