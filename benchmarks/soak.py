"""Leak soak: long runs of the runtime's hot calls, watching resident memory and live objects.

Run:  PYTHONPATH=src python benchmarks/soak.py [--scale 1.0] [--only NAME ...] [--aws] [--trace]

Workloads (calls at scale 1):
- run:            100,000 `ConnectorBase.run` calls mixing successes (some suspending), validation
                  failures, policy denials, action failures, nested `call_action` calls (success,
                  nested failure, nested denial, nested validation failure), breaker refusals and
                  tenant mismatches;
- consume:        100,000 `InMemoryThrottler.consume` calls over hot keys (rejections) and a churn of
                  cold keys (LRU and idle eviction), with some keys built by `identity_throttle_key`;
- acquire:        100,000 `TokenBucket.acquire` calls on an open and on an empty bucket
                  (`ThrottleExceeded`), some of them concurrent;
- get_headers:    10,000 `FixedTokenAuthProvider.get_headers` (bearer, raw, base64, a missing
                  secret), with `refresh` between some;
- get_secret:     10,000 `ChainedSecretProvider.get_secret` over in-memory providers (hit, fall
                  through on SecretNotFoundError and KeyError, nested chain, absent everywhere,
                  broken provider); with --aws also an AWS bundle provider under moto;
- challenges:     10,000 `parse_www_authenticate` calls on assorted headers, reading every property;
- loopback:       10,000 `LoopbackRedirectCatcher` round trips: start, a raw asyncio client sends
                  the redirect (success, OAuth error, wrong path, POST), wait_for_callback, close;
- dropped:        10,000 connector instances, each holding its own `run()` task hung inside its
                  action, dropped by the host: only the cycle collector can free them (instance ->
                  task -> native coroutine -> instance), and every one must be gone after it runs.

Every outcome is checked, so a soak that silently took another path fails loudly.

Method: every workload first runs a warm-up (a tenth of its calls, at least WARMUP_MIN, same mix)
so that caches, free lists, lazily built breakers, throttle keys up to their cap and allocator
arenas reach their steady state. Then, for each workload in turn: let the event loop run what the
last call scheduled, collect garbage, take a reading, run the calls, settle and collect again, take
another reading. A reading is:
- RSS (current resident set; from /proc, psutil, GetProcessMemoryInfo, else the peak from
  getrusage): must grow by less than 2 MiB, per workload and over all of them together. This is
  the only figure that sees the native heap;
- live objects, len(gc.get_objects()): must not grow, up to OBJECT_TOLERANCE;
- blocks held by Python's allocator, sys.getallocatedblocks(): up to BLOCK_TOLERANCE. gc does not
  track strings, numbers, or tuples and dicts holding only such values, so a leak of those is
  invisible to the object count and shows here.

Why tolerances at all: the counts cover the whole process, and a few objects can appear once after
warm-up without any leak (a container growing its table, the event loop's scheduled handles, an
abc subclass-cache entry, free lists settling). In practice a full soak drifts by 0 objects; blocks
drift by up to a few hundred per workload (about 550 over all of them), mostly small allocations
made under the pipeline's native calls that rotate rather than accumulate: their number does not
follow the call count (about +80, +160 and -20 after 3,000, 12,000 and 30,000 runs). A leak grows
with the number of calls (at least one object or block per leaking call, tens of thousands at full
scale), far above both tolerances. The
driver keeps its own readings as exact tuples of ints, which gc untracks, so they are not counted.

To find a leak: --only NAME and --run-kinds KIND bisect the workloads and the run mix; --trace
prints the source lines whose allocations grew (tracemalloc; Python allocations only).
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import gc
import logging
import mmap
import os
import random
import sys
import time
import tracemalloc
import weakref
from collections import Counter
from dataclasses import dataclass, field
from typing import Awaitable, Callable, List, Literal, NamedTuple, Optional

from pydantic import BaseModel

from quellon_runtime.connector_base import ConnectorBase, ql_action
from quellon_runtime.models import ErrorCategory
from quellon_runtime.policy import PolicyDenied, PolicyHook
from quellon_runtime.secrets.base import SecretNotFoundError, SecretProvider, SecretProviderError

MIB = 1024 * 1024
RSS_BUDGET = 2 * MIB
OBJECT_TOLERANCE = 16
BLOCK_TOLERANCE = 1024
WARMUP_FRACTION = 0.1
# At least this many warm-up calls: enough to fill the bounded caches on the way, such as the
# 128-entry lru_cache of urllib.parse.urlsplit that every distinct callback URL passes through.
WARMUP_MIN = 300


# ---- measuring --------------------------------------------------------------------------------


def _rss_proc() -> Optional[int]:
    with open("/proc/self/statm", "rb") as f:
        return int(f.read().split()[1]) * mmap.PAGESIZE


def _rss_psutil() -> Optional[int]:
    import psutil  # optional

    return psutil.Process().memory_info().rss


def _rss_windows() -> Optional[int]:
    import ctypes
    from ctypes import wintypes

    class Counters(ctypes.Structure):
        _fields_ = [("cb", wintypes.DWORD), ("PageFaultCount", wintypes.DWORD)] + [
            (n, ctypes.c_size_t) for n in (
                "PeakWorkingSetSize", "WorkingSetSize", "QuotaPeakPagedPoolUsage", "QuotaPagedPoolUsage",
                "QuotaPeakNonPagedPoolUsage", "QuotaNonPagedPoolUsage", "PagefileUsage", "PeakPagefileUsage")
        ]

    kernel32 = ctypes.WinDLL("kernel32")  # type: ignore[attr-defined]
    kernel32.GetCurrentProcess.restype = wintypes.HANDLE
    query = kernel32.K32GetProcessMemoryInfo
    query.argtypes = [wintypes.HANDLE, ctypes.POINTER(Counters), wintypes.DWORD]
    query.restype = wintypes.BOOL
    counters = Counters()
    counters.cb = ctypes.sizeof(Counters)
    if not query(kernel32.GetCurrentProcess(), ctypes.byref(counters), counters.cb):
        return None
    return int(counters.WorkingSetSize)


def _rss_peak() -> Optional[int]:
    # Peak, not current: growth then reads as "the peak moved", an upper bound of real growth.
    import resource

    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak if sys.platform == "darwin" else peak * 1024


def _pick_rss_reader() -> tuple[str, Callable[[], Optional[int]]]:
    for label, reader in (("/proc/self/statm", _rss_proc), ("psutil", _rss_psutil),
                          ("GetProcessMemoryInfo", _rss_windows), ("peak ru_maxrss", _rss_peak)):
        try:
            if reader() is not None:
                return label, reader
        except Exception:  # not this platform; try the next way
            continue
    return "unavailable", lambda: None


RSS_SOURCE, read_rss = _pick_rss_reader()


def live_objects() -> int:
    for _ in range(3):  # a collection can free what keeps another cycle alive
        if gc.collect() == 0:
            break
    return len(gc.get_objects())


class Reading(NamedTuple):
    rss: Optional[int]
    objects: int
    blocks: int


async def take_reading() -> tuple:
    """(rss, objects, blocks) as a plain tuple of ints: the collector untracks exact tuples of
    atomic values, so readings held by the driver are not counted among the objects they count."""
    # Let the loop run what the last call scheduled (a finished gather's wake-up, a closed
    # transport's connection_lost) so those objects are not counted as survivors.
    for _ in range(5):
        await asyncio.sleep(0)
    objects = live_objects()
    return (read_rss(), objects, sys.getallocatedblocks())


# ---- the connector ------------------------------------------------------------------------------


class VendorDown(Exception):
    pass


class EchoIn(BaseModel):
    action: Literal["soak.echo"]
    value: int
    deny: bool = False
    suspend: bool = False


class FailIn(BaseModel):
    action: Literal["soak.fail"]
    why: str = "down"


class RelayIn(BaseModel):
    action: Literal["soak.relay"]
    target: str
    params: dict = {}


class SoakOut(BaseModel):
    value: int = 0


class SoakConnector(ConnectorBase):
    connector_id = "soak-connector"
    output_model = SoakOut
    error_map = {VendorDown: (ErrorCategory.UPSTREAM, "VENDOR_DOWN")}

    @ql_action("soak.echo")
    async def echo(self, params: EchoIn, *, trace_id: str) -> SoakOut:
        if params.suspend:
            await asyncio.sleep(0)
        return SoakOut(value=params.value)

    @ql_action("soak.fail")
    async def fail(self, params: FailIn, *, trace_id: str) -> SoakOut:
        raise VendorDown(params.why)

    @ql_action("soak.relay")
    async def relay(self, params: RelayIn, *, trace_id: str) -> SoakOut:
        out = await self.call_action(params.target, params.params)
        return SoakOut(value=out.value + 1)


class DenyFlagged(PolicyHook):
    def check(self, context) -> None:
        if context.input_payload.get("deny"):
            raise PolicyDenied("denied by soak policy")


class _Sink(logging.Handler):
    """Builds every record's message (so %-arguments are used) and drops it."""

    def emit(self, record: logging.LogRecord) -> None:
        record.getMessage()


