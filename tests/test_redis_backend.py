"""The shared Redis backend: per-identity windows, the global bucket and the per-tenant breakers
shared by several processes through one real redis-server."""

import asyncio
import json
import logging
import os
import subprocess
import sys
import textwrap
import time

import pytest

pytest.importorskip("redis")

from quellon_runtime import throttle  # noqa: E402
from quellon_runtime.throttle import (  # noqa: E402
    InMemoryThrottler,
    RedisThrottler,
    RedisTokenBucket,
    ThrottleExceeded,
    ThrottleResult,
)

sys.path.insert(0, os.path.dirname(__file__))
from redis_server import RedisServer, redis_server  # noqa: E402,F401

# Child processes import the package from wherever this suite does (the working tree or the install).
SUITE_PATH = os.pathsep.join(p for p in sys.path if p)
ENV_VARS = ["QL_THROTTLE_BACKEND", "QL_THROTTLE_REDIS_URL", "QL_THROTTLE_REDIS_FAILURE_MODE"]


@pytest.fixture
def server(redis_server):
    redis_server.flush()
    return redis_server


@pytest.fixture
def clean_env(monkeypatch):
    for name in ENV_VARS:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setattr(throttle, "_per_identity_limiter", None)
    monkeypatch.setattr(throttle, "_per_identity_limiter_state", {"cfg": None})
    return monkeypatch


class FakeClock:
    def __init__(self, now=5000.0):
        self.now = now

    def __call__(self):
        return self.now


def run_child(code: str, env: dict, timeout=60) -> subprocess.CompletedProcess:
    full_env = {**os.environ, "PYTHONPATH": SUITE_PATH,
                **env}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full_env, capture_output=True,
                          text=True, timeout=timeout)


# ---- the window rule against the in-memory limiter ---------------------------------------------

TRAFFIC = {
    # (max_requests, window_seconds, [(time step before the call, key), ...])
    "burst then slide": (3, 10, [(0, "a")] * 5 + [(4, "a"), (6.5, "a"), (0, "a"), (3.4, "a"), (0.1, "a")]),
    "two keys interleaved": (2, 5, [(0.25, "a"), (0.25, "b")] * 6 + [(5, "a"), (0, "b"), (0.3, "a")]),
    "exact window edge": (1, 2, [(0, "k"), (1.999, "k"), (0.001, "k"), (0, "k"), (2.5, "k")]),
    "long wait rounds up": (2, 60, [(0, "x"), (0.5, "x"), (0.1, "x"), (58.7, "x"), (0.6, "x"), (0.1, "x")]),
    "odd keys": (2, 3, [(0, "\udcff"), (0, "\udcfe"), (0, "é"), (0, "\udcff"), (0, "\udcff"), (0, "")]),
}


@pytest.mark.parametrize("direct", [True, False], ids=["direct path", "client path"])
@pytest.mark.parametrize("traffic", TRAFFIC.values(), ids=TRAFFIC.keys())
def test_same_traffic_gives_the_same_verdicts_as_in_memory(server, traffic, direct):
    max_requests, window, steps = traffic
    clock = FakeClock()
    throttle._use_clock(clock)
    throttle._redis_direct_path(direct)
    try:
        memory = InMemoryThrottler(max_requests=max_requests, window_seconds=window)
        shared = RedisThrottler(max_requests=max_requests, window_seconds=window, url=server.url)
        got = []
        for step, key in steps:
            clock.now += step
            got.append((memory.consume(key), shared.consume(key)))
    finally:
        throttle._use_clock(None)
        throttle._redis_direct_path(True)
    assert [m for m, _ in got] == [r for _, r in got]
    assert any(not m.allowed for m, _ in got)


