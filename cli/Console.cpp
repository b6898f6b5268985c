// The device's identity, its console (one line, or interactive) and its log channel.
#include "Commands.h"

#include "device/Clock.h"
#include "device/DeviceList.h"
#include "device/DeviceText.h"
#include "workflows/ConsoleText.h"
#include "workflows/LogMessages.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace kvb {

namespace {

// Console output for a terminal: the prompt between its marks in red on a colour terminal, the
// marks themselves not shown, 8-bit text as UTF-8. Typed keys are echoed here as the window's
// pane echoes them, for the device does not: bold blue, "*" at a password prompt.
class ConsoleWriter {
  public:
    // LineEnd: what starts a fresh line at the end ("\r\n" on a terminal in raw mode).
    explicit ConsoleWriter(const char* LineEnd) : lineEnd_(LineEnd) {}
    void Write(const std::string& bytes) {
        std::string out;
        for (const auto& run : prompt_.Feed(bytes))
            Show(out, run.Text, run.Prompt ? "\x1b[0;31m" : "\x1b[0m");
        // A prompt that goes on in the next output keeps its colour until then.
        if (colour_ && !prompt_.InPrompt()) out += "\x1b[0m";
        Put(out);
    }
    void Echo(char key) {
        std::string out;
        if (key == '\b') {
            out = "\b \b"; // as in the pane: the character before the cursor goes
        } else {
            Show(out, kv::EchoOfKey(key, prompt_.Password()), "\x1b[0;1;34m");
            if (colour_) out += prompt_.InPrompt() ? "\x1b[0;31m" : "\x1b[0m";
        }
        Put(out);
    }
    // The shell's prompt comes next: on a line of its own, in the terminal's own colours.
    ~ConsoleWriter() {
        std::string out = colour_ ? "\x1b[0m" : "";
        if (!atLineStart_) out += lineEnd_;
        Put(out);
    }

