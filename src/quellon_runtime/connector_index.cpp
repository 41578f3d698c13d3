// quellon_runtime.connector_index: finds the installed connector packages and imports their logic
// modules once, at host start-up. Registration is a side effect of the import (defining a connector
// class registers it), so this module keeps no registry: it decides what to import, imports it,
// logs what it did and returns the imported module paths.
#include <ql/toolkit.hpp>

namespace {

const char *MOD = "quellon_runtime.connector_index";

struct State {
    ql::Logger log{"quellon_runtime.connector_index"};
    nb::object environ_get, importlib, entry_points, module_dict;
    nb::object s_name{nb::steal(PyUnicode_InternFromString("name"))};
    nb::object s_value{nb::steal(PyUnicode_InternFromString("value"))};
    nb::object s_strip{nb::steal(PyUnicode_InternFromString("strip"))};
    nb::object s_import_module{nb::steal(PyUnicode_InternFromString("import_module"))};
    nb::object s_entry_points{nb::steal(PyUnicode_InternFromString("entry_points"))};
    nb::object s_group{nb::steal(PyUnicode_InternFromString("group"))};
    nb::object comma{nb::str(",")};
    nb::object logic_suffix{nb::str(".logic")};
    nb::object default_prefix{nb::str("quellon_")};
    nb::object group{nb::str("quellon.connectors")};
    nb::object allowed_var{nb::str("QL_ALLOWED_CONNECTORS")};
    nb::object prefix_var{nb::str("QL_CONNECTOR_MODULE_PREFIX")};
};
State *S;

nb::object check(PyObject *o) {
    if (!o)
        throw nb::python_error();
    return nb::steal(o);
}

// str.strip(): the host's notion of surrounding whitespace, surrogate-escaped text included.
nb::object strip(nb::handle s) { return check(PyObject_CallMethodNoArgs(s.ptr(), S->s_strip.ptr())); }

bool equal(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

nb::object concat(nb::handle a, nb::handle b) { return check(PyUnicode_Concat(a.ptr(), b.ptr())); }

// os.environ.get(name): read on every call so the host's changes are seen.
nb::object env(const nb::object &name) { return S->environ_get(name); }

// An entry point's `name` or `value`, which must be text.
nb::object ep_text(nb::handle ep, const nb::object &attr, const char *what) {
    PyObject *v = PyObject_GetAttr(ep.ptr(), attr.ptr());
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        ql::raise_type_error("ep must be an entry point with a name and a value, not " + ql::type_name_of(ep));
    }
    nb::object o = nb::steal(v);
    if (!ql::is_str(o))
        ql::raise_type_error(std::string("ep.") + what + " must be a str, not " + ql::type_name_of(o));
    return o;
}

nb::object parse_allowed_names() {
    nb::object out = check(PySet_New(nullptr));
    nb::object raw = env(S->allowed_var);
    if (raw.is_none())
        return out;
    // Comma is the only separator; blank pieces (and a blank value) contribute nothing.
    nb::object pieces = check(PyUnicode_Split(raw.ptr(), S->comma.ptr(), -1));
    for (nb::handle piece : pieces) {
        nb::object name = strip(piece);
        if (PyUnicode_GET_LENGTH(name.ptr()) > 0 && PySet_Add(out.ptr(), name.ptr()) < 0)
            throw nb::python_error();
    }
    return out;
}

nb::object module_prefix() {
    nb::object raw = env(S->prefix_var);
    if (raw.is_none())
        return S->default_prefix;
    // Set but blank switches the check off; unset keeps the default.
    nb::object stripped = strip(raw);
    return PyUnicode_GET_LENGTH(stripped.ptr()) > 0 ? stripped : nb::none();
}

nb::object logic_module_dotted_path(nb::handle ep) {
    nb::object value = strip(ep_text(ep, S->s_value, "value"));
    // "module.path:attribute": only the module is imported, the attribute is never resolved.
    Py_ssize_t colon = PyUnicode_FindChar(value.ptr(), ':', 0, PyUnicode_GET_LENGTH(value.ptr()), 1);
    if (colon == -2)
        throw nb::python_error();
    if (colon < 0)
        return value;
    return strip(check(PyUnicode_Substring(value.ptr(), 0, colon)));
}

bool should_skip_ep(nb::handle ep, nb::handle allowed, nb::handle prefix) {
    if (!PySet_Check(allowed.ptr()))
        ql::raise_type_error("allowed must be a set, not " + ql::type_name_of(allowed));
    ql::require_str_or_none(prefix, "prefix");
    nb::object name = ep_text(ep, S->s_name, "name");
    int member = PySet_Contains(allowed.ptr(), name.ptr());
    if (member < 0)
        throw nb::python_error();
    // No exemption for an empty allow-list: nothing is registered unless named.
    if (!member) {
        S->log.log(ql::WARNING, "Skipping connector entry point %r (not in QL_ALLOWED_CONNECTORS)",
                   nb::make_tuple(name));
        return true;
    }
    nb::object path = logic_module_dotted_path(ep);
    if (prefix.is_none() || PyUnicode_GET_LENGTH(prefix.ptr()) == 0)
        return false;
    Py_ssize_t starts = PyUnicode_Tailmatch(path.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (starts < 0)
        throw nb::python_error();
    if (starts)
        return false;
    S->log.log(ql::WARNING,
               "Skipping connector entry point %r: module %r does not start with QL_CONNECTOR_MODULE_PREFIX %r",
               nb::make_tuple(name, path, prefix));
    return true;
}

// The host hooks are looked up when discovery runs (once per start-up), so a host or a test that
// swaps `entry_points` here or `importlib.import_module` is honoured.
nb::object current_entry_points() {
    PyObject *f = PyDict_GetItemWithError(S->module_dict.ptr(), S->s_entry_points.ptr());
    if (!f && PyErr_Occurred())
        throw nb::python_error();
    return f ? nb::borrow(f) : S->entry_points;
}

nb::object auto_register() {
    nb::list loaded;
    nb::object allowed = parse_allowed_names();
    nb::object prefix = module_prefix();
    nb::object discovered = check(PySet_New(nullptr));
    nb::object import_module = check(PyObject_GetAttr(S->importlib.ptr(), S->s_import_module.ptr()));

    // Entry points, in the order the metadata gives them. An import failure here propagates as it is.
    nb::dict kwargs;
    kwargs[S->s_group] = S->group;
    nb::object eps = current_entry_points()(**kwargs);
    for (nb::handle ep : eps) {
        if (should_skip_ep(ep, allowed, prefix))
            continue;
        nb::object path = logic_module_dotted_path(ep);
        import_module(path);
        loaded.append(path);
        nb::object name = ep_text(ep, S->s_name, "name");
        S->log.log(ql::DEBUG, "Registered connector: %s (%s)", nb::make_tuple(name, ep_text(ep, S->s_value, "value")));
        if (PySet_Add(discovered.ptr(), name.ptr()) < 0)
            throw nb::python_error();
    }

    // Fallback for allowed names no entry point supplied: <prefix><name>.logic, "quellon_" when the
    // prefix check is off.
    nb::object pkg_prefix = prefix.is_none() ? S->default_prefix : prefix;
    for (nb::handle name : allowed) {
        int seen = PySet_Contains(discovered.ptr(), name.ptr());
        if (seen < 0)
            throw nb::python_error();
        if (seen)
            continue;
        nb::object package = concat(pkg_prefix, name);
        nb::object logic_mod = concat(package, S->logic_suffix);
        try {
            import_module(logic_mod);
        } catch (nb::python_error &e) {
            nb::object exc = ql::exc_value(e);
            if (e.matches(PyExc_ModuleNotFoundError)) {
                nb::object missing = nb::getattr(exc, S->s_name, nb::none());
                if (equal(missing, logic_mod) || equal(missing, package)) {
                    S->log.log(ql::DEBUG, "Fallback connector module not found: %s", nb::make_tuple(logic_mod));
                    continue;
                }
                S->log.log(ql::ERROR, "Import error inside fallback %s (missing dep: %s): %s",
                           nb::make_tuple(logic_mod, missing, exc));
            } else if (e.matches(PyExc_Exception)) {
                S->log.log(ql::ERROR, "Unexpected error loading fallback %s: %s", nb::make_tuple(logic_mod, exc));
            }
            throw; // the same exception object; later names are not tried
        }
        loaded.append(logic_mod);
        S->log.log(ql::DEBUG, "Registered connector via fallback: %s (%s)", nb::make_tuple(name, logic_mod));
    }
    return loaded;
}

nb::object returns(const char *type) {
    nb::dict d;
    d["return"] = nb::str(type);
    return d;
}

} // namespace

QL_MODULE(connector_index, m) {
    S = &ql::forever<State>();
    S->environ_get = ql::import("os").attr("environ").attr("get");
    S->importlib = ql::import("importlib");
    S->entry_points = ql::import("importlib.metadata").attr("entry_points");
    S->module_dict = nb::borrow(PyModule_GetDict(m.ptr()));

    m.attr("logger") = S->log.object();
    m.attr("entry_points") = S->entry_points;

    auto fn = [&](const char *name, const char *doc, const char *ret, std::vector<ql::Param> params, ql::Impl impl) {
        ql::FnInfo info;
        info.name = name;
        info.module = MOD;
        info.doc = doc;
        info.annotations = returns(ret);
        m.attr(name) = ql::make_function(std::move(info), std::move(params), std::move(impl));
    };
    fn("auto_register",
       "Import the logic module of every allowed connector package, from entry points of the group\n"
       "\"quellon.connectors\" first, then by the module name <prefix><name>.logic; return the imported\n"
       "module paths in that order.",
       "List[str]", {}, [](ql::Args &) { return auto_register(); });
    fn("_parse_allowed_names", "The connector names listed in QL_ALLOWED_CONNECTORS (comma-separated).", "set[str]",
       {}, [](ql::Args &) { return parse_allowed_names(); });
    fn("_module_prefix",
       "The module prefix from QL_CONNECTOR_MODULE_PREFIX: \"quellon_\" when unset, None when blank.", "str | None",
       {}, [](ql::Args &) { return module_prefix(); });
    fn("_logic_module_dotted_path", "The module path named by an entry point's value.", "str", {ql::arg("ep")},
       [](ql::Args &a) { return logic_module_dotted_path(a[0]); });
    fn("_should_skip_ep", "Whether an entry point is outside the allow-list or the module prefix (logged).", "bool",
       {ql::arg("ep"), ql::arg("allowed"), ql::arg("prefix")},
       [](ql::Args &a) { return nb::object(nb::bool_(should_skip_ep(a[0], a[1], a[2]))); });
}
