// Scope gate for action calls arriving over MCP: each action key (connector id "." action) needs
// the scope named in the action scope map, or, when unmapped, "mcp:" + key in deny mode and
// nothing in allow mode. A caller passes with that scope or with "*".
#include <ql/toolkit.hpp>

namespace {

const char *MOD = "quellon_runtime.policies.mcp_scope_gate";
const char *MAP_ENV = "QL_MCP_ACTION_SCOPE_MAP_JSON";

nb::object intern(const char *s) { return nb::steal(PyUnicode_InternFromString(s)); }

struct State {
    ql::Logger log{"runtime.policy.scope"};
    nb::object module;
    nb::object environ_get, str_strip, str_lower, json_loads, mapping_abc, sorted, path_cls;
    nb::object load_dotenv, find_dotenv;
    nb::object context_cls, denied_cls, warn_once;
    nb::object warned_words = nb::steal(PySet_New(nullptr));
    nb::object allow = intern("allow"), deny = intern("deny"), star = intern("*"), empty = intern("");
    nb::object map_env = intern(MAP_ENV), gate_default_env = intern("QL_MCP_SCOPE_GATE_DEFAULT"),
               load_dotenv_env = intern("QL_REST_LOAD_DOTENV");
    nb::object k_connector_id = intern("connector_id"), k_action = intern("action"), k_principal = intern("principal"),
               k_tenant_id = intern("tenant_id"), k_scopes = intern("scopes"), k_map = intern("_map"),
               k_default_mode = intern("_default_mode"), k_get = intern("get");
};
State *S;

bool truth(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0)
        throw nb::python_error();
    return r;
}

nb::object attr(nb::handle o, const nb::object &name) {
    PyObject *v = PyObject_GetAttr(o.ptr(), name.ptr());
    if (!v)
        throw nb::python_error();
    return nb::steal(v);
}

bool equals(nb::handle s, const char *lit) {
    return ql::is_str(s) && PyUnicode_CompareWithASCIIString(s.ptr(), lit) == 0;
}

void require_mapping(nb::handle v, const char *param) {
    int ok = PyObject_IsInstance(v.ptr(), S->mapping_abc.ptr());
    if (ok < 0)
        throw nb::python_error();
    if (!ok)
        ql::raise_type_error(std::string(param) + " must be a mapping, not " + ql::type_name_of(v));
}

// Scopes as a tuple (None -> empty). A str is refused: membership in it would match substrings.
nb::object scope_tuple(nb::handle scopes, const char *param) {
    if (scopes.is_none())
        return nb::tuple();
    if (PyTuple_Check(scopes.ptr()))
        return nb::borrow(scopes);
    if (PyList_Check(scopes.ptr()) || PyAnySet_Check(scopes.ptr())) {
        PyObject *t = PySequence_Tuple(scopes.ptr());
        if (!t)
            throw nb::python_error();
        return nb::steal(t);
    }
    ql::raise_type_error(std::string(param) + " must be a tuple of str or None, not " + ql::type_name_of(scopes));
}

nb::object action_key(nb::handle connector_id, nb::handle action) {
    nb::object k = nb::steal(PyUnicode_FromFormat("%U.%U", connector_id.ptr(), action.ptr()));
    if (!k.is_valid())
        throw nb::python_error();
    return k;
}

nb::object mode_from_text(nb::handle val) {
    ql::require_str(val, "val");
    nb::object v = S->str_lower(S->str_strip(val));
    for (const char *word : {"deny", "default-deny", "closed"})
        if (equals(v, word))
            return S->deny;
    return S->allow;
}

// A word that is neither a deny word nor an allow word still selects "allow", but a typo in a
// security setting should not pass silently: one WARNING per distinct word and process.
void warn_unknown_word(nb::handle raw) {
    nb::object v = S->str_lower(S->str_strip(raw));
    for (const char *word : {"allow", "default-allow", "open", "deny", "default-deny", "closed"})
        if (equals(v, word))
            return;
    if (PySet_Contains(S->warned_words.ptr(), raw.ptr()) == 1)
        return;
    if (PySet_Add(S->warned_words.ptr(), raw.ptr()) < 0)
        throw nb::python_error();
    S->log.log(ql::WARNING, "%s is set to the unknown word %r; using 'allow'. Use 'allow' or 'deny'.",
               nb::make_tuple(S->gate_default_env, raw));
}