# ---- workloads ----------------------------------------------------------------------------------


@dataclass
class Workload:
    name: str
    calls: int                                  # at scale 1
    batch: Callable[[int], Awaitable[None]]     # runs that many calls, continuing the same mix
    outcomes: Counter = field(default_factory=Counter)


class WrongOutcome(AssertionError):
    """A call took another path than the one it was made for."""


def expect(cond: bool, what: str) -> None:
    if not cond:
        raise WrongOutcome(what)


TENANTS = ("acme", "globex", "initech", None, "")
# Failures a kind adds to its tenant's breaker: a nested failure counts in the nested run and again
# when it leaves the relaying action; denials and validation failures never reach the breaker.
BREAKER_COST = {"fail": 1, "nested_fail": 2, "nested_deny": 1, "nested_invalid": 1}
BREAKER_RESETS = {"success", "suspend", "nested_ok"}
RUN_KINDS = {
    # kind: weight
    "success": 30, "suspend": 8, "validation": 14, "denial": 12, "fail": 8,
    "nested_ok": 12, "nested_fail": 5, "nested_deny": 4, "nested_invalid": 3,
    "tripped": 2, "mismatch": 2,
}


def run_workload(seed: int, kinds: Optional[set] = None) -> Workload:
    rng = random.Random(seed)
    conn = SoakConnector(policy_hook=DenyFlagged(), config={"region": "eu"})
    pinned = SoakConnector(tenant_id="pinned-tenant")
    names = [k for k in RUN_KINDS if kinds is None or k in kinds]
    weights = [RUN_KINDS[k] for k in names]
    # Five breaker-counted failures in a row would open a tenant's breaker for 30 s and turn the
    # rest of the mix into refusals; keep the ordinary tenants below that, and send every call of
    # kind "tripped" to one tenant whose breaker is meant to stay open (refusals, trial failures).
    streak = Counter()  # consecutive breaker failures per breaker key
    w = Workload("run", 100_000, None)  # type: ignore[arg-type]

    async def batch(n: int) -> None:
        for _ in range(n):
            kind = rng.choices(names, weights)[0]
            tenant = rng.choice(TENANTS)
            key = tenant or "__default__"
            if streak[key] + BREAKER_COST.get(kind, 0) >= 5:  # pybreaker opens at fail_max=5
                kind = "success"
            v = rng.randrange(1000)
            principal = f"user-{v % 7}"
            scopes = ("read", "write") if v % 2 else None
            target = conn
            if kind in ("success", "suspend"):
                payload = {"action": "soak.echo", "value": v, "suspend": kind == "suspend"}
            elif kind == "validation":
                payload = rng.choice(({"action": "soak.echo", "value": "not a number"},
                                      {"value": 3}, {"action": "soak.nope"}, {}))
            elif kind == "denial":
                payload = {"action": "soak.echo", "value": v, "deny": True}
            elif kind == "fail":
                payload = {"action": "soak.fail", "why": f"outage {v}"}
            elif kind == "nested_ok":
                payload = {"action": "soak.relay", "target": "soak.echo", "params": {"value": v}}
            elif kind == "nested_fail":
                payload = {"action": "soak.relay", "target": "soak.fail", "params": {}}
            elif kind == "nested_deny":
                payload = {"action": "soak.relay", "target": "soak.echo", "params": {"value": v, "deny": True}}
            elif kind == "nested_invalid":
                payload = {"action": "soak.relay", "target": "soak.echo", "params": {"value": []}}
            elif kind == "tripped":
                tenant = "tripped"
                payload = {"action": "soak.fail"}
            else:  # mismatch
                target, tenant = pinned, "someone-else"
                payload = {"action": "soak.echo", "value": v}
            resp = await target.run(payload, principal=principal, tenant_id=tenant, scopes=scopes)
            if kind in BREAKER_RESETS:
                streak[key] = 0
            else:
                streak[key] += BREAKER_COST.get(kind, 0)
            code = resp.error_code
            if kind in ("success", "suspend"):
                expect(resp.success and resp.data == {"value": v}, f"{kind}: {resp!r}")
            elif kind == "nested_ok":
                expect(resp.success and resp.data["value"] == v + 1, f"{kind}: {resp!r}")
            elif kind == "validation":
                expect(code == "VALIDATION_ERROR" and isinstance(resp.details, list), f"{kind}: {resp!r}")
            elif kind in ("denial", "nested_deny"):
                expect(code == "POLICY_DENIED", f"{kind}: {resp!r}")
            elif kind == "fail":
                expect(code == "VENDOR_DOWN", f"{kind}: {resp!r}")
            elif kind == "nested_fail":
                expect(code == "VENDOR_DOWN" and "nested_trace_id" in resp.details, f"{kind}: {resp!r}")
            elif kind == "nested_invalid":
                expect(code == "VALIDATION_ERROR" and "nested_details" in resp.details, f"{kind}: {resp!r}")
            elif kind == "tripped":
                expect(not resp.success, f"{kind}: {resp!r}")
                code = "VENDOR_DOWN" if code == "VENDOR_DOWN" else "refused"
            else:
                expect(code == "TENANT_MISMATCH", f"{kind}: {resp!r}")
            w.outcomes[f"{kind}:{code or 'ok'}"] += 1
        # the breaker map only ever holds the tenant keys used
        expect(len(conn._breakers) <= len({t or "__default__" for t in TENANTS}) + 1, "breaker map grew")

    w.batch = batch
    return w


