"""Settings of the serve command: flags and ``QL_SERVE_*`` variables, read once and checked when read."""

from __future__ import annotations

import ipaddress
import os
import urllib.parse
from dataclasses import dataclass, field, fields, replace
from typing import Any, Callable, Mapping, Optional

__all__ = ["ServeSettings", "API_KEY_SCOPES_ENV"]

# The API key's scopes are read through caller_profile, which takes the variable's name.
API_KEY_SCOPES_ENV = "QL_SERVE_API_KEY_SCOPES"

_TRUE = {"1", "true", "yes", "on"}
_FALSE = {"0", "false", "no", "off"}


def _bool(name: str, text: str) -> bool:
    v = text.strip().lower()
    if v in _TRUE:
        return True
    if v in _FALSE:
        return False
    raise ValueError(f"{name} must be one of 1/true/yes/on or 0/false/no/off")


def _int(name: str, text: str, lo: int, hi: int) -> int:
    try:
        v = int(text.strip())
    except ValueError:
        raise ValueError(f"{name} must be an integer") from None
    if not lo <= v <= hi:
        raise ValueError(f"{name} must be between {lo} and {hi}")
    return v


def _float(name: str, text: str, lo: float, hi: float) -> float:
    try:
        v = float(text.strip())
    except ValueError:
        raise ValueError(f"{name} must be a number") from None
    if not lo <= v <= hi:  # also refuses nan
        raise ValueError(f"{name} must be between {lo:g} and {hi:g}")
    return v


def _host(name: str, text: str) -> str:
    v = text.strip()
    if v == "localhost":
        return "127.0.0.1"
    try:
        ipaddress.ip_address(v)
    except ValueError:
        raise ValueError(f"{name} must be an IP address") from None
    return v


def _csv(name: str, text: str) -> tuple[str, ...]:
    return tuple(p.strip() for p in text.split(",") if p.strip())


def _protocols(name: str, text: str) -> tuple[str, ...]:
    got = _csv(name, text)
    if not got or any(p not in ("mcp", "rest") for p in got):
        raise ValueError(f"{name} must list mcp and/or rest, comma-separated")
    return tuple(dict.fromkeys(got))


def _secret(name: str, text: str) -> Optional[str]:
    v = text.strip()
    if v and len(v) < 16:  # never echo it: name and rule only
        raise ValueError(f"{name} must be at least 16 characters")
    return v or None


def _text(name: str, text: str) -> Optional[str]:
    return text.strip() or None


def _realm(name: str, text: str) -> str:
    v = text.strip()
    if not v or any(c in v for c in '"\\\r\n') or not v.isprintable():
        raise ValueError(f"{name} must be printable text without quotes or backslashes")
    return v


def _path(name: str, text: str) -> str:
    v = text.strip()
    if not v.startswith("/") or v == "/" or v.endswith("/") or not v.isprintable():
        raise ValueError(f"{name} must be a path such as /mcp")
    return v


def _url(name: str, text: str) -> str:
    # it goes into challenges and documents as a quoted value: absolute, printable, nothing to escape
    v = text.strip()
    try:
        parts = urllib.parse.urlsplit(v)
    except ValueError:
        raise ValueError(f"{name} must be an absolute http(s) URL") from None
    if parts.scheme not in ("https", "http") or not parts.netloc or any(c in v for c in '"\\ ') or not v.isprintable():
        raise ValueError(f"{name} must be an absolute http(s) URL")
    return v


def _origin(name: str, text: str) -> str:
    v = _url(name, text).rstrip("/")
    parts = urllib.parse.urlsplit(v)
    if parts.path or parts.query or parts.fragment:
        raise ValueError(f"{name} must be scheme://host[:port] without a path")
    return v


def _urls(name: str, text: str) -> tuple[str, ...]:
    got = tuple(_url(name, u) for u in _csv(name, text))
    if not got:
        raise ValueError(f"{name} must list absolute http(s) URLs, comma-separated")
    return got


