// kvb: the device from the command line. One program with sub-commands over the same workflows,
// file service and link as the window.
#pragma once

#include "device/kvComms.h"
#include "files/kvbFiles.h"
#include "workflows/DeviceWork.h"

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvb {

// Exit statuses (also in the man page and --help).
enum Status : int {
    kOk = 0,
    kUsage = 2,       // the command line is wrong
    kNoDevice = 3,    // no device attached (within --wait), or it went away during the command
    kDeviceError = 4, // the device refused, did not answer, or a file did not move whole
    kPcFileError = 5, // a PC file cannot be read or written
    kNoAccess = 6,    // a device is attached but cannot be opened (permissions)
    kInterrupted = 130,
};

// The error that ends a command: its exit status and what to say on standard error.
struct Failure : std::runtime_error {
    Failure(int status, const std::string& message) : std::runtime_error(message), Status(status) {}
    int Status;
};

struct GlobalOptions {
    std::string device;               // serial number or interface path
    bool simulate = false;            // against simulated devices
    std::vector<std::string> folders; // their file systems ("" for the demo tree)
    std::string password;             // for a console that asks for one
    double waitSeconds = 0;
    bool quiet = false;
    bool verbose = false;
};

// Set by SIGINT: the first asks the work to stop at its next safe point.
extern std::atomic<int> Interrupts;

// ---- kvb run for one device by kvb --all or --each-new (KVB_WORKER=1 in its environment) ----
// Besides its messages, standard error then carries records for the parent: a line that starts
// with kRecordMark, "progress POSITION TOTAL" during a transfer, "clock MICROSECONDS" at the end
// of a run on virtual time.
constexpr char kRecordMark = '\x1e';
bool WorkerMode();
void WorkerRecord(const std::string& text);

class Session;

// The host of the shared workflows: messages to standard error, progress on a terminal, Ctrl+C
// as the cancel, and the --verify read-back after each file.
class CliHost final : public kv::IWorkHost {
  public:
    explicit CliHost(Session& session) : session_(session) {}
    void Print(const std::string& Text, kv::MessageStyle Style) override;
    // What did not move is said once, at the end of the command (from NotMoved).
    void Failed(const std::string&) override {}
    // One line per upload, with -v only; the summary comes at the end.
    void UploadStarted(const std::string& Name, size_t Size, const std::string& Target) override;
    bool CancelRequested() override { return Interrupts.load() > 0; }
    void FileMoved(const std::string& DevicePath, const std::filesystem::path& PcPath,
                   bool ToPc) override;
    bool Verify = false;
    std::vector<std::string> Mismatches;
    int Uploaded = 0; // files uploaded whole
    uintmax_t UploadedBytes = 0;

  private:
    Session& session_;
};

// One run of kvb against one device: the link objects, the workflows and how to report.
class Session {
  public:
    explicit Session(const GlobalOptions& options);
    ~Session();
    // Finds and opens the device (waiting up to --wait) and brings its console to a prompt,
    // answering a password prompt with --password. Raises Failure when it cannot.
    void Open();
    // The device's information as the window's panel shows it.
    std::string Identity();

    const GlobalOptions& Options;
    kv::TkvComms Comms;
    kv::TkvTerminal Terminal{Comms};
    kv::TkvbFiles Files{Terminal};
    CliHost Host{*this};
    kv::TDeviceWork Work{Files, Host};

    // Progress of the transfer under way, on standard error when it is a terminal.
    void Progress(int32_t Position, int32_t Total);
    void ProgressEnd();
    // Lines (UTF-8) on standard error: unless -q, and with -v only.
    void Say(const std::string& text);
    void Note(const std::string& text);

  private:
    struct Backend;
    std::unique_ptr<Backend> backend_;
    std::chrono::steady_clock::time_point progressStart_, lastRecord_;
    bool progressShown_ = false;
};

// ---- text for the screen ----
// UTF-8 text with its control characters (C0, DEL and C1) written as \xHH, so that names and
// messages from the device cannot drive the terminal. With LineEnds, line ends (LF, CR LF) and
// TABs stay as they are.
std::string Printable(const std::string& utf8, bool LineEnds = false);
// A device name or path (8-bit) for the screen: UTF-8, control characters escaped.
std::string PrintableName(const std::string& eightBit);

// ---- results ----
// The exit status that tells what a verb's outcome was (see the man page).
int StatusOf(kv::Outcome outcome);
// Raises the Failure that says what happened, unless the verb was done.
void Check(const kv::VerbResult& result);

// ---- device paths ----
// A device path as the device writes it: "/" is the root (the empty path), no trailing "/" (its
// parent and last name: kv::DeviceParentOf, kv::DeviceLeafOf).
std::string DevicePath(const std::string& text);
// The entry of path in its parent's listing; none when it is not there. The root is a directory.
std::optional<kv::DeviceDirEntry> FindEntry(Session& s, const std::string& path);
// A directory's entries (without "." and ".."), sorted as the browser sorts them.
std::vector<kv::DeviceDirEntry> ListEntries(Session& s, const std::string& path);
std::string DateText(const std::optional<kv::DateTime>& stamp);
// A device path for the screen ("/" for the root).
std::string Shown(const std::string& devicePath);
// A device file whole, and the entry of a path that is there; raise the failure that says what
// happened otherwise.
std::string ReadWhole(Session& s, const std::string& path);
kv::DeviceDirEntry Existing(Session& s, const std::string& path);
// Whether the device lists a directory at path (the root is one).
bool IsDeviceDir(Session& s, const std::string& path);
// Device paths as typed, where the last part may be a pattern ("*", "?", "[a-z]", "\\" for the
// next character as it is), matched against its directory's listing: the pattern itself never
// goes to the device. A name the listing holds as written is that name. Raises Failure for a
// pattern in a directory part (usage) or one that matches nothing (the device's status).
struct FoundPath {
    std::string path;     // 8-bit, as DevicePath gives it
    bool matched = false; // found by a pattern
};
std::vector<FoundPath> ExpandDevicePaths(Session& s, const std::vector<std::string>& typed);
bool HasWildcard(const std::string& text);

// ---- progress and counts ----
// "1 file", "3 files".
std::string Counted(size_t count, const std::string& noun);
// The progress line of a transfer, at most Width characters: the file, "file k of n", the bytes,
// speed and time left, and after Ctrl+C that the work stops after this file.
std::string ProgressLine(const kv::TTransferTally& tally, int64_t nowMs, bool stopping,
                         size_t width);

// ---- the interactive console (platform code in its own folder) ----
class RawConsole {
  public:
    RawConsole();  // raw mode when standard input is a terminal
    ~RawConsole(); // restored on every way out
    bool Interactive() const { return interactive_; }
    // Up to 256 bytes typed within timeoutMs; empty on time-out; false at end of input.
    bool Read(std::string& bytes, int timeoutMs);
    static bool ColourOutput();
    static bool ProgressOutput();

  private:
    bool interactive_ = false;
    struct Saved;
    std::unique_ptr<Saved> saved_;
};
void InstallInterruptHandler();

// ---- the external editor of kvb edit (platform code in its own folder) ----
// A folder made afresh for one edit that only this user can enter.
std::filesystem::path MakePrivateFolder();
// Makes File, which must not exist yet, with Content; readable and writable by this user only.
void CreatePrivateFile(const std::filesystem::path& File, const std::string& Content);
// The name (UTF-8) under which this platform can store the text of the device file Name; it ends
// in Name wherever the platform allows, so that the editor chooses its mode from the extension.
std::string EditFileName(const std::string& Name);
// Runs the user's editor command, which may hold arguments of its own, with File as one further
// argument. Returns the editor's exit status, or -1 when it could not be started.
int RunEditor(const std::string& Command, const std::filesystem::path& File);
// The editor when neither VISUAL nor EDITOR names one.
const char* DefaultEditor();

} // namespace kvb
