import importlib.machinery
import json
import logging
import os
import shutil
import subprocess
import sys

import pytest

import quellon_runtime
from quellon_runtime.policies import mcp_scope_gate as gate
from quellon_runtime.policies.mcp_scope_gate import ScopePolicyHook
from quellon_runtime.policy import PolicyContext, PolicyDenied, PolicyHook

MAP_ENV = "QL_MCP_ACTION_SCOPE_MAP_JSON"
PACKAGE_ROOT = os.path.dirname(os.path.dirname(quellon_runtime.__file__))


@pytest.fixture(autouse=True)
def clean_env(monkeypatch, caplog):
    for name in (MAP_ENV, "QL_MCP_SCOPE_GATE_DEFAULT", "QL_REST_LOAD_DOTENV"):
        monkeypatch.delenv(name, raising=False)
    caplog.set_level(logging.INFO, logger="runtime.policy.scope")


def lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "runtime.policy.scope"]


def run_fresh(code, cwd, pythonpath=PACKAGE_ROOT, **env):
    """Run code in a new interpreter; stdout lines. Log records go to stdout as 'LEVEL message'."""
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("QL_")}
    full_env.update(env, PYTHONPATH=pythonpath)
    prologue = ("import logging, sys\n"
                "logging.basicConfig(stream=sys.stdout, level=logging.INFO, format='%(levelname)s %(message)s')\n"
                "from quellon_runtime.policies import mcp_scope_gate as gate\n")
    result = subprocess.run([sys.executable, "-c", prologue + code], cwd=cwd, env=full_env,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_module_surface():
    assert gate.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert (gate.DEFAULT_SCOPE_MODE_ALLOW, gate.DEFAULT_SCOPE_MODE_DENY) == ("allow", "deny")
    assert gate.logger.name == "runtime.policy.scope"
    assert issubclass(ScopePolicyHook, PolicyHook)
    assert ScopePolicyHook.__module__ == "quellon_runtime.policies.mcp_scope_gate"


@pytest.mark.parametrize("val,mode", [("deny", "deny"), ("  Closed \t", "deny"), ("DEFAULT-DENY", "deny"),
                                      ("allow", "allow"), ("strict", "allow"), ("", "allow")])
def test_mode_words(val, mode):
    assert gate._truthy_default_mode(val) == mode


@pytest.mark.parametrize("value,mode", [(" closed ", "deny"), ("open", "allow"), ("Allow", "allow")])
def test_default_mode_from_env(monkeypatch, value, mode):
    monkeypatch.setenv("QL_MCP_SCOPE_GATE_DEFAULT", value)
    assert gate.load_scope_policy_default_from_env() == mode


def test_unset_default_mode_denies_and_warns_once_per_process(tmp_path):
    code = ("print(gate.load_scope_policy_default_from_env())\n"
            "print(gate.load_scope_policy_default_from_env())\n")
    warning = ("WARNING QL_MCP_SCOPE_GATE_DEFAULT is unset; using code default 'deny'. Set QL_MCP_SCOPE_GATE_DEFAULT"
               " explicitly and configure QL_*_API_KEY_SCOPES (or JWT scopes) for each transport.")
    assert run_fresh(code, tmp_path) == [warning, "deny", "deny"]
    assert run_fresh(code, tmp_path, QL_MCP_SCOPE_GATE_DEFAULT="   ") == [warning, "deny", "deny"]


def test_unknown_default_word_allows_and_warns_once_per_word(tmp_path):
    code = ("import os\n"
            "for word in ['dney', 'dney', ' block ', 'Open', 'closed']:\n"
            "    os.environ['QL_MCP_SCOPE_GATE_DEFAULT'] = word\n"
            "    print(gate.load_scope_policy_default_from_env())\n")
    warning = "WARNING QL_MCP_SCOPE_GATE_DEFAULT is set to the unknown word {!r}; using 'allow'. Use 'allow' or 'deny'."
    assert run_fresh(code, tmp_path) == [warning.format("dney"), "allow", "allow", warning.format(" block "), "allow",
                                         "allow", "deny"]


def test_map_from_env_is_logged_with_sorted_keys(monkeypatch, caplog):
    monkeypatch.setenv(MAP_ENV, json.dumps({"b.x": "s1", "a.y": "", "c.z": "S2"}))
    assert list(gate.load_scope_map_from_env().items()) == [("b.x", "s1"), ("a.y", ""), ("c.z", "S2")]
    (record,) = caplog.records
    assert (record.getMessage(), record.entries, record.action_keys) == ("Scope policy map loaded", 3,
                                                                        ["a.y", "b.x", "c.z"])


@pytest.mark.parametrize("value,error,message", [
    ('["a.b"]', ValueError, "QL_MCP_ACTION_SCOPE_MAP_JSON must be a JSON object."),
    ('{"a.b": "s", "c.d": 1}', ValueError,
     "QL_MCP_ACTION_SCOPE_MAP_JSON must map string action keys to string scopes."),
    ("{not json", json.JSONDecodeError, None),
    ("   ", json.JSONDecodeError, None),
])
def test_malformed_map_raises(monkeypatch, value, error, message):
    monkeypatch.setenv(MAP_ENV, value)
    with pytest.raises(error) as err:
        gate.load_scope_map_from_env()
    if message:
        assert str(err.value) == message


def test_empty_map_without_dotenv(monkeypatch, caplog):
    monkeypatch.setenv("QL_REST_LOAD_DOTENV", "0")
    monkeypatch.setenv(MAP_ENV, "")
    assert gate.load_scope_map_from_env() == {}
    assert lines(caplog) == ["Scope policy map not configured (env empty)"]


DOTENV_PROBE = "print(gate.load_scope_map_from_env()); import os; print(os.environ.get('FROM_FILE'))\n"


@pytest.mark.parametrize("flag,loaded", [(None, True), ("FALSE", False), ("no", False), ("0", False),
                                         (" no", True), ("yes", True)])
def test_dotenv_from_working_directory(tmp_path, flag, loaded):
    (tmp_path / ".env").write_text(f"{MAP_ENV}='{{\"crm.a\": \"s\"}}'\nFROM_FILE=file\nKEEP=file\n")
    env = {"KEEP": "process"} if flag is None else {"KEEP": "process", "QL_REST_LOAD_DOTENV": flag}
    out = run_fresh(DOTENV_PROBE + "print(os.environ['KEEP'])\n", tmp_path, **env)
    if loaded:
        assert out == ["INFO Scope policy map loaded", "{'crm.a': 's'}", "file", "process"]
    else:
        assert out == ["INFO Scope policy map not configured (env empty)", "{}", "None", "process"]


def test_dotenv_not_consulted_when_map_is_set(tmp_path):
    (tmp_path / ".env").write_text("FROM_FILE=file\n")
    assert run_fresh(DOTENV_PROBE, tmp_path, **{MAP_ENV: "{}"}) == ["INFO Scope policy map loaded", "{}", "None"]


def test_dotenv_at_repository_root_after_working_directory(tmp_path):
    # A copy of the package whose repository root is tmp_path/repo.
    pkg = tmp_path / "repo" / "src" / "quellon_runtime"
    (pkg / "policies").mkdir(parents=True)
    for module in (quellon_runtime, gate, sys.modules["quellon_runtime.policy"],
                   sys.modules["quellon_runtime.policies"]):
        shutil.copy(module.__file__, pkg / os.path.relpath(module.__file__, quellon_runtime.__path__[0]))
    (tmp_path / "repo" / ".env").write_text("SHARED=root\nROOT_ONLY=root\n")
    work = tmp_path / "work"
    work.mkdir()
    (work / ".env").write_text(f"{MAP_ENV}={{}}\nSHARED=cwd\n")
    code = ("print(gate.__file__); gate.load_scope_map_from_env()\n"
            "import os; print(os.environ['SHARED'], os.environ['ROOT_ONLY'])\n")
    out = run_fresh(code, work, pythonpath=str(tmp_path / "repo" / "src"))
    assert out[0].startswith(str(pkg)) and out[-1] == "cwd root"


def test_dotenv_search_without_a_calling_script_on_disk(tmp_path):
    # The calling script is gone, so the search starts in the working directory.
    (tmp_path / ".env").write_text(f"{MAP_ENV}={{\"a.b\": \"s\"}}\n")
    script = tmp_path / "gone.py"
    script.write_text("import os, sys\nos.remove(__file__)\nsys.path.insert(0, os.environ['PKG'])\n"
                      "from quellon_runtime.policies import mcp_scope_gate as gate\n"
                      "print(gate.load_scope_map_from_env())\n")
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
                            env={**{k: v for k, v in os.environ.items() if k != MAP_ENV}, "PKG": PACKAGE_ROOT})
    assert result.stdout.splitlines() == ["{'a.b': 's'}"], result.stderr