def consume_workload(seed: int) -> Workload:
    from quellon_runtime.throttle import InMemoryThrottler, identity_throttle_key

    rng = random.Random(seed)
    limiter = InMemoryThrottler(max_requests=20, window_seconds=60, max_tracked_keys=256, key_ttl_seconds=1)
    hot = [f"principal:{i:016x}" for i in range(64)]
    cold = [f"addr:10.0.{i // 256}.{i % 256}" for i in range(4096)]
    principals = [f"user-{i}" for i in range(32)] + [None, "", "unknown"]
    w = Workload("consume", 100_000, None)  # type: ignore[arg-type]

    async def batch(n: int) -> None:
        consume = limiter.consume
        for i in range(n):
            r = rng.random()
            if r < 0.6:
                key = hot[rng.randrange(len(hot))]
            elif r < 0.9:
                key = cold[rng.randrange(len(cold))]
            else:
                key = identity_throttle_key(rng.choice(principals), fallback="10.9.8.7")
            res = consume(key)
            if res.allowed:
                expect(res.retry_after_seconds == 0, repr(res))
                w.outcomes["allowed"] += 1
            else:
                expect(res.retry_after_seconds >= 1, repr(res))
                w.outcomes["rejected"] += 1
            if i % 1000 == 0:
                expect(limiter.tracked_key_count <= 256, "tracked keys over the cap")

    w.batch = batch
    return w


