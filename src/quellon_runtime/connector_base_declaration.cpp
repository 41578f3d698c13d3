// connector_base, declaration side: the action decorators, the methods generated from
// action_specs, and the class check at definition (__init_subclass__).
#include "connector_base_internal.hpp"

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

// The name of the first parameter other than self and trace_id; invalid when there is none or
// the member has no signature.
nb::object input_param_name(nb::handle member) {
    try {
        nb::object params = S->signature(member).attr("parameters").attr("values")();
        for (nb::handle p : params) {
            nb::object pname = p.attr("name");
            std::string_view pn = ql::view(pname);
            if (pn != "self" && pn != "trace_id")
                return pname;
        }
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError))
            throw;
    }
    return nb::object();
}

// The metadata of one action member, checked: it needs an input parameter and model hints for
// that parameter and for its return value.
nb::object action_meta(const std::string &cname, nb::handle attr_name, nb::handle member, nb::handle action_name) {
    auto where_text = [&] { return cname + "." + ql::utf8_of(attr_name); };
    nb::object hints = type_hints_of(member);
    nb::object param_name = input_param_name(member);
    if (!param_name.is_valid())
        ql::raise_type_error(where_text() + ": @ql_action method must have a params argument after self");
    nb::object input_model = hints.attr("get")(param_name);
    nb::object output_model = hints.attr("get")("return");
    if (!is_model_class(input_model))
        ql::raise_type_error(where_text() + ": missing or invalid type hint for parameter " + ql::repr_of(param_name));
    if (!is_model_class(output_model))
        ql::raise_type_error(where_text() + ": missing or invalid return type hint");
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
        if (action_name.is_valid())
            registry[action_name] = action_meta(cname, attr_name, member, action_name);
    }
    return registry;
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

// The class's own error map, registered under its connector id.
void register_error_map(nb::handle cls, const std::string &cname) {
    nb::object own_map = own_ns_get(cls, "error_map");
    if (!own_map.is_valid() || !truthy(own_map))
        return;
    if (!own_ns_get(cls, "connector_id").is_valid())
        ql::raise_type_error(cname + ": error_map requires a connector_id (exceptions must be scoped to the "
                                     "connector that owns them)");
    nb::object cid = nb::getattr(cls, "connector_id");
    for (nb::handle item : own_map.attr("items")()) {
        auto [category, code] = unpack2(item[1]);
        S->error_mapper_register(cid, item[0], category, nb::arg("code") = code);
    }
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
    nb::object union_model = union_input_model(registry, cname);
    nb::setattr(cls, "_union_input_model", union_model);
    union_model.attr("model_rebuild")();
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
            {"_union_input_model", "ClassVar[Type[RootModel[Any]]]"}}));
    cb.attr("action", nb::str("execute"));
    cb.attr("error_map", nb::dict());
    cb.attr("_ql_abstract_base", nb::bool_(false));
    cb.ns()["__init_subclass__"] =
        ql::builtins().classmethod(cb.function("__init_subclass__", {ql::arg("cls"), ql::varkw("kwargs")}, init_subclass));
}

} // namespace qlcb