nb::object load_default_mode() {
    nb::object raw = S->environ_get(S->gate_default_env);
    if (raw.is_none() || PyUnicode_GET_LENGTH(S->str_strip(raw).ptr()) == 0) {
        S->warn_once();
        return S->deny;
    }
    warn_unknown_word(raw);
    return mode_from_text(raw);
}

bool empty_env(nb::handle v) { return v.is_none() || PyUnicode_GET_LENGTH(v.ptr()) == 0; }

void load_dotenv_files() {
    // The path-less load searches upward from the calling script (or the working directory when
    // there is none). Callers without a script file on disk (zip apps, native threads) leave
    // python-dotenv no frame to start from and it fails; those search from the working directory.
    try {
        S->load_dotenv(nb::arg("override") = false);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_AssertionError) && !e.matches(PyExc_AttributeError))
            throw;
        S->load_dotenv(S->find_dotenv(nb::arg("usecwd") = true), nb::arg("override") = false);
    }
    // Repository root: module file, policies, package, source directory, root.
    nb::object parents = S->path_cls(S->module.attr("__file__")).attr("resolve")().attr("parents");
    if (nb::len(parents) > 3)
        S->load_dotenv(parents[3].attr("joinpath")(".env"), nb::arg("override") = false);
}

nb::object load_scope_map() {
    nb::object raw = S->environ_get(S->map_env);
    if (empty_env(raw)) {
        nb::object flag = S->environ_get(S->load_dotenv_env, "true");
        nb::object lowered = S->str_lower(flag);
        if (!equals(lowered, "0") && !equals(lowered, "false") && !equals(lowered, "no"))
            load_dotenv_files();
        raw = S->environ_get(S->map_env);
    }
    if (empty_env(raw)) {
        S->log.log(ql::INFO, "Scope policy map not configured (env empty)");
        return nb::dict();
    }
    nb::object parsed = S->json_loads(raw);
    if (!PyDict_Check(parsed.ptr()))
        ql::raise_value_error("QL_MCP_ACTION_SCOPE_MAP_JSON must be a JSON object.");
    nb::dict out;
    for (auto [k, v] : nb::borrow<nb::dict>(parsed)) {
        if (!ql::is_str(k) || !ql::is_str(v))
            ql::raise_value_error("QL_MCP_ACTION_SCOPE_MAP_JSON must map string action keys to string scopes.");
        out[k] = v;
    }
    S->log.log(ql::INFO, "Scope policy map loaded", nb::tuple(),
               [&] { return ql::kv("entries", nb::len(out), "action_keys", S->sorted(out.keys())); });
    return out;
}

// The scope the action requires, or None.
nb::object resolve_required(nb::handle connector_id, nb::handle action, nb::handle scope_map, nb::handle default_mode) {
    nb::object key = action_key(connector_id, action);
    nb::object found;
    if (PyDict_Check(scope_map.ptr())) {
        PyObject *v = PyDict_GetItemWithError(scope_map.ptr(), key.ptr());
        if (!v && PyErr_Occurred())
            throw nb::python_error();
        found = nb::borrow(v);
    } else {
        found = attr(scope_map, S->k_get)(key);
    }
    if (found.is_valid() && truth(found))
        return found;
    if (equals(default_mode, "deny"))
        return nb::steal(PyUnicode_FromFormat("mcp:%U", key.ptr()));
    return nb::none();
}

void check_decision_args(nb::handle connector_id, nb::handle action, nb::handle scope_map, nb::handle default_mode) {
    ql::require_str(connector_id, "connector_id");
    ql::require_str(action, "action");
    require_mapping(scope_map, "action_scope_map");
    ql::require_str(default_mode, "default_mode");
}

