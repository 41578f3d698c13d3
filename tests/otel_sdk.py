"""OpenTelemetry SDK for the test process, exporting to memory.

The global tracer and meter providers can be set only once per process. The connector module
asks for its tracer and meter at import; when no SDK provider is set yet, those are the API's
proxies, which forward to a provider set later. So this module may be imported before or after
the connector module; it installs the SDK providers once, or attaches to SDK providers that
another test module installed first.

Other tests share the process-wide providers, so readers filter by connector id.
"""

from __future__ import annotations

from opentelemetry import metrics, trace
from opentelemetry.sdk.metrics import MeterProvider
from opentelemetry.sdk.metrics.export import InMemoryMetricReader
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

SPANS = InMemorySpanExporter()
METRICS = InMemoryMetricReader()


def _install() -> None:
    tracer_provider = trace.get_tracer_provider()
    if not isinstance(tracer_provider, TracerProvider):
        tracer_provider = TracerProvider()
        trace.set_tracer_provider(tracer_provider)
    tracer_provider.add_span_processor(SimpleSpanProcessor(SPANS))

    meter_provider = metrics.get_meter_provider()
    if isinstance(meter_provider, MeterProvider):
        meter_provider.add_metric_reader(METRICS)
    else:
        metrics.set_meter_provider(MeterProvider(metric_readers=[METRICS]))


_install()


def spans_of(connector_id: str) -> list:
    """Finished "connector.run" spans of one connector, in the order they ended."""
    return [
        s for s in SPANS.get_finished_spans()
        if s.name == "connector.run" and s.attributes.get("connector.id") == connector_id
    ]


def metric_points(connector_id: str) -> dict:
    """{instrument name: [(attributes, point)]} for the data points of one connector.

    Cumulative temporality: a point holds everything recorded since the start of the process.
    """
    found: dict = {}
    data = METRICS.get_metrics_data()
    if data is None:
        return found
    for rm in data.resource_metrics:
        for sm in rm.scope_metrics:
            for metric in sm.metrics:
                for point in metric.data.data_points:
                    attrs = dict(point.attributes)
                    if attrs.get("connector.id") == connector_id:
                        found.setdefault(metric.name, []).append((attrs, point))
    return found


def instrument_of(name: str):
    """(scope name, unit, description) of an instrument that has recorded something."""
    data = METRICS.get_metrics_data()
    for rm in data.resource_metrics:
        for sm in rm.scope_metrics:
            for metric in sm.metrics:
                if metric.name == name:
                    return sm.scope.name, metric.unit, metric.description
    return None
