"""Secret providers for local development and tests: over a mapping, or over environment variables."""

from collections.abc import Mapping

from quellon_runtime.secrets.base import SecretProvider

__all__ = ["EnvironmentSecretProvider", "MappingSecretProvider"]

class MappingSecretProvider(SecretProvider):
    """Secret provider over a mapping of secret names to values, copied at construction.

    Later changes to the caller's mapping are not seen. Like the cloud stores, it puts no
    value into an exception or a log record.
    """

    def __init__(self, secrets: Mapping[str, str]) -> None:
        """Copy `secrets`; a name or value that is not a str raises TypeError naming the name."""
    def get_secret(self, key: str) -> str:
        """Return the value for `key`; SecretNotFoundError when absent."""

class EnvironmentSecretProvider(SecretProvider):
    """Secret provider over the environment variables that start with a prefix.

    The key is upper-cased and every character other than ASCII letters, digits and "_"
    becomes "_": with the prefix "ACME_", the key "api-token" is read from ACME_API_TOKEN.
    The environment is read at each call. An unset or empty variable is an absent key
    (SecretNotFoundError, whose note names the variable), so a chain falls through to its
    next provider. No value reaches an exception or a log record.
    """

    def __init__(self, prefix: str) -> None:
        """Read secrets from the variables named `prefix` + key; the prefix must not be empty."""
    def get_secret(self, key: str) -> str:
        """Return the value of the variable for `key`; SecretNotFoundError when unset or empty."""
