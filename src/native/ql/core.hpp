// Shared basics of the native toolkit: raising Python exceptions from C++, exception chaining,
// translating a C++ exception into the current Python error, interned names and imports.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace nb = nanobind;

namespace ql {

// Objects created at module init live for the process: they are never destroyed, so no Python
// object is released after the interpreter has finalised.
template <class T, class... A> T &forever(A &&...a) { return *new T(std::forward<A>(a)...); }

inline nb::object import(const char *name) { return nb::module_::import_(name); }

// An interned Python string that lives for the process; cheap to pass as an attribute name.
inline nb::handle intern(const char *s) {
    PyObject *o = PyUnicode_InternFromString(s);
    if (!o)
        throw nb::python_error();
    return o; // deliberately leaked: one per call site
}

// Raise the given exception instance as the current Python error, keeping its traceback and
// without touching its __context__ (PyErr_SetObject would).
[[noreturn]] inline void raise(nb::handle exc) {
    PyObject *tb = PyException_GetTraceback(exc.ptr());
    PyErr_Restore(Py_NewRef((PyObject *)Py_TYPE(exc.ptr())), Py_NewRef(exc.ptr()), tb);
    throw nb::python_error();
}

[[noreturn]] inline void raise(PyObject *type, const std::string &msg) {
    PyObject *text = PyUnicode_DecodeUTF8(msg.data(), (Py_ssize_t)msg.size(), "surrogateescape");
    if (text) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw nb::python_error();
}

[[noreturn]] inline void raise_type_error(const std::string &msg) { raise(PyExc_TypeError, msg); }
[[noreturn]] inline void raise_value_error(const std::string &msg) { raise(PyExc_ValueError, msg); }

// `from <module> import <name>`, with the ImportError Python gives for a missing name.
inline nb::object import_from(const char *module, const char *name) {
    nb::object fromlist = nb::make_tuple(name);
    PyObject *mod = PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0);
    if (!mod)
        throw nb::python_error();
    PyObject *v = PyObject_GetAttrString(mod, name);
    Py_DECREF(mod);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        raise(PyExc_ImportError, std::string("cannot import name '") + name + "' from '" + module + "'");
    }
    return nb::steal(v);
}

// Instantiate an exception type with the given arguments.
template <class... A> nb::object make_exc(nb::handle type, A &&...args) {
    return type(std::forward<A>(args)...);
}

// `raise exc from cause` (cause may be None for `from None`); `context` is the exception being
// handled when this one is raised, as Python records it implicitly.
[[noreturn]] inline void raise_from(nb::handle exc, nb::handle cause, nb::handle context = nb::handle()) {
    if (cause.is_none()) {
        PyException_SetCause(exc.ptr(), nullptr);
        ((PyBaseExceptionObject *)exc.ptr())->suppress_context = 1;
    } else {
        PyException_SetCause(exc.ptr(), Py_NewRef(cause.ptr()));
    }
    nb::handle ctx = context.is_valid() ? context : (cause.is_none() ? nb::handle() : cause);
    if (ctx.is_valid() && ctx.ptr() != exc.ptr())
        PyException_SetContext(exc.ptr(), Py_NewRef(ctx.ptr()));
    raise(exc);
}

// Raise `exc` while `handled` is being handled: sets __context__ as an `except` block would.
[[noreturn]] inline void raise_during(nb::handle exc, nb::handle handled) {
    if (handled.is_valid() && handled.ptr() != exc.ptr() && !handled.is_none())
        PyException_SetContext(exc.ptr(), Py_NewRef(handled.ptr()));
    raise(exc);
}

// The exception object carried by a python_error (a new reference).
inline nb::object exc_value(const nb::python_error &e) { return nb::borrow(e.value()); }

// Turn whatever C++ exception is in flight into the current Python error. Call from a catch(...)
// block at every boundary where C++ code returns to the interpreter through the raw C API.
inline void set_python_error_from_current() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyObject *t = PyExc_RuntimeError;
        switch (e.type()) {
        case nb::exception_type::stop_iteration: t = PyExc_StopIteration; break;
        case nb::exception_type::index_error: t = PyExc_IndexError; break;
        case nb::exception_type::key_error: t = PyExc_KeyError; break;
        case nb::exception_type::value_error: t = PyExc_ValueError; break;
        case nb::exception_type::type_error: t = PyExc_TypeError; break;
        case nb::exception_type::buffer_error: t = PyExc_BufferError; break;
        case nb::exception_type::import_error: t = PyExc_ImportError; break;
        case nb::exception_type::attribute_error: t = PyExc_AttributeError; break;
        default: break;
        }
        PyErr_SetString(t, e.what());
    } catch (const nb::cast_error &e) {
        PyErr_SetString(PyExc_TypeError, e.what()[0] ? e.what() : "incompatible argument type");
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

// Text helpers. Text that cannot be encoded (lone surrogates) raises UnicodeEncodeError.
inline std::string utf8_of(nb::handle s) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (p)
        return std::string(p, (size_t)n);
    // lone surrogates: carry them as surrogateescape bytes, which raise() decodes back
    PyErr_Clear();
    PyObject *b = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass");
    if (!b)
        throw nb::python_error();
    std::string out(PyBytes_AS_STRING(b), (size_t)PyBytes_GET_SIZE(b));
    Py_DECREF(b);
    return out;
}
inline std::string repr_of(nb::handle o) { return utf8_of(nb::repr(o)); }
inline std::string str_of(nb::handle o) { return utf8_of(nb::str(o)); }
inline std::string type_name_of(nb::handle o) { return utf8_of(nb::type_name(o.type())); }

inline bool is_str(nb::handle o) { return PyUnicode_Check(o.ptr()); }
inline bool is_dict(nb::handle o) { return PyDict_Check(o.ptr()); }

// UTF-8 view of a str object (valid while the object lives).
inline std::string_view view(nb::handle s) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p)
        throw nb::python_error();
    return {p, (size_t)n};
}

// dict(o): a shallow copy of a dict, or a new dict built from any mapping / pairs.
inline nb::dict copy_dict(nb::handle o) {
    PyObject *d = PyDict_Check(o.ptr()) ? PyDict_Copy(o.ptr()) : PyObject_CallOneArg((PyObject *)&PyDict_Type, o.ptr());
    if (!d)
        throw nb::python_error();
    return nb::steal<nb::dict>(d);
}

// Argument checks whose messages name the parameter.
inline void require_str(nb::handle v, const char *param) {
    if (!is_str(v))
        raise_type_error(std::string(param) + " must be a str, not " + type_name_of(v));
}
inline void require_str_or_none(nb::handle v, const char *param) {
    if (!v.is_none() && !is_str(v))
        raise_type_error(std::string(param) + " must be a str or None, not " + type_name_of(v));
}
inline void require_dict_or_none(nb::handle v, const char *param) {
    if (!v.is_none() && !is_dict(v))
        raise_type_error(std::string(param) + " must be a dict or None, not " + type_name_of(v));
}

} // namespace ql
