// GcpSecretManagerProvider: one Secret Manager secret version holding a JSON object of secrets.
//
// The bundle is read once, when the provider is constructed; lookups are dictionary reads. The
// Google client library is imported only then, so the package installs and imports without it.
#include "bundle.hpp"

#include <string>

namespace {

const char *MOD = "quellon_runtime.secrets.gcp";
const char *HINT = "google-cloud-secret-manager is required for GcpSecretManagerProvider. "
                   "Install with: pip install 'quellon-runtime[gcp]'";

struct State : bundle::Store {
    nb::handle client_class = ql::intern("SecretManagerServiceClient");
    nb::handle access = ql::intern("access_secret_version");
    nb::handle payload = ql::intern("payload");
    nb::handle bytes = ql::intern("data");
    nb::handle decode = ql::intern("decode");
    nb::object utf8{nb::str("utf-8")};
};
State *S;

// (secretmanager, NotFound, GoogleAPICallError)
nb::tuple import_gcp() {
    return bundle::import_sdk(HINT, [] {
        nb::object secretmanager = ql::import_from("google.cloud", "secretmanager");
        nb::object call_error = ql::import_from("google.api_core.exceptions", "GoogleAPICallError");
        nb::object not_found = ql::import_from("google.api_core.exceptions", "NotFound");
        return nb::make_tuple(secretmanager, not_found, call_error);
    });
}

void init(nb::handle self, nb::handle project_id, nb::handle secret_id, nb::handle version) {
    ql::require_str(project_id, "project_id");
    ql::require_str(secret_id, "secret_id");
    // Version numbers are accepted as ints too: they read naturally as 3 rather than "3".
    if (!ql::is_str(version) && !(PyLong_Check(version.ptr()) && !PyBool_Check(version.ptr())))
        ql::raise_type_error("version must be a str, not " + ql::type_name_of(version));
    nb::tuple sdk = import_gcp();
    // The client's transports log each response payload at debug level (opt-in through logger
    // configuration).
    bundle::install_mute_filter(*S, {"google.cloud.secretmanager_v1.services.secret_manager_service.transports.rest",
                                     "google.cloud.secretmanager_v1.services.secret_manager_service.transports.grpc"});

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
            bundle::Fetching muted;
            response = client.attr(S->access)(nb::arg("request") = request);
        }
        nb::object raw = response.attr(S->payload).attr(S->bytes);
        data = bundle::decode_secret(*S, "secret " + ql::repr_of(nb::str((project + "/" + secret).c_str())),
                                     [&] { return S->json_loads(raw.attr(S->decode)(S->utf8)); });
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

} // namespace

QL_MODULE(gcp, m) {
    S = &ql::forever<State>();
    nb::object base_mod = bundle::load_base(*S);
    nb::handle str_type((PyObject *)&PyUnicode_Type);

    bundle::make_mute_filter(*S, MOD);

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
    bundle::publish(m, cb, "GcpSecretManagerProvider", base_mod, *S);
}
