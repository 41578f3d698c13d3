"""ConnectorBase.run: envelopes, audit records, span, metrics, caller context, dispatch."""

import otel_sdk  # noqa: I001  (the SDK providers come first)

import asyncio
import itertools
import logging
import os
import re
import uuid
from typing import ClassVar, Literal, Optional

import pybreaker
import pytest
from opentelemetry import trace
from pydantic import BaseModel, Field, RootModel, SecretStr, ValidationError

from quellon_runtime.config_store import ConnectorConfigStore
from quellon_runtime.connector_base import ConnectorBase, _caller_execution_ctx, ql_action
from quellon_runtime.errors import ErrorMapper
from quellon_runtime.identity import TenantMismatchError, effective_run_tenant_id
from quellon_runtime.log_sanitization import get_log_connector_id, reset_log_connector_id, set_log_connector_id
from quellon_runtime.models import ConnectorResponse, ErrorCategory
from quellon_runtime.policy import PolicyDenied, PolicyHook, TenantConfigHook

from log_guard import MARKER, all_records
from pipeline_support import (
    LOGGER, call_records, counted, events, extras, is_rounded_ms, require_survivable_escape,
)

_seq = itertools.count()


@pytest.fixture(autouse=True)
def no_secret_in_any_record():
    """Every record of every logger, at every level, during each test: none may carry MARKER."""
    with all_records() as capture:
        yield capture
    assert capture.leaks() == []


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return lambda: call_records(caplog)


# ---------------------------------------------------------------- connectors under test


class VendorError(Exception):
    pass


class Halt(BaseException):
    """Not an ordinary failure: must pass through the pipeline."""


class EchoIn(BaseModel):
    action: Literal["items.echo"]
    text: str


class FailIn(BaseModel):
    action: Literal["items.fail"]
    kind: str


class OddIn(BaseModel):
    action: Literal["items.odd"]
    returns: str


class WaitIn(BaseModel):
    action: Literal["items.wait"]


class ItemOut(BaseModel):
    text: str


class Seen(BaseModel):
    model_config = {"arbitrary_types_allowed": True}
    params: object
    trace_id: str
    caller: object
    log_connector_id: Optional[str]
    span_name: Optional[str]


def _raise_validation():
    ItemOut.model_validate({})


def _raise_stop():
    raise StopIteration


FAILURES = {
    # kind: (raise it, error_code, category, error_type, message)
    "vendor": (lambda: VendorError("vendor down"), "VENDOR_DOWN", ErrorCategory.UPSTREAM, "VendorError", "vendor down"),
    "value": (lambda: ValueError("bad value"), "INTERNAL_ERROR", ErrorCategory.INTERNAL, "ValueError", "bad value"),
    "key": (lambda: KeyError("k"), "INTERNAL_ERROR", ErrorCategory.INTERNAL, "KeyError", "'k'"),
    "empty": (lambda: RuntimeError(), "INTERNAL_ERROR", ErrorCategory.INTERNAL, "RuntimeError", ""),
    # an exception raised in the body never takes the rows reserved for the hook and the input
    "denied": (lambda: PolicyDenied("inner deny"), "POLICY_DENIED", ErrorCategory.AUTH, "PolicyDenied", "inner deny"),
    "mismatch": (lambda: TenantMismatchError("a", "b"), "TENANT_MISMATCH", ErrorCategory.AUTH, "TenantMismatchError",
                 str(TenantMismatchError("a", "b"))),
}


class Catalog(ConnectorBase):
    _ql_abstract_base = True
    output_model = ItemOut

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.calls = []
        self.started = asyncio.Event()
        self.cancelled_inside = False

    def _note(self, params, trace_id):
        span = trace.get_current_span()
        self.calls.append(Seen(params=params, trace_id=trace_id, caller=_caller_execution_ctx.get(),
                               log_connector_id=get_log_connector_id(),
                               span_name=getattr(span, "name", None)))

    @ql_action("items.echo")
    async def echo(self, params: EchoIn, *, trace_id: str) -> ItemOut:
        self._note(params, trace_id)
        return ItemOut(text=params.text)

    @ql_action("items.fail")
    async def fail(self, params: FailIn, *, trace_id: str) -> ItemOut:
        self._note(params, trace_id)
        if params.kind == "validation":
            _raise_validation()
        if params.kind == "stop":
            _raise_stop()
        if params.kind == "halt":
            raise Halt()
        raise FAILURES[params.kind][0]()

    @ql_action("items.odd")
    async def odd(self, params: OddIn, *, trace_id: str) -> ItemOut:
        self._note(params, trace_id)
        return {"dict": {"text": "x"}, "none": None, "str": "text"}[params.returns]

    @ql_action("items.wait")
    async def wait(self, params: WaitIn, *, trace_id: str) -> ItemOut:
        self._note(params, trace_id)
        self.started.set()
        try:
            await asyncio.Event().wait()
        except asyncio.CancelledError:
            self.cancelled_inside = True
            raise
        return ItemOut(text="never")


def make(base=Catalog, **namespace):
    n = next(_seq)
    namespace.setdefault("connector_id", f"pipe-{base.__name__.lower()}-{n}")
    if base is Catalog:
        namespace.setdefault("error_map", {VendorError: (ErrorCategory.UPSTREAM, "VENDOR_DOWN")})
    return type(f"{base.__name__}{n}", (base,), namespace)


class SoloIn(BaseModel):
    x: int


class SoloOut(BaseModel):
    doubled: int


class Solo(ConnectorBase):
    _ql_abstract_base = True
    output_model = SoloOut

    @ql_action("solo.double")
    async def double(self, params: SoloIn, *, trace_id: str) -> SoloOut:
        return SoloOut(doubled=params.x * 2)


class RecordingHook(PolicyHook):
    def __init__(self, error=None):
        self.error, self.contexts = error, []

    def check(self, context):
        self.contexts.append(context)
        if self.error is not None:
            raise self.error
        return "ignored"


ECHO = {"action": "items.echo", "text": "hi"}


# ---------------------------------------------------------------- success


