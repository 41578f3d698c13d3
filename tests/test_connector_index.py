"""Connector discovery: real entry points of installed distributions, the fallback import, the
allow-list and prefix rules, and every log line."""

import importlib
import logging
import sys
import textwrap
from importlib.metadata import EntryPoint

import pytest

ci = pytest.importorskip("quellon_runtime.connector_index")

LOGGER = "quellon_runtime.connector_index"
NOT_ALLOWED = "Skipping connector entry point %r (not in QL_ALLOWED_CONNECTORS)"
BAD_PREFIX = "Skipping connector entry point %r: module %r does not start with QL_CONNECTOR_MODULE_PREFIX %r"

# Every module written by these tests records its own import here.
JOURNAL = "import ci_journal\nci_journal.imported.append(__name__)\n"


class Site:
    """A directory on sys.path holding packages and dist-info metadata, as an installation would."""

    def __init__(self, root, monkeypatch):
        self.root = root
        self.monkeypatch = monkeypatch
        (root / "ci_journal.py").write_text("imported = []\n")

    def module(self, dotted, source=""):
        *packages, leaf = dotted.split(".")
        d = self.root
        for p in packages:
            d = d / p
            d.mkdir(exist_ok=True)
            init = d / "__init__.py"
            if not init.exists():
                init.write_text(JOURNAL)
        (d / f"{leaf}.py").write_text(JOURNAL + textwrap.dedent(source))

    def package(self, name):
        d = self.root / name
        d.mkdir()
        (d / "__init__.py").write_text(JOURNAL)

    def distribution(self, name, *entry_points):
        info = self.root / f"{name}-1.0.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n")
        lines = ["[quellon.connectors]"] + [f"{ep} = {value}" for ep, value in entry_points]
        (info / "entry_points.txt").write_text("\n".join(lines) + "\n")

    def install(self):
        """Put the directory on sys.path (after everything has been written)."""
        importlib.invalidate_caches()
        self.monkeypatch.syspath_prepend(str(self.root))

    @staticmethod
    def imported():
        journal = sys.modules.get("ci_journal")
        return [] if journal is None else list(journal.imported)


@pytest.fixture
def site(tmp_path, monkeypatch):
    before = set(sys.modules)
    yield Site(tmp_path, monkeypatch)
    for name in set(sys.modules) - before:
        if str(getattr(sys.modules[name], "__file__", None) or "").startswith(str(tmp_path)):
            del sys.modules[name]


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    monkeypatch.delenv("QL_ALLOWED_CONNECTORS", raising=False)
    monkeypatch.delenv("QL_CONNECTOR_MODULE_PREFIX", raising=False)


@pytest.fixture
def lines(caplog):
    """The module's log lines as (level, format, args); allow-list skips of entry points that other
    installed distributions may bring are left out."""
    caplog.set_level(logging.DEBUG, logger=LOGGER)

    def read(known=()):
        out = []
        for r in caplog.records:
            if r.name != LOGGER:
                continue
            if r.msg == NOT_ALLOWED and r.args[0] not in known:
                continue
            out.append((r.levelname, r.getMessage()))
        return out

    return read


# --- the steps -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value,expected",
    [
        (None, set()),
        ("", set()),
        ("  \t ", set()),
        (" , ,", set()),
        (" a , b,, a ,", {"a", "b"}),
        ("a;b", {"a;b"}),
        ("Acme,acme", {"Acme", "acme"}),
        ("\tone\n", {"one"}),
    ],
)
def test_allow_list(value, expected, monkeypatch):
    if value is not None:
        monkeypatch.setenv("QL_ALLOWED_CONNECTORS", value)
    got = ci._parse_allowed_names()
    assert type(got) is set and got == expected


@pytest.mark.parametrize("value,expected", [(None, "quellon_"), (" acme_ ", "acme_"), ("   ", None), ("", None)])
def test_module_prefix(value, expected, monkeypatch):
    if value is not None:
        monkeypatch.setenv("QL_CONNECTOR_MODULE_PREFIX", value)
    assert ci._module_prefix() == expected


@pytest.mark.parametrize(
    "value,expected",
    [
        ("quellon_x.logic:XConnector   ", "quellon_x.logic"),
        ("  quellon_x.logic  ", "quellon_x.logic"),
        (" quellon_x.logic : A : B", "quellon_x.logic"),
        ("quellon_x.logic", "quellon_x.logic"),
    ],
)
def test_logic_module_dotted_path(value, expected):
    assert ci._logic_module_dotted_path(EntryPoint(name="x", value=value, group="quellon.connectors")) == expected


