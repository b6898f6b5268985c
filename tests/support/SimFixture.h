// A simulated device on virtual time, installed as the process's clock and HID backend, with the
// host's link objects connected to it.
#pragma once

#include "device/kvComms.h"
#include "sim/SimDevice.h"

#include <memory>
#include <string>
#include <vector>

namespace kvtest {

struct SimEnvironment {
    explicit SimEnvironment(kv::sim::SimConfig config = {});
    ~SimEnvironment();
    kv::VirtualClock clock;
    kv::sim::MemoryStorage* fs; // owned by the device
    std::unique_ptr<kv::sim::SimDevice> device;
    std::unique_ptr<kv::sim::SimPlatform> platform;

    // One more device on the same clock, with a storage of its own and the serial number and path
    // a program's next --simulate would give it; from then on all are on one bus.
    kv::sim::SimDevice& AddDevice(kv::sim::SimConfig config = {});
    std::vector<std::unique_ptr<kv::sim::SimDevice>> more;
    std::unique_ptr<kv::sim::SimBus> bus;
};

// Every byte value once, in order.
std::string AllByteValues();
// Deterministic pseudo-random bytes.
std::string RandomBytes(size_t size, uint32_t seed);

} // namespace kvtest
