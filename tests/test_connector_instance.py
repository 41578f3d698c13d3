"""Connector instances: collaborators, auth resolution, the client cache and per-tenant breakers."""

import collections
import gc
import os
import sys
import weakref
from typing import Literal

import pybreaker
import pytest
from pydantic import BaseModel

from quellon_runtime.auth import AuthProvider, NullAuthProvider
from quellon_runtime.connector_base import ConnectorBase, ql_action
from quellon_runtime.secrets.base import SecretProvider

sys.path.insert(0, os.path.dirname(__file__))
from redis_server import redis_server  # noqa: E402,F401


class Lookup(BaseModel):
    action: Literal["items.get"] = "items.get"
    item_id: str = "i1"


class Listing(BaseModel):
    action: Literal["items.list"] = "items.list"


class Item(BaseModel):
    name: str = ""


class Acme(ConnectorBase):
    connector_id = "inst-test.acme"
    output_model = Item

    @ql_action("items.get")
    async def get(self, params: Lookup, *, trace_id: str) -> Item:
        return Item(name=params.item_id)

    @ql_action("items.list", scopes=["read"])
    async def list(self, params: Listing, *, trace_id: str) -> Item:
        return Item()


class AcmeEu(Acme):
    connector_id = "inst-test.acme-eu"


class NoBaseInit(Acme):
    """Skips the base constructor, as some connector authors do."""

    connector_id = "inst-test.no-base-init"

    def __init__(self):
        self.ready = True


class StaticAuth(AuthProvider):
    def __init__(self, headers):
        self.headers = headers

    async def get_headers(self):
        return self.headers


class Vault(SecretProvider):
    def get_secret(self, key):
        return "s3cret"


# ---------------------------------------------------------------- construction

def test_constructor_sets_documented_attributes_in_order():
    secrets, hook, auth = Vault(), object(), StaticAuth({})
    providers = {"basic": StaticAuth({"a": "1"})}
    config = {"region": "eu"}
    conn = Acme(secret_provider=secrets, policy_hook=hook, auth_provider=auth, auth_providers=providers,
                config=config, tenant_id="t1", config_name="prod")
    assert list(vars(conn)) == ["_input_model_cls", "_output_model_cls", "_secret_provider", "_policy_hook",
                                "config", "_config_name", "_tenant_id", "_auth_provider", "_auth_providers",
                                "_breakers", "_client"]
    assert conn._input_model_cls is Acme._union_input_model
    assert conn._output_model_cls is Item
    assert conn._secret_provider is secrets and conn._policy_hook is hook
    assert conn.config is config                      # a non-empty dict is kept, not copied
    assert (conn._config_name, conn._tenant_id) == ("prod", "t1")
    assert conn._auth_provider is auth
    assert conn._auth_providers == providers and conn._auth_providers is not providers
    assert isinstance(conn._breakers, collections.defaultdict) and not conn._breakers
    assert conn._breakers.default_factory == conn._create_breaker
    assert conn._client is None


def test_constructor_defaults_and_copies():
    conn = Acme()
    assert (conn.config, conn._auth_providers, conn.tenant_id, conn.config_name) == ({}, {}, None, None)
    assert type(conn.auth_provider) is NullAuthProvider
    assert Acme().auth_provider is not conn.auth_provider

    empty_config, empty_providers = {}, {}
    conn = Acme(config=empty_config, auth_providers=empty_providers)
    assert conn.config == {} and conn.config is not empty_config
    assert conn._auth_providers is not empty_providers
    empty_config["late"] = 1
    assert conn.config == {}

    providers = {"a": StaticAuth({})}
    conn = Acme(auth_providers=providers)
    providers["b"] = StaticAuth({})
    assert list(conn._auth_providers) == ["a"]


@pytest.mark.parametrize("param, value", [
    ("auth_providers", [("a", None)]),
    ("auth_providers", "a"),
    ("config", [("k", "v")]),
    ("config", ""),
    ("tenant_id", 7),
    ("tenant_id", b"t1"),
    ("config_name", ["prod"]),
])
def test_constructor_type_errors_name_the_parameter_and_set_nothing(param, value):
    conn = Acme.__new__(Acme)
    with pytest.raises(TypeError, match=rf"^{param}\b"):
        conn.__init__(**{param: value})
    assert vars(conn) == {}


