"""Secret provider backed by one secret version of a cloud secret manager (a JSON bundle of values)."""

from types import ModuleType

from quellon_runtime.secrets.base import SecretProvider

__all__ = ["GcpSecretManagerProvider"]

def _import_gcp() -> tuple[ModuleType, type[Exception], type[Exception]]:
    """Import the Google client pieces: (secretmanager, NotFound, GoogleAPICallError)."""

class GcpSecretManagerProvider(SecretProvider):
    """Secret provider backed by one GCP Secret Manager secret version.

    The secret should be a JSON object whose keys are the connector's secret names; it is
    read once, at construction, with Application Default Credentials (workload identity,
    service-account key files, gcloud login). get_secret() answers from memory.
    """

    def __init__(self, project_id: str, secret_id: str, version: str = "latest") -> None:
        """Read the secret version's JSON object now; get_secret() then answers from memory."""
    def get_secret(self, key: str) -> str:
        """Return the bundle's value for `key`; SecretNotFoundError when absent."""
