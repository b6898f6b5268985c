// What the fuzz targets share: a scripted device on virtual time that plays back the fuzzer's
// bytes as what the device sends.
#pragma once

#include "files/kvbFiles.h"
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
    // The device answers every command line the host sends (a report ending in CR) with reply.
    void AnswerEachLine(const std::string& reply) {
        hid.onWrite = [this, reply](const std::vector<uint8_t>& report) {
            if (report[0] == 0 && report[2] > 0 && report[2 + report[2]] == '\r')
                hid.QueueConsole(reply);
        };
    }
    kv::VirtualClock clock;
    kvtest::ScriptedHid hid;
};

// The host's link objects and file service, connected to a fresh scripted device.
struct Service {
    Service() { comms.Connect(); }
    Device device;
    kv::TkvComms comms;
    kv::TkvTerminal terminal{comms};
    kv::TkvbFiles files{terminal};
};

inline std::string Bytes(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

} // namespace kvfuzz
