"""The native modules under the stdlib's ordinary tools, used as a host author would use them:
inspect, typing, pickle, copy, dataclasses, unittest.mock, importlib, warnings, gc and logging."""

from __future__ import annotations

import ast
import asyncio
import copy
import dataclasses
import gc
import importlib
import inspect
import logging
import multiprocessing
import os
import pickle
import re
import subprocess
import sys
import typing
import warnings
import weakref
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any, Literal
from unittest import mock

import pytest
from pydantic import BaseModel

from quellon_runtime import connector_base, throttle
from quellon_runtime.auth import NullAuthProvider
from quellon_runtime.auth.fixed_token import FixedTokenAuthProvider
from quellon_runtime.caller_profile import CallerProfile
from quellon_runtime.config_store import ConnectorConfigStore
from quellon_runtime.connector_base import ConnectorBase, NestedConnectorActionError, QlActionMeta, ql_action
from quellon_runtime.mcp_client.challenges import WwwAuthenticateChallenge
from quellon_runtime.mcp_client.redirect_catcher import (
    AuthorizationCallback,
    LoopbackRedirectBinding,
    LoopbackRedirectCatcher,
)
from quellon_runtime.models import ConnectorResponse
from quellon_runtime.policies.mcp_scope_gate import ScopePolicyHook
from quellon_runtime.policy import PolicyContext, TenantConfigHook
from quellon_runtime.sdk_action_spec import SdkActionSpec
from quellon_runtime.secrets.base import SecretProvider
from quellon_runtime.secrets.chained import ChainedSecretProvider
from quellon_runtime.throttle import InMemoryThrottler, ThrottleResult, TokenBucket

ROOT = Path(__file__).resolve().parent.parent
PKG = ROOT / "src" / "quellon_runtime"
# One module per ql_add_module line of the build; the sources named after its path are not modules.
MODULES = sorted(
    "quellon_runtime." + p.replace("/", ".")
    for p in re.findall(r"^\s*ql_add_module\(([\w/]+)", (ROOT / "CMakeLists.txt").read_text(), re.M)
    if not p.split("/")[-1].startswith("_")
)


class Lookup(BaseModel):
    action: Literal["items.get"] = "items.get"
    item_id: str = "i1"


class Item(BaseModel):
    name: str = ""


class Shop(ConnectorBase):
    connector_id = "interop-test.shop"
    output_model = Item

    @ql_action("items.get")
    async def get(self, params: Lookup, *, trace_id: str) -> Item:
        return Item(name=params.item_id)


class Vault(SecretProvider):
    def get_secret(self, key: str) -> str:
        return "s"


class Plain(BaseModel):
    action: Literal["plain.get"] = "plain.get"


class Specced(ConnectorBase):
    connector_id = "interop-test.specced"
    output_model = Item
    action_specs = {"plain.get": SdkActionSpec(input_model=Plain, output_model=Item)}


# ------------------------------------------------------------------ the stubs, read with ast


def stub_entries(module: str) -> list[tuple[str, ast.AST]]:
    """(dotted path, node) of every public class and callable of a module's stub."""
    tree = ast.parse(PKG.joinpath(*module.split(".")[1:]).with_suffix(".pyi").read_text(encoding="utf-8"))
    out: list[tuple[str, ast.AST]] = []

    def walk(body: list[ast.stmt], prefix: str) -> None:
        for node in body:
            if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
                out.append((prefix + node.name, node))
                walk(node.body, prefix + node.name + ".")
            elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                public = not node.name.startswith("_") or node.name == "__init__"
                decorators = {ast.unparse(d) for d in node.decorator_list}
                if public and "property" not in decorators and not any(d.endswith(".setter") for d in decorators):
                    out.append((prefix + node.name, node))

    walk(tree.body, "")
    return out


def runtime_object(module: str, path: str) -> Any:
    obj: Any = importlib.import_module(module)
    for part in path.split("."):
        obj = inspect.getattr_static(obj, part) if isinstance(obj, type) else getattr(obj, part)
    return obj.__func__ if isinstance(obj, (classmethod, staticmethod)) else obj


