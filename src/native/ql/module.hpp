// Module definition for the native modules: QL_MODULE(name, m) { ... } instead of NB_MODULE.
//
// Two differences from NB_MODULE. An error raised while the module initialises reaches the
// importer as itself (a bad setting raises its ValueError, as a Python module would), not wrapped
// in "ImportError: Encountered an error while initializing the extension". And at the end of
// initialisation the texts of the module's stub, generated into a header at build time
// (scripts/gen_stub_docs.py), fill what the module left out: docstrings and string annotations,
// and the names those annotations use are bound in the module as its imports would bind them.
#pragma once

#include "function.hpp"

namespace ql {

struct StubDoc {
    const char *path; // dotted below the module; "" is the module itself
    const char *doc;
};
struct StubAnnotation {
    const char *path;
    const char *name; // parameter, class attribute or "return"
    const char *annotation;
};
struct StubImport {
    const char *name;   // the name bound in the module
    const char *module; // imported from
    const char *attr;   // nullptr: the module itself
};
struct StubTypeVar {
    const char *name;
    const char *bound; // a string annotation, or nullptr
};
struct StubData {
    const StubDoc *docs;
    const StubAnnotation *annotations;
    const StubImport *imports;
    const StubTypeVar *typevars;
};

namespace detail {

// obj.<path> for a dotted path; members are looked up in the class's own __dict__ so that the
// descriptor itself (classmethod, property) is found and an inherited member is never touched.
inline nb::object resolve_path(nb::handle m, std::string_view path) {
    nb::object cur = nb::borrow(m);
    while (!path.empty()) {
        size_t dot = path.find('.');
        std::string part(path.substr(0, dot));
        path = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
        PyObject *next = nullptr;
        if (PyType_Check(cur.ptr())) {
            PyObject *d = ((PyTypeObject *)cur.ptr())->tp_dict;
            next = d ? PyDict_GetItemString(d, part.c_str()) : nullptr; // borrowed
            Py_XINCREF(next);
        } else {
            next = PyObject_GetAttrString(cur.ptr(), part.c_str());
            if (!next)
                PyErr_Clear();
        }
        if (!next)
            return nb::object();
        cur = nb::steal(next);
    }
    return cur;
}

// The functions behind a descriptor: classmethod/staticmethod wrap one, a property has fget.
inline nb::object underlying(nb::handle obj) {
    if (PyObject_TypeCheck(obj.ptr(), &PyClassMethod_Type) || PyObject_TypeCheck(obj.ptr(), &PyStaticMethod_Type) ||
        PyObject_TypeCheck(obj.ptr(), &PyProperty_Type)) {
        PyObject *f = PyObject_GetAttrString(obj.ptr(), PyObject_TypeCheck(obj.ptr(), &PyProperty_Type) ? "fget" : "__func__");
        if (!f) {
            PyErr_Clear();
            return nb::object();
        }
        return nb::steal(f);
    }
    return nb::borrow(obj);
}

inline bool has_doc(nb::handle obj) {
    PyObject *d = nullptr;
    if (PyType_Check(obj.ptr())) { // the class's own, not one inherited from a base
        PyObject *cd = ((PyTypeObject *)obj.ptr())->tp_dict;
        d = cd ? PyDict_GetItemString(cd, "__doc__") : nullptr;
        return d && d != Py_None;
    }
    d = PyObject_GetAttrString(obj.ptr(), "__doc__");
    if (!d) {
        PyErr_Clear();
        return false;
    }
    bool has = d != Py_None;
    Py_DECREF(d);
    return has;
}

inline void set_attr_quietly(nb::handle obj, const char *name, nb::handle value) {
    if (PyObject_SetAttrString(obj.ptr(), name, value.ptr()) < 0)
        PyErr_Clear();
}

// The annotations dict of a class (its own, created when missing) or of a function.
inline nb::object own_annotations(nb::handle obj) {
    if (PyType_Check(obj.ptr())) {
        PyObject *d = ((PyTypeObject *)obj.ptr())->tp_dict;
        PyObject *a = d ? PyDict_GetItemString(d, "__annotations__") : nullptr;
        if (a && PyDict_Check(a))
            return nb::borrow(a);
        nb::dict fresh;
        if (PyObject_SetAttrString(obj.ptr(), "__annotations__", fresh.ptr()) < 0) {
            PyErr_Clear();
            return nb::object();
        }
        return fresh;
    }
    PyObject *a = PyObject_GetAttrString(obj.ptr(), "__annotations__");
    if (!a) {
        PyErr_Clear();
        return nb::object();
    }
    if (!PyDict_Check(a)) {
        Py_DECREF(a);
        return nb::object();
    }
    return nb::steal(a);
}

inline bool ident_start(char c) { return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool ident_char(char c) { return ident_start(c) || (c >= '0' && c <= '9'); }

// The leading names of a string annotation: "Optional[Dict[str, x.Y]]" -> Optional, Dict, str, x.
inline void annotation_names(std::string_view s, std::vector<std::string> &out) {
    char quote = 0;
    for (size_t i = 0; i < s.size();) {
        char c = s[i];
        if (quote) { // names inside a nested string annotation are resolved when it is evaluated
            if (c == quote)
                quote = 0;
            ++i;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
            ++i;
            continue;
        }
        if (!ident_start(c)) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < s.size() && ident_char(s[j]))
            ++j;
        bool attribute = i > 0 && s[i - 1] == '.';
        if (!attribute)
            out.emplace_back(s.substr(i, j - i));
        i = j;
    }
}

// Bind in the module every name its string annotations use that it lacks: from the stub's own
// imports first, then from typing (the runtime's annotations use the typing aliases).
inline void bind_annotation_names(nb::handle m, const StubData &data, const std::vector<nb::object> &ann_dicts) {
    PyObject *globals = PyModule_GetDict(m.ptr());
    PyObject *builtins_dict = PyEval_GetBuiltins();
    std::vector<std::string> names;
    for (const nb::object &d : ann_dicts) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(d.ptr(), &pos, &key, &value))
            if (PyUnicode_Check(value)) {
                Py_ssize_t n = 0;
                const char *p = PyUnicode_AsUTF8AndSize(value, &n);
                if (!p) {
                    PyErr_Clear();
                    continue;
                }
                annotation_names(std::string_view(p, (size_t)n), names);
            }
    }
    nb::object typing;
    for (const std::string &name : names) {
        if (name == "None" || name == "True" || name == "False")
            continue;
        if (PyDict_GetItemString(globals, name.c_str()) ||
            (builtins_dict && PyDict_GetItemString(builtins_dict, name.c_str())))
            continue;
        PyObject *value = nullptr;
        for (const StubImport *imp = data.imports; imp && imp->name; ++imp) {
            if (name != imp->name)
                continue;
            PyObject *mod = PyImport_ImportModule(imp->module);
            if (mod && imp->attr) {
                value = PyObject_GetAttrString(mod, imp->attr);
                Py_DECREF(mod);
            } else {
                value = mod; // "import a" or "import a.b as c"
            }
            break;
        }
        if (!value)
            PyErr_Clear(); // an import that fails leaves the name to the fallbacks below
        for (const StubTypeVar *tv = data.typevars; !value && tv && tv->name; ++tv) {
            if (name != tv->name)
                continue;
            // TypeVar("_F", bound="...") keeps the bound as a forward reference: nothing is evaluated
            nb::object tvar = import_from("typing", "TypeVar");
            nb::object made = tv->bound ? tvar(name.c_str(), nb::arg("bound") = tv->bound) : tvar(name.c_str());
            value = made.release().ptr();
        }
        if (!value) {
            PyErr_Clear();
            if (!typing.is_valid()) {
                PyObject *t = PyImport_ImportModule("typing");
                if (!t)
                    throw nb::python_error();
                typing = nb::steal(t);
            }
            value = PyObject_GetAttrString(typing.ptr(), name.c_str());
            if (!value)
                PyErr_Clear();
        }
        if (value) {
            int rc = PyDict_SetItemString(globals, name.c_str(), value);
            Py_DECREF(value);
            if (rc < 0)
                throw nb::python_error();
        }
    }
}

} // namespace detail

