"""The native toolkit, exercised through its self-test module."""

import abc
import asyncio
import collections.abc
import contextvars
import copy
import dataclasses
import gc
import inspect
import logging
import pickle
import sys
import tracemalloc
import warnings
import weakref

import pytest

t = pytest.importorskip("quellon_runtime._toolkit_selftest")


async def _value(v):
    await asyncio.sleep(0)
    return v


async def _boom():
    await asyncio.sleep(0)
    raise KeyError("k")


# --- coroutine bridge: awaiting ----------------------------------------------------------------


async def test_nested_three_deep_across_cpp_and_python():
    depths = []

    async def level(d):
        depths.append(d)
        await asyncio.sleep(0)  # every Python level really suspends through the C++ ones
        return await t.nest(level, d)

    assert await t.nest(level, 3) == 3
    assert depths == [2, 1, 0]

    # C++ awaiting a C++ task directly, which awaits a future resolved later by the loop
    fut = asyncio.get_running_loop().create_future()
    asyncio.get_running_loop().call_soon(fut.set_result, "late")
    assert await t.chain(fut) == "late"


async def test_native_coroutines_are_coroutines_to_asyncio():
    c = t.await_one(_value(1))
    assert isinstance(c, collections.abc.Coroutine)
    assert asyncio.iscoroutine(c)
    assert await asyncio.gather(c, t.await_one(_value(2)), asyncio.shield(t.chain(_value(3)))) == [1, 2, 3]
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        await c

    async def not_awaitable():
        return await t.await_one(5)

    with pytest.raises(TypeError, match="object int can't be used in 'await' expression"):
        await not_awaitable()


def test_asyncio_run_accepts_a_native_coroutine():
    assert asyncio.run(t.await_one(_value("ran"))) == "ran"


# --- coroutine bridge: exceptions -----------------------------------------------------------


async def test_exception_from_python_reaches_cpp_and_chains_like_python():
    # C++: catch, then raise RuntimeError("wrapped") from the caught exception
    with pytest.raises(RuntimeError, match="wrapped") as info:
        await t.wrap_error(_boom())
    err = info.value
    assert isinstance(err.__cause__, KeyError) and err.__context__ is err.__cause__
    assert err.__suppress_context__

    # C++: raise while handling (implicit chaining)
    with pytest.raises(ValueError, match="during") as info:
        await t.raise_during(_boom())
    err = info.value
    assert err.__cause__ is None and isinstance(err.__context__, KeyError)
    assert not err.__suppress_context__

    # the same shapes written in Python, for comparison
    async def py_wrap():
        try:
            await _boom()
        except KeyError as e:
            raise RuntimeError("wrapped") from e

    with pytest.raises(RuntimeError) as py_info:
        await py_wrap()
    assert type(py_info.value.__cause__) is type(py_info.value.__context__) is KeyError


async def test_exceptions_pass_through_unchanged_in_both_directions():
    raised = KeyError("same")

    async def raiser():
        await asyncio.sleep(0)
        raise raised

    for wrapper in (t.await_one, t.chain):
        with pytest.raises(KeyError) as info:
            await wrapper(raiser())
        assert info.value is raised
        frames = [tb.tb_frame.f_code.co_name for tb in _walk(info.value.__traceback__)]
        assert "raiser" in frames  # the Python traceback survives the trip through C++

    own = LookupError("from C++")
    with pytest.raises(LookupError) as info:
        await t.raise_now(own)
    assert info.value is own
    assert own.__context__ is None and own.__cause__ is None


class _StopAtAwait:
    def __await__(self):
        raise StopIteration("escaped")


@pytest.mark.parametrize("make", [lambda: t.await_one(_StopAtAwait()), lambda: t.raise_now(StopIteration("escaped"))],
                         ids=["from-the-awaited-object", "from-cpp"])
