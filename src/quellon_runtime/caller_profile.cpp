// Caller identification for the bindings: a bearer credential is accepted as a static API key
// (constant-time comparison), as one of the named API keys (stored hashed), or as an HS256 JWT with
// a fixed audience and issuer, and turned into an immutable caller profile. Every refusal carries a
// reason code, logged at DEBUG with the token's issuer and key id, never the token.
#include <ql/toolkit.hpp>

#include <array>
#include <functional>
#include <vector>

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
    nb::object api_keys_env = intern("QL_API_KEYS_JSON"), k_principal = intern("principal");
    nb::object sha256, unverified_header, unverified_claims;
    // PyJWT's error classes in the order they are tried (subclasses first) and their reasons
    std::vector<std::pair<nb::object, nb::object>> error_reasons;
    nb::object reason_malformed, reason_bearer_prefix, reason_unknown_api_key, reason_not_configured,
        reason_no_token;
    // QL_API_KEYS_JSON as last parsed: the text it came from, and (digest, principal, tenant,
    // scopes tuple) per key
    nb::object named_keys_text;
    std::vector<std::array<nb::object, 4>> named_keys;
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

// ---- refusal reasons ----------------------------------------------------------------------------

// Code and module constant of every refusal reason; the resource-server verifier shares them.
const std::array<std::pair<const char *, const char *>, 15> REASONS = {{
    {"REASON_NO_TOKEN", "no_token"},
    {"REASON_MALFORMED", "malformed"},
    {"REASON_BEARER_PREFIX", "bearer_prefix"},
    {"REASON_SIGNATURE", "signature"},
    {"REASON_UNKNOWN_KEY", "unknown_key"},
    {"REASON_ALGORITHM", "algorithm"},
    {"REASON_ISSUER", "issuer"},
    {"REASON_AUDIENCE", "audience"},
    {"REASON_EXPIRED", "expired"},
    {"REASON_NOT_YET_VALID", "not_yet_valid"},
    {"REASON_MISSING_CLAIM", "missing_claim"},
    {"REASON_INACTIVE", "inactive"},
    {"REASON_UNKNOWN_API_KEY", "unknown_api_key"},
    {"REASON_UNAVAILABLE", "unavailable"},
    {"REASON_NOT_CONFIGURED", "not_configured"},
}};

nb::object jwt_error_reason(nb::handle error) {
    for (auto &[cls, reason] : S->error_reasons) {
        int hit = PyObject_IsInstance(error.ptr(), cls.ptr());
        if (hit < 0)
            throw nb::python_error();
        if (hit)
            return reason;
    }
    return S->reason_malformed;
}

bool has_bearer_prefix(nb::handle token) {
    static const char prefix[] = "bearer ";
    PyObject *p = token.ptr();
    if (PyUnicode_GET_LENGTH(p) < 7)
        return false;
    for (Py_ssize_t i = 0; i < 7; ++i)
        if (Py_UNICODE_TOLOWER(PyUnicode_READ_CHAR(p, i)) != (Py_UCS4)prefix[i])
            return false;
    return true;
}

// A text field of an unverified mapping for the log: at most 64 characters, else None.
nb::object short_text(nb::handle mapping, const char *key) {
    if (!PyDict_Check(mapping.ptr()))
        return nb::none();
    PyObject *v = PyDict_GetItemString(mapping.ptr(), key);
    if (!v || !PyUnicode_Check(v))
        return nb::none();
    return nb::steal(PyUnicode_Substring(v, 0, 64));
}

// DEBUG record of a refusal with where the token claims to come from; built only when enabled,
// and the token itself never reaches it.
void log_refusal(nb::handle reason, nb::handle token) {
    if (!S->log.enabled(ql::DEBUG))
        return;
    nb::object issuer = nb::none(), kid = nb::none();
    if (PyUnicode_Check(token.ptr()) && PyUnicode_Count(token.ptr(), S->dot.ptr(), 0, PY_SSIZE_T_MAX) == 2) {
        try {
            kid = short_text(S->unverified_header(token), "kid");
            nb::dict options;
            options["verify_signature"] = false;
            issuer = short_text(S->unverified_claims(token, nb::arg("options") = options), "iss");
        } catch (nb::python_error &) {
        }
    }
    PyErr_Clear();
    S->log.log(ql::DEBUG, "caller refused: %s (issuer %r, kid %r)", nb::make_tuple(reason, issuer, kid));
}

