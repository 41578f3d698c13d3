import importlib.machinery

import pytest

from quellon_runtime import policy
from quellon_runtime.config_store import ConnectorConfigStore
from quellon_runtime.policy import PolicyContext, PolicyDenied, PolicyHook, TenantConfigHook


def test_loads_as_extension_with_documented_names():
    assert policy.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    for cls in (PolicyContext, PolicyDenied, PolicyHook, TenantConfigHook):
        assert cls.__module__ == "quellon_runtime.policy"
        assert cls.__qualname__ == cls.__name__
    assert PolicyDenied.__bases__ == (Exception,)
    assert PolicyDenied.__doc__ == "Raised when a policy hook denies execution."
    assert PolicyContext.__doc__ is None


def test_context_record_defaults_equality_and_mutability():
    payload = {"a": 1}
    ctx = PolicyContext("crm", "contacts.create", payload)
    assert (ctx.principal, ctx.tenant_id, ctx.scopes) == (None, None, None)
    assert ctx.input_payload is payload
    full = PolicyContext(connector_id="crm", action="contacts.create", input_payload=payload,
                         principal="p", tenant_id="t", scopes=("s",))
    assert full == PolicyContext("crm", "contacts.create", payload, "p", "t", ("s",))
    assert full != ctx
    ctx.tenant_id = "t2"
    assert ctx.tenant_id == "t2"
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'input_payload'"):
        PolicyContext("crm", "contacts.create")


def test_hook_is_abstract_and_base_check_raises_bare_not_implemented():
    with pytest.raises(TypeError):
        PolicyHook()
    with pytest.raises(TypeError):
        type("NoCheck", (PolicyHook,), {})()

    class Delegating(PolicyHook):
        def check(self, context):
            return super().check(context)

    with pytest.raises(NotImplementedError) as err:
        Delegating().check(PolicyContext("c", "a.b", {}))
    assert err.value.args == ()

    class AllowAll(PolicyHook):
        def check(self, context):
            return None

    assert isinstance(AllowAll(), PolicyHook)
    assert isinstance(TenantConfigHook(ConnectorConfigStore()), PolicyHook)


class RecordingStore:
    def __init__(self, result):
        self.result, self.calls = result, []

    def has_config(self, *args):
        self.calls.append(args)
        return self.result


@pytest.mark.parametrize("tenant", [None, ""])
def test_missing_tenant_uses_default_key_in_lookup_and_message(tenant):
    store = RecordingStore(False)
    with pytest.raises(PolicyDenied) as err:
        TenantConfigHook(store).check(PolicyContext("acme", "a.b", {}, tenant_id=tenant))
    assert store.calls == [("__default__", "acme")]
    assert str(err.value) == "no config for tenant '__default__' / connector 'acme'"


@pytest.mark.parametrize("result,allowed", [(True, True), (object(), True), ([1], True),
                                            (None, False), (False, False), ("", False)])
def test_truth_value_of_store_result_decides(result, allowed):
    store = RecordingStore(result)
    ctx = PolicyContext("crm", "x.y", {}, principal="p", tenant_id="t1", scopes=("s",))
    if allowed:
        assert TenantConfigHook(store).check(ctx) is None
    else:
        with pytest.raises(PolicyDenied, match=r"^no config for tenant 't1' / connector 'crm'$"):
            TenantConfigHook(store).check(ctx)
    assert store.calls == [("t1", "crm")]


def test_real_store_and_store_errors_pass_through():
    store = ConnectorConfigStore()
    hook = TenantConfigHook(store)
    assert hook._store is store
    store.put("t1", "crm", {})
    hook.check(PolicyContext("crm", "a.b", {}, tenant_id="t1"))
    # Ids are caller data: even text that cannot be encoded is reported, not a crash.
    with pytest.raises(PolicyDenied) as err:
        hook.check(PolicyContext("crm", "a.b", {}, tenant_id="t\ud800"))
    assert err.value.args == ("no config for tenant 't\ud800' / connector 'crm'",)

    boom = KeyError("broken store")

    class Broken:
        def has_config(self, tenant_id, connector_id):
            raise boom

    with pytest.raises(KeyError) as err:
        TenantConfigHook(Broken()).check(PolicyContext("crm", "a.b", {}))
    assert err.value is boom


def test_bad_arguments_raise_type_error():
    with pytest.raises(TypeError, match="store"):
        TenantConfigHook(None)
    with pytest.raises(TypeError, match="context"):
        TenantConfigHook(ConnectorConfigStore()).check({"connector_id": "crm"})

    class Skipped(TenantConfigHook):
        def __init__(self):
            pass

    with pytest.raises(AttributeError):
        Skipped().check(PolicyContext("crm", "a.b", {}))
