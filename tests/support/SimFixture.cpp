#include "SimFixture.h"

namespace kvtest {

SimEnvironment::SimEnvironment(kv::sim::SimConfig config) {
    auto storage = std::make_unique<kv::sim::MemoryStorage>();
    fs = storage.get();
    device = std::make_unique<kv::sim::SimDevice>(clock, std::move(storage), std::move(config));
    platform = std::make_unique<kv::sim::SimPlatform>(*device);
    kv::SetClock(&clock);
    kv::SetHidPlatform(platform.get());
}

kv::sim::SimDevice& SimEnvironment::AddDevice(kv::sim::SimConfig config) {
    if (!bus) {
        bus = std::make_unique<kv::sim::SimBus>();
        bus->Attach(*device, kv::sim::NthPath(0));
        kv::SetHidPlatform(bus.get());
    }
    const size_t n = more.size() + 1;
    config.serial = kv::sim::NthSerial(config.serial, n);
    more.push_back(std::make_unique<kv::sim::SimDevice>(
        clock, std::make_unique<kv::sim::MemoryStorage>(), std::move(config)));
    bus->Attach(*more.back(), kv::sim::NthPath(n));
    return *more.back();
}

SimEnvironment::~SimEnvironment() {
    kv::SetHidPlatform(nullptr);
    kv::SetClock(nullptr);
}

std::string AllByteValues() {
    std::string s;
    for (int i = 0; i < 256; ++i)
        s += static_cast<char>(i);
    return s;
}

std::string RandomBytes(size_t size, uint32_t seed) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

} // namespace kvtest
