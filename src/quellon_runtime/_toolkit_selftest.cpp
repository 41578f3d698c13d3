// Exercises the native toolkit from Python; built only for the test suite (QL_SELFTEST).
#include <ql/toolkit.hpp>

namespace {

const char *MOD = "quellon_runtime._toolkit_selftest";

ql::Task await_one(nb::object awaitable) {
    nb::object r = co_await awaitable;
    co_return r;
}

// Calls fn(depth - 1) (a Python async callable that may come back here) and adds one.
ql::Task nest(nb::object fn, int depth) {
    if (depth <= 0)
        co_return nb::int_(0);
    nb::object r = co_await fn(depth - 1);
    co_return nb::int_(nb::cast<long>(r) + 1);
}

// Awaits and wraps any exception: raise RuntimeError("wrapped") from exc.
ql::Task wrap_error(nb::object awaitable) {
    nb::object handled;
    try {
        nb::object r = co_await awaitable;
        co_return r;
    } catch (nb::python_error &e) {
        handled = ql::exc_value(e);
    }
    nb::object err = nb::handle(PyExc_RuntimeError)("wrapped");
    ql::raise_from(err, handled);
}

// Awaits; on exception raises ValueError("during") while handling it (implicit context).
ql::Task raise_during(nb::object awaitable) {
    nb::object handled;
    try {
        co_await awaitable;
    } catch (nb::python_error &e) {
        handled = ql::exc_value(e);
    }
    nb::object err = nb::handle(PyExc_ValueError)("during");
    ql::raise_during(err, handled);
}

// Sets var to value around awaiting factory(); the token is reset whatever happens.
ql::Task with_var(nb::object var, nb::object value, nb::object factory) {
    nb::object token = var.attr("set")(value);
    struct Reset {
        nb::object var, token;
        ~Reset() {
            PyObject *r = PyObject_CallMethod(var.ptr(), "reset", "O", token.ptr());
            if (!r)
                PyErr_Clear();
            Py_XDECREF(r);
        }
    } reset{var, token};
    nb::object r = co_await factory();
    co_return r;
}

// Records where cleanup happened into `log` (a list).
ql::Task cleanup_probe(nb::object awaitable, nb::object log) {
    struct Guard {
        nb::object log;
        ~Guard() { log.attr("append")("destroyed"); }
    } g{log};
    try {
        co_await awaitable;
    } catch (nb::python_error &e) {
        log.attr("append")(nb::getattr(ql::exc_value(e).type(), "__name__"));
        throw;
    }
    co_return nb::none();
}

// C++ awaiting a C++ task directly, which awaits the Python awaitable.
ql::Task chain(nb::object awaitable) {
    nb::object r = co_await await_one(std::move(awaitable));
    co_return r;
}

// Raises the given exception instance as it is.
ql::Task raise_now(nb::object exc) {
    ql::raise(exc);
    co_return nb::none();
}

// Awaits `first`; when it fails, records the exception type and awaits `second` anyway. Closing it
// while it waits on `first` therefore ignores GeneratorExit.
ql::Task stubborn(nb::object first, nb::object second, nb::object log) {
    bool failed = false;
    try {
        co_await first;
    } catch (nb::python_error &e) {
        log.attr("append")(nb::getattr(ql::exc_value(e).type(), "__name__"));
        failed = true;
    }
    if (failed)
        co_await second;
    co_return nb::none();
}

// Number of live frames of counted_await: a frame that is never destroyed shows up here.
long live_frames = 0;

ql::Task counted_await(nb::object awaitable) {
    struct Live {
        Live() { ++live_frames; }
        ~Live() { --live_frames; }
    } live;
    nb::object r = co_await awaitable;
    co_return r;
}

} // namespace

