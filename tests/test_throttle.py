"""Throttling: the sliding-window limiter, the token bucket, their configuration and key builders."""

import asyncio
import dataclasses
import hashlib
import json
import math
import os
import random
import subprocess
import sys
import textwrap
import threading
from collections import Counter, OrderedDict, deque

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quellon_runtime import throttle
from quellon_runtime.throttle import InMemoryThrottler, ThrottleExceeded, ThrottleResult, TokenBucket

EXCEEDED = "Global rate limit exceeded. Please try again later."
LEGACY_WARNING = (
    "QL_REST_THROTTLE_ENABLED is deprecated; set QL_THROTTLE_PER_IDENTITY_ENABLED=true instead "
    "(now applies to MCP and gRPC too, not just REST)."
)
PAIRS = [
    ("QL_THROTTLE_PER_IDENTITY_MAX_REQUESTS", "QL_REST_THROTTLE_MAX_REQUESTS", 120),
    ("QL_THROTTLE_PER_IDENTITY_WINDOW_SECONDS", "QL_REST_THROTTLE_WINDOW_SECONDS", 60),
    ("QL_THROTTLE_PER_IDENTITY_MAX_TRACKED_KEYS", "QL_REST_THROTTLE_MAX_TRACKED_KEYS", 10000),
    ("QL_THROTTLE_PER_IDENTITY_KEY_TTL_SECONDS", "QL_REST_THROTTLE_KEY_TTL_SECONDS", 3600),
]
FLAGS = ["QL_THROTTLE_PER_IDENTITY_ENABLED", "QL_REST_THROTTLE_ENABLED"]


class FakeClock:
    def __init__(self, now=1000.0):
        self.now = now

    def __call__(self):
        return self.now


@pytest.fixture
def clock():
    fake = FakeClock()
    throttle._use_clock(fake)
    yield fake
    throttle._use_clock(None)


@pytest.fixture
def env(monkeypatch):
    for canonical, legacy, _ in PAIRS:
        monkeypatch.delenv(canonical, raising=False)
        monkeypatch.delenv(legacy, raising=False)
    for name in FLAGS:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setattr(throttle, "_per_identity_limiter", None)
    monkeypatch.setattr(throttle, "_per_identity_limiter_state", {"cfg": None})
    return monkeypatch


def fresh_interpreter(code, **env):
    """Run `code` in a new interpreter with the QL_ variables replaced by `env`; return its JSON."""
    full = {k: v for k, v in os.environ.items() if not k.startswith("QL_")}
    full.update(env)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def limiter(**kw):
    kw.setdefault("max_requests", 1)
    kw.setdefault("window_seconds", 60)
    return InMemoryThrottler(**kw)


# ---- sliding window ----------------------------------------------------------------------------


def test_window_admits_up_to_max_then_reports_wait(clock):
    lim = limiter(max_requests=2)
    assert [lim.consume("k") for _ in range(3)] == [
        ThrottleResult(allowed=True), ThrottleResult(True, 0), ThrottleResult(allowed=False, retry_after_seconds=60)]
    clock.now += 59.5  # the wait rounds up and never drops below one second
    assert lim.consume("k").retry_after_seconds == 1
    clock.now += 0.4999
    assert lim.consume("k") == ThrottleResult(False, 1)
    clock.now = 1060.0  # exactly one window after both admissions: they have left it
    assert lim.consume("k").allowed and lim.consume("k").allowed and not lim.consume("k").allowed


@pytest.mark.parametrize("elapsed, wait", [(58.9999, 2), (58.6, 2), (57.5, 3), (57.4, 3), (59.0, 1), (59.99, 1)])
def test_wait_is_rounded_up_to_whole_seconds(clock, elapsed, wait):
    lim = limiter()
    lim.consume("k")
    clock.now += elapsed
    assert lim.consume("k") == ThrottleResult(False, wait)


def test_rejections_do_not_extend_the_window(clock):
    lim = limiter(max_requests=2)
    lim.consume("k")
    clock.now += 10
    lim.consume("k")
    for step in (10, 10, 20):
        clock.now += step
        assert not lim.consume("k").allowed
    clock.now = 1060.0
    assert lim.consume("k").allowed
    assert lim.consume("k") == ThrottleResult(False, 10)


def test_lru_cap_and_recency(clock):
    lim = limiter(max_tracked_keys=2)
    for key in "abc":
        assert lim.consume(key).allowed
    assert lim.tracked_key_count == 2
    assert not lim.consume("b").allowed  # still tracked, and now the most recent
    assert lim.consume("a").allowed  # was evicted: starts over; evicts c
    assert lim.consume("c").allowed  # evicts b, not the just-touched a
    assert not lim.consume("a").allowed and lim.consume("b").allowed


