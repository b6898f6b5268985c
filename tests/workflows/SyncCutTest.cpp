// A sync whose listings are cut at any line, by an unplug or by silence, never deletes or
// overwrites a file, on either side, that the same sync with whole listings would keep.
#include "support/WorkRig.h"

#include "workflows/DeviceSync.h"
#include "workflows/PcFiles.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <set>

namespace {

namespace fs = std::filesystem;
using namespace kv;
using Snapshot = std::map<std::string, std::string>; // "dev:/p/a.lua" or "pc:a.lua" -> content

// One device with a project synced down once, then changed on both sides.
struct Rig : kvtest::WorkRig {
    fs::path root, pc, record;

    explicit Rig(const fs::path& folder) : root(folder), pc(folder / "pc"), record(folder / "rec") {
        fs::remove_all(root);
        fs::create_directories(pc);
        for (const char* name : {"a.lua", "b.lua", "c.lua", "sub/d.lua", "sub/e.lua"})
            env.fs->AddFile(std::string("/p/") + name, std::string("old ") + name);
        EXPECT_TRUE(connected);
        EXPECT_TRUE(Sync(false, false)) << "the first sync down";
        // The PC edits a.lua, removes c.lua and adds n.lua; the device edits b.lua and gains x.lua.
        Spit(pc / "a.lua", "new a.lua, longer");
        fs::remove(pc / "c.lua");
        Spit(pc / "n.lua", "new n.lua");
        env.fs->WriteFile(sim::SplitPath("/p/b.lua"), "device's new b.lua", 0);
        env.fs->AddFile("/p/sub/x.lua", "device's x.lua");
    }
    static void Spit(const fs::path& file, const std::string& text) {
        std::ofstream(file, std::ios::binary) << text;
    }
    bool stage = false; // what changed goes beside its old self before the listings
    bool Sync(bool up, bool deleteExtra) {
        SyncOptions options;
        options.Up = up;
        options.WriteBeforeListing = stage;
        options.PcFolder = pc;
        options.DeviceFolder = "/p";
        options.DeleteExtra = deleteExtra;
        options.RecordFile = record;
        TDeviceSync sync(work, options);
        if (!sync.Plan().Ok()) return false;
        sync.Run();
        return !sync.DeviceGone;
    }
    Snapshot Take() {
        Snapshot shot;
        std::function<void(const sim::SimPath&)> walk = [&](const sim::SimPath& dir) {
            std::vector<sim::SimEntry> entries;
            env.fs->List(dir, entries);
            for (const auto& e : entries) {
                sim::SimPath path = dir;
                path.push_back(e.name);
                if (e.IsDir()) {
                    walk(path);
                    continue;
                }
                std::string content, shown;
                env.fs->ReadFile(path, content);
                for (const auto& part : path)
                    shown += "/" + part;
                shot["dev:" + shown] = content;
            }
        };
        walk({});
        for (const auto& e : fs::recursive_directory_iterator(pc))
            if (e.is_regular_file())
                shot["pc:" + e.path().lexically_relative(pc).generic_string()] =
                    ReadPcFile(e.path());
        return shot;
    }
};

TEST(SyncCut, NoFileGoesOrIsOverwrittenThatWholeListingsWouldKeep) {
    const fs::path folder =
        fs::path(::testing::TempDir()) / ("kv-synccut-" + std::to_string(::getpid()));
    for (const int way : {0, 1, 2}) // up, up with writes before the listings, down
        for (const bool deleteExtra : {false, true}) {
            const bool up = way < 2, stage = way == 1;
            Snapshot before, whole;
            {
                Rig rig(folder);
                rig.stage = stage;
                before = rig.Take();
                EXPECT_TRUE(rig.Sync(up, deleteExtra));
                whole = rig.Take();
            }
            for (const bool unplug : {false, true})
                for (int lines = 0; lines < 60; ++lines) {
                    SCOPED_TRACE(std::string(up ? "up" : "down") + (stage ? " staged" : "") +
                                 (deleteExtra ? " --delete" : "") +
                                 (unplug ? ", unplugged" : ", silent") + " after line " +
                                 std::to_string(lines));
                    Rig rig(folder);
                    rig.stage = stage;
                    rig.env.device->faults.listingLinesLeft = lines;
                    rig.env.device->faults.listingCutUnplugs = unplug;
                    rig.Sync(up, deleteExtra);
                    const bool cut = rig.env.device->faults.listingLinesLeft == 0;
                    rig.env.device->faults.listingLinesLeft = -1;
                    rig.env.device->Replug();
                    const Snapshot after = rig.Take();
                    // Each file stands as it was before, or as the whole sync leaves it.
                    std::set<std::string> paths;
                    for (const Snapshot* shot :
                         std::initializer_list<const Snapshot*>{&before, &whole, &after})
                        for (const auto& [path, content] : *shot)
                            paths.insert(path);
                    for (const auto& path : paths) {
                        if (path.ends_with(".kvbnew")) continue; // whole, beside its old self
                        const auto state = [&](const Snapshot& s) {
                            const auto it = s.find(path);
                            return it == s.end() ? std::string("<absent>") : it->second;
                        };
                        EXPECT_TRUE(state(after) == state(before) || state(after) == state(whole))
                            << path << " is " << state(after) << ", was " << state(before)
                            << ", whole listings give " << state(whole);
                    }
                    if (!cut) break; // the sync has fewer listing lines than this
                }
        }
    fs::remove_all(folder);
}

} // namespace
