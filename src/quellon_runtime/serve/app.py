"""One ASGI app serving MCP and REST, the connectors it serves, and the server that runs it."""

from __future__ import annotations

import asyncio
import contextlib
import importlib
import inspect
import logging
import signal
import sys
import threading
from typing import Any, Callable, Iterator, Mapping, Optional, TextIO

from . import require
from .callpath import CallPath
from .settings import ServeSettings

__all__ = ["ServeApp", "build_app", "default_factory", "load_connectors", "load_factory", "summary", "serve"]

logger = logging.getLogger("runtime.serve")

Factory = Callable[[type], Any]


def default_factory(connector_cls: type) -> Any:
    """A connector that needs no collaborators: built with none."""
    return connector_cls()


def load_factory(target: Optional[str]) -> Factory:
    """``module:callable`` -> the callable; None -> :func:`default_factory`."""
    if not target:
        return default_factory
    mod_name, sep, attr = target.partition(":")
    if not sep or not mod_name or not attr:
        raise ValueError("the connector factory must be given as module:callable")
    obj: Any = importlib.import_module(mod_name)
    for part in attr.split("."):
        obj = getattr(obj, part)
    if not callable(obj):
        raise TypeError(f"connector factory {target} is not callable")
    return obj


async def load_connectors(factory: Factory, classes: Optional[Mapping[str, type]] = None) -> dict[str, Any]:
    """Build one connector per registered class (after discovery when ``classes`` is None).

    The factory gets the class and returns the instance (or an awaitable of it); None leaves the
    connector out.
    """
    if classes is None:
        from quellon_runtime.connector_base import get_connector_index
        from quellon_runtime.connector_index import auto_register

        auto_register()
        classes = get_connector_index()
    built: dict[str, Any] = {}
    for cid in sorted(classes):
        inst = factory(classes[cid])
        if inspect.isawaitable(inst):
            inst = await inst
        if inst is not None:
            built[cid] = inst
    return built


