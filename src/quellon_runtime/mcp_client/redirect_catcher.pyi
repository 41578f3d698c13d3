"""Loopback redirect URI listener for OAuth authorization code callback."""

import logging

__all__ = ["AuthorizationCallback", "LoopbackRedirectBinding", "LoopbackRedirectCatcher"]

logger: logging.Logger
_HTML_SUCCESS: bytes
_HTML_ERROR: bytes

class AuthorizationCallback:
    """Query parameters from the redirect URI callback."""

    __slots__ = ("code", "state", "error", "error_description")
    __match_args__ = ("code", "state", "error", "error_description")
    def __init__(
        self,
        code: str | None,
        state: str | None,
        error: str | None,
        error_description: str | None,
    ) -> None:
        """Record the query parameters of one callback."""
    @property
    def code(self) -> str | None:
        """The authorization code, or None."""
    @property
    def state(self) -> str | None:
        """The state parameter, or None."""
    @property
    def error(self) -> str | None:
        """The OAuth error code, or None."""
    @property
    def error_description(self) -> str | None:
        """The OAuth error description, or None."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class LoopbackRedirectBinding:
    """Ephemeral loopback redirect URI bound to a single callback."""

    __slots__ = ("redirect_uri", "host", "port", "path")
    __match_args__ = ("redirect_uri", "host", "port", "path")
    def __init__(self, redirect_uri: str, host: str, port: int, path: str) -> None:
        """Record where the listener is bound."""
    @property
    def redirect_uri(self) -> str:
        """The redirect URI to send to the authorization server."""
    @property
    def host(self) -> str:
        """The loopback host the listener is bound to."""
    @property
    def port(self) -> int:
        """The port the listener is bound to."""
    @property
    def path(self) -> str:
        """The callback path the listener accepts."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class LoopbackRedirectCatcher:
    """Loopback HTTP listener for the OAuth authorization-code redirect.

    Binds 127.0.0.1 on an ephemeral port and accepts exactly one HTTP callback.
    Per MCP security requirements: exact path match, single callback, then close.
    """

    def __init__(self, *, host: str = "127.0.0.1", path: str = "/callback") -> None:
        """Prepare a listener for host and path; nothing is bound until start()."""
    @property
    def binding(self) -> LoopbackRedirectBinding:
        """The bound redirect; RuntimeError before start()."""
    async def start(self) -> LoopbackRedirectBinding:
        """Bind the listener on a free port and return where it listens."""
    async def wait_for_callback(self, timeout: float = 300.0) -> AuthorizationCallback:
        """Wait up to timeout seconds for the one redirect and return its parameters."""
    async def close(self) -> None:
        """Stop listening; does nothing when not started."""

def _normalize_path(path: str) -> str: ...
def _first(qs: dict[str, list[str]], key: str) -> str | None: ...
