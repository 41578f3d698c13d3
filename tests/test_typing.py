"""The typed interface: stubs for every native module, checked by mypy and against the modules.

The stubs are read with ``ast`` and compared with the imported modules in both directions: every
name a stub declares exists at run time with the same kind (class with its bases and metaclass,
coroutine function or not, parameters and literal defaults, property, class method, literal
value, type of a module-level object), and every public name of a module, or of one of its
classes, is declared. Underscore names are compared where a stub declares them; stub-only typing
helpers (type variables) are not names of the module.
"""

from __future__ import annotations

import ast
import asyncio
import builtins
import importlib
import importlib.util
import inspect
import os
import subprocess
import sys
import typing
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest

ROOT = Path(__file__).resolve().parent.parent
PKG = ROOT / "src" / "quellon_runtime"
USAGE = ROOT / "tests" / "typing" / "usage.py"
MYPY_TARGETS = [
    ROOT / "examples" / "host.py",
    ROOT / "examples" / "quellon_acme" / "src" / "quellon_acme" / "logic.py",
    USAGE,
]
TYPING_HELPERS = {"TypeVar", "ParamSpec", "TypeVarTuple", "NewType"}
# Dunders compared with the run-time class; the others (__eq__, ...) concern only the type checker.
COMPARED_DUNDERS = {"__slots__", "__match_args__", "__init__", "__init_subclass__"}
# Members that only instances have (set by the constructor); usage.py reads them at run time.
INSTANCE_ATTRIBUTES = {
    "quellon_runtime.connector_base.ConnectorBase": {"config"},
    "quellon_runtime.connector_base.NestedConnectorActionError": {"response"},
}
NO_DEFAULT, UNKNOWN = object(), object()
Functions = (ast.FunctionDef, ast.AsyncFunctionDef)


def native_modules() -> list[str]:
    # a module's own source, not a further translation unit of one
    sources = sorted(p for p in PKG.rglob("*.cpp") if not p.name.startswith("_") and "QL_MODULE(" in p.read_text(encoding="utf-8"))
    return [".".join(("quellon_runtime",) + p.relative_to(PKG).with_suffix("").parts) for p in sources]


def stub_path(module: str) -> Path:
    return PKG.joinpath(*module.split(".")[1:]).with_suffix(".pyi")


def declared_names(node: ast.stmt) -> list[str]:
    if isinstance(node, (ast.ClassDef, *Functions)):
        return [node.name]
    if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
        return [node.target.id]
    if isinstance(node, ast.Assign):
        if isinstance(node.value, ast.Call) and getattr(node.value.func, "id", None) in TYPING_HELPERS:
            return []
        return [t.id for t in node.targets if isinstance(t, ast.Name)]
    return []


def members_of(body: list[ast.stmt]) -> dict[str, ast.stmt]:
    return {name: node for node in body for name in declared_names(node)}


def literal(expr: ast.expr | None) -> Any:
    """The value of a literal expression; UNKNOWN for ``...``, anything else, or nothing."""
    if expr is None or (isinstance(expr, ast.Constant) and expr.value is Ellipsis):
        return UNKNOWN
    try:
        return ast.literal_eval(expr)
    except ValueError:
        return UNKNOWN


class Stub:
    """One stub file: its top-level declarations and what its imported names stand for."""

    def __init__(self, module: str) -> None:
        self.runtime = importlib.import_module(module)
        tree = ast.parse(stub_path(module).read_text(encoding="utf-8"))
        self.names: dict[str, ast.stmt] = {}
        self.imports: dict[str, tuple[str, str | None]] = {}  # local name -> (module, attribute)
        for node in tree.body:
            if isinstance(node, ast.Import):
                for alias in node.names:
                    self.imports[alias.asname or alias.name.split(".")[0]] = (alias.name, None)
            elif isinstance(node, ast.ImportFrom):
                for alias in node.names:
                    self.imports[alias.asname or alias.name] = (node.module or "", alias.name)
                    if alias.asname == alias.name:  # "from m import x as x" re-exports x
                        self.names[alias.name] = node
            else:
                self.names.update(members_of([node]))

    def resolve(self, expr: ast.expr) -> Any:
        """The run-time object that a dotted name of the stub stands for."""
        if isinstance(expr, ast.Attribute):
            return getattr(self.resolve(expr.value), expr.attr)
        assert isinstance(expr, ast.Name), ast.dump(expr)
        if expr.id in self.imports:
            module, attr = self.imports[expr.id]
            target = importlib.import_module(module)
            return target if attr is None else getattr(target, attr)
        return getattr(self.runtime if hasattr(self.runtime, expr.id) else builtins, expr.id)


