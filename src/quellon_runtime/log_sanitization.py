"""Per-call logging context: the connector id a log record belongs to."""

from __future__ import annotations

import logging
from contextvars import ContextVar, Token
from typing import Optional

__all__ = [
    "ConnectorIdLogFilter",
    "get_log_connector_id",
    "reset_log_connector_id",
    "set_log_connector_id",
]

_log_connector_id: ContextVar[Optional[str]] = ContextVar("ql_log_connector_id", default=None)


def set_log_connector_id(connector_id: Optional[str]) -> "Token[Optional[str]]":
    """Pin the connector id for the current context; returns the reset token."""
    return _log_connector_id.set(connector_id)


def reset_log_connector_id(token: "Token[Optional[str]]") -> None:
    """Restore the connector id that was current before ``set_log_connector_id``."""
    _log_connector_id.reset(token)


def get_log_connector_id() -> Optional[str]:
    return _log_connector_id.get()


class ConnectorIdLogFilter(logging.Filter):
    """Stamps ``connector_id`` on records that do not carry one already.

    Attach it to a handler so that format strings may use ``%(connector_id)s``
    for records from any logger, including vendor SDKs called by an action.
    """

    def filter(self, record: logging.LogRecord) -> bool:
        if not hasattr(record, "connector_id"):
            record.connector_id = _log_connector_id.get()
        return True
