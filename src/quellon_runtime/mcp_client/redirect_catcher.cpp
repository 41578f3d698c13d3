// One-shot loopback HTTP listener that receives the OAuth authorization-code redirect.
//
// The listener runs on the host's event loop and stream server; only the request line is looked at
// (split here on byte views), the target goes through the host's urlsplit/parse_qs, and every
// answer is a fixed byte string.
#include "loopback.hpp"

#include <ql/toolkit.hpp>

#include <cmath>

namespace {

const char *MOD = "quellon_runtime.mcp_client.redirect_catcher";

const char SUCCESS_PAGE[] = "<html><body><h1>Authorization complete</h1>"
                            "<p>You can close this window and return to quellon.</p></body></html>";
const char ERROR_PAGE[] = "<html><body><h1>Authorization failed</h1>"
                          "<p>Return to quellon and try again.</p></body></html>";

nb::object name(const char *s) {
    PyObject *o = PyUnicode_InternFromString(s);
    if (!o)
        throw nb::python_error();
    return nb::steal(o);
}

nb::object bytes(std::string_view s) { return nb::steal(PyBytes_FromStringAndSize(s.data(), (Py_ssize_t)s.size())); }

struct State {
    ql::Logger log{"runtime.mcp_client.redirect_catcher"};

    // host callables
    nb::object get_running_loop, start_server, shield, wait_for, timeout_error;
    nb::object socket_cls, af_inet, af_inet6, sock_stream, sol_socket, addr_option;
    nb::object urlsplit, parse_qs;
    nb::object flow_aborted, security_error;
    nb::object callback_cls, binding_cls, handle_fn;

    // wire bytes
    nb::object html_success = bytes({SUCCESS_PAGE, sizeof SUCCESS_PAGE - 1});
    nb::object html_error = bytes({ERROR_PAGE, sizeof ERROR_PAGE - 1});
    nb::object status_ok = bytes("HTTP/1.1 200 OK\r\n");
    nb::object content_type = bytes("Content-Type: text/html; charset=utf-8\r\n");
    nb::object length_success = bytes("Content-Length: " + std::to_string(sizeof SUCCESS_PAGE - 1) + "\r\n\r\n");
    nb::object length_error = bytes("Content-Length: " + std::to_string(sizeof ERROR_PAGE - 1) + "\r\n\r\n");
    nb::object not_allowed = bytes("HTTP/1.1 405 Method Not Allowed\r\n\r\n");
    nb::object not_found = bytes("HTTP/1.1 404 Not Found\r\n\r\n");

    nb::object default_path = nb::str("/callback");
    nb::object host_source = nb::str("host");
    nb::object slash = nb::str("/");
    nb::object timeout_message = nb::str("Authorization timed out waiting for redirect");

    // instance attributes
    nb::object a_host = name("_host"), a_path = name("_path"), a_server = name("_server"),
               a_binding = name("_binding"), a_future = name("_callback_future"),
               a_connections = name("_connections");
    // query keys
    nb::object k_code = name("code"), k_state = name("state"), k_error = name("error"),
               k_error_description = name("error_description");
    // method and attribute names of host objects
    nb::object m_readline = name("readline"), m_write = name("write"), m_drain = name("drain"),
               m_close = name("close"), m_wait_closed = name("wait_closed"), m_is_closing = name("is_closing"),
               m_done = name("done"), m_set_result = name("set_result"), m_set_exception = name("set_exception"),
               m_create_future = name("create_future"), m_setsockopt = name("setsockopt"), m_bind = name("bind"),
               m_listen = name("listen"), m_getsockname = name("getsockname"),
               m_start_serving = name("start_serving"), m_add = name("add"), m_discard = name("discard"),
               f_path = name("path"), f_query = name("query");

