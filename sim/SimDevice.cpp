#include "SimDevice.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace kv::sim {

namespace {

constexpr size_t kConsoleQueueReports = 64; // the device's own output queue for console text
constexpr size_t kOutQueueLimit = 4096;     // beyond this, log messages are dropped
constexpr int64_t kSlice = 4096;            // the host sends content in slices of this size
constexpr size_t kConsoleBacklogLimit = 256 * 1024; // unsolicited output the device holds

std::string Join(const SimPath& path) {
    std::string out;
    for (const auto& name : path)
        out += "/" + name;
    return out;
}

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos) return "";
    const size_t b = s.find_last_not_of(' ');
    return s.substr(a, b - a + 1);
}

bool ParseLength(const std::string& text, int64_t& value) {
    if (text.empty() || text.size() > 10) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value <= INT32_MAX;
}

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
    const char* text = locked_ ? "PASSWORD:" : bootLoader_ ? "BL>" : "Kovrin>";
    Print(std::string(1, PromptStartMark) + text + PromptEndMark);
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
            ++reportsSent;
            Form(now);
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

// ---- input ----

void SimDevice::OnReport(const uint8_t* report) {
    const uint8_t channel = report[0];
    const uint8_t flags = report[1];
    const size_t length = std::min<size_t>(report[2], kPayloadSize);
    const std::string payload(reinterpret_cast<const char*>(report) + kReportHeader, length);
    if (channel == kConsoleChannel) {
        OnConsoleBytes(payload);
    } else if (channel == kLogChannel && payload.size() >= 15) {
        if (payload.compare(0, 7, "FILTER ") == 0 && flags == 128) {
            filterMask_ = 0;
            for (int i = 0; i < 8; ++i)
                filterMask_ |= uint64_t(static_cast<uint8_t>(payload[7 + i])) << (8 * i);
            filterOn_ = true;
        } else if (payload.compare(0, 7, "FILTER-") == 0 && flags == 64) {
            filterOn_ = false;
        }
    }
}

void SimDevice::OnConsoleBytes(const std::string& bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        if (mode_ == Mode::Receive) {
            const size_t n = std::min<size_t>(
                bytes.size() - i,
                static_cast<size_t>(receiveLength_ - int64_t(receiveBuffer_.size())));
            const int64_t before = static_cast<int64_t>(receiveBuffer_.size());
            receiveBuffer_.append(bytes, i, n);
            i += n;
            const int64_t after = static_cast<int64_t>(receiveBuffer_.size());
            const int64_t limit =
                receiveIsImage_ ? faults.imageRefuseAfter : faults.uploadAbortAfter;
            if (limit >= 0 && before <= limit && after > limit && after < receiveLength_) {
                // Fail in the middle of the content: say so with a prompt, then drop what the host
                // still sends of the slice under way.
                if (receiveIsImage_) {
                    Print("\r\nError: image rejected\r\n");
                    Prompt();
                } else {
                    // One error and prompt per rejected piece: enough output, with prompt ends in
                    // it, for the host's abort probe to see.
                    for (int n = 0; n < 12; ++n) {
                        Print("28:Disk full\r\n");
                        Prompt();
                    }
                }
                const int64_t sliceEnd = std::min((limit / kSlice + 1) * kSlice, receiveLength_);
                drainBytes_ = sliceEnd - after;
                receiveBuffer_.clear();
                mode_ = drainBytes_ > 0 ? Mode::Drain : Mode::Command;
                continue;
            }
            if (after == receiveLength_) ReceiveDone();
            continue;
        }
        if (mode_ == Mode::Drain) {
            const size_t n = std::min<size_t>(bytes.size() - i, static_cast<size_t>(drainBytes_));
            i += n;
            drainBytes_ -= static_cast<int64_t>(n);
            if (drainBytes_ <= 0) mode_ = Mode::Command;
            continue;
        }
        const char c = bytes[i++];
        if (c == EscapeKey) {
            line_.clear();
            ++readyPrompts;
            // Just the prompt: the host reads a command's reply right after a fresh prompt, so a
            // line break here would show up there as an empty first line.
            if (!faults.silent) Prompt();
        } else if (c == '\r') {
            const std::string line = line_;
            line_.clear();
            OnLine(line);
        } else if (c == '\b' || c == '\x7F') {
            if (!line_.empty()) line_.pop_back(); // the console edits the line being typed
        } else if (c != '\n' && line_.size() < 4096) {
            line_ += c;
        }
    }
}

