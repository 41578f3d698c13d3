"""The MCP binding: streamable HTTP (stateless, JSON responses) and stdio, on the official SDK.

Every request is self-contained, so any replica answers any request. ``tools/list`` shows the
caller only what it may call; ``tools/call`` goes through the call path, and its outcome becomes a
``CallToolResult`` (``structuredContent`` and a text copy, ``isError`` for every failure, the trace
id in ``_meta`` and in a header). Only an unknown tool or a malformed request is a JSON-RPC error.

The SDK serves everything. In front of it, a fast path answers the two hot methods itself when a
request has exactly the shape the official clients send (checked per request); anything else,
down to an unusual ``Accept`` header, goes to the SDK unchanged. Both paths share the handlers
below, and a differential test holds their answers equal.
"""

from __future__ import annotations

import asyncio
import logging
import math
import time
from contextlib import asynccontextmanager
from typing import Any, AsyncIterator, Mapping, Optional

from . import require, telemetry
from .callpath import CallPath, Outcome
from .catalogue import ToolEntry
from .settings import ServeSettings

require("mcp")

import pydantic_core  # noqa: E402
from mcp.server.lowlevel.server import Server  # noqa: E402
from mcp.server.streamable_http import check_accept_headers  # noqa: E402
from mcp.server.streamable_http_manager import StreamableHTTPSessionManager  # noqa: E402
from mcp.server.transport_security import TransportSecuritySettings  # noqa: E402
from mcp.shared.exceptions import MCPError  # noqa: E402
from mcp_types import (  # noqa: E402
    CLIENT_CAPABILITIES_META_KEY,
    CLIENT_INFO_META_KEY,
    INTERNAL_ERROR,
    INVALID_PARAMS,
    INVALID_REQUEST,
    PROTOCOL_VERSION_META_KEY,
    SERVER_INFO_META_KEY,
)
from mcp_types.version import MODERN_PROTOCOL_VERSIONS  # noqa: E402

__all__ = ["McpBinding", "build_mcp_app", "run_stdio", "TRACE_HEADER", "TRACE_META_KEY"]

logger = logging.getLogger("runtime.serve")

TRACE_HEADER = "x-trace-id"
_TRACE_HEADER = TRACE_HEADER.encode()
TRACE_META_KEY = "quellon/traceId"
DEPRECATED_META_KEY = "quellon/deprecated"

_REPLY = "quellon.mcp.reply"
_WATCH_AFTER = 0.02  # seconds before a call's client is watched for a disconnect
_GONE = object()  # a body whose client left before sending all of it
_MODERN = "2026-07-28"
_MODERN_VERSIONS = frozenset(MODERN_PROTOCOL_VERSIONS)
_FAST_VERSIONS = {b"2026-07-28": "2026-07-28", b"2025-11-25": "2025-11-25", b"2025-06-18": "2025-06-18"}
_HEADERS = {name: i for i, name in enumerate((
    b"content-type", b"accept", b"authorization", b"content-length", b"origin", b"mcp-protocol-version",
    b"mcp-method", b"mcp-name"))}
_CALL_KEYS = frozenset({"name", "arguments", "_meta"})
_LIST_KEYS = frozenset({"_meta"})
_TRACE_META = frozenset({"traceparent", "tracestate", "baggage"})
_MODERN_META = _TRACE_META | {PROTOCOL_VERSION_META_KEY, CLIENT_CAPABILITIES_META_KEY, CLIENT_INFO_META_KEY}
_JSON = [(b"content-type", b"application/json")]
_ERROR_STATUS = {INVALID_PARAMS: 400, INVALID_REQUEST: 400}  # the SDK's status table, modern requests


class _Reply:
    """One request's state: what the handlers add to its response (headers, a status for a refusal),
    and whether it was answered or its client left."""

    __slots__ = ("headers", "status", "answered", "gone", "receive", "task", "watcher")

    def __init__(self, receive: Any, task: Optional[asyncio.Task]) -> None:
        self.headers: list[tuple[bytes, bytes]] = []
        self.status: Optional[int] = None
        self.answered = False
        self.gone = False
        self.receive = receive
        self.task = task
        self.watcher: Optional[asyncio.Task] = None

    def watch(self) -> None:
        """From here on, a disconnect cancels the request."""
        if not self.answered and self.task is not None:
            self.watcher = asyncio.ensure_future(self._watch())

    async def _watch(self) -> None:
        receive = self.receive
        while (await receive())["type"] != "http.disconnect":
            pass
        if not self.answered and self.task is not None:
            self.gone = True
            self.task.cancel()


