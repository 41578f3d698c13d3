// Python-visible functions implemented in C++.
//
// A NativeFunction behaves like a Python function wherever callers look: it binds as a method
// (descriptor protocol), takes positional, keyword, keyword-only and variadic arguments by a
// declared signature with Python's own error messages, and carries __name__, __qualname__,
// __module__, __doc__, __defaults__, __kwdefaults__, __annotations__ and a __code__ object whose
// argument names and flags are real, so `inspect.signature`, `inspect.iscoroutinefunction` and
// `typing.get_type_hints` treat it as a function. Attributes live in an instance __dict__, so
// decorators may set markers on it and callers may rename it.
#pragma once

#include "core.hpp"

#include <structmember.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

namespace ql {

// The namespace of the module being initialised (set by QL_MODULE): the __globals__ of the
// functions it creates, where typing.get_type_hints and inspect resolve their annotations.
inline nb::object &module_globals() {
    static nb::object &g = forever<nb::object>();
    return g;
}

struct Param {
    enum Kind { Positional, KeywordOnly, VarArgs, VarKw };
    const char *name;
    nb::object dflt; // invalid handle: required
    Kind kind = Positional;
};

inline Param arg(const char *name) { return {name, nb::object(), Param::Positional}; }
inline Param arg(const char *name, nb::object d) { return {name, std::move(d), Param::Positional}; }
inline Param kwonly(const char *name) { return {name, nb::object(), Param::KeywordOnly}; }
inline Param kwonly(const char *name, nb::object d) { return {name, std::move(d), Param::KeywordOnly}; }
inline Param varargs(const char *name = "args") { return {name, nb::object(), Param::VarArgs}; }
inline Param varkw(const char *name = "kwargs") { return {name, nb::object(), Param::VarKw}; }

// Bound arguments in declaration order (positional, then keyword-only), then *args and **kwargs
// when declared. Handles are borrowed and valid for the duration of the call.
struct Args {
    PyObject **v;
    size_t n;
    nb::tuple var_args; // empty unless the function declares *args
    nb::dict var_kw;    // a null handle unless the function declares **kwargs (no dict per call)
    nb::handle operator[](size_t i) const { return v[i]; }
};

using Impl = std::function<nb::object(Args &)>;

struct FnInfo {
    std::string name;
    std::string qualname; // defaults to name
    std::string module;   // the documented __module__
    const char *doc = nullptr;
    bool is_async = false;
    nb::object annotations; // dict, or invalid for an empty one
};

namespace detail {

struct FnImpl {
    std::vector<nb::object> names; // interned str, declaration order, excluding *args/**kwargs
    std::vector<nb::object> defaults;
    size_t npos = 0, nkwonly = 0;
    bool has_varargs = false, has_varkw = false;
    std::string display; // name used in error messages
    std::string name;    // __name__ as created
    Impl impl;
};

// The native function whose body is running on this thread (innermost), for log records made in
// a body that the compiler only knows as a lambda.
inline const FnImpl *&current_fn() {
    static thread_local const FnImpl *current = nullptr;
    return current;
}

struct CurrentFn {
    const FnImpl *saved;
    explicit CurrentFn(const FnImpl *f) : saved(current_fn()) { current_fn() = f; }
    ~CurrentFn() { current_fn() = saved; }
    CurrentFn(const CurrentFn &) = delete;
    CurrentFn &operator=(const CurrentFn &) = delete;
};

struct FnObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FnImpl *impl;
    PyObject *dict;
    PyObject *weaklist;
};

inline std::string quoted_list(const std::vector<std::string> &names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i)
            out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

// Keyword arguments into their slots (or **kwargs): unexpected and repeated keywords are refused.
inline void bind_keywords(const FnImpl &f, Args &a, PyObject *const *values, PyObject *kwnames) {
    size_t total = a.n;
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        PyObject *val = values[k];
        size_t idx = total;
        for (size_t j = 0; j < total; ++j)
            if (f.names[j].ptr() == key) {
                idx = j;
                break;
            }
        if (idx == total)
            for (size_t j = 0; j < total; ++j)
                if (PyUnicode_Compare(f.names[j].ptr(), key) == 0) {
                    idx = j;
                    break;
                }
        if (idx == total) {
            if (!f.has_varkw)
                raise_type_error(f.display + "() got an unexpected keyword argument '" + std::string(view(key)) + "'");
            if (PyDict_SetItem(a.var_kw.ptr(), key, val) < 0)
                throw nb::python_error();
            continue;
        }
        if (a.v[idx])
            raise_type_error(f.display + "() got multiple values for argument '" + std::string(view(key)) + "'");
        a.v[idx] = val;
    }
}