void SimDevice::OnLine(const std::string& line) {
    commands.push_back(line);
    if (faults.silent) return;
    outputNotBefore_ = now_ + faults.replyDelayMs * 1000;
    if (locked_) {
        if (line == config.password) {
            locked_ = false;
            Print("\r\n");
        } else {
            Print("\r\nWrong password\r\n");
        }
        Prompt();
        return;
    }
    const std::string trimmed = Trim(line);
    const size_t space = trimmed.find(' ');
    const std::string word = trimmed.substr(0, space);
    const std::string arg = space == std::string::npos ? "" : trimmed.substr(space + 1);
    if (word.empty()) {
        Prompt();
    } else if (bootLoader_) {
        if (word == "LOAD") {
            CmdLoad(arg);
        } else if (word == "run") {
            Print("Starting firmware\r\n");
            Restart(false);
        } else if (word == "boot") {
            Print("Boot loader running\r\n");
            Prompt();
        } else {
            Print("Unknown command '" + word + "'\r\n");
            Prompt();
        }
    } else if (word == "NFDIR") {
        CmdDir(arg);
    } else if (word == "NFTYPE") {
        CmdType(arg);
    } else if (word == "NFWRITE") {
        CmdWrite(arg);
    } else if (word == "NFDEL" || word == "NFMKDIR" || word == "NFWIPEDIR") {
        CmdSimple(word, arg);
    } else if (word == "NFRENAME") {
        CmdRename(arg);
    } else if (word == "boot") {
        Print("Rebooting...\r\n");
        Restart(true);
    } else if (word == "ver") {
        Print("Kovrin firmware 2.4.1 (build 1187)\r\n");
        Prompt();
    } else if (word == "help") {
        Print("Commands: NFDIR NFTYPE NFWRITE NFDEL NFMKDIR NFRENAME NFWIPEDIR boot ver help\r\n");
        Prompt();
    } else {
        Print("Unknown command '" + word + "'\r\n");
        Prompt();
    }
}

void SimDevice::Result(int result) {
    Print(std::to_string(result) + ":" + ResultText(result) + "\r\n");
    Prompt();
}

// ---- paths ----

std::string SimDevice::Unquote(const std::string& arg, bool& quoted) const {
    const std::string t = Trim(arg);
    quoted = !t.empty() && t[0] == '"';
    if (!quoted) return t;
    const size_t end = t.find('"', 1);
    return t.substr(1, end == std::string::npos ? std::string::npos : end - 1);
}

bool SimDevice::List(const SimPath& dir, std::vector<SimEntry>& entries) {
    if (!storage_->List(dir, entries)) return false;
    for (const auto& extra : faults.extraFiles) {
        const size_t slash = extra.rfind('/');
        if (slash == std::string::npos || SplitPath(extra.substr(0, slash)) != dir) continue;
        SimEntry entry;
        entry.name = extra.substr(slash + 1);
        entry.size = static_cast<uint32_t>(entry.name.size());
        entries.push_back(entry);
    }
    return true;
}

bool SimDevice::IsExtraFile(const SimPath& path) const {
    for (const auto& extra : faults.extraFiles) {
        const size_t slash = extra.rfind('/');
        if (slash != std::string::npos && !path.empty() && path.back() == extra.substr(slash + 1) &&
            SplitPath(extra.substr(0, slash)) == SimPath(path.begin(), path.end() - 1))
            return true;
    }
    return false;
}