def test_server_clock_decides_and_keys_expire_after_the_ttl(server):
    import redis

    limiter = RedisThrottler(max_requests=2, window_seconds=30, key_ttl_seconds=7, url=server.url, prefix="t:")
    verdicts = [limiter.consume("principal:abc") for _ in range(3)]
    assert verdicts[:2] == [ThrottleResult(True, 0)] * 2
    assert not verdicts[2].allowed and 29 <= verdicts[2].retry_after_seconds <= 30
    client = redis.Redis.from_url(server.url)
    assert client.type("t:principal:abc") == b"zset" and client.zcard("t:principal:abc") == 2
    assert 0 < client.pttl("t:principal:abc") <= 7000
    assert limiter.tracked_key_count == 1
    assert (limiter._max_requests, limiter._window_seconds, limiter._key_ttl_seconds) == (2, 30.0, 7.0)


def test_consume_async_shares_the_window_with_consume(server):
    limiter = RedisThrottler(max_requests=3, window_seconds=60, url=server.url)

    async def main():
        first = await asyncio.gather(*(limiter.consume_async("k") for _ in range(2)))
        return first, limiter.consume("k"), await limiter.consume_async("k")

    first, sync, last = asyncio.run(main())
    assert [r.allowed for r in first] == [True, True] and sync.allowed and not last.allowed
    # A second event loop gets its own connections.
    assert asyncio.run(limiter.consume_async("k")).retry_after_seconds >= 59


def test_a_flushed_server_loads_the_script_again(server):
    limiter = RedisThrottler(max_requests=1, window_seconds=60, url=server.url)
    assert limiter.consume("a").allowed
    import redis

    redis.Redis.from_url(server.url).script_flush()
    assert not limiter.consume("a").allowed
    redis.Redis.from_url(server.url).script_flush()
    assert not asyncio.run(limiter.consume_async("a")).allowed


# ---- several processes, one limit -------------------------------------------------------------

CONSUMER = """
    import json
    from quellon_runtime.throttle import RedisThrottler, get_per_identity_throttler
    limiter = get_per_identity_throttler()
    assert isinstance(limiter, RedisThrottler) and limiter._max_requests == 45
    print(json.dumps([limiter.consume("principal:shared").allowed for _ in range(30)]))
"""


def test_four_processes_admit_exactly_the_limit_together(server):
    env = {"QL_THROTTLE_BACKEND": "redis", "QL_THROTTLE_REDIS_URL": server.url,
           "QL_THROTTLE_PER_IDENTITY_MAX_REQUESTS": "45", "QL_THROTTLE_PER_IDENTITY_WINDOW_SECONDS": "300"}
    full_env = {**os.environ, "PYTHONPATH": SUITE_PATH, **env}
    procs = [subprocess.Popen([sys.executable, "-c", textwrap.dedent(CONSUMER)], env=full_env,
                              stdout=subprocess.PIPE, text=True) for _ in range(4)]
    results = [json.loads(p.communicate(timeout=60)[0]) for p in procs]
    assert all(p.returncode == 0 for p in procs)
    assert sum(sum(r) for r in results) == 45
    assert sum(len(r) for r in results) == 120


BREAKER_CHILD = """
    import os, sys, pybreaker
    from typing import Literal
    from pydantic import BaseModel
    from quellon_runtime.connector_base import ConnectorBase, ql_action

    class Ping(BaseModel):
        action: Literal["ping.get"] = "ping.get"

    class Out(BaseModel):
        ok: bool = True

    class Vendor(ConnectorBase):
        connector_id = "redis-test.vendor"
        output_model = Out

        @ql_action("ping.get")
        async def ping(self, params: Ping, *, trace_id: str) -> Out:
            return Out()

    breaker = Vendor(tenant_id=sys.argv[2])._breaker_for_tenant(sys.argv[2])
    assert breaker.name == "Vendor_breaker", breaker.name

    def boom():
        raise RuntimeError("vendor down")

    outcome = []
    for _ in range(int(sys.argv[1])):
        try:
            breaker.call(boom)
        except pybreaker.CircuitBreakerError:
            outcome.append("refused")
        except RuntimeError:
            outcome.append("failed")
    if sys.argv[3] == "1":
        try:
            breaker.call(lambda: None)
            outcome.append("ran")
        except pybreaker.CircuitBreakerError:
            outcome.append("refused")
    print(",".join(outcome))
"""