class ServeApp:
    """ASGI app: the MCP binding at ``settings.mcp_path``, REST for everything else."""

    def __init__(self, callpath: CallPath, settings: ServeSettings) -> None:
        self.callpath = callpath
        self.settings = settings
        self.rest: Any = None
        self.mcp: Any = None
        if "rest" in settings.protocols:
            from .rest import RestBinding

            self.rest = RestBinding(callpath, settings)
        if "mcp" in settings.protocols:
            try:
                from .mcp import build_mcp_app  # type: ignore[import-not-found,unused-ignore]
            except ModuleNotFoundError as exc:
                if exc.name != f"{__package__}.mcp":
                    raise
                logger.warning("MCP binding not available in this build; serving REST only")
            else:
                self.mcp = build_mcp_app(callpath, settings)
        self._mcp_path = settings.mcp_path
        self._mcp_prefix = settings.mcp_path + "/"
        self._documents = callpath.resource_documents

    @property
    def draining(self) -> bool:
        return bool(self.rest is not None and self.rest.draining)

    def drain(self) -> None:
        """Readiness turns 503 while in-flight calls finish."""
        if self.rest is not None:
            self.rest.draining = True

    async def __call__(self, scope: dict, receive: Any, send: Any) -> None:
        kind = scope["type"]
        if kind == "lifespan":
            await self._lifespan(scope, receive, send)
            return
        path = scope.get("path", "")
        if self._documents and kind == "http" and path in self._documents:
            await _document(scope, send, self._documents[path])
        elif self.mcp is not None and (path == self._mcp_path or path.startswith(self._mcp_prefix)):
            await self.mcp(scope, receive, send)
        elif self.rest is not None and kind == "http":
            await self.rest(scope, receive, send)
        elif kind == "http":
            body = b'{"success":false,"error_code":"NOT_FOUND","message":"Not Found"}'
            await send({"type": "http.response.start", "status": 404,
                        "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]})
            await send({"type": "http.response.body", "body": body})

    async def _lifespan(self, scope: dict, receive: Any, send: Any) -> None:
        if self.mcp is not None:
            await self.mcp(scope, receive, send)  # the MCP app may run a session manager
            return
        while True:
            msg = await receive()
            if msg["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif msg["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return


async def _document(scope: dict, send: Any, body: bytes) -> None:
    """A protected-resource metadata document: public, cacheable, readable from any origin."""
    if scope["method"] not in ("GET", "HEAD"):
        await send({"type": "http.response.start", "status": 405,
                    "headers": [(b"allow", b"GET, HEAD"), (b"content-length", b"0")]})
        await send({"type": "http.response.body", "body": b""})
        return
    await send({"type": "http.response.start", "status": 200, "headers": [
        (b"content-type", b"application/json"), (b"content-length", str(len(body)).encode()),
        (b"cache-control", b"public, max-age=300"), (b"access-control-allow-origin", b"*")]})
    await send({"type": "http.response.body", "body": body if scope["method"] == "GET" else b""})


def build_app(callpath: CallPath, settings: ServeSettings) -> ServeApp:
    return ServeApp(callpath, settings)


def summary(app: ServeApp, *, port: Optional[int] = None) -> str:
    """A readable table of what is served."""
    s = app.settings
    rows = s.describe()
    if port is not None:
        rows[0] = ("listen", f"http://{s.host}:{port}")
    if app.mcp is not None:
        rows.append(("mcp", f"{rows[0][1]}{s.mcp_path}"))
    if app.rest is not None:
        rows.append(("rest", f"{rows[0][1]}/v1/{{connector}}/{{action}}  (catalogue /v1/tools, /openapi.json)"))
    rows += [("metadata", f"{rows[0][1]}{path}") for path in app.callpath.resource_documents]
    w = max(len(k) for k, _ in rows)
    lines = ["quellon serve", *(f"  {k.ljust(w)}  {v}" for k, v in rows), ""]
    head = ("tool", "connector", "auth", "scopes", "throttle", "")
    table = [head]
    for e in app.callpath.catalogue.entries:
        thr = f"{e.throttle['max_requests']}/{e.throttle['window_seconds']}s" if e.throttle else "-"
        table.append((e.name, e.connector_id, "required" if e.requires_auth else "public",
                      " ".join(e.scopes) or "-", thr, "deprecated" if e.deprecated else ""))
    widths = [max(len(r[i]) for r in table) for i in range(len(head))]
    for r in table:
        lines.append("  " + "  ".join(c.ljust(widths[i]) for i, c in enumerate(r)).rstrip())
    if len(table) == 1:
        lines.append("  (no connectors: set QL_ALLOWED_CONNECTORS)")
    if not s.api_key and not s.jwt_secret and app.callpath.verifier is None:
        lines.append("  (no QL_SERVE_API_KEY or QL_SERVE_JWT_SECRET: only public actions can be called)")
    return "\n".join(lines)


async def serve(app: ServeApp, *, out: TextIO = sys.stderr, ready: Optional[Callable[[int], None]] = None) -> None:
    """Run the app with uvicorn until SIGINT/SIGTERM; in-flight calls are drained first."""
    uvicorn = require("uvicorn")
    s = app.settings

    class _Server(uvicorn.Server):  # type: ignore[misc,name-defined]
        def handle_exit(self, sig: int, frame: Any) -> None:
            app.drain()
            super().handle_exit(sig, frame)

        @contextlib.contextmanager
        def capture_signals(self) -> Iterator[None]:
            # a drained shutdown is a clean exit: the signal is not raised again afterwards
            if threading.current_thread() is not threading.main_thread():
                yield
                return
            sigs = [signal.SIGINT, signal.SIGTERM, *([signal.SIGBREAK] if hasattr(signal, "SIGBREAK") else [])]
            before = {sig: signal.signal(sig, self.handle_exit) for sig in sigs}
            try:
                yield
            finally:
                for sig, handler in before.items():
                    signal.signal(sig, handler)

    config = uvicorn.Config(
        app,
        host=s.host,
        port=s.port,
        lifespan="on",
        access_log=s.access_log,
        timeout_graceful_shutdown=s.drain_seconds,
        log_config=None,
        server_header=False,
        h11_max_incomplete_event_size=64 * 1024,
    )
    server = _Server(config)
    task = asyncio.ensure_future(server.serve())
    while not server.started and not task.done():
        await asyncio.sleep(0.02)
    if server.started:
        port = server.servers[0].sockets[0].getsockname()[1]
        print(summary(app, port=port), file=out, flush=True)
        if ready is not None:
            ready(port)
    await task
