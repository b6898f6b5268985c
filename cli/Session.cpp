// The session: which device, how it is opened, and how messages and progress are shown.
#include "Kvb.h"

#include "device/Clock.h"
#include "device/DeviceList.h"
#include "device/DeviceText.h"
#include "sim/SimDevice.h"
#include "sim/SimTimeline.h"
#include "workflows/ConsoleText.h"
#include "workflows/PcFiles.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace kvb {

namespace {

// When this program made its first simulated device: the times of a fault timeline count from
// then, as a tester reads them, not from the system's boot where the steady clock starts. A
// virtual clock starts with the program (and its workers share its times) already.
int64_t ProgramStartMs() {
    static const int64_t start =
        dynamic_cast<kv::VirtualClock*>(&kv::Clock()) ? 0 : kv::Clock().NowMs();
    return start;
}

} // namespace

std::atomic<int> Interrupts{0};

// The backend of this run: the machine's own HID access or simulated devices.
struct Session::Backend {
    kv::VirtualClock virtualTime;
    std::vector<std::unique_ptr<kv::sim::SimDevice>> devices;
    kv::sim::SimBus bus;
};

Session::Session(const GlobalOptions& options) : Options(options), backend_(new Backend) {
    kv::IHidPlatform* platform = nullptr;
    if (options.simulate) {
        // Tests run the simulated devices on virtual time (KVB_VIRTUAL_TIME=1): every wait of the
        // link and the device then costs nothing. Never with a real device.
        if (const char* v = std::getenv("KVB_VIRTUAL_TIME"); v && *v == '1') {
            kv::SetClock(&backend_->virtualTime);
            // A run for one device of kvb --all goes on from its parent's time, so that the
            // devices' timelines are one (see Many.cpp).
            if (const char* start = std::getenv("KVB_VIRTUAL_START_US"))
                backend_->virtualTime.SleepUntilUs(std::strtoll(start, nullptr, 10));
        }
        // As the window's --simulate: a demo tree or a folder, two log messages a second. A second
        // --simulate attaches a second device, with the next serial number.
        std::vector<std::string> folders = options.folders;
        if (folders.empty()) folders.push_back("");
        for (size_t i = 0; i < folders.size(); ++i) {
            std::unique_ptr<kv::sim::SimStorage> storage;
            if (folders[i].empty()) {
                storage = kv::sim::DemoStorage();
            } else {
                std::error_code ec;
                if (!std::filesystem::is_directory(folders[i], ec))
                    throw Failure(kUsage, "no such folder: " + folders[i]);
                storage = std::make_unique<kv::sim::FolderStorage>(
                    kv::ShownPath(std::filesystem::absolute(folders[i])));
            }
            kv::sim::SimConfig config;
            config.logRatePerSecond = 2;
            config.serial = kv::sim::NthSerial(config.serial, i);
            auto device =
                std::make_unique<kv::sim::SimDevice>(kv::Clock(), std::move(storage), config);
            device->PrintConsole("Kovrin simulated device\r\n");
            // Faults for the tests of kvb itself: KVB_SIM_FAULTS for every device,
            // KVB_SIM_FAULTS_2 for the second alone, and so on.
            for (const std::string& name :
                 {std::string("KVB_SIM_FAULTS"), "KVB_SIM_FAULTS_" + std::to_string(i + 1)}) {
                const char* faults = std::getenv(name.c_str());
                std::string rest;
                if (faults && (!kv::sim::ApplyTimeline(faults, kv::Clock(), *device, rest,
                                                       ProgramStartMs()) ||
                               !kv::sim::ParseFaults(rest, device->faults)))
                    throw Failure(kUsage, "unknown " + name + ": " + faults);
            }
            backend_->bus.Attach(*device, kv::sim::NthPath(i));
            backend_->devices.push_back(std::move(device));
        }
        platform = &backend_->bus;
    }
    if (platform) kv::SetHidPlatform(platform);
    // Only the device chosen with --device is opened, also when the link finds it again after a
    // restart into the boot loader.
    Comms.Chosen = options.device;
    Files.OnProgress = [this](kv::TkvbFiles*, int32_t position, int32_t total) {
        Progress(position, total);
    };
    Files.OnDone = [this](kv::TkvbFiles*) { ProgressEnd(); };
}