async def test_success_envelope_records_span_and_metrics(logs):
    cls = make()
    cid = cls.connector_id
    conn = cls(tenant_id="t1", config_name="cfg-a")
    resp = await conn.run(dict(ECHO), principal="alice", tenant_id="t1", scopes=("read", "write"))

    assert isinstance(resp, ConnectorResponse)
    assert resp.success is True and resp.data == {"text": "hi"}
    assert (resp.error_code, resp.error_category, resp.message, resp.details) == (None, None, None, None)
    tid = resp.trace_id
    assert uuid.UUID(tid).version == 4 and str(uuid.UUID(tid)) == tid

    # the action gets the concrete input model, the trace id, the caller triple, the log id and the span
    [seen] = conn.calls
    assert type(seen.params) is EchoIn and seen.params.text == "hi"
    assert seen.trace_id == tid
    assert seen.caller == ("alice", "t1", ("read", "write"))
    assert seen.log_connector_id == cid
    assert seen.span_name == "connector.run"

    recs = logs()
    assert events(recs) == [
        ("INFO", f"Starting connector execution | connector={cid} | action=execute | tenant_id=t1 | config_name=cfg-a"),
        ("DEBUG", "Dispatching action"),
        ("INFO", "Connector execution completed successfully"),
    ]
    start, dispatch, done = recs
    assert start.msg == "Starting connector execution | connector=%s | action=%s | tenant_id=%s | config_name=%s"
    assert start.args == (cid, "execute", "t1", "cfg-a")
    assert extras(start) == {
        "trace_id": tid, "connector_id": cid, "config_name": "cfg-a", "action": "execute", "principal": "alice",
        "scopes": ["read", "write"], "audit": True, "audit_event": "invocation_start", "tenant_id": "t1",
    }
    assert extras(dispatch) == {"connector_id": cid, "action": "items.echo", "trace_id": tid}
    done_extra = extras(done)
    assert is_rounded_ms(done_extra.pop("duration_ms"))
    assert done_extra == {"trace_id": tid, "connector_id": cid, "action": "execute", "audit": True,
                          "audit_event": "invocation_success"}

    [span] = otel_sdk.spans_of(cid)
    assert span.instrumentation_scope.name == "runtime"
    assert dict(span.attributes) == {
        "connector.id": cid, "connector.action": "execute", "config.name": "cfg-a", "tenant.id": "t1",
        "principal.id": "alice", "trace.id": tid,
    }
    assert span.end_time is not None

    assert counted(cid) == {(True, "none"): (1, 1)}
    assert otel_sdk.instrument_of("connector.invocations") == ("runtime", "1", "Total number of connector invocations")
    assert otel_sdk.instrument_of("connector.duration_ms") == (
        "runtime", "ms", "Connector invocation wall-clock time in milliseconds")


async def test_missing_tenant_and_config_name_show_placeholders(logs):
    cls = make()
    cid = cls.connector_id
    resp = await cls(config_name="").run(dict(ECHO), tenant_id="")
    assert resp.success

    start = logs()[0]
    assert start.getMessage() == (
        f"Starting connector execution | connector={cid} | action=execute | tenant_id=(none) | config_name=(default)")
    extra = extras(start)
    assert extra["tenant_id"] == "" and extra["config_name"] == ""
    assert extra["principal"] is None and extra["scopes"] == []

    resp = await cls().run(dict(ECHO))
    start = logs()[3]
    assert "tenant_id=(none) | config_name=(default)" in start.getMessage()
    assert extras(start)["config_name"] is None and extras(start)["tenant_id"] == ""

    for span in otel_sdk.spans_of(cid):
        assert span.attributes["tenant.id"] == "" and span.attributes["config.name"] == ""
        assert span.attributes["principal.id"] == ""


async def test_pinned_tenant_is_the_effective_tenant_everywhere(logs):
    cls = make()
    hook = RecordingHook()
    conn = cls(tenant_id="pinned", policy_hook=hook)
    resp = await conn.run(dict(ECHO), principal="p", scopes=())
    assert resp.success
    assert conn.calls[0].caller == ("p", "pinned", ())
    assert hook.contexts[0].tenant_id == "pinned"
    assert extras(logs()[0])["tenant_id"] == "pinned"
    assert otel_sdk.spans_of(cls.connector_id)[0].attributes["tenant.id"] == "pinned"
    # calls for the pinned tenant share one breaker, kept under that tenant
    assert list(conn._breakers) == ["pinned"]


@pytest.mark.parametrize("pinned, caller", [
    (None, None), (None, ""), (None, "t"), ("", "t"), ("p", None), ("p", ""), ("p", "p"), ("p", "q")])
async def test_the_effective_tenant_follows_the_identity_rule(pinned, caller):
    conn = make()(tenant_id=pinned)
    resp = await conn.run(dict(ECHO), tenant_id=caller)
    effective, mismatch = effective_run_tenant_id(pinned=pinned, caller=caller)
    assert resp.success is (mismatch is None)
    assert [seen.caller[1] for seen in conn.calls] == ([effective] if mismatch is None else [])


async def test_class_action_label_reaches_logs_span_metrics_and_policy(logs):
    cls = make(action="catalog.any")
    cid = cls.connector_id
    hook = RecordingHook()
    ok = await cls(policy_hook=hook).run(dict(ECHO))
    bad = await cls(policy_hook=hook).run({"action": "items.fail", "kind": "value"})
    assert ok.success and not bad.success
    # the dumped payload carries its own action, which the policy context prefers
    assert [c.action for c in hook.contexts] == ["items.echo", "items.fail"]
    for rec in logs():
        if "action" in extras(rec) and rec.getMessage() != "Dispatching action":
            assert extras(rec)["action"] == "catalog.any"
    assert {s.attributes["connector.action"] for s in otel_sdk.spans_of(cid)} == {"catalog.any"}
    for name in ("connector.invocations", "connector.duration_ms"):
        assert {a["connector.action"] for a, _ in otel_sdk.metric_points(cid)[name]} == {"catalog.any"}


async def test_single_action_input_without_discriminator_dispatches_to_its_action(logs):
    cls = make(Solo)
    hook = RecordingHook()
    resp = await cls(policy_hook=hook).run({"x": 21})
    assert resp.success and resp.data == {"doubled": 42}
    # no "action" in the dump: the policy action is the instance's label
    assert hook.contexts[0].action == "execute"
    assert hook.contexts[0].input_payload == {"x": 21}
    assert extras(logs()[1])["action"] == "solo.double"

    labelled = make(Solo, action="solo.label")
    hook = RecordingHook()
    assert (await labelled(policy_hook=hook).run({"x": 1})).success
    assert hook.contexts[0].action == "solo.label"


# ---------------------------------------------------------------- refused arguments


@pytest.mark.parametrize("kwargs, names", [
    ({"raw_input": [("action", "items.echo")]}, "raw_input"),
    ({"raw_input": None}, "raw_input"),
    ({"raw_input": ECHO, "scopes": ["read"]}, "scopes"),
    ({"raw_input": ECHO, "scopes": "read"}, "scopes"),
    ({"raw_input": ECHO, "principal": 7}, "principal"),
    ({"raw_input": ECHO, "tenant_id": b"t1"}, "tenant_id"),
])
@pytest.mark.parametrize("entry", ["run", "_run_with_log_connector_id"])
async def test_bad_arguments_are_type_errors_before_anything_happens(logs, kwargs, names, entry):
    cls = make()
    conn = cls()
    before = get_log_connector_id()
    with pytest.raises(TypeError, match=names):
        await getattr(conn, entry)(**kwargs)
    assert logs() == []
    assert conn.calls == [] and len(conn._breakers) == 0
    assert otel_sdk.spans_of(cls.connector_id) == [] and counted(cls.connector_id) == {}
    assert get_log_connector_id() == before and _caller_execution_ctx.get() is None


# ---------------------------------------------------------------- failure rows


async def test_tenant_mismatch_leaves_before_span_metrics_breaker_and_action(logs):
    cls = make()
    cid = cls.connector_id
    hook = RecordingHook()
    conn = cls(tenant_id="tenant-a", config_name="cfg", policy_hook=hook)
    resp = await conn.run(dict(ECHO), principal="p", tenant_id="tenant-b", scopes=("s",))

    expected = TenantMismatchError("tenant-a", "tenant-b")
    assert resp.success is False
    assert (resp.error_code, resp.error_category) == ("TENANT_MISMATCH", ErrorCategory.AUTH)
    assert resp.message == str(expected)
    assert resp.data is None and resp.details is None

    [rec] = logs()
    assert (rec.levelname, rec.getMessage()) == ("WARNING", "AUDIT: Tenant mismatch on factory instance")
    assert extras(rec) == {
        "trace_id": resp.trace_id, "connector_id": cid, "config_name": "cfg", "pinned_tenant_id": "tenant-a",
        "requested_tenant_id": "tenant-b", "audit": True, "audit_event": "tenant_mismatch",
    }
    assert conn.calls == [] and hook.contexts == [] and len(conn._breakers) == 0
    assert otel_sdk.spans_of(cid) == []
    assert counted(cid) == {}

    # without a configuration name the record carries an empty string
    await cls(tenant_id="tenant-a").run(dict(ECHO), tenant_id="tenant-c")
    assert extras(logs()[-1])["config_name"] == ""


