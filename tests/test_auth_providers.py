import asyncio
import collections
import types
import base64
import inspect

import pytest

from log_guard import MARKER, all_records, exception_leaks
from quellon_runtime.auth import AuthProvider, NullAuthProvider
from quellon_runtime.auth.fixed_token import FixedTokenAuthProvider
from quellon_runtime.secrets import SecretNotFoundError, SecretProvider, SecretProviderError
from quellon_runtime.secrets.chained import ChainedSecretProvider

TOKEN = MARKER + "token"


@pytest.fixture(autouse=True)
def logs():
    with all_records() as capture:
        yield capture
    assert capture.leaks() == []


class Store(SecretProvider):
    """Answers from a dict and counts its reads; an exception value is raised instead."""

    def __init__(self, values):
        self.values = values
        self.reads = []

    def get_secret(self, key):
        self.reads.append(key)
        value = self.values[key]
        if isinstance(value, BaseException):
            raise value
        return value


def fixed(value, **kwargs):
    store = Store({"api": value})
    return FixedTokenAuthProvider(secret_provider=store, secret_key="api", **kwargs), store


class TestNullAuthProvider:
    def test_is_a_real_auth_provider_class(self):
        assert issubclass(NullAuthProvider, AuthProvider)
        assert NullAuthProvider.__module__ == "quellon_runtime.auth.null_auth"
        assert NullAuthProvider.__qualname__ == "NullAuthProvider"
        assert isinstance(NullAuthProvider(), AuthProvider)
        assert inspect.iscoroutinefunction(NullAuthProvider.get_headers)
        assert inspect.iscoroutinefunction(NullAuthProvider.get_client_credentials)

        class Custom(NullAuthProvider):
            async def get_headers(self):
                return {"X-Custom": "1", **(await super().get_headers())}

        assert isinstance(Custom(), AuthProvider)

    async def test_headers_are_new_empty_dicts_and_no_credentials(self, logs):
        provider = NullAuthProvider()
        first = await provider.get_headers()
        first["X-Filled"] = "yes"
        second = await provider.get_headers()
        assert second == {} and type(second) is dict and second is not first
        assert await provider.get_client_credentials() is None
        assert await provider.refresh() is None
        assert await provider.get_headers() == {}
        assert [r for r in logs.records if r.name.startswith("runtime")] == []

    def test_takes_no_arguments(self):
        with pytest.raises(TypeError):
            NullAuthProvider("token")


class TestFixedTokenHeaderValue:
    async def test_defaults_give_a_bearer_authorization_header(self):
        provider, _ = fixed(TOKEN)
        assert isinstance(provider, AuthProvider)
        assert await provider.get_headers() == {"Authorization": "Bearer " + TOKEN}
        assert await provider.get_client_credentials() is None

    async def test_prefix_rules(self):
        raw, _ = fixed("  " + TOKEN + " \t", prefix="", header_name="X-Api-Key")
        assert await raw.get_headers() == {"X-Api-Key": "  " + TOKEN + " \t"}
        trimmed, _ = fixed(TOKEN + "\r\n", prefix="Token")
        assert await trimmed.get_headers() == {"Authorization": "Token " + TOKEN}
        inner, _ = fixed("  " + TOKEN)
        assert await inner.get_headers() == {"Authorization": "Bearer   " + TOKEN}
        empty, _ = fixed("")
        assert await empty.get_headers() == {"Authorization": "Bearer"}

    async def test_base64_encoding(self, logs):
        basic = "user:" + MARKER + "pässwörd"
        encoded = base64.b64encode(basic.encode("utf-8")).decode("ascii")
        logs.secrets.append(encoded)
        provider, _ = fixed(basic, prefix="Basic", encoding="base64")
        assert await provider.get_headers() == {"Authorization": "Basic " + encoded}
        for short, padded in [("a", "YQ=="), ("ab", "YWI="), ("abc", "YWJj")]:
            provider, _ = fixed(short, prefix="", encoding="base64")
            assert await provider.get_headers() == {"Authorization": padded}
        for other in ["BASE64", "Base64", "hex", ""]:
            provider, _ = fixed(TOKEN, encoding=other)
            assert await provider.get_headers() == {"Authorization": "Bearer " + TOKEN}

    async def test_a_secret_that_is_not_text_is_refused_and_not_cached(self):
        provider, store = fixed(None)
        with pytest.raises(TypeError, match="'api'"):
            await provider.get_headers()
        assert provider._cached_header is None
        store.values["api"] = TOKEN
        assert await provider.get_headers() == {"Authorization": "Bearer " + TOKEN}


class TestFixedTokenNeverCarriesTheSecretOut:
    @pytest.mark.parametrize("value, kwargs", [
        (TOKEN + "\r\nX-Injected: 1", {}),
        (TOKEN + "\nX-Injected: 1", {"prefix": "Token"}),
        ("X-Injected: 1\r" + TOKEN, {"prefix": ""}),
        (TOKEN + "\x00tail", {}),
        (TOKEN + "\n", {"prefix": ""}),  # with no prefix nothing is stripped
    ])
    async def test_a_line_break_in_the_header_value_is_refused_naming_the_key(self, value, kwargs):
        provider, _ = fixed(value, header_name="X-Key", **kwargs)
        with pytest.raises(ValueError) as caught:
            await provider.get_headers()
        assert str(caught.value) == "secret 'api' would put a CR, LF or NUL character into the 'X-Key' header"
        assert exception_leaks(caught.value) == [] and provider._cached_header is None

    @pytest.mark.parametrize("bad", ["X-A\r\nX-B", "A\nB", "A\x00"])
    def test_a_header_name_or_prefix_with_a_line_break_is_refused(self, bad):
        for param in ("header_name", "prefix"):
            with pytest.raises(ValueError, match=f"^{param} must not contain CR, LF or NUL$"):
                fixed(TOKEN, **{param: bad})

    async def test_a_secret_without_utf8_form_fails_without_the_secret(self):
        provider, _ = fixed(TOKEN + "\ud800rest", prefix="Basic", encoding="base64")
        with pytest.raises(UnicodeEncodeError) as caught:
            await provider.get_headers()
        assert exception_leaks(caught.value) == [] and provider._cached_header is None
        err = caught.value
        assert (err.encoding, err.object, err.start, err.end) == ("utf-8", "\ud800", 0, 1)
        assert err.reason == f"surrogates not allowed (at position {len(TOKEN)} of secret 'api')"
        assert err.__cause__ is None and err.__suppress_context__


