"""WWW-Authenticate challenge parsing for MCP OAuth error handling."""

import re

_ERROR_RE: re.Pattern[str]
_SCOPE_RE: re.Pattern[str]

class WwwAuthenticateChallenge:
    """One parsed WWW-Authenticate challenge: the scheme, the recognised parameters and the raw text."""

    __slots__ = ("scheme", "error", "error_description", "resource_metadata", "scope", "raw")
    __match_args__ = ("scheme", "error", "error_description", "resource_metadata", "scope", "raw")
    def __init__(
        self,
        scheme: str,
        error: str | None,
        error_description: str | None,
        resource_metadata: str | None,
        scope: str | None,
        raw: str,
    ) -> None:
        """Record the parts of one challenge."""
    @property
    def scheme(self) -> str:
        """The authentication scheme, as written (for example "Bearer")."""
    @property
    def error(self) -> str | None:
        """The error parameter, or None."""
    @property
    def error_description(self) -> str | None:
        """The error_description parameter, or None."""
    @property
    def resource_metadata(self) -> str | None:
        """The resource_metadata URL parameter, or None."""
    @property
    def scope(self) -> str | None:
        """The scope parameter, or None."""
    @property
    def raw(self) -> str:
        """The header value as received."""
    @property
    def is_invalid_token(self) -> bool:
        """The error is invalid_token (any case)."""
    @property
    def is_insufficient_scope(self) -> bool:
        """The error is insufficient_scope (any case)."""
    @property
    def treat_as_unauthorized(self) -> bool:
        """Authorize again: the token is invalid, or the server named no error at all."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

def parse_www_authenticate(header_value: str | None) -> WwwAuthenticateChallenge | None:
    """Parse a WWW-Authenticate header value; None when it is None, empty or only whitespace.

    Lenient: unrecognised text never raises, it only leaves fields None.
    """
