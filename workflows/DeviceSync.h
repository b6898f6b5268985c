// Sync of a PC folder and a device folder, one way: up makes the device folder match the PC
// folder, down the reverse. Only what changed since the last sync moves (see SyncRecord.h); what
// changed on both sides is a conflict and stays as it is unless Force names the side that wins.
// The device is driven only through the verbs and the Save to PC and upload workflows.
#pragma once

#include "DeviceWork.h"
#include "IgnoreRules.h"
#include "SyncRecord.h"

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kv {

struct SyncOptions {
    bool Up = true; // PC to device; false: device to PC
    std::filesystem::path PcFolder;
    std::string DeviceFolder; // a device path without a trailing "/"; "" is the root
    bool DryRun = false;      // decide and say, change nothing (nor the record)
    bool DeleteExtra = false; // remove what is only at the target
    bool Checksum = false;    // without a record, compare equal-sized files by content
    SyncWinner Force = SyncWinner::None;
    std::vector<std::string> Excludes;       // patterns added after the folder's .kvbignore
    std::filesystem::path RecordFile;        // empty: no record is read or kept
    std::filesystem::path EarlierRecordFile; // read while RecordFile is not there yet
    std::string About;                       // written at the top of the record, for a reader
    // Up: Plan writes what changed on the PC beside its old self before listing its folder, and
    // Run gives it its name (or the next Plan removes it), for one listing per folder. For a
    // sync carried out at once; a preview that may not be carried out leaves it off.
    bool WriteBeforeListing = false;
    // When not empty: only these names in the folders' top level (get and put --update).
    std::set<std::string> Only;
};

// The options of one device's folder pair with its record: the file kept under the user's state
// folder for that serial and pair, the file of earlier versions, and the line saying what the
// record is about. Both front ends sync a pair through these, so that each finds what the other
// did.
SyncOptions SyncPairOptions(const std::string& Serial, bool Up,
                            const std::filesystem::path& PcFolder, const std::string& DeviceFolder);

struct SyncItem {
    std::string Path;  // relative to the folders, "/"-separated, the device's 8-bit names
    std::string Shown; // the same as shown to the user (UTF-8)
    bool Directory = false;
    SyncDecision Decision;
    bool Done = false; // carried out (or nothing was to be done)
    std::string Error; // why it was not carried out (8-bit)
};

// What a sync's items came to, for the line both front ends end it with: files sent (or
// fetched), deleted, unchanged, and what was due and not done. Planned: counted as a preview
// would carry them out, rather than as done.
struct SyncTotals {
    int Sent = 0, Deleted = 0, Unchanged = 0, Left = 0;
};
SyncTotals TotalsOf(const std::vector<SyncItem>& Items, bool Planned = false);

class TDeviceSync {
  public:
    TDeviceSync(TDeviceWork& Work, SyncOptions Options);

    // Looks at both folders and the record and decides for every file and directory. A failure
    // to read the source side, or the device going away, is returned; nothing was changed then.
    VerbResult Plan();
    // The same for these paths of the PC folder only (relative, as the watch reports them), each
    // looked up afresh on both sides; a folder stands for everything in it.
    VerbResult PlanPaths(const std::vector<std::filesystem::path>& Paths);
    // Looks at both folders again, for a plan made a while ago (a preview the user read and
    // changed): an item to be sent or deleted whose file moved on either side since the plan saw
    // it is left alone, as a conflict that names the side. A failure to look is returned; nothing
    // was changed then.
    VerbResult Recheck();
    // Carries the plan out in a safe order: directories made, files sent (each counted as synced
    // only when it moved whole), then what goes deleted. Stops at a cancel or when the device
    // goes. Nothing with DryRun.
    void Run();

    std::vector<SyncItem> Items;
    // Called for each item once it is carried out or skipped (by Run).
    std::function<void(const SyncItem&)> OnItem;
    // Called by Run as each file's transfer begins, with its size (for a progress line).
    std::function<void(const SyncItem&, uint64_t Size)> OnStart;

    // A plan changed by its user before Run. Leave: the item is not carried out (skipped, and
    // no longer an unresolved conflict). ResolveConflict: a conflict goes to Winner, as --force
    // would have had it: the source's side is sent (or what it no longer has deleted), the target's
    // kept as it is. False for an item that is no conflict, or one that cannot be settled (a file
    // on one side and a directory on the other).
    void Leave(SyncItem& Item);
    bool ResolveConflict(SyncItem& Item, SyncWinner Winner);
    bool Up() const { return options_.Up; }
    // The size of an item's file at the source, as the plan found it (0 when it is not there).
    uint64_t SourceSize(const SyncItem& Item) const;
    // Conflicts that no --force settled.
    int Unresolved() const;
    bool DeviceGone = false;

    // The device path and the PC path of a relative path.
    std::string DevicePathOf(const std::string& Path) const;
    std::filesystem::path PcPathOf(const std::string& Path) const;

  private:
    struct PcFact {
        bool Directory = false;
        uint64_t Size = 0;
        int64_t Time = 0;
    };
    struct DeviceFact {
        bool Directory = false;
        int64_t Size = 0;
        std::string Stamp;
        std::optional<DateTime> Created;
        bool ReadOnly = false;
    };
    // Up: files changed on the PC since the last sync are written beside their old selves on
    // the device before their folder is listed, so that the one listing shows both what the
    // device holds there and the new content whole, with the size and stamps the record keeps.
    // A file decided to go then only takes its name; the others' copies are removed.
    struct Staged {
        SyncedFile File;                      // what the record keeps once it has its name
        std::optional<DeviceDirEntry> Listed; // the copy beside it, as its folder's listing shows
        bool Placed = false;                  // given its name, or tried: left alone from then on
    };
    VerbResult Stage(const std::set<std::string>& Paths);
    // Removes the copies not given their names.
    void Unstage();
    std::map<std::string, Staged> staged_;
    void Begin();
    void LoadRules();
    // The PC folder below Path ("" for the top), into pc_; ignored and unsendable names as items.
    void ScanPc(const std::string& Path, bool Recursive);
    bool ScanPcEntry(const std::filesystem::path& Pc, const std::string& Path, bool Recursive);
    // One device directory, into device_; its subdirectories too when Recursive.
    VerbResult ListDevice(const std::string& Path, bool Recursive);
    // Path and every directory in it listed (each one only once).
    VerbResult ListTree(const std::string& Path);
    // Dir and every device directory found in it were listed.
    bool ListedWhole(const std::string& Dir) const;
    void Decide(const std::set<std::string>& Files);
    SyncItem& AddItem(const std::string& Path, bool Directory, SyncAction Action,
                      SyncReason Reason);
    SideState PcState(const std::string& Path, VerbResult& Error);
    SideState DeviceState(const std::string& Path) const;
    std::optional<bool> SameContent(const std::string& Path, VerbResult& Error);
    bool Ignored(const std::string& Path, bool Directory) const;

    // Run's steps.
    bool SendUp(std::vector<SyncItem*>& Group);
    bool SendDown(SyncItem& Item);
    bool DeleteAtTarget(SyncItem& Item);
    void Finish(SyncItem& Item, const std::string& Error = {});
    void Failed(SyncItem& Item, const VerbResult& Result);
    void SaveRecord();

    TDeviceWork& work_;
    SyncOptions options_;
    TIgnoreRules rules_;
    TSyncRecord record_;
    bool recordLoaded_ = false;
    std::map<std::string, PcFact> pc_;
    std::map<std::string, DeviceFact> device_;
    std::set<std::string> listedDirs_;          // device directories whose listing is in device_
    std::map<std::string, std::string> hashes_; // PC hashes computed while deciding
    std::set<std::string> reported_;            // paths that have an item already
    bool deviceComplete_ = true;                // every device directory could be listed
    bool deviceFolderMissing_ = false;
};

} // namespace kv
