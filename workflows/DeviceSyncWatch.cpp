#include "DeviceSyncWatch.h"

#include <algorithm>

namespace kv {

TSyncWatch::TSyncWatch(TDeviceSync& Sync, IFolderWatch& Watch, bool WholeFirst,
                       std::function<int64_t()> NowMs, int64_t QuietMs, int64_t FinishedMs)
    : sync_(Sync), watch_(Watch), whole_(WholeFirst), now_(std::move(NowMs)),
      quiet_(QuietMs, FinishedMs < 0 ? QuietMs : FinishedMs) {}

int TSyncWatch::WaitMs(int MaxMs) const {
    const int64_t next = quiet_.NextInMs(now_());
    return next < 0 ? MaxMs : static_cast<int>(std::min<int64_t>(next, MaxMs));
}

void TSyncWatch::TakeChanges(int WaitMs) {
    std::vector<FolderChange> changed;
    if (!watch_.Wait(WaitMs, changed)) whole_ = true;
    for (const auto& change : changed)
        quiet_.Changed(change.Path, now_(), change.Finished);
    for (auto& path : quiet_.Settled(now_()))
        pending_.push_back(std::move(path));
}

VerbResult TSyncWatch::RunPass() {
    const VerbResult planned = whole_ ? sync_.Plan() : sync_.PlanPaths(pending_);
    if (planned.Ok()) sync_.Run();
    std::vector<std::filesystem::path> failed;
    for (const SyncItem& item : sync_.Items) {
        if (item.Directory) continue;
        if (item.Done && item.Decision.Action == SyncAction::Send) {
            ++sent_;
            lastSentMs_ = now_();
        } else if (item.Decision.Unresolved) {
            ++conflicts_;
        } else if (!item.Done && item.Decision.Action != SyncAction::Skip) {
            ++failed_;
            failed.push_back(sync_.PcPathOf(item.Path).lexically_relative(sync_.PcPathOf("")));
        }
    }
    // Kept until the device took them: sent again once it is back.
    away_ = sync_.DeviceGone || planned.What == Outcome::DeviceGone;
    if (away_) return planned;
    // A path whose send failed is tried once more with the next pass; a path that failed
    // twice waits for its next change.
    pending_.clear();
    for (auto& path : failed)
        if (std::find(retry_.begin(), retry_.end(), path) == retry_.end()) pending_.push_back(path);
    retry_ = std::move(failed);
    whole_ = false;
    return planned;
}

} // namespace kv
