// The shared backend of the throttles: per-identity windows, the global bucket and the breakers'
// state kept in one Redis, so that every replica of a host counts against the same limits.
//
// Each decision is one server-side script (EVALSHA, loaded again after a NOSCRIPT) that reads the
// server's clock, so replicas with different clocks agree. A decision is sent once: nothing is sent
// again after a timeout or a dropped connection, since the script may have run. When Redis cannot
// decide (unreachable, or an error reply) the configured failure mode answers ("open" admits,
// "closed" rejects) and one WARNING is logged per episode. While the server is known to be away no
// caller touches the network: after a short pause one background probe at a time looks for it.
#include "throttle_redis.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace quellon_throttle {
namespace {

// Sliding window of one key: a sorted set of admission times in microseconds of the server's clock.
// The rejection's wait is the whole seconds until the oldest admission leaves the window. Every
// call, admitted or not, renews the key's idle expiry after its write (an expiry set before the
// ZADD that creates the key would be lost). ARGV[4], when given, replaces the server's clock (the
// test clock of the module). Each redis.call costs about as much as the script's own start, so
// there are as few as the rule allows: four when rejecting, five when admitting.
const char *WINDOW_LUA = R"lua(
local key = KEYS[1]
local window = tonumber(ARGV[2])
local now
if ARGV[4] then
  now = tonumber(ARGV[4])
else
  local t = redis.call('TIME')
  now = tonumber(t[1]) * 1000000 + tonumber(t[2])
end
redis.call('ZREMRANGEBYSCORE', key, '-inf', string.format('%.0f', now - window))
local n = redis.call('ZCARD', key)
if n >= tonumber(ARGV[1]) then
  local oldest = redis.call('ZRANGE', key, 0, 0, 'WITHSCORES')
  redis.call('PEXPIRE', key, ARGV[3])
  local wait = math.ceil((tonumber(oldest[2]) + window - now) / 1000000)
  if wait < 1 then wait = 1 end
  return wait
end
local t = string.format('%.0f', now)
redis.call('ZADD', key, t, t .. ':' .. n)
redis.call('PEXPIRE', key, ARGV[3])
return 0
)lua";

// Token bucket: a hash of the tokens left and the server time of the last refill. The key expires
// once the bucket would be full again, which is the same as a fresh one; a bucket that never
// refills (rate 0), or only after longer than Redis can count, keeps its key.
const char *BUCKET_LUA = R"lua(
local key = KEYS[1]
local capacity = tonumber(ARGV[1])
local rate = tonumber(ARGV[2])
local amount = tonumber(ARGV[3])
local t = redis.call('TIME')
local now = tonumber(t[1]) + tonumber(t[2]) / 1000000
local v = redis.call('HMGET', key, 'tokens', 'ts')
local tokens = tonumber(v[1]) or capacity
local ts = tonumber(v[2]) or now
if now < ts then now = ts end
tokens = tokens + (now - ts) * rate
if tokens > capacity then tokens = capacity end
local ok = 0
if tokens >= amount then
  tokens = tokens - amount
  ok = 1
end
redis.call('HSET', key, 'tokens', string.format('%.17g', tokens), 'ts', string.format('%.17g', now))
local full = 1000
if tokens < capacity then
  if rate > 0 then full = full + math.ceil((capacity - tokens) / rate * 1000) else full = math.huge end
end
if full < 9e15 then
  redis.call('PEXPIRE', key, string.format('%.0f', full))
else
  redis.call('PERSIST', key)
end
return ok
)lua";

// Record the newest opening only: replicas opening the breaker at nearly the same time must not
// move its opening back.
const char *OPENED_AT_LUA = R"lua(
local c = tonumber(redis.call('GET', KEYS[1]))
if not c or tonumber(ARGV[1]) > c then redis.call('SET', KEYS[1], ARGV[1]) end
return 0
)lua";

constexpr double REDIS_RETRY_PAUSE = 0.5; // seconds between probes while the server is away
constexpr long CLOSED_RETRY_AFTER = 1;    // what a rejected caller is told when Redis cannot decide
constexpr double SOCKET_TIMEOUT = 1.0, CONNECT_TIMEOUT = 0.5;
constexpr double POOL_WAIT = 1.0; // seconds a caller waits for a free connection of a busy pool
constexpr long POOL_SIZE = 50;    // connections per pool unless the URL's max_connections says

// Why Redis did not decide. `Busy`: no free connection within the wait (not an outage: the caller
// is rejected, never admitted past the limit). `Refused`: the server answered with an error.
enum class Fault { None, NoScript, Busy, Outage, Refused, Other };

// The connections of one event loop; they belong to it and go when it has been closed.
struct LoopPool {
    nb::object loop, pool;
};

// One Redis server as this process sees it: its connection pool (shared by every thread), one
// asyncio pool per event loop, the scripts' names, and what is known about the server's health.
struct RedisConn {
    nb::object client, pool, script_load, ping;
    nb::object window_sha, bucket_sha, load_window, load_bucket; // str; packed SCRIPT LOADs
    std::string url;
    size_t index = 0;
    std::vector<LoopPool> loops;
    size_t last_loop = 0;
    bool direct = true;                     // the direct path still works the way it expects
    bool down = false, probing = false;     // unreachable; a background probe is out
    bool refusing = false;                  // the server answers decisions with errors
    double retry_at = 0.0;
    int open_users = 0, closed_users = 0;   // limiters and buckets made on it, by failure mode
};

struct RedisState {
    bool loaded = false;
    nb::object redis_cls, pool_cls, apool_cls, retry_cls, aio_retry_cls, no_backoff, unix_conn_cls;
    nb::object conn_error, timeout_error, noscript_error, redis_error, response_error, auth_error, loading_error,
        queue_empty;
    nb::object module_dict, get_running_loop, thread_cls, probe_fn, storage_cls, breaker_state_closed, failures;
    nb::object reason_unreachable, reason_refused, reason_busy;
    nb::object window_lua{nb::str(WINDOW_LUA)}, bucket_lua{nb::str(BUCKET_LUA)};
    std::vector<RedisConn *> conns; // one per URL, for the life of the process (a host has one or two)
    bool pool_wants_name = false;   // redis-py before 5.3 names the command when taking a connection
    bool direct = true;             // test seam: false sends every sync call through client.evalsha
    nb::object limiter_cls, bucket_cls;
    nb::object k_core = intern("_core"), k_get_connection = intern("get_connection"), k_release = intern("release"),
               k_send_packed = intern("send_packed_command"), k_read_response = intern("read_response"),
               k_disconnect = intern("disconnect"), k_evalsha = intern("EVALSHA"), k_is_closed = intern("is_closed"),
               k_add = intern("add"), k_failures = intern("_backend_failures");
};
RedisState *R;

nb::object exc_of(nb::handle module, const char *name) { return module.attr(name); }

