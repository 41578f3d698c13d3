"""Demo host: the request road of one host process, end to end, printed as tables.

It plays the host service that loads quellon_runtime: discovers the installed connector package
(`quellon_acme`, found through its entry point), builds a connector with a scope policy and an auth
provider whose token comes from a chain of secret stores (one of them AWS Secrets Manager, served
by a local moto server), then serves requests the way a binding does: global token bucket, bearer
verification (a JWT and an API key), the per-identity limiter, and `run`. Last, the MCP client
side: configuration from the environment, a `WWW-Authenticate` challenge, and an OAuth redirect
received by the loopback listener from an HTTP client playing the browser.

Run it with `bash scripts/demo.sh` from the repository root.
"""

from __future__ import annotations

import asyncio
import json
import logging
import os
import subprocess
import sys
import textwrap
import time
import urllib.request
from typing import Any, Iterable, Optional, Sequence

# Configuration a host would take from its deployment, set before the runtime is imported
# (the global token bucket reads its variables at import).
DEMO_ENV = {
    "QL_ALLOWED_CONNECTORS": "acme",
    "QL_THROTTLE_BURST": "20",
    "QL_THROTTLE_REFILL_RATE": "5",
    "QL_THROTTLE_PER_IDENTITY_ENABLED": "true",
    "QL_THROTTLE_PER_IDENTITY_MAX_REQUESTS": "8",
    "QL_THROTTLE_PER_IDENTITY_WINDOW_SECONDS": "60",
    "QL_JWT_AUDIENCE": "quellon-demo",
    "QL_JWT_ISSUER": "https://issuer.demo.invalid",
    "QL_DEMO_API_KEY_SCOPES": "orders:read",
    "QL_MCP_ACTION_SCOPE_MAP_JSON": json.dumps(
        {"acme.orders.get": "orders:read", "acme.orders.summary": "orders:read", "acme.orders.create": "orders:write"}
    ),
    "QL_MCP_SCOPE_GATE_DEFAULT": "allow",
    "QL_REST_LOAD_DOTENV": "false",
    "QL_MCP_SERVER_URL": "https://mcp.demo.invalid/mcp",
    "QL_MCP_OAUTH_ENABLED": "true",
    "QL_MCP_OAUTH_SCOPES": "tools:read tools:call",
    "QL_MCP_OAUTH_CLIENT_ID": "demo-client",
    "AWS_ACCESS_KEY_ID": "demo",
    "AWS_SECRET_ACCESS_KEY": "demo",
    "AWS_DEFAULT_REGION": "us-east-1",
}
os.environ.update(DEMO_ENV)

import jwt  # noqa: E402

from quellon_runtime.auth.fixed_token import FixedTokenAuthProvider  # noqa: E402
from quellon_runtime.caller_profile import verify_bearer_token_and_identity  # noqa: E402
from quellon_runtime.connector_base import get_connector_index  # noqa: E402
from quellon_runtime.connector_index import auto_register  # noqa: E402
from quellon_runtime.mcp_client.challenges import parse_www_authenticate  # noqa: E402
from quellon_runtime.mcp_client.env_settings import config_from_env  # noqa: E402
from quellon_runtime.mcp_client.redirect_catcher import LoopbackRedirectCatcher  # noqa: E402
from quellon_runtime.policies.mcp_scope_gate import (  # noqa: E402
    ScopePolicyHook,
    load_scope_map_from_env,
    load_scope_policy_default_from_env,
)
from quellon_runtime.secrets import SecretNotFoundError, SecretProvider  # noqa: E402
from quellon_runtime.secrets.chained import ChainedSecretProvider  # noqa: E402
from quellon_runtime.throttle import (  # noqa: E402
    ThrottleExceeded,
    get_per_identity_throttler,
    global_throttler,
    identity_throttle_key,
    per_identity_throttle_enabled,
    throttle_backend,
)

JWT_SECRET = "demo-signing-secret-that-is-long-enough-for-hs256"
API_KEY = "demo-api-key-0123456789"
VENDOR_TOKEN = "acme-vendor-token-7f3a9c21"


# ------------------------------------------------------------------ printing


def table(title: str, headers: Sequence[str], rows: Iterable[Sequence[Any]], width: int = 46) -> None:
    rows = [[_cell(v, width) for v in r] for r in rows]
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]
    line = "+".join("-" * (w + 2) for w in widths)
    print(f"\n{title}\n+{line}+")
    print("| " + " | ".join(h.ljust(w) for h, w in zip(headers, widths)) + " |")
    print(f"+{line}+")
    for r in rows:
        print("| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |")
    print(f"+{line}+")