def acquire_workload(seed: int) -> Workload:
    from quellon_runtime.throttle import ThrottleExceeded, TokenBucket

    rng = random.Random(seed)
    inf = float("inf")
    open_bucket = TokenBucket(inf, inf)
    empty = TokenBucket(1.0, 0.0)
    w = Workload("acquire", 100_000, None)  # type: ignore[arg-type]

    async def batch(n: int) -> None:
        done = 0
        while done < n:
            r = rng.random()
            if r < 0.02 and n - done >= 8:  # a few queue up together on the bucket's lock
                await asyncio.gather(*(open_bucket.acquire() for _ in range(8)))
                w.outcomes["gathered"] += 8
                done += 8
                continue
            done += 1
            if r < 0.6:
                expect(await open_bucket.acquire(rng.randrange(1, 4)) is None, "open bucket")
                w.outcomes["acquired"] += 1
            elif r < 0.9:
                try:
                    await empty.acquire()
                except ThrottleExceeded as exc:
                    expect(str(exc) == "Global rate limit exceeded. Please try again later.", str(exc))
                    w.outcomes["exceeded"] += 1
                else:
                    expect(empty.tokens == 0.0, "empty bucket gave its only token once")
                    w.outcomes["first token"] += 1
            else:
                expect(await empty.acquire(0) is None, "acquire(0)")
                w.outcomes["zero"] += 1

    w.batch = batch
    return w


class DictSecrets(SecretProvider):
    def __init__(self, values: dict, *, key_error: bool = False) -> None:
        self._values = values
        self._key_error = key_error

    def get_secret(self, key: str) -> str:
        if key in self._values:
            return self._values[key]
        if self._key_error:
            raise KeyError(key)
        raise SecretNotFoundError(key)


class BrokenSecrets(SecretProvider):
    def get_secret(self, key: str) -> str:
        raise SecretProviderError("store unreachable")


