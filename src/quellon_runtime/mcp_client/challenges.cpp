// WWW-Authenticate challenge parsing.
//
// The header text is scanned in place on the str's own code units (1, 2 or 4 bytes wide), with no
// encoding step and no Python object touched until the results are cut out, so every str the
// caller can pass, lone surrogates included, parses. The scan recognises exactly what the patterns
// error\s*=\s*"([^"]+)", scope\s*=\s*"([^"]+)" and error_description\s*=\s*"([^"]+)" find with
// re.IGNORECASE on str: first match anywhere, Unicode whitespace, the engine's case-insensitive
// equivalents for the letters of the names.
#include <ql/toolkit.hpp>

#include <array>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

const char *MOD = "quellon_runtime.mcp_client.challenges";

// (prefixed: ERROR is a macro in some Windows headers)
enum FieldIndex { F_SCHEME, F_ERROR, F_ERROR_DESCRIPTION, F_RESOURCE_METADATA, F_SCOPE, F_RAW, NFIELDS };
const char *FIELD_NAMES[NFIELDS] = {"scheme", "error", "error_description", "resource_metadata", "scope", "raw"};

struct State {
    nb::object challenge_cls;
    // slot descriptors of the record, so a parse fills the slots directly
    std::array<nb::object, NFIELDS> slots;
    // discovery.parse_resource_metadata_url as imported, and the discovery module's namespace: the
    // native scan stands in for the function only while the module still binds that one, and only
    // if that one is the function discovery defines (not a replacement bound before this import).
    nb::object resource_metadata_url, discovery_dict, k_function;
    bool stock_function = false;
    nb::object error_name, invalid_token, insufficient_scope, lower_name;
};
State *S;

// ---- the scan: plain code-unit arithmetic ----

struct Span {
    Py_ssize_t begin = -1, end = -1;
    bool found() const { return begin >= 0; }
};


inline bool is_space(Py_UCS4 c) { return Py_UNICODE_ISSPACE(c); }

// Case-insensitive match of one character of a parameter name, as the host's regex engine decides
// it for str patterns: ASCII case, plus U+017F (long s) for 's' and U+0130/U+0131 (dotted capital I,
// dotless i) for 'i'. The names contain no other letter with non-ASCII case partners.
inline bool name_char(Py_UCS4 c, char want) {
    if (c < 128)
        return want == '_' ? c == '_' : (c | 0x20) == (Py_UCS4)want;
    return (want == 's' && c == 0x17F) || (want == 'i' && (c == 0x130 || c == 0x131));
}

// ---- resource_metadata: the stock discovery.parse_resource_metadata_url, natively ----
//
// That function returns the leftmost match of
//   resource_metadata(?<![\w-]resource_metadata)\s*=\s*(?:"([^"\\]*(?:\\.[^"\\]*)*)"|([^\s,"]+))
// (re.IGNORECASE, on str), with quoted pairs of a quoted value unescaped, then stripped; None when
// nothing matches or the value strips to nothing. Under IGNORECASE the name's letters match their
// ASCII cases, and 's' also U+017F; no character class here changes membership with case.

// Index of the first `c` in s[i, end), or `end`; memchr on one-byte text.
template <class C> inline Py_ssize_t find_char(const C *s, Py_ssize_t i, Py_ssize_t end, char c) {
    if (i >= end)
        return end;
    if constexpr (sizeof(C) == 1) {
        const void *hit = std::memchr(s + i, c, (size_t)(end - i));
        return hit ? (const C *)hit - s : end;
    } else {
        while (i < end && s[i] != (C)c)
            ++i;
        return i;
    }
}

struct Metadata {
    Py_ssize_t begin = -1, end = -1; // the value inside the quotes, or the token
    bool escaped = false;            // a quoted value holding quoted pairs
};

inline bool word_or_hyphen(Py_UCS4 c) {
    if (c < 128)
        return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c == '_' || c == '-';
    return Py_UNICODE_ISALNUM(c);
}

