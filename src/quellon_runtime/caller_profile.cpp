// Caller identification for the bindings: a bearer credential is accepted as a static API key
// (constant-time comparison) or as an HS256 JWT with a fixed audience and issuer, and turned into
// an immutable caller profile.
#include <ql/toolkit.hpp>

#include <array>

namespace {

const char *MOD = "quellon_runtime.caller_profile";

nb::object intern(const char *s) { return nb::steal(PyUnicode_InternFromString(s)); }

struct State {
    ql::Logger log{"runtime.caller_profile"};
    nb::object environ_get, json_loads, compare_digest, mapping_abc;
    // slot descriptors of CallerProfile in field order, so a profile is filled directly
    std::array<nb::object, 5> profile_slots;
    nb::object jwt_decode, pyjwt_error;
    nb::object profile_cls, not_configured_cls, warn_once;
    nb::object k_sub = intern("sub"), k_client_id = intern("client_id"), k_tenant_id = intern("tenant_id"),
               k_scopes = intern("scopes"), k_scope = intern("scope");
    nb::object audience_env = intern("QL_JWT_AUDIENCE"), issuer_env = intern("QL_JWT_ISSUER");
    nb::object unknown = intern("unknown"), api_key_user = intern("api-key-user"), jwt_type = intern("jwt");
    nb::object space = intern(" "), dot = intern(".");
};
State *S;

nb::object env_get(nb::handle name) { return S->environ_get(name); }

inline bool is_space(Py_UCS4 c) { return Py_UNICODE_ISSPACE(c); }

// str.strip() with no argument: the same whitespace rule, the same object when nothing is stripped.
nb::object strip(nb::handle s) {
    if (!PyUnicode_Check(s.ptr()))
        ql::raise_type_error("expected a str, not " + ql::type_name_of(s));
    PyObject *p = s.ptr();
    int kind = PyUnicode_KIND(p);
    const void *data = PyUnicode_DATA(p);
    Py_ssize_t b = 0, e = PyUnicode_GET_LENGTH(p);
    while (b < e && is_space(PyUnicode_READ(kind, data, b)))
        ++b;
    while (e > b && is_space(PyUnicode_READ(kind, data, e - 1)))
        --e;
    PyObject *r = PyUnicode_Substring(p, b, e);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

bool is_blank(nb::handle s) {
    if (!PyUnicode_Check(s.ptr()))
        ql::raise_type_error("expected a str, not " + ql::type_name_of(s));
    PyObject *p = s.ptr();
    int kind = PyUnicode_KIND(p);
    const void *data = PyUnicode_DATA(p);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(p); i < n; ++i)
        if (!is_space(PyUnicode_READ(kind, data, i)))
            return false;
    return true;
}

// re.split(r"[\s,]+", text) without the empty pieces: the runs between whitespace and commas.
void split_scopes(nb::handle text, nb::list &out) {
    PyObject *p = text.ptr();
    int kind = PyUnicode_KIND(p);
    const void *data = PyUnicode_DATA(p);
    Py_ssize_t n = PyUnicode_GET_LENGTH(p);
    auto separates = [&](Py_ssize_t i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        return c == ',' || is_space(c);
    };
    for (Py_ssize_t i = 0; i < n;) {
        while (i < n && separates(i))
            ++i;
        Py_ssize_t start = i;
        while (i < n && !separates(i))
            ++i;
        if (i > start) {
            PyObject *piece = PyUnicode_Substring(p, start, i);
            if (!piece || PyList_Append(out.ptr(), piece) < 0) {
                Py_XDECREF(piece);
                throw nb::python_error();
            }
            Py_DECREF(piece);
        }
    }
}

bool truth(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0)
        throw nb::python_error();
    return r;
}

nb::object to_text(nb::handle o) {
    PyObject *s = PyObject_Str(o.ptr());
    if (!s)
        throw nb::python_error();
    return nb::steal(s);
}