def headers_workload(seed: int) -> Workload:
    from quellon_runtime.auth.fixed_token import FixedTokenAuthProvider
    from quellon_runtime.secrets.chained import ChainedSecretProvider

    rng = random.Random(seed)
    store = ChainedSecretProvider(DictSecrets({"api-token": "tok-123\n"}),
                                  DictSecrets({"basic": "svc:pässword", "raw": "  raw-key  "}))
    providers = [
        (FixedTokenAuthProvider(secret_provider=store, secret_key="api-token"),
         {"Authorization": "Bearer tok-123"}),
        (FixedTokenAuthProvider(secret_provider=store, secret_key="raw", header_name="X-Api-Key", prefix=""),
         {"X-Api-Key": "  raw-key  "}),
        (FixedTokenAuthProvider(secret_provider=store, secret_key="basic", prefix="Basic", encoding="base64"),
         {"Authorization": "Basic " + base64.b64encode("svc:pässword".encode()).decode()}),
        (FixedTokenAuthProvider(secret_provider=store, secret_key="missing"), None),
    ]
    w = Workload("get_headers", 10_000, None)  # type: ignore[arg-type]

    async def batch(n: int) -> None:
        for i in range(n):
            provider, expected = providers[rng.randrange(len(providers))]
            if i % 5 == 0:
                await provider.refresh()
                w.outcomes["refresh"] += 1
            try:
                got = await provider.get_headers()
            except SecretNotFoundError:
                expect(expected is None, "secret unexpectedly absent")
                w.outcomes["not found"] += 1
            else:
                expect(got == expected, repr(got))
                got["X-Mutated"] = "1"  # the cache must not see this
                w.outcomes["headers"] += 1

    w.batch = batch
    return w


def secrets_workload(seed: int, aws_provider: Optional[SecretProvider] = None) -> Workload:
    from quellon_runtime.secrets.chained import ChainedSecretProvider

    rng = random.Random(seed)
    first = DictSecrets({"a": "alpha", "empty": ""})
    second = DictSecrets({"b": "beta"}, key_error=True)
    third = DictSecrets({"c": "gamma"})
    inner = ChainedSecretProvider(DictSecrets({}), DictSecrets({"n": "nested"}))
    front = [aws_provider] if aws_provider is not None else []
    chain = ChainedSecretProvider(*front, first, second, third, inner)
    broken = ChainedSecretProvider(DictSecrets({}), BrokenSecrets(), third)
    cases = [("a", "alpha"), ("b", "beta"), ("c", "gamma"), ("n", "nested"), ("empty", ""), ("zz", None)]
    if aws_provider is not None:
        cases.append(("aws-key", "from-aws"))
    providers_in_chain = len(front) + 4
    w = Workload("get_secret", 10_000, None)  # type: ignore[arg-type]

    async def batch(n: int) -> None:
        for _ in range(n):
            if rng.random() < 0.1:
                try:
                    broken.get_secret("c")
                except SecretProviderError:
                    w.outcomes["broken"] += 1
                    continue
                raise WrongOutcome("a broken provider was skipped")
            key, expected = cases[rng.randrange(len(cases))]
            try:
                got = chain.get_secret(key)
            except SecretNotFoundError as exc:
                expect(expected is None and str(exc) ==
                       f"Secret '{key}' not found in any of {providers_in_chain} provider(s)", str(exc))
                expect(isinstance(exc.__cause__, SecretNotFoundError), "not-found cause")
                w.outcomes["absent"] += 1
            else:
                expect(got == expected, repr(got))
                w.outcomes[f"hit {key}"] += 1

    w.batch = batch
    return w


def challenges_workload(seed: int) -> Workload:
    from quellon_runtime.mcp_client.challenges import parse_www_authenticate

    rng = random.Random(seed)
    long_desc = "x" * 2000
    headers = [
        None, "", "   ",
        'Bearer error="invalid_token", error_description="The access token expired"',
        'Bearer error="insufficient_scope", scope="files:read files:write", '
        'resource_metadata="https://rs.example/.well-known/oauth-protected-resource"',
        'Bearer realm="mcp"',
        "Bearer error=invalid_token",
        'Basic realm="files"',
        "Bearer",
        '  Bearer ERROR="Invalid_Token" , resource_metadata=https://rs.example/meta  ',
        f'Bearer error="server_error", error_description="{long_desc}"',
        'DPoP error="", scope="äöü 漢字"',
    ]
    w = Workload("challenges", 10_000, None)  # type: ignore[arg-type]

    async def batch(n: int) -> None:
        for _ in range(n):
            header = headers[rng.randrange(len(headers))]
            ch = parse_www_authenticate(header)
            if ch is None:
                expect(header is None or not header.strip(), repr(header))
                w.outcomes["none"] += 1
                continue
            expect(ch.raw == header.strip(), repr(ch))
            flags = (ch.is_invalid_token, ch.is_insufficient_scope, ch.treat_as_unauthorized)
            hash(ch)
            expect(ch == parse_www_authenticate(header), "equal parses")
            w.outcomes[f"{ch.scheme}:{ch.error}:{flags}"[:60]] += 1

    w.batch = batch
    return w


class HangIn(BaseModel):
    action: Literal["soak.hang"]


