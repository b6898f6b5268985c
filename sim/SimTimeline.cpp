// The simulated device on and off the bus at times given in text.
#include "SimTimeline.h"

#include <cstdlib>

namespace kv::sim {

bool ApplyTimeline(const std::string& text, IClock& clock, SimDevice& device, std::string& rest,
                   int64_t OriginMs) {
    int64_t presentFrom = -1, unplugAt = -1, unplugFor = -1;
    rest.clear();
    for (const std::string& item : FaultItems(text)) {
        const size_t eq = item.find('=');
        const std::string name = item.substr(0, eq);
        if (item == "boot-loader=1") {
            device.RunBootLoader();
            continue;
        }
        int64_t* field = name == "present-from" ? &presentFrom
                         : name == "unplug-at"  ? &unplugAt
                         : name == "unplug-for" ? &unplugFor
                                                : nullptr;
        if (!field || eq == std::string::npos) {
            rest += (rest.empty() ? "" : ";") + item;
            continue;
        }
        const std::string value = item.substr(eq + 1);
        char* tail = nullptr;
        *field = std::strtoll(value.c_str(), &tail, 10);
        if (value.empty() || *tail || *field < 0) return false;
    }
    const int64_t now = clock.NowMs() - OriginMs;
    if (presentFrom > now) device.UnplugFor(presentFrom - now);
    if (unplugAt >= 0) {
        const int64_t gone = unplugFor >= 0 ? unplugFor : int64_t(1) << 40;
        if (unplugAt >= now)
            device.ScheduleUnplug(unplugAt - now, gone);
        else if (unplugAt + gone > now)
            device.UnplugFor(unplugAt + gone - now);
    }
    return true;
}

} // namespace kv::sim
