"""The Acme connector: a small in-memory order service with one action per situation the demo shows."""

from __future__ import annotations

from typing import Any, Dict, Literal, Optional

import pybreaker
from pydantic import BaseModel, Field

from quellon_runtime.connector_base import ConnectorBase, ql_action
from quellon_runtime.models import ErrorCategory


class OutOfStock(Exception):
    """The warehouse cannot fill the order."""


class VendorUnavailable(Exception):
    """The vendor API did not answer."""


class GetOrder(BaseModel):
    action: Literal["orders.get"] = "orders.get"
    order_id: int = Field(gt=0)


class CreateOrder(BaseModel):
    action: Literal["orders.create"] = "orders.create"
    sku: str
    quantity: int = Field(gt=0, le=100)


class OrderSummary(BaseModel):
    action: Literal["orders.summary"] = "orders.summary"
    order_id: int


class Ping(BaseModel):
    action: Literal["vendor.ping"] = "vendor.ping"


class WhoAmI(BaseModel):
    action: Literal["vendor.whoami"] = "vendor.whoami"


class AcmeResult(BaseModel):
    ok: bool = True
    order: Optional[Dict[str, Any]] = None
    note: str = ""


_ORDERS: Dict[int, Dict[str, Any]] = {
    1: {"id": 1, "sku": "WIDGET-9", "quantity": 3, "status": "shipped"},
    2: {"id": 2, "sku": "GADGET-2", "quantity": 1, "status": "open"},
}
_STOCK = {"WIDGET-9": 50, "GADGET-2": 0}


class AcmeConnector(ConnectorBase):
    connector_id = "acme"
    output_model = AcmeResult
    error_map = {
        OutOfStock: (ErrorCategory.BUSINESS, "OUT_OF_STOCK"),
        VendorUnavailable: (ErrorCategory.UPSTREAM, "VENDOR_UNAVAILABLE"),
        # Refusals of this connector's open breaker: tell callers to come back later.
        pybreaker.CircuitBreakerError: (ErrorCategory.UPSTREAM, "CIRCUIT_OPEN"),
    }

    @ql_action("orders.get", scopes=["orders:read"])
    async def get_order(self, params: GetOrder, *, trace_id: str) -> AcmeResult:
        order = _ORDERS.get(params.order_id)
        if order is None:
            return AcmeResult(ok=False, note=f"no order {params.order_id}")
        return AcmeResult(order=dict(order))

    @ql_action("orders.create", scopes=["orders:write"])
    async def create_order(self, params: CreateOrder, *, trace_id: str) -> AcmeResult:
        if _STOCK.get(params.sku, 0) < params.quantity:
            raise OutOfStock(f"only {_STOCK.get(params.sku, 0)} of {params.sku} left")
        _STOCK[params.sku] -= params.quantity
        order: Dict[str, Any] = {"id": max(_ORDERS) + 1, "sku": params.sku, "quantity": params.quantity, "status": "open"}
        _ORDERS[order["id"]] = order
        return AcmeResult(order=order)

    @ql_action("orders.summary", scopes=["orders:read"])
    async def summary(self, params: OrderSummary, *, trace_id: str) -> AcmeResult:
        # Composes another action through the full pipeline, with the caller's identity.
        got = await self.call_action("orders.get", {"order_id": params.order_id})
        if not got.order:
            return AcmeResult(ok=False, note=got.note)
        o = got.order
        return AcmeResult(order=o, note=f"{o['quantity']} x {o['sku']} ({o['status']})")

    @ql_action("vendor.ping")
    async def ping(self, params: Ping, *, trace_id: str) -> AcmeResult:
        raise VendorUnavailable("vendor API timed out")

    @ql_action("vendor.whoami")
    async def whoami(self, params: WhoAmI, *, trace_id: str) -> AcmeResult:
        # The vendor token comes from the configured auth provider (and its secret store).
        headers = await self.get_auth_headers()
        shown = {k: (v[:12] + "...") if len(v) > 12 else v for k, v in (headers or {}).items()}
        return AcmeResult(note=f"headers sent: {shown}")