def test_constructor_arguments_are_keyword_only():
    with pytest.raises(TypeError):
        Acme(Vault())


def test_read_only_properties_and_missing_secret_provider():
    secrets = Vault()
    conn = Acme(secret_provider=secrets, tenant_id="t1", config_name="prod")
    assert (conn.tenant_id, conn.config_name, conn.secret_provider) == ("t1", "prod", secrets)
    for name in ("tenant_id", "config_name", "secret_provider", "auth_provider"):
        with pytest.raises(AttributeError):
            setattr(conn, name, None)
    with pytest.raises(RuntimeError) as err:
        Acme().secret_provider
    assert str(err.value) == "SecretProvider has not been configured for this connector."


# ---------------------------------------------------------------- auth

def test_resolve_auth_provider_by_scheme():
    default, basic, blank = StaticAuth({}), StaticAuth({}), StaticAuth({})
    conn = Acme(auth_provider=default, auth_providers={"basic": basic, "": blank})
    assert conn.resolve_auth_provider() is default
    assert conn.resolve_auth_provider(None) is default
    assert conn.resolve_auth_provider("basic") is basic
    assert conn.resolve_auth_provider(auth_scheme="") is blank   # empty is a name, not "no scheme"


@pytest.mark.parametrize("cls, providers, scheme, message", [
    (Acme, {"b": None, "a": None}, "x", "Acme: unknown auth_scheme 'x'; configured: ['a', 'b']"),
    (Acme, None, "x", "Acme: unknown auth_scheme 'x'; configured: []"),
    (Acme, {"basic": None}, "", "Acme: unknown auth_scheme ''; configured: ['basic']"),
    (AcmeEu, {"o'auth": None}, "Basic", "AcmeEu: unknown auth_scheme 'Basic'; configured: [\"o'auth\"]"),
])
def test_unknown_auth_scheme_message_hides_the_lookup(cls, providers, scheme, message):
    conn = cls(auth_providers=providers)
    with pytest.raises(ValueError) as err:
        conn.resolve_auth_provider(scheme)
    assert type(err.value) is ValueError
    assert str(err.value) == message
    assert err.value.__cause__ is None
    assert err.value.__suppress_context__ is True


async def test_default_provider_gives_fresh_empty_headers():
    conn = Acme()
    first = await conn.get_auth_headers()
    assert first == {}
    first["X-Leak"] = "1"
    second = await conn.get_auth_headers()
    assert second == {} and second is not first
    assert await conn.auth_provider.get_client_credentials() is None


async def test_get_auth_headers_awaits_the_resolved_provider():
    headers = {"Authorization": "Basic abc"}
    conn = Acme(auth_provider=StaticAuth({"X-Default": "1"}), auth_providers={"basic": StaticAuth(headers)})
    assert await conn.get_auth_headers("basic") is headers
    assert await conn.get_auth_headers() == {"X-Default": "1"}
    with pytest.raises(ValueError, match=r"^Acme: unknown auth_scheme 'x'; configured: \['basic'\]$"):
        await conn.get_auth_headers(auth_scheme="x")


async def test_get_auth_headers_passes_provider_failures_and_none_through():
    boom = ConnectionError("vault down")

    class Failing(AuthProvider):
        async def get_headers(self):
            raise boom

    with pytest.raises(ConnectionError) as err:
        await Acme(auth_provider=Failing()).get_auth_headers()
    assert err.value is boom
    assert await Acme(auth_provider=StaticAuth(None)).get_auth_headers() is None


@pytest.mark.parametrize("headers", [[("Authorization", "x")], "Authorization: x"])
async def test_get_auth_headers_refuses_non_dict_results(headers):
    with pytest.raises(TypeError):
        await Acme(auth_provider=StaticAuth(headers)).get_auth_headers()


# ---------------------------------------------------------------- client cache

def test_default_client_is_none_and_never_cached():
    conn = Acme()
    assert conn.build_client() is None
    assert conn.get_client() is None and conn._client is None


@pytest.mark.parametrize("built, expected_builds", [
    (None, 3),
    (0, 1),
    ("", 1),
    ([], 1),
    (False, 1),
    ("client", 1),
])
def test_get_client_caches_anything_but_none(built, expected_builds):
    class Built(Acme):
        def build_client(self):
            self.builds = getattr(self, "builds", 0) + 1
            return built

    conn = Built()
    assert all(conn.get_client() is built for _ in range(3))
    assert conn.builds == expected_builds
    assert Built().get_client() is built     # cached per instance, not per class


