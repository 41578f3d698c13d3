from types import ModuleType

from quellon_runtime.secrets.base import SecretProvider

__all__ = ["GcpSecretManagerProvider"]

def _import_gcp() -> tuple[ModuleType, type[Exception], type[Exception]]:
    """(google.cloud.secretmanager, NotFound, GoogleAPICallError)."""

class GcpSecretManagerProvider(SecretProvider):
    """Secrets from one GCP Secret Manager JSON bundle, fetched once at construction."""

    def __init__(self, project_id: str, secret_id: str, version: str = "latest") -> None: ...
    def get_secret(self, key: str) -> str: ...
