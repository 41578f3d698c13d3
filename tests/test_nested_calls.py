"""ConnectorBase.call_action: nested runs, caller identity, failures carried to the outer envelope."""

import otel_sdk  # noqa: I001  (the SDK providers come first)

import asyncio
import copy
import itertools
import logging
import pickle
from collections import OrderedDict
from types import SimpleNamespace
from typing import List, Literal, Optional

import pytest
from pydantic import BaseModel, ValidationError

from quellon_runtime.config_store import ConnectorConfigStore
from quellon_runtime.connector_base import (
    ConnectorBase, NestedConnectorActionError, _caller_execution_ctx, _merge_nested_failure_details, ql_action,
)
from quellon_runtime.identity import TenantMismatchError
from quellon_runtime.log_sanitization import get_log_connector_id
from quellon_runtime.models import ConnectorResponse, ErrorCategory
from quellon_runtime.policy import PolicyDenied, PolicyHook, TenantConfigHook

from log_guard import MARKER, all_records
from pipeline_support import LOGGER, call_records, counted, events, extras, require_survivable_escape

_seq = itertools.count()


@pytest.fixture(autouse=True)
def no_secret_in_any_record():
    """Every record of every logger, at every level, during each test: none may carry a secret."""
    with all_records() as capture:
        yield capture
    assert capture.leaks() == []


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return lambda: call_records(caplog)


class VendorError(Exception):
    pass


class ScriptIn(BaseModel):
    action: Literal["jobs.script"]


class ScriptOut(BaseModel):
    result: dict = {}


class WhoIn(BaseModel):
    action: Literal["jobs.whoami"]
    n: int = 0


class WhoOut(BaseModel):
    n: int
    principal: Optional[str]
    tenant_id: Optional[str]
    scopes: Optional[List[str]]
    log_connector_id: Optional[str]
    trace_id: str


class FailIn(BaseModel):
    action: Literal["jobs.fail"]
    kind: str


class RelayIn(BaseModel):
    action: Literal["jobs.relay"]
    target: str
    params: dict = {}


class WrongOutIn(BaseModel):
    action: Literal["jobs.wrongout"]


class WaitIn(BaseModel):
    action: Literal["jobs.wait"]


class OtherOut(BaseModel):
    unrelated: int = 1


class Workshop(ConnectorBase):
    """Each instance runs `body(connector)` as its "jobs.script" action."""

    _ql_abstract_base = True
    output_model = ScriptOut

    def __init__(self, *, body=None, **kwargs):
        super().__init__(**kwargs)
        self.body = body
        self.script_trace_ids = []
        self.started = asyncio.Event()

    @ql_action("jobs.script")
    async def script(self, params: ScriptIn, *, trace_id: str) -> ScriptOut:
        self.script_trace_ids.append(trace_id)
        return ScriptOut(result=await self.body(self) or {})

    @ql_action("jobs.whoami")
    async def whoami(self, params: WhoIn, *, trace_id: str) -> WhoOut:
        caller = _caller_execution_ctx.get()
        principal, tenant_id, scopes = caller if caller is not None else (None, None, None)
        return WhoOut(n=params.n, principal=principal, tenant_id=tenant_id,
                      scopes=None if scopes is None else list(scopes),
                      log_connector_id=get_log_connector_id(), trace_id=trace_id)

    @ql_action("jobs.fail")
    async def fail(self, params: FailIn, *, trace_id: str) -> ScriptOut:
        if params.kind == "vendor":
            raise VendorError("vendor down")
        raise ValueError()

    @ql_action("jobs.relay")
    async def relay(self, params: RelayIn, *, trace_id: str) -> ScriptOut:
        out = await self.call_action(params.target, params.params)
        return ScriptOut(result=out.model_dump())

    @ql_action("jobs.wrongout")
    async def wrongout(self, params: WrongOutIn, *, trace_id: str) -> WhoOut:
        return OtherOut()

    @ql_action("jobs.wait")
    async def wait(self, params: WaitIn, *, trace_id: str) -> ScriptOut:
        self.started.set()
        await asyncio.Event().wait()
        return ScriptOut()