def breaker_run(server, backend, failures, tenant, probe=True):
    env = {"QL_THROTTLE_BACKEND": backend, "QL_THROTTLE_REDIS_URL": server.url}
    full_env = {**os.environ, "PYTHONPATH": SUITE_PATH, **env}
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(BREAKER_CHILD), str(failures), tenant, str(int(probe))],
                       env=full_env, capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    return r.stdout.strip()


@pytest.mark.parametrize(
    "backend, second, third, other_tenant",
    [("redis", "failed,refused,refused", "refused", "ran"),
     ("memory", "failed,failed,ran", "ran", "ran")],
)
def test_failures_seen_by_two_processes_open_the_breaker_for_all(server, backend, second, third, other_tenant):
    assert breaker_run(server, backend, 3, "t1", probe=False) == "failed,failed,failed"
    assert breaker_run(server, backend, 2, "t1") == second      # the fifth failure overall opens it
    assert breaker_run(server, backend, 0, "t1") == third       # a third replica is refused at once
    assert breaker_run(server, backend, 0, "t2") == other_tenant


# ---- the shared global bucket -----------------------------------------------------------------

BUCKET_CHILD = """
    import asyncio
    from quellon_runtime.throttle import RedisTokenBucket, ThrottleExceeded, global_throttler
    assert isinstance(global_throttler, RedisTokenBucket)

    async def main():
        out = []
        for _ in range(4):
            try:
                await global_throttler.acquire()
                out.append(1)
            except ThrottleExceeded:
                out.append(0)
        return out
    print(sum(asyncio.run(main())))
"""


def test_two_processes_draw_from_one_global_bucket(server):
    env = {"QL_THROTTLE_BACKEND": "redis", "QL_THROTTLE_REDIS_URL": server.url, "QL_THROTTLE_BURST": "5",
           "QL_THROTTLE_REFILL_RATE": "0.0001", "QL_THROTTLE_DISABLED": "false"}
    admitted = []
    for _ in range(2):
        r = run_child(BUCKET_CHILD, env)
        assert r.returncode == 0, r.stderr
        admitted.append(int(r.stdout))
    assert admitted == [4, 1]


@pytest.mark.parametrize("amount, outcome", [(0, "ok"), (3, "ok"), (4, "exceeded"), (-1, ValueError), ("2", TypeError)])
def test_bucket_acquire_keeps_its_contract(server, amount, outcome):
    bucket = RedisTokenBucket(3, 0.0001, url=server.url, key="ql:bucket:contract")
    calls = []
    throttle_counter = throttle._throttle_rejections

    class Counting:
        def add(self, n):
            calls.append(n)

    throttle._throttle_rejections = Counting()
    try:
        if isinstance(outcome, type):
            with pytest.raises(outcome, match="amount"):
                asyncio.run(bucket.acquire(amount))
        elif outcome == "exceeded":
            with pytest.raises(ThrottleExceeded, match="Global rate limit exceeded"):
                asyncio.run(bucket.acquire(amount))
            assert calls == [1]
        else:
            assert asyncio.run(bucket.acquire(amount)) is None and calls == []
    finally:
        throttle._throttle_rejections = throttle_counter
    assert (bucket.capacity, bucket.refill_rate) == (3.0, 0.0001)


# ---- outages ----------------------------------------------------------------------------------

@pytest.fixture
def own_server():
    try:
        srv = RedisServer().start()
    except RuntimeError as exc:
        pytest.skip(str(exc))
    try:
        yield srv
    finally:
        srv.close()


def until_recovered(caplog, call):
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        result = call()
        if any(r.levelno == logging.INFO and "reachable again" in r.getMessage() for r in caplog.records):
            return result
        time.sleep(0.05)
    raise AssertionError("the limiter did not come back after the server did")