Session::~Session() {
    // The time this run ended at, for a parent on virtual time (see KVB_VIRTUAL_START_US).
    if (WorkerMode() && &kv::Clock() == &backend_->virtualTime)
        WorkerRecord("clock " + std::to_string(kv::Clock().NowUs()));
    // For the tests of kvb: every report each simulated device that was written to received,
    // in a file of its own ("{serial}" in the name is its serial number).
    if (const char* wire = std::getenv("KVB_SIM_WIRE"))
        for (const auto& device : backend_->devices) {
            if (device->received.empty()) continue;
            std::string name = wire;
            if (const size_t at = name.find("{serial}"); at != std::string::npos)
                name.replace(at, 8, kv::HidTo8Bit(device->config.serial));
            if (FILE* out = std::fopen(name.c_str(), "wb")) {
                for (const auto& report : device->received)
                    std::fwrite(report.data(), 1, report.size(), out);
                std::fclose(out);
            }
        }
    // For the tests of kvb: the command lines the simulated device received, one per line.
    if (const char* trace = std::getenv("KVB_SIM_TRACE"); trace && !backend_->devices.empty()) {
        if (FILE* out = std::fopen(trace, "wb")) {
            for (const auto& line : backend_->devices[0]->commands)
                std::fprintf(out, "%s\n", line.c_str());
            std::fclose(out);
        }
    }
    // Input the link dropped is said with -v (a command it hit has failed already).
    if (const std::string lost = kv::LostReportsText(Comms); !lost.empty()) Note(lost);
    Comms.Disconnect();
    kv::SetHidPlatform(nullptr);
    kv::SetClock(nullptr);
}

void Session::Open() {
    const auto deadline = kv::Clock().NowMs() + static_cast<int64_t>(Options.waitSeconds * 1000);
    bool toldNoAccess = false;
    for (;;) {
        std::vector<std::string> present;
        if (Comms.Connect(&present)) break;
        const kv::OpenError why = Comms.Device.OpenFailure;
        if (why == kv::OpenError::Absent) present.clear(); // gone between listing and opening
        // Another program has the device: nothing is sent, and its holder is named.
        const std::string inUse =
            why == kv::OpenError::Busy && !present.empty()
                ? kv::InUseText(Comms.Device.OpenSerial.empty() ? Comms.Device.DevicePath
                                                                : Comms.Device.OpenSerial,
                                Comms.Device.OpenHolder)
                : std::string();
        if (!present.empty() && !toldNoAccess && inUse.empty()) {
            // Attached but not to be opened: on Linux, for want of permission, the udev rule is
            // missing or the user is not the one at the seat.
            std::fprintf(stderr, "kvb: the device %s is attached but cannot be opened: %s%s\n",
                         present[0].c_str(), kv::OpenFailureText(why).c_str(),
                         why == kv::OpenError::NoPermission
                             ? " (install the udev rule, see \"Access to the device on Linux\" "
                               "in the README)"
                             : "");
            toldNoAccess = true;
        }
        if (!inUse.empty() && !toldNoAccess && kv::Clock().NowMs() < deadline) {
            std::fprintf(stderr, "kvb: %s; waiting for it\n", PrintableName(inUse).c_str());
            toldNoAccess = true;
        }
        if (kv::Clock().NowMs() >= deadline) {
            if (!inUse.empty()) throw Failure(kNoAccess, inUse);
            if (!present.empty()) throw Failure(kNoAccess, "the device cannot be opened");
            if (!Options.device.empty()) {
                // The one asked for is not there: which ones are, by the serial numbers to give.
                std::string attached;
                for (const kv::AttachedDevice& device : kv::AttachedDevices())
                    attached +=
                        (attached.empty() ? "" : ", ") +
                        kv::Latin1ToUtf8(device.Serial.empty() ? device.Path : device.Serial);
                throw Failure(kNoDevice, "no device " + Options.device + " is attached" +
                                             (attached.empty() ? std::string(" (none is)")
                                                               : "; attached: " + attached));
            }
            throw Failure(kNoDevice, "no device found");
        }
        kv::Clock().SleepMs(250);
    }
    Files.QuotePaths = kv::ReadFeatures(Comms.Device).QuotedPaths;
    if (Terminal.IsReady()) return;
    if (!Terminal.PromptContains("PASSWORD")) {
        if (!Terminal.IsBootLoader())
            throw Failure(kDeviceError, "the device's console does not answer");
        return; // the boot loader has a console of its own
    }
    if (Options.password.empty())
        throw Failure(kDeviceError,
                      "the device asks for a password: give --password or set KVB_PASSWORD");
    Terminal.SendLine(Options.password);
    if (!Terminal.IsReady()) throw Failure(kDeviceError, "the device did not take the password");
}

