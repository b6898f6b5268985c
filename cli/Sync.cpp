// kvb sync: one folder pair made to match, one way, sending only what changed; a preview with
// --dry-run, and --watch to follow the PC folder while you edit. The decisions and the record
// are the workflows' (DeviceSync); here are the options, the lines printed and the watch loop.
#include "Commands.h"

#include "device/Clock.h"
#include "device/DeviceText.h"
#include "workflows/DeviceSync.h"
#include "workflows/DeviceSyncWatch.h"
#include "workflows/PcFiles.h"
#include "workflows/SyncPlatform.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <optional>

namespace kvb {

namespace fs = std::filesystem;

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

kv::SyncOptions OptionsFor(Session& s, bool up, const fs::path& pcFolder,
                           const std::string& deviceFolder) {
    return kv::SyncPairOptions(kv::HidTo8Bit(s.Comms.Device.GetSerialNumber()), up, pcFolder,
                               deviceFolder);
}

// Prints what happens to each file: a line ("send changed Lua/main.lua"), or with --json one
// object per line. Unchanged, ignored and extra files are said in a preview or with -v.
class ItemPrinter {
  public:
    ItemPrinter(Session& s, bool json, bool preview, bool up)
        : s_(s), json_(json), preview_(preview), up_(up) {}
    void operator()(const kv::SyncItem& item) {
        using kv::SyncAction, kv::SyncReason;
        const bool quietSkip = item.Decision.Action == SyncAction::Skip &&
                               !item.Decision.Unresolved && item.Error.empty() &&
                               item.Decision.Reason != SyncReason::Conflict &&
                               item.Decision.Reason != SyncReason::Link;
        const std::string path = item.Shown + (item.Directory ? "/" : "");
        if (json_) {
            nlohmann::json line{{"path", path},
                                {"directory", item.Directory},
                                {"action", kv::ActionName(item.Decision.Action)},
                                {"reason", kv::ReasonName(item.Decision.Reason)},
                                {"done", !preview_ && item.Done}};
            if (!item.Error.empty()) line["error"] = kv::Latin1ToUtf8(item.Error);
            std::printf("%s\n", line.dump().c_str());
        } else if (preview_ || !quietSkip || s_.Options.verbose) {
            std::string text = std::string(kv::ActionName(item.Decision.Action)) + " " +
                               kv::ReasonName(item.Decision.Reason) + " " + path;
            if (!item.Error.empty())
                text += "  (" + PrintableName(item.Error) + ")";
            else if (item.Decision.Unresolved || item.Decision.Reason == SyncReason::Conflict)
                text += "  (" + kv::ChangeText(item.Decision.Change, up_) + ")";
            std::printf("%s\n", Printable(text).c_str());
        }
        std::fflush(stdout);
    }

  private:
    Session& s_;
    bool json_, preview_, up_;
};

// The end of one pass: what could not be done, then the conflicts, each with its status.
void FailOnConflicts(Session& s, const kv::TDeviceSync& sync) {
    if (sync.DeviceGone) throw Failure(kNoDevice, "the device is gone");
    FailOnWhatWasNotMoved(s);
    if (const int conflicts = sync.Unresolved())
        throw Failure(kDeviceError, std::to_string(conflicts) +
                                        " conflict(s): changed on both sides since the last "
                                        "sync; --force pc or --force device says which side wins");
}

// Waits, as --wait does but without an end, for the device to come back; false on Ctrl+C.
bool WaitForDevice(Session& s) {
    s.Say("the device is gone: waiting for it (Ctrl+C stops)");
    for (;;) {
        if (Interrupts.load() > 0) return false;
        try {
            s.Comms.Disconnect();
            s.Open();
            s.Say("the device is back");
            return true;
        } catch (const Failure&) {
            kv::Clock().SleepMs(1000);
        }
    }
}

void Watch(Session& s, kv::TDeviceSync& sync, kv::IFolderWatch& watch, const fs::path& folder,
           bool whole) {
    s.Say("watching " + kv::ShownPath(folder) + "; Ctrl+C stops");
    // A save goes 50 ms after the editor closed the file; half a second after the last change
    // while a program still has it open for writing.
    kv::TSyncWatch follow(sync, watch, whole, NowMs, 500, 50);
    while (Interrupts.load() == 0) {
        follow.TakeChanges(follow.WaitMs(250));
        if (!follow.HasDue() || Interrupts.load() > 0) continue;
        if (!s.Comms.IsConnected() && !WaitForDevice(s)) return;
        s.Work.State.NotMoved.clear();
        const kv::VerbResult planned = follow.RunPass();
        for (const auto& problem : s.Work.State.NotMoved)
            std::fprintf(stderr, "kvb: %s\n", PrintableName(problem).c_str());
        if (follow.DeviceAway()) continue;
        if (!planned.Ok())
            std::fprintf(stderr, "kvb: %s\n", PrintableName(planned.Message()).c_str());
    }
}

} // namespace

