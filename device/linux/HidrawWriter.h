// Runs blocking writes on a thread of their own so that the caller's time-out holds even when a
// write blocks in the kernel far longer (a hidraw write can block for up to 5 s, and hidraw takes
// no notice of O_NONBLOCK). Each report crosses to the thread and back through two futex words:
// no lock is taken and nobody sleeps who need not, so a report costs about what a write on the
// calling thread costs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kv {

class HidrawWriter {
  public:
    // write performs one blocking write and returns its result. Whatever it needs to stay valid
    // (the node's descriptor) it should own: a write still stuck when the writer is destroyed is
    // abandoned, and its thread ends, releasing write, only when the write returns.
    explicit HidrawWriter(std::function<int(const uint8_t*, size_t)> write);
    ~HidrawWriter(); // returns at once, also while a write is stuck
    HidrawWriter(const HidrawWriter&) = delete;
    HidrawWriter& operator=(const HidrawWriter&) = delete;

    // The write's result, or 0 when it did not complete within timeoutMs. A write that timed out
    // still completes later; the next write waits for it within its own time-out.
    int Write(const uint8_t* data, size_t size, int timeoutMs);

  private:
    // Shared with the thread, so that an abandoned thread still has it after the writer is gone.
    struct State {
        std::function<int(const uint8_t*, size_t)> write;
        // Writes handed over and writes finished, counted modulo kStop; posted also carries kStop.
        std::atomic<uint32_t> posted{0};
        std::atomic<uint32_t> finished{0};
        std::vector<uint8_t> job; // written by the caller only while the thread is idle
        int result = 0;
    };
    static constexpr uint32_t kStop = 0x80000000u;
    static void Loop(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
    std::mutex callers_; // one write at a time
    std::thread thread_;
};

} // namespace kv
