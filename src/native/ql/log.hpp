// Logging on a named host logger: %-style message with arguments and an `extra` mapping. The
// `extra` dict is built only when the level is enabled, so disabled records cost one call.
// Records name the C++ call site as their origin (file, function, line), as a Python module's
// records name theirs: logging's own caller lookup would find the event loop's frame instead.
#pragma once

#include "function.hpp"

#include <cctype>
#include <source_location>
#include <string_view>

namespace ql {

namespace detail {

// "quellon_runtime/connector_base.cpp" from the compiler's path of the source file: the part
// from the package directory on, with "/" separators, so records do not carry the build machine's
// directories (logging derives filename and module, "connector_base", from it).
inline nb::object log_pathname(const char *file) {
    std::string path(file);
    for (char &c : path)
        if (c == '\\')
            c = '/';
    size_t at = path.rfind("quellon_runtime/");
    if (at != std::string::npos)
        path.erase(0, at);
    return nb::str(path.c_str(), path.size());
}

// The function's own name from a compiler's description of it ("nb::object {anon}::run_body(...)",
// "class nanobind::object __cdecl `anonymous-namespace'::run_body(...)", a lambda inside it):
// the identifier before the first parameter list, without the "_body" of a coroutine body. A
// lambda is the body of a native function: the record names that function.
inline nb::object log_func_name(const char *signature) {
    std::string_view s(signature);
    const FnImpl *running = current_fn();
    if (running && (s.find("lambda") != std::string_view::npos || s.find("operator()") != std::string_view::npos))
        return nb::str(running->name.c_str(), running->name.size());
    size_t paren = s.find('(');
    while (paren != std::string_view::npos && s.substr(paren + 1).substr(0, 10) == "anonymous ")
        paren = s.find('(', paren + 1); // clang's "(anonymous namespace)::"
    std::string_view head = s.substr(0, paren);
    size_t end = head.size();
    while (end && !(std::isalnum((unsigned char)head[end - 1]) || head[end - 1] == '_'))
        --end;
    size_t start = end;
    while (start && (std::isalnum((unsigned char)head[start - 1]) || head[start - 1] == '_'))
        --start;
    std::string_view name = head.substr(start, end - start);
    constexpr std::string_view suffix = "_body";
    if (name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix)
        name.remove_suffix(suffix.size());
    if (name.empty())
        name = "<native>";
    return nb::str(name.data(), name.size());
}

} // namespace detail

enum Level { DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40, CRITICAL = 50 };

class Logger {
  public:
    explicit Logger(const char *name) {
        static nb::object &get = forever<nb::object>(import("logging").attr("getLogger"));
        obj_ = get(name);
        enabled_ = obj_.attr("isEnabledFor");
        make_record_ = obj_.attr("makeRecord");
        nb::object logging = import("logging");
        logging_dict_ = nb::borrow(PyModule_GetDict(logging.ptr()));
        factory_key_ = nb::steal(PyUnicode_InternFromString("_logRecordFactory"));
        nb::object stock = logging.attr("Logger").attr("__dict__")["makeRecord"];
        stock_make_record_ = PyMethod_Check(make_record_.ptr()) && PyMethod_GET_FUNCTION(make_record_.ptr()) == stock.ptr();
        handle_ = obj_.attr("handle");
        name_ = obj_.attr("name");
        PyObject *c = PyObject_GetAttrString(obj_.ptr(), "_cache");
        if (c && PyDict_Check(c))
            cache_ = nb::steal(c);
        else {
            Py_XDECREF(c);
            PyErr_Clear();
        }
    }
    const nb::object &object() const { return obj_; }
    // Logger.isEnabledFor, answered from the logger's own per-level cache when it holds the
    // level (logging clears that cache whenever levels change) and the logger is not disabled.
    bool enabled(int level) const {
        if (cache_.is_valid()) {
            PyObject **dictptr = _PyObject_GetDictPtr(obj_.ptr());
            PyObject *disabled = (dictptr && *dictptr) ? PyDict_GetItemString(*dictptr, "disabled") : nullptr;
            if (disabled == Py_False) {
                nb::object key = nb::int_(level);
                PyObject *hit = PyDict_GetItemWithError(cache_.ptr(), key.ptr());
                if (hit == Py_True)
                    return true;
                if (hit == Py_False)
                    return false;
                PyErr_Clear();
            }
        }
        return PyObject_IsTrue(enabled_(level).ptr()) == 1;
    }