// "f() takes N positional arguments but M were given", in Python's wording.
[[noreturn]] inline void raise_too_many_positional(const FnImpl &f, const Args &a, size_t nargs) {
    size_t ndefaults = 0, kwonly_given = 0;
    for (size_t j = 0; j < f.npos; ++j)
        ndefaults += f.defaults[j].is_valid();
    for (size_t j = f.npos; j < a.n; ++j)
        kwonly_given += a.v[j] != nullptr;
    std::string sig = ndefaults ? "from " + std::to_string(f.npos - ndefaults) + " to " + std::to_string(f.npos)
                                : std::to_string(f.npos);
    bool plural = ndefaults || f.npos != 1;
    std::string kwonly_sig;
    if (kwonly_given)
        kwonly_sig = std::string(" positional argument") + (nargs != 1 ? "s" : "") + " (and " +
                     std::to_string(kwonly_given) + " keyword-only argument" + (kwonly_given != 1 ? "s" : "") + ")";
    raise_type_error(f.display + "() takes " + sig + " positional argument" + (plural ? "s" : "") + " but " +
                     std::to_string(nargs) + kwonly_sig + (nargs == 1 && !kwonly_given ? " was" : " were") + " given");
}

// Defaults into the empty slots; false when a required argument is still missing.
inline bool fill_defaults(const FnImpl &f, Args &a) {
    bool complete = true;
    for (size_t j = 0; j < a.n; ++j) {
        if (a.v[j])
            continue;
        if (f.defaults[j].is_valid())
            a.v[j] = f.defaults[j].ptr();
        else
            complete = false;
    }
    return complete;
}

// "f() missing N required positional arguments: ..." (then keyword-only ones), in Python's wording.
[[noreturn]] inline void raise_missing(const FnImpl &f, const Args &a) {
    std::vector<std::string> missing_pos, missing_kw;
    for (size_t j = 0; j < a.n; ++j)
        if (!a.v[j])
            (j < f.npos ? missing_pos : missing_kw).push_back(std::string(view(f.names[j])));
    if (!missing_pos.empty())
        raise_type_error(f.display + "() missing " + std::to_string(missing_pos.size()) +
                         " required positional argument" + (missing_pos.size() == 1 ? "" : "s") + ": " +
                         quoted_list(missing_pos));
    raise_type_error(f.display + "() missing " + std::to_string(missing_kw.size()) +
                     " required keyword-only argument" + (missing_kw.size() == 1 ? "" : "s") + ": " +
                     quoted_list(missing_kw));
}

// Argument binding follows CPython's own order and wording: keywords first (unexpected keyword,
// multiple values), then too many positionals, then missing positionals, then missing keyword-only
// ones; messages name the function by its qualified name, as Python does.
inline PyObject *fn_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    FnImpl &f = *((FnObject *)self)->impl;
    size_t nargs = PyVectorcall_NARGS(nargsf);
    size_t total = f.npos + f.nkwonly;
    PyObject *small[12];
    std::unique_ptr<PyObject *[]> big;
    PyObject **slots = small;
    if (total > 12) {
        big.reset(new PyObject *[total]);
        slots = big.get();
    }
    for (size_t i = 0; i < total; ++i)
        slots[i] = nullptr;
    try {
        Args a{slots, total, nb::tuple(), f.has_varkw ? nb::dict() : nb::steal<nb::dict>(nb::handle())};
        if (f.has_varargs) {
            size_t extra = nargs > f.npos ? nargs - f.npos : 0;
            a.var_args = nb::steal<nb::tuple>(PyTuple_New((Py_ssize_t)extra));
            for (size_t i = 0; i < extra; ++i)
                PyTuple_SET_ITEM(a.var_args.ptr(), (Py_ssize_t)i, Py_NewRef(args[f.npos + i]));
        }
        size_t npassed = nargs < f.npos ? nargs : f.npos;
        for (size_t i = 0; i < npassed; ++i)
            slots[i] = args[i];
        if (kwnames)
            bind_keywords(f, a, args + nargs, kwnames);
        if (nargs > f.npos && !f.has_varargs)
            raise_too_many_positional(f, a, nargs);
        if (!fill_defaults(f, a))
            raise_missing(f, a);
        CurrentFn running(&f);
        nb::object r = f.impl(a);
        return r.release().ptr();
    } catch (...) {
        set_python_error_from_current();
        return nullptr;
    }
}

