// The simulated device's console: reports in, bytes of typed lines and of content, the lines
// dispatched to the application's or the boot loader's commands.
#include "SimDevice.h"
#include "SimText.h"

#include <algorithm>

namespace kv::sim {

namespace {

constexpr int64_t kSlice = 4096; // the host sends content in slices of this size

} // namespace

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

} // namespace kv::sim
