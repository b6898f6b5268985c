#include "TimedWriter.h"

#include <algorithm>
#include <chrono>

namespace kv {

TimedWriter::TimedWriter(std::function<int(const uint8_t*, size_t)> write)
    : state_(std::make_shared<State>()) {
    state_->write = std::move(write);
    thread_ = std::thread(Loop, state_);
}

TimedWriter::~TimedWriter() {
    bool idle;
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        state_->stop = true;
        idle = state_->jobDone;
    }
    state_->changed.notify_all();
    // An idle thread ends at once; a stuck one is left to end when its write returns.
    if (idle)
        thread_.join();
    else
        thread_.detach();
}

void TimedWriter::Loop(std::shared_ptr<State> state) {
    std::unique_lock<std::mutex> hold(state->lock);
    for (;;) {
        state->changed.wait(hold, [&] { return state->jobReady || state->stop; });
        if (state->stop) break;
        std::vector<uint8_t> data = std::move(state->job);
        state->jobReady = false;
        hold.unlock();
        const int result = state->write(data.data(), data.size());
        hold.lock();
        state->result = result;
        state->jobDone = true;
        state->changed.notify_all();
    }
    // Release what the write holds (the device handle) on this thread, not the destroyer's.
    auto write = std::move(state->write);
    hold.unlock();
}

int TimedWriter::Write(const uint8_t* data, size_t size, int timeoutMs) {
    State& s = *state_;
    std::unique_lock<std::mutex> hold(s.lock);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    if (!s.changed.wait_until(hold, deadline, [&] { return s.jobDone; })) return 0;
    s.job.assign(data, data + size);
    s.jobReady = true;
    s.jobDone = false;
    s.changed.notify_all();
    if (!s.changed.wait_until(hold, deadline, [&] { return s.jobDone; })) return 0;
    return s.result;
}

} // namespace kv
