"""Discovery of installed connectors: entry points (and a fallback module scan) filtered by QL_ALLOWED_CONNECTORS."""

import logging
from importlib.metadata import EntryPoint
from importlib.metadata import entry_points as entry_points

logger: logging.Logger

def auto_register() -> list[str]:
    """Import the logic module of every allowed connector package, from entry points of the group
    "quellon.connectors" first, then by the module name <prefix><name>.logic; return the imported
    module paths in that order.
    """

def _parse_allowed_names() -> set[str]: ...
def _module_prefix() -> str | None: ...
def _logic_module_dotted_path(ep: EntryPoint) -> str: ...
def _should_skip_ep(ep: EntryPoint, allowed: set[str], prefix: str | None) -> bool: ...
