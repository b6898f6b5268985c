// The clock every wait in the core goes through. The program runs on the steady clock; tests and
// the simulated device can run on virtual time, where a sleep only moves the time forward.
#pragma once

#include <cstdint>
#include <functional>

namespace kv {

class IClock {
  public:
    virtual ~IClock() = default;
    // Microseconds since an arbitrary start; never goes backwards.
    virtual int64_t NowUs() = 0;
    // Blocks the calling thread until NowUs() >= t (returns at once when t has passed).
    virtual void SleepUntilUs(int64_t t) = 0;

    int64_t NowMs() { return NowUs() / 1000; }
    // Sleeps ms milliseconds; on the thread of a wait hook the sleep is cut into slices with the
    // hook called between them.
    void SleepMs(int64_t ms);
};

// The monotonic clock of the machine.
class SteadyClock final : public IClock {
  public:
    int64_t NowUs() override;
    void SleepUntilUs(int64_t t) override;
};

// Time that moves only when someone sleeps or advances it. Single-threaded by design.
class VirtualClock final : public IClock {
  public:
    explicit VirtualClock(int64_t startUs = 1'000'000) : now_(startUs) {}
    int64_t NowUs() override { return now_; }
    void SleepUntilUs(int64_t t) override {
        if (t > now_) now_ = t;
    }
    void AdvanceMs(int64_t ms) { now_ += ms * 1000; }

  private:
    int64_t now_;
};

// The process clock: the steady clock unless SetClock chose another one.
IClock& Clock();
// Chooses the process clock; nullptr returns to the steady clock. The clock must outlive its use.
void SetClock(IClock* clock);

// ---- the wait hook ----
// A program whose thread waits on the device may have its own house to keep meanwhile: a window
// repaints and answers its window manager. The hook it sets is called only on the thread that set
// it, never inside itself, and at most once per kWaitSliceMs of clock time; on that thread the
// waits of the link (report reads and writes) and SleepMs go no longer than a slice without a
// call. Nothing on the wire changes: a long read becomes shorter reads of the same report stream
// with the same deadline.
constexpr int kWaitSliceMs = 20;
// Sets the hook for the calling thread; an empty one removes it.
void SetWaitHook(std::function<void()> Hook);
// True on the thread of a hook: waits are cut into slices.
bool WaitHookHere();
// Calls the hook when this is its thread, it is not running already and a slice has passed.
void ServeWaitHook();

// The millisecond tick count of the process clock, as a 32-bit value that wraps.
uint32_t GetTickCount();

} // namespace kv
