// Internal to the connector_base module: the module state and the helpers its translation units
// share. Not a public header.
#pragma once

#include <ql/toolkit.hpp>

#include <tuple>
#include <vector>

namespace qlcb {

extern const char *MOD;

struct State {
    // host libraries
    nb::object base_model, root_model, pyd_field, validation_error;
    nb::object typing_union, typing_annotated, get_type_hints, signature;
    nb::object typing_literal, get_origin, get_args, iscoroutinefunction, unwrap; // class checks only
    nb::object uuid4, monotonic, context_var, defaultdict, functools_partial, py_round;
    nb::object circuit_breaker;
    // siblings
    nb::object error_mapper_resolve, error_mapper_register, error_category;
    nb::object connector_response, effective_run_tenant_id, tenant_mismatch_error;
    nb::object set_log_cid, reset_log_cid, with_resilience, sdk_action_spec;
    nb::object log_cid_var; // their context variable; invalid when it is not a plain ContextVar
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
    nb::object leave_uncounted, counts_as_failure;
    // a closed breaker entered without `calling()` (pybreaker's types; resilience._resumed)
    nb::object memory_storage, closed_state, resumed, str_closed, int_zero;
    nb::object s_call, s_lock, s_acquire, s_release, s_state_storage, s_state, s_listeners, s_name,
        s_fail_counter, s_reset_counter;
    // (type, name, what it was at import) for each pybreaker method the shortcut stands for
    std::vector<std::tuple<PyTypeObject *, nb::object, PyObject *>> breaker_methods;
    nb::object errors_kwargs; // errors(): only what the details and the audit text keep
    nb::object str_none, str_validation_code, str_validation_message, category_business;
    // pydantic's own entry points, used while a model class keeps BaseModel's methods
    nb::object schema_validator, schema_serializer;
    PyObject *base_validate = nullptr, *base_dump = nullptr, *base_init = nullptr;
    // the envelope's validator as built at import, and what a constructed success envelope needs
    PyObject *response_validator = nullptr;
    nb::object s_post_init, s_dict, s_fields_set, s_extra, s_private, envelope_template, empty_tuple, s_value_slot;
    nb::object s_pydantic_validator, s_pydantic_serializer, s_validate_python, s_to_python, s_init;
    // trace ids and the span when no tracer provider is configured
    nb::object os_dict, s_urandom, int_16, stock_urandom;
    nb::object proxy_tracer_type, non_recording_span_type, otel_trace_dict, s_tracer_provider_global, s_real_tracer;
    nb::object get_current_span, set_span_in_context, context_attach, context_detach;
};
extern State *S;

// shared helpers (connector_base.cpp)
nb::object attr(nb::handle o, const nb::object &name);
nb::object attr_or_none(nb::handle o, const nb::object &name);
bool truthy(nb::handle o);
nb::object exception_text(nb::handle exc);
nb::object current_exception_object();
bool is_instance(nb::handle o, nb::handle cls);
bool is_model_class(nb::handle o);
nb::object own_ns_get(nb::handle cls, const char *name);
std::string cls_name(nb::handle cls);
nb::object module_function(const char *name, std::vector<ql::Param> params, ql::Impl impl, bool is_async = false,
                           const char *doc = nullptr);
std::pair<nb::object, nb::object> unpack2(nb::handle value);

// declaration side (connector_base_declaration.cpp)
std::vector<ql::Param> marker_params();
nb::object sdk_action(ql::Args &a);
nb::object &spec_handler_factory();
void generate_methods_from_action_specs(nb::handle cls);
void add_declaration_side(ql::ClassBuilder &cb);

// instance side (connector_base_instance.cpp)
nb::object breaker_key(nb::handle tenant_id);
void add_instance_side(ql::ClassBuilder &cb);

// the pipeline of one call (connector_base_pipeline.cpp)
bool not_overridden(nb::handle self, const nb::object &name, PyObject *ours);
nb::object merge_nested_failure_details(nb::handle nested);
nb::object new_trace_id();
PyObject *model_validate(PyObject *cls, PyObject *value);
ql::Task do_execute_body(nb::object self, nb::object payload, nb::object trace_id);
void init_telemetry(nb::module_ &m);
void add_execution_side(ql::ClassBuilder &cb);

// nested calls (connector_base_nested.cpp)
ql::Task call_action_body(nb::object self, nb::object name, nb::object params_dict, nb::object principal,
                          nb::object tenant_id, nb::object scopes);
nb::object build_nested_error();

} // namespace qlcb
