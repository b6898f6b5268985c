// The sync carried out: each file sent up or down as planned, what is only at the target removed,
// the record kept of what moved whole.
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

// ---- carrying it out ----

void TDeviceSync::Finish(SyncItem& Item, const std::string& Error) {
    Item.Done = Error.empty();
    if (Item.Error.empty()) Item.Error = Error;
    if (OnItem) OnItem(Item);
}

void TDeviceSync::Failed(SyncItem& Item, const VerbResult& Result) {
    if (Result.What == Outcome::DeviceGone) DeviceGone = true;
    work_.State.NotMoved.Add(Result);
    Finish(Item, Result.Message());
}

void TDeviceSync::SaveRecord() {
    if (options_.DryRun || options_.RecordFile.empty()) return;
    record_.Save(options_.RecordFile, options_.About);
}

bool TDeviceSync::SendUp(std::vector<SyncItem*>& Group) {
    struct Sent {
        SyncItem* Item;
        SyncedFile File;
    };
    std::vector<Sent> sent;
    bool goOn = true, placed = false;
    for (SyncItem* item : Group) {
        if (!goOn || work_.State.StopHere()) {
            goOn = false;
            break;
        }
        const fs::path pc = PcPathOf(item->Path);
        const std::string target = DevicePathOf(item->Path);
        // Written beside it before the listing, which showed that copy whole: it takes the name.
        const auto staged = staged_.find(item->Path);
        if (staged != staged_.end() && staged->second.Listed &&
            !IsDirectory(*staged->second.Listed) &&
            static_cast<uint64_t>(staged->second.Listed->Size) == staged->second.File.PcSize) {
            staged->second.Placed = true;
            const auto listed = device_.find(item->Path);
            const VerbResult put = work_.Verbs.PutInPlace(target, listed != device_.end() &&
                                                                      !listed->second.Directory);
            if (!put.Ok()) {
                Failed(*item, put);
                goOn = !DeviceGone;
                continue;
            }
            work_.State.Host.FileMoved(target, pc, false);
            SyncedFile file = staged->second.File;
            file.DeviceSize = staged->second.Listed->Size;
            file.DeviceStamp = StampsOf(*staged->second.Listed);
            record_.Files[item->Path] = file;
            placed = true;
            Finish(*item);
            continue;
        }
        std::string content;
        const int64_t time = TicksOf(pc); // before the read: a save meanwhile shows next time
        try {
            content = ReadPcFile(pc);
        } catch (const EPcFileError& e) {
            work_.State.NotMoved.Add(e.what(), Outcome::PcFileError);
            Finish(*item, e.what());
            continue;
        }
        work_.State.Host.UploadStarted(DeviceNameOf(pc), content.size(), target);
        if (OnStart) OnStart(*item, content.size());
        // The whole listing of the plan says what is there to be replaced.
        const auto listed = device_.find(item->Path);
        const VerbResult written =
            work_.Verbs.Write(target, content, false,
                              listed == device_.end()    ? TargetState::Absent
                              : listed->second.Directory ? TargetState::Unknown
                                                         : TargetState::File);
        if (!written.Ok()) {
            Failed(*item, written);
            goOn = !DeviceGone;
            continue;
        }
        work_.State.Host.FileMoved(target, pc, false);
        sent.push_back({item, {content.size(), time, Sha256Hex(content), 0, {}}});
    }
    if (placed) SaveRecord();
    if (sent.empty()) return goOn && !DeviceGone;
    // One listing of the directory shows each file there whole, with the size and stamp the
    // record keeps; only then does it count as synced.
    std::map<std::string, DeviceDirEntry> stored;
    work_.Verbs.ConfirmUploads(&stored);
    for (auto& [item, file] : sent) {
        const auto listed = stored.find(DevicePathOf(item->Path));
        if (listed == stored.end()) {
            Finish(*item, DevicePathOf(item->Path) + ": the device did not store it");
            continue;
        }
        file.DeviceSize = listed->second.Size;
        file.DeviceStamp = StampsOf(listed->second);
        record_.Files[item->Path] = file;
        Finish(*item);
    }
    SaveRecord();
    if (!work_.Verbs.Connected()) DeviceGone = true;
    return goOn && !DeviceGone;
}

bool TDeviceSync::SendDown(SyncItem& Item) {
    const std::string source = DevicePathOf(Item.Path);
    std::string content;
    if (OnStart)
        OnStart(Item, static_cast<uint64_t>(std::max<int64_t>(0, device_.at(Item.Path).Size)));
    const VerbResult read = work_.Verbs.Read(source, content);
    if (!read.Ok()) {
        Failed(Item, read);
        return !DeviceGone;
    }
    const DeviceFact& device = device_.at(Item.Path);
    const fs::path target = PcPathOf(Item.Path);
    try {
        work_.Save.SaveToPcFile(target, content, device.Created);
    } catch (const EPcFileError& e) {
        work_.State.NotMoved.Add(e.what(), Outcome::PcFileError);
        Finish(Item, e.what());
        return true;
    }
    work_.State.Host.FileMoved(source, target, true);
    record_.Files[Item.Path] = {content.size(), TicksOf(target), Sha256Hex(content), device.Size,
                                device.Stamp};
    SaveRecord();
    Finish(Item);
    return true;
}