inline PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline int fn_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(((FnObject *)self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

inline int fn_clear(PyObject *self) {
    Py_CLEAR(((FnObject *)self)->dict);
    return 0;
}

inline void fn_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FnObject *f = (FnObject *)self;
    if (f->weaklist)
        PyObject_ClearWeakRefs(self);
    fn_clear(self);
    delete f->impl;
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyObject *fn_repr(PyObject *self) {
    PyObject *q = PyObject_GetAttrString(self, "__qualname__");
    if (!q) {
        PyErr_Clear();
        return PyUnicode_FromFormat("<function at %p>", self);
    }
    PyObject *r = PyUnicode_FromFormat("<function %U at %p>", q, self);
    Py_DECREF(q);
    return r;
}

// Pickled by reference, as Python pickles functions: the qualified name, looked up in __module__
// on load (pickle resolves "Cls.meth" through the class), so copy returns the function itself.
inline PyObject *fn_reduce(PyObject *self, PyObject *) noexcept {
    PyObject *d = ((FnObject *)self)->dict;
    PyObject *q = d ? PyDict_GetItemString(d, "__qualname__") : nullptr;
    if (!q || !PyUnicode_Check(q)) {
        PyErr_SetString(PyExc_TypeError, "cannot pickle a native function without a __qualname__");
        return nullptr;
    }
    return Py_NewRef(q);
}

inline PyTypeObject *fn_type() {
    static PyTypeObject *tp = [] {
        static PyMethodDef methods[] = {{"__reduce__", (PyCFunction)fn_reduce, METH_NOARGS, nullptr},
                                        {nullptr, nullptr, 0, nullptr}};
        static PyMemberDef members[] = {
            {"__dictoffset__", T_PYSSIZET, offsetof(FnObject, dict), READONLY, nullptr},
            {"__weaklistoffset__", T_PYSSIZET, offsetof(FnObject, weaklist), READONLY, nullptr},
            {"__vectorcalloffset__", T_PYSSIZET, offsetof(FnObject, vectorcall), READONLY, nullptr},
            {nullptr, 0, 0, 0, nullptr}};
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, (void *)fn_dealloc},
            {Py_tp_traverse, (void *)fn_traverse},
            {Py_tp_clear, (void *)fn_clear},
            {Py_tp_call, (void *)PyVectorcall_Call},
            {Py_tp_descr_get, (void *)fn_descr_get},
            {Py_tp_repr, (void *)fn_repr},
            {Py_tp_members, (void *)members},
            {Py_tp_methods, (void *)methods},
            {0, nullptr}};
        static PyType_Spec type_spec = {"quellon_runtime.native_function", sizeof(FnObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                       Py_TPFLAGS_METHOD_DESCRIPTOR,
                                   slots};
        PyObject *t = PyType_FromSpec(&type_spec);
        if (!t)
            throw nb::python_error();
        return (PyTypeObject *)t;
    }();
    return tp;
}

// The template every generated code object is derived from.
inline nb::object &empty_code() {
    static nb::object &c = forever<nb::object>(nb::steal((PyObject *)PyCode_NewEmpty("<native>", "<native>", 0)));
    return c;
}

} // namespace detail

// Build a code object carrying only what introspection reads: names, counts and flags.
inline nb::object make_code(const std::string &name, const std::string &qualname, const std::vector<Param> &params,
                            bool is_async) {
    int argcount = 0, kwonly_n = 0, flags = CO_OPTIMIZED | CO_NEWLOCALS;
    std::vector<const char *> pos, kw, var;
    for (const Param &p : params) {
        switch (p.kind) {
        case Param::Positional: pos.push_back(p.name); ++argcount; break;
        case Param::KeywordOnly: kw.push_back(p.name); ++kwonly_n; break;
        case Param::VarArgs: flags |= CO_VARARGS; break;
        case Param::VarKw: flags |= CO_VARKEYWORDS; break;
        }
    }
    // co_varnames order: positional, keyword-only, *args, **kwargs
    for (const Param &p : params)
        if (p.kind == Param::VarArgs)
            var.push_back(p.name);
    for (const Param &p : params)
        if (p.kind == Param::VarKw)
            var.push_back(p.name);
    nb::list names;
    for (auto *n : pos)
        names.append(nb::str(n));
    for (auto *n : kw)
        names.append(nb::str(n));
    for (auto *n : var)
        names.append(nb::str(n));
    if (is_async)
        flags |= CO_COROUTINE;
    nb::object replace = detail::empty_code().attr("replace");
    nb::dict kwargs;
    kwargs["co_argcount"] = argcount;
    kwargs["co_posonlyargcount"] = 0;
    kwargs["co_kwonlyargcount"] = kwonly_n;
    kwargs["co_nlocals"] = nb::len(names);
    kwargs["co_varnames"] = nb::tuple(names);
    kwargs["co_flags"] = flags;
    kwargs["co_name"] = nb::str(name.c_str());
    kwargs["co_qualname"] = nb::str(qualname.c_str());
    return replace(**kwargs);
}

