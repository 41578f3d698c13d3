import inspect
import json
import os
import subprocess
import sys

import boto3
import botocore.exceptions
import google.api_core.exceptions as gexc
import pytest
from azure.core.exceptions import HttpResponseError, ResourceNotFoundError, ServiceRequestError
from google.auth.credentials import AnonymousCredentials
from google.auth.exceptions import DefaultCredentialsError
from google.cloud import secretmanager
from moto.server import ThreadedMotoServer

from cloud_servers import FakeKeyVault, FakeSecretManager, closed_port
from log_guard import MARKER, all_records, exception_leaks
from quellon_runtime.secrets import SecretNotFoundError, SecretProvider, SecretProviderError
from quellon_runtime.secrets.aws import AwsSecretsManagerProvider
from quellon_runtime.secrets.azure import AzureKeyVaultProvider
from quellon_runtime.secrets.chained import ChainedSecretProvider
from quellon_runtime.secrets.gcp import GcpSecretManagerProvider
from quellon_runtime.secrets.local import EnvironmentSecretProvider, MappingSecretProvider

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUNDLE = {"a": "1", "token": MARKER + "bundle", "empty": None, "number": 5, "nested": {"x": "y"}}


@pytest.fixture(autouse=True)
def logs():
    with all_records() as capture:
        yield capture
    assert capture.leaks() == []


class Store(SecretProvider):
    def __init__(self, name, values, log):
        self.name, self.values, self.log = name, values, log

    def get_secret(self, key):
        self.log.append(self.name)
        value = self.values[key]
        if isinstance(value, BaseException):
            raise value
        return value


class TestChainedSecretProvider:
    def chain(self, *answers):
        asked = []
        providers = [Store(i, {"k": answer} if answer is not KeyError else {}, asked) for i, answer in enumerate(answers)]
        return ChainedSecretProvider(*providers), asked

    def test_construction(self):
        with pytest.raises(ValueError, match="^ChainedSecretProvider requires at least one provider$"):
            ChainedSecretProvider()
        chain, _ = self.chain("v", "w")
        assert isinstance(chain, SecretProvider) and isinstance(chain._providers, tuple)
        assert [p.name for p in chain._providers] == [0, 1]
        assert inspect.signature(ChainedSecretProvider.get_secret).parameters["key"].annotation is str

    @pytest.mark.parametrize("absent", [SecretNotFoundError("k"), KeyError])
    def test_falls_through_an_absent_key(self, absent):
        chain, asked = self.chain(absent, MARKER + "v")
        assert chain.get_secret("k") == MARKER + "v"
        assert asked == [0, 1]

    @pytest.mark.parametrize("answer", ["", None])
    def test_empty_text_and_none_are_answers(self, answer):
        chain, asked = self.chain(answer, "later")
        assert chain.get_secret("k") == answer
        assert asked == [0]

    @pytest.mark.parametrize(
        "error", [SecretProviderError("store down"), RuntimeError("bug"), type("Both", (SecretProviderError, KeyError), {})()]
    )
    def test_a_broken_provider_stops_the_search_unchanged(self, error):
        chain, asked = self.chain(error, "later")
        with pytest.raises(BaseException) as caught:
            chain.get_secret("k")
        assert caught.value is error
        assert asked == [0]

    def test_absent_everywhere_names_the_key_and_chains_the_last_absence(self):
        last = SecretNotFoundError("second")
        chain, asked = self.chain(SecretNotFoundError("first"), last)
        with pytest.raises(SecretNotFoundError) as caught:
            chain.get_secret("k")
        assert caught.value.args == ("Secret 'k' not found in any of 2 provider(s)",)
        assert caught.value.__cause__ is last
        assert not isinstance(caught.value, SecretProviderError)

    def test_nested_chains_fall_through(self):
        inner, _ = self.chain(KeyError, SecretNotFoundError("k"))
        outer = ChainedSecretProvider(inner, Store("x", {"k": "found"}, []))
        assert outer.get_secret("k") == "found"

    def test_bad_input(self):
        chain, asked = self.chain("v")
        for key in [None, 1, b"k"]:
            with pytest.raises(TypeError, match="key"):
                chain.get_secret(key)
        assert asked == []
        chain, asked = self.chain(42, "later")
        with pytest.raises(TypeError, match="int"):
            chain.get_secret("k")
        assert asked == [0]