// ---- named API keys -----------------------------------------------------------------------------

[[noreturn]] void bad_api_keys(const std::string &what) {
    ql::raise_value_error("QL_API_KEYS_JSON " + what);
}

nb::object hash_api_key(nb::handle key) {
    ql::require_str(key, "key");
    return S->sha256(utf8_bytes(key)).attr("hexdigest")();
}

nb::object key_digest(nb::handle name, size_t index) {
    std::string hex = PyUnicode_Check(name.ptr()) ? ql::utf8_of(name) : std::string();
    if (hex.rfind("sha256:", 0) == 0)
        hex.erase(0, 7);
    bool ok = hex.size() == 64 && hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (!ok)
        bad_api_keys("entry " + std::to_string(index) + ": the name must be the SHA-256 hex digest of the key");
    return nb::steal(PyObject_CallMethod((PyObject *)&PyBytes_Type, "fromhex", "s", hex.c_str()));
}

std::array<nb::object, 4> parse_named_key(nb::handle name, nb::handle entry, size_t index) {
    std::string where = "entry " + std::to_string(index) + ": ";
    if (!PyDict_Check(entry.ptr()))
        bad_api_keys(where + "must be an object with principal, tenant_id and scopes");
    nb::handle principal = dict_get(entry, S->k_principal);
    if (!principal.is_valid() || !PyUnicode_Check(principal.ptr()) || is_blank(principal))
        bad_api_keys(where + "principal must be a non-empty string");
    nb::handle tenant = dict_get(entry, S->k_tenant_id);
    if (tenant.is_valid() && !tenant.is_none() && !PyUnicode_Check(tenant.ptr()))
        bad_api_keys(where + "tenant_id must be a string or null");
    nb::handle scopes = dict_get(entry, S->k_scopes);
    nb::list listed;
    if (scopes.is_valid() && PyUnicode_Check(scopes.ptr())) {
        split_scopes(scopes, listed);
    } else if (scopes.is_valid() && PyList_Check(scopes.ptr())) {
        for (nb::handle s : scopes) {
            if (!PyUnicode_Check(s.ptr()) || is_blank(s))
                bad_api_keys(where + "scopes must be non-empty strings");
            listed.append(s);
        }
    } else if (scopes.is_valid() && !scopes.is_none()) {
        bad_api_keys(where + "scopes must be a list of strings");
    }
    return {key_digest(name, index), nb::borrow(principal),
            tenant.is_valid() ? nb::borrow(tenant) : nb::none(), nb::tuple(listed)};
}

// The named keys, parsed again only when the variable's text changed since the last call.
const std::vector<std::array<nb::object, 4>> &named_api_keys() {
    nb::object text = env_get(S->api_keys_env);
    if (text.is_none() || is_blank(text)) {
        S->named_keys.clear();
        S->named_keys_text = nb::object();
        return S->named_keys;
    }
    if (S->named_keys_text.is_valid() && text.equal(S->named_keys_text))
        return S->named_keys;
    nb::object parsed;
    try {
        parsed = S->json_loads(text);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        bad_api_keys("is not valid JSON");
    }
    if (!PyDict_Check(parsed.ptr()))
        bad_api_keys("must be a JSON object mapping key digests to callers");
    std::vector<std::array<nb::object, 4>> keys;
    size_t index = 0;
    for (auto [name, entry] : nb::borrow<nb::dict>(parsed))
        keys.push_back(parse_named_key(name, entry, index++));
    S->named_keys = std::move(keys);
    S->named_keys_text = text;
    return S->named_keys;
}

