"""MCP client OAuth support: configuration, challenge parsing, redirect listener."""
