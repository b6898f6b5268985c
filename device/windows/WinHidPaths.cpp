#include "WinHidPaths.h"

#include <cstdio>

namespace kv::winhid {

std::string PathPattern(const char* format, int id) {
    if (id < 0) return {};
    char text[32];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(id));
    std::string pattern = text;
    for (char& c : pattern)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return pattern;
}

bool PathPasses(const std::string& path, int vendorId, int productId) {
    std::string lower = path;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    const std::string vendor = PathPattern("#vid_%.04x&", vendorId);
    const std::string product = PathPattern("&pid_%.04x#", productId);
    if (!vendor.empty() && lower.find(vendor) == std::string::npos) return false;
    if (!product.empty() && lower.find(product) == std::string::npos) return false;
    return true;
}

std::u16string StringFromBuffer(const uint8_t* buffer, size_t bytes) {
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        const auto unit = static_cast<char16_t>(buffer[i] | buffer[i + 1] << 8);
        if (unit == 0) break;
        text += unit;
    }
    return text;
}

} // namespace kv::winhid
