"""Speed and memory of the throttles, each against a baseline measured in the same run.

Run:  PYTHONPATH=src python benchmarks/bench_throttle.py
Each row prints as  name | measured | baseline | ratio | target ; `run()` returns the rows.

Baselines:
- an idiomatic pure-Python sliding window (OrderedDict of deques under a threading.Lock, frozen
  dataclass results, the same admission, pruning and eviction rules);
- the `limits` package's in-memory moving window (row skipped when it is not installed);
- a pure-Python token bucket under an asyncio.Lock;
- hashlib.pbkdf2_hmac with the same parameters;
- for `identity_throttle_key`, the same key built in Python with hashlib.

Instructions per call under callgrind (`--loop MODE N`, see _callgrind.py) are reported for
`identity_throttle_key`, `consume` and `acquire`, next to the wall-clock rows.

Memory per tracked key: the Python baseline is measured with tracemalloc (bytes requested from
Python's allocators while filling the keys). The native limiter counts the bytes its containers
request from the C++ heap (`_native_heap_bytes`), which is the same kind of figure; the process RSS
growth over the same fill is printed alongside as a cross-check where the platform exposes it.
"""

from __future__ import annotations

import asyncio
import gc
import math
import os
import sys
import threading
import time
import tracemalloc
from collections import OrderedDict, deque
from dataclasses import dataclass, field

import _callgrind
from _report import row

from quellon_runtime import throttle

WINDOW = 60
MAX_REQUESTS = 120


# ---- baselines -------------------------------------------------------------------------------


@dataclass(frozen=True)
class PyResult:
    allowed: bool
    retry_after_seconds: int = 0


@dataclass
class PyBucket:
    timestamps: deque = field(default_factory=deque)
    last_seen: float = 0.0


class PySlidingWindow:
    def __init__(self, *, max_requests, window_seconds, max_tracked_keys=10000, key_ttl_seconds=3600):
        self._max_requests = max_requests
        self._window_seconds = float(window_seconds)
        self._max_tracked_keys = max_tracked_keys
        self._key_ttl_seconds = float(key_ttl_seconds)
        self._buckets: OrderedDict[str, PyBucket] = OrderedDict()
        self._lock = threading.Lock()

    def consume(self, key: str) -> PyResult:
        with self._lock:
            now = time.monotonic()
            cutoff = now - self._window_seconds
            idle_cutoff = now - self._key_ttl_seconds
            buckets = self._buckets
            while buckets:
                oldest = next(iter(buckets.values()))
                if oldest.last_seen > idle_cutoff:
                    break
                buckets.popitem(last=False)
            bucket = buckets.get(key)
            if bucket is None:
                bucket = buckets[key] = PyBucket(last_seen=now)
            else:
                bucket.last_seen = now
                buckets.move_to_end(key)
            ts = bucket.timestamps
            while ts and ts[0] <= cutoff:
                ts.popleft()
            if len(ts) >= self._max_requests:
                return PyResult(False, max(1, math.ceil(ts[0] + self._window_seconds - now)))
            ts.append(now)
            while len(buckets) > self._max_tracked_keys:
                buckets.popitem(last=False)
            return PyResult(True)


class PyTokenBucket:
    def __init__(self, capacity, refill_rate):
        self.capacity = capacity
        self.refill_rate = refill_rate
        self.tokens = capacity
        self.last_refill = time.monotonic()
        self._lock = asyncio.Lock()

    async def acquire(self, amount=1):
        async with self._lock:
            now = time.monotonic()
            elapsed = now - self.last_refill
            candidate = self.tokens + elapsed * self.refill_rate
            self.tokens = candidate if candidate < self.capacity else self.capacity
            self.last_refill = now
            if self.tokens >= amount:
                self.tokens -= amount
                return
            raise throttle.ThrottleExceeded("Global rate limit exceeded. Please try again later.")


# ---- helpers ---------------------------------------------------------------------------------


def best_of(fn, repeats=5, clock=time.thread_time):
    """Smallest time of `repeats` runs of fn(). Single-threaded figures use the thread's CPU time,
    which other processes on a shared machine disturb far less than wall time."""
    best = math.inf
    for _ in range(repeats):
        gc.collect()
        t0 = clock()
        fn()
        best = min(best, clock() - t0)
    return best


