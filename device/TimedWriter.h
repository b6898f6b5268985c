// Runs blocking writes on a thread of their own so that the caller's time-out holds even when a
// write blocks in the kernel far longer (a hidraw write can block for up to 5 s).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kv {

class TimedWriter {
  public:
    // write performs one blocking write and returns its result.
    explicit TimedWriter(std::function<int(const uint8_t*, size_t)> write);
    ~TimedWriter(); // waits for a write still under way
    TimedWriter(const TimedWriter&) = delete;
    TimedWriter& operator=(const TimedWriter&) = delete;

    // The write's result, or 0 when it did not complete within timeoutMs. A write that timed out
    // still completes later; the next write waits for it within its own time-out.
    int Write(const uint8_t* data, size_t size, int timeoutMs);

  private:
    void Loop();
    std::function<int(const uint8_t*, size_t)> write_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<uint8_t> job_;
    bool jobReady_ = false;
    bool jobDone_ = true;
    int result_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace kv
