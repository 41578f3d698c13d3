"""Many concurrent runs on one connector instance: awaits, failures, cancellations, timeouts.

Every call must end in its own envelope or in its own cancellation; the caller context and the log
connector id never leak from one task into another and are restored after every call, however it
ended; the instance keeps exactly one breaker per tenant key.
"""

import asyncio
import random
from dataclasses import dataclass
from typing import List, Literal, Optional

import pytest
from pydantic import BaseModel

from quellon_runtime.connector_base import ConnectorBase, _caller_execution_ctx, ql_action
from quellon_runtime.log_sanitization import get_log_connector_id, reset_log_connector_id, set_log_connector_id
from quellon_runtime.models import ErrorCategory

CONNECTOR_ID = "stress-concurrency-probe"
GUARD = 60.0  # seconds: only against a hang, never an expectation
OUTER_TRIPLE = ("outer-principal", "outer-tenant", ("outer.scope",))
OUTER_LOG_ID = "outer-log-connector"
TENANTS = ["t0", "t1", "t2", "t3", "t4", None, ""]


class StressVendorError(Exception):
    pass


class WorkIn(BaseModel):
    action: Literal["stress.work"]
    tag: int
    mode: str            # ok | fail | hang | nested | delegate | nested_hang
    delay: float = 0.0


class PeekIn(BaseModel):
    action: Literal["stress.peek"]
    tag: int
    hang: bool = False


class StressOut(BaseModel):
    tag: int
    principal: Optional[str] = None
    tenant_id: Optional[str] = None
    scopes: Optional[List[str]] = None


class Expected:
    """What call `tag` must see inside its own action."""

    def __init__(self, principal, tenant_id, scopes):
        self.triple = (principal, tenant_id or None, scopes)


class StressConnector(ConnectorBase):
    connector_id = CONNECTOR_ID
    output_model = StressOut
    error_map = {StressVendorError: (ErrorCategory.UPSTREAM, "STRESS_VENDOR")}

    def __init__(self, **kwargs):
        self.expected = {}        # tag -> Expected
        self.violations = []      # what an action saw that it should not have
        self.started_keys = set()  # breaker keys of calls whose action body ran
        self.breakers_made = 0
        super().__init__(**kwargs)

    def _create_breaker(self):
        breaker = super()._create_breaker()
        self.breakers_made += 1
        # Cancellations and failures are a large part of this mix; an open breaker would turn later
        # calls into refusals and hide what is checked here (breaker trips have their own test).
        breaker.fail_max = 10**9
        return breaker

    def _check(self, tag, where, triple):
        seen = (_caller_execution_ctx.get(), get_log_connector_id())
        if seen != (triple, CONNECTOR_ID):
            self.violations.append((tag, where, seen, triple))

    @ql_action("stress.work")
    async def work(self, params: WorkIn, *, trace_id: str) -> StressOut:
        tag, own = params.tag, self.expected[params.tag].triple
        self.started_keys.add(self._breaker_key(own[1]))
        self._check(tag, "start", own)
        mine = _caller_execution_ctx.get()
        await asyncio.sleep(params.delay)
        self._check(tag, "after sleep", own)
        if params.mode == "fail":
            raise StressVendorError(f"vendor failed for {tag}")
        if params.mode == "hang":
            await asyncio.Event().wait()
        if params.mode in ("nested", "nested_hang"):
            out = await self.call_action("stress.peek", {"tag": tag, "hang": params.mode == "nested_hang"})
            if (out.principal, out.tenant_id, out.scopes) != (own[0], own[1], None if own[2] is None else list(own[2])):
                self.violations.append((tag, "nested view", out, own))
        if params.mode == "delegate":
            out = await self.call_action("stress.peek", {"tag": tag}, principal=f"delegate-{tag}")
            if (out.principal, out.tenant_id, out.scopes) != (f"delegate-{tag}", None, None):
                self.violations.append((tag, "delegate view", out, own))
        if _caller_execution_ctx.get() is not mine:  # the nested run restored this call's own triple
            self.violations.append((tag, "after nested", _caller_execution_ctx.get(), own))
        self._check(tag, "end", own)
        return StressOut(tag=tag, principal=own[0], tenant_id=own[1], scopes=None if own[2] is None else list(own[2]))

    @ql_action("stress.peek")
    async def peek(self, params: PeekIn, *, trace_id: str) -> StressOut:
        await asyncio.sleep(0)
        if params.hang:
            await asyncio.Event().wait()
        principal, tenant_id, scopes = _caller_execution_ctx.get()
        if get_log_connector_id() != CONNECTOR_ID:
            self.violations.append((params.tag, "peek log id", get_log_connector_id(), None))
        return StressOut(tag=params.tag, principal=principal, tenant_id=tenant_id,
                         scopes=None if scopes is None else list(scopes))


