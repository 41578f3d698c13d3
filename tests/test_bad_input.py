"""Hostile arguments for every callable of every native module.

Each public function, constructor, method, class method, static method and property getter of each
native module is called with wrong types, None, 10 MB strings and objects whose __str__, __eq__,
__hash__, __bool__ (and more) raise, one argument at a time, all at once and in seeded random mixes.
Every call must end in a Python exception or a result (awaited, with a timeout, when it is
awaitable), never in a crash. Each module's batch runs in its own child process, so a crash fails
that module only and the failure names the call that was running. A SystemError, which means a C
API contract was broken, also fails the batch.

The child runs this file as a script: ``python tests/test_bad_input.py <module> <progress-file>``.
"""

import ast
import asyncio
import collections.abc
import concurrent.futures
import faulthandler
import functools
import gc
import importlib
import importlib.machinery
import importlib.util
import inspect
import json
import logging
import math
import os
import random
import signal
import socket
import subprocess
import sys
import types
import warnings

SEED = 20240607
AWAIT_TIMEOUT = 0.05      # seconds an awaitable result may take before it is cancelled
TARGET_HANG_LIMIT = 300   # seconds one callable's calls may take before the child reports a hang
RANDOM_CALLS = 12         # seeded random argument mixes per callable
PACKAGE = "quellon_runtime"
# Dunder methods that are part of a class's behaviour rather than Python plumbing.
DUNDERS = {"__init__", "__call__", "__eq__", "__ne__", "__hash__", "__repr__", "__str__", "__reduce__",
           "__setattr__", "__delattr__", "__getitem__", "__contains__", "__len__", "__iter__", "__bool__",
           "__enter__", "__exit__", "__aenter__", "__aexit__", "__await__"}


def native_modules() -> list[str]:
    """Dotted names of the package's extension modules, private ones (leading underscore) excluded."""
    pkg_spec = importlib.util.find_spec(PACKAGE)
    root = pkg_spec.submodule_search_locations[0]
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if not d.startswith(("_", ".")))
        for f in filenames:
            if f.endswith(suffixes) and not f.startswith("_"):
                rel = os.path.relpath(os.path.join(dirpath, f.split(".")[0]), root)
                found.append(PACKAGE + "." + rel.replace(os.sep, "."))
    return sorted(found)


# ---------------------------------------------------------------------------- the hostile values


class Boom(RuntimeError):
    pass


def _boom(self, *args, **kwargs):
    raise Boom("hostile object")


class Evil:
    """Every protocol method raises."""
    __str__ = __repr__ = __format__ = __bytes__ = _boom
    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __hash__ = _boom
    __bool__ = __len__ = __iter__ = __next__ = __contains__ = __getitem__ = __setitem__ = _boom
    __index__ = __int__ = __float__ = __fspath__ = __call__ = __await__ = __enter__ = __exit__ = _boom

    def __getattr__(self, name):
        raise Boom(f"hostile attribute {name}")


class Liar:
    """Protocol methods return objects of the wrong kind."""
    def __bool__(self):
        return "yes"

    def __len__(self):
        return -1

    def __hash__(self):
        return 2 ** 200

    def __eq__(self, other):
        return Evil()

    def __index__(self):
        return 1.5

    def __str__(self):
        return b"not text"

    __repr__ = __str__

    def __iter__(self):
        return 5

    def __await__(self):
        return 5


class EvilStr(str):
    __eq__ = __ne__ = __hash__ = __str__ = __repr__ = __len__ = __iter__ = __getitem__ = _boom
    __contains__ = __format__ = __bool__ = _boom


class EvilDict(dict):
    __getitem__ = __iter__ = __len__ = __contains__ = keys = items = values = get = _boom
    __eq__ = __hash__ = __repr__ = __bool__ = copy = _boom


class EvilMapping(collections.abc.Mapping):
    __getitem__ = __iter__ = __len__ = _boom


class EvilInt(int):
    __eq__ = __hash__ = __index__ = __int__ = __float__ = __str__ = __repr__ = __bool__ = _boom