  private:
    void Show(std::string& out, const std::string& text, const char* colour) {
        if (text.empty()) return;
        if (colour_) out += colour;
        out += kv::Latin1ToUtf8(text);
        atLineStart_ = text.back() == '\n';
    }
    static void Put(const std::string& out) {
        if (out.empty()) return;
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
    }
    kv::TConsolePrompt prompt_;
    const char* lineEnd_;
    bool colour_ = RawConsole::ColourOutput();
    bool atLineStart_ = true;
};

// True when the reply says the device does not know the command: a line of it that begins with
// "Unknown command" and names the command's first word, as the device's console answers.
bool UnknownCommand(const std::string& reply, const std::string& line) {
    const size_t from = line.find_first_not_of(" \t");
    if (from == std::string::npos) return false;
    const std::string word = line.substr(from, line.find_first_of(" \t", from) - from);
    size_t start = 0;
    while (start < reply.size()) {
        size_t end = reply.find_first_of("\r\n", start);
        if (end == std::string::npos) end = reply.size();
        const std::string text = reply.substr(start, end - start);
        const size_t at = text.find_first_not_of(" \t");
        if (at != std::string::npos &&
            kv::AsciiLower(text.substr(at)).rfind("unknown command", 0) == 0 &&
            text.find(word, at + 15) != std::string::npos)
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

int Devices(const GlobalOptions& options, bool asJson) {
    Session session(options); // the backend: the machine's or the simulated devices
    nlohmann::json list = nlohmann::json::array();
    int unopened = 0;
    // With --device, that device alone; with --wait, until one is attached or the time is up.
    const auto chosen = [&](const kv::AttachedDevice& device) {
        return options.device.empty() || kv::IsChosen(options.device, device.Path, device.Serial);
    };
    const auto deadline = kv::Clock().NowMs() + static_cast<int64_t>(options.waitSeconds * 1000);
    std::vector<kv::AttachedDevice> attached = kv::AttachedDevices();
    while (std::none_of(attached.begin(), attached.end(), chosen) &&
           kv::Clock().NowMs() < deadline) {
        kv::Clock().SleepMs(250);
        attached = kv::AttachedDevices();
    }
    for (const kv::AttachedDevice& device : attached) {
        if (!chosen(device)) continue;
        nlohmann::json entry{{"path", device.Path}};
        if (device.Failure != kv::OpenError::None) {
            ++unopened;
            const std::string why =
                device.Failure == kv::OpenError::Busy
                    ? "in use by " +
                          (device.Holder.empty() ? std::string("another program") : device.Holder)
                    : "cannot be opened: " + kv::OpenFailureText(device.Failure);
            entry["error"] = why;
            if (!asJson) std::printf("%s\t(%s)\n", device.Path.c_str(), why.c_str());
            list.push_back(entry);
            continue;
        }
        entry["serial"] = kv::Latin1ToUtf8(device.Serial);
        entry["product"] = kv::Latin1ToUtf8(device.Product);
        entry["version"] = kv::Latin1ToUtf8(device.Version);
        entry["build"] = kv::Latin1ToUtf8(device.Build);
        entry["date"] = kv::Latin1ToUtf8(device.Date);
        entry["features"] = kv::Latin1ToUtf8(device.Features);
        if (!asJson)
            std::printf("%s\t%s\t%s\t%s\t%s\t%s\t%s\n", Printable(device.Path).c_str(),
                        PrintableName(device.Serial).c_str(), PrintableName(device.Product).c_str(),
                        PrintableName(device.Version).c_str(), PrintableName(device.Build).c_str(),
                        PrintableName(device.Date).c_str(), PrintableName(device.Features).c_str());
        list.push_back(entry);
    }
    if (asJson) std::printf("%s\n", list.dump(2).c_str());
    if (list.empty()) throw Failure(kNoDevice, "no device found");
    if (unopened) {
        std::fprintf(stderr,
                     "kvb: %d device(s) attached but cannot be opened (without permission: "
                     "install the udev rule, see \"Access to the device on Linux\" in the "
                     "README)\n",
                     unopened);
        return kNoAccess;
    }
    return kOk;
}

int Info(Session& s) {
    std::printf("%s\n", Printable(kv::Latin1ToUtf8(s.Identity()), true).c_str());
    return kOk;
}

int Exec(Session& s, const std::string& line, int timeoutMs) {
    std::string eight;
    if (!kv::Utf8ToLatin1(line, eight)) eight = line;
    s.Terminal.SendLine(eight);
    std::string reply;
    s.Terminal.ReadToPromptStart(timeoutMs, reply);
    ConsoleWriter("\n").Write(reply);
    // What came before the link went down is shown; the command did not end as it should.
    if (!s.Comms.IsConnected()) throw Failure(kNoDevice, "the device is gone");
    if (UnknownCommand(reply, eight))
        throw Failure(kDeviceError,
                      "the device does not know the command: " + kv::Latin1ToUtf8(eight));
    return kOk;
}

int Term(Session& s) {
    RawConsole console;
    ConsoleWriter out(console.Interactive() ? "\r\n" : "\n");
    if (console.Interactive())
        std::fprintf(stderr, "kvb: connected to %s; Ctrl+] leaves\r\n",
                     PrintableName(kv::HidTo8Bit(s.Comms.Device.GetSerialNumber())).c_str());
    // A fresh prompt to start from, as the window's on-connect sequence sends.
    s.Comms.WriteMessage(std::string(1, kv::EscapeKey), kv::kConsoleChannel, 0, 200);
    bool input = true;
    int64_t quietSince = kv::Clock().NowMs();
    for (;;) {
        if (Interrupts.load() > 0) break;
        const std::string output = kv::PollConsole(s.Comms);
        if (!output.empty()) {
            out.Write(output);
            quietSince = kv::Clock().NowMs();
        }
        if (!s.Comms.IsConnected()) throw Failure(kNoDevice, "the device is gone");
        if (!input) {
            // Piped input has ended: what the device still prints is shown, then the console ends.
            if (kv::Clock().NowMs() - quietSince > 1000) break;
            continue;
        }
        std::string keys;
        if (!console.Read(keys, console.Interactive() ? 10 : 0)) {
            input = false;
            quietSince = kv::Clock().NowMs();
            continue;
        }
        std::string send;
        bool leave = false;
        for (char c : keys) {
            if (c == '\x1D') { // Ctrl+]
                leave = true;
                break;
            }
            send += c == '\x7F' ? '\b' : c; // the terminal's Backspace is the pane's
        }
        if (!console.Interactive()) send = kv::ToConsoleLineEnds(send);
        // Each key as the pane sends it: one report per key, echoed once it was sent. Piped
        // input is not echoed: no one types it.
        for (char c : send) {
            if (!s.Comms.WriteMessage(std::string(1, c), kv::kConsoleChannel, 0, 200))
                throw Failure(kNoDevice, "the device is gone");
            if (console.Interactive()) out.Echo(c);
        }
        if (leave) return kOk;
    }
    return kOk;
}

int Log(Session& s, const LogOptions& o) {
    uint64_t mask = kv::kLogInitialMask;
    if (!o.types.empty()) {
        mask = 0;
        for (int type : o.types) {
            if (type < 0 || type > 63) throw Failure(kUsage, "a log type is 0 to 63");
            mask |= uint64_t(1) << type;
        }
    }
    if (o.modem) mask |= kv::kLogModemBits;
    if (!s.Comms.WriteMessage(kv::LogFilterCommand(mask), kv::kLogChannel, 128, 200))
        throw Failure(s.Comms.IsConnected() ? kDeviceError : kNoDevice,
                      "the device did not take the log filter");
    const bool colour = RawConsole::ColourOutput();
    const int64_t end =
        o.seconds > 0 ? kv::Clock().NowMs() + static_cast<int64_t>(o.seconds * 1000) : INT64_MAX;
    while (Interrupts.load() == 0 && kv::Clock().NowMs() < end && s.Comms.IsConnected()) {
        std::string message;
        s.Comms.ReadMessage(kv::kLogChannel, 50, message);
        for (; !message.empty(); s.Comms.ReadMessage(kv::kLogChannel, 0, message)) {
            const auto type = static_cast<uint8_t>(message[0]);
            const std::string text = message.substr(1);
            const auto now = std::chrono::system_clock::now();
            const std::time_t t = std::chrono::system_clock::to_time_t(now);
            std::tm local{};
            if (const std::tm* now = std::localtime(&t)) local = *now;
            const int ms = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch())
                    .count() %
                1000);
            std::printf("%s%02d:%02d:%02d.%03d%s ", colour ? "\x1b[34m" : "", local.tm_hour,
                        local.tm_min, local.tm_sec, ms, colour ? "\x1b[0m" : "");
            if (type == 5 || type == 6) {
                // The modem's data, one message a line: its direction marked, its line ends and
                // other control characters escaped, so that no line overwrites another.
                std::printf("%s%s%s %s\n", colour ? (type == 5 ? "\x1b[34m" : "\x1b[31m") : "",
                            type == 5 ? "modem <" : "modem >", colour ? "\x1b[0m" : "",
                            PrintableName(kv::EscapeLogText(text)).c_str());
                continue;
            }
            std::printf("%s%s%s %s\n", colour ? "\x1b[1;31m" : "", kv::LogTag(type).c_str(),
                        colour ? "\x1b[0m" : "", PrintableName(text).c_str());
        }
        std::fflush(stdout);
    }
    if (!s.Comms.IsConnected()) throw Failure(kNoDevice, "the device is gone");
    s.Comms.WriteMessage(kv::LogFilterOffCommand(), kv::kLogChannel, 64, 200);
    // Ended by Ctrl+C: the status every command gives for it (130), as sync --watch does.
    return Interrupts.load() > 0 ? kInterrupted : kOk;
}

} // namespace kvb
