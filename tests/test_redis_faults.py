"""The shared Redis backend under faults, against a real redis-server: a hung server, a slow one,
error replies, a busy pool, many event loops and a second __init__ in the middle of a call. For each:
the verdicts, how long a caller or the event loop waits, one WARNING per episode naming the mode,
and nothing left behind."""

import asyncio
import gc
import logging
import os
import signal
import socket
import sys
import threading
import time

import pytest

pytest.importorskip("redis")

from quellon_runtime import throttle  # noqa: E402
from quellon_runtime.throttle import RedisThrottler, RedisTokenBucket, ThrottleExceeded, ThrottleResult  # noqa: E402

sys.path.insert(0, os.path.dirname(__file__))
from redis_server import free_port, own_server  # noqa: E402,F401

pytestmark = pytest.mark.skipif(not hasattr(signal, "SIGSTOP"), reason="needs SIGSTOP")

SOCKET_TIMEOUT = 1.0
QUICK = 0.25 * SOCKET_TIMEOUT  # generous bound for a call while the server is known to be away
DURING = {"open": ThrottleResult(True, 0), "closed": ThrottleResult(False, 1)}


@pytest.fixture
def server(own_server):
    return own_server


@pytest.fixture
def counted(monkeypatch):
    seen = []

    class Counter:
        def add(self, n, attributes=None):
            seen.append(attributes["reason"])

    monkeypatch.setattr(throttle, "_backend_failures", Counter())
    return seen


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]


def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.02)


def timed(call):
    t0 = time.monotonic()
    result = call()
    return result, time.monotonic() - t0


async def loop_stall(coro):
    """(coro's result, the longest the event loop went without running a 5 ms ticker)."""
    gaps, done = [0.0], False

    async def tick():
        last = time.monotonic()
        while not done:
            await asyncio.sleep(0.005)
            now = time.monotonic()
            gaps[0] = max(gaps[0], now - last)
            last = now

    ticker = asyncio.create_task(tick())
    await asyncio.sleep(0)
    try:
        return await coro, gaps[0]
    finally:
        done = True
        await ticker


# ---- a hung server ----------------------------------------------------------------------------

