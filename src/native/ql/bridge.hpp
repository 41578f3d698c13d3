// The coroutine bridge: C++20 coroutines that are Python coroutine objects.
//
//   ql::Task body(nb::object self, nb::object x) {            // parameters by value
//       nb::object r = co_await some_python_awaitable;         // delegates to its __await__()
//       co_return r;
//   }
//   nb::object coro = ql::coroutine(body(self, x), qualname);  // hand this to Python
//
// The Python object speaks the coroutine protocol (send, throw, close, __await__, am_send) and is
// registered as a collections.abc.Coroutine, so asyncio's tasks, gather, wait_for and shield accept
// it. While the C++ side awaits, every value the delegate yields (a future) goes out to the event
// loop; the delegate's return value resumes the C++ side, and its exception is rethrown at the
// co_await as nb::python_error, so try/catch mirrors try/except. throw() from the loop (task
// cancellation) goes to the delegate first. close() throws GeneratorExit at the suspension point so
// that C++ destructors and catch blocks run. As a Python coroutine, one dropped before it ever ran
// warns "coroutine '<qualname>' was never awaited", and cr_running, cr_suspended, cr_frame, cr_await,
// cr_code and cr_origin answer what inspect and asyncio ask.
//
// Never write coroutine lambdas with captures: the frame outlives the lambda object. Take every
// input as a by-value parameter instead: the cycle collector sees the Python objects a suspended or
// never-started frame holds through its nb::object parameters (and what the bridge itself keeps),
// not through C++ locals, so an object that may lead back to the coroutine belongs in a parameter.
#pragma once

#include "core.hpp"

#include <structmember.h>

#include <coroutine>
#include <type_traits>

namespace ql {

class Task;

namespace detail {

// Frames of short coroutines are reused: the allocator's round trip is a fair share of what such a
// call costs. A free list per 64-byte size class up to 1 KiB, at most 32 frames each. Frames are
// made and destroyed with the GIL held (by a Python call, or by the coroutine object), which guards
// the lists; without a GIL the pool stays out of the way.
struct FramePool {
    static constexpr std::size_t granule = 64, classes = 16, depth = 32;
    struct Slot {
        Slot *next;
    };
    Slot *free[classes] = {};
    std::size_t count[classes] = {};

    static FramePool &get() {
        static FramePool pool;
        return pool;
    }
    static void *take(std::size_t n) {
#ifndef Py_GIL_DISABLED
        std::size_t k = (n + granule - 1) / granule;
        if (k >= 1 && k <= classes) {
            FramePool &p = get();
            if (Slot *s = p.free[k - 1]) {
                p.free[k - 1] = s->next;
                --p.count[k - 1];
                return s;
            }
            return ::operator new(k * granule);
        }
#endif
        return ::operator new(n);
    }
    static void give(void *ptr, std::size_t n) noexcept {
#ifndef Py_GIL_DISABLED
        std::size_t k = (n + granule - 1) / granule;
        if (k >= 1 && k <= classes) {
            FramePool &p = get();
            if (p.count[k - 1] < depth) {
                auto *s = static_cast<Slot *>(ptr);
                s->next = p.free[k - 1];
                p.free[k - 1] = s;
                ++p.count[k - 1];
                return;
            }
        }
#else
        (void)n;
#endif
        ::operator delete(ptr);
    }
};

struct TaskPromise {
    static void *operator new(std::size_t n) { return FramePool::take(n); }
    static void operator delete(void *ptr, std::size_t n) noexcept { FramePool::give(ptr, n); }

    PyObject *delegate = nullptr; // iterator being awaited (owned)
    PyObject *value = nullptr;    // value to resume with (owned)
    PyObject *thrown = nullptr;   // exception instance to raise at the await (owned)
    nb::object result;
    std::exception_ptr error;