    // coroutine names
    nb::object q_start = nb::str("LoopbackRedirectCatcher.start"),
               q_wait = nb::str("LoopbackRedirectCatcher.wait_for_callback"),
               q_close = nb::str("LoopbackRedirectCatcher.close"),
               q_handle = nb::str("LoopbackRedirectCatcher.start.<locals>._handle");
};
State *S;

nb::object get(nb::handle o, const nb::object &attr) {
    PyObject *v = PyObject_GetAttr(o.ptr(), attr.ptr());
    if (!v)
        throw nb::python_error();
    return nb::steal(v);
}

void set(nb::handle o, const nb::object &attr, nb::handle v) {
    if (PyObject_SetAttr(o.ptr(), attr.ptr(), v.ptr()) < 0)
        throw nb::python_error();
}

template <class... A> nb::object call(nb::handle o, const nb::object &method, A... args) {
    PyObject *argv[] = {o.ptr(), nb::handle(args).ptr()...};
    PyObject *r = PyObject_VectorcallMethod(method.ptr(), argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            nullptr);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

bool truthy(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

void close_quietly(nb::handle o) {
    PyObject *r = PyObject_CallMethodNoArgs(o.ptr(), S->m_close.ptr());
    if (!r)
        PyErr_Clear();
    Py_XDECREF(r);
}

// ---------------------------------------------------------------------------------------------
// Pure helpers

// What str.split() treats as whitespace among the code points a latin-1 decode can produce.
bool is_space(unsigned char c) {
    return (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x20) || c == 0x85 || c == 0xa0;
}

struct RequestLine {
    std::string_view method, target;
    bool complete = false; // at least two words
};

RequestLine split_request_line(std::string_view line) {
    RequestLine rl;
    size_t i = 0, n = line.size();
    std::string_view *slots[] = {&rl.method, &rl.target};
    for (auto *slot : slots) {
        while (i < n && is_space((unsigned char)line[i]))
            ++i;
        if (i == n)
            return rl;
        size_t start = i;
        while (i < n && !is_space((unsigned char)line[i]))
            ++i;
        *slot = line.substr(start, i - start);
    }
    rl.complete = true;
    return rl;
}

// Upper-casing a latin-1 word yields "GET" only for the three ASCII letters in any case.
bool is_get(std::string_view m) {
    return m.size() == 3 && (m[0] | 0x20) == 'g' && (m[1] | 0x20) == 'e' && (m[2] | 0x20) == 't';
}

std::string_view bytes_view(nb::handle b) {
    if (!PyBytes_Check(b.ptr()))
        ql::raise_type_error("readline() returned " + ql::type_name_of(b) + ", expected bytes");
    return {PyBytes_AS_STRING(b.ptr()), (size_t)PyBytes_GET_SIZE(b.ptr())};
}

bool is_blank_line(std::string_view l) { return l.empty() || l == "\n" || l == "\r\n"; }

nb::object normalize_path(nb::handle path) {
    ql::require_str(path, "path");
    Py_ssize_t n = PyUnicode_GET_LENGTH(path.ptr());
    int kind = PyUnicode_KIND(path.ptr());
    const void *data = PyUnicode_DATA(path.ptr());
    Py_ssize_t b = 0, e = n;
    while (b < e && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, b)))
        ++b;
    while (e > b && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, e - 1)))
        --e;
    if (b == e)
        return S->default_path;
    nb::object s = nb::steal(PyUnicode_Substring(path.ptr(), b, e));
    if (!s.is_valid())
        throw nb::python_error();
    if (PyUnicode_READ(kind, data, b) == '/')
        return s;
    PyObject *r = PyUnicode_Concat(S->slash.ptr(), s.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// First value of qs[key], or None when the key is absent or its list is empty.
nb::object first_value(nb::handle qs, nb::handle key) {
    PyObject *found = PyDict_GetItemWithError(qs.ptr(), key.ptr());
    if (!found) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return nb::none();
    }
    nb::object values = nb::borrow(found);
    if (PyList_CheckExact(values.ptr()))
        return PyList_GET_SIZE(values.ptr()) ? nb::borrow(PyList_GET_ITEM(values.ptr(), 0)) : nb::none();
    if (!truthy(values))
        return nb::none();
    PyObject *v = PySequence_GetItem(values.ptr(), 0);
    if (!v)
        throw nb::python_error();
    return nb::steal(v);
}

// ---------------------------------------------------------------------------------------------
// Connection handling. `listener` is [catcher, future, server] of the start() that created the
// handler, so a connection only ever settles its own flow's future and closes its own server.