def make(**namespace):
    n = next(_seq)
    namespace.setdefault("connector_id", f"nested-workshop-{n}")
    namespace.setdefault("error_map", {VendorError: (ErrorCategory.UPSTREAM, "VENDOR_DOWN")})
    return type(f"Workshop{n}", (Workshop,), namespace)


SCRIPT = {"action": "jobs.script"}


class DenyActions(PolicyHook):
    def __init__(self, actions, message):
        self.actions, self.message, self.seen = set(actions), message, []

    def check(self, context):
        self.seen.append((context.action, context.principal, context.tenant_id, context.scopes))
        if context.action in self.actions:
            raise PolicyDenied(self.message)


def record_trace(logs, message):
    return [extras(r)["trace_id"] for r in logs() if r.getMessage() == message]


# ---------------------------------------------------------------- nested success and identity


async def test_nested_call_returns_the_output_model_through_a_full_pipeline_of_its_own(logs):
    got = {}

    async def body(conn):
        who = await conn.call_action("jobs.whoami", {"n": 3})
        got["who"] = who
        return {}

    cls = make()
    cid = cls.connector_id
    hook = DenyActions((), "")
    conn = cls(body=body, policy_hook=hook)
    resp = await conn.run(dict(SCRIPT), principal="p", tenant_id="t", scopes=("s",))

    assert resp.success
    who = got["who"]
    assert type(who) is WhoOut and who.n == 3
    # its own trace id, the outer caller's identity, the same log connector id
    assert who.trace_id != resp.trace_id and conn.script_trace_ids == [resp.trace_id]
    assert (who.principal, who.tenant_id, who.scopes, who.log_connector_id) == ("p", "t", ["s"], cid)
    assert [a for a, *_ in hook.seen] == ["jobs.script", "jobs.whoami"]

    starts = record_trace(logs, f"Starting connector execution | connector={cid} | action=execute | "
                                "tenant_id=t | config_name=(default)")
    assert starts == [resp.trace_id, who.trace_id]
    assert record_trace(logs, "Connector execution completed successfully") == [who.trace_id, resp.trace_id]

    inner, outer = otel_sdk.spans_of(cid)
    assert (outer.attributes["trace.id"], inner.attributes["trace.id"]) == (resp.trace_id, who.trace_id)
    assert inner.parent.span_id == outer.context.span_id
    assert counted(cid) == {(True, "none"): (2, 2)}


@pytest.mark.parametrize("kwargs, expected", [
    ({}, ("p", "t", ["s1", "s2"])),
    ({"principal": None, "tenant_id": None, "scopes": None}, ("p", "t", ["s1", "s2"])),
    ({"principal": "q"}, ("q", None, None)),
    ({"tenant_id": "t2"}, (None, "t2", None)),
    ({"scopes": ()}, (None, None, [])),
    ({"principal": "q", "tenant_id": "t3", "scopes": ("x",)}, ("q", "t3", ["x"])),
])
async def test_nested_identity_comes_from_the_arguments_or_else_the_outer_call(kwargs, expected):
    seen = {}

    async def body(conn):
        who = await conn.call_action("jobs.whoami", {}, **kwargs)
        seen["who"] = (who.principal, who.tenant_id, who.scopes)
        seen["after"] = (_caller_execution_ctx.get(), get_log_connector_id())
        return {}

    cls = make()
    resp = await cls(body=body).run(dict(SCRIPT), principal="p", tenant_id="t", scopes=("s1", "s2"))
    assert resp.success
    assert seen["who"] == expected
    # the nested run put back the outer call's context
    assert seen["after"] == (("p", "t", ("s1", "s2")), cls.connector_id)


async def test_call_action_outside_a_run_uses_the_current_context_if_any():
    conn = make()()
    who = await conn.call_action("jobs.whoami", {})
    assert (who.principal, who.tenant_id, who.scopes) == (None, None, None)

    token = _caller_execution_ctx.set(("host", "tenant-h", ("h",)))
    try:
        who = await conn.call_action("jobs.whoami", {})
        assert (who.principal, who.tenant_id, who.scopes) == ("host", "tenant-h", ["h"])
        assert _caller_execution_ctx.get() == ("host", "tenant-h", ("h",))
    finally:
        _caller_execution_ctx.reset(token)
    assert get_log_connector_id() is None


