// FixedTokenAuthProvider: one secret from a SecretProvider, injected as one request header.
//
// The header is built on first use and kept until refresh(); there is no time-based expiry. The
// secret value is never logged: the only record carries the header's name.
#include <ql/toolkit.hpp>

namespace {

const char *MOD = "quellon_runtime.auth.fixed_token";

struct State {
    ql::Logger log{"runtime.auth.fixed_token"};
    nb::handle secret_provider = ql::intern("_secret_provider");
    nb::handle secret_key = ql::intern("_secret_key");
    nb::handle header_name = ql::intern("_header_name");
    nb::handle prefix = ql::intern("_prefix");
    nb::handle encoding = ql::intern("_encoding");
    nb::handle cached_header = ql::intern("_cached_header");
    nb::handle get_secret = ql::intern("get_secret");
    nb::handle build_header = ql::intern("_build_header");
    nb::handle strip = ql::intern("strip");
    nb::object qn_get_headers{nb::str("FixedTokenAuthProvider.get_headers")};
    nb::object qn_refresh{nb::str("FixedTokenAuthProvider.refresh")};
    nb::object without_secret;
};
State *S;

nb::object get(nb::handle obj, nb::handle name) {
    PyObject *v = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!v)
        throw nb::python_error();
    return nb::steal(v);
}

void set(nb::handle obj, nb::handle name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

nb::object call_method(nb::handle obj, nb::handle name, nb::handle arg = nb::handle()) {
    PyObject *r = arg.is_valid() ? PyObject_CallMethodOneArg(obj.ptr(), name.ptr(), arg.ptr())
                                 : PyObject_CallMethodNoArgs(obj.ptr(), name.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// Standard base64 (RFC 4648, padded) of the text's UTF-8 bytes, as text. Text that has no UTF-8
// form (a lone surrogate) raises UnicodeEncodeError, but not the interpreter's own: that one holds
// the whole secret in `object`.
nb::object base64_of(nb::handle text, nb::handle key) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) {
        nb::python_error failure;
        if (!failure.matches(PyExc_UnicodeEncodeError))
            throw failure;
        nb::object what = nb::steal(PyUnicode_FromFormat("secret %R", key.ptr()));
        if (!what.is_valid())
            throw nb::python_error();
        ql::raise_from(S->without_secret(ql::exc_value(failure), what), nb::none());
    }
    std::string_view in(utf8, (size_t)size);
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    size_t i = 0;
    auto byte = [&](size_t k) { return (unsigned)(unsigned char)in[k]; };
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        out += table[v >> 18 & 63];
        out += table[v >> 12 & 63];
        out += table[v >> 6 & 63];
        out += table[v & 63];
    }
    if (size_t rest = in.size() - i) {
        unsigned v = byte(i) << 16 | (rest == 2 ? byte(i + 1) << 8 : 0u);
        out += table[v >> 18 & 63];
        out += table[v >> 12 & 63];
        out += rest == 2 ? table[v >> 6 & 63] : '=';
        out += '=';
    }
    return nb::str(out.data(), out.size());
}

// Whether the text holds CR, LF or NUL.
bool has_line_break(nb::handle text) {
    PyObject *p = text.ptr();
    int kind = PyUnicode_KIND(p);
    const void *data = PyUnicode_DATA(p);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(p); i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\r' || c == '\n' || c == 0)
            return true;
    }
    return false;
}

nb::object build_header(nb::handle self) {
    nb::object key = get(self, S->secret_key);
    nb::object raw = call_method(get(self, S->secret_provider), S->get_secret, key);
    // A None or other non-text value must not turn into a header such as "Bearer None"; the message
    // names the key and the type only, never the value.
    if (!ql::is_str(raw))
        ql::raise_type_error("secret " + ql::repr_of(key) + " must be a str, not " + ql::type_name_of(raw));

    nb::object enc = get(self, S->encoding);
    if (ql::is_str(enc) && ql::view(enc) == "base64")
        raw = base64_of(raw, key);

    nb::object prefix = get(self, S->prefix);
    ql::require_str(prefix, "prefix");
    nb::object value = raw;
    if (PyUnicode_GET_LENGTH(prefix.ptr()) > 0) {
        nb::object joined = nb::steal(PyUnicode_FromFormat("%U %U", prefix.ptr(), raw.ptr()));
        if (!joined.is_valid())
            throw nb::python_error();
        value = call_method(joined, S->strip);
    }
    // CR or LF would end the header and start another one of the secret's choosing (and NUL cuts it
    // short in many clients): refused, naming the key only.
    if (has_line_break(value))
        ql::raise_value_error("secret " + ql::repr_of(key) + " would put a CR, LF or NUL character into the " +
                              ql::repr_of(get(self, S->header_name)) + " header");
    nb::dict header;
    header[get(self, S->header_name)] = value;
    return header;
}

