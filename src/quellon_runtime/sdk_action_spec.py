"""Declarative description of one action, turned into a handler method."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Type

from pydantic import BaseModel


@dataclass(frozen=True)
class SdkActionSpec:
    """One entry of a connector's ``action_specs`` mapping.

    ``output_model`` may be left None; the connector's own ``output_model``
    is used then. The remaining fields are carried for the bindings.
    """

    input_model: Type[BaseModel]
    output_model: Optional[Type[BaseModel]] = None
    alias_tolerant: bool = False
    mcp_normalize: Optional[Callable[[Dict[str, Any]], None]] = None
    requires_auth: bool = True
    scopes: Optional[List[str]] = None
    throttle: Optional[Dict[str, Any]] = None
    deprecated: bool = False