async def test_hundred_concurrent_runs_each_nested_call_sees_its_own_caller():
    async def body(conn):
        before = _caller_execution_ctx.get()
        await asyncio.sleep(0)
        who = await conn.call_action("jobs.whoami", {})
        await asyncio.sleep(0)
        return {"before": list(before), "who": who.model_dump(), "after": list(_caller_execution_ctx.get()),
                "log_cid": get_log_connector_id()}

    cls = make()
    cid = cls.connector_id
    conn = cls(body=body)
    callers = [(f"principal-{i}", f"tenant-{i}", (f"scope-{i}", "shared") if i % 3 else ()) for i in range(100)]
    responses = await asyncio.gather(*(
        conn.run(dict(SCRIPT), principal=p, tenant_id=t, scopes=s) for p, t, s in callers))

    for (p, t, s), resp in zip(callers, responses):
        assert resp.success, resp
        result = resp.data["result"]
        assert result["before"] == result["after"] == [p, t, s]
        who = result["who"]
        assert (who["principal"], who["tenant_id"], who["scopes"]) == (p, t, list(s))
        assert who["log_connector_id"] == result["log_cid"] == cid
    assert len({r.trace_id for r in responses}) == 100
    assert _caller_execution_ctx.get() is None and get_log_connector_id() is None
    assert counted(cid) == {(True, "none"): (200, 200)}
    assert len(conn._breakers) == 100


async def test_cancelling_an_outer_run_inside_a_nested_call_unwinds_both():
    require_survivable_escape("nested-cancel")

    async def body(conn):
        await conn.call_action("jobs.wait", {})

    cls = make()
    conn = cls(body=body)
    after = []

    async def runner():
        try:
            await conn.run(dict(SCRIPT), principal="p", tenant_id="t")
        except asyncio.CancelledError:
            after.append((_caller_execution_ctx.get(), get_log_connector_id()))
            raise

    task = asyncio.create_task(runner())
    await conn.started.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert after == [(None, None)]
    assert counted(cls.connector_id) == {}


async def test_action_key_in_the_params_is_replaced_by_the_name():
    params = {"action": "jobs.fail", "kind": "vendor", "n": 5}
    seen = {}

    async def body(conn):
        seen["who"] = await conn.call_action("jobs.whoami", params)
        return {}

    resp = await make()(body=body).run(dict(SCRIPT))
    assert resp.success and seen["who"].n == 5
    assert params == {"action": "jobs.fail", "kind": "vendor", "n": 5}


async def test_call_action_argument_types():
    conn = make()()
    with pytest.raises(TypeError, match="scopes"):
        await conn.call_action("jobs.whoami", {}, scopes=["a"])
    with pytest.raises(TypeError, match="principal"):
        await conn.call_action("jobs.whoami", {}, principal=1)
    with pytest.raises(TypeError, match="tenant_id"):
        await conn.call_action("jobs.whoami", {}, tenant_id=1)
    with pytest.raises(TypeError):
        await conn.call_action("jobs.whoami", {}, "positional-principal")


# ---------------------------------------------------------------- nested failures


async def test_nested_failure_keeps_the_innermost_code_and_links_the_nested_trace(logs):
    async def body(conn):
        await conn.call_action("jobs.fail", {"kind": "vendor"})

    cls = make()
    cid = cls.connector_id
    conn = cls(body=body)
    resp = await conn.run(dict(SCRIPT))

    [inner_tid] = record_trace(logs, "Connector execution failed")
    assert resp.success is False
    assert (resp.error_code, resp.error_category, resp.message) == ("VENDOR_DOWN", ErrorCategory.UPSTREAM, "vendor down")
    assert resp.trace_id == conn.script_trace_ids[0] != inner_tid
    assert resp.details == {"nested_trace_id": inner_tid}

    recs = logs()
    assert [m for _, m in events(recs)][-2:] == ["Connector execution failed",
                                                 "Nested connector action failed via call_action"]
    assert recs[-1].levelname == "WARNING"
    assert extras(recs[-1]) == {"trace_id": resp.trace_id, "connector_id": cid, "nested_error_code": "VENDOR_DOWN",
                                "nested_trace_id": inner_tid}
    assert counted(cid) == {(False, "upstream"): (2, 2)}