class HangingConnector(ConnectorBase):
    connector_id = "soak-hanging"
    output_model = SoakOut

    @ql_action("soak.hang")
    async def hang(self, params: HangIn, *, trace_id: str) -> SoakOut:
        await asyncio.get_running_loop().create_future()  # resolved by nobody
        return SoakOut()


def dropped_workload(seed: int) -> Workload:
    w = Workload("dropped", 10_000, None)  # type: ignore[arg-type]
    chunk = 250

    async def batch(n: int) -> None:
        loop = asyncio.get_running_loop()
        previous_handler, previous_hook = loop.get_exception_handler(), sys.unraisablehook
        reported = Counter()
        # Collecting a pending task reports "Task was destroyed but it is pending!", and closing its
        # coroutine outside the task's context makes the context-variable resets fail, as for the
        # same code written in Python: counted here instead of printed.
        loop.set_exception_handler(lambda _loop, ctx: reported.update(["destroyed pending task"]))
        sys.unraisablehook = lambda u: reported.update([f"unraisable {u.exc_type.__name__}"])
        otel_context = logging.getLogger("opentelemetry.context")  # "Failed to detach context"
        otel_context.disabled = True
        try:
            alive: weakref.WeakSet = weakref.WeakSet()
            done = 0
            while done < n:
                for _ in range(min(chunk, n - done)):
                    conn = HangingConnector()
                    conn.task = asyncio.create_task(conn.run({"action": "soak.hang"}))
                    alive.add(conn)
                    done += 1
                conn = None
                await asyncio.sleep(0)  # every run() is now suspended inside its action
                expect(len(alive) > 0, "dropped: instances vanished before collection")
                gc.collect()
                expect(len(alive) == 0, f"dropped: {len(alive)} instances survived gc.collect()")
        finally:
            loop.set_exception_handler(previous_handler)
            sys.unraisablehook = previous_hook
            otel_context.disabled = False
        expect(reported["destroyed pending task"] == n, f"dropped: {reported!r}")
        w.outcomes["collected"] += n
        w.outcomes.update(reported)

    w.batch = batch
    return w


def loopback_workload(seed: int) -> Workload:
    from quellon_runtime.mcp_client.exceptions import McpOAuthFlowAborted, McpOAuthSecurityError
    from quellon_runtime.mcp_client.redirect_catcher import LoopbackRedirectCatcher

    rng = random.Random(seed)
    w = Workload("loopback", 10_000, None)  # type: ignore[arg-type]
    guard = 30.0  # seconds: against a hang, never expected to matter

    async def round_trip(kind: str, i: int) -> None:
        catcher = LoopbackRedirectCatcher()
        binding = await catcher.start()
        try:
            reader, writer = await asyncio.open_connection(binding.host, binding.port)
            method, path, query = "GET", binding.path, f"code=c{i}&state=s{i}"
            if kind == "error":
                query = "error=access_denied&error_description=User+denied&state=s"
            elif kind == "mismatch":
                path = binding.path + "/"
            elif kind == "post":
                method = "POST"
            writer.write(f"{method} {path}?{query} HTTP/1.1\r\nHost: {binding.host}:{binding.port}\r\n"
                         f"User-Agent: soak\r\n\r\n".encode("ascii"))
            await writer.drain()
            response = await asyncio.wait_for(reader.read(), guard)
            writer.close()
            await writer.wait_closed()
            try:
                # a POST leaves the callback pending: no wait then, just the timeout path
                cb = await catcher.wait_for_callback(0.0 if kind == "post" else guard)
            except McpOAuthFlowAborted as exc:
                expect((kind, str(exc)) in (("error", "User denied"),
                                            ("post", "Authorization timed out waiting for redirect")),
                       f"{kind}: {exc}")
            except McpOAuthSecurityError as exc:
                expect(kind == "mismatch" and str(exc).startswith("Redirect path mismatch"), str(exc))
            else:
                expect(kind == "ok" and cb.code == f"c{i}" and cb.state == f"s{i}", f"{kind}: {cb!r}")
            status = response.split(b"\r\n", 1)[0].decode("ascii", "replace")
            w.outcomes[f"{kind}: {status}"] += 1
        finally:
            await asyncio.wait_for(catcher.close(), guard)

    async def batch(n: int) -> None:
        for i in range(n):
            r = rng.random()
            kind = "ok" if r < 0.7 else "error" if r < 0.85 else "mismatch" if r < 0.95 else "post"
            await round_trip(kind, i)

    w.batch = batch
    return w


# ---- driver -------------------------------------------------------------------------------------


