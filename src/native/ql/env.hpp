// Environment reading through the host's os.environ (so changes made by the host are seen), and the
// shared truth rule: "1", "true", "yes" or "on" after trimming and lower-casing.
#pragma once

#include "core.hpp"

#include <optional>

namespace ql {

// The value as the host sees it (a str, or None when unset).
inline nb::object getenv_obj(const char *name) {
    static nb::object &get = forever<nb::object>(import("os").attr("environ").attr("get"));
    return get(name);
}

inline std::optional<std::string> getenv(const char *name) {
    nb::object v = getenv_obj(name);
    if (v.is_none())
        return std::nullopt;
    return utf8_of(v); // undecodable bytes survive as they do in os.environ
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

// The truth rule on a host str, trimmed and lower-cased exactly as str.strip().lower() does.
inline bool truthy_text(nb::handle s) {
    nb::object v = s.attr("strip")().attr("lower")();
    std::string_view t = view(v);
    return t == "1" || t == "true" || t == "yes" || t == "on";
}

inline bool truthy(std::string_view s) {
    PyObject *o = PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t)s.size(), "surrogatepass");
    if (!o)
        throw nb::python_error();
    return truthy_text(nb::steal(o));
}

// The variable read with the truth rule; `dflt` when unset.
inline bool env_flag(const char *name, bool dflt = false) {
    nb::object v = getenv_obj(name);
    return v.is_none() ? dflt : truthy_text(v);
}

} // namespace ql
