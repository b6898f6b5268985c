// A simulated device on virtual time, installed as the process's clock and HID backend, with the
// host's link objects connected to it.
#pragma once

#include "device/kvComms.h"
#include "sim/SimDevice.h"

#include <memory>
#include <string>

namespace kvtest {

struct SimEnvironment {
    explicit SimEnvironment(kv::sim::SimConfig config = {});
    ~SimEnvironment();
    kv::VirtualClock clock;
    kv::sim::MemoryStorage* fs; // owned by the device
    std::unique_ptr<kv::sim::SimDevice> device;
    std::unique_ptr<kv::sim::SimPlatform> platform;
};

// Every byte value once, in order.
std::string AllByteValues();
// Deterministic pseudo-random bytes.
std::string RandomBytes(size_t size, uint32_t seed);

} // namespace kvtest
