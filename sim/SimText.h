// Small text helpers the simulated device's command handling shares.
#pragma once

#include <climits>
#include <cstdint>
#include <string>

namespace kv::sim {

inline std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos) return "";
    const size_t b = s.find_last_not_of(' ');
    return s.substr(a, b - a + 1);
}

// A length field of a command: decimal digits only, within the signed 32-bit range.
inline bool ParseLength(const std::string& text, int64_t& value) {
    if (text.empty() || text.size() > 10) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value <= INT32_MAX;
}

} // namespace kv::sim