void redis_load() {
    if (R->loaded)
        return;
    PyObject *m = PyImport_ImportModule("redis");
    if (!m) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError))
            throw nb::python_error();
        PyErr_Clear();
        ql::raise(PyExc_ImportError, "the Redis throttle backend needs the redis package "
                                     "(pip install \"quellon-runtime[redis]\")");
    }
    nb::object redis = nb::steal(m);
    R->redis_cls = redis.attr("Redis");
    R->pool_cls = redis.attr("BlockingConnectionPool");
    R->apool_cls = ql::import("redis.asyncio").attr("BlockingConnectionPool");
    R->unix_conn_cls = redis.attr("UnixDomainSocketConnection");
    R->retry_cls = ql::import("redis.retry").attr("Retry");
    R->aio_retry_cls = ql::import("redis.asyncio.retry").attr("Retry");
    R->no_backoff = ql::import("redis.backoff").attr("NoBackoff");
    nb::object exc = ql::import("redis.exceptions");
    R->conn_error = exc_of(exc, "ConnectionError");
    R->timeout_error = exc_of(exc, "TimeoutError");
    R->noscript_error = exc_of(exc, "NoScriptError");
    R->redis_error = exc_of(exc, "RedisError");
    R->response_error = exc_of(exc, "ResponseError");
    R->auth_error = exc_of(exc, "AuthenticationError");
    R->loading_error = exc_of(exc, "BusyLoadingError");
    R->queue_empty = ql::import("queue").attr("Empty");
    nb::object params =
        ql::import("inspect").attr("signature")(R->pool_cls.attr("get_connection")).attr("parameters");
    nb::object name_param = params.attr("get")("command_name");
    R->pool_wants_name = !name_param.is_none() &&
                         name_param.attr("default").is(ql::import("inspect").attr("Parameter").attr("empty"));
    R->get_running_loop = ql::import("asyncio").attr("get_running_loop");
    R->thread_cls = ql::import("threading").attr("Thread");
    R->loaded = true;
}

// ---- settings ---------------------------------------------------------------------------------

// The trimmed, lower-cased value of a variable, or "" when unset or blank.
std::string env_word(const char *name) {
    nb::object v = env_get(name);
    if (v.is_none())
        return {};
    auto [i, j] = stripped_bounds(v);
    std::string out;
    if (!ascii_lower(v, i, j, 16, out))
        return "\x01"; // no valid word has non-ASCII letters or is that long
    return out;
}

// True for "closed" (reject while Redis cannot decide), false for "open".
bool failure_mode_closed(nb::handle given) {
    const char *what = given.is_none() ? "QL_THROTTLE_REDIS_FAILURE_MODE" : "failure_mode";
    std::string v;
    if (given.is_none()) {
        v = env_word(what);
    } else {
        ql::require_str(given, "failure_mode");
        auto [i, j] = stripped_bounds(given);
        if (!ascii_lower(given, i, j, 16, v))
            v = "\x01";
    }
    if (v.empty() || v == "open")
        return false;
    if (v == "closed")
        return true;
    ql::raise_value_error(std::string(what) + " must be \"open\" or \"closed\"");
}

// The URL to use: the argument, or the variable. Never echoed: it may carry a password.
nb::object redis_url(nb::handle given, const char *&what) {
    nb::object url;
    if (given.is_none()) {
        what = "QL_THROTTLE_REDIS_URL";
        url = env_get(what);
        if (url.is_none() || is_blank(url))
            ql::raise_value_error("QL_THROTTLE_REDIS_URL must be set when QL_THROTTLE_BACKEND is \"redis\"");
    } else {
        what = "url";
        ql::require_str(given, "url");
        url = nb::borrow(given);
    }
    auto [i, j] = stripped_bounds(url);
    PyObject *s = PyUnicode_Substring(url.ptr(), i, j);
    if (!s)
        throw nb::python_error();
    return nb::steal(s);
}

// The options every pool of ours gets; the URL's own query options take precedence. No retry: a
// decision that timed out may have been applied, and sending it again would count it twice.
nb::dict pool_options(nb::handle retry_cls) {
    nb::dict kw;
    kw["retry"] = retry_cls(R->no_backoff(), 0);
    kw["socket_timeout"] = SOCKET_TIMEOUT;
    kw["socket_connect_timeout"] = CONNECT_TIMEOUT;
    kw["max_connections"] = POOL_SIZE;
    kw["timeout"] = POOL_WAIT;
    return kw;
}

nb::object pool_from_url(nb::handle cls, nb::handle retry_cls, nb::handle url) {
    nb::object from_url = cls.attr("from_url");
    nb::object args = nb::make_tuple(url);
    nb::dict kw = pool_options(retry_cls);
    PyObject *r = PyObject_Call(from_url.ptr(), args.ptr(), kw.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

[[noreturn]] void bad_url(const char *what, const char *why) {
    ql::raise_value_error(std::string(what) + " is not a usable Redis URL: " + why);
}

// A timeout option: absent, or a finite number of seconds > 0.
void check_timeout(nb::handle kw, const char *name, const char *what) {
    nb::object v = kw.attr("get")(name);
    if (v.is_none())
        return;
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred())
        PyErr_Clear();
    else if (d > 0 && std::isfinite(d))
        return;
    bad_url(what, (std::string(name) + " must be a number of seconds > 0").c_str());
}

// What redis-py would only find at the first request (some as an outage that never ends): the
// options are checked now, by making one connection object without connecting it.
void check_url_options(nb::handle pool, const char *what) {
    nb::object kw = pool.attr("connection_kwargs");
    check_timeout(kw, "socket_timeout", what);
    check_timeout(kw, "socket_connect_timeout", what);
    nb::object db = kw.attr("get")("db");
    if (!db.is_none() && (!PyLong_Check(db.ptr()) || PyObject_RichCompareBool(db.ptr(), nb::int_(0).ptr(), Py_LT)))
        bad_url(what, "the database must be a number >= 0");
    nb::object cls = pool.attr("connection_class");
    if (PyObject_IsSubclass(cls.ptr(), R->unix_conn_cls.ptr()) == 1) {
        nb::object path = kw.attr("get")("path");
        if (path.is_none() || !PyObject_IsTrue(path.ptr()))
            bad_url(what, "unix:// needs the socket's path");
    }
    nb::object args = nb::tuple();
    PyObject *conn = PyObject_Call(cls.ptr(), args.ptr(), kw.ptr());
    if (!conn) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw nb::python_error();
        PyErr_Clear(); // its message may quote the URL
        bad_url(what, "an option the Redis client refuses (protocol, ssl_* or an unknown name)");
    }
    Py_DECREF(conn);
}

// EVALSHA's name and the SCRIPT LOAD command for one script, packed once.
nb::object script_sha(nb::handle lua) {
    nb::object sha1 = ql::import("hashlib").attr("sha1");
    return sha1(lua.attr("encode")()).attr("hexdigest")();
}

void resp_bulk(std::string &out, const char *p, size_t n) {
    out += '$';
    out += std::to_string(n);
    out += "\r\n";
    out.append(p, n);
    out += "\r\n";
}

nb::object packed(const std::string &cmd) {
    nb::object bytes = nb::steal(PyBytes_FromStringAndSize(cmd.data(), (Py_ssize_t)cmd.size()));
    if (!bytes.is_valid())
        throw nb::python_error();
    return nb::make_tuple(bytes); // the connection sends each item of a sequence
}

nb::object packed_script_load(nb::handle lua) {
    std::string cmd = "*3\r\n$6\r\nSCRIPT\r\n$4\r\nLOAD\r\n";
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(lua.ptr(), &n);
    if (!p)
        throw nb::python_error();
    resp_bulk(cmd, p, (size_t)n);
    return packed(cmd);
}

RedisConn *make_conn(nb::handle url, const std::string &key, const char *what) {
    nb::object pool;
    try {
        pool = pool_from_url(R->pool_cls, R->retry_cls, url);
    } catch (nb::python_error &e) {
        // redis-py words a bad URL as ValueError (scheme, port, database) or TypeError.
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError))
            throw;
        bad_url(what, "use redis://, rediss:// or unix://, with a valid port and database");
    }
    check_url_options(pool, what);
    auto *c = new RedisConn();
    c->url = key;
    c->pool = pool;
    c->client = R->redis_cls(nb::arg("connection_pool") = pool);
    c->script_load = c->client.attr("script_load");
    c->ping = c->client.attr("ping");
    // The SHA1 of a script is its name on every server; loaded on the first NOSCRIPT.
    c->window_sha = script_sha(R->window_lua);
    c->bucket_sha = script_sha(R->bucket_lua);
    c->load_window = packed_script_load(R->window_lua);
    c->load_bucket = packed_script_load(R->bucket_lua);
    return c;
}