def test_idle_keys_expire_from_the_old_end(clock):
    lim = limiter(key_ttl_seconds=30)
    lim.consume("a")
    clock.now += 5
    lim.consume("b")
    clock.now += 5
    lim.consume("c")
    lim.consume("a")  # rejected, but refreshes a: order is now b, c, a
    clock.now = 1035.0  # b idle exactly the ttl; c and a not yet
    lim.consume("d")
    assert lim.tracked_key_count == 3
    assert lim.consume("b").allowed  # dropped, so a fresh window
    clock.now = 1040.0  # c and a idle for exactly 30 seconds
    lim.consume("b")
    assert lim.tracked_key_count == 2 and lim.consume("a").allowed


def test_clock_readings_never_go_backwards_for_a_limiter(clock):
    # Under contention a caller may hold an older reading than one already used; it counts as the later.
    lim = limiter()
    lim.consume("k")
    clock.now -= 1
    assert lim.consume("k") == ThrottleResult(False, 60)


@pytest.mark.parametrize("seed", range(4))
def test_matches_a_plain_model_under_random_traffic(clock, seed):
    # The model scans every key for idleness on each call; the limiter must evict exactly the same.
    rng = random.Random(seed)
    max_requests, window, cap, ttl = rng.choice([(3, 10, 20, 15), (1, 5, 8, 3), (5, 30, 40, 60)])
    lim = InMemoryThrottler(max_requests=max_requests, window_seconds=window, max_tracked_keys=cap,
                            key_ttl_seconds=ttl)
    model = OrderedDict()
    keys = [f"k{i}" for i in range(3 * cap)]
    for _ in range(4000):
        # Uneven steps leave fractional waits, where rounding and rounding up disagree.
        clock.now += rng.choice([0, 0, 0.5, 1, 2.5, 7, 0.3, 1.7, 0.01, 3.05])
        key, now = rng.choice(keys), clock.now
        for idle in [k for k, (_, seen) in model.items() if seen <= now - ttl]:
            del model[idle]
        stamps, _ = model.pop(key, (deque(), None))
        model[key] = (stamps, now)
        while stamps and stamps[0] <= now - window:
            stamps.popleft()
        if len(stamps) >= max_requests:
            expected = ThrottleResult(False, max(1, math.ceil(stamps[0] + window - now)))
        else:
            stamps.append(now)
            while len(model) > cap:
                model.popitem(last=False)
            expected = ThrottleResult(True)
        assert lim.consume(key) == expected
        assert lim.tracked_key_count == len(model)


def test_keys_are_distinct_strings():
    class Odd(str):
        def __hash__(self):
            raise RuntimeError("not used")

    lim = limiter()
    for key in ["", "é", "e\u0301", "\ud800", "\ud83d\ude00", "\U0001f600", "a\x00b", Odd("a")]:
        assert lim.consume(key).allowed, key
    assert lim.tracked_key_count == 8 and not lim.consume("a").allowed  # a key is its text


@pytest.mark.parametrize(
    "settings, error",
    [
        ({"max_requests": 0, "window_seconds": 0, "max_tracked_keys": 0, "key_ttl_seconds": 0},
         "max_requests must be > 0"),
        ({"max_requests": 1, "window_seconds": -5, "max_tracked_keys": 0}, "window_seconds must be > 0"),
        ({"max_requests": 1, "window_seconds": 1, "max_tracked_keys": -1, "key_ttl_seconds": 0},
         "max_tracked_keys must be > 0"),
        ({"max_requests": 1, "window_seconds": 1, "key_ttl_seconds": 0}, "key_ttl_seconds must be > 0"),
    ],
)
def test_settings_are_checked_in_order(settings, error):
    with pytest.raises(ValueError, match=f"^{error}$"):
        InMemoryThrottler(**settings)


def test_limiter_construction_and_bad_input():
    lim = InMemoryThrottler(max_requests=5, window_seconds=30)
    assert (lim._max_requests, lim._window_seconds, lim._max_tracked_keys, lim._key_ttl_seconds) == (5, 30.0, 10000, 3600.0)
    assert isinstance(lim._window_seconds, float) and lim.tracked_key_count == 0
    for name, value in [("max_requests", "5"), ("window_seconds", 1.5), ("key_ttl_seconds", None)]:
        with pytest.raises(TypeError, match=name):
            InMemoryThrottler(**{"max_requests": 1, "window_seconds": 1, name: value})
    with pytest.raises(TypeError):
        InMemoryThrottler(5, 30)
    for key in [1, b"k", None]:
        with pytest.raises(TypeError, match="key must be a str"):
            lim.consume(key)
    assert lim.tracked_key_count == 0
    assert InMemoryThrottler(max_requests=10**40, window_seconds=1).consume("k").allowed


