"""Action catalogue and call path: client-safe schemas, markers, scope decisions, settings."""

from __future__ import annotations

import logging
import subprocess
import sys
from pathlib import Path
from typing import Annotated, Literal, Optional, Union

import pytest
from jsonschema import Draft202012Validator
from pydantic import BaseModel, Field

import otel_sdk
from redis_server import redis_server  # noqa: F401 - fixture
from test_serve_rest import PKG_PATH, AcmeConnector, Out, Probe, _in, _walk

from quellon_runtime.caller_profile import CallerProfile
from quellon_runtime.connector_base import ConnectorBase, ql_action
from quellon_runtime.policies.mcp_scope_gate import action_allowed_for_identity_scopes
from quellon_runtime.serve import CallPath, Catalogue, ServeSettings, require, tool_schema

ROOT = Path(__file__).resolve().parents[1]


class Card(BaseModel):
    kind: Literal["card"] = "card"
    number: str = Field(description="card number")


class Bank(BaseModel):
    kind: Literal["bank"] = "bank"
    iban: str


class Address(BaseModel):
    city: str


class Pay(BaseModel):
    action: Literal["pay.create"] = "pay.create"
    method: Annotated[Union[Card, Bank], Field(discriminator="kind")]
    billing: Address = Field(description="where the bill goes")
    alt: Optional[list[Annotated[Union[Card, Bank], Field(discriminator="kind")]]] = None


class Node(BaseModel):
    name: str
    children: list["Node"] = []


@pytest.mark.parametrize("model,sample", [
    (Pay, {"method": {"kind": "bank", "iban": "DE00"}, "billing": {"city": "Ulm"}, "alt": [{"kind": "card", "number": "4"}]}),
    (Node, {"name": "a", "children": [{"name": "b"}]}),
    *[(m.input_model, {}) for m in AcmeConnector.ql_action_metas().values()],
])
def test_schemas_are_client_safe(model, sample):
    schema = tool_schema(model)
    Draft202012Validator.check_schema(schema)
    assert schema["type"] == "object" and not {"anyOf", "oneOf", "allOf", "$ref"} & set(schema)
    assert "action" not in schema["properties"]
    assert all(len(n) == 1 for n in _walk(schema) if "$ref" in n)
    if sample:
        model.model_validate(sample)
        Draft202012Validator(schema).validate(sample)


def _twin(**markers):
    class Twin(ConnectorBase):
        connector_id = "twin"
        output_model = Out

        @ql_action("orders.get", **markers)
        async def get(self, p: _in("orders.get"), *, trace_id: str) -> Out:
            return Out()

    return Twin()


def test_catalogue_names_and_order():
    cat = Catalogue({"twin": _twin(), "acme": AcmeConnector()})
    names = [e.name for e in cat.entries]
    assert names == ["orders.create", "acme.orders.get", "orders.summary", "vendor.ping", "vendor.whoami", "twin.orders.get"]
    assert cat.get("acme.orders.get").scopes == ("orders:read",) and cat.get("orders.get") is None


@pytest.mark.parametrize("markers,message", [
    *[({"throttle": bad}, "throttle must be") for bad in
      ({"max_requests": 0}, {"window_seconds": 5}, {"max_requests": 1, "burst": 2}, {"max_requests": "3"})],
    ({"requires_auth": False, "scopes": ["x"]}, "requires_auth=False"),
])
def test_bad_markers_fail_at_catalogue_build(markers, message):
    with pytest.raises(ValueError, match=message):
        Catalogue({"twin": _twin(**markers)})


def _caller(*scopes):
    return CallerProfile("p", None, tuple(scopes), {}, "jwt")


@pytest.mark.parametrize("held", [(), ("orders:read",), ("mcp:acme.orders.get",), ("*",), ("orders:read", "mcp:acme.orders.get")])
@pytest.mark.parametrize("scope_map,default", [({}, "deny"), ({}, "allow"), ({"acme.orders.get": "orders:read"}, "deny")])
def test_gate_decision_agrees_with_the_scope_policy(held, scope_map, default):
    cp = CallPath({"acme": AcmeConnector()}, ServeSettings(scope_map=scope_map, scope_default=default))
    visible = {e.name for e in cp.visible_tools(_caller(*held))}
    policy = action_allowed_for_identity_scopes(connector_id="acme", action="orders.get", principal="p", tenant_id=None,
                                                scopes=held, action_scope_map=scope_map, default_mode=default)
    assert ("orders.get" in visible) == (policy and ("*" in held or "orders:read" in held))