def _cell(v: Any, width: int) -> str:
    text = "" if v is None else str(v)
    text = text.replace("\n", " ")
    return text if len(text) <= width else text[: width - 3] + "..."


def envelope_row(step: str, resp: Any) -> list[Any]:
    shown = resp.data if resp.success else resp.message
    extra = ""
    if resp.details is not None:
        extra = json.dumps(resp.details, default=str)
    return [
        step,
        "yes" if resp.success else "no",
        resp.error_code or "",
        resp.error_category.value if resp.error_category else "",
        json.dumps(shown, default=str) if isinstance(shown, dict) else shown,
        extra,
        resp.trace_id[:8] if resp.trace_id else "",
    ]


ENVELOPE_HEADERS = ["request", "ok", "error_code", "category", "data / message", "details", "trace"]


# ------------------------------------------------------------------ secret stores


class StaticSecrets(SecretProvider):
    """A first store in the chain that holds only some keys (say, local overrides)."""

    def __init__(self, values: dict[str, str]) -> None:
        self._values = dict(values)

    def get_secret(self, key: str) -> str:
        try:
            return self._values[key]
        except KeyError:
            raise SecretNotFoundError(key) from None


def start_secret_store() -> tuple[Any, Optional[Any]]:
    """A local AWS Secrets Manager (moto) holding the vendor token bundle, and the provider over it."""
    try:
        import boto3  # type: ignore[import-untyped]
        from moto.server import ThreadedMotoServer
    except ImportError:
        print("(boto3/moto not installed: the chain uses the static store only)")
        return None, None
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    os.environ["AWS_ENDPOINT_URL"] = f"http://{host}:{port}"
    boto3.client("secretsmanager", region_name="us-east-1").create_secret(
        Name="acme/prod", SecretString=json.dumps({"acme_token": VENDOR_TOKEN})
    )
    from quellon_runtime.secrets.aws import AwsSecretsManagerProvider

    return server, AwsSecretsManagerProvider("acme/prod", region="us-east-1")


# ------------------------------------------------------------------ the binding


class Binding:
    """What a host's REST/MCP binding does per request, in order."""

    def __init__(self, connector: Any) -> None:
        self.connector = connector

    async def handle(self, bearer: str, payload: dict[str, Any]) -> tuple[str, Any]:
        try:
            await global_throttler.acquire()
        except ThrottleExceeded as exc:
            return "429 global", str(exc)
        ok, profile = verify_bearer_token_and_identity(
            bearer,
            api_key=API_KEY,
            jwt_secret=JWT_SECRET,
            api_key_scopes_env="QL_DEMO_API_KEY_SCOPES",
            api_key_auth_type="api_key",
        )
        if not ok or profile is None:
            return "401", "bearer credential rejected"
        if per_identity_throttle_enabled():
            key = identity_throttle_key(profile.principal, fallback="anonymous")
            verdict = get_per_identity_throttler().consume(key)
            if not verdict.allowed:
                return "429 identity", f"retry after {verdict.retry_after_seconds}s"
        resp = await self.connector.run(
            payload, principal=profile.principal, tenant_id=profile.tenant_id, scopes=profile.scopes
        )
        return "200", resp


def make_jwt(sub: str, tenant: str, scopes: str, **overrides: Any) -> str:
    now = int(time.time())
    claims = {
        "sub": sub,
        "tenant_id": tenant,
        "scope": scopes,
        "aud": DEMO_ENV["QL_JWT_AUDIENCE"],
        "iss": DEMO_ENV["QL_JWT_ISSUER"],
        "iat": now,
        "exp": now + 600,
    }
    claims.update(overrides)
    return jwt.encode(claims, JWT_SECRET, algorithm="HS256")


class Replica:
    """A second host process (examples/replica.py) sharing this one's Redis throttle backend."""

    def __init__(self) -> None:
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "replica.py")
        self.proc = subprocess.Popen(
            [sys.executable, script], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=dict(os.environ)
        )
        self.pid = json.loads(self._line())["pid"]

    def _line(self) -> str:
        assert self.proc.stdout is not None
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError("the second replica exited")
        return line

    def ask(self, command: str) -> dict[str, Any]:
        assert self.proc.stdin is not None
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        reply: dict[str, Any] = json.loads(self._line())
        return reply

    def close(self) -> None:
        if self.proc.stdin is not None:
            self.proc.stdin.close()
        self.proc.wait(10)


