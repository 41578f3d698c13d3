import logging
from collections.abc import Mapping
from functools import lru_cache
from typing import Any, Final

import jwt

__all__ = [
    "CallerProfile",
    "JwtVerificationNotConfigured",
    "JWT_AUDIENCE_ENV",
    "JWT_ISSUER_ENV",
    "build_caller_profile",
    "parse_api_key_scopes_from_env",
    "api_key_matches",
    "load_jwt_audience_issuer_from_env",
    "warn_jwt_audience_issuer_not_configured",
    "decode_binding_jwt",
    "verify_bearer_token_and_identity",
]

JWT_AUDIENCE_ENV: Final = "QL_JWT_AUDIENCE"
JWT_ISSUER_ENV: Final = "QL_JWT_ISSUER"
logger: logging.Logger

class CallerProfile:
    """Who is calling ``connector.run`` (REST, MCP, or other bindings)."""

    __slots__ = ("principal", "tenant_id", "scopes", "claims", "auth_type")
    __match_args__ = ("principal", "tenant_id", "scopes", "claims", "auth_type")
    def __init__(
        self,
        principal: str,
        tenant_id: str | None,
        scopes: tuple[str, ...],
        claims: Mapping[str, Any],
        auth_type: str,
    ) -> None: ...
    @property
    def principal(self) -> str: ...
    @property
    def tenant_id(self) -> str | None: ...
    @property
    def scopes(self) -> tuple[str, ...]: ...
    @property
    def claims(self) -> Mapping[str, Any]: ...
    @property
    def auth_type(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class JwtVerificationNotConfigured(jwt.InvalidTokenError):
    """A JWT secret is configured but QL_JWT_AUDIENCE / QL_JWT_ISSUER are unset."""

def build_caller_profile(claims: Mapping[str, Any], auth_type: str) -> CallerProfile: ...
def parse_api_key_scopes_from_env(env_var: str) -> tuple[str, ...]: ...
def api_key_matches(token: str, api_key: str) -> bool: ...
def load_jwt_audience_issuer_from_env() -> tuple[str, str] | None: ...

@lru_cache(maxsize=None)
def warn_jwt_audience_issuer_not_configured() -> None:
    """Log the missing audience/issuer warning, at most once per process."""

def decode_binding_jwt(token: str, secret: str) -> dict[str, Any]: ...
def verify_bearer_token_and_identity(
    token: str,
    *,
    api_key: str | None,
    jwt_secret: str | None,
    api_key_scopes_env: str,
    api_key_auth_type: str,
) -> tuple[bool, CallerProfile | None]: ...
