// kvb for many devices: one child kvb per device, their output read line by line, a live line
// per device on a terminal and serial-prefixed lines otherwise, the summary and the report.
#include "Many.h"

#include "ChildProcess.h"
#include "device/Clock.h"
#include "device/DeviceText.h"
#include "device/RawHid.h"
#include "workflows/PcFiles.h"
#include "workflows/Sha256.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace kvb {

namespace {

using Steady = std::chrono::steady_clock;
using json = nlohmann::json;

// A device that goes away within this long after its flash ended, and comes back within this long
// after that, is restarting into its new firmware: the same attachment, not a new device.
constexpr int64_t kRestartMs = 20000;
constexpr int kScanMs = 250; // --each-new looks for new devices this often

// Text from a device (its serial number) for the screen: no control characters.
std::string Printable(const std::string& eightBit) {
    std::string text = kv::Latin1ToUtf8(eightBit);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
    return text;
}

// At most width characters (not bytes) of UTF-8 text.
std::string Cut(const std::string& text, size_t width) {
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && chars++ == width)
            return text.substr(0, i);
    return text;
}

std::string Trimmed(const std::string& text) {
    const size_t from = text.find_first_not_of(" \t");
    const size_t to = text.find_last_not_of(" \t");
    return from == std::string::npos ? std::string() : text.substr(from, to - from + 1);
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (const std::tm* t = std::gmtime(&now)) utc = *t;
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// Output of the children as it arrives: chunks of a stream, an empty one at its end.
struct Event {
    size_t worker;
    int stream;
    std::string bytes;
};

class Inbox {
  public:
    void Push(Event e) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(std::move(e));
        }
        ready_.notify_one();
    }
    bool Pop(Event& e, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return !events_.empty(); }))
            return false;
        e = std::move(events_.front());
        events_.pop_front();
        return true;
    }

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Event> events_;
};

// One device's run: its child, what it said, how far it got.
struct Worker {
    std::string id;    // what the child gets as --device: the serial number, or the path
    std::string shown; // the id for the screen
    std::unique_ptr<ChildProcess> child;
    std::thread readers[2];
    int openStreams = 2;
    std::string partial[3]; // per stream: bytes of a line not ended yet
    std::string step;       // its last message
    std::string reason;     // its last error ("kvb: ...")
    int64_t position = 0, total = 0, rateFrom = 0;
    Steady::time_point start, end, transferStart;
    double rate = 0; // bytes per second of the transfer under way
    int status = -1;
    bool running = true;
    int64_t startUs = -1, clockUs = -1; // where its virtual time started and ended
    double Seconds() const {
        if (!running && startUs >= 0 && clockUs >= startUs) return (clockUs - startUs) / 1e6;
        return std::chrono::duration<double>((running ? Steady::now() : end) - start).count();
    }
};

// What --each-new knows of a serial number.
struct Track {
    bool present = false, running = false, done = false;
    bool restartExpected = false, inRestart = false;
    int64_t finishedAt = 0, restartBy = 0;
};

class Runner {
  public:
    Runner(const GlobalOptions& global, const ManyOptions& options)
        : global_(global), options_(options), live_(!global.quiet && LiveOutput()) {
        SetEnvironment("KVB_WORKER", "1");
        // The password reaches the children in their environment, not in their command lines.
        if (!global.password.empty()) SetEnvironment("KVB_PASSWORD", global.password);
        const char* v = std::getenv("KVB_VIRTUAL_TIME");
        virtualTime_ = global.simulate && v && *v == '1';
        for (const auto& image : options.firmware) {
            const std::filesystem::path path(std::u8string(image.begin(), image.end()));
            firmware_.push_back({{"file", kv::ShownPath(path.filename())},
                                 {"sha256", kv::Sha256Hex(kv::ReadPcFile(path))}});
        }
        started_ = UtcNow();
    }

    // Left early (an error of this process): the children's output is read to its end.
    ~Runner() {
        for (auto& w : workers_)
            for (auto& reader : w->readers)
                if (reader.joinable()) reader.join();
    }
    int All();
    int EachNew();

  private:
    // The devices attached now: (path, 8-bit serial number); those that cannot be opened apart.
    std::vector<std::pair<std::string, std::string>> Attached(std::vector<std::string>& unopened);
    void Start(const std::string& id);
    void Pump(int timeoutMs);
    void Handle(Event& e);
    void Line(Worker& w, int stream, std::string line);
    void Record(Worker& w, const std::string& record);
    void Finished(Worker& w);
    void Above(FILE* out, const std::string& text);
    void Draw(bool now);
    void Clear();
    std::string Board(const Worker& w) const;
    std::string Tally() const;
    void Summary();
    void WriteReport();
    int Status() const;
    int Running() const {
        int n = 0;
        for (const auto& w : workers_)
            n += w->running;
        return n;
    }