def without_input(text: str) -> str:
    """pydantic's text of a ValidationError less the input value and type of each error, an unknown
    discriminator tag, and the URL."""
    text = re.sub(r", input_value=.*?, input_type=\w+\]", "]", text)
    text = re.sub(r"Input tag .* found using ", "Input tag found using ", text)
    return re.sub(r"\n    For further information visit \S+", "", text)


@pytest.mark.parametrize("payload", [
    {"text": "no action"},
    {"action": "items.unknown"},
    {"action": "items.echo", "text": 5},
    {"action": "items.echo"},
])
async def test_validation_failure_envelope_with_per_error_details(logs, payload):
    cls = make()
    cid = cls.connector_id
    hook = RecordingHook()
    conn = cls(policy_hook=hook)
    resp = await conn.run(payload)

    with pytest.raises(ValidationError) as err:
        cls._union_input_model.model_validate(payload)
    expected_details = [{"loc": e["loc"], "msg": e["msg"], "type": e["type"]} for e in err.value.errors()]

    assert resp.success is False
    assert (resp.error_code, resp.error_category) == ("VALIDATION_ERROR", ErrorCategory.BUSINESS)
    assert resp.message == "Input validation failed; please check the request payload."
    assert resp.details == expected_details and resp.details
    assert all(set(d) == {"loc", "msg", "type"} for d in resp.details)

    start, failed = logs()
    assert (failed.levelname, failed.getMessage()) == ("ERROR", "Input validation failed")
    assert extras(failed) == {
        "trace_id": resp.trace_id, "connector_id": cid, "action": "execute", "error_type": "ValidationError",
        "error_message": without_input(str(err.value)), "audit": True,
        "audit_event": "invocation_validation_failure",
    }
    assert extras(start)["trace_id"] == resp.trace_id
    assert conn.calls == [] and hook.contexts == [] and len(conn._breakers) == 0
    assert len(otel_sdk.spans_of(cid)) == 1
    assert counted(cid) == {(False, "business"): (1, 1)}


async def test_policy_context_carries_the_dumped_payload_and_identity():
    cls = make()
    hook = RecordingHook()
    scopes = ("a", "b")
    resp = await cls(policy_hook=hook).run({"action": "items.echo", "text": "hi", "extra": "dropped"},
                                           principal="p1", tenant_id="t1", scopes=scopes)
    assert resp.success
    [ctx] = hook.contexts
    assert ctx.connector_id == cls.connector_id
    assert ctx.action == "items.echo"
    assert ctx.input_payload == {"action": "items.echo", "text": "hi"}
    assert (ctx.principal, ctx.tenant_id, ctx.scopes) == ("p1", "t1", scopes)


async def test_policy_denial_never_reaches_the_action_nor_a_breaker(logs):
    cls = make()
    cid = cls.connector_id
    conn = cls(policy_hook=RecordingHook(PolicyDenied("not for you")))
    resp = await conn.run(dict(ECHO), principal="mallory", tenant_id="t9", scopes=("x",))

    assert resp.success is False
    assert (resp.error_code, resp.error_category, resp.message) == ("POLICY_DENIED", ErrorCategory.AUTH, "not for you")
    assert resp.details is None
    assert conn.calls == [] and len(conn._breakers) == 0

    start, denied = logs()
    assert (denied.levelname, denied.getMessage()) == ("WARNING", "AUDIT: Execution blocked by policy hook")
    assert extras(denied) == {
        "trace_id": resp.trace_id, "connector_id": cid, "action": "execute", "error_type": "PolicyDenied",
        "error_message": "not for you", "audit": True, "audit_event": "policy_denial", "tenant_id": "t9",
        "principal": "mallory",
    }
    assert len(otel_sdk.spans_of(cid)) == 1
    assert counted(cid) == {(False, "auth"): (1, 1)}

    # principal and tenant are logged as they are, absent ones as None
    await conn.run(dict(ECHO))
    assert extras(logs()[-1])["tenant_id"] is None and extras(logs()[-1])["principal"] is None


async def test_tenant_config_hook_allows_configured_tenants_only():
    cls = make()
    cid = cls.connector_id
    store = ConnectorConfigStore()
    store.put("t1", cid, {"region": "eu"})
    hook = TenantConfigHook(store)

    assert (await cls(policy_hook=hook).run(dict(ECHO), tenant_id="t1")).success
    assert (await cls(tenant_id="t1", policy_hook=hook).run(dict(ECHO))).success

    other = await cls(policy_hook=hook).run(dict(ECHO), tenant_id="t2")
    assert (other.error_code, other.message) == ("POLICY_DENIED", f"no config for tenant 't2' / connector '{cid}'")
    nobody = await cls(policy_hook=hook).run(dict(ECHO))
    assert nobody.message == f"no config for tenant '__default__' / connector '{cid}'"

    store.put("__default__", cid, {})
    assert (await cls(policy_hook=hook).run(dict(ECHO))).success


async def test_hook_error_other_than_denial_is_a_general_failure(logs):
    cls = make()
    conn = cls(policy_hook=RecordingHook(RuntimeError("hook broke")))
    resp = await conn.run(dict(ECHO))
    assert (resp.success, resp.error_code, resp.error_category, resp.message) == (
        False, "INTERNAL_ERROR", ErrorCategory.INTERNAL, "hook broke")
    assert events(logs()) == [("INFO", logs()[0].getMessage()), ("ERROR", "Connector execution failed")]
    assert extras(logs()[1])["error_type"] == "RuntimeError"
    assert conn.calls == [] and len(conn._breakers) == 0


@pytest.mark.parametrize("kind", sorted(FAILURES))
async def test_action_exception_becomes_a_mapped_failure_envelope(logs, kind):
    _, code, category, error_type, message = FAILURES[kind]
    cls = make()
    cid = cls.connector_id
    conn = cls()
    resp = await conn.run({"action": "items.fail", "kind": kind}, principal="p", tenant_id="t")

    assert resp.success is False
    assert (resp.error_code, resp.error_category, resp.message) == (code, category, message)
    assert resp.data is None and resp.details is None
    assert resp.trace_id == conn.calls[0].trace_id

    recs = logs()
    assert events(recs)[1:] == [("DEBUG", "Dispatching action"), ("ERROR", "Connector execution failed")]
    extra = extras(recs[-1])
    assert is_rounded_ms(extra.pop("duration_ms"))
    assert extra == {
        "trace_id": resp.trace_id, "connector_id": cid, "action": "execute", "error_code": code,
        "error_category": category.value, "error_type": error_type, "error_message": message, "audit": True,
        "audit_event": "invocation_failure",
    }
    assert len(otel_sdk.spans_of(cid)) == 1
    assert counted(cid) == {(False, category.value): (1, 1)}


