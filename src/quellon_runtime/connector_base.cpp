// quellon_runtime.connector_base: the connector base class. Declaration side (action decorators,
// class validation at definition, the connector index: connector_base_declaration.cpp), instance
// side (collaborators, auth, client cache, per-tenant breakers: connector_base_instance.cpp), the
// execution pipeline of one action call (connector_base_pipeline.cpp), and nested calls
// (connector_base_nested.cpp). This file holds the module state, the shared helpers and the
// module's assembly.
#include "connector_base_internal.hpp"

namespace qlcb {

const char *MOD = "quellon_runtime.connector_base";

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

nb::object module_function(const char *name, std::vector<ql::Param> params, ql::Impl impl, bool is_async,
                           const char *doc) {
    ql::FnInfo info;
    info.name = name;
    info.module = MOD;
    info.doc = doc;
    info.is_async = is_async;
    return ql::make_function(std::move(info), std::move(params), std::move(impl));
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

namespace {

const char *CONNECTOR_BASE_DOC = "Base class of every connector.\n\n"
                        "Subclasses define ``connector_id``, ``output_model`` (the common output envelope for all "
                        "actions), an optional ``error_map`` (mapping of exception -> (ErrorCategory, code)), and "
                        "``build_client()`` / ``get_client()`` for the vendor SDK lifecycle. Actions are declared "
                        "with ``@ql_action(\"resource.operation\")`` on asynchronous methods.";

nb::object build_connector_base() {
    ql::ClassBuilder cb(MOD, "ConnectorBase", CONNECTOR_BASE_DOC);
    add_declaration_side(cb);
    add_instance_side(cb);
    add_execution_side(cb);
    return cb.build(nb::module_::import_("abc").attr("ABC"));
}

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
    s.typing_literal = typing.attr("Literal");
    s.get_origin = typing.attr("get_origin");
    s.get_args = typing.attr("get_args");
    nb::module_ inspect = nb::module_::import_("inspect");
    s.signature = inspect.attr("signature");
    s.iscoroutinefunction = inspect.attr("iscoroutinefunction");
    s.unwrap = inspect.attr("unwrap");
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
    if (nb::object var = logsan.attr("_log_connector_id"); PyContextVar_CheckExact(var.ptr()))
        s.log_cid_var = var;
    s.with_resilience = nb::module_::import_("quellon_runtime.resilience").attr("with_resilience");
    m.attr("with_resilience") = s.with_resilience;
    nb::module_ resilience = nb::module_::import_("quellon_runtime.resilience");
    s.leave_uncounted = resilience.attr("_leave_uncounted");
    s.counts_as_failure = resilience.attr("_counts_as_failure");
    s.resumed = resilience.attr("_resumed");
    nb::module_ pybreaker = nb::module_::import_("pybreaker");
    s.memory_storage = pybreaker.attr("CircuitMemoryStorage");
    s.closed_state = pybreaker.attr("CircuitClosedState");
    s.str_closed = pybreaker.attr("STATE_CLOSED");
    s.int_zero = nb::int_(0);
    // the class keeps each attribute alive, and a replaced one fails the identity check
    nb::handle cb = s.circuit_breaker, closed = s.closed_state, memory = s.memory_storage;
    using Method = std::pair<nb::handle, const char *>;
    for (auto [cls, name] : std::initializer_list<Method>{{cb, "calling"}, {cb, "call"}, {cb, "state"}, {cb, "current_state"},
                             {closed, "call"}, {closed, "before_call"}, {closed, "generator_call"},
                             {closed, "_handle_success"}, {closed, "on_success"}, {memory, "reset_counter"},
                             {memory, "state"}}) {
        nb::object n = nb::steal(PyUnicode_InternFromString(name));
        s.breaker_methods.emplace_back((PyTypeObject *)cls.ptr(), n, _PyType_Lookup((PyTypeObject *)cls.ptr(), n.ptr()));
    }
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
             {&State::s_create_breaker, "_create_breaker"}, {&State::s_output_model, "output_model"},
             {&State::s_call, "call"}, {&State::s_lock, "_lock"}, {&State::s_acquire, "acquire"},
             {&State::s_release, "release"}, {&State::s_state_storage, "_state_storage"},
             {&State::s_state, "_state"}, {&State::s_listeners, "_listeners"}, {&State::s_name, "_name"},
             {&State::s_fail_counter, "_fail_counter"}, {&State::s_reset_counter, "reset_counter"}})
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
             {&State::s_real_tracer, "_real_tracer"}, {&State::s_run, "run"},
             {&State::s_post_init, "__pydantic_post_init__"}, {&State::s_dict, "__dict__"},
             {&State::s_fields_set, "__pydantic_fields_set__"}, {&State::s_extra, "__pydantic_extra__"},
             {&State::s_private, "__pydantic_private__"}, {&State::s_value_slot, "_value_"}})
        s.*field = nb::steal(PyUnicode_InternFromString(text));
    // kept alive by BaseModel's own namespace, which is never torn down before this module
    s.base_validate = _PyType_Lookup((PyTypeObject *)s.base_model.ptr(), s.s_model_validate.ptr());
    s.base_dump = _PyType_Lookup((PyTypeObject *)s.base_model.ptr(), s.s_model_dump.ptr());
    s.base_init = _PyType_Lookup((PyTypeObject *)s.base_model.ptr(), s.s_init.ptr());
    Py_XINCREF(s.base_validate);
    Py_XINCREF(s.base_dump);
    Py_XINCREF(s.base_init);
    s.response_validator = _PyType_Lookup((PyTypeObject *)s.connector_response.ptr(), s.s_pydantic_validator.ptr());
    Py_XINCREF(s.response_validator);
    s.empty_tuple = nb::tuple();
    // the envelope's fields in declaration order, with their defaults (success has none: always given)
    s.envelope_template = nb::dict();
    for (const nb::object *name : {&s.s_success, &s.s_data, &s.s_error_code, &s.s_error_category, &s.s_message,
                                   &s.s_trace_id, &s.s_details})
        s.envelope_template[*name] = nb::none();
    s.os_dict = nb::borrow(PyModule_GetDict(nb::module_::import_("os").ptr()));
    s.s_urandom = nb::steal(PyUnicode_InternFromString("urandom"));
    s.int_16 = nb::int_(16);
    s.stock_urandom = nb::borrow(PyDict_GetItemString(s.os_dict.ptr(), "urandom"));
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
    init_telemetry(m);
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

} // namespace qlcb

using namespace qlcb;

QL_MODULE(connector_base, m) {
    S = &ql::forever<State>();
    load_dependencies(m);
    intern_names();
    add_telemetry_and_context(m);
    add_declaration_objects(m);
    add_classes(m);
}