// Borrowed lookup in a dict; an invalid handle when the key is absent.
nb::handle dict_get(nb::handle d, const nb::object &key) {
    PyObject *v = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (!v && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

void require_mapping(nb::handle v, const char *param) {
    if (PyDict_Check(v.ptr())) // every dict is a Mapping; the ABC check is the slow part
        return;
    int ok = PyObject_IsInstance(v.ptr(), S->mapping_abc.ptr());
    if (ok < 0)
        throw nb::python_error();
    if (!ok)
        ql::raise_type_error(std::string(param) + " must be a mapping, not " + ql::type_name_of(v));
}

nb::object scopes_from_claim(nb::handle raw) {
    nb::list out;
    if (!raw.is_valid() || raw.is_none())
        return nb::tuple();
    if (PyUnicode_Check(raw.ptr())) {
        // Only the single blank separates: a tab stays inside its entry.
        nb::object parts = nb::steal(PyUnicode_Split(raw.ptr(), S->space.ptr(), -1));
        if (!parts.is_valid())
            throw nb::python_error();
        for (nb::handle p : parts)
            if (PyUnicode_GET_LENGTH(p.ptr()) > 0)
                out.append(p);
    } else if (PyList_Check(raw.ptr()) || PyTuple_Check(raw.ptr()) || PyAnySet_Check(raw.ptr())) {
        for (nb::handle item : raw) {
            nb::object text = to_text(item);
            if (!is_blank(text))
                out.append(text);
        }
    }
    return nb::tuple(out);
}

// CallerProfile(principal, tenant_id, scopes, claims, auth_type), filled slot by slot as its
// generated __init__ does, without the generic call.
nb::object make_profile(nb::handle principal, nb::handle tenant, nb::handle scopes, nb::handle claims,
                        nb::handle auth_type) {
    PyTypeObject *tp = (PyTypeObject *)S->profile_cls.ptr();
    nb::object obj = nb::steal(tp->tp_alloc(tp, 0));
    if (!obj.is_valid())
        throw nb::python_error();
    PyObject *values[] = {principal.ptr(), tenant.ptr(), scopes.ptr(), claims.ptr(), auth_type.ptr()};
    for (size_t i = 0; i < S->profile_slots.size(); ++i) {
        PyObject *d = S->profile_slots[i].ptr();
        if (Py_TYPE(d)->tp_descr_set(d, obj.ptr(), values[i]) < 0)
            throw nb::python_error();
    }
    return obj;
}

nb::object build_profile(nb::handle claims, nb::handle auth_type) {
    require_mapping(claims, "claims");
    ql::require_str(auth_type, "auth_type");
    nb::object copy;
    if (PyDict_CheckExact(claims.ptr())) {
        copy = nb::steal(PyDict_Copy(claims.ptr()));
        if (!copy.is_valid())
            throw nb::python_error();
    } else {
        copy = nb::dict();
        if (PyDict_Merge(copy.ptr(), claims.ptr(), 1) < 0)
            throw nb::python_error();
    }

    nb::object principal = S->unknown;
    for (const nb::object *key : {&S->k_sub, &S->k_client_id}) {
        nb::handle v = dict_get(copy, *key);
        if (v.is_valid() && truth(v)) {
            principal = to_text(v);
            break;
        }
    }
    nb::handle tenant_claim = dict_get(copy, S->k_tenant_id);
    nb::object tenant = (!tenant_claim.is_valid() || tenant_claim.is_none()) ? nb::none() : to_text(tenant_claim);
    nb::handle raw = dict_get(copy, S->k_scopes);
    if (!raw.is_valid() || raw.is_none())
        raw = dict_get(copy, S->k_scope);
    // Look the scopes up before handing the copy to the record: `raw` is borrowed from it.
    nb::object scopes = scopes_from_claim(raw);
    return make_profile(principal, tenant, scopes, copy, auth_type);
}

nb::object parse_api_key_scopes(nb::handle env_var) {
    ql::require_str(env_var, "env_var");
    nb::object value = env_get(env_var);
    if (value.is_none())
        return nb::tuple();
    nb::object text = strip(value);
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0)
        return nb::tuple();
    nb::list out;
    // An object is JSON too, just the wrong kind: refuse it rather than split its text into
    // scope names.
    Py_UCS4 first = PyUnicode_READ_CHAR(text.ptr(), 0);
    if (first == '[' || first == '{') {
        nb::object parsed = S->json_loads(text);
        if (!PyList_Check(parsed.ptr())) {
            nb::object msg = nb::steal(PyUnicode_FromFormat("%U JSON must be an array of strings", env_var.ptr()));
            if (!msg.is_valid())
                throw nb::python_error();
            ql::raise(nb::handle(PyExc_ValueError)(msg));
        }
        for (nb::handle item : parsed) {
            nb::object s = strip(to_text(item));
            if (PyUnicode_GET_LENGTH(s.ptr()) > 0)
                out.append(s);
        }
    } else {
        split_scopes(text, out);
    }
    return nb::tuple(out);
}

// compare_digest refuses non-ASCII text, which would turn an odd client credential into an error
// instead of a mismatch; comparing the encoded bytes keeps the comparison constant-time and total.
nb::object utf8_bytes(nb::handle s) {
    PyObject *b = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass");
    if (!b)
        throw nb::python_error();
    return nb::steal(b);
}

bool api_key_matches(nb::handle token, nb::handle api_key) {
    ql::require_str(token, "token");
    ql::require_str(api_key, "api_key");
    return truth(S->compare_digest(utf8_bytes(token), utf8_bytes(api_key)));
}

nb::object load_audience_issuer() {
    nb::object audience = env_get(S->audience_env);
    nb::object issuer = env_get(S->issuer_env);
    if (audience.is_none() || is_blank(audience))
        return nb::none();
    if (issuer.is_none() || is_blank(issuer))
        return nb::none();
    return nb::make_tuple(strip(audience), strip(issuer));
}

nb::object decode_jwt(nb::handle token, nb::handle secret) {
    ql::require_str(token, "token");
    ql::require_str(secret, "secret");
    nb::object pair = load_audience_issuer();
    if (pair.is_none()) {
        S->warn_once();
        ql::raise(S->not_configured_cls(
            "QL_JWT_AUDIENCE and QL_JWT_ISSUER must be set when JWT authentication is enabled"));
    }
    nb::list algorithms;
    algorithms.append("HS256");
    nb::list required;
    required.append("exp");
    required.append("iat");
    nb::dict options;
    options["require"] = required;
    return S->jwt_decode(token, secret, nb::arg("algorithms") = algorithms, nb::arg("audience") = pair[0],
                         nb::arg("issuer") = pair[1], nb::arg("options") = options);
}

nb::object verify(ql::Args &a) {
    nb::handle token = a[0], api_key = a[1], jwt_secret = a[2], scopes_env = a[3], auth_type = a[4];
    ql::require_str(token, "token");
    ql::require_str_or_none(api_key, "api_key");
    ql::require_str_or_none(jwt_secret, "jwt_secret");
    ql::require_str(scopes_env, "api_key_scopes_env");
    ql::require_str(auth_type, "api_key_auth_type");
    nb::object rejected = nb::make_tuple(false, nb::none());

    if (!api_key.is_none() && PyUnicode_GET_LENGTH(api_key.ptr()) > 0 && api_key_matches(token, api_key)) {
        // What build_profile would make of these claims, built directly: the scopes are already
        // non-blank exact str, so the claim's list and the profile's tuple hold the same items.
        nb::object scopes = parse_api_key_scopes(scopes_env);
        nb::object listed = nb::steal(PySequence_List(scopes.ptr()));
        if (!listed.is_valid())
            throw nb::python_error();
        nb::dict claims;
        if (PyDict_SetItem(claims.ptr(), S->k_sub.ptr(), S->api_key_user.ptr()) < 0 ||
            PyDict_SetItem(claims.ptr(), S->k_tenant_id.ptr(), Py_None) < 0 ||
            PyDict_SetItem(claims.ptr(), S->k_scopes.ptr(), listed.ptr()) < 0)
            throw nb::python_error();
        return nb::make_tuple(true, make_profile(S->api_key_user, nb::none(), scopes, claims, auth_type));
    }
    if (jwt_secret.is_none() || PyUnicode_GET_LENGTH(jwt_secret.ptr()) == 0)
        return rejected;
    Py_ssize_t dots = PyUnicode_Count(token.ptr(), S->dot.ptr(), 0, PY_SSIZE_T_MAX);
    if (dots < 0)
        throw nb::python_error();
    if (dots != 2)
        return rejected;
    // Text that cannot be encoded (lone surrogates) is no JWT; the decoder would fail with an
    // encoding error rather than one of its own.
    if (!PyUnicode_AsUTF8AndSize(token.ptr(), nullptr)) {
        PyErr_Clear();
        return rejected;
    }
    nb::object claims;
    try {
        claims = decode_jwt(token, jwt_secret);
    } catch (nb::python_error &e) {
        if (e.matches(S->pyjwt_error))
            return rejected;
        throw;
    }
    return nb::make_tuple(true, build_profile(claims, S->jwt_type));
}

nb::dict ann(std::initializer_list<std::pair<const char *, const char *>> items) {
    return ql::str_annotations(items);
}

} // namespace