nb::object api_key_profile(nb::handle principal, nb::handle tenant, nb::handle scopes, nb::handle auth_type) {
    nb::object listed = nb::steal(PySequence_List(scopes.ptr()));
    if (!listed.is_valid())
        throw nb::python_error();
    nb::dict claims;
    if (PyDict_SetItem(claims.ptr(), S->k_sub.ptr(), principal.ptr()) < 0 ||
        PyDict_SetItem(claims.ptr(), S->k_tenant_id.ptr(), tenant.ptr()) < 0 ||
        PyDict_SetItem(claims.ptr(), S->k_scopes.ptr(), listed.ptr()) < 0)
        throw nb::python_error();
    return make_profile(principal, tenant, scopes, claims, auth_type);
}

// Every entry is compared, so the time taken does not tell which one matched.
nb::object match_named_key(nb::handle token, nb::handle auth_type) {
    const auto &keys = named_api_keys();
    if (keys.empty())
        return nb::none();
    nb::object digest = S->sha256(utf8_bytes(token)).attr("digest")();
    const std::array<nb::object, 4> *hit = nullptr;
    for (const auto &k : keys)
        if (truth(S->compare_digest(digest, k[0])) && !hit)
            hit = &k;
    return hit ? api_key_profile((*hit)[1], (*hit)[2], (*hit)[3], auth_type) : nb::none();
}

// The single API key first (exactly as before), then the named keys; None when neither matches.
nb::object match_api_key(nb::handle token, nb::handle api_key, nb::handle scopes_env, nb::handle auth_type) {
    if (!api_key.is_none() && PyUnicode_GET_LENGTH(api_key.ptr()) > 0 && api_key_matches(token, api_key))
        return api_key_profile(S->api_key_user, nb::none(), parse_api_key_scopes(scopes_env), auth_type);
    return match_named_key(token, auth_type);
}

// ---- verification -------------------------------------------------------------------------------

// A refusal: no caller, and why.
nb::object refused(nb::handle reason, nb::handle token, nb::object &why) {
    log_refusal(reason, token);
    why = nb::borrow(reason);
    return nb::none();
}

// Why a token that is no JWT this module can check was refused.
nb::handle shape_reason(nb::handle token, nb::handle api_key) {
    if (PyUnicode_GET_LENGTH(token.ptr()) == 0)
        return S->reason_no_token;
    if (has_bearer_prefix(token))
        return S->reason_bearer_prefix;
    bool keys = (!api_key.is_none() && PyUnicode_GET_LENGTH(api_key.ptr()) > 0) || !S->named_keys.empty();
    return keys ? S->reason_unknown_api_key : S->reason_not_configured;
}

// The caller, or None with WHY set to the refusal reason.
nb::object verify_caller(ql::Args &a, nb::object &why) {
    nb::handle token = a[0], api_key = a[1], jwt_secret = a[2], scopes_env = a[3], auth_type = a[4];
    ql::require_str(token, "token");
    ql::require_str_or_none(api_key, "api_key");
    ql::require_str_or_none(jwt_secret, "jwt_secret");
    ql::require_str(scopes_env, "api_key_scopes_env");
    ql::require_str(auth_type, "api_key_auth_type");

    nb::object caller = match_api_key(token, api_key, scopes_env, auth_type);
    if (!caller.is_none())
        return caller;
    Py_ssize_t dots = PyUnicode_Count(token.ptr(), S->dot.ptr(), 0, PY_SSIZE_T_MAX);
    if (dots < 0)
        throw nb::python_error();
    bool secret = !jwt_secret.is_none() && PyUnicode_GET_LENGTH(jwt_secret.ptr()) > 0;
    if (!secret || dots != 2 || has_bearer_prefix(token)) {
        nb::handle reason = shape_reason(token, api_key);
        if (secret && reason.ptr() == S->reason_not_configured.ptr())
            reason = S->reason_malformed; // only a JWT could have been accepted, and this is none
        return refused(reason, token, why);
    }
    // Text that cannot be encoded (lone surrogates) is no JWT; the decoder would fail with an
    // encoding error rather than one of its own.
    if (!PyUnicode_AsUTF8AndSize(token.ptr(), nullptr)) {
        PyErr_Clear();
        return refused(S->reason_malformed, token, why);
    }
    nb::object claims;
    try {
        claims = decode_jwt(token, jwt_secret);
    } catch (nb::python_error &e) {
        if (e.matches(S->pyjwt_error))
            return refused(jwt_error_reason(e.value()), token, why);
        throw;
    }
    return build_profile(claims, S->jwt_type);
}

