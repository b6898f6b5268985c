// The clock every wait in the core goes through. The program runs on the steady clock; tests and
// the simulated device can run on virtual time, where a sleep only moves the time forward.
#pragma once

#include <cstdint>

namespace kv {

class IClock {
  public:
    virtual ~IClock() = default;
    // Microseconds since an arbitrary start; never goes backwards.
    virtual int64_t NowUs() = 0;
    // Blocks the calling thread until NowUs() >= t (returns at once when t has passed).
    virtual void SleepUntilUs(int64_t t) = 0;

    int64_t NowMs() { return NowUs() / 1000; }
    void SleepMs(int64_t ms) { SleepUntilUs(NowUs() + ms * 1000); }
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

// The millisecond tick count of the process clock, as a 32-bit value that wraps.
uint32_t GetTickCount();

} // namespace kv