class EvilFloat(float):
    __eq__ = __hash__ = __float__ = __str__ = __repr__ = __bool__ = _boom


class StrSub(str):
    pass


class DictSub(dict):
    pass


class EvilException(Exception):
    __str__ = __repr__ = _boom


def _recursive_list():
    lst = [1]
    lst.append(lst)
    return lst


def _recursive_dict():
    d = {"a": "b"}
    d["self"] = d
    d["list"] = [d]
    return d


def _deep(depth, make):
    v = "leaf"
    for _ in range(depth):
        v = make(v)
    return v


async def _async_fn(*args, **kwargs):
    return None


def _coroutine():
    return _async_fn()


# The big ones are built once, on first use, and shared between calls (building them per call
# would dominate the run time).
def _once(make):
    return functools.cache(make)


HUGE = _once(lambda: "A" * (10 * 1024 * 1024))
HUGE_WIDE = _once(lambda: "\U0001F600" * (2 * 1024 * 1024))
HUGE_STRUCTURED = _once(lambda: "Bearer " + 'error="x", scope=' * (10 * 1024 * 1024 // 17))
DEEP_DICT = _once(lambda: _deep(100_000, lambda v: {"a": v}))
DEEP_LIST = _once(lambda: _deep(100_000, lambda v: [v]))
BIG_LIST = _once(lambda: ["x"] * 100_000)
BIG_DICT = _once(lambda: {f"k{i}": f"v{i}" for i in range(100_000)})

# name -> factory; a fresh value per call, since a callee may keep or change what it is given
BAD = [
    ("None", lambda: None),
    ("True", lambda: True),
    ("0", lambda: 0),
    ("-1", lambda: -1),
    ("2**64", lambda: 2 ** 64),
    ("2**20000", lambda: 1 << 20000),
    ("1.5", lambda: 1.5),
    ("nan", lambda: math.nan),
    ("inf", lambda: math.inf),
    ("-inf", lambda: -math.inf),
    ("1j", lambda: 1j),
    ("''", lambda: ""),
    ("'x'", lambda: "x"),
    ("' '", lambda: " "),
    ("'\\x00'", lambda: "a\x00b"),
    ("lone surrogate", lambda: "a\udc80b"),
    ("astral", lambda: "\u00e9\u20ac\U0001F600"),
    ("huge str", HUGE),
    ("huge wide str", HUGE_WIDE),
    ("huge header", HUGE_STRUCTURED),
    ("bytes", lambda: b"bytes"),
    ("bytearray", lambda: bytearray(b"x")),
    ("memoryview", lambda: memoryview(b"x")),
    ("StrSub", lambda: StrSub("sub")),
    ("EvilStr", lambda: EvilStr("evil")),
    ("{}", lambda: {}),
    ("{'a': 'b'}", lambda: {"a": "b"}),
    ("{1: None}", lambda: {1: None}),
    ("DictSub", lambda: DictSub(a="b")),
    ("EvilDict", lambda: EvilDict(a="b")),
    ("EvilMapping", lambda: EvilMapping()),
    ("[]", lambda: []),
    ("['a', 1]", lambda: ["a", 1]),
    ("('a',)", lambda: ("a",)),
    ("{'a'}", lambda: {"a"}),
    ("recursive list", _recursive_list),
    ("recursive dict", _recursive_dict),
    ("deep dict", DEEP_DICT),
    ("deep list", DEEP_LIST),
    ("big list", BIG_LIST),
    ("big dict", BIG_DICT),
    ("object()", lambda: object()),
    ("Evil", lambda: Evil()),
    ("Liar", lambda: Liar()),
    ("EvilInt", lambda: EvilInt(3)),
    ("EvilFloat", lambda: EvilFloat(0.5)),
    ("exception", lambda: ValueError("v")),
    ("EvilException", lambda: EvilException()),
    ("type", lambda: int),
    ("function", lambda: _boom),
    ("async function", lambda: _async_fn),
    ("coroutine", _coroutine),
    ("module", lambda: sys),
    ("Ellipsis", lambda: ...),
]


def _may_resolve(value) -> bool:
    """A str a socket call would look up by name (only loopback literals are safe to bind)."""
    if not isinstance(value, str):
        return False
    text = str.__str__(value)   # the characters, without the subclass's own methods
    if text in ("", "127.0.0.1", "::1", "localhost"):
        return False
    return len(text) < 64 and "\x00" not in text and "\udc80" not in text


# ------------------------------------------------------------------ reasonable values by name


class _FakeSecrets:
    """A secret provider answering from a dict."""
    def __init__(self):
        self.values = {"k": "token", "none": None}

    def get_secret(self, key):
        return self.values[key]


def _secret_provider():
    from quellon_runtime.secrets import SecretProvider

    class Provider(_FakeSecrets, SecretProvider):
        pass

    return Provider()


def _context():
    from quellon_runtime.policy import PolicyContext
    return PolicyContext("c", "a", {"x": 1}, principal="p", tenant_id="t", scopes=("s",))


@functools.cache
def _model():
    from pydantic import BaseModel

    class Payload(BaseModel):
        text: str = ""

    return Payload


def _store():
    from quellon_runtime.config_store import ConnectorConfigStore
    store = ConnectorConfigStore()
    store.put("t", "c", {"a": 1})
    return store


BASELINE = {
    "connector_id": lambda: "c", "action": lambda: "a", "input_payload": lambda: {"x": 1},
    "principal": lambda: "p", "tenant_id": lambda: "t", "scopes": lambda: ("s",), "name": lambda: "probe.echo",
    "key": lambda: "k", "token": lambda: "tok", "api_key": lambda: "tok", "secret": lambda: "s" * 32,
    "jwt_secret": lambda: "s" * 32, "claims": lambda: {"sub": "u", "tid": "t", "scope": "a b"},
    "auth_type": lambda: "jwt", "api_key_auth_type": lambda: "api_key", "env_var": lambda: "QL_BAD_INPUT_SCOPES",
    "api_key_scopes_env": lambda: "QL_BAD_INPUT_SCOPES", "header_value": lambda: 'Bearer error="invalid_token"',
    "timeout": lambda: 0.01, "host": lambda: "127.0.0.1", "path": lambda: "/callback",
    "action_scope_map": lambda: {"c.a": "s"}, "default_mode": lambda: "deny", "context": _context,
    "store": _store, "secret_provider": _secret_provider, "secret_key": lambda: "k",
    "providers": lambda: [_secret_provider()], "secret_name": lambda: "bundle", "region": lambda: "us-east-1",
    "vault_url": lambda: "https://vault.example.invalid", "project_id": lambda: "p", "secret_id": lambda: "s",
    "version": lambda: "latest", "server_url": lambda: None, "max_requests": lambda: 5,
    "window_seconds": lambda: 1.0, "max_tracked_keys": lambda: 100, "key_ttl_seconds": lambda: 60,
    "capacity": lambda: 5, "refill_rate": lambda: 1.0, "amount": lambda: 1, "salt": lambda: "salt",
    "fallback": lambda: "anon", "raw_input": lambda: {"text": "hello"}, "params_dict": lambda: {"text": "x"},
    "params": lambda: {"text": "x"}, "trace_id": lambda: "trace", "allowed": lambda: True,
    "retry_after_seconds": lambda: 0, "scheme": lambda: "Bearer", "redirect_uri": lambda: "http://127.0.0.1:1/cb",
    "port": lambda: 1, "code": lambda: "code", "state": lambda: "state", "auth_scheme": lambda: None,
    "input_model": _model, "output_model": _model, "fn_name": lambda: "echo", "tenant": lambda: "t",
}


# ------------------------------------------------------------------------------- the child side


def _install_fakes():
    """Cloud SDK entry points the secret providers call, answered locally (no network at all)."""
    import boto3
    import azure.keyvault.secrets
    import azure.identity
    from azure.core.exceptions import ResourceNotFoundError
    from google.cloud import secretmanager

    bundle = json.dumps({"k": "v", "none": None, "number": 5, "nested": {"a": "b"}})

    class AwsClient:
        def get_secret_value(self, SecretId):
            return {"SecretString": bundle, "Name": SecretId}

    boto3.client = lambda *args, **kwargs: AwsClient()

    class Credential:
        def get_token(self, *scopes, **kwargs):
            raise Boom("no tokens here")

    class SecretClient(azure.keyvault.secrets.SecretClient):
        def get_secret(self, name, version=None, **kwargs):
            if name == "k":
                return types.SimpleNamespace(value="v")
            raise ResourceNotFoundError("absent")

    azure.identity.DefaultAzureCredential = Credential
    azure.keyvault.secrets.SecretClient = SecretClient

    class GcpClient:
        def access_secret_version(self, request=None, **kwargs):
            return types.SimpleNamespace(payload=types.SimpleNamespace(data=bundle.encode()))

    secretmanager.SecretManagerServiceClient = GcpClient


class _Formatting(logging.Handler):
    """Formats every record (as a real handler would), swallowing what the hostile values raise."""
    def emit(self, record):
        try:
            self.format(record)
            for v in vars(record).values():
                repr(v)
        except Exception:
            pass


def _probe_connector(mod):
    from pydantic import BaseModel

    class In(BaseModel):
        text: str = ""

    class Out(BaseModel):
        ok: bool = True

    class Probe(mod.ConnectorBase):
        connector_id = "bad-input.probe"
        output_model = Out

        @mod.ql_action("probe.echo")
        async def echo(self, params: In, *, trace_id: str) -> Out:
            return Out()

    return Probe


def _signature_from_doc(fn):
    """nanobind callables carry their signature as the first line of __doc__."""
    doc = (getattr(fn, "__doc__", None) or "").strip().splitlines()
    if not doc or "(" not in doc[0]:
        return None
    head = doc[0]
    inner = head[head.index("(") + 1: head.rindex(")")] if ")" in head else ""
    try:
        tree = ast.parse(f"def f({inner}): pass").body[0].args
    except SyntaxError:
        return None
    params = []

    def default(node):
        if node is None:
            return inspect.Parameter.empty
        try:
            return ast.literal_eval(node)
        except ValueError:
            return inspect.Parameter.empty

    pos_defaults = [None] * (len(tree.args) - len(tree.defaults)) + list(tree.defaults)
    for a, d in zip(tree.args, pos_defaults):
        params.append(inspect.Parameter(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, default=default(d)))
    if tree.vararg:
        params.append(inspect.Parameter(tree.vararg.arg, inspect.Parameter.VAR_POSITIONAL))
    for a, d in zip(tree.kwonlyargs, tree.kw_defaults):
        params.append(inspect.Parameter(a.arg, inspect.Parameter.KEYWORD_ONLY, default=default(d)))
    if tree.kwarg:
        params.append(inspect.Parameter(tree.kwarg.arg, inspect.Parameter.VAR_KEYWORD))
    return params


def _params_of(fn, first=None):
    try:
        return list(inspect.signature(fn).parameters.values())
    except (TypeError, ValueError):
        pass
    params = _signature_from_doc(fn)
    if params is None:
        params = [inspect.Parameter(first, inspect.Parameter.POSITIONAL_ONLY)] if first else []
        params.append(inspect.Parameter("args", inspect.Parameter.VAR_POSITIONAL))
    return params


class Target:
    """One callable and how to make sensible values for its parameters."""

    def __init__(self, label, fn, params, special=None, cleanup=None):
        self.label, self.fn, self.params = label, fn, params
        self.special = special or {}   # parameter name -> factory, overriding BASELINE
        self.cleanup = cleanup          # called with the finished arguments (closes listeners)

    def baseline(self, p):
        if p.name in self.special:
            return self.special[p.name]()
        if p.name in BASELINE:
            return BASELINE[p.name]()
        if p.default is not inspect.Parameter.empty:
            return p.default
        return "x"

    def build(self, overrides):
        """(args, kwargs, description) with `overrides` (index -> (name, factory)) in place."""
        args, kwargs, desc = [], {}, []
        for i, p in enumerate(self.params):
            if i in overrides:
                vname, make = overrides[i]
                value = make()
                desc.append(f"{p.name}={vname}")
            else:
                value = None if p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD) else self.baseline(p)
            if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD):
                args.append(value)
            elif p.kind == p.KEYWORD_ONLY:
                kwargs[p.name] = value
            elif p.kind == p.VAR_POSITIONAL:
                args.extend([value] if i in overrides else self.special.get(p.name, BASELINE.get(p.name, list))())
            elif p.kind == p.VAR_KEYWORD and i in overrides:
                kwargs["zz_unexpected"] = value
        return args, kwargs, ", ".join(desc) or "baseline"

    def calls(self, rng):
        n = len(self.params)
        yield lambda: self.build({})
        for i, p in enumerate(self.params):
            for bad in BAD:
                if p.name == "host" and _may_resolve(bad[1]()):
                    continue
                yield lambda i=i, bad=bad: self.build({i: bad})
        host = [i for i, p in enumerate(self.params) if p.name == "host"]
        for bad in BAD:
            if host and _may_resolve(bad[1]()):
                continue
            yield lambda bad=bad: self.build({i: bad for i in range(n)})
        for _ in range(RANDOM_CALLS if n else 0):
            picks = {i: rng.choice(BAD) for i in range(n) if rng.random() < 0.5}
            picks = {i: b for i, b in picks.items() if not (i in host and _may_resolve(b[1]()))}
            yield lambda picks=picks: self.build(picks)

        def arity(extra_args, extra_kwargs, what):
            def make():
                args, kwargs, _ = self.build({})
                if extra_args is None:
                    return [], {}, what
                return args + extra_args, {**kwargs, **extra_kwargs}, what
            return make

        yield arity(None, {}, "no arguments")
        yield arity([Evil(), None, HUGE()], {}, "three extra positional arguments")
        yield arity([], {"zz_unknown": Evil(), "k" * 1000: 1}, "unknown keywords")


