// Where the OAuth redirect listener may listen: the loopback interface and nothing else.
//
// Any other address (the wildcard "0.0.0.0" or "::", the empty text, a LAN address, a host name)
// would let another machine deliver or abort the redirect. Addresses are read exactly as the
// host's ipaddress.ip_address reads them (strict dotted quads without leading zeros; IPv6 with
// "::", an IPv4 tail and an optional %scope), so what is refused does not depend on the resolver.
#pragma once

#include <ql/toolkit.hpp>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace loopback {

enum class Family { inet, inet6 };

namespace detail {

enum class Kind { none, v4, v6 };

struct Address {
    Kind kind = Kind::none;
    std::uint32_t v4 = 0;
    std::array<std::uint16_t, 8> v6{};
    bool scoped = false;
};

// 1 to 3 ASCII digits, no leading zero, at most 255.
inline bool octet(std::string_view s, std::uint32_t &out) {
    if (s.empty() || s.size() > 3 || (s.size() > 1 && s[0] == '0'))
        return false;
    std::uint32_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + std::uint32_t(c - '0');
    }
    out = v;
    return v <= 255;
}

inline bool ipv4(std::string_view s, std::uint32_t &out) {
    std::uint32_t v = 0;
    int count = 0;
    for (;;) {
        size_t dot = s.find('.');
        std::uint32_t o;
        if (++count > 4 || !octet(s.substr(0, dot), o))
            return false;
        v = v << 8 | o;
        if (dot == std::string_view::npos)
            break;
        s.remove_prefix(dot + 1);
    }
    out = v;
    return count == 4;
}

// 1 to 4 ASCII hex digits.
inline bool hextet(std::string_view s, std::uint16_t &out) {
    if (s.empty() || s.size() > 4)
        return false;
    unsigned v = 0;
    for (char c : s) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = unsigned(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = unsigned(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = unsigned(c - 'A' + 10);
        else
            return false;
        v = v << 4 | d;
    }
    out = std::uint16_t(v);
    return true;
}

// The colon-separated form without its scope; the same rules, in the same order, as the host's.
inline bool ipv6(std::string_view s, std::array<std::uint16_t, 8> &out) {
    if (s.empty())
        return false;
    std::string_view parts[10];
    std::string tail; // an IPv4 tail rewritten as two hex parts
    size_t n = 0;
    for (;;) {
        size_t colon = s.find(':');
        if (n == 9) // more than 8 colons, with or without an IPv4 tail
            return false;
        parts[n++] = s.substr(0, colon);
        if (colon == std::string_view::npos)
            break;
        s.remove_prefix(colon + 1);
    }
    if (n < 3)
        return false;
    if (parts[n - 1].find('.') != std::string_view::npos) {
        std::uint32_t v;
        if (!ipv4(parts[n - 1], v))
            return false;
        const char *hex = "0123456789abcdef";
        for (int shift = 28; shift >= 0; shift -= 4)
            tail.push_back(hex[(v >> shift) & 0xf]);
        parts[n - 1] = std::string_view(tail).substr(0, 4);
        parts[n++] = std::string_view(tail).substr(4);
    }
    if (n > 9)
        return false;

    size_t skip = 0; // index of the empty part that "::" leaves inside; 0 for none
    for (size_t i = 1; i + 1 < n; ++i) {
        if (parts[i].empty()) {
            if (skip)
                return false;
            skip = i;
        }
    }
    size_t hi, lo, skipped;
    if (skip) {
        hi = skip;
        lo = n - skip - 1;
        if (parts[0].empty() && --hi)
            return false;
        if (parts[n - 1].empty() && --lo)
            return false;
        if (hi + lo > 7)
            return false;
        skipped = 8 - (hi + lo);
    } else {
        if (n != 8 || parts[0].empty() || parts[n - 1].empty())
            return false;
        hi = n;
        lo = 0;
        skipped = 0;
    }
    std::array<std::uint16_t, 8> words{};
    for (size_t i = 0; i < hi; ++i)
        if (!hextet(parts[i], words[i]))
            return false;
    for (size_t i = 0; i < lo; ++i)
        if (!hextet(parts[n - lo + i], words[hi + skipped + i]))
            return false;
    out = words;
    return true;
}

// ipaddress.ip_address(text), or Kind::none where it would raise ValueError.
inline Address parse(nb::handle text) {
    Address a;
    if (!PyUnicode_Check(text.ptr()))
        return a;
    PyObject *p = text.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(p);
    int kind = PyUnicode_KIND(p);
    const void *data = PyUnicode_DATA(p);
    // The address part as bytes; a non-ASCII character becomes a byte no rule accepts.
    std::string addr;
    Py_ssize_t percent = -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '/') // a network, never an address
            return a;
        if (percent >= 0) {
            if (c == '%')
                return a;
            continue;
        }
        if (c == '%')
            percent = i;
        else
            addr.push_back(c < 0x80 ? char(c) : '\x80');
    }
    if (percent < 0 && ipv4(addr, a.v4)) {
        a.kind = Kind::v4;
        return a;
    }
    if (percent == n - 1) // an empty scope
        return a;
    if (ipv6(addr, a.v6)) {
        a.kind = Kind::v6;
        a.scoped = percent >= 0;
    }
    return a;
}

