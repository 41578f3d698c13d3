"""Secret provider backed by a key vault: one vault secret per key."""

from typing import Any

from quellon_runtime.secrets.base import SecretProvider

__all__ = ["AzureKeyVaultProvider"]

def _import_azure() -> tuple[type[Any], type[Any], type[Exception], type[Exception]]:
    """Import the Azure SDK pieces: (DefaultAzureCredential, SecretClient, ResourceNotFoundError, HttpResponseError)."""

class AzureKeyVaultProvider(SecretProvider):
    """Secret provider that reads individual secrets from one Azure Key Vault.

    Authenticates with DefaultAzureCredential, so managed identities, environment
    credentials and interactive logins work without changing application code. Every
    get_secret() asks the vault; underscores in keys become hyphens in vault names.
    """

    def __init__(self, vault_url: str) -> None:
        """Keep the vault URL; every get_secret() asks the vault."""
    def get_secret(self, key: str) -> str:
        """Fetch `key` from the vault; SecretNotFoundError when absent or without a value."""