def entry_params(kind: str) -> list[Any]:
    params = []
    for module in MODULES:
        for path, node in stub_entries(module):
            if kind == "doc" and not ast.get_docstring(node):
                continue
            marks = []
            params.append(pytest.param(module, path, node, id=f"{module.rsplit('.', 1)[1]}.{path}", marks=marks))
    return params


# ------------------------------------------------------------------ errors during import


@pytest.mark.parametrize(
    "variable, value",
    [("QL_THROTTLE_BURST", "abc"), ("QL_THROTTLE_REFILL_RATE", "fast")],
)
def test_a_bad_setting_fails_the_import_with_its_own_value_error(variable, value):
    code = (
        "try:\n"
        "    import quellon_runtime.throttle\n"
        "except ValueError as e:\n"
        "    print(type(e).__name__, e, e.__cause__ is None, sep='|')\n"
    )
    env = dict(os.environ, **{variable: value}, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"ValueError|could not convert string to float: '{value}'|True"


# ------------------------------------------------------------------ docstrings, signatures, hints


@pytest.mark.parametrize("module", MODULES)
def test_every_module_has_its_docstring(module):
    tree = ast.parse(PKG.joinpath(*module.split(".")[1:]).with_suffix(".pyi").read_text(encoding="utf-8"))
    doc = importlib.import_module(module).__doc__
    assert doc and doc == ast.get_docstring(tree)


@pytest.mark.parametrize("module, path, node", entry_params("doc"))
def test_docstrings_are_the_stubs(module, path, node):
    assert inspect.getdoc(runtime_object(module, path)) == ast.get_docstring(node)


@pytest.mark.parametrize("module, path, node", entry_params("callable"))
def test_signatures_and_hints_resolve(module, path, node):
    obj = runtime_object(module, path)
    hints = typing.get_type_hints(obj)
    if isinstance(obj, type) and issubclass(obj, BaseException):
        return  # as for a Python exception class, the signature is the builtin base's
    signature = inspect.signature(obj, eval_str=True)
    assert not any(isinstance(p.annotation, str) for p in signature.parameters.values())
    if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
        declared = {a.arg for a in [*node.args.posonlyargs, *node.args.args, *node.args.kwonlyargs] if a.annotation}
        assert declared <= set(hints)
        if node.returns is not None:
            assert "return" in hints


def test_hints_of_user_connectors_and_of_the_base():
    hints = typing.get_type_hints(Shop)
    assert hints["error_map"] == typing.ClassVar[dict[type[BaseException], tuple[Any, str]]] or "error_map" in hints
    assert typing.get_type_hints(ConnectorBase)["connector_id"] is str
    assert typing.get_type_hints(Shop.get) == {"params": Lookup, "trace_id": str, "return": Item}


@pytest.mark.parametrize(
    "func, expected",
    [
        (ConnectorBase.run, {"raw_input": dict[str, Any], "principal": str | None, "tenant_id": str | None,
                             "scopes": tuple[str, ...] | None, "return": ConnectorResponse}),
        (throttle.identity_throttle_key, {"principal": str | None, "fallback": str, "return": str}),
        (throttle.fingerprint_throttle_credential, {"token": str, "salt": bytes, "return": str}),
        (throttle.per_identity_throttle_config, {"return": tuple[int, int, int, int]}),
        (ThrottleResult.__init__, {"allowed": bool, "retry_after_seconds": int, "return": type(None)}),
        (LoopbackRedirectBinding.__init__, {"redirect_uri": str, "host": str, "port": int, "path": str,
                                            "return": type(None)}),
    ],
    ids=["run", "identity_throttle_key", "fingerprint", "config", "ThrottleResult", "LoopbackRedirectBinding"],
)
def test_annotations_are_the_stubs(func, expected):
    assert typing.get_type_hints(func) == expected
    signature = inspect.signature(func, eval_str=True)
    assert {k: v for k, v in expected.items() if k != "return"} == {
        name: p.annotation for name, p in signature.parameters.items() if p.annotation is not p.empty}


def test_help_text_of_run():
    text = subprocess.run(
        [sys.executable, "-c", "import pydoc, quellon_runtime.connector_base as c; print(pydoc.plain(pydoc.render_doc(c.ConnectorBase.run)))"],
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), capture_output=True, text=True, timeout=120,
    ).stdout
    assert "Validate raw_input" in text and "raw_input: 'dict[str, Any]'" in text


