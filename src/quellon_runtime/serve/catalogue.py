"""The action catalogue: one tool per action of every served connector, with client-safe JSON Schemas."""

from __future__ import annotations

import copy
import inspect
import logging
import re
from dataclasses import dataclass
from typing import Any, Mapping, Optional

from pydantic import BaseModel

__all__ = ["ToolEntry", "Catalogue", "tool_schema", "THROTTLE_KEYS"]

logger = logging.getLogger("runtime.serve")

_NAME_BAD = re.compile(r"[^A-Za-z0-9_.-]")
_COMBINATORS = ("anyOf", "oneOf", "allOf")
# Shape of the action's ``throttle`` marker: at most ``max_requests`` calls per caller and action in
# any ``window_seconds`` (default 60).
THROTTLE_KEYS = {"max_requests", "window_seconds"}


@dataclass(frozen=True)
class ToolEntry:
    """One servable action."""

    name: str
    connector_id: str
    action: str
    title: str
    description: str
    input_schema: dict
    output_schema: Optional[dict]
    scopes: tuple[str, ...]
    throttle: Optional[dict]
    requires_auth: bool
    deprecated: bool
    alias_tolerant: bool
    mcp_normalize: bool


def _split_ref_siblings(node: Any) -> Any:
    """``{"$ref": r, k: v}`` -> ``{"allOf": [{"$ref": r}], k: v}``: many clients drop a $ref's siblings."""
    if isinstance(node, dict):
        out = {k: _split_ref_siblings(v) for k, v in node.items()}
        if "$ref" in out and len(out.keys() - {"$ref", "$defs"}) > 0:
            ref = out.pop("$ref")
            out["allOf"] = [{"$ref": ref}, *out.get("allOf", ())]
        return out
    if isinstance(node, list):
        return [_split_ref_siblings(v) for v in node]
    return node


def _object_root(schema: dict, where: str) -> dict:
    """Make the root a plain object schema (no top-level combinator, no root $ref)."""
    defs = schema.get("$defs", {})
    ref = schema.get("$ref")
    if isinstance(ref, str) and ref.startswith("#/$defs/") and set(schema) <= {"$ref", "$defs"}:
        target = defs.get(ref[len("#/$defs/"):])
        if isinstance(target, dict) and target.get("type") == "object":
            schema = {**copy.deepcopy(target), "$defs": defs}  # recursive refs still find their target
    if schema.get("type") != "object" or any(k in schema for k in _COMBINATORS) or "$ref" in schema:
        logger.warning("Input of %s is not a plain object model; it is offered as a free-form object", where)
        return {"type": "object", "additionalProperties": True}
    schema.setdefault("properties", {})
    return schema


def tool_schema(model: type[BaseModel], *, mode: str = "validation", drop: str | None = "action") -> dict:
    """JSON Schema 2020-12 of ``model`` as tool clients accept it: object root, no top-level
    combinator, no $ref with siblings, and the ``drop`` property (the action discriminator) removed."""
    raw = model.model_json_schema(mode=mode)  # type: ignore[arg-type]
    schema = _object_root(_split_ref_siblings(raw), model.__qualname__)
    if drop and drop in schema.get("properties", {}):
        schema["properties"] = {k: v for k, v in schema["properties"].items() if k != drop}
        if "required" in schema:
            req = [r for r in schema["required"] if r != drop]
            if req:
                schema["required"] = req
            else:
                del schema["required"]
    return schema


def _check_throttle(marker: Any, where: str) -> Optional[dict]:
    if marker is None:
        return None
    extra = set(marker) - THROTTLE_KEYS
    ok = not extra and "max_requests" in marker
    ok = ok and all(type(marker.get(k, 60)) is int and marker.get(k, 60) > 0 for k in THROTTLE_KEYS)
    if not ok:
        raise ValueError(
            f"{where}: throttle must be {{'max_requests': int > 0, 'window_seconds': int > 0 (default 60)}}"
        )
    return {"max_requests": marker["max_requests"], "window_seconds": marker.get("window_seconds", 60)}


def _doc(fn: Any, action: str, connector_id: str) -> tuple[str, str]:
    doc = inspect.getdoc(fn) or ""
    if not doc:
        return action, f"{action} ({connector_id})"
    return doc.splitlines()[0].strip().rstrip("."), doc


class Catalogue:
    """Tools of the given connectors (connector id -> instance), sorted by connector id and action.

    Tool names are the action names; an action name served by two connectors is qualified with its
    connector id for both. Names are limited to ``[A-Za-z0-9_.-]`` and 128 characters.
    """

    def __init__(self, connectors: Mapping[str, Any]) -> None:
        found: list[tuple[str, str, Any, Any]] = []
        for cid in sorted(connectors):
            conn = connectors[cid]
            for action, meta in sorted(type(conn).ql_action_metas().items()):
                found.append((cid, action, conn, meta))
        counts: dict[str, int] = {}
        for _, action, _, _ in found:
            counts[action] = counts.get(action, 0) + 1
        entries: list[ToolEntry] = []
        by_name: dict[str, ToolEntry] = {}
        self.metas: dict[str, Any] = {}
        for cid, action, conn, meta in found:
            raw = action if counts[action] == 1 else f"{cid}.{action}"
            name = _NAME_BAD.sub("_", raw)[:128]
            where = f"{cid}.{action}"
            if name in by_name:
                raise ValueError(f"{where}: tool name {name!r} is already taken by another action")
            scopes = tuple(meta.scopes or ())
            if scopes and not meta.requires_auth:
                raise ValueError(f"{where}: declares scopes but requires_auth=False; scopes need a verified caller")
            title, description = _doc(getattr(type(conn), meta.fn_name, None), action, cid)
            entry = ToolEntry(
                name=name,
                connector_id=cid,
                action=action,
                title=title,
                description=description,
                input_schema=tool_schema(meta.input_model),
                output_schema=tool_schema(meta.output_model, mode="serialization", drop=None),
                scopes=scopes,
                throttle=_check_throttle(meta.throttle, where),
                requires_auth=bool(meta.requires_auth),
                deprecated=bool(meta.deprecated),
                alias_tolerant=bool(meta.alias_tolerant),
                mcp_normalize=meta.mcp_normalize is not None,
            )
            entries.append(entry)
            by_name[name] = entry
            self.metas[name] = meta
        self.entries: tuple[ToolEntry, ...] = tuple(entries)
        self._by_name = by_name
        self.by_route: dict[tuple[str, str], ToolEntry] = {(e.connector_id, e.action): e for e in entries}

    def get(self, name: str) -> Optional[ToolEntry]:
        return self._by_name.get(name)

    def __len__(self) -> int:
        return len(self.entries)