def stub_parameters(node: ast.FunctionDef | ast.AsyncFunctionDef) -> list[tuple[str, str, Any]]:
    a = node.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    out = []
    for arg, default in zip(positional, defaults):
        kind = "POSITIONAL_ONLY" if arg in a.posonlyargs else "POSITIONAL_OR_KEYWORD"
        out.append((arg.arg, kind, NO_DEFAULT if default is None else literal(default)))
    if a.vararg:
        out.append((a.vararg.arg, "VAR_POSITIONAL", NO_DEFAULT))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        out.append((arg.arg, "KEYWORD_ONLY", NO_DEFAULT if default is None else literal(default)))
    if a.kwarg:
        out.append((a.kwarg.arg, "VAR_KEYWORD", NO_DEFAULT))
    return out


def runtime_parameters(func: Any) -> list[tuple[str, str, Any]] | None:
    try:
        signature = inspect.signature(func)
    except (TypeError, ValueError):  # nanobind-bound methods carry no inspectable signature
        return None
    return [
        (p.name, p.kind.name, NO_DEFAULT if p.default is p.empty else p.default)
        for p in signature.parameters.values()
    ]


def check_function(where: str, node: ast.FunctionDef | ast.AsyncFunctionDef, obj: Any) -> list[str]:
    func = obj.__func__ if isinstance(obj, (classmethod, staticmethod)) else obj
    if not callable(func):
        return [f"{where}: a function in the stub, {type(obj).__name__} at run time"]
    problems = []
    is_async = isinstance(node, ast.AsyncFunctionDef)
    if is_async != inspect.iscoroutinefunction(func):
        problems.append(f"{where}: async in the stub is {is_async}, at run time {not is_async}")
    declared, actual = stub_parameters(node), runtime_parameters(func)
    if actual is None:
        return problems

    def shape(params: list[tuple[str, str, Any]]) -> list[tuple[str, str, bool]]:
        return [(name, kind, default is not NO_DEFAULT) for name, kind, default in params]

    if shape(declared) != shape(actual):
        problems.append(f"{where}: parameters {shape(declared)} in the stub, {shape(actual)} at run time")
        return problems
    for (name, _, stub_default), (_, _, real) in zip(declared, actual):
        if stub_default in (NO_DEFAULT, UNKNOWN):
            continue
        if stub_default != real or type(stub_default) is not type(real):
            problems.append(f"{where}: default of {name} is {stub_default!r} in the stub, {real!r} at run time")
    return problems


def check_member(where: str, node: ast.stmt, cls: type) -> list[str]:
    value = inspect.getattr_static(cls, where.rsplit(".", 1)[1])
    if isinstance(node, Functions):
        decorators = {ast.unparse(d).split("(")[0].split(".")[-1] for d in node.decorator_list}
        if "property" in decorators:
            if not inspect.isdatadescriptor(value):
                return [f"{where}: a property in the stub, {type(value).__name__} at run time"]
            return []
        if "classmethod" in decorators and not isinstance(value, classmethod):
            return [f"{where}: a class method in the stub, {type(value).__name__} at run time"]
        return check_function(where, node, value)
    expected = literal(getattr(node, "value", None))
    actual = getattr(cls, where.rsplit(".", 1)[1])
    if expected is not UNKNOWN and expected != actual:
        return [f"{where}: {expected!r} in the stub, {actual!r} at run time"]
    return []


