// A simulated Kovrin device: the device side of every exchange of the link, the console, the file
// commands, the boot loader and the log channel, with faults on demand. It runs lazily inside the
// host's calls on the process clock, so it is deterministic on virtual time and behaves in real
// time in the program.
#pragma once

#include "SimStorage.h"
#include "device/Clock.h"
#include "device/HidPlatform.h"
#include "device/kvComms.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kv::sim {

struct SimConfig {
    std::u16string manufacturer = u"Kovrin Systems";
    std::u16string serial = u"KV-104-000123";
    std::u16string product = u"Kovrin Device";
    std::u16string bootProduct = u"Kovrin BootLoader";
    std::u16string version = u"2.4.1";      // string 201
    std::u16string build = u"1187";         // string 202
    std::u16string date = u"2026-11-20";    // string 203
    std::u16string features = u".uft.nfi."; // string 204 of the application
    std::u16string bootFeatures = u".uft.";
    std::string password;            // empty: the console is not locked
    int64_t reportIntervalUs = 1000; // link pacing: one report per interval per direction
    int logRatePerSecond = 0;        // log messages generated per second (0: none)
    int rebootMs = 3000;             // time a restarting device is gone from the bus
    int loadMs = 300, verifyMs = 1500, burnMs = 3000; // boot-loader phases
    uint32_t stamp = 0; // time stamp given to files made on the device
};

// The words of the device where the device's command set leaves them free: 1, the model's first
// dialect; 2, a second one that differs wherever it may (the line after a write's content, the
// listing's header text, "." and ".." entries and trailer, the prompts, the download header's
// other fields and what follows the content, the boot loader's phase texts). The default is 1, or
// the number in KVB_SIM_DIALECT, so that a whole test run can be repeated against the second.
int DefaultDialect();

// Faults a test switches on; each stays until switched off.
struct SimFaults {
    int dialect = DefaultDialect();
    // The line NFWRITE gives after content it stored, in place of the dialect's own (set: used
    // as it is, also empty; CR LF is added).
    bool writeConfirmSet = false;
    std::string writeConfirm;
    bool writeConfirmCut = false; // that line stops halfway and the device leaves the bus
    int64_t renameReplyMs = 0;    // NFRENAME does its work at once and answers this much later
    // Names are told apart by case, where the device's file system keeps a name's case and
    // finds it in any ASCII case (a FAT volume), as by default.
    bool caseSensitive = false;
    bool emptySerial = false;
    bool writesStall = false;        // host writes time out
    int64_t replyDelayMs = 0;        // replies start this long after the command
    bool silent = false;             // commands get no reply at all
    bool omitPrompt = false;         // replies end without a prompt
    int64_t downloadStallAfter = -1; // NFTYPE sends only this many content bytes
    int64_t announceLength = -1;     // NFTYPE announces this length instead of the real one
    int64_t uploadAbortAfter = -1;   // NFWRITE fails after this many content bytes
    int64_t imageRefuseAfter = -1;   // LOAD refuses the image after this many bytes
    bool verifyFails = false;        // the boot loader's verify phase fails; no burn follows
    bool burnFails = false;          // its burn phase fails
    int forceResult = 0;             // file commands answer with this result number
    std::vector<std::string> extraListingLines; // added to every listing before its end
    // Listings stop after this many more lines in all (the header and the end line count), and
    // the device then falls silent, or leaves the bus when listingCutUnplugs (-1: no cut).
    int listingLinesLeft = -1;
    bool listingCutUnplugs = false;
    int corruptDownloadsFrom = 0; // from this download on (1 = the first), one byte is wrong
    bool refuseOpen = false;      // listed, but cannot be opened (no permission)
    bool busy = false;            // listed, but held by another program
    std::string busyHolder;       // that program, as the system names it ("kvb mount (process 1)")
    // The storage holds at most this many bytes of files (0: no limit). A write that does not fit
    // stores what fits, in whole 4096-byte clusters, and fails, as a full FAT volume does.
    int64_t capacity = 0;
    bool writeResultSilent = false; // NFWRITE says nothing after the content (stored or not)
    // The console report with this number (reportsSent counts them) is lost on its way to the
    // host, as a host that lags loses one from a full queue (-1: none).
    int64_t loseReport = -1;
    // The upload (NFWRITE) with this number (1 = the first) finds the device leaving the bus as
    // it begins, for uploadUnplugMs; nothing of it is stored (0: none).
    int uploadUnplugs = 0;
    int64_t uploadUnplugMs = 2000;
    // "/dir/name": files the device lists and sends (each holds its own name) beside those of
    // its storage, with names no folder of the PC may hold ("C:x", "CON", "a?b").
    std::vector<std::string> extraFiles;
    // The prompt's second half comes this long after its first, as from a device busy between
    // the two, so that a host reads the prompt in two parts (0: whole).
    int64_t promptPauseMs = 0;
};

