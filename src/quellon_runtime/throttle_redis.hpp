// The shared backend of the throttles: per-identity windows, the global bucket and the breakers'
// state kept in one Redis, so that every replica of a host counts against the same limits.
//
// Each decision is one server-side script (EVALSHA, loaded again after a NOSCRIPT) that reads the
// server's clock, so replicas with different clocks agree. When Redis cannot be reached the
// configured failure mode decides ("open" admits, "closed" rejects), one WARNING is logged per
// outage, and the next call after a short pause tries the server again.
//
// Included by throttle.cpp inside its anonymous namespace: it uses that file's State, Settings,
// argument checks and ThrottleResult cache.
#pragma once

// Sliding window of one key: a sorted set of admission times in microseconds of the server's clock.
// The rejection's wait is the whole seconds until the oldest admission leaves the window, and every
// call, admitted or not, renews the key's idle expiry. ARGV[4], when given, replaces the server's
// clock (the test clock of the module). Each redis.call costs about as much as the script's own
// start, so there are as few as the rule allows: four when rejecting, five when admitting.
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
redis.call('PEXPIRE', key, ARGV[3])
if n >= tonumber(ARGV[1]) then
  local oldest = redis.call('ZRANGE', key, 0, 0, 'WITHSCORES')
  local wait = math.ceil((tonumber(oldest[2]) + window - now) / 1000000)
  if wait < 1 then wait = 1 end
  return wait
end
local t = string.format('%.0f', now)
redis.call('ZADD', key, t, t .. ':' .. n)
return 0
)lua";

// Token bucket: a hash of the tokens left and the server time of the last refill. The key expires
// once the bucket would be full again, which is the same as a fresh one.
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
if rate > 0 then full = full + math.ceil((capacity - tokens) / rate * 1000) end
if full > 86400000 then full = 86400000 end
redis.call('PEXPIRE', key, full)
return ok
)lua";

constexpr double REDIS_RETRY_PAUSE = 0.5;   // seconds between tries while the server is away
constexpr long CLOSED_RETRY_AFTER = 1;      // what a rejected caller is told during an outage

// One Redis server as this process sees it: its connection pool (shared by every thread), the
// asyncio clients (one per event loop, since their connections belong to a loop), the loaded
// scripts, and whether it is currently unreachable.
struct RedisConn {
    nb::object client, evalsha, script_load, aclients; // aclients: WeakKeyDictionary loop -> client
    nb::object pool;                                   // client.connection_pool, for the direct path
    nb::object window_sha, bucket_sha;
    std::string url;
    bool down = false;
    double retry_at = 0.0;
};

struct RedisState {
    bool loaded = false;
    nb::object redis_cls, aio_redis_cls, retry_cls, aio_retry_cls, no_backoff, conn_error, timeout_error,
        noscript_error, redis_error, get_running_loop, weak_dict, storage_cls, breaker_state_closed;
    nb::object window_lua{nb::str(WINDOW_LUA)}, bucket_lua{nb::str(BUCKET_LUA)};
    std::vector<RedisConn *> conns; // one per URL, for the life of the process (a host has one or two)
    nb::object pool_cls, response_error;
    bool pool_wants_name = false; // redis-py before 5.3 names the command when taking a connection
    bool direct = true;           // test seam: false sends every call through client.evalsha
    nb::object core_type;                     // the hidden class holding a limiter's native part
    nb::object limiter_cls, bucket_cls;
    nb::object k_core = intern("_core"), k_register_script = intern("register_script"),
               k_get_connection = intern("get_connection"), k_release = intern("release"),
               k_send_packed = intern("send_packed_command"), k_read_response = intern("read_response"),
               k_disconnect = intern("disconnect"), k_evalsha = intern("EVALSHA");
};
RedisState *R;