# field -> (variable, parser); a flag on the command line wins over the variable.
_ENV: dict[str, tuple[str, Callable[[str, str], Any]]] = {
    "host": ("QL_SERVE_HOST", _host),
    "port": ("QL_SERVE_PORT", lambda n, t: _int(n, t, 0, 65535)),
    "protocols": ("QL_SERVE_PROTOCOLS", _protocols),
    "mcp_path": ("QL_SERVE_MCP_PATH", _path),
    "factory": ("QL_SERVE_FACTORY", _text),
    "api_key": ("QL_SERVE_API_KEY", _secret),
    "jwt_secret": ("QL_SERVE_JWT_SECRET", _secret),
    "stdio_token": ("QL_SERVE_STDIO_TOKEN", _text),
    "max_body_bytes": ("QL_SERVE_MAX_BODY_BYTES", lambda n, t: _int(n, t, 1024, 64 * 1024 * 1024)),
    "drain_seconds": ("QL_SERVE_DRAIN_SECONDS", lambda n, t: _float(n, t, 0.0, 3600.0)),
    "allowed_origins": ("QL_SERVE_ALLOWED_ORIGINS", _csv),
    "realm": ("QL_SERVE_REALM", _realm),
    "resource_metadata_url": ("QL_SERVE_RESOURCE_METADATA_URL", _url),
    "resource_url": ("QL_SERVE_RESOURCE_URL", _origin),
    "authorization_servers": ("QL_SERVE_AUTHORIZATION_SERVERS", _urls),
    "scope_gate": ("QL_SERVE_SCOPE_GATE", _bool),
    "access_log": ("QL_SERVE_ACCESS_LOG", _bool),
}


@dataclass(frozen=True)
class ServeSettings:
    """What the bindings serve and how; every field has a ``QL_SERVE_*`` variable (see ``_ENV``)."""

    host: str = "127.0.0.1"
    port: int = 8000
    protocols: tuple[str, ...] = ("mcp", "rest")
    mcp_path: str = "/mcp"
    factory: Optional[str] = None
    api_key: Optional[str] = field(default=None, repr=False)
    jwt_secret: Optional[str] = field(default=None, repr=False)
    # the bearer credential a local stdio client's calls run with (none: anonymous)
    stdio_token: Optional[str] = field(default=None, repr=False)
    max_body_bytes: int = 1024 * 1024
    drain_seconds: float = 10.0
    allowed_origins: tuple[str, ...] = ()
    realm: str = "quellon"
    resource_metadata_url: Optional[str] = None
    # the public origin clients reach this server at: the protected-resource metadata is served
    # for it (REST) and for it plus mcp_path (MCP) when authorization servers are known too
    resource_url: Optional[str] = None
    # default: the trusted issuers of QL_OAUTH_ISSUERS_JSON
    authorization_servers: tuple[str, ...] = ()
    # the process-wide scope policy (QL_MCP_ACTION_SCOPE_MAP_JSON / QL_MCP_SCOPE_GATE_DEFAULT)
    scope_gate: bool = True
    access_log: bool = False
    scope_map: Mapping[str, str] = field(default_factory=dict)
    scope_default: str = "deny"

    @classmethod
    def from_env(cls, environ: Optional[Mapping[str, str]] = None, **overrides: Any) -> "ServeSettings":
        """Settings from ``environ`` (default: the process environment), then ``overrides`` (flags).

        The scope map and default mode come from the scope gate's own loaders when the gate is on
        and ``overrides`` does not give them.
        """
        env = os.environ if environ is None else environ
        values: dict[str, Any] = {}
        for name, (var, parse) in _ENV.items():
            raw = env.get(var)
            if raw is not None and raw.strip():
                values[name] = parse(var, raw)
        values.update({k: v for k, v in overrides.items() if v is not None})
        unknown = set(values) - {f.name for f in fields(cls)}
        if unknown:
            raise TypeError(f"unknown serve settings: {sorted(unknown)}")
        settings = cls(**values)
        if settings.scope_gate and "scope_map" not in overrides:
            from quellon_runtime.policies.mcp_scope_gate import (
                load_scope_map_from_env,
                load_scope_policy_default_from_env,
            )

            settings = replace(
                settings,
                scope_map=load_scope_map_from_env(),
                scope_default=overrides.get("scope_default") or load_scope_policy_default_from_env(),
            )
        return settings

    def describe(self) -> list[tuple[str, str]]:
        """Rows for the startup summary; secrets show only whether they are set."""
        return [
            ("listen", f"http://{self.host}:{self.port}"),
            ("protocols", ", ".join(self.protocols)),
            ("api key", "set" if self.api_key else "not set"),
            ("jwt secret", "set" if self.jwt_secret else "not set"),
            ("scope gate", f"{self.scope_default} by default, {len(self.scope_map)} mapped" if self.scope_gate else "off"),
            ("resource", self.resource_url or "not set"),
            ("max body", f"{self.max_body_bytes} bytes"),
            ("drain", f"{self.drain_seconds:g} s"),
        ]
