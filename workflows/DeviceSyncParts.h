// What the two halves of the sync share (DeviceSync.cpp looks at both sides and decides;
// DeviceSyncRun.cpp carries it out): paths relative to the folder pair, and what the record keeps
// of each side.
#pragma once

#include "files/kvbFiles.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

namespace kv::syncparts {

inline std::string StampText(const std::optional<DateTime>& t) {
    if (!t) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t->Year, t->Month, t->Day,
                  t->Hour, t->Minute, t->Second);
    return text;
}

// What the record keeps of a device entry: its creation and modification stamps (the access
// date moves with a mere read).
inline std::string StampsOf(const DeviceDirEntry& e) {
    return StampText(e.Created) + (e.Stamp2 ? " " + StampText(e.Stamp2) : std::string());
}

inline int64_t TicksOf(const std::filesystem::path& p) {
    std::error_code ec;
    const auto t = std::filesystem::last_write_time(p, ec);
    return ec ? 0 : static_cast<int64_t>(t.time_since_epoch().count());
}

} // namespace kv::syncparts
