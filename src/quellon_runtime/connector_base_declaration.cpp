// connector_base, declaration side: the action decorators, the methods generated from
// action_specs, and the class check at definition (__init_subclass__).
#include "connector_base_internal.hpp"

#include <cmath>
#include <tuple>

namespace qlcb {

namespace {

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

} // namespace

std::vector<ql::Param> marker_params() {
    return {ql::arg("name"),
            ql::kwonly("alias_tolerant", nb::bool_(false)),
            ql::kwonly("mcp_normalize", nb::none()),
            ql::kwonly("requires_auth", nb::bool_(true)),
            ql::kwonly("scopes", nb::none()),
            ql::kwonly("throttle", nb::none()),
            ql::kwonly("deprecated", nb::bool_(false))};
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

namespace {

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

} // namespace

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

namespace {

// The action name a member declares through its markers, or an empty (invalid) object when the
// member is no action.
nb::object declared_action_name(nb::handle member) {
    if (!PyCallable_Check(member.ptr()))
        return nb::object();
    nb::object action_name = attr_or_none(member, nb::str("_sdk_action_name"));
    if (!truthy(action_name))
        action_name = attr_or_none(member, nb::str("_ql_action_name"));
    return truthy(action_name) ? action_name : nb::object();
}

// The member's type hints; none at all when they cannot be resolved.
nb::object type_hints_of(nb::handle member) {
    try {
        return S->get_type_hints(member);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return nb::dict();
    }
}

// The member's parameters (inspect.Parameter objects, in order); none when it has no signature.
nb::list parameters_of(nb::handle member) {
    try {
        return nb::list(S->signature(member).attr("parameters").attr("values")());
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError))
            throw;
        return nb::list();
    }
}

// The name of the first parameter other than self and trace_id; invalid when there is none.
nb::object input_param_name(const nb::list &params) {
    for (nb::handle p : params) {
        nb::object pname = p.attr("name");
        std::string_view pn = ql::view(pname);
        if (pn != "self" && pn != "trace_id")
            return pname;
    }
    return nb::object();
}

// The dispatcher passes trace_id by keyword: a parameter of that name that takes keywords, or **kwargs.
bool takes_trace_id_keyword(const nb::list &params) {
    enum { POSITIONAL_OR_KEYWORD = 1, KEYWORD_ONLY = 3, VAR_KEYWORD = 4 }; // inspect.Parameter kinds
    for (nb::handle p : params) {
        long kind = PyLong_AsLong(p.attr("kind").ptr());
        if (kind == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (kind == VAR_KEYWORD ||
            ((kind == POSITIONAL_OR_KEYWORD || kind == KEYWORD_ONLY) && ql::view(p.attr("name")) == "trace_id"))
            return true;
    }
    return false;
}

// An async def, or a wrapper (functools.wraps) around one: the dispatcher awaits what it returns.
bool is_coroutine_function(nb::handle member) {
    if (truthy(S->iscoroutinefunction(member)))
        return true;
    try {
        nb::object inner = S->unwrap(member);
        return !inner.is(member) && truthy(S->iscoroutinefunction(inner));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError)) // a wrapper chain that loops
            throw;
        return false;
    }
}