# --- AWS Secrets Manager, real boto3 against moto --------------------------------------------------


@pytest.fixture(scope="module")
def moto_endpoint():
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    endpoint = f"http://{host}:{port}"
    seed = boto3.client("secretsmanager", region_name="us-east-1", endpoint_url=endpoint,
                        aws_access_key_id="testing", aws_secret_access_key="testing")
    seed.create_secret(Name="app/prod", SecretString=json.dumps(BUNDLE))
    seed.create_secret(Name="app/list", SecretString='["a", "b"]')
    seed.create_secret(Name="app/broken", SecretString=MARKER + "{not json")
    seed.create_secret(Name="app/binary", SecretBinary=b"\x00\x01")
    seed.create_secret(Name="app/retired", SecretString="{}")
    seed.delete_secret(SecretId="app/retired", RecoveryWindowInDays=7)
    boto3.client("secretsmanager", region_name="eu-west-1", endpoint_url=endpoint, aws_access_key_id="testing",
                 aws_secret_access_key="testing").create_secret(Name="app/eu", SecretString='{"where": "eu"}')
    yield endpoint
    server.stop()


@pytest.fixture
def aws(moto_endpoint, monkeypatch, tmp_path):
    for name in ["AWS_PROFILE", "AWS_DEFAULT_REGION", "AWS_REGION", "AWS_ENDPOINT_URL", "AWS_SESSION_TOKEN"]:
        monkeypatch.delenv(name, raising=False)
    env = {
        "AWS_ENDPOINT_URL_SECRETS_MANAGER": moto_endpoint,
        "AWS_ACCESS_KEY_ID": "testing",
        "AWS_SECRET_ACCESS_KEY": "testing",
        "AWS_CONFIG_FILE": str(tmp_path / "none"),
        "AWS_SHARED_CREDENTIALS_FILE": str(tmp_path / "none"),
        "AWS_EC2_METADATA_DISABLED": "true",
        "AWS_MAX_ATTEMPTS": "1",
    }
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    # boto3's default session caches resolved credentials; start each test from the environment.
    monkeypatch.setattr(boto3, "DEFAULT_SESSION", None)
    return monkeypatch


