// Value records: a plain class with __slots__, a generated constructor taking the fields in order
// (positional or keyword, with defaults), dataclass-like __repr__ and __eq__; frozen records refuse
// assignment and deletion with dataclasses.FrozenInstanceError and hash by value. They carry the
// dataclass description (__dataclass_fields__, __dataclass_params__), so dataclasses.fields,
// replace, asdict and is_dataclass treat them as the dataclasses they stand for.
#pragma once

#include "classes.hpp"

namespace ql {

struct Field {
    const char *name;
    nb::object dflt; // invalid: required
};
inline Field field(const char *name) { return {name, nb::object()}; }
inline Field field(const char *name, nb::object d) { return {name, std::move(d)}; }

namespace detail {

struct RecordInfo {
    std::vector<nb::object> names; // interned
    bool frozen;
    nb::object cls; // the record class, once built
};

// The generated methods are plain functions, so they can be called with any `self`; refuse
// anything that is not a record instance, as a method descriptor would. __init__ in particular
// writes slots directly and must never reach a foreign object (a type's dict, say).
inline void require_record(const RecordInfo &ri, nb::handle self, const char *method) {
    auto *tp = (PyTypeObject *)ri.cls.ptr();
    if (!tp || !PyObject_TypeCheck(self.ptr(), tp))
        raise_type_error(std::string("descriptor '") + method + "' for '" + (tp ? tp->tp_name : "record") +
                         "' objects doesn't apply to a '" + type_name_of(self) + "' object");
}

inline nb::object record_values(const RecordInfo &ri, nb::handle self) {
    nb::object t = nb::steal(PyTuple_New((Py_ssize_t)ri.names.size()));
    for (size_t i = 0; i < ri.names.size(); ++i) {
        PyObject *v = PyObject_GetAttr(self.ptr(), ri.names[i].ptr());
        if (!v)
            throw nb::python_error();
        PyTuple_SET_ITEM(t.ptr(), (Py_ssize_t)i, v);
    }
    return t;
}

// The dataclass description of a record: taken from a stand-in class that dataclasses builds from
// the same fields, so the Field objects are the library's own, not imitations. Annotations not
// known yet (the stub's are applied when the module is complete) are typing.Any until then.
inline void describe_as_dataclass(nb::handle cls, const std::string &name, const std::vector<Field> &fields,
                                  bool frozen) {
    static nb::object &dataclasses = forever<nb::object>(import("dataclasses"));
    static nb::object &any = forever<nb::object>(import_from("typing", "Any"));
    static nb::object &repeat = forever<nb::object>(import_from("itertools", "repeat"));
    PyObject *cd = ((PyTypeObject *)cls.ptr())->tp_dict;
    PyObject *ann = cd ? PyDict_GetItemString(cd, "__annotations__") : nullptr;
    nb::list field_defs;
    for (const Field &f : fields) {
        PyObject *t = ann && PyDict_Check(ann) ? PyDict_GetItemString(ann, f.name) : nullptr;
        nb::object type = t ? nb::borrow(t) : any;
        if (!f.dflt.is_valid()) {
            field_defs.append(nb::make_tuple(f.name, type));
            continue;
        }
        // dataclasses refuses unhashable defaults; a factory handing out the same object
        // describes the record's shared default faithfully
        nb::object field_def = PyObject_HashNotImplemented == Py_TYPE(f.dflt.ptr())->tp_hash
                              ? dataclasses.attr("field")(nb::arg("default_factory") = repeat(f.dflt).attr("__next__"))
                              : dataclasses.attr("field")(nb::arg("default") = f.dflt);
        field_defs.append(nb::make_tuple(f.name, type, field_def));
    }
    nb::object standin = dataclasses.attr("make_dataclass")(nb::str(name.c_str()), field_defs, nb::arg("frozen") = frozen,
                                                           nb::arg("eq") = true);
    nb::setattr(cls, "__dataclass_fields__", standin.attr("__dataclass_fields__"));
    nb::setattr(cls, "__dataclass_params__", standin.attr("__dataclass_params__"));
}

} // namespace detail

// `extra` may hold further namespace entries (methods, class attributes) built by the caller.
inline nb::object make_record(const std::string &module, const std::string &qualname, std::vector<Field> fields,
                              bool frozen, const char *doc = nullptr, std::function<void(ClassBuilder &)> extra = {}) {
    auto &ri = forever<detail::RecordInfo>();
    ri.frozen = frozen;
    std::vector<Param> params{arg("self")};
    nb::list slot_names;
    for (auto &f : fields) {
        ri.names.push_back(nb::steal(PyUnicode_InternFromString(f.name)));
        params.push_back(f.dflt.is_valid() ? arg(f.name, f.dflt) : arg(f.name));
        slot_names.append(nb::str(f.name));
    }
    ClassBuilder cb(module, qualname, doc);
    cb.ns()["__slots__"] = nb::tuple(slot_names);
    cb.ns()["__match_args__"] = nb::tuple(slot_names);
    cb.method("__init__", params, [&ri](Args &a) -> nb::object {
        detail::require_record(ri, a[0], "__init__");
        for (size_t i = 0; i < ri.names.size(); ++i)
            if (PyObject_GenericSetAttr(a[0].ptr(), ri.names[i].ptr(), a[i + 1].ptr()) < 0)
                throw nb::python_error();
        return nb::none();
    });
    cb.method("__repr__", {arg("self")}, [&ri](Args &a) -> nb::object {
        detail::require_record(ri, a[0], "__repr__");
        std::string out = utf8_of(nb::getattr(a[0].type(), "__qualname__"));
        out += "(";
        for (size_t i = 0; i < ri.names.size(); ++i) {
            if (i)
                out += ", ";
            out += view(ri.names[i]);
            out += "=";
            // a slot never assigned raises AttributeError, as in a dataclass
            PyObject *v = PyObject_GetAttr(a[0].ptr(), ri.names[i].ptr());
            if (!v)
                throw nb::python_error();
            out += repr_of(nb::steal(v));
        }
        out += ")";
        return nb::str(out.c_str(), out.size());
    });
    cb.method("__eq__", {arg("self"), arg("other")}, [&ri](Args &a) -> nb::object {
        detail::require_record(ri, a[0], "__eq__");
        if (a[0].type().ptr() != a[1].type().ptr())
            return nb::borrow(Py_NotImplemented);
        nb::object x = detail::record_values(ri, a[0]), y = detail::record_values(ri, a[1]);
        return nb::bool_(x.equal(y));
    });
    cb.method("__reduce__", {arg("self")}, [&ri](Args &a) -> nb::object {
        detail::require_record(ri, a[0], "__reduce__");
        return nb::make_tuple(a[0].type(), detail::record_values(ri, a[0]));
    });
    if (frozen) {
        static nb::object &frozen_error =
            forever<nb::object>(import("dataclasses").attr("FrozenInstanceError"));
        auto refuse = [](Args &a) -> nb::object {
            nb::object e = frozen_error(nb::str(("cannot assign to field " + repr_of(a[1])).c_str()));
            raise(e);
        };
        cb.method("__setattr__", {arg("self"), arg("name"), arg("value")}, refuse);
        cb.method("__delattr__", {arg("self"), arg("name")}, [](Args &a) -> nb::object {
            nb::object e = frozen_error(nb::str(("cannot delete field " + repr_of(a[1])).c_str()));
            raise(e);
        });
        cb.method("__hash__", {arg("self")}, [&ri](Args &a) -> nb::object {
            detail::require_record(ri, a[0], "__hash__");
            return nb::int_(nb::hash(detail::record_values(ri, a[0])));
        });
    } else {
        cb.ns()["__hash__"] = nb::none();
    }
    if (extra)
        extra(cb);
    ri.cls = cb.build(builtins().object);
    detail::describe_as_dataclass(ri.cls, qualname.substr(qualname.rfind('.') + 1), fields, frozen);
    return ri.cls;
}

} // namespace ql
