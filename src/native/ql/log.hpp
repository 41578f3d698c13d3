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
    }
    const nb::object &object() const { return obj_; }
    bool enabled(int level) const { return PyObject_IsTrue(enabled_(level).ptr()) == 1; }

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
    nb::object obj_, enabled_, log_;
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