void redis_load() {
    if (R->loaded)
        return;
    nb::object redis;
    PyObject *m = PyImport_ImportModule("redis");
    if (!m) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError))
            throw nb::python_error();
        PyErr_Clear();
        ql::raise(PyExc_ImportError, "the Redis throttle backend needs the redis package "
                                     "(pip install \"quellon-runtime[redis]\")");
    }
    redis = nb::steal(m);
    R->redis_cls = redis.attr("Redis");
    R->aio_redis_cls = ql::import("redis.asyncio").attr("Redis");
    R->retry_cls = ql::import("redis.retry").attr("Retry");
    R->aio_retry_cls = ql::import("redis.asyncio.retry").attr("Retry");
    R->no_backoff = ql::import("redis.backoff").attr("NoBackoff");
    nb::object exc = ql::import("redis.exceptions");
    R->conn_error = exc.attr("ConnectionError");
    R->timeout_error = exc.attr("TimeoutError");
    R->noscript_error = exc.attr("NoScriptError");
    R->redis_error = exc.attr("RedisError");
    R->response_error = exc.attr("ResponseError");
    R->pool_cls = redis.attr("ConnectionPool");
    nb::object params = ql::import("inspect").attr("signature")(R->pool_cls.attr("get_connection")).attr("parameters");
    nb::object name_param = params.attr("get")("command_name");
    R->pool_wants_name =
        !name_param.is_none() && name_param.attr("default").is(ql::import("inspect").attr("Parameter").attr("empty"));
    R->get_running_loop = ql::import("asyncio").attr("get_running_loop");
    R->weak_dict = ql::import("weakref").attr("WeakKeyDictionary");
    R->loaded = true;
}

// ---- settings ---------------------------------------------------------------------------------

enum class Backend { Memory, Redis };

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

Backend throttle_backend() {
    std::string v = env_word("QL_THROTTLE_BACKEND");
    if (v.empty() || v == "memory")
        return Backend::Memory;
    if (v == "redis")
        return Backend::Redis;
    ql::raise_value_error("QL_THROTTLE_BACKEND must be \"memory\" or \"redis\"");
}