bool contains(nb::handle seq, nb::handle item) {
    int r = PySequence_Contains(seq.ptr(), item.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

bool allowed_for(nb::handle connector_id, nb::handle action, nb::handle principal, nb::handle scopes,
                 nb::handle scope_map, nb::handle default_mode) {
    nb::object required = resolve_required(connector_id, action, scope_map, default_mode);
    if (!required.is_none() && !truth(principal) && nb::len(scopes) == 0) {
        S->log.log(ql::INFO, "Scope policy denied due to missing caller identity", nb::tuple(), [&] {
            return ql::kv("action_key", action_key(connector_id, action), "required_scope", required);
        });
        return false;
    }
    if (required.is_none())
        return true;
    return contains(scopes, required) || contains(scopes, S->star);
}

[[noreturn]] void deny_missing(nb::handle required) {
    nb::object msg = nb::steal(PyUnicode_FromFormat("Missing required scope: %S", required.ptr()));
    if (!msg.is_valid())
        throw nb::python_error();
    ql::raise(S->denied_cls(msg));
}

nb::object hook_init(ql::Args &a) {
    nb::handle self = a[0], scope_map = a[1], mode = a[2];
    require_mapping(scope_map, "action_scope_map");
    nb::dict copy;
    if (PyDict_Merge(copy.ptr(), scope_map.ptr(), 1) < 0)
        throw nb::python_error();
    nb::setattr(self, S->k_map, copy);
    // Anything but the two exact words fails closed.
    nb::setattr(self, S->k_default_mode, equals(mode, "allow") ? S->allow : S->deny);
    return nb::none();
}

nb::object hook_check(ql::Args &a) {
    nb::handle self = a[0], context = a[1];
    int ok = PyObject_IsInstance(context.ptr(), S->context_cls.ptr());
    if (ok < 0)
        throw nb::python_error();
    if (!ok)
        ql::raise_type_error("context must be a PolicyContext, not " + ql::type_name_of(context));
    nb::object connector_id = attr(context, S->k_connector_id), action = attr(context, S->k_action);
    nb::object principal = attr(context, S->k_principal), tenant_id = attr(context, S->k_tenant_id);
    nb::object scopes = scope_tuple(attr(context, S->k_scopes), "context.scopes");
    nb::object scope_map = attr(self, S->k_map), mode = attr(self, S->k_default_mode);
    check_decision_args(connector_id, action, scope_map, mode);

    nb::object required = resolve_required(connector_id, action, scope_map, mode);
    bool allowed = allowed_for(connector_id, action, principal, scopes, scope_map, mode);
    bool has_principal = truth(principal);
    if (!required.is_none() && !has_principal && nb::len(scopes) == 0)
        deny_missing(required);
    S->log.log(ql::INFO, "Scope policy evaluating action", nb::tuple(), [&] {
        return ql::kv("action_key", action_key(connector_id, action), "required_scope",
                      required.is_none() ? S->empty : required, "principal", has_principal ? principal : S->empty,
                      "tenant_id", truth(tenant_id) ? tenant_id : S->empty, "scopes", nb::list(scopes));
    });
    if (allowed)
        return nb::none();
    deny_missing(required);
}

nb::dict ann(std::initializer_list<std::pair<const char *, const char *>> items) {
    return ql::str_annotations(items);
}

void load_state(nb::module_ m) {
    S->module = nb::borrow(m);
    S->environ_get = ql::import("os").attr("environ").attr("get");
    nb::object str = ql::import("builtins").attr("str");
    S->str_strip = str.attr("strip");
    S->str_lower = str.attr("lower");
    S->sorted = ql::import("builtins").attr("sorted");
    S->json_loads = ql::import("json").attr("loads");
    S->mapping_abc = ql::import("collections.abc").attr("Mapping");
    S->path_cls = ql::import("pathlib").attr("Path");
    nb::object dotenv = ql::import("dotenv");
    S->load_dotenv = dotenv.attr("load_dotenv");
    S->find_dotenv = dotenv.attr("find_dotenv");
    nb::object policy = ql::import("quellon_runtime.policy");
    S->context_cls = policy.attr("PolicyContext");
    S->denied_cls = policy.attr("PolicyDenied");
}

nb::object def(nb::module_ m, const char *name, std::vector<ql::Param> params, ql::Impl impl, nb::dict annotations,
               const char *doc) {
    return ql::def_function(m, MOD, name, std::move(params), std::move(impl), annotations, doc);
}

// The mode word, the implicit-default warning and the two environment loaders.
void register_loaders(nb::module_ m) {
    def(m, "_truthy_default_mode", {ql::arg("val")}, [](ql::Args &a) { return mode_from_text(a[0]); },
        ann({{"val", "str"}, {"return", "str"}}), "\"deny\" for deny, default-deny or closed; \"allow\" otherwise.");

    // Memoised by the host's cache: the warning is written once per process.
    nb::object warn = def(
        m, "_warn_implicit_scope_default", {},
        [](ql::Args &) -> nb::object {
            S->log.log(ql::WARNING,
                       "QL_MCP_SCOPE_GATE_DEFAULT is unset; using code default 'deny'. Set QL_MCP_SCOPE_GATE_DEFAULT "
                       "explicitly and configure QL_*_API_KEY_SCOPES (or JWT scopes) for each transport.");
            return nb::none();
        },
        ann({{"return", "None"}}), nullptr);
    S->warn_once = ql::memoised(warn);
    m.attr("_warn_implicit_scope_default") = S->warn_once;

    def(m, "load_scope_policy_default_from_env", {}, [](ql::Args &) { return load_default_mode(); },
        ann({{"return", "str"}}),
        "Default mode for unmapped actions from QL_MCP_SCOPE_GATE_DEFAULT (\"deny\" when unset).");
    def(m, "load_scope_map_from_env", {}, [](ql::Args &) { return load_scope_map(); },
        ann({{"return", "dict[str, str]"}}),
        "Action scope map from QL_MCP_ACTION_SCOPE_MAP_JSON, consulting .env files when the variable is empty.");
}

// The two decision functions.
void register_decisions(nb::module_ m) {
    def(m, "resolve_required_scope_for_action",
        {ql::kwonly("connector_id"), ql::kwonly("action"), ql::kwonly("action_scope_map"), ql::kwonly("default_mode")},
        [](ql::Args &a) {
            check_decision_args(a[0], a[1], a[2], a[3]);
            return resolve_required(a[0], a[1], a[2], a[3]);
        },
        ann({{"connector_id", "str"},
             {"action", "str"},
             {"action_scope_map", "Mapping[str, str]"},
             {"default_mode", "str"},
             {"return", "Optional[str]"}}),
        "The scope the action requires, or None when it requires none.");
    def(m, "action_allowed_for_identity_scopes",
        {ql::kwonly("connector_id"), ql::kwonly("action"), ql::kwonly("principal"), ql::kwonly("tenant_id"),
         ql::kwonly("scopes"), ql::kwonly("action_scope_map"), ql::kwonly("default_mode")},
        [](ql::Args &a) -> nb::object {
            check_decision_args(a[0], a[1], a[5], a[6]);
            ql::require_str_or_none(a[2], "principal");
            ql::require_str_or_none(a[3], "tenant_id");
            nb::object scopes = scope_tuple(a[4], "scopes");
            return nb::bool_(allowed_for(a[0], a[1], a[2], scopes, a[5], a[6]));
        },
        ann({{"connector_id", "str"},
             {"action", "str"},
             {"principal", "Optional[str]"},
             {"tenant_id", "Optional[str]"},
             {"scopes", "Optional[tuple[str, ...]]"},
             {"action_scope_map", "Mapping[str, str]"},
             {"default_mode", "str"},
             {"return", "bool"}}),
        "Whether a caller with these scopes may run the action.");
}

nb::object build_hook() {
    ql::ClassBuilder hook(MOD, "ScopePolicyHook",
                          "Denies MCP action calls whose caller lacks the scope the action requires.");
    hook.ns()["__init__"] =
        hook.function("__init__", {ql::arg("self"), ql::arg("action_scope_map"), ql::kwonly("default_mode", S->deny)},
                      hook_init, false, nullptr,
                      ann({{"action_scope_map", "Mapping[str, str]"}, {"default_mode", "str"}, {"return", "None"}}));
    hook.ns()["check"] = hook.function("check", {ql::arg("self"), ql::arg("context")}, hook_check, false, nullptr,
                                       ann({{"context", "PolicyContext"}, {"return", "None"}}));
    return hook.build(nb::make_tuple(ql::import("quellon_runtime.policy").attr("PolicyHook")));
}

} // namespace

QL_MODULE(mcp_scope_gate, m) {
    S = &ql::forever<State>();
    load_state(m);
    m.attr("DEFAULT_SCOPE_MODE_ALLOW") = S->allow;
    m.attr("DEFAULT_SCOPE_MODE_DENY") = S->deny;
    m.attr("logger") = S->log.object();
    register_loaders(m);
    register_decisions(m);
    m.attr("ScopePolicyHook") = build_hook();
    m.attr("__all__") = nb::list(nb::make_tuple("DEFAULT_SCOPE_MODE_ALLOW", "DEFAULT_SCOPE_MODE_DENY",
                                                "ScopePolicyHook",
                                                "action_allowed_for_identity_scopes", "load_scope_map_from_env",
                                                "load_scope_policy_default_from_env",
                                                "resolve_required_scope_for_action"));
}