nb::object verify(ql::Args &a) {
    nb::object why;
    nb::object caller = verify_caller(a, why);
    return nb::make_tuple(!caller.is_none(), caller);
}

nb::object verify_with_reason(ql::Args &a) {
    nb::object why = nb::none();
    nb::object caller = verify_caller(a, why);
    return nb::make_tuple(!caller.is_none(), caller, why);
}

nb::dict ann(std::initializer_list<std::pair<const char *, const char *>> items) {
    return ql::str_annotations(items);
}

// ---- registration -------------------------------------------------------------------------------

void load_dependencies() {
    S->environ_get = ql::import("os").attr("environ").attr("get");
    S->json_loads = ql::import("json").attr("loads");
    S->compare_digest = ql::import("hmac").attr("compare_digest");
    S->sha256 = ql::import("hashlib").attr("sha256");
    S->mapping_abc = ql::import("collections.abc").attr("Mapping");
    nb::object jwt = ql::import("jwt");
    S->jwt_decode = jwt.attr("decode");
    S->unverified_header = jwt.attr("get_unverified_header");
    S->unverified_claims = jwt.attr("decode");
    S->pyjwt_error = jwt.attr("PyJWTError");
}

void register_profile_class(nb::module_ &m) {
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
    nb::object cls_dict = nb::getattr(S->profile_cls, "__dict__");
    const char *names[] = {"principal", "tenant_id", "scopes", "claims", "auth_type"};
    for (size_t i = 0; i < S->profile_slots.size(); ++i) {
        nb::object d = cls_dict[names[i]];
        if (!Py_TYPE(d.ptr())->tp_descr_set)
            ql::raise(PyExc_RuntimeError, std::string("record field without a slot: ") + names[i]);
        S->profile_slots[i] = d;
    }
}

void register_constants(nb::module_ &m) {
    nb::object jwt = ql::import("jwt");
    S->not_configured_cls = ql::make_exception(
        MOD, "JwtVerificationNotConfigured", jwt.attr("InvalidTokenError"),
        "Raised when a JWT secret is used but ``QL_JWT_AUDIENCE`` / ``QL_JWT_ISSUER`` are unset.");
    m.attr("JwtVerificationNotConfigured") = S->not_configured_cls;
    m.attr("JWT_AUDIENCE_ENV") = S->audience_env;
    m.attr("JWT_ISSUER_ENV") = S->issuer_env;
    m.attr("API_KEYS_ENV") = S->api_keys_env;
    m.attr("logger") = S->log.object();

    nb::list all_reasons;
    for (auto &[name, code] : REASONS) {
        nb::object value = intern(code);
        m.attr(name) = value;
        all_reasons.append(value);
    }
    m.attr("REFUSAL_REASONS") = nb::tuple(all_reasons);
    auto reason = [&](const char *name) { return nb::object(m.attr(name)); };
    S->reason_malformed = reason("REASON_MALFORMED");
    S->reason_bearer_prefix = reason("REASON_BEARER_PREFIX");
    S->reason_unknown_api_key = reason("REASON_UNKNOWN_API_KEY");
    S->reason_not_configured = reason("REASON_NOT_CONFIGURED");
    S->reason_no_token = reason("REASON_NO_TOKEN");
    // Subclasses before their bases: InvalidSignatureError is a DecodeError.
    const std::pair<const char *, const char *> errors[] = {
        {"ExpiredSignatureError", "REASON_EXPIRED"},   {"ImmatureSignatureError", "REASON_NOT_YET_VALID"},
        {"InvalidIssuedAtError", "REASON_NOT_YET_VALID"}, {"InvalidAudienceError", "REASON_AUDIENCE"},
        {"InvalidIssuerError", "REASON_ISSUER"},       {"InvalidSignatureError", "REASON_SIGNATURE"},
        {"InvalidAlgorithmError", "REASON_ALGORITHM"}, {"MissingRequiredClaimError", "REASON_MISSING_CLAIM"},
        {"InvalidKeyError", "REASON_SIGNATURE"}};
    for (auto &[cls, code] : errors)
        S->error_reasons.emplace_back(jwt.attr(cls), reason(code));
    S->error_reasons.emplace_back(S->not_configured_cls, S->reason_not_configured);
}

