"""REST binding: ``POST /v1/{connector}/{action}``, the catalogue, an OpenAPI 3.1 document, health routes.

Action calls are answered by a small ASGI handler in front of the Starlette app (one dict lookup
on the path); everything else is ordinary Starlette routing.
"""

from __future__ import annotations

import copy
import logging
import math
from typing import Any, Optional

from pydantic_core import from_json, to_json

from . import require
from .callpath import KINDS, CallPath, Outcome
from .catalogue import ToolEntry
from .settings import ServeSettings

__all__ = ["RestBinding", "build_rest_app", "openapi_document", "tool_listing"]

logger = logging.getLogger("runtime.serve")

_JSON = (b"content-type", b"application/json")
_NO_STORE = (b"cache-control", b"no-store")


def tool_listing(entry: ToolEntry) -> dict:
    """A catalogue entry as the REST catalogue route shows it."""
    return {
        "name": entry.name,
        "connector": entry.connector_id,
        "action": entry.action,
        "path": f"/v1/{entry.connector_id}/{entry.action}",
        "title": entry.title,
        "description": entry.description,
        "inputSchema": entry.input_schema,
        "outputSchema": entry.output_schema,
        "scopes": list(entry.scopes),
        "throttle": entry.throttle,
        "requiresAuth": entry.requires_auth,
        "deprecated": entry.deprecated,
    }


def _hoist_defs(schema: dict, prefix: str, components: dict) -> dict:
    """Move a schema's ``$defs`` into ``components/schemas`` under ``prefix.`` and point its refs there."""
    schema = copy.deepcopy(schema)
    defs = schema.pop("$defs", {})

    def fix(node: Any) -> Any:
        if isinstance(node, dict):
            ref = node.get("$ref")
            if isinstance(ref, str) and ref.startswith("#/$defs/"):
                node["$ref"] = f"#/components/schemas/{prefix}.{ref[len('#/$defs/'):]}"
            for v in node.values():
                fix(v)
        elif isinstance(node, list):
            for v in node:
                fix(v)
        return node

    for name, d in defs.items():
        components[f"{prefix}.{name}"] = fix(d)
    return fix(schema)


def _envelope_schema(data: Optional[dict]) -> dict:
    nullable_str = {"type": ["string", "null"]}
    return {
        "type": "object",
        "required": ["success", "trace_id"],
        "properties": {
            "success": {"type": "boolean"},
            "data": data if data is not None else {"type": ["object", "null"]},
            "error_code": nullable_str,
            "error_category": nullable_str,
            "message": nullable_str,
            "trace_id": nullable_str,
            "details": {},
        },
    }


_ERRORS = {
    "401": "No valid bearer credential (see WWW-Authenticate)",
    "403": "The caller lacks a required scope or the policy denied the call",
    "404": "Not found",
    "422": "Input validation failed, or the action refused the request",
    "429": "Rate limited (see Retry-After)",
    "500": "Internal error (the message is generic; quote the trace id)",
    "502": "The upstream service failed",
    "503": "Temporarily refused (see Retry-After)",
}


def openapi_document(entries: tuple[ToolEntry, ...], *, title: str = "Quellon connectors", version: str = "1") -> dict:
    """OpenAPI 3.1 description of the action routes, generated from the action models."""
    components: dict[str, Any] = {"Envelope": _envelope_schema(None)}
    paths: dict[str, Any] = {}
    err = {"$ref": "#/components/schemas/Envelope"}
    for e in entries:
        body = _hoist_defs(e.input_schema, f"{e.name}.input", components)
        out = _hoist_defs(e.output_schema, f"{e.name}.output", components) if e.output_schema else None
        op: dict[str, Any] = {
            "operationId": e.name,
            "summary": e.title,
            "description": e.description,
            "tags": [e.connector_id],
            "requestBody": {"required": True, "content": {"application/json": {"schema": body}}},
            "responses": {
                "200": {"description": "The action's result", "content": {"application/json": {"schema": _envelope_schema(out)}}},
                **{s: {"description": d, "content": {"application/json": {"schema": err}}} for s, d in _ERRORS.items()},
            },
            "security": [{"bearer": list(e.scopes)}] if e.requires_auth else [{}, {"bearer": []}],
        }
        if e.deprecated:
            op["deprecated"] = True
        if e.throttle:
            op["x-throttle"] = e.throttle
        paths[f"/v1/{e.connector_id}/{e.action}"] = {"post": op}
    return {
        "openapi": "3.1.0",
        "jsonSchemaDialect": "https://json-schema.org/draft/2020-12/schema",
        "info": {"title": title, "version": version},
        "paths": paths,
        "components": {"schemas": components, "securitySchemes": {"bearer": {"type": "http", "scheme": "bearer"}}},
    }


