// GcpSecretManagerProvider: one Secret Manager secret version holding a JSON object of secrets.
//
// The bundle is read once, when the provider is constructed; lookups are dictionary reads. The
// Google client library is imported only then, so the package installs and imports without it.
#include <ql/toolkit.hpp>

#include <string>

namespace {

const char *MOD = "quellon_runtime.secrets.gcp";
const char *HINT = "google-cloud-secret-manager is required for GcpSecretManagerProvider. "
                   "Install with: pip install 'quellon-runtime[gcp]'";

struct State {
    nb::object not_found, provider_error, json_loads;
    nb::handle data = ql::intern("_data");
    nb::handle client_class = ql::intern("SecretManagerServiceClient");
    nb::handle access = ql::intern("access_secret_version");
    nb::handle payload = ql::intern("payload");
    nb::handle bytes = ql::intern("data");
    nb::handle decode = ql::intern("decode");
    nb::object utf8{nb::str("utf-8")};
    nb::object mute_filter;
    bool filter_installed = false;
};
State *S;

// The client's transports log each response payload at debug level (opt-in through logger
// configuration), and this payload is the secret bundle. While this thread fetches a bundle,
// records of those loggers are dropped, so enabling debug logging never writes secrets.
thread_local int fetching = 0;

struct Fetching {
    Fetching() { ++fetching; }
    ~Fetching() { --fetching; }
};

void install_mute_filter() {
    if (S->filter_installed)
        return;
    nb::object get_logger = ql::import("logging").attr("getLogger");
    for (const char *transport : {"rest", "grpc"}) {
        std::string name = std::string("google.cloud.secretmanager_v1.services.secret_manager_service.transports.") +
                           transport;
        get_logger(name.c_str()).attr("addFilter")(S->mute_filter);
    }
    S->filter_installed = true;
}

// `from <module> import <name>`, with the ImportError Python gives for a missing name.
nb::object import_from(const char *module, const char *name) {
    nb::object fromlist = nb::make_tuple(name);
    PyObject *mod = PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0);
    if (!mod)
        throw nb::python_error();
    PyObject *v = PyObject_GetAttrString(mod, name);
    Py_DECREF(mod);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        ql::raise(PyExc_ImportError, std::string("cannot import name '") + name + "' from '" + module + "'");
    }
    return nb::steal(v);
}

// (secretmanager, NotFound, GoogleAPICallError)
nb::tuple import_gcp() {
    nb::object failure;
    try {
        nb::object secretmanager = import_from("google.cloud", "secretmanager");
        nb::object call_error = import_from("google.api_core.exceptions", "GoogleAPICallError");
        nb::object not_found = import_from("google.api_core.exceptions", "NotFound");
        return nb::make_tuple(secretmanager, not_found, call_error);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        failure = ql::exc_value(e);
    }
    ql::raise_from(nb::handle(PyExc_ImportError)(HINT), failure);
}

void init(nb::handle self, nb::handle project_id, nb::handle secret_id, nb::handle version) {
    ql::require_str(project_id, "project_id");
    ql::require_str(secret_id, "secret_id");
    // Version numbers are accepted as ints too: they read naturally as 3 rather than "3".
    if (!ql::is_str(version) && !(PyLong_Check(version.ptr()) && !PyBool_Check(version.ptr())))
        ql::raise_type_error("version must be a str, not " + ql::type_name_of(version));
    nb::tuple sdk = import_gcp();
    install_mute_filter();

    // Client construction failures (such as missing default credentials) are not provider errors
    // of a particular secret and pass unchanged.
    nb::object client = sdk[0].attr(S->client_class)();
    std::string project(ql::view(project_id)), secret(ql::view(secret_id));
    std::string resource = "projects/" + project + "/secrets/" + secret + "/versions/" + ql::str_of(version);
    nb::dict request;
    request["name"] = nb::str(resource.data(), resource.size());

    nb::object data, failure;
    bool absent = false;
    try {
        nb::object response;
        {
            Fetching muted;
            response = client.attr(S->access)(nb::arg("request") = request);
        }
        nb::object raw = response.attr(S->payload).attr(S->bytes);
        data = S->json_loads(raw.attr(S->decode)(S->utf8));
    } catch (nb::python_error &e) {
        if (e.matches(sdk[1]))
            absent = true;
        else if (!e.matches(sdk[2]))
            throw;
        failure = ql::exc_value(e);
    }
    std::string where = project + "/" + secret;
    if (absent)
        ql::raise_during(S->not_found(nb::str(where.data(), where.size())), failure);
    if (failure.is_valid()) {
        std::string msg = "GCP Secret Manager error for " + where + ": " + ql::str_of(failure);
        ql::raise_from(S->provider_error(nb::str(msg.data(), msg.size())), failure);
    }
    if (PyObject_SetAttr(self.ptr(), S->data.ptr(), data.ptr()) < 0)
        throw nb::python_error();
}

