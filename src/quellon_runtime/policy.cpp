// Pre-execution policy contract: the record of one pending action call, the abstract hook that
// decides on it, the denial exception, and the hook that refuses tenants without a configuration.
#include <ql/toolkit.hpp>

namespace {

const char *MOD = "quellon_runtime.policy";

struct State {
    nb::object context_cls, denied_cls;
    nb::object default_tenant{nb::str("__default__")};
    nb::object has_config{nb::steal(PyUnicode_InternFromString("has_config"))};
    nb::object store_attr{nb::steal(PyUnicode_InternFromString("_store"))};
    nb::object connector_id{nb::steal(PyUnicode_InternFromString("connector_id"))};
    nb::object tenant_id{nb::steal(PyUnicode_InternFromString("tenant_id"))};
};
State *S;

nb::object getattr_interned(nb::handle o, const nb::object &name) {
    PyObject *v = PyObject_GetAttr(o.ptr(), name.ptr());
    if (!v)
        throw nb::python_error();
    return nb::steal(v);
}

void require_context(nb::handle context) {
    int ok = PyObject_IsInstance(context.ptr(), S->context_cls.ptr());
    if (ok < 0)
        throw nb::python_error();
    if (!ok)
        ql::raise_type_error("context must be a PolicyContext, not " + ql::type_name_of(context));
}

nb::object annotations(std::initializer_list<std::pair<const char *, const char *>> items) {
    return ql::str_annotations(items);
}

// A method with annotations (ClassBuilder::method takes none).
void annotated_method(ql::ClassBuilder &cb, const char *name, std::vector<ql::Param> params, ql::Impl impl,
                      nb::object ann, const char *doc = nullptr, bool abstract = false) {
    nb::object f = cb.function(name, std::move(params), std::move(impl), false, doc, std::move(ann));
    if (abstract)
        nb::setattr(f, "__isabstractmethod__", nb::bool_(true));
    cb.ns()[name] = f;
}

nb::object tenant_config_check(ql::Args &a) {
    nb::handle self = a[0], context = a[1];
    require_context(context);
    nb::object tenant = getattr_interned(context, S->tenant_id);
    // A missing tenant is looked up (and reported) under the shared placeholder key.
    int has_tenant = PyObject_IsTrue(tenant.ptr());
    if (has_tenant < 0)
        throw nb::python_error();
    if (!has_tenant)
        tenant = S->default_tenant;
    nb::object connector_id = getattr_interned(context, S->connector_id);
    nb::object store = getattr_interned(self, S->store_attr);
    nb::object found = getattr_interned(store, S->has_config)(tenant, connector_id);
    int allowed = PyObject_IsTrue(found.ptr());
    if (allowed < 0)
        throw nb::python_error();
    if (allowed)
        return nb::none();
    // Formatted on the Python side: ids are caller data and need not be encodable as UTF-8.
    PyObject *msg = PyUnicode_FromFormat("no config for tenant '%S' / connector '%S'", tenant.ptr(), connector_id.ptr());
    if (!msg)
        throw nb::python_error();
    ql::raise(S->denied_cls(nb::steal(msg)));
}

} // namespace

QL_MODULE(policy, m) {
    S = &ql::forever<State>();

    S->context_cls = ql::make_record(
        MOD, "PolicyContext",
        {ql::field("connector_id"), ql::field("action"), ql::field("input_payload"), ql::field("principal", nb::none()),
         ql::field("tenant_id", nb::none()), ql::field("scopes", nb::none())},
        false, nullptr, [](ql::ClassBuilder &cb) {
            cb.ns()["__annotations__"] = annotations({{"connector_id", "str"},
                                                      {"action", "str"},
                                                      {"input_payload", "Mapping[str, Any]"},
                                                      {"principal", "Optional[str]"},
                                                      {"tenant_id", "Optional[str]"},
                                                      {"scopes", "Optional[tuple[str, ...]]"}});
        });
    m.attr("PolicyContext") = S->context_cls;

    S->denied_cls =
        ql::make_exception(MOD, "PolicyDenied", PyExc_Exception, "Raised when a policy hook denies execution.");
    m.attr("PolicyDenied") = S->denied_cls;

    ql::ClassBuilder hook(MOD, "PolicyHook",
                          "Decides, before an action runs, whether it may run.\n\n"
                          "``check`` returns to allow the call and raises ``PolicyDenied`` to refuse it.");
    annotated_method(
        hook, "check", {ql::arg("self"), ql::arg("context")},
        [](ql::Args &) -> nb::object {
            PyErr_SetNone(PyExc_NotImplementedError);
            throw nb::python_error();
        },
        annotations({{"context", "PolicyContext"}, {"return", "None"}}),
        "Return to allow the action; raise PolicyDenied to deny it.", true);
    nb::object hook_cls = hook.build(ql::builtins().object, ql::builtins().abc_meta);
    m.attr("PolicyHook") = hook_cls;

    ql::ClassBuilder tenant(MOD, "TenantConfigHook",
                            "Denies any action for which the calling tenant has no stored connector configuration.");
    annotated_method(
        tenant, "__init__", {ql::arg("self"), ql::arg("store")},
        [](ql::Args &a) -> nb::object {
            nb::handle store = a[1];
            // Fail at construction rather than on the first call.
            PyObject *fn = PyObject_GetAttr(store.ptr(), S->has_config.ptr());
            if (!fn || !PyCallable_Check(fn)) {
                Py_XDECREF(fn);
                PyErr_Clear();
                ql::raise_type_error("store must provide a has_config method, not " + ql::type_name_of(store));
            }
            Py_DECREF(fn);
            if (PyObject_SetAttr(a[0].ptr(), S->store_attr.ptr(), store.ptr()) < 0)
                throw nb::python_error();
            return nb::none();
        },
        annotations({{"store", "ConnectorConfigStore"}, {"return", "None"}}));
    annotated_method(tenant, "check", {ql::arg("self"), ql::arg("context")}, tenant_config_check,
                     annotations({{"context", "PolicyContext"}, {"return", "None"}}));
    m.attr("TenantConfigHook") = tenant.build(nb::make_tuple(hook_cls));

    m.attr("__all__") = nb::list(nb::make_tuple("PolicyContext", "PolicyDenied", "PolicyHook", "TenantConfigHook"));
}
