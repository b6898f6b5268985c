#include "SyncPlatform.h"

#include <algorithm>

namespace kv {

std::vector<std::filesystem::path> TQuietPaths::Settled(int64_t NowMs) {
    std::vector<std::filesystem::path> settled;
    for (auto at = last_.begin(); at != last_.end();) {
        if (NowMs - at->second >= quietMs_) {
            settled.push_back(at->first);
            at = last_.erase(at);
        } else {
            ++at;
        }
    }
    return settled;
}

int64_t TQuietPaths::NextInMs(int64_t NowMs) const {
    int64_t next = -1;
    for (const auto& [path, when] : last_) {
        const int64_t left = std::max<int64_t>(0, when + quietMs_ - NowMs);
        if (next < 0 || left < next) next = left;
    }
    return next;
}

} // namespace kv
