// quellon_runtime.connector_base: the connector base class. Declaration side (action decorators,
// class validation at definition, the connector index), instance side (collaborators, auth, client
// cache, per-tenant breakers), the execution pipeline of one action call, and nested calls.
#include <ql/toolkit.hpp>

#include <cstring>

namespace {

const char *MOD = "quellon_runtime.connector_base";

struct State {
    // host libraries
    nb::object base_model, root_model, pyd_field, validation_error;
    nb::object typing_union, typing_annotated, get_type_hints, signature;
    nb::object uuid4, monotonic, context_var, defaultdict, functools_partial, py_round;
    nb::object circuit_breaker;
    // siblings
    nb::object error_mapper_resolve, error_mapper_register, error_category;
    nb::object connector_response, effective_run_tenant_id, tenant_mismatch_error;
    nb::object set_log_cid, reset_log_cid, with_resilience, sdk_action_spec;
    nb::object policy_context, policy_denied, null_auth_provider;
    // module objects
    ql::Logger log{"runtime.connector_base"};
    nb::object tracer, start_span, meter, counter_add, histogram_record;
    nb::object caller_ctx, caller_ctx_get, caller_ctx_set, caller_ctx_reset;
    nb::object index; // connector id -> class
    nb::object qlaction_meta, connector_base, nested_error, do_execute;
    nb::object module_dict, s_with_resilience_name, s_calling;
    nb::object sdk_action_fn;
    PyObject *run_inner_fn = nullptr, *internal_execute_fn = nullptr; // ours, to skip re-dispatch when not overridden
    PyObject *breaker_for_tenant_fn = nullptr, *breaker_key_fn = nullptr;
    nb::object s_breaker_key, s_run, s_do_execute_qual;
    nb::handle pending_breaker_key; // borrowed: the key whose breaker the map is creating
    // interned attribute names used per call
    nb::object s_connector_id, s_action, s_config_name, s_tenant_id, s_input_model_cls, s_policy_hook,
        s_model_validate, s_model_dump, s_check, s_breaker_for_tenant, s_internal_execute, s_run_inner,
        s_root, s_action_registry, s_fn_name, s_errors, s_code, s_category, s_value, s_success,
        s_error_code, s_error_category, s_message, s_trace_id, s_details, s_data, s_response, s_enter,
        s_exit, s_breakers, s_create_breaker, s_output_model;
    nb::object str_none_text, str_default_text, str_empty, str_unprintable;
    nb::object leave_uncounted;
    nb::object errors_kwargs; // errors(): only what the details and the audit text keep
    nb::object str_none, str_validation_code, str_validation_message, category_business;
    // pydantic's own entry points, used while a model class keeps BaseModel's methods
    nb::object schema_validator, schema_serializer;
    PyObject *base_validate = nullptr, *base_dump = nullptr, *base_init = nullptr;
    nb::object s_pydantic_validator, s_pydantic_serializer, s_validate_python, s_to_python, s_init;
    // trace ids and the span when no tracer provider is configured
    nb::object os_dict, s_urandom, int_16;
    nb::object proxy_tracer_type, non_recording_span_type, otel_trace_dict, s_tracer_provider_global, s_real_tracer;
    nb::object get_current_span, set_span_in_context, context_attach, context_detach;
};
State *S;

nb::object attr(nb::handle o, const nb::object &name) {
    PyObject *r = PyObject_GetAttr(o.ptr(), name.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// getattr(o, name, None)
nb::object attr_or_none(nb::handle o, const nb::object &name) {
    PyObject *r = PyObject_GetAttr(o.ptr(), name.ptr());
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::none();
    }
    return nb::steal(r);
}

bool truthy(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

// str(exc), or the interpreter's own fallback text when __str__ raises or returns a non-string:
// an unprintable exception is still an ordinary failure.
nb::object exception_text(nb::handle exc) {
    PyObject *r = PyObject_Str(exc.ptr());
    if (r)
        return nb::steal(r);
    PyErr_Clear();
    return S->str_unprintable;
}

// The Python exception object for whatever C++ exception is in flight (call inside catch). A
// python_error is only borrowed from, so the in-flight exception can still be rethrown intact.
nb::object current_exception_object() {
    try {
        throw;
    } catch (nb::python_error &e) {
        return ql::exc_value(e);
    } catch (...) {
        ql::set_python_error_from_current();
        nb::python_error e;
        return ql::exc_value(e);
    }
}

bool is_instance(nb::handle o, nb::handle cls) {
    int r = PyObject_IsInstance(o.ptr(), cls.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

bool is_model_class(nb::handle o) {
    if (o.is_none() || !PyType_Check(o.ptr()))
        return false;
    int r = PyObject_IsSubclass(o.ptr(), S->base_model.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

nb::object own_ns_get(nb::handle cls, const char *name) {
    nb::object d = nb::getattr(cls, "__dict__");
    PyObject *v = PyMapping_GetItemString(d.ptr(), name);
    if (!v) {
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(v);
}

std::string cls_name(nb::handle cls) { return std::string(ql::view(nb::getattr(cls, "__name__"))); }

// The method name generated for an action name: "." and then "-" replaced by "_" (kept as Python
// text, so every character survives).
nb::object method_name_for(nb::handle action_name) {
    nb::object a = nb::steal(PyUnicode_Replace(action_name.ptr(), nb::str(".").ptr(), nb::str("_").ptr(), -1));
    if (!a.is_valid())
        throw nb::python_error();
    nb::object b = nb::steal(PyUnicode_Replace(a.ptr(), nb::str("-").ptr(), nb::str("_").ptr(), -1));
    if (!b.is_valid())
        throw nb::python_error();
    return b;
}

// ---------------------------------------------------------------- declaration side

nb::object marker_flag(nb::handle v) { return nb::bool_(truthy(v)); }

void check_marker_args(nb::handle name, nb::handle scopes, nb::handle throttle) {
    ql::require_str(name, "name");
    if (!scopes.is_none() && !PyList_Check(scopes.ptr()))
        ql::raise_type_error("scopes must be a list or None, not " + ql::type_name_of(scopes));
    if (!throttle.is_none() && !PyDict_Check(throttle.ptr()))
        ql::raise_type_error("throttle must be a dict or None, not " + ql::type_name_of(throttle));
}

void set_markers(nb::handle fn, nb::handle name, nb::handle alias_tolerant, nb::handle mcp_normalize,
                 nb::handle requires_auth, nb::handle scopes, nb::handle throttle, nb::handle deprecated) {
    nb::setattr(fn, "_sdk_action_name", name);
    nb::setattr(fn, "_alias_tolerant", alias_tolerant);
    nb::setattr(fn, "_mcp_normalize", mcp_normalize);
    nb::setattr(fn, "_requires_auth", requires_auth);
    nb::setattr(fn, "_scopes", scopes);
    nb::setattr(fn, "_throttle", throttle);
    nb::setattr(fn, "_deprecated", deprecated);
    nb::setattr(fn, "_ql_action_name", name);
}

std::vector<ql::Param> marker_params() {
    return {ql::arg("name"),
            ql::kwonly("alias_tolerant", nb::bool_(false)),
            ql::kwonly("mcp_normalize", nb::none()),
            ql::kwonly("requires_auth", nb::bool_(true)),
            ql::kwonly("scopes", nb::none()),
            ql::kwonly("throttle", nb::none()),
            ql::kwonly("deprecated", nb::bool_(false))};
}

nb::object module_function(const char *name, std::vector<ql::Param> params, ql::Impl impl, bool is_async = false,
                           const char *doc = nullptr) {
    ql::FnInfo info;
    info.name = name;
    info.module = MOD;
    info.doc = doc;
    info.is_async = is_async;
    return ql::make_function(std::move(info), std::move(params), std::move(impl));
}

nb::object sdk_action(ql::Args &a) {
    check_marker_args(a[0], a[4], a[5]);
    nb::object name = nb::borrow(a[0]), alias = marker_flag(a[1]), norm = nb::borrow(a[2]),
               auth = marker_flag(a[3]), scopes = nb::borrow(a[4]), throttle = nb::borrow(a[5]),
               deprecated = marker_flag(a[6]);
    return module_function("decorator", {ql::arg("fn")}, [=](ql::Args &d) -> nb::object {
        set_markers(d[0], name, alias, norm, auth, scopes, throttle, deprecated);
        return nb::borrow(d[0]);
    });
}

// The generated body of an action_specs handler: await self._execute_action_spec(name, params, trace_id=...)
ql::Task spec_handler_body(nb::object self, nb::object action_name, nb::object params, nb::object trace_id) {
    nb::object r = co_await self.attr("_execute_action_spec")(action_name, params, nb::arg("trace_id") = trace_id);
    co_return r;
}

nb::object make_spec_handler(ql::Args &a) {
    nb::handle action_name = a[0], cls_qualname = a[3], cls_module = a[4];
    ql::require_str(action_name, "action_name");
    ql::require_str(cls_qualname, "cls_qualname");
    ql::require_str(cls_module, "cls_module");
    if (!a[8].is_none() && !PyList_Check(a[8].ptr()))
        ql::raise_type_error("scopes must be a list or None, not " + ql::type_name_of(a[8]));
    if (!a[9].is_none() && !PyDict_Check(a[9].ptr()))
        ql::raise_type_error("throttle must be a dict or None, not " + ql::type_name_of(a[9]));
    nb::object fn_name = method_name_for(action_name);
    nb::object name_obj = nb::borrow(action_name);
    nb::object qualname = nb::steal(PyUnicode_FromFormat("%U.%U", cls_qualname.ptr(), fn_name.ptr()));
    if (!qualname.is_valid())
        throw nb::python_error();
    ql::FnInfo info;
    info.name = "_handler";
    info.module = MOD;
    info.is_async = true;
    nb::object h = ql::make_function(
        info, {ql::arg("self"), ql::arg("params"), ql::kwonly("trace_id")}, [name_obj, qualname](ql::Args &c) {
            return ql::coroutine(spec_handler_body(nb::borrow(c[0]), name_obj, nb::borrow(c[1]), nb::borrow(c[2])),
                                 qualname);
        });
    nb::setattr(h, "__name__", fn_name);
    nb::setattr(h, "__qualname__", qualname);
    nb::setattr(h, "__module__", cls_module);
    nb::dict ann;
    ann["params"] = a[1];
    ann["return"] = a[2];
    nb::setattr(h, "__annotations__", ann);
    set_markers(h, action_name, marker_flag(a[5]), a[6], marker_flag(a[7]), a[8], a[9], marker_flag(a[10]));
    return h;
}

nb::object make_spec_handler_fn() {
    return module_function("_make_spec_handler",
                           {ql::arg("action_name"), ql::arg("input_model"), ql::arg("output_model"),
                            ql::arg("cls_qualname"), ql::arg("cls_module"), ql::arg("alias_tolerant", nb::bool_(false)),
                            ql::arg("mcp_normalize", nb::none()), ql::arg("requires_auth", nb::bool_(true)),
                            ql::arg("scopes", nb::none()), ql::arg("throttle", nb::none()),
                            ql::arg("deprecated", nb::bool_(false))},
                           make_spec_handler);
}

nb::object &spec_handler_factory() {
    static nb::object &f = ql::forever<nb::object>(make_spec_handler_fn());
    return f;
}

void generate_methods_from_action_specs(nb::handle cls) {
    nb::object specs = own_ns_get(cls, "action_specs");
    if (!specs.is_valid() || specs.is_none())
        return;
    std::string cname = cls_name(cls);
    nb::object fallback_output = nb::getattr(cls, "output_model", nb::none());
    nb::object items = specs.attr("items")();
    for (nb::handle item : items) {
        nb::object key = item[0], action_spec = item[1];
        std::string where = cname + ": action_specs[" + ql::repr_of(key) + "]";
        if (!is_instance(action_spec, S->sdk_action_spec))
            ql::raise_type_error(where + " must be a SdkActionSpec instance");
        nb::object input_model = action_spec.attr("input_model");
        if (!is_model_class(input_model))
            ql::raise_type_error(where + " requires input_model=<BaseModel subclass>");
        nb::object output_model = action_spec.attr("output_model");
        if (output_model.is_none())
            output_model = fallback_output;
        if (!is_model_class(output_model))
            ql::raise_type_error(where + " has no resolvable output_model \xe2\x80\x94 set it on the SdkActionSpec or "
                                         "define cls.output_model");
        nb::object method_name = method_name_for(nb::str(key));
        nb::object own = nb::getattr(cls, "__dict__");
        int has = PySequence_Contains(own.ptr(), method_name.ptr());
        if (has < 0)
            throw nb::python_error();
        if (has)
            ql::raise_type_error(where + " conflicts with existing method " + ql::repr_of(method_name));
        nb::object handler = spec_handler_factory()(
            key, input_model, output_model, nb::getattr(cls, "__qualname__"), nb::getattr(cls, "__module__"),
            nb::arg("alias_tolerant") = action_spec.attr("alias_tolerant"),
            nb::arg("mcp_normalize") = action_spec.attr("mcp_normalize"),
            nb::arg("requires_auth") = action_spec.attr("requires_auth"), nb::arg("scopes") = action_spec.attr("scopes"),
            nb::arg("throttle") = action_spec.attr("throttle"), nb::arg("deprecated") = action_spec.attr("deprecated"));
        if (PyObject_SetAttr(cls.ptr(), method_name.ptr(), handler.ptr()) < 0)
            throw nb::python_error();
    }
}

// Python's `a, b = value` for exactly two items, with the interpreter's messages.
std::pair<nb::object, nb::object> unpack2(nb::handle value) {
    PyObject *it = PyObject_GetIter(value.ptr());
    if (!it) {
        PyErr_Clear();
        ql::raise_type_error("cannot unpack non-iterable " + ql::type_name_of(value) + " object");
    }
    nb::object iter = nb::steal(it);
    nb::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *x = PyIter_Next(iter.ptr());
        if (!x) {
            if (PyErr_Occurred())
                throw nb::python_error();
            ql::raise_value_error("not enough values to unpack (expected 2, got " + std::to_string(i) + ")");
        }
        items[i] = nb::steal(x);
    }
    PyObject *extra = PyIter_Next(iter.ptr());
    if (extra) {
        Py_DECREF(extra);
        ql::raise_value_error("too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return {items[0], items[1]};
}

nb::object init_subclass(ql::Args &a) {
    nb::handle cls = a[0];
    // 1. the parent's hook
    nb::object parent = ql::super_attr(S->connector_base, cls, "__init_subclass__");
    PyObject *r = PyObject_Call(parent.ptr(), nb::tuple().ptr(), a.var_kw.ptr());
    if (!r)
        throw nb::python_error();
    Py_DECREF(r);
    // 2. intermediate bases opt out
    nb::object abstract = own_ns_get(cls, "_ql_abstract_base");
    if (abstract.is_valid() && truthy(abstract))
        return nb::none();
    // 3. methods generated from action_specs
    generate_methods_from_action_specs(cls);
    // 4. the action registry
    std::string cname = cls_name(cls);
    nb::dict registry;
    PyObject *dir = PyObject_Dir(cls.ptr());
    if (!dir)
        throw nb::python_error();
    nb::object names = nb::steal(dir);
    static nb::object &empty_hints = ql::forever<nb::object>(nb::dict());
    for (nb::handle attr_name : names) {
        nb::object member = attr_or_none(cls, nb::borrow(attr_name));
        if (!PyCallable_Check(member.ptr()))
            continue;
        nb::object action_name = attr_or_none(member, nb::str("_sdk_action_name"));
        if (!truthy(action_name))
            action_name = attr_or_none(member, nb::str("_ql_action_name"));
        if (!truthy(action_name))
            continue;
        auto where_text = [&] { return cname + "." + ql::utf8_of(attr_name); };
        nb::object hints;
        try {
            hints = S->get_type_hints(member);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
            hints = nb::dict();
        }
        nb::object param_name;
        try {
            nb::object params = S->signature(member).attr("parameters").attr("values")();
            for (nb::handle p : params) {
                nb::object pname = p.attr("name");
                std::string_view pn = ql::view(pname);
                if (pn != "self" && pn != "trace_id") {
                    param_name = pname;
                    break;
                }
            }
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError))
                throw;
        }
        if (!param_name.is_valid())
            ql::raise_type_error(where_text() + ": @ql_action method must have a params argument after self");
        nb::object input_model = hints.attr("get")(param_name);
        nb::object output_model = hints.attr("get")("return");
        if (!is_model_class(input_model))
            ql::raise_type_error(where_text() + ": missing or invalid type hint for parameter " + ql::repr_of(param_name));
        if (!is_model_class(output_model))
            ql::raise_type_error(where_text() + ": missing or invalid return type hint");
        nb::object meta = S->qlaction_meta(
            nb::arg("name") = action_name, nb::arg("fn_name") = attr_name, nb::arg("input_model") = input_model,
            nb::arg("output_model") = output_model,
            nb::arg("alias_tolerant") = nb::getattr(member, "_alias_tolerant", nb::bool_(false)),
            nb::arg("mcp_normalize") = nb::getattr(member, "_mcp_normalize", nb::none()),
            nb::arg("requires_auth") = nb::getattr(member, "_requires_auth", nb::bool_(true)),
            nb::arg("scopes") = nb::getattr(member, "_scopes", nb::none()),
            nb::arg("throttle") = nb::getattr(member, "_throttle", nb::none()),
            nb::arg("deprecated") = nb::getattr(member, "_deprecated", nb::bool_(false)));
        registry[action_name] = meta;
    }
    (void)empty_hints;
    // 5.
    nb::setattr(cls, "_action_registry", registry);
    // 6.
    nb::list models;
    for (auto kv : registry)
        models.append(kv.second.attr("input_model"));
    if (nb::len(models) == 0)
        ql::raise_type_error(cname + ": ConnectorBase must define at least one @ql_action");
    // 7. one model, or a discriminated union on "action"
    nb::object root_type;
    if (nb::len(models) == 1) {
        root_type = models[0];
    } else {
        nb::object u = nb::steal(PyObject_GetItem(S->typing_union.ptr(), nb::tuple(models).ptr()));
        if (!u.is_valid())
            throw nb::python_error();
        nb::object field = S->pyd_field(nb::arg("discriminator") = "action");
        root_type = nb::steal(PyObject_GetItem(S->typing_annotated.ptr(), nb::make_tuple(u, field).ptr()));
        if (!root_type.is_valid())
            throw nb::python_error();
    }
    // 8.
    nb::object union_model = nb::steal(PyObject_GetItem(S->root_model.ptr(), root_type.ptr()));
    if (!union_model.is_valid())
        throw nb::python_error();
    nb::setattr(cls, "_union_input_model", union_model);
    union_model.attr("model_rebuild")();
    // 9. the class's own error map, scoped to its connector id
    nb::object own_map = own_ns_get(cls, "error_map");
    if (own_map.is_valid() && truthy(own_map)) {
        if (!own_ns_get(cls, "connector_id").is_valid())
            ql::raise_type_error(cname + ": error_map requires a connector_id (exceptions must be scoped to the "
                                         "connector that owns them)");
        nb::object cid = nb::getattr(cls, "connector_id");
        for (nb::handle item : own_map.attr("items")()) {
            auto [category, code] = unpack2(item[1]);
            S->error_mapper_register(cid, item[0], category, nb::arg("code") = code);
        }
    }
    // 10. registration
    if (own_ns_get(cls, "connector_id").is_valid()) {
        nb::object cid = nb::getattr(cls, "connector_id");
        PyObject_SetItem(S->index.ptr(), cid.ptr(), cls.ptr());
        if (PyErr_Occurred())
            throw nb::python_error();
        S->log.log(ql::DEBUG, "Registered ConnectorBase subclass", nb::tuple(),
                   [&] { return ql::kv("connector_id", cid); });
    }
    return nb::none();
}

// ---------------------------------------------------------------- instance side

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

nb::object breaker_key(nb::handle tenant_id) {
    if (ql::is_str(tenant_id) && PyUnicode_GET_LENGTH(tenant_id.ptr()) > 0)
        return nb::borrow(tenant_id);
    return nb::str("__default__");
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

// ---------------------------------------------------------------- pipeline

nb::object rounded_ms(double ms) { return S->py_round(ms, 2); }

double monotonic() { return nb::cast<double>(S->monotonic()); }

nb::object text_or(nb::handle v, const nb::object &fallback) {
    return (v.is_none() || (ql::is_str(v) && PyUnicode_GET_LENGTH(v.ptr()) == 0)) ? fallback : nb::borrow(v);
}

nb::object merge_nested_failure_details(nb::handle nested) {
    nb::object tid = attr(nested, S->s_trace_id);
    nb::object d = attr(nested, S->s_details);
    if (tid.is_none() || (ql::is_str(tid) && PyUnicode_GET_LENGTH(tid.ptr()) == 0))
        return d;
    nb::dict out;
    if (d.is_none()) {
        out["nested_trace_id"] = tid;
    } else if (PyDict_Check(d.ptr())) {
        out = ql::copy_dict(d);
        if (!out.contains("nested_trace_id"))
            out["nested_trace_id"] = tid;
    } else {
        out["nested_trace_id"] = tid;
        out["nested_details"] = d;
    }
    return out;
}


// exc.errors() without input values, URLs or context: the caller's payload (secrets included) stays
// out of everything derived from it.
nb::object validation_errors(nb::handle exc) {
    PyObject *fn = PyObject_GetAttr(exc.ptr(), S->s_errors.ptr());
    if (!fn)
        throw nb::python_error();
    nb::object f = nb::steal(fn);
    PyObject *r = PyObject_Call(fn, nb::tuple().ptr(), S->errors_kwargs.ptr());
    if (!r)
        throw nb::python_error();
    nb::object errors = nb::steal(r);
    if (!PyList_Check(errors.ptr()))
        errors = nb::list(errors);
    return errors;
}

nb::list validation_details(nb::handle errors) {
    nb::list details;
    for (nb::handle err : errors) {
        nb::dict d;
        d["loc"] = err["loc"];
        d["msg"] = err["msg"];
        d["type"] = err["type"];
        details.append(d);
    }
    return details;
}

// An error's message for the audit text. An unknown discriminator tag is the one message that
// quotes the caller's input ("Input tag 'x' found using ..."): the tag is left out; what follows
// it (the discriminator and the expected tags) is the connector's own.
nb::object audit_message(nb::handle err) {
    nb::object msg = err["msg"];
    nb::object type = err["type"];
    if (!ql::is_str(msg) || !ql::is_str(type) || PyUnicode_CompareWithASCIIString(type.ptr(), "union_tag_invalid") != 0)
        return msg;
    nb::object marker = nb::str(" found using ");
    Py_ssize_t at = PyUnicode_Find(msg.ptr(), marker.ptr(), 0, PyUnicode_GET_LENGTH(msg.ptr()), -1);
    if (at == -2)
        throw nb::python_error();
    if (at < 0)
        return nb::str("Input tag does not match any of the expected tags");
    nb::object rest = nb::steal(PyUnicode_Substring(msg.ptr(), at, PyUnicode_GET_LENGTH(msg.ptr())));
    if (!rest.is_valid())
        throw nb::python_error();
    return nb::steal(PyUnicode_FromFormat("Input tag%U", rest.ptr()));
}

// The text of a ValidationError as pydantic writes it, less what would quote the payload: the
// header, and per error its location, message and type (no input value or type, no URL).
nb::object validation_text(nb::handle exc, nb::handle errors) {
    Py_ssize_t n = PyList_GET_SIZE(errors.ptr());
    nb::object title = nb::getattr(exc, "title");
    nb::list parts;
    parts.append(nb::steal(PyUnicode_FromFormat("%zd validation error%s for %S", n, n == 1 ? "" : "s", title.ptr())));
    for (nb::handle err : errors) {
        nb::object loc = err["loc"];
        if (truthy(loc)) {
            nb::list items;
            for (nb::handle item : loc) {
                nb::object text = nb::str(item);
                if (ql::is_str(item) && PyUnicode_FindChar(text.ptr(), '.', 0, PyUnicode_GET_LENGTH(text.ptr()), 1) >= 0)
                    text = nb::steal(PyUnicode_FromFormat("`%U`", text.ptr()));
                items.append(text);
            }
            parts.append(nb::str(".").attr("join")(items));
        }
        parts.append(nb::steal(PyUnicode_FromFormat("  %S [type=%S]", audit_message(err).ptr(),
                                                    nb::object(err["type"]).ptr())));
    }
    return nb::str("\n").attr("join")(parts);
}

// Resets a ContextVar token when the scope ends, however it ends.
struct CtxReset {
    nb::object token;
    bool armed = true;
    void reset() {
        if (!armed)
            return;
        armed = false;
        S->caller_ctx_reset(token);
    }
    void reset_quietly() noexcept {
        if (!armed)
            return;
        armed = false;
        PyObject *r = PyObject_CallOneArg(S->caller_ctx_reset.ptr(), token.ptr());
        if (!r)
            PyErr_WriteUnraisable(S->caller_ctx.ptr());
        Py_XDECREF(r);
    }
    ~CtxReset() { reset_quietly(); }
};

ql::Task internal_execute_body(nb::object self, nb::object params, nb::object trace_id);
nb::object dispatch_call(nb::handle self, nb::handle params, nb::handle trace_id);

// True when the instance's class still uses the base implementation stored under `name`.
bool not_overridden(nb::handle self, const nb::object &name, PyObject *ours) {
    if (!ours || _PyType_Lookup(Py_TYPE(self.ptr()), name.ptr()) != ours)
        return false;
    PyObject **dictptr = _PyObject_GetDictPtr(self.ptr());
    return !(dictptr && *dictptr && PyDict_GetItemWithError(*dictptr, name.ptr()));
}

ql::Task do_execute_body(nb::object self, nb::object payload, nb::object trace_id) {
    nb::object r;
    if (not_overridden(self, S->s_internal_execute, S->internal_execute_fn))
        r = co_await internal_execute_body(self, payload, trace_id);
    else
        r = co_await attr(self, S->s_internal_execute)(payload, nb::arg("trace_id") = trace_id);
    co_return r;
}

// self._breaker_for_tenant(tenant_id), answered straight from the breaker map when neither the
// lookup nor the key rule is overridden and the tenant already has its breaker.
nb::object tenant_breaker(nb::handle self, nb::handle tenant_id) {
    State &s = *S;
    if (not_overridden(self, s.s_breaker_for_tenant, s.breaker_for_tenant_fn) &&
        not_overridden(self, s.s_breaker_key, s.breaker_key_fn) && (tenant_id.is_none() || ql::is_str(tenant_id))) {
        PyObject **dictptr = _PyObject_GetDictPtr(self.ptr());
        PyObject *breakers = (dictptr && *dictptr) ? PyDict_GetItemWithError(*dictptr, s.s_breakers.ptr()) : nullptr;
        if (breakers && PyDict_Check(breakers)) {
            nb::object key = breaker_key(tenant_id);
            PyObject *b = PyDict_GetItemWithError(breakers, key.ptr());
            if (b)
                return nb::borrow(b);
        }
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    return attr(self, s.s_breaker_for_tenant)(tenant_id);
}

// Leaves a `breaker.calling()` context that an exception other than an Exception is unwinding,
// without counting a failure (resilience._leave_uncounted). The exception in flight goes on
// whatever the breaker's bookkeeping does (the exception itself is held by the caller, not set).
void leave_breaker_uncounted(nb::handle breaker, nb::handle cm) noexcept {
    PyObject *r = PyObject_CallFunctionObjArgs(S->leave_uncounted.ptr(), breaker.ptr(), cm.ptr(), nullptr);
    if (!r)
        PyErr_WriteUnraisable(S->leave_uncounted.ptr());
    Py_XDECREF(r);
}

// ---------------------------------------------------------------- pipeline steps

enum class Outcome { None, Validation, Policy, Nested, General };

// How a step failed: the outcome it stands for and the exception caught.
struct Failure {
    Outcome kind = Outcome::None;
    nb::object exc;
    explicit operator bool() const { return kind != Outcome::None; }
};

// The Python exception now set, taken as an object (no C++ throw).
nb::object take_error() {
    nb::python_error e;
    return ql::exc_value(e);
}

bool is_exception(nb::handle exc) { return PyObject_TypeCheck(exc.ptr(), (PyTypeObject *)PyExc_Exception); }

// The outcome of an exception raised past the validation and the policy check: a nested failure,
// an ordinary failure, or (None) not a failure at all, which must pass through.
Outcome outcome_of(nb::handle exc) {
    if (is_instance(exc, S->nested_error))
        return Outcome::Nested;
    return is_exception(exc) ? Outcome::General : Outcome::None;
}

// Sets the error indicator back to `exc` and throws: for exits that are not failures.
[[noreturn]] void rethrow(nb::handle exc) {
    PyErr_SetObject((PyObject *)Py_TYPE(exc.ptr()), exc.ptr());
    throw nb::python_error();
}

struct LogCidReset {
    nb::object token;
    ~LogCidReset() {
        if (!token.is_valid())
            return;
        PyObject *r = PyObject_CallOneArg(S->reset_log_cid.ptr(), token.ptr());
        if (!r)
            PyErr_WriteUnraisable(S->reset_log_cid.ptr());
        Py_XDECREF(r);
    }
};

// What every step of one call reads.
struct Call {
    // Borrowed from the coroutine's own parameters: a second, owned reference held across the
    // awaits would hide the instance from the cycle collector (a dropped connector holding its own
    // hung run() task could never be freed).
    nb::handle self;
    nb::object raw_input, principal, tenant_id, scopes;
    nb::object trace_id, cid, config_name, action;
    double start = 0;
    nb::object elapsed_ms() const { return rounded_ms((monotonic() - start) * 1000.0); }
};

// A random version-4 UUID as text, from the OS's random source (uuid.uuid4() where the interpreter
// has none).
nb::object new_trace_id() {
    // looked up per call, as uuid4 does, so that a host's replacement of os.urandom is honoured
    PyObject *urandom = PyDict_GetItemWithError(S->os_dict.ptr(), S->s_urandom.ptr());
    PyObject *b = urandom ? PyObject_CallOneArg(urandom, S->int_16.ptr()) : nullptr;
    if (!b) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_NotImplementedError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::str(nb::module_::import_("uuid").attr("uuid4")());
    }
    nb::object bytes = nb::steal(b);
    if (!PyBytes_Check(b) || PyBytes_GET_SIZE(b) != 16)
        ql::raise_type_error("os.urandom(16) must return 16 bytes, not " + ql::repr_of(bytes));
    unsigned char u[16];
    std::memcpy(u, PyBytes_AS_STRING(b), 16);
    u[6] = (unsigned char)((u[6] & 0x0f) | 0x40); // version 4
    u[8] = (unsigned char)((u[8] & 0x3f) | 0x80); // RFC 4122 variant
    PyObject *text = PyUnicode_New(36, 127);
    if (!text)
        throw nb::python_error();
    Py_UCS1 *out = PyUnicode_1BYTE_DATA(text);
    static const char hex[] = "0123456789abcdef";
    for (int i = 0, j = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out[j++] = '-';
        out[j++] = (Py_UCS1)hex[u[i] >> 4];
        out[j++] = (Py_UCS1)hex[u[i] & 15];
    }
    return nb::steal(text);
}

// pydantic's own validator of `cls` when `cls.model_validate` is BaseModel's (which only forwards
// to it), else nullptr: a class that overrides model_validate gets its own.
PyObject *stock_validator(PyObject *cls) {
    if (!PyType_Check(cls) || _PyType_Lookup((PyTypeObject *)cls, S->s_model_validate.ptr()) != S->base_validate)
        return nullptr;
    PyObject *v = _PyType_Lookup((PyTypeObject *)cls, S->s_pydantic_validator.ptr());
    return (v && Py_TYPE(v) == (PyTypeObject *)S->schema_validator.ptr()) ? v : nullptr;
}

// cls.model_validate(value); nullptr with the error set when it raises.
PyObject *model_validate(PyObject *cls, PyObject *value) {
    if (PyObject *v = stock_validator(cls)) {
        PyObject *args[] = {v, value};
        return PyObject_VectorcallMethod(S->s_validate_python.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr);
    }
    PyObject *fn = PyObject_GetAttr(cls, S->s_model_validate.ptr());
    if (!fn)
        return nullptr;
    PyObject *r = PyObject_CallOneArg(fn, value);
    Py_DECREF(fn);
    return r;
}

// model.model_dump(), through pydantic's serializer when the class keeps BaseModel's model_dump.
nb::object model_dump(nb::handle model) {
    PyTypeObject *t = Py_TYPE(model.ptr());
    if (_PyType_Lookup(t, S->s_model_dump.ptr()) == S->base_dump) {
        PyObject *ser = _PyType_Lookup(t, S->s_pydantic_serializer.ptr());
        PyObject **dictptr = _PyObject_GetDictPtr(model.ptr());
        bool shadowed = dictptr && *dictptr && PyDict_GetItemWithError(*dictptr, S->s_model_dump.ptr());
        if (PyErr_Occurred())
            throw nb::python_error();
        if (ser && Py_TYPE(ser) == (PyTypeObject *)S->schema_serializer.ptr() && !shadowed) {
            PyObject *args[] = {ser, model.ptr()};
            PyObject *r = PyObject_VectorcallMethod(S->s_to_python.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                    nullptr);
            if (!r)
                throw nb::python_error();
            return nb::steal(r);
        }
    }
    return attr(model, S->s_model_dump)();
}

// ConnectorResponse(**fields), built by its validator while the class keeps BaseModel's __init__.
nb::object envelope(nb::dict fields) {
    PyObject *cls = S->connector_response.ptr();
    if (_PyType_Lookup((PyTypeObject *)cls, S->s_init.ptr()) == S->base_init) {
        PyObject *v = _PyType_Lookup((PyTypeObject *)cls, S->s_pydantic_validator.ptr());
        if (v && Py_TYPE(v) == (PyTypeObject *)S->schema_validator.ptr()) {
            PyObject *args[] = {v, fields.ptr()};
            PyObject *r = PyObject_VectorcallMethod(S->s_validate_python.ptr(), args,
                                                    2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
            if (!r)
                throw nb::python_error();
            return nb::steal(r);
        }
    }
    PyObject *r = PyObject_Call(cls, nb::tuple().ptr(), fields.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

nb::object failure_fields_envelope(const Call &c, nb::handle code, nb::handle category, nb::handle message,
                                   nb::handle details = nb::handle()) {
    nb::dict f;
    f["success"] = false;
    f["error_code"] = code;
    f["error_category"] = category;
    f["message"] = message;
    f["trace_id"] = c.trace_id;
    if (details.is_valid())
        f["details"] = details;
    return envelope(f);
}

// Step: the effective tenant. A caller's tenant that contradicts the instance's pinned tenant ends
// the call here, with its envelope (returned; otherwise nothing).
nb::object resolve_tenant(Call &c) {
    State &s = *S;
    nb::object pinned = attr_or_none(c.self, s.s_tenant_id);
    nb::object pair = s.effective_run_tenant_id(nb::arg("pinned") = pinned, nb::arg("caller") = c.tenant_id);
    auto [effective, mismatch] = unpack2(pair);
    c.action = attr(c.self, s.s_action);
    if (!mismatch.is_none()) {
        s.log.log(ql::WARNING, "AUDIT: Tenant mismatch on factory instance", nb::tuple(), [&] {
            return ql::kv("trace_id", c.trace_id, "connector_id", c.cid, "config_name",
                          text_or(c.config_name, s.str_empty), "pinned_tenant_id", nb::getattr(mismatch, "pinned"),
                          "requested_tenant_id", nb::getattr(mismatch, "requested"), "audit", true, "audit_event",
                          "tenant_mismatch");
        });
        nb::object mapped = s.error_mapper_resolve(mismatch, nb::arg("connector_id") = c.cid);
        return failure_fields_envelope(c, attr(mapped, s.s_code), attr(mapped, s.s_category), nb::str(mismatch));
    }
    ql::require_str_or_none(effective, "tenant_id");
    c.tenant_id = effective;
    return nb::object();
}

// The span of one call: the tracer's context manager, or (no tracer provider configured) only the
// context token that makes the current span current again.
struct SpanScope {
    nb::object cm, token;
};

// The span NoOpTracer would start, when the module's tracer is the API's proxy with no provider
// behind it and the current span is a plain NonRecordingSpan (that very span); else null.
nb::object noop_span() {
    State &s = *S;
    if (Py_TYPE(s.tracer.ptr()) != (PyTypeObject *)s.proxy_tracer_type.ptr())
        return nb::object();
    PyObject *provider = PyDict_GetItemWithError(s.otel_trace_dict.ptr(), s.s_tracer_provider_global.ptr());
    if (!provider || provider != Py_None) {
        PyErr_Clear();
        return nb::object();
    }
    PyObject **dictptr = _PyObject_GetDictPtr(s.tracer.ptr());
    PyObject *real = (dictptr && *dictptr) ? PyDict_GetItemWithError(*dictptr, s.s_real_tracer.ptr()) : nullptr;
    if (real != Py_None) {
        PyErr_Clear();
        return nb::object();
    }
    nb::object current = s.get_current_span();
    if (Py_TYPE(current.ptr()) != (PyTypeObject *)s.non_recording_span_type.ptr())
        return nb::object();
    return current;
}

// Step: open the "connector.run" span.
SpanScope open_span(const Call &c) {
    State &s = *S;
    SpanScope scope;
    if (nb::object span = noop_span(); span.is_valid()) {
        // nothing records it: no attributes to build, and no three generator frames to go through
        scope.token = s.context_attach(s.set_span_in_context(span));
        return scope;
    }
    nb::dict span_attrs;
    span_attrs["connector.id"] = c.cid;
    span_attrs["connector.action"] = c.action;
    span_attrs["config.name"] = text_or(c.config_name, s.str_empty);
    span_attrs["tenant.id"] = text_or(c.tenant_id, s.str_empty);
    span_attrs["principal.id"] = text_or(c.principal, s.str_empty);
    span_attrs["trace.id"] = c.trace_id;
    scope.cm = s.start_span("connector.run", nb::arg("attributes") = span_attrs);
    attr(scope.cm, s.s_enter)();
    return scope;
}

// Step: close the span, telling it about an exception that escapes (then rethrown).
void close_span(SpanScope &scope, std::exception_ptr escape) {
    State &s = *S;
    if (scope.token.is_valid()) {
        s.context_detach(scope.token);
    } else if (escape) {
        nb::object exc;
        try {
            std::rethrow_exception(escape);
        } catch (...) {
            exc = current_exception_object();
        }
        nb::object tb = nb::steal(PyException_GetTraceback(exc.ptr()));
        attr(scope.cm, s.s_exit)(exc.type(), exc, tb.is_valid() ? tb : nb::none());
    } else {
        attr(scope.cm, s.s_exit)(nb::none(), nb::none(), nb::none());
    }
    if (escape)
        std::rethrow_exception(escape);
}

// Step: the audit record of the start.
void log_start(const Call &c) {
    State &s = *S;
    if (!s.log.enabled(ql::INFO))
        return;
    nb::list scope_list;
    if (!c.scopes.is_none())
        scope_list = nb::list(c.scopes);
    s.log.log(ql::INFO, "Starting connector execution | connector=%s | action=%s | tenant_id=%s | config_name=%s",
              nb::make_tuple(c.cid, c.action, text_or(c.tenant_id, s.str_none_text),
                             text_or(c.config_name, s.str_default_text)),
              [&] {
                  return ql::kv("trace_id", c.trace_id, "connector_id", c.cid, "config_name", c.config_name, "action",
                                c.action, "principal", c.principal, "scopes", scope_list, "audit", true,
                                "audit_event", "invocation_start", "tenant_id", text_or(c.tenant_id, s.str_empty));
              });
}

// Step: validate the raw input against the connector's input model. A ValidationError is the
// validation outcome; any other error is an ordinary failure.
nb::object validate(const Call &c, Failure &failed) {
    State &s = *S;
    nb::object cls = attr(c.self, s.s_input_model_cls);
    PyObject *r = model_validate(cls.ptr(), c.raw_input.ptr());
    if (r)
        return nb::steal(r);
    nb::object exc = take_error();
    if (is_instance(exc, s.validation_error))
        failed = {Outcome::Validation, exc};
    else if (Outcome o = outcome_of(exc); o != Outcome::None)
        failed = {o, exc};
    else
        rethrow(exc);
    return nb::object();
}

// Step: the policy hook, if any, sees the dumped payload and the caller. PolicyDenied is the
// policy outcome; any other error is an ordinary failure.
void check_policy(const Call &c, nb::handle payload, Failure &failed) {
    State &s = *S;
    nb::object hook = attr_or_none(c.self, s.s_policy_hook);
    if (hook.is_none())
        return;
    nb::object dumped = model_dump(payload);
    PyObject *act =
        PyDict_Check(dumped.ptr()) ? PyDict_GetItemWithError(dumped.ptr(), s.s_action.ptr()) : nullptr;
    if (!act && PyErr_Occurred())
        throw nb::python_error();
    nb::object policy_action = nb::str(act ? nb::handle(act) : nb::handle(c.action));
    nb::object pctx = s.policy_context(nb::arg("connector_id") = c.cid, nb::arg("action") = policy_action,
                                       nb::arg("input_payload") = dumped, nb::arg("principal") = c.principal,
                                       nb::arg("tenant_id") = c.tenant_id, nb::arg("scopes") = c.scopes);
    PyObject *check = PyObject_GetAttr(hook.ptr(), s.s_check.ptr());
    PyObject *r = check ? PyObject_CallOneArg(check, pctx.ptr()) : nullptr;
    Py_XDECREF(check);
    if (r) {
        Py_DECREF(r);
        return;
    }
    nb::object exc = take_error();
    if (is_instance(exc, s.policy_denied))
        failed = {Outcome::Policy, exc};
    else if (Outcome o = outcome_of(exc); o != Outcome::None)
        failed = {o, exc};
    else
        rethrow(exc);
}

// Step (after the action): the success record, the dumped output, the envelope.
nb::object success_envelope(const Call &c, nb::handle out) {
    State &s = *S;
    s.log.log(ql::INFO, "Connector execution completed successfully", nb::tuple(), [&] {
        return ql::kv("trace_id", c.trace_id, "connector_id", c.cid, "action", c.action, "duration_ms",
                      c.elapsed_ms(), "audit", true, "audit_event", "invocation_success");
    });
    nb::dict f;
    f["success"] = true;
    f["data"] = model_dump(out);
    f["trace_id"] = c.trace_id;
    return envelope(f);
}

// Step: the failure envelope of each outcome, with its audit record.
nb::object failure_envelope(const Call &c, const Failure &failed) {
    State &s = *S;
    const nb::object &caught = failed.exc;
    switch (failed.kind) {
    case Outcome::Validation: {
        nb::object errors = validation_errors(caught);
        s.log.log(ql::ERROR, "Input validation failed", nb::tuple(), [&] {
            return ql::kv("trace_id", c.trace_id, "connector_id", c.cid, "action", c.action, "error_type",
                          nb::getattr(caught.type(), "__name__"), "error_message", validation_text(caught, errors),
                          "audit", true, "audit_event", "invocation_validation_failure");
        });
        return failure_fields_envelope(c, s.str_validation_code, s.category_business, s.str_validation_message,
                                       validation_details(errors));
    }
    case Outcome::Policy: {
        s.log.log(ql::WARNING, "AUDIT: Execution blocked by policy hook", nb::tuple(), [&] {
            return ql::kv("trace_id", c.trace_id, "connector_id", c.cid, "action", c.action, "error_type",
                          nb::getattr(caught.type(), "__name__"), "error_message", exception_text(caught), "audit",
                          true, "audit_event", "policy_denial", "tenant_id", c.tenant_id, "principal", c.principal);
        });
        nb::object mapped = s.error_mapper_resolve(caught, nb::arg("connector_id") = c.cid);
        return failure_fields_envelope(c, attr(mapped, s.s_code), attr(mapped, s.s_category),
                                       exception_text(caught));
    }
    case Outcome::Nested: {
        nb::object nested = attr(caught, s.s_response);
        s.log.log(ql::WARNING, "Nested connector action failed via call_action", nb::tuple(), [&] {
            return ql::kv("trace_id", c.trace_id, "connector_id", c.cid, "nested_error_code",
                          text_or(attr(nested, s.s_error_code), s.str_empty), "nested_trace_id",
                          attr(nested, s.s_trace_id));
        });
        return failure_fields_envelope(c, attr(nested, s.s_error_code), attr(nested, s.s_error_category),
                                       attr(nested, s.s_message), merge_nested_failure_details(nested));
    }
    case Outcome::General:
    case Outcome::None: break;
    }
    nb::object mapped = s.error_mapper_resolve(caught, nb::arg("connector_id") = c.cid);
    s.log.log(ql::ERROR, "Connector execution failed", nb::tuple(), [&] {
        return ql::kv("trace_id", c.trace_id, "connector_id", c.cid, "action", c.action, "error_code",
                      attr(mapped, s.s_code), "error_category", attr(attr(mapped, s.s_category), s.s_value),
                      "error_type", nb::getattr(caught.type(), "__name__"), "error_message", exception_text(caught),
                      "duration_ms", c.elapsed_ms(), "audit", true, "audit_event", "invocation_failure");
    });
    return failure_fields_envelope(c, attr(mapped, s.s_code), attr(mapped, s.s_category), exception_text(caught));
}

// Step: count the envelope and record its duration (milliseconds).
void record_metrics(const Call &c, nb::handle resp) {
    State &s = *S;
    double duration = (monotonic() - c.start) * 1000.0;
    nb::object category = attr(resp, s.s_error_category);
    nb::dict m;
    m["connector.id"] = c.cid;
    m["connector.action"] = c.action;
    m["success"] = attr(resp, s.s_success);
    m["error_category"] = category.is_none() ? nb::object(s.str_none) : attr(category, s.s_value);
    s.counter_add(1, nb::arg("attributes") = m);
    s.histogram_record(duration, nb::arg("attributes") = m);
}

// The action's awaitable: the dispatch of our internal_execute, or an override's.
nb::object action_call(nb::handle self, nb::handle payload, nb::handle trace_id) {
    if (not_overridden(self, S->s_internal_execute, S->internal_execute_fn))
        return dispatch_call(self, payload, trace_id);
    return attr(self, S->s_internal_execute)(payload, nb::arg("trace_id") = trace_id);
}

// Leaves `breaker.calling()` after the action: a failure (an Exception) is counted, and the
// breaker may raise its own error in its place; any other exit is not counted.
void leave_breaker(nb::handle breaker, nb::handle cm, std::exception_ptr failed, nb::handle exc) {
    State &s = *S;
    if (!failed) {
        attr(cm, s.s_exit)(nb::none(), nb::none(), nb::none());
        return;
    }
    if (!is_exception(exc)) {
        leave_breaker_uncounted(breaker, cm);
        std::rethrow_exception(failed);
    }
    nb::object tb = nb::steal(PyException_GetTraceback(exc.ptr()));
    nb::object suppressed = attr(cm, s.s_exit)(exc.type(), nb::borrow(exc), tb.is_valid() ? tb : nb::none());
    if (!truthy(suppressed))
        std::rethrow_exception(failed);
}

ql::Task pipeline_body(nb::object self, nb::object raw_input, nb::object principal, nb::object tenant_id,
                       nb::object scopes, bool pin_log_cid);

void check_run_args(nb::handle raw_input, nb::handle principal, nb::handle tenant_id, nb::handle scopes);

// The body of _run_with_log_connector_id; with `pin_log_cid` it is the whole of run (argument checks
// and the log connector id around it), which spares a coroutine layer per call.
ql::Task pipeline_body(nb::object self, nb::object raw_input, nb::object principal, nb::object tenant_id,
                       nb::object scopes, bool pin_log_cid = false) {
    State &s = *S;
    LogCidReset log_cid;
    if (pin_log_cid) {
        check_run_args(raw_input, principal, tenant_id, scopes);
        log_cid.token = s.set_log_cid(attr(self, s.s_connector_id));
    }
    Call c;
    c.self = self;
    c.raw_input = raw_input;
    c.principal = principal;
    c.tenant_id = tenant_id;
    c.scopes = scopes;
    c.trace_id = new_trace_id();
    c.cid = attr(self, s.s_connector_id);
    c.config_name = attr_or_none(self, s.s_config_name);
    if (nb::object refused = resolve_tenant(c); refused.is_valid())
        co_return refused;

    SpanScope span = open_span(c);
    std::exception_ptr escape;
    nb::object result;
    try {
        log_start(c);
        c.start = monotonic();
        CtxReset ctx{s.caller_ctx_set(nb::make_tuple(c.principal, c.tenant_id, c.scopes))};
        Failure failed;
        nb::object resp;
        try {
            nb::object payload = validate(c, failed);
            if (!failed)
                check_policy(c, payload, failed);
            if (!failed) {
                // execute under the tenant's breaker
                nb::object breaker = tenant_breaker(self, c.tenant_id);
                nb::object out;
                PyObject *resilience = PyDict_GetItemWithError(s.module_dict.ptr(), s.s_with_resilience_name.ptr());
                if (resilience == s.with_resilience.ptr()) {
                    // The stock resilience layer is exactly `with breaker.calling(): await execute`;
                    // doing that here spares two wrapper frames per call.
                    nb::object cm = attr(breaker, s.s_calling)();
                    attr(cm, s.s_enter)();
                    std::exception_ptr thrown;
                    nb::object exc;
                    try {
                        out = co_await action_call(self, payload, c.trace_id);
                    } catch (...) {
                        exc = current_exception_object();
                        thrown = std::current_exception();
                    }
                    leave_breaker(breaker, cm, thrown, exc);
                    if (thrown)
                        out = nb::none(); // suppressed by the breaker
                } else {
                    if (!resilience && PyErr_Occurred())
                        throw nb::python_error();
                    nb::object with_resilience = resilience ? nb::borrow(resilience) : s.with_resilience;
                    nb::object decorator =
                        with_resilience(breaker, nb::arg("connector_id") = c.cid, nb::arg("action") = c.action);
                    nb::object guarded = decorator(s.functools_partial(s.do_execute, self, payload));
                    out = co_await guarded(nb::arg("trace_id") = c.trace_id);
                }
                resp = success_envelope(c, out);
            }
        } catch (...) {
            nb::object exc = current_exception_object();
            if (Outcome o = outcome_of(exc); o != Outcome::None)
                failed = {o, exc};
            else
                escape = std::current_exception();
        }
        if (!escape && failed) {
            try {
                resp = failure_envelope(c, failed);
            } catch (...) {
                escape = std::current_exception();
            }
        }
        // finally: restore the caller context, then count the envelope
        if (escape)
            ctx.reset_quietly();
        else
            ctx.reset();
        if (resp.is_valid() && !resp.is_none())
            record_metrics(c, resp);
        result = resp;
    } catch (...) {
        if (!escape)
            escape = std::current_exception();
    }
    close_span(span, escape);
    co_return result;
}

void check_run_args(nb::handle raw_input, nb::handle principal, nb::handle tenant_id, nb::handle scopes) {
    if (!PyDict_Check(raw_input.ptr()))
        ql::raise_type_error("raw_input must be a dict, not " + ql::type_name_of(raw_input));
    ql::require_str_or_none(principal, "principal");
    ql::require_str_or_none(tenant_id, "tenant_id");
    if (!scopes.is_none() && !PyTuple_Check(scopes.ptr()))
        ql::raise_type_error("scopes must be a tuple or None, not " + ql::type_name_of(scopes));
}

ql::Task run_body(nb::object self, nb::object raw_input, nb::object principal, nb::object tenant_id,
                  nb::object scopes) {
    check_run_args(raw_input, principal, tenant_id, scopes);
    nb::object token = S->set_log_cid(attr(self, S->s_connector_id));
    struct Reset {
        nb::object token;
        ~Reset() {
            PyObject *r = PyObject_CallOneArg(S->reset_log_cid.ptr(), token.ptr());
            if (!r)
                PyErr_WriteUnraisable(S->reset_log_cid.ptr());
            Py_XDECREF(r);
        }
    } reset{token};
    nb::object r;
    if (not_overridden(self, S->s_run_inner, S->run_inner_fn))
        r = co_await pipeline_body(self, raw_input, principal, tenant_id, scopes);
    else
        r = co_await attr(self, S->s_run_inner)(raw_input, nb::arg("principal") = principal,
                                                nb::arg("tenant_id") = tenant_id, nb::arg("scopes") = scopes);
    co_return r;
}

ql::Task run_inner_body(nb::object self, nb::object raw_input, nb::object principal, nb::object tenant_id,
                        nb::object scopes) {
    check_run_args(raw_input, principal, tenant_id, scopes);
    nb::object r = co_await pipeline_body(self, raw_input, principal, tenant_id, scopes);
    co_return r;
}

// Dispatch of a validated input: finds the action method and returns the awaitable of its call.
nb::object dispatch_call(nb::handle self, nb::handle params, nb::handle trace_id) {
    State &s = *S;
    nb::object unwrapped = nb::borrow(params);
    if (PyObject_HasAttr(params.ptr(), s.s_root.ptr()))
        unwrapped = attr(params, s.s_root);
    nb::object action = attr_or_none(unwrapped, s.s_action);
    nb::object registry = attr(self, s.s_action_registry);
    nb::object meta;
    if (action.is_none()) {
        // A single-action connector whose input model has no "action" field still has exactly one place to go.
        if (PyDict_Check(registry.ptr()) && PyDict_Size(registry.ptr()) == 1) {
            nb::object only = nb::borrow(nb::steal(PyDict_Values(registry.ptr()))[0]);
            if (nb::getattr(only, "input_model").ptr() == unwrapped.type().ptr())
                meta = only;
        }
        if (!meta.is_valid())
            ql::raise_value_error("Input model missing action discriminator: " + cls_name(unwrapped.type()));
        action = nb::getattr(meta, "name");
    } else {
        PyObject *m = PyObject_GetItem(registry.ptr(), nb::str(action).ptr());
        if (!m) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError))
                throw nb::python_error();
            PyErr_Clear();
            std::string msg = "Connector " + ql::repr_of(attr(self, s.s_connector_id)) + " has no registered action " +
                              ql::repr_of(action) + ". Available: " + ql::str_of(nb::list(registry));
            ql::raise_value_error(msg);
        }
        meta = nb::steal(m);
    }
    nb::object handler = nb::getattr(self, attr(meta, s.s_fn_name));
    s.log.log(ql::DEBUG, "Dispatching action", nb::tuple(), [&] {
        return ql::kv("connector_id", attr(self, s.s_connector_id), "action", action, "trace_id", trace_id);
    });
    return handler(unwrapped, nb::arg("trace_id") = trace_id);
}

ql::Task internal_execute_body(nb::object self, nb::object params, nb::object trace_id) {
    nb::object r = co_await dispatch_call(self, params, trace_id);
    co_return r;
}

// ---------------------------------------------------------------- nested calls

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

// ---------------------------------------------------------------- module assembly

const char *CONNECTOR_BASE_DOC = "Base class of every connector.\n\n"
                        "Subclasses define ``connector_id``, ``output_model`` (the common output envelope for all "
                        "actions), an optional ``error_map`` (mapping of exception -> (ErrorCategory, code)), and "
                        "``build_client()`` / ``get_client()`` for the vendor SDK lifecycle. Actions are declared "
                        "with ``@ql_action(\"resource.operation\")`` on asynchronous methods.";

// ConnectorBase: what a subclass declares, and the hook that validates it at definition.
void add_declaration_side(ql::ClassBuilder &cb) {
    cb.attr("__annotations__",
            ql::str_annotations({{"connector_id", "str"},
            {"action", "str"},
            {"error_map", "ClassVar[Dict[Type[BaseException], Tuple[ErrorCategory, str]]]"},
            {"output_model", "ClassVar[Type[BaseModel]]"},
            {"_ql_abstract_base", "ClassVar[bool]"},
            {"_action_registry", "ClassVar[Dict[str, QlActionMeta]]"},
            {"_union_input_model", "ClassVar[Type[RootModel[Any]]]"}}));
    cb.attr("action", nb::str("execute"));
    cb.attr("error_map", nb::dict());
    cb.attr("_ql_abstract_base", nb::bool_(false));
    cb.ns()["__init_subclass__"] =
        ql::builtins().classmethod(cb.function("__init_subclass__", {ql::arg("cls"), ql::varkw("kwargs")}, init_subclass));
}

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

// ConnectorBase: the registry views and the execution of actions (run, internal_execute, call_action).
void add_execution_side(ql::ClassBuilder &cb) {
    cb.classmethod("get_registry", {ql::arg("cls")}, [](ql::Args &) -> nb::object {
        nb::object idx = ql::copy_dict(S->index);
        return idx;
    });
    auto metas = [](ql::Args &a) -> nb::object { return ql::copy_dict(nb::getattr(a[0], "_action_registry")); };
    cb.classmethod("sdk_action_metas", {ql::arg("cls")}, metas);
    cb.classmethod("ql_action_metas", {ql::arg("cls")}, metas);

    std::vector<ql::Param> run_params{ql::arg("self"), ql::arg("raw_input"), ql::arg("principal", nb::none()),
                                      ql::arg("tenant_id", nb::none()), ql::arg("scopes", nb::none())};
    nb::object run_qual = nb::str("ConnectorBase.run");
    cb.async_method("run", run_params, [run_qual](ql::Args &a) {
        if (not_overridden(a[0], S->s_run_inner, S->run_inner_fn))
            return ql::coroutine(pipeline_body(nb::borrow(a[0]), nb::borrow(a[1]), nb::borrow(a[2]), nb::borrow(a[3]),
                                               nb::borrow(a[4]), true),
                                 run_qual);
        return ql::coroutine(run_body(nb::borrow(a[0]), nb::borrow(a[1]), nb::borrow(a[2]), nb::borrow(a[3]),
                                      nb::borrow(a[4])),
                             run_qual);
    });
    nb::object inner_qual = nb::str("ConnectorBase._run_with_log_connector_id");
    cb.async_method("_run_with_log_connector_id", run_params, [inner_qual](ql::Args &a) {
        return ql::coroutine(run_inner_body(nb::borrow(a[0]), nb::borrow(a[1]), nb::borrow(a[2]), nb::borrow(a[3]),
                                            nb::borrow(a[4])),
                             inner_qual);
    });
    nb::object exec_qual = nb::str("ConnectorBase.internal_execute");
    cb.async_method("internal_execute", {ql::arg("self"), ql::arg("params"), ql::kwonly("trace_id")},
                    [exec_qual](ql::Args &a) {
                        return ql::coroutine(internal_execute_body(nb::borrow(a[0]), nb::borrow(a[1]), nb::borrow(a[2])),
                                             exec_qual);
                    });
    nb::object call_qual = nb::str("ConnectorBase.call_action");
    cb.async_method("call_action",
                    {ql::arg("self"), ql::arg("name"), ql::arg("params_dict"), ql::kwonly("principal", nb::none()),
                     ql::kwonly("tenant_id", nb::none()), ql::kwonly("scopes", nb::none())},
                    [call_qual](ql::Args &a) {
                        return ql::coroutine(call_action_body(nb::borrow(a[0]), nb::borrow(a[1]), nb::borrow(a[2]),
                                                              nb::borrow(a[3]), nb::borrow(a[4]), nb::borrow(a[5])),
                                             call_qual);
                    });
}

nb::object build_connector_base() {
    ql::ClassBuilder cb(MOD, "ConnectorBase", CONNECTOR_BASE_DOC);
    add_declaration_side(cb);
    add_instance_side(cb);
    add_execution_side(cb);
    return cb.build(nb::module_::import_("abc").attr("ABC"));
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

} // namespace

namespace {

// The host libraries and sibling modules the runtime calls.
void load_dependencies(nb::module_ &m) {
    State &s = *S;
    nb::module_ pydantic = nb::module_::import_("pydantic");
    s.base_model = pydantic.attr("BaseModel");
    s.root_model = pydantic.attr("RootModel");
    s.pyd_field = pydantic.attr("Field");
    s.validation_error = pydantic.attr("ValidationError");
    nb::module_ typing = nb::module_::import_("typing");
    s.typing_union = typing.attr("Union");
    s.typing_annotated = typing.attr("Annotated");
    s.get_type_hints = typing.attr("get_type_hints");
    s.signature = nb::module_::import_("inspect").attr("signature");
    s.uuid4 = nb::module_::import_("uuid").attr("uuid4");
    s.monotonic = nb::module_::import_("time").attr("monotonic");
    s.context_var = nb::module_::import_("contextvars").attr("ContextVar");
    s.defaultdict = nb::module_::import_("collections").attr("defaultdict");
    s.functools_partial = nb::module_::import_("functools").attr("partial");
    s.py_round = nb::module_::import_("builtins").attr("round");
    s.circuit_breaker = nb::module_::import_("pybreaker").attr("CircuitBreaker");

    nb::object error_mapper = nb::module_::import_("quellon_runtime.errors").attr("ErrorMapper");
    s.error_mapper_resolve = error_mapper.attr("resolve");
    s.error_mapper_register = error_mapper.attr("register");
    nb::module_ models = nb::module_::import_("quellon_runtime.models");
    s.error_category = models.attr("ErrorCategory");
    s.connector_response = models.attr("ConnectorResponse");
    nb::module_ identity = nb::module_::import_("quellon_runtime.identity");
    s.effective_run_tenant_id = identity.attr("effective_run_tenant_id");
    s.tenant_mismatch_error = identity.attr("TenantMismatchError");
    nb::module_ logsan = nb::module_::import_("quellon_runtime.log_sanitization");
    s.set_log_cid = logsan.attr("set_log_connector_id");
    s.reset_log_cid = logsan.attr("reset_log_connector_id");
    s.with_resilience = nb::module_::import_("quellon_runtime.resilience").attr("with_resilience");
    m.attr("with_resilience") = s.with_resilience;
    s.leave_uncounted = nb::module_::import_("quellon_runtime.resilience").attr("_leave_uncounted");
    s.module_dict = nb::borrow(PyModule_GetDict(m.ptr()));
    s.s_with_resilience_name = nb::steal(PyUnicode_InternFromString("with_resilience"));
    s.s_calling = nb::steal(PyUnicode_InternFromString("calling"));
    s.sdk_action_spec = nb::module_::import_("quellon_runtime.sdk_action_spec").attr("SdkActionSpec");
    nb::module_ policy = nb::module_::import_("quellon_runtime.policy");
    s.policy_context = policy.attr("PolicyContext");
    s.policy_denied = policy.attr("PolicyDenied");
    nb::module_ auth = nb::module_::import_("quellon_runtime.auth");
    s.null_auth_provider = auth.attr("NullAuthProvider");
}

// Interned names and constant texts used per call, and the entry points of the shortcuts.
void intern_names() {
    State &s = *S;
    for (auto [field, text] : std::initializer_list<std::pair<nb::object State::*, const char *>>{
             {&State::s_connector_id, "connector_id"}, {&State::s_action, "action"},
             {&State::s_config_name, "_config_name"}, {&State::s_tenant_id, "_tenant_id"},
             {&State::s_input_model_cls, "_input_model_cls"}, {&State::s_policy_hook, "_policy_hook"},
             {&State::s_model_validate, "model_validate"}, {&State::s_model_dump, "model_dump"},
             {&State::s_check, "check"}, {&State::s_breaker_for_tenant, "_breaker_for_tenant"},
             {&State::s_internal_execute, "internal_execute"}, {&State::s_run_inner, "_run_with_log_connector_id"},
             {&State::s_root, "root"}, {&State::s_action_registry, "_action_registry"},
             {&State::s_fn_name, "fn_name"}, {&State::s_errors, "errors"}, {&State::s_code, "code"},
             {&State::s_category, "category"}, {&State::s_value, "value"}, {&State::s_success, "success"},
             {&State::s_error_code, "error_code"}, {&State::s_error_category, "error_category"},
             {&State::s_message, "message"}, {&State::s_trace_id, "trace_id"}, {&State::s_details, "details"},
             {&State::s_data, "data"}, {&State::s_response, "response"}, {&State::s_enter, "__enter__"},
             {&State::s_exit, "__exit__"}, {&State::s_breakers, "_breakers"},
             {&State::s_create_breaker, "_create_breaker"}, {&State::s_output_model, "output_model"}})
        s.*field = nb::steal(PyUnicode_InternFromString(text));
    s.str_none_text = nb::str("(none)");
    s.str_default_text = nb::str("(default)");
    s.str_empty = nb::str("");
    s.str_unprintable = nb::str("<exception str() failed>");
    s.errors_kwargs = ql::kv("include_url", false, "include_context", false, "include_input", false);
    s.str_none = nb::str("none");
    s.str_validation_code = nb::str("VALIDATION_ERROR");
    s.str_validation_message = nb::str("Input validation failed; please check the request payload.");
    s.category_business = s.error_category.attr("BUSINESS");
    nb::module_ pydantic_core = nb::module_::import_("pydantic_core");
    s.schema_validator = pydantic_core.attr("SchemaValidator");
    s.schema_serializer = pydantic_core.attr("SchemaSerializer");
    for (auto [field, text] : std::initializer_list<std::pair<nb::object State::*, const char *>>{
             {&State::s_pydantic_validator, "__pydantic_validator__"},
             {&State::s_pydantic_serializer, "__pydantic_serializer__"},
             {&State::s_validate_python, "validate_python"}, {&State::s_to_python, "to_python"},
             {&State::s_init, "__init__"}, {&State::s_tracer_provider_global, "_TRACER_PROVIDER"},
             {&State::s_real_tracer, "_real_tracer"}, {&State::s_run, "run"}})
        s.*field = nb::steal(PyUnicode_InternFromString(text));
    // kept alive by BaseModel's own namespace, which is never torn down before this module
    s.base_validate = _PyType_Lookup((PyTypeObject *)s.base_model.ptr(), s.s_model_validate.ptr());
    s.base_dump = _PyType_Lookup((PyTypeObject *)s.base_model.ptr(), s.s_model_dump.ptr());
    s.base_init = _PyType_Lookup((PyTypeObject *)s.base_model.ptr(), s.s_init.ptr());
    Py_XINCREF(s.base_validate);
    Py_XINCREF(s.base_dump);
    Py_XINCREF(s.base_init);
    s.os_dict = nb::borrow(PyModule_GetDict(nb::module_::import_("os").ptr()));
    s.s_urandom = nb::steal(PyUnicode_InternFromString("urandom"));
    s.int_16 = nb::int_(16);
}

// Module-level objects, in their documented order: logger, tracer, instruments, error codes, and
// the caller context.
void add_telemetry_and_context(nb::module_ &m) {
    State &s = *S;
    m.attr("logger") = s.log.object();
    nb::module_ trace = nb::module_::import_("opentelemetry.trace");
    nb::module_ metrics = nb::module_::import_("opentelemetry.metrics");
    s.tracer = trace.attr("get_tracer")("runtime");
    s.proxy_tracer_type = trace.attr("ProxyTracer");
    s.non_recording_span_type = trace.attr("NonRecordingSpan");
    s.otel_trace_dict = nb::borrow(PyModule_GetDict(trace.ptr()));
    s.get_current_span = trace.attr("get_current_span");
    s.set_span_in_context = trace.attr("set_span_in_context");
    nb::module_ otel_context = nb::module_::import_("opentelemetry.context");
    s.context_attach = otel_context.attr("attach");
    s.context_detach = otel_context.attr("detach");
    s.start_span = s.tracer.attr("start_as_current_span");
    m.attr("tracer") = s.tracer;
    s.meter = metrics.attr("get_meter")("runtime");
    m.attr("_meter") = s.meter;
    nb::object counter = s.meter.attr("create_counter")("connector.invocations", nb::arg("unit") = "1",
                                                        nb::arg("description") = "Total number of connector invocations");
    nb::object histogram = s.meter.attr("create_histogram")(
        "connector.duration_ms", nb::arg("unit") = "ms",
        nb::arg("description") = "Connector invocation wall-clock time in milliseconds");
    m.attr("_invocation_counter") = counter;
    m.attr("_invocation_duration") = histogram;
    s.counter_add = counter.attr("add");
    s.histogram_record = histogram.attr("record");
    m.attr("POLICY_DENIED_CODE") = "POLICY_DENIED";
    nb::object error_mapper = nb::module_::import_("quellon_runtime.errors").attr("ErrorMapper");
    nb::module_ identity = nb::module_::import_("quellon_runtime.identity");
    nb::object register_global = error_mapper.attr("register_global");
    nb::object auth_cat = s.error_category.attr("AUTH");
    register_global(s.policy_denied, auth_cat, nb::arg("code") = "POLICY_DENIED");
    register_global(s.tenant_mismatch_error, auth_cat, nb::arg("code") = "TENANT_MISMATCH");
    register_global(identity.attr("TenantIdentityMismatchError"), auth_cat, nb::arg("code") = "TENANT_IDENTITY_MISMATCH");
    s.caller_ctx = s.context_var("ql_connector_caller_execution", nb::arg("default") = nb::none());
    s.caller_ctx_get = s.caller_ctx.attr("get");
    s.caller_ctx_set = s.caller_ctx.attr("set");
    s.caller_ctx_reset = s.caller_ctx.attr("reset");
    m.attr("_caller_execution_ctx") = s.caller_ctx;
}

// The declaration side: the action metadata record, the decorators, the connector index.
void add_declaration_objects(nb::module_ &m) {
    State &s = *S;
    s.qlaction_meta = ql::make_record(
        MOD, "QlActionMeta",
        {ql::field("name"), ql::field("fn_name"), ql::field("input_model"), ql::field("output_model"),
         ql::field("alias_tolerant", nb::bool_(false)), ql::field("mcp_normalize", nb::none()),
         ql::field("requires_auth", nb::bool_(true)), ql::field("scopes", nb::none()),
         ql::field("throttle", nb::none()), ql::field("deprecated", nb::bool_(false))},
        false, "Metadata for one @ql_action method.", [](ql::ClassBuilder &cb) {
            cb.attr("__annotations__",
                    ql::str_annotations({{"name", "str"},
                    {"fn_name", "str"},
                    {"input_model", "Type[BaseModel]"},
                    {"output_model", "Type[BaseModel]"},
                    {"alias_tolerant", "bool"},
                    {"mcp_normalize", "Optional[Callable[[Dict[str, Any]], None]]"},
                    {"requires_auth", "bool"},
                    {"scopes", "Optional[List[str]]"},
                    {"throttle", "Optional[Dict[str, Any]]"},
                    {"deprecated", "bool"}}));
        });
    m.attr("QlActionMeta") = s.qlaction_meta;
    s.index = nb::dict();
    m.attr("_CONNECTOR_INDEX") = s.index;
    s.sdk_action_fn = module_function("sdk_action", marker_params(), sdk_action);
    m.attr("sdk_action") = s.sdk_action_fn;
    m.attr("ql_action") = module_function("ql_action", marker_params(), [](ql::Args &a) -> nb::object {
        return S->sdk_action_fn(a[0], nb::arg("alias_tolerant") = a[1], nb::arg("mcp_normalize") = a[2],
                                nb::arg("requires_auth") = a[3], nb::arg("scopes") = a[4], nb::arg("throttle") = a[5],
                                nb::arg("deprecated") = a[6]);
    });
    m.attr("get_connector_index") =
        module_function("get_connector_index", {}, [](ql::Args &) -> nb::object { return ql::copy_dict(S->index); });
    m.attr("_make_spec_handler") = spec_handler_factory();
    m.attr("_generate_methods_from_action_specs") =
        module_function("_generate_methods_from_action_specs", {ql::arg("cls")}, [](ql::Args &a) -> nb::object {
            generate_methods_from_action_specs(a[0]);
            return nb::none();
        });
    m.attr("_new_trace_id") =
        module_function("_new_trace_id", {}, [](ql::Args &) -> nb::object { return new_trace_id(); }, false,
                        "A new trace id: a random version-4 UUID as text.");
    m.attr("_merge_nested_failure_details") = module_function(
        "_merge_nested_failure_details", {ql::arg("nested")},
        [](ql::Args &a) { return merge_nested_failure_details(a[0]); });

}

// The classes, and the base implementations that run() compares against to skip re-dispatch.
void add_classes(nb::module_ &m) {
    State &s = *S;
    s.nested_error = build_nested_error();
    m.attr("NestedConnectorActionError") = s.nested_error;
    s.s_do_execute_qual = nb::str("_do_execute");
    s.do_execute = module_function("_do_execute", {ql::arg("connector"), ql::arg("input_payload"), ql::kwonly("trace_id")},
                                   [](ql::Args &a) {
                                       return ql::coroutine(
                                           do_execute_body(nb::borrow(a[0]), nb::borrow(a[1]), nb::borrow(a[2])),
                                           S->s_do_execute_qual);
                                   },
                                   true);
    s.connector_base = build_connector_base();
    m.attr("ConnectorBase") = s.connector_base;
    s.run_inner_fn = _PyType_Lookup((PyTypeObject *)s.connector_base.ptr(), s.s_run_inner.ptr());
    s.internal_execute_fn = _PyType_Lookup((PyTypeObject *)s.connector_base.ptr(), s.s_internal_execute.ptr());
    s.s_breaker_key = nb::steal(PyUnicode_InternFromString("_breaker_key"));
    s.breaker_for_tenant_fn = _PyType_Lookup((PyTypeObject *)s.connector_base.ptr(), s.s_breaker_for_tenant.ptr());
    s.breaker_key_fn = _PyType_Lookup((PyTypeObject *)s.connector_base.ptr(), s.s_breaker_key.ptr());
}

} // namespace

QL_MODULE(connector_base, m) {
    S = &ql::forever<State>();
    load_dependencies(m);
    intern_names();
    add_telemetry_and_context(m);
    add_declaration_objects(m);
    add_classes(m);
}
