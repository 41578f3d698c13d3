from typing import Any

from quellon_runtime.secrets.base import SecretProvider

__all__ = ["AzureKeyVaultProvider"]

def _import_azure() -> tuple[type[Any], type[Any], type[Exception], type[Exception]]:
    """(DefaultAzureCredential, SecretClient, ResourceNotFoundError, HttpResponseError)."""

class AzureKeyVaultProvider(SecretProvider):
    """Secrets read one by one from an Azure Key Vault ("_" in keys becomes "-")."""

    def __init__(self, vault_url: str) -> None: ...
    def get_secret(self, key: str) -> str: ...