namespace detail {

// The stub's docstrings, where the module's own objects have none.
inline void apply_docs(nb::handle m, const StubData &data) {
    for (const StubDoc *d = data.docs; d && d->path; ++d) {
        nb::str doc(d->doc);
        if (!*d->path) {
            if (!has_doc(m))
                set_attr_quietly(m, "__doc__", doc);
            continue;
        }
        nb::object obj = resolve_path(m, d->path);
        if (!obj.is_valid())
            continue; // the stub and the module differ (a member being added or removed)
        // a text the module sets itself stays: the stub only fills what has none
        nb::object f = underlying(obj);
        if (!has_doc(obj))
            set_attr_quietly(obj, "__doc__", doc);
        if (f.is_valid() && !f.is(obj) && !has_doc(f))
            set_attr_quietly(f, "__doc__", doc);
    }
}

// A record's field (a slot), declared in the stub as a read-only property: its annotation goes
// to the class; returns the class when it took one.
inline nb::object annotate_field(nb::handle m, const StubAnnotation *a) {
    std::string_view path(a->path);
    nb::object cls = resolve_path(m, path.substr(0, path.rfind('.')));
    nb::object ann = cls.is_valid() && PyType_Check(cls.ptr()) ? own_annotations(cls) : nb::object();
    nb::str key(path.substr(path.rfind('.') + 1).data(), path.size() - path.rfind('.') - 1);
    if (!ann.is_valid() || PyDict_Contains(ann.ptr(), key.ptr()))
        return nb::object();
    PyDict_SetItem(ann.ptr(), key.ptr(), nb::str(a->annotation).ptr());
    return cls;
}

// The stub's annotations, where the module's own objects have none; returns the classes given
// annotations.
inline std::vector<nb::object> apply_annotations(nb::handle m, const StubData &data) {
    std::vector<nb::object> classes;
    for (const StubAnnotation *a = data.annotations; a && a->path; ++a) {
        nb::object obj = resolve_path(m, a->path);
        if (!obj.is_valid())
            continue;
        if (Py_TYPE(obj.ptr()) == &PyMemberDescr_Type && std::string_view(a->name) == "return") {
            if (nb::object cls = annotate_field(m, a); cls.is_valid())
                classes.push_back(cls);
            continue;
        }
        nb::object target = PyType_Check(obj.ptr()) ? obj : underlying(obj);
        if (PyType_Check(obj.ptr()))
            classes.push_back(obj);
        if (!target.is_valid())
            continue;
        nb::object ann = own_annotations(target);
        if (!ann.is_valid())
            continue;
        nb::str key(a->name);
        if (!PyDict_Contains(ann.ptr(), key.ptr()))
            PyDict_SetItem(ann.ptr(), key.ptr(), nb::str(a->annotation).ptr());
    }
    return classes;
}

// A record's dataclass fields carry the annotations its class now has.
inline void retype_dataclass_fields(const std::vector<nb::object> &classes) {
    for (const nb::object &cls : classes) {
        PyObject *cd = ((PyTypeObject *)cls.ptr())->tp_dict;
        PyObject *fields = cd ? PyDict_GetItemString(cd, "__dataclass_fields__") : nullptr;
        PyObject *ann = cd ? PyDict_GetItemString(cd, "__annotations__") : nullptr;
        if (!fields || !ann || !PyDict_Check(fields) || !PyDict_Check(ann))
            continue;
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(ann, &pos, &key, &value)) {
            PyObject *field = PyDict_GetItem(fields, key);
            if (field && PyObject_SetAttrString(field, "type", value) < 0)
                PyErr_Clear();
        }
    }
}