ql::Task respond(nb::object listener, nb::object reader, nb::object writer) {
    nb::object line = co_await call(reader, S->m_readline);
    std::string_view raw = bytes_view(line);
    if (raw.empty())
        co_return nb::none();
    RequestLine rl = split_request_line(raw);
    if (!rl.complete)
        co_return nb::none();
    bool get_method = is_get(rl.method);
    nb::object target = nb::steal(PyUnicode_DecodeLatin1(rl.target.data(), (Py_ssize_t)rl.target.size(), "replace"));
    if (!target.is_valid())
        throw nb::python_error();

    // Headers are skipped unread, however many there are; a body is never read.
    for (;;) {
        nb::object header = co_await call(reader, S->m_readline);
        if (is_blank_line(bytes_view(header)))
            break;
    }
    // close() ended this connection while it was still being read: nothing is answered.
    if (truthy(call(writer, S->m_is_closing)))
        co_return nb::none();

    nb::object parts = S->urlsplit(target);
    nb::object path = get(parts, S->f_path);

    if (!get_method) {
        call(writer, S->m_write, S->not_allowed);
        co_await call(writer, S->m_drain);
        co_return nb::none();
    }

    nb::object catcher = listener[0];
    nb::object future = listener[1];
    nb::object expected = get(catcher, S->a_path);
    int same = PyObject_RichCompareBool(path.ptr(), expected.ptr(), Py_EQ);
    if (same < 0)
        throw nb::python_error();
    if (!same) {
        call(writer, S->m_write, S->not_found);
        co_await call(writer, S->m_drain);
        if (!truthy(call(future, S->m_done))) {
            nb::object msg = nb::steal(
                PyUnicode_FromFormat("Redirect path mismatch: expected %R, got %R", expected.ptr(), path.ptr()));
            if (!msg.is_valid())
                throw nb::python_error();
            call(future, S->m_set_exception, S->security_error(msg));
        }
        co_return nb::none();
    }

    nb::object qs = S->parse_qs(get(parts, S->f_query));
    nb::object code = first_value(qs, S->k_code), state = first_value(qs, S->k_state),
               error = first_value(qs, S->k_error), description = first_value(qs, S->k_error_description);
    nb::object callback = S->callback_cls(nb::arg("code") = code, nb::arg("state") = state, nb::arg("error") = error,
                                          nb::arg("error_description") = description);

    bool pending = !truthy(call(future, S->m_done));
    bool failed = truthy(error);
    if (failed) {
        if (pending)
            call(future, S->m_set_exception, S->flow_aborted(truthy(description) ? description : error));
    } else if (pending) {
        call(future, S->m_set_result, callback);
    }
    call(writer, S->m_write, S->status_ok);
    call(writer, S->m_write, S->content_type);
    call(writer, S->m_write, failed ? S->length_error : S->length_success);
    call(writer, S->m_write, failed ? S->html_error : S->html_success);
    co_await call(writer, S->m_drain);
    co_return nb::none();
}

ql::Task handle(nb::object listener, nb::object reader, nb::object writer) {
    nb::object catcher = listener[0];
    nb::object server = listener[2];
    nb::object connections = get(catcher, S->a_connections);
    call(connections, S->m_add, writer);

    std::exception_ptr failure;
    bool exiting = false; // the coroutine is being closed: nothing may be awaited any more
    // A connection accepted just before close() (or a restart) is ended without an answer.
    if (get(catcher, S->a_server).is(server)) {
        try {
            co_await respond(listener, reader, writer);
        } catch (nb::python_error &e) {
            exiting = e.matches(PyExc_GeneratorExit);
            failure = std::current_exception();
        } catch (...) {
            failure = std::current_exception();
        }
    }

    // Always: close the client stream, then stop accepting.
    std::exception_ptr late;
    nb::object close_error;
    close_quietly(writer);
    if (!exiting) {
        try {
            co_await call(writer, S->m_wait_closed);
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_Exception))
                close_error = ql::exc_value(e);
            else
                late = std::current_exception();
        }
    }
    if (close_error.is_valid())
        S->log.log(ql::DEBUG, "Redirect listener connection close failed: %s", nb::make_tuple(close_error));
    PyObject *r = PyObject_CallMethodOneArg(connections.ptr(), S->m_discard.ptr(), writer.ptr());
    if (!r)
        PyErr_Clear();
    Py_XDECREF(r);
    close_quietly(server);

    if (late)
        std::rethrow_exception(late);
    if (failure)
        std::rethrow_exception(failure);
    co_return nb::none();
}

// ---------------------------------------------------------------------------------------------
// LoopbackRedirectCatcher