    // The coroutine's nb::object parameters, in its frame: references the frame owns, reported to
    // the cycle collector.
    static constexpr int max_held = 12;
    const nb::object *held[max_held];
    int nheld = 0;

    // C++ hands the promise constructor the frame's copies of the coroutine's parameters.
    TaskPromise() noexcept = default;
    template <class... Args> explicit TaskPromise(Args &...args) noexcept {
        static_assert((0 + ... + int(std::is_base_of_v<nb::object, std::remove_cv_t<Args>>)) <= max_held,
                      "too many nb::object parameters for one native coroutine");
        (hold(args), ...);
    }
    template <class T> void hold(T &v) noexcept {
        if constexpr (std::is_base_of_v<nb::object, std::remove_cv_t<T>>)
            held[nheld++] = &v;
    }

    Task get_return_object();
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(nb::object v) { result = std::move(v); }
    void unhandled_exception() { error = std::current_exception(); }

    struct Awaiter {
        TaskPromise *p;
        PyObject *iter = nullptr; // new reference, handed to the promise on suspend
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<>) noexcept {
            p->delegate = iter;
            iter = nullptr;
        }
        nb::object await_resume() {
            if (p->thrown) {
                PyObject *e = p->thrown;
                p->thrown = nullptr;
                nb::object exc = nb::steal(e);
                raise(exc);
            }
            PyObject *v = p->value;
            p->value = nullptr;
            return v ? nb::steal(v) : nb::none();
        }
    };

    // The iterator that `await obj` would drive.
    static PyObject *awaitable_iter(PyObject *o) {
        if (PyCoro_CheckExact(o))
            return Py_NewRef(o);
        PyTypeObject *t = Py_TYPE(o);
        if (t->tp_as_async && t->tp_as_async->am_await) {
            PyObject *it = t->tp_as_async->am_await(o);
            if (!it)
                throw nb::python_error();
            if (!PyIter_Check(it)) {
                PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                             Py_TYPE(it)->tp_name);
                Py_DECREF(it);
                throw nb::python_error();
            }
            return it;
        }
        if (PyGen_CheckExact(o)) {
            // generator-based coroutines (types.coroutine)
            PyObject *code = PyObject_GetAttrString(o, "gi_code");
            if (code) {
                bool ok = ((PyCodeObject *)code)->co_flags & CO_ITERABLE_COROUTINE;
                Py_DECREF(code);
                if (ok)
                    return Py_NewRef(o);
            } else {
                PyErr_Clear();
            }
        }
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", t->tp_name);
        throw nb::python_error();
    }

    Awaiter await_transform(nb::handle awaitable) { return Awaiter{this, awaitable_iter(awaitable.ptr())}; }
    Awaiter await_transform(const nb::object &awaitable) { return await_transform(nb::handle(awaitable)); }
    // A temporary (`co_await fn(...)`) would otherwise keep its reference, unseen by the cycle
    // collector, until the await's full-expression ends after resumption: the delegate takes it over.
    Awaiter await_transform(nb::object &&awaitable) {
        nb::object owned = std::move(awaitable);
        return Awaiter{this, awaitable_iter(owned.ptr())};
    }
    Awaiter await_transform(Task &&t);
};

} // namespace detail

class Task {
  public:
    using promise_type = detail::TaskPromise;
    using handle_type = std::coroutine_handle<promise_type>;
    explicit Task(handle_type h) : h_(h) {}
    Task(Task &&o) noexcept : h_(o.h_) { o.h_ = nullptr; }
    Task(const Task &) = delete;
    ~Task() {
        if (h_)
            h_.destroy();
    }
    handle_type release() {
        auto h = h_;
        h_ = nullptr;
        return h;
    }

  private:
    handle_type h_;
};

inline Task detail::TaskPromise::get_return_object() { return Task(Task::handle_type::from_promise(*this)); }

nb::object coroutine(Task t, nb::handle qualname = nb::handle());