def _outcome_headers(outcome: Outcome, reply: Optional[_Reply]) -> None:
    if reply is None:
        return
    h = reply.headers
    if outcome.trace_id:
        h.append((_TRACE_HEADER, outcome.trace_id.encode()))
    if outcome.challenge:
        h.append((b"www-authenticate", outcome.challenge.encode()))
    if outcome.retry_after is not None:
        h.append((b"retry-after", str(max(1, math.ceil(outcome.retry_after))).encode()))


def _error_of(outcome: Outcome) -> Optional[str]:
    kind = outcome.kind
    if kind == "ok":
        return None
    return str(INVALID_PARAMS) if kind == "unknown_tool" else "tool_error"


def tool_wire(entry: ToolEntry) -> dict:
    """The MCP ``Tool`` of a catalogue entry; the markers travel in ``_meta``."""
    tool: dict[str, Any] = {
        "name": entry.name,
        "title": entry.title,
        "description": entry.description,
        "inputSchema": entry.input_schema,
    }
    if entry.output_schema:
        tool["outputSchema"] = entry.output_schema
    meta: dict[str, Any] = {"quellon/requiresAuth": entry.requires_auth, "quellon/scopes": list(entry.scopes)}
    if entry.throttle:
        meta["quellon/throttle"] = dict(entry.throttle)
    if entry.deprecated:
        meta[DEPRECATED_META_KEY] = True
    tool["_meta"] = meta
    return tool


def call_result(outcome: Outcome) -> dict:
    """The ``CallToolResult`` of an outcome: the action's output, or the failure the caller may see."""
    ok = outcome.kind == "ok"
    data = outcome.body.get("data") if ok else None
    structured = data if isinstance(data, dict) else outcome.body
    meta: dict[str, Any] = {TRACE_META_KEY: outcome.trace_id}
    if outcome.deprecated:
        meta[DEPRECATED_META_KEY] = True
    return {
        "content": [{"type": "text", "text": pydantic_core.to_json(structured).decode()}],
        "structuredContent": structured,
        "isError": not ok,
        "_meta": meta,
    }


def _client_of(scope: Mapping[str, Any]) -> Optional[str]:
    client = scope.get("client")
    return client[0] if client else None