def check_class(where: str, node: ast.ClassDef, cls: Any, stub: Stub) -> list[str]:
    if not isinstance(cls, type):
        return [f"{where}: a class in the stub, {type(cls).__name__} at run time"]
    problems = []
    if f"{cls.__module__}.{cls.__qualname__}" != where:
        problems.append(f"{where}: the run-time class is {cls.__module__}.{cls.__qualname__}")
    for base in node.bases:
        if stub.resolve(base) not in cls.__mro__:
            problems.append(f"{where}: stub base {ast.unparse(base)} is not a run-time base")
    for keyword in node.keywords:
        if keyword.arg == "metaclass" and not isinstance(cls, stub.resolve(keyword.value)):
            problems.append(f"{where}: metaclass {ast.unparse(keyword.value)} in the stub, "
                            f"{type(cls).__name__} at run time")

    members = members_of(node.body)
    annotated = {name for klass in cls.__mro__ for name in vars(klass).get("__annotations__", {})}
    for name, item in members.items():
        if name.startswith("__") and name not in COMPARED_DUNDERS:
            continue
        if any(name in vars(klass) for klass in cls.__mro__):
            problems += check_member(f"{where}.{name}", item, cls)
        elif not (isinstance(item, ast.AnnAssign) and item.value is None
                  and (name in annotated or name in INSTANCE_ATTRIBUTES.get(where, ()))):
            problems.append(f"{where}.{name}: missing at run time")
    # "__hash__: ClassVar[None]" declares the class unhashable, "def __hash__" hashable.
    if "__hash__" in members and isinstance(members["__hash__"], ast.AnnAssign) != (cls.__hash__ is None):
        problems.append(f"{where}: hashable at run time is {cls.__hash__ is not None}, not as in the stub")

    for name in vars(cls):
        # A public override of a base member is typed by the base's declaration.
        if not name.startswith("_") and name not in members and not hasattr(cls.__mro__[1], name):
            problems.append(f"{where}.{name}: public at run time, missing from the stub")
    return problems


def check_object(where: str, annotation: ast.expr, obj: Any, stub: Stub) -> list[str]:
    """A module-level object is an instance of its annotated type (the outer type, for generics)."""
    accepted: list[type] = []
    pending = [annotation]
    while pending:
        ann = pending.pop()
        if isinstance(ann, ast.BinOp) and isinstance(ann.op, ast.BitOr):
            pending += [ann.left, ann.right]
        elif isinstance(ann, ast.Constant) and ann.value is None:
            accepted.append(type(None))
        else:
            target = stub.resolve(ann.value if isinstance(ann, ast.Subscript) else ann)
            if not isinstance(target, type):
                return []  # a factory standing for a type (threading.Lock on 3.11)
            accepted.append(target)
    if not isinstance(obj, tuple(accepted)):
        return [f"{where}: annotated {ast.unparse(annotation)}, a {type(obj).__name__} at run time"]
    return []


def compare(module: str) -> list[str]:
    stub = Stub(module)
    runtime = stub.runtime
    problems = []
    for name, node in sorted(stub.names.items()):
        where = f"{module}.{name}"
        if name == "__all__":
            expected = literal(getattr(node, "value", None))
            if expected is UNKNOWN or sorted(expected) != sorted(getattr(runtime, "__all__", ())):
                problems.append(f"{where}: {expected!r} in the stub, {getattr(runtime, '__all__', None)!r} at run time")
            continue
        if name.startswith("__"):
            continue
        if not hasattr(runtime, name):
            problems.append(f"{where}: missing at run time")
            continue
        obj = getattr(runtime, name)
        if isinstance(node, ast.ClassDef):
            problems += check_class(where, node, obj, stub)
        elif isinstance(node, Functions):
            problems += check_function(where, node, obj)
        elif isinstance(node, ast.ImportFrom):
            if obj is not stub.resolve(ast.Name(id=name)):
                problems.append(f"{where}: not the object that the stub re-exports")
        else:
            expected = literal(getattr(node, "value", None))
            if expected is not UNKNOWN and obj != expected:
                problems.append(f"{where}: {expected!r} in the stub, {obj!r} at run time")
            elif expected is UNKNOWN and isinstance(node, ast.AnnAssign):
                problems += check_object(where, node.annotation, obj, stub)
    if hasattr(runtime, "__all__") and "__all__" not in stub.names:
        problems.append(f"{module}.__all__: defined at run time, missing from the stub")
    for name, obj in vars(runtime).items():
        if not name.startswith("_") and name not in stub.names and not is_annotation_import(stub, name, obj):
            problems.append(f"{module}.{name}: public at run time, missing from the stub")
    return problems