    const GlobalOptions& global_;
    const ManyOptions& options_;
    bool live_;
    bool virtualTime_ = false;
    Inbox inbox_;
    std::deque<std::unique_ptr<Worker>> workers_;
    std::map<std::string, std::string> serials_; // path -> serial, of the last enumeration
    std::map<std::string, Track> tracks_;
    std::set<std::string> told_; // paths already said to be unusable
    json firmware_ = json::array();
    std::string started_;
    int drawn_ = 0;                  // lines of the live board on the screen
    std::vector<std::string> board_; // and what they say
    Steady::time_point drawnAt_;
    int done_ = 0, failed_ = 0;
};

std::vector<std::pair<std::string, std::string>>
Runner::Attached(std::vector<std::string>& unopened) {
    std::vector<std::string> paths;
    kv::TRawHid::FindDevices(paths, kv::kVendorId, kv::kProductId, kv::kUsagePage, -1);
    std::map<std::string, std::string> serials;
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& path : paths) {
        // A device is opened for its serial number once per attachment, not at every look.
        auto known = serials_.find(path);
        if (known == serials_.end()) {
            kv::TRawHid device;
            if (!device.Open(path)) {
                unopened.push_back(path);
                continue;
            }
            known = serials_.emplace(path, kv::HidTo8Bit(device.GetSerialNumber())).first;
        }
        serials[path] = known->second;
        found.emplace_back(path, known->second);
    }
    serials_ = std::move(serials);
    return found;
}

void Runner::Start(const std::string& id) {
    auto w = std::make_unique<Worker>();
    w->id = id;
    w->shown = Printable(id);
    w->start = Steady::now();
    // Each child goes on from this process's virtual time: one timeline for all devices.
    if (virtualTime_) {
        w->startUs = kv::Clock().NowUs();
        SetEnvironment("KVB_VIRTUAL_START_US", std::to_string(w->startUs));
    }
    std::vector<std::string> args{options_.program, "--device=" + id};
    args.insert(args.end(), options_.args.begin(), options_.args.end());
    const size_t index = workers_.size();
    try {
        w->child = std::make_unique<ChildProcess>(options_.program, args);
    } catch (const Failure& f) {
        w->running = false;
        w->openStreams = 0;
        w->status = f.Status;
        w->reason = f.what();
        w->end = Steady::now();
        workers_.push_back(std::move(w));
        Finished(*workers_.back());
        return;
    }
    for (int stream = 1; stream <= 2; ++stream)
        w->readers[stream - 1] = std::thread([this, index, stream, child = w->child.get()] {
            char buffer[4096];
            for (;;) {
                const int n = child->Read(stream, buffer, sizeof buffer);
                inbox_.Push({index, stream, std::string(buffer, static_cast<size_t>(n))});
                if (n <= 0) return;
            }
        });
    if (!global_.quiet && !live_) std::fprintf(stderr, "%s: started\n", w->shown.c_str());
    workers_.push_back(std::move(w));
    Draw(true);
}

void Runner::Pump(int timeoutMs) {
    Event e;
    if (inbox_.Pop(e, timeoutMs)) {
        Handle(e);
        while (inbox_.Pop(e, 0))
            Handle(e);
    }
    Draw(false);
}

void Runner::Handle(Event& e) {
    Worker& w = *workers_[e.worker];
    std::string& buffer = w.partial[e.stream];
    if (e.bytes.empty()) {
        if (!buffer.empty()) Line(w, e.stream, std::exchange(buffer, {}));
        if (--w.openStreams == 0) Finished(w);
        return;
    }
    buffer += e.bytes;
    for (size_t end; (end = buffer.find('\n')) != std::string::npos;) {
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        // A record may follow a message not ended yet: that stays for the line's end.
        const size_t mark = e.stream == 2 ? line.find(kRecordMark) : std::string::npos;
        if (mark != std::string::npos) {
            Record(w, line.substr(mark + 1));
            buffer.insert(0, line.substr(0, mark));
            continue;
        }
        Line(w, e.stream, std::move(line));
    }
    // A message still being written ("Rebooting....") is the step under way.
    if (e.stream == 2 && !Trimmed(buffer).empty() && buffer.find(kRecordMark) == std::string::npos)
        w.step = Trimmed(buffer);
}