// The metadata of one action member, checked: it needs an input parameter and model hints for
// that parameter and for its return value.
nb::object action_meta(const std::string &cname, nb::handle attr_name, nb::handle member, nb::handle action_name) {
    auto where_text = [&] { return cname + "." + ql::utf8_of(attr_name); };
    nb::object hints = type_hints_of(member);
    nb::list params = parameters_of(member);
    nb::object param_name = input_param_name(params);
    if (!param_name.is_valid())
        ql::raise_type_error(where_text() + ": @ql_action method must have a params argument after self");
    nb::object input_model = hints.attr("get")(param_name);
    nb::object output_model = hints.attr("get")("return");
    if (!is_model_class(input_model))
        ql::raise_type_error(where_text() + ": missing or invalid type hint for parameter " + ql::repr_of(param_name));
    if (!is_model_class(output_model))
        ql::raise_type_error(where_text() + ": missing or invalid return type hint");
    if (!is_coroutine_function(member))
        ql::raise_type_error(where_text() + ": @ql_action method must be a coroutine function (async def)");
    if (!takes_trace_id_keyword(params))
        ql::raise_type_error(where_text() + ": @ql_action method must take trace_id as a keyword argument");
    return S->qlaction_meta(
        nb::arg("name") = action_name, nb::arg("fn_name") = attr_name, nb::arg("input_model") = input_model,
        nb::arg("output_model") = output_model,
        nb::arg("alias_tolerant") = nb::getattr(member, "_alias_tolerant", nb::bool_(false)),
        nb::arg("mcp_normalize") = nb::getattr(member, "_mcp_normalize", nb::none()),
        nb::arg("requires_auth") = nb::getattr(member, "_requires_auth", nb::bool_(true)),
        nb::arg("scopes") = nb::getattr(member, "_scopes", nb::none()),
        nb::arg("throttle") = nb::getattr(member, "_throttle", nb::none()),
        nb::arg("deprecated") = nb::getattr(member, "_deprecated", nb::bool_(false)));
}

// Two members declaring one action: the later one (in dir() order) is kept, and the author told,
// unless both are the same function under two names.
void warn_replaced_action(nb::handle cls, const std::string &cname, nb::handle action_name, nb::handle earlier,
                          nb::handle member, nb::handle attr_name) {
    nb::object earlier_fn = earlier.attr("fn_name");
    if (attr_or_none(cls, earlier_fn).is(member))
        return;
    S->log.log(ql::WARNING, "%s: action %r is declared by %s and by %s; %s is kept",
               nb::make_tuple(nb::str(cname.c_str()), action_name, earlier_fn, attr_name, attr_name));
}

// Action name -> metadata, from every marked member in dir() order (inherited ones included).
nb::dict build_action_registry(nb::handle cls, const std::string &cname) {
    nb::dict registry;
    PyObject *dir = PyObject_Dir(cls.ptr());
    if (!dir)
        throw nb::python_error();
    nb::object names = nb::steal(dir);
    for (nb::handle attr_name : names) {
        nb::object member = attr_or_none(cls, nb::borrow(attr_name));
        nb::object action_name = declared_action_name(member);
        if (!action_name.is_valid())
            continue;
        nb::object meta = action_meta(cname, attr_name, member, action_name);
        if (PyObject *earlier = PyDict_GetItemWithError(registry.ptr(), action_name.ptr()))
            warn_replaced_action(cls, cname, action_name, nb::borrow(earlier), member, attr_name);
        else if (PyErr_Occurred())
            throw nb::python_error();
        registry[action_name] = meta;
    }
    return registry;
}

// The values of a model's `action` literal (what selects it in the union); none without one.
nb::object action_literals(nb::handle model) {
    nb::object fields = attr_or_none(model, nb::str("model_fields"));
    PyObject *field = PyDict_Check(fields.ptr()) ? PyDict_GetItemWithError(fields.ptr(), S->s_action.ptr()) : nullptr;
    if (!field && PyErr_Occurred())
        throw nb::python_error();
    nb::object annotation = field ? attr_or_none(field, nb::str("annotation")) : nb::none();
    if (!S->get_origin(annotation).is(S->typing_literal))
        return nb::tuple();
    return S->get_args(annotation);
}

// With several actions, each needs an input model of its own, selected by its own `action`
// literal: a shared model (or literal) would send every call to one of them.
void check_distinct_inputs(const nb::dict &registry, const std::string &cname) {
    if (PyDict_Size(registry.ptr()) < 2)
        return;
    nb::dict by_model, by_literal;
    for (auto [name, meta] : registry) {
        nb::object model = meta.attr("input_model");
        std::string where = cname + "." + ql::utf8_of(meta.attr("fn_name"));
        std::string model_name = ql::utf8_of(nb::getattr(model, "__name__"));
        if (by_model.contains(model))
            ql::raise_type_error(where + ": input model " + model_name + " is already the input of action " +
                                 ql::repr_of(by_model[model]));
        by_model[model] = name;
        for (nb::handle literal : action_literals(model)) {
            if (by_literal.contains(literal))
                ql::raise_type_error(where + ": input model " + model_name + " selects action " +
                                     ql::repr_of(literal) + ", already selected by the input of action " +
                                     ql::repr_of(by_literal[literal]));
            by_literal[literal] = name;
        }
    }
}