bool TDeviceSync::DeleteAtTarget(SyncItem& Item) {
    // A directory goes only once everything in it has gone, each by its own delete.
    const auto gone = [&](const SyncItem& item) {
        return !DeviceBelow(item.Path, Item.Path) ||
               (item.Done && item.Decision.Action == SyncAction::Delete);
    };
    if (Item.Directory && !std::all_of(Items.begin(), Items.end(), gone)) {
        Finish(Item, "kept: not everything in it could be deleted");
        return true;
    }
    if (options_.Up) {
        const VerbResult removed = work_.Verbs.Delete(DevicePathOf(Item.Path), Item.Directory);
        if (!removed.Ok()) {
            Failed(Item, removed);
            return !DeviceGone;
        }
    } else {
        // A PC file goes only when a complete listing of the device showed it absent there.
        if (!deviceComplete_) {
            Finish(Item, "kept: the device's folder could not be listed whole");
            return true;
        }
        std::error_code ec;
        fs::remove(PcPathOf(Item.Path), ec);
        if (ec) {
            const std::string why =
                "Cannot remove \"" + ShownPath(PcPathOf(Item.Path)) + "\". " + ec.message();
            work_.State.NotMoved.Add(why, Outcome::PcFileError);
            Finish(Item, why);
            return true;
        }
    }
    std::erase_if(record_.Files, [&](const auto& entry) {
        return entry.first == Item.Path || DeviceBelow(entry.first, Item.Path);
    });
    Finish(Item);
    return true;
}

void TDeviceSync::Run() {
    if (options_.DryRun) return;
    // However the run ends, the copies written beside files that did not go are removed.
    struct Unstager {
        TDeviceSync& sync;
        ~Unstager() { sync.Unstage(); }
    } unstager{*this};
    std::vector<SyncItem*> dirs, files, deletes;
    for (auto& item : Items) {
        if (item.Decision.Action == SyncAction::Skip)
            Finish(item, item.Error);
        else if (item.Decision.Action == SyncAction::Delete)
            deletes.push_back(&item);
        else
            (item.Directory ? dirs : files).push_back(&item);
    }
    const auto stop = [&] { return DeviceGone || work_.State.StopHere(); };
    // The device folder itself, and each directory above it that is missing.
    if (options_.Up && deviceFolderMissing_) {
        const VerbResult made = work_.Verbs.MakeDirectories(options_.DeviceFolder);
        if (!made.Ok()) {
            if (made.What == Outcome::DeviceGone) DeviceGone = true;
            work_.State.NotMoved.Add(made);
            return;
        }
    }
    for (SyncItem* item : dirs) {
        if (stop()) return;
        if (options_.Up) {
            const VerbResult made = work_.Verbs.MakeDirectory(DevicePathOf(item->Path));
            if (!made.Ok()) {
                Failed(*item, made);
                continue;
            }
        } else {
            std::error_code ec;
            fs::create_directories(PcPathOf(item->Path), ec);
            if (ec) {
                const std::string why = "Cannot create the folder \"" +
                                        ShownPath(PcPathOf(item->Path)) + "\". " + ec.message();
                work_.State.NotMoved.Add(why, Outcome::PcFileError);
                Finish(*item, why);
                continue;
            }
        }
        Finish(*item);
    }
    if (options_.Up) {
        // By directory, so that one listing confirms each directory's files.
        std::stable_sort(files.begin(), files.end(), [](SyncItem* a, SyncItem* b) {
            return DeviceParentOf(a->Path) < DeviceParentOf(b->Path);
        });
        for (size_t begin = 0; begin < files.size();) {
            size_t end = begin;
            while (end < files.size() &&
                   DeviceParentOf(files[end]->Path) == DeviceParentOf(files[begin]->Path))
                ++end;
            std::vector<SyncItem*> group(files.begin() + static_cast<std::ptrdiff_t>(begin),
                                         files.begin() + static_cast<std::ptrdiff_t>(end));
            if (!SendUp(group)) return;
            begin = end;
        }
    } else {
        for (SyncItem* item : files)
            if (stop() || !SendDown(*item)) return;
    }
    // Files before the directories that hold them.
    // Files first, then directories, the deepest first.
    std::stable_sort(deletes.begin(), deletes.end(), [](SyncItem* a, SyncItem* b) {
        if (a->Directory != b->Directory) return b->Directory;
        return a->Directory && a->Path > b->Path;
    });
    for (SyncItem* item : deletes)
        if (stop() || !DeleteAtTarget(*item)) break;
    SaveRecord();
}

} // namespace kv