inline detail::TaskPromise::Awaiter detail::TaskPromise::await_transform(Task &&t) {
    nb::object c = coroutine(std::move(t));
    return await_transform(nb::handle(c));
}

namespace detail {

struct CoroObject {
    PyObject_HEAD
    Task::handle_type h;
    PyObject *qualname;
    PyObject *weaklist;
    bool started;
    bool running;
    bool closed;
};

inline void clear_promise(TaskPromise &p) {
    Py_CLEAR(p.delegate);
    Py_CLEAR(p.value);
    Py_CLEAR(p.thrown);
}

// Detached first: destroying the frame drops references, which may run code that reaches this
// object again (a collection, a finalizer) and must find it closed, not half destroyed.
inline void finish(CoroObject *c) {
    Task::handle_type h = c->h;
    c->h = nullptr;
    c->closed = true;
    if (h) {
        clear_promise(h.promise());
        h.destroy();
    }
}

inline bool coro_alive(CoroObject *c) { return c->h && !c->closed && !c->h.done(); }

// Steal the current Python error as an exception instance.
inline PyObject *fetch_exc() {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v)
        PyException_SetTraceback(v, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    return v;
}

// Why a coroutine cannot take this step (error set and true), or false when it can. Exactly one
// of send_val (borrowed, may be null for None) or throw_exc (borrowed exception instance) is used.
inline bool refuse_step(CoroObject *c, PyObject *send_val, PyObject *throw_exc) {
    if (c->closed || !c->h) {
        if (throw_exc)
            PyErr_SetObject((PyObject *)Py_TYPE(throw_exc), throw_exc);
        else
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return true;
    }
    if (c->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }
    if (!c->started) {
        if (throw_exc) {
            // Never started: the exception is raised at once and the coroutine is done.
            finish(c);
            PyErr_SetObject((PyObject *)Py_TYPE(throw_exc), throw_exc);
            return true;
        }
        if (send_val && send_val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return true;
        }
    }
    return false;
}

// delegate.throw(exc), as `yield from` does it: a delegate without throw() gets the exception
// raised at the await.
inline PySendResult throw_into(PyObject *delegate, PyObject *throw_exc, PyObject **res) {
    *res = nullptr;
    PyObject *meth = PyObject_GetAttrString(delegate, "throw");
    if (!meth) {
        PyErr_Clear();
        PyErr_SetObject((PyObject *)Py_TYPE(throw_exc), throw_exc);
        return PYGEN_ERROR;
    }
    *res = PyObject_CallOneArg(meth, throw_exc);
    Py_DECREF(meth);
    if (*res)
        return PYGEN_NEXT;
    if (!PyErr_ExceptionMatches(PyExc_StopIteration))
        return PYGEN_ERROR;
    PyObject *e = fetch_exc();
    *res = PyObject_GetAttrString(e, "value");
    Py_DECREF(e);
    return *res ? PYGEN_RETURN : PYGEN_ERROR;
}

// The C++ body ended with an exception: finish the coroutine and set it as the Python error (a
// StopIteration becomes "coroutine raised StopIteration", as PEP 479 has it).
inline PySendResult raise_from_body(CoroObject *c, std::exception_ptr e) {
    finish(c);
    try {
        std::rethrow_exception(e);
    } catch (...) {
        set_python_error_from_current();
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject *inner = fetch_exc();
        PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
        PyObject *outer = fetch_exc();
        PyException_SetCause(outer, Py_NewRef(inner));
        PyException_SetContext(outer, inner);
        PyErr_SetObject((PyObject *)Py_TYPE(outer), outer);
        Py_DECREF(outer);
    }
    return PYGEN_ERROR;
}

// Drive the coroutine one step. Exactly one of send_val (borrowed, may be null for None) or
// throw_exc (borrowed exception instance) is used.
inline PySendResult step(CoroObject *c, PyObject *send_val, PyObject *throw_exc, PyObject **out) {
    *out = nullptr;
    if (refuse_step(c, send_val, throw_exc))
        return PYGEN_ERROR;
    TaskPromise &p = c->h.promise();
    c->running = true;
    for (;;) {
        if (p.delegate) {
            PyObject *res = nullptr;
            PySendResult r = throw_exc ? throw_into(p.delegate, throw_exc, &res)
                                       : PyIter_Send(p.delegate, send_val ? send_val : Py_None, &res);
            throw_exc = send_val = nullptr;
            if (r == PYGEN_NEXT) {
                c->running = false;
                *out = res;
                return PYGEN_NEXT;
            }
            Py_CLEAR(p.delegate);
            if (r == PYGEN_RETURN)
                p.value = res;
            else
                p.thrown = fetch_exc();
        } else if (throw_exc) {
            // Suspended without a delegate cannot happen after start; raise at resume point.
            p.thrown = Py_NewRef(throw_exc);
            throw_exc = nullptr;
        }
        c->started = true;
        c->h.resume();
        if (c->h.done()) {
            c->running = false;
            if (p.error)
                return raise_from_body(c, p.error);
            nb::object result = std::move(p.result);
            finish(c);
            *out = result.is_valid() ? result.release().ptr() : Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        // suspended at a new await: start driving its delegate
        if (!p.delegate) {
            c->running = false;
            PyErr_SetString(PyExc_RuntimeError, "native coroutine suspended without an awaitable");
            return PYGEN_ERROR;
        }
    }
}

// StopIteration(value) as the current error; built explicitly so a tuple value is not unpacked
// into arguments.
inline void set_stop_iteration(PyObject *value) {
    PyObject *e = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (e) {
        PyErr_SetObject(PyExc_StopIteration, e);
        Py_DECREF(e);
    }
}

inline PyObject *result_to_py(PySendResult r, PyObject *res) {
    if (r == PYGEN_NEXT)
        return res;
    if (r == PYGEN_RETURN) {
        if (res == Py_None)
            PyErr_SetNone(PyExc_StopIteration);
        else
            set_stop_iteration(res);
        Py_DECREF(res);
    }
    return nullptr;
}

inline PySendResult coro_am_send(PyObject *self, PyObject *arg, PyObject **result) {
    return step((CoroObject *)self, arg, nullptr, result);
}

inline PyObject *coro_send(PyObject *self, PyObject *arg) {
    PyObject *res;
    PySendResult r = step((CoroObject *)self, arg, nullptr, &res);
    return result_to_py(r, res);
}

inline PyObject *coro_iternext(PyObject *self) {
    PyObject *res;
    PySendResult r = step((CoroObject *)self, Py_None, nullptr, &res);
    if (r == PYGEN_RETURN) {
        // A None result needs no error: returning NULL alone ends the iteration.
        if (res != Py_None)
            set_stop_iteration(res);
        Py_DECREF(res);
        return nullptr;
    }
    return r == PYGEN_NEXT ? res : nullptr;
}

inline PyObject *coro_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument");
        return nullptr;
    }
    PyObject *typ = args[0];
    PyObject *val = nargs > 1 ? args[1] : nullptr;
    nb::object exc;
    if (PyExceptionInstance_Check(typ)) {
        exc = nb::borrow(typ);
    } else if (PyExceptionClass_Check(typ)) {
        PyObject *e = (val && val != Py_None) ? (PyObject_IsInstance(val, typ) == 1 ? Py_NewRef(val)
                                                                                   : PyObject_CallOneArg(typ, val))
                                              : PyObject_CallNoArgs(typ);
        if (!e)
            return nullptr;
        exc = nb::steal(e);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not "
                                         "such an object");
        return nullptr;
    }
    PyObject *res;
    PySendResult r = step((CoroObject *)self, nullptr, exc.ptr(), &res);
    return result_to_py(r, res);
}

