import inspect

import pytest

from quellon_runtime.auth import AuthProvider, NullAuthProvider


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

    async def test_headers_are_new_empty_dicts_and_no_credentials(self):
        provider = NullAuthProvider()
        first = await provider.get_headers()
        first["X-Filled"] = "yes"
        second = await provider.get_headers()
        assert second == {} and type(second) is dict and second is not first
        assert await provider.get_client_credentials() is None
        assert await provider.refresh() is None
        assert await provider.get_headers() == {}

    def test_takes_no_arguments(self):
        with pytest.raises(TypeError):
            NullAuthProvider("token")