inline nb::object make_function(FnInfo info, std::vector<Param> params, Impl impl) {
    auto fi = std::make_unique<detail::FnImpl>();
    nb::list defaults;
    nb::dict kwdefaults;
    bool any_kwdefault = false;
    // positional first, then keyword-only, as the binder expects
    for (int pass = 0; pass < 2; ++pass)
        for (const Param &p : params) {
            if (p.kind == Param::VarArgs) {
                fi->has_varargs = true;
                continue;
            }
            if (p.kind == Param::VarKw) {
                fi->has_varkw = true;
                continue;
            }
            if ((pass == 0) != (p.kind == Param::Positional))
                continue;
            fi->names.push_back(nb::steal(PyUnicode_InternFromString(p.name)));
            fi->defaults.push_back(p.dflt);
            if (p.kind == Param::Positional) {
                ++fi->npos;
                if (p.dflt.is_valid())
                    defaults.append(p.dflt);
            } else {
                ++fi->nkwonly;
                if (p.dflt.is_valid()) {
                    kwdefaults[p.name] = p.dflt;
                    any_kwdefault = true;
                }
            }
        }
    if (info.qualname.empty())
        info.qualname = info.name;
    fi->display = info.qualname;
    fi->name = info.name;
    fi->impl = std::move(impl);

    PyTypeObject *tp = detail::fn_type();
    auto *obj = (detail::FnObject *)PyType_GenericAlloc(tp, 0);
    if (!obj)
        throw nb::python_error();
    obj->vectorcall = detail::fn_vectorcall;
    obj->impl = fi.release();
    obj->dict = PyDict_New();
    obj->weaklist = nullptr;
    nb::object fn = nb::steal((PyObject *)obj);
    nb::dict d = nb::borrow<nb::dict>(obj->dict);
    d["__name__"] = nb::str(info.name.c_str());
    d["__qualname__"] = nb::str(info.qualname.c_str());
    d["__module__"] = nb::str(info.module.c_str());
    d["__doc__"] = info.doc ? nb::object(nb::str(info.doc)) : nb::none();
    d["__code__"] = make_code(info.name, info.qualname, params, info.is_async);
    d["__defaults__"] = nb::len(defaults) ? nb::object(nb::tuple(defaults)) : nb::none();
    d["__kwdefaults__"] = any_kwdefault ? nb::object(kwdefaults) : nb::none();
    d["__annotations__"] = info.annotations.is_valid() ? info.annotations : nb::dict();
    if (module_globals().is_valid())
        d["__globals__"] = module_globals();
    // unittest.mock reads the signature of a callable that is not a Python function from its
    // __call__; the function itself answers, so create_autospec checks calls as for a function.
    // Not for methods: mock skips "self" only for Python functions and would then demand it.
    bool method = !params.empty() && params[0].kind == Param::Positional &&
                  (std::string_view(params[0].name) == "self" || std::string_view(params[0].name) == "cls");
    if (!method)
        d["__call__"] = fn;
    return fn;
}

// A module-level function `name` of `module`, set on `m` and returned.
inline nb::object def_function(nb::handle m, const char *module, const char *name, std::vector<Param> params,
                               Impl impl, nb::object annotations, const char *doc) {
    FnInfo info;
    info.name = name;
    info.module = module;
    info.doc = doc;
    info.annotations = std::move(annotations);
    nb::object f = make_function(std::move(info), std::move(params), std::move(impl));
    m.attr(name) = f;
    return f;
}

// An __annotations__ dict whose annotations are strings: {{"x", "str"}, {"return", "None"}}.
inline nb::dict str_annotations(std::initializer_list<std::pair<const char *, const char *>> items) {
    nb::dict d;
    for (auto &[k, v] : items)
        d[k] = nb::str(v);
    return d;
}

// `functools.lru_cache(maxsize=None)(fn)`: for a function without arguments, the body runs once
// per process (a warning written once) while the host can still reset it with cache_clear().
inline nb::object memoised(nb::handle fn) {
    return nb::module_::import_("functools").attr("lru_cache")(nb::arg("maxsize") = nb::none())(fn);
}

} // namespace ql