std::string Session::Identity() {
    return kv::IdentityText(Comms.Device);
}

// ---- messages and progress ----

bool WorkerMode() {
    static const bool worker = [] {
        const char* v = std::getenv("KVB_WORKER");
        return v && *v == '1';
    }();
    return worker;
}

void WorkerRecord(const std::string& text) {
    std::fprintf(stderr, "%c%s\n", kRecordMark, text.c_str());
    std::fflush(stderr);
}

std::string Printable(const std::string& utf8, bool LineEnds) {
    return kv::EscapeControls(utf8, kv::TextForm::Utf8,
                              LineEnds ? kv::LineEnds::Lines : kv::LineEnds::Escaped);
}

std::string PrintableName(const std::string& eightBit) {
    return Printable(kv::Latin1ToUtf8(eightBit));
}

void Session::Say(const std::string& text) {
    if (Options.quiet) return;
    ProgressEnd();
    std::fprintf(stderr, "%s\n", Printable(text).c_str());
}

void Session::Note(const std::string& text) {
    if (Options.verbose) Say(text);
}

void CliHost::Print(const std::string& Text, kv::MessageStyle) {
    if (session_.Options.quiet) return;
    session_.ProgressEnd();
    std::fputs(Printable(kv::Latin1ToUtf8(Text), true).c_str(), stderr);
    std::fflush(stderr);
}

void CliHost::UploadStarted(const std::string& Name, size_t Size, const std::string& Target) {
    (void)Name;
    session_.Note(std::to_string(Size) + " > " + kv::Latin1ToUtf8(Target));
}

void CliHost::FileMoved(const std::string& DevicePath, const std::filesystem::path& PcPath,
                        bool ToPc) {
    const std::string device = kv::Latin1ToUtf8(DevicePath), pcPath = kv::ShownPath(PcPath);
    session_.Note(ToPc ? device + " -> " + pcPath : pcPath + " -> " + device);
    if (!ToPc) {
        ++Uploaded;
        std::error_code ec;
        const auto size = std::filesystem::file_size(PcPath, ec);
        if (!ec) UploadedBytes += size;
    }
    if (!Verify) return;
    std::string onDevice, pc;
    const bool read = session_.Work.Verbs.Read(DevicePath, onDevice).Ok();
    try {
        pc = kv::ReadPcFile(PcPath);
    } catch (const std::exception&) {
        Mismatches.push_back(PcPath.string() + ": cannot be read back");
        return;
    }
    if (!read)
        Mismatches.push_back(DevicePath + ": cannot be read back from the device");
    else if (onDevice != pc)
        Mismatches.push_back(DevicePath + ": the device's bytes differ from " + PcPath.string());
    else
        session_.Note("verified " + kv::Latin1ToUtf8(DevicePath));
}

