"""Serve connectors over MCP and REST: one call path, thin protocol adapters, one command.

The call path and the catalogue need only the core; the servers need the ``serve`` extra
(``pip install "quellon-runtime[serve]"``: the ``mcp`` SDK, Starlette and uvicorn).
"""

from __future__ import annotations

import importlib
from types import ModuleType

from .callpath import KINDS, CallPath, Outcome, challenge
from .catalogue import Catalogue, ToolEntry, tool_schema
from .settings import ServeSettings

__all__ = ["CallPath", "Catalogue", "KINDS", "Outcome", "ServeSettings", "ToolEntry", "challenge", "require", "tool_schema"]


def require(module: str) -> ModuleType:
    """Import a module of the ``serve`` extra, or fail with an ImportError that names the extra."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(
            f"{module} is not installed; serving connectors needs the serve extra: "
            'pip install "quellon-runtime[serve]"'
        ) from exc
