"""MCP client configuration from environment variables."""

from quellon_runtime.mcp_client.config import McpClientConfig

def _truthy(val: str | None) -> bool: ...
def mcp_oauth_enabled() -> bool:
    """Whether MCP OAuth is switched on (QL_MCP_OAUTH_ENABLED)."""
def legacy_static_mcp_token() -> str | None:
    """Static bearer token set by an outside MCP tool manager (TOOLHIVE_MCP_BEARER_TOKEN, else TOOLHIVE_MCP_API_KEY), stripped; None when there is none."""
def mcp_oauth_user_id() -> str:
    """Local user the OAuth state belongs to (QL_MCP_OAUTH_USER_ID, else "default-user")."""
def config_from_env(*, server_url: str | None = None) -> McpClientConfig:
    """Resolve MCP OAuth client config from env.

    ``server_url`` is the HTTP base URL provided by the caller; when it is empty or None, the
    variable QL_MCP_SERVER_URL is used instead.
    """