@dataclass
class Row:
    name: str
    calls: int
    before: Reading
    after: Reading
    outcomes: Counter
    seconds: float

    @property
    def rss_growth(self) -> Optional[int]:
        if self.before.rss is None or self.after.rss is None:
            return None
        return self.after.rss - self.before.rss

    @property
    def object_growth(self) -> int:
        return self.after.objects - self.before.objects

    @property
    def block_growth(self) -> int:
        return self.after.blocks - self.before.blocks

    @property
    def objects_ok(self) -> bool:
        return self.object_growth <= OBJECT_TOLERANCE and self.block_growth <= BLOCK_TOLERANCE

    @property
    def ok(self) -> bool:
        growth = self.rss_growth
        return (growth is None or growth < RSS_BUDGET) and self.objects_ok


def _scaled(calls: int, scale: float) -> int:
    return max(50, int(calls * scale))


@dataclass
class Options:
    scale: float = 1.0
    only: Optional[List[str]] = None
    run_kinds: Optional[set] = None
    aws: bool = False
    trace: bool = False
    seed: int = 20240611


def _build(opts: Options, aws_provider: Optional[SecretProvider]) -> list[Workload]:
    seed = opts.seed
    workloads = [
        run_workload(seed + 1, opts.run_kinds),
        consume_workload(seed + 2),
        acquire_workload(seed + 3),
        headers_workload(seed + 4),
        secrets_workload(seed + 5, aws_provider),
        challenges_workload(seed + 6),
        loopback_workload(seed + 7),
        dropped_workload(seed + 8),
    ]
    return [w for w in workloads if not opts.only or w.name in opts.only]


def _print_trace(name: str, before: tracemalloc.Snapshot, after: tracemalloc.Snapshot) -> None:
    print(f"-- tracemalloc, {name}: largest growth by line", file=sys.stderr)
    for stat in after.compare_to(before, "lineno")[:12]:
        if stat.size_diff > 0:
            print(f"   {stat}", file=sys.stderr)


async def _soak(opts: Options, aws_provider: Optional[SecretProvider]) -> tuple[list[Row], Row]:
    workloads = _build(opts, aws_provider)
    counts = [_scaled(w.calls, opts.scale) for w in workloads]
    for w, n in zip(workloads, counts):
        await w.batch(max(WARMUP_MIN, int(n * WARMUP_FRACTION)))
        w.outcomes.clear()  # only the measured calls are reported
    # Everything the driver keeps while measuring is allocated up front.
    befores: list = [None] * len(workloads)
    afters: list = [None] * len(workloads)
    seconds: list = [0.0] * len(workloads)
    t_total = time.perf_counter()
    total_before = await take_reading()
    for i, w in enumerate(workloads):
        befores[i] = await take_reading()
        snap = tracemalloc.take_snapshot() if opts.trace else None
        t0 = time.perf_counter()
        await w.batch(counts[i])
        seconds[i] = time.perf_counter() - t0
        afters[i] = await take_reading()
        if snap is not None:
            _print_trace(w.name, snap, tracemalloc.take_snapshot())
            snap = None
    total_after = await take_reading()
    rows = [Row(w.name, counts[i], Reading(*befores[i]), Reading(*afters[i]), Counter(w.outcomes), seconds[i])
            for i, w in enumerate(workloads)]
    total = Row("all workloads", sum(counts), Reading(*total_before), Reading(*total_after), Counter(),
                time.perf_counter() - t_total)
    return rows, total


def _aws_provider():
    """An AWS Secrets Manager bundle under moto's in-process mock; returns (provider, mock)."""
    import json

    import boto3
    from moto import mock_aws

    from quellon_runtime.secrets.aws import AwsSecretsManagerProvider

    for name, value in (("AWS_ACCESS_KEY_ID", "soak"), ("AWS_SECRET_ACCESS_KEY", "soak"),
                        ("AWS_DEFAULT_REGION", "us-east-1")):
        os.environ.setdefault(name, value)
    mock = mock_aws()
    mock.start()
    boto3.client("secretsmanager", region_name="us-east-1").create_secret(
        Name="soak/bundle", SecretString=json.dumps({"aws-key": "from-aws"}))
    return AwsSecretsManagerProvider("soak/bundle", region="us-east-1"), mock


def soak(opts: Options) -> tuple[list[Row], Row]:
    runtime_logger = logging.getLogger("runtime")
    saved = (runtime_logger.level, runtime_logger.propagate, list(runtime_logger.handlers))
    # Every record is built (DEBUG, extras included) and dropped: the logging path is soaked too.
    runtime_logger.setLevel(logging.DEBUG)
    runtime_logger.propagate = False
    runtime_logger.handlers[:] = [_Sink()]
    aws_provider, mock = _aws_provider() if opts.aws else (None, None)
    if opts.trace:
        tracemalloc.start(8)
    try:
        return asyncio.run(_soak(opts, aws_provider))
    finally:
        if opts.trace:
            tracemalloc.stop()
        if mock is not None:
            mock.stop()
        runtime_logger.setLevel(saved[0])
        runtime_logger.propagate = saved[1]
        runtime_logger.handlers[:] = saved[2]


