from types import ModuleType

from quellon_runtime.secrets.base import SecretProvider

__all__ = ["AwsSecretsManagerProvider"]

def _import_boto() -> tuple[ModuleType, type[Exception], type[Exception]]:
    """(boto3, BotoCoreError, ClientError), or ImportError with an install hint."""

class AwsSecretsManagerProvider(SecretProvider):
    """Secrets from one AWS Secrets Manager JSON bundle, fetched once at construction."""

    def __init__(self, secret_name: str, region: str = "us-east-1") -> None: ...
    def get_secret(self, key: str) -> str: ...