// True for "closed" (reject while Redis is away), false for "open".
bool failure_mode_closed(nb::handle given, const char *what) {
    std::string v;
    if (given.is_none()) {
        v = env_word("QL_THROTTLE_REDIS_FAILURE_MODE");
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

RedisConn &redis_conn(nb::handle given_url) {
    const char *what = "url";
    nb::object url = redis_url(given_url, what);
    redis_load();
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(url.ptr(), &n);
    if (!p) {
        PyErr_Clear();
        ql::raise_value_error(std::string(what) + " is not a valid Redis URL");
    }
    std::string key(p, (size_t)n);
    for (RedisConn *c : R->conns)
        if (c->url == key)
            return *c;
    nb::object client;
    {
        PyObject *r = nullptr;
        nb::object from_url = R->redis_cls.attr("from_url");
        nb::dict kw;
        kw["retry"] = R->retry_cls(R->no_backoff(), 1);
        kw["socket_timeout"] = 1.0;
        kw["socket_connect_timeout"] = 0.5;
        nb::object args = nb::make_tuple(url);
        r = PyObject_Call(from_url.ptr(), args.ptr(), kw.ptr());
        if (!r) {
            // redis-py words a bad URL as ValueError (scheme, port, database) or TypeError.
            if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
                !PyErr_ExceptionMatches(PyExc_UnicodeError))
                throw nb::python_error();
            PyErr_Clear();
            ql::raise_value_error(std::string(what) +
                                  " is not a valid Redis URL (redis://, rediss:// or unix://, with a valid port)");
        }
        client = nb::steal(r);
    }
    // Making the client may let another thread in, which may have made one for this URL meanwhile.
    for (RedisConn *other : R->conns)
        if (other->url == key)
            return *other;
    auto *c = new RedisConn();
    c->url = key;
    c->client = client;
    c->evalsha = client.attr("evalsha");
    c->pool = client.attr("connection_pool");
    c->script_load = client.attr("script_load");
    c->aclients = R->weak_dict();
    // The SHA1 of a script is its name on every server; computed here, loaded on first NOSCRIPT.
    nb::object sha1 = ql::import("hashlib").attr("sha1");
    c->window_sha = sha1(R->window_lua.attr("encode")()).attr("hexdigest")();
    c->bucket_sha = sha1(R->bucket_lua.attr("encode")()).attr("hexdigest")();
    R->conns.push_back(c);
    return *c;
}

nb::object async_client(RedisConn &c) {
    nb::object loop = R->get_running_loop();
    PyObject *hit = PyObject_GetItem(c.aclients.ptr(), loop.ptr());
    if (hit)
        return nb::steal(hit);
    if (!PyErr_ExceptionMatches(PyExc_KeyError))
        throw nb::python_error();
    PyErr_Clear();
    nb::dict kw;
    kw["retry"] = R->aio_retry_cls(R->no_backoff(), 1);
    kw["socket_timeout"] = 1.0;
    kw["socket_connect_timeout"] = 0.5;
    nb::object args = nb::make_tuple(nb::str(c.url.data(), c.url.size()));
    nb::object from_url = R->aio_redis_cls.attr("from_url");
    PyObject *r = PyObject_Call(from_url.ptr(), args.ptr(), kw.ptr());
    if (!r)
        throw nb::python_error();
    nb::object client = nb::steal(r);
    c.aclients[loop] = client;
    return client;
}

// ---- outages ----------------------------------------------------------------------------------

bool is_outage_error() {
    return PyErr_ExceptionMatches(R->conn_error.ptr()) || PyErr_ExceptionMatches(R->timeout_error.ptr());
}

// False while the server is known to be away and the pause before the next try has not passed.
// The module's clock, so that tests can hold the pause.
bool worth_trying(RedisConn &c) { return !c.down || nb::cast<double>(S->clock()) >= c.retry_at; }

void mark_down(RedisConn &c, bool closed) {
    c.retry_at = nb::cast<double>(S->clock()) + REDIS_RETRY_PAUSE;
    if (c.down)
        return;
    c.down = true;
    S->log.log(ql::WARNING, "Redis throttle backend unreachable; %s requests until it is back",
               nb::make_tuple(closed ? "rejecting" : "admitting"));
}

void mark_up(RedisConn &c) {
    if (!c.down)
        return;
    c.down = false;
    S->log.log(ql::INFO, "Redis throttle backend reachable again");
}

// The script registered on one asyncio client (one per event loop), made once per client; the
// registered script loads itself again after a NOSCRIPT.
nb::object script_for(nb::handle cache, nb::handle client, nb::handle lua) {
    PyObject *hit = PyObject_GetItem(cache.ptr(), client.ptr());
    if (hit)
        return nb::steal(hit);
    if (!PyErr_ExceptionMatches(PyExc_KeyError))
        throw nb::python_error();
    PyErr_Clear();
    nb::object script = client.attr(R->k_register_script)(lua);
    PyObject_SetItem(cache.ptr(), client.ptr(), script.ptr()) < 0 ? throw nb::python_error() : (void)0;
    return script;
}

// ---- the per-identity limiter -----------------------------------------------------------------

struct RedisCore {
    RedisConn *conn;
    Settings s;
    bool closed;
    nb::object prefix;                         // bytes
    nb::object max_arg, window_arg, ttl_arg;   // script arguments, made once
    nb::object failure_result;
    nb::object scripts; // WeakKeyDictionary: asyncio client -> its registered window script
};

RedisCore &core_of(nb::handle self) {
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
    // The instance keeps its core alive for as long as it keeps the attribute; callers hold self.
    return *nb::inst_ptr<RedisCore>(obj);
}

// prefix + the key's UTF-8 bytes (lone surrogates kept, as the in-memory limiter keeps them apart).
nb::object redis_key(const RedisCore &c, nb::handle key) {
    if (!PyUnicode_Check(key.ptr()))
        ql::raise_type_error("key must be a str, not " + ql::type_name_of(key));
    nb::object encoded = nb::steal(PyUnicode_AsEncodedString(key.ptr(), "utf-8", "surrogatepass"));
    if (!encoded.is_valid())
        throw nb::python_error();
    PyObject *joined = PyBytes_FromStringAndSize(nullptr, PyBytes_GET_SIZE(c.prefix.ptr()) + PyBytes_GET_SIZE(encoded.ptr()));
    if (!joined)
        throw nb::python_error();
    char *out = PyBytes_AS_STRING(joined);
    std::memcpy(out, PyBytes_AS_STRING(c.prefix.ptr()), (size_t)PyBytes_GET_SIZE(c.prefix.ptr()));
    std::memcpy(out + PyBytes_GET_SIZE(c.prefix.ptr()), PyBytes_AS_STRING(encoded.ptr()),
                (size_t)PyBytes_GET_SIZE(encoded.ptr()));
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
    if (!S->clock.is(S->monotonic)) {
        a.push_back(decimal_bytes(std::floor(clock_now() * 1e6)));
    }
    return a;
}

nb::object verdict_of(long long wait) {
    return result_of(Limiter::Outcome{wait == 0, (double)wait});
}

void resp_bulk(std::string &out, const char *p, size_t n) {
    out += '$';
    out += std::to_string(n);
    out += "\r\n";
    out.append(p, n);
    out += "\r\n";
}

// EVALSHA written straight onto a pooled connection: the command packed here, one send, one reply
// read by the client's own parser. It skips the client's per-command machinery (a quarter of the
// round trip on loopback) and is taken only while the pool is redis-py's own ConnectionPool; NULL
// with the error set when the call failed, the connection then dropped unless the server answered.
PyObject *direct_evalsha(RedisConn &c, nb::handle sha, nb::handle key, const std::vector<nb::object> &rest) {
    std::string cmd = "*" + std::to_string(4 + rest.size()) + "\r\n$7\r\nEVALSHA\r\n";
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(sha.ptr(), &n);
    if (!p)
        return nullptr;
    resp_bulk(cmd, p, (size_t)n);
    resp_bulk(cmd, "1", 1);
    resp_bulk(cmd, PyBytes_AS_STRING(key.ptr()), (size_t)PyBytes_GET_SIZE(key.ptr()));
    for (const nb::object &o : rest)
        resp_bulk(cmd, PyBytes_AS_STRING(o.ptr()), (size_t)PyBytes_GET_SIZE(o.ptr()));
    PyObject *bytes = PyBytes_FromStringAndSize(cmd.data(), (Py_ssize_t)cmd.size());
    if (!bytes)
        return nullptr;
    PyObject *packed = PyTuple_Pack(1, bytes); // the connection sends each item of a sequence
    Py_DECREF(bytes);
    if (!packed)
        return nullptr;
    PyObject *conn = R->pool_wants_name
                         ? PyObject_CallMethodOneArg(c.pool.ptr(), R->k_get_connection.ptr(), R->k_evalsha.ptr())
                         : PyObject_CallMethodNoArgs(c.pool.ptr(), R->k_get_connection.ptr());
    if (!conn) {
        Py_DECREF(packed);
        return nullptr;
    }
    PyObject *reply = nullptr;
    PyObject *sent = PyObject_CallMethodObjArgs(conn, R->k_send_packed.ptr(), packed, Py_False, nullptr);
    Py_DECREF(packed);
    if (sent) {
        Py_DECREF(sent);
        reply = PyObject_CallMethodNoArgs(conn, R->k_read_response.ptr());
    }
    PyObject *et = nullptr, *ev = nullptr, *tb = nullptr;
    if (!reply) {
        // An error reply leaves the connection in step; anything else may not have.
        bool answered = PyErr_ExceptionMatches(R->response_error.ptr());
        PyErr_Fetch(&et, &ev, &tb);
        if (!answered) {
            PyObject *d = PyObject_CallMethodNoArgs(conn, R->k_disconnect.ptr());
            if (!d)
                PyErr_Clear();
            Py_XDECREF(d);
        }
    }
    PyObject *released = PyObject_CallMethodOneArg(c.pool.ptr(), R->k_release.ptr(), conn);
    Py_DECREF(conn);
    if (!released) {
        PyErr_Clear();
    }
    Py_XDECREF(released);
    if (!reply)
        PyErr_Restore(et, ev, tb);
    return reply;
}

// EVALSHA on the shared pool; NULL with the Python error set when it fails.
PyObject *evalsha(RedisConn &c, nb::handle sha, nb::handle lua, nb::handle key, const std::vector<nb::object> &rest) {
    std::vector<PyObject *> argv{sha.ptr(), nb::int_(1).release().ptr(), key.ptr()};
    for (const nb::object &o : rest)
        argv.push_back(o.ptr());
    PyObject *r = PyObject_Vectorcall(c.evalsha.ptr(), argv.data(), argv.size(), nullptr);
    if (!r && PyErr_ExceptionMatches(R->noscript_error.ptr())) {
        // A restarted or flushed server has forgotten the script: load it and ask once more.
        PyErr_Clear();
        PyObject *loaded = PyObject_CallOneArg(c.script_load.ptr(), lua.ptr());
        if (loaded) {
            Py_DECREF(loaded);
            r = PyObject_Vectorcall(c.evalsha.ptr(), argv.data(), argv.size(), nullptr);
        }
    }
    Py_DECREF(argv[1]);
    return r;
}

long long reply_int(PyObject *r) {
    long long v = PyLong_AsLongLong(r);
    Py_DECREF(r);
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

nb::object redis_consume(nb::handle self, nb::handle key) {
    RedisCore &c = core_of(self);
    nb::object k = redis_key(c, key);
    std::vector<nb::object> rest = window_args(c);
    RedisConn &conn = *c.conn;
    if (!worth_trying(conn))
        return c.failure_result;
    PyObject *r = nullptr;
    if (R->direct && Py_TYPE(conn.pool.ptr()) == (PyTypeObject *)R->pool_cls.ptr()) {
        r = direct_evalsha(conn, conn.window_sha, k, rest);
        // NOSCRIPT, a dropped connection or anything unexpected: the client's own path decides.
        if (!r) {
            // A reply or connection error is the client's to handle below; anything else means this
            // client no longer works the way the direct path expects, so it is not taken again.
            if (!PyErr_ExceptionMatches(R->response_error.ptr()) && !is_outage_error())
                R->direct = false;
            PyErr_Clear();
        }
    }
    if (!r)
        r = evalsha(conn, conn.window_sha, R->window_lua, k, rest);
    if (!r) {
        if (!is_outage_error())
            throw nb::python_error();
        PyErr_Clear();
        mark_down(conn, c.closed);
        return c.failure_result;
    }
    mark_up(conn);
    return verdict_of(reply_int(r));
}

ql::Task redis_consume_async_body(nb::object self, nb::object key) {
    RedisCore &c = core_of(self);
    nb::object k = redis_key(c, key);
    std::vector<nb::object> rest = window_args(c);
    RedisConn &conn = *c.conn;
    if (!worth_trying(conn))
        co_return c.failure_result;
    nb::object script = script_for(c.scripts, async_client(conn), R->window_lua);
    nb::list args;
    for (const nb::object &o : rest)
        args.append(o);
    nb::object reply;
    bool outage = false;
    try {
        // The registered script object loads itself again after a NOSCRIPT.
        reply = co_await script(nb::arg("keys") = nb::make_tuple(k), nb::arg("args") = args);
    } catch (nb::python_error &e) {
        if (!e.matches(R->conn_error) && !e.matches(R->timeout_error))
            throw;
        outage = true;
    }
    if (outage) {
        mark_down(conn, c.closed);
        co_return c.failure_result;
    }
    mark_up(conn);
    co_return verdict_of(nb::cast<long long>(reply));
}

// Keys under the limiter's prefix, counted by walking the key space: O(keys), for operators.
nb::object redis_tracked(nb::handle self) {
    RedisCore &c = core_of(self);
    std::string glob(PyBytes_AS_STRING(c.prefix.ptr()), (size_t)PyBytes_GET_SIZE(c.prefix.ptr()));
    glob += '*';
    nb::bytes pattern(glob.data(), glob.size());
    long long n = 0;
    nb::object it = c.conn->client.attr("scan_iter")(nb::arg("match") = pattern, nb::arg("count") = 1000);
    for (nb::handle _ : it) {
        (void)_;
        ++n;
    }
    return nb::int_(n);
}

// ---- the shared token bucket ------------------------------------------------------------------

struct RedisBucketCore {
    RedisConn *conn;
    double capacity, refill_rate;
    bool closed;
    nb::object key, capacity_arg, rate_arg;
    nb::object scripts; // WeakKeyDictionary: asyncio client -> its registered bucket script
};

ql::Task redis_acquire_body(nb::object self, nb::object amount) {
    nb::object core = self.attr("_core");
    RedisBucketCore &b = *nb::inst_ptr<RedisBucketCore>(core);
    RedisConn &conn = *b.conn;
    bool ok;
    if (!worth_trying(conn)) {
        ok = !b.closed;
    } else {
        nb::object script = script_for(b.scripts, async_client(conn), R->bucket_lua);
        nb::object reply;
        bool outage = false;
        try {
            reply = co_await script(nb::arg("keys") = nb::make_tuple(b.key),
                                    nb::arg("args") = nb::make_tuple(b.capacity_arg, b.rate_arg, amount));
        } catch (nb::python_error &e) {
            if (!e.matches(R->conn_error) && !e.matches(R->timeout_error))
                throw;
            outage = true;
        }
        if (outage) {
            mark_down(conn, b.closed);
            ok = !b.closed;
        } else {
            mark_up(conn);
            ok = nb::cast<long long>(reply) == 1;
        }
    }
    if (ok)
        co_return nb::none();
    count_rejection();
    ql::raise(S->exceeded_cls(EXCEEDED_MSG));
}

// ---- construction -----------------------------------------------------------------------------

nb::object prefix_bytes(nb::handle prefix) {
    ql::require_str(prefix, "prefix");
    nb::object b = nb::steal(PyUnicode_AsEncodedString(prefix.ptr(), "utf-8", "surrogatepass"));
    if (!b.is_valid())
        throw nb::python_error();
    return b;
}

void init_redis_limiter(nb::handle self, const Settings &s, nb::handle url, nb::handle failure_mode,
                        nb::handle prefix) {
    nb::object p = prefix_bytes(prefix);
    bool closed = failure_mode_closed(failure_mode, failure_mode.is_none() ? "QL_THROTTLE_REDIS_FAILURE_MODE"
                                                                           : "failure_mode");
    RedisConn &conn = redis_conn(url);
    auto *core = new RedisCore{&conn, s, closed, p, nb::object(), nb::object(), nb::object(), nb::object(), R->weak_dict()};
    nb::object obj = nb::cast(core, nb::rv_policy::take_ownership);
    // Script arguments as the decimal text Redis receives; Lua reads numbers as doubles, which
    // hold whole microseconds exactly far beyond any real window.
    core->max_arg = decimal_bytes((double)s.max_requests);
    core->window_arg = decimal_bytes(s.window_seconds * 1e6 < 9.0e15 ? s.window_seconds * 1e6 : 9.0e15);
    core->ttl_arg = decimal_bytes(s.key_ttl_seconds * 1e3 < 9.0e15 ? s.key_ttl_seconds * 1e3 : 9.0e15);
    core->failure_result = closed ? result_of(Limiter::Outcome{false, (double)CLOSED_RETRY_AFTER}) : S->allowed;
    nb::setattr(self, R->k_core, obj);
}

// ---- breakers ---------------------------------------------------------------------------------

// Record the newest opening only: replicas opening the breaker at nearly the same time must not
// move its opening back.
const char *OPENED_AT_LUA = R"lua(
local c = tonumber(redis.call('GET', KEYS[1]))
if not c or tonumber(ARGV[1]) > c then redis.call('SET', KEYS[1], ARGV[1]) end
return 0
)lua";

// A shared breaker's storage. The server holds the state every replica sees; alongside, the
// storage keeps this process's own view (what it wrote), which answers while the server is away,
// so that no breaker operation waits out a connection timeout during an outage: the pause before
// the next try is the limiters' own.
struct BreakerCore {
    RedisConn *conn;
    nb::object state_key, fail_key, success_key, opened_key;
    nb::object state;      // str: closed unless this process opened (or half-opened) it
    long long fails = 0, successes = 0;
    nb::object opened_at;  // datetime or None
};

BreakerCore &breaker_core_of(nb::handle self) {
    nb::object obj = nb::getattr(self, R->k_core, nb::none());
    if (!nb::isinstance<BreakerCore>(obj) || !nb::inst_ready(obj))
        ql::raise_type_error("self must be a shared breaker storage, not " + ql::type_name_of(self));
    return *nb::inst_ptr<BreakerCore>(obj);
}

// One command, unless the server is known to be away; false means "answer from this process".
bool breaker_remote(BreakerCore &b, const char *command, nb::handle args, nb::object *out = nullptr) {
    RedisConn &c = *b.conn;
    if (!worth_trying(c))
        return false;
    nb::object method = b.conn->client.attr(command);
    PyObject *r = PyObject_Call(method.ptr(), args.ptr(), nullptr);
    if (!r) {
        // Any Redis error leaves the breaker working on its own view, as pybreaker's storage does.
        if (!PyErr_ExceptionMatches(R->redis_error.ptr()))
            throw nb::python_error();
        bool outage = is_outage_error();
        PyErr_Clear();
        if (outage)
            mark_down(c, false);
        return false;
    }
    nb::object reply = nb::steal(r);
    mark_up(c);
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

nb::object breaker_count(BreakerCore &b, nb::handle key, long long local) {
    nb::object v;
    if (!breaker_remote(b, "get", nb::make_tuple(key), &v))
        return nb::int_(local);
    if (!PyObject_IsTrue(v.ptr()))
        return nb::int_(0);
    nb::object n = int_reply(v);
    return n.is_valid() ? n : nb::int_(local);
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
    prop(
        "state",
        [](ql::Args &a) -> nb::object {
            BreakerCore &b = breaker_core_of(a[0]);
            nb::object v;
            if (!breaker_remote(b, "get", nb::make_tuple(b.state_key), &v))
                return b.state;
            if (v.is_none()) {
                // The server lost the breaker (restarted or flushed): it starts closed again.
                breaker_init_remote(b);
                return R->breaker_state_closed;
            }
            return v.attr("decode")("utf-8");
        },
        [](ql::Args &a) -> nb::object {
            BreakerCore &b = breaker_core_of(a[0]);
            b.state = nb::str(a[1]);
            breaker_remote(b, "set", nb::make_tuple(b.state_key, b.state));
            return nb::none();
        });
    prop(
        "counter", [](ql::Args &a) { BreakerCore &b = breaker_core_of(a[0]); return breaker_count(b, b.fail_key, b.fails); },
        nullptr);
    prop(
        "success_counter",
        [](ql::Args &a) { BreakerCore &b = breaker_core_of(a[0]); return breaker_count(b, b.success_key, b.successes); },
        nullptr);
    prop(
        "opened_at",
        [](ql::Args &a) -> nb::object {
            BreakerCore &b = breaker_core_of(a[0]);
            nb::object v;
            if (!breaker_remote(b, "get", nb::make_tuple(b.opened_key), &v))
                return b.opened_at;
            nb::object ts = PyObject_IsTrue(v.ptr()) ? int_reply(v) : nb::object();
            if (!ts.is_valid())
                return nb::none();
            nb::object dt = ql::import("datetime");
            return dt.attr("datetime").attr("fromtimestamp")(ts, dt.attr("timezone").attr("utc"));
        },
        [](ql::Args &a) -> nb::object {
            BreakerCore &b = breaker_core_of(a[0]);
            nb::object ts = ql::import("calendar").attr("timegm")(a[1].attr("timetuple")());
            b.opened_at = nb::borrow(a[1]);
            breaker_remote(b, "eval", nb::make_tuple(nb::str(OPENED_AT_LUA), 1, b.opened_key, ts));
            return nb::none();
        });
    cb.method("increment_counter", {ql::arg("self")}, [](ql::Args &a) -> nb::object {
        BreakerCore &b = breaker_core_of(a[0]);
        ++b.fails;
        breaker_remote(b, "incr", nb::make_tuple(b.fail_key));
        return nb::none();
    });
    cb.method("reset_counter", {ql::arg("self")}, [](ql::Args &a) -> nb::object {
        BreakerCore &b = breaker_core_of(a[0]);
        b.fails = 0;
        breaker_remote(b, "set", nb::make_tuple(b.fail_key, 0));
        return nb::none();
    });
    cb.method("increment_success_counter", {ql::arg("self")}, [](ql::Args &a) -> nb::object {
        BreakerCore &b = breaker_core_of(a[0]);
        ++b.successes;
        breaker_remote(b, "incr", nb::make_tuple(b.success_key));
        return nb::none();
    });
    cb.method("reset_success_counter", {ql::arg("self")}, [](ql::Args &a) -> nb::object {
        BreakerCore &b = breaker_core_of(a[0]);
        b.successes = 0;
        breaker_remote(b, "set", nb::make_tuple(b.success_key, 0));
        return nb::none();
    });
    cb.method("_initialize_redis_state", {ql::arg("self"), ql::arg("state")}, [](ql::Args &a) -> nb::object {
        BreakerCore &b = breaker_core_of(a[0]);
        breaker_init_remote(b);
        if (!a[1].equal(R->breaker_state_closed))
            breaker_remote(b, "set", nb::make_tuple(b.state_key, nb::str(a[1])));
        return nb::none();
    });
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
    nb::object key_of = storage.attr("_namespace");
    core->state_key = key_of("state");
    core->fail_key = key_of("fail_counter");
    core->success_key = key_of("success_counter");
    core->opened_key = key_of("opened_at");
    nb::setattr(storage, R->k_core, obj);
    breaker_init_remote(*core);
    return storage;
}

void register_redis(nb::module_ &m) {
    R = &ql::forever<RedisState>();

    nb::class_<RedisCore>(m, "_RedisLimiterCore");
    nb::class_<RedisBucketCore>(m, "_RedisBucketCore");
    nb::class_<BreakerCore>(m, "_BreakerStorageCore");

    // ---- RedisThrottler
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
    cb.method("consume", {ql::arg("self"), ql::arg("key")},
              [](ql::Args &a) { return redis_consume(a[0], a[1]); },
              "Count one request for key if the shared window admits it; never raises to throttle.");
    cb.async_method(
        "consume_async", {ql::arg("self"), ql::arg("key")},
        [](ql::Args &a) {
            core_of(a[0]);
            if (!PyUnicode_Check(a[1].ptr()))
                ql::raise_type_error("key must be a str, not " + ql::type_name_of(a[1]));
            return ql::coroutine(redis_consume_async_body(nb::borrow(a[0]), nb::borrow(a[1])));
        },
        "consume() for callers on the event loop: the round trip does not block the loop.");
    cb.property("tracked_key_count", [](nb::handle self) { return redis_tracked(self); },
                "Number of keys currently held on the server under this limiter's prefix (walks the key space).");
    cb.property("_max_requests", [](nb::handle self) { return nb::int_(core_of(self).s.max_requests); });
    cb.property("_window_seconds", [](nb::handle self) { return nb::float_(core_of(self).s.window_seconds); });
    cb.property("_max_tracked_keys", [](nb::handle self) { return nb::int_(core_of(self).s.max_tracked_keys); });
    cb.property("_key_ttl_seconds", [](nb::handle self) { return nb::float_(core_of(self).s.key_ttl_seconds); });
    cb.property("failure_mode", [](nb::handle self) { return nb::str(core_of(self).closed ? "closed" : "open"); },
                "\"open\" (admit) or \"closed\" (reject) while Redis cannot be reached.");
    R->limiter_cls = cb.build(ql::builtins().object);
    m.attr("RedisThrottler") = R->limiter_cls;

    // ---- RedisTokenBucket
    ql::ClassBuilder bb(MOD, "RedisTokenBucket",
                        "Token bucket shared by every process that uses the same Redis: holds up to capacity "
                        "tokens, refilled at refill_rate tokens per second of the server's clock.");
    bb.attr("__slots__", nb::make_tuple("_core", "__weakref__"));
    bb.method(
        "__init__",
        {ql::arg("self"), ql::arg("capacity"), ql::arg("refill_rate"), ql::kwonly("url", nb::none()),
         ql::kwonly("failure_mode", nb::none()), ql::kwonly("key", nb::str("ql:bucket:global"))},
        [](ql::Args &a) -> nb::object {
            double c = real_number(a[1], "capacity");
            double r = real_number(a[2], "refill_rate");
            if (!(c >= 0) || !std::isfinite(c))
                ql::raise_value_error("capacity must be a finite number >= 0");
            if (!(r >= 0) || !std::isfinite(r))
                ql::raise_value_error("refill_rate must be a finite number >= 0");
            ql::require_str(a[5], "key");
            bool closed = failure_mode_closed(a[4], a[4].is_none() ? "QL_THROTTLE_REDIS_FAILURE_MODE" : "failure_mode");
            RedisConn &conn = redis_conn(a[3]);
            auto *core = new RedisBucketCore{&conn, c, r, closed, prefix_bytes(a[5]), nb::object(), nb::object(),
                                             R->weak_dict()};
            nb::object obj = nb::cast(core, nb::rv_policy::take_ownership);
            core->capacity_arg = nb::str(ql::repr_of(nb::float_(c)).c_str());
            core->rate_arg = nb::str(ql::repr_of(nb::float_(r)).c_str());
            nb::setattr(a[0], R->k_core, obj);
            return nb::none();
        });
    bb.async_method(
        "acquire", {ql::arg("self"), ql::arg("amount", nb::int_(1))},
        [](ql::Args &a) {
            nb::object core = nb::getattr(a[0], R->k_core, nb::none());
            if (!nb::isinstance<RedisBucketCore>(core) || !nb::inst_ready(core))
                ql::raise_type_error("self must be an initialised RedisTokenBucket, not " + ql::type_name_of(a[0]));
            nb::object amount = PyLong_CheckExact(a[1].ptr()) ? nb::borrow(a[1]) : as_index(a[1], "amount");
            int neg = PyObject_RichCompareBool(amount.ptr(), nb::int_(0).ptr(), Py_LT);
            if (neg < 0)
                throw nb::python_error();
            // A negative amount would hand tokens back beyond the capacity.
            if (neg)
                ql::raise_value_error("amount must be >= 0");
            return ql::coroutine(redis_acquire_body(nb::borrow(a[0]), amount));
        },
        "Take amount tokens from the shared bucket, or raise ThrottleExceeded.");
    auto bucket_core = [](nb::handle self) -> RedisBucketCore & {
        nb::object core = nb::getattr(self, R->k_core, nb::none());
        if (!nb::isinstance<RedisBucketCore>(core) || !nb::inst_ready(core))
            ql::raise_type_error("self must be an initialised RedisTokenBucket, not " + ql::type_name_of(self));
        return *nb::inst_ptr<RedisBucketCore>(core);
    };
    bb.property("capacity", [bucket_core](nb::handle self) { return nb::float_(bucket_core(self).capacity); });
    bb.property("refill_rate", [bucket_core](nb::handle self) { return nb::float_(bucket_core(self).refill_rate); });
    R->bucket_cls = bb.build(ql::builtins().object);
    m.attr("RedisTokenBucket") = R->bucket_cls;

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
}