template <class C> bool metadata_at(const C *s, Py_ssize_t i, Py_ssize_t n, Metadata &m) {
    static constexpr std::string_view NAME = "resource_metadata";
    if (n - i < (Py_ssize_t)NAME.size())
        return false;
    for (char want : NAME)
        if (!name_char(s[i++], want))
            return false;
    while (i < n && is_space(s[i]))
        ++i;
    if (i >= n || s[i] != '=')
        return false;
    ++i;
    while (i < n && is_space(s[i]))
        ++i;
    if (i >= n)
        return false;
    if (s[i] == '"') {
        Py_ssize_t open = ++i;
        bool escaped = false;
        for (;;) {
            Py_ssize_t quote = find_char(s, i, n, '"');
            Py_ssize_t backslash = find_char(s, i, quote, '\\');
            if (backslash == quote) {
                if (quote >= n)
                    return false; // unterminated
                i = quote;
                break;
            }
            // A backslash pairs with any character but a line feed ('.'); otherwise no match.
            if (backslash + 1 >= n || s[backslash + 1] == '\n')
                return false;
            escaped = true;
            i = backslash + 2;
        }
        m = {open, i, escaped};
        return true;
    }
    Py_ssize_t start = i;
    while (i < n && !is_space(s[i]) && s[i] != ',' && s[i] != '"')
        ++i;
    if (i == start)
        return false;
    m = {start, i, false};
    return true;
}

struct Parsed {
    Py_ssize_t raw_begin = 0, raw_end = 0, scheme_end = 0;
    Span error, description, scope;
    Metadata metadata;
    bool has_metadata = false;
};

// name \s* = \s* "value" starting at i, value non-empty and free of double quotes; {} otherwise.
template <class C> Span param_at(const C *s, Py_ssize_t i, Py_ssize_t end, std::string_view name) {
    for (char want : name) {
        if (i >= end || !name_char(s[i], want))
            return {};
        ++i;
    }
    while (i < end && is_space(s[i]))
        ++i;
    if (i >= end || s[i] != '=')
        return {};
    ++i;
    while (i < end && is_space(s[i]))
        ++i;
    if (i >= end || s[i] != '"')
        return {};
    Py_ssize_t open = ++i;
    i = find_char(s, i, end, '"');
    if (i >= end || i == open)
        return {};
    return {open, i};
}

// Whether c can start one of the parameter names.
struct NameStarts {
    bool table[256] = {};
    constexpr NameStarts() {
        for (char c : {'e', 'E', 's', 'S', 'r', 'R'})
            table[(unsigned char)c] = true;
    }
};
constexpr NameStarts NAME_STARTS;

template <class C> inline bool starts_name(C c) {
    if constexpr (sizeof(C) == 1)
        return NAME_STARTS.table[c];
    else
        return c < 256 ? NAME_STARTS.table[c] : c == 0x17F;
}

template <class C> bool scan(const C *s, Py_ssize_t n, Parsed &p) {
    Py_ssize_t b = 0, e = n;
    while (b < e && is_space(s[b]))
        ++b;
    while (e > b && is_space(s[e - 1]))
        --e;
    if (b == e)
        return false;
    p.raw_begin = b;
    p.raw_end = e;
    p.scheme_end = e;
    for (Py_ssize_t i = b; i < e; ++i)
        if (s[i] == ' ') {
            p.scheme_end = i;
            break;
        }
    // One pass finds the leftmost match of each parameter; a position can start "error" and
    // "error_description" at once. Only the first letters of the names (e, s, r in either case, and
    // U+017F) start a closer look; the second letters ('r', 'c', 'e') have no non-ASCII case
    // partners, so they make the next cheap filter.
    for (Py_ssize_t i = b; i + 1 < e; ++i) {
        while (!starts_name(s[i]) && ++i + 1 < e) {
        }
        if (i + 1 >= e)
            break;
        Py_UCS4 c = s[i], next = s[i + 1] | 0x20;
        if ((c | 0x20) == 'e' && next == 'r') {
            if (!p.error.found())
                p.error = param_at(s, i, e, "error");
            if (!p.description.found() && i + 5 < e && s[i + 5] == '_')
                p.description = param_at(s, i, e, "error_description");
        } else if (((c | 0x20) == 's' || c == 0x17F) && next == 'c') {
            if (!p.scope.found())
                p.scope = param_at(s, i, e, "scope");
        } else if ((c | 0x20) == 'r' && next == 'e') {
            // resource_metadata, but not as the tail of a longer name (at b nothing precedes it in
            // the stripped text).
            if (!p.has_metadata && !(i > b && word_or_hyphen(s[i - 1])))
                p.has_metadata = metadata_at(s, i, e, p.metadata);
        } else {
            continue;
        }
        if (p.error.found() && p.description.found() && p.scope.found() && p.has_metadata)
            break;
    }
    return true;
}

bool scan_str(PyObject *str, Parsed &p) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str) < 0)
        throw nb::python_error();
#endif
    Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: return scan(PyUnicode_1BYTE_DATA(str), n, p);
    case PyUnicode_2BYTE_KIND: return scan(PyUnicode_2BYTE_DATA(str), n, p);
    default: return scan(PyUnicode_4BYTE_DATA(str), n, p);
    }
}