def run(scale: float = 1.0) -> list[dict]:
    """Rows for the all-benchmarks table: per workload, RSS and live objects after vs. before."""
    rows, total = soak(Options(scale=scale))
    out = []
    for r in rows + [total]:
        growth = r.rss_growth
        if growth is not None:
            out.append({"name": f"soak {r.name} ({r.calls} calls): RSS after vs. after warm-up",
                        "measured": r.after.rss / MIB, "baseline": r.before.rss / MIB,
                        "ratio": r.after.rss / r.before.rss, "target": "growth < 2 MiB",
                        "ok": growth < RSS_BUDGET, "unit": "MiB"})
        out.append({"name": f"soak {r.name}: live objects after vs. after warm-up "
                            f"(allocator blocks {r.block_growth:+d})",
                    "measured": float(r.after.objects), "baseline": float(r.before.objects),
                    "ratio": r.after.objects / r.before.objects,
                    "target": f"growth <= {OBJECT_TOLERANCE}, blocks <= {BLOCK_TOLERANCE}", "ok": r.objects_ok,
                    "unit": "objects"})
    return out


def _mib(v: Optional[int]) -> str:
    return "n/a" if v is None else f"{v / MIB:.2f}"


def _signed_mib(v: Optional[int]) -> str:
    return "n/a" if v is None else f"{v / MIB:+.3f}"


def print_table(rows: list[Row], total: Row) -> None:
    headers = ["workload", "calls", "RSS before MiB", "RSS after MiB", "RSS growth MiB",
               "objects before", "objects after", "objects growth", "blocks growth", "seconds", "verdict"]
    table = [[r.name, f"{r.calls:,}", _mib(r.before.rss), _mib(r.after.rss), _signed_mib(r.rss_growth),
              f"{r.before.objects:,}", f"{r.after.objects:,}", f"{r.object_growth:+d}",
              f"{r.block_growth:+d}", f"{r.seconds:.1f}", "ok" if r.ok else "LEAK?"]
             for r in rows + [total]]
    widths = [max(len(h), *(len(row[i]) for row in table)) for i, h in enumerate(headers)]
    line = " | ".join(h.ljust(wd) for h, wd in zip(headers, widths))
    print(line)
    print("-" * len(line))
    for row in table:
        print(" | ".join(c.rjust(wd) if i else c.ljust(wd) for i, (c, wd) in enumerate(zip(row, widths))))
    print(f"RSS read from {RSS_SOURCE}; bounds: RSS growth < {RSS_BUDGET // MIB} MiB, "
          f"live objects growth <= {OBJECT_TOLERANCE}, allocator blocks growth <= {BLOCK_TOLERANCE}")


def main(argv: Optional[list] = None) -> int:
    parser = argparse.ArgumentParser(description="Leak soak of the runtime's hot calls.")
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of the full call counts")
    parser.add_argument("--only", nargs="+", metavar="NAME",
                        help="workloads to run: run consume acquire get_headers get_secret challenges loopback dropped")
    parser.add_argument("--run-kinds", nargs="+", metavar="KIND", choices=sorted(RUN_KINDS),
                        help="restrict the run mix (to bisect a leak)")
    parser.add_argument("--aws", action="store_true", help="add an AWS bundle provider (moto) to get_secret")
    parser.add_argument("--trace", action="store_true",
                        help="print tracemalloc growth per workload (RSS figures then include its overhead)")
    parser.add_argument("--outcomes", action="store_true", help="print how often each outcome occurred")
    parser.add_argument("--seed", type=int, default=Options.seed)
    args = parser.parse_args(argv)
    opts = Options(scale=args.scale, only=args.only, run_kinds=set(args.run_kinds) if args.run_kinds else None,
                   aws=args.aws, trace=args.trace, seed=args.seed)
    rows, total = soak(opts)
    print_table(rows, total)
    if opts.trace:
        print("(--trace: tracemalloc and its snapshots are counted too; use the verdicts of a run without it)")
    if args.outcomes:
        for r in rows:
            print(f"{r.name}: " + ", ".join(f"{k} x{v}" for k, v in sorted(r.outcomes.items())))
    return 0 if all(r.ok for r in rows) and total.ok else 1


if __name__ == "__main__":
    sys.exit(main())