// Every annotation dict the module's own classes and functions carry.
inline std::vector<nb::object> annotation_dicts(nb::handle m) {
    std::vector<nb::object> dicts;
    std::string modname = utf8_of(nb::getattr(m, "__name__"));
    auto add = [&](nb::handle obj) {
        nb::object f = PyType_Check(obj.ptr()) ? nb::borrow(obj) : underlying(obj);
        if (!f.is_valid())
            return;
        PyObject *a = nullptr;
        if (PyType_Check(f.ptr())) {
            PyObject *d = ((PyTypeObject *)f.ptr())->tp_dict;
            a = d ? PyDict_GetItemString(d, "__annotations__") : nullptr;
            Py_XINCREF(a);
        } else if (Py_TYPE(f.ptr()) == fn_type()) {
            a = PyObject_GetAttrString(f.ptr(), "__annotations__");
            if (!a)
                PyErr_Clear();
        }
        if (a && PyDict_Check(a))
            dicts.push_back(nb::steal(a));
        else
            Py_XDECREF(a);
    };
    nb::dict globals = nb::borrow<nb::dict>(PyModule_GetDict(m.ptr()));
    nb::list values = globals.values();
    for (nb::handle v : values) {
        add(v);
        if (!PyType_Check(v.ptr()))
            continue;
        nb::object owner = nb::getattr(v, "__module__", nb::none());
        if (!PyUnicode_Check(owner.ptr()) || view(owner) != modname)
            continue;
        PyObject *cd = ((PyTypeObject *)v.ptr())->tp_dict;
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (cd && PyDict_Next(cd, &pos, &key, &value))
            add(value);
    }
    return dicts;
}

} // namespace detail