RedisConn &redis_conn(nb::handle given_url) {
    const char *what = "url";
    nb::object url = redis_url(given_url, what);
    redis_load();
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(url.ptr(), &n);
    if (!p) {
        PyErr_Clear();
        bad_url(what, "it is not valid text");
    }
    std::string key(p, (size_t)n);
    for (RedisConn *c : R->conns)
        if (c->url == key)
            return *c;
    RedisConn *c = make_conn(url, key, what);
    // Making the pool may let another thread in, which may have made one for this URL meanwhile.
    for (RedisConn *other : R->conns)
        if (other->url == key) {
            delete c;
            return *other;
        }
    c->index = R->conns.size();
    R->conns.push_back(c);
    return *c;
}

// The asyncio pool of the running loop. A new loop first lets go of the pools of closed loops, so
// that they go with their loops instead of piling up (each holds its loop, its connections and
// their sockets).
nb::object async_pool(RedisConn &c) {
    nb::object loop = R->get_running_loop();
    if (c.last_loop < c.loops.size() && c.loops[c.last_loop].loop.is(loop))
        return c.loops[c.last_loop].pool;
    for (size_t i = 0; i < c.loops.size(); ++i)
        if (c.loops[i].loop.is(loop)) {
            c.last_loop = i;
            return c.loops[i].pool;
        }
    // Python runs while the closed loops are found and the pool is made (other threads may come
    // in), so the list is only changed afterwards, and what it lets go of is released last.
    std::vector<LoopPool> snapshot = c.loops;
    std::vector<PyObject *> closed;
    for (LoopPool &lp : snapshot) {
        PyObject *r = PyObject_CallMethodNoArgs(lp.loop.ptr(), R->k_is_closed.ptr());
        if (r && PyObject_IsTrue(r) == 1)
            closed.push_back(lp.loop.ptr());
        Py_XDECREF(r);
        PyErr_Clear();
    }
    nb::object pool = pool_from_url(R->apool_cls, R->aio_retry_cls, nb::str(c.url.data(), c.url.size()));
    std::vector<LoopPool> kept, dropped;
    for (LoopPool &lp : c.loops) {
        bool gone = std::find(closed.begin(), closed.end(), lp.loop.ptr()) != closed.end();
        (gone ? dropped : kept).push_back(std::move(lp));
    }
    kept.push_back(LoopPool{loop, pool});
    c.loops.swap(kept);
    c.last_loop = c.loops.size() - 1;
    return pool;
}

// ---- health -----------------------------------------------------------------------------------

// The exception being handled, taken off the indicator.
nb::object take_exception() { return nb::steal(ql::detail::fetch_exc()); }

// The reason behind the exception being handled; clears it unless it is not Redis's (`Other`).
Fault classify() {
    Fault f;
    if (PyErr_ExceptionMatches(R->noscript_error.ptr()))
        f = Fault::NoScript;
    else if (PyErr_ExceptionMatches(R->response_error.ptr()) || PyErr_ExceptionMatches(R->auth_error.ptr()) ||
             PyErr_ExceptionMatches(R->loading_error.ptr()))
        f = Fault::Refused;
    else if (PyErr_ExceptionMatches(R->conn_error.ptr()) || PyErr_ExceptionMatches(R->timeout_error.ptr()) ||
             PyErr_ExceptionMatches(R->redis_error.ptr()))
        f = Fault::Outage;
    else
        return Fault::Other;
    if (f == Fault::Outage) {
        // The pools' own wait for a free connection ends in a plain ConnectionError raised over
        // queue.Empty (threads) or a TimeoutError (asyncio).
        nb::object e = take_exception();
        if (Py_TYPE(e.ptr()) == (PyTypeObject *)R->conn_error.ptr()) {
            nb::object ctx = nb::steal(PyException_GetContext(e.ptr()));
            nb::object cause = nb::steal(PyException_GetCause(e.ptr()));
            if ((ctx.is_valid() && nb::isinstance(ctx, R->queue_empty)) ||
                (cause.is_valid() && PyErr_GivenExceptionMatches(cause.ptr(), PyExc_TimeoutError)))
                f = Fault::Busy;
        }
        return f;
    }
    PyErr_Clear();
    return f;
}

// "admitting requests (failure mode "open")" and the like: the modes of the limiters and buckets
// made on this server, or the configured one when there are none (breakers only).
std::string mode_text(const RedisConn &c) {
    bool open = c.open_users > 0, closed = c.closed_users > 0;
    if (!open && !closed) {
        closed = env_word("QL_THROTTLE_REDIS_FAILURE_MODE") == "closed";
        open = !closed;
    }
    if (open && closed)
        return "admitting or rejecting requests, as each limiter's failure mode (\"open\" or \"closed\") says";
    return closed ? "rejecting requests (failure mode \"closed\")" : "admitting requests (failure mode \"open\")";
}

// Through the module's name, as for the rejections' counter: a counter patched in there is honoured.
void count_failure(nb::handle reason) {
    PyObject *counter = PyDict_GetItemWithError(R->module_dict.ptr(), R->k_failures.ptr());
    if (!counter) {
        if (PyErr_Occurred())
            throw nb::python_error();
        counter = R->failures.ptr();
    }
    nb::dict attrs;
    attrs["reason"] = reason;
    PyObject *r = PyObject_CallMethodObjArgs(counter, R->k_add.ptr(), nb::int_(1).ptr(), attrs.ptr(), nullptr);
    if (!r)
        throw nb::python_error();
    Py_DECREF(r);
}

void mark_down(RedisConn &c) {
    c.retry_at = clock_now() + REDIS_RETRY_PAUSE;
    if (c.down)
        return;
    c.down = true;
    throttle_log().log(ql::WARNING, "Redis throttle backend unreachable; %s until it is back",
                       nb::make_tuple(mode_text(c)));
}

void mark_refusing(RedisConn &c, const std::string &what) {
    if (c.refusing)
        return;
    c.refusing = true;
    throttle_log().log(ql::WARNING, "Redis throttle backend cannot decide (%s); %s until it can",
                       nb::make_tuple(what, mode_text(c)));
}

// The server answered: a decision (which also ends a run of error replies), or anything else.
void mark_up(RedisConn &c, bool decided = true) {
    if (c.down) {
        c.down = false;
        throttle_log().log(ql::INFO, "Redis throttle backend reachable again");
    }
    if (decided && c.refusing) {
        c.refusing = false;
        throttle_log().log(ql::INFO, "Redis throttle backend deciding again");
    }
}

// The background probe: one PING on the shared pool, then up, or another pause.
nb::object probe(nb::handle index) {
    RedisConn &c = *R->conns.at(nb::cast<size_t>(index));
    PyObject *r = PyObject_CallNoArgs(c.ping.ptr());
    bool ok = r && PyObject_IsTrue(r) == 1;
    Py_XDECREF(r);
    PyErr_Clear();
    c.probing = false;
    if (ok)
        mark_up(c, false);
    else
        c.retry_at = clock_now() + REDIS_RETRY_PAUSE;
    return nb::none();
}