bool SimDevice::Resolve(const std::string& arg, SimPath& path, bool mustExist) {
    bool quoted = false;
    const SimPath parts = SplitPath(Unquote(arg, quoted));
    path.clear();
    std::vector<SimEntry> entries;
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        if (!List(path, entries)) return false;
        const SimEntry* found = nullptr;
        for (const auto& e : entries)
            if (e.name == parts[i]) found = &e;
        // Without quotes the host wrote spaces as "_": match names the same way.
        if (!found && !quoted) {
            for (const auto& e : entries) {
                std::string folded = e.name;
                std::replace(folded.begin(), folded.end(), ' ', '_');
                if (folded == parts[i]) {
                    found = &e;
                    break;
                }
            }
        }
        if (!found && (mustExist || !last)) return false;
        path.push_back(found ? found->name : parts[i]);
    }
    return true;
}

// ---- commands ----

void SimDevice::CmdDir(const std::string& arg) {
    const std::string where = !arg.empty() && arg[0] == '@' ? arg.substr(1) : arg;
    SimPath dir;
    std::vector<SimEntry> entries;
    if (!Resolve(where, dir, true) || !List(dir, entries)) {
        Result(kPathNotFound);
        return;
    }
    std::string text = "Directory of " + (dir.empty() ? std::string("/") : Join(dir)) + "\r\n";
    auto line = [&](const SimEntry& e) {
        text += e.name + "\t" + std::to_string(e.size) + "\t" + std::to_string(e.attr) + "\t" +
                std::to_string(e.created) + "\t" + std::to_string(e.modified) + "\t" +
                std::to_string(e.accessed) + "\r\n";
    };
    if (!dir.empty()) {
        SimEntry self;
        storage_->Stat(dir, self);
        self.attr = kAttrDirectory;
        self.size = 0;
        self.name = ".";
        line(self);
        self.name = "..";
        line(self);
    }
    int files = 0, dirs = 0;
    uint64_t bytes = 0;
    for (const auto& e : entries) {
        line(e);
        if (e.IsDir()) {
            ++dirs;
        } else {
            ++files;
            bytes += e.size;
        }
    }
    for (const auto& extra : faults.extraListingLines)
        text += extra + "\r\n";
    text += "\r\n" + std::to_string(files) + " File(s) " + std::to_string(bytes) + " bytes\r\n" +
            std::to_string(dirs) + " Dir(s)\r\n";
    Print(text);
    Prompt();
}

void SimDevice::CmdType(const std::string& arg) {
    const std::string where = !arg.empty() && arg[0] == '@' ? arg.substr(1) : arg;
    SimPath path;
    std::string content;
    if (!Resolve(where, path, true)) {
        Result(kFileNotFound);
        return;
    }
    if (IsExtraFile(path)) {
        content = path.back();
    } else if (!storage_->ReadFile(path, content)) {
        Result(kFileNotFound);
        return;
    }
    if (++downloads >= faults.corruptDownloadsFrom && faults.corruptDownloadsFrom > 0 &&
        !content.empty())
        content[content.size() / 2] = static_cast<char>(~content[content.size() / 2]);
    const int64_t announced =
        faults.announceLength >= 0 ? faults.announceLength : static_cast<int64_t>(content.size());
    Print((path.empty() ? std::string() : path.back()) + "\t" + std::to_string(announced) + "\r\n");
    if (faults.downloadStallAfter >= 0 &&
        faults.downloadStallAfter < static_cast<int64_t>(content.size())) {
        Print(content.substr(0, faults.downloadStallAfter));
        return; // the device hangs: no more content, no prompt
    }
    Print(content);
    if (announced != static_cast<int64_t>(content.size())) return;
    Print("\r\n");
    Prompt();
}