# ------------------------------------------------------------------ the road


async def connector_road() -> None:
    modules = auto_register()
    table(
        "1. Discovery (entry points of 'quellon.connectors', allow-list QL_ALLOWED_CONNECTORS=acme)",
        ["imported module", "connector ids now registered"],
        [[m, ", ".join(sorted(get_connector_index()))] for m in modules],
    )
    acme_cls = get_connector_index()["acme"]
    table(
        "   Declared actions",
        ["action", "method", "input model", "scopes"],
        [[n, m.fn_name, m.input_model.__name__, m.scopes] for n, m in acme_cls.ql_action_metas().items()],
    )

    moto_server, aws = start_secret_store()
    stores: list[SecretProvider] = [StaticSecrets({"unrelated": "x"})]
    if aws is not None:
        stores.append(aws)
    else:
        stores.append(StaticSecrets({"acme_token": VENDOR_TOKEN}))
    secrets = ChainedSecretProvider(*stores)
    auth = FixedTokenAuthProvider(secret_provider=secrets, secret_key="acme_token")
    hook = ScopePolicyHook(load_scope_map_from_env(), default_mode=load_scope_policy_default_from_env())
    connector = acme_cls(
        secret_provider=secrets, policy_hook=hook, auth_provider=auth, tenant_id="tenant-a", config_name="prod"
    )
    binding = Binding(connector)

    reader = make_jwt("alice", "tenant-a", "orders:read orders:write")
    auditor = make_jwt("bob", "tenant-a", "orders:read")
    stranger = make_jwt("mallory", "tenant-b", "orders:read")
    expired = make_jwt("alice", "tenant-a", "orders:read", exp=int(time.time()) - 60)

    requests: list[tuple[str, str, dict[str, Any]]] = [
        ("get order 1 (JWT alice)", reader, {"action": "orders.get", "order_id": 1}),
        ("create 5 widgets (JWT alice)", reader, {"action": "orders.create", "sku": "WIDGET-9", "quantity": 5}),
        ("create, bad quantity", reader, {"action": "orders.create", "sku": "WIDGET-9", "quantity": 0}),
        ("create without orders:write (bob)", auditor, {"action": "orders.create", "sku": "WIDGET-9", "quantity": 1}),
        ("create, out of stock", reader, {"action": "orders.create", "sku": "GADGET-2", "quantity": 1}),
        ("summary = nested orders.get", auditor, {"action": "orders.summary", "order_id": 2}),
        ("summary of a missing order", auditor, {"action": "orders.summary", "order_id": 404}),
        ("get order (API key)", API_KEY, {"action": "orders.get", "order_id": 2}),
        ("other tenant's JWT (mallory)", stranger, {"action": "orders.get", "order_id": 1}),
        ("expired JWT", expired, {"action": "orders.get", "order_id": 1}),
        ("vendor token via auth provider", reader, {"action": "vendor.whoami"}),
    ]
    rows = []
    for label, bearer, payload in requests:
        status, resp = await binding.handle(bearer, payload)
        rows.append(envelope_row(label, resp) if status == "200" else [label, status, "", "", resp, "", ""])
    table("2. Requests through throttle -> verify -> per-identity limit -> run", ENVELOPE_HEADERS, rows)

    # A second instance of the same connector, for another tenant: its breaker is its own.
    flaky = acme_cls(secret_provider=secrets, tenant_id="tenant-c", config_name="prod")
    rows = []
    for i in range(7):
        resp = await flaky.run({"action": "vendor.ping"}, principal="carol", tenant_id="tenant-c")
        rows.append(envelope_row(f"vendor.ping #{i + 1}", resp))
    breaker = flaky._breaker_for_tenant("tenant-c")
    table(
        f"3. A failing vendor call until the tenant's breaker opens (state now: {breaker.current_state})",
        ENVELOPE_HEADERS,
        rows,
    )

    # With the shared backend a second host process counts against the same limits and breakers.
    replica = Replica() if throttle_backend() == "redis" else None
    if replica is None:
        rows = []
        for i in range(10):
            status, resp = await binding.handle(auditor, {"action": "orders.get", "order_id": 1})
            rows.append([f"bob request #{i + 1}", status, resp.error_code if status == "200" else resp])
        table("4. Per-identity limiter (8 requests per 60 s per principal)", ["request", "status", "result"], rows)
    else:
        seen = replica.ask("breaker acme tenant-c prod")["state"]
        table(
            "3b. The same tenant's breaker as the second replica sees it (shared in Redis)",
            ["process", "breaker state"],
            [[f"host (pid {os.getpid()})", breaker.current_state], [f"replica (pid {replica.pid})", seen]],
        )
        rows = []
        for i in range(6):
            status, resp = await binding.handle(auditor, {"action": "orders.get", "order_id": 1})
            rows.append([f"host (pid {os.getpid()})", f"bob request #{2 * i + 1}", status,
                         (resp.error_code or "admitted") if status == "200" else resp])
            verdict = replica.ask("consume bob")
            status = "200" if verdict["allowed"] else "429 identity"
            result = "admitted" if verdict["allowed"] else f"retry after {verdict['retry_after_seconds']}s"
            rows.append([f"replica (pid {replica.pid})", f"bob request #{2 * i + 2}", status, result])
        replica.close()
        table(
            "4. Per-identity limiter (8 requests per 60 s per principal; bob made 3 in table 2), one limit "
            "across two replicas",
            ["process", "request", "status", "result"],
            rows,
        )

    if moto_server is not None:
        moto_server.stop()