def test_should_skip_ep(lines):
    ep = EntryPoint(name="acme", value="quellon_acme.logic:Acme", group="quellon.connectors")
    other = EntryPoint(name="acme", value="other_pkg.logic", group="quellon.connectors")
    assert ci._should_skip_ep(ep, {"acme"}, "quellon_") is False
    assert ci._should_skip_ep(other, {"acme"}, None) is False
    assert ci._should_skip_ep(other, {"acme"}, "") is False
    assert lines() == []

    assert ci._should_skip_ep(ep, set(), "quellon_") is True  # no exemption for an empty allow-list
    assert ci._should_skip_ep(ep, {"Acme"}, None) is True
    assert ci._should_skip_ep(other, {"acme"}, "quellon_") is True
    assert ci._should_skip_ep(ep, {"acme"}, "Quellon_") is True  # case-sensitive
    assert lines(known={"acme"}) == [
        ("WARNING", "Skipping connector entry point 'acme' (not in QL_ALLOWED_CONNECTORS)"),
        ("WARNING", "Skipping connector entry point 'acme' (not in QL_ALLOWED_CONNECTORS)"),
        ("WARNING", "Skipping connector entry point 'acme': module 'other_pkg.logic' does not start with "
                    "QL_CONNECTOR_MODULE_PREFIX 'quellon_'"),
        ("WARNING", "Skipping connector entry point 'acme': module 'quellon_acme.logic' does not start with "
                    "QL_CONNECTOR_MODULE_PREFIX 'Quellon_'"),
    ]


def test_steps_refuse_wrong_types(lines):
    ep = EntryPoint(name="acme", value="quellon_acme.logic", group="quellon.connectors")
    for allowed in (None, ["acme"], frozenset({"acme"}), {"acme": 1}):
        with pytest.raises(TypeError, match=r"^allowed must be a set, not "):
            ci._should_skip_ep(ep, allowed, "quellon_")
    with pytest.raises(TypeError, match=r"^prefix must be a str or None, not int"):
        ci._should_skip_ep(ep, {"acme"}, 5)
    with pytest.raises(TypeError, match=r"^ep must be an entry point"):
        ci._should_skip_ep("acme", {"acme"}, None)
    with pytest.raises(TypeError, match=r"^ep must be an entry point"):
        ci._logic_module_dotted_path(None)

    class Odd:
        name = "acme"
        value = 42

    with pytest.raises(TypeError, match=r"^ep\.value must be a str, not int"):
        ci._logic_module_dotted_path(Odd())
    with pytest.raises(TypeError, match=r"_should_skip_ep\(\) missing 1 required positional argument: 'prefix'"):
        ci._should_skip_ep(ep, {"acme"})
    assert lines() == []


# --- discovery through installed distributions --------------------------------------------------


def test_entry_points_in_order_with_allow_list_and_prefix(site, lines, monkeypatch):
    site.module("quellon_alpha.logic")
    site.module("other_pkg.logic")
    site.module("quellon_gamma.logic")  # no attribute Thing: the attribute part is never resolved
    site.module("quellon_delta.logic")
    site.distribution(
        "quellon-probe",
        ("alpha", "quellon_alpha.logic"),
        ("beta", "other_pkg.logic"),
        ("gamma", "quellon_gamma.logic:Thing"),
        ("delta", "quellon_delta.logic"),
    )
    site.install()
    monkeypatch.setenv("QL_ALLOWED_CONNECTORS", "alpha, beta ,gamma")

    assert ci.auto_register() == ["quellon_alpha.logic", "quellon_gamma.logic"]
    assert site.imported() == ["quellon_alpha", "quellon_alpha.logic", "quellon_gamma", "quellon_gamma.logic"]
    # beta was refused by the prefix rule, so it is no entry-point registration: the fallback looks for it.
    assert lines(known={"alpha", "beta", "gamma", "delta"}) == [
        ("DEBUG", "Registered connector: alpha (quellon_alpha.logic)"),
        ("WARNING", "Skipping connector entry point 'beta': module 'other_pkg.logic' does not start with "
                    "QL_CONNECTOR_MODULE_PREFIX 'quellon_'"),
        ("DEBUG", "Registered connector: gamma (quellon_gamma.logic:Thing)"),
        ("WARNING", "Skipping connector entry point 'delta' (not in QL_ALLOWED_CONNECTORS)"),
        ("DEBUG", "Fallback connector module not found: quellon_beta.logic"),
    ]

    # A second call imports nothing new and returns the same paths.
    assert ci.auto_register() == ["quellon_alpha.logic", "quellon_gamma.logic"]
    assert len(site.imported()) == 4


