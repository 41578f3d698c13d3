"""Secret provider backed by one secret of a cloud secrets manager (a JSON bundle of values)."""

from types import ModuleType

from quellon_runtime.secrets.base import SecretProvider

__all__ = ["AwsSecretsManagerProvider"]

def _import_boto() -> tuple[ModuleType, type[Exception], type[Exception]]:
    """Import boto3 and its error types: (boto3, BotoCoreError, ClientError)."""

class AwsSecretsManagerProvider(SecretProvider):
    """Secret provider backed by one AWS Secrets Manager secret holding a JSON object.

    The whole object is fetched once, at construction; get_secret() answers from memory.
    Error policy: authentication, network and configuration failures raise
    SecretProviderError, so a broken provider can be told apart from a single absent key,
    which raises SecretNotFoundError.
    """

    def __init__(self, secret_name: str, region: str = "us-east-1") -> None:
        """Fetch the secret's JSON object now; get_secret() then answers from memory."""
    def get_secret(self, key: str) -> str:
        """Return the bundle's value for `key`; SecretNotFoundError when absent."""
