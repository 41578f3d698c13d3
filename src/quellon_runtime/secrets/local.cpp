// Secret providers for local development and tests: one over a mapping given at construction, one
// over environment variables that share a prefix.
//
// Same hygiene as the cloud stores: no value reaches an exception (message, argument, note or
// context) or a log record; only keys, variable names and type names do.
#include "bundle.hpp"

#include <string>

namespace {

const char *MOD = "quellon_runtime.secrets.local";

struct State : bundle::Store {
    nb::object mapping_abc, environ_get;
    nb::handle prefix = ql::intern("_prefix");
    nb::handle add_note = ql::intern("add_note");
};
State *S;

// A dict of str to str copied from `secrets`; a wrong entry is named by its key, never its value.
nb::dict copy_secrets(nb::handle secrets) {
    if (!PyDict_Check(secrets.ptr()) && !nb::isinstance(secrets, S->mapping_abc))
        ql::raise_type_error("secrets must be a mapping of str to str, not " + ql::type_name_of(secrets));
    PyObject *items = PyMapping_Items(secrets.ptr());
    if (!items)
        throw nb::python_error();
    nb::object pairs = nb::steal(items);
    nb::dict out;
    for (nb::handle pair : pairs) {
        if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2)
            ql::raise_type_error("secrets.items() must give (name, value) pairs, not " + ql::type_name_of(pair));
        nb::handle key = PyTuple_GET_ITEM(pair.ptr(), 0), value = PyTuple_GET_ITEM(pair.ptr(), 1);
        if (!ql::is_str(key))
            ql::raise_type_error("secret names must be str, not " + ql::type_name_of(key));
        if (!ql::is_str(value))
            ql::raise_type_error("secret " + ql::repr_of(key) + " must be a str, not " + ql::type_name_of(value));
        out[key] = value;
    }
    return out;
}

void set_attr(nb::handle self, nb::handle name, nb::handle value) {
    if (PyObject_SetAttr(self.ptr(), name.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

// The variable for `key`: upper-cased, every character but ASCII letters, digits and "_" made "_",
// so that "api-token" and "api.token" are read from <prefix>API_TOKEN.
nb::object variable_name(nb::handle prefix, nb::handle key) {
    std::string name(ql::view(prefix));
    Py_ssize_t n = PyUnicode_GET_LENGTH(key.ptr());
    int kind = PyUnicode_KIND(key.ptr());
    const void *data = PyUnicode_DATA(key.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 'a' && c <= 'z')
            c = c - 'a' + 'A';
        bool keep = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        name += keep ? char(c) : '_';
    }
    return nb::str(name.data(), name.size());
}

nb::object env_init(nb::handle self, nb::handle prefix) {
    ql::require_str(prefix, "prefix");
    if (PyUnicode_GET_LENGTH(prefix.ptr()) == 0)
        ql::raise_value_error("EnvironmentSecretProvider requires a non-empty prefix");
    set_attr(self, S->prefix, prefix);
    return nb::none();
}

// An unset or empty variable is an absent key, so a chain falls through to the next provider.
nb::object env_get_secret(nb::handle self, nb::handle key) {
    ql::require_str(key, "key");
    nb::object prefix = nb::getattr(self, S->prefix);
    ql::require_str(prefix, "_prefix");
    nb::object name = variable_name(prefix, key);
    nb::object value = S->environ_get(name);
    if (ql::is_str(value) && PyUnicode_GET_LENGTH(value.ptr()) > 0)
        return value;
    nb::object error = S->not_found(key);
    std::string note = "looked for the environment variable " + std::string(ql::view(name));
    error.attr(S->add_note)(nb::str(note.data(), note.size()));
    ql::raise(error);
}

nb::object build_mapping_provider(nb::handle base) {
    ql::ClassBuilder cb(MOD, "MappingSecretProvider");
    cb.method("__init__", {ql::arg("self"), ql::arg("secrets")}, [](ql::Args &a) {
        set_attr(a[0], S->data, copy_secrets(a[1]));
        return nb::none();
    });
    bundle::add_get_secret(cb, *S, "Return the value for `key`; SecretNotFoundError when absent.");
    return cb.build(base);
}

nb::object build_environment_provider(nb::handle base) {
    ql::ClassBuilder cb(MOD, "EnvironmentSecretProvider");
    cb.method("__init__", {ql::arg("self"), ql::arg("prefix")}, [](ql::Args &a) { return env_init(a[0], a[1]); });
    cb.method("get_secret", {ql::arg("self"), ql::arg("key")},
              [](ql::Args &a) { return env_get_secret(a[0], a[1]); });
    return cb.build(base);
}

} // namespace

QL_MODULE(local, m) {
    S = &ql::forever<State>();
    nb::object base_mod = bundle::load_base(*S);
    S->mapping_abc = ql::import_from("collections.abc", "Mapping");
    S->environ_get = ql::import("os").attr("environ").attr("get");
    nb::object base = base_mod.attr("SecretProvider");
    m.attr("MappingSecretProvider") = build_mapping_provider(base);
    m.attr("EnvironmentSecretProvider") = build_environment_provider(base);
    nb::list all;
    all.append("EnvironmentSecretProvider");
    all.append("MappingSecretProvider");
    m.attr("__all__") = all;
}
