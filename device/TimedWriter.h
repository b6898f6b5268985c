// Runs blocking writes on a thread of their own so that the caller's time-out holds even when a
// write blocks in the kernel far longer (a hidraw write can block for up to 5 s).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kv {

class TimedWriter {
  public:
    // write performs one blocking write and returns its result. Whatever it needs to stay valid
    // (the device handle) it should own: a write still stuck when the writer is destroyed is
    // abandoned, and its thread ends, releasing write, only when the write returns.
    explicit TimedWriter(std::function<int(const uint8_t*, size_t)> write);
    ~TimedWriter(); // returns at once, also while a write is stuck
    TimedWriter(const TimedWriter&) = delete;
    TimedWriter& operator=(const TimedWriter&) = delete;

    // The write's result, or 0 when it did not complete within timeoutMs. A write that timed out
    // still completes later; the next write waits for it within its own time-out.
    int Write(const uint8_t* data, size_t size, int timeoutMs);

  private:
    // Shared with the thread, so that an abandoned thread still has it after the writer is gone.
    struct State {
        std::function<int(const uint8_t*, size_t)> write;
        std::mutex lock;
        std::condition_variable changed;
        std::vector<uint8_t> job;
        bool jobReady = false;
        bool jobDone = true;
        int result = 0;
        bool stop = false;
    };
    static void Loop(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
    std::thread thread_;
};

} // namespace kv
