// The simulated device's core: its event clock, its output reports, the host side of the link
// and its presence on the bus.
#include "SimDevice.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace kv::sim {

namespace {

constexpr size_t kConsoleQueueReports = 64; // the device's own output queue for console text
constexpr size_t kOutQueueLimit = 4096;     // beyond this, log messages are dropped
constexpr size_t kConsoleBacklogLimit = 256 * 1024; // unsolicited output the device holds

} // namespace

SimDevice::SimDevice(IClock& clock, std::unique_ptr<SimStorage> storage, SimConfig cfg)
    : config(std::move(cfg)), clock_(clock), storage_(std::move(storage)) {
    now_ = clock_.NowUs();
    logEpoch_ = now_;
    locked_ = !config.password.empty();
    ScheduleLog();
}

// ---- time ----

void SimDevice::Schedule(int64_t at, std::function<void()> fn) {
    events_.emplace(std::max(at, now_), std::move(fn));
}

void SimDevice::Advance(int64_t t) {
    while (!events_.empty() && events_.begin()->first <= t) {
        auto it = events_.begin();
        now_ = std::max(now_, it->first);
        Form(now_);
        auto fn = std::move(it->second);
        events_.erase(it);
        fn();
    }
    now_ = std::max(now_, t);
    Form(now_);
}

void SimDevice::ScheduleLog() {
    if (config.logRatePerSecond <= 0) return;
    const int64_t period = 1'000'000 / config.logRatePerSecond;
    Schedule(now_ + period, [this] {
        static const uint8_t types[] = {4, 16, 17, 8, 12, 6, 6, 5, 9, 10, 13, 14, 7};
        const uint8_t type = types[logCounter_ % sizeof types];
        std::string text;
        switch (type) {
        case 6:
            text = "AT+CSQ\r";
            break;
        case 5:
            text = "+CSQ: 17,99";
            break;
        case 16:
            text = "script error: main.lua:12: attempt to index nil";
            break;
        case 17:
            text = "main.lua: tick " + std::to_string(logCounter_);
            break;
        default:
            text = "event " + std::to_string(logCounter_);
        }
        ++logCounter_;
        Log(type, text);
        ScheduleLog();
    });
}

// ---- output ----

void SimDevice::Enqueue(const Report& r, int64_t produced) {
    const int64_t readyAt = std::max(produced, lastReadyAt_ + config.reportIntervalUs);
    lastReadyAt_ = readyAt;
    out_.push_back({r, readyAt});
}

int64_t SimDevice::NextFrame() const {
    return std::max(backlog_.front().at, lastReadyAt_ + config.reportIntervalUs);
}

void SimDevice::Form(int64_t t) {
    // A console report is made when its frame comes: it carries every byte printed by then, up
    // to 61, so what the device prints in one step leaves together.
    while (out_.size() < kConsoleQueueReports && !backlog_.empty()) {
        const int64_t frame = NextFrame();
        if (frame > t) return;
        std::string payload;
        while (payload.size() < static_cast<size_t>(kPayloadSize) && !backlog_.empty() &&
               backlog_.front().at <= frame) {
            Chunk& c = backlog_.front();
            const size_t n = std::min(kPayloadSize - payload.size(), c.data.size() - c.off);
            payload.append(c.data, c.off, n);
            c.off += n;
            if (c.off == c.data.size()) backlog_.pop_front();
            backlogBytes_ -= n;
        }
        out_.push_back({MakeReport(kConsoleChannel, 0, payload), frame});
        lastReadyAt_ = frame;
    }
}

void SimDevice::Print(const std::string& text) {
    if (text.empty() || !present_) return;
    const int64_t at = std::max({now_, outputNotBefore_, answerNotBefore_});
    backlog_.push_back({text, 0, at});
    backlogBytes_ += text.size();
}

void SimDevice::Prompt() {
    if (faults.omitPrompt) return;
    const bool second = faults.dialect == 2;
    const char* text = locked_       ? (second ? "Enter PASSWORD: " : "PASSWORD:")
                       : bootLoader_ ? (second ? "boot $ " : "BL>")
                                     : (second ? "kv:/ $ " : "Kovrin>");
    const std::string prompt = std::string(1, PromptStartMark) + text + PromptEndMark;
    if (faults.promptPauseMs <= 0 || !present_) return Print(prompt);
    // Split inside the prompt's word; the second half is printed the pause later.
    const size_t half = prompt.size() / 2;
    Print(prompt.substr(0, half));
    backlog_.push_back({prompt.substr(half), 0, backlog_.back().at + faults.promptPauseMs * 1000});
    backlogBytes_ += prompt.size() - half;
}

void SimDevice::PrintConsole(const std::string& text) {
    Advance(clock_.NowUs());
    // The device's own output buffer is finite: output nobody takes away is lost.
    if (backlogBytes_ + text.size() > kConsoleBacklogLimit) return;
    Print(text);
}