async def test_failure_three_levels_down_names_the_innermost_trace(logs):
    async def body(conn):
        await conn.call_action("jobs.relay", {"target": "jobs.fail", "params": {"kind": "vendor"}})

    resp = await make()(body=body).run(dict(SCRIPT))
    [innermost] = record_trace(logs, "Connector execution failed")
    nested_records = [r for r in logs() if r.getMessage() == "Nested connector action failed via call_action"]
    assert [extras(r)["nested_trace_id"] for r in nested_records][0] == innermost
    assert (resp.error_code, resp.message) == ("VENDOR_DOWN", "vendor down")
    assert resp.details == {"nested_trace_id": innermost}


@pytest.mark.parametrize("params", [
    {"n": MARKER + "not a number"},
    {"n": 1, "password": MARKER + "pw"},  # an unexpected key is ignored, but must not be logged
    {"n": [MARKER]},
])
async def test_nested_payload_reaches_no_record(logs, params):
    async def body(conn):
        await conn.call_action("jobs.whoami", params)

    resp = await make()(body=body).run(dict(SCRIPT, extra=MARKER))
    assert resp.error_code in ("VALIDATION_ERROR", None)
    assert [r for r in logs() if MARKER in repr(vars(r))] == []


async def test_nested_validation_failure_carries_its_details_under_the_nested_trace(logs):
    async def body(conn):
        await conn.call_action("jobs.whoami", {"n": "not a number"})

    cls = make()
    resp = await cls(body=body).run(dict(SCRIPT))
    with pytest.raises(ValidationError) as err:
        cls._union_input_model.model_validate({"action": "jobs.whoami", "n": "not a number"})
    [nested_tid] = record_trace(logs, "Input validation failed")
    assert (resp.error_code, resp.error_category) == ("VALIDATION_ERROR", ErrorCategory.BUSINESS)
    assert resp.message == "Input validation failed; please check the request payload."
    assert resp.details == {
        "nested_trace_id": nested_tid,
        "nested_details": [{"loc": e["loc"], "msg": e["msg"], "type": e["type"]} for e in err.value.errors()],
    }


async def test_nested_tenant_mismatch_surfaces_as_nested_error(logs):
    caught = {}

    async def same_tenant(conn):
        who = await conn.call_action("jobs.whoami", {})
        return {"tenant": who.tenant_id}

    async def other_tenant(conn):
        try:
            await conn.call_action("jobs.whoami", {}, tenant_id="b")
        except NestedConnectorActionError as exc:
            caught["exc"] = exc
            raise

    cls = make()
    cid = cls.connector_id
    ok = await cls(tenant_id="a", body=same_tenant).run(dict(SCRIPT), tenant_id="a")
    assert ok.success and ok.data == {"result": {"tenant": "a"}}

    conn = cls(tenant_id="a", body=other_tenant)
    resp = await conn.run(dict(SCRIPT), tenant_id="a")
    exc = caught["exc"]
    mismatch_text = str(TenantMismatchError("a", "b"))
    assert str(exc) == exc.response.message == mismatch_text
    assert exc.response.error_code == "TENANT_MISMATCH"

    [nested_tid] = record_trace(logs, "AUDIT: Tenant mismatch on factory instance")
    assert exc.response.trace_id == nested_tid
    assert (resp.error_code, resp.error_category, resp.message) == ("TENANT_MISMATCH", ErrorCategory.AUTH,
                                                                    mismatch_text)
    assert resp.trace_id == conn.script_trace_ids[0]
    assert resp.details == {"nested_trace_id": nested_tid}
    nested_rec = logs()[-1]
    assert extras(nested_rec) == {"trace_id": resp.trace_id, "connector_id": cid,
                                  "nested_error_code": "TENANT_MISMATCH", "nested_trace_id": nested_tid}
    # the refused nested run counted nothing: the successful pair plus the failed outer run
    assert counted(cid) == {(True, "none"): (2, 2), (False, "auth"): (1, 1)}


