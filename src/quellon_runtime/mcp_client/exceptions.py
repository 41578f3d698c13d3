"""Errors of the MCP client's OAuth flow."""

__all__ = ["McpOAuthError", "McpOAuthFlowAborted", "McpOAuthSecurityError"]


class McpOAuthError(Exception):
    """Base of all OAuth flow errors."""


class McpOAuthFlowAborted(McpOAuthError):
    """The authorization did not complete (denied by the user, error, timeout)."""


class McpOAuthSecurityError(McpOAuthError):
    """The redirect violated a security rule (for example a path mismatch)."""
