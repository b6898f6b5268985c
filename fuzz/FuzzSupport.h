// What the fuzz targets share: a scripted device on virtual time that plays back the fuzzer's
// bytes as what the device sends.
#pragma once

#include "support/ScriptedHid.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvfuzz {

// A fresh virtual clock and scripted device, installed for the life of the object.
struct Device {
    Device() : hid(clock) {
        kv::SetClock(&clock);
        kv::SetHidPlatform(&hid);
    }
    ~Device() {
        kv::SetHidPlatform(nullptr);
        kv::SetClock(nullptr);
    }
    kv::VirtualClock clock;
    kvtest::ScriptedHid hid;
};

inline std::string Bytes(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

} // namespace kvfuzz