// close(): GeneratorExit at the suspension point; a clean exit or GeneratorExit is success.
inline PyObject *coro_close(PyObject *self, PyObject *) {
    auto *c = (CoroObject *)self;
    if (c->closed || !c->h) {
        Py_RETURN_NONE;
    }
    if (!c->started) {
        finish(c);
        Py_RETURN_NONE;
    }
    if (c->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    TaskPromise &p = c->h.promise();
    if (p.delegate) {
        PyObject *meth = PyObject_GetAttrString(p.delegate, "close");
        if (meth) {
            PyObject *r = PyObject_CallNoArgs(meth);
            Py_DECREF(meth);
            Py_XDECREF(r);
            if (!r)
                PyErr_Clear();
        } else {
            PyErr_Clear();
        }
        Py_CLEAR(p.delegate);
    }
    PyObject *ge = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!ge)
        return nullptr;
    p.thrown = ge;
    c->running = true;
    c->h.resume();
    c->running = false;
    if (!c->h.done()) {
        finish(c);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    std::exception_ptr e = p.error;
    finish(c);
    if (e) {
        try {
            std::rethrow_exception(e);
        } catch (...) {
            set_python_error_from_current();
        }
        if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return nullptr;
    }
    Py_RETURN_NONE;
}

inline PyObject *coro_await(PyObject *self) { return Py_NewRef(self); }

inline PyObject *coro_get_qualname(PyObject *self, void *);

// "coroutine '...' was never awaited", through the same hook the interpreter uses, so warning
// filters, catch_warnings and -W error see it; a warning turned into an error is reported as
// unraisable, as for a Python coroutine.
inline void warn_unawaited(PyObject *self) {
    bool failed;
    PyObject *warnings = PyImport_ImportModule("warnings");
    PyObject *hook = warnings ? PyObject_GetAttrString(warnings, "_warn_unawaited_coroutine") : nullptr;
    Py_XDECREF(warnings);
    if (hook) {
        PyObject *r = PyObject_CallOneArg(hook, self);
        Py_DECREF(hook);
        failed = !r;
        Py_XDECREF(r);
    } else {
        PyErr_Clear();
        PyObject *q = coro_get_qualname(self, nullptr);
        failed = !q || PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", q) < 0;
        Py_XDECREF(q);
    }
    if (failed)
        PyErr_WriteUnraisable(self);
}

// A coroutine dropped while suspended is closed first, as Python does; one dropped before it ever
// ran warns. This runs as tp_finalize so that code running meanwhile (destructors, warning filters,
// sys.unraisablehook) may take and drop references to the object without re-entering its
// deallocation. The exception being unwound, if any, is kept.
inline void coro_finalize(PyObject *self) {
    auto *c = (CoroObject *)self;
    if (!c->h || c->closed || c->h.done())
        return;
    PyObject *et, *ev, *etb;
    PyErr_Fetch(&et, &ev, &etb);
    if (!c->started) {
        warn_unawaited(self);
    } else {
        PyObject *r = coro_close(self, nullptr);
        if (!r)
            PyErr_WriteUnraisable(self);
        Py_XDECREF(r);
    }
    PyErr_Restore(et, ev, etb);
}

inline void coro_dealloc(PyObject *self) {
    auto *c = (CoroObject *)self;
    PyTypeObject *tp = Py_TYPE(self);
    // A finished coroutine (the usual case) has nothing to finalize.
    if (coro_alive(c) && PyObject_CallFinalizerFromDealloc(self) < 0)
        return; // resurrected by the close
    PyObject_GC_UnTrack(self);
    if (c->weaklist)
        PyObject_ClearWeakRefs(self);
    finish(c);
    Py_CLEAR(c->qualname);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline int coro_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *c = (CoroObject *)self;
    if (c->h) {
        TaskPromise &p = c->h.promise();
        Py_VISIT(p.delegate);
        Py_VISIT(p.value);
        Py_VISIT(p.thrown);
        Py_VISIT(p.result.ptr());
        for (int i = 0; i < p.nheld; ++i)
            Py_VISIT(p.held[i]->ptr());
    }
    Py_VISIT(c->qualname);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// Breaks a cycle through the frame by destroying it. The collector finalizes first, so a started
// coroutine has been closed by now and only a never-started frame (parameters, no body state) is
// left; a running one is left alone, its caller still holds it.
inline int coro_clear(PyObject *self) {
    auto *c = (CoroObject *)self;
    if (c->running)
        return 0;
    finish(c);
    return 0;
}

inline PyObject *coro_get_qualname(PyObject *self, void *) {
    auto *c = (CoroObject *)self;
    if (c->qualname)
        return Py_NewRef(c->qualname);
    return PyUnicode_FromString("native_coroutine");
}

inline PyObject *coro_get_await(PyObject *self, void *) {
    auto *c = (CoroObject *)self;
    if (c->h && c->h.promise().delegate)
        return Py_NewRef(c->h.promise().delegate);
    Py_RETURN_NONE;
}

inline PyObject *coro_get_running(PyObject *self, void *) { return PyBool_FromLong(((CoroObject *)self)->running); }

inline PyObject *coro_get_suspended(PyObject *self, void *) {
    auto *c = (CoroObject *)self;
    return PyBool_FromLong(coro_alive(c) && c->started && !c->running);
}

// A code object flagged as a coroutine's, named after the qualified name; one per name.
inline PyObject *coro_get_code(PyObject *self, void *) {
    static PyObject *cache = PyDict_New(); // kept for the life of the process
    if (!cache)
        return nullptr;
    PyObject *q = coro_get_qualname(self, nullptr);
    if (!q)
        return nullptr;
    PyObject *code = PyDict_GetItemWithError(cache, q);
    if (code || PyErr_Occurred()) {
        Py_DECREF(q);
        return Py_XNewRef(code);
    }
    try {
        nb::object qualname = nb::steal(q);
        std::string full(nb::str(qualname).c_str());
        std::string name = full.substr(full.rfind('.') + 1);
        nb::object empty = nb::steal((PyObject *)PyCode_NewEmpty("<native>", name.c_str(), 1));
        if (!empty.is_valid())
            return nullptr;
        nb::object made = empty.attr("replace")(nb::arg("co_flags") = CO_COROUTINE | CO_OPTIMIZED | CO_NEWLOCALS,
                                                 nb::arg("co_qualname") = qualname);
        if (PyDict_SetItem(cache, qualname.ptr(), made.ptr()) < 0)
            return nullptr;
        return made.release().ptr();
    } catch (...) {
        set_python_error_from_current();
        return nullptr;
    }
}

// What inspect reads of a frame: f_lasti is -1 before the first step (3.11's getcoroutinestate
// tells CREATED from SUSPENDED by it); None once the coroutine has finished.
inline PyObject *coro_get_frame(PyObject *self, void *) {
    auto *c = (CoroObject *)self;
    if (!coro_alive(c))
        Py_RETURN_NONE;
    try {
        static PyObject *ns = [] {
            PyObject *types = PyImport_ImportModule("types");
            PyObject *t = types ? PyObject_GetAttrString(types, "SimpleNamespace") : nullptr;
            Py_XDECREF(types);
            return t;
        }();
        if (!ns)
            throw nb::python_error();
        nb::object code = nb::steal(coro_get_code(self, nullptr));
        if (!code.is_valid())
            throw nb::python_error();
        return nb::handle(ns)(nb::arg("f_code") = code, nb::arg("f_lasti") = c->started ? 0 : -1,
                              nb::arg("f_lineno") = 1, nb::arg("f_back") = nb::none(), nb::arg("f_globals") = nb::dict(),
                              nb::arg("f_locals") = nb::dict(), nb::arg("f_trace") = nb::none())
            .release()
            .ptr();
    } catch (...) {
        set_python_error_from_current();
        return nullptr;
    }
}

// Origin tracking (sys.set_coroutine_origin_tracking_depth) is not recorded for native coroutines.
inline PyObject *coro_get_origin(PyObject *, void *) { Py_RETURN_NONE; }

inline PyObject *coro_repr(PyObject *self) {
    PyObject *q = coro_get_qualname(self, nullptr);
    PyObject *r = PyUnicode_FromFormat("<coroutine object %U at %p>", q, self);
    Py_XDECREF(q);
    return r;
}

inline PyTypeObject *coro_type() {
    static PyTypeObject *tp = [] {
        static PyMethodDef methods[] = {
            {"send", (PyCFunction)coro_send, METH_O, nullptr},
            {"throw", (PyCFunction)(void (*)())coro_throw, METH_FASTCALL, nullptr},
            {"close", (PyCFunction)coro_close, METH_NOARGS, nullptr},
            {"__await__", (PyCFunction)(void (*)())+[](PyObject *s, PyObject *) { return coro_await(s); }, METH_NOARGS,
             nullptr},
            {nullptr, nullptr, 0, nullptr}};
        static PyGetSetDef getset[] = {
            {"__qualname__", coro_get_qualname, nullptr, nullptr, nullptr},
            {"__name__", coro_get_qualname, nullptr, nullptr, nullptr},
            {"cr_await", coro_get_await, nullptr, nullptr, nullptr},
            {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
            {"cr_suspended", coro_get_suspended, nullptr, nullptr, nullptr},
            {"cr_frame", coro_get_frame, nullptr, nullptr, nullptr},
            {"cr_code", coro_get_code, nullptr, nullptr, nullptr},
            {"cr_origin", coro_get_origin, nullptr, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr}};
        static PyMemberDef members[] = {
            {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroObject, weaklist), READONLY, nullptr},
            {nullptr, 0, 0, 0, nullptr}};
        static PyType_Slot slots[] = {{Py_tp_dealloc, (void *)coro_dealloc},
                                      {Py_tp_finalize, (void *)coro_finalize},
                                      {Py_tp_traverse, (void *)coro_traverse},
                                      {Py_tp_clear, (void *)coro_clear},
                                      {Py_tp_iter, (void *)PyObject_SelfIter},
                                      {Py_tp_iternext, (void *)coro_iternext},
                                      {Py_tp_methods, (void *)methods},
                                      {Py_tp_getset, (void *)getset},
                                      {Py_tp_members, (void *)members},
                                      {Py_tp_repr, (void *)coro_repr},
                                      {Py_am_await, (void *)coro_await},
                                      {Py_am_send, (void *)coro_am_send},
                                      {0, nullptr}};
        static PyType_Spec type_spec = {"quellon_runtime.native_coroutine", sizeof(CoroObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
        PyObject *t = PyType_FromSpec(&type_spec);
        if (!t)
            throw nb::python_error();
        import("collections.abc").attr("Coroutine").attr("register")(nb::handle(t));
        return (PyTypeObject *)t;
    }();
    return tp;
}

} // namespace detail

// Wrap a started-but-suspended C++ coroutine into a Python coroutine object.
inline nb::object coroutine(Task t, nb::handle qualname) {
    PyTypeObject *tp = detail::coro_type();
    // Every field is set here, so the generic allocator's zeroing is not needed.
    auto *c = PyObject_GC_New(detail::CoroObject, tp);
    if (!c)
        throw nb::python_error();
    c->h = t.release();
    c->qualname = qualname.is_valid() ? Py_NewRef(qualname.ptr()) : nullptr;
    c->weaklist = nullptr;
    c->started = c->running = c->closed = false;
    PyObject_GC_Track((PyObject *)c);
    return nb::steal((PyObject *)c);
}

} // namespace ql
