// For the watch tests: whether a change shows within two seconds.
#pragma once

#include "workflows/SyncPlatform.h"

#include <filesystem>

namespace {

template <typename Change>
bool SeenBy(kv::IFolderWatch& watch, const std::filesystem::path& path, Change change) {
    change();
    std::vector<std::filesystem::path> changed;
    for (int i = 0; i < 20; ++i) {
        if (!watch.Wait(100, changed)) return false;
        for (const auto& c : changed)
            if (c == path) return true;
    }
    return false;
}

} // namespace
