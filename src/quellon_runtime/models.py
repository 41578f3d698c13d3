"""Response envelope and error categories shared by all bindings."""

from __future__ import annotations

from enum import StrEnum
from typing import Any, Optional

from pydantic import BaseModel


class ErrorCategory(StrEnum):
    """Coarse class of a failure; the value is what metrics and clients see."""

    AUTH = "auth"
    BUSINESS = "business"
    VALIDATION = "validation"
    NOT_FOUND = "not_found"
    RATE_LIMIT = "rate_limit"
    UPSTREAM = "upstream"
    INTERNAL = "internal"


class ConnectorResponse(BaseModel):
    """Uniform result of one action call, successful or not."""

    success: bool
    data: Optional[dict[str, Any]] = None
    error_code: Optional[str] = None
    error_category: Optional[ErrorCategory] = None
    message: Optional[str] = None
    trace_id: Optional[str] = None
    details: Any = None