@pytest.mark.parametrize("mode, first", [("open", "threads"), ("closed", "breaker")])
def test_a_hung_server_costs_one_timeout_then_nothing(server, caplog, counted, monkeypatch, mode, first):
    caplog.set_level(logging.INFO, logger="runtime.throttle")
    limiter = RedisThrottler(max_requests=3, window_seconds=60, url=server.url, failure_mode=mode)
    monkeypatch.setenv("QL_THROTTLE_BACKEND", "redis")
    monkeypatch.setenv("QL_THROTTLE_REDIS_URL", server.url)
    storage = throttle._breaker_storage("ql:breaker:Hung:t1")
    assert limiter.consume("k").allowed
    server.pause()
    try:
        # Whoever meets the hung server first waits one socket timeout at most: a breaker, or
        # eight threads together.
        if first == "breaker":
            state, took = timed(lambda: storage.state)
            assert state == "closed" and took < 1.8 * SOCKET_TIMEOUT
        meeting = []
        threads = [threading.Thread(target=lambda: meeting.append(timed(lambda: limiter.consume("k"))))
                   for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert [r for r, _ in meeting] == [DURING[mode]] * 8
        assert max(s for _, s in meeting) < (1.8 * SOCKET_TIMEOUT if first == "threads" else QUICK)
        # From then on nobody waits, the event loop included, breakers too; one probe at a time.
        later = [timed(lambda: limiter.consume("k")) for _ in range(30)]
        time.sleep(0.6)
        later += [timed(lambda: (storage.state, storage.counter)) for _ in range(30)]
        assert max(s for _, s in later) < QUICK
        assert sum(t.name == "ql-redis-probe" for t in threading.enumerate()) <= 1

        async def on_the_loop():
            return [await limiter.consume_async("k") for _ in range(20)], storage.state

        (verdicts, state), stall = asyncio.run(loop_stall(on_the_loop()))
        assert verdicts == [DURING[mode]] * 20 and state == "closed" and stall < QUICK
    finally:
        server.resume()
    warned = warnings_of(caplog)
    assert len(warned) == 1 and f'failure mode "{mode}"' in warned[0]
    assert set(counted) == {"unreachable"}
    # Back: callers send the probe off after each pause; then the window decides again, exactly.
    wait_for(lambda: limiter.consume("poke") and any("reachable again" in r.getMessage() for r in caplog.records))
    assert [limiter.consume("fresh").allowed for _ in range(5)] == [True] * 3 + [False] * 2


# ---- a slow server: a timed-out decision counts at most once ----------------------------------

@pytest.mark.parametrize("path", ["sync", "async"])
def test_a_timed_out_decision_is_applied_at_most_once(server, caplog, path):
    limiter = RedisThrottler(max_requests=1, window_seconds=60, url=server.url, prefix="slow:")
    limiter.consume("warm")
    sleeper = threading.Thread(target=lambda: server.client().execute_command("DEBUG", "SLEEP", "1.3"))
    sleeper.start()
    time.sleep(0.1)
    consume = (lambda: limiter.consume("k")) if path == "sync" else (lambda: asyncio.run(limiter.consume_async("k")))
    verdict, took = timed(consume)
    sleeper.join()
    assert verdict == DURING["open"] and took < 1.8 * SOCKET_TIMEOUT
    client = server.client()
    assert client.zcard("slow:k") <= 1
    wait_for(lambda: limiter.consume("other") and client.exists("slow:other"))
    # The caller's own first request was not counted twice against it.
    assert client.zcard("slow:k") <= 1 and client.pttl("slow:other") > 0


# ---- error replies ----------------------------------------------------------------------------

def out_of_memory(srv):
    srv.client().config_set("maxmemory-policy", "noeviction")
    srv.client().config_set("maxmemory", 1)
    return lambda: srv.client().config_set("maxmemory", 0)


def read_only(srv):
    srv.client().replicaof("127.0.0.1", free_port())  # a master that is not there
    return lambda: srv.client().replicaof("NO", "ONE")


def busy_script(srv):
    srv.client().config_set("busy-reply-threshold", 50)
    import redis

    def loop_until_killed():
        with pytest.raises(redis.ResponseError, match="killed"):
            srv.client().eval("while true do end", 0)

    looping = threading.Thread(target=loop_until_killed, daemon=True)
    looping.start()
    time.sleep(0.2)

    def kill():
        srv.client().script_kill()
        looping.join(5)

    return kill


class MovedServer:
    """A loopback server that answers every command with a cluster redirection."""

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.url = f"redis://127.0.0.1:{self.sock.getsockname()[1]}/0"
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.answer, args=(conn,), daemon=True).start()

    def answer(self, conn):
        with conn:
            while chunk := conn.recv(65536):
                n = chunk.count(b"\r\n*") + chunk.startswith(b"*")
                conn.sendall(b"-MOVED 3999 127.0.0.1:6381\r\n" * n)


@pytest.mark.parametrize("mode", ["open", "closed"])
@pytest.mark.parametrize("fault, named", [(out_of_memory, "OutOfMemoryError"), (read_only, "ReadOnlyError"),
                                          (busy_script, "BUSY"), (None, "MovedError")])