def test_unset_or_blank_allow_list_registers_nothing(site, lines, monkeypatch):
    site.module("quellon_solo.logic")
    site.distribution("quellon-solo", ("solo", "quellon_solo.logic"))
    site.install()
    assert ci.auto_register() == []
    monkeypatch.setenv("QL_ALLOWED_CONNECTORS", " , ")
    assert ci.auto_register() == []
    assert site.imported() == []
    assert lines(known={"solo"}) == [
        ("WARNING", "Skipping connector entry point 'solo' (not in QL_ALLOWED_CONNECTORS)"),
    ] * 2


def test_blank_prefix_switches_the_check_off_but_fallback_keeps_the_default(site, lines, monkeypatch):
    site.module("other_pkg.logic")
    site.module("quellon_extra.logic")
    site.module("extra.logic")
    site.distribution("other-pkg", ("other", "other_pkg.logic"))
    site.install()
    monkeypatch.setenv("QL_ALLOWED_CONNECTORS", "other,extra")
    monkeypatch.setenv("QL_CONNECTOR_MODULE_PREFIX", "  ")

    assert ci.auto_register() == ["other_pkg.logic", "quellon_extra.logic"]
    assert "extra.logic" not in sys.modules
    assert lines(known={"other"}) == [
        ("DEBUG", "Registered connector: other (other_pkg.logic)"),
        ("DEBUG", "Registered connector via fallback: extra (quellon_extra.logic)"),
    ]


def test_custom_prefix_applies_to_entry_points_and_fallback(site, lines, monkeypatch):
    site.module("acme_orders.logic")
    site.module("quellon_billing.logic")
    site.module("acme_fallback.logic")
    site.distribution("acme-orders", ("orders", "acme_orders.logic:Orders"), ("billing", "quellon_billing.logic"))
    site.install()
    monkeypatch.setenv("QL_ALLOWED_CONNECTORS", "orders,billing")
    monkeypatch.setenv("QL_CONNECTOR_MODULE_PREFIX", " acme_ ")

    # billing fails the prefix rule as an entry point, then the fallback looks for acme_billing.logic
    assert ci.auto_register() == ["acme_orders.logic"]
    assert lines(known={"orders", "billing"}) == [
        ("DEBUG", "Registered connector: orders (acme_orders.logic:Orders)"),
        ("WARNING", "Skipping connector entry point 'billing': module 'quellon_billing.logic' does not start with "
                    "QL_CONNECTOR_MODULE_PREFIX 'acme_'"),
        ("DEBUG", "Fallback connector module not found: acme_billing.logic"),
    ]

    monkeypatch.setenv("QL_ALLOWED_CONNECTORS", "fallback")
    assert ci.auto_register() == ["acme_fallback.logic"]


def test_name_registered_by_entry_point_is_not_tried_again(site, lines, monkeypatch):
    site.module("quellon_probe_impl.logic")
    site.module("quellon_probe.logic")  # what the fallback would import for "probe"
    site.distribution("quellon-probe", ("probe", "quellon_probe_impl.logic"))
    site.install()
    monkeypatch.setenv("QL_ALLOWED_CONNECTORS", "probe")
    assert ci.auto_register() == ["quellon_probe_impl.logic"]
    assert "quellon_probe.logic" not in sys.modules
    assert lines(known={"probe"}) == [("DEBUG", "Registered connector: probe (quellon_probe_impl.logic)")]


def test_entry_point_import_failure_propagates_unchanged(site, lines, monkeypatch):
    site.module("quellon_first.logic")
    site.module("quellon_failing.logic", "raise ValueError('bad connector module')\n")
    site.module("quellon_last.logic")
    site.distribution(
        "quellon-set", ("first", "quellon_first.logic"), ("failing", "quellon_failing.logic"), ("last", "quellon_last.logic")
    )
    site.install()
    monkeypatch.setenv("QL_ALLOWED_CONNECTORS", "first,failing,last")
    with pytest.raises(ValueError, match="bad connector module") as info:
        ci.auto_register()
    assert info.value.__context__ is None and info.value.__cause__ is None
    assert "quellon_first.logic" in sys.modules  # imported before the failure: stays imported
    assert "quellon_last.logic" not in sys.modules
    assert lines(known={"first", "failing", "last"}) == [("DEBUG", "Registered connector: first (quellon_first.logic)")]


# --- the fallback ----------------------------------------------------------------------------------