@dataclass
class Plan:
    tag: int
    mode: str
    how: str          # await | cancel | wait_for | timeout
    delay: float
    principal: Optional[str]
    tenant_id: Optional[str]
    scopes: Optional[tuple]

    @property
    def must_cancel(self) -> bool:
        return self.mode in ("hang", "nested_hang")


def make_plans(rng: random.Random, n: int) -> List[Plan]:
    plans = []
    for tag in range(n):
        mode = rng.choices(["ok", "fail", "nested", "delegate", "hang", "nested_hang"], [40, 15, 12, 8, 15, 10])[0]
        if mode in ("hang", "nested_hang"):
            how = rng.choice(["cancel", "wait_for", "timeout"])
        else:
            # a cancel may race the end of the call: either outcome is then checked in full
            how = rng.choices(["await", "wait_for", "cancel"], [70, 20, 10])[0]
        plans.append(Plan(tag, mode, how, rng.choice([0.0, 0.0, rng.uniform(0, 0.004)]),
                          rng.choice([f"user-{tag}", f"svc-{tag % 5}", None]), rng.choice(TENANTS),
                          rng.choice([None, (), ("read",), ("read", f"t{tag}")])))
    return plans


async def one_call(conn: StressConnector, plan: Plan, ready: asyncio.Event):
    """Runs one call the way `plan.how` says; checks this task's context afterwards."""
    await ready.wait()  # every task exists before any starts, so they all interleave
    coro = conn.run({"action": "stress.work", "tag": plan.tag, "mode": plan.mode, "delay": plan.delay},
                    principal=plan.principal, tenant_id=plan.tenant_id, scopes=plan.scopes)
    try:
        if plan.how == "wait_for":
            return await asyncio.wait_for(coro, 0.005 if plan.must_cancel else GUARD)
        if plan.how == "timeout":
            async with asyncio.timeout(0.005):  # same task: the run is cancelled in this context
                return await coro
        return await coro
    finally:
        # whatever happened to the call, this task's own context is as it was
        if (_caller_execution_ctx.get(), get_log_connector_id()) != (OUTER_TRIPLE, OUTER_LOG_ID):
            conn.violations.append((plan.tag, "caller task after the call",
                                    _caller_execution_ctx.get(), get_log_connector_id()))


def check_outcome(plan: Plan, task: asyncio.Task) -> Optional[str]:
    """None when the call ended as its plan allows, else a description of what went wrong."""
    if task.cancelled():
        return None if plan.how == "cancel" else "cancelled without being cancelled"
    exc = task.exception()
    if exc is not None:
        if isinstance(exc, TimeoutError) and plan.how in ("wait_for", "timeout") and plan.must_cancel:
            return None
        return f"raised {exc!r}"
    if plan.must_cancel:
        return f"a call that never finishes returned {task.result()!r}"
    resp = task.result()
    own = (plan.principal, plan.tenant_id or None, plan.scopes)
    if plan.mode == "fail":
        ok = (not resp.success and resp.error_code == "STRESS_VENDOR"
              and resp.message == f"vendor failed for {plan.tag}")
    else:
        ok = resp.success and resp.data == {"tag": plan.tag, "principal": own[0], "tenant_id": own[1],
                                            "scopes": None if own[2] is None else list(own[2])}
    return None if ok else f"wrong envelope {resp!r}"