// A concrete connector (one with a connector id) is constructed with its output_model.
void check_output_model(nb::handle cls, const std::string &cname) {
    if (!PyObject_HasAttr(cls.ptr(), S->s_connector_id.ptr()))
        return;
    if (!is_model_class(attr_or_none(cls, S->s_output_model)))
        ql::raise_type_error(cname + ": missing or invalid output_model");
}

// The breaker thresholds of the class: a positive whole number of failures, a positive finite
// number of seconds.
void check_breaker_settings(nb::handle cls, const std::string &cname) {
    nb::object fail_max = nb::getattr(cls, "breaker_fail_max");
    int overflow = 0;
    if (!PyLong_CheckExact(fail_max.ptr()) || (PyLong_AsLongAndOverflow(fail_max.ptr(), &overflow) < 1 && overflow <= 0))
        ql::raise_type_error(cname + ": breaker_fail_max must be a positive int, not " + ql::repr_of(fail_max));
    nb::object timeout = nb::getattr(cls, "breaker_reset_timeout");
    bool number = (PyLong_CheckExact(timeout.ptr()) || PyFloat_CheckExact(timeout.ptr()));
    double seconds = number ? PyFloat_AsDouble(timeout.ptr()) : 0;
    if (PyErr_Occurred())
        PyErr_Clear(); // an int too large for a double is refused below
    if (!number || !(seconds > 0) || !std::isfinite(seconds))
        ql::raise_type_error(cname + ": breaker_reset_timeout must be a positive number of seconds, not " +
                             ql::repr_of(timeout));
}

// The root model validating any input of the class: one model, or a discriminated union on
// "action".
nb::object union_input_model(const nb::dict &registry, const std::string &cname) {
    nb::list models;
    for (auto kv : registry)
        models.append(kv.second.attr("input_model"));
    if (nb::len(models) == 0)
        ql::raise_type_error(cname + ": ConnectorBase must define at least one @ql_action");
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
    nb::object union_model = nb::steal(PyObject_GetItem(S->root_model.ptr(), root_type.ptr()));
    if (!union_model.is_valid())
        throw nb::python_error();
    return union_model;
}

// "error_map[VendorError]": an entry named by its exception class.
std::string error_map_entry(const std::string &cname, nb::handle key) {
    std::string name = PyType_Check(key.ptr()) ? ql::utf8_of(nb::getattr(key, "__name__")) : ql::repr_of(key);
    return cname + ": error_map[" + name + "]";
}

// One entry of the own error map, checked: an exception class mapped to (ErrorCategory, code).
// A value that is no pair fails with the interpreter's unpacking error, which names the entry in a note.
std::pair<nb::object, nb::object> error_map_value(const std::string &cname, nb::handle key, nb::handle value) {
    std::string where = error_map_entry(cname, key);
    int exc_class = PyType_Check(key.ptr()) ? PyObject_IsSubclass(key.ptr(), PyExc_BaseException) : 0;
    if (exc_class < 0)
        throw nb::python_error();
    if (!exc_class)
        ql::raise_type_error(where + ": the key must be an exception class");
    std::pair<nb::object, nb::object> pair;
    try {
        pair = unpack2(value);
    } catch (nb::python_error &e) {
        ql::exc_value(e).attr("add_note")(nb::str((where + " must be (ErrorCategory, str)").c_str()));
        throw;
    }
    bool category_ok = true;
    try {
        S->error_category(pair.first); // a member or its value, as the error mapper takes it
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError))
            throw;
        category_ok = false;
    }
    if (!category_ok || !ql::is_str(pair.second) || PyUnicode_GET_LENGTH(pair.second.ptr()) == 0)
        ql::raise_type_error(where + " must be (ErrorCategory, str), not " + ql::repr_of(value));
    return pair;
}