// Apply the stub's texts to the freshly initialised module `m` (see the header comment).
inline void apply_stub(nb::handle m, const StubData &data) {
    detail::apply_docs(m, data);
    detail::retype_dataclass_fields(detail::apply_annotations(m, data));
    detail::bind_annotation_names(m, data, detail::annotation_dicts(m));
}

namespace detail {

inline StubData no_stub() {
    static const StubDoc docs[] = {{nullptr, nullptr}};
    static const StubAnnotation anns[] = {{nullptr, nullptr, nullptr}};
    static const StubImport imps[] = {{nullptr, nullptr, nullptr}};
    static const StubTypeVar tvars[] = {{nullptr, nullptr}};
    return StubData{docs, anns, imps, tvars};
}

// The module's body, then its stub texts; any error is left as the current Python error.
inline int module_exec(PyObject *m, void (*body)(nb::module_), const StubData &stub) noexcept {
    try {
        module_globals() = nb::borrow(PyModule_GetDict(m));
        body(nb::borrow<nb::module_>(m));
        apply_stub(m, stub);
        return 0;
    } catch (...) {
        set_python_error_from_current();
        return -1;
    }
}

} // namespace detail
} // namespace ql

#if defined(QL_HAS_STUB)
#include <ql_stub_data.hpp>
#else
#define QL_STUB_DATA (::ql::detail::no_stub())
#endif

#if NB_VERSION_MAJOR >= 3
// nanobind's own module definition, with the body run by ql::detail::module_exec.
#define QL_MODULE_IMPL(name, variable)                                                                     \
    static void ql_##name##_body(nanobind::module_);                                                       \
    static int ql_##name##_exec(PyObject *m) {                                                             \
        nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);                           \
        if (!nanobind::detail::internals)                                                                  \
            return -1;                                                                                     \
        return ::ql::detail::module_exec(m, ql_##name##_body, QL_STUB_DATA);                               \
    }                                                                                                      \
    static PyObject *ql_##name##_def = nullptr;                                                            \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject *PyInit_##name(void);                                   \
    extern "C" PyObject *PyInit_##name(void) {                                                             \
        nanobind::detail::init_singletons();                                                               \
        if (!nanobind::detail::nb_backend_init(#name))                                                     \
            return nullptr;                                                                                \
        if (!ql_##name##_def)                                                                              \
            ql_##name##_def = NB_CALL(module_new)(#name, nullptr, (void *)ql_##name##_exec, NB_ABI_MINOR_TAG); \
        return ql_##name##_def;                                                                            \
    }                                                                                                      \
    void ql_##name##_body(nanobind::module_ variable)
#else
// Older nanobind: its own definition (init errors arrive wrapped in ImportError).
#define QL_MODULE_IMPL(name, variable)                                                                     \
    static void ql_##name##_body(nanobind::module_);                                                       \
    NB_MODULE(name, ql_module_) {                                                                          \
        ::ql::module_globals() = nanobind::borrow(PyModule_GetDict(ql_module_.ptr()));                     \
        ql_##name##_body(ql_module_);                                                                      \
        ::ql::apply_stub(ql_module_, QL_STUB_DATA);                                                        \
    }                                                                                                      \
    void ql_##name##_body(nanobind::module_ variable)
#endif

#define QL_MODULE(name, variable) QL_MODULE_IMPL(name, variable)