# ---------------------------------------------------------------- breakers

def test_breakers_are_kept_per_tenant_key():
    conn = Acme()
    default = conn._breaker_for_tenant(None)
    assert conn._breaker_for_tenant("") is default
    t1 = conn._breaker_for_tenant("t1")
    assert t1 is not default and conn._breaker_for_tenant("t1") is t1
    assert set(conn._breakers) == {"__default__", "t1"}
    assert Acme()._breaker_for_tenant(None) is not default      # per instance
    assert [conn._breaker_key(t) for t in (None, "", "t1", " ")] == ["__default__", "__default__", "t1", " "]


class Tuned(Acme):
    connector_id = "inst-test.tuned"
    breaker_fail_max, breaker_reset_timeout = 2, 7.5


@pytest.fixture(params=["memory", "redis"])
def backend(request, monkeypatch):
    """Breakers in memory, or shared through a real redis-server."""
    if request.param == "redis":
        pytest.importorskip("redis")
        server = request.getfixturevalue("redis_server")
        server.flush()
        monkeypatch.setenv("QL_THROTTLE_BACKEND", "redis")
        monkeypatch.setenv("QL_THROTTLE_REDIS_URL", server.url)
    return request.param


@pytest.mark.parametrize("cls, name, limits", [(Acme, "Acme_breaker", (5, 30)), (AcmeEu, "AcmeEu_breaker", (5, 30)),
                                               (Tuned, "Tuned_breaker", (2, 7.5))])
def test_breakers_are_named_after_the_concrete_class(cls, name, limits, backend):
    conn = cls()
    for tenant in (None, "t1"):
        breaker = conn._breaker_for_tenant(tenant)
        assert isinstance(breaker, pybreaker.CircuitBreaker)
        assert (breaker.name, breaker.fail_max, breaker.reset_timeout) == (name, *limits)
        assert breaker._state_storage.name == backend
    fresh = conn._create_breaker()
    assert fresh is not conn._breaker_for_tenant(None) and fresh.name == name


def test_shared_breakers_are_kept_apart_by_connector_id_and_configuration(backend):
    one, two = (type("Connector", (Acme,), {"connector_id": cid}) for cid in ("inst-test.one", "inst-test:two"))
    breakers = [one()._breaker_for_tenant("t"), two()._breaker_for_tenant("t"),
                one(config_name="eu")._breaker_for_tenant("t"), one()._breaker_for_tenant("t")]
    with pytest.raises(ZeroDivisionError):
        breakers[0].call(lambda: 1 / 0)
    assert [b.fail_counter for b in breakers] == [1, 0, 0, 1 if backend == "redis" else 0]


def test_breaker_creation_and_keys_go_through_overridable_methods():
    class Tuned(Acme):
        def _create_breaker(self):
            return pybreaker.CircuitBreaker(fail_max=1, name="tuned")

        def _breaker_key(self, tenant_id):
            return (tenant_id or "shared").lower()

    conn = Tuned()
    assert conn._breaker_for_tenant("T1") is conn._breaker_for_tenant("t1")
    assert conn._breaker_for_tenant("t1").fail_max == 1
    assert set(conn._breakers) == {"t1"}


def test_subclass_skipping_base_constructor_still_gets_breakers():
    conn = NoBaseInit()
    assert "_breakers" not in vars(conn)
    breaker = conn._breaker_for_tenant("t1")
    assert breaker.name == "NoBaseInit_breaker"
    assert isinstance(conn._breakers, collections.defaultdict)
    assert conn._breaker_for_tenant("t1") is breaker
    assert conn._breaker_for_tenant(None) is conn._breaker_for_tenant("")
    assert set(conn._breakers) == {"t1", "__default__"}


def test_instances_with_breakers_and_client_are_collectable():
    # the breaker map refers back to the instance through its factory; that cycle must not leak
    class Cached(Acme):
        def build_client(self):
            return object()

    conn = Cached()
    conn._breaker_for_tenant("t1")
    conn.get_client()
    ref = weakref.ref(conn)
    del conn
    gc.collect()
    assert ref() is None