MAP = {"crm.contacts.create": "contacts:write", "crm.contacts.list": ""}


@pytest.mark.parametrize("connector,action,scope_map,mode,required", [
    ("crm", "contacts.create", MAP, "deny", "contacts:write"),
    ("crm", "contacts.create", MAP, "allow", "contacts:write"),
    ("crm", "contacts.list", MAP, "deny", "mcp:crm.contacts.list"),   # empty value = absent
    ("crm", "contacts.list", MAP, "allow", None),
    ("CRM", "contacts.create", MAP, "allow", None),                  # exact key only
    ("crm", "contacts.delete", {}, "DENY", None),                     # exact mode word only
])
def test_required_scope(connector, action, scope_map, mode, required):
    assert gate.resolve_required_scope_for_action(connector_id=connector, action=action, action_scope_map=scope_map,
                                                  default_mode=mode) == required


def allowed(principal=None, scopes=None, action="contacts.create", mode="deny", scope_map=MAP, tenant_id="t"):
    return gate.action_allowed_for_identity_scopes(connector_id="crm", action=action, principal=principal,
                                                   tenant_id=tenant_id, scopes=scopes, action_scope_map=scope_map,
                                                   default_mode=mode)


@pytest.mark.parametrize("kwargs,result", [
    (dict(scopes=("contacts:write",)), True),
    (dict(scopes=("*",)), True),
    (dict(principal="p", scopes=("contacts:read",)), False),
    (dict(principal="p", scopes=()), False),
    (dict(action="contacts.delete", scope_map={}, mode="allow"), True),
    (dict(action="contacts.delete", scopes=["mcp:crm.contacts.delete"], tenant_id=None), True),
    (dict(scopes=("contacts:write:extra",)), False),
])
def test_allowed_for_scopes(caplog, kwargs, result):
    assert allowed(**kwargs) is result
    assert lines(caplog) == []