void start_probe(RedisConn &c) {
    c.probing = true;
    PyObject *r = nullptr;
    nb::dict kw;
    kw["target"] = R->probe_fn;
    kw["args"] = nb::make_tuple(c.index);
    kw["daemon"] = true;
    kw["name"] = "ql-redis-probe";
    PyObject *t = PyObject_Call(R->thread_cls.ptr(), nb::tuple().ptr(), kw.ptr());
    if (t) {
        r = PyObject_CallMethod(t, "start", nullptr);
        Py_DECREF(t);
    }
    if (!r) {
        // No thread (the interpreter is shutting down): try again after the pause.
        PyErr_Clear();
        c.probing = false;
        c.retry_at = clock_now() + REDIS_RETRY_PAUSE;
    }
    Py_XDECREF(r);
}

// False while the server is known to be away: the caller answers without touching the network.
// Once the pause has passed, the first caller to notice sends the probe off and answers too.
bool usable(RedisConn &c) {
    if (!c.down)
        return true;
    if (!c.probing && clock_now() >= c.retry_at)
        start_probe(c);
    return false;
}

// The name of the error reply being handled, for the warning: its class, or the reply's code for a
// plain ResponseError (BUSY, MOVED, ...). Never its text, which may quote keys or addresses.
std::string refusal_name() {
    nb::object e = take_exception();
    std::string name = ql::type_name_of(e);
    if (Py_TYPE(e.ptr()) == (PyTypeObject *)R->response_error.ptr()) {
        nb::object text = nb::str(e);
        Py_ssize_t n = 0;
        const char *p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
        std::string code;
        for (Py_ssize_t i = 0; p && i < n && i < 16 && p[i] >= 'A' && p[i] <= 'Z'; ++i)
            code += p[i];
        if (!p)
            PyErr_Clear();
        if (!code.empty())
            name = code;
    }
    return name;
}

// What a decision that Redis could not make answers: `failed`, the failure mode's answer, except
// for a busy pool, which rejects (admitting would pass the limit by).
template <class T> T fault_answer(RedisConn &c, Fault f, const std::string &refusal, T failed, T busy) {
    switch (f) {
    case Fault::Busy:
        count_failure(R->reason_busy);
        return busy;
    case Fault::Refused:
        mark_refusing(c, refusal);
        count_failure(R->reason_refused);
        return failed;
    default:
        mark_down(c);
        count_failure(R->reason_unreachable);
        return failed;
    }
}

// classify() for a failed decision, keeping the refusal's name before it is cleared.
Fault classify_decision(std::string &refusal) {
    if (PyErr_ExceptionMatches(R->response_error.ptr()) && !PyErr_ExceptionMatches(R->noscript_error.ptr())) {
        refusal = refusal_name();
        return Fault::Refused;
    }
    if (PyErr_ExceptionMatches(R->auth_error.ptr()) || PyErr_ExceptionMatches(R->loading_error.ptr())) {
        refusal = refusal_name();
        return Fault::Refused;
    }
    return classify();
}

// ---- one decision, threads -------------------------------------------------------------------

nb::object pack_evalsha(nb::handle sha, nb::handle key, const std::vector<nb::object> &rest) {
    std::string cmd = "*" + std::to_string(4 + rest.size()) + "\r\n$7\r\nEVALSHA\r\n";
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(sha.ptr(), &n);
    if (!p)
        throw nb::python_error();
    resp_bulk(cmd, p, (size_t)n);
    resp_bulk(cmd, "1", 1);
    resp_bulk(cmd, PyBytes_AS_STRING(key.ptr()), (size_t)PyBytes_GET_SIZE(key.ptr()));
    for (const nb::object &o : rest)
        resp_bulk(cmd, PyBytes_AS_STRING(o.ptr()), (size_t)PyBytes_GET_SIZE(o.ptr()));
    return packed(cmd);
}

// Hands a connection back to its pool with the error being handled (if any) kept; one that may be
// out of step with the server (no reply read) is dropped first.
void give_back(RedisConn &c, PyObject *conn, bool in_step) {
    PyObject *et = nullptr, *ev = nullptr, *tb = nullptr;
    PyErr_Fetch(&et, &ev, &tb);
    if (!in_step) {
        PyObject *d = PyObject_CallMethodNoArgs(conn, R->k_disconnect.ptr());
        Py_XDECREF(d);
        PyErr_Clear();
    }
    PyObject *released = PyObject_CallMethodOneArg(c.pool.ptr(), R->k_release.ptr(), conn);
    Py_XDECREF(released);
    PyErr_Clear();
    Py_DECREF(conn);
    PyErr_Restore(et, ev, tb);
}

// EVALSHA written straight onto a pooled connection: the command packed here, one send, one reply
// read by the client's own parser. It skips the client's per-command machinery (a quarter of the
// round trip on loopback) and is taken only while the pool is redis-py's own blocking pool. NULL
// with the error set when it failed; `sent` says whether the command may have reached the server.
// `stale` is set when the server was found away while this caller waited for a connection.
PyObject *direct_evalsha(RedisConn &c, nb::handle cmd, bool &sent, bool &stale) {
    PyObject *conn = R->pool_wants_name
                         ? PyObject_CallMethodOneArg(c.pool.ptr(), R->k_get_connection.ptr(), R->k_evalsha.ptr())
                         : PyObject_CallMethodNoArgs(c.pool.ptr(), R->k_get_connection.ptr());
    if (!conn)
        return nullptr;
    if (c.down) {
        stale = true;
        give_back(c, conn, true);
        return nullptr;
    }
    PyObject *reply = nullptr;
    PyObject *ok = PyObject_CallMethodObjArgs(conn, R->k_send_packed.ptr(), cmd.ptr(), Py_False, nullptr);
    if (ok) {
        Py_DECREF(ok);
        sent = true;
        reply = PyObject_CallMethodNoArgs(conn, R->k_read_response.ptr());
    }
    // An error reply leaves the connection in step; anything else may not have.
    give_back(c, conn, reply || PyErr_ExceptionMatches(R->response_error.ptr()));
    return reply;
}

// EVALSHA through the client's public path; a NOSCRIPT (nothing ran) loads the script and asks once
// more. NULL with the Python error set when it fails.
PyObject *client_evalsha(RedisConn &c, nb::handle sha, nb::handle lua, nb::handle key,
                         const std::vector<nb::object> &rest) {
    nb::object evalsha = c.client.attr("evalsha");
    std::vector<PyObject *> argv{sha.ptr(), nb::int_(1).release().ptr(), key.ptr()};
    for (const nb::object &o : rest)
        argv.push_back(o.ptr());
    PyObject *r = PyObject_Vectorcall(evalsha.ptr(), argv.data(), argv.size(), nullptr);
    if (!r && PyErr_ExceptionMatches(R->noscript_error.ptr())) {
        PyErr_Clear();
        PyObject *loaded = PyObject_CallOneArg(c.script_load.ptr(), lua.ptr());
        if (loaded) {
            Py_DECREF(loaded);
            r = PyObject_Vectorcall(evalsha.ptr(), argv.data(), argv.size(), nullptr);
        }
    }
    Py_DECREF(argv[1]);
    return r;
}