void SimDevice::CmdWrite(const std::string& arg) {
    // path TAB length TAB w
    const size_t tab1 = arg.find('\t');
    const size_t tab2 = tab1 == std::string::npos ? tab1 : arg.find('\t', tab1 + 1);
    int64_t length = 0;
    if (tab2 == std::string::npos || !ParseLength(arg.substr(tab1 + 1, tab2 - tab1 - 1), length) ||
        arg.substr(tab2 + 1) != "w") {
        Print("Usage: NFWRITE path<TAB>length<TAB>w\r\n");
        Prompt();
        return;
    }
    SimPath path;
    if (!Resolve(arg.substr(0, tab1), path, false) || path.empty()) {
        Result(kPathNotFound);
        return;
    }
    SimEntry existing;
    if (storage_->Stat(path, existing) && existing.IsDir()) {
        Result(kAccessDenied);
        return;
    }
    Print("Send file\r\n");
    receivePath_ = path;
    receiveIsImage_ = false;
    receiveLength_ = length;
    receiveBuffer_.clear();
    mode_ = Mode::Receive;
    if (length == 0) ReceiveDone();
}

void SimDevice::CmdLoad(const std::string& arg) {
    const size_t space = arg.find(' ');
    int64_t length = 0;
    if (space == std::string::npos || !ParseLength(arg.substr(0, space), length)) {
        Print("Usage: LOAD length name\r\n");
        Prompt();
        return;
    }
    Print("Send file\r\n");
    receiveName_ = arg.substr(space + 1);
    receiveIsImage_ = true;
    receiveLength_ = length;
    receiveBuffer_.clear();
    mode_ = Mode::Receive;
    if (length == 0) ReceiveDone();
}

void SimDevice::ReceiveDone() {
    mode_ = Mode::Command;
    if (receiveIsImage_) {
        images.push_back({receiveName_, std::move(receiveBuffer_)});
        receiveBuffer_.clear();
        Print("\r\nReceived " + std::to_string(receiveLength_) + " bytes\r\n");
        Prompt();
        const int64_t load = now_ + int64_t(config.loadMs) * 1000;
        const int64_t verify = load + int64_t(config.verifyMs) * 1000;
        const int64_t burn = verify + int64_t(config.burnMs) * 1000;
        Schedule(load, [this] {
            Print("Load OK\r\n");
            Prompt();
        });
        Schedule(verify, [this] {
            Print("Verify OK\r\n");
            Prompt();
        });
        Schedule(burn, [this] {
            Print("Burn OK\r\n");
            Prompt();
        });
        return;
    }
    const int result = faults.forceResult
                           ? faults.forceResult
                           : storage_->WriteFile(receivePath_, receiveBuffer_, config.stamp);
    receiveBuffer_.clear();
    Result(result);
}

void SimDevice::CmdSimple(const std::string& word, const std::string& arg) {
    SimPath path;
    const bool make = word == "NFMKDIR";
    if (!Resolve(arg, path, !make) || path.empty()) {
        Result(make ? kPathNotFound : kFileNotFound);
        return;
    }
    if (faults.forceResult) {
        Result(faults.forceResult);
    } else if (make) {
        Result(storage_->MakeDir(path, config.stamp));
    } else if (word == "NFDEL") {
        Result(storage_->DeleteFile(path));
    } else {
        Result(storage_->WipeDir(path));
    }
}

void SimDevice::CmdRename(const std::string& arg) {
    std::string first, second;
    const std::string t = Trim(arg);
    if (!t.empty() && t[0] == '"') {
        const size_t end = t.find('"', 1);
        first = t.substr(0, end == std::string::npos ? end : end + 1);
        second = end == std::string::npos ? "" : Trim(t.substr(end + 1));
    } else {
        const size_t space = t.find(' ');
        first = t.substr(0, space);
        second = space == std::string::npos ? "" : Trim(t.substr(space + 1));
    }
    bool quoted = false;
    const std::string newName = Unquote(second, quoted);
    SimPath path;
    if (!Resolve(first, path, true) || path.empty()) {
        Result(kFileNotFound);
        return;
    }
    Result(faults.forceResult ? faults.forceResult : storage_->Rename(path, newName));
}

// ---- faults named in text ----