class TestAwsSecretsManagerProvider:
    def test_bundle_lookups(self, aws):
        provider = AwsSecretsManagerProvider("app/prod")
        assert isinstance(provider, SecretProvider)
        assert provider._data == BUNDLE
        assert provider.get_secret("a") == "1"
        assert provider.get_secret("token") == MARKER + "bundle"
        assert provider.get_secret("empty") is None
        with pytest.raises(SecretNotFoundError) as caught:
            provider.get_secret("b")
        assert caught.value.args == ("b",)
        assert isinstance(caught.value.__context__, KeyError) and caught.value.__cause__ is None
        for key in ["number", "nested"]:
            with pytest.raises(TypeError, match=key):
                provider.get_secret(key)
        with pytest.raises(TypeError, match="key"):
            provider.get_secret(1)

    def test_region(self, aws):
        assert AwsSecretsManagerProvider("app/eu", region="eu-west-1").get_secret("where") == "eu"
        with pytest.raises(SecretNotFoundError):
            AwsSecretsManagerProvider("app/eu")  # us-east-1 by default
        with pytest.raises(TypeError, match="region"):
            AwsSecretsManagerProvider("app/prod", None)
        with pytest.raises(TypeError, match="secret_name"):
            AwsSecretsManagerProvider(["app/prod"])

    def test_missing_secret(self, aws):
        with pytest.raises(SecretNotFoundError) as caught:
            AwsSecretsManagerProvider("app/missing")
        assert caught.value.args == ("app/missing",)
        cause = caught.value.__cause__
        assert isinstance(cause, botocore.exceptions.ClientError)
        assert cause.response["Error"]["Code"] == "ResourceNotFoundException"

    def test_service_error_names_its_code(self, aws):
        with pytest.raises(SecretProviderError) as caught:
            AwsSecretsManagerProvider("app/retired")
        assert str(caught.value) == "AWS Secrets Manager error (InvalidRequestException): app/retired"
        assert isinstance(caught.value.__cause__, botocore.exceptions.ClientError)
        assert not isinstance(caught.value, SecretNotFoundError)

    def test_connection_and_credential_errors(self, aws):
        aws.setenv("AWS_ENDPOINT_URL_SECRETS_MANAGER", f"http://127.0.0.1:{closed_port()}")
        with pytest.raises(SecretProviderError) as caught:
            AwsSecretsManagerProvider("app/prod")
        assert str(caught.value) == "AWS connection error for secret 'app/prod'"
        assert isinstance(caught.value.__cause__, botocore.exceptions.EndpointConnectionError)

        aws.delenv("AWS_ACCESS_KEY_ID")
        aws.delenv("AWS_SECRET_ACCESS_KEY")
        aws.setattr(boto3, "DEFAULT_SESSION", None)
        with pytest.raises(SecretProviderError) as caught:
            AwsSecretsManagerProvider("it's")
        assert str(caught.value) == 'AWS connection error for secret "it\'s"'
        assert isinstance(caught.value.__cause__, botocore.exceptions.NoCredentialsError)

    def test_malformed_bundles_fail_untranslated(self, aws):
        with pytest.raises(KeyError, match="SecretString"):
            AwsSecretsManagerProvider("app/binary")
        with pytest.raises(json.JSONDecodeError) as caught:
            AwsSecretsManagerProvider("app/broken")
        assert exception_leaks(caught.value) == []
        assert str(caught.value) == "secret 'app/broken' is not valid JSON: Expecting value: line 1 column 1 (char 0)"
        assert (caught.value.pos, caught.value.lineno, caught.value.colno) == (0, 1, 1)
        with pytest.raises(TypeError):
            AwsSecretsManagerProvider("app/list").get_secret("a")


# --- Azure Key Vault, real SDK against a local HTTPS vault -----------------------------------------


@pytest.fixture(scope="module")
def key_vault(tmp_path_factory):
    vault = FakeKeyVault(str(tmp_path_factory.mktemp("vault")))
    yield vault
    vault.close()


@pytest.fixture
def vault(key_vault, monkeypatch):
    for name in ["AZURE_CLIENT_ID", "AZURE_TENANT_ID", "AZURE_CLIENT_SECRET", "AZURE_FEDERATED_TOKEN_FILE",
                 "AZURE_TOKEN_CREDENTIALS", "MSI_ENDPOINT", "MSI_SECRET"]:
        monkeypatch.delenv(name, raising=False)
    for name, value in key_vault.env().items():
        monkeypatch.setenv(name, value)
    key_vault.secrets = {"client-id": MARKER + "client", "db-password": MARKER + "db", "a-b-c": "abc",
                         "already-hyphen": "h", "hollow": None}
    key_vault.forbidden = {"locked"}
    key_vault.requested.clear()
    return key_vault