    // make_extra: a callable returning nb::dict; only invoked when the level is enabled.
    template <class F>
    void log(int level, const char *msg, nb::tuple args, F &&make_extra,
             std::source_location where = std::source_location::current()) const {
        if (!enabled(level))
            return;
        emit(level, msg, args, make_extra(), where);
    }
    void log(int level, const char *msg, nb::tuple args = nb::tuple(),
             std::source_location where = std::source_location::current()) const {
        if (!enabled(level))
            return;
        emit(level, msg, args, nb::none(), where);
    }

  private:
    // What Logger._log does after finding the caller: makeRecord, then handle (which applies the
    // logger's filters and its disabled flag).
    void emit(int level, const char *msg, nb::handle args, nb::handle extra, const std::source_location &where) const {
        nb::object pathname = detail::log_pathname(where.file_name());
        nb::object func = detail::log_func_name(where.function_name());
        nb::object record = stock_make_record_ ? make_record(level, pathname, where.line(), msg, args, func, extra)
                                               : make_record_(name_, level, pathname, (long)where.line(), msg, args,
                                                              nb::none(), func, extra, nb::none());
#if defined(QL_LOG_MODULE)
        // A module built from several files: the record names the module (logging would name the
        // file), while its filename and line stay those of the call site.
        static nb::object &module_name = forever<nb::object>(nb::str(QL_LOG_MODULE));
        nb::setattr(record, "module", module_name);
#endif
        handle_(record);
    }

    // Logger.makeRecord's own steps without its Python frame: the record from logging's current
    // record factory, then each `extra` item added where it overwrites nothing.
    nb::object make_record(int level, nb::handle pathname, unsigned line, const char *msg, nb::handle args,
                           nb::handle func, nb::handle extra) const {
        PyObject *factory = PyDict_GetItem(logging_dict_.ptr(), factory_key_.ptr());
        if (!factory)
            return make_record_(name_, level, pathname, (long)line, msg, args, nb::none(), func, extra, nb::none());
        nb::object record = nb::borrow(factory)(name_, level, pathname, (long)line, msg, args, nb::none(), func,
                                                nb::none());
        if (extra.is_none())
            return record;
        nb::object dict = record.attr("__dict__");
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(extra.ptr(), &pos, &key, &value)) {
            int taken = PyDict_Contains(dict.ptr(), key);
            if (taken < 0)
                throw nb::python_error();
            if (taken || PyUnicode_CompareWithASCIIString(key, "message") == 0 ||
                PyUnicode_CompareWithASCIIString(key, "asctime") == 0) {
                PyErr_Format(PyExc_KeyError, "Attempt to overwrite %R in LogRecord", key);
                throw nb::python_error();
            }
            if (PyDict_SetItem(dict.ptr(), key, value) < 0)
                throw nb::python_error();
        }
        return record;
    }

    nb::object obj_, enabled_, make_record_, handle_, name_, cache_, logging_dict_, factory_key_;
    bool stock_make_record_ = false;
};

// dict(k1=v1, k2=v2, ...) from alternating key/value arguments.
template <class... A> nb::dict kv(A &&...a) {
    nb::dict d;
    auto put = [&](auto &&self, const char *k, auto &&v, auto &&...rest) -> void {
        d[k] = nb::cast(std::forward<decltype(v)>(v));
        if constexpr (sizeof...(rest) > 0)
            self(self, rest...);
    };
    if constexpr (sizeof...(a) > 0)
        put(put, std::forward<A>(a)...);
    return d;
}

} // namespace ql