void Session::Progress(int32_t Position, int32_t Total) {
    if (WorkerMode() && Total > 0) {
        // For the parent's live line: a record at most every 100 ms, and the last one.
        const auto now = std::chrono::steady_clock::now();
        if (Position < Total && now - lastRecord_ < std::chrono::milliseconds(100)) return;
        lastRecord_ = now;
        WorkerRecord("progress " + std::to_string(Position) + " " + std::to_string(Total));
        return;
    }
    if (Options.quiet || !RawConsole::ProgressOutput() || Total <= 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (!progressShown_) progressStart_ = now;
    progressShown_ = true;
    if (Work.State.Tally.Active()) {
        // A transfer of files: which file, how many of how many, the bytes of them all.
        Work.State.Tally.FileProgress(static_cast<uint64_t>(std::max(0, Position)));
        const std::string line =
            ProgressLine(Work.State.Tally, kv::Clock().NowMs(), Interrupts.load() > 0, 78);
        std::fprintf(stderr, "\r\x1b[2K%s", line.c_str());
        std::fflush(stderr);
        return;
    }
    const double seconds = std::chrono::duration<double>(now - progressStart_).count();
    const double rate = seconds > 0.05 ? Position / seconds : 0;
    const int width = 30;
    const int filled = static_cast<int>(static_cast<int64_t>(width) * Position / Total);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(width, '.');
    const double left = rate > 0 ? (Total - Position) / rate : 0;
    std::fprintf(stderr, "\r[%s] %d/%d bytes  %.1f kB/s  %d:%02d left ", bar.c_str(), Position,
                 Total, rate / 1000, static_cast<int>(left) / 60, static_cast<int>(left) % 60);
    std::fflush(stderr);
}

void Session::ProgressEnd() {
    if (!progressShown_) return;
    progressShown_ = false;
    std::fprintf(stderr, "\r%*s\r", 79, "");
    std::fflush(stderr);
}

// ---- device paths ----

std::string DevicePath(const std::string& text) {
    // Typed in the terminal's UTF-8; the device's text is 8-bit (Latin-1).
    std::string bytes;
    if (!kv::Utf8ToLatin1(text, bytes))
        throw Failure(kUsage, "the device cannot store the path " + text +
                                  ": it has characters beyond its 8-bit text (Latin-1)");
    std::string path = bytes.empty() || bytes[0] != '/' ? "/" + bytes : bytes;
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    return path; // "/" became "": the root
}

std::vector<kv::DeviceDirEntry> ListEntries(Session& s, const std::string& path) {
    std::vector<kv::DeviceDirEntry> entries;
    Check(s.Work.Verbs.List(path, entries));
    std::erase_if(entries, [](const auto& e) { return e.Name == ".."; });
    kv::SortEntries(entries);
    return entries;
}

std::string Shown(const std::string& devicePath) {
    return PrintableName(devicePath.empty() ? "/" : devicePath);
}

std::string ReadWhole(Session& s, const std::string& path) {
    std::string content;
    Check(s.Work.Verbs.Read(path, content));
    return content;
}

kv::DeviceDirEntry Existing(Session& s, const std::string& path) {
    kv::DeviceDirEntry entry;
    Check(s.Work.Verbs.Find(path, entry));
    return entry;
}

bool IsDeviceDir(Session& s, const std::string& path) {
    if (path.empty()) return true;
    auto entry = FindEntry(s, path);
    return entry && kv::IsDirectory(*entry);
}

std::optional<kv::DeviceDirEntry> FindEntry(Session& s, const std::string& path) {
    kv::DeviceDirEntry entry;
    const kv::VerbResult found = s.Work.Verbs.Find(path, entry);
    if (found.What == kv::Outcome::NoSuchFile) return std::nullopt;
    Check(found);
    return entry;
}

int StatusOf(kv::Outcome outcome) {
    switch (outcome) {
    case kv::Outcome::Done:
        return kOk;
    case kv::Outcome::DeviceGone:
    case kv::Outcome::OtherDevice:
        return kNoDevice;
    case kv::Outcome::PcFileError:
        return kPcFileError;
    case kv::Outcome::Cancelled:
        return kInterrupted;
    case kv::Outcome::Refused:
    case kv::Outcome::NotWhole:
    case kv::Outcome::NoSuchFile:
    case kv::Outcome::IsDirectory:
        break;
    }
    return kDeviceError;
}

void Check(const kv::VerbResult& result) {
    if (!result.Ok()) throw Failure(StatusOf(result.What), kv::Latin1ToUtf8(result.Message()));
}

std::string DateText(const std::optional<kv::DateTime>& stamp) {
    if (!stamp) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", stamp->Year, stamp->Month,
                  stamp->Day, stamp->Hour, stamp->Minute, stamp->Second);
    return text;
}

} // namespace kvb