class TestAzureKeyVaultProvider:
    def test_lookups_map_underscores_to_hyphens(self, vault):
        provider = AzureKeyVaultProvider(vault.url)
        assert isinstance(provider, SecretProvider)
        assert provider.get_secret("client_id") == MARKER + "client"
        assert provider.get_secret("a_b_c") == "abc"
        assert provider.get_secret("already-hyphen") == "h"
        assert provider.get_secret("client_id") == MARKER + "client"
        assert vault.requested == ["client-id", "a-b-c", "already-hyphen", "client-id"]

    def test_absent_secrets_name_the_callers_key(self, vault):
        provider = AzureKeyVaultProvider(vault_url=vault.url)
        with pytest.raises(SecretNotFoundError) as caught:
            provider.get_secret("no_such_key")
        assert caught.value.args == ("no_such_key",)
        assert caught.value.__cause__ is None
        assert isinstance(caught.value.__context__, ResourceNotFoundError)
        with pytest.raises(SecretNotFoundError) as caught:
            provider.get_secret("hollow")
        assert caught.value.args == ("hollow",)
        assert vault.requested == ["no-such-key", "hollow"]

    def test_http_errors(self, vault):
        provider = AzureKeyVaultProvider(vault.url)
        with pytest.raises(SecretProviderError) as caught:
            provider.get_secret("locked")
        cause = caught.value.__cause__
        assert isinstance(cause, HttpResponseError) and cause.status_code == 403
        assert str(caught.value) == "Azure Key Vault HTTP error for secret 'locked': " + str(cause)
        vault.forbidden.add("db-password")
        with pytest.raises(SecretProviderError, match="^Azure Key Vault HTTP error for secret 'db_password': "):
            provider.get_secret("db_password")

    def test_other_errors_pass_unchanged(self, vault):
        provider = AzureKeyVaultProvider(f"https://127.0.0.1:{closed_port()}")
        with pytest.raises(ServiceRequestError):
            provider.get_secret("client_id")
        with pytest.raises(TypeError, match="key"):
            provider.get_secret(None)

    def test_client_that_cannot_be_built(self, vault, monkeypatch):
        with pytest.raises(SecretProviderError) as caught:
            AzureKeyVaultProvider("")
        assert str(caught.value).startswith("Failed to initialise Azure Key Vault client for '': ")
        assert str(caught.value).endswith(str(caught.value.__cause__))
        monkeypatch.setenv("AZURE_TOKEN_CREDENTIALS", "NoSuchCredential")
        with pytest.raises(SecretProviderError) as caught:
            AzureKeyVaultProvider(vault.url)
        assert str(caught.value).startswith(f"Failed to initialise Azure Key Vault client for '{vault.url}': ")
        assert isinstance(caught.value.__cause__, ValueError)
        with pytest.raises(TypeError, match="vault_url"):
            AzureKeyVaultProvider(None)


# --- GCP Secret Manager, real client over REST against a local server ------------------------------


@pytest.fixture(scope="module")
def secret_manager():
    server = FakeSecretManager()
    yield server
    server.close()


@pytest.fixture
def gcp(secret_manager, monkeypatch):
    real = secretmanager.SecretManagerServiceClient

    # The provider builds the client with no arguments (default credentials, Google's endpoint);
    # this one only points the real REST client at the local server.
    class LocalClient(real):
        def __init__(self):
            super().__init__(credentials=AnonymousCredentials(), transport="rest",
                             client_options={"api_endpoint": secret_manager.endpoint})

    monkeypatch.setattr(secretmanager, "SecretManagerServiceClient", LocalClient)
    secret_manager.payloads = {
        "projects/my-proj/secrets/app-bundle/versions/latest": json.dumps(BUNDLE).encode(),
        "projects/p/secrets/s/versions/3": b'{"a": "1"}',
        "projects/p/secrets/bad/versions/latest": MARKER.encode() + b"\xff\xfe",
        "projects/p/secrets/text/versions/latest": MARKER.encode() + b" plain text",
    }
    secret_manager.denied = {"projects/p/secrets/locked/versions/latest"}
    secret_manager.requested.clear()
    return secret_manager