using Def = std::function<nb::object(const char *, std::vector<ql::Param>, ql::Impl, nb::dict, const char *)>;

void register_profile_functions(const Def &def) {
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
    def("hash_api_key", {ql::arg("key")}, [](ql::Args &a) { return hash_api_key(a[0]); },
        ann({{"key", "str"}, {"return", "str"}}),
        "The SHA-256 hex digest that names an API key in QL_API_KEYS_JSON.");
    def("match_api_key",
        {ql::arg("token"), ql::kwonly("api_key"), ql::kwonly("api_key_scopes_env"), ql::kwonly("api_key_auth_type")},
        [](ql::Args &a) {
            ql::require_str(a[0], "token");
            ql::require_str_or_none(a[1], "api_key");
            ql::require_str(a[2], "api_key_scopes_env");
            ql::require_str(a[3], "api_key_auth_type");
            return match_api_key(a[0], a[1], a[2], a[3]);
        },
        ann({{"token", "str"},
             {"api_key", "str | None"},
             {"api_key_scopes_env", "str"},
             {"api_key_auth_type", "str"},
             {"return", "CallerProfile | None"}}),
        "The caller of the single API key or of a named one, or None when the token is neither.");
    def("jwt_refusal_reason", {ql::arg("error")}, [](ql::Args &a) { return jwt_error_reason(a[0]); },
        ann({{"error", "BaseException"}, {"return", "str"}}), "The refusal reason of a PyJWT error.");
}

void register_jwt_functions(nb::module_ &m, const Def &def) {
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
}

void register_verification(const Def &def) {
    std::vector<ql::Param> params = {ql::arg("token"), ql::kwonly("api_key"), ql::kwonly("jwt_secret"),
                                     ql::kwonly("api_key_scopes_env"), ql::kwonly("api_key_auth_type")};
    auto annotations = [](const char *result) {
        return ann({{"token", "str"},
                    {"api_key", "str | None"},
                    {"jwt_secret", "str | None"},
                    {"api_key_scopes_env", "str"},
                    {"api_key_auth_type", "str"},
                    {"return", result}});
    };
    def("verify_bearer_token_and_identity", params, verify, annotations("tuple[bool, CallerProfile | None]"),
        "Accept the bearer credential as the API key or as a JWT: (True, profile), or (False, None).");
    def("verify_bearer_token_with_reason", params, verify_with_reason,
        annotations("tuple[bool, CallerProfile | None, str | None]"),
        "As verify_bearer_token_and_identity, with the refusal reason: (True, profile, None), or "
        "(False, None, reason).");
}

} // namespace

QL_MODULE(caller_profile, m) {
    S = &ql::forever<State>();
    load_dependencies();
    register_profile_class(m);
    register_constants(m);
    Def def = [&](const char *name, std::vector<ql::Param> params, ql::Impl impl, nb::dict annotations,
                  const char *doc) {
        return ql::def_function(m, MOD, name, std::move(params), std::move(impl), annotations, doc);
    };
    register_profile_functions(def);
    register_jwt_functions(m, def);
    register_verification(def);

    nb::list all;
    for (const char *name :
         {"CallerProfile", "JwtVerificationNotConfigured", "JWT_AUDIENCE_ENV", "JWT_ISSUER_ENV", "API_KEYS_ENV",
          "REFUSAL_REASONS", "build_caller_profile", "parse_api_key_scopes_from_env", "api_key_matches",
          "hash_api_key", "match_api_key", "jwt_refusal_reason", "load_jwt_audience_issuer_from_env",
          "warn_jwt_audience_issuer_not_configured", "decode_binding_jwt", "verify_bearer_token_and_identity",
          "verify_bearer_token_with_reason"})
        all.append(name);
    for (auto &[name, code] : REASONS)
        all.append(name);
    m.attr("__all__") = nb::tuple(all);
}