ql::Task get_headers(nb::object self) {
    nb::object cached = get(self, S->cached_header);
    if (cached.is_none()) {
        S->log.log(ql::DEBUG, "FixedTokenAuthProvider: resolving secret", nb::tuple(),
                   [&] { return ql::kv("header", get(self, S->header_name)); });
        // Built and stored with no suspension in between, so concurrent callers on one loop see
        // either nothing or the finished header.
        cached = call_method(self, S->build_header);
        set(self, S->cached_header, cached);
    }
    // A copy, so callers may change what they get without touching the cache. The cache holds
    // the dict built above unless something replaced it; anything else goes through dict().
    PyObject *copy = PyDict_CheckExact(cached.ptr()) ? PyDict_Copy(cached.ptr())
                                                      : PyObject_CallOneArg((PyObject *)&PyDict_Type, cached.ptr());
    if (!copy)
        throw nb::python_error();
    co_return nb::steal(copy);
}

ql::Task refresh(nb::object self) {
    S->log.log(ql::DEBUG, "FixedTokenAuthProvider: cache invalidated");
    set(self, S->cached_header, nb::none());
    co_return nb::none();
}

} // namespace

QL_MODULE(fixed_token, m) {
    S = &ql::forever<State>();
    nb::object base = ql::import("quellon_runtime.auth.base").attr("AuthProvider");
    ql::import("quellon_runtime.secrets");
    S->without_secret = ql::import("quellon_runtime.secrets.base").attr("_without_secret");

    ql::ClassBuilder cb(MOD, "FixedTokenAuthProvider",
                        "Auth provider that sends one secret as one request header.\n\n"
                        "Serves API keys, non-expiring bearer tokens and HTTP Basic (encoding=\"base64\" over a\n"
                        "secret of the form user:password). The secret is read once and kept in memory until\n"
                        "refresh(); call refresh() or replace the provider to follow a rotated secret.");
    cb.method(
        "__init__",
        {ql::arg("self"), ql::kwonly("secret_provider"), ql::kwonly("secret_key"),
         ql::kwonly("header_name", nb::str("Authorization")), ql::kwonly("prefix", nb::str("Bearer")),
         ql::kwonly("encoding", nb::none())},
        [](ql::Args &a) {
            ql::require_str(a[2], "secret_key");
            ql::require_str(a[3], "header_name");
            ql::require_str(a[4], "prefix");
            ql::require_str_or_none(a[5], "encoding");
            // The header's name and prefix come from configuration: the same line-break rule as the
            // secret, checked once here.
            if (has_line_break(a[3]))
                ql::raise_value_error("header_name must not contain CR, LF or NUL");
            if (has_line_break(a[4]))
                ql::raise_value_error("prefix must not contain CR, LF or NUL");
            nb::handle self = a[0];
            set(self, S->secret_provider, a[1]);
            set(self, S->secret_key, a[2]);
            set(self, S->header_name, a[3]);
            set(self, S->prefix, a[4]);
            set(self, S->encoding, a[5]);
            set(self, S->cached_header, nb::none());
            return nb::none();
        });
    cb.async_method(
        "get_headers", {ql::arg("self")},
        [](ql::Args &a) { return ql::coroutine(get_headers(nb::borrow(a[0])), S->qn_get_headers); },
        "Return a new dict with the one header, reading the secret on first use.");
    cb.async_method(
        "refresh", {ql::arg("self")},
        [](ql::Args &a) { return ql::coroutine(refresh(nb::borrow(a[0])), S->qn_refresh); },
        "Drop the cached header so that the next get_headers() reads the secret again.");
    cb.method(
        "_build_header", {ql::arg("self")}, [](ql::Args &a) { return build_header(a[0]); },
        "Read the secret and build the one-entry header dict.");
    m.attr("FixedTokenAuthProvider") = cb.build(base);
    nb::list all;
    all.append("FixedTokenAuthProvider");
    m.attr("__all__") = all;
}