async def test_stop_iteration_at_a_native_await_becomes_runtime_error(make):
    with pytest.raises(RuntimeError, match="^coroutine raised StopIteration$") as info:
        await make()
    assert type(info.value.__cause__) is StopIteration and info.value.__cause__.args == ("escaped",)

    async def in_python():  # the same shape in Python, for comparison
        await _StopAtAwait()

    with pytest.raises(RuntimeError, match="^coroutine raised StopIteration$") as py_info:
        await in_python()
    assert type(py_info.value.__cause__) is StopIteration


def _walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


# --- coroutine bridge: cancellation and timeouts ------------------------------------------------


@pytest.mark.parametrize("wrapper", [t.cleanup_probe, "chained"])
async def test_cancel_while_waiting_on_a_future_reaches_the_inner_awaitable(wrapper):
    seen, log = [], []
    started = asyncio.Event()

    async def inner():
        started.set()
        try:
            await asyncio.get_running_loop().create_future()  # never resolved
        except asyncio.CancelledError:
            seen.append("inner cancelled")
            raise

    coro = t.cleanup_probe(inner(), log) if wrapper == "chained" else wrapper(inner(), log)
    if wrapper == "chained":
        coro = t.chain(coro)
    task = asyncio.create_task(coro)
    await started.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert task.cancelled()
    assert seen == ["inner cancelled"]
    assert log == ["CancelledError", "destroyed"]


async def test_cancel_between_steps_is_thrown_into_the_inner_awaitable():
    # While the task is scheduled (not waiting on a future) cancel() arrives through throw().
    seen, log, steps = [], [], []

    async def spinner():
        try:
            while True:
                steps.append(1)
                await asyncio.sleep(0)
        except asyncio.CancelledError as e:
            seen.append(e.args)
            raise

    task = asyncio.create_task(t.cleanup_probe(spinner(), log))
    while len(steps) < 3:
        await asyncio.sleep(0)
    task.cancel("stop now")
    with pytest.raises(asyncio.CancelledError):
        await task
    assert seen == [("stop now",)]
    assert log == ["CancelledError", "destroyed"]


async def test_cancel_before_the_first_step():
    log = []
    fut = asyncio.get_running_loop().create_future()
    task = asyncio.create_task(t.cleanup_probe(fut, log))
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert log == []  # the body never ran, so nothing of it needs cleaning up


async def test_wait_for_times_out_and_cleans_up():
    log = []
    with pytest.raises(asyncio.TimeoutError):
        await asyncio.wait_for(t.cleanup_probe(asyncio.get_running_loop().create_future(), log), 0.01)
    assert log == ["CancelledError", "destroyed"]
    assert await asyncio.wait_for(t.chain(_value("in time")), 60) == "in time"


# --- coroutine bridge: context variables ---------------------------------------------------


VAR = contextvars.ContextVar("toolkit_var", default="unset")


async def _read_var():
    await asyncio.sleep(0)
    first = VAR.get()
    await asyncio.sleep(0)
    return first, VAR.get()


async def test_context_variable_set_in_cpp_is_seen_by_python_and_restored():
    assert await t.with_var(VAR, "x", _read_var) == ("x", "x")
    assert VAR.get() == "unset"
    token = VAR.set("outer")
    try:
        assert await t.with_var(VAR, "inner", _read_var) == ("inner", "inner")
        assert VAR.get() == "outer"
        with pytest.raises(KeyError):
            await t.with_var(VAR, "failing", _boom)
        assert VAR.get() == "outer"
    finally:
        VAR.reset(token)


async def test_context_variable_is_per_task():
    results = await asyncio.gather(*(t.with_var(VAR, i, _read_var) for i in range(200)))
    assert results == [(i, i) for i in range(200)]
    assert VAR.get() == "unset"


async def test_context_variable_is_restored_when_cancelled():
    ctx = contextvars.copy_context()
    started = asyncio.Event()

    async def wait_forever():
        started.set()
        await asyncio.get_running_loop().create_future()

    task = asyncio.get_running_loop().create_task(t.with_var(VAR, "doomed", wait_forever), context=ctx)
    await started.wait()
    assert ctx[VAR] == "doomed"
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert VAR not in ctx  # reset to "never set", as before the task