// The class's own error map, registered under its connector id once every entry is checked.
void register_error_map(nb::handle cls, const std::string &cname) {
    nb::object own_map = own_ns_get(cls, "error_map");
    if (!own_map.is_valid() || !truthy(own_map))
        return;
    if (!own_ns_get(cls, "connector_id").is_valid())
        ql::raise_type_error(cname + ": error_map requires a connector_id (exceptions must be scoped to the "
                                     "connector that owns them)");
    nb::object cid = nb::getattr(cls, "connector_id");
    std::vector<std::tuple<nb::object, nb::object, nb::object>> entries;
    for (nb::handle item : own_map.attr("items")()) {
        nb::object key = item[0];
        auto [category, code] = error_map_value(cname, key, item[1]);
        entries.emplace_back(key, category, code);
    }
    for (auto &[key, category, code] : entries)
        S->error_mapper_register(cid, key, category, nb::arg("code") = code);
}

// A class with its own connector id goes into the connector index.
void register_in_index(nb::handle cls) {
    if (!own_ns_get(cls, "connector_id").is_valid())
        return;
    nb::object cid = nb::getattr(cls, "connector_id");
    PyObject_SetItem(S->index.ptr(), cid.ptr(), cls.ptr());
    if (PyErr_Occurred())
        throw nb::python_error();
    S->log.log(ql::DEBUG, "Registered ConnectorBase subclass", nb::tuple(),
               [&] { return ql::kv("connector_id", cid); });
}

nb::object init_subclass(ql::Args &a) {
    nb::handle cls = a[0];
    nb::object parent = ql::super_attr(S->connector_base, cls, "__init_subclass__");
    PyObject *r = PyObject_Call(parent.ptr(), nb::tuple().ptr(), a.var_kw.ptr());
    if (!r)
        throw nb::python_error();
    Py_DECREF(r);
    // intermediate bases opt out
    nb::object abstract = own_ns_get(cls, "_ql_abstract_base");
    if (abstract.is_valid() && truthy(abstract))
        return nb::none();
    generate_methods_from_action_specs(cls);
    std::string cname = cls_name(cls);
    nb::dict registry = build_action_registry(cls, cname);
    nb::setattr(cls, "_action_registry", registry);
    check_distinct_inputs(registry, cname);
    nb::object union_model = union_input_model(registry, cname);
    nb::setattr(cls, "_union_input_model", union_model);
    union_model.attr("model_rebuild")();
    check_output_model(cls, cname);
    check_breaker_settings(cls, cname);
    register_error_map(cls, cname);
    register_in_index(cls);
    return nb::none();
}

} // namespace

// ConnectorBase: what a subclass declares, and the hook that validates it at definition.
void add_declaration_side(ql::ClassBuilder &cb) {
    cb.attr("__annotations__",
            ql::str_annotations({{"connector_id", "str"},
            {"action", "str"},
            {"error_map", "ClassVar[Dict[Type[BaseException], Tuple[ErrorCategory, str]]]"},
            {"output_model", "ClassVar[Type[BaseModel]]"},
            {"_ql_abstract_base", "ClassVar[bool]"},
            {"_action_registry", "ClassVar[Dict[str, QlActionMeta]]"},
            {"_union_input_model", "ClassVar[Type[RootModel[Any]]]"},
            {"breaker_fail_max", "ClassVar[int]"},
            {"breaker_reset_timeout", "ClassVar[float]"}}));
    cb.attr("action", nb::str("execute"));
    cb.attr("error_map", nb::dict());
    // each tenant's breaker opens after this many consecutive vendor failures, and lets a trial
    // call through after this many seconds
    cb.attr("breaker_fail_max", nb::int_(5));
    cb.attr("breaker_reset_timeout", nb::int_(30));
    cb.attr("_ql_abstract_base", nb::bool_(false));
    cb.ns()["__init_subclass__"] =
        ql::builtins().classmethod(cb.function("__init_subclass__", {ql::arg("cls"), ql::varkw("kwargs")}, init_subclass));
}

} // namespace qlcb
