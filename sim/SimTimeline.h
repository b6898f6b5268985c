// When a simulated device is on the bus, for programs that start it from text (kvb's tests and
// benchmarks): plugged in late, or unplugged for a while or for good, at times of the process
// clock.
#pragma once

#include "SimDevice.h"

#include <string>

namespace kv::sim {

// "present-from=MS": off the bus until the clock reads MS; "unplug-at=MS": off the bus from then,
// for "unplug-for=MS" or for good; "boot-loader=1": it runs its boot loader from the start. Times
// are milliseconds after OriginMs of the clock the device was made with (the program's start);
// a time already past counts from the device's first moment. The items it does not know are left
// in Rest (";"-separated) for ParseFaults. False for a bad number.
bool ApplyTimeline(const std::string& text, IClock& clock, SimDevice& device, std::string& rest,
                   int64_t OriginMs = 0);

} // namespace kv::sim