@pytest.mark.parametrize("mode, during", [("open", ThrottleResult(True, 0)), ("closed", ThrottleResult(False, 1))])
def test_an_outage_follows_the_failure_mode_warns_once_and_recovers(own_server, caplog, clean_env, mode, during):
    import pybreaker

    caplog.set_level(logging.INFO, logger="runtime.throttle")
    clean_env.setenv("QL_THROTTLE_BACKEND", "redis")
    clean_env.setenv("QL_THROTTLE_REDIS_URL", own_server.url)
    key = "principal:secret-identity"
    limiter = RedisThrottler(max_requests=2, window_seconds=60, url=own_server.url, failure_mode=mode)
    bucket = RedisTokenBucket(100, 1, url=own_server.url, failure_mode=mode)
    breaker = pybreaker.CircuitBreaker(fail_max=5, state_storage=throttle._breaker_storage("ql:breaker:Outage:t1"))
    assert limiter.consume(key).allowed
    records = []

    for _ in range(2):
        own_server.stop()
        seen = [limiter.consume(key) for _ in range(20)] + [asyncio.run(limiter.consume_async(key))]
        assert seen == [during] * 21
        # The shared breaker reads as closed meanwhile (this process never opened it) and logs nothing more.
        assert [breaker.call(lambda: "ran") for _ in range(3)] == ["ran"] * 3
        if mode == "open":
            asyncio.run(bucket.acquire())
        else:
            with pytest.raises(ThrottleExceeded):
                asyncio.run(bucket.acquire())
        warnings = [r for r in caplog.records if r.levelno == logging.WARNING]
        assert len(warnings) == 1  # per outage, not per call
        own_server.start()
        # The restarted server kept nothing: the window starts afresh.
        first = until_recovered(caplog, lambda: limiter.consume(key))
        assert first == ThrottleResult(True, 0)
        assert [limiter.consume(key).allowed for _ in range(2)] == [True, False]
        records += caplog.records
        caplog.clear()
        limiter.consume(key)  # the next outage warns again; no record while all is well
        assert caplog.records == []
        own_server.flush()

    assert len(records) == 4
    text = " ".join(r.getMessage() + repr(r.__dict__) for r in records)
    assert key not in text and "secret-identity" not in text


def test_the_shared_breaker_storage_keeps_pybreakers_keys_and_answers(server, clean_env):
    import datetime

    import pybreaker
    import redis

    clean_env.setenv("QL_THROTTLE_BACKEND", "redis")
    clean_env.setenv("QL_THROTTLE_REDIS_URL", server.url)
    client = redis.Redis.from_url(server.url)
    ours = throttle._breaker_storage("ours")
    theirs = pybreaker.CircuitRedisStorage(pybreaker.STATE_CLOSED, client, namespace="theirs")
    assert isinstance(ours, pybreaker.CircuitRedisStorage) and ours.name == "redis"
    opened = datetime.datetime(2026, 3, 1, 12, 0, 5, tzinfo=datetime.timezone.utc)
    steps = [
        ("increment_counter",), ("increment_counter",), ("increment_success_counter",),
        ("opened_at", opened), ("state", pybreaker.STATE_OPEN),
        ("opened_at", opened - datetime.timedelta(seconds=30)),  # an older opening never wins
        ("state", pybreaker.STATE_HALF_OPEN), ("reset_counter",), ("increment_success_counter",),
        ("reset_success_counter",), ("flush",), ("increment_counter",),
    ]
    for step in steps:
        for storage in (ours, theirs):
            if step[0] == "flush":
                client.delete(*client.keys(f"{storage._namespace_name}:*"))
            elif len(step) == 2:
                setattr(storage, *step)
            else:
                getattr(storage, step[0])()
        assert [(s.state, s.counter, s.success_counter, s.opened_at) for s in (ours, theirs)] == [
            (theirs.state, theirs.counter, theirs.success_counter, theirs.opened_at)] * 2, step
        layout = [{(k[len(s._namespace_name):], client.get(k)) for k in client.keys(f"{s._namespace_name}:*")}
                  for s in (ours, theirs)]
        assert layout[0] == layout[1], step
    with pytest.raises(TypeError, match="namespace"):
        throttle._breaker_storage(b"ours")


# ---- breakers while Redis is away --------------------------------------------------------------

class VendorDown(Exception):
    pass