void Runner::Line(Worker& w, int stream, std::string line) {
    std::erase(line, '\r');
    if (stream == 1) {
        Above(stdout, w.shown + ": " + line);
        return;
    }
    if (Trimmed(line).empty()) return;
    const bool error = line.rfind("kvb: ", 0) == 0;
    if (error && w.reason.empty()) w.reason = line.substr(5); // the first says most
    w.step = Trimmed(line);
    if (!live_ || error) Above(stderr, w.shown + ": " + line);
}

void Runner::Record(Worker& w, const std::string& record) {
    long long a = 0, b = 0;
    if (std::sscanf(record.c_str(), "progress %lld %lld", &a, &b) == 2) {
        const auto now = Steady::now();
        if (a < w.position || b != w.total) { // a new transfer
            w.transferStart = now;
            w.rateFrom = a;
            w.rate = 0;
        }
        w.position = a;
        w.total = b;
        const double seconds = std::chrono::duration<double>(now - w.transferStart).count();
        if (seconds > 0.2) w.rate = (a - w.rateFrom) / seconds;
    } else if (std::sscanf(record.c_str(), "clock %lld", &a) == 1) {
        w.clockUs = a;
    }
}

void Runner::Finished(Worker& w) {
    for (auto& reader : w.readers)
        if (reader.joinable()) reader.join();
    if (w.child) w.status = w.child->Wait();
    w.child.reset();
    w.running = false;
    w.end = Steady::now();
    if (virtualTime_ && w.clockUs > kv::Clock().NowUs()) kv::Clock().SleepUntilUs(w.clockUs);
    if (w.status == 0) {
        ++done_;
        w.reason.clear();
    } else {
        ++failed_;
        if (w.reason.empty())
            w.reason = w.status == kInterrupted ? "interrupted"
                                                : "ended with status " + std::to_string(w.status);
    }
    if (auto t = tracks_.find(w.id); t != tracks_.end()) {
        Track& track = t->second;
        track.running = false;
        track.done = track.done || w.status == 0;
        track.finishedAt = kv::Clock().NowMs();
        // After a flash the device restarts into its firmware; it may be gone already. One that
        // failed is unplugged to be tried again: its return is a new attachment.
        track.restartExpected = options_.command == "flash" && w.status == 0;
        if (!track.present && track.restartExpected) {
            track.inRestart = true;
            track.restartBy = track.finishedAt + kRestartMs;
            track.restartExpected = false;
        }
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", w.Seconds());
    std::string text = w.status == 0
                           ? "done: " + w.shown + " (" + seconds + ")"
                           : "failed: " + w.shown + " (status " + std::to_string(w.status) + ", " +
                                 seconds + "): " + w.reason;
    if (options_.eachNew) text += (w.status == 0 ? " - unplug it  [" : "  [") + Tally() + "]";
    if (!global_.quiet || w.status != 0) Above(stderr, text);
    if (!options_.report.empty()) WriteReport();
}

std::string Runner::Tally() const {
    return std::to_string(done_) + " done, " + std::to_string(failed_) + " failed";
}

// ---- the screen ----

void Runner::Above(FILE* out, const std::string& text) {
    Clear();
    std::fprintf(out, "%s\n", text.c_str());
    std::fflush(out);
    Draw(true);
}

void Runner::Clear() {
    if (drawn_ == 0) return;
    std::fprintf(stderr, "\x1b[%dA\x1b[J", drawn_);
    drawn_ = 0;
}

std::string Runner::Board(const Worker& w) const {
    char text[256];
    if (!w.running) {
        std::snprintf(text, sizeof text, "%-15s %s (%.1f s)", w.shown.c_str(),
                      w.status == 0 ? "done" : ("FAILED: " + w.reason).c_str(), w.Seconds());
    } else if (w.total > 0 && w.position < w.total) {
        const int width = 20;
        const int filled = static_cast<int>(width * w.position / w.total);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.resize(width, '.');
        std::snprintf(text, sizeof text, "%-15s %-22s [%s] %3d%% %6.1f kB/s", w.shown.c_str(),
                      Cut(w.step, 22).c_str(), bar.c_str(),
                      static_cast<int>(100 * w.position / w.total), w.rate / 1000);
    } else {
        std::snprintf(text, sizeof text, "%-15s %s", w.shown.c_str(), w.step.c_str());
    }
    return Cut(text, 79);
}

void Runner::Draw(bool now) {
    if (!live_) return;
    if (!now && Steady::now() - drawnAt_ < std::chrono::milliseconds(100)) return;
    drawnAt_ = Steady::now();
    std::vector<std::string> lines;
    for (const auto& w : workers_)
        // --each-new keeps the devices at work; finished ones have had their line above.
        if (!options_.eachNew || w->running) lines.push_back(Board(*w));
    if (drawn_ > 0 && lines == board_) return; // nothing new to show
    Clear();
    for (const auto& line : lines)
        std::fprintf(stderr, "\x1b[2K%s\n", line.c_str());
    drawn_ = static_cast<int>(lines.size());
    board_ = std::move(lines);
    std::fflush(stderr);
}

void Runner::Summary() {
    Clear();
    if (global_.quiet || workers_.empty()) return;
    size_t width = 13;
    for (const auto& w : workers_)
        width = std::max(width, w->shown.size());
    std::fprintf(stderr, "\n%-*s  %-6s  %7s  %s\n", static_cast<int>(width), "SERIAL", "RESULT",
                 "SECONDS", "REASON");
    for (const auto& w : workers_)
        std::fprintf(stderr, "%-*s  %-6s  %7.1f  %s\n", static_cast<int>(width), w->shown.c_str(),
                     w->status == 0              ? "done"
                     : w->status == kInterrupted ? "STOPPED"
                                                 : "FAILED",
                     w->Seconds(), w->reason.c_str());
    std::fprintf(stderr, "%zu device(s): %s\n", workers_.size(), Tally().c_str());
}

// ---- the report ----

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

void Runner::WriteReport() {
    const std::string lower = kv::AsciiLower(options_.report);
    const bool csv = lower.size() >= 4 && lower.compare(lower.size() - 4, 4, ".csv") == 0;
    std::string files, sums, text;
    for (const auto& f : firmware_) {
        files += (files.empty() ? "" : " ") + f["file"].get<std::string>();
        sums += (sums.empty() ? "" : " ") + f["sha256"].get<std::string>();
    }
    const auto result = [](const Worker& w) {
        return w.status == 0 ? "done" : w.status == kInterrupted ? "interrupted" : "failed";
    };
    if (csv) {
        text = "serial,result,status,seconds,reason,command,firmware,sha256\r\n";
        for (const auto& w : workers_) {
            if (w->running) continue;
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f", w->Seconds());
            text += CsvField(kv::Latin1ToUtf8(w->id)) + "," + result(*w) + "," +
                    std::to_string(w->status) + "," + seconds + "," + CsvField(w->reason) + "," +
                    CsvField(options_.command) + "," + CsvField(files) + "," + sums + "\r\n";
        }
    } else {
        json devices = json::array();
        for (const auto& w : workers_)
            if (!w->running)
                devices.push_back({{"serial", kv::Latin1ToUtf8(w->id)},
                                   {"result", result(*w)},
                                   {"status", w->status},
                                   {"seconds", std::round(w->Seconds() * 10) / 10},
                                   {"reason", w->reason}});
        std::string line;
        for (const auto& a : options_.args)
            line += (line.empty() ? "" : " ") + a;
        const json report{{"command", options_.command},
                          {"arguments", line},
                          {"started", started_},
                          {"written", UtcNow()},
                          {"firmware", firmware_},
                          {"devices", devices},
                          {"done", done_},
                          {"failed", failed_}};
        text = report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    }
    // Written whole each time a device ends: the file always holds every device so far.
    const std::filesystem::path path(std::u8string(options_.report.begin(), options_.report.end()));
    try {
        kv::WritePcFile(path, text, std::nullopt);
    } catch (const std::exception& e) {
        Above(stderr, std::string("kvb: the report cannot be written: ") + e.what());
    }
}

int Runner::Status() const {
    int status = kOk;
    for (const auto& w : workers_) {
        if (w->status == 0) continue;
        if (status == kOk)
            status = w->status;
        else if (status != w->status)
            return kDeviceError;
    }
    return status;
}

// ---- --all and the --device set ----

int Runner::All() {
    std::vector<std::string> ids = options_.devices;
    if (ids.empty()) {
        const int64_t deadline =
            kv::Clock().NowMs() + static_cast<int64_t>(global_.waitSeconds * 1000);
        std::vector<std::pair<std::string, std::string>> attached;
        std::vector<std::string> unopened;
        for (;;) {
            unopened.clear();
            attached = Attached(unopened);
            if (!attached.empty() || !unopened.empty() || kv::Clock().NowMs() >= deadline) break;
            kv::Clock().SleepMs(kScanMs);
        }
        for (const auto& path : unopened)
            std::fprintf(stderr,
                         "kvb: the device %s is attached but cannot be opened: no "
                         "permission (see \"Access to the device on Linux\" in the "
                         "README)\n",
                         Printable(path).c_str());
        if (attached.empty()) {
            if (!unopened.empty()) throw Failure(kNoAccess, "no device can be opened");
            throw Failure(kNoDevice, "no device found");
        }
        // A device is chosen by its serial number; one without, or one whose serial number
        // another device has too, by its path.
        std::map<std::string, int> uses;
        for (const auto& [path, serial] : attached)
            ++uses[serial];
        for (const auto& [path, serial] : attached)
            ids.push_back(serial.empty() || uses[serial] > 1 ? path : serial);
    }
    for (const auto& id : ids)
        Start(id);
    while (Running() > 0)
        Pump(100);
    Summary();
    return Status();
}

// ---- --each-new ----

int Runner::EachNew() {
    const std::set<std::string> only(options_.devices.begin(), options_.devices.end());
    int started = 0;
    if (!global_.quiet) std::fprintf(stderr, "Waiting for devices; Ctrl+C ends.\n");
    for (;;) {
        const bool more =
            Interrupts.load() == 0 && (options_.count == 0 || started < options_.count);
        if (!more && Running() == 0) break;
        if (more) {
            std::vector<std::string> unopened;
            const auto attached = Attached(unopened);
            for (const auto& path : unopened)
                if (told_.insert(path).second)
                    Above(stderr, "kvb: " + Printable(path) + " cannot be opened: no permission");
            const int64_t now = kv::Clock().NowMs();
            std::set<std::string> here;
            for (const auto& [path, serial] : attached) {
                if (serial.empty()) {
                    if (told_.insert(path).second)
                        Above(stderr, "kvb: " + Printable(path) + " has no serial number; skipped");
                    continue;
                }
                if (only.empty() || only.count(serial)) here.insert(serial);
            }
            for (const auto& serial : here) {
                Track& t = tracks_[serial];
                if (t.present) continue;
                t.present = true;
                if (t.running) continue; // its own restart during the work
                if (t.inRestart && now <= t.restartBy) {
                    t.inRestart = false; // back from its restart after the flash
                    continue;
                }
                t.inRestart = false;
                if (t.done && !options_.again) {
                    if (!global_.quiet)
                        Above(stderr, Printable(serial) +
                                          ": already done; skipped (--again does it again)");
                    continue;
                }
                if (options_.count > 0 && started >= options_.count) continue;
                t.running = true;
                ++started;
                Start(serial);
            }
            for (auto& [serial, t] : tracks_) {
                if (!t.present || here.count(serial)) continue;
                t.present = false;
                if (!t.running && t.restartExpected && now - t.finishedAt <= kRestartMs) {
                    t.inRestart = true;
                    t.restartBy = now + kRestartMs;
                }
                t.restartExpected = false;
            }
        }
        if (virtualTime_ && Running() == 0) {
            // Nothing at work: the simulated bus's time moves on to the next look.
            Pump(0);
            kv::Clock().SleepMs(kScanMs);
        } else if (virtualTime_) {
            // On virtual time the bus's time stands still while children work: each child
            // reports where its own time ended (see Finished).
            Pump(100);
        } else {
            const auto until = Steady::now() + std::chrono::milliseconds(kScanMs);
            while (Steady::now() < until)
                Pump(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          until - Steady::now())
                                          .count()) +
                     1);
        }
    }
    Summary();
    return Status();
}

} // namespace

int Many(const GlobalOptions& global, const ManyOptions& options) {
    if (!options.report.empty()) {
        const std::string lower = kv::AsciiLower(options.report);
        const auto endsWith = [&](const char* ext) {
            const size_t n = std::strlen(ext);
            return lower.size() >= n && lower.compare(lower.size() - n, n, ext) == 0;
        };
        if (!endsWith(".json") && !endsWith(".csv"))
            throw Failure(kUsage, "the report is a .json or a .csv file: " + options.report);
    }
    Session backend(global); // the machine's HID access or the simulated devices
    Runner runner(global, options);
    return options.eachNew ? runner.EachNew() : runner.All();
}

} // namespace kvb