nb::object get_secret(nb::handle self, nb::handle key) {
    ql::require_str(key, "key");
    PyObject *d = PyObject_GetAttr(self.ptr(), S->data.ptr());
    if (!d)
        throw nb::python_error();
    nb::object data = nb::steal(d);
    PyObject *v = PyObject_GetItem(data.ptr(), key.ptr());
    if (!v) {
        // Only an absent key is "not found"; a bundle that is not an object fails as it would.
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw nb::python_error();
        nb::python_error lookup;
        ql::raise_during(S->not_found(key), ql::exc_value(lookup));
    }
    nb::object value = nb::steal(v);
    if (!value.is_none() && !ql::is_str(value))
        ql::raise_type_error("secret " + ql::repr_of(key) + " must be a str, not " + ql::type_name_of(value));
    return value;
}

} // namespace

NB_MODULE(gcp, m) {
    S = &ql::forever<State>();
    nb::object base_mod = ql::import("quellon_runtime.secrets.base");
    S->not_found = base_mod.attr("SecretNotFoundError");
    S->provider_error = base_mod.attr("SecretProviderError");
    S->json_loads = ql::import("json").attr("loads");
    nb::handle str_type((PyObject *)&PyUnicode_Type);

    ql::FnInfo filter_info;
    filter_info.name = "_drop_while_fetching";
    filter_info.module = MOD;
    S->mute_filter = ql::make_function(filter_info, {ql::arg("record")},
                                       [](ql::Args &) -> nb::object { return nb::bool_(fetching == 0); });

    ql::FnInfo info;
    info.name = "_import_gcp";
    info.module = MOD;
    info.doc = "Import the Google client pieces: (secretmanager, NotFound, GoogleAPICallError).";
    m.attr("_import_gcp") = ql::make_function(info, {}, [](ql::Args &) -> nb::object { return import_gcp(); });

    ql::ClassBuilder cb(MOD, "GcpSecretManagerProvider",
                        "Secret provider backed by one GCP Secret Manager secret version.\n\n"
                        "The secret should be a JSON object whose keys are the connector's secret names; it is\n"
                        "read once, at construction, with Application Default Credentials (workload identity,\n"
                        "service-account key files, gcloud login). get_secret() answers from memory.");
    nb::dict init_ann;
    init_ann["project_id"] = str_type;
    init_ann["secret_id"] = str_type;
    init_ann["version"] = str_type;
    init_ann["return"] = nb::none();
    cb.attr("__init__", cb.function(
                            "__init__",
                            {ql::arg("self"), ql::arg("project_id"), ql::arg("secret_id"),
                             ql::arg("version", nb::str("latest"))},
                            [](ql::Args &a) {
                                init(a[0], a[1], a[2], a[3]);
                                return nb::none();
                            },
                            false, nullptr, init_ann));
    nb::dict ann;
    ann["key"] = str_type;
    ann["return"] = str_type;
    cb.attr("get_secret", cb.function(
                              "get_secret", {ql::arg("self"), ql::arg("key")},
                              [](ql::Args &a) { return get_secret(a[0], a[1]); }, false,
                              "Return the bundle's value for `key`; SecretNotFoundError when absent.", ann));
    m.attr("GcpSecretManagerProvider") = cb.build(base_mod.attr("SecretProvider"));
    nb::list all;
    all.append("GcpSecretManagerProvider");
    m.attr("__all__") = all;
}