// One decision on the shared pool: the reply, or nothing with `f` saying why. The direct path's
// failures go to the client's path only when nothing can have run (a NOSCRIPT, or a failure before
// the command went out): a decision is never applied twice.
nb::object decide(RedisConn &c, nb::handle sha, nb::handle lua, nb::handle key, const std::vector<nb::object> &rest,
                  Fault &f, std::string &refusal) {
    PyObject *r = nullptr;
    if (c.direct && R->direct && Py_TYPE(c.pool.ptr()) == (PyTypeObject *)R->pool_cls.ptr()) {
        bool sent = false, stale = false;
        r = direct_evalsha(c, pack_evalsha(sha, key, rest), sent, stale);
        if (r)
            return nb::steal(r);
        if (stale) {
            f = Fault::Outage;
            return nb::object();
        }
        f = classify_decision(refusal);
        if (f == Fault::Other) {
            // This client no longer works the way the direct path expects; it is not taken again.
            if (sent)
                throw nb::python_error();
            PyErr_Clear();
            c.direct = false;
        } else if (f != Fault::NoScript) {
            return nb::object();
        }
    }
    r = client_evalsha(c, sha, lua, key, rest);
    if (r) {
        f = Fault::None;
        return nb::steal(r);
    }
    f = classify_decision(refusal);
    if (f == Fault::Other)
        throw nb::python_error();
    if (f == Fault::NoScript) { // loaded, and still unknown: the server is not keeping scripts
        f = Fault::Refused;
        refusal = "NoScriptError";
    }
    return nb::object();
}

long long reply_int(nb::handle r) {
    long long v = PyLong_AsLongLong(r.ptr());
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

// ---- one decision, event loops ----------------------------------------------------------------

struct AsyncReply {
    nb::object value; // invalid when the decision failed
    Fault fault = Fault::None;
    std::string refusal;
};

// The same decision on the running loop's own pool, the command sent once; after a NOSCRIPT the
// script is loaded on the same connection and the command sent again (nothing ran the first time).
// A connection that may be out of step (no reply read) is dropped; an error that is not Redis's
// passes on after the connection has been handed back.
ql::Task decide_async(nb::object pool, nb::object cmd, nb::object load, RedisConn *c, AsyncReply *out) {
    nb::object conn;
    try {
        conn = co_await pool.attr(R->k_get_connection)();
    } catch (nb::python_error &e) {
        e.restore();
        out->fault = classify_decision(out->refusal);
        if (out->fault == Fault::Other)
            throw nb::python_error();
        co_return nb::none();
    }
    bool in_step = true;
    nb::object foreign; // an exception that is not Redis's, raised after the clean-up
    out->fault = c->down ? Fault::Outage : Fault::None; // found away while this caller waited
    for (int attempt = 0; attempt < 2 && out->fault == Fault::None; ++attempt) {
        try {
            if (attempt == 1) {
                co_await conn.attr(R->k_send_packed)(load, false);
                co_await conn.attr(R->k_read_response)();
            }
            co_await conn.attr(R->k_send_packed)(cmd, false);
            out->value = co_await conn.attr(R->k_read_response)();
        } catch (nb::python_error &e) {
            in_step = e.matches(R->response_error);
            e.restore();
            out->fault = classify_decision(out->refusal);
            if (out->fault == Fault::Other)
                foreign = take_exception();
            else if (out->fault == Fault::NoScript && attempt == 0)
                out->fault = Fault::None;
            else if (out->fault == Fault::NoScript)
                out->fault = Fault::Refused;
        }
        if (out->value.is_valid())
            break;
    }
    if (!in_step)
        co_await conn.attr(R->k_disconnect)();
    co_await pool.attr(R->k_release)(conn);
    if (foreign.is_valid())
        ql::raise(foreign);
    co_return nb::none();
}

// ---- the per-identity limiter -----------------------------------------------------------------

struct RedisCore {
    RedisConn *conn;
    Settings s;
    bool closed;
    nb::object prefix;                       // bytes
    nb::object max_arg, window_arg, ttl_arg; // script arguments, made once
    nb::object failure_result, busy_result;
};

// A limiter's core, held for as long as a call uses it: a second __init__ replaces the attribute.
struct CoreRef {
    nb::object obj;
    RedisCore *p;
};

CoreRef core_of(nb::handle self) {
    PyObject *c = PyObject_GetAttr(self.ptr(), R->k_core.ptr());
    if (!c) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        ql::raise_type_error("self must be an initialised RedisThrottler, not " + ql::type_name_of(self));
    }
    nb::object obj = nb::steal(c);
    if (!nb::isinstance<RedisCore>(obj) || !nb::inst_ready(obj))
        ql::raise_type_error("self must be an initialised RedisThrottler, not " + ql::type_name_of(self));
    RedisCore *p = nb::inst_ptr<RedisCore>(obj);
    return {std::move(obj), p};
}

// The key's UTF-8 bytes, lone surrogates kept (as the in-memory limiter keeps them apart).
nb::object key_bytes(nb::handle key) {
    nb::object encoded = nb::steal(PyUnicode_AsEncodedString(key.ptr(), "utf-8", "surrogatepass"));
    if (!encoded.is_valid())
        throw nb::python_error();
    return encoded;
}

// prefix + the key's bytes.
nb::object redis_key(const RedisCore &c, nb::handle key) {
    if (!PyUnicode_Check(key.ptr()))
        ql::raise_type_error("key must be a str, not " + ql::type_name_of(key));
    nb::object encoded = key_bytes(key);
    Py_ssize_t np = PyBytes_GET_SIZE(c.prefix.ptr()), nk = PyBytes_GET_SIZE(encoded.ptr());
    PyObject *joined = PyBytes_FromStringAndSize(nullptr, np + nk);
    if (!joined)
        throw nb::python_error();
    char *out = PyBytes_AS_STRING(joined);
    std::memcpy(out, PyBytes_AS_STRING(c.prefix.ptr()), (size_t)np);
    std::memcpy(out + np, PyBytes_AS_STRING(encoded.ptr()), (size_t)nk);
    return nb::steal(joined);
}

// A whole number as decimal ASCII bytes.
nb::object decimal_bytes(double v) {
    char buf[64];
    int n = PyOS_snprintf(buf, sizeof buf, "%.0f", v);
    PyObject *b = PyBytes_FromStringAndSize(buf, n > 0 && n < (int)sizeof buf ? n : 0);
    if (!b)
        throw nb::python_error();
    return nb::steal(b);
}

// The window script's arguments after the key; the test clock, when one is installed, replaces the
// server's.
std::vector<nb::object> window_args(const RedisCore &c) {
    std::vector<nb::object> a{c.max_arg, c.window_arg, c.ttl_arg};
    if (test_clock_installed())
        a.push_back(decimal_bytes(std::floor(clock_now() * 1e6)));
    return a;
}

nb::object verdict_of(long long wait) { return verdict(wait == 0, (double)wait); }

// The answer while the server is known to be away: the failure mode's, counted.
nb::object away_answer(const RedisCore &c) {
    count_failure(R->reason_unreachable);
    return c.failure_result;
}

nb::object redis_consume(nb::handle self, nb::handle key) {
    CoreRef core = core_of(self);
    RedisCore &c = *core.p;
    nb::object k = redis_key(c, key);
    std::vector<nb::object> rest = window_args(c);
    RedisConn &conn = *c.conn;
    if (!usable(conn))
        return away_answer(c);
    Fault f = Fault::None;
    std::string refusal;
    nb::object r = decide(conn, conn.window_sha, R->window_lua, k, rest, f, refusal);
    if (!r.is_valid())
        return fault_answer(conn, f, refusal, c.failure_result, c.busy_result);
    mark_up(conn);
    return verdict_of(reply_int(r));
}

ql::Task redis_consume_async_body(nb::object key, nb::object core) {
    RedisCore &c = *nb::inst_ptr<RedisCore>(core); // held by `core` across every suspension
    nb::object k = redis_key(c, key);
    std::vector<nb::object> rest = window_args(c);
    RedisConn &conn = *c.conn;
    if (!usable(conn))
        co_return away_answer(c);
    AsyncReply reply;
    nb::object cmd = pack_evalsha(conn.window_sha, k, rest);
    co_await decide_async(async_pool(conn), cmd, conn.load_window, &conn, &reply);
    if (!reply.value.is_valid())
        co_return fault_answer(conn, reply.fault, reply.refusal, c.failure_result, c.busy_result);
    mark_up(conn);
    co_return verdict_of(reply_int(reply.value));
}