async def test_nested_denial_is_raised_as_policy_denied(logs):
    caught = {}

    async def body(conn):
        try:
            await conn.call_action("jobs.whoami", {})
        except Exception as exc:
            caught["exc"] = exc
            raise

    cls = make()
    resp = await cls(body=body, policy_hook=DenyActions({"jobs.whoami"}, "whoami is off limits")).run(dict(SCRIPT))
    exc = caught["exc"]
    assert type(exc) is PolicyDenied and str(exc) == "whoami is off limits"
    # a denial propagating from the action body is an ordinary failure, mapped by the global registration
    assert (resp.error_code, resp.error_category, resp.message) == ("POLICY_DENIED", ErrorCategory.AUTH,
                                                                    "whoami is off limits")
    assert resp.details is None
    failed = logs()[-1]
    assert failed.getMessage() == "Connector execution failed"
    assert (extras(failed)["error_type"], extras(failed)["error_code"], extras(failed)["error_category"]) == (
        "PolicyDenied", "POLICY_DENIED", "auth")

    await cls(body=body, policy_hook=DenyActions({"jobs.whoami"}, "")).run(dict(SCRIPT))
    assert type(caught["exc"]) is PolicyDenied and str(caught["exc"]) == "Policy denied"


async def test_nested_call_for_an_unconfigured_tenant_is_denied():
    async def body(conn):
        await conn.call_action("jobs.whoami", {}, tenant_id="t2")

    cls = make()
    cid = cls.connector_id
    store = ConnectorConfigStore()
    store.put("t1", cid, {})
    resp = await cls(body=body, policy_hook=TenantConfigHook(store)).run(dict(SCRIPT), tenant_id="t1")
    assert (resp.error_code, resp.message) == ("POLICY_DENIED", f"no config for tenant 't2' / connector '{cid}'")


async def test_errors_raised_by_call_action_itself(logs):
    conn = make()()
    cid = conn.connector_id
    with pytest.raises(ValueError) as err:
        await conn.call_action("jobs.nothing", {})
    assert str(err.value) == f"call_action: unknown action 'jobs.nothing' on connector {cid!r}"
    with pytest.raises(ValidationError):
        await conn.call_action("jobs.wrongout", {})

    async def body(conn):
        await conn.call_action("jobs.nothing", {})

    resp = await make()(body=body).run(dict(SCRIPT))
    assert (resp.error_code, resp.error_category) == ("INTERNAL_ERROR", ErrorCategory.INTERNAL)
    assert resp.message.startswith("call_action: unknown action 'jobs.nothing' on connector ")

    async def wrong(conn):
        await conn.call_action("jobs.wrongout", {})

    resp = await make()(body=wrong).run(dict(SCRIPT))
    # a validation error of the nested output is a failure of the outer body, not of its input
    assert (resp.error_code, resp.details) == ("INTERNAL_ERROR", None)
    assert extras(logs()[-1])["error_type"] == "ValidationError"


async def test_nested_success_without_data_is_a_runtime_error():
    class Hollow(Workshop):
        connector_id = f"nested-hollow-{next(_seq)}"

        async def run(self, raw_input, principal=None, tenant_id=None, scopes=None):
            self.runs = getattr(self, "runs", []) + [(raw_input, principal, tenant_id, scopes)]
            return ConnectorResponse(success=True, data=None, trace_id="hollow")

    conn = Hollow()
    with pytest.raises(RuntimeError) as err:
        await conn.call_action("jobs.whoami", {"n": 1}, principal="p", scopes=("s",))
    assert str(err.value) == "call_action: connector returned no data"
    # the instance's own run is the one awaited, with the payload positional and identity by keyword
    assert conn.runs == [({"n": 1, "action": "jobs.whoami"}, "p", None, ("s",))]


# ---------------------------------------------------------------- the error type and the details merge


