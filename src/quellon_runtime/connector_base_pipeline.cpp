// connector_base, the pipeline of one action call: run, its steps (tenant, span, validation,
// policy, the breaker, envelopes, metrics) and the dispatch to the action method.
#include "connector_base_internal.hpp"

#include <atomic>
#include <cstring>
#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace qlcb {

namespace {

nb::object rounded_ms(double ms) { return S->py_round(ms, 2); }

double monotonic() { return nb::cast<double>(S->monotonic()); }

nb::object text_or(nb::handle v, const nb::object &fallback) {
    return (v.is_none() || (ql::is_str(v) && PyUnicode_GET_LENGTH(v.ptr()) == 0)) ? fallback : nb::borrow(v);
}

} // namespace

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

namespace {

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

} // namespace

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

namespace {

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

// Leaves a `breaker.calling()` context for an exit that is not the vendor's failure, leaving the
// breaker as it was (resilience._leave_uncounted). The exception in flight goes on whatever the
// breaker's bookkeeping does (the exception itself is held by the caller, not set).
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

// A step's failure from the Python exception now set: `own` for the step's own exception type,
// else as outcome_of has it; an exit that is no failure is set again and thrown.
void step_failed(Failure &failed, nb::handle own_type, Outcome own) {
    nb::object exc = take_error();
    if (is_instance(exc, own_type))
        failed = {own, exc};
    else if (Outcome o = outcome_of(exc); o != Outcome::None)
        failed = {o, exc};
    else
        rethrow(exc);
}

// set_log_connector_id / reset_log_connector_id: set and reset on their context variable itself.
nb::object set_log_cid(nb::handle cid) {
    PyObject *var = S->log_cid_var.ptr();
    if (!var)
        return S->set_log_cid(cid);
    nb::object token = nb::steal(PyContextVar_Set(var, cid.ptr()));
    if (!token.is_valid())
        throw nb::python_error();
    return token;
}

void reset_log_cid(nb::handle token) noexcept {
    PyObject *var = S->log_cid_var.ptr();
    if (var) {
        if (PyContextVar_Reset(var, token.ptr()) < 0)
            PyErr_WriteUnraisable(var);
        return;
    }
    PyObject *r = PyObject_CallOneArg(S->reset_log_cid.ptr(), token.ptr());
    if (!r)
        PyErr_WriteUnraisable(S->reset_log_cid.ptr());
    Py_XDECREF(r);
}

struct LogCidReset {
    nb::object token;
    ~LogCidReset() {
        if (token.is_valid())
            reset_log_cid(token);
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

} // namespace

namespace {

// Random bytes for trace ids, drawn from os.urandom a page at a time. os.urandom lets go of the GIL
// for its system call; done once per call it hands the GIL back and forth so often that a thread
// waiting for it (a BatchSpanProcessor's exporter, say) seldom gets it, and its queue overflows.
// Only the stock os.urandom is buffered (a host's replacement is called per id), and a forked child
// starts with an empty buffer, so parent and child never share ids.
constexpr Py_ssize_t RANDOM_PAGE = 4096;
PyObject *random_page = nullptr; // bytes, kept for the life of the process
std::atomic<Py_ssize_t> random_used{RANDOM_PAGE};

// os.urandom raised: NotImplementedError means there is no source (false); anything else propagates.
bool random_failed() {
    if (!PyErr_ExceptionMatches(PyExc_NotImplementedError))
        throw nb::python_error();
    PyErr_Clear();
    return false;
}

#if !defined(_WIN32)
void forget_random_page() { random_used.store(RANDOM_PAGE, std::memory_order_relaxed); }
#endif

// 16 random bytes into `out`: false when os.urandom is not available (NotImplementedError).
bool random_16(unsigned char *out) {
    State &s = *S;
    // looked up per call, as uuid4 does, so that a host's replacement of os.urandom is honoured
    PyObject *urandom = PyDict_GetItemWithError(s.os_dict.ptr(), s.s_urandom.ptr());
    if (urandom && urandom == s.stock_urandom.ptr()) {
        if (random_used.load(std::memory_order_relaxed) > RANDOM_PAGE - 16) {
#if !defined(_WIN32)
            static bool fork_hook = (pthread_atfork(nullptr, nullptr, forget_random_page), true);
            (void)fork_hook;
#endif
            // the GIL is let go inside: another thread may refill meanwhile, and this page replaces
            // its page whole, so no bytes are handed out twice
            nb::object size = nb::steal(PyLong_FromSsize_t(RANDOM_PAGE));
            PyObject *page = size.is_valid() ? PyObject_CallOneArg(urandom, size.ptr()) : nullptr;
            if (!page)
                return random_failed();
            if (!PyBytes_Check(page) || PyBytes_GET_SIZE(page) != RANDOM_PAGE) {
                Py_DECREF(page);
                ql::raise_type_error("os.urandom returned the wrong number of bytes");
            }
            Py_XSETREF(random_page, page);
            random_used.store(0, std::memory_order_relaxed);
        }
        Py_ssize_t at = random_used.load(std::memory_order_relaxed);
        std::memcpy(out, PyBytes_AS_STRING(random_page) + at, 16);
        random_used.store(at + 16, std::memory_order_relaxed);
        return true;
    }
    if (!urandom) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return false;
    }
    PyObject *b = PyObject_CallOneArg(urandom, s.int_16.ptr());
    if (!b)
        return random_failed();
    nb::object bytes = nb::steal(b);
    if (!PyBytes_Check(b) || PyBytes_GET_SIZE(b) != 16)
        ql::raise_type_error("os.urandom(16) must return 16 bytes, not " + ql::repr_of(bytes));
    std::memcpy(out, PyBytes_AS_STRING(b), 16);
    return true;
}

} // namespace

// A random version-4 UUID as text, from the OS's random source (uuid.uuid4() where the interpreter
// has none).
nb::object new_trace_id() {
    unsigned char u[16];
    if (!random_16(u))
        return nb::str(nb::module_::import_("uuid").attr("uuid4")());
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

namespace {

// pydantic's own validator of `cls` when `cls.model_validate` is BaseModel's (which only forwards
// to it), else nullptr: a class that overrides model_validate gets its own.
PyObject *stock_validator(PyObject *cls) {
    if (!PyType_Check(cls) || _PyType_Lookup((PyTypeObject *)cls, S->s_model_validate.ptr()) != S->base_validate)
        return nullptr;
    PyObject *v = _PyType_Lookup((PyTypeObject *)cls, S->s_pydantic_validator.ptr());
    return (v && Py_TYPE(v) == (PyTypeObject *)S->schema_validator.ptr()) ? v : nullptr;
}

} // namespace

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

namespace {

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

// Whether `v` is already exactly of the envelope field `name`'s type, so that validating it would
// hand back the same value; only the field names as interned in the module state are known here.
bool plain_field(PyObject *name, PyObject *v) {
    State &s = *S;
    if (name == s.s_details.ptr())
        return true; // Any
    if (name == s.s_success.ptr())
        return PyBool_Check(v);
    if (v == Py_None)
        return name != s.s_success.ptr();
    if (name == s.s_error_category.ptr())
        return Py_TYPE(v) == (PyTypeObject *)s.error_category.ptr();
    if (name == s.s_data.ptr()) {
        if (!PyDict_CheckExact(v))
            return false;
        PyObject *key, *value;
        for (Py_ssize_t pos = 0; PyDict_Next(v, &pos, &key, &value);)
            if (!PyUnicode_CheckExact(key))
                return false;
        return true; // dict[str, Any]: validation would only copy it
    }
    return (name == s.s_error_code.ptr() || name == s.s_message.ptr() || name == s.s_trace_id.ptr()) &&
           PyUnicode_CheckExact(v);
}

// One given field of an envelope: its interned name and its value.
struct Field {
    const nb::object &name;
    nb::handle value;
};

// The envelope made as pydantic's model_construct makes it, which is what validating `fields` gives
// while every value is already plain (plain_field): the stock ConnectorResponse (the validator it was
// built with, no post-init, object's __new__). Invalid otherwise, for the validated path.
nb::object constructed(std::initializer_list<Field> fields) {
    State &s = *S;
    auto *cls = (PyTypeObject *)s.connector_response.ptr();
    if (cls->tp_new != PyBaseObject_Type.tp_new || _PyType_Lookup(cls, s.s_init.ptr()) != s.base_init ||
        _PyType_Lookup(cls, s.s_pydantic_validator.ptr()) != s.response_validator ||
        _PyType_Lookup(cls, s.s_post_init.ptr()) != Py_None)
        return {};
    for (const Field &f : fields)
        if (f.value.is_valid() && !plain_field(f.name.ptr(), f.value.ptr()))
            return {};
    // every field in declaration order, defaults first (a copy of a sized template, not seven inserts)
    nb::object all = nb::steal(PyDict_Copy(s.envelope_template.ptr()));
    nb::object set = nb::steal(PySet_New(nullptr));
    nb::object obj = nb::steal(cls->tp_new(cls, s.empty_tuple.ptr(), nullptr));
    if (!all.is_valid() || !set.is_valid() || !obj.is_valid())
        throw nb::python_error();
    for (const Field &f : fields)
        if (f.value.is_valid() &&
            (PyDict_SetItem(all.ptr(), f.name.ptr(), f.value.ptr()) < 0 || PySet_Add(set.ptr(), f.name.ptr()) < 0))
            throw nb::python_error();
    // object.__setattr__, as model_construct sets them: BaseModel's own __setattr__ validates
    if (PyObject_GenericSetAttr(obj.ptr(), s.s_dict.ptr(), all.ptr()) < 0 ||
        PyObject_GenericSetAttr(obj.ptr(), s.s_extra.ptr(), Py_None) < 0 ||
        PyObject_GenericSetAttr(obj.ptr(), s.s_fields_set.ptr(), set.ptr()) < 0 ||
        PyObject_GenericSetAttr(obj.ptr(), s.s_private.ptr(), Py_None) < 0)
        throw nb::python_error();
    return obj;
}

// ConnectorResponse(**fields) (a field without a value is not given): constructed while its values
// are plain, else built by its validator while the class keeps BaseModel's __init__, else by calling
// the class.
nb::object envelope(std::initializer_list<Field> given) {
    if (nb::object made = constructed(given); made.is_valid())
        return made;
    nb::dict fields;
    for (const Field &f : given)
        if (f.value.is_valid() && PyDict_SetItem(fields.ptr(), f.name.ptr(), f.value.ptr()) < 0)
            throw nb::python_error();
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
    State &s = *S;
    return envelope({{s.s_success, Py_False}, {s.s_error_code, code}, {s.s_error_category, category},
                     {s.s_message, message}, {s.s_trace_id, c.trace_id}, {s.s_details, details}});
}

// A tenant id that is None or an exact str, and whether it names a tenant (empty counts as none).
bool plain_tenant(nb::handle v) { return v.is_none() || PyUnicode_CheckExact(v.ptr()); }
bool names_tenant(nb::handle v) { return !v.is_none() && PyUnicode_GET_LENGTH(v.ptr()) > 0; }

// effective_run_tenant_id(pinned=..., caller=...), answered here while both are plain and agree (the
// pinned tenant, else the caller's); anything else, a mismatch included, is the function's to answer.
std::pair<nb::object, nb::object> effective_tenant(nb::handle pinned, nb::handle caller) {
    if (plain_tenant(pinned) && plain_tenant(caller)) {
        bool pin = names_tenant(pinned), named = names_tenant(caller);
        if (!pin)
            return {named ? nb::borrow(caller) : nb::none(), nb::none()};
        if (!named || PyUnicode_Compare(pinned.ptr(), caller.ptr()) == 0)
            return {nb::borrow(pinned), nb::none()};
    }
    nb::object pair = S->effective_run_tenant_id(nb::arg("pinned") = pinned, nb::arg("caller") = caller);
    auto [effective, mismatch] = unpack2(pair);
    return {effective, mismatch};
}

// Step: the effective tenant. A caller's tenant that contradicts the instance's pinned tenant ends
// the call here, with its envelope (returned; otherwise nothing).
nb::object resolve_tenant(Call &c) {
    State &s = *S;
    nb::object pinned = attr_or_none(c.self, s.s_tenant_id);
    auto [effective, mismatch] = effective_tenant(pinned, c.tenant_id);
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

// The span of one call: the tracer's context manager; or the span the SDK's tracer started and the
// context token that makes it current; or (no tracer provider configured) only that token.
struct SpanScope {
    nb::object cm, span, token;
    PyObject *ctx_var = nullptr; // the API's context variable the token belongs to, when set on it directly
};

// What the telemetry steps use besides the module state, found once at import.
struct Telemetry {
    nb::object s_start_span, s_end, s_is_recording, s_record_exception, s_set_status, s_real_instrument, s_add,
        s_record, span_name, kw_attributes;
    nb::object span_abc, status, status_error, sys_modules, s_sdk_trace, s_tracer_cls;
    nb::object counter, histogram;
    PyTypeObject *proxy_counter = nullptr, *proxy_histogram = nullptr, *sdk_tracer = nullptr;
    // the API's runtime context, its methods as imported, the Context class, the span's key
    nb::object otel_context_dict, s_runtime_context, s_current_context, context_cls, span_key, invalid_span;
    PyTypeObject *runtime_type = nullptr;
    std::vector<std::pair<nb::object, nb::object>> runtime_methods; // (name, function)
    // metric attributes per call shape: connector id, action, success, error category (by identity)
    struct Shape {
        nb::object cid, action, success, category, attrs;
    };
    static constexpr int shapes = 32;
    Shape shape[shapes];
    int next_shape = 0;
};
Telemetry *T;

// True when `o`'s own __dict__ holds none of `names` (nothing patched onto the instance).
bool unpatched(PyObject *o, std::initializer_list<PyObject *> names) {
    PyObject **dictptr = _PyObject_GetDictPtr(o);
    if (!dictptr || !*dictptr)
        return true;
    for (PyObject *name : names)
        if (PyDict_GetItemWithError(*dictptr, name))
            return false;
    PyErr_Clear();
    return true;
}

// The API's current-Context variable, while its runtime context is the stock ContextVarsRuntimeContext
// with the methods it was imported with: get_current, attach and detach are then get, set and reset
// on this variable. Null otherwise (the API's functions are called).
PyObject *context_var() {
    Telemetry &t = *T;
    PyObject *rt = PyDict_GetItemWithError(t.otel_context_dict.ptr(), t.s_runtime_context.ptr());
    PyObject *cv = nullptr;
    if (rt && t.runtime_type && Py_TYPE(rt) == t.runtime_type) {
        bool intact = unpatched(rt, {t.runtime_methods[0].first.ptr(), t.runtime_methods[1].first.ptr(),
                                     t.runtime_methods[2].first.ptr()});
        for (const auto &[name, fn] : t.runtime_methods)
            intact = intact && _PyType_Lookup(t.runtime_type, name.ptr()) == fn.ptr();
        PyObject **dictptr = intact ? _PyObject_GetDictPtr(rt) : nullptr;
        cv = (dictptr && *dictptr) ? PyDict_GetItemWithError(*dictptr, t.s_current_context.ptr()) : nullptr;
    }
    if (cv && PyContextVar_CheckExact(cv))
        return cv;
    PyErr_Clear();
    return nullptr;
}

// get_current() read from the context variable; null when it holds something else than a dict.
nb::object current_context(PyObject *cv) {
    PyObject *ctx = nullptr;
    if (PyContextVar_Get(cv, nullptr, &ctx) < 0)
        throw nb::python_error();
    if (ctx && PyDict_Check(ctx))
        return nb::steal(ctx);
    Py_XDECREF(ctx);
    return nb::object();
}

// get_current_span() of a Context: its span when that is a Span, else INVALID_SPAN.
nb::object span_of(nb::handle ctx) {
    Telemetry &t = *T;
    PyObject *span = PyDict_GetItemWithError(ctx.ptr(), t.span_key.ptr());
    if (!span && PyErr_Occurred())
        throw nb::python_error();
    return span && is_instance(span, t.span_abc) ? nb::borrow(span) : t.invalid_span;
}

// attach(set_span_in_context(span)): a copy of the current Context with the span, made current.
void attach_span(SpanScope &scope, nb::handle span, PyObject *cv) {
    State &s = *S;
    Telemetry &t = *T;
    nb::object ctx = cv ? current_context(cv) : nb::object();
    if (!ctx.is_valid()) {
        scope.token = s.context_attach(s.set_span_in_context(span));
        return;
    }
    nb::object values = nb::steal(PyDict_Copy(ctx.ptr()));
    if (!values.is_valid() || PyDict_SetItem(values.ptr(), t.span_key.ptr(), span.ptr()) < 0)
        throw nb::python_error();
    nb::object next = t.context_cls(values);
    scope.token = nb::steal(PyContextVar_Set(cv, next.ptr()));
    if (!scope.token.is_valid())
        throw nb::python_error();
    scope.ctx_var = cv;
}

// detach(token); a token the variable refuses goes to the API's detach, which logs the failure.
void detach(SpanScope &scope) {
    if (scope.ctx_var && PyContextVar_Reset(scope.ctx_var, scope.token.ptr()) == 0)
        return;
    PyErr_Clear();
    S->context_detach(scope.token);
}

// The span NoOpTracer would start, when the module's tracer is the API's proxy with no provider
// behind it and the current span is a plain NonRecordingSpan (that very span); else null.
nb::object noop_span(PyObject *cv) {
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
    nb::object ctx = cv ? current_context(cv) : nb::object();
    nb::object current = ctx.is_valid() ? span_of(ctx) : s.get_current_span();
    if (Py_TYPE(current.ptr()) != (PyTypeObject *)s.non_recording_span_type.ptr())
        return nb::object();
    return current;
}

// The SDK's tracer behind the module's tracer (the proxy's resolved tracer, or the tracer itself),
// when it is exactly the SDK's Tracer: its start_as_current_span is then start_span wrapped in
// use_span(end_on_exit=True), which open_span and close_span do without the three generator
// context managers. Null otherwise (the tracer's own context manager is used).
PyObject *sdk_tracer() {
    State &s = *S;
    Telemetry &t = *T;
    PyObject *tracer = s.tracer.ptr();
    if (Py_TYPE(tracer) == (PyTypeObject *)s.proxy_tracer_type.ptr()) {
        PyObject **dictptr = _PyObject_GetDictPtr(tracer);
        tracer = (dictptr && *dictptr) ? PyDict_GetItemWithError(*dictptr, s.s_real_tracer.ptr()) : nullptr;
        if (!tracer || tracer == Py_None || !unpatched(s.tracer.ptr(), {t.s_start_span.ptr()})) {
            PyErr_Clear();
            return nullptr;
        }
    }
    if (!t.sdk_tracer) {
        // the SDK is the host's choice: known once its module is loaded
        PyObject *mod = PyDict_GetItemWithError(t.sys_modules.ptr(), t.s_sdk_trace.ptr());
        PyObject *cls = mod ? PyObject_GetAttr(mod, t.s_tracer_cls.ptr()) : nullptr;
        if (!cls || !PyType_Check(cls)) {
            Py_XDECREF(cls);
            PyErr_Clear();
            return nullptr;
        }
        t.sdk_tracer = (PyTypeObject *)cls; // kept for the life of the process
    }
    return Py_TYPE(tracer) == t.sdk_tracer && unpatched(tracer, {t.s_start_span.ptr()}) ? tracer : nullptr;
}

// The six span attributes of one call.
nb::dict span_attributes(const Call &c) {
    State &s = *S;
    nb::dict a;
    a["connector.id"] = c.cid;
    a["connector.action"] = c.action;
    a["config.name"] = text_or(c.config_name, s.str_empty);
    a["tenant.id"] = text_or(c.tenant_id, s.str_empty);
    a["principal.id"] = text_or(c.principal, s.str_empty);
    a["trace.id"] = c.trace_id;
    return a;
}

// Step: open the "connector.run" span.
SpanScope open_span(const Call &c) {
    State &s = *S;
    Telemetry &t = *T;
    SpanScope scope;
    // the API's context variable (null: its own functions), looked up once for the span's start
    PyObject *cv = t.span_key.is_valid() ? context_var() : nullptr;
    if (nb::object span = noop_span(cv); span.is_valid()) {
        // nothing records it: no attributes to build, and no three generator frames to go through
        attach_span(scope, span, cv);
        return scope;
    }
    nb::dict attrs = span_attributes(c);
    if (PyObject *tracer = sdk_tracer()) {
        PyObject *args[] = {tracer, t.span_name.ptr(), attrs.ptr()};
        PyObject *span = PyObject_VectorcallMethod(t.s_start_span.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                   t.kw_attributes.ptr());
        if (!span)
            throw nb::python_error();
        scope.span = nb::steal(span);
        attach_span(scope, scope.span, cv);
        return scope;
    }
    scope.cm = s.start_span(t.span_name, nb::arg("attributes") = attrs);
    attr(scope.cm, s.s_enter)();
    return scope;
}

// use_span's handling of an Exception leaving the span: recorded, and the status set to ERROR.
void mark_span_failed(nb::handle span, nb::handle exc) {
    Telemetry &t = *T;
    if (!is_instance(span, t.span_abc) || !truthy(attr(span, t.s_is_recording)()))
        return;
    attr(span, t.s_record_exception)(exc);
    nb::object description = nb::steal(PyUnicode_FromFormat("%S: %S", nb::getattr(exc.type(), "__name__").ptr(),
                                                            exc.ptr()));
    if (!description.is_valid())
        throw nb::python_error();
    attr(span, t.s_set_status)(t.status(t.status_error, nb::arg("description") = description));
}

// Step: close the span, telling it about an exception that escapes (then rethrown).
void close_span(SpanScope &scope, std::exception_ptr escape) {
    State &s = *S;
    nb::object exc;
    if (escape) {
        try {
            std::rethrow_exception(escape);
        } catch (...) {
            exc = current_exception_object();
        }
    }
    if (scope.cm.is_valid()) {
        nb::object tb = exc.is_valid() ? nb::steal(PyException_GetTraceback(exc.ptr())) : nb::object();
        if (exc.is_valid())
            attr(scope.cm, s.s_exit)(exc.type(), exc, tb.is_valid() ? tb : nb::none());
        else
            attr(scope.cm, s.s_exit)(nb::none(), nb::none(), nb::none());
    } else {
        detach(scope);
        if (scope.span.is_valid()) {
            if (exc.is_valid() && is_exception(exc))
                mark_span_failed(scope.span, exc);
            attr(scope.span, T->s_end)();
        }
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
    step_failed(failed, s.validation_error, Outcome::Validation);
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
    step_failed(failed, s.policy_denied, Outcome::Policy);
}

// Step (after the action): the success record, the dumped output, the envelope.
nb::object success_envelope(const Call &c, nb::handle out) {
    State &s = *S;
    s.log.log(ql::INFO, "Connector execution completed successfully", nb::tuple(), [&] {
        return ql::kv("trace_id", c.trace_id, "connector_id", c.cid, "action", c.action, "duration_ms",
                      c.elapsed_ms(), "audit", true, "audit_event", "invocation_success");
    });
    nb::object data = model_dump(out);
    return envelope({{s.s_success, Py_True}, {s.s_data, data}, {s.s_trace_id, c.trace_id}});
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

// The metric attributes of one envelope, one dict per call shape (the SDK copies what it keeps).
nb::object metric_attributes(const Call &c, nb::handle success, nb::handle category) {
    Telemetry &t = *T;
    bool cacheable = PyUnicode_CheckExact(c.cid.ptr()) && PyUnicode_CheckExact(c.action.ptr()) &&
                     PyBool_Check(success.ptr()) && PyUnicode_CheckExact(category.ptr());
    if (cacheable)
        for (const Telemetry::Shape &k : t.shape)
            if (k.attrs.is_valid() && k.cid.is(c.cid) && k.action.is(c.action) && k.success.is(success) &&
                k.category.is(category))
                return k.attrs;
    nb::dict m;
    m["connector.id"] = c.cid;
    m["connector.action"] = c.action;
    m["success"] = success;
    m["error_category"] = category;
    if (cacheable) {
        t.shape[t.next_shape] = {c.cid, c.action, nb::borrow(success), nb::borrow(category), m};
        t.next_shape = (t.next_shape + 1) % Telemetry::shapes;
    }
    return m;
}

// instrument.<method>(amount, attributes); through the real instrument when the instrument is the
// API's proxy (which forwards to it, or does nothing before a meter provider is configured), given
// the current Context that it would otherwise look up itself.
void measure(const nb::object &instrument, PyTypeObject *proxy, const nb::object &method, const nb::object &bound,
             nb::handle amount, nb::handle attrs, nb::handle ctx) {
    Telemetry &t = *T;
    PyObject *target = nullptr;
    if (Py_TYPE(instrument.ptr()) == proxy && unpatched(instrument.ptr(), {method.ptr()})) {
        PyObject **dictptr = _PyObject_GetDictPtr(instrument.ptr());
        PyObject *real = (dictptr && *dictptr) ? PyDict_GetItemWithError(*dictptr, t.s_real_instrument.ptr()) : nullptr;
        if (real == Py_None)
            return;
        target = real;
    }
    PyErr_Clear();
    PyObject *r;
    if (target) {
        PyObject *args[] = {target, amount.ptr(), attrs.ptr(), ctx.ptr()};
        r = PyObject_VectorcallMethod(method.ptr(), args, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    } else {
        PyObject *args[] = {amount.ptr(), attrs.ptr()};
        r = PyObject_Vectorcall(bound.ptr(), args, 1, t.kw_attributes.ptr());
    }
    if (!r)
        throw nb::python_error();
    Py_DECREF(r);
}

// The instance dict of `o`, borrowed; nullptr when it has none.
PyObject *dict_of(PyObject *o) {
    PyObject **dictptr = _PyObject_GetDictPtr(o);
    return dictptr ? *dictptr : nullptr;
}

// category.value: for an ErrorCategory member its `_value_` (what the enum's `value` property
// returns), read without the property's Python frame; anything else through the attribute.
nb::object category_value(nb::handle category) {
    State &s = *S;
    if (Py_TYPE(category.ptr()) == (PyTypeObject *)s.error_category.ptr())
        if (PyObject *d = dict_of(category.ptr()))
            if (PyObject *v = PyDict_GetItemWithError(d, s.s_value_slot.ptr()); v && PyUnicode_CheckExact(v))
                return nb::borrow(v);
    PyErr_Clear();
    return attr(category, s.s_value);
}

// Step: count the envelope and record its duration (milliseconds).
void record_metrics(const Call &c, nb::handle resp) {
    State &s = *S;
    Telemetry &t = *T;
    double duration = (monotonic() - c.start) * 1000.0;
    nb::object category = attr(resp, s.s_error_category);
    nb::object attrs = metric_attributes(c, attr(resp, s.s_success),
                                         category.is_none() ? nb::object(s.str_none) : category_value(category));
    PyObject *cv = context_var();
    nb::object ctx = cv ? current_context(cv) : nb::object();
    nb::handle context = ctx.is_valid() ? nb::handle(ctx) : nb::none();
    measure(t.counter, t.proxy_counter, t.s_add, s.counter_add, nb::int_(1), attrs, context);
    measure(t.histogram, t.proxy_histogram, t.s_record, s.histogram_record, nb::float_(duration), attrs, context);
}

// The action's awaitable: the dispatch of our internal_execute, or an override's.
nb::object action_call(nb::handle self, nb::handle payload, nb::handle trace_id) {
    if (not_overridden(self, S->s_internal_execute, S->internal_execute_fn))
        return dispatch_call(self, payload, trace_id);
    return attr(self, S->s_internal_execute)(payload, nb::arg("trace_id") = trace_id);
}

// Whether the action's exit is a failure its breaker counts (resilience._counts_as_failure).
bool counted_failure(const Call &c, std::exception_ptr failed, nb::handle exc) {
    return failed && is_exception(exc) && truthy(S->counts_as_failure(exc, c.cid));
}

// Leaves `breaker.calling()` after the action as the stock resilience layer does: a failure of
// the vendor is counted, and the breaker may raise its own error in its place; any other exit
// (a caller-side error, a nested call's failure, cancellation) leaves the breaker as it was.
void leave_breaker(nb::handle breaker, nb::handle cm, std::exception_ptr failed, bool counted, nb::handle exc) {
    State &s = *S;
    if (!failed) {
        attr(cm, s.s_exit)(nb::none(), nb::none(), nb::none());
        return;
    }
    if (!counted) {
        leave_breaker_uncounted(breaker, cm);
        std::rethrow_exception(failed);
    }
    nb::object tb = nb::steal(PyException_GetTraceback(exc.ptr()));
    nb::object suppressed = attr(cm, s.s_exit)(exc.type(), nb::borrow(exc), tb.is_valid() ? tb : nb::none());
    if (!truthy(suppressed))
        std::rethrow_exception(failed);
}

// ---------------------------------------------------------------- a closed breaker without calling()
//
// Entering `calling()` on a stock breaker that is closed, keeps its state in memory and has no
// listeners does nothing but look at the state under the breaker's lock; leaving it after a success
// resets the failure count, and after an exit that is not counted changes nothing. Those are done
// here directly. Anything else (another breaker, listeners, a failure the breaker counts, pybreaker's
// methods replaced) goes through pybreaker itself.

// d[name] when it is there, borrowed; nullptr otherwise (an error is thrown).
PyObject *item(PyObject *d, const nb::object &name) {
    PyObject *v = d ? PyDict_GetItemWithError(d, name.ptr()) : nullptr;
    if (!v && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

bool is_closed_text(PyObject *v) {
    return v && PyUnicode_CheckExact(v) && PyUnicode_Compare(v, S->str_closed.ptr()) == 0;
}

// The instance dict of the breaker's storage while it is pybreaker's own memory storage, the breaker
// has no listeners and (checked on entering) none of the pybreaker methods the shortcut stands for
// was replaced.
PyObject *quiet_storage(PyObject *breaker_dict, bool entering) {
    State &s = *S;
    if (entering)
        for (const auto &[type, name, original] : s.breaker_methods)
            if (_PyType_Lookup(type, name.ptr()) != original)
                return nullptr;
    PyObject *listeners = item(breaker_dict, s.s_listeners);
    if (!listeners || !PyList_CheckExact(listeners) || PyList_GET_SIZE(listeners) != 0)
        return nullptr;
    PyObject *storage = item(breaker_dict, s.s_state_storage);
    if (!storage || Py_TYPE(storage) != (PyTypeObject *)s.memory_storage.ptr())
        return nullptr;
    PyObject *d = dict_of(storage);
    return d && !item(d, s.s_reset_counter) ? d : nullptr;
}

// Enters `breaker` when `calling()` would do nothing else: a pybreaker CircuitBreaker (not a
// subclass, its methods not replaced on the instance) whose stored and cached states are closed, in
// memory, with no listeners. The look is made under the breaker's lock, as `calling()` makes it; a
// lock held elsewhere leaves it to the public path, which waits for it. Returns the closed state
// object, which handles any exit not done here, or invalid for the public path.
nb::object enter_closed(nb::handle breaker) {
    State &s = *S;
    if (Py_TYPE(breaker.ptr()) != (PyTypeObject *)s.circuit_breaker.ptr())
        return {};
    PyObject *d = dict_of(breaker.ptr());
    PyObject *lock = item(d, s.s_lock);
    if (!lock || item(d, s.s_calling) || item(d, s.s_call))
        return {};
    PyObject *args[] = {lock, Py_False};
    auto lock_method = [&](const nb::object &name, size_t nargs) {
        return nb::steal(PyObject_VectorcallMethod(name.ptr(), args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    };
    nb::object got = lock_method(s.s_acquire, 2);
    if (!got.is_valid())
        throw nb::python_error();
    if (got.ptr() != Py_True)
        return {};
    nb::object entered;
    try {
        PyObject *storage = quiet_storage(d, true);
        PyObject *state = storage ? item(d, s.s_state) : nullptr;
        if (state && is_closed_text(item(storage, s.s_state)) &&
            Py_TYPE(state) == (PyTypeObject *)s.closed_state.ptr() && is_closed_text(item(dict_of(state), s.s_name)))
            entered = nb::borrow(state);
    } catch (...) {
        if (!lock_method(s.s_release, 1).is_valid())
            PyErr_WriteUnraisable(lock);
        throw;
    }
    if (!lock_method(s.s_release, 1).is_valid())
        throw nb::python_error();
    return entered;
}

// Leaves a call entered by enter_closed. A success resets the failure count and an exit the breaker
// does not count changes nothing, while the breaker is still quiet; otherwise the closed `state`
// handles the outcome as it would have on leaving `calling()` (resilience._resumed).
void leave_closed(const Call &c, nb::handle breaker, nb::handle state, std::exception_ptr failed, nb::handle exc) {
    State &s = *S;
    bool counted = counted_failure(c, failed, exc);
    if (!counted) {
        if (PyObject *storage = quiet_storage(dict_of(breaker.ptr()), false)) {
            if (!failed) {
                if (PyDict_SetItem(storage, s.s_fail_counter.ptr(), s.int_zero.ptr()) < 0)
                    throw nb::python_error();
                return;
            }
            std::rethrow_exception(failed);
        }
    }
    nb::object cm = s.resumed(state);
    attr(cm, s.s_enter)();
    leave_breaker(breaker, cm, failed, counted, exc);
}

// The awaitable of the action under `breaker` through a resilience layer other than the stock
// one (the module's with_resilience, looked up per call so that a replacement is honoured);
// invalid when the stock layer is in place, which the pipeline runs inline.
nb::object resilience_call(const Call &c, nb::handle breaker, nb::handle payload) {
    State &s = *S;
    PyObject *resilience = PyDict_GetItemWithError(s.module_dict.ptr(), s.s_with_resilience_name.ptr());
    if (resilience == s.with_resilience.ptr())
        return nb::object();
    if (!resilience && PyErr_Occurred())
        throw nb::python_error();
    nb::object with_resilience = resilience ? nb::borrow(resilience) : s.with_resilience;
    nb::object decorator = with_resilience(breaker, nb::arg("connector_id") = c.cid, nb::arg("action") = c.action);
    nb::object guarded = decorator(s.functools_partial(s.do_execute, c.self, payload));
    return guarded(nb::arg("trace_id") = c.trace_id);
}

// The per-call values read before the tenant is resolved.
Call new_call(nb::handle self, nb::object raw_input, nb::object principal, nb::object tenant_id, nb::object scopes) {
    State &s = *S;
    Call c;
    c.self = self;
    c.raw_input = std::move(raw_input);
    c.principal = std::move(principal);
    c.tenant_id = std::move(tenant_id);
    c.scopes = std::move(scopes);
    c.trace_id = new_trace_id();
    c.cid = attr(self, s.s_connector_id);
    c.config_name = attr_or_none(self, s.s_config_name);
    return c;
}

// After the action: a failure's envelope, then (finally) the caller context restored and the
// envelope counted. An exception that is to escape is left in `escape`.
nb::object settle(const Call &c, CtxReset &ctx, const Failure &failed, nb::object resp, std::exception_ptr &escape) {
    if (!escape && failed) {
        try {
            resp = failure_envelope(c, failed);
        } catch (...) {
            escape = std::current_exception();
        }
    }
    if (escape)
        ctx.reset_quietly();
    else
        ctx.reset();
    if (resp.is_valid() && !resp.is_none())
        record_metrics(c, resp);
    return resp;
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
        log_cid.token = set_log_cid(attr(self, s.s_connector_id));
    }
    Call c = new_call(self, raw_input, principal, tenant_id, scopes);
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
                if (nb::object guarded = resilience_call(c, breaker, payload); guarded.is_valid()) {
                    out = co_await guarded;
                } else {
                    // The stock resilience layer is exactly `with breaker.calling(): await execute`;
                    // doing that here spares two wrapper frames per call.
                    nb::object closed = enter_closed(breaker), cm;
                    if (!closed.is_valid()) {
                        cm = attr(breaker, s.s_calling)();
                        attr(cm, s.s_enter)();
                    }
                    std::exception_ptr thrown;
                    nb::object exc;
                    try {
                        out = co_await action_call(self, payload, c.trace_id);
                    } catch (...) {
                        exc = current_exception_object();
                        thrown = std::current_exception();
                    }
                    if (closed.is_valid())
                        leave_closed(c, breaker, closed, thrown, exc);
                    else
                        leave_breaker(breaker, cm, thrown, counted_failure(c, thrown, exc), exc);
                    if (thrown)
                        out = nb::none(); // suppressed by the breaker
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
        result = settle(c, ctx, failed, resp, escape);
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
    LogCidReset reset{set_log_cid(attr(self, S->s_connector_id))};
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

} // namespace

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

namespace {

// The API's runtime context as imported (private names: when they move, the API's functions are used).
void init_context_access(Telemetry &t) {
    nb::module_ context = nb::module_::import_("opentelemetry.context");
    t.otel_context_dict = nb::borrow(PyModule_GetDict(context.ptr()));
    t.s_runtime_context = nb::steal(PyUnicode_InternFromString("_RUNTIME_CONTEXT"));
    t.s_current_context = nb::steal(PyUnicode_InternFromString("_current_context"));
    t.context_cls = context.attr("Context");
    t.invalid_span = nb::module_::import_("opentelemetry.trace").attr("INVALID_SPAN");
    nb::object key = nb::steal(PyImport_ImportModule("opentelemetry.trace.propagation"));
    key = key.is_valid() ? nb::steal(PyObject_GetAttrString(key.ptr(), "_SPAN_KEY")) : key;
    nb::object runtime = nb::steal(PyImport_ImportModule("opentelemetry.context.contextvars_context"));
    runtime = runtime.is_valid() ? nb::steal(PyObject_GetAttrString(runtime.ptr(), "ContextVarsRuntimeContext")) : runtime;
    PyErr_Clear();
    if (!key.is_valid() || !ql::is_str(key) || !runtime.is_valid() || !PyType_Check(runtime.ptr()))
        return;
    t.span_key = key;
    t.runtime_type = (PyTypeObject *)runtime.release().ptr(); // kept for the life of the process
    for (const char *name : {"attach", "get_current", "detach"}) {
        nb::object n = nb::steal(PyUnicode_InternFromString(name));
        t.runtime_methods.emplace_back(n, nb::borrow(_PyType_Lookup(t.runtime_type, n.ptr())));
    }
}

} // namespace

// What the span and metric steps use, found once the module's tracer and instruments exist.
void init_telemetry(nb::module_ &m) {
    T = new Telemetry(); // lives as long as the process, like the module state
    Telemetry &t = *T;
    auto intern = [](const char *text) { return nb::steal(PyUnicode_InternFromString(text)); };
    t.s_start_span = intern("start_span");
    t.s_end = intern("end");
    t.s_is_recording = intern("is_recording");
    t.s_record_exception = intern("record_exception");
    t.s_set_status = intern("set_status");
    t.s_real_instrument = intern("_real_instrument");
    t.s_add = intern("add");
    t.s_record = intern("record");
    t.span_name = intern("connector.run");
    t.kw_attributes = nb::make_tuple(intern("attributes"));
    t.s_sdk_trace = intern("opentelemetry.sdk.trace");
    t.s_tracer_cls = intern("Tracer");
    t.sys_modules = nb::borrow(PyImport_GetModuleDict());
    init_context_access(t);
    nb::module_ trace = nb::module_::import_("opentelemetry.trace");
    t.span_abc = trace.attr("Span");
    t.status = trace.attr("Status");
    t.status_error = trace.attr("StatusCode").attr("ERROR");
    t.counter = m.attr("_invocation_counter");
    t.histogram = m.attr("_invocation_duration");
    // the API's proxy instruments, which forward to the real ones once a meter provider is set
    // (private names: when they move, the instruments' own methods are called)
    nb::object instruments = nb::steal(PyImport_ImportModule("opentelemetry.metrics._internal.instrument"));
    PyErr_Clear();
    for (auto [slot, name] :
         {std::pair{&t.proxy_counter, "_ProxyCounter"}, std::pair{&t.proxy_histogram, "_ProxyHistogram"}}) {
        PyObject *cls = instruments.is_valid() ? PyObject_GetAttrString(instruments.ptr(), name) : nullptr;
        if (cls && PyType_Check(cls))
            *slot = (PyTypeObject *)cls; // kept by its module
        else
            PyErr_Clear();
        Py_XDECREF(cls);
    }
}

} // namespace qlcb
