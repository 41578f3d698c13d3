// MCP client configuration read from environment variables at each call.
//
// Values stay Python str objects from os.environ to the records: stripping and comparisons work on
// code points with the host's own whitespace rule, so any value the host holds (non-ASCII blanks,
// undecodable bytes escaped as surrogates) is handled exactly as str.strip() would handle it.
#include "loopback.hpp"

#include <ql/toolkit.hpp>

#include <initializer_list>

namespace {

const char *MOD = "quellon_runtime.mcp_client.env_settings";

struct State {
    nb::object environ_get;
    // records and enumeration members of quellon_runtime.mcp_client.config
    nb::object client_config, server_config, auth_config, auth_client, auth_redirect, auth_discovery, auth_dcr,
        auth_token;
    nb::object redirect_configured_url, redirect_loopback, store_secret_store, store_keychain;
    // keyword-name tuples for vectorcall, in the order the records are filled
    nb::object kw_client_config, kw_server, kw_auth, kw_client, kw_redirect, kw_discovery, kw_dcr, kw_token;
    // variable names
    nb::object server_url, production, redirect_mode, token_store, scopes, client_id, client_secret, redirect_url,
        loopback_host, loopback_path, discovery_ttl, dcr_disabled, refresh_lead, registration_path, issuer_override,
        oauth_enabled, user_id, legacy_bearer, legacy_api_key;
    // fallback values
    nb::object empty, default_user, default_redirect_url, default_loopback_host, default_loopback_path,
        default_ttl, default_lead, mode_configured_url, mode_loopback, store_keychain_text;
};
State *S;

nb::object str(const char *s) { return nb::steal(PyUnicode_InternFromString(s)); }

nb::object names(std::initializer_list<const char *> ns) {
    nb::object t = nb::steal(PyTuple_New((Py_ssize_t)ns.size()));
    Py_ssize_t i = 0;
    for (const char *n : ns)
        PyTuple_SET_ITEM(t.ptr(), i++, str(n).release().ptr());
    return t;
}

// cls(**dict(zip(kwnames, values))) without building a dict.
nb::object call_kw(const nb::object &cls, const nb::object &kwnames, std::initializer_list<nb::handle> values) {
    PyObject *args[12];
    size_t n = 0;
    for (nb::handle v : values)
        args[n++] = v.ptr();
    PyObject *r = PyObject_Vectorcall(cls.ptr(), args, 0, kwnames.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// os.environ.get(name): a str, or None when unset.
nb::object env(const nb::object &name) {
    nb::object v = S->environ_get(name);
    if (!v.is_none() && !ql::is_str(v))
        ql::raise_type_error("environment value of " + std::string(ql::view(name)) + " is not a str");
    return v;
}

// The value when set and non-empty; otherwise `fallback`.
nb::object env_or(const nb::object &name, nb::handle fallback) {
    nb::object v = env(name);
    if (v.is_none() || PyUnicode_GET_LENGTH(v.ptr()) == 0)
        return nb::borrow(fallback);
    return v;
}

// str.strip(): the host's whitespace rule on code points.
nb::object strip(nb::handle s) {
    PyObject *p = s.ptr();
    int kind = PyUnicode_KIND(p);
    const void *data = PyUnicode_DATA(p);
    Py_ssize_t b = 0, e = PyUnicode_GET_LENGTH(p);
    while (b < e && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, b)))
        ++b;
    while (e > b && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, e - 1)))
        --e;
    PyObject *r = PyUnicode_Substring(p, b, e);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// s.lower() == word, for an ASCII word without 'k': the only non-ASCII character whose lower case
// is ASCII is the Kelvin sign (to 'k'), so any other non-ASCII character cannot match.
bool lower_equals(nb::handle s, std::string_view word) {
    PyObject *p = s.ptr();
    if (PyUnicode_GET_LENGTH(p) != (Py_ssize_t)word.size())
        return false;
    int kind = PyUnicode_KIND(p);
    const void *data = PyUnicode_DATA(p);
    for (size_t i = 0; i < word.size(); ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, (Py_ssize_t)i);
        if (c >= 'A' && c <= 'Z')
            c += 'a' - 'A';
        if (c != (Py_UCS4)(unsigned char)word[i])
            return false;
    }
    return true;
}

bool truthy(nb::handle val) {
    if (val.is_none())
        return false;
    nb::object t = strip(val);
    return lower_equals(t, "1") || lower_equals(t, "true") || lower_equals(t, "yes") || lower_equals(t, "on");
}