// Keys under the limiter's prefix, counted by walking the key space: O(keys), for operators. The
// prefix's glob characters match only themselves.
nb::object redis_tracked(nb::handle self) {
    CoreRef core = core_of(self);
    RedisCore &c = *core.p;
    std::string glob;
    const char *p = PyBytes_AS_STRING(c.prefix.ptr());
    for (Py_ssize_t i = 0; i < PyBytes_GET_SIZE(c.prefix.ptr()); ++i) {
        if (std::strchr("*?[]\\", p[i]) && p[i])
            glob += '\\';
        glob += p[i];
    }
    glob += '*';
    nb::bytes pattern(glob.data(), glob.size());
    long long n = 0;
    nb::object it = c.conn->client.attr("scan_iter")(nb::arg("match") = pattern, nb::arg("count") = 1000);
    for (nb::handle item : it) {
        (void)item;
        ++n;
    }
    return nb::int_(n);
}

nb::object prefix_bytes(nb::handle prefix) {
    ql::require_str(prefix, "prefix");
    return key_bytes(prefix);
}

void count_user(RedisConn &conn, bool closed) { ++(closed ? conn.closed_users : conn.open_users); }

void init_redis_limiter(nb::handle self, const Settings &s, nb::handle url, nb::handle failure_mode,
                        nb::handle prefix) {
    nb::object p = prefix_bytes(prefix);
    bool closed = failure_mode_closed(failure_mode);
    RedisConn &conn = redis_conn(url);
    auto *core = new RedisCore{&conn, s, closed, p, nb::object(), nb::object(), nb::object(), nb::object(),
                               nb::object()};
    nb::object obj = nb::cast(core, nb::rv_policy::take_ownership);
    // Script arguments as the decimal text Redis receives; Lua reads numbers as doubles, which
    // hold whole microseconds exactly far beyond any real window.
    core->max_arg = decimal_bytes((double)s.max_requests);
    core->window_arg = decimal_bytes(s.window_seconds * 1e6 < 9.0e15 ? s.window_seconds * 1e6 : 9.0e15);
    core->ttl_arg = decimal_bytes(s.key_ttl_seconds * 1e3 < 9.0e15 ? s.key_ttl_seconds * 1e3 : 9.0e15);
    core->busy_result = verdict(false, (double)CLOSED_RETRY_AFTER);
    core->failure_result = closed ? core->busy_result : verdict(true, 0.0);
    count_user(conn, closed);
    nb::setattr(self, R->k_core, obj);
}

// ---- the shared token bucket ------------------------------------------------------------------

struct RedisBucketCore {
    RedisConn *conn;
    double capacity, refill_rate;
    bool closed;
    nb::object key, capacity_arg, rate_arg;
};

RedisBucketCore &bucket_core(nb::handle core, nb::handle self) {
    if (!nb::isinstance<RedisBucketCore>(core) || !nb::inst_ready(core))
        ql::raise_type_error("self must be an initialised RedisTokenBucket, not " + ql::type_name_of(self));
    return *nb::inst_ptr<RedisBucketCore>(core);
}

nb::object bucket_core_obj(nb::handle self) {
    nb::object core = nb::getattr(self, R->k_core, nb::none());
    bucket_core(core, self);
    return core;
}

ql::Task redis_acquire_body(nb::object core, nb::object amount) {
    RedisBucketCore &b = *nb::inst_ptr<RedisBucketCore>(core); // held by `core`
    RedisConn &conn = *b.conn;
    bool ok;
    if (!usable(conn)) {
        count_failure(R->reason_unreachable);
        ok = !b.closed;
    } else {
        AsyncReply reply;
        nb::bytes amount_arg(nb::str(amount).c_str());
        nb::object cmd = pack_evalsha(conn.bucket_sha, b.key, {b.capacity_arg, b.rate_arg, amount_arg});
        co_await decide_async(async_pool(conn), cmd, conn.load_bucket, &conn, &reply);
        if (reply.value.is_valid()) {
            mark_up(conn);
            ok = reply_int(reply.value) == 1;
        } else {
            ok = fault_answer(conn, reply.fault, reply.refusal, !b.closed, false);
        }
    }
    if (ok)
        co_return nb::none();
    count_rejection();
    ql::raise(exceeded_error());
}

nb::object init_redis_bucket(ql::Args &a) {
    double c = real_number(a[1], "capacity");
    double r = real_number(a[2], "refill_rate");
    if (!(c >= 0) || !std::isfinite(c))
        ql::raise_value_error("capacity must be a finite number >= 0");
    if (!(r >= 0) || !std::isfinite(r))
        ql::raise_value_error("refill_rate must be a finite number >= 0");
    ql::require_str(a[5], "key");
    bool closed = failure_mode_closed(a[4]);
    RedisConn &conn = redis_conn(a[3]);
    auto *core = new RedisBucketCore{&conn, c, r, closed, prefix_bytes(a[5]), nb::object(), nb::object()};
    nb::object obj = nb::cast(core, nb::rv_policy::take_ownership);
    core->capacity_arg = nb::bytes(ql::repr_of(nb::float_(c)).c_str());
    core->rate_arg = nb::bytes(ql::repr_of(nb::float_(r)).c_str());
    count_user(conn, closed);
    nb::setattr(a[0], R->k_core, obj);
    return nb::none();
}

nb::object redis_acquire(ql::Args &a) {
    nb::object core = bucket_core_obj(a[0]);
    nb::object amount = PyLong_CheckExact(a[1].ptr()) ? nb::borrow(a[1]) : as_index(a[1], "amount");
    int neg = PyObject_RichCompareBool(amount.ptr(), nb::int_(0).ptr(), Py_LT);
    if (neg < 0)
        throw nb::python_error();
    // A negative amount would hand tokens back beyond the capacity.
    if (neg)
        ql::raise_value_error("amount must be >= 0");
    return ql::coroutine(redis_acquire_body(core, amount));
}

// ---- breakers ---------------------------------------------------------------------------------

// A shared breaker's storage. The server holds the state every replica sees; alongside, the
// storage keeps this process's own view (what it wrote), which answers while the server is away,
// so that no breaker operation waits out a connection timeout during an outage: the pause before
// the next try is the limiters' own.
struct BreakerCore {
    RedisConn *conn;
    nb::object state_key, fail_key, success_key, opened_key; // bytes
    nb::object state;                                        // str: closed unless this process opened it
    long long fails = 0, successes = 0;
    nb::object opened_at; // datetime or None
};

struct BreakerRef {
    nb::object obj;
    BreakerCore *p;
    BreakerCore *operator->() const { return p; }
};

BreakerRef breaker_core_of(nb::handle self) {
    nb::object obj = nb::getattr(self, R->k_core, nb::none());
    if (!nb::isinstance<BreakerCore>(obj) || !nb::inst_ready(obj))
        ql::raise_type_error("self must be a shared breaker storage, not " + ql::type_name_of(self));
    BreakerCore *p = nb::inst_ptr<BreakerCore>(obj);
    return {std::move(obj), p};
}