void SimDevice::Log(uint8_t type, const std::string& text) {
    if (!present_ || !filterOn_) return;
    if (type < 64 && !(filterMask_ >> type & 1)) return;
    if (out_.size() >= kOutQueueLimit) return;
    std::string payload(1, static_cast<char>(type));
    payload += text.substr(0, kPayloadSize - 1);
    Enqueue(MakeReport(kLogChannel, 0, payload), now_);
}

// ---- host side ----

bool SimDevice::Present() {
    Advance(clock_.NowUs());
    return present_;
}

int SimDevice::HostRead(uint8_t* report, int timeoutMs) {
    Advance(clock_.NowUs());
    const int64_t deadline = clock_.NowUs() + int64_t(std::max(timeoutMs, 0)) * 1000;
    for (;;) {
        if (!present_) return -1;
        const int64_t now = clock_.NowUs();
        if (!out_.empty() && out_.front().readyAt <= now) {
            // A full queue held the device back: it goes on from now, not from the past.
            if (out_.size() >= kConsoleQueueReports)
                lastReadyAt_ = std::max(lastReadyAt_, now - config.reportIntervalUs);
            std::memcpy(report, out_.front().report.data(), kReportSize);
            out_.pop_front();
            const bool lost = int64_t(reportsSent++) == faults.loseReport && report[0] == 0;
            Form(now);
            if (lost) continue;
            return kReportSize;
        }
        int64_t next = INT64_MAX;
        if (!out_.empty()) next = out_.front().readyAt;
        if (!backlog_.empty() && out_.size() < kConsoleQueueReports)
            next = std::min(next, NextFrame());
        if (!events_.empty()) next = std::min(next, events_.begin()->first);
        if (next > deadline) {
            clock_.SleepUntilUs(deadline);
            Advance(clock_.NowUs());
            return present_ ? 0 : -1;
        }
        clock_.SleepUntilUs(next);
        Advance(clock_.NowUs());
    }
}

int SimDevice::HostWrite(const uint8_t* report, int timeoutMs) {
    Advance(clock_.NowUs());
    if (!present_) return -1;
    const int64_t now = clock_.NowUs();
    const int64_t timeout = int64_t(std::max(timeoutMs, 0)) * 1000;
    const int64_t slot = std::max(now, lastWriteSlot_ + config.reportIntervalUs);
    if (faults.writesStall || slot > now + timeout) {
        clock_.SleepUntilUs(now + timeout);
        Advance(clock_.NowUs());
        return 0;
    }
    clock_.SleepUntilUs(slot);
    lastWriteSlot_ = slot;
    // The device handles the report after the frame that carried it, so its answer can leave at
    // the earliest one frame later.
    Advance(clock_.NowUs());
    if (!present_) return -1;
    received.emplace_back(report, report + kReportSize);
    answerNotBefore_ = slot + config.reportIntervalUs;
    OnReport(report);
    return kReportSize;
}

bool SimDevice::String(HidString which, int index, std::u16string& text) {
    if (!Present()) return false;
    switch (which) {
    case HidString::Manufacturer:
        text = config.manufacturer;
        return true;
    case HidString::Product:
        text = bootLoader_ ? config.bootProduct : config.product;
        return true;
    case HidString::SerialNumber:
        text = faults.emptySerial ? u"" : config.serial;
        return true;
    case HidString::Indexed:
        switch (index) {
        case 201:
            text = config.version;
            return true;
        case 202:
            text = config.build;
            return true;
        case 203:
            text = config.date;
            return true;
        case 204:
            text = bootLoader_ ? config.bootFeatures : config.features;
            return true;
        }
        return false;
    }
    return false;
}

// ---- plugging ----

void SimDevice::ResetLink() {
    out_.clear();
    backlog_.clear();
    backlogBytes_ = 0;
    mode_ = Mode::Command;
    line_.clear();
    receiveBuffer_.clear();
    filterOn_ = false;
    outputNotBefore_ = 0;
}

void SimDevice::Gone() {
    present_ = false;
    ResetLink();
}

void SimDevice::Back(bool bootLoader) {
    bootLoader_ = bootLoader;
    present_ = true;
    ++generation_; // handles of the last connection stay dead
    locked_ = !bootLoader && !config.password.empty();
}

void SimDevice::Restart(bool toBootLoader) {
    Schedule(now_ + 100'000, [this] { Gone(); });
    Schedule(now_ + 100'000 + int64_t(config.rebootMs) * 1000,
             [this, toBootLoader] { Back(toBootLoader); });
}

void SimDevice::Unplug() {
    Advance(clock_.NowUs());
    Gone();
}

void SimDevice::Replug() {
    Advance(clock_.NowUs());
    if (!present_) Back(bootLoader_);
}

void SimDevice::UnplugFor(int64_t ms) {
    Unplug();
    Schedule(now_ + ms * 1000, [this] { Back(bootLoader_); });
}

void SimDevice::ScheduleUnplug(int64_t afterMs, int64_t forMs) {
    Advance(clock_.NowUs());
    Schedule(now_ + afterMs * 1000, [this, forMs] {
        Gone();
        Schedule(now_ + forMs * 1000, [this] { Back(bootLoader_); });
    });
}

} // namespace kv::sim
