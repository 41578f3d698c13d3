"""Configuration records of the MCP client and its OAuth flow.

Field names follow the client's configuration document (camelCase), so a
record maps one-to-one onto its serialised form.
"""

from __future__ import annotations

from dataclasses import dataclass, field, fields
from enum import StrEnum
from typing import Optional
from urllib.parse import urlsplit

__all__ = [
    "AuthClientConfig",
    "AuthConfig",
    "AuthDcrConfig",
    "AuthDiscoveryConfig",
    "AuthRedirectConfig",
    "AuthTokenConfig",
    "McpClientConfig",
    "McpServerConfig",
    "RedirectMode",
    "TokenStoreMode",
]


# Secret-bearing fields: repr and str (and so log records that format a record) show them masked;
# the fields themselves keep their values.
_MASK = "***"
_SECRET = {"secret": True}
_URL = {"url": True}


def _mask_url(url: str) -> str:
    """The URL with any user information (a password, or a token used as the user) masked."""
    try:
        parts = urlsplit(url)
    except ValueError:
        return _MASK if "@" in url else url
    if "@" not in parts.netloc:
        return url
    return parts._replace(netloc=_MASK + "@" + parts.netloc.rpartition("@")[2]).geturl()


def _masked_repr(self: object) -> str:
    shown = []
    for f in fields(self):  # type: ignore[arg-type]  # only ever bound to dataclasses below
        value = getattr(self, f.name)
        if f.metadata.get("secret") and value:
            value = _MASK
        elif f.metadata.get("url") and isinstance(value, str):
            value = _mask_url(value)
        shown.append(f"{f.name}={value!r}")
    return f"{type(self).__qualname__}({', '.join(shown)})"


class RedirectMode(StrEnum):
    """Where the authorization server sends the browser back to."""

    LOOPBACK = "loopback"
    CONFIGURED_URL = "configured-url"


class TokenStoreMode(StrEnum):
    """Where obtained tokens are kept."""

    OS_KEYCHAIN = "os-keychain"
    CONFIGURED_SECRET_STORE = "configured-secret-store"


@dataclass(frozen=True, kw_only=True)
class McpServerConfig:
    url: str = field(metadata=_URL)

    __repr__ = _masked_repr


@dataclass(frozen=True, kw_only=True)
class AuthClientConfig:
    clientId: str = ""
    clientSecret: str = field(default="", metadata=_SECRET)

    __repr__ = _masked_repr


@dataclass(frozen=True, kw_only=True)
class AuthRedirectConfig:
    mode: RedirectMode = RedirectMode.LOOPBACK
    url: str = field(default="http://127.0.0.1:0/callback", metadata=_URL)
    loopbackHost: str = "127.0.0.1"
    loopbackPath: str = "/callback"

    __repr__ = _masked_repr


@dataclass(frozen=True, kw_only=True)
class AuthDiscoveryConfig:
    cacheTtlSeconds: int = 3600


@dataclass(frozen=True, kw_only=True)
class AuthDcrConfig:
    enabled: bool = True


@dataclass(frozen=True, kw_only=True)
class AuthTokenConfig:
    refreshLeadSeconds: int = 60
    store: TokenStoreMode = TokenStoreMode.OS_KEYCHAIN


@dataclass(frozen=True, kw_only=True)
class AuthConfig:
    production: bool = False
    scopes: str = ""
    client: AuthClientConfig = field(default_factory=AuthClientConfig)
    redirect: AuthRedirectConfig = field(default_factory=AuthRedirectConfig)
    discovery: AuthDiscoveryConfig = field(default_factory=AuthDiscoveryConfig)
    dcr: AuthDcrConfig = field(default_factory=AuthDcrConfig)
    token: AuthTokenConfig = field(default_factory=AuthTokenConfig)
    registrationStorePath: Optional[str] = None
    issuerOverride: Optional[str] = field(default=None, metadata=_URL)

    __repr__ = _masked_repr


@dataclass(frozen=True, kw_only=True)
class McpClientConfig:
    server: McpServerConfig
    auth: AuthConfig = field(default_factory=AuthConfig)