def test_fallback_imports_and_missing_packages(site, lines, monkeypatch):
    site.module("quellon_plain.logic")
    site.package("quellon_nologic")  # the package exists, its logic module does not
    site.install()
    monkeypatch.setenv("QL_ALLOWED_CONNECTORS", "plain,ghost,nologic")

    assert ci.auto_register() == ["quellon_plain.logic"]
    got = sorted(lines())
    assert got == sorted([
        ("DEBUG", "Registered connector via fallback: plain (quellon_plain.logic)"),
        ("DEBUG", "Fallback connector module not found: quellon_ghost.logic"),
        ("DEBUG", "Fallback connector module not found: quellon_nologic.logic"),
    ])


def test_fallback_missing_dependency_is_logged_and_raised(site, lines, caplog, monkeypatch):
    site.module("quellon_needy.logic", "import ci_not_installed_dependency\n")
    site.install()
    monkeypatch.setenv("QL_ALLOWED_CONNECTORS", "needy")
    with pytest.raises(ModuleNotFoundError) as info:
        ci.auto_register()
    assert info.value.name == "ci_not_installed_dependency"
    assert lines() == [
        ("ERROR", "Import error inside fallback quellon_needy.logic (missing dep: ci_not_installed_dependency): "
                  "No module named 'ci_not_installed_dependency'"),
    ]
    (record,) = [r for r in caplog.records if r.name == LOGGER and r.levelno == logging.ERROR]
    assert record.msg == "Import error inside fallback %s (missing dep: %s): %s"
    assert record.args[2] is info.value  # the raised error is the one that was logged


def test_fallback_other_error_is_logged_and_raised(site, lines, monkeypatch):
    site.module("quellon_broken.logic", "raise RuntimeError('boom at import')\n")
    site.install()
    monkeypatch.setenv("QL_ALLOWED_CONNECTORS", "broken")
    with pytest.raises(RuntimeError, match="boom at import"):
        ci.auto_register()
    assert lines() == [("ERROR", "Unexpected error loading fallback quellon_broken.logic: boom at import")]


def test_fallback_stops_at_the_first_failure(site, lines, monkeypatch):
    names = [f"n{i}" for i in range(6)]
    for name in names:
        site.module(f"quellon_{name}.logic", "raise RuntimeError('broken')\n" if name == "n3" else "")
    site.install()
    monkeypatch.setenv("QL_ALLOWED_CONNECTORS", ",".join(names))
    order = list(ci._parse_allowed_names())  # same set, same iteration order as the discovery's
    with pytest.raises(RuntimeError, match="broken"):
        ci.auto_register()
    failed_at = order.index("n3")
    for name in order[:failed_at]:
        assert f"quellon_{name}.logic" in sys.modules
    for name in order[failed_at + 1:]:
        assert f"quellon_{name}" not in sys.modules
    assert len(lines()) == failed_at + 1


# --- registration -----------------------------------------------------------------------------------

CONNECTOR = """
from typing import Literal

from pydantic import BaseModel

from quellon_runtime.connector_base import ConnectorBase, ql_action


class Ping(BaseModel):
    action: Literal["probe.ping"] = "probe.ping"


class Pong(BaseModel):
    ok: bool = True


class ProbeConnector(ConnectorBase):
    connector_id = "{connector_id}"
    output_model = Pong

    @ql_action("probe.ping")
    async def ping(self, params: Ping, *, trace_id: str) -> Pong:
        return Pong()
"""


def test_importing_registers_the_connector_classes(site, monkeypatch):
    cb = pytest.importorskip("quellon_runtime.connector_base")
    site.module("quellon_ci_entry.logic", CONNECTOR.format(connector_id="ci_entry_probe"))
    site.module("quellon_ci_fallback.logic", CONNECTOR.format(connector_id="ci_fallback_probe"))
    site.distribution("quellon-ci-entry", ("ci_entry", "quellon_ci_entry.logic:ProbeConnector"))
    site.install()
    monkeypatch.setenv("QL_ALLOWED_CONNECTORS", "ci_entry,ci_fallback")

    assert ci.auto_register() == ["quellon_ci_entry.logic", "quellon_ci_fallback.logic"]
    index = cb.get_connector_index()
    assert index["ci_entry_probe"] is sys.modules["quellon_ci_entry.logic"].ProbeConnector
    assert index["ci_fallback_probe"] is sys.modules["quellon_ci_fallback.logic"].ProbeConnector


def test_module_surface():
    assert ci.logger.name == LOGGER
    assert ci.auto_register.__module__ == LOGGER
    assert ci.auto_register.__annotations__ == {"return": "List[str]"}
    assert ci._parse_allowed_names.__annotations__ == {"return": "set[str]"}
    assert ci._module_prefix.__annotations__ == {"return": "str | None"}
