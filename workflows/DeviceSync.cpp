#include "DeviceSync.h"

#include "DeviceSyncParts.h"
#include "PcFiles.h"
#include "Sha256.h"
#include "device/DeviceText.h"

#include <algorithm>
#include <cstdio>

namespace kv {

namespace fs = std::filesystem;
using namespace syncparts;

TDeviceSync::TDeviceSync(TDeviceWork& Work, SyncOptions Options)
    : work_(Work), options_(std::move(Options)) {}

std::string TDeviceSync::DevicePathOf(const std::string& Path) const {
    return Path.empty() ? options_.DeviceFolder : options_.DeviceFolder + "/" + Path;
}

fs::path TDeviceSync::PcPathOf(const std::string& Path) const {
    fs::path pc = options_.PcFolder;
    for (size_t start = 0; start < Path.size();) {
        size_t slash = Path.find('/', start);
        if (slash == std::string::npos) slash = Path.size();
        pc /= PcNameOf(Path.substr(start, slash - start));
        start = slash + 1;
    }
    return pc;
}

int TDeviceSync::Unresolved() const {
    return static_cast<int>(
        std::count_if(Items.begin(), Items.end(), [](auto& i) { return i.Decision.Unresolved; }));
}

void TDeviceSync::Begin() {
    Unstage(); // a plan that was not carried out leaves nothing beside
    Items.clear();
    pc_.clear();
    device_.clear();
    listedDirs_.clear();
    hashes_.clear();
    reported_.clear();
    deviceComplete_ = true;
    deviceFolderMissing_ = false;
    DeviceGone = false;
    if (recordLoaded_) return;
    LoadRules();
    if (!options_.RecordFile.empty()) {
        record_.Load(options_.RecordFile, options_.EarlierRecordFile);
        if (!record_.Damage.empty())
            work_.State.Host.Print("The sync record " + ShownPath(options_.RecordFile) +
                                       " was not read whole (" + record_.Damage +
                                       "): what it does not name whole counts as never synced\r\n",
                                   MessageStyle::Failure);
    }
    recordLoaded_ = true;
}

void TDeviceSync::LoadRules() {
    rules_ = TIgnoreRules();
    const fs::path file = options_.PcFolder / ".kvbignore";
    std::error_code ec;
    if (fs::is_regular_file(file, ec)) rules_.AddLines(ReadPcFile(file));
    for (const auto& pattern : options_.Excludes)
        rules_.Add(pattern);
}

bool TDeviceSync::Ignored(const std::string& Path, bool Directory) const {
    // A PC file named as a replacement's copy would be taken on the device for one left behind.
    if (!Directory && IsBesideCopyName(Path.substr(Path.rfind('/') + 1))) return true;
    return rules_.Ignored(Latin1ToUtf8(Path), Directory);
}

SyncItem& TDeviceSync::AddItem(const std::string& Path, bool Directory, SyncAction Action,
                               SyncReason Reason) {
    reported_.insert(Path);
    SyncItem item;
    item.Path = Path;
    item.Shown = Latin1ToUtf8(Path);
    item.Directory = Directory;
    item.Decision = {Action, Reason, false};
    Items.push_back(item);
    return Items.back();
}

// ---- looking at both sides ----

void TDeviceSync::ScanPc(const std::string& Path, bool Recursive) {
    const fs::path dir = PcPathOf(Path);
    std::vector<fs::path> children;
    std::error_code ec;
    for (const auto& child : fs::directory_iterator(dir, ec))
        children.push_back(child.path());
    if (ec)
        throw EPcFileError("Cannot read the folder \"" + ShownPath(dir) + "\". " + ec.message());
    std::sort(children.begin(), children.end());
    for (const auto& child : children)
        ScanPcEntry(child, Path, Recursive);
}

bool TDeviceSync::ScanPcEntry(const fs::path& Pc, const std::string& Path, bool Recursive) {
    std::error_code ec;
    const bool directory = fs::is_directory(Pc, ec);
    std::string name;
    try {
        name = DeviceNameOf(Pc);
    } catch (const EPcFileError& e) {
        // Not a name the device can hold: it can only be said, and only when it would be sent.
        if (options_.Up) {
            const std::u8string shown = Pc.lexically_relative(options_.PcFolder).u8string();
            SyncItem& item =
                AddItem(DeviceJoin(Path, "?"), directory, SyncAction::Skip, SyncReason::UnsafeName);
            item.Shown.assign(shown.begin(), shown.end());
            item.Error = e.what();
            work_.State.NotMoved.Add(e.what(), Outcome::PcFileError);
        }
        return false;
    }
    if (Path.empty() && !options_.Only.empty() && !options_.Only.count(name)) return false;
    const std::string rel = DeviceJoin(Path, name);
    if (Ignored(rel, directory)) {
        AddItem(rel, directory, SyncAction::Skip, SyncReason::Ignored);
        return false;
    }
    if (options_.Up) {
        // A name that cannot go into a command line is skipped with the reason, and so is what
        // is below it; the rest goes.
        const VerbResult sendable = work_.Verbs.Sendable(DevicePathOf(rel));
        if (!sendable.Ok()) {
            SyncItem& item = AddItem(rel, directory, SyncAction::Skip, SyncReason::UnsafeName);
            item.Shown = Latin1ToUtf8(VisibleText(rel));
            item.Error = sendable.Message();
            work_.State.NotMoved.Add(sendable);
            return false;
        }
    }
    // A link to a folder is not followed: it may lead above the folder and make the tree endless.
    const bool link = directory && fs::is_symlink(Pc, ec);
    if (link && options_.Up) {
        AddItem(rel, true, SyncAction::Skip, SyncReason::Link);
        return false;
    }
    PcFact fact;
    fact.Directory = directory;
    if (!directory) {
        if (!fs::is_regular_file(Pc, ec)) return false;
        fact.Size = fs::file_size(Pc, ec);
        fact.Time = TicksOf(Pc);
    }
    pc_[rel] = fact;
    if (directory && Recursive && !link) ScanPc(rel, true);
    return true;
}

VerbResult TDeviceSync::Stage(const std::set<std::string>& Paths) {
    if (!options_.Up || options_.DryRun || !options_.WriteBeforeListing)
        return VerbResult::Done(options_.DeviceFolder);
    // Only a file the last sync left on the device and that has changed on the PC since: a new
    // one goes straight to its name, as nothing is there to be kept.
    std::vector<std::string> due;
    for (const auto& path : Paths) {
        const auto pc = pc_.find(path);
        if (pc == pc_.end() || pc->second.Directory || reported_.count(path) ||
            staged_.count(path) || !record_.Files.count(path))
            continue;
        VerbResult error;
        if (PcState(path, error) == SideState::Changed && error.Ok()) due.push_back(path);
    }
    // Each copy's name is one its folder lists free: one listing per folder, taken before any
    // copy is written (Paths come sorted, so a folder's files come together as a rule).
    for (const auto& path : due) {
        const VerbResult chosen = work_.Verbs.ChooseBeside(DevicePathOf(path));
        if (chosen.What == Outcome::DeviceGone) {
            DeviceGone = true;
            return chosen;
        }
    }
    for (const auto& path : due) {
        const fs::path file = PcPathOf(path);
        const int64_t time = TicksOf(file); // before the read: a save meanwhile shows next time
        std::string content;
        try {
            content = ReadPcFile(file);
        } catch (const EPcFileError&) {
            continue; // said when it is sent
        }
        work_.State.Host.UploadStarted(DeviceNameOf(file), content.size(), DevicePathOf(path));
        const VerbResult written = work_.Verbs.WriteBeside(DevicePathOf(path), content);
        if (written.What == Outcome::DeviceGone) {
            DeviceGone = true;
            return written;
        }
        // Not taken: sent the usual way, which says why when it fails again.
        if (written.Ok()) staged_[path].File = {content.size(), time, Sha256Hex(content), 0, {}};
    }
    return VerbResult::Done(options_.DeviceFolder);
}

void TDeviceSync::Unstage() {
    for (const auto& [path, staged] : staged_)
        if (!staged.Placed) work_.Verbs.DropBeside(DevicePathOf(path));
    staged_.clear();
}

VerbResult TDeviceSync::ListDevice(const std::string& Path, bool Recursive) {
    std::vector<DeviceDirEntry> entries;
    // A sync that only says what it would do changes nothing on the device, not even a
    // replacement cut short.
    struct Restore {
        bool& flag;
        const bool was;
        ~Restore() { flag = was; }
    } restore{work_.Verbs.FinishReplaces, work_.Verbs.FinishReplaces};
    work_.Verbs.FinishReplaces = restore.was && !options_.DryRun;
    const VerbResult listed = work_.Verbs.List(DevicePathOf(Path), entries);
    if (!listed.Ok()) {
        if (listed.What == Outcome::DeviceGone) DeviceGone = true;
        return listed;
    }
    listedDirs_.insert(Path);
    // A directory that lists is there, and so is every one above it.
    for (std::string dir = Path; !dir.empty(); dir = DeviceParentOf(dir))
        device_[dir].Directory = true;
    for (const auto& e : entries) {
        if (e.Name == "." || e.Name == "..") continue;
        if (Path.empty() && !options_.Only.empty() && !options_.Only.count(e.Name)) continue;
        const bool directory = IsDirectory(e);
        const std::string rel = DeviceJoin(Path, e.Name);
        // The copy written beside a file of this sync is no file of the folder; nor is one a
        // replacement left (both copies kept when it could not tell which is whole): it is
        // neither fetched nor deleted as extra.
        if (!directory && IsBesideCopyName(e.Name)) {
            for (auto& [path, staged] : staged_)
                if (work_.Verbs.BesideOf(DevicePathOf(path)) == DevicePathOf(rel))
                    staged.Listed = e;
            continue;
        }
        if (!SafePcName(e.Name)) {
            // Names from the device are never made into PC paths unless safe, as in get.
            SyncItem& item = AddItem(rel, directory, SyncAction::Skip, SyncReason::UnsafeName);
            item.Error = DevicePathOf(rel) + ": an unsafe name";
            if (!options_.Up) work_.State.NotMoved.Add(item.Error, Outcome::Refused);
            continue;
        }
        if (Ignored(rel, directory)) {
            if (!reported_.count(rel))
                AddItem(rel, directory, SyncAction::Skip, SyncReason::Ignored);
            continue;
        }
        DeviceFact fact;
        fact.Directory = directory;
        fact.Size = e.Size;
        fact.Stamp = StampsOf(e);
        fact.Created = e.Created;
        fact.ReadOnly = !directory && (e.Attr & faReadOnly);
        device_[rel] = fact;
        if (!directory || !Recursive) continue;
        // A folder below that cannot be listed whole leaves the tree unknown: nothing is decided
        // from a shorter one.
        const VerbResult below = ListDevice(rel, true);
        if (!below.Ok()) {
            deviceComplete_ = false;
            return below;
        }
    }
    return VerbResult::Done(Path);
}

VerbResult TDeviceSync::Recheck() {
    SyncOptions again = options_;
    again.WriteBeforeListing = false;
    TDeviceSync now(work_, again);
    if (VerbResult planned = now.Plan(); !planned.Ok()) return planned;
    const auto pcMoved = [&](const std::string& path) {
        const auto was = pc_.find(path), is = now.pc_.find(path);
        if ((was == pc_.end()) != (is == now.pc_.end())) return true;
        return was != pc_.end() &&
               (was->second.Directory != is->second.Directory ||
                was->second.Size != is->second.Size || was->second.Time != is->second.Time);
    };
    const auto deviceMoved = [&](const std::string& path) {
        const auto was = device_.find(path), is = now.device_.find(path);
        if ((was == device_.end()) != (is == now.device_.end())) return true;
        return was != device_.end() &&
               (was->second.Directory != is->second.Directory ||
                was->second.Size != is->second.Size || was->second.Stamp != is->second.Stamp);
    };
    for (SyncItem& item : Items) {
        if (item.Decision.Action == SyncAction::Skip || item.Directory) continue;
        const bool pc = pcMoved(item.Path), device = deviceMoved(item.Path);
        if (!pc && !device) continue;
        const bool source = options_.Up ? pc : device, target = options_.Up ? device : pc;
        item.Decision = {SyncAction::Skip, SyncReason::Conflict, true,
                         source && target ? SyncChange::OnBoth
                         : source         ? SyncChange::AtSource
                                          : SyncChange::AtTarget};
        item.Error = ChangeText(item.Decision.Change, options_.Up) + ", after the preview";
    }
    return VerbResult::Done(options_.DeviceFolder);
}

VerbResult TDeviceSync::Plan() {
    Begin();
    std::error_code ec;
    if (fs::is_directory(options_.PcFolder, ec))
        ScanPc("", true);
    else if (options_.Up || fs::exists(options_.PcFolder, ec))
        return VerbResult::Failed(Outcome::PcFileError, "",
                                  "Cannot open the folder \"" + ShownPath(options_.PcFolder) +
                                      "\". It is not a folder.");
    std::set<std::string> onPc;
    for (const auto& [path, fact] : pc_)
        onPc.insert(path);
    if (const VerbResult staged = Stage(onPc); !staged.Ok()) return staged;
    const VerbResult listed = ListDevice("", true);
    if (!listed.Ok()) {
        if (options_.Up && listed.What == Outcome::NoSuchFile) {
            deviceFolderMissing_ = true;
        } else {
            Unstage();
            VerbResult failed = listed;
            failed.Path = options_.DeviceFolder;
            return failed;
        }
    }
    std::set<std::string> paths;
    for (const auto& [path, fact] : pc_)
        paths.insert(path);
    for (const auto& [path, fact] : device_)
        paths.insert(path);
    Decide(paths);
    if (options_.Only.empty())
        std::erase_if(record_.Files, [&](const auto& entry) {
            return !pc_.count(entry.first) && !device_.count(entry.first);
        });
    return VerbResult::Done(options_.DeviceFolder);
}

VerbResult TDeviceSync::PlanPaths(const std::vector<fs::path>& Paths) {
    Begin();
    // Patterns edited while watching count from the next save on.
    if (std::find(Paths.begin(), Paths.end(), fs::path(".kvbignore")) != Paths.end()) LoadRules();
    std::set<std::string> paths, dirs;
    for (const auto& path : Paths) {
        std::string rel;
        try {
            for (const auto& part : path)
                rel = DeviceJoin(rel, DeviceNameOf(part));
        } catch (const EPcFileError&) {
            continue; // said when the whole folder is synced
        }
        if (rel.empty()) continue;
        const fs::path pc = PcPathOf(rel);
        std::error_code ec;
        for (std::string dir = DeviceParentOf(rel); !dir.empty(); dir = DeviceParentOf(dir))
            pc_[dir].Directory = true;
        if (fs::exists(pc, ec)) {
            if (!ScanPcEntry(pc, DeviceParentOf(rel), true)) continue;
        } else if (Ignored(rel, false)) {
            continue;
        }
        paths.insert(rel);
        dirs.insert(DeviceParentOf(rel));
        if (pc_.count(rel) && pc_[rel].Directory) {
            dirs.insert(rel);
            for (const auto& [below, fact] : pc_)
                if (DeviceBelow(below, rel)) (fact.Directory ? dirs : paths).insert(below);
        }
    }
    if (const VerbResult staged = Stage(paths); !staged.Ok()) return staged;
    // Each directory concerned is listed once; one that is missing is looked for above.
    for (const auto& dir : dirs) {
        for (std::string d = dir;; d = DeviceParentOf(d)) {
            if (listedDirs_.count(d)) break;
            // Only a folder the device shows is not there is looked for above; any other failure
            // leaves its files unknown, and the plan fails.
            const VerbResult listed = ListDevice(d, false);
            if (!listed.Ok() && listed.What != Outcome::NoSuchFile) {
                Unstage();
                return listed;
            }
            if (listed.Ok() || d.empty()) break;
        }
    }
    for (const auto& dir : dirs)
        for (std::string d = dir; !d.empty(); d = DeviceParentOf(d))
            paths.insert(d);
    // A folder gone from the PC whose twin is on the device: everything in that twin is listed
    // and decided on its own, so that the twin goes only when all of it may.
    for (const std::string& gone : std::set<std::string>(paths)) {
        const auto twin = device_.find(gone);
        if (pc_.count(gone) || twin == device_.end() || !twin->second.Directory) continue;
        const VerbResult listed = ListTree(gone);
        if (listed.What == Outcome::DeviceGone) return listed;
        for (const auto& [below, fact] : device_)
            if (DeviceBelow(below, gone)) paths.insert(below);
    }
    Decide(paths);
    return VerbResult::Done(options_.DeviceFolder);
}

VerbResult TDeviceSync::ListTree(const std::string& Path) {
    if (!listedDirs_.count(Path)) {
        const VerbResult listed = ListDevice(Path, true);
        if (!listed.Ok() && listed.What != Outcome::DeviceGone) work_.State.NotMoved.Add(listed);
        return listed;
    }
    // Listed already, perhaps alone: its directories still need their own listings.
    std::vector<std::string> subdirs;
    for (const auto& [below, fact] : device_)
        if (fact.Directory && DeviceParentOf(below) == Path) subdirs.push_back(below);
    for (const auto& dir : subdirs) {
        const VerbResult listed = ListTree(dir);
        if (listed.What == Outcome::DeviceGone) return listed;
    }
    return VerbResult::Done(Path);
}

bool TDeviceSync::ListedWhole(const std::string& Dir) const {
    if (!listedDirs_.count(Dir)) return false;
    for (const auto& [below, fact] : device_)
        if (fact.Directory && DeviceBelow(below, Dir) && !listedDirs_.count(below)) return false;
    return true;
}

SideState TDeviceSync::PcState(const std::string& Path, VerbResult& Error) {
    const auto recorded = record_.Files.find(Path);
    if (recorded == record_.Files.end()) return SideState::Unknown;
    SyncedFile& r = recorded->second;
    const PcFact& f = pc_.at(Path);
    if (f.Size == r.PcSize && f.Time == r.PcTime) return SideState::Unchanged;
    // The time moved (a save without a change, a checkout): the content decides.
    try {
        const std::string hash = Sha256Hex(ReadPcFile(PcPathOf(Path)));
        hashes_[Path] = hash;
        if (hash != r.PcHash) return SideState::Changed;
    } catch (const EPcFileError& e) {
        Error = VerbResult::Failed(Outcome::PcFileError, Path, e.what());
        return SideState::Changed;
    }
    r.PcSize = f.Size;
    r.PcTime = f.Time;
    return SideState::Unchanged;
}

SideState TDeviceSync::DeviceState(const std::string& Path) const {
    const auto recorded = record_.Files.find(Path);
    if (recorded == record_.Files.end()) return SideState::Unknown;
    const DeviceFact& f = device_.at(Path);
    const bool same =
        f.Size == recorded->second.DeviceSize && f.Stamp == recorded->second.DeviceStamp;
    return same ? SideState::Unchanged : SideState::Changed;
}

std::optional<bool> TDeviceSync::SameContent(const std::string& Path, VerbResult& Error) {
    const PcFact& pc = pc_.at(Path);
    const DeviceFact& device = device_.at(Path);
    if (device.Size < 0 || pc.Size != static_cast<uint64_t>(device.Size)) return false;
    // Without a record only the contents tell a copy in step from a change of either side.
    std::string onDevice, onPc;
    const VerbResult read = work_.Verbs.Read(DevicePathOf(Path), onDevice);
    if (!read.Ok()) {
        if (read.What == Outcome::DeviceGone) DeviceGone = true;
        Error = read;
        return std::nullopt;
    }
    try {
        onPc = ReadPcFile(PcPathOf(Path));
    } catch (const EPcFileError& e) {
        Error = VerbResult::Failed(Outcome::PcFileError, Path, e.what());
        return std::nullopt;
    }
    if (onDevice != onPc) return false;
    // The same on both sides: from now on it has a record.
    record_.Files[Path] = {pc.Size, pc.Time, Sha256Hex(onPc), device.Size, device.Stamp};
    return true;
}

void TDeviceSync::Decide(const std::set<std::string>& Paths) {
    const SyncRules rules{options_.DeleteExtra,
                          options_.Force == (options_.Up ? SyncWinner::Pc : SyncWinner::Device),
                          options_.Force == (options_.Up ? SyncWinner::Device : SyncWinner::Pc)};
    std::vector<std::string> extraDirs;
    // Names that differ only in case: the device (as a FAT volume does) or the PC folder (on
    // Windows) may take them for one, so neither is sent onto the other or deleted as extra.
    std::map<std::string, std::vector<std::string>> folded;
    for (const auto& path : Paths)
        folded[AsciiLower(path)].push_back(path);
    for (const auto& path : Paths) {
        if (reported_.count(path) || DeviceGone) continue;
        if (const auto& same = folded[AsciiLower(path)]; same.size() > 1) {
            std::string names;
            for (const auto& each : same)
                names += (names.empty() ? "" : ", ") + each;
            const bool directory = (pc_.count(path) && pc_.at(path).Directory) ||
                                   (device_.count(path) && device_.at(path).Directory);
            SyncItem& item = AddItem(path, directory, SyncAction::Skip, SyncReason::Conflict);
            item.Decision.Unresolved = true;
            item.Error = "names that differ only in case (" + names +
                         "): the device or the PC folder may take them for one";
            continue;
        }
        const auto pc = pc_.find(path);
        const auto device = device_.find(path);
        const bool onPc = pc != pc_.end(), onDevice = device != device_.end();
        if (!onPc && !onDevice) continue;
        const bool pcDir = onPc && pc->second.Directory;
        const bool deviceDir = onDevice && device->second.Directory;
        if (onPc && onDevice && pcDir != deviceDir) {
            SyncItem& item = AddItem(path, false, SyncAction::Skip, SyncReason::Conflict);
            item.Decision.Unresolved = true;
            item.Error = "a file on one side, a directory on the other";
            continue;
        }
        if (pcDir || deviceDir) {
            const bool atSource = options_.Up ? onPc : onDevice;
            const bool atTarget = options_.Up ? onDevice : onPc;
            if (atSource && !atTarget) AddItem(path, true, SyncAction::Send, SyncReason::New);
            if (!atSource && atTarget && options_.DeleteExtra) extraDirs.push_back(path);
            continue;
        }
        VerbResult error;
        const SideState pcState = onPc ? PcState(path, error) : SideState::Absent;
        const SideState deviceState = onDevice ? DeviceState(path) : SideState::Absent;
        std::optional<bool> equal;
        if (onPc && onDevice && pcState == SideState::Unknown) equal = SameContent(path, error);
        const SyncDecision decision = options_.Up ? DecideSync(pcState, deviceState, equal, rules)
                                                  : DecideSync(deviceState, pcState, equal, rules);
        SyncItem& item = AddItem(path, false, decision.Action, decision.Reason);
        item.Decision = decision;
        // The device keeps a file it lists read-only: it is neither replaced nor deleted.
        if (options_.Up && onDevice && device->second.ReadOnly &&
            decision.Action != SyncAction::Skip) {
            item.Decision.Action = SyncAction::Skip;
            item.Error = "it is read-only on the device; it was left as it is";
            work_.State.NotMoved.Add(
                VerbResult::Failed(Outcome::Refused, DevicePathOf(path), item.Error));
        }
        if (!error.Ok()) {
            item.Decision.Action = SyncAction::Skip;
            item.Error = error.Message();
            work_.State.NotMoved.Add(error);
        }
    }
    // A directory only at the target goes when everything in it goes, as a listing of all of it
    // (up: of each directory in it on the device) showed it: nothing ignored, unsafe, changed at
    // the target, or unlisted. Otherwise it stays, with what keeps it named; what in it may go
    // goes file by file all the same.
    std::sort(extraDirs.rbegin(), extraDirs.rend());
    for (const auto& dir : extraDirs) {
        std::string keeps;
        bool kept = options_.Up && !ListedWhole(dir);
        for (const SyncItem& item : Items) {
            if (!DeviceBelow(item.Path, dir) || item.Decision.Action == SyncAction::Delete)
                continue;
            kept = true;
            if (item.Directory && item.Decision.Reason == SyncReason::Extra) continue; // kept too
            keeps +=
                (keeps.empty() ? "" : ", ") + item.Path + (item.Directory ? "/" : "") + " (" +
                (item.Decision.Reason == SyncReason::Conflict ? "changed since the last sync"
                                                              : ReasonName(item.Decision.Reason)) +
                ")";
        }
        if (!kept) {
            AddItem(dir, true, SyncAction::Delete, SyncReason::Extra);
            continue;
        }
        SyncItem& item = AddItem(dir, true, SyncAction::Skip, SyncReason::Extra);
        item.Error =
            keeps.empty() ? "kept: it could not be listed whole" : "kept: it holds " + keeps;
    }
    std::stable_sort(Items.begin(), Items.end(),
                     [](const SyncItem& a, const SyncItem& b) { return a.Path < b.Path; });
}

} // namespace kv