class TestGcpSecretManagerProvider:
    def test_bundle_lookups(self, gcp):
        provider = GcpSecretManagerProvider("my-proj", "app-bundle")
        assert isinstance(provider, SecretProvider)
        assert gcp.requested == ["projects/my-proj/secrets/app-bundle/versions/latest"]
        assert provider._data == BUNDLE
        assert provider.get_secret("token") == MARKER + "bundle"
        assert provider.get_secret("empty") is None
        with pytest.raises(SecretNotFoundError) as caught:
            provider.get_secret("b")
        assert caught.value.args == ("b",) and isinstance(caught.value.__context__, KeyError)
        with pytest.raises(TypeError, match="number"):
            provider.get_secret("number")

    def test_versions(self, gcp):
        assert GcpSecretManagerProvider("p", "s", "3").get_secret("a") == "1"
        assert GcpSecretManagerProvider(project_id="p", secret_id="s", version=3).get_secret("a") == "1"
        assert gcp.requested == ["projects/p/secrets/s/versions/3"] * 2
        for bad in [None, 3.0, True]:
            with pytest.raises(TypeError, match="version"):
                GcpSecretManagerProvider("p", "s", bad)

    def test_not_found_names_project_and_secret(self, gcp):
        with pytest.raises(SecretNotFoundError) as caught:
            GcpSecretManagerProvider("p", "s", "7")
        assert caught.value.args == ("p/s",)
        assert caught.value.__cause__ is None and isinstance(caught.value.__context__, gexc.NotFound)

    def test_service_errors(self, gcp):
        with pytest.raises(SecretProviderError) as caught:
            GcpSecretManagerProvider("p", "locked")
        cause = caught.value.__cause__
        assert isinstance(cause, gexc.GoogleAPICallError) and not isinstance(cause, gexc.NotFound)
        assert str(caught.value) == "GCP Secret Manager error for p/locked: " + str(cause)

    def test_undecodable_payloads_and_bad_input(self, gcp):
        with pytest.raises(UnicodeDecodeError) as bad:
            GcpSecretManagerProvider("p", "bad")
        with pytest.raises(json.JSONDecodeError) as text:
            GcpSecretManagerProvider("p", "text")
        for caught, name in [(bad, "'p/bad'"), (text, "'p/text'")]:
            assert exception_leaks(caught.value) == [] and name in str(caught.value)
        start = len(MARKER)
        assert (bad.value.object, bad.value.reason) == (b"\xff", f"invalid start byte (at position {start} of secret 'p/bad')")
        assert (text.value.msg, text.value.pos) == ("Expecting value", 0)
        for args in [(None, "s"), ("p", 5)]:
            with pytest.raises(TypeError, match="project_id|secret_id"):
                GcpSecretManagerProvider(*args)

    def test_client_errors_are_not_translated(self, monkeypatch, tmp_path):
        monkeypatch.setenv("GOOGLE_APPLICATION_CREDENTIALS", str(tmp_path / "missing.json"))
        with pytest.raises(DefaultCredentialsError):
            GcpSecretManagerProvider("p", "s")


def test_lazy_import_helpers_return_the_sdk_pieces():
    from quellon_runtime.secrets import aws, azure, gcp

    assert aws._import_boto() == (boto3, botocore.exceptions.BotoCoreError, botocore.exceptions.ClientError)
    credential, client, not_found, http_error = azure._import_azure()
    assert (credential.__name__, client.__name__) == ("DefaultAzureCredential", "SecretClient")
    assert (not_found, http_error) == (ResourceNotFoundError, HttpResponseError)
    assert gcp._import_gcp() == (secretmanager, gexc.NotFound, gexc.GoogleAPICallError)
    for cls, module in [(AwsSecretsManagerProvider, aws), (AzureKeyVaultProvider, azure), (GcpSecretManagerProvider, gcp)]:
        assert inspect.signature(cls.get_secret).parameters["key"].annotation is str
        assert cls.__module__ == module.__name__ and issubclass(cls, SecretProvider)


# --- Missing SDKs ---------------------------------------------------------------------------------

BLOCK = """
import json, sys
blocked = {blocked!r}
class Blocker:
    def find_spec(self, name, path=None, target=None):
        if any(name == b or name.startswith(b + ".") for b in blocked):
            raise ModuleNotFoundError(f"No module named {{name!r}}", name=name)
def block():
    for name in list(sys.modules):
        if any(name == b or name.startswith(b + ".") for b in blocked):
            del sys.modules[name]
    sys.meta_path.insert(0, Blocker())
def attempt(fn):
    try:
        fn()
    except ImportError as e:
        return [str(e), type(e.__cause__).__name__]
    return None
"""

