// inotify watches one directory at a time: those that were there before the watch began are
// watched too.
#include "SyncWatch.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

namespace {

namespace fs = std::filesystem;

TEST(InotifyWatch, FoldersThatWereThereBeforeAreWatched) {
    const fs::path dir =
        fs::temp_directory_path() / ("kv-watch-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir / "old/deeper");
    {
        const auto watch = kv::WatchFolder(dir);
        EXPECT_TRUE(SeenBy(*watch, fs::path("old/deeper/a.lua"),
                           [&] { std::ofstream(dir / "old/deeper/a.lua") << "a"; }));
        EXPECT_TRUE(SeenBy(*watch, fs::path("old/deeper/a.lua"),
                           [&] { fs::remove(dir / "old/deeper/a.lua"); }));
    }
    fs::remove_all(dir);
}

} // namespace
