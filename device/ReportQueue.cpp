#include "ReportQueue.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace kv {

bool ReportQueue::Push(const uint8_t* data, int size) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (reports_.size() >= capacity_) {
            ++dropped_;
            return false;
        }
        reports_.emplace_back(data, data + std::max(size, 0));
    }
    ready_.notify_one();
    return true;
}

void ReportQueue::Fail() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        failed_ = true;
    }
    ready_.notify_all();
}

int ReportQueue::Pop(uint8_t* buffer, int capacity, int timeoutMs) {
    std::unique_lock<std::mutex> hold(lock_);
    const auto has = [&] { return !reports_.empty() || failed_; };
    if (!has() && timeoutMs > 0) ready_.wait_for(hold, std::chrono::milliseconds(timeoutMs), has);
    if (reports_.empty()) return failed_ ? -1 : 0;
    const auto& front = reports_.front();
    const int n = std::min<int>(capacity, static_cast<int>(front.size()));
    std::memcpy(buffer, front.data(), n);
    reports_.pop_front();
    return n;
}

size_t ReportQueue::Size() {
    std::lock_guard<std::mutex> hold(lock_);
    return reports_.size();
}

size_t ReportQueue::Dropped() {
    std::lock_guard<std::mutex> hold(lock_);
    return dropped_;
}

} // namespace kv