def test_missing_identity_is_logged(caplog):
    assert allowed(principal="", scopes=()) is False
    (record,) = caplog.records
    assert (record.getMessage(), record.action_key, record.required_scope) == (
        "Scope policy denied due to missing caller identity", "crm.contacts.create", "contacts:write")


@pytest.mark.parametrize("kwargs,param", [
    (dict(principal=1), "principal"), (dict(tenant_id=2), "tenant_id"), (dict(scopes="contacts:write"), "scopes"),
    (dict(scope_map=[("a", "b")]), "action_scope_map"), (dict(mode=None), "default_mode"),
])
def test_decision_argument_types(kwargs, param):
    with pytest.raises(TypeError, match=param):
        allowed(**kwargs)


@pytest.mark.parametrize("mode,stored", [("allow", "allow"), ("deny", "deny"), ("DENY", "deny"), ("ALLOW", "deny"),
                                         ("open", "deny"), (None, "deny")])
def test_hook_construction(mode, stored):
    source = {"a.b": "s"}
    hook = ScopePolicyHook(source, default_mode=mode)
    source["a.b"] = "changed"
    assert (hook._map, hook._default_mode) == ({"a.b": "s"}, stored)
    assert ScopePolicyHook({})._default_mode == "deny"


def ctx(action, principal=None, scopes=None, tenant_id=None):
    return PolicyContext("crm", action, {}, principal=principal, tenant_id=tenant_id, scopes=scopes)


def test_hook_deny_mode_scenarios(caplog):
    hook = ScopePolicyHook({})
    hook.check(ctx("contacts.create", scopes=("mcp:crm.contacts.create",)))
    with pytest.raises(PolicyDenied, match=r"^Missing required scope: mcp:crm\.contacts\.delete$"):
        hook.check(ctx("contacts.delete", scopes=("mcp:crm.contacts.create",)))
    hook.check(ctx("contacts.delete", principal="p", scopes=("*",)))
    assert lines(caplog) == ["Scope policy evaluating action"] * 3
    first = caplog.records[0]
    assert (first.action_key, first.required_scope, first.principal, first.tenant_id, first.scopes) == (
        "crm.contacts.create", "mcp:crm.contacts.create", "", "", ["mcp:crm.contacts.create"])


def test_hook_without_identity(caplog):
    with pytest.raises(PolicyDenied, match="^Missing required scope: contacts:write$"):
        ScopePolicyHook(MAP).check(ctx("contacts.create", principal="", scopes=()))
    assert lines(caplog) == ["Scope policy denied due to missing caller identity"]
    caplog.clear()
    # Principal without scopes: an identity, so only the evaluation line precedes the denial.
    with pytest.raises(PolicyDenied):
        ScopePolicyHook(MAP).check(ctx("contacts.create", principal="p", tenant_id="t1"))
    assert lines(caplog) == ["Scope policy evaluating action"]
    assert (caplog.records[0].principal, caplog.records[0].tenant_id) == ("p", "t1")
    caplog.clear()
    ScopePolicyHook({}, default_mode="allow").check(ctx("anything.goes"))
    assert lines(caplog) == ["Scope policy evaluating action"]
    assert caplog.records[0].required_scope == ""


def test_bad_arguments():
    with pytest.raises(TypeError, match="connector_id"):
        gate.resolve_required_scope_for_action(connector_id=None, action="a", action_scope_map={}, default_mode="deny")
    with pytest.raises(TypeError, match="positional"):
        gate.resolve_required_scope_for_action("crm", "a", {}, "deny")
    with pytest.raises(TypeError, match="val"):
        gate._truthy_default_mode(None)
    hook = ScopePolicyHook({})
    with pytest.raises(TypeError, match="context"):
        hook.check({"connector_id": "crm"})
    with pytest.raises(TypeError, match="scopes"):
        hook.check(ctx("contacts.create", scopes="mcp:crm.contacts.create"))
    with pytest.raises(TypeError, match="action_scope_map"):
        ScopePolicyHook(None)