ql::Task start(nb::object self) {
    nb::object loop = S->get_running_loop();
    nb::object future = call(loop, S->m_create_future);
    set(self, S->a_future, future);
    nb::object host = get(self, S->a_host);
    nb::object path = get(self, S->a_path);

    // Checked again here: `_host` may have been replaced since the constructor checked it.
    bool ipv6 = loopback::require(host, S->host_source) == loopback::Family::inet6;
    nb::object sock = S->socket_cls(ipv6 ? S->af_inet6 : S->af_inet, S->sock_stream);
    nb::object port;
    try {
        call(sock, S->m_setsockopt, S->sol_socket, S->addr_option, nb::int_(1));
        call(sock, S->m_bind, nb::make_tuple(host, 0));
        nb::object address = call(sock, S->m_getsockname);
        // A name is resolved by bind(); it must still have landed on the loopback interface.
        loopback::check_bound(host, address);
        call(sock, S->m_listen, nb::int_(1));
        port = address[1];
    } catch (...) {
        close_quietly(sock); // the error already left the interpreter's indicator
        throw;
    }

    // An IPv6 literal is bracketed in a URI, or its colons would read as the port separator.
    nb::object uri = nb::steal(PyUnicode_FromFormat(ipv6 ? "http://[%S]:%S%S" : "http://%S:%S%S", host.ptr(),
                                                    port.ptr(), path.ptr()));
    if (!uri.is_valid())
        throw nb::python_error();
    nb::object binding = S->binding_cls(nb::arg("redirect_uri") = uri, nb::arg("host") = host, nb::arg("port") = port,
                                        nb::arg("path") = path);
    set(self, S->a_binding, binding);

    nb::list listener;
    listener.append(self);
    listener.append(future);
    listener.append(nb::none());
    nb::object handler = nb::steal(PyMethod_New(S->handle_fn.ptr(), listener.ptr()));
    if (!handler.is_valid())
        throw nb::python_error();

    // Not serving yet: the handler must know its server before the first connection arrives.
    nb::object server = co_await S->start_server(handler, nb::arg("sock") = sock, nb::arg("backlog") = 1,
                                                 nb::arg("start_serving") = false);
    listener[2] = server;
    nb::object previous = get(self, S->a_server);
    set(self, S->a_server, server);
    // A replaced server could never be closed again; stop it now.
    if (!previous.is_none() && !previous.is(server))
        close_quietly(previous);
    co_await call(server, S->m_start_serving);

    S->log.log(ql::DEBUG, "Loopback redirect listener started", nb::tuple(),
               [&] { return ql::kv("redirect_uri", uri); });
    co_return binding;
}

ql::Task wait_for_callback(nb::object self, nb::object timeout) {
    nb::object future = get(self, S->a_future);
    if (future.is_none())
        ql::raise(PyExc_RuntimeError, "Listener not started");
    double seconds = PyFloat_AsDouble(timeout.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();
        ql::raise_type_error("timeout must be a real number, not " + ql::type_name_of(timeout));
    }
    // A NaN deadline would corrupt the ordering of the event loop's timers.
    if (std::isnan(seconds))
        ql::raise_value_error("timeout must not be NaN");

    // Built before the await and the future dropped: what the frame holds across a suspension,
    // other than its parameters, is invisible to the cycle collector and leads back to self.
    nb::object waiting = S->wait_for(S->shield(future), nb::float_(seconds));
    future.reset();
    nb::object timed_out;
    try {
        nb::object result = co_await std::move(waiting);
        co_return result;
    } catch (nb::python_error &e) {
        if (!e.matches(S->timeout_error.ptr()))
            throw;
        timed_out = ql::exc_value(e);
    }
    ql::raise_from(S->flow_aborted(S->timeout_message), timed_out);
}

ql::Task close(nb::object self) {
    nb::object server = get(self, S->a_server);
    if (server.is_none())
        co_return nb::none();
    // Cleared first so that connections accepted meanwhile are not served (see handle()).
    set(self, S->a_server, nb::none());
    call(server, S->m_close);
    // Connections still open (a client that never finished its request) would keep the server's
    // wait_closed() waiting for ever.
    nb::object connections = get(self, S->a_connections);
    nb::object open = nb::steal(PySequence_List(connections.ptr()));
    if (!open.is_valid())
        throw nb::python_error();
    for (nb::handle w : nb::borrow<nb::list>(open))
        close_quietly(w);
    co_await call(server, S->m_wait_closed);
    co_return nb::none();
}

nb::object annotations(std::initializer_list<std::pair<const char *, const char *>> items) {
    return ql::str_annotations(items);
}

