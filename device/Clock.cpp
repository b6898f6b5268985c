#include "Clock.h"

#include <chrono>
#include <thread>

namespace kv {

int64_t SteadyClock::NowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void SteadyClock::SleepUntilUs(int64_t t) {
    using namespace std::chrono;
    std::this_thread::sleep_until(steady_clock::time_point(microseconds(t)));
}

namespace {
SteadyClock steadyClock;
IClock* current = &steadyClock;
} // namespace

IClock& Clock() {
    return *current;
}

void SetClock(IClock* clock) {
    current = clock ? clock : &steadyClock;
}

uint32_t GetTickCount() {
    return static_cast<uint32_t>(Clock().NowMs());
}

} // namespace kv