// Integer settings: the fallback applies only when the variable is absent; a present but empty or
// malformed value reaches int() and its ValueError propagates.
nb::object env_int(const nb::object &name, const nb::object &fallback) {
    nb::object v = env(name);
    PyObject *r = PyNumber_Long(v.is_none() ? fallback.ptr() : v.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

nb::object config_from_env(nb::handle server_url) {
    ql::require_str_or_none(server_url, "server_url");
    nb::object url = (!server_url.is_none() && PyUnicode_GET_LENGTH(server_url.ptr()) > 0)
                         ? nb::borrow(server_url)
                         : env_or(S->server_url, S->empty);
    url = strip(url);
    if (PyUnicode_GET_LENGTH(url.ptr()) == 0)
        ql::raise_value_error("MCP server URL required (argument or QL_MCP_SERVER_URL)");

    bool production = truthy(env(S->production));
    nb::object mode_text =
        strip(env_or(S->redirect_mode, production ? S->mode_configured_url : S->mode_loopback));
    nb::handle mode = lower_equals(mode_text, "configured-url") ? S->redirect_configured_url : S->redirect_loopback;
    nb::object store_text = strip(env_or(S->token_store, S->store_keychain_text));
    nb::handle store = lower_equals(store_text, "configured-secret-store") ? S->store_secret_store : S->store_keychain;

    nb::object scopes = strip(env_or(S->scopes, S->empty));
    nb::object client_id = strip(env_or(S->client_id, S->empty));
    nb::object client_secret = strip(env_or(S->client_secret, S->empty));
    nb::object client = call_kw(S->auth_client, S->kw_client, {client_id, client_secret});
    nb::object redirect_url = env_or(S->redirect_url, S->default_redirect_url);
    nb::object loopback_host = env_or(S->loopback_host, S->default_loopback_host);
    loopback::require(loopback_host, S->loopback_host); // the listener binds it: loopback only
    nb::object loopback_path = env_or(S->loopback_path, S->default_loopback_path);
    nb::object redirect =
        call_kw(S->auth_redirect, S->kw_redirect, {mode, redirect_url, loopback_host, loopback_path});
    nb::object discovery = call_kw(S->auth_discovery, S->kw_discovery, {env_int(S->discovery_ttl, S->default_ttl)});
    nb::object dcr = call_kw(S->auth_dcr, S->kw_dcr, {nb::bool_(!truthy(env(S->dcr_disabled)))});
    nb::object lead = env_int(S->refresh_lead, S->default_lead);
    nb::object token = call_kw(S->auth_token, S->kw_token, {lead, store});
    nb::object registration = env_or(S->registration_path, nb::none());
    nb::object issuer = env_or(S->issuer_override, nb::none());
    nb::object auth = call_kw(S->auth_config, S->kw_auth,
                              {nb::bool_(production), scopes, client, redirect, discovery, dcr, token, registration,
                               issuer});
    nb::object server = call_kw(S->server_config, S->kw_server, {url});
    return call_kw(S->client_config, S->kw_client_config, {server, auth});
}

nb::object legacy_static_mcp_token() {
    nb::object v = env_or(S->legacy_bearer, nb::handle());
    if (!v.is_valid())
        v = env_or(S->legacy_api_key, S->empty);
    v = strip(v);
    if (PyUnicode_GET_LENGTH(v.ptr()) == 0)
        return nb::none();
    return v;
}

void init_state(State &s) {
    s.environ_get = ql::import("os").attr("environ").attr("get");
    nb::object cfg = ql::import("quellon_runtime.mcp_client.config");
    s.client_config = cfg.attr("McpClientConfig");
    s.server_config = cfg.attr("McpServerConfig");
    s.auth_config = cfg.attr("AuthConfig");
    s.auth_client = cfg.attr("AuthClientConfig");
    s.auth_redirect = cfg.attr("AuthRedirectConfig");
    s.auth_discovery = cfg.attr("AuthDiscoveryConfig");
    s.auth_dcr = cfg.attr("AuthDcrConfig");
    s.auth_token = cfg.attr("AuthTokenConfig");
    s.redirect_configured_url = cfg.attr("RedirectMode").attr("CONFIGURED_URL");
    s.redirect_loopback = cfg.attr("RedirectMode").attr("LOOPBACK");
    s.store_secret_store = cfg.attr("TokenStoreMode").attr("CONFIGURED_SECRET_STORE");
    s.store_keychain = cfg.attr("TokenStoreMode").attr("OS_KEYCHAIN");

    s.kw_client_config = names({"server", "auth"});
    s.kw_server = names({"url"});
    s.kw_auth = names({"production", "scopes", "client", "redirect", "discovery", "dcr", "token",
                       "registrationStorePath", "issuerOverride"});
    s.kw_client = names({"clientId", "clientSecret"});
    s.kw_redirect = names({"mode", "url", "loopbackHost", "loopbackPath"});
    s.kw_discovery = names({"cacheTtlSeconds"});
    s.kw_dcr = names({"enabled"});
    s.kw_token = names({"refreshLeadSeconds", "store"});

    s.server_url = str("QL_MCP_SERVER_URL");
    s.production = str("QL_MCP_OAUTH_PRODUCTION");
    s.redirect_mode = str("QL_MCP_OAUTH_REDIRECT_MODE");
    s.token_store = str("QL_MCP_OAUTH_TOKEN_STORE");
    s.scopes = str("QL_MCP_OAUTH_SCOPES");
    s.client_id = str("QL_MCP_OAUTH_CLIENT_ID");
    s.client_secret = str("QL_MCP_OAUTH_CLIENT_SECRET");
    s.redirect_url = str("QL_MCP_OAUTH_REDIRECT_URL");
    s.loopback_host = str("QL_MCP_OAUTH_LOOPBACK_HOST");
    s.loopback_path = str("QL_MCP_OAUTH_LOOPBACK_PATH");
    s.discovery_ttl = str("QL_MCP_OAUTH_DISCOVERY_TTL");
    s.dcr_disabled = str("QL_MCP_OAUTH_DCR_DISABLED");
    s.refresh_lead = str("QL_MCP_OAUTH_REFRESH_LEAD");
    s.registration_path = str("QL_MCP_OAUTH_REGISTRATION_PATH");
    s.issuer_override = str("QL_MCP_OAUTH_ISSUER_OVERRIDE");
    s.oauth_enabled = str("QL_MCP_OAUTH_ENABLED");
    s.user_id = str("QL_MCP_OAUTH_USER_ID");
    s.legacy_bearer = str("TOOLHIVE_MCP_BEARER_TOKEN");
    s.legacy_api_key = str("TOOLHIVE_MCP_API_KEY");

    s.empty = str("");
    s.default_user = str("default-user");
    s.default_redirect_url = str("http://127.0.0.1:0/callback");
    s.default_loopback_host = str("127.0.0.1");
    s.default_loopback_path = str("/callback");
    s.default_ttl = str("3600");
    s.default_lead = str("60");
    s.mode_configured_url = str("configured-url");
    s.mode_loopback = str("loopback");
    s.store_keychain_text = str("os-keychain");
}

nb::object annotations(std::initializer_list<std::pair<const char *, nb::handle>> items) {
    nb::dict d;
    for (auto &[k, v] : items)
        d[k] = v;
    return d;
}

} // namespace

QL_MODULE(env_settings, m) {
    m.doc() = "MCP client configuration from environment variables.";
    S = &ql::forever<State>();
    init_state(*S);

    nb::handle str_t = (PyObject *)&PyUnicode_Type, bool_t = (PyObject *)&PyBool_Type;
    nb::object str_or_none = nb::steal(PyNumber_Or(str_t.ptr(), Py_None));
    if (!str_or_none.is_valid())
        throw nb::python_error();

    auto def = [&](const char *name, const char *doc, std::vector<ql::Param> params, nb::object ann, ql::Impl impl) {
        ql::FnInfo info;
        info.name = name;
        info.module = MOD;
        info.doc = doc;
        info.annotations = std::move(ann);
        m.attr(name) = ql::make_function(std::move(info), std::move(params), std::move(impl));
    };

    def("_truthy", "True for 1, true, yes or on (surrounding blanks and case ignored); None is false.",
        {ql::arg("val")}, annotations({{"val", str_or_none}, {"return", bool_t}}), [](ql::Args &a) -> nb::object {
            ql::require_str_or_none(a[0], "val");
            return nb::bool_(truthy(a[0]));
        });
    def("mcp_oauth_enabled", "Whether MCP OAuth is switched on (QL_MCP_OAUTH_ENABLED).", {},
        annotations({{"return", bool_t}}),
        [](ql::Args &) -> nb::object { return nb::bool_(truthy(env(S->oauth_enabled))); });
    def("legacy_static_mcp_token",
        "Static bearer token set by an outside MCP tool manager (TOOLHIVE_MCP_BEARER_TOKEN, else "
        "TOOLHIVE_MCP_API_KEY), stripped; None when there is none.",
        {}, annotations({{"return", str_or_none}}), [](ql::Args &) { return legacy_static_mcp_token(); });
    def("mcp_oauth_user_id", "Local user the OAuth state belongs to (QL_MCP_OAUTH_USER_ID, else \"default-user\").",
        {}, annotations({{"return", str_t}}),
        [](ql::Args &) { return strip(env_or(S->user_id, S->default_user)); });
    def("config_from_env",
        "Resolve MCP OAuth client config from env.\n\n"
        "``server_url`` is the HTTP base URL provided by the caller; when it is empty or None, the\n"
        "variable QL_MCP_SERVER_URL is used instead.",
        {ql::kwonly("server_url", nb::none())},
        annotations({{"server_url", str_or_none}, {"return", S->client_config}}),
        [](ql::Args &a) { return config_from_env(a[0]); });
}
