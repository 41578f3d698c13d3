// NullAuthProvider: the provider a connector gets when it is given none. It injects no headers,
// supplies no credentials, keeps no state and logs nothing, so one instance may be shared freely.
#include <ql/toolkit.hpp>

namespace {

const char *MOD = "quellon_runtime.auth.null_auth";

struct State {
    nb::object headers_qualname{nb::str("NullAuthProvider.get_headers")};
    nb::object credentials_qualname{nb::str("NullAuthProvider.get_client_credentials")};
};
State *S;

// A fresh dict per call: callers may keep or fill what they get.
ql::Task empty_headers() { co_return nb::dict(); }

ql::Task no_credentials() { co_return nb::none(); }

} // namespace

QL_MODULE(null_auth, m) {
    S = &ql::forever<State>();
    nb::object base = ql::import("quellon_runtime.auth.base").attr("AuthProvider");

    ql::ClassBuilder cb(MOD, "NullAuthProvider",
                        "Auth provider that adds no headers and supplies no credentials.\n\n"
                        "The default for connectors without an auth provider; also fits vendor SDKs that\n"
                        "authenticate on their own and internal endpoints that need no credentials.");
    cb.async_method(
        "get_headers", {ql::arg("self")},
        [](ql::Args &) { return ql::coroutine(empty_headers(), S->headers_qualname); },
        "Return a new, empty header dict.");
    cb.async_method(
        "get_client_credentials", {ql::arg("self")},
        [](ql::Args &) { return ql::coroutine(no_credentials(), S->credentials_qualname); },
        "Return None: no SDK credentials are needed.");
    m.attr("NullAuthProvider") = cb.build(base);
    nb::list all;
    all.append("NullAuthProvider");
    m.attr("__all__") = all;
}