async def test_validation_error_raised_by_the_action_is_not_an_input_failure(logs):
    cls = make()
    resp = await cls().run({"action": "items.fail", "kind": "validation"})
    assert (resp.error_code, resp.error_category) == ("INTERNAL_ERROR", ErrorCategory.INTERNAL)
    assert resp.details is None
    assert extras(logs()[-1])["error_type"] == "ValidationError"
    assert logs()[-1].getMessage() == "Connector execution failed"


async def test_stop_iteration_from_an_action_is_an_ordinary_failure(logs):
    cls = make()
    resp = await cls().run({"action": "items.fail", "kind": "stop"})
    assert resp.success is False and resp.error_code == "INTERNAL_ERROR"
    assert extras(logs()[-1])["error_type"] == "RuntimeError"


@pytest.mark.parametrize("returns", ["dict", "none", "str"])
async def test_result_without_model_dump_logs_success_then_failure(logs, returns):
    cls = make()
    cid = cls.connector_id
    resp = await cls().run({"action": "items.odd", "returns": returns})
    assert resp.success is False
    assert (resp.error_code, resp.error_category) == ("INTERNAL_ERROR", ErrorCategory.INTERNAL)
    assert "model_dump" in resp.message
    assert [m for _, m in events(logs())] == [
        logs()[0].getMessage(), "Dispatching action", "Connector execution completed successfully",
        "Connector execution failed",
    ]
    failed = extras(logs()[-1])
    assert failed["error_type"] == "AttributeError" and failed["error_message"] == resp.message
    assert failed["trace_id"] == resp.trace_id
    # one envelope, counted once, as a failure
    assert counted(cid) == {(False, "internal"): (1, 1)}


async def test_failing_action_opens_its_tenant_breaker_and_every_call_still_gets_an_envelope(logs):
    cls = make()
    cid = cls.connector_id
    conn = cls()
    fail = {"action": "items.fail", "kind": "vendor"}
    responses = [await conn.run(dict(fail)) for _ in range(8)]

    assert all(isinstance(r, ConnectorResponse) and r.success is False for r in responses)
    # five failures reach the action; after that the open breaker refuses without calling it
    assert len(conn.calls) == 5
    assert conn._breaker_for_tenant(None).current_state == pybreaker.STATE_OPEN
    assert [r.error_code for r in responses[:4]] == ["VENDOR_DOWN"] * 4
    failures = [r for r in logs() if r.getMessage() == "Connector execution failed"]
    assert len(failures) == 8
    assert [extras(r)["error_type"] for r in failures[4:]] == ["CircuitBreakerError"] * 4
    refused = ErrorMapper.resolve(pybreaker.CircuitBreakerError("x"), connector_id=cid)
    assert {(r.error_code, r.error_category) for r in responses[4:]} == {(refused.code, refused.category)}
    assert sum(v[0] for v in counted(cid).values()) == 8

    # the breaker is per tenant: another tenant of the same instance still reaches the action
    ok = await conn.run(dict(ECHO), tenant_id="other")
    assert ok.success and len(conn.calls) == 6
    # None and "" share the default breaker
    assert (await conn.run(dict(ECHO), tenant_id="")).success is False


async def test_dispatch_error_for_an_unregistered_action_value_is_a_general_failure():
    class MislabeledIn(BaseModel):
        action: Literal["labels.other"]

    class Mislabeled(ConnectorBase):
        connector_id = f"pipe-mislabeled-{next(_seq)}"
        output_model = ItemOut

        @ql_action("labels.real")
        async def real(self, params: MislabeledIn, *, trace_id: str) -> ItemOut:
            return ItemOut(text="unreachable")

    resp = await Mislabeled().run({"action": "labels.other"})
    assert (resp.success, resp.error_code) == (False, "INTERNAL_ERROR")
    assert resp.message == (
        f"Connector {Mislabeled.connector_id!r} has no registered action 'labels.other'. Available: ['labels.real']")


async def test_base_exception_from_the_action_propagates_uncounted(logs):
    require_survivable_escape("halt")
    cls = make()
    cid = cls.connector_id
    conn = cls()
    token = _caller_execution_ctx.set(("outer", None, None))
    try:
        with pytest.raises(Halt):
            await conn.run({"action": "items.fail", "kind": "halt"})
        assert _caller_execution_ctx.get() == ("outer", None, None)
    finally:
        _caller_execution_ctx.reset(token)
    assert get_log_connector_id() is None
    assert [m for _, m in events(logs())][1:] == ["Dispatching action"]
    assert counted(cid) == {}
    assert len(otel_sdk.spans_of(cid)) == 1


class Unprintable(Exception):
    def __str__(self):
        raise LookupError("no text")


class Nameless(type):
    """A class whose name cannot be read: reporting its failure fails."""

    @property
    def __name__(cls):
        raise LookupError("no text")


class Unreportable(Exception, metaclass=Nameless):
    pass


async def test_failure_while_reporting_a_failure_propagates_after_restoring_context():
    require_survivable_escape("unprintable")

    class UnprintableIn(BaseModel):
        action: Literal["items.unprintable"]

    class Broken(Catalog):
        connector_id = f"pipe-broken-{next(_seq)}"

        @ql_action("items.unprintable")
        async def unprintable(self, params: UnprintableIn, *, trace_id: str) -> ItemOut:
            raise Unreportable()

    token = _caller_execution_ctx.set(("outer", None, None))
    try:
        with pytest.raises(LookupError, match="no text"):
            await Broken().run({"action": "items.unprintable"})
        assert _caller_execution_ctx.get() == ("outer", None, None)
    finally:
        _caller_execution_ctx.reset(token)
    assert get_log_connector_id() is None
    assert counted(Broken.connector_id) == {}


# ---------------------------------------------------------------- context restoration


@pytest.mark.parametrize("payload, kwargs", [
    (ECHO, {}),
    ({"action": "items.echo"}, {}),
    ({"action": "items.fail", "kind": "value"}, {}),
    ({"action": "items.odd", "returns": "none"}, {}),
    (ECHO, {"tenant_id": "elsewhere"}),
])
async def test_every_outcome_restores_caller_log_and_span_context(payload, kwargs):
    cls = make()
    conn = cls(tenant_id="home")
    outer_span = trace.get_current_span()
    caller_token = _caller_execution_ctx.set(("outer", "home", ("o",)))
    log_token = set_log_connector_id("outer-connector")
    try:
        resp = await conn.run(dict(payload), principal="inner", **kwargs)
        assert isinstance(resp, ConnectorResponse)
        assert _caller_execution_ctx.get() == ("outer", "home", ("o",))
        assert get_log_connector_id() == "outer-connector"
        assert trace.get_current_span() is outer_span
    finally:
        reset_log_connector_id(log_token)
        _caller_execution_ctx.reset(caller_token)


async def test_cancelling_a_run_mid_action_propagates_and_leaves_no_context(logs):
    require_survivable_escape("cancel")
    cls = make()
    cid = cls.connector_id
    conn = cls()
    after_cancel = []

    async def runner():
        try:
            return await conn.run({"action": "items.wait"}, principal="p", tenant_id="t", scopes=("s",))
        except asyncio.CancelledError:
            after_cancel.append((_caller_execution_ctx.get(), get_log_connector_id(), trace.get_current_span()))
            raise

    task = asyncio.create_task(runner())
    await conn.started.wait()
    assert conn.calls[0].caller == ("p", "t", ("s",))
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task

    assert conn.cancelled_inside
    assert after_cancel == [(None, None, trace.INVALID_SPAN)]
    assert "Connector execution failed" not in [r.getMessage() for r in logs()]
    assert counted(cid) == {}
    assert len(otel_sdk.spans_of(cid)) == 1


