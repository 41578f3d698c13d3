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

namespace {

const char *MOD = "quellon_runtime.mcp_client.challenges";

// (prefixed: ERROR is a macro in some Windows headers)
enum FieldIndex { F_SCHEME, F_ERROR, F_ERROR_DESCRIPTION, F_RESOURCE_METADATA, F_SCOPE, F_RAW, NFIELDS };
const char *FIELD_NAMES[NFIELDS] = {"scheme", "error", "error_description", "resource_metadata", "scope", "raw"};

struct State {
    nb::object challenge_cls;
    // slot descriptors of the record, so a parse fills the slots directly
    std::array<nb::object, NFIELDS> slots;
    nb::object resource_metadata_url; // discovery.parse_resource_metadata_url
    nb::object error_name, invalid_token, insufficient_scope, lower_name;
};
State *S;

// ---- the scan: plain code-unit arithmetic ----

struct Span {
    Py_ssize_t begin = -1, end = -1;
    bool found() const { return begin >= 0; }
};

struct Parsed {
    Py_ssize_t raw_begin = 0, raw_end = 0, scheme_end = 0;
    Span error, description, scope;
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
    while (i < end && s[i] != '"')
        ++i;
    if (i >= end || i == open)
        return {};
    return {open, i};
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
    // "error_description" at once. The second letters ('r', 'c') have no non-ASCII case partners,
    // so they make a cheap first filter.
    for (Py_ssize_t i = b; i + 1 < e; ++i) {
        Py_UCS4 c = s[i], next = s[i + 1] | 0x20;
        if ((c | 0x20) == 'e' && next == 'r') {
            if (!p.error.found())
                p.error = param_at(s, i, e, "error");
            if (!p.description.found())
                p.description = param_at(s, i, e, "error_description");
        } else if (((c | 0x20) == 's' || c == 0x17F) && next == 'c') {
            if (!p.scope.found())
                p.scope = param_at(s, i, e, "scope");
        } else {
            continue;
        }
        if (p.error.found() && p.description.found() && p.scope.found())
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
    PyObject *arg = v[F_RAW].ptr();
    PyObject *rm = PyObject_Vectorcall(S->resource_metadata_url.ptr(), &arg, 1, nullptr);
    if (!rm)
        throw nb::python_error();
    v[F_RESOURCE_METADATA] = nb::steal(rm);
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
    S->resource_metadata_url = ql::import("quellon_runtime.mcp_client.discovery").attr("parse_resource_metadata_url");

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