def interleaved(fa, fb, repeats=5):
    """Best times of fa and fb, measured alternately so that drifting machine load hits both."""
    ta = tb = math.inf
    for _ in range(repeats):
        ta = min(ta, best_of(fa, 1))
        tb = min(tb, best_of(fb, 1))
    return ta, tb


def rss_bytes():
    try:
        import psutil

        return psutil.Process().memory_info().rss
    except ImportError:
        pass
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, AttributeError):
        return None


def consume_loop(limiter, keys, rounds):
    consume = limiter.consume
    for _ in range(rounds):
        for k in keys:
            consume(k)


# ---- figures ---------------------------------------------------------------------------------


def bench_consume_vs_python():
    keys = [f"principal:{i:016x}" for i in range(1000)]
    rounds = 200  # 120 admissions then 80 rejections per key

    def native():
        consume_loop(throttle.InMemoryThrottler(max_requests=MAX_REQUESTS, window_seconds=WINDOW), keys, rounds)

    def python():
        consume_loop(PySlidingWindow(max_requests=MAX_REQUESTS, window_seconds=WINDOW), keys, rounds)

    n = len(keys) * rounds
    t_native, t_python = (t / n * 1e9 for t in interleaved(native, python))
    ratio = t_python / t_native
    return row("consume vs pure-Python window (ns/call)", t_native, t_python, ratio, ">= 10x faster", ratio >= 10)


def bench_consume_vs_limits():
    try:
        from limits import RateLimitItemPerMinute
        from limits.storage import MemoryStorage
        from limits.strategies import MovingWindowRateLimiter
    except ImportError:
        return row("consume vs limits moving window (ns/call)", "skipped", "limits not installed", 0.0, "faster", True)
    keys = [f"principal:{i:016x}" for i in range(1000)]
    rounds = 50
    item = RateLimitItemPerMinute(MAX_REQUESTS)

    def lim():
        storage = MemoryStorage()
        try:
            hit = MovingWindowRateLimiter(storage).hit
            for _ in range(rounds):
                for k in keys:
                    hit(item, k)
        finally:
            storage.timer.cancel()

    def native():
        consume_loop(throttle.InMemoryThrottler(max_requests=MAX_REQUESTS, window_seconds=WINDOW), keys, rounds)

    n = len(keys) * rounds
    t_native, t_limits = (t / n * 1e9 for t in interleaved(native, lim, 3))
    ratio = t_limits / t_native
    return row("consume vs limits moving window (ns/call)", t_native, t_limits, ratio, "faster (> 1x)", ratio > 1)


def filled(n_keys):
    """A limiter tracking n_keys keys, each with a full window."""
    lim = throttle.InMemoryThrottler(max_requests=MAX_REQUESTS, window_seconds=WINDOW, max_tracked_keys=n_keys)
    for i in range(n_keys):
        k = f"principal:{i:016x}"
        for _ in range(MAX_REQUESTS):
            lim.consume(k)
    return lim