QL_MODULE(caller_profile, m) {
    S = &ql::forever<State>();
    S->environ_get = ql::import("os").attr("environ").attr("get");
    S->json_loads = ql::import("json").attr("loads");
    S->compare_digest = ql::import("hmac").attr("compare_digest");
    S->mapping_abc = ql::import("collections.abc").attr("Mapping");
    nb::object jwt = ql::import("jwt");
    S->jwt_decode = jwt.attr("decode");
    S->pyjwt_error = jwt.attr("PyJWTError");

    S->profile_cls = ql::make_record(
        MOD, "CallerProfile",
        {ql::field("principal"), ql::field("tenant_id"), ql::field("scopes"), ql::field("claims"),
         ql::field("auth_type")},
        true, "Who is calling ``connector.run`` (REST, MCP, or other bindings).", [](ql::ClassBuilder &cb) {
            cb.ns()["__annotations__"] = ann({{"principal", "str"},
                                              {"tenant_id", "str | None"},
                                              {"scopes", "tuple[str, ...]"},
                                              {"claims", "Mapping[str, Any]"},
                                              {"auth_type", "str"}});
        });
    m.attr("CallerProfile") = S->profile_cls;
    {
        nb::object cls_dict = nb::getattr(S->profile_cls, "__dict__");
        const char *names[] = {"principal", "tenant_id", "scopes", "claims", "auth_type"};
        for (size_t i = 0; i < S->profile_slots.size(); ++i) {
            nb::object d = cls_dict[names[i]];
            if (!Py_TYPE(d.ptr())->tp_descr_set)
                ql::raise(PyExc_RuntimeError, std::string("record field without a slot: ") + names[i]);
            S->profile_slots[i] = d;
        }
    }
    S->not_configured_cls = ql::make_exception(
        MOD, "JwtVerificationNotConfigured", jwt.attr("InvalidTokenError"),
        "Raised when a JWT secret is used but ``QL_JWT_AUDIENCE`` / ``QL_JWT_ISSUER`` are unset.");
    m.attr("JwtVerificationNotConfigured") = S->not_configured_cls;
    m.attr("JWT_AUDIENCE_ENV") = S->audience_env;
    m.attr("JWT_ISSUER_ENV") = S->issuer_env;
    m.attr("logger") = S->log.object();

    auto def = [&](const char *name, std::vector<ql::Param> params, ql::Impl impl, nb::dict annotations,
                   const char *doc) {
        return ql::def_function(m, MOD, name, std::move(params), std::move(impl), annotations, doc);
    };

    def("build_caller_profile", {ql::arg("claims"), ql::arg("auth_type")},
        [](ql::Args &a) { return build_profile(a[0], a[1]); },
        ann({{"claims", "Mapping[str, Any]"}, {"auth_type", "str"}, {"return", "CallerProfile"}}),
        "Build a caller profile from verified claims.");
    def("parse_api_key_scopes_from_env", {ql::arg("env_var")},
        [](ql::Args &a) { return parse_api_key_scopes(a[0]); },
        ann({{"env_var", "str"}, {"return", "tuple[str, ...]"}}),
        "Scopes granted to the API key: a JSON array, or names separated by blanks and commas.");
    def("api_key_matches", {ql::arg("token"), ql::arg("api_key")},
        [](ql::Args &a) -> nb::object { return nb::bool_(api_key_matches(a[0], a[1])); },
        ann({{"token", "str"}, {"api_key", "str"}, {"return", "bool"}}), "Constant-time comparison of two keys.");
    def("load_jwt_audience_issuer_from_env", {}, [](ql::Args &) { return load_audience_issuer(); },
        ann({{"return", "tuple[str, str] | None"}}),
        "The expected (audience, issuer) of bearer JWTs, or None when either is not set.");

    // Memoised by the host's cache, so the warning is written once per process.
    nb::object warn = def(
        "warn_jwt_audience_issuer_not_configured", {},
        [](ql::Args &) -> nb::object {
            S->log.log(ql::WARNING, "JWT secret is configured but %s and %s are not set; JWT verification will fail",
                       nb::make_tuple(S->audience_env, S->issuer_env));
            return nb::none();
        },
        ann({{"return", "None"}}), "Warn, once per process, that JWT verification is not configured.");
    S->warn_once = ql::memoised(warn);
    m.attr("warn_jwt_audience_issuer_not_configured") = S->warn_once;

    def("decode_binding_jwt", {ql::arg("token"), ql::arg("secret")},
        [](ql::Args &a) { return decode_jwt(a[0], a[1]); },
        ann({{"token", "str"}, {"secret", "str"}, {"return", "dict[str, Any]"}}),
        "Verify an HS256 JWT against the configured audience and issuer and return its claims.");
    def("verify_bearer_token_and_identity",
        {ql::arg("token"), ql::kwonly("api_key"), ql::kwonly("jwt_secret"), ql::kwonly("api_key_scopes_env"),
         ql::kwonly("api_key_auth_type")},
        verify,
        ann({{"token", "str"},
             {"api_key", "str | None"},
             {"jwt_secret", "str | None"},
             {"api_key_scopes_env", "str"},
             {"api_key_auth_type", "str"},
             {"return", "tuple[bool, CallerProfile | None]"}}),
        "Accept the bearer credential as the API key or as a JWT: (True, profile), or (False, None).");

    m.attr("__all__") = nb::make_tuple("CallerProfile", "JwtVerificationNotConfigured", "JWT_AUDIENCE_ENV",
                                       "JWT_ISSUER_ENV", "build_caller_profile", "parse_api_key_scopes_from_env",
                                       "api_key_matches", "load_jwt_audience_issuer_from_env",
                                       "warn_jwt_audience_issuer_not_configured", "decode_binding_jwt",
                                       "verify_bearer_token_and_identity");
}