# ---------------------------------------------------------------- dispatch and overridable steps


async def test_internal_execute_unwraps_the_root_and_passes_the_trace_id(logs):
    cls = make()
    conn = cls()
    wrapped = cls._union_input_model.model_validate({"action": "items.echo", "text": "w"})
    out = await conn.internal_execute(wrapped, trace_id="tid-1")
    assert out == ItemOut(text="w")
    bare = await conn.internal_execute(EchoIn(action="items.echo", text="b"), trace_id="tid-2")
    assert bare == ItemOut(text="b")
    assert [type(s.params) for s in conn.calls] == [EchoIn, EchoIn]
    assert [s.trace_id for s in conn.calls] == ["tid-1", "tid-2"]
    assert [extras(r) for r in logs()] == [
        {"connector_id": cls.connector_id, "action": "items.echo", "trace_id": "tid-1"},
        {"connector_id": cls.connector_id, "action": "items.echo", "trace_id": "tid-2"},
    ]
    with pytest.raises(TypeError):
        await conn.internal_execute(wrapped, "positional-trace-id")


async def test_internal_execute_refuses_inputs_it_cannot_place():
    cls = make()
    conn = cls()

    class Stranger(BaseModel):
        action: str = "nobody.here"

    class NoAction(BaseModel):
        text: str = "x"

    with pytest.raises(ValueError) as err:
        await conn.internal_execute(Stranger(), trace_id="t")
    assert str(err.value) == (
        f"Connector {cls.connector_id!r} has no registered action 'nobody.here'. "
        f"Available: {list(cls._action_registry)}")
    with pytest.raises(ValueError, match=r"^Input model missing action discriminator: NoAction$"):
        await conn.internal_execute(NoAction(), trace_id="t")
    # a single-action connector only takes its own input model without a discriminator
    solo = make(Solo)()
    assert await solo.internal_execute(SoloIn(x=2), trace_id="t") == SoloOut(doubled=4)
    with pytest.raises(ValueError, match=r"^Input model missing action discriminator: NoAction$"):
        await solo.internal_execute(NoAction(), trace_id="t")


async def test_overridden_steps_are_used_by_run():
    seen = []

    class Wrapped(Catalog):
        connector_id = f"pipe-wrapped-{next(_seq)}"

        async def internal_execute(self, params, *, trace_id):
            seen.append(("dispatch", type(params).__name__, trace_id))
            return await super().internal_execute(params, trace_id=trace_id)

    resp = await Wrapped().run(dict(ECHO))
    assert resp.success
    # the pipeline hands over the validated root model; the base dispatcher unwraps it
    assert seen == [("dispatch", type(Wrapped._union_input_model.model_validate(ECHO)).__name__, resp.trace_id)]

    class Body(Catalog):
        connector_id = f"pipe-body-{next(_seq)}"

        async def _run_with_log_connector_id(self, raw_input, principal=None, tenant_id=None, scopes=None):
            seen.append(("body", raw_input, principal, tenant_id, scopes, get_log_connector_id()))
            if raw_input.get("explode"):
                raise LookupError("body failed")
            return ConnectorResponse(success=True, data={"custom": True})

    conn = Body()
    resp = await conn.run({"k": 1}, "p", "t", ("s",))
    assert resp.data == {"custom": True}
    assert seen[-1] == ("body", {"k": 1}, "p", "t", ("s",), Body.connector_id)
    assert get_log_connector_id() is None
    with pytest.raises(LookupError):
        await conn.run({"explode": True})
    assert get_log_connector_id() is None


# ---------------------------------------------------------------- nothing of the payload in a record


class Bare(BaseModel):
    pass


class LoginIn(BaseModel):
    action: Literal["acct.login"]
    user: str
    password: SecretStr


class LoginOut(BaseModel):
    ok: bool


class Accounts(ConnectorBase):
    _ql_abstract_base = True
    output_model = LoginOut

    @ql_action("acct.login")
    async def login(self, params: LoginIn, *, trace_id: str) -> LoginOut:
        return LoginOut(ok=True)

    @ql_action("acct.logout")
    async def logout(self, params: WaitIn, *, trace_id: str) -> LoginOut:
        return LoginOut(ok=True)


@pytest.mark.parametrize("payload, errors", [
    # a SecretStr given a non-string keeps the value in pydantic's text
    ({"action": "acct.login", "user": MARKER + "user", "password": 98765432}, 1),
    # a missing field, and an unknown action, quote the whole payload dict
    ({"action": "acct.login", "password": MARKER + "pw"}, 1),
    ({"action": MARKER + " found using 'x'", "user": MARKER + "user", "password": MARKER + "pw"}, 1),
    ({"action": "acct.login", "user": [MARKER], "password": {"x": MARKER}}, 2),
])
async def test_validation_failure_record_keeps_pydantic_text_without_payload(no_secret_in_any_record, logs,
                                                                             payload, errors):
    no_secret_in_any_record.secrets.append("98765432")
    cls = make(Accounts)
    resp = await cls().run(payload)
    with pytest.raises(ValidationError) as err:
        cls._union_input_model.model_validate(payload)

    assert resp.error_code == "VALIDATION_ERROR" and len(resp.details) == errors
    (failed,) = [r for r in logs() if r.getMessage() == "Input validation failed"]
    text = extras(failed)["error_message"]
    # every error's location, message and type, in pydantic's own layout
    assert text == without_input(str(err.value))
    assert text.startswith(f"{errors} validation error{'s' if errors > 1 else ''} for RootModel[")
    assert all(f"[type={e['type']}]" in text for e in err.value.errors())
    assert "input_value" not in text and "input_type" not in text
    assert set(extras(failed)) == {"trace_id", "connector_id", "action", "error_type", "error_message", "audit",
                                   "audit_event"}


# ---------------------------------------------------------------- only failures count against a breaker


class SlowIn(BaseModel):
    action: Literal["slow.go"] = "slow.go"
    how: str = "sleep"


class Slow(ConnectorBase):
    _ql_abstract_base = True
    output_model = ItemOut

    @ql_action("slow.go")
    async def go(self, params: SlowIn, *, trace_id: str) -> ItemOut:
        if params.how == "timeout":  # the vendor's own timeout is a failure
            await asyncio.wait_for(asyncio.Event().wait(), 0.001)
        if params.how == "nested":
            return await self.call_action("slow.go", {"how": "sleep"})
        if params.how == "ok":
            return ItemOut(text="ok")
        await asyncio.sleep(30)
        return ItemOut(text="late")


@pytest.fixture(params=["native", "python"])
def resilience_path(request, monkeypatch):
    """The pipeline's inline breaker, or the resilience layer of the module (any other function)."""
    if request.param == "python":
        import quellon_runtime.connector_base as cb
        from quellon_runtime import resilience

        monkeypatch.setattr(cb, "with_resilience", lambda *a, **k: resilience.with_resilience(*a, **k))
    return request.param


