// connector_base, instance side: construction, auth providers, the client cache and the
// per-tenant breakers.
#include "connector_base_internal.hpp"

namespace qlcb {

namespace {

nb::object connector_init(ql::Args &a) {
    nb::handle self = a[0], secret_provider = a[1], policy_hook = a[2], auth_provider = a[3], auth_providers = a[4],
               config = a[5], tenant_id = a[6], config_name = a[7];
    ql::require_dict_or_none(auth_providers, "auth_providers");
    ql::require_dict_or_none(config, "config");
    ql::require_str_or_none(tenant_id, "tenant_id");
    ql::require_str_or_none(config_name, "config_name");
    nb::handle cls = self.type();
    nb::setattr(self, "_input_model_cls", nb::getattr(cls, "_union_input_model"));
    nb::setattr(self, "_output_model_cls", nb::getattr(cls, "output_model"));
    nb::setattr(self, "_secret_provider", secret_provider);
    nb::setattr(self, "_policy_hook", policy_hook);
    nb::setattr(self, "config", (!config.is_none() && PyDict_Size(config.ptr()) > 0) ? nb::borrow(config) : nb::dict());
    nb::setattr(self, "_config_name", config_name);
    nb::setattr(self, "_tenant_id", tenant_id);
    nb::setattr(self, "_auth_provider", auth_provider.is_none() ? S->null_auth_provider() : nb::borrow(auth_provider));
    nb::setattr(self, "_auth_providers", auth_providers.is_none() ? nb::dict() : ql::copy_dict(auth_providers));
    nb::setattr(self, "_breakers", S->defaultdict(attr(self, S->s_create_breaker)));
    nb::setattr(self, "_client", nb::none());
    return nb::none();
}

nb::object resolve_auth_provider(nb::handle self, nb::handle scheme) {
    if (scheme.is_none())
        return nb::getattr(self, "_auth_provider");
    ql::require_str(scheme, "auth_scheme");
    nb::object providers = nb::getattr(self, "_auth_providers");
    PyObject *p = PyObject_GetItem(providers.ptr(), scheme.ptr());
    if (p)
        return nb::steal(p);
    if (!PyErr_ExceptionMatches(PyExc_KeyError))
        throw nb::python_error();
    nb::python_error key_error;
    nb::object sorted_names = nb::module_::import_("builtins").attr("sorted")(providers);
    std::string msg = cls_name(self.type()) + ": unknown auth_scheme " + ql::repr_of(scheme) + "; configured: " +
                      ql::str_of(nb::list(sorted_names));
    nb::object err = nb::handle(PyExc_ValueError)(nb::str(msg.c_str()));
    ql::raise_from(err, nb::none(), ql::exc_value(key_error));
}

ql::Task get_auth_headers_body(nb::object self, nb::object scheme) {
    // through the instance, so that a subclass's resolve_auth_provider is the one asked
    nb::object provider = self.attr("resolve_auth_provider")(scheme);
    nb::object headers = co_await provider.attr("get_headers")();
    if (!headers.is_none() && !PyDict_Check(headers.ptr()))
        ql::raise_type_error("get_headers() must return a dict, not " + ql::type_name_of(headers));
    co_return headers;
}

} // namespace

nb::object breaker_key(nb::handle tenant_id) {
    if (ql::is_str(tenant_id) && PyUnicode_GET_LENGTH(tenant_id.ptr()) > 0)
        return nb::borrow(tenant_id);
    return nb::str("__default__");
}

namespace {

nb::object breaker_for_tenant(nb::handle self, nb::handle tenant_id) {
    PyObject *b = PyObject_GetAttr(self.ptr(), S->s_breakers.ptr());
    if (!b) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        nb::object fresh = S->defaultdict(attr(self, S->s_create_breaker));
        nb::setattr(self, "_breakers", fresh);
        b = fresh.release().ptr();
    }
    nb::object breakers = nb::steal(b);
    nb::object key = attr(self, S->s_breaker_key)(tenant_id);
    // The map's factory takes no argument; a shared breaker reads the key it is made for from here.
    nb::handle outer = S->pending_breaker_key;
    S->pending_breaker_key = key;
    PyObject *r = PyObject_GetItem(breakers.ptr(), key.ptr());
    S->pending_breaker_key = outer;
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

} // namespace

// ConnectorBase: collaborators, auth, the client and the per-tenant breakers.
void add_instance_side(ql::ClassBuilder &cb) {
    cb.method("__init__",
              {ql::arg("self"), ql::kwonly("secret_provider", nb::none()), ql::kwonly("policy_hook", nb::none()),
               ql::kwonly("auth_provider", nb::none()), ql::kwonly("auth_providers", nb::none()),
               ql::kwonly("config", nb::none()), ql::kwonly("tenant_id", nb::none()),
               ql::kwonly("config_name", nb::none())},
              connector_init);
    cb.property("tenant_id", [](nb::handle self) { return nb::getattr(self, "_tenant_id"); });
    cb.property("config_name", [](nb::handle self) { return nb::getattr(self, "_config_name"); });
    cb.property("secret_provider", [](nb::handle self) {
        nb::object p = nb::getattr(self, "_secret_provider", nb::none());
        if (p.is_none())
            ql::raise(PyExc_RuntimeError, "SecretProvider has not been configured for this connector.");
        return p;
    });
    cb.property("auth_provider", [](nb::handle self) { return nb::getattr(self, "_auth_provider"); });
    cb.method("resolve_auth_provider", {ql::arg("self"), ql::arg("auth_scheme", nb::none())},
              [](ql::Args &a) { return resolve_auth_provider(a[0], a[1]); });
    nb::object headers_qual = nb::str("ConnectorBase.get_auth_headers");
    cb.async_method("get_auth_headers", {ql::arg("self"), ql::arg("auth_scheme", nb::none())},
                    [headers_qual](ql::Args &a) {
                        return ql::coroutine(get_auth_headers_body(nb::borrow(a[0]), nb::borrow(a[1])), headers_qual);
                    });
    cb.method("build_client", {ql::arg("self")}, [](ql::Args &) { return nb::none(); });
    cb.method("get_client", {ql::arg("self")}, [](ql::Args &a) {
        nb::object c = nb::getattr(a[0], "_client", nb::none());
        if (c.is_none()) {
            c = a[0].attr("build_client")();
            nb::setattr(a[0], "_client", c);
        }
        return c;
    });
    cb.method("_create_breaker", {ql::arg("self"), ql::arg("tenant_key", nb::none())}, [](ql::Args &a) {
        std::string name = cls_name(a[0].type()) + "_breaker";
        // With the shared backend the breaker's state lives in Redis, one namespace per connector
        // class and tenant key, so that failures seen by every replica count together.
        nb::handle key = !a[1].is_none() ? a[1] : S->pending_breaker_key.is_valid() ? S->pending_breaker_key : nb::handle();
        nb::object ns = nb::str(("ql:breaker:" + cls_name(a[0].type()) + ":").c_str());
        ns = nb::steal(PyUnicode_Concat(ns.ptr(), key.is_valid() ? nb::str(key).ptr() : nb::str("__default__").ptr()));
        if (!ns.is_valid())
            throw nb::python_error();
        nb::object storage = nb::module_::import_("quellon_runtime.throttle").attr("_breaker_storage")(ns);
        if (!storage.is_none())
            return S->circuit_breaker(nb::arg("fail_max") = 5, nb::arg("reset_timeout") = 30,
                                      nb::arg("name") = nb::str(name.c_str()), nb::arg("state_storage") = storage);
        return S->circuit_breaker(nb::arg("fail_max") = 5, nb::arg("reset_timeout") = 30,
                                  nb::arg("name") = nb::str(name.c_str()));
    });
    cb.method("_breaker_key", {ql::arg("self"), ql::arg("tenant_id")}, [](ql::Args &a) {
        ql::require_str_or_none(a[1], "tenant_id");
        return breaker_key(a[1]);
    });
    cb.method("_breaker_for_tenant", {ql::arg("self"), ql::arg("tenant_id")},
              [](ql::Args &a) { return breaker_for_tenant(a[0], a[1]); });
}

} // namespace qlcb