class TestFixedTokenCache:
    @pytest.mark.parametrize("cached", [
        {"Authorization": "Bearer x"},
        collections.OrderedDict(Authorization="Bearer x"),
        types.MappingProxyType({"Authorization": "Bearer x"}),
        [("Authorization", "Bearer x")],
    ])
    async def test_every_cached_form_is_returned_as_a_new_plain_dict(self, cached):
        provider, store = fixed(TOKEN)
        provider._cached_header = cached
        got = await provider.get_headers()
        assert type(got) is dict and got == {"Authorization": "Bearer x"} and got is not cached
        assert store.reads == []


    async def test_one_read_distinct_copies_and_refresh(self, logs):
        provider, store = fixed(TOKEN)
        assert provider._cached_header is None and store.reads == []
        first = await provider.get_headers()
        first["Authorization"] = "changed"
        second = await provider.get_headers()
        assert second == {"Authorization": "Bearer " + TOKEN} and second is not first
        assert store.reads == ["api"]

        store.values["api"] = MARKER + "rotated"
        assert await provider.get_headers() == {"Authorization": "Bearer " + TOKEN}
        assert await provider.refresh() is None
        assert provider._cached_header is None
        assert await provider.get_headers() == {"Authorization": "Bearer " + MARKER + "rotated"}
        assert store.reads == ["api", "api"]

        records = logs.by("runtime.auth.fixed_token")
        assert [r.getMessage() for r in records] == [
            "FixedTokenAuthProvider: resolving secret",
            "FixedTokenAuthProvider: cache invalidated",
            "FixedTokenAuthProvider: resolving secret",
        ]
        assert all(r.levelname == "DEBUG" for r in records)
        assert records[0].header == "Authorization" and not hasattr(records[1], "header")

    async def test_concurrent_first_calls_read_once(self):
        provider, store = fixed(TOKEN)
        results = await asyncio.gather(*(provider.get_headers() for _ in range(5)))
        assert store.reads == ["api"]
        assert len({id(r) for r in results}) == 5

    @pytest.mark.parametrize(
        "error", [SecretProviderError("vault down"), SecretNotFoundError("api"), RuntimeError("boom")]
    )
    async def test_a_failed_read_passes_unchanged_and_is_retried(self, error):
        provider, store = fixed(error)
        with pytest.raises(type(error)) as caught:
            await provider.get_headers()
        assert caught.value is error
        assert provider._cached_header is None
        store.values["api"] = TOKEN
        assert await provider.get_headers() == {"Authorization": "Bearer " + TOKEN}
        assert await provider.get_headers() == {"Authorization": "Bearer " + TOKEN}
        assert store.reads == ["api", "api"]

    async def test_over_a_chain_of_secret_providers(self):
        chain = ChainedSecretProvider(Store({"other": "x"}), Store({"api": TOKEN + "\n"}))
        provider = FixedTokenAuthProvider(secret_provider=chain, secret_key="api", prefix="Bearer")
        assert await provider.get_headers() == {"Authorization": "Bearer " + TOKEN}


class TestFixedTokenConstruction:
    def test_fields_and_signature(self):
        store = Store({})
        provider = FixedTokenAuthProvider(secret_provider=store, secret_key="k", header_name="X-Key", prefix="",
                                          encoding="base64")
        assert (provider._secret_provider, provider._secret_key, provider._header_name, provider._prefix,
                provider._encoding, provider._cached_header) == (store, "k", "X-Key", "", "base64", None)
        assert store.reads == []
        params = inspect.signature(FixedTokenAuthProvider).parameters
        assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in params.values())
        assert FixedTokenAuthProvider.__module__ == "quellon_runtime.auth.fixed_token"

    @pytest.mark.parametrize(
        "kwargs, name",
        [
            ({"secret_key": None}, "secret_key"),
            ({"secret_key": 7}, "secret_key"),
            ({"header_name": None}, "header_name"),
            ({"header_name": b"Authorization"}, "header_name"),
            ({"prefix": None}, "prefix"),
            ({"prefix": 1}, "prefix"),
            ({"encoding": 64}, "encoding"),
        ],
    )
    def test_wrong_types_name_the_parameter(self, kwargs, name):
        args = {"secret_provider": Store({}), "secret_key": "k", **kwargs}
        with pytest.raises(TypeError, match=name):
            FixedTokenAuthProvider(**args)

    def test_positional_or_missing_arguments(self):
        with pytest.raises(TypeError):
            FixedTokenAuthProvider(Store({}), "k")
        with pytest.raises(TypeError, match="secret_key"):
            FixedTokenAuthProvider(secret_provider=Store({}))
        with pytest.raises(TypeError):
            FixedTokenAuthProvider()
