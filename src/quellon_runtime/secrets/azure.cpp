// AzureKeyVaultProvider: secrets read one by one from an Azure Key Vault.
//
// Nothing is cached: every lookup asks the vault. The Azure SDK is imported only when a provider is
// constructed (and looked up again, from Python's module cache, by each lookup).
#include "bundle.hpp"

#include <string>

namespace {

const char *MOD = "quellon_runtime.secrets.azure";
const char *HINT = "azure-keyvault-secrets and azure-identity are required for AzureKeyVaultProvider. "
                   "Install with: pip install 'quellon-runtime[azure]'";

struct State {
    nb::object not_found, provider_error;
    nb::handle client = ql::intern("_client");
    nb::handle get_secret = ql::intern("get_secret");
    nb::handle value = ql::intern("value");
    nb::object underscore{nb::str("_")}, hyphen{nb::str("-")};
};
State *S;

// (DefaultAzureCredential, SecretClient, ResourceNotFoundError, HttpResponseError)
nb::tuple import_azure() {
    return bundle::import_sdk(HINT, [] {
        nb::object credential = ql::import_from("azure.identity", "DefaultAzureCredential");
        nb::object client = ql::import_from("azure.keyvault.secrets", "SecretClient");
        nb::object not_found = ql::import_from("azure.core.exceptions", "ResourceNotFoundError");
        nb::object http_error = ql::import_from("azure.core.exceptions", "HttpResponseError");
        return nb::make_tuple(credential, client, not_found, http_error);
    });
}

void init(nb::handle self, nb::handle vault_url) {
    ql::require_str(vault_url, "vault_url");
    nb::tuple sdk = import_azure();
    nb::object client, failure;
    try {
        nb::object credential = sdk[0]();
        client = sdk[1](nb::arg("vault_url") = vault_url, nb::arg("credential") = credential);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        failure = ql::exc_value(e);
    }
    if (failure.is_valid()) {
        std::string msg = "Failed to initialise Azure Key Vault client for " + ql::repr_of(vault_url) + ": " +
                          ql::str_of(failure);
        ql::raise_from(S->provider_error(nb::str(msg.data(), msg.size())), failure);
    }
    if (PyObject_SetAttr(self.ptr(), S->client.ptr(), client.ptr()) < 0)
        throw nb::python_error();
}

nb::object get_secret(nb::handle self, nb::handle key) {
    ql::require_str(key, "key");
    nb::tuple sdk = import_azure();
    // Vault secret names allow hyphens but not underscores.
    nb::object name = nb::steal(PyUnicode_Replace(key.ptr(), S->underscore.ptr(), S->hyphen.ptr(), -1));
    if (!name.is_valid())
        throw nb::python_error();

    nb::object value, failure;
    bool absent = false;
    try {
        nb::object client = nb::getattr(self, S->client);
        nb::object secret = client.attr(S->get_secret)(name);
        value = secret.attr(S->value);
    } catch (nb::python_error &e) {
        if (e.matches(sdk[2]))
            absent = true;
        else if (!e.matches(sdk[3]))
            throw;
        failure = ql::exc_value(e);
    }
    // Every absence names the caller's key, not the vault name.
    if (absent)
        ql::raise_during(S->not_found(key), failure);
    if (failure.is_valid()) {
        std::string msg = "Azure Key Vault HTTP error for secret " + ql::repr_of(key) + ": " + ql::str_of(failure);
        ql::raise_from(S->provider_error(nb::str(msg.data(), msg.size())), failure);
    }
    if (value.is_none())
        ql::raise(S->not_found(key));
    return value;
}

} // namespace

QL_MODULE(azure, m) {
    S = &ql::forever<State>();
    nb::object base_mod = ql::import("quellon_runtime.secrets.base");
    S->not_found = base_mod.attr("SecretNotFoundError");
    S->provider_error = base_mod.attr("SecretProviderError");
    nb::handle str_type((PyObject *)&PyUnicode_Type);

    ql::FnInfo info;
    info.name = "_import_azure";
    info.module = MOD;
    info.doc = "Import the Azure SDK pieces: (DefaultAzureCredential, SecretClient, ResourceNotFoundError, "
               "HttpResponseError).";
    m.attr("_import_azure") = ql::make_function(info, {}, [](ql::Args &) -> nb::object { return import_azure(); });

    ql::ClassBuilder cb(MOD, "AzureKeyVaultProvider",
                        "Secret provider that reads individual secrets from one Azure Key Vault.\n\n"
                        "Authenticates with DefaultAzureCredential, so managed identities, environment\n"
                        "credentials and interactive logins work without changing application code. Every\n"
                        "get_secret() asks the vault; underscores in keys become hyphens in vault names.");
    nb::dict init_ann;
    init_ann["vault_url"] = str_type;
    init_ann["return"] = nb::none();
    cb.attr("__init__", cb.function(
                            "__init__", {ql::arg("self"), ql::arg("vault_url")},
                            [](ql::Args &a) {
                                init(a[0], a[1]);
                                return nb::none();
                            },
                            false, nullptr, init_ann));
    nb::dict ann;
    ann["key"] = str_type;
    ann["return"] = str_type;
    cb.attr("get_secret", cb.function(
                              "get_secret", {ql::arg("self"), ql::arg("key")},
                              [](ql::Args &a) { return get_secret(a[0], a[1]); }, false,
                              "Fetch `key` from the vault; SecretNotFoundError when absent or without a value.",
                              ann));
    m.attr("AzureKeyVaultProvider") = cb.build(base_mod.attr("SecretProvider"));
    nb::list all;
    all.append("AzureKeyVaultProvider");
    m.attr("__all__") = all;
}