# --- coroutine bridge: close() ---------------------------------------------------------------


def test_close_before_start():
    log = []
    fut = asyncio.Future(loop=asyncio.new_event_loop())
    try:
        c = t.cleanup_probe(fut, log)
        c.close()
        c.close()  # idempotent
        assert log == []
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            c.send(None)
        err = ValueError("thrown at a closed coroutine")
        with pytest.raises(ValueError) as info:
            c.throw(err)
        assert info.value is err
    finally:
        fut.get_loop().close()


def test_close_while_suspended_closes_the_delegate_and_runs_cleanup():
    log, inner_log = [], []

    class Step:
        def __await__(self):
            try:
                yield "suspended"
            finally:
                inner_log.append("inner closed")

    async def inner():
        return await Step()

    c = t.cleanup_probe(inner(), log)
    assert c.send(None) == "suspended"
    assert c.cr_await is not None
    c.close()
    assert inner_log == ["inner closed"]
    assert log == ["GeneratorExit", "destroyed"]
    assert c.cr_await is None


def test_close_that_ignores_generator_exit():
    log = []

    class Step:
        def __await__(self):
            yield "suspended"

    c = t.stubborn(Step(), Step(), log)
    c.send(None)
    with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
        c.close()
    assert log == ["GeneratorExit"]


def test_dropping_a_suspended_coroutine_closes_it(monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: unraisable.append((u.exc_type, u.object)))

    class Step:
        def __await__(self):
            yield "suspended"

    log = []
    c = t.cleanup_probe(Step(), log)
    c.send(None)
    del c
    gc.collect()
    assert log == ["GeneratorExit", "destroyed"]
    assert unraisable == []

    # a body that awaits again while being closed: reported, and nothing else breaks
    log = []
    c = t.stubborn(Step(), Step(), log)
    c.send(None)
    del c
    gc.collect()
    assert log == ["GeneratorExit"]
    assert [(exc_type, type(obj).__name__) for exc_type, obj in unraisable] == [(RuntimeError, "native_coroutine")]


def test_dropping_a_suspended_coroutine_while_an_exception_unwinds_keeps_that_exception(monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: unraisable.append(u.exc_type))
    inner_log, log = [], []

    class Step:
        def __await__(self):
            try:
                yield "suspended"
            finally:
                inner_log.append(sorted({"closed"}))  # Python code runs during the close

    def suspended():
        c = t.cleanup_probe(Step(), log)
        c.send(None)
        return c

    def boom():
        raise KeyError("original")

    def fails():
        # The coroutine waits on the value stack; unwinding drops it with the KeyError pending.
        return [suspended(), boom()]

    with pytest.raises(KeyError) as info:
        fails()
    assert info.value.args == ("original",)
    assert inner_log == [["closed"]] and log == ["GeneratorExit", "destroyed"]
    assert unraisable == []


# --- coroutine bridge: no leaks -------------------------------------------------------------


SENTINEL = object()


async def _returns():
    return SENTINEL


async def _raises():
    raise KeyError("k")


async def _churn(n):
    for i in range(n):
        kind = i % 10
        if kind == 0:
            try:
                await t.counted_await(_raises())
            except KeyError:
                pass
        elif kind == 1:
            await t.counted_await(asyncio.sleep(0))  # a real trip through the event loop
        elif kind == 2:
            with pytest.raises(RuntimeError):
                await t.wrap_error(_raises())
        else:
            await t.counted_await(_returns())


def _native_coroutines():
    return sum(1 for o in gc.get_objects() if type(o).__name__ == "native_coroutine")


async def test_no_reference_leak_over_100000_awaits():
    await _churn(2_000)  # warm up caches and free lists
    gc.collect()
    sentinel_refs = sys.getrefcount(SENTINEL)
    coroutines_before = _native_coroutines()
    tracemalloc.start()
    try:
        gc.collect()
        before, _ = tracemalloc.get_traced_memory()
        await _churn(100_000)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert t.live_frames() == 0
    assert _native_coroutines() == coroutines_before
    assert sys.getrefcount(SENTINEL) == sentinel_refs
    # One leaked object per await would be well over a megabyte.
    assert after - before < 100_000