def _targets(modname):
    mod = importlib.import_module(modname)
    probe = _probe_connector(mod) if modname.endswith(".connector_base") else None
    catchers = []

    def instance_factory(cls):
        if probe is not None and issubclass(probe, cls):
            return lambda: probe()
        if getattr(cls, "__abstractmethods__", None):
            concrete = type("Concrete" + cls.__name__, (cls,),
                            {name: (lambda self, *a, **k: None) for name in cls.__abstractmethods__})
            return instance_factory(concrete)
        init = Target(cls.__qualname__, cls, _params_of(cls.__init__, "self")[1:])

        def make():
            args, kwargs, _ = init.build({})
            obj = cls(*args, **kwargs)
            if hasattr(obj, "wait_for_callback"):
                catchers.append(obj)
            return obj
        try:
            make()
        except Exception:
            return None
        return make

    def uninitialised(cls):
        try:
            return cls.__new__(cls)
        except Exception:
            return None

    def close_catchers(args, kwargs):
        while catchers:
            c = catchers.pop()
            try:
                _run(c.close())
            except Exception:
                pass

    out = []
    for name in sorted(vars(mod)):
        obj = getattr(mod, name)
        if getattr(obj, "__module__", None) != modname or not callable(obj):
            continue
        if not isinstance(obj, type):
            out.append(Target(f"{name}", obj, _params_of(obj)))
            continue
        cls = obj
        make = instance_factory(cls)
        bare = uninitialised(cls)
        ctor_params = _params_of(cls.__init__, "self")[1:] if "__init__" in vars(cls) else _params_of(cls)
        out.append(Target(f"{name}(...)", cls, ctor_params, cleanup=close_catchers))
        for attr, member in sorted(vars(cls).items()):
            if attr.startswith("__") and attr not in DUNDERS:
                continue
            special = {}
            if isinstance(member, property):
                fn, kind = member.fget, "property"
            elif isinstance(member, classmethod):
                fn, kind = member.__func__, "classmethod"
                special["cls"] = (lambda: probe) if probe is not None else (lambda cls=cls: cls)
            elif isinstance(member, staticmethod):
                fn, kind = member.__func__, "staticmethod"
            elif callable(member):
                fn, kind = member, "method"
            else:
                continue
            if fn is None:
                continue
            params = _params_of(fn, None if kind == "staticmethod" else "self")
            if kind in ("method", "property") and params:
                selfname = params[0].name
                if make is not None:
                    special[selfname] = make
                elif bare is not None:
                    special[selfname] = lambda bare=bare: bare
                t = Target(f"{name}.{attr}", fn, params, special, close_catchers)
                out.append(t)
                if bare is not None and make is not None:
                    # a half-built object: __new__ without __init__
                    out.append(Target(f"{name}.{attr} on uninitialised", fn, params,
                                      {**special, selfname: lambda bare=bare: bare}, close_catchers))
            else:
                out.append(Target(f"{name}.{attr}", fn, params, special, close_catchers))
    return out