// The value of a match: quoted pairs unescaped, then stripped; None when that leaves nothing.
template <class C> nb::object metadata_value(PyObject *str, const C *s, const Metadata &m) {
    nb::object value;
    if (m.escaped) {
        std::vector<Py_UCS4> out;
        out.reserve((size_t)(m.end - m.begin));
        for (Py_ssize_t i = m.begin; i < m.end; ++i)
            out.push_back(s[i] == '\\' ? s[++i] : s[i]);
        size_t b = 0, e = out.size();
        while (b < e && is_space(out[b]))
            ++b;
        while (e > b && is_space(out[e - 1]))
            --e;
        if (b == e)
            return nb::none();
        value = nb::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data() + b, (Py_ssize_t)(e - b)));
        if (!value.is_valid())
            throw nb::python_error();
        return value;
    }
    Py_ssize_t b = m.begin, e = m.end;
    while (b < e && is_space(s[b]))
        ++b;
    while (e > b && is_space(s[e - 1]))
        --e;
    if (b == e)
        return nb::none();
    PyObject *r = PyUnicode_Substring(str, b, e);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// True while discovery binds the function that the native scan reproduces.
bool stock_discovery() {
    return S->stock_function &&
           PyDict_GetItemWithError(S->discovery_dict.ptr(), S->k_function.ptr()) == S->resource_metadata_url.ptr();
}