async def mcp_client_side() -> None:
    cfg = config_from_env()
    rows = [[k, v] for k, v in _flatten(cfg)]
    table("5. MCP client configuration from the environment", ["setting", "value"], rows, width=60)

    header = (
        'Bearer realm="mcp", error="insufficient_scope", scope="tools:call files:write", '
        'resource_metadata="https://mcp.demo.invalid/.well-known/oauth-protected-resource"'
    )
    ch = parse_www_authenticate(header)
    table(
        "6. A WWW-Authenticate challenge from the MCP server",
        ["field", "value"],
        [[k, getattr(ch, k)] for k in _record_fields(ch)],
        width=70,
    )

    catcher = LoopbackRedirectCatcher()
    binding = await catcher.start()
    url = f"{binding.redirect_uri}?code=demo-auth-code&state=xyz123"

    def browser() -> tuple[int, str]:
        with urllib.request.urlopen(url, timeout=5) as r:  # the user's browser, redirected back
            return r.status, r.read().decode()

    status, page = await asyncio.gather(asyncio.to_thread(browser), catcher.wait_for_callback(timeout=10))
    await catcher.close()
    http_status, body = status
    table(
        "7. OAuth redirect received by the loopback listener",
        ["field", "value"],
        [
            ["redirect_uri", binding.redirect_uri],
            ["browser saw", f"HTTP {http_status}: {textwrap.shorten(body, 60)}"],
            *[[k, getattr(page, k)] for k in _record_fields(page)],
        ],
        width=70,
    )


def _record_fields(obj: Any) -> list[str]:
    fields = getattr(type(obj), "__match_args__", None) or getattr(type(obj), "__slots__", None)
    if fields:
        return list(fields)
    return [k for k in vars(obj) if not k.startswith("_")]


def _flatten(obj: Any, prefix: str = "") -> list[tuple[str, Any]]:
    out: list[tuple[str, Any]] = []
    names = getattr(obj, "__dataclass_fields__", None)
    if names is None:
        return [(prefix.rstrip("."), obj)]
    for name in names:
        value = getattr(obj, name)
        if hasattr(value, "__dataclass_fields__"):
            out.extend(_flatten(value, f"{prefix}{name}."))
        else:
            out.append((f"{prefix}{name}", getattr(value, "value", value)))
    return out


async def main() -> None:
    logging.basicConfig(level=logging.WARNING, format="  log %(levelname)s %(name)s: %(message)s")
    if not os.environ.get("QL_DEMO_LOGS"):
        # The audit records of every call go to the "runtime.*" loggers; QL_DEMO_LOGS=1 shows them.
        logging.getLogger("runtime").setLevel(logging.CRITICAL)
    else:
        logging.getLogger().setLevel(logging.INFO)
    logging.getLogger("werkzeug").setLevel(logging.WARNING)
    await connector_road()
    await mcp_client_side()
    print("\nDone: every call above came back as an envelope or a binding status; none raised.")


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