@pytest.mark.parametrize("how", ["sleep", "nested"])
async def test_client_timeouts_never_open_the_breaker(resilience_path, how):
    conn = make(Slow)()
    breaker = conn._breaker_for_tenant("t")
    for _ in range(breaker.fail_max + 2):
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(conn.run({"how": how}, tenant_id="t"), 0.02)
    assert (breaker.current_state, breaker.fail_counter) == ("closed", 0)
    assert (await conn.run({"how": "ok"}, tenant_id="t")).success


async def test_a_timeout_inside_the_action_still_counts(resilience_path):
    conn = make(Slow)()
    breaker = conn._breaker_for_tenant(None)
    for n in range(1, breaker.fail_max):
        assert (await conn.run({"how": "timeout"})).error_code == "INTERNAL_ERROR"
        assert breaker.fail_counter == n
    assert (await conn.run({"how": "timeout"})).error_code == "INTERNAL_ERROR"
    assert breaker.current_state == "open"


@pytest.mark.parametrize("exc", [asyncio.CancelledError(), KeyboardInterrupt(), SystemExit(3), GeneratorExit(),
                                 Halt()])
async def test_exits_that_are_not_failures_pass_through_unchanged_and_uncounted(resilience_path, exc):
    class Raiser(ConnectorBase):
        connector_id = f"pipe-raiser-{next(_seq)}"
        output_model = ItemOut

        @ql_action("raise.it")
        async def it(self, params: Bare, *, trace_id: str) -> ItemOut:
            raise exc

    conn = Raiser()
    breaker = conn._breaker_for_tenant(None)
    for state in ("closed", "half-open"):
        if state == "half-open":
            breaker.half_open()
        with pytest.raises(BaseException) as caught:
            await conn.run({})
        assert caught.value is exc
        assert breaker.current_state == state


async def test_a_cancelled_half_open_trial_leaves_the_next_call_a_trial(resilience_path):
    conn = make(Slow)()
    breaker = conn._breaker_for_tenant(None)
    breaker.half_open()
    task = asyncio.ensure_future(conn.run({"how": "sleep"}))
    await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert breaker.current_state == "half-open"
    assert (await conn.run({"how": "ok"})).success
    assert breaker.current_state == "closed"


class NoCity(Exception):
    pass


class CityIn(BaseModel):
    action: Literal["city.get"] = "city.get"
    raises: Optional[str] = None
    nested: bool = False


class Cities(ConnectorBase):
    _ql_abstract_base = True
    output_model = ItemOut
    breaker_fail_max = 3
    KINDS: ClassVar[dict] = {"vendor": VendorError, "not_found": NoCity, "business": KeyError,
                             "validation": LookupError, "auth": PolicyDenied}
    CATEGORIES: ClassVar[dict] = {"vendor": "UPSTREAM", "not_found": "NOT_FOUND", "business": "BUSINESS",
                                  "validation": "VALIDATION", "auth": "AUTH"}

    @ql_action("city.get")
    async def get(self, params: CityIn, *, trace_id: str) -> ItemOut:
        if params.nested:
            return await self.call_action("city.get", {"raises": params.raises})
        raise self.KINDS[params.raises]("x")


CALLER_SIDE = [("not_found", False), ("business", False), ("validation", False), ("auth", False)]


@pytest.mark.parametrize("calls, counted, state", [
    ([("vendor", False)] * 2, 2, "closed"),
    ([("vendor", False)] * 3, 3, "open"),                       # the class's own threshold
    (CALLER_SIDE * 2, 0, "closed"),
    ([("vendor", False)] * 2 + CALLER_SIDE, 2, "closed"),      # nor do they reset the count
    ([("vendor", True)] * 2, 2, "closed"),                      # once, by the nested call's breaker
    ([("not_found", True)] * 4, 0, "closed"),
], ids=["vendor", "threshold", "caller-side", "count-kept", "nested-vendor", "nested-caller-side"])
async def test_breakers_count_only_the_vendors_failures(resilience_path, calls, counted, state):
    conn = make(Cities, error_map={Cities.KINDS[k]: (ErrorCategory[c], c) for k, c in Cities.CATEGORIES.items()})()
    breaker = conn._breaker_for_tenant(None)
    for raises, nested in calls:
        resp = await conn.run({"raises": raises, "nested": nested})
        assert not resp.success and (resp.error_code == Cities.CATEGORIES[raises] or breaker.current_state == "open")
    assert (breaker.fail_counter, breaker.current_state) == (counted, state)


class StepIn(BaseModel):
    action: Literal["step.go"] = "step.go"
    step: str


class Heard(pybreaker.CircuitBreakerListener):
    def __init__(self, heard):  # writes down what the breaker tells its listeners
        self.before_call = lambda cb, func, *a, **k: heard.append("before_call")
        self.state_change = lambda cb, old, new: heard.append(("state_change", old and old.name, new.name))
        self.failure = lambda cb, exc: heard.append(("failure", type(exc).__name__))
        self.success = lambda cb: heard.append("success")


class Stepper(Cities):
    _ql_abstract_base = True

    @ql_action("step.go")
    async def go(self, params: StepIn, *, trace_id: str) -> ItemOut:
        step = params.step
        if step.startswith("listen+"):  # a listener that arrives while the call is under way
            self._breaker_for_tenant(None).add_listener(Heard(self.heard))
            step = step.removeprefix("listen+")
        if step.startswith("nested-"):
            return await self.call_action("step.go", {"step": step.removeprefix("nested-")})
        if step == "hang":
            await asyncio.Event().wait()
        if step in self.KINDS:
            raise self.KINDS[step]("x")
        return ItemOut(text=step)


async def _steps_seen(steps, public):
    """What each step answers and leaves in the breaker; a `public` one (a subclass) takes calling()."""
    class Conn(Stepper):
        heard: ClassVar[list] = []

        def _create_breaker(self, tenant_key=None):
            breaker = super()._create_breaker(tenant_key)
            if public:
                breaker.__class__ = type("Public", (pybreaker.CircuitBreaker,), {})
            return breaker

    conn = make(Conn, error_map={Cities.KINDS[k]: (ErrorCategory[c], c) for k, c in Cities.CATEGORIES.items()})()
    breaker, seen = conn._breaker_for_tenant(None), []
    for step in steps:
        if step == "half-open":
            breaker.half_open()
        elif step == "exclude":
            breaker.add_excluded_exception(VendorError)
        else:
            try:
                resp = await asyncio.wait_for(conn.run({"action": "step.go", "step": step}),
                                              0.05 if step.endswith("hang") else None)
                seen.append(resp.model_dump(exclude={"trace_id", "details"}))
            except TimeoutError:
                seen.append("cancelled")
        seen.append((breaker.current_state, breaker._state.name, breaker.fail_counter, list(Conn.heard)))
    return seen


@pytest.mark.parametrize("steps", [
    ["ok", "vendor", "vendor", "ok", "vendor", "ok"],
    ["vendor"] * 4 + ["half-open", "ok", "vendor", "half-open", "vendor"],
    ["vendor", "not_found", "business", "validation", "auth", "vendor", "ok", "vendor", "vendor", "vendor"],
    ["vendor", "nested-vendor", "nested-not_found", "nested-ok", "nested-vendor", "nested-vendor"],
    ["vendor", "hang", "ok", "vendor", "hang", "listen+hang", "vendor"],
    ["vendor", "listen+ok", "vendor", "vendor", "vendor", "half-open", "ok"],
    ["vendor", "vendor", "listen+vendor", "ok"],
    ["vendor", "listen+not_found", "vendor", "exclude", "vendor", "vendor", "ok", "vendor"],
], ids=["resets", "trips", "caller-side", "nested", "cancelled", "listener", "listener-trips", "uncounted-excluded"])
async def test_a_closed_breaker_taken_directly_agrees_with_calling(steps):
    assert await _steps_seen(steps, public=False) == await _steps_seen(steps, public=True)


