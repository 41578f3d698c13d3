// connector_base, nested calls: call_action and the error a failed nested envelope becomes.
#include "connector_base_internal.hpp"

namespace qlcb {

ql::Task call_action_body(nb::object self, nb::object name, nb::object params_dict, nb::object principal,
                          nb::object tenant_id, nb::object scopes) {
    State &s = *S;
    ql::require_str_or_none(principal, "principal");
    ql::require_str_or_none(tenant_id, "tenant_id");
    if (!scopes.is_none() && !PyTuple_Check(scopes.ptr()))
        ql::raise_type_error("scopes must be a tuple or None, not " + ql::type_name_of(scopes));
    if (!PyDict_Check(params_dict.ptr()))
        ql::raise_type_error("params_dict must be a dict, not " + ql::type_name_of(params_dict));
    nb::object registry = attr(self.type(), s.s_action_registry);
    PyObject *m = PyObject_GetItem(registry.ptr(), name.ptr());
    if (!m) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError) && !PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();
        ql::raise_value_error("call_action: unknown action " + ql::repr_of(name) + " on connector " +
                              ql::repr_of(attr(self, s.s_connector_id)));
    }
    nb::object meta = nb::steal(m);
    if (principal.is_none() && tenant_id.is_none() && scopes.is_none()) {
        nb::object current = s.caller_ctx_get();
        if (!current.is_none()) {
            principal = current[0];
            tenant_id = current[1];
            scopes = current[2];
        }
    }
    nb::dict payload = ql::copy_dict(params_dict);
    payload["action"] = name;
    nb::object resp = co_await attr(self, s.s_run)(payload, nb::arg("principal") = principal,
                                                          nb::arg("tenant_id") = tenant_id, nb::arg("scopes") = scopes);
    if (truthy(attr(resp, s.s_success))) {
        nb::object data = attr(resp, s.s_data);
        if (data.is_none())
            ql::raise(PyExc_RuntimeError, "call_action: connector returned no data");
        nb::object output_model = attr(meta, s.s_output_model);
        PyObject *r = model_validate(output_model.ptr(), data.ptr());
        if (!r)
            throw nb::python_error();
        co_return nb::steal(r);
    }
    nb::object code = attr(resp, s.s_error_code);
    if (ql::is_str(code) && ql::view(code) == "POLICY_DENIED") {
        nb::object msg = attr(resp, s.s_message);
        nb::object err = s.policy_denied(truthy(msg) ? msg : nb::object(nb::str("Policy denied")));
        ql::raise(err);
    }
    ql::raise(s.nested_error(resp));
}

nb::object build_nested_error() {
    ql::ClassBuilder cb(MOD, "NestedConnectorActionError",
                        "A nested action invoked via call_action returned an envelope whose success is False.");
    cb.method("__init__", {ql::arg("self"), ql::arg("response")}, [](ql::Args &a) -> nb::object {
        nb::handle resp = a[1];
        nb::object msg = nb::getattr(resp, "message", nb::none());
        if (!truthy(msg))
            msg = nb::getattr(resp, "error_code", nb::none());
        if (!truthy(msg))
            msg = nb::str("Nested action failed");
        nb::handle(PyExc_Exception).attr("__init__")(a[0], msg);
        nb::setattr(a[0], "response", resp);
        return nb::none();
    });
    // copy and pickle rebuild it from its response, so the message is derived as it was
    cb.method("__reduce__", {ql::arg("self")}, [](ql::Args &a) -> nb::object {
        nb::object state = nb::getattr(a[0], "__dict__", nb::none());
        return nb::make_tuple(a[0].type(), nb::make_tuple(nb::getattr(a[0], "response")),
                              truthy(state) ? ql::copy_dict(state) : nb::object(nb::none()));
    });
    return cb.build(nb::handle(PyExc_Exception));
}

} // namespace qlcb