async def test_markers_on_the_mcp_path(caplog):
    cp = CallPath({"probe": Probe()}, ServeSettings(scope_gate=False))
    me = _caller()
    calls = [("probe.fuzzy", {"who": "ann"}, "mcp"), ("probe.fuzzy", {"who": "ann"}, "rest"), ("probe.fuzzy", {"user_name": "bo"}, "rest"),
             ("probe.fuzzy", {"who": 3}, "mcp"), ("probe.old", {}, "mcp"), ("probe.old", {}, "rest")]
    with caplog.at_level(logging.WARNING, "runtime.serve"):
        outs = [await cp.call(t, a, protocol=p, caller=me) for t, a, p in calls]
    assert [o.kind for o in outs] == ["ok", "validation", "ok", "validation", "ok", "ok"]
    assert outs[0].body["data"]["note"] == "ANN" and outs[2].body["data"]["note"] == "bo"
    assert [o.deprecated for o in outs[4:]] == [True, True]
    assert [r.getMessage() for r in caplog.records].count("Deprecated action called: probe.probe.old") == 1


async def test_rejections_are_counted():
    cp = CallPath({"probe": Probe()}, ServeSettings(scope_gate=False))
    for auth in (None, "Bearer nope", "Token x"):
        await cp.call("probe.old", {}, authorization=auth, protocol="mcp")
    data = otel_sdk.METRICS.get_metrics_data().resource_metrics
    points = [(dict(p.attributes)["reason"], p.value) for rm in data for sm in rm.scope_metrics for m in sm.metrics
              if m.name == "connector.rejections" for p in m.data.data_points if dict(p.attributes).get("protocol") == "mcp"]
    assert {r for r, v in points if v >= 1} >= {"missing_credential", "not_configured", "malformed_credential"}


async def test_action_throttle_is_shared_by_replicas_on_redis(redis_server, monkeypatch):  # noqa: F811
    monkeypatch.setenv("QL_THROTTLE_BACKEND", "redis")
    monkeypatch.setenv("QL_THROTTLE_REDIS_URL", redis_server.url)
    a, b = (CallPath({"probe": Probe()}, ServeSettings(scope_gate=False)) for _ in range(2))
    kinds = [(await cp.call("probe.limited", {}, protocol="rest", caller=_caller())).kind for cp in (a, b, a)]
    assert kinds == ["ok", "ok", "throttled"]


@pytest.mark.parametrize("env,message", [
    ({"QL_SERVE_PORT": "eighty"}, "QL_SERVE_PORT must be an integer"),
    ({"QL_SERVE_HOST": "example.com"}, "QL_SERVE_HOST must be an IP address"),
    ({"QL_SERVE_API_KEY": "short-secret"}, "QL_SERVE_API_KEY must be at least 16 characters"),
    ({"QL_SERVE_PROTOCOLS": "grpc"}, "QL_SERVE_PROTOCOLS must list mcp and/or rest"),
    ({"QL_SERVE_SCOPE_GATE": "maybe"}, "QL_SERVE_SCOPE_GATE must be one of"),
    ({"QL_SERVE_DRAIN_SECONDS": "nan"}, "QL_SERVE_DRAIN_SECONDS must be between"),
    ({"QL_SERVE_RESOURCE_URL": "https://rs.example/mcp"}, "QL_SERVE_RESOURCE_URL must be scheme://host"),
])
def test_settings_are_checked_when_read(env, message):
    with pytest.raises(ValueError, match=message) as err:
        ServeSettings.from_env(env)
    assert all(v not in str(err.value) for v in env.values())


def test_core_imports_without_the_extra():
    blocked = "import sys; [sys.modules.__setitem__(m, None) for m in ('mcp', 'starlette', 'uvicorn')]; "
    code = blocked + "import quellon_runtime.serve.callpath, quellon_runtime.serve as s; s.require('uvicorn')"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env={"PYTHONPATH": PKG_PATH})
    assert 'pip install "quellon-runtime[serve]"' in run.stderr and "callpath.py" not in run.stderr
    with pytest.raises(ImportError, match=r"quellon-runtime\[serve\]"):
        require("quellon_runtime_no_such_module")
