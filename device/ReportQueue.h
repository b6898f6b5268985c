// A bounded queue of input reports between a backend's reader thread and the program's thread.
// When full it drops the newest report, as the kernel's own queue does.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace kv {

class ReportQueue {
  public:
    explicit ReportQueue(size_t capacity) : capacity_(capacity) {}

    // False when the queue was full and the report was dropped.
    bool Push(const uint8_t* data, int size);
    // The device has gone: readers get -1 once the queue is empty.
    void Fail();
    // Waits up to timeoutMs for a report and copies at most capacity bytes of it. Returns the bytes
    // copied, 0 on time-out, -1 when the device failed and nothing is left.
    int Pop(uint8_t* buffer, int capacity, int timeoutMs);
    size_t Size();
    size_t Dropped();

  private:
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<std::vector<uint8_t>> reports_;
    size_t capacity_;
    size_t dropped_ = 0;
    bool failed_ = false;
};

} // namespace kv