# --- coroutine bridge: what Python tools see -------------------------------------------------


def _python_unawaited_message(qualname):
    async def f():
        pass

    f.__qualname__ = qualname
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        c = f()
        c.__qualname__  # noqa: B018
        del c
        gc.collect()
    return str(caught[0].message)


@pytest.mark.parametrize("make, qualname", [
    (lambda: t.stubborn(1, 2, []), "stubborn"),
    (lambda: __import__("quellon_runtime.throttle", fromlist=["x"]).TokenBucket(5, 1).acquire(), "TokenBucket.acquire"),
], ids=["selftest", "TokenBucket.acquire"])
def test_a_native_coroutine_never_awaited_warns_like_python(make, qualname):
    with pytest.warns(RuntimeWarning) as caught:
        make()  # dropped at once, never started
        gc.collect()
    assert [str(w.message) for w in caught] == [_python_unawaited_message(qualname)]
    assert str(caught[0].message) == f"coroutine '{qualname}' was never awaited"


def test_only_a_coroutine_dropped_unstarted_warns(monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: unraisable.append(u.exc_type))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        t.await_one(_Back()).close()  # closed
        asyncio.run(t.await_one(_value(1)))  # awaited
        c = t.await_one(_Back())
        c.send(None)
        del c  # started: closed, not warned
        with pytest.raises(ValueError):
            t.raise_now(ValueError()).send(None)  # finished by an exception
        assert unraisable == []
        t.await_one(_Back())  # dropped unstarted, with warnings turned into errors
    assert unraisable == [RuntimeWarning]


def test_inspect_reads_the_state_of_a_native_coroutine():
    seen = []

    class Probe:
        def __await__(self):
            seen.append(inspect.getcoroutinestate(c))
            yield "suspended"

    c = t.cleanup_probe(Probe(), [])
    assert inspect.getcoroutinestate(c) == inspect.CORO_CREATED
    assert not c.cr_running and not c.cr_suspended and c.cr_await is None and c.cr_origin is None
    assert c.send(None) == "suspended"
    assert seen == [inspect.CORO_RUNNING]
    assert inspect.getcoroutinestate(c) == inspect.CORO_SUSPENDED
    assert c.cr_suspended and c.cr_await is not None and c.cr_frame is not None
    assert inspect.getcoroutinelocals(c) == {}
    code = c.cr_code
    assert code.co_flags & inspect.CO_COROUTINE and code.co_name == code.co_qualname == "cleanup_probe"
    c.close()
    assert inspect.getcoroutinestate(c) == inspect.CORO_CLOSED
    assert c.cr_frame is None and not c.cr_suspended


async def test_a_task_running_a_native_coroutine_describes_itself():
    fut = asyncio.get_running_loop().create_future()
    task = asyncio.create_task(t.stubborn(fut, None, []))
    await asyncio.sleep(0)
    assert "coro=<stubborn() running at" in repr(task)
    assert task.get_stack()  # the frame inspect and asyncio walk
    fut.set_result(None)
    await task
    assert "coro=<stubborn() done" in repr(task)


# --- coroutine bridge: cycles through native frames ----------------------------------------


class _Back:
    """An awaitable that keeps the coroutine awaiting it."""

    def __await__(self):
        yield "suspended"


@pytest.mark.parametrize("started", [False, True], ids=["never-started", "suspended"])
def test_a_cycle_through_a_native_frame_is_collected(started):
    back = _Back()
    back.coroutine = c = t.await_one(back)  # the frame's parameter leads back to the coroutine
    if started:
        assert c.send(None) == "suspended"
    ref = weakref.ref(c)
    del c, back
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # never awaited
        gc.collect()
    assert ref() is None