class McpBinding:
    """ASGI app of the MCP endpoint; enter :meth:`lifespan` (or serve it with ASGI lifespan) first."""

    def __init__(self, callpath: CallPath, settings: Optional[ServeSettings] = None, *, fast: bool = True,
                 stdio_authorization: Optional[str] = None) -> None:
        settings = settings or callpath.settings
        self.callpath = callpath
        self.fast = fast
        self._call = callpath.call
        self._stdio_authorization = stdio_authorization
        self._max_body = settings.max_body_bytes
        self._origins = self._origin_rules(settings)
        self._tools = {e.name: tool_wire(e) for e in callpath.catalogue.entries}
        self._listings: dict[tuple[str, ...], list] = {}
        self._accepts: dict[bytes, bool] = {}
        from quellon_runtime import __version__ as version

        schemas = {e.name: e.input_schema for e in callpath.catalogue.entries}
        # get_tool_input_schema spares the SDK a tools/list of its own per call (Mcp-Param-* checks)
        self.server: Server[Any] = Server(
            "quellon-runtime", version=version, on_list_tools=self._sdk_list, on_call_tool=self._sdk_call,
            get_tool_input_schema=schemas.get,
        )
        # the request span is ours (runtime tracer), on both paths; the SDK's own would double it
        self.server.middleware = []
        self._stamp = self.server.server_info_stamp
        # Origin and size are checked in front of both paths; the SDK still checks Content-Type
        self._manager = StreamableHTTPSessionManager(
            self.server, json_response=True, stateless=True, max_request_body_size=self._max_body,
            security_settings=TransportSecuritySettings(enable_dns_rebinding_protection=False),
        )
        self._running = False
        self._inflight: dict[_Reply, float] = {}  # arrival order
        self._plain_meta: Optional[dict] = None

    # -- shared handlers ------------------------------------------------------------------------

    async def tools_call(self, name: str, arguments: Mapping[str, Any], authorization: Optional[str],
                         version: str, meta: Any, client: Optional[str], reply: Optional[_Reply]) -> dict:
        try:
            work = self._call(name, arguments, authorization=authorization, protocol="mcp", client=client)
            if telemetry.active():
                outcome = await telemetry.observe("tools/call", name, version, meta, work, _error_of)
            else:
                outcome = await work
        except Exception:
            # a fault of the binding itself: the SDK would put the exception's text on the wire
            logger.exception("MCP tools/call failed before an outcome")
            raise MCPError(code=INTERNAL_ERROR, message="Internal error") from None
        if (outcome.kind == "ok" and reply is not None and outcome.trace_id and outcome.challenge is None
                and outcome.retry_after is None):
            # the common answer: only the trace id goes into the headers
            reply.headers.append((_TRACE_HEADER, outcome.trace_id.encode()))
        else:
            _outcome_headers(outcome, reply)
            if outcome.kind == "unknown_tool":
                raise MCPError(code=INVALID_PARAMS, message="Unknown tool", data={"trace_id": outcome.trace_id})
        result = call_result(outcome)
        if version in _MODERN_VERSIONS:
            result["resultType"] = "complete"
        return result

    async def tools_list(self, authorization: Optional[str], version: str, meta: Any,
                         reply: Optional[_Reply]) -> dict:
        work = self.callpath.authenticate(authorization, protocol="mcp")
        if telemetry.active():
            caller, refused = await telemetry.observe("tools/list", None, version, meta, work,
                                                      lambda r: r[1] and r[1].kind)
        else:
            caller, refused = await work
        if refused is not None:
            _outcome_headers(refused, reply)
            if reply is not None:
                reply.status = refused.status
            body = refused.body
            raise MCPError(code=INVALID_REQUEST, message=body["message"],
                           data={"error_code": body["error_code"], "trace_id": refused.trace_id})
        result: dict[str, Any] = {"tools": self._listing(caller)}
        if version in _MODERN_VERSIONS:
            result["ttlMs"] = 0
            result["cacheScope"] = "private"  # the listing depends on the caller
            result["resultType"] = "complete"
        return result

    def _listing(self, caller: Any) -> list:
        names = tuple(e.name for e in self.callpath.visible_tools(caller))
        tools = self._listings.get(names)
        if tools is None:
            tools = [self._tools[n] for n in names]
            if len(self._listings) < 256:  # one per distinct set of grants; bounded all the same
                self._listings[names] = tools
        return tools

    # -- the SDK's path -------------------------------------------------------------------------

    def _request_of(self, ctx: Any) -> tuple[Optional[str], Optional[str], Optional[_Reply]]:
        request = ctx.request
        if request is None:  # stdio
            return self._stdio_authorization, "stdio", None
        return request.headers.get("authorization"), _client_of(request.scope), request.scope.get(_REPLY)

    async def _sdk_call(self, ctx: Any, params: Any) -> dict:
        authorization, client, reply = self._request_of(ctx)
        meta = (ctx.params or {}).get("_meta")
        return await self.tools_call(params.name, params.arguments or {}, authorization, ctx.protocol_version,
                                     meta, client, reply)

    async def _sdk_list(self, ctx: Any, params: Any) -> dict:
        authorization, _, reply = self._request_of(ctx)
        return await self.tools_list(authorization, ctx.protocol_version, (ctx.params or {}).get("_meta"), reply)

    # -- ASGI -----------------------------------------------------------------------------------

    @asynccontextmanager
    async def lifespan(self) -> AsyncIterator[None]:
        """Runs the SDK's stateless session manager (its task group serves the older revisions)."""
        async with self._manager.run():
            self._running = True
            sweeper = asyncio.ensure_future(self._sweep())
            try:
                yield
            finally:
                self._running = False
                sweeper.cancel()

    async def _sweep(self) -> None:
        """Watch the clients of calls that outlive ``_WATCH_AFTER``: a quick answer never needs a
        watcher task (nor a timer of its own), a slow one gets one."""
        inflight = self._inflight
        clock = time.monotonic
        while True:
            await asyncio.sleep(_WATCH_AFTER)
            cutoff = clock() - _WATCH_AFTER
            for reply, since in list(inflight.items()):  # oldest first
                if since > cutoff:
                    break
                if reply.watcher is None:
                    reply.watch()

    @staticmethod
    def _origin_rules(settings: ServeSettings) -> tuple[frozenset, tuple, bool]:
        origins = settings.allowed_origins or ("http://127.0.0.1:*", "http://localhost:*", "http://[::1]:*")
        exact = frozenset(o for o in origins if not o.endswith(":*"))
        prefixes = tuple(o[:-1] for o in origins if o.endswith(":*"))
        return exact, prefixes, "*" in origins

    def _origin_ok(self, origin: bytes) -> bool:
        exact, prefixes, anything = self._origins
        text = origin.decode("latin-1")
        if anything or text in exact:
            return True
        for p in prefixes:
            if text.startswith(p) and text[len(p):].isdigit():
                return True
        return False

    async def __call__(self, scope: dict, receive: Any, send: Any) -> None:
        kind = scope["type"]
        if kind != "http":
            if kind == "lifespan":
                await self._serve_lifespan(receive, send)
            return
        got: list = [None] * len(_HEADERS)
        odd = False  # anything the fast path leaves to the SDK: repeated headers, Mcp-Param-* headers
        for k, v in scope["headers"]:
            i = _HEADERS.get(k)
            if i is not None:
                odd = odd or got[i] is not None
                got[i] = v
            elif k.startswith(b"mcp-param-"):
                odd = True
        ctype, accept, authorization, length, origin, version, method_h, name_h = got
        if origin is not None and not self._origin_ok(origin):
            await _plain(send, 403, b"Invalid Origin header")
            return
        # one message carries the whole body, almost always: read it here, spared a coroutine
        limit = self._max_body
        if length is not None and length.isdigit() and int(length) > limit:
            body = None
        else:
            message = await receive()
            if message["type"] != "http.request":
                return  # the client left before its body came: nobody to answer
            body = message.get("body", b"")
            if message.get("more_body"):
                body = await self._rest_of_body(receive, body)
                if body is _GONE:
                    return
            elif len(body) > limit:
                body = None
        if body is None:
            await _plain(send, 413, b"Request body too large")
            return
        reply = scope[_REPLY] = _Reply(receive, asyncio.current_task())
        inflight = self._inflight
        inflight[reply] = time.monotonic()
        try:
            if not (self.fast and not odd and scope["method"] == "POST" and ctype == b"application/json"
                    and version in _FAST_VERSIONS and accept is not None
                    and (self._accepts.get(accept) or self._accepts_json(accept))
                    and await self._fast(body, _FAST_VERSIONS[version], method_h, name_h, authorization, scope,
                                         reply, send)):
                await self._sdk(scope, body, receive, send, reply)
        except asyncio.CancelledError:
            if reply.gone and reply.task is not None and reply.task.uncancel() == 0:
                return  # the client left; its action was cancelled with it
            raise
        finally:
            del inflight[reply]
            if reply.watcher is not None:
                reply.watcher.cancel()

    async def _serve_lifespan(self, receive: Any, send: Any) -> None:
        await receive()  # lifespan.startup
        started = False
        try:
            async with self.lifespan():
                started = True
                await send({"type": "lifespan.startup.complete"})
                await receive()  # lifespan.shutdown
        except Exception as exc:
            if started:
                raise
            logger.exception("The MCP binding did not start")
            await send({"type": "lifespan.startup.failed", "message": type(exc).__name__})
            return
        await send({"type": "lifespan.shutdown.complete"})

    async def _rest_of_body(self, receive: Any, body: bytes) -> Any:
        """The body after its first chunk; None past the size limit (the first chunk's included),
        _GONE when the client leaves before the last."""
        limit = self._max_body
        chunks = [body]
        size = len(body)
        if size > limit:
            return None
        message: dict = {"more_body": True}
        while message.get("more_body"):
            message = await receive()
            if message["type"] != "http.request":
                return _GONE
            chunk = message.get("body", b"")
            size += len(chunk)
            if size > limit:
                return None
            chunks.append(chunk)
        return b"".join(chunks)

    def _accepts_json(self, accept: bytes) -> bool:
        ok = self._accepts.get(accept)
        if ok is None:
            ok = check_accept_headers(_AcceptOnly(accept))[0]
            if len(self._accepts) < 64:
                self._accepts[accept] = ok
        return ok

    async def _sdk(self, scope: dict, body: bytes, receive: Any, send: Any, reply: _Reply) -> None:
        if not self._running:
            logger.error("MCP request refused: the binding's lifespan was not entered")
            await _plain(send, 503, b"Service not started")
            return
        replayed = [{"type": "http.request", "body": body, "more_body": False}]

        async def replay() -> dict:
            if replayed:
                return replayed.pop()
            return await receive()

        async def send_with_reply(message: dict) -> None:
            if message["type"] == "http.response.start":
                reply.answered = True
                if reply.headers or reply.status:
                    message = dict(message, headers=[*message.get("headers", ()), *reply.headers])
                    if reply.status:
                        message["status"] = reply.status
            await send(message)

        await self._manager.handle_request(scope, replay, send_with_reply)

    # -- the fast path --------------------------------------------------------------------------

    async def _fast(self, body: bytes, version: str, method_h: Optional[bytes], name_h: Optional[bytes],
                    authorization: Optional[bytes], scope: dict, reply: _Reply, send: Any) -> bool:
        """Answer a plain tools/call or tools/list; False (nothing sent) for anything else."""
        try:
            msg = pydantic_core.from_json(body)
        except ValueError:
            return False
        if type(msg) is not dict or len(msg) != 4 or msg.get("jsonrpc") != "2.0":
            return False
        rid = msg.get("id")
        method = msg.get("method")
        params = msg.get("params")
        if not (type(rid) is str or (type(rid) is int and -(2**53) < rid < 2**53)) or type(params) is not dict:
            return False
        meta = params.get("_meta")
        modern = version == _MODERN
        if modern:
            if (method_h is None or method_h.decode("latin-1") != method or type(meta) is not dict
                    or meta.get(PROTOCOL_VERSION_META_KEY) != version):
                return False
            if meta != self._plain_meta:  # a client sends the same envelope every time
                if not _plain_envelope(meta):
                    return False
                self._plain_meta = meta
        elif meta is not None and (type(meta) is not dict or not _TRACE_META.issuperset(meta)):
            return False
        auth = authorization.decode("latin-1") if authorization is not None else None
        if method == "tools/call":
            name = params.get("name")
            arguments = params.get("arguments")
            if (type(name) is not str or not _CALL_KEYS.issuperset(params)
                    or (arguments is not None and type(arguments) is not dict)
                    or (modern and (name_h is None or name_h.decode("latin-1") != name
                                    or name_h.startswith(b"=?base64?")))):
                return False
            client = scope.get("client")
            work = self.tools_call(name, arguments or {}, auth, version, meta, client[0] if client else None, reply)
        elif method == "tools/list" and _LIST_KEYS.issuperset(params):
            work = self.tools_list(auth, version, meta, reply)
        else:
            return False
        status = 200
        try:
            result = await work
        except MCPError as exc:
            answer: dict[str, Any] = {"jsonrpc": "2.0", "id": rid,
                                      "error": exc.error.model_dump(mode="json", exclude_none=True)}
            if modern:
                status = _ERROR_STATUS.get(exc.code, 200)
        else:
            if modern:  # the result is this request's own dict
                result.setdefault("_meta", {})[SERVER_INFO_META_KEY] = self._stamp
            answer = {"jsonrpc": "2.0", "id": rid, "result": result}
        payload = pydantic_core.to_json(answer)
        reply.answered = True
        await send({"type": "http.response.start", "status": reply.status or status,
                    "headers": [*_JSON, (b"content-length", str(len(payload)).encode()), *reply.headers]})
        await send({"type": "http.response.body", "body": payload})
        return True


