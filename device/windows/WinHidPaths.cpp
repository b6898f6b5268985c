#include "WinHidPaths.h"

#include "../DeviceText.h"

#include <cstdio>

namespace kv::winhid {

std::string PathPattern(const char* format, int id) {
    if (id < 0) return {};
    char text[32];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(id));
    return AsciiLower(text);
}

bool PathPasses(const std::string& path, int vendorId, int productId) {
    const std::string lower = AsciiLower(path);
    const std::string vendor = PathPattern("#vid_%.04x&", vendorId);
    const std::string product = PathPattern("&pid_%.04x", productId);
    if (!vendor.empty() && lower.find(vendor) == std::string::npos) return false;
    if (product.empty()) return true;
    for (size_t at = lower.find(product); at != std::string::npos;
         at = lower.find(product, at + 1)) {
        const size_t after = at + product.size();
        if (after < lower.size() && (lower[after] == '#' || lower[after] == '&')) return true;
    }
    return false;
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