class _Store:
    def get_secret(self, key):
        return "token"


def _collected(make):
    """make() builds an object, returns a weak reference to it and drops it; None when collected."""
    ref = make()
    gc.collect()
    return ref()


def test_an_auth_provider_keeping_its_own_unawaited_coroutine_is_collected():
    from quellon_runtime.auth.fixed_token import FixedTokenAuthProvider
    from quellon_runtime.secrets import SecretProvider

    class Store(_Store, SecretProvider):
        pass

    def make():
        p = FixedTokenAuthProvider(secret_provider=Store(), secret_key="k")
        p.pending = p.get_headers()
        return weakref.ref(p)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        assert _collected(make) is None


def test_a_redirect_catcher_keeping_its_own_waiting_task_is_collected(monkeypatch):
    from quellon_runtime.mcp_client.redirect_catcher import LoopbackRedirectCatcher

    monkeypatch.setattr(sys, "unraisablehook", lambda u: None)

    async def start():
        c = LoopbackRedirectCatcher()
        await c.start()
        c.task = asyncio.create_task(c.wait_for_callback(600))
        await asyncio.sleep(0)
        await c.close()
        return weakref.ref(c)

    # The loop that ran it is gone (its timers with it): only the cycle keeps the catcher alive.
    loop = asyncio.new_event_loop()
    try:
        ref = loop.run_until_complete(start())
    finally:
        loop.close()
    gc.collect()
    assert ref() is None


async def test_connectors_dropped_with_their_own_hung_tasks_are_collected(monkeypatch, caplog):
    from typing import Literal

    from pydantic import BaseModel

    from quellon_runtime.connector_base import ConnectorBase, ql_action

    monkeypatch.setattr(sys, "unraisablehook", lambda u: None)

    class HangIn(BaseModel):
        action: Literal["hang"]

    class Out(BaseModel):
        value: int = 0

    class Hung(ConnectorBase):
        connector_id = "hung"
        output_model = Out

        @ql_action("hang")
        async def hang(self, params: HangIn, *, trace_id: str) -> Out:
            await asyncio.get_running_loop().create_future()  # never resolved
            return Out()

    refs = []
    for _ in range(3):
        c = Hung()
        c.task = asyncio.create_task(c.run({"action": "hang"}))
        refs.append(weakref.ref(c))
        del c
    await asyncio.sleep(0)  # every run() is now suspended inside its action
    assert all(r() is not None for r in refs)
    with caplog.at_level(logging.CRITICAL, logger="asyncio"):  # "Task was destroyed but it is pending!"
        gc.collect()
    assert [r() for r in refs] == [None, None, None]


async def test_frames_stay_apart_when_more_are_alive_than_are_pooled():
    # More frames at once than the bridge keeps for reuse, of two sizes, finished out of order.
    loop = asyncio.get_running_loop()
    futs = [loop.create_future() for _ in range(150)]
    tasks = [asyncio.create_task(t.counted_await(f) if i % 2 else t.chain(f)) for i, f in enumerate(futs)]
    await asyncio.sleep(0)
    assert t.live_frames() == 75
    for i in [*range(1, 150, 2), *range(148, -1, -2)]:
        futs[i].set_result(i)
    assert await asyncio.gather(*tasks) == list(range(150))
    assert t.live_frames() == 0


# --- native functions --------------------------------------------------------------------------


def test_native_functions_introspect_like_python_functions():
    assert inspect.iscoroutinefunction(t.await_one)
    assert asyncio.iscoroutinefunction(t.await_one)
    assert not inspect.iscoroutinefunction(t.bind)
    assert str(inspect.signature(t.bind)) == "(a, b=1, *rest, c, d=2, **kw)"
    assert str(inspect.signature(t.strict)) == "(a, b=1, *, c, d=2)"
    assert t.bind.__name__ == t.bind.__qualname__ == "bind"
    assert t.bind.__module__ == "quellon_runtime._toolkit_selftest"
    assert t.bind.__defaults__ == (1,) and t.bind.__kwdefaults__ == {"d": 2}
    assert repr(t.bind).startswith("<function bind at ")

    class Square(t.Shape):
        def area(self):
            return 4

    method = Square().area_later
    assert inspect.ismethod(method)
    assert inspect.iscoroutinefunction(method)
    assert inspect.iscoroutinefunction(t.Shape.area_later)
    assert str(inspect.signature(method)) == "(*, scale=1)"
    assert str(inspect.signature(t.Shape.area_later)) == "(self, *, scale=1)"
    assert t.Shape.area_later.__qualname__ == "Shape.area_later"
    assert not inspect.iscoroutinefunction(Square.kind)