@pytest.mark.parametrize("payload, pinned, caller, kinds", [
    ({"action": "step.go", "step": "ok"}, None, None, ()),
    ({"action": "step.go", "step": 7}, None, None, ()),
    ({"action": "step.go", "step": "nested-vendor"}, None, None, ()),
    ({"action": "step.go", "step": "ok"}, "p", "q", ()),
    ({"action": "step.go", "step": "not_found"}, None, None, ("not_found",)),
    ({"action": "step.go", "step": "vendor"}, None, None, ()),
], ids=["success", "validation", "nested", "tenant", "mapped", "unmapped"])
async def test_envelopes_are_the_models_validation_makes(payload, pinned, caller, kinds):
    errors = {Cities.KINDS[k]: (ErrorCategory[Cities.CATEGORIES[k]], Cities.CATEGORIES[k]) for k in kinds}
    resp = await make(Stepper, error_map=errors)(tenant_id=pinned).run(payload, tenant_id=caller)
    made = ConnectorResponse.model_validate({k: getattr(resp, k) for k in resp.model_fields_set})
    slots = ("__dict__", "__pydantic_fields_set__", "__pydantic_extra__", "__pydantic_private__")
    assert [repr(resp), *(getattr(resp, k) for k in slots)] == [repr(made), *(getattr(made, k) for k in slots)]


# ---------------------------------------------------------------- unprintable exceptions


class StrReturnsInt(Exception):
    def __str__(self):
        return 42


@pytest.mark.parametrize("exc_type", [Unprintable, StrReturnsInt])
async def test_an_unprintable_exception_is_an_ordinary_failure(logs, exc_type):
    class Broken(ConnectorBase):
        connector_id = f"pipe-unprintable-{next(_seq)}"
        output_model = ItemOut

        @ql_action("raise.it")
        async def it(self, params: Bare, *, trace_id: str) -> ItemOut:
            raise exc_type()

    resp = await Broken().run({})
    assert (resp.success, resp.error_code, resp.message) == (False, "INTERNAL_ERROR", "<exception str() failed>")
    (failed,) = [r for r in logs() if r.getMessage() == "Connector execution failed"]
    assert extras(failed)["error_message"] == "<exception str() failed>"
    assert extras(failed)["error_type"] == exc_type.__name__
    assert counted(Broken.connector_id) == {(False, "internal"): (1, 1)}


# ---------------------------------------------------------------- the duration histogram


async def test_duration_histogram_is_in_milliseconds(logs):
    class Sleeper(ConnectorBase):
        connector_id = f"pipe-sleeper-{next(_seq)}"
        output_model = ItemOut

        @ql_action("sleep.it")
        async def it(self, params: Bare, *, trace_id: str) -> ItemOut:
            await asyncio.sleep(0.05)
            return ItemOut(text="slept")

    assert (await Sleeper().run({})).success
    ((_, point),) = otel_sdk.metric_points(Sleeper.connector_id)["connector.duration_ms"]
    (done,) = [r for r in logs() if r.getMessage() == "Connector execution completed successfully"]
    audit_ms = extras(done)["duration_ms"]
    assert point.count == 1 and point.sum >= 50
    # the same clock and unit as the audit record, read a little later
    assert audit_ms >= 50 and audit_ms - 0.01 <= point.sum < audit_ms + 1000


# ---------------------------------------------------------------- shortcuts give the public path's results


def test_trace_ids_are_version_4_uuids_unique_over_a_million():
    from quellon_runtime.connector_base import _new_trace_id

    ids = {_new_trace_id() for _ in range(1_000_000)}
    assert len(ids) == 1_000_000
    for text in itertools.islice(ids, 1000):
        parsed = uuid.UUID(text)
        assert (str(parsed), parsed.version, parsed.variant) == (text, 4, uuid.RFC_4122)


@pytest.mark.parametrize("raw", [bytes(16), b"\xff" * 16, bytes(range(16))])
def test_trace_id_is_formatted_as_uuid4_formats_the_same_bytes(monkeypatch, raw):
    from quellon_runtime.connector_base import _new_trace_id

    monkeypatch.setattr("os.urandom", lambda n: raw[:n])
    assert _new_trace_id() == str(uuid.UUID(bytes=raw, version=4))


def test_trace_id_falls_back_to_uuid4_without_a_random_source(monkeypatch):
    from quellon_runtime.connector_base import _new_trace_id

    def no_source(n):
        raise NotImplementedError

    known = uuid.UUID("12345678-1234-4234-9234-123456789abc")
    monkeypatch.setattr("os.urandom", no_source)
    monkeypatch.setattr("uuid.uuid4", lambda: known)
    assert _new_trace_id() == str(known)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork here")