def test_throttle_result_record():
    r = ThrottleResult(False, 3)
    assert (r.allowed, r.retry_after_seconds, ThrottleResult(True).retry_after_seconds) == (False, 3, 0)
    assert repr(r) == "ThrottleResult(allowed=False, retry_after_seconds=3)"
    assert hash(r) == hash(ThrottleResult(allowed=False, retry_after_seconds=3)) and r != ThrottleResult(False, 4)
    with pytest.raises(dataclasses.FrozenInstanceError):
        r.allowed = True
    assert ThrottleResult.__module__ == "quellon_runtime.throttle"


def test_native_memory_is_released_with_the_limiter():
    before = throttle._native_heap_bytes()
    lim = InMemoryThrottler(max_requests=50, window_seconds=60, max_tracked_keys=100)
    for i in range(300):
        for _ in range(10):
            lim.consume(f"key-{i}")
    assert throttle._native_heap_bytes() > before
    del lim
    assert throttle._native_heap_bytes() == before


def test_threads_never_exceed_max_requests_or_the_key_cap():
    lim = InMemoryThrottler(max_requests=40, window_seconds=3600, max_tracked_keys=250)
    keys = [f"user-{i}" for i in range(200)]
    admitted, lock = Counter(), threading.Lock()

    def hammer(offset):
        mine = Counter(k for _ in range(60) for k in keys[offset:] + keys[:offset] if lim.consume(k).allowed)
        with lock:
            admitted.update(mine)

    threads = [threading.Thread(target=hammer, args=(i * 25,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert set(admitted.values()) == {40} and len(admitted) == 200

    capped = InMemoryThrottler(max_requests=3, window_seconds=3600, max_tracked_keys=50)
    seen, stop = [], threading.Event()

    def watch():
        while not stop.is_set():
            seen.append(capped.tracked_key_count)

    watcher = threading.Thread(target=watch)
    watcher.start()
    workers = [threading.Thread(target=lambda i=i: [capped.consume(f"k{i}-{n}") for n in range(3000)]) for i in range(8)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    stop.set()
    watcher.join()
    assert max(seen) <= 50 and capped.tracked_key_count == 50


# ---- token bucket ------------------------------------------------------------------------------


class FakeCounter:
    def __init__(self):
        self.calls = []

    def add(self, amount, *args, **kwargs):
        self.calls.append((amount, args, kwargs))


async def test_bucket_takes_tokens_and_rejects_when_empty(clock, monkeypatch):
    counter = FakeCounter()
    monkeypatch.setattr(throttle, "_throttle_rejections", counter)
    bucket = TokenBucket(2, 0)
    assert (bucket.capacity, bucket.refill_rate, bucket.tokens, bucket.last_refill) == (2.0, 0.0, 2.0, 1000.0)
    await bucket.acquire()
    await bucket.acquire(amount=1)
    with pytest.raises(ThrottleExceeded, match=f"^{EXCEEDED}$"):
        await bucket.acquire()
    assert counter.calls == [(1, (), {})]
    await bucket.acquire(0)  # takes nothing, even from an empty bucket
    assert bucket.tokens == 0


async def test_bucket_refills_up_to_capacity(clock, monkeypatch):
    monkeypatch.setattr(throttle, "_throttle_rejections", FakeCounter())
    bucket = TokenBucket(capacity=10, refill_rate=2)
    await bucket.acquire(10)
    clock.now += 1.5
    await bucket.acquire(3)
    clock.now += 0.25
    with pytest.raises(ThrottleExceeded):
        await bucket.acquire()
    assert (bucket.tokens, bucket.last_refill) == (0.5, 1001.75)  # the refill is kept
    clock.now += 10**6
    await bucket.acquire()
    assert bucket.tokens == 9
    unlimited = TokenBucket(math.inf, math.inf)  # no time passes: the refill is not a number
    for _ in range(3):
        await unlimited.acquire(10**6)
    assert unlimited.tokens == math.inf


async def test_concurrent_acquires_queue_on_the_lock(monkeypatch):
    monkeypatch.setattr(throttle, "_throttle_rejections", FakeCounter())
    bucket = TokenBucket(5, 0)
    results = await asyncio.gather(*(bucket.acquire() for _ in range(8)), return_exceptions=True)
    assert [r is None for r in results].count(True) == 5
    assert all(isinstance(r, ThrottleExceeded) for r in results if r is not None)
    assert isinstance(bucket._lock, asyncio.Lock)
    refilling = TokenBucket(1, 0)
    async with refilling._lock:
        waiting = asyncio.create_task(refilling.acquire())
        await asyncio.sleep(0.01)
        assert not waiting.done() and refilling.tokens == 1
    await waiting
    assert refilling.tokens == 0 and not refilling._lock.locked()


async def test_bucket_surface_and_bad_input():
    import inspect

    assert inspect.iscoroutinefunction(TokenBucket.acquire)
    bucket = TokenBucket(3, 1)
    bucket.acquire().close()  # a call that is never awaited takes nothing
    assert bucket.tokens == 3
    for args, name in [(("3", 1), "capacity"), ((3, None), "refill_rate")]:
        with pytest.raises(TypeError, match=name):
            TokenBucket(*args)
    for amount in ["1", 1.5, None]:
        with pytest.raises(TypeError, match="amount"):
            await bucket.acquire(amount)
    with pytest.raises(ValueError, match="amount must be >= 0"):
        await bucket.acquire(-1)
    assert issubclass(ThrottleExceeded, Exception)
    assert ThrottleExceeded.__doc__ == "Raised when the rate limit has been exceeded."


def test_rejection_counter_reaches_the_meter():
    out = fresh_interpreter("""
        import asyncio, json
        from opentelemetry import metrics
        from opentelemetry.sdk.metrics import MeterProvider
        from opentelemetry.sdk.metrics.export import InMemoryMetricReader
        reader = InMemoryMetricReader()
        metrics.set_meter_provider(MeterProvider(metric_readers=[reader]))
        from quellon_runtime import throttle

        async def main():
            bucket = throttle.TokenBucket(2, 0)
            for _ in range(4):
                try:
                    await bucket.acquire()
                except throttle.ThrottleExceeded:
                    pass
        asyncio.run(main())
        found = []
        for rm in reader.get_metrics_data().resource_metrics:
            for sm in rm.scope_metrics:
                for m in sm.metrics:
                    found += [[sm.scope.name, m.name, m.unit, m.description, p.value, dict(p.attributes)]
                              for p in m.data.data_points]
        print(json.dumps(found))
    """)
    assert out == [["runtime", "connector.throttle_rejections", "1",
                    "Requests rejected by the global token-bucket rate limiter", 2, {}]]


# ---- module-load configuration -----------------------------------------------------------------

GLOBAL = """
    import json, math
    from quellon_runtime import throttle as t
    g = t.global_throttler
    print(json.dumps([t.burst, t.rate, math.isinf(g.capacity), g.capacity, g.refill_rate, g.tokens]))
"""


@pytest.mark.parametrize("value", [None, "0", "false", "FALSE", "No", "nO"])
def test_bucket_stays_active(value):
    env = {} if value is None else {"QL_THROTTLE_DISABLED": value}
    assert fresh_interpreter(GLOBAL, **env) == [50.0, 10.0, False, 50.0, 10.0, 50.0]


@pytest.mark.parametrize("value", ["true", "1", "off", "", " false", "yes"])
def test_bucket_switched_off_never_rejects(value):
    burst, rate, infinite, *_ = fresh_interpreter(GLOBAL, QL_THROTTLE_DISABLED=value, QL_THROTTLE_BURST="3")
    assert (burst, rate, infinite) == (3.0, 10.0, True)


def test_bucket_settings_are_read_at_load():
    assert fresh_interpreter(GLOBAL, QL_THROTTLE_BURST=" 1e2 ", QL_THROTTLE_REFILL_RATE="0.5") == [
        100.0, 0.5, False, 100.0, 0.5, 100.0]
    # A zero refill rate is a fixed allowance of the burst.
    assert fresh_interpreter(GLOBAL, QL_THROTTLE_BURST="3", QL_THROTTLE_REFILL_RATE=" 0 ") == [
        3.0, 0.0, False, 3.0, 0.0, 3.0]
    full = {k: v for k, v in os.environ.items() if not k.startswith("QL_")}
    proc = subprocess.run([sys.executable, "-c", "import quellon_runtime.throttle"], capture_output=True, text=True,
                          env={**full, "QL_THROTTLE_REFILL_RATE": "fast"})
    assert proc.returncode != 0
    assert "ValueError: could not convert string to float: 'fast'" in proc.stderr


def import_error(**env):
    """The exception a fresh interpreter gets from importing the module: [type, message]."""
    return fresh_interpreter("""
        import json
        try:
            import quellon_runtime.throttle
        except Exception as exc:
            # the loader may wrap it; the module's own error must be in the chain, unchanged
            while exc is not None and not isinstance(exc, ValueError):
                exc = exc.__cause__ or exc.__context__
            print(json.dumps(exc and [type(exc).__name__, str(exc)]))
        else:
            print(json.dumps(None))
    """, **env)


@pytest.mark.parametrize(
    "name, value, shown",
    [
        ("QL_THROTTLE_BURST", "nan", "> 0, not 'nan'"),
        ("QL_THROTTLE_BURST", "-5", "> 0, not '-5'"),
        ("QL_THROTTLE_BURST", "0", "> 0, not '0'"),
        ("QL_THROTTLE_BURST", "9" * 400, "> 0, not a value of 400 characters"),
        ("QL_THROTTLE_REFILL_RATE", " NaN ", ">= 0, not ' NaN '"),
        ("QL_THROTTLE_REFILL_RATE", "inf", ">= 0, not 'inf'"),
        ("QL_THROTTLE_REFILL_RATE", "-1e-9", ">= 0, not '-1e-9'"),
        ("QL_THROTTLE_REFILL_RATE", "1e999", ">= 0, not '1e999'"),
    ],
)
def test_bucket_settings_out_of_range_fail_the_import(name, value, shown):
    # Even a switched-off bucket: the setting is wrong either way.
    assert import_error(**{name: value, "QL_THROTTLE_DISABLED": "false"}) == [
        "ValueError", f"{name} must be a finite number {shown}"]


def test_legacy_flag_warns_once_per_process():
    out = fresh_interpreter("""
        import json, logging
        records = []
        class Keep(logging.Handler):
            def emit(self, record):
                records.append([record.name, record.levelname, record.getMessage()])
        logging.getLogger("runtime.throttle").addHandler(Keep())
        from quellon_runtime import throttle
        answers = [throttle.per_identity_throttle_enabled() for _ in range(3)]
        print(json.dumps([answers, records]))
    """, QL_REST_THROTTLE_ENABLED=" Yes ")
    assert out == [[True, True, True], [["runtime.throttle", "WARNING", LEGACY_WARNING]]]


# ---- per-identity configuration ----------------------------------------------------------------


def test_truthy_and_env_int(env):
    assert [throttle._truthy(v) for v in [None, " Yes ", "on", "1", "TRUE", "\xa0true\u2003"]] == [False] + [True] * 5
    assert not any(throttle._truthy(v) for v in ["0", "", "off", "y", "truee", "no"])
    for value, expected in [(None, 9), ("  ", 9), (" 7 ", 7), ("abc", 9), ("-3", -3), ("0", 0), ("1_000", 1000)]:
        if value is None:
            env.delenv("QL_TEST_INT", raising=False)
        else:
            env.setenv("QL_TEST_INT", value)
        assert throttle._env_int("QL_TEST_INT", 9) == expected
    with pytest.raises(TypeError, match="value"):
        throttle._truthy(1)
    with pytest.raises(TypeError, match="name"):
        throttle._env_int(None, 1)


def test_enabled_flag_precedence(env):
    assert throttle.per_identity_throttle_enabled() is False
    env.setenv("QL_REST_THROTTLE_ENABLED", "false")
    assert throttle.per_identity_throttle_enabled() is False
    env.setenv("QL_REST_THROTTLE_ENABLED", "true")
    env.setenv("QL_THROTTLE_PER_IDENTITY_ENABLED", "")
    assert throttle.per_identity_throttle_enabled() is False
    env.setenv("QL_THROTTLE_PER_IDENTITY_ENABLED", " On ")
    assert throttle.per_identity_throttle_enabled() is True


@pytest.mark.parametrize("position, canonical, legacy, default", [(i, *p) for i, p in enumerate(PAIRS)])
def test_config_pairs(env, position, canonical, legacy, default):
    def value():
        return throttle.per_identity_throttle_config()[position]

    assert throttle.per_identity_throttle_config() == (120, 60, 10000, 3600)
    env.setenv(legacy, "5")
    assert value() == 5
    env.setenv(canonical, "  ")
    assert value() == 5
    env.setenv(canonical, "five")
    assert value() == default
    env.setenv(canonical, " 7 ")
    assert value() == 7


@pytest.mark.parametrize(
    "variables, parsed, message",
    [
        ({"QL_THROTTLE_PER_IDENTITY_MAX_REQUESTS": "0"}, (0, 60, 10000, 3600),
         "max_requests must be > 0 (QL_THROTTLE_PER_IDENTITY_MAX_REQUESTS='0')"),
        ({"QL_REST_THROTTLE_WINDOW_SECONDS": " -60 "}, (120, -60, 10000, 3600),
         "window_seconds must be > 0 (QL_REST_THROTTLE_WINDOW_SECONDS=' -60 ')"),
        ({"QL_THROTTLE_PER_IDENTITY_MAX_TRACKED_KEYS": "-1", "QL_THROTTLE_PER_IDENTITY_KEY_TTL_SECONDS": "0"},
         (120, 60, -1, 0), "max_tracked_keys must be > 0 (QL_THROTTLE_PER_IDENTITY_MAX_TRACKED_KEYS='-1')"),
        ({"QL_THROTTLE_PER_IDENTITY_WINDOW_SECONDS": "9" * 400}, (120, int("9" * 400), 10000, 3600),
         "QL_THROTTLE_PER_IDENTITY_WINDOW_SECONDS must be at most 9223372036854775807, not a value of 400 characters"),
        ({"QL_REST_THROTTLE_KEY_TTL_SECONDS": "9" * 5000}, None,  # beyond int()'s digit limit: still a number
         "QL_REST_THROTTLE_KEY_TTL_SECONDS must be at most 9223372036854775807, not a value of 5000 characters"),
        ({"QL_THROTTLE_PER_IDENTITY_MAX_REQUESTS": "9223372036854775808"}, (2**63, 60, 10000, 3600),
         "QL_THROTTLE_PER_IDENTITY_MAX_REQUESTS must be at most 9223372036854775807, not '9223372036854775808'"),
    ],
)
def test_per_identity_settings_out_of_range_are_refused_where_the_limiter_is_built(env, variables, parsed, message):
    kept = throttle.get_per_identity_throttler()
    for name, value in variables.items():
        env.setenv(name, value)
    # The configuration is what was parsed; the limiter is not built from it.
    if parsed is None:
        with pytest.raises(ValueError, match="at most"):
            throttle.per_identity_throttle_config()
    else:
        assert throttle.per_identity_throttle_config() == parsed
    with pytest.raises(ValueError) as caught:
        throttle.get_per_identity_throttler()
    assert str(caught.value) == message
    assert throttle._per_identity_limiter is kept


def test_per_identity_settings_at_their_bounds(env):
    env.setenv("QL_THROTTLE_PER_IDENTITY_MAX_REQUESTS", "9223372036854775807")
    env.setenv("QL_THROTTLE_PER_IDENTITY_WINDOW_SECONDS", "nan")  # not an integer: the default
    env.setenv("QL_REST_THROTTLE_KEY_TTL_SECONDS", "1")
    assert throttle.per_identity_throttle_config() == (2**63 - 1, 60, 10000, 1)
    assert throttle.get_per_identity_throttler().consume("k").allowed


def test_shared_limiter_follows_its_configuration(env):
    first = throttle.get_per_identity_throttler()
    assert throttle.get_per_identity_throttler() is first and throttle._per_identity_limiter is first
    assert throttle._per_identity_limiter_state == {"cfg": (120, 60, 10000, 3600)}
    first.consume("k")
    for canonical, _, _ in PAIRS:
        env.setenv(canonical, "7")
        fresh = throttle.get_per_identity_throttler()
        assert fresh is not first and fresh.tracked_key_count == 0
        first = fresh
    assert (first._max_requests, first._window_seconds, first._max_tracked_keys) == (7, 7.0, 7)
    env.setenv("QL_THROTTLE_PER_IDENTITY_WINDOW_SECONDS", "0")
    for _ in range(2):
        with pytest.raises(ValueError, match="window_seconds must be > 0"):
            throttle.get_per_identity_throttler()
    assert throttle._per_identity_limiter is first and throttle._per_identity_limiter_state["cfg"] == (7, 7, 7, 7)
    env.setenv("QL_THROTTLE_PER_IDENTITY_WINDOW_SECONDS", "7")
    assert throttle.get_per_identity_throttler() is first


def test_shared_limiter_from_many_threads(env):
    got = []
    threads = [threading.Thread(target=lambda: got.extend(throttle.get_per_identity_throttler() for _ in range(50)))
               for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(got) == 400 and len({id(x) for x in got}) == 1


# ---- key builders ------------------------------------------------------------------------------


def test_identity_key():
    for principal in [None, "", "unknown"]:
        assert throttle.identity_throttle_key(principal, fallback="10.0.0.1") == "addr:10.0.0.1"
    for principal in ["Unknown", "alice", "ünïcødé"]:
        expected = "principal:" + hashlib.sha256(principal.encode()).hexdigest()[:16]
        assert throttle.identity_throttle_key(principal, fallback="x") == expected
    for kwargs, name in [({"principal": 5, "fallback": "x"}, "principal"), ({"principal": "a", "fallback": None}, "fallback"),
                         ({"principal": None, "fallback": b"x"}, "fallback")]:
        with pytest.raises(TypeError, match=name):
            throttle.identity_throttle_key(**kwargs)
    with pytest.raises(TypeError):
        throttle.identity_throttle_key("a", "b")


def hashlib_identity_key(principal):
    return "principal:" + hashlib.sha256(principal.encode()).hexdigest()[:16]


# hypothesis draws no surrogates by itself; splice one in for half the cases.
WITH_SURROGATE = st.builds(lambda a, i, b: a + chr(0xD800 + i) + b, st.text(), st.integers(0, 0x7FF), st.text())


@settings(max_examples=300, deadline=None)
@given(st.one_of(st.text(max_size=300), WITH_SURROGATE))
def test_identity_key_equals_hashlib_for_any_text(principal):
    if principal in ("", "unknown"):
        assert throttle.identity_throttle_key(principal, fallback="f") == "addr:f"
        return
    try:
        expected = hashlib_identity_key(principal)
    except UnicodeEncodeError as exc:
        with pytest.raises(UnicodeEncodeError) as caught:
            throttle.identity_throttle_key(principal, fallback="f")
        got = caught.value
        assert (str(got), got.object, got.start, got.end, got.reason) == (
            str(exc), exc.object, exc.start, exc.end, exc.reason)
        return
    assert throttle.identity_throttle_key(principal, fallback="f") == expected


def test_identity_key_at_block_boundaries():
    # Lengths around the 55/56/64-byte padding edges, and multi-byte text straddling them.
    rng = random.Random(11)
    for n in list(range(0, 140)) + [1000, 4096, 100_003]:
        for text in ("a" * n, "é" * n, "".join(chr(rng.randrange(32, 0x2FFFF)) for _ in range(n))):
            if text and text != "unknown" and not any(0xD800 <= ord(c) < 0xE000 for c in text):
                assert throttle.identity_throttle_key(text, fallback="f") == hashlib_identity_key(text), n

    class Principal(str):
        def encode(self, *args, **kwargs):
            raise AssertionError("the text is hashed, not a custom encoding")

    assert throttle.identity_throttle_key(Principal("alice"), fallback="f") == hashlib_identity_key("alice")
    for bad in ["\ud800", "ok\udfffx\ud800"]:
        with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
            throttle.identity_throttle_key(bad, fallback="f")


def test_credential_fingerprint():
    salt = b"\x00process-secret"
    key = throttle.fingerprint_throttle_credential("sk-live-1", salt=salt)
    assert key == "token:" + hashlib.pbkdf2_hmac("sha256", b"sk-live-1", salt, 600000).hex()[:16]
    assert key != throttle.fingerprint_throttle_credential("sk-live-1", salt=b"other")
    for args, kwargs, name in [((b"t",), {"salt": b"s"}, "token"), (("t",), {"salt": "s"}, "salt")]:
        with pytest.raises(TypeError, match=name):
            throttle.fingerprint_throttle_credential(*args, **kwargs)
    with pytest.raises(TypeError):
        throttle.fingerprint_throttle_credential("t", b"s")


# ---- the classes as Python sees them -----------------------------------------------------------

SIGNATURES = [
    (InMemoryThrottler, "(*, max_requests: 'int', window_seconds: 'int', max_tracked_keys: 'int' = 10000, "
                        "key_ttl_seconds: 'int' = 3600) -> 'None'"),
    (InMemoryThrottler.consume, "(self, key: 'str') -> 'ThrottleResult'"),
    (TokenBucket, "(capacity: 'float', refill_rate: 'float') -> 'None'"),
    (TokenBucket.acquire, "(self, amount: 'int' = 1) -> 'None'"),
]


@pytest.mark.parametrize("obj, text", SIGNATURES)
def test_signatures_and_docs(obj, text):
    import inspect

    assert str(inspect.signature(obj)) == text
    assert inspect.getdoc(obj)
    assert obj.__module__ == "quellon_runtime.throttle"


@pytest.mark.parametrize("cls, good, bad", [
    (InMemoryThrottler, ((), {"max_requests": 1, "window_seconds": 2}), ((1, 2), {})),
    (TokenBucket, ((1, 2), {}), ((1,), {"rate": 2})),
])
def test_autospec_checks_construction(cls, good, bad):
    from unittest import mock

    auto = mock.create_autospec(cls)
    auto(*good[0], **good[1])
    with pytest.raises(TypeError):
        auto(*bad[0], **bad[1])


def make(cls):
    return InMemoryThrottler(max_requests=1, window_seconds=60) if cls is InMemoryThrottler else TokenBucket(1, 0)


@pytest.mark.parametrize("cls", [InMemoryThrottler, TokenBucket])
def test_instances_have_a_dict_and_weak_references(cls):
    import gc
    import weakref

    obj = make(cls)
    obj.owner = "tenant-a"
    assert vars(obj) == {"owner": "tenant-a"} and type(obj) is cls
    ref = weakref.ref(obj)
    cycle = [obj]
    obj.cycle = cycle  # only the collector can free this one
    del obj, cycle
    gc.collect()
    assert ref() is None


async def test_methods_can_be_patched_on_instances(monkeypatch):
    from unittest import mock

    calls = []

    async def fake(amount=1):
        calls.append(amount)

    bucket = TokenBucket(0, 0)
    monkeypatch.setattr(bucket, "acquire", fake)
    await bucket.acquire(3)
    assert calls == [3]
    monkeypatch.undo()
    monkeypatch.setattr(throttle, "_throttle_rejections", FakeCounter())
    with pytest.raises(ThrottleExceeded):  # the native method again
        await bucket.acquire()
    lim = InMemoryThrottler(max_requests=1, window_seconds=60)
    with mock.patch.object(lim, "consume", return_value=ThrottleResult(False, 9)) as patched:
        assert lim.consume("k") == ThrottleResult(False, 9)
    patched.assert_called_once_with("k")
    assert lim.consume("k").allowed and "consume" not in vars(lim)


async def test_subclasses_and_their_overrides(env, monkeypatch):
    class Audited(InMemoryThrottler):
        def __init__(self, **kw):
            super().__init__(**kw)
            self.seen = []

        def consume(self, key):
            self.seen.append(key)
            return super().consume(key)

    lim = Audited(max_requests=1, window_seconds=60)
    assert [lim.consume("k").allowed for _ in range(2)] == [True, False] and lim.seen == ["k", "k"]
    monkeypatch.setattr(throttle, "InMemoryThrottler", Audited)  # the module builds through its own name
    shared = throttle.get_per_identity_throttler()
    assert type(shared) is Audited and shared._max_requests == 120

    class Forgetful(TokenBucket):
        def __init__(self):
            pass  # never initialises the native part

    with pytest.raises(TypeError, match=r"TokenBucket.__init__\(\) was not called"):
        await Forgetful().acquire()
    with pytest.raises(TypeError, match="must be an InMemoryThrottler"):
        InMemoryThrottler.consume(TokenBucket(1, 1), "k")
    lim.__init__(max_requests=2, window_seconds=5)  # a second __init__ starts over
    assert (lim.tracked_key_count, lim._max_requests) == (0, 2)


def test_bucket_fields_are_plain_numbers():
    bucket = TokenBucket(5, 1)
    bucket.tokens, bucket.capacity = 2, 3.5
    assert (bucket.tokens, bucket.capacity) == (2.0, 3.5)
    with pytest.raises(TypeError, match="tokens must be a number"):
        bucket.tokens = "many"
    with pytest.raises(AttributeError, match="capacity"):
        del bucket.capacity
    with pytest.raises(AttributeError):
        bucket._lock = None


def test_reimport_and_reload():
    out = fresh_interpreter("""
        import asyncio, importlib, json, os, sys, warnings
        warnings.simplefilter("error")
        from quellon_runtime import throttle as first
        old_limiter = first.InMemoryThrottler(max_requests=1, window_seconds=60)
        del sys.modules["quellon_runtime.throttle"]
        import quellon_runtime.throttle as second
        names = ["InMemoryThrottler", "TokenBucket", "ThrottleResult", "global_throttler", "identity_throttle_key"]
        complete = all(hasattr(second, n) for n in names)
        fresh = second.InMemoryThrottler(max_requests=1, window_seconds=60).consume("k").allowed
        old_works = old_limiter.consume("k").allowed and not old_limiter.consume("k").allowed
        shared = second.get_per_identity_throttler()
        before = [second.burst, second.global_throttler.capacity]
        os.environ["QL_THROTTLE_BURST"] = "7"
        os.environ["QL_THROTTLE_REFILL_RATE"] = "2"
        assert importlib.reload(second) is second
        after = [second.burst, second.rate, second.global_throttler.capacity, second.global_throttler.refill_rate]
        forgot = second._per_identity_limiter is None and second.get_per_identity_throttler() is not shared
        os.environ["QL_THROTTLE_BURST"] = "-1"
        try:
            importlib.reload(second)
            refused = None
        except ValueError as exc:
            refused = str(exc)
        print(json.dumps([complete, fresh, old_works, before, after, forgot, refused, second.burst]))
    """)
    assert out == [True, True, True, [50.0, 50.0], [7.0, 2.0, 7.0, 2.0], True,
                   "QL_THROTTLE_BURST must be a finite number > 0, not '-1'", 7.0]