_loop = None


def _run(result):
    """Await an awaitable result with a short timeout; anything else is already final."""
    if not inspect.isawaitable(result):
        return result

    async def drive():
        return await result
    return _loop.run_until_complete(asyncio.wait_for(drive(), AWAIT_TIMEOUT))


def child(modname, progress_path):
    global _loop
    faulthandler.enable()
    warnings.simplefilter("ignore")
    root = logging.getLogger()
    root.setLevel(logging.DEBUG)
    root.addHandler(_Formatting())
    _install_fakes()
    _loop = asyncio.new_event_loop()
    asyncio.set_event_loop(_loop)
    rng = random.Random(f"{SEED}:{modname}")
    counts = {"calls": 0, "returned": 0, "raised": 0, "targets": 0}
    broken = {}   # what went wrong -> the calls it went wrong in (errors that mean a broken C API contract)
    with open(progress_path, "w", buffering=1, encoding="utf-8", errors="backslashreplace") as progress:
        targets = _targets(modname)
        counts["targets"] = len(targets)
        for target in targets:
            faulthandler.dump_traceback_later(TARGET_HANG_LIMIT, exit=True)
            for make_call in target.calls(rng):
                try:
                    args, kwargs, desc = make_call()
                except Exception as e:   # a baseline value that cannot be built here
                    progress.write(f"{target.label}: could not build arguments: {e!r}\n")
                    continue
                progress.write(f"{target.label}({desc})\n")
                counts["calls"] += 1
                try:
                    _run(target.fn(*args, **kwargs))
                    counts["returned"] += 1
                except SystemError as e:
                    broken.setdefault(f"{target.label}: SystemError: {str(e)[:300]}", []).append(desc)
                except (Exception, asyncio.CancelledError):
                    counts["raised"] += 1
                except BaseException as e:   # SystemExit, KeyboardInterrupt, GeneratorExit...
                    broken.setdefault(f"{target.label}: {type(e).__name__} escaped", []).append(desc)
                finally:
                    if target.cleanup:
                        target.cleanup(args, kwargs)
                    del args, kwargs
                if counts["calls"] % 2000 == 0:
                    gc.collect()   # run finalisers of half-used objects while the batch goes on
            faulthandler.cancel_dump_traceback_later()
        progress.write("done\n")
    gc.collect()
    _loop.close()
    print(json.dumps({"counts": counts,
                      "broken": [f"{what} ({len(calls)} calls, e.g. {calls[0]})" for what, calls in broken.items()]}))