def is_annotation_import(stub: Stub, name: str, obj: Any) -> bool:
    """A name the module binds for its annotations, as a Python module's imports would bind it:
    one the stub imports (the same object), or a typing alias."""
    if name in stub.imports:
        try:
            return obj is stub.resolve(ast.Name(id=name))
        except (ImportError, AttributeError):
            return False
    return obj is getattr(typing, name, object())


def test_every_native_module_has_a_stub_and_the_package_is_marked_typed():
    modules = native_modules()
    assert len(modules) == 15
    assert [m for m in modules if not stub_path(m).is_file()] == []
    assert (PKG / "py.typed").is_file()


@pytest.mark.parametrize("module", native_modules())
def test_stub_matches_module(module):
    assert compare(module) == []


def test_the_comparison_notices_drift(monkeypatch):
    # A checker that cannot fail proves nothing: a new name, a lost one and a changed method show up.
    from quellon_runtime import throttle
    from quellon_runtime.mcp_client import redirect_catcher as rc

    monkeypatch.setattr(throttle, "new_public_helper", lambda: None, raising=False)
    monkeypatch.delattr(throttle, "identity_throttle_key")
    problems = compare("quellon_runtime.throttle")
    assert "quellon_runtime.throttle.new_public_helper: public at run time, missing from the stub" in problems
    assert "quellon_runtime.throttle.identity_throttle_key: missing at run time" in problems

    def wait_for_callback(self, timeout=30.0):  # synchronous, another default
        raise AssertionError

    monkeypatch.setattr(rc.LoopbackRedirectCatcher, "wait_for_callback", wait_for_callback)
    where = "quellon_runtime.mcp_client.redirect_catcher.LoopbackRedirectCatcher.wait_for_callback"
    assert compare("quellon_runtime.mcp_client.redirect_catcher") == [
        f"{where}: async in the stub is True, at run time False",
        f"{where}: default of timeout is 300.0 in the stub, 30.0 at run time",
    ]


async def test_typed_usage_runs(monkeypatch):
    # The typed usage file is real code: the calls that mypy accepts there also work.
    mod_spec = importlib.util.spec_from_file_location("quellon_typed_usage", USAGE)
    assert mod_spec is not None and mod_spec.loader is not None
    usage = importlib.util.module_from_spec(mod_spec)
    monkeypatch.setitem(sys.modules, mod_spec.name, usage)  # pydantic resolves annotations through it
    mod_spec.loader.exec_module(usage)
    await asyncio.wait_for(usage.main(), 120)


def test_mypy_strict_on_examples_usage_and_stubs():
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=str(ROOT / "src"))
    # Modules reached only through imports (the plain Python siblings) are checked as a user of
    # the installed package sees them: their own errors are not reported.
    files = [*MYPY_TARGETS, *sorted(PKG.rglob("*.pyi"))]
    cmd = [sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent", "--no-error-summary",
           "--cache-dir", str(ROOT / ".mypy_cache"), *map(str, files)]
    result = subprocess.run(cmd, cwd=ROOT, env=env, capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, result.stdout + result.stderr