// Host callables and exception types, looked up once.
void load_host() {
    nb::object asyncio = ql::import("asyncio");
    S->get_running_loop = asyncio.attr("get_running_loop");
    S->start_server = asyncio.attr("start_server");
    S->shield = asyncio.attr("shield");
    S->wait_for = asyncio.attr("wait_for");
    S->timeout_error = asyncio.attr("TimeoutError");
    nb::object socket = ql::import("socket");
    S->socket_cls = socket.attr("socket");
    S->af_inet = socket.attr("AF_INET");
    S->af_inet6 = socket.attr("AF_INET6");
    S->sock_stream = socket.attr("SOCK_STREAM");
    S->sol_socket = socket.attr("SOL_SOCKET");
    // On Windows SO_REUSEADDR would let another process bind the same port and take the redirect;
    // there the port is claimed exclusively instead.
    S->addr_option = nb::hasattr(socket, "SO_EXCLUSIVEADDRUSE") ? socket.attr("SO_EXCLUSIVEADDRUSE")
                                                                 : socket.attr("SO_REUSEADDR");
    nb::object parse = ql::import("urllib.parse");
    S->urlsplit = parse.attr("urlsplit");
    S->parse_qs = parse.attr("parse_qs");
    nb::object exceptions = ql::import("quellon_runtime.mcp_client.exceptions");
    S->flow_aborted = exceptions.attr("McpOAuthFlowAborted");
    S->security_error = exceptions.attr("McpOAuthSecurityError");
}

// The two frozen records.
void register_records(nb::module_ m) {
    S->callback_cls = ql::make_record(
        MOD, "AuthorizationCallback",
        {ql::field("code"), ql::field("state"), ql::field("error"), ql::field("error_description")}, true,
        "Query parameters from the redirect URI callback.", [](ql::ClassBuilder &cb) {
            cb.ns()["__annotations__"] = annotations({{"code", "Optional[str]"},
                                                      {"state", "Optional[str]"},
                                                      {"error", "Optional[str]"},
                                                      {"error_description", "Optional[str]"}});
        });
    m.attr("AuthorizationCallback") = S->callback_cls;

    S->binding_cls = ql::make_record(
        MOD, "LoopbackRedirectBinding",
        {ql::field("redirect_uri"), ql::field("host"), ql::field("port"), ql::field("path")}, true,
        "Ephemeral loopback redirect URI bound to a single callback.", [](ql::ClassBuilder &cb) {
            cb.ns()["__annotations__"] =
                annotations({{"redirect_uri", "str"}, {"host", "str"}, {"port", "int"}, {"path", "str"}});
        });
    m.attr("LoopbackRedirectBinding") = S->binding_cls;
}

// Private helpers, module-level as in a Python module (tests and the stub reach them).
void register_helpers(nb::module_ m) {
    auto module_fn = [&](const char *fname, std::vector<ql::Param> params, ql::Impl impl, nb::object ann) {
        ql::FnInfo info;
        info.name = fname;
        info.module = MOD;
        info.annotations = std::move(ann);
        m.attr(fname) = ql::make_function(std::move(info), std::move(params), std::move(impl));
    };
    module_fn(
        "_normalize_path", {ql::arg("path")}, [](ql::Args &a) { return normalize_path(a[0]); },
        annotations({{"path", "str"}, {"return", "str"}}));
    module_fn(
        "_first", {ql::arg("qs"), ql::arg("key")},
        [](ql::Args &a) {
            if (!ql::is_dict(a[0]))
                ql::raise_type_error("qs must be a dict, not " + ql::type_name_of(a[0]));
            ql::require_str(a[1], "key");
            return first_value(a[0], a[1]);
        },
        annotations({{"qs", "dict"}, {"key", "str"}, {"return", "Optional[str]"}}));
    module_fn(
        "_loopback_family", {ql::arg("host"), ql::arg("source", S->host_source)},
        [](ql::Args &a) -> nb::object {
            ql::require_str(a[1], "source");
            return loopback::require(a[0], a[1]) == loopback::Family::inet6 ? S->af_inet6 : S->af_inet;
        },
        annotations({{"host", "object"}, {"source", "str"}, {"return", "int"}}));
    module_fn(
        "_check_bound", {ql::arg("host"), ql::arg("sockname")},
        [](ql::Args &a) -> nb::object {
            loopback::check_bound(a[0], a[1]);
            return nb::none();
        },
        annotations({{"host", "str"}, {"sockname", "tuple"}, {"return", "None"}}));
}