// One command, unless the server is known to be away; false means "answer from this process".
bool breaker_remote(BreakerCore &b, const char *command, nb::handle args, nb::object *out = nullptr) {
    RedisConn &c = *b.conn;
    if (!usable(c))
        return false;
    nb::object method = c.client.attr(command);
    PyObject *r = PyObject_Call(method.ptr(), args.ptr(), nullptr);
    if (!r) {
        // Any Redis error leaves the breaker working on its own view, as pybreaker's storage does.
        std::string refusal;
        Fault f = classify_decision(refusal);
        if (f == Fault::Other)
            throw nb::python_error();
        if (f == Fault::Outage)
            mark_down(c);
        else if (f == Fault::Refused)
            mark_refusing(c, refusal);
        return false;
    }
    nb::object reply = nb::steal(r);
    mark_up(c, false); // a read that works says nothing of the decisions a read-only server refuses
    if (out)
        *out = std::move(reply);
    return true;
}

void breaker_init_remote(BreakerCore &b) {
    nb::object zero = nb::int_(0);
    if (breaker_remote(b, "setnx", nb::make_tuple(b.fail_key, zero)) &&
        breaker_remote(b, "setnx", nb::make_tuple(b.success_key, zero)))
        breaker_remote(b, "setnx", nb::make_tuple(b.state_key, R->breaker_state_closed));
}

// int(reply), or nothing when the server holds something else under the key (not ours to trust).
nb::object int_reply(nb::handle v) {
    PyObject *n = PyNumber_Long(v.ptr());
    if (!n) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(n);
}

// A text reply as str, whether the client decodes replies (decode_responses in the URL) or not.
nb::object text_reply(nb::handle v) {
    if (PyUnicode_Check(v.ptr()))
        return nb::borrow(v);
    return v.attr("decode")("utf-8", "replace");
}

nb::object breaker_count(BreakerCore &b, nb::handle key, long long local) {
    nb::object v;
    if (!breaker_remote(b, "get", nb::make_tuple(key), &v))
        return nb::int_(local);
    if (!PyObject_IsTrue(v.ptr()))
        return nb::int_(0);
    nb::object n = int_reply(v);
    return n.is_valid() ? n : nb::int_(local);
}

nb::object breaker_state(ql::Args &a) {
    BreakerRef b = breaker_core_of(a[0]);
    nb::object v;
    if (!breaker_remote(*b.p, "get", nb::make_tuple(b->state_key), &v))
        return b->state;
    if (v.is_none()) {
        // The server lost the breaker (restarted or flushed): it starts closed again.
        breaker_init_remote(*b.p);
        return R->breaker_state_closed;
    }
    return text_reply(v);
}

nb::object breaker_set_state(ql::Args &a) {
    BreakerRef b = breaker_core_of(a[0]);
    b->state = nb::str(a[1]);
    breaker_remote(*b.p, "set", nb::make_tuple(b->state_key, b->state));
    return nb::none();
}

nb::object breaker_opened_at(ql::Args &a) {
    BreakerRef b = breaker_core_of(a[0]);
    nb::object v;
    if (!breaker_remote(*b.p, "get", nb::make_tuple(b->opened_key), &v))
        return b->opened_at;
    nb::object ts = PyObject_IsTrue(v.ptr()) ? int_reply(v) : nb::object();
    if (!ts.is_valid())
        return nb::none();
    nb::object dt = ql::import("datetime");
    return dt.attr("datetime").attr("fromtimestamp")(ts, dt.attr("timezone").attr("utc"));
}

nb::object breaker_set_opened_at(ql::Args &a) {
    BreakerRef b = breaker_core_of(a[0]);
    nb::object ts = ql::import("calendar").attr("timegm")(a[1].attr("timetuple")());
    b->opened_at = nb::borrow(a[1]);
    breaker_remote(*b.p, "eval", nb::make_tuple(nb::str(OPENED_AT_LUA), 1, b->opened_key, ts));
    return nb::none();
}

// counter and success_counter: the server's count, or this process's own while it is away.
template <bool Fails> nb::object breaker_counter(ql::Args &a) {
    BreakerRef b = breaker_core_of(a[0]);
    return Fails ? breaker_count(*b.p, b->fail_key, b->fails) : breaker_count(*b.p, b->success_key, b->successes);
}

// increment_counter and its three siblings: the local view first, then the server.
template <bool Fails, bool Reset> nb::object breaker_counter_step(ql::Args &a) {
    BreakerRef b = breaker_core_of(a[0]);
    long long &n = Fails ? b->fails : b->successes;
    nb::handle key = Fails ? b->fail_key : b->success_key;
    n = Reset ? 0 : n + 1;
    if (Reset)
        breaker_remote(*b.p, "set", nb::make_tuple(key, 0));
    else
        breaker_remote(*b.p, "incr", nb::make_tuple(key));
    return nb::none();
}

nb::object breaker_initialize(ql::Args &a) {
    BreakerRef b = breaker_core_of(a[0]);
    breaker_init_remote(*b.p);
    if (!a[1].equal(R->breaker_state_closed))
        breaker_remote(*b.p, "set", nb::make_tuple(b->state_key, nb::str(a[1])));
    return nb::none();
}

nb::object make_breaker_storage_cls() {
    nb::object pb = ql::import("pybreaker");
    ql::ClassBuilder cb(MOD, "_SharedBreakerStorage",
                        "pybreaker's Redis storage that answers from this process's own view while Redis is away.");
    auto prop = [&cb](const char *name, ql::Impl get, ql::Impl set) {
        nb::object g = cb.function(name, {ql::arg("self")}, std::move(get));
        nb::object s = nb::none();
        if (set)
            s = cb.function(name, {ql::arg("self"), ql::arg("value")}, std::move(set));
        cb.attr(name, ql::builtins().property(g, s));
    };
    prop("state", breaker_state, breaker_set_state);
    prop("counter", breaker_counter<true>, nullptr);
    prop("success_counter", breaker_counter<false>, nullptr);
    prop("opened_at", breaker_opened_at, breaker_set_opened_at);
    cb.method("increment_counter", {ql::arg("self")}, breaker_counter_step<true, false>);
    cb.method("reset_counter", {ql::arg("self")}, breaker_counter_step<true, true>);
    cb.method("increment_success_counter", {ql::arg("self")}, breaker_counter_step<false, false>);
    cb.method("reset_success_counter", {ql::arg("self")}, breaker_counter_step<false, true>);
    cb.method("_initialize_redis_state", {ql::arg("self"), ql::arg("state")}, breaker_initialize);
    return cb.build(pb.attr("CircuitRedisStorage"));
}

// The state storage for a shared breaker named `ns`, or None with the memory backend. Made without
// a round trip while Redis is known to be away, so that breakers created during an outage share
// their state again once it is back.
nb::object breaker_storage(nb::handle ns) {
    ql::require_str(ns, "namespace");
    if (throttle_backend() != Backend::Redis)
        return nb::none();
    RedisConn &conn = redis_conn(nb::none());
    if (!R->storage_cls.is_valid()) {
        R->breaker_state_closed = ql::import("pybreaker").attr("STATE_CLOSED");
        R->storage_cls = make_breaker_storage_cls();
    }
    nb::object storage = R->storage_cls.attr("__new__")(R->storage_cls);
    ql::import("pybreaker").attr("CircuitBreakerStorage").attr("__init__")(storage, "redis");
    // The attributes pybreaker's own storage keeps, for code that reads them.
    nb::setattr(storage, "_redis", conn.client);
    nb::setattr(storage, "_namespace_name", ns);
    nb::setattr(storage, "_fallback_circuit_state", R->breaker_state_closed);
    nb::setattr(storage, "_initial_state", R->breaker_state_closed);
    nb::setattr(storage, "_cluster_mode", nb::bool_(false));
    auto *core = new BreakerCore{&conn, nb::object(), nb::object(), nb::object(), nb::object(),
                                 R->breaker_state_closed, 0, 0, nb::none()};
    nb::object obj = nb::cast(core, nb::rv_policy::take_ownership);
    // The keys as bytes: a tenant id with a lone surrogate is still a key.
    nb::object key_of = storage.attr("_namespace");
    core->state_key = key_bytes(key_of("state"));
    core->fail_key = key_bytes(key_of("fail_counter"));
    core->success_key = key_bytes(key_of("success_counter"));
    core->opened_key = key_bytes(key_of("opened_at"));
    nb::setattr(storage, R->k_core, obj);
    breaker_init_remote(*core);
    return storage;
}