def _plain_envelope(meta: dict) -> bool:
    """The per-request envelope as the official clients send it; anything richer goes to the SDK."""
    if not _MODERN_META.issuperset(meta) or meta.get(CLIENT_CAPABILITIES_META_KEY) != {}:
        return False
    info = meta.get(CLIENT_INFO_META_KEY)
    return info is None or (type(info) is dict and len(info) == 2 and type(info.get("name")) is str
                            and type(info.get("version")) is str)


class _AcceptOnly:
    """Just enough of a request for the SDK's Accept parsing."""

    __slots__ = ("headers",)

    def __init__(self, accept: bytes) -> None:
        self.headers = {"accept": accept.decode("latin-1")}


async def _plain(send: Any, status: int, text: bytes) -> None:
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"text/plain; charset=utf-8"),
                            (b"content-length", str(len(text)).encode())]})
    await send({"type": "http.response.body", "body": text})


def build_mcp_app(callpath: CallPath, settings: Optional[ServeSettings] = None, **options: Any) -> McpBinding:
    """The MCP endpoint over ``callpath``, an ASGI app; the host enters its ``lifespan()``."""
    return McpBinding(callpath, settings, **options)


async def run_stdio(callpath: CallPath, *, authorization: Optional[str] = None) -> None:
    """Serve MCP over this process's stdin and stdout (desktop clients), as ``authorization``'s caller."""
    from mcp.server.stdio import stdio_server

    binding = McpBinding(callpath, stdio_authorization=authorization)
    async with stdio_server() as (read, write):
        await binding.server.run(read, write, binding.server.create_initialization_options())