inline bool is_ipv4_loopback(const Address &a) { return a.kind == Kind::v4 && (a.v4 >> 24) == 127; }

inline bool is_ipv6_one(const Address &a) {
    if (a.kind != Kind::v6)
        return false;
    for (size_t i = 0; i < 7; ++i)
        if (a.v6[i])
            return false;
    return a.v6[7] == 1;
}

// host.isascii() and host.lower() == "localhost"
inline bool is_localhost(nb::handle host) {
    PyObject *p = host.ptr();
    const char word[] = "localhost";
    if (PyUnicode_GET_LENGTH(p) != Py_ssize_t(sizeof word - 1))
        return false;
    int kind = PyUnicode_KIND(p);
    const void *data = PyUnicode_DATA(p);
    for (Py_ssize_t i = 0; i < Py_ssize_t(sizeof word - 1); ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 'A' && c <= 'Z')
            c += 'a' - 'A';
        if (c != Py_UCS4(word[i]))
            return false;
    }
    return true;
}

} // namespace detail

// The socket family to bind `host` with: "localhost" (ASCII, any case) and 127.0.0.0/8 on IPv4,
// "::1" (in any spelling, without a scope) on IPv6. Anything else, a non-str included, raises
// ValueError naming the host and `source`, where it came from (the argument or a variable).
inline Family require(nb::handle host, nb::handle source) {
    if (PyUnicode_Check(host.ptr())) {
        if (detail::is_localhost(host))
            return Family::inet;
        detail::Address a = detail::parse(host);
        if (detail::is_ipv4_loopback(a))
            return Family::inet;
        if (detail::is_ipv6_one(a) && !a.scoped)
            return Family::inet6;
    }
    PyObject *msg = PyUnicode_FromFormat("%S must be a loopback address (127.0.0.0/8, ::1 or localhost), not %R",
                                         source.ptr(), host.ptr());
    if (msg) {
        PyErr_SetObject(PyExc_ValueError, msg);
        Py_DECREF(msg);
    }
    throw nb::python_error();
}

// After bind: a name such as "localhost" must have resolved to a loopback address (as
// ipaddress's is_loopback: 127.0.0.0/8, or ::1 whatever its scope).
inline void check_bound(nb::handle host, nb::handle sockname) {
    PyObject *bound = PySequence_GetItem(sockname.ptr(), 0);
    if (!bound)
        throw nb::python_error();
    nb::object keep = nb::steal(bound);
    detail::Address a = detail::parse(bound);
    if (detail::is_ipv4_loopback(a) || detail::is_ipv6_one(a))
        return;
    PyObject *msg =
        PyUnicode_FromFormat("host %R resolved to %R, which is not a loopback address", host.ptr(), bound);
    if (msg) {
        PyErr_SetObject(PyExc_ValueError, msg);
        Py_DECREF(msg);
    }
    throw nb::python_error();
}

} // namespace loopback