// ---- registration -----------------------------------------------------------------------------

void register_redis_limiter(nb::module_ &m) {
    ql::ClassBuilder cb(MOD, "RedisThrottler",
                        "Per-key sliding-window limiter shared by every process that uses the same Redis: at most "
                        "max_requests admitted requests per key in any window_seconds of the server's clock; keys "
                        "idle for key_ttl_seconds expire on the server.");
    cb.attr("__slots__", nb::make_tuple("_core", "__weakref__"));
    cb.method(
        "__init__",
        {ql::arg("self"), ql::kwonly("max_requests"), ql::kwonly("window_seconds"),
         ql::kwonly("max_tracked_keys", nb::int_(10000)), ql::kwonly("key_ttl_seconds", nb::int_(3600)),
         ql::kwonly("url", nb::none()), ql::kwonly("failure_mode", nb::none()),
         ql::kwonly("prefix", nb::str("ql:throttle:"))},
        [](ql::Args &a) -> nb::object {
            Settings s = limiter_settings(a[1], a[2], a[3], a[4]);
            init_redis_limiter(a[0], s, a[5], a[6], a[7]);
            return nb::none();
        });
    cb.method("consume", {ql::arg("self"), ql::arg("key")}, [](ql::Args &a) { return redis_consume(a[0], a[1]); },
              "Count one request for key if the shared window admits it; never raises to throttle.");
    cb.async_method(
        "consume_async", {ql::arg("self"), ql::arg("key")},
        [](ql::Args &a) {
            CoreRef core = core_of(a[0]);
            if (!PyUnicode_Check(a[1].ptr()))
                ql::raise_type_error("key must be a str, not " + ql::type_name_of(a[1]));
            return ql::coroutine(redis_consume_async_body(nb::borrow(a[1]), core.obj));
        },
        "consume() for callers on the event loop: the round trip does not block the loop.");
    cb.property("tracked_key_count", [](nb::handle self) { return redis_tracked(self); },
                "Number of keys currently held on the server under this limiter's prefix (walks the key space).");
    cb.property("_max_requests", [](nb::handle self) { return nb::int_(core_of(self).p->s.max_requests); });
    cb.property("_window_seconds", [](nb::handle self) { return nb::float_(core_of(self).p->s.window_seconds); });
    cb.property("_max_tracked_keys", [](nb::handle self) { return nb::int_(core_of(self).p->s.max_tracked_keys); });
    cb.property("_key_ttl_seconds", [](nb::handle self) { return nb::float_(core_of(self).p->s.key_ttl_seconds); });
    cb.property("failure_mode", [](nb::handle self) { return nb::str(core_of(self).p->closed ? "closed" : "open"); },
                "\"open\" (admit) or \"closed\" (reject) while Redis cannot decide.");
    R->limiter_cls = cb.build(ql::builtins().object);
    m.attr("RedisThrottler") = R->limiter_cls;
}

void register_redis_bucket(nb::module_ &m) {
    ql::ClassBuilder bb(MOD, "RedisTokenBucket",
                        "Token bucket shared by every process that uses the same Redis: holds up to capacity "
                        "tokens, refilled at refill_rate tokens per second of the server's clock.");
    bb.attr("__slots__", nb::make_tuple("_core", "__weakref__"));
    bb.method("__init__",
              {ql::arg("self"), ql::arg("capacity"), ql::arg("refill_rate"), ql::kwonly("url", nb::none()),
               ql::kwonly("failure_mode", nb::none()), ql::kwonly("key", nb::str("ql:bucket:global"))},
              init_redis_bucket);
    bb.async_method("acquire", {ql::arg("self"), ql::arg("amount", nb::int_(1))}, redis_acquire,
                    "Take amount tokens from the shared bucket, or raise ThrottleExceeded.");
    bb.property("capacity", [](nb::handle self) {
        return nb::float_(bucket_core(bucket_core_obj(self), self).capacity);
    });
    bb.property("refill_rate", [](nb::handle self) {
        return nb::float_(bucket_core(bucket_core_obj(self), self).refill_rate);
    });
    R->bucket_cls = bb.build(ql::builtins().object);
    m.attr("RedisTokenBucket") = R->bucket_cls;
}

void register_redis_functions(nb::module_ &m) {
    ql::def_function(
        m, MOD, "throttle_backend", {},
        [](ql::Args &) -> nb::object { return nb::str(throttle_backend() == Backend::Redis ? "redis" : "memory"); },
        nb::object(), "\"memory\" or \"redis\", from QL_THROTTLE_BACKEND; ValueError for anything else.");
    ql::def_function(
        m, MOD, "_redis_direct_path", {ql::arg("enabled")},
        [](ql::Args &a) -> nb::object {
            if (!PyBool_Check(a[0].ptr()))
                ql::raise_type_error("enabled must be a bool, not " + ql::type_name_of(a[0]));
            R->direct = a[0].ptr() == Py_True;
            return nb::none();
        },
        nb::object(), "Test seam: False sends every limiter call through the client's public evalsha.");
    ql::def_function(
        m, MOD, "_breaker_storage", {ql::arg("namespace")}, [](ql::Args &a) { return breaker_storage(a[0]); },
        nb::object(), "Shared state storage for the breaker named namespace, or None when breakers stay local.");
    ql::FnInfo info;
    info.name = "_redis_probe";
    info.module = MOD;
    info.doc = "One background probe of an unreachable Redis.";
    R->probe_fn = ql::make_function(std::move(info), {ql::arg("index")}, [](ql::Args &a) { return probe(a[0]); });
}

} // namespace

Backend throttle_backend() {
    std::string v = env_word("QL_THROTTLE_BACKEND");
    if (v.empty() || v == "memory")
        return Backend::Memory;
    if (v == "redis")
        return Backend::Redis;
    ql::raise_value_error("QL_THROTTLE_BACKEND must be \"memory\" or \"redis\"");
}

nb::object redis_limiter_cls() { return R->limiter_cls; }
nb::object redis_bucket_cls() { return R->bucket_cls; }

void register_redis(nb::module_ &m) {
    R = &ql::forever<RedisState>();
    R->module_dict = nb::borrow(PyModule_GetDict(m.ptr()));
    nb::class_<RedisCore>(m, "_RedisLimiterCore");
    nb::class_<RedisBucketCore>(m, "_RedisBucketCore");
    nb::class_<BreakerCore>(m, "_BreakerStorageCore");
    register_redis_limiter(m);
    register_redis_bucket(m);
    register_redis_functions(m);
    // Decisions the backend could not make, answered from the failure mode (or rejected while the
    // pool had no free connection), by reason.
    R->failures = ql::import("opentelemetry.metrics").attr("get_meter")("runtime").attr("create_counter")(
        "connector.throttle_backend_failures", nb::arg("unit") = "1",
        nb::arg("description") = "Throttle decisions the shared Redis backend could not make");
    m.attr("_backend_failures") = R->failures;
    R->reason_unreachable = nb::str("unreachable");
    R->reason_refused = nb::str("error_reply");
    R->reason_busy = nb::str("pool_busy");
}

} // namespace quellon_throttle
