// Logging on a named host logger: %-style message with arguments and an `extra` mapping. The
// `extra` dict is built only when the level is enabled, so disabled records cost one call.
#pragma once

#include "core.hpp"

namespace ql {

enum Level { DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40, CRITICAL = 50 };

class Logger {
  public:
    explicit Logger(const char *name) {
        static nb::object &get = forever<nb::object>(import("logging").attr("getLogger"));
        obj_ = get(name);
        enabled_ = obj_.attr("isEnabledFor");
        log_ = obj_.attr("_log");
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
    template <class F> void log(int level, const char *msg, nb::tuple args, F &&make_extra) const {
        if (!enabled(level))
            return;
        log_(level, msg, args, nb::arg("extra") = make_extra());
    }
    void log(int level, const char *msg, nb::tuple args = nb::tuple()) const {
        if (!enabled(level))
            return;
        log_(level, msg, args);
    }

  private:
    nb::object obj_, enabled_, log_, cache_;
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
