#include "TimedWriter.h"

#include <algorithm>
#include <chrono>

namespace kv {

TimedWriter::TimedWriter(std::function<int(const uint8_t*, size_t)> write)
    : write_(std::move(write)), thread_([this] { Loop(); }) {}

TimedWriter::~TimedWriter() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void TimedWriter::Loop() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [&] { return jobReady_ || stop_; });
        if (stop_) return;
        std::vector<uint8_t> data = std::move(job_);
        jobReady_ = false;
        hold.unlock();
        const int result = write_(data.data(), data.size());
        hold.lock();
        result_ = result;
        jobDone_ = true;
        changed_.notify_all();
    }
}

int TimedWriter::Write(const uint8_t* data, size_t size, int timeoutMs) {
    std::unique_lock<std::mutex> hold(lock_);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    if (!changed_.wait_until(hold, deadline, [&] { return jobDone_; })) return 0;
    job_.assign(data, data + size);
    jobReady_ = true;
    jobDone_ = false;
    changed_.notify_all();
    if (!changed_.wait_until(hold, deadline, [&] { return jobDone_; })) return 0;
    return result_;
}

} // namespace kv
