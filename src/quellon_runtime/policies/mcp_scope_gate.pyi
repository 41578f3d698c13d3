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

def load_scope_map_from_env() -> dict[str, str]: ...
def load_scope_policy_default_from_env() -> str:
    """"allow" or "deny"."""

def _truthy_default_mode(val: str) -> str: ...
@lru_cache(maxsize=None)
def _warn_implicit_scope_default() -> None: ...
def resolve_required_scope_for_action(
    *,
    connector_id: str,
    action: str,
    action_scope_map: Mapping[str, str],
    default_mode: str,
) -> str | None: ...
def action_allowed_for_identity_scopes(
    *,
    connector_id: str,
    action: str,
    principal: str | None,
    tenant_id: str | None,
    scopes: tuple[str, ...] | None,
    action_scope_map: Mapping[str, str],
    default_mode: str,
) -> bool: ...

class ScopePolicyHook(PolicyHook):
    """Denies actions whose required scope the caller does not hold."""

    def __init__(self, action_scope_map: Mapping[str, str], *, default_mode: str = "deny") -> None: ...
    def check(self, context: PolicyContext) -> None: ...
