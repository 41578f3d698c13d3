"""Calls a running ``quellon-serve`` as its clients do, printed as tables: the official MCP client over
streamable HTTP on both protocol eras (the 2026-07-28 per-request envelope and the older handshake),
then a plain HTTP client on the REST routes.

    python examples/serve_client.py http://127.0.0.1:8000 <api key>

`scripts/demo.sh` ends by serving the demo connector and running this against it.
"""

from __future__ import annotations

import asyncio
import json
import sys
from typing import Any, Iterable, Optional, Sequence

import httpx2
from mcp import Client
from mcp.client.streamable_http import streamable_http_client
from mcp.shared.exceptions import MCPError


def table(title: str, headers: Sequence[str], rows: Iterable[Sequence[Any]], width: int = 58) -> None:
    rows = [[str(c) if len(str(c)) <= width else str(c)[: width - 3] + "..." for c in r] for r in rows]
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]
    line = "+" + "+".join("-" * (w + 2) for w in widths) + "+"
    print(f"\n{title}\n{line}\n| " + " | ".join(h.ljust(w) for h, w in zip(headers, widths)) + f" |\n{line}")
    for r in rows:
        print("| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |")
    print(line)


CALLS = [  # caller, tool, arguments
    ("api key", "orders.get", {"order_id": 1}),
    ("api key", "orders.summary", {"order_id": 2}),
    ("api key", "orders.get", {"order_id": "one"}),
    ("api key", "orders.create", {"sku": "WIDGET-9", "quantity": 1}),
    ("api key", "vendor.ping", {}),
    ("anonymous", "orders.get", {"order_id": 1}),
    ("api key", "no.such.tool", {}),
]


async def mcp_tables(base: str, key: str) -> None:
    for mode, era in (("2026-07-28", "2026-07-28, no handshake"), ("legacy", "initialize handshake")):
        rows = []
        for caller in ("anonymous", "api key"):
            auth = {"authorization": f"Bearer {key}"} if caller == "api key" else {}
            async with httpx2.AsyncClient(headers=auth) as http:
                async with Client(streamable_http_client(f"{base}/mcp", http_client=http), mode=mode) as c:
                    names = [t.name for t in (await c.list_tools()).tools]
                    rows.append((caller, "tools/list", "-", f"{len(names)} tools: {', '.join(names) or '-'}", ""))
                    for who, tool, args in CALLS:
                        if who != caller:
                            continue
                        try:
                            r = await c.call_tool(tool, args)
                        except MCPError as exc:
                            rows.append((caller, f"tools/call {tool}", "JSON-RPC error", f"{exc.code} {exc.message}", ""))
                            continue
                        sc = r.structured_content or {}
                        shown = sc.get("error_code") or json.dumps(sc)
                        rows.append((caller, f"tools/call {tool}", f"isError={r.is_error}", shown,
                                     (r.meta or {}).get("quellon/traceId", "")[:8]))
        table(f"MCP over streamable HTTP ({era}; official client)",
              ("caller", "request", "result", "content", "trace"), rows)


def rest_table(base: str, key: str) -> None:
    auth = {"authorization": f"Bearer {key}"}
    requests: list[tuple[str, str, Optional[dict], dict]] = [
        ("GET", "/healthz", None, {}),
        ("GET", "/readyz", None, {}),
        ("GET", "/v1/tools", None, {}),
        ("GET", "/v1/tools", None, auth),
        ("POST", "/v1/acme/orders.get", {"order_id": 1}, auth),
        ("POST", "/v1/acme/orders.get", {"order_id": 1}, {}),
        ("POST", "/v1/acme/orders.get", {"order_id": 0}, auth),
        ("POST", "/v1/acme/orders.create", {"sku": "WIDGET-9", "quantity": 1}, auth),
        ("POST", "/v1/acme/vendor.ping", {}, auth),
        ("POST", "/v1/acme/nothing", {}, auth),
    ]
    rows = []
    with httpx2.Client(base_url=base) as http:
        for method, path, body, headers in requests:
            r = http.request(method, path, json=body, headers=headers)
            doc = r.json()
            shown = doc.get("error_code") or (f"{len(doc['tools'])} tools" if isinstance(doc.get("tools"), list)
                                              else json.dumps(doc.get("data", doc)))
            extra = "; ".join(f"{h}: {r.headers[h]}" for h in ("www-authenticate", "retry-after") if h in r.headers)
            rows.append((method, path, "key" if headers else "-", r.status_code, shown, extra))
    table("REST (plain HTTP client)", ("method", "path", "auth", "status", "body", "headers"), rows)


async def main(base: str, key: str) -> None:
    await mcp_tables(base, key)
    rest_table(base, key)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    asyncio.run(main(sys.argv[1].rstrip("/"), sys.argv[2]))
