#include "Clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
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

void IClock::SleepMs(int64_t ms) {
    const int64_t end = NowUs() + ms * 1000;
    if (!WaitHookHere()) {
        SleepUntilUs(end);
        return;
    }
    for (;;) {
        ServeWaitHook();
        const int64_t now = NowUs();
        if (now >= end) return;
        SleepUntilUs(std::min<int64_t>(end, now + kWaitSliceMs * 1000));
    }
}

namespace {
struct WaitHookState {
    std::function<void()> hook;
    // The hook's thread (none when there is no hook); other threads only ever read this.
    std::atomic<std::thread::id> thread;
    bool running = false;
    int64_t lastMs = INT64_MIN / 2;
};
WaitHookState& Hook() {
    static WaitHookState state;
    return state;
}
} // namespace

void SetWaitHook(std::function<void()> Hook_) {
    WaitHookState& state = Hook();
    state.thread = std::thread::id();
    state.hook = std::move(Hook_);
    state.lastMs = INT64_MIN / 2;
    if (state.hook) state.thread = std::this_thread::get_id();
}

bool WaitHookHere() {
    return Hook().thread.load() == std::this_thread::get_id();
}

void ServeWaitHook() {
    WaitHookState& state = Hook();
    if (state.running || !WaitHookHere()) return;
    const int64_t now = Clock().NowMs();
    if (now - state.lastMs < kWaitSliceMs) return;
    state.lastMs = now;
    state.running = true;
    struct Done {
        bool& running;
        ~Done() { running = false; }
    } done{state.running};
    state.hook();
}

uint32_t GetTickCount() {
    return static_cast<uint32_t>(Clock().NowMs());
}

} // namespace kv