# ------------------------------------------------------------------ pickle and copy


def _call(fn, *args, **kwargs):
    return fn(*args, **kwargs)


@pytest.mark.parametrize(
    "obj",
    [throttle.fingerprint_throttle_credential, throttle.identity_throttle_key, connector_base.get_connector_index,
     ConnectorBase.run, ConnectorBase.get_client, ConnectorBase.__init__, ThrottleResult.__init__,
     Specced.plain_get],
    ids=["fingerprint", "identity_key", "get_connector_index", "run", "get_client", "init", "record_init",
         "generated_method"],
)
def test_native_functions_pickle_and_copy_by_reference(obj):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(obj, protocol)) is obj
    assert copy.copy(obj) is obj and copy.deepcopy(obj) is obj


def test_a_slow_native_call_runs_in_a_process_pool():
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        remote = pool.submit(throttle.fingerprint_throttle_credential, "tok", salt=b"s").result(timeout=120)
    assert remote == throttle.fingerprint_throttle_credential("tok", salt=b"s")


def test_a_bound_native_method_pickles_with_its_instance():
    meta = QlActionMeta("a.b", "ab", Lookup, Item)
    restored = pickle.loads(pickle.dumps(meta.__repr__))
    assert restored() == repr(meta)


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda e: pickle.loads(pickle.dumps(e))],
                         ids=["copy", "deepcopy", "pickle"])
def test_nested_action_error_survives_copy_and_pickle(clone):
    response = ConnectorResponse(success=False, message="inner failed", error_code="E1")
    err = clone(NestedConnectorActionError(response))
    assert str(err) == "inner failed" and err.response == response


# ------------------------------------------------------------------ records are dataclasses


RECORDS = [
    ThrottleResult(False, 3),
    CallerProfile("p", "t", ("read",), {"sub": "p"}, "jwt"),
    LoopbackRedirectBinding("http://127.0.0.1:5/cb", "127.0.0.1", 5, "/cb"),
    AuthorizationCallback("code", "state", None, None),
    WwwAuthenticateChallenge("Bearer", "invalid_token", None, None, None, "Bearer error=invalid_token"),
    PolicyContext("c", "a.b", {"x": 1}, principal="p"),
    QlActionMeta("a.b", "ab", Lookup, Item),
]


@pytest.mark.parametrize("record", RECORDS, ids=lambda r: type(r).__name__)
def test_records_work_with_dataclasses(record):
    cls = type(record)
    assert dataclasses.is_dataclass(record) and dataclasses.is_dataclass(cls)
    names = [f.name for f in dataclasses.fields(record)]
    assert tuple(names) == cls.__match_args__
    assert all(isinstance(f, dataclasses.Field) for f in dataclasses.fields(cls))
    hints = typing.get_type_hints(cls)
    assert {f.name: f.type for f in dataclasses.fields(cls)} == {n: cls.__annotations__[n] for n in names}
    assert set(names) <= set(hints)
    values = {n: getattr(record, n) for n in names}
    assert dataclasses.asdict(record) == copy.deepcopy(values)
    assert dataclasses.astuple(record) == tuple(copy.deepcopy(values).values())
    changed = dataclasses.replace(record, **{names[0]: values[names[0]]})
    assert changed == record and changed is not record
    first = names[0]
    other = dataclasses.replace(record, **{first: "other" if isinstance(values[first], str) else not values[first]})
    assert getattr(other, first) != values[first] and getattr(record, first) == values[first]


FROZEN = (ThrottleResult, CallerProfile, LoopbackRedirectBinding, AuthorizationCallback, WwwAuthenticateChallenge)


@pytest.mark.parametrize("record", RECORDS, ids=lambda r: type(r).__name__)
def test_record_parameters_and_defaults(record):
    cls = type(record)
    frozen = isinstance(record, FROZEN)
    assert cls.__dataclass_params__.frozen is frozen and cls.__dataclass_params__.eq is True
    init = inspect.signature(cls)
    for field in dataclasses.fields(cls):
        param = init.parameters[field.name]
        assert (field.default is dataclasses.MISSING) == (param.default is param.empty)
        if param.default is not param.empty:
            assert field.default == param.default
    if frozen:
        with pytest.raises(dataclasses.FrozenInstanceError):
            setattr(record, dataclasses.fields(record)[0].name, None)