int Sync(Session& s, const SyncCommandOptions& o) {
    // A watch keeps to the device it began on: the record is that device's, and the link waits
    // for it when it goes, taking no other in its place.
    std::optional<kv::TDeviceHold> hold;
    if (o.watch) hold.emplace(s.Comms);
    s.Work.Save.BeginSave();
    const fs::path pcFolder = fs::path(std::u8string(o.pcFolder.begin(), o.pcFolder.end()));
    const std::string deviceFolder = DevicePath(o.deviceFolder);
    kv::SyncOptions options = OptionsFor(s, o.up, pcFolder, deviceFolder);
    options.DryRun = o.dryRun;
    options.WriteBeforeListing = true; // carried out right after the plan
    options.DeleteExtra = o.deleteExtra;
    options.Checksum = o.checksum;
    options.Force = o.force == "pc"       ? kv::SyncWinner::Pc
                    : o.force == "device" ? kv::SyncWinner::Device
                                          : kv::SyncWinner::None;
    options.Excludes = o.excludes;
    kv::TDeviceSync sync(s.Work, options);
    ItemPrinter printer(s, o.json, o.dryRun, options.Up);
    sync.OnItem = [&](const kv::SyncItem& item) { printer(item); };
    // Watched from before the first pass, so that a save during it is not missed.
    std::unique_ptr<kv::IFolderWatch> watch;
    if (o.watch) watch = kv::WatchFolder(pcFolder);

    const kv::VerbResult planned = sync.Plan();
    Check(planned);
    if (o.dryRun) {
        s.Say("dry run: nothing is changed on either side");
        for (const auto& item : sync.Items)
            printer(item);
    } else {
        sync.Run();
    }
    const std::string direction = o.up ? "up" : "down";
    // A preview counts what would be done.
    const kv::SyncTotals totals = kv::TotalsOf(sync.Items, o.dryRun);
    s.Say("sync " + direction + (o.dryRun ? " (dry run): " : ": ") + std::to_string(totals.Sent) +
          (o.dryRun ? " to send, " : " sent, ") + std::to_string(totals.Deleted) +
          (o.dryRun ? " to delete, " : " deleted, ") + std::to_string(totals.Unchanged) +
          " unchanged, " + std::to_string(sync.Unresolved()) + " conflict(s)");
    if (!watch) {
        FailOnConflicts(s, sync);
        return kOk;
    }
    if (s.Work.State.Cancelled)
        throw Failure(kInterrupted, "interrupted; what was done so far is kept");
    for (const auto& problem : s.Work.State.NotMoved)
        std::fprintf(stderr, "kvb: %s\n", PrintableName(problem).c_str());
    // Whole passes until one gets through: the watch lost track, or the device went meanwhile.
    Watch(s, sync, *watch, pcFolder, sync.DeviceGone);
    throw Failure(kInterrupted, "interrupted; what was done so far is kept");
}

void UpdateFolder(Session& s, bool up, const fs::path& pcFolder, const std::string& deviceFolder,
                  const std::set<std::string>& only) {
    kv::SyncOptions options = OptionsFor(s, up, pcFolder, deviceFolder);
    options.Only = only;
    options.WriteBeforeListing = true;
    kv::TDeviceSync sync(s.Work, options);
    ItemPrinter printer(s, false, false, up);
    sync.OnItem = [&](const kv::SyncItem& item) {
        if (s.Options.verbose || item.Decision.Unresolved) printer(item);
    };
    Check(sync.Plan());
    sync.Run();
    if (sync.DeviceGone) throw Failure(kNoDevice, "the device is gone");
    if (const int conflicts = sync.Unresolved())
        s.Work.State.NotMoved.Add(std::to_string(conflicts) +
                                      " file(s) changed at the target since the last copy, or "
                                      "different and never synced: kept",
                                  kv::Outcome::Refused);
}

} // namespace kvb