bool ParseFaults(const std::string& text, SimFaults& faults) {
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find(';', from);
        if (end == std::string::npos) end = text.size();
        const std::string item = text.substr(from, end - from);
        from = end + 1;
        const size_t eq = item.find('=');
        if (eq == std::string::npos) return false;
        const std::string name = item.substr(0, eq), value = item.substr(eq + 1);
        if (name == "listing-line" || name == "extra-file") {
            std::string line;
            for (size_t i = 0; i < value.size(); ++i) {
                const auto hex = [&](size_t at) {
                    return at < value.size() &&
                           std::isxdigit(static_cast<unsigned char>(value[at]));
                };
                if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == 't') {
                    line += '\t';
                    ++i;
                } else if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == 'x' &&
                           hex(i + 2) && hex(i + 3)) {
                    line += static_cast<char>(std::stoi(value.substr(i + 2, 2), nullptr, 16));
                    i += 3;
                } else {
                    line += value[i];
                }
            }
            (name == "extra-file" ? faults.extraFiles : faults.extraListingLines).push_back(line);
            continue;
        }
        char* rest = nullptr;
        const long long number = std::strtoll(value.c_str(), &rest, 10);
        if (value.empty() || *rest) return false;
        if (name == "download-stall-after")
            faults.downloadStallAfter = number;
        else if (name == "upload-abort-after")
            faults.uploadAbortAfter = number;
        else if (name == "refuse-open")
            faults.refuseOpen = number != 0;
        else if (name == "corrupt-downloads-from")
            faults.corruptDownloadsFrom = static_cast<int>(number);
        else
            return false;
    }
    return true;
}

// ---- platform ----

std::vector<std::string> SimPlatform::Enumerate(int vendorId, int productId, int usagePage,
                                                int usage) {
    if (!device_.Present()) return {};
    HidInterfaceInfo info{path_, kVendorId, kProductId, kUsagePage, 1, 1, 1};
    if (!InterfaceMatches(info, vendorId, productId, usagePage, usage)) return {};
    return {path_};
}

bool SimPlatform::Live(HidHandle handle) {
    return device_.Present() && handle == device_.Generation();
}

HidHandle SimPlatform::Open(const std::string& path) {
    if (path != path_ || !device_.Present() || device_.faults.refuseOpen) return kInvalidHandle;
    return device_.Generation();
}

void SimPlatform::Close(HidHandle) {}

int SimPlatform::Read(HidHandle handle, uint8_t* buffer, int capacity, int timeoutMs) {
    if (!Live(handle)) return -1;
    uint8_t report[kReportSize];
    const int n = device_.HostRead(report, timeoutMs);
    if (n <= 0) return n;
    if (handle != device_.Generation()) return -1;
    uint8_t full[kReportSize + 1];
    full[0] = 0;
    std::memcpy(full + 1, report, kReportSize);
    const int copy = std::min(capacity, kReportSize + 1);
    std::memcpy(buffer, full, copy);
    return copy;
}

int SimPlatform::Write(HidHandle handle, const uint8_t* data, int size, int timeoutMs) {
    if (!Live(handle) || size < 1) return -1;
    uint8_t report[kReportSize] = {};
    std::memcpy(report, data + 1, std::min(size - 1, kReportSize));
    const int n = device_.HostWrite(report, timeoutMs);
    return n <= 0 ? n : size;
}

bool SimPlatform::QueryUsage(HidHandle handle, int& usagePage, int& usage) {
    if (!Live(handle)) return false;
    usagePage = kUsagePage;
    usage = 1;
    return true;
}

bool SimPlatform::GetString(HidHandle handle, HidString which, int index, std::u16string& text) {
    if (!Live(handle)) return false;
    return device_.String(which, index, text);
}

// ---- several devices ----

void SimBus::Attach(SimDevice& device, const std::string& path) {
    devices_.push_back(std::make_unique<SimPlatform>(device, path));
    paths_.push_back(path);
}

