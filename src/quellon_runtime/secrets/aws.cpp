// AwsSecretsManagerProvider: one Secrets Manager secret holding a JSON object of secrets.
//
// The bundle is fetched once, when the provider is constructed; lookups are dictionary reads.
// boto3 is imported only then, so the package installs and imports without it.
#include <ql/toolkit.hpp>

#include <string>

namespace {

const char *MOD = "quellon_runtime.secrets.aws";
const char *HINT = "boto3 is required for AwsSecretsManagerProvider. Install it with: pip install 'quellon-runtime[aws]'";

struct State {
    nb::object not_found, provider_error, json_loads;
    nb::handle data = ql::intern("_data");
    nb::handle client = ql::intern("client");
    nb::handle get_secret_value = ql::intern("get_secret_value");
    nb::handle response = ql::intern("response");
    nb::object service{nb::str("secretsmanager")};
    nb::object secret_string{nb::str("SecretString")};
    nb::object mute_filter;
    bool filter_installed = false;
};
State *S;

// botocore logs every response body at debug level, and this response is the secret bundle. While
// this thread fetches a bundle, records of that logger are dropped, so enabling debug logging on
// the host never writes secrets.
thread_local int fetching = 0;

struct Fetching {
    Fetching() { ++fetching; }
    ~Fetching() { --fetching; }
};

void install_mute_filter() {
    if (S->filter_installed)
        return;
    ql::import("logging").attr("getLogger")("botocore.parsers").attr("addFilter")(S->mute_filter);
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

// (boto3, BotoCoreError, ClientError). Python's module cache makes repeated calls cheap.
nb::tuple import_boto() {
    nb::object failure;
    try {
        nb::object boto3 = ql::import("boto3");
        nb::object botocore_error = import_from("botocore.exceptions", "BotoCoreError");
        nb::object client_error = import_from("botocore.exceptions", "ClientError");
        return nb::make_tuple(boto3, botocore_error, client_error);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        failure = ql::exc_value(e);
    }
    ql::raise_from(nb::handle(PyExc_ImportError)(HINT), failure);
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
    install_mute_filter();

    nb::object data, failure;
    bool client_error = false;
    try {
        nb::object client = sdk[0].attr(S->client)(S->service, nb::arg("region_name") = region);
        nb::object response;
        {
            Fetching muted;
            response = client.attr(S->get_secret_value)(nb::arg("SecretId") = secret_name);
        }
        // A secret stored as bytes has no SecretString: that KeyError, like a JSON error, is not
        // a provider failure and passes unchanged.
        nb::object text = response[S->secret_string];
        data = S->json_loads(text);
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

NB_MODULE(aws, m) {
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
    nb::dict ann;
    ann["key"] = str_type;
    ann["return"] = str_type;
    cb.attr("get_secret", cb.function(
                              "get_secret", {ql::arg("self"), ql::arg("key")},
                              [](ql::Args &a) { return get_secret(a[0], a[1]); }, false,
                              "Return the bundle's value for `key`; SecretNotFoundError when absent.", ann));
    m.attr("AwsSecretsManagerProvider") = cb.build(base_mod.attr("SecretProvider"));
    nb::list all;
    all.append("AwsSecretsManagerProvider");
    m.attr("__all__") = all;
}
