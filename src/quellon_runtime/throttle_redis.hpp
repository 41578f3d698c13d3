// What the two translation units of the throttle module share: throttle.cpp (the in-memory
// throttles, the settings and the module) and throttle_redis.cpp (the shared Redis backend).
#pragma once

#include <ql/toolkit.hpp>

#include <string>
#include <utility>

namespace quellon_throttle {

extern const char *MOD;
extern const char *EXCEEDED_MSG;

struct Settings {
    long long max_requests, max_tracked_keys;
    double window_seconds, key_ttl_seconds;
};

// ---- from throttle.cpp ------------------------------------------------------------------------

nb::object intern(const char *s);
ql::Logger &throttle_log();
nb::object env_get(const char *name);
std::pair<Py_ssize_t, Py_ssize_t> stripped_bounds(nb::handle s);
bool is_blank(nb::handle s);
bool ascii_lower(nb::handle s, Py_ssize_t i, Py_ssize_t j, size_t max, std::string &out);
double clock_now();
bool test_clock_installed(); // the module's clock is not time.monotonic
Settings limiter_settings(nb::handle max_requests, nb::handle window_seconds, nb::handle max_tracked_keys,
                          nb::handle key_ttl_seconds);
nb::object verdict(bool allowed, double retry_after); // a shared ThrottleResult
nb::object exceeded_error();                          // a new ThrottleExceeded with its message
void count_rejection();
double real_number(nb::handle v, const char *param);
nb::object as_index(nb::handle v, const char *param);

// ---- from throttle_redis.cpp ------------------------------------------------------------------

enum class Backend { Memory, Redis };
Backend throttle_backend();
nb::object redis_limiter_cls();
nb::object redis_bucket_cls();
void register_redis(nb::module_ &m);

} // namespace quellon_throttle
