// What a front end settles about a sync besides its options: the pair's record, and a plan its
// user changed before it runs (items left out, conflicts given to one side).
#include "DeviceSync.h"

#include "PcFiles.h"
#include "SyncPlatform.h"
#include "device/DeviceText.h"

#include <algorithm>
#include <cstdio>

namespace kv {

namespace {

// A device path as the record's first line shows it: "/" for the root, control characters as
// \xHH, the rest as UTF-8.
std::string ShownDeviceFolder(const std::string& Path) {
    if (Path.empty()) return "/";
    return EscapeControls(Latin1ToUtf8(Path), TextForm::Utf8, LineEnds::Escaped);
}

} // namespace

SyncOptions SyncPairOptions(const std::string& Serial, bool Up,
                            const std::filesystem::path& PcFolder,
                            const std::string& DeviceFolder) {
    SyncOptions options;
    options.Up = Up;
    options.PcFolder = PcFolder;
    options.DeviceFolder = DeviceFolder;
    // One record per pair of folders, however they are spelled; one kept under the key of
    // earlier versions is still found.
    options.RecordFile = TSyncRecord::FileFor(UserStateFolder(), Serial, PcFolder, DeviceFolder);
    options.EarlierRecordFile =
        TSyncRecord::EarlierFileFor(UserStateFolder(), Serial, PcFolder, DeviceFolder);
    options.About = "device " + Serial + ", PC folder " +
                    ShownPath(TSyncRecord::CanonicalFolder(PcFolder)) + ", device folder " +
                    ShownDeviceFolder(DeviceFolder);
    return options;
}

void TDeviceSync::Leave(SyncItem& Item) {
    Item.Decision.Action = SyncAction::Skip;
    Item.Decision.Unresolved = false;
}

bool TDeviceSync::ResolveConflict(SyncItem& Item, SyncWinner Winner) {
    if (Item.Decision.Reason != SyncReason::Conflict || !Item.Error.empty() || Item.Directory)
        return false;
    const SyncWinner source = options_.Up ? SyncWinner::Pc : SyncWinner::Device;
    if (Winner == SyncWinner::None) {
        Item.Decision = {SyncAction::Skip, SyncReason::Conflict, true};
    } else if (Winner == source) {
        const bool atSource = options_.Up ? pc_.count(Item.Path) : device_.count(Item.Path);
        Item.Decision = {atSource ? SyncAction::Send : SyncAction::Delete, SyncReason::Conflict,
                         false};
    } else {
        Item.Decision = {SyncAction::Skip, SyncReason::Conflict, false};
    }
    return true;
}

uint64_t TDeviceSync::SourceSize(const SyncItem& Item) const {
    if (options_.Up) {
        const auto pc = pc_.find(Item.Path);
        return pc == pc_.end() ? 0 : pc->second.Size;
    }
    const auto device = device_.find(Item.Path);
    return device == device_.end()
               ? 0
               : static_cast<uint64_t>(std::max<int64_t>(0, device->second.Size));
}

SyncTotals TotalsOf(const std::vector<SyncItem>& Items, bool Planned) {
    SyncTotals totals;
    for (const auto& item : Items) {
        const SyncAction action = item.Decision.Action;
        const bool counted = item.Done || Planned;
        if (counted && action == SyncAction::Send && !item.Directory) ++totals.Sent;
        if (counted && action == SyncAction::Delete) ++totals.Deleted;
        if (item.Decision.Reason == SyncReason::Unchanged) ++totals.Unchanged;
        if (!item.Done && (action != SyncAction::Skip || !item.Error.empty())) ++totals.Left;
    }
    return totals;
}

} // namespace kv
