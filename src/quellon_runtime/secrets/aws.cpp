// AwsSecretsManagerProvider: one Secrets Manager secret holding a JSON object of secrets.
//
// The bundle is fetched once, when the provider is constructed; lookups are dictionary reads.
// boto3 is imported only then, so the package installs and imports without it.
#include "bundle.hpp"

#include <string>

namespace {

const char *MOD = "quellon_runtime.secrets.aws";
const char *HINT = "boto3 is required for AwsSecretsManagerProvider. Install it with: pip install 'quellon-runtime[aws]'";

struct State : bundle::Store {
    nb::handle client = ql::intern("client");
    nb::handle get_secret_value = ql::intern("get_secret_value");
    nb::handle response = ql::intern("response");
    nb::object service{nb::str("secretsmanager")};
    nb::object secret_string{nb::str("SecretString")};
};
State *S;

// (boto3, BotoCoreError, ClientError). Python's module cache makes repeated calls cheap.
nb::tuple import_boto() {
    return bundle::import_sdk(HINT, [] {
        nb::object boto3 = ql::import("boto3");
        nb::object botocore_error = ql::import_from("botocore.exceptions", "BotoCoreError");
        nb::object client_error = ql::import_from("botocore.exceptions", "ClientError");
        return nb::make_tuple(boto3, botocore_error, client_error);
    });
}

// response["Error"]["Code"]; "Unknown" when the error carries none.
std::string error_code(nb::handle client_error) {
    PyObject *resp = PyObject_GetAttr(client_error.ptr(), S->response.ptr());
    if (!resp) {
        PyErr_Clear();
        return "Unknown";
    }
    nb::object response = nb::steal(resp);
    if (!ql::is_dict(response))
        return "Unknown";
    PyObject *err = PyDict_GetItemString(response.ptr(), "Error");
    if (!err || !PyDict_Check(err))
        return "Unknown";
    PyObject *code = PyDict_GetItemString(err, "Code");
    if (!code || code == Py_None)
        return "Unknown";
    return ql::str_of(code);
}

void init(nb::handle self, nb::handle secret_name, nb::handle region) {
    ql::require_str(secret_name, "secret_name");
    ql::require_str(region, "region");
    nb::tuple sdk = import_boto();
    // botocore logs every response body at debug level.
    bundle::install_mute_filter(*S, {"botocore.parsers"});

    nb::object data, failure;
    bool client_error = false;
    try {
        nb::object client = sdk[0].attr(S->client)(S->service, nb::arg("region_name") = region);
        nb::object response;
        {
            bundle::Fetching muted;
            response = client.attr(S->get_secret_value)(nb::arg("SecretId") = secret_name);
        }
        // A secret stored as bytes has no SecretString: that KeyError, like a JSON error, is not
        // a provider failure and passes unchanged.
        nb::object text = response[S->secret_string];
        data = bundle::decode_secret(*S, "secret " + ql::repr_of(secret_name),
                                     [&] { return S->json_loads(text); });
    } catch (nb::python_error &e) {
        if (e.matches(sdk[2]))
            client_error = true;
        else if (!e.matches(sdk[1]))
            throw;
        failure = ql::exc_value(e);
    }
    if (failure.is_valid()) {
        if (!client_error) {
            std::string msg = "AWS connection error for secret " + ql::repr_of(secret_name);
            ql::raise_from(S->provider_error(nb::str(msg.data(), msg.size())), failure);
        }
        std::string code = error_code(failure);
        if (code == "ResourceNotFoundException")
            ql::raise_from(S->not_found(secret_name), failure);
        std::string msg = "AWS Secrets Manager error (" + code + "): " + std::string(ql::view(secret_name));
        ql::raise_from(S->provider_error(nb::str(msg.data(), msg.size())), failure);
    }
    if (PyObject_SetAttr(self.ptr(), S->data.ptr(), data.ptr()) < 0)
        throw nb::python_error();
}

} // namespace

QL_MODULE(aws, m) {
    S = &ql::forever<State>();
    nb::object base_mod = bundle::load_base(*S);
    nb::handle str_type((PyObject *)&PyUnicode_Type);

    bundle::make_mute_filter(*S, MOD);

    ql::FnInfo info;
    info.name = "_import_boto";
    info.module = MOD;
    info.doc = "Import boto3 and its error types: (boto3, BotoCoreError, ClientError).";
    m.attr("_import_boto") = ql::make_function(info, {}, [](ql::Args &) -> nb::object { return import_boto(); });

    ql::ClassBuilder cb(MOD, "AwsSecretsManagerProvider",
                        "Secret provider backed by one AWS Secrets Manager secret holding a JSON object.\n\n"
                        "The whole object is fetched once, at construction; get_secret() answers from memory.\n"
                        "Error policy: authentication, network and configuration failures raise\n"
                        "SecretProviderError, so a broken provider can be told apart from a single absent key,\n"
                        "which raises SecretNotFoundError.");
    nb::dict init_ann;
    init_ann["secret_name"] = str_type;
    init_ann["region"] = str_type;
    init_ann["return"] = nb::none();
    cb.attr("__init__", cb.function(
                            "__init__", {ql::arg("self"), ql::arg("secret_name"), ql::arg("region", nb::str("us-east-1"))},
                            [](ql::Args &a) {
                                init(a[0], a[1], a[2]);
                                return nb::none();
                            },
                            false, nullptr, init_ann));
    bundle::publish(m, cb, "AwsSecretsManagerProvider", base_mod, *S);
}