def test_a_forked_child_draws_trace_ids_of_its_own():
    from quellon_runtime.connector_base import _new_trace_id

    _new_trace_id()  # the parent holds random bytes it has not handed out yet
    read, write = os.pipe()
    if (pid := os.fork()) == 0:  # pragma: no cover - the child
        os.write(write, " ".join(_new_trace_id() for _ in range(8)).encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        child = set(pipe.read().split())
    os.waitpid(pid, 0)
    assert len(child) == 8 and child.isdisjoint(_new_trace_id() for _ in range(8))


class Shouting(BaseModel):
    text: str

    def model_dump(self, **kwargs):
        return {"text": self.text.upper()}


class Counted(RootModel[EchoIn]):
    seen: ClassVar[list] = []

    @classmethod
    def model_validate(cls, obj, **kwargs):
        cls.seen.append(dict(obj))
        return super().model_validate(obj, **kwargs)

    def model_dump(self, **kwargs):
        return {"action": "items.echo", "text": "dumped by the override"}


async def test_overridden_model_validate_and_model_dump_are_honoured():
    hook = RecordingHook()
    conn = make()(policy_hook=hook)
    conn._input_model_cls = Counted
    Counted.seen.clear()
    resp = await conn.run(dict(ECHO))
    assert Counted.seen == [ECHO] and resp.success
    assert hook.contexts[0].input_payload == {"action": "items.echo", "text": "dumped by the override"}

    class Loud(ConnectorBase):
        connector_id = f"pipe-loud-{next(_seq)}"
        output_model = Shouting

        @ql_action("items.loud")
        async def loud(self, params: Bare, *, trace_id: str) -> Shouting:
            return Shouting(text="quiet")

    resp = await asyncio.wait_for(Loud().run({}), 10)
    assert resp.data == {"text": "QUIET"}


class Rich(BaseModel):
    model_config = {"populate_by_name": True}
    name: str = "n"
    alias_field: int = Field(0, alias="aliasField")
    nested: Optional[ItemOut] = None
    items: list = []


class RichIn(BaseModel):
    action: Literal["items.rich"]
    alias_field: int = Field(0, alias="aliasField")
    nested: Optional[ItemOut] = None


async def test_validated_input_dumped_output_and_envelope_match_the_public_methods():
    seen = []

    class Rich_(Catalog):
        connector_id = f"pipe-rich-{next(_seq)}"
        output_model = Rich

        @ql_action("items.rich")
        async def rich(self, params: RichIn, *, trace_id: str) -> Rich:
            seen.append(params)
            return Rich(name="r", aliasField=params.alias_field, nested=params.nested, items=[1, {"a": None}])

    raw = {"action": "items.rich", "aliasField": "5", "nested": {"text": "t"}}
    hook = RecordingHook()
    resp = await Rich_(policy_hook=hook).run(dict(raw))
    expected_in = RichIn.model_validate(raw)
    assert seen == [expected_in] and seen[0].model_fields_set == expected_in.model_fields_set
    assert hook.contexts[0].input_payload == expected_in.model_dump()
    out = Rich(name="r", aliasField=5, nested=ItemOut(text="t"), items=[1, {"a": None}])
    public = ConnectorResponse(success=True, data=out.model_dump(), trace_id=resp.trace_id)
    assert resp == public and resp.model_fields_set == public.model_fields_set
    assert type(resp) is ConnectorResponse


_NO_SDK_PROBE = r"""
import asyncio, json
from opentelemetry import context, trace
from opentelemetry.trace import NonRecordingSpan, SpanContext, TraceFlags
from pydantic import BaseModel
from quellon_runtime.connector_base import ConnectorBase, ql_action

seen = []

class In(BaseModel):
    fail: bool = False

class Out(BaseModel):
    ok: bool = True

class Probe(ConnectorBase):
    connector_id = "no-sdk-probe"
    output_model = Out

    @ql_action("probe.go")
    async def go(self, params: In, *, trace_id: str) -> Out:
        span = trace.get_current_span()
        seen.append((span, context.get_current()))
        if params.fail:
            raise KeyboardInterrupt
        return Out()

def public(parent):
    # what the tracer's context managers make current, for comparison
    with trace.get_tracer("x").start_as_current_span("connector.run"):
        return trace.get_current_span(), context.get_current()

async def main():
    out = {}
    conn = Probe()
    for label, parent in (("root", None), ("child", NonRecordingSpan(SpanContext(7, 9, False, TraceFlags(1))))):
        token = context.attach(trace.set_span_in_context(parent)) if parent else None
        before = context.get_current()
        await conn.run({})
        span, ctx = seen.pop()
        want_span, want_ctx = public(parent)
        out[label] = {"same_span": span is want_span, "same_ctx": dict(ctx) == dict(want_ctx),
                      "restored": context.get_current() is before}
        try:
            await conn.run({"fail": True})
        except KeyboardInterrupt:
            out[label]["escape_restored"] = context.get_current() is before
        if token:
            context.detach(token)
    # a provider configured later is used from the next call on
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    trace.set_tracer_provider(provider)
    with trace.get_tracer("host").start_as_current_span("outer") as outer:
        resp = await conn.run({}, principal="p", tenant_id="t")
    (span,) = [s for s in exporter.get_finished_spans() if s.name == "connector.run"]
    out["sdk"] = {"attributes": dict(span.attributes), "trace_id": resp.trace_id,
                  "parent": span.parent.span_id == outer.get_span_context().span_id,
                  "status": span.status.status_code.name}
    # back-to-back calls leave a batch processor's exporter thread its turn at the GIL
    from opentelemetry.sdk.trace.export import BatchSpanProcessor
    provider.add_span_processor(BatchSpanProcessor(batched := InMemorySpanExporter()))
    for _ in range(20000):
        await conn.run({})
    provider.force_flush()
    out["batched"] = len(batched.get_finished_spans())
    print(json.dumps(out))

asyncio.run(main())
"""


def test_without_a_tracer_provider_the_span_context_is_the_one_the_tracer_would_make():
    import json
    import os
    import subprocess
    import sys

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", _NO_SDK_PROBE], env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    out = json.loads(proc.stdout)
    for label in ("root", "child"):
        assert out[label] == {"same_span": True, "same_ctx": True, "restored": True, "escape_restored": True}
    assert out["sdk"] == {
        "attributes": {"connector.id": "no-sdk-probe", "connector.action": "execute", "config.name": "",
                       "tenant.id": "t", "principal.id": "p", "trace.id": out["sdk"]["trace_id"]},
        "trace_id": out["sdk"]["trace_id"], "parent": True, "status": "UNSET",
    }
    assert (out["batched"], "Queue full" in proc.stderr) == (20000, False)  # no span dropped


# ---------------------------------------------------------------- telemetry: direct and public paths


class RelayIn(BaseModel):
    action: Literal["items.relay"]
    to: str = "items.echo"


class UnreportableIn(BaseModel):
    action: Literal["items.unreportable"]


class Relay(Catalog):
    _ql_abstract_base = True

    @ql_action("items.relay")
    async def relay(self, params: RelayIn, *, trace_id: str) -> ItemOut:
        return await self.call_action(params.to, {"text": "nested", "kind": "value"})

    @ql_action("items.unreportable")
    async def unreportable(self, params: UnreportableIn, *, trace_id: str) -> ItemOut:
        raise Unreportable()


async def _telemetry_of(public: bool, monkeypatch) -> tuple:
    """Spans and metric points of one corpus of calls, connector ids and trace ids left out."""
    from quellon_runtime import connector_base as cb

    if public:  # anything patched onto the tracer or the instruments sends every call the public way
        monkeypatch.setattr(cb.tracer, "start_span", cb.tracer.start_span)
        monkeypatch.setattr(cb._invocation_counter, "add", cb._invocation_counter.add)
        monkeypatch.setattr(cb._invocation_duration, "record", cb._invocation_duration.record)
    cls = make(Relay, error_map={})
    conn = cls(tenant_id="t")
    for payload in (ECHO, {"action": "items.echo"}, {"action": "items.fail", "kind": "value"},
                    {"action": "items.relay"}, {"action": "items.relay", "to": "items.fail"}):
        await conn.run(dict(payload), principal="p", scopes=("s",))
    for payload, exc in (({"action": "items.fail", "kind": "halt"}, Halt),
                         ({"action": "items.unreportable"}, LookupError)):
        with pytest.raises(exc):
            await conn.run(payload)
    cid = cls.connector_id
    spans = otel_sdk.spans_of(cid)
    ids = {s.context.span_id: i for i, s in enumerate(spans)}
    shown = [(s.name, {k: v for k, v in s.attributes.items() if k not in ("connector.id", "trace.id")},
              s.status.status_code.name, s.status.description, ids.get(s.parent.span_id) if s.parent else None,
              [(e.name, e.attributes.get("exception.type"), e.attributes.get("exception.message")) for e in s.events])
             for s in spans]
    points = {name: sorted((sorted((k, v) for k, v in a.items() if k != "connector.id"),
                            getattr(p, "value", None), getattr(p, "count", None)) for a, p in found)
              for name, found in otel_sdk.metric_points(cid).items()}
    return shown, points


async def test_spans_and_metric_points_are_the_same_on_the_direct_and_the_public_path(monkeypatch):
    direct = await _telemetry_of(False, monkeypatch)
    public = await _telemetry_of(True, monkeypatch)
    assert direct == public
    spans, points = direct
    assert len(spans) == 9 and sum(c for _, c, _ in points["connector.invocations"]) == 7
    assert spans[-1][2:4] == ("ERROR", "LookupError: no text") and spans[3][4] == 4