// The per-connection handler that start() gives to the stream server.
void make_handler() {
    ql::FnInfo info;
    info.name = "_handle";
    info.qualname = "LoopbackRedirectCatcher.start.<locals>._handle";
    info.module = MOD;
    info.is_async = true;
    info.annotations =
        annotations({{"reader", "asyncio.StreamReader"}, {"writer", "asyncio.StreamWriter"}, {"return", "None"}});
    S->handle_fn = ql::make_function(
        std::move(info), {ql::arg("listener"), ql::arg("reader"), ql::arg("writer")}, [](ql::Args &a) {
            return ql::coroutine(handle(nb::borrow(a[0]), nb::borrow(a[1]), nb::borrow(a[2])), S->q_handle);
        });
}

nb::object catcher_init(ql::Args &a) {
    nb::handle self = a[0];
    ql::require_str(a[1], "host");
    ql::require_str(a[2], "path");
    loopback::require(a[1], S->host_source);
    set(self, S->a_host, a[1]);
    set(self, S->a_path, normalize_path(a[2]));
    set(self, S->a_server, nb::none());
    set(self, S->a_binding, nb::none());
    set(self, S->a_future, nb::none());
    set(self, S->a_connections, nb::steal(PySet_New(nullptr)));
    return nb::none();
}

// The listener class: its constructor, the binding property and the three coroutine methods.
void register_catcher(nb::module_ m) {
    ql::ClassBuilder cb(MOD, "LoopbackRedirectCatcher",
                        "Loopback HTTP listener for the OAuth authorization-code redirect.\n\n"
                        "Binds 127.0.0.1 on an ephemeral port and accepts exactly one HTTP callback.\n"
                        "Per MCP security requirements: exact path match, single callback, then close.");
    auto method = [&](const char *mname, std::vector<ql::Param> params, ql::Impl impl, bool is_async, nb::object ann) {
        cb.ns()[mname] = cb.function(mname, std::move(params), std::move(impl), is_async, nullptr, std::move(ann));
    };
    method(
        "__init__",
        {ql::arg("self"), ql::kwonly("host", nb::str("127.0.0.1")), ql::kwonly("path", nb::str("/callback"))},
        catcher_init,
        false, annotations({{"host", "str"}, {"path", "str"}, {"return", "None"}}));
    cb.ns()["binding"] = ql::builtins().property(cb.function(
        "binding", {ql::arg("self")},
        [](ql::Args &a) -> nb::object {
            nb::object binding = get(a[0], S->a_binding);
            if (binding.is_none())
                ql::raise(PyExc_RuntimeError, "Listener not started; call start() first");
            return binding;
        },
        false, nullptr, annotations({{"return", "LoopbackRedirectBinding"}})));
    method(
        "start", {ql::arg("self")},
        [](ql::Args &a) { return ql::coroutine(start(nb::borrow(a[0])), S->q_start); }, true,
        annotations({{"return", "LoopbackRedirectBinding"}}));
    method(
        "wait_for_callback", {ql::arg("self"), ql::arg("timeout", nb::float_(300.0))},
        [](ql::Args &a) {
            return ql::coroutine(wait_for_callback(nb::borrow(a[0]), nb::borrow(a[1])), S->q_wait);
        },
        true, annotations({{"timeout", "float"}, {"return", "AuthorizationCallback"}}));
    method(
        "close", {ql::arg("self")}, [](ql::Args &a) { return ql::coroutine(close(nb::borrow(a[0])), S->q_close); },
        true, annotations({{"return", "None"}}));
    m.attr("LoopbackRedirectCatcher") = cb.build(ql::builtins().object);
}

} // namespace

QL_MODULE(redirect_catcher, m) {
    S = &ql::forever<State>();
    m.doc() = "Loopback redirect URI listener for OAuth authorization code callback.";
    load_host();
    m.attr("logger") = S->log.object();
    m.attr("_HTML_SUCCESS") = S->html_success;
    m.attr("_HTML_ERROR") = S->html_error;
    register_records(m);
    register_helpers(m);
    make_handler();
    register_catcher(m);
    m.attr("__all__") =
        nb::list(nb::make_tuple("AuthorizationCallback", "LoopbackRedirectBinding", "LoopbackRedirectCatcher"));
}
