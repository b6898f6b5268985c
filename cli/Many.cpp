// kvb for many devices: one child kvb per device, their output read line by line, a live line
// per device on a terminal and serial-prefixed lines otherwise, the summary and the report.
// Here: the runner, the devices attached, the end of a device's run, and --all with the
// --device set.
#include "ManyRunner.h"

#include "device/Clock.h"
#include "device/DeviceText.h"
#include "device/RawHid.h"
#include "workflows/PcFiles.h"
#include "workflows/Sha256.h"

#include <cstdlib>
#include <cstring>

namespace kvb {

namespace many {

std::string Printable(const std::string& eightBit) {
    std::string text = kv::Latin1ToUtf8(eightBit);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
    return text;
}

Runner::Runner(const GlobalOptions& global, const ManyOptions& options)
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

Runner::~Runner() {
    for (auto& w : workers_)
        for (auto& reader : w->readers)
            if (reader.joinable()) reader.join();
}

std::vector<std::pair<std::string, std::string>>
Runner::Attached(std::vector<std::string>& unopened) {
    busy_.clear();
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
                // Another program's board is named as busy; the others cannot be opened.
                if (device.OpenFailure == kv::OpenError::Busy)
                    busy_[path] = kv::InUseText(
                        device.OpenSerial.empty() ? path : device.OpenSerial, device.OpenHolder);
                else
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
    TrackFinished(w);
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

int Runner::Status() const {
    int status = busy_.empty() ? kOk : kNoAccess;
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
        for (const auto& [path, inUse] : busy_)
            std::fprintf(stderr, "kvb: busy: %s\n", Printable(inUse).c_str());
        for (const auto& path : unopened)
            std::fprintf(stderr,
                         "kvb: the device %s is attached but cannot be opened: no "
                         "permission (see \"Access to the device on Linux\" in the "
                         "README)\n",
                         Printable(path).c_str());
        if (attached.empty()) {
            if (!unopened.empty() || !busy_.empty())
                throw Failure(kNoAccess, "no device can be opened");
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

} // namespace many

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
    many::Runner runner(global, options);
    return options.eachNew ? runner.EachNew() : runner.All();
}

} // namespace kvb