def outage_connector():
    from typing import Literal

    from pydantic import BaseModel

    from quellon_runtime.connector_base import ConnectorBase, ql_action

    class Ping(BaseModel):
        action: Literal["ping.get"] = "ping.get"
        fail: bool = False

    class Out(BaseModel):
        ok: bool = True

    class OutageVendor(ConnectorBase):
        connector_id = "redis-test.outage"
        output_model = Out
        calls = 0

        @ql_action("ping.get")
        async def ping(self, params: Ping, *, trace_id: str) -> Out:
            type(self).calls += 1
            if params.fail:
                raise VendorDown("vendor down")
            return Out()

    return OutageVendor


@pytest.fixture
def connect_attempts(monkeypatch):
    """Socket connections the Redis clients try to open, sync and asyncio alike."""
    import redis.asyncio.connection as aconn
    import redis.connection as sconn

    attempts = []
    for cls in (sconn.Connection, aconn.Connection):
        original = cls._connect

        def counted(self, _original=original):
            attempts.append(self.port)
            return _original(self)

        monkeypatch.setattr(cls, "_connect", counted)
    return attempts


@pytest.mark.parametrize("fail", [False, True], ids=["healthy vendor", "failing vendor"])
async def test_breakers_answer_locally_during_an_outage_and_share_again_after(
        own_server, connect_attempts, caplog, clean_env, fail):
    import pybreaker
    import redis

    from quellon_runtime.models import ConnectorResponse

    caplog.set_level(logging.INFO, logger="runtime.throttle")
    clean_env.setenv("QL_THROTTLE_BACKEND", "redis")
    clean_env.setenv("QL_THROTTLE_REDIS_URL", own_server.url)
    clock = FakeClock(time.monotonic())
    throttle._use_clock(clock)  # holds the pause between tries until the test moves it on
    try:
        cls = outage_connector()
        conn = cls(tenant_id="t1")
        assert (await conn.run({"action": "ping.get"})).success
        keys = redis.Redis.from_url(own_server.url).keys("ql:breaker:redis-test.outage:__default__:t1*")
        assert len(keys) == 3

        own_server.stop()
        seen = []
        responses = []
        for _ in range(20):
            responses.append(await conn.run({"action": "ping.get", "fail": fail}))
            seen.append(len(connect_attempts))
        assert all(isinstance(r, ConnectorResponse) for r in responses)
        # Only the first storage operation of the outage went to the network.
        assert seen[0] > 0 and seen[-1] == seen[0]
        if fail:
            # This process's own failures opened its breaker: five reach the vendor, then refusals.
            assert cls.calls == 1 + 5 and not any(r.success for r in responses)
            assert conn._breaker_for_tenant("t1").current_state == pybreaker.STATE_OPEN
        else:
            assert cls.calls == 1 + 20 and all(r.success for r in responses)
        # A breaker made during the outage does not wait for the server either.
        late = cls(tenant_id="t2")
        assert (await late.run({"action": "ping.get"})).success
        assert len(connect_attempts) == seen[0]
        assert len([r for r in caplog.records if r.levelno == logging.WARNING]) == 1

        # Once the pause is over one call tries the server again, and the next ones wait again.
        clock.now += 1
        await conn.run({"action": "ping.get"})
        tried = len(connect_attempts)
        assert tried > seen[0]
        await conn.run({"action": "ping.get"})
        assert len(connect_attempts) == tried

        own_server.start()
        clock.now += 1
        until_recovered(caplog, lambda: late._breaker_for_tenant("t2").current_state)
        # Shared again: one replica opens the breakers (t1's, and t2's made during the outage) and
        # another replica's calls are refused without reaching the vendor.
        replica = cls(tenant_id="t1")
        for tenant, c in (("t1", conn), ("t2", late)):
            assert c._breaker_for_tenant(tenant).current_state == pybreaker.STATE_CLOSED
            c._breaker_for_tenant(tenant).open()
        before = cls.calls
        refused = [await replica.run({"action": "ping.get"}), await cls(tenant_id="t2").run({"action": "ping.get"})]
        assert [r.success for r in refused] == [False, False] and cls.calls == before
        assert len([r for r in caplog.records if r.levelno == logging.WARNING]) == 1
    finally:
        throttle._use_clock(None)