// parse_resource_metadata_url(raw) for the stripped header `raw` cut from `h`: from the scan while
// the stock function is bound, else through whatever discovery binds now.
nb::object resource_metadata(PyObject *h, const Parsed &p, PyObject *raw) {
    if (stock_discovery()) {
        if (!p.has_metadata)
            return nb::none();
        switch (PyUnicode_KIND(h)) {
        case PyUnicode_1BYTE_KIND: return metadata_value(h, PyUnicode_1BYTE_DATA(h), p.metadata);
        case PyUnicode_2BYTE_KIND: return metadata_value(h, PyUnicode_2BYTE_DATA(h), p.metadata);
        default: return metadata_value(h, PyUnicode_4BYTE_DATA(h), p.metadata);
        }
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    PyObject *fn = PyDict_GetItemWithError(S->discovery_dict.ptr(), S->k_function.ptr());
    if (!fn) {
        if (PyErr_Occurred())
            throw nb::python_error();
        fn = S->resource_metadata_url.ptr(); // deleted from the module: the function as imported
    }
    nb::object keep = nb::borrow(fn);
    PyObject *r = PyObject_Vectorcall(fn, &raw, 1, nullptr);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// ---- Python side ----

nb::object substring(PyObject *str, Py_ssize_t b, Py_ssize_t e) {
    PyObject *r = PyUnicode_Substring(str, b, e);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

nb::object group(PyObject *str, const Span &sp) { return sp.found() ? substring(str, sp.begin, sp.end) : nb::none(); }

nb::object parse_www_authenticate(nb::handle header_value) {
    ql::require_str_or_none(header_value, "header_value");
    if (header_value.is_none())
        return nb::none();
    PyObject *h = header_value.ptr();
    Parsed p;
    if (!scan_str(h, p))
        return nb::none();

    std::array<nb::object, NFIELDS> v;
    v[F_RAW] = substring(h, p.raw_begin, p.raw_end);
    v[F_SCHEME] = substring(h, p.raw_begin, p.scheme_end);
    v[F_ERROR] = group(h, p.error);
    v[F_ERROR_DESCRIPTION] = group(h, p.description);
    v[F_RESOURCE_METADATA] = resource_metadata(h, p, v[F_RAW].ptr());
    v[F_SCOPE] = group(h, p.scope);

    // Same result as calling the class with the six fields (the record's __init__ only fills its
    // slots), without the generic call and attribute machinery.
    PyTypeObject *tp = (PyTypeObject *)S->challenge_cls.ptr();
    nb::object obj = nb::steal(tp->tp_alloc(tp, 0));
    if (!obj.is_valid())
        throw nb::python_error();
    for (int i = 0; i < NFIELDS; ++i) {
        PyObject *d = S->slots[i].ptr();
        if (Py_TYPE(d)->tp_descr_set(d, obj.ptr(), v[i].ptr()) < 0)
            throw nb::python_error();
    }
    return obj;
}

nb::object error_of(nb::handle self) {
    PyObject *r = PyObject_GetAttr(self.ptr(), S->error_name.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// (error or "").lower() == word
bool error_is(nb::handle self, const nb::object &word) {
    nb::object err = error_of(self);
    int truth = PyObject_IsTrue(err.ptr());
    if (truth < 0)
        throw nb::python_error();
    if (!truth)
        return false; // "" is neither word
    nb::object low = nb::steal(PyObject_CallMethodNoArgs(err.ptr(), S->lower_name.ptr()));
    if (!low.is_valid())
        throw nb::python_error();
    int eq = PyObject_RichCompareBool(low.ptr(), word.ptr(), Py_EQ);
    if (eq < 0)
        throw nb::python_error();
    return eq != 0;
}

nb::object str(const char *s) { return nb::steal(PyUnicode_InternFromString(s)); }

} // namespace

QL_MODULE(challenges, m) {
    m.doc() = "WWW-Authenticate challenge parsing for MCP OAuth error handling.";
    S = &ql::forever<State>();
    S->error_name = str("error");
    S->invalid_token = str("invalid_token");
    S->insufficient_scope = str("insufficient_scope");
    S->lower_name = str("lower");
    nb::object discovery = ql::import("quellon_runtime.mcp_client.discovery");
    S->discovery_dict = nb::borrow(PyModule_GetDict(discovery.ptr()));
    S->k_function = str("parse_resource_metadata_url");
    S->resource_metadata_url = discovery.attr(S->k_function);
    {
        nb::handle fn = S->resource_metadata_url;
        S->stock_function = PyFunction_Check(fn.ptr()) && nb::getattr(fn, "__module__").equal(discovery.attr("__name__")) &&
                            nb::getattr(fn, "__qualname__").equal(S->k_function);
    }

    nb::object re = ql::import("re");
    nb::object ignorecase = re.attr("IGNORECASE");
    m.attr("_ERROR_RE") = re.attr("compile")(R"re(error\s*=\s*"([^"]+)")re", ignorecase);
    m.attr("_SCOPE_RE") = re.attr("compile")(R"re(scope\s*=\s*"([^"]+)")re", ignorecase);

    nb::object typing_optional = ql::import("typing").attr("Optional");
    nb::handle str_t = (PyObject *)&PyUnicode_Type;
    nb::object opt_str = typing_optional[str_t];
    nb::dict fields_ann;
    fields_ann["scheme"] = str_t;
    fields_ann["error"] = opt_str;
    fields_ann["error_description"] = opt_str;
    fields_ann["resource_metadata"] = opt_str;
    fields_ann["scope"] = opt_str;
    fields_ann["raw"] = str_t;

    std::vector<ql::Field> fields;
    for (const char *name : FIELD_NAMES)
        fields.push_back(ql::field(name));
    nb::object cls = ql::make_record(
        MOD, "WwwAuthenticateChallenge", std::move(fields), true,
        "One parsed WWW-Authenticate challenge: the scheme, the recognised parameters and the raw text.",
        [&](ql::ClassBuilder &cb) {
            cb.attr("__annotations__", fields_ann);
            cb.property(
                "is_invalid_token", [](nb::handle self) { return nb::bool_(error_is(self, S->invalid_token)); },
                "The error is invalid_token (any case).");
            cb.property(
                "is_insufficient_scope",
                [](nb::handle self) { return nb::bool_(error_is(self, S->insufficient_scope)); },
                "The error is insufficient_scope (any case).");
            cb.property(
                "treat_as_unauthorized",
                [](nb::handle self) {
                    return nb::bool_(error_is(self, S->invalid_token) || error_of(self).is_none());
                },
                "Authorize again: the token is invalid, or the server named no error at all.");
        });
    S->challenge_cls = cls;
    nb::object cls_dict = nb::getattr(cls, "__dict__");
    for (int i = 0; i < NFIELDS; ++i) {
        nb::object d = cls_dict[FIELD_NAMES[i]];
        if (!Py_TYPE(d.ptr())->tp_descr_set)
            ql::raise(PyExc_RuntimeError, std::string("record field without a slot: ") + FIELD_NAMES[i]);
        S->slots[i] = d;
    }
    m.attr("WwwAuthenticateChallenge") = cls;

    ql::FnInfo info;
    info.name = "parse_www_authenticate";
    info.module = MOD;
    info.doc = "Parse a WWW-Authenticate header value; None when it is None, empty or only whitespace.\n\n"
               "Lenient: unrecognised text never raises, it only leaves fields None.";
    nb::dict ann;
    ann["header_value"] = opt_str;
    ann["return"] = typing_optional[cls];
    info.annotations = ann;
    m.attr("parse_www_authenticate") =
        ql::make_function(std::move(info), {ql::arg("header_value")},
                          [](ql::Args &a) { return parse_www_authenticate(a[0]); });
}