@pytest.mark.parametrize("seed", [7, 1234])
async def test_concurrent_runs_end_in_their_own_envelope_or_cancellation(seed):
    rng = random.Random(seed)
    conn = StressConnector()
    plans = make_plans(rng, 1500)
    for p in plans:
        conn.expected[p.tag] = Expected(p.principal, p.tenant_id, p.scopes)

    ctx_token = _caller_execution_ctx.set(OUTER_TRIPLE)
    log_token = set_log_connector_id(OUTER_LOG_ID)
    try:
        ready = asyncio.Event()
        tasks = [asyncio.create_task(one_call(conn, p, ready)) for p in plans]
        ready.set()
        # cancel the planned ones at assorted points: before they start, mid-await, mid-nested call
        to_cancel = [(t, p) for t, p in zip(tasks, plans) if p.how == "cancel"]
        rng.shuffle(to_cancel)
        for i, (task, _) in enumerate(to_cancel):
            if i % 3:
                await asyncio.sleep(rng.choice([0, 0, 0.001]))
            task.cancel()
        await asyncio.wait_for(asyncio.wait(tasks), GUARD)
        after = (_caller_execution_ctx.get(), get_log_connector_id())
    finally:
        reset_log_connector_id(log_token)
        _caller_execution_ctx.reset(ctx_token)

    # read every outcome first, so a failed assertion leaves no unretrieved task exception behind
    wrong = [(p, why) for p, t in zip(plans, tasks) if (why := check_outcome(p, t)) is not None]
    ended = {("cancelled" if t.cancelled() else type(t.exception()).__name__ if t.exception() else
              "ok" if t.result().success else "failed") for t in tasks}
    assert after == (OUTER_TRIPLE, OUTER_LOG_ID)
    assert conn.violations == []
    assert wrong == []
    # the mix really happened: envelopes of each kind, cancellations and timeouts
    assert ended == {"ok", "failed", "cancelled", "TimeoutError"}

    # one breaker per tenant key that reached the breaker, created once each and kept
    assert set(conn._breakers) == conn.started_keys
    assert conn.started_keys <= {"t0", "t1", "t2", "t3", "t4", "__default__"}
    assert conn.breakers_made == len(conn._breakers)
    assert conn._breaker_for_tenant(None) is conn._breaker_for_tenant("") is conn._breakers["__default__"]


async def test_gathered_runs_with_a_failing_sibling_keep_their_own_identity():
    """gather() does not cancel siblings on failure envelopes; each result is its own call's."""
    conn = StressConnector()
    calls = []
    for tag in range(200):
        mode = "fail" if tag % 7 == 0 else "delegate" if tag % 5 == 0 else "nested" if tag % 3 == 0 else "ok"
        conn.expected[tag] = Expected(f"p{tag}", TENANTS[tag % len(TENANTS)], (f"s{tag}",))
        calls.append(conn.run({"action": "stress.work", "tag": tag, "mode": mode, "delay": (tag % 4) / 1000},
                              principal=f"p{tag}", tenant_id=TENANTS[tag % len(TENANTS)], scopes=(f"s{tag}",)))
    results = await asyncio.wait_for(asyncio.gather(*calls), GUARD)
    assert conn.violations == []
    for tag, resp in enumerate(results):
        if tag % 7 == 0:
            assert (resp.success, resp.error_code, resp.message) == (False, "STRESS_VENDOR", f"vendor failed for {tag}")
        else:
            assert resp.data["tag"] == tag and resp.data["principal"] == f"p{tag}"
    assert _caller_execution_ctx.get() is None and get_log_connector_id() is None
    assert set(conn._breakers) == {"t0", "t1", "t2", "t3", "t4", "__default__"} == conn.started_keys


class TripIn(BaseModel):
    action: Literal["trip.go"] = "trip.go"
    hang: bool = False


class TripConnector(ConnectorBase):
    connector_id = "stress-breaker-trip-probe"
    output_model = StressOut

    @ql_action("trip.go")
    async def go(self, params: TripIn, *, trace_id: str) -> StressOut:
        if not params.hang:
            raise StressVendorError("down")
        await asyncio.Event().wait()


@pytest.mark.parametrize("how", ["cancel", "wait_for"])
async def test_a_cancellation_that_trips_the_breaker_still_cancels(how):
    conn = TripConnector()
    for _ in range(4):  # one short of the breaker's fail_max of 5
        assert (await conn.run({}, tenant_id="t")).error_code == "INTERNAL_ERROR"
    if how == "cancel":
        task = asyncio.ensure_future(conn.run({"hang": True}, tenant_id="t"))
        for _ in range(5):
            await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await asyncio.wait_for(task, GUARD)
    else:
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(conn.run({"hang": True}, tenant_id="t"), 0.01)
