"""Tenant resolution for connector instances pinned to one tenant."""

from __future__ import annotations

from typing import Optional, Tuple

__all__ = ["TenantMismatchError", "TenantIdentityMismatchError", "effective_run_tenant_id"]


class TenantMismatchError(Exception):
    """A call asked for a tenant other than the one its instance is pinned to."""

    def __init__(self, pinned: Optional[str], requested: Optional[str]) -> None:
        # Both values in args keeps the exception picklable and copyable.
        super().__init__(pinned, requested)
        self.pinned = pinned
        self.requested = requested

    def __str__(self) -> str:
        # The text reaches the caller's envelope, so it names only what the
        # caller asked for, never the tenant the instance belongs to.
        return (
            f"Requested tenant {self.requested!r} does not match the tenant "
            "this connector instance is bound to"
        )


class TenantIdentityMismatchError(Exception):
    """The caller's verified identity belongs to another tenant than requested."""


def effective_run_tenant_id(
    *, pinned: Optional[str], caller: Optional[str]
) -> Tuple[Optional[str], Optional[TenantMismatchError]]:
    """Return ``(effective tenant, mismatch or None)`` for one call.

    Without a pin the caller's tenant is used. With a pin, a caller that names
    no tenant or the same tenant runs as the pinned tenant; any other tenant is
    a mismatch (returned, not raised) and the pinned tenant stays effective.
    Empty strings count as no tenant.
    """
    if not pinned:
        return (caller or None), None
    if not caller or caller == pinned:
        return pinned, None
    return pinned, TenantMismatchError(pinned, caller)