std::vector<std::string> SimBus::Enumerate(int vendorId, int productId, int usagePage, int usage) {
    std::vector<std::string> all;
    for (auto& device : devices_)
        for (auto& path : device->Enumerate(vendorId, productId, usagePage, usage))
            all.push_back(path);
    return all;
}

HidHandle SimBus::Open(const std::string& path) {
    for (size_t i = 0; i < devices_.size(); ++i) {
        if (paths_[i] != path) continue;
        const HidHandle inner = devices_[i]->Open(path);
        if (inner == kInvalidHandle) return kInvalidHandle;
        return static_cast<HidHandle>(i + 1) << kShift | inner;
    }
    return kInvalidHandle;
}

IHidPlatform* SimBus::Of(HidHandle handle, HidHandle& inner) {
    const auto index = static_cast<size_t>(handle >> kShift);
    inner = handle & ((HidHandle(1) << kShift) - 1);
    return index >= 1 && index <= devices_.size() ? devices_[index - 1].get() : nullptr;
}

void SimBus::Close(HidHandle handle) {
    HidHandle inner;
    if (auto* device = Of(handle, inner)) device->Close(inner);
}

int SimBus::Read(HidHandle handle, uint8_t* buffer, int capacity, int timeoutMs) {
    HidHandle inner;
    auto* device = Of(handle, inner);
    return device ? device->Read(inner, buffer, capacity, timeoutMs) : -1;
}

int SimBus::Write(HidHandle handle, const uint8_t* data, int size, int timeoutMs) {
    HidHandle inner;
    auto* device = Of(handle, inner);
    return device ? device->Write(inner, data, size, timeoutMs) : -1;
}

bool SimBus::QueryUsage(HidHandle handle, int& usagePage, int& usage) {
    HidHandle inner;
    auto* device = Of(handle, inner);
    return device && device->QueryUsage(inner, usagePage, usage);
}

bool SimBus::GetString(HidHandle handle, HidString which, int index, std::u16string& text) {
    HidHandle inner;
    auto* device = Of(handle, inner);
    return device && device->GetString(inner, which, index, text);
}

// ---- demo ----

std::unique_ptr<MemoryStorage> DemoStorage() {
    auto fs = std::make_unique<MemoryStorage>();
    const uint32_t t1 = PackFatTime(2026, 11, 20, 9, 14, 32);
    const uint32_t t2 = PackFatTime(2026, 12, 1, 17, 3, 8);
    fs->AddDir("/Lua", t1);
    fs->AddDir("/Config", t1);
    fs->AddFile("/Lua/main.lua",
                "-- Started by the device at power-up\r\n"
                "local util = require(\"lib.util\")\r\n\r\n"
                "function tick()\r\n  util.blink(1)\r\nend\r\n",
                t2);
    fs->AddFile("/Lua/lib/util.lua",
                "local M = {}\r\nfunction M.blink(n)\r\n  for i = 1, n do led(1) sleep(100) "
                "led(0) end\r\nend\r\nreturn M\r\n",
                t1);
    fs->AddFile("/Lua/lib/json.lua", "-- small JSON encoder\r\nreturn {}\r\n", t1);
    fs->AddFile("/Lua/report.lua", "print(\"report\")\r\n", t2);
    fs->AddFile("/Config/config.txt",
                "# Kovrin configuration\r\nname=demo\r\ninterval=60\r\nserver=example.net\r\n", t2);
    fs->AddFile("/Config/network/apn.txt", "apn=internet\r\n", t1);
    fs->AddFile("/Data/logs/2026-11-30.log", std::string(2000, 'L'), t1);
    fs->AddFile("/Data/logs/2026-12-01.log", std::string(3500, 'M'), t2);
    fs->AddFile("/Data/readings.csv", "time;value\r\n1;20.5\r\n2;20.7\r\n", t2);
    fs->AddFile("/readme.txt", "This is a simulated Kovrin device.\r\n", t1);
    return fs;
}

} // namespace kv::sim
