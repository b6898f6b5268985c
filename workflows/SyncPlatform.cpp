#include "SyncPlatform.h"

#include <algorithm>

namespace kv {

std::vector<std::filesystem::path> TQuietPaths::Settled(int64_t NowMs) {
    std::vector<std::filesystem::path> settled;
    for (auto at = due_.begin(); at != due_.end();) {
        if (NowMs >= at->second) {
            settled.push_back(at->first);
            at = due_.erase(at);
        } else {
            ++at;
        }
    }
    return settled;
}

int64_t TQuietPaths::NextInMs(int64_t NowMs) const {
    int64_t next = -1;
    for (const auto& [path, due] : due_) {
        const int64_t left = std::max<int64_t>(0, due - NowMs);
        if (next < 0 || left < next) next = left;
    }
    return next;
}

} // namespace kv