def test_native_functions_carry_attributes():
    t.strict.marker = "set by a decorator"
    try:
        assert t.strict.marker == "set by a decorator"
    finally:
        del t.strict.marker


def _py_strict(a, b=1, *, c, d=2):
    return (a, b, c, d)


def _py_bind(a, b=1, *rest, c, d=2, **kw):
    return (a, b, c, d, rest, kw)


@dataclasses.dataclass
class _PyPoint:
    x: int
    y: int = 0


BAD_CALLS = [
    ((), {}),
    ((1,), {}),
    ((1, 2, 3), {}),
    ((1, 2, 3), {"c": 1}),
    ((1, 2, 3, 4), {"c": 1, "d": 1}),
    ((1, 2, 3), {"z": 1}),
    ((1,), {"a": 1}),
    ((), {"c": 1}),
    ((1,), {"c": 1, "zz": 3}),
    ((1, 2, 3, 4, 5), {"b": 2}),
]


def _error_text(fn, args, kwargs, rename=("", "")):
    try:
        fn(*args, **kwargs)
    except TypeError as e:
        return str(e).replace(*rename)
    return None  # the call binds


@pytest.mark.parametrize("args,kwargs", BAD_CALLS)
def test_argument_binding_errors_read_as_pythons(args, kwargs):
    assert _error_text(t.strict, args, kwargs) == _error_text(_py_strict, args, kwargs, ("_py_", ""))
    assert _error_text(t.bind, args, kwargs) == _error_text(_py_bind, args, kwargs, ("_py_", ""))
    point_kwargs = {("x" if k == "a" else k): v for k, v in kwargs.items()}
    assert _error_text(t.Point, args, point_kwargs) == _error_text(_PyPoint, args, point_kwargs, ("_PyPoint", "Point"))


def test_binding_fills_defaults_and_collects_extras():
    assert t.strict(1, c=3) == (1, 1, 3, 2)
    assert t.bind(1, 2, 3, 4, c=5, z=6) == (1, 2, 5, 2, (3, 4), {"z": 6})
    assert t.bind(a=1, c=0) == (1, 1, 0, 2, (), {})


# --- class builder ---------------------------------------------------------------------------


def _abstract_message(name, method):
    """What this interpreter says when instantiating an abstract Python class (the wording varies)."""
    cls = abc.ABCMeta(name, (abc.ABC,), {method: abc.abstractmethod(lambda self: None)})
    try:
        cls()
    except TypeError as e:
        return str(e)
    raise AssertionError("an abstract class was instantiated")


async def test_class_builder_makes_real_python_classes():
    assert t.Shape.__module__ == "quellon_runtime._toolkit_selftest"
    assert t.Shape.__qualname__ == "Shape" and t.Shape.__doc__ == "An abstract shape."
    with pytest.raises(TypeError) as info:
        t.Shape()
    assert str(info.value) == _abstract_message("Shape", "area")

    class Half(t.Shape):
        pass

    with pytest.raises(TypeError) as info:
        Half()
    assert str(info.value) == _abstract_message("Half", "area")

    class Square(t.Shape, tag="sq"):
        def area(self):
            return 4

        @classmethod
        def kind(cls):
            return "square:" + super().kind()

        async def area_later(self, *, scale=1):
            return await super().area_later(scale=scale) + 1

    sq = Square()
    assert isinstance(sq, t.Shape) and issubclass(Square, t.Shape)
    assert Square.tag == "sq" and Half.tag is None  # __init_subclass__ written in C++
    assert Square.kind() == sq.kind() == "square:Square"
    assert t.Shape.unit() == sq.unit() == 1
    assert sq.twice == 8
    with pytest.raises(AttributeError):
        sq.twice = 1
    assert await sq.area_later(scale=3) == 13
    with pytest.raises(TypeError, match=r"Shape\.area_later\(\) takes 1 positional argument but 2 were given"):
        t.Shape.area_later(sq, 3)

    class Registered:
        def area(self):
            return 0

    t.Shape.register(Registered)
    assert isinstance(Registered(), t.Shape)


