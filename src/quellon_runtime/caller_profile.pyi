"""Caller identity for the bindings: verifying a bearer credential (API key or JWT) into a CallerProfile."""

import logging
from collections.abc import Mapping
from functools import lru_cache
from typing import Any, Final

import jwt

__all__ = (
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
    "API_KEYS_ENV",
    "REFUSAL_REASONS",
    "hash_api_key",
    "match_api_key",
    "jwt_refusal_reason",
    "verify_bearer_token_with_reason",
    "REASON_NO_TOKEN",
    "REASON_MALFORMED",
    "REASON_BEARER_PREFIX",
    "REASON_SIGNATURE",
    "REASON_UNKNOWN_KEY",
    "REASON_ALGORITHM",
    "REASON_ISSUER",
    "REASON_AUDIENCE",
    "REASON_EXPIRED",
    "REASON_NOT_YET_VALID",
    "REASON_MISSING_CLAIM",
    "REASON_INACTIVE",
    "REASON_UNKNOWN_API_KEY",
    "REASON_UNAVAILABLE",
    "REASON_NOT_CONFIGURED",
)

JWT_AUDIENCE_ENV: Final = "QL_JWT_AUDIENCE"
JWT_ISSUER_ENV: Final = "QL_JWT_ISSUER"
API_KEYS_ENV: Final = "QL_API_KEYS_JSON"
REASON_NO_TOKEN: Final = "no_token"
REASON_MALFORMED: Final = "malformed"
REASON_BEARER_PREFIX: Final = "bearer_prefix"
REASON_SIGNATURE: Final = "signature"
REASON_UNKNOWN_KEY: Final = "unknown_key"
REASON_ALGORITHM: Final = "algorithm"
REASON_ISSUER: Final = "issuer"
REASON_AUDIENCE: Final = "audience"
REASON_EXPIRED: Final = "expired"
REASON_NOT_YET_VALID: Final = "not_yet_valid"
REASON_MISSING_CLAIM: Final = "missing_claim"
REASON_INACTIVE: Final = "inactive"
REASON_UNKNOWN_API_KEY: Final = "unknown_api_key"
REASON_UNAVAILABLE: Final = "unavailable"
REASON_NOT_CONFIGURED: Final = "not_configured"
REFUSAL_REASONS: Final[tuple[str, ...]]
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
    ) -> None:
        """Record who is calling: principal, tenant, granted scopes, verified claims and how they authenticated."""
    @property
    def principal(self) -> str:
        """The caller's identity (the JWT subject, or the API key's principal)."""
    @property
    def tenant_id(self) -> str | None:
        """The caller's tenant, or None when the credential names none."""
    @property
    def scopes(self) -> tuple[str, ...]:
        """The scopes granted to the caller."""
    @property
    def claims(self) -> Mapping[str, Any]:
        """The verified claims the profile was built from."""
    @property
    def auth_type(self) -> str:
        """How the caller authenticated: "jwt", or the auth type the binding gives API keys."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class JwtVerificationNotConfigured(jwt.InvalidTokenError):
    """Raised when a JWT secret is used but ``QL_JWT_AUDIENCE`` / ``QL_JWT_ISSUER`` are unset."""

def build_caller_profile(claims: Mapping[str, Any], auth_type: str) -> CallerProfile:
    """Build a caller profile from verified claims."""
def parse_api_key_scopes_from_env(env_var: str) -> tuple[str, ...]:
    """Scopes granted to the API key: a JSON array, or names separated by blanks and commas."""
def api_key_matches(token: str, api_key: str) -> bool:
    """Constant-time comparison of two keys."""
def load_jwt_audience_issuer_from_env() -> tuple[str, str] | None:
    """The expected (audience, issuer) of bearer JWTs, or None when either is not set."""

@lru_cache(maxsize=None)
def warn_jwt_audience_issuer_not_configured() -> None:
    """Warn, once per process, that JWT verification is not configured."""

def decode_binding_jwt(token: str, secret: str) -> dict[str, Any]:
    """Verify an HS256 JWT against the configured audience and issuer and return its claims."""
def verify_bearer_token_and_identity(
    token: str,
    *,
    api_key: str | None,
    jwt_secret: str | None,
    api_key_scopes_env: str,
    api_key_auth_type: str,
) -> tuple[bool, CallerProfile | None]:
    """Accept the bearer credential as the API key or as a JWT: (True, profile), or (False, None)."""
def verify_bearer_token_with_reason(
    token: str,
    *,
    api_key: str | None,
    jwt_secret: str | None,
    api_key_scopes_env: str,
    api_key_auth_type: str,
) -> tuple[bool, CallerProfile | None, str | None]:
    """As verify_bearer_token_and_identity, with the refusal reason: (True, profile, None), or (False, None, reason)."""
def hash_api_key(key: str) -> str:
    """The SHA-256 hex digest that names an API key in QL_API_KEYS_JSON."""
def match_api_key(
    token: str, *, api_key: str | None, api_key_scopes_env: str, api_key_auth_type: str
) -> CallerProfile | None:
    """The caller of the single API key or of a named one, or None when the token is neither."""
def jwt_refusal_reason(error: BaseException) -> str:
    """The refusal reason of a PyJWT error."""