class RestBinding:
    """ASGI app: action calls handled here, everything else by the Starlette routes."""

    def __init__(self, callpath: CallPath, settings: ServeSettings) -> None:
        starlette = require("starlette.applications")
        routing = require("starlette.routing")
        responses = require("starlette.responses")
        exceptions = require("starlette.exceptions")
        self.callpath = callpath
        self.settings = settings
        self.max_body = settings.max_body_bytes
        self.draining = False
        self._paths = {
            f"/v1/{e.connector_id}/{e.action}": e.name for e in callpath.catalogue.entries
        }
        self._openapi = to_json(openapi_document(callpath.catalogue.entries))
        JSONResponse, Response = responses.JSONResponse, responses.Response

        async def not_found(request: Any, exc: Any) -> Any:
            return JSONResponse({"success": False, "error_code": "NOT_FOUND", "message": exc.detail},
                                status_code=exc.status_code, headers=getattr(exc, "headers", None))

        async def listing(request: Any) -> Any:
            caller, rejected = await callpath.authenticate(request.headers.get("authorization"), protocol="rest")
            if rejected is not None:
                return Response(to_json(rejected.body), rejected.status, headers=self._headers(rejected, text=True),
                                media_type="application/json")
            tools = [tool_listing(e) for e in callpath.visible_tools(caller)]
            return Response(to_json({"tools": tools}), media_type="application/json")

        async def openapi(request: Any) -> Any:
            return Response(self._openapi, media_type="application/json")

        async def healthz(request: Any) -> Any:
            return JSONResponse({"status": "ok"})

        async def readyz(request: Any) -> Any:
            if self.draining:
                return JSONResponse({"status": "draining"}, status_code=503)
            return JSONResponse({"status": "ready", "tools": len(callpath.catalogue)})

        self.app = starlette.Starlette(
            routes=[
                routing.Route("/v1/tools", listing, methods=["GET"]),
                routing.Route("/openapi.json", openapi, methods=["GET"]),
                routing.Route("/healthz", healthz, methods=["GET"]),
                routing.Route("/readyz", readyz, methods=["GET"]),
            ],
            exception_handlers={exceptions.HTTPException: not_found},
        )

    @staticmethod
    def _headers(out: Outcome, *, text: bool = False) -> Any:
        """Response headers of an outcome: trace id, challenge, Retry-After, Deprecation."""
        h: list[tuple[Any, Any]] = [(b"x-trace-id", (out.trace_id or "").encode())] if out.trace_id else []
        if out.challenge:
            h.append((b"www-authenticate", out.challenge.encode()))
        if out.retry_after is not None:
            h.append((b"retry-after", str(max(1, math.ceil(out.retry_after))).encode()))
        if out.deprecated:
            h.append((b"deprecation", b"true"))
        if text:
            return {k.decode(): v.decode() for k, v in h}
        return h

    async def __call__(self, scope: dict, receive: Any, send: Any) -> None:
        # an action call is handled right here (a coroutine less per call); the rest is Starlette's
        if scope["type"] != "http" or scope["method"] != "POST":
            await self.app(scope, receive, send)
            return
        path = scope["path"]
        tool = self._paths.get(path)
        if tool is None:
            if not path.startswith("/v1/"):
                await self.app(scope, receive, send)
                return
            tool = "\x00" + path
        auth = None
        length = -1
        for k, v in scope["headers"]:
            if k == b"authorization":
                auth = v.decode("latin-1")
            elif k == b"content-length":
                try:
                    length = int(v)
                except ValueError:
                    length = self.max_body + 1
        cp = self.callpath
        if length > self.max_body:
            out = cp.reject("validation", "body_too_large", "rest", "REQUEST_TOO_LARGE",
                            f"The request body exceeds {self.max_body} bytes.", category="business")
            await self._send(send, out, 413)
            return
        msg = await receive()
        if msg["type"] == "http.disconnect":
            return
        raw = msg.get("body", b"")
        size = len(raw)
        if msg.get("more_body", False) and size <= self.max_body:  # a body in several messages
            chunks = [raw]
            more = True
            while more:
                msg = await receive()
                if msg["type"] == "http.disconnect":
                    return
                chunk = msg.get("body", b"")
                size += len(chunk)
                if size > self.max_body:
                    break
                chunks.append(chunk)
                more = msg.get("more_body", False)
            raw = b"".join(chunks)
        if size > self.max_body:
            out = cp.reject("validation", "body_too_large", "rest", "REQUEST_TOO_LARGE",
                            f"The request body exceeds {self.max_body} bytes.", category="business")
            await self._send(send, out, 413)
            return
        try:
            args = from_json(raw) if raw.strip() else {}
        except ValueError:
            out = cp.reject("validation", "malformed_json", "rest", "MALFORMED_REQUEST",
                            "The request body is not valid JSON.", category="business")
            await self._send(send, out, 400)
            return
        if not isinstance(args, dict):
            out = cp.reject("validation", "not_an_object", "rest", "VALIDATION_ERROR",
                            "The request body must be a JSON object.", category="business")
            await self._send(send, out, 422)
            return
        client = scope.get("client")
        out = await cp.call(tool, args, authorization=auth, protocol="rest", client=client[0] if client else None)
        await self._send(send, out, KINDS[out.kind])

    async def _send(self, send: Any, out: Outcome, status: int) -> None:
        body = to_json(out.body)
        headers = [_JSON, _NO_STORE, (b"content-length", str(len(body)).encode())]
        if out.challenge or out.retry_after is not None or out.deprecated or not out.trace_id:
            headers += self._headers(out)
        else:  # the common answer: only the trace id
            headers.append((b"x-trace-id", out.trace_id.encode()))
        await send({"type": "http.response.start", "status": status, "headers": headers})
        await send({"type": "http.response.body", "body": body})


def build_rest_app(callpath: CallPath, settings: ServeSettings) -> RestBinding:
    """The REST binding as an ASGI app."""
    return RestBinding(callpath, settings)