QL_MODULE(_toolkit_selftest, m) {
    auto fn = [&](const char *name, std::vector<ql::Param> params, ql::Impl impl, bool is_async = false) {
        ql::FnInfo info;
        info.name = name;
        info.module = MOD;
        info.is_async = is_async;
        m.attr(name) = ql::make_function(info, std::move(params), std::move(impl));
    };
    fn("await_one", {ql::arg("awaitable")}, [](ql::Args &a) { return ql::coroutine(await_one(nb::borrow(a[0]))); }, true);
    fn("nest", {ql::arg("fn"), ql::arg("depth")},
       [](ql::Args &a) { return ql::coroutine(nest(nb::borrow(a[0]), nb::cast<int>(a[1]))); }, true);
    fn("wrap_error", {ql::arg("awaitable")}, [](ql::Args &a) { return ql::coroutine(wrap_error(nb::borrow(a[0]))); }, true);
    fn("raise_during", {ql::arg("awaitable")},
       [](ql::Args &a) { return ql::coroutine(raise_during(nb::borrow(a[0]))); }, true);
    fn("with_var", {ql::arg("var"), ql::arg("value"), ql::arg("factory")},
       [](ql::Args &a) { return ql::coroutine(with_var(nb::borrow(a[0]), nb::borrow(a[1]), nb::borrow(a[2]))); }, true);
    fn("cleanup_probe", {ql::arg("awaitable"), ql::arg("log")},
       [](ql::Args &a) { return ql::coroutine(cleanup_probe(nb::borrow(a[0]), nb::borrow(a[1])), nb::str("cleanup_probe")); },
       true);
    fn("chain", {ql::arg("awaitable")}, [](ql::Args &a) { return ql::coroutine(chain(nb::borrow(a[0]))); }, true);
    fn("raise_now", {ql::arg("exc")}, [](ql::Args &a) { return ql::coroutine(raise_now(nb::borrow(a[0]))); }, true);
    fn("stubborn", {ql::arg("first"), ql::arg("second"), ql::arg("log")}, [](ql::Args &a) {
        return ql::coroutine(stubborn(nb::borrow(a[0]), nb::borrow(a[1]), nb::borrow(a[2])), nb::str("stubborn"));
    }, true);
    fn("counted_await", {ql::arg("awaitable")},
       [](ql::Args &a) { return ql::coroutine(counted_await(nb::borrow(a[0]))); }, true);
    fn("live_frames", {}, [](ql::Args &) { return nb::int_(live_frames); });
    fn("bind", {ql::arg("a"), ql::arg("b", nb::int_(1)), ql::varargs("rest"), ql::kwonly("c"), ql::kwonly("d", nb::int_(2)), ql::varkw("kw")},
       [](ql::Args &a) { return nb::make_tuple(a[0], a[1], a[2], a[3], a.var_args, a.var_kw); });
    fn("strict", {ql::arg("a"), ql::arg("b", nb::int_(1)), ql::kwonly("c"), ql::kwonly("d", nb::int_(2))},
       [](ql::Args &a) { return nb::make_tuple(a[0], a[1], a[2], a[3]); });
    fn("truthy", {ql::arg("s")}, [](ql::Args &a) { return nb::bool_(ql::truthy(ql::view(a[0]))); });
    fn("env_flag", {ql::arg("name")}, [](ql::Args &a) { return nb::bool_(ql::env_flag(std::string(ql::view(a[0])).c_str())); });
    fn("log", {ql::arg("name"), ql::arg("level"), ql::arg("msg"), ql::arg("args"), ql::arg("extra")}, [](ql::Args &a) {
        ql::Logger lg(std::string(ql::view(a[0])).c_str());
        nb::object extra = nb::borrow(a[4]);
        lg.log(nb::cast<int>(a[1]), std::string(ql::view(a[2])).c_str(), nb::borrow<nb::tuple>(a[3]),
               [&] { return nb::borrow<nb::dict>(extra); });
        return nb::none();
    });

    // Like log(), but the extra mapping comes from calling `builder`, so callers can count builds.
    fn("log_lazy", {ql::arg("name"), ql::arg("level"), ql::arg("msg"), ql::arg("args"), ql::arg("builder")},
       [](ql::Args &a) {
           ql::Logger lg(std::string(ql::view(a[0])).c_str());
           nb::object builder = nb::borrow(a[4]);
           lg.log(nb::cast<int>(a[1]), std::string(ql::view(a[2])).c_str(), nb::borrow<nb::tuple>(a[3]),
                  [&] { return nb::borrow<nb::dict>(builder()); });
           return nb::none();
       });

    m.attr("Point") = ql::make_record(MOD, "Point", {ql::field("x"), ql::field("y", nb::int_(0))}, false, "A point.");
    m.attr("FrozenPoint") = ql::make_record(MOD, "FrozenPoint", {ql::field("x"), ql::field("y", nb::int_(0))}, true);

    ql::ClassBuilder shape(MOD, "Shape", "An abstract shape.");
    shape.abstract_method("area", {ql::arg("self")}, [](ql::Args &) -> nb::object { throw nb::python_error(); });
    shape.classmethod("kind", {ql::arg("cls")}, [](ql::Args &a) { return nb::getattr(a[0], "__name__"); });
    shape.staticmethod("unit", {}, [](ql::Args &) { return nb::int_(1); });
    // Subclasses may pass tag=... in the class statement.
    shape.classmethod("__init_subclass__", {ql::arg("cls"), ql::kwonly("tag", nb::none())}, [](ql::Args &a) {
        nb::setattr(a[0], "tag", a[1]);
        return nb::none();
    });
    shape.property("twice", [](nb::handle self) { return self.attr("area")() * nb::int_(2); });
    shape.async_method("area_later", {ql::arg("self"), ql::kwonly("scale", nb::int_(1))}, [](ql::Args &a) {
        return ql::coroutine(
            [](nb::object self, nb::object scale) -> ql::Task { co_return self.attr("area")() * scale; }(
                nb::borrow(a[0]), nb::borrow(a[1])));
    });
    m.attr("Shape") = shape.build(ql::builtins().object, ql::builtins().abc_meta);
}
