// Pieces shared by the cloud secret stores: the lazy SDK import, and for the stores that fetch
// one JSON object of secrets at construction, the muted fetch and the lookup in that object.
#pragma once

#include <ql/toolkit.hpp>

#include <initializer_list>
#include <string>

namespace bundle {

// Runs `imports` (the SDK imports, returned as a tuple). A missing SDK raises ImportError(hint)
// from the original ImportError, so the message says which extra to install.
template <class F> nb::tuple import_sdk(const char *hint, F imports) {
    nb::object failure;
    try {
        return imports();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        failure = ql::exc_value(e);
    }
    ql::raise_from(nb::handle(PyExc_ImportError)(hint), failure);
}

// Module state common to the stores.
struct Store {
    nb::object not_found, provider_error, json_loads, without_secret, decoding_errors;
    nb::handle data = ql::intern("_data");
    nb::object mute_filter;
    bool filter_installed = false;
};

// Looks up the secrets base classes and json.loads; returns the base module (for SecretProvider).
inline nb::object load_base(Store &st) {
    nb::object base_mod = ql::import("quellon_runtime.secrets.base");
    st.not_found = base_mod.attr("SecretNotFoundError");
    st.provider_error = base_mod.attr("SecretProviderError");
    nb::object json = ql::import("json");
    st.json_loads = json.attr("loads");
    st.without_secret = base_mod.attr("_without_secret");
    st.decoding_errors = nb::make_tuple(json.attr("JSONDecodeError"), nb::handle(PyExc_UnicodeError));
    return base_mod;
}

// SDK loggers may write response bodies at debug level, and the response is the secret bundle.
// While this thread fetches a bundle, records of those loggers are dropped, so enabling debug
// logging on the host never writes secrets.
inline thread_local int fetching = 0;

struct Fetching {
    Fetching() { ++fetching; }
    ~Fetching() { --fetching; }
};

// The logging filter, created at module init as `<module>._drop_while_fetching`.
inline void make_mute_filter(Store &st, const char *module) {
    ql::FnInfo info;
    info.name = "_drop_while_fetching";
    info.module = module;
    st.mute_filter = ql::make_function(info, {ql::arg("record")},
                                       [](ql::Args &) -> nb::object { return nb::bool_(fetching == 0); });
}

// Attaches the filter to the named loggers, once per process.
inline void install_mute_filter(Store &st, std::initializer_list<const char *> loggers) {
    if (st.filter_installed)
        return;
    nb::object get_logger = ql::import("logging").attr("getLogger");
    for (const char *name : loggers)
        get_logger(name).attr("addFilter")(st.mute_filter);
    st.filter_installed = true;
}

// The bundle's value for `key`, which must be a str (or None).
inline nb::object get_secret(const Store &st, nb::handle self, nb::handle key) {
    ql::require_str(key, "key");
    PyObject *d = PyObject_GetAttr(self.ptr(), st.data.ptr());
    if (!d)
        throw nb::python_error();
    nb::object data = nb::steal(d);
    PyObject *v = PyObject_GetItem(data.ptr(), key.ptr());
    if (!v) {
        // Only an absent key is "not found"; a bundle that is not an object fails as it would.
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw nb::python_error();
        nb::python_error lookup;
        ql::raise_during(st.not_found(key), ql::exc_value(lookup));
    }
    nb::object value = nb::steal(v);
    if (!value.is_none() && !ql::is_str(value))
        ql::raise_type_error("secret " + ql::repr_of(key) + " must be a str, not " + ql::type_name_of(value));
    return value;
}

// Adds get_secret, answered from the object held in `_data`.
inline void add_get_secret(ql::ClassBuilder &cb, const Store &st,
                           const char *doc = "Return the bundle's value for `key`; SecretNotFoundError when absent.") {
    nb::handle str_type((PyObject *)&PyUnicode_Type);
    nb::dict ann;
    ann["key"] = str_type;
    ann["return"] = str_type;
    const Store *store = &st;
    cb.attr("get_secret", cb.function(
                              "get_secret", {ql::arg("self"), ql::arg("key")},
                              [store](ql::Args &a) { return get_secret(*store, a[0], a[1]); }, false, doc, ann));
}

// Adds get_secret, answered from the bundle, and publishes the class as the module's one name.
inline void publish(nb::handle m, ql::ClassBuilder &cb, const char *name, nb::handle base_mod, const Store &st) {
    add_get_secret(cb, st);
    m.attr(name) = cb.build(base_mod.attr("SecretProvider"));
    nb::list all;
    all.append(name);
    m.attr("__all__") = all;
}

// Runs `step`, a decoding of fetched secret text. Its JSONDecodeError or UnicodeError holds the
// whole text (`doc`, `object`, and the frames of its traceback), so a copy of the same type without
// it is raised instead, naming `what` (the secret's name).
template <class F> nb::object decode_secret(const Store &st, const std::string &what, F step) {
    nb::object failure;
    try {
        return step();
    } catch (nb::python_error &e) {
        if (!e.matches(st.decoding_errors))
            throw;
        failure = ql::exc_value(e);
    }
    ql::raise_from(st.without_secret(failure, nb::str(what.data(), what.size())), nb::none());
}

} // namespace bundle