struct LoadedImage {
    std::string name;
    std::string content;
};

// Faults named in text, for a simulated device started by a program rather than a test:
// "download-stall-after=N", "upload-abort-after=N", "corrupt-downloads-from=N", "capacity=N",
// "write-result-silent=1", "prompt-pause-ms=N", "upload-unplugs=N", "upload-unplug-ms=MS",
// "listing-line=TEXT", "extra-file=/DIR/NAME", "refuse-open=1", "busy=1", "busy-holder=TEXT",
// "verify-fails=1", "burn-fails=1", "dialect=N", "write-confirm=TEXT", "write-confirm-cut=1",
// "rename-reply-ms=N", "case-sensitive=1", separated by ";". In TEXT and NAME a TAB is written as
// \t and any byte as \xHH. False for an unknown one.
bool ParseFaults(const std::string& text, SimFaults& faults);
// The items of such a text, split at ";".
std::vector<std::string> FaultItems(const std::string& text);

class SimDevice {
  public:
    SimDevice(IClock& clock, std::unique_ptr<SimStorage> storage, SimConfig config = {});

    // ---- the host side, used by the platform backend ----
    bool Present();
    int Generation() const { return generation_; }
    int downloads = 0; // NFTYPE commands answered
    int uploads = 0;   // NFWRITE commands received
    // One input report (64 bytes) within timeoutMs: 64, 0 on time-out, -1 when the device is gone.
    int HostRead(uint8_t* report, int timeoutMs);
    // One output report (64 bytes): 64, 0 on time-out, -1 when the device is gone.
    int HostWrite(const uint8_t* report, int timeoutMs);
    bool String(HidString which, int index, std::u16string& text);

    // ---- control, for tests, benchmarks and the demo ----
    void Unplug();
    void Replug();
    void UnplugFor(int64_t ms);
    // Unplugs the device afterMs from now, for forMs.
    void ScheduleUnplug(int64_t afterMs, int64_t forMs);
    bool InBootLoader() const { return bootLoader_; }
    // Runs its boot loader from now on, as a device left there by an earlier restart.
    void RunBootLoader() { Back(true); }
    bool Locked() const { return locked_; }
    // Locks the console again (when a password is configured), as after a restart.
    void Lock() { locked_ = !config.password.empty(); }
    uint64_t FilterMask() const { return filterMask_; }
    bool FilterOn() const { return filterOn_; }
    // A log message on channel 31 now, if the filter lets it through.
    void Log(uint8_t type, const std::string& text);
    void PrintConsole(const std::string& text); // unsolicited console output
    size_t QueuedReports() const { return out_.size(); }

    SimConfig config;
    SimFaults faults;
    SimStorage& storage() { return *storage_; }
    std::vector<LoadedImage> images;            // firmware images the boot loader accepted
    std::vector<std::string> commands;          // command lines received, in order
    std::vector<std::vector<uint8_t>> received; // every report the host wrote
    int readyPrompts = 0;                       // ESC prompts printed
    uint64_t reportsSent = 0;                   // reports the host has taken

  private:
    enum class Mode { Command, Receive, Drain };
    struct Chunk {
        std::string data;
        size_t off;
        int64_t at;
    };
    struct OutReport {
        Report report;
        int64_t readyAt;
    };

    void Advance(int64_t t);
    void Schedule(int64_t at, std::function<void()> fn);
    void Print(const std::string& text);
    void Prompt();
    void Form(int64_t t);
    int64_t NextFrame() const;
    void Enqueue(const Report& r, int64_t produced);
    void ResetLink();
    void Gone();                // off the bus: everything in flight is lost
    void Back(bool bootLoader); // on the bus again, as the application or the boot loader
    void Restart(bool toBootLoader);

    void OnReport(const uint8_t* report);
    void OnConsoleBytes(const std::string& bytes);
    void OnLine(const std::string& line);
    void ReceiveDone();
    // Bytes of the files below dir, and whether size bytes at path fit the capacity.
    int64_t UsedBytes(const SimPath& dir);
    bool Fits(const SimPath& path, size_t size);
    void ImageReceived(); // the boot loader has the whole image: its phases follow

    // application commands
    void CmdDir(const std::string& arg);
    void CmdType(const std::string& arg);
    void CmdWrite(const std::string& arg);
    void CmdSimple(const std::string& word, const std::string& arg);
    void CmdRename(const std::string& arg);
    void CmdLoad(const std::string& arg);
    void Result(int result);

