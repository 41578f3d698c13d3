"""Configuration records of the MCP client and its OAuth flow.

Field names follow the client's configuration document (camelCase), so a
record maps one-to-one onto its serialised form.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from enum import StrEnum
from typing import Optional

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
    url: str


@dataclass(frozen=True, kw_only=True)
class AuthClientConfig:
    clientId: str = ""
    clientSecret: str = ""


@dataclass(frozen=True, kw_only=True)
class AuthRedirectConfig:
    mode: RedirectMode = RedirectMode.LOOPBACK
    url: str = "http://127.0.0.1:0/callback"
    loopbackHost: str = "127.0.0.1"
    loopbackPath: str = "/callback"


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
    issuerOverride: Optional[str] = None


@dataclass(frozen=True, kw_only=True)
class McpClientConfig:
    server: McpServerConfig
    auth: AuthConfig = field(default_factory=AuthConfig)
