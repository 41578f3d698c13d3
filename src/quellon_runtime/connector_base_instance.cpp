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

// The value, or "__default__" for none (absent, None or empty), as tenant keys have it.
nb::object text_or_default(nb::handle v) {
    if (!v.is_valid() || v.is_none() || (ql::is_str(v) && PyUnicode_GET_LENGTH(v.ptr()) == 0))
        return nb::str("__default__");
    return nb::borrow(v);
}

// One part of a shared breaker's namespace: its text, with "%" and ":" escaped so that the parts
// of two different namespaces never join into the same one.
nb::object namespace_part(nb::handle value) {
    nb::object text = nb::str(value);
    for (auto [from, to] : {std::pair{"%", "%25"}, std::pair{":", "%3A"}}) {
        text = nb::steal(PyUnicode_Replace(text.ptr(), nb::str(from).ptr(), nb::str(to).ptr(), -1));
        if (!text.is_valid())
            throw nb::python_error();
    }
    return text;
}

// The Redis namespace of a shared breaker: one per connector id, configuration name and tenant key,
// so that failures seen by every replica count together, and only there.
nb::object breaker_namespace(nb::handle self, nb::handle tenant_key) {
    nb::object cid = attr_or_none(self, S->s_connector_id);
    nb::object config_name = attr_or_none(self, S->s_config_name);
    nb::object parts = nb::make_tuple(
        namespace_part(cid.is_none() ? nb::getattr(self.type(), "__qualname__") : cid),
        namespace_part(text_or_default(config_name)), namespace_part(text_or_default(tenant_key)));
    nb::object ns = nb::str(":").attr("join")(parts);
    return nb::steal(PyUnicode_Concat(nb::str("ql:breaker:").ptr(), ns.ptr()));
}

// The tenant's breaker, built with the class's thresholds and named after the concrete class;
// with the shared backend its state lives in Redis. One construction for both.
nb::object create_breaker(nb::handle self, nb::handle tenant_key) {
    // The map's factory takes no argument; the key it is making a breaker for is pending.
    nb::handle key = !tenant_key.is_none() ? tenant_key : S->pending_breaker_key;
    nb::object storage = nb::module_::import_("quellon_runtime.throttle").attr("_breaker_storage")(
        breaker_namespace(self, key));
    nb::dict kwargs;
    kwargs["fail_max"] = nb::getattr(self, "breaker_fail_max");
    kwargs["reset_timeout"] = nb::getattr(self, "breaker_reset_timeout");
    kwargs["name"] = nb::str((cls_name(self.type()) + "_breaker").c_str());
    if (!storage.is_none())
        kwargs["state_storage"] = storage;
    PyObject *r = PyObject_Call(S->circuit_breaker.ptr(), nb::tuple().ptr(), kwargs.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

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
    cb.method("_create_breaker", {ql::arg("self"), ql::arg("tenant_key", nb::none())},
              [](ql::Args &a) { return create_breaker(a[0], a[1]); });
    cb.method("_breaker_key", {ql::arg("self"), ql::arg("tenant_id")}, [](ql::Args &a) {
        ql::require_str_or_none(a[1], "tenant_id");
        return breaker_key(a[1]);
    });
    cb.method("_breaker_for_tenant", {ql::arg("self"), ql::arg("tenant_id")},
              [](ql::Args &a) { return breaker_for_tenant(a[0], a[1]); });
}

} // namespace qlcb