# ---------------------------------------------------------------- class accessors

def test_action_metas_are_fresh_copies_of_the_registry():
    sdk, ql = Acme.sdk_action_metas(), Acme.ql_action_metas()
    assert sdk == ql == Acme._action_registry
    assert len({id(sdk), id(ql), id(Acme._action_registry), id(Acme.sdk_action_metas())}) == 4
    assert sdk["items.list"].scopes == ["read"]
    sdk.clear()
    ql["items.extra"] = None
    assert set(Acme._action_registry) == {"items.get", "items.list"}
    assert Acme().ql_action_metas() == Acme._action_registry
    assert AcmeEu.sdk_action_metas() == Acme._action_registry


def test_get_registry_is_a_copy_of_the_index():
    registry = Acme.get_registry()
    assert registry["inst-test.acme"] is Acme and registry["inst-test.acme-eu"] is AcmeEu
    registry.clear()
    assert Acme().get_registry()["inst-test.acme"] is Acme


# ---------------------------------------------------------------- bad input

@pytest.mark.parametrize("call, param", [
    (lambda c: c.resolve_auth_provider(3), "auth_scheme"),
    (lambda c: c.resolve_auth_provider(["basic"]), "auth_scheme"),
    (lambda c: c._breaker_key(3), "tenant_id"),
    (lambda c: c._breaker_for_tenant(b"t1"), "tenant_id"),
])
def test_method_argument_types_name_the_parameter(call, param):
    with pytest.raises(TypeError, match=rf"^{param}\b"):
        call(Acme(auth_providers={"basic": StaticAuth({})}))


async def test_subclass_skipping_base_constructor_fails_cleanly():
    conn = NoBaseInit()
    assert conn.get_client() is None
    with pytest.raises(RuntimeError, match="^SecretProvider has not been configured"):
        conn.secret_provider
    for read in (lambda: conn.tenant_id, lambda: conn.config_name, lambda: conn.auth_provider,
                 lambda: conn.resolve_auth_provider(), lambda: conn.resolve_auth_provider("basic")):
        with pytest.raises(AttributeError):
            read()
    with pytest.raises(AttributeError):
        await conn.get_auth_headers()
    response = await conn.run({"action": "items.get"})
    assert response.success is False and response.error_code


@pytest.mark.parametrize("call", [
    lambda: ConnectorBase.resolve_auth_provider(None, "basic"),
    lambda: ConnectorBase.resolve_auth_provider(None),
    lambda: ConnectorBase._breaker_for_tenant(None, "t1"),
    lambda: ConnectorBase.get_client(None),
    lambda: ConnectorBase.__init__(None),
    lambda: ConnectorBase.sdk_action_metas.__func__(None),
    lambda: ConnectorBase.ql_action_metas(),
    lambda: ConnectorBase(),
    lambda: ConnectorBase.tenant_id.fget(None),
    lambda: ConnectorBase.auth_provider.fget(object()),
], ids=["resolve", "resolve-default", "breaker", "client", "init", "metas", "base-metas", "base-init",
        "tenant", "auth"])
def test_none_or_foreign_objects_raise_python_errors(call):
    with pytest.raises((AttributeError, TypeError)):
        call()


async def test_broken_instance_state_raises_python_errors():
    conn = Acme()
    conn._auth_providers = None
    with pytest.raises(TypeError):
        conn.resolve_auth_provider("basic")
    conn._auth_provider = None
    with pytest.raises(AttributeError):
        await conn.get_auth_headers()
    conn._breakers = None
    with pytest.raises(TypeError):
        conn._breaker_for_tenant("t1")
    conn._breakers = {}
    with pytest.raises(KeyError):
        conn._breaker_for_tenant("t1")


async def test_get_auth_headers_asks_an_overridden_resolve_auth_provider():
    asked = []

    class Routed(Acme):
        connector_id = "inst-routed-auth"

        def resolve_auth_provider(self, auth_scheme=None):
            asked.append(auth_scheme)
            return StaticAuth({"X-Routed": auth_scheme or "default"})

    conn = Routed(auth_provider=StaticAuth({"X-Default": "1"}))
    assert await conn.get_auth_headers() == {"X-Routed": "default"}
    assert await conn.get_auth_headers("vendor") == {"X-Routed": "vendor"}
    assert asked == [None, "vendor"]
