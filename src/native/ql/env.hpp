// Environment reading through the host's os.environ (so changes made by the host are seen), and the
// shared truth rule: "1", "true", "yes" or "on" after trimming and lower-casing.
#pragma once

#include "core.hpp"

#include <optional>

namespace ql {

inline std::optional<std::string> getenv(const char *name) {
    static nb::object &get = forever<nb::object>(import("os").attr("environ").attr("get"));
    nb::object v = get(name);
    if (v.is_none())
        return std::nullopt;
    return std::string(view(v));
}

inline std::string_view trim(std::string_view s) {
    auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
    while (!s.empty() && ws(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && ws(s.back()))
        s.remove_suffix(1);
    return s;
}

inline std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

inline bool truthy(std::string_view s) {
    std::string v = lower(trim(s));
    return v == "1" || v == "true" || v == "yes" || v == "on";
}

// The variable read with the truth rule; `dflt` when unset.
inline bool env_flag(const char *name, bool dflt = false) {
    auto v = getenv(name);
    return v ? truthy(*v) : dflt;
}

} // namespace ql
