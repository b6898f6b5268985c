// inotify watches one directory at a time: those that were there before the watch began are
// watched too.
#include "SyncWatch.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
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

// A file closed after writing has finished its write; one still open for writing has not, and
// neither has a file just made: its content is still to come.
TEST(InotifyWatch, SaysWhetherAWriteFinished) {
    const fs::path dir =
        fs::temp_directory_path() / ("kv-watch-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    {
        const auto watch = kv::WatchFolder(dir);
        const auto last = [&](const fs::path& path) {
            std::vector<kv::FolderChange> changes;
            std::optional<bool> finished;
            // Until the path shows, then what else comes at once.
            for (int i = 0; i < 40; ++i) {
                EXPECT_TRUE(watch->Wait(finished ? 20 : 50, changes));
                const bool seen = finished.has_value();
                for (const auto& change : changes)
                    if (change.Path == path) finished = change.Finished;
                if (seen && changes.empty()) break;
                changes.clear();
            }
            return finished;
        };
        std::ofstream open(dir / "open.lua");
        open << "still writing" << std::flush;
        EXPECT_EQ(last("open.lua"), false);
        open.close();
        EXPECT_EQ(last("open.lua"), true);
        { std::ofstream(dir / "saved.lua") << "saved"; }
        EXPECT_EQ(last("saved.lua"), true);
        fs::rename(dir / "saved.lua", dir / "moved.lua");
        EXPECT_EQ(last("moved.lua"), true);
        std::ofstream made(dir / "made.lua");
        EXPECT_EQ(last("made.lua"), false);
    }
    fs::remove_all(dir);
}

} // namespace
