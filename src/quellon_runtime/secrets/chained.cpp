// ChainedSecretProvider: asks an ordered list of secret providers in turn.
//
// Only an absent key (SecretNotFoundError or KeyError) falls through to the next provider; a broken
// provider stops the search at once so that a failing store is never hidden behind a later one.
#include <ql/toolkit.hpp>

#include <string>

namespace {

const char *MOD = "quellon_runtime.secrets.chained";

struct State {
    nb::object not_found, provider_error;
    nb::handle providers = ql::intern("_providers");
    nb::handle get_secret = ql::intern("get_secret");
};
State *S;

nb::object get_secret(nb::handle self, nb::handle key) {
    ql::require_str(key, "key");
    PyObject *p = PyObject_GetAttr(self.ptr(), S->providers.ptr());
    if (!p)
        throw nb::python_error();
    PyObject *t = PySequence_Tuple(p);
    Py_DECREF(p);
    if (!t)
        throw nb::python_error();
    nb::tuple providers = nb::steal<nb::tuple>(t);

    nb::object last_not_found = nb::none();
    for (nb::handle provider : providers) {
        nb::object value;
        try {
            PyObject *r = PyObject_CallMethodOneArg(provider.ptr(), S->get_secret.ptr(), key.ptr());
            if (!r)
                throw nb::python_error();
            value = nb::steal(r);
        } catch (nb::python_error &e) {
            // A broken provider wins even if its error also looks like an absence.
            if (e.matches(S->provider_error))
                throw;
            if (e.matches(S->not_found) || e.matches(PyExc_KeyError)) {
                last_not_found = ql::exc_value(e);
                continue;
            }
            throw;
        }
        // Empty text and None are answers, not absences.
        if (value.is_none() || ql::is_str(value))
            return value;
        ql::raise_type_error(ql::type_name_of(provider) + ".get_secret() returned " + ql::type_name_of(value) +
                             ", expected str or None");
    }
    std::string msg = "Secret '" + std::string(ql::view(key)) + "' not found in any of " +
                      std::to_string(nb::len(providers)) + " provider(s)";
    ql::raise_from(S->not_found(nb::str(msg.data(), msg.size())), last_not_found);
}

} // namespace

QL_MODULE(chained, m) {
    S = &ql::forever<State>();
    nb::object base_mod = ql::import("quellon_runtime.secrets.base");
    S->not_found = base_mod.attr("SecretNotFoundError");
    S->provider_error = base_mod.attr("SecretProviderError");

    ql::ClassBuilder cb(MOD, "ChainedSecretProvider",
                        "Secret provider that asks several providers in order.\n\n"
                        "A provider reporting the key absent (SecretNotFoundError or KeyError) passes the\n"
                        "question to the next one; any other error, SecretProviderError first of all, stops\n"
                        "the search and reaches the caller unchanged. When every provider reports the key\n"
                        "absent, SecretNotFoundError is raised, so chains can be nested.");
    cb.method("__init__", {ql::arg("self"), ql::varargs("providers")}, [](ql::Args &a) {
        if (nb::len(a.var_args) == 0)
            ql::raise_value_error("ChainedSecretProvider requires at least one provider");
        if (PyObject_SetAttr(a[0].ptr(), S->providers.ptr(), a.var_args.ptr()) < 0)
            throw nb::python_error();
        return nb::none();
    });
    nb::dict ann;
    ann["key"] = nb::handle((PyObject *)&PyUnicode_Type);
    ann["return"] = nb::handle((PyObject *)&PyUnicode_Type);
    cb.attr("get_secret", cb.function(
                              "get_secret", {ql::arg("self"), ql::arg("key")},
                              [](ql::Args &a) { return get_secret(a[0], a[1]); }, false,
                              "Return the first answer of the providers, in order, for `key`.", ann));
    m.attr("ChainedSecretProvider") = cb.build(base_mod.attr("SecretProvider"));
    nb::list all;
    all.append("ChainedSecretProvider");
    m.attr("__all__") = all;
}