def test_error_replies_follow_the_failure_mode(server, caplog, counted, monkeypatch, fault, named, mode):
    caplog.set_level(logging.INFO, logger="runtime.throttle")
    url = server.url if fault else MovedServer().url
    limiter = RedisThrottler(max_requests=2, window_seconds=60, url=url, failure_mode=mode, prefix=f"{named}:")
    bucket = RedisTokenBucket(100, 1, url=url, failure_mode=mode, key=f"{named}:bucket")
    monkeypatch.setenv("QL_THROTTLE_BACKEND", "redis")
    monkeypatch.setenv("QL_THROTTLE_REDIS_URL", url)
    storage = throttle._breaker_storage(f"ql:breaker:{named}:t")

    async def on_the_loop():
        taken = []
        for _ in range(3):
            try:
                taken.append(await bucket.acquire())
            except ThrottleExceeded:
                taken.append("exceeded")
        return taken, await asyncio.gather(*(limiter.consume_async("k0") for _ in range(2)))

    undo = fault(server) if fault else None
    try:
        # Breaker reads between the decisions (they work on a read-only server) end nothing.
        verdicts = [(limiter.consume(f"k{i % 2}"), storage.counter)[0] for i in range(4)]
        taken, more = asyncio.run(on_the_loop())
    finally:
        if undo:
            undo()
    assert taken == [None if mode == "open" else "exceeded"] * 3
    # A window script that writes before it is refused memory keeps deciding: it only frees memory.
    decides = named == "OutOfMemoryError"
    assert verdicts + more == ([ThrottleResult(True, 0)] * 4 + [ThrottleResult(False, 60)] * 2 if decides
                               else [DURING[mode]] * 6)
    warned = warnings_of(caplog)
    assert len(warned) == 1 and named in warned[0] and f'failure mode "{mode}"' in warned[0]
    assert counted == ["error_reply"] * (3 if decides else 9)
    if fault:
        assert [limiter.consume("after").allowed for _ in range(3)] == [True, True, False]
        assert any("deciding again" in r.getMessage() for r in caplog.records)


# ---- a busy pool is not an outage -------------------------------------------------------------

@pytest.mark.parametrize("mode", ["open", "closed"])
@pytest.mark.parametrize("callers", ["event loop", "threads"])
def test_a_burst_above_the_pool_size_keeps_the_limit(server, caplog, mode, callers):
    limiter = RedisThrottler(max_requests=10, window_seconds=60, url=server.url + "?max_connections=4",
                             failure_mode=mode)
    if callers == "event loop":
        async def burst():
            return await asyncio.gather(*(limiter.consume_async("one") for _ in range(300)))

        results = asyncio.run(burst())
    else:
        results = []
        threads = [threading.Thread(target=lambda: results.extend(limiter.consume("one") for _ in range(10)))
                   for _ in range(30)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert sum(r.allowed for r in results) == 10 and len(results) == 300
    assert warnings_of(caplog) == []


# ---- many event loops -------------------------------------------------------------------------

def test_many_event_loops_leave_nothing_behind(server):
    limiter = RedisThrottler(max_requests=1000, window_seconds=60, url=server.url)
    asyncio.run(limiter.consume_async("k"))

    def counts():
        gc.collect()
        loops = sum(isinstance(o, asyncio.AbstractEventLoop) for o in gc.get_objects())
        return len(os.listdir(f"/proc/{os.getpid()}/fd")), server.client().info("clients")["connected_clients"], loops

    before = counts()
    for _ in range(200):
        asyncio.run(limiter.consume_async("k"))
    after = counts()
    assert all(a - b <= 3 for a, b in zip(after, before)), (before, after)


# ---- a second __init__ while a call waits on the server ---------------------------------------

@pytest.mark.parametrize("path", ["sync", "async"])
def test_reinitialising_during_a_call_keeps_the_call_whole(server, path):
    limiter = RedisThrottler(max_requests=1, window_seconds=60, url=server.url, failure_mode="closed")
    limiter.consume("warm")
    server.pause()
    results = []
    try:
        if path == "sync":
            caller = threading.Thread(target=lambda: results.append(limiter.consume("k")))
        else:
            caller = threading.Thread(target=lambda: results.append(asyncio.run(limiter.consume_async("k"))))
        caller.start()
        time.sleep(0.2)
        for _ in range(3):
            limiter.__init__(max_requests=5, window_seconds=7, url=server.url, failure_mode="open")
            gc.collect()
        caller.join()
    finally:
        server.resume()
    # The call answered from the core it started with ("closed"), and the limiter has its new one.
    assert results == [ThrottleResult(False, 1)]
    assert (limiter._max_requests, limiter.failure_mode) == (5, "open")