    // the entries of a directory: the storage's and the extra files of the faults
    bool List(const SimPath& dir, std::vector<SimEntry>& entries);
    // true when path is one of the extra files of the faults
    bool IsExtraFile(const SimPath& path) const;
    // resolves a device path argument as the host wrote it (quoted, or with "_" for spaces)
    bool Resolve(const std::string& arg, SimPath& path, bool mustExist);
    std::string Unquote(const std::string& arg, bool& quoted) const;
    void ScheduleLog();

    IClock& clock_;
    std::unique_ptr<SimStorage> storage_;
    int64_t now_ = 0; // device time of the event being processed (µs)
    std::multimap<int64_t, std::function<void()>> events_;

    bool present_ = true;
    int generation_ = 1;
    bool bootLoader_ = false;
    bool locked_ = false;

    std::deque<Chunk> backlog_; // console bytes printed, not yet in a report
    size_t backlogBytes_ = 0;
    std::deque<OutReport> out_;
    int64_t lastReadyAt_ = 0;
    int64_t lastWriteSlot_ = 0;
    int64_t outputNotBefore_ = 0;
    int64_t answerNotBefore_ = 0;

    Mode mode_ = Mode::Command;
    std::string line_;
    std::string receiveBuffer_;
    int64_t receiveLength_ = 0;
    std::function<void()> onReceived_;
    int64_t drainBytes_ = 0; // bytes of an abandoned slice still to swallow
    std::string receiveName_;
    bool receiveIsImage_ = false;
    SimPath receivePath_;

    bool filterOn_ = false;
    uint64_t filterMask_ = 0;
    uint32_t logCounter_ = 0;
    int64_t logEpoch_ = 0;
};

// The simulated device as the process's HID backend.
class SimPlatform final : public IHidPlatform {
  public:
    explicit SimPlatform(SimDevice& device, std::string path = kPath)
        : device_(device), path_(std::move(path)) {}
    std::vector<std::string> Enumerate(int vendorId, int productId, int usagePage,
                                       int usage) override;
    HidHandle Open(const std::string& path) override;
    OpenError LastOpenError() const override { return openError_; }
    std::string LastOpenHolder() const override;
    std::u16string SerialWithoutOpening(const std::string& path) override;
    void Close(HidHandle handle) override;
    int Read(HidHandle handle, uint8_t* buffer, int capacity, int timeoutMs) override;
    int Write(HidHandle handle, const uint8_t* data, int size, int timeoutMs) override;
    bool QueryUsage(HidHandle handle, int& usagePage, int& usage) override;
    bool GetString(HidHandle handle, HidString which, int index, std::u16string& text) override;

    static constexpr const char* kPath = "sim:kovrin";

  private:
    bool Live(HidHandle handle);
    SimDevice& device_;
    std::string path_;
    OpenError openError_ = OpenError::None;
};

// Several simulated devices attached at once, each under a path of its own.
class SimBus final : public IHidPlatform {
  public:
    void Attach(SimDevice& device, const std::string& path);
    std::vector<std::string> Enumerate(int vendorId, int productId, int usagePage,
                                       int usage) override;
    HidHandle Open(const std::string& path) override;
    OpenError LastOpenError() const override { return openError_; }
    std::string LastOpenHolder() const override { return holder_; }
    std::u16string SerialWithoutOpening(const std::string& path) override;
    void Close(HidHandle handle) override;
    int Read(HidHandle handle, uint8_t* buffer, int capacity, int timeoutMs) override;
    int Write(HidHandle handle, const uint8_t* data, int size, int timeoutMs) override;
    bool QueryUsage(HidHandle handle, int& usagePage, int& usage) override;
    bool GetString(HidHandle handle, HidString which, int index, std::u16string& text) override;

  private:
    // A handle names the device (high bits) and its own handle (low bits).
    static constexpr int kShift = 24;
    IHidPlatform* Of(HidHandle handle, HidHandle& inner);
    std::vector<std::unique_ptr<SimPlatform>> devices_;
    std::vector<std::string> paths_;
    OpenError openError_ = OpenError::None;
    std::string holder_;
};

// The Nth (0 the first) of the simulated devices that one program attaches: its serial number, the
// number at the end of Serial counted on by N ("KV-104-000123" and 2 give "KV-104-000125"), and
// its path on the bus ("sim:kovrin", "sim:kovrin-2", ...).
std::u16string NthSerial(std::u16string Serial, size_t N);
std::string NthPath(size_t N);

// The demo device's file system: /Lua and /Config with a few scripts, a config.txt and nested
// directories.
std::unique_ptr<MemoryStorage> DemoStorage();

} // namespace kv::sim
