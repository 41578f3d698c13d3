"""Scope-based policy for MCP callers: an action runs only when the caller holds the scope mapped to it."""

import logging
from collections.abc import Mapping
from functools import lru_cache
from typing import Final

from quellon_runtime.policy import PolicyContext, PolicyHook

__all__ = [
    "DEFAULT_SCOPE_MODE_ALLOW",
    "DEFAULT_SCOPE_MODE_DENY",
    "ScopePolicyHook",
    "action_allowed_for_identity_scopes",
    "load_scope_map_from_env",
    "load_scope_policy_default_from_env",
    "resolve_required_scope_for_action",
]

DEFAULT_SCOPE_MODE_ALLOW: Final = "allow"
DEFAULT_SCOPE_MODE_DENY: Final = "deny"
logger: logging.Logger

def load_scope_map_from_env() -> dict[str, str]:
    """Action scope map from QL_MCP_ACTION_SCOPE_MAP_JSON, consulting .env files when the variable is empty."""
def load_scope_policy_default_from_env() -> str:
    """Default mode for unmapped actions from QL_MCP_SCOPE_GATE_DEFAULT ("deny" when unset)."""

def _truthy_default_mode(val: str) -> str: ...
@lru_cache(maxsize=None)
def _warn_implicit_scope_default() -> None: ...
def resolve_required_scope_for_action(
    *,
    connector_id: str,
    action: str,
    action_scope_map: Mapping[str, str],
    default_mode: str,
) -> str | None:
    """The scope the action requires, or None when it requires none."""
def action_allowed_for_identity_scopes(
    *,
    connector_id: str,
    action: str,
    principal: str | None,
    tenant_id: str | None,
    scopes: tuple[str, ...] | None,
    action_scope_map: Mapping[str, str],
    default_mode: str,
) -> bool:
    """Whether a caller with these scopes may run the action."""

class ScopePolicyHook(PolicyHook):
    """Denies MCP action calls whose caller lacks the scope the action requires."""

    def __init__(self, action_scope_map: Mapping[str, str], *, default_mode: str = "deny") -> None:
        """Keep the action scope map and the mode for actions the map does not name."""
    def check(self, context: PolicyContext) -> None:
        """Raise PolicyDenied unless the caller holds the scope the action requires."""