@pytest.mark.parametrize("message, code, expected", [
    ("it broke", "CODE", "it broke"),
    ("", "CODE", "CODE"),
    (None, "CODE", "CODE"),
    ("", "", "Nested action failed"),
    (None, None, "Nested action failed"),
])
def test_nested_error_message_rules(message, code, expected):
    nested = ConnectorResponse(success=False, message=message, error_code=code)
    exc = NestedConnectorActionError(nested)
    assert isinstance(exc, Exception)
    assert exc.response is nested
    assert str(exc) == expected and exc.args == (expected,)


def test_nested_error_type():
    assert NestedConnectorActionError.__module__ == "quellon_runtime.connector_base"
    assert NestedConnectorActionError.__qualname__ == "NestedConnectorActionError"
    assert issubclass(NestedConnectorActionError, Exception)
    assert NestedConnectorActionError.__doc__


async def test_nested_failure_with_an_empty_message_is_named_by_its_code():
    caught = {}

    async def body(conn):
        try:
            await conn.call_action("jobs.fail", {"kind": "empty"})
        except NestedConnectorActionError as exc:
            caught["text"] = str(exc)
        return {}

    await make()(body=body).run(dict(SCRIPT))
    assert caught["text"] == "INTERNAL_ERROR"


async def test_nested_error_raised_directly_uses_its_envelope_as_is(logs):
    async def body(conn):
        raise NestedConnectorActionError(ConnectorResponse(success=False, error_code="", details=[1, 2]))

    cls = make()
    resp = await cls(body=body).run(dict(SCRIPT))
    assert resp.success is False
    assert (resp.error_code, resp.error_category, resp.message) == ("", None, None)
    # no nested trace id: the details pass through untouched
    assert resp.details == [1, 2]
    assert extras(logs()[-1]) == {"trace_id": resp.trace_id, "connector_id": cls.connector_id,
                                  "nested_error_code": "", "nested_trace_id": None}
    assert counted(cls.connector_id) == {(False, "none"): (1, 1)}


def test_merge_nested_failure_details():
    def merged(trace_id, details):
        return _merge_nested_failure_details(ConnectorResponse(success=False, trace_id=trace_id, details=details))

    kept = {"k": "v"}
    for tid in (None, ""):
        assert merged(tid, None) is None
        assert _merge_nested_failure_details(SimpleNamespace(trace_id=tid, details=kept)) is kept

    assert merged("x", None) == {"nested_trace_id": "x"}

    original = {"field": "bad"}
    out = _merge_nested_failure_details(SimpleNamespace(trace_id="x", details=original))
    assert out == {"field": "bad", "nested_trace_id": "x"}
    assert original == {"field": "bad"} and out is not original

    already = {"nested_trace_id": "y", "more": 1}
    out = _merge_nested_failure_details(SimpleNamespace(trace_id="x", details=already))
    assert out == {"nested_trace_id": "y", "more": 1} and out is not already

    ordered = OrderedDict(a=1)
    out = _merge_nested_failure_details(SimpleNamespace(trace_id="x", details=ordered))
    assert type(out) is dict and out == {"a": 1, "nested_trace_id": "x"}

    listed = [{"loc": ["n"]}]
    out = merged("x", listed)
    assert out == {"nested_trace_id": "x", "nested_details": listed}
    assert merged("x", "text") == {"nested_trace_id": "x", "nested_details": "text"}


@pytest.mark.parametrize("duplicate", [
    copy.copy,
    copy.deepcopy,
    lambda e: pickle.loads(pickle.dumps(e)),
])
@pytest.mark.parametrize("response, message", [
    (ConnectorResponse(success=False, error_code="VENDOR_DOWN", message="vendor down", trace_id="t-1",
                       details={"k": [1]}), "vendor down"),
    (ConnectorResponse(success=False, error_code="VENDOR_DOWN", trace_id="t-2"), "VENDOR_DOWN"),
    (ConnectorResponse(success=False), "Nested action failed"),
])
def test_nested_error_survives_copy_and_pickle(duplicate, response, message):
    err = NestedConnectorActionError(response)
    err.note = "kept"
    again = duplicate(err)
    assert type(again) is NestedConnectorActionError
    assert (str(again), again.args) == (message, (message,))
    assert again.response == response and again.note == "kept"
