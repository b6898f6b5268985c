#include "HidrawWriter.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>

namespace kv {

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

// Sleeps while word holds value, at most timeout (none: no limit). Returns on a wake, a change of
// the word, a signal or the time-out; the caller looks at the word again.
void FutexWait(std::atomic<uint32_t>& word, uint32_t value, const timespec* timeout) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, value, timeout,
            nullptr, 0);
}

void FutexWake(std::atomic<uint32_t>& word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
}

// Waits until finished reaches target or the deadline passes.
bool WaitFinished(std::atomic<uint32_t>& finished, uint32_t target,
                  std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const uint32_t now = finished.load(std::memory_order_acquire);
        if (now == target) return true;
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return false;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec timeout{static_cast<time_t>(ns / 1000000000),
                               static_cast<long>(ns % 1000000000)};
        FutexWait(finished, now, &timeout);
    }
}

} // namespace

HidrawWriter::HidrawWriter(std::function<int(const uint8_t*, size_t)> write)
    : state_(std::make_shared<State>()) {
    state_->write = std::move(write);
    thread_ = std::thread(Loop, state_);
}

HidrawWriter::~HidrawWriter() {
    const uint32_t posted = state_->posted.fetch_or(kStop, std::memory_order_acq_rel);
    FutexWake(state_->posted);
    // An idle thread ends at once; a stuck one is left to end when its write returns.
    if (state_->finished.load(std::memory_order_acquire) == posted)
        thread_.join();
    else
        thread_.detach();
}

void HidrawWriter::Loop(std::shared_ptr<State> state) {
    uint32_t done = 0;
    for (;;) {
        const uint32_t posted = state->posted.load(std::memory_order_acquire);
        if (posted & kStop) break;
        if (posted == done) {
            FutexWait(state->posted, posted, nullptr);
            continue;
        }
        state->result = state->write(state->job.data(), state->job.size());
        done = posted;
        state->finished.store(done, std::memory_order_release);
        FutexWake(state->finished);
    }
    // Release what the write holds (the node) on this thread, not the destroyer's.
    state->write = nullptr;
}

int HidrawWriter::Write(const uint8_t* data, size_t size, int timeoutMs) {
    std::lock_guard<std::mutex> hold(callers_);
    State& s = *state_;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    const uint32_t posted = s.posted.load(std::memory_order_relaxed);
    if (!WaitFinished(s.finished, posted, deadline)) return 0; // an earlier write is still stuck
    s.job.assign(data, data + size);
    const uint32_t next = (posted + 1) & ~kStop;
    s.posted.store(next, std::memory_order_release);
    FutexWake(s.posted);
    if (!WaitFinished(s.finished, next, deadline)) return 0;
    return s.result;
}

} // namespace kv