# --- records -------------------------------------------------------------------------------------


def test_records():
    p = t.Point(1)
    assert repr(p) == "Point(x=1, y=0)" and t.Point.__doc__ == "A point."
    assert p == t.Point(x=1, y=0) and p != t.Point(1, 2) and p != (1, 0)
    p.y = 5
    assert p == t.Point(1, 5)
    with pytest.raises(AttributeError):
        p.z = 1  # slots only
    with pytest.raises(TypeError, match="unhashable"):
        hash(p)
    match p:
        case t.Point(a, b):
            assert (a, b) == (1, 5)

    f = t.FrozenPoint(1, y=2)
    assert repr(f) == "FrozenPoint(x=1, y=2)"
    assert hash(f) == hash(t.FrozenPoint(1, 2)) and {f: "v"}[t.FrozenPoint(1, 2)] == "v"
    with pytest.raises(dataclasses.FrozenInstanceError, match="cannot assign to field 'x'"):
        f.x = 3
    with pytest.raises(dataclasses.FrozenInstanceError, match="cannot delete field 'y'"):
        del f.y
    assert f == t.FrozenPoint(1, 2)
    assert copy.copy(f) == f and pickle.loads(pickle.dumps(f)) == f
    assert t.Point(1, 0) != t.FrozenPoint(1, 0)


# --- logging -------------------------------------------------------------------------------------


def test_logging_extra_reaches_the_record_and_is_built_only_when_enabled(caplog):
    name = "runtime.toolkit_selftest"
    built = []

    def builder():
        built.append(1)
        return {"audit": True, "audit_event": "probe"}

    caplog.set_level(logging.INFO, logger=name)
    t.log_lazy(name, logging.DEBUG, "quiet %s", ("x",), builder)
    assert built == [] and caplog.records == []

    t.log_lazy(name, logging.WARNING, "loud %s %r", ("x", "y"), builder)
    t.log(name, logging.INFO, "plain", (), {"k": 1})
    assert built == [1]
    loud, plain = caplog.records
    assert (loud.name, loud.levelno, loud.getMessage()) == (name, logging.WARNING, "loud x 'y'")
    assert loud.audit is True and loud.audit_event == "probe"
    assert plain.getMessage() == "plain" and plain.k == 1


# --- environment ---------------------------------------------------------------------------------


@pytest.mark.parametrize("text", ["1", "true", "yes", "on", " TRUE ", "Yes", "\tOn\n", "oN"])
def test_truth_rule_true(text, monkeypatch):
    assert t.truthy(text)
    monkeypatch.setenv("QL_TOOLKIT_FLAG", text)
    assert t.env_flag("QL_TOOLKIT_FLAG")


@pytest.mark.parametrize("text", ["", "0", "false", "no", "off", "y", "t", "2", "enabled", "true1", "tr ue", " "])
def test_truth_rule_false(text, monkeypatch):
    assert not t.truthy(text)
    monkeypatch.setenv("QL_TOOLKIT_FLAG", text)
    assert not t.env_flag("QL_TOOLKIT_FLAG")


def test_env_flag_unset(monkeypatch):
    monkeypatch.delenv("QL_TOOLKIT_FLAG", raising=False)
    assert not t.env_flag("QL_TOOLKIT_FLAG")