CASES = {
    "aws": (["boto3", "botocore"], "from quellon_runtime.secrets.aws import AwsSecretsManagerProvider as P",
            "P('app/prod')",
            "boto3 is required for AwsSecretsManagerProvider. Install it with: pip install 'quellon-runtime[aws]'"),
    "azure": (["azure"], "from quellon_runtime.secrets.azure import AzureKeyVaultProvider as P",
              "P('https://vault.example')",
              "azure-keyvault-secrets and azure-identity are required for AzureKeyVaultProvider. "
              "Install with: pip install 'quellon-runtime[azure]'"),
    "gcp": (["google.cloud.secretmanager", "google.api_core"],
            "from quellon_runtime.secrets.gcp import GcpSecretManagerProvider as P", "P('p', 's')",
            "google-cloud-secret-manager is required for GcpSecretManagerProvider. "
            "Install with: pip install 'quellon-runtime[gcp]'"),
}


def run_fresh(code):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("which", sorted(CASES))
def test_missing_sdk_gives_the_install_hint(which):
    blocked, load, construct, hint = CASES[which]
    code = BLOCK.format(blocked=blocked) + f"""
block()
{load}
sdk_loaded = any(n in sys.modules for n in blocked)
print(json.dumps([sdk_loaded, attempt(lambda: {construct}), attempt(lambda: {construct})]))
"""
    sdk_loaded, first, second = run_fresh(code)
    assert not sdk_loaded
    assert first == second
    assert first[0] == hint and first[1] in ("ModuleNotFoundError", "ImportError")


def test_azure_lookup_without_the_sdk_gives_the_install_hint():
    blocked, load, construct, hint = CASES["azure"]
    code = BLOCK.format(blocked=blocked) + f"""
{load}
provider = {construct}
block()
print(json.dumps(attempt(lambda: provider.get_secret("k"))))
"""
    assert run_fresh(code) == [hint, "ModuleNotFoundError"]


# --- local providers: over a mapping, over prefixed environment variables ---------------------------

@pytest.mark.parametrize("kind", ["mapping", "environment"])
def test_local_providers_keep_the_contract(kind, monkeypatch):
    values = {"token": MARKER + "local", "api-key": "k"}
    for key, value in values.items():
        monkeypatch.setenv("QLT_" + key.upper().replace("-", "_"), value)
    provider = MappingSecretProvider(values) if kind == "mapping" else EnvironmentSecretProvider("QLT_")
    assert isinstance(provider, SecretProvider)
    assert (provider.get_secret("token"), provider.get_secret("api-key")) == (MARKER + "local", "k")
    with pytest.raises(SecretNotFoundError) as absent:
        provider.get_secret("missing")
    assert absent.value.args == ("missing",) and not isinstance(absent.value, SecretProviderError)
    assert exception_leaks(absent.value) == []
    assert ChainedSecretProvider(provider, MappingSecretProvider({"missing": "next"})).get_secret("missing") == "next"
    with pytest.raises(TypeError, match="key"):
        provider.get_secret(5)


@pytest.mark.parametrize("make,error,message", [
    (lambda: MappingSecretProvider({"a": MARKER.encode()}), TypeError, "secret 'a' must be a str, not bytes"),
    (lambda: MappingSecretProvider({1: MARKER}), TypeError, "secret names must be str, not int"),
    (lambda: MappingSecretProvider([("a", MARKER)]), TypeError, "secrets must be a mapping of str to str, not list"),
    (lambda: EnvironmentSecretProvider(""), ValueError, "EnvironmentSecretProvider requires a non-empty prefix"),
])
def test_local_providers_refuse_bad_construction_without_values(make, error, message):
    with pytest.raises(error) as caught:
        make()
    assert str(caught.value) == message and exception_leaks(caught.value) == []


def test_mapping_is_copied_and_environment_read_at_each_call(monkeypatch):
    source = {"a": "1"}
    mapping = MappingSecretProvider(source)
    source["a"] = "2"
    assert mapping.get_secret("a") == "1"
    env = EnvironmentSecretProvider("QLT_")
    monkeypatch.setenv("QLT_DB_PASSWORD", "")
    with pytest.raises(SecretNotFoundError) as empty:
        env.get_secret("db.password")
    assert empty.value.__notes__ == ["looked for the environment variable QLT_DB_PASSWORD"]
    monkeypatch.setenv("QLT_DB_PASSWORD", "pw")
    assert env.get_secret("db.password") == "pw"