def bench_key_count_independence():
    calls = 300_000
    hot = [f"principal:{0:016x}"] * 1000
    spread = [f"principal:{i:016x}" for i in range(10_000)]
    one, many = filled(1), filled(10_000)

    def timed(lim, keys):
        return lambda: consume_loop(lim, keys, calls // len(keys))

    t_one, t_many = (t / calls * 1e9 for t in interleaved(timed(one, hot), timed(many, hot)))
    ratio = t_many / t_one
    rows = [row("consume of one key, 10,000 keys tracked vs 1 (ns/call)", t_many, t_one, ratio, "<= 1.5x",
                ratio <= 1.5)]
    # The same calls spread over all 10,000 keys: each call lands on memory that has left the CPU
    # caches since its previous turn. That is the memory hierarchy, not the algorithm, so this row
    # carries no target; the Python window's own ratio for the same pattern is shown beside it.
    t_one, t_spread = (t / calls * 1e9 for t in interleaved(timed(one, hot), timed(many, spread)))
    py_one, py_many = PySlidingWindow(max_requests=MAX_REQUESTS, window_seconds=WINDOW), PySlidingWindow(
        max_requests=MAX_REQUESTS, window_seconds=WINDOW, max_tracked_keys=10_000)
    for lim, keys in ((py_one, hot[:1]), (py_many, spread)):
        consume_loop(lim, keys, MAX_REQUESTS)
    py_hot, py_spread = interleaved(timed(py_one, hot), timed(py_many, spread), 2)
    ratio = t_spread / t_one
    r = row("consume round robin over 10,000 tracked keys vs one key (ns/call)", t_spread, t_one, ratio,
            "none (cache-bound)", True)
    r["note"] = f"the Python window's ratio for the same two patterns: {py_spread / py_hot:.2f}"
    rows.append(r)
    return rows


NATIVE_RSS = """
import sys
sys.path.insert(0, {here!r})
from bench_throttle import fill_native_for_rss
fill_native_for_rss({n})
"""


def fill_native_for_rss(n_keys):
    """Run in a fresh interpreter: RSS growth per key while filling a native limiter."""
    lim = throttle.InMemoryThrottler(max_requests=MAX_REQUESTS, window_seconds=WINDOW, max_tracked_keys=n_keys)
    keys = [f"principal:{i:016x}" for i in range(n_keys)]
    before = rss_bytes()
    for k in keys:
        for _ in range(MAX_REQUESTS):
            lim.consume(k)
    print((rss_bytes() - before) / n_keys)


def native_rss_per_key(n_keys=20_000):
    import subprocess

    if rss_bytes() is None:
        return None
    code = NATIVE_RSS.format(here=os.path.dirname(os.path.abspath(__file__)), n=n_keys)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    return float(proc.stdout.split()[-1]) if proc.returncode == 0 else None


def bench_memory_per_key():
    n_keys = 2000

    def fill(lim):
        for i in range(n_keys):
            k = f"principal:{i:016x}"
            for _ in range(MAX_REQUESTS):
                lim.consume(k)

    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    py = PySlidingWindow(max_requests=MAX_REQUESTS, window_seconds=WINDOW)
    fill(py)
    gc.collect()
    py_bytes = (tracemalloc.get_traced_memory()[0] - before) / n_keys
    tracemalloc.stop()
    assert all(len(b.timestamps) == MAX_REQUESTS for b in py._buckets.values())
    del py
    gc.collect()

    heap0 = throttle._native_heap_bytes()
    native = throttle.InMemoryThrottler(max_requests=MAX_REQUESTS, window_seconds=WINDOW)
    fill(native)
    native_bytes = (throttle._native_heap_bytes() - heap0) / n_keys
    assert native.consume("principal:0000000000000000").allowed is False
    ratio = py_bytes / native_bytes
    r = row("memory per tracked key, full window of 120 (bytes)", native_bytes, py_bytes, ratio,
            "<= 1/4 of baseline (ratio >= 4)", ratio >= 4)
    rss = native_rss_per_key()
    if rss is not None:
        r["measured"] += f" (RSS growth {rss:.0f})"
    r["note"] = ("native: bytes its containers request (key text included); baseline: tracemalloc of the "
                 "Python window; RSS growth of a fresh process filling 20,000 keys as a cross-check")
    return r


def bench_acquire():
    n = 200_000

    async def drive(bucket):
        acquire = bucket.acquire
        for _ in range(n):
            await acquire()

    t_native, t_python = (t / n * 1e9 for t in interleaved(
        lambda: asyncio.run(drive(throttle.TokenBucket(capacity=1e12, refill_rate=1e9))),
        lambda: asyncio.run(drive(PyTokenBucket(capacity=1e12, refill_rate=1e9))), 3))
    ratio = t_python / t_native
    return row("TokenBucket.acquire vs Python bucket under asyncio.Lock (ns/call)", t_native, t_python, ratio,
               ">= 3x faster", ratio >= 3)


def bench_fingerprint():
    import hashlib

    salt = os.urandom(16)
    token = "sk-live-" + "x" * 40
    calls = 3

    def ours():
        for _ in range(calls):
            throttle.fingerprint_throttle_credential(token, salt=salt)

    def plain():
        for _ in range(calls):
            hashlib.pbkdf2_hmac("sha256", token.encode(), salt, 600000)

    t_ours, t_plain = (t / calls for t in interleaved(ours, plain, 4))
    ratio = t_ours / t_plain
    rows = [row("fingerprint_throttle_credential vs hashlib.pbkdf2_hmac (s/call)", t_ours, t_plain, ratio,
                "<= 1.05x", ratio <= 1.05)]

    def one_thread():
        throttle.fingerprint_throttle_credential(token, salt=salt)
        throttle.fingerprint_throttle_credential(token, salt=salt)

    def two_threads():
        ts = [threading.Thread(target=throttle.fingerprint_throttle_credential, args=(token,), kwargs={"salt": salt})
              for _ in range(2)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    # Wall time here: the point is that the two derivations overlap. Needs two idle cores.
    t_one = t_two = math.inf
    for _ in range(2):
        t_one = min(t_one, best_of(one_thread, 1, time.perf_counter))
        t_two = min(t_two, best_of(two_threads, 1, time.perf_counter))
    ratio = t_two / t_one
    r = row("two fingerprints on two threads vs one thread doing both (s)", t_two, t_one, ratio,
            "close to 0.5 (<= 0.6)", ratio <= 0.6)

    # Whatever the load, the derivation must leave the GIL to others: count what the main thread
    # gets done meanwhile (nothing, if the GIL were held).
    done = threading.Event()
    worker = threading.Thread(target=lambda: (throttle.fingerprint_throttle_credential(token, salt=salt), done.set()))
    spins = 0
    worker.start()
    while not done.is_set():
        spins += 1
    worker.join()
    r["note"] = f"main thread ran {spins} loop iterations during one derivation on another thread"
    rows.append(r)
    return rows


# ---- instructions per call (callgrind) ---------------------------------------------------------

PRINCIPALS = [f"user-{i}@example.com" for i in range(64)]
IDENTITY_KEY_TARGET = 5000


def py_identity_key(principal, *, fallback):
    import hashlib

    if principal is not None and principal != "" and principal != "unknown":
        return "principal:" + hashlib.sha256(principal.encode("utf-8")).hexdigest()[:16]
    return "addr:" + fallback


def _loop(mode: str, n: int) -> None:
    """Body of one instruction-count measurement (run in a child process under callgrind)."""
    if mode in ("identity_key", "identity_key_python"):
        fn = throttle.identity_throttle_key if mode == "identity_key" else py_identity_key
        principals = PRINCIPALS
        for p in principals:
            fn(p, fallback="10.0.0.1")
        for i in range(n):
            fn(principals[i & 63], fallback="10.0.0.1")
    elif mode in ("consume", "consume_python"):
        lim = (throttle.InMemoryThrottler if mode == "consume" else PySlidingWindow)(
            max_requests=MAX_REQUESTS, window_seconds=WINDOW)
        keys = [f"principal:{i:016x}" for i in range(100)]
        consume = lim.consume
        for k in keys:  # warm: every key tracked, windows filling
            consume(k)
        for i in range(n):
            consume(keys[i % 100])
    elif mode in ("acquire", "acquire_python"):
        bucket = (throttle.TokenBucket if mode == "acquire" else PyTokenBucket)(capacity=1e12, refill_rate=1e9)

        async def drive(k):
            acquire = bucket.acquire
            for _ in range(k):
                await acquire()

        asyncio.run(drive(100))
        asyncio.run(drive(n))
    else:
        raise SystemExit(f"unknown mode {mode!r}")


def instruction_rows(n: int = 20000) -> list[dict]:
    if not _callgrind.available():
        return []
    rows = []
    for mode, name, target, ok in (
        ("identity_key", "identity_throttle_key vs Python with hashlib (instructions per call, callgrind)",
         f"<= {IDENTITY_KEY_TARGET} instr/call", lambda m, b: m <= IDENTITY_KEY_TARGET),
        # Reported beside the wall-clock rows, which carry the targets: native code retires more
        # instructions per cycle than the interpreter, so the two ratios differ.
        ("consume", "consume vs pure-Python window (instructions per call, callgrind)", "reported",
         lambda m, b: True),
        ("acquire", "TokenBucket.acquire vs Python bucket (instructions per call, callgrind)", "reported",
         lambda m, b: True),
    ):
        mine = _callgrind.per_call(__file__, mode, n)
        base = _callgrind.per_call(__file__, mode + "_python", n)
        if mine is None or base is None:
            continue
        rows.append({"name": name, "measured": f"{mine:,.0f} instr/call", "baseline": f"{base:,.0f}",
                     "ratio": round(base / mine, 3), "target": target, "ok": ok(mine, base)})
    return rows


def run() -> list[dict]:
    rows = [bench_consume_vs_python(), bench_consume_vs_limits()]
    rows += bench_key_count_independence()
    rows.append(bench_memory_per_key())
    rows.append(bench_acquire())
    rows += bench_fingerprint()
    rows += instruction_rows()
    return rows


if __name__ == "__main__":
    _callgrind.script_main(run, _loop)