# ------------------------------------------------------------------------------ the pytest side


def _child_env(tmp_path):
    env = dict(os.environ)
    # the child imports the very package this process found, whatever the working directory
    package_parent = os.path.dirname(importlib.util.find_spec(PACKAGE).submodule_search_locations[0])
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_parent, env.get("PYTHONPATH")]))
    for name in list(env):
        if name.startswith(("AWS_", "AZURE_", "GOOGLE_", "MSI_", "IDENTITY_")) or name.lower().endswith("_proxy"):
            del env[name]
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        closed = f"http://127.0.0.1:{s.getsockname()[1]}"
    env.update({
        # Belt and braces: even the real SDKs would find nothing but a closed local port.
        "AWS_ENDPOINT_URL": closed, "AWS_ACCESS_KEY_ID": "x", "AWS_SECRET_ACCESS_KEY": "x",
        "AWS_CONFIG_FILE": str(tmp_path / "none"), "AWS_SHARED_CREDENTIALS_FILE": str(tmp_path / "none"),
        "AWS_EC2_METADATA_DISABLED": "true", "AWS_MAX_ATTEMPTS": "1",
        "GOOGLE_APPLICATION_CREDENTIALS": str(tmp_path / "missing.json"), "NO_GCE_CHECK": "true",
        "IDENTITY_ENDPOINT": closed, "MSI_ENDPOINT": closed,
        "HTTP_PROXY": closed, "HTTPS_PROXY": closed, "NO_PROXY": "",
        "PYTHONHASHSEED": "0", "QL_BAD_INPUT_SCOPES": "read,write",
    })
    return env


