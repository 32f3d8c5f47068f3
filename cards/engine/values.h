// Small helpers on cell values and names that every part of the engine uses.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "dbengine.h"

inline char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Names (columns, tables, keywords) compare without regard to ASCII case.
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

inline std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// A value as text: numbers in their shortest exact form, null as "".
inline std::string ValueText(const TValue& v) {
    if (auto p = std::get_if<std::int64_t>(&v)) return std::to_string(*p);
    if (auto p = std::get_if<double>(&v)) {
        char buf[32];
        auto r = std::to_chars(buf, buf + sizeof buf, *p);
        return std::string(buf, r.ptr);
    }
    if (auto p = std::get_if<std::string>(&v)) return *p;
    return {};
}

// A whole decimal number, blanks around it and a leading '+' allowed.
inline bool ParseInt64(std::string_view s, std::int64_t& out) {
    s = Trim(s);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return !s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size();
}