# ---- settings ---------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "env, variable",
    [
        ({"QL_THROTTLE_BACKEND": "memcached"}, "QL_THROTTLE_BACKEND"),
        ({"QL_THROTTLE_BACKEND": "redis"}, "QL_THROTTLE_REDIS_URL"),
        ({"QL_THROTTLE_BACKEND": "redis", "QL_THROTTLE_REDIS_URL": "  "}, "QL_THROTTLE_REDIS_URL"),
        ({"QL_THROTTLE_BACKEND": "redis", "QL_THROTTLE_REDIS_URL": "http://127.0.0.1:6379"}, "QL_THROTTLE_REDIS_URL"),
        ({"QL_THROTTLE_BACKEND": "Redis", "QL_THROTTLE_REDIS_URL": "redis://:hunter2@127.0.0.1:port/0"},
         "QL_THROTTLE_REDIS_URL"),
        ({"QL_THROTTLE_BACKEND": "redis", "QL_THROTTLE_REDIS_URL": "redis://127.0.0.1:1/0",
          "QL_THROTTLE_REDIS_FAILURE_MODE": "sideways"}, "QL_THROTTLE_REDIS_FAILURE_MODE"),
    ],
)
def test_bad_settings_name_the_variable(clean_env, env, variable):
    for name, value in env.items():
        clean_env.setenv(name, value)
    with pytest.raises(ValueError, match=variable) as info:
        throttle.get_per_identity_throttler()
    assert "hunter2" not in str(info.value)


@pytest.mark.parametrize(
    "kwargs, error, param",
    [
        ({"url": "ftp://127.0.0.1/"}, ValueError, "url"),
        ({"url": 6379}, TypeError, "url"),
        ({"failure_mode": "maybe"}, ValueError, "failure_mode"),
        ({"max_requests": 0}, ValueError, "max_requests"),
        ({"window_seconds": 1.5}, TypeError, "window_seconds"),
        ({"prefix": b"x"}, TypeError, "prefix"),
    ],
)
def test_bad_arguments_name_the_parameter(kwargs, error, param):
    args = {"max_requests": 1, "window_seconds": 1, "url": "redis://127.0.0.1:1/0"} | kwargs
    with pytest.raises(error, match=param):
        RedisThrottler(**args)


def test_the_backend_setting_picks_the_limiter(server, clean_env):
    clean_env.setenv("QL_THROTTLE_PER_IDENTITY_MAX_REQUESTS", "9")
    clean_env.setenv("QL_THROTTLE_PER_IDENTITY_WINDOW_SECONDS", "30")
    assert isinstance(throttle.get_per_identity_throttler(), InMemoryThrottler)
    assert throttle.throttle_backend() == "memory"
    clean_env.setenv("QL_THROTTLE_BACKEND", " REDIS ")
    clean_env.setenv("QL_THROTTLE_REDIS_URL", server.url)
    shared = throttle.get_per_identity_throttler()
    assert isinstance(shared, RedisThrottler) and throttle.get_per_identity_throttler() is shared
    assert (shared._max_requests, shared._window_seconds, shared._max_tracked_keys, shared.failure_mode) == (
        9, 30.0, 10000, "open")
    clean_env.setenv("QL_THROTTLE_REDIS_FAILURE_MODE", "closed")
    closed = throttle.get_per_identity_throttler()
    assert closed is not shared and closed.failure_mode == "closed"
    with pytest.raises(TypeError, match="key"):
        closed.consume(None)
    clean_env.setenv("QL_THROTTLE_BACKEND", "memory")
    assert isinstance(throttle.get_per_identity_throttler(), InMemoryThrottler)


def test_a_bad_backend_fails_the_import_naming_the_variable():
    r = run_child("import quellon_runtime.throttle", {"QL_THROTTLE_BACKEND": "sql"})
    assert r.returncode != 0 and "ValueError: QL_THROTTLE_BACKEND" in r.stderr