# ------------------------------------------------------------------ log records name their origin


async def test_log_records_name_the_native_function(caplog):
    caplog.set_level(logging.DEBUG, logger="runtime.connector_base")
    response = await Shop().run({"action": "items.get"})
    assert response.success
    records = [r for r in caplog.records if r.name == "runtime.connector_base"]
    by_message = {r.getMessage().split(" |")[0]: r for r in records}
    for message in ("Starting connector execution", "Dispatching action", "Connector execution completed successfully"):
        record = by_message[message]
        assert record.module == "connector_base" and re.fullmatch(r"connector_base(_\w+)?\.cpp", record.filename)
        assert record.pathname.replace("\\", "/").endswith("quellon_runtime/" + record.filename)
        assert record.funcName not in ("_run", "run_until_complete", "<module>") and record.funcName.isidentifier()
        assert record.lineno > 0
    fmt = logging.Formatter("%(module)s:%(funcName)s:%(lineno)d %(message)s")
    assert fmt.format(by_message["Dispatching action"]).startswith("connector_base:")


async def test_log_records_come_from_the_current_record_factory(caplog, monkeypatch):
    made = []
    stock = logging.getLogRecordFactory()
    monkeypatch.setattr(logging, "_logRecordFactory", lambda *a: made.append(a[1:]) or stock(*a))
    caplog.set_level(logging.DEBUG, logger="runtime.connector_base")
    assert (await Shop().run({"action": "items.get"})).success
    records = [r for r in caplog.records if r.name == "runtime.connector_base"]
    assert records and made == [(r.levelno, r.pathname, r.lineno, r.msg, r.args, None, r.funcName, None) for r in records]


def test_log_origin_of_a_synchronous_call_and_filters(caplog, monkeypatch):
    # the record passes through the logger's filters, and extra keys arrive unchanged
    monkeypatch.setenv("QL_MCP_ACTION_SCOPE_MAP_JSON", "")
    seen = []
    logger = logging.getLogger("runtime.policy.scope")
    filt = lambda r: seen.append(r) or True  # noqa: E731
    logger.addFilter(filt)
    try:
        caplog.set_level(logging.INFO, logger=logger.name)
        hook = ScopePolicyHook({"c.a.b": "read"})
        hook.check(PolicyContext("c", "a.b", {}, principal="p", scopes=("read",)))
    finally:
        logger.removeFilter(filt)
    assert seen and all(r.module == "mcp_scope_gate" and r.filename == "mcp_scope_gate.cpp" for r in seen)
    assert [r for r in caplog.records if r.name == logger.name] == seen


# ------------------------------------------------------------------ classes as Python classes


def _instances() -> list[Any]:
    return [
        pytest.param(lambda: Shop(), "get_client", id="user connector"),
        pytest.param(lambda: NullAuthProvider(), "get_headers", id="NullAuthProvider"),
        pytest.param(lambda: FixedTokenAuthProvider(secret_provider=ChainedSecretProvider(Vault()), secret_key="k"),
                     "refresh", id="FixedTokenAuthProvider"),
        pytest.param(lambda: ChainedSecretProvider(Vault()), "get_secret", id="ChainedSecretProvider"),
        pytest.param(lambda: ScopePolicyHook({}), "check", id="ScopePolicyHook"),
        pytest.param(lambda: TenantConfigHook(ConnectorConfigStore()), "check", id="TenantConfigHook"),
        pytest.param(lambda: LoopbackRedirectCatcher(), "close", id="LoopbackRedirectCatcher"),
        pytest.param(lambda: NestedConnectorActionError(ConnectorResponse(success=False)), "with_traceback",
                     id="NestedConnectorActionError"),
        pytest.param(lambda: InMemoryThrottler(max_requests=1, window_seconds=1), "consume", id="InMemoryThrottler"),
        pytest.param(lambda: TokenBucket(1, 1), "acquire", id="TokenBucket"),
    ]