def _exit_status(rc: int) -> str:
    if rc < 0:
        try:
            return f"killed by {signal.Signals(-rc).name}"
        except ValueError:
            return f"killed by signal {-rc}"
    return f"exit code {rc} (0x{rc & 0xFFFFFFFF:08X})"


def _tail(path, lines=1):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return "".join(f.readlines()[-lines:]).strip()
    except OSError:
        return "(no progress file)"


if __name__ != "__main__":
    import pytest

    MODULES = native_modules()

    def test_every_native_module_is_covered():
        assert len(MODULES) >= 10, MODULES

    def test_record_methods_refuse_a_foreign_self():
        # Record constructors write slots directly; given a type as `self` they used to write into
        # that type's own dict, behind the type cache, which later crashed the interpreter.
        from quellon_runtime.policy import PolicyContext
        for foreign in (int, 5, None):
            for call in (lambda: PolicyContext.__init__(foreign, "c", "a", {}), lambda: PolicyContext.__repr__(foreign),
                         lambda: PolicyContext.__eq__(foreign, foreign), lambda: PolicyContext.__reduce__(foreign)):
                with pytest.raises(TypeError, match="^descriptor '__[a-z]+__' for 'PolicyContext' objects doesn't apply"):
                    call()
        assert "connector_id" not in vars(int)
        with pytest.raises(AttributeError, match="connector_id"):
            repr(PolicyContext.__new__(PolicyContext))

    def _run_batch(modname, workdir):
        progress = workdir / "progress.txt"
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), modname, str(progress)],
                              env=_child_env(workdir), cwd=workdir, capture_output=True, text=True,
                              errors="replace", timeout=900)
        return proc, progress

    @pytest.fixture(scope="module")
    def batches(request, tmp_path_factory):
        """The selected modules' batches, two at a time in the background, in test order."""
        selected = [item.callspec.params["modname"] for item in request.session.items
                    if item.originalname == "test_hostile_arguments_end_in_an_exception_or_a_result"]
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            futures = {m: pool.submit(_run_batch, m, tmp_path_factory.mktemp(m.rsplit(".", 1)[-1])) for m in selected}
            yield futures
            for f in futures.values():
                f.cancel()

    @pytest.mark.parametrize("modname", MODULES)
    def test_hostile_arguments_end_in_an_exception_or_a_result(modname, batches):
        proc, progress = batches[modname].result()
        if proc.returncode != 0:
            pytest.fail(f"{modname}: the batch process ended with {_exit_status(proc.returncode)} while running\n"
                        f"    {_tail(progress)}\n--- stderr (last 4000 characters) ---\n{proc.stderr[-4000:]}",
                        pytrace=False)
        report = json.loads(proc.stdout.strip().splitlines()[-1])
        assert report["broken"] == [], "\n".join(report["broken"])
        counts = report["counts"]
        assert counts["targets"] > 0 and counts["calls"] > counts["targets"] * len(BAD)
        assert _tail(progress) == "done"

if __name__ == "__main__":
    child(sys.argv[1], sys.argv[2])