@pytest.mark.parametrize("make, method", _instances())
def test_instances_are_python_objects(make, method, monkeypatch):
    obj = make()
    ref = weakref.ref(obj)
    assert ref() is obj
    obj.note = "host data"
    assert vars(obj)["note"] == "host data"
    with mock.patch.object(obj, method, new=mock.Mock(return_value="patched")) as fake:
        assert getattr(obj, method)() == "patched"
    assert fake.called and method not in vars(obj)
    monkeypatch.setattr(obj, method, lambda *a: "monkeypatched")
    assert getattr(obj, method)() == "monkeypatched"
    monkeypatch.undo()
    del obj
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize(
    "func, good, bad",
    [
        (throttle.identity_throttle_key, ("p",), {"fallback": 1, "extra": 2}),
        (throttle.fingerprint_throttle_credential, ("t",), {"pepper": b""}),
        (connector_base.get_connector_index, (), {"x": 1}),
    ],
    ids=["identity_throttle_key", "fingerprint_throttle_credential", "get_connector_index"],
)
def test_autospec_checks_calls_of_native_functions(func, good, bad):
    fake = mock.create_autospec(func, return_value="faked")
    kwargs = {"fallback": "f"} if func is throttle.identity_throttle_key else {"salt": b"s"} if good else {}
    assert fake(*good, **kwargs) == "faked"
    fake.assert_called_once_with(*good, **kwargs)
    with pytest.raises(TypeError):
        fake(*good, **bad)


@pytest.mark.parametrize(
    "cls, method, args",
    [
        (ScopePolicyHook, "check", (PolicyContext("c", "a", {}),)),
        (LoopbackRedirectCatcher, "wait_for_callback", (1.0,)),
        (ConnectorBase, "call_action", ("a.b", {})),
        (InMemoryThrottler, "consume", ("k",)),
    ],
    ids=["ScopePolicyHook", "LoopbackRedirectCatcher", "ConnectorBase", "InMemoryThrottler"],
)
def test_autospec_of_a_class_accepts_its_calls(cls, method, args):
    auto = mock.create_autospec(cls, instance=True)
    result = getattr(auto, method)(*args)
    if inspect.iscoroutine(result):
        result.close()
    getattr(auto, method).assert_called_once_with(*args)


def test_throttle_module_imports_again_cleanly():
    # in a fresh interpreter: a second module object must not disturb this process's limiter
    code = (
        "import importlib, os, sys\n"
        "import quellon_runtime.throttle as first\n"
        "del sys.modules['quellon_runtime.throttle']\n"
        "os.environ['QL_THROTTLE_BURST'] = '7'\n"
        "again = importlib.import_module('quellon_runtime.throttle')\n"
        "assert again is not first and again.burst == 7.0\n"
        "assert again.InMemoryThrottler(max_requests=1, window_seconds=1).consume('k').allowed\n"
        "assert importlib.reload(again).TokenBucket(1, 1).capacity == 1\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr


async def test_get_auth_headers_honours_an_overridden_resolver():
    class Custom(NullAuthProvider):
        async def get_headers(self):
            return {"X": "1"}

    class Routed(Shop):
        def resolve_auth_provider(self, auth_scheme=None):
            return Custom()

    assert await Routed().get_auth_headers() == {"X": "1"}


# ------------------------------------------------------------------ native coroutines


def test_a_native_coroutine_never_awaited_warns():
    bucket = throttle.global_throttler
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        bucket.acquire()
        gc.collect()
    assert any(issubclass(w.category, RuntimeWarning) and "was never awaited" in str(w.message)
               and "TokenBucket.acquire" in str(w.message) for w in caught)


async def test_native_coroutines_carry_the_attributes_inspect_reads():
    coro = Shop().run({"action": "items.get"})
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
    assert coro.cr_running is False and coro.cr_await is None
    await coro
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED


def test_native_coroutine_functions_are_recognised():
    assert inspect.iscoroutinefunction(ConnectorBase.run)
    assert inspect.iscoroutinefunction(TokenBucket.acquire)
    assert asyncio.iscoroutinefunction(LoopbackRedirectCatcher.start)
