// The device verbs against the simulated device: the typed result of each, for success and for
// every failure the device can produce.
#include "support/SimFixture.h"
#include "support/WorkRig.h"

#include "workflows/DeviceWork.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <unistd.h>

using namespace kv;

namespace {

struct Recorder : IWorkHost {
    std::string printed;
    void Print(const std::string& Text, MessageStyle) override { printed += Text; }
};

// The entries of a listing without "..", which a device may list or not.
size_t Named(const std::vector<DeviceDirEntry>& entries) {
    return std::count_if(entries.begin(), entries.end(),
                         [](const DeviceDirEntry& e) { return e.Name != ".."; });
}

struct Verbs : ::testing::Test {
    kvtest::SimEnvironment env;
    TkvComms comms;
    TkvTerminal term{comms};
    TkvbFiles files{term};
    Recorder host;
    TDeviceWork work{files, host};
    void SetUp() override {
        env.fs->AddFile("/Lua/main.lua", "print(1)\r\n");
        env.fs->AddFile("/Lua/led driver.lua", "x");
        env.fs->AddFile("/bin.dat", std::string("a\0b", 3));
        ASSERT_TRUE(comms.Connect());
        files.QuotePaths = true;
    }
    std::string Stored(const std::string& path) {
        std::string content;
        return env.fs->ReadFile(sim::SplitPath(path), content) ? content : "<missing>";
    }
};

TEST_F(Verbs, EachVerbSaysItWasDone) {
    std::vector<DeviceDirEntry> entries;
    EXPECT_TRUE(work.Verbs.List("/Lua", entries).Ok());
    EXPECT_EQ(Named(entries), 2u) << "the two files";
    DeviceDirEntry entry;
    EXPECT_TRUE(work.Verbs.Find("/Lua", entry).Ok());
    EXPECT_TRUE(IsDirectory(entry));
    std::string content;
    EXPECT_TRUE(work.Verbs.Read("/Lua/main.lua", content).Ok());
    EXPECT_TRUE(work.Verbs.Write("/Lua/new.lua", "n = 1").Ok());
    EXPECT_EQ(Stored("/Lua/new.lua"), "n = 1");
    EXPECT_TRUE(work.Verbs.NewFile("/Lua/empty.txt").Ok());
    EXPECT_TRUE(work.Verbs.NewFile("/Lua/new.lua").Ok()) << "an existing file is left as it is";
    EXPECT_EQ(Stored("/Lua/new.lua"), "n = 1");
    EXPECT_TRUE(work.Verbs.MakeDirectory("/Docs").Ok());
    EXPECT_TRUE(work.Verbs.Rename("/Lua/new.lua", "old.lua").Ok());
    EXPECT_TRUE(work.Verbs.Delete("/Lua/old.lua", false).Ok());
    EXPECT_TRUE(work.Verbs.Delete("/Docs", true).Ok());
    std::string plain, why;
    bool crlf = false;
    EXPECT_TRUE(work.Verbs.EditorRead("/Lua/main.lua", plain, crlf, why).Ok());
    EXPECT_EQ(plain, "print(1)\n");
    EXPECT_TRUE(crlf);
    EXPECT_TRUE(work.Verbs.EditorWrite("/Lua/main.lua", "print(2)\n", crlf).Ok());
    EXPECT_EQ(Stored("/Lua/main.lua"), "print(2)\r\n");
    EXPECT_TRUE(work.Verbs.EditorRead("/bin.dat", plain, crlf, why).Ok());
    EXPECT_EQ(why, "it holds NUL bytes");
}

TEST_F(Verbs, FailuresSayWhatHappened) {
    std::string content;
    EXPECT_EQ(work.Verbs.Read("/Lua/nope", content).What, Outcome::NoSuchFile);
    EXPECT_EQ(work.Verbs.Read("/Lua", content).What, Outcome::IsDirectory);
    DeviceDirEntry entry;
    EXPECT_EQ(work.Verbs.Find("/No/such", entry).What, Outcome::NoSuchFile);
    // The device's own words come with a refusal.
    const VerbResult renamed = work.Verbs.Rename("/Lua/led driver.lua", "main.lua");
    EXPECT_EQ(renamed.What, Outcome::Refused);
    EXPECT_FALSE(renamed.Reply.empty());
    EXPECT_NE(renamed.Message().find(renamed.Reply), std::string::npos) << renamed.Message();
    EXPECT_EQ(work.Verbs.MakeDirectory("/Lua").What, Outcome::Refused);
    EXPECT_EQ(work.Verbs.Delete("/Lua/nope", false).What, Outcome::Refused);
    // A name the device takes the content for and does not store: its result says so, or, when
    // it says nothing after the content, its listing shows it.
    VerbResult stored = work.Verbs.Write("/Lua/q?.lua", "x=1");
    EXPECT_EQ(stored.Message(),
              "/Lua/q?.lua: the device refused it: \"10:Invalid name\"; no file was replaced");
    env.device->faults.writeResultSilent = true;
    stored = work.Verbs.Write("/Lua/q?.lua", "x=1");
    EXPECT_EQ(stored.Message(), "/Lua/q?.lua: the device did not store it; no file was replaced");
    EXPECT_EQ(work.Verbs.NewFile("/Lua/star*.lua").What, Outcome::Refused);
    EXPECT_TRUE(work.Verbs.Write("/Lua/silent.lua", "s").Ok()) << "the listing shows it whole";
    EXPECT_EQ(Stored("/Lua/silent.lua"), "s");
    env.device->faults.writeResultSilent = false;
    EXPECT_EQ(work.Verbs.NewFile("/Lua").What, Outcome::IsDirectory);
    // Content cut short, both ways.
    env.fs->AddFile("/long.bin", std::string(9000, 'l'));
    env.device->faults.downloadStallAfter = 100;
    EXPECT_EQ(work.Verbs.Read("/long.bin", content).What, Outcome::NotWhole);
    env.device->faults.downloadStallAfter = -1;
    env.device->faults.uploadAbortAfter = 5000;
    EXPECT_EQ(work.Verbs.Write("/big.bin", std::string(20000, 'b')).What, Outcome::NotWhole);
    env.device->faults.uploadAbortAfter = -1;
    // Uploads confirmed together: only the one that is not there is reported.
    EXPECT_TRUE(work.Verbs.Write("/Lua/a.lua", "a", false).Ok());
    EXPECT_TRUE(work.Verbs.Write("/Lua/b.lua", "b", false).Ok());
    env.fs->DeleteFile(sim::SplitPath("/Lua/b.lua"));
    EXPECT_EQ(work.Verbs.ConfirmUploads(), 1);
    EXPECT_EQ(work.State.NotMoved.Lines(),
              std::vector<std::string>{"/Lua/b.lua: the device did not store it"});
    // The device gone: every verb says so.
    env.device->Unplug();
    EXPECT_EQ(work.Verbs.Read("/Lua/main.lua", content).What, Outcome::DeviceGone);
    EXPECT_EQ(work.Verbs.Delete("/Lua/main.lua", false).What, Outcome::DeviceGone);
    EXPECT_EQ(work.Verbs.Write("/x", "x").What, Outcome::DeviceGone);
}

// A listing counts as the folder only when it ended as listings end; cut anywhere, by an unplug
// or by silence, it is a failure that says which, and never "no such folder".
TEST_F(Verbs, AListingCutAtAnyLineIsNeverTheWholeFolder) {
    for (int i = 0; i < 6; ++i)
        env.fs->AddFile("/Lua/f" + std::to_string(i) + ".lua", "x");
    std::vector<DeviceDirEntry> entries;
    ASSERT_TRUE(work.Verbs.List("/Lua", entries).Ok());
    const size_t whole = entries.size();
    // The lines before the prompt, as this device words its listing (header, entries, the end
    // line, its trailer): a cut after any of them.
    env.device->faults.listingLinesLeft = 1000;
    ASSERT_TRUE(work.Verbs.List("/Lua", entries).Ok());
    const int total = 1000 - env.device->faults.listingLinesLeft;
    ASSERT_GE(total, 10);
    for (const bool unplug : {false, true})
        for (int lines = 0; lines <= total; ++lines) {
            SCOPED_TRACE((unplug ? "unplugged after " : "silent after ") + std::to_string(lines));
            env.device->faults.listingLinesLeft = lines;
            env.device->faults.listingCutUnplugs = unplug;
            const VerbResult listed = work.Verbs.List("/Lua", entries);
            EXPECT_EQ(listed.What, unplug ? Outcome::DeviceGone : Outcome::NotWhole);
            EXPECT_LE(entries.size(), whole) << "what arrived is there to be shown";
            env.device->faults.listingLinesLeft = -1;
            if (unplug) {
                env.device->Replug();
                ASSERT_TRUE(comms.Connect());
            }
            // The next command finds a clean console.
            EXPECT_TRUE(work.Verbs.List("/Lua", entries).Ok());
            EXPECT_EQ(entries.size(), whole);
        }
    // Refused listings: a folder that is not there, a file, and the device's words otherwise.
    EXPECT_EQ(work.Verbs.List("/Nope", entries).What, Outcome::NoSuchFile);
    EXPECT_EQ(work.Verbs.List("/Nope/deeper", entries).What, Outcome::NoSuchFile);
    const VerbResult file = work.Verbs.List("/Lua/main.lua", entries);
    EXPECT_EQ(file.What, Outcome::Refused);
    EXPECT_EQ(file.Message(), "/Lua/main.lua: it is a file, not a directory");
    env.device->faults.silent = true;
    EXPECT_EQ(work.Verbs.List("/Lua", entries).What, Outcome::NotWhole);
    DeviceDirEntry entry;
    EXPECT_EQ(work.Verbs.Find("/Lua/main.lua", entry).What, Outcome::NotWhole);
}

// After a download that lost a report, its late bytes (holding prompt marks) never become the
// reply of the next command.
TEST_F(Verbs, TheRestOfACutDownloadIsNotTheNextReply) {
    std::string tail;
    for (int i = 0; i < 40; ++i)
        tail += "\xBB\r\n\xAB";
    env.fs->AddFile("/Lua/marks.bin", std::string(7000, 'm') + tail);
    env.device->faults.loseReport = int64_t(env.device->reportsSent) + 40;
    std::string content;
    EXPECT_EQ(work.Verbs.Read("/Lua/marks.bin", content).What, Outcome::NotWhole);
    env.device->faults.loseReport = -1;
    std::vector<DeviceDirEntry> entries;
    EXPECT_TRUE(work.Verbs.List("/Lua", entries).Ok());
    EXPECT_EQ(Named(entries), 3u);
    EXPECT_TRUE(work.Verbs.Read("/Lua/main.lua", content).Ok());
    EXPECT_EQ(content, "print(1)\r\n");
}

// A file is replaced only by a whole new one: written beside it, renamed into place. A write the
// device refuses after the content is not done, and the old file stays.
TEST_F(Verbs, AReplacementTakesTheNameOnlyWhenWholeAndARefusalIsNotDone) {
    env.device->commands.clear();
    ASSERT_TRUE(work.Verbs.Write("/Lua/main.lua", "print(3)").Ok());
    EXPECT_EQ(Stored("/Lua/main.lua"), "print(3)");
    const std::vector<std::string> replaced(env.device->commands.begin(),
                                            env.device->commands.end());
    auto sent = [&](const std::string& word) {
        return std::count_if(replaced.begin(), replaced.end(),
                             [&](const std::string& c) { return c.rfind(word, 0) == 0; });
    };
    EXPECT_EQ(sent("NFWRITE \"/Lua/main.lua.kvbnew\"\t8\tw"), 1);
    EXPECT_EQ(sent("NFDEL \"/Lua/main.lua\""), 1);
    EXPECT_EQ(sent("NFRENAME \"/Lua/main.lua.kvbnew\" \"main.lua\""), 2);

    // Read-only on the device, of the same size: refused in the device's words, kept.
    sim::SimEntry ro;
    ro.name = "ro.lua";
    ro.size = 3;
    ro.attr = sim::kAttrArchive | sim::kAttrReadOnly;
    env.fs->AddRawEntry("/Lua", ro, "old");
    VerbResult refused = work.Verbs.Write("/Lua/ro.lua", "new");
    EXPECT_EQ(refused.What, Outcome::Refused);
    EXPECT_EQ(Stored("/Lua/ro.lua"), "old");
    // Nor on a device that would let it go: the listing shows it read-only.
    sim::SimEntry shown;
    ASSERT_TRUE(env.fs->Stat(sim::SplitPath("/Lua/ro.lua"), shown));
    std::vector<DeviceDirEntry> entries;
    ASSERT_TRUE(work.Verbs.List("/Lua", entries).Ok());
    refused = work.Verbs.Write("/Lua/ro.lua", "new", true, TargetState::File);
    EXPECT_EQ(refused.What, Outcome::Refused);
    EXPECT_EQ(refused.Detail, "it is read-only on the device; it was not replaced");
    EXPECT_EQ(Stored("/Lua/ro.lua"), "old");

    // A full device: the new content does not fit beside the old; the old stays whole.
    env.device->faults.capacity = 200 * 1024;
    env.fs->AddFile("/Lua/cfg.lua", "good = true");
    env.fs->AddFile("/filler.bin", std::string(150 * 1024, 'f'));
    const VerbResult full = work.Verbs.Write("/Lua/cfg.lua", std::string(72 * 1024, 'n'));
    EXPECT_FALSE(full.Ok());
    EXPECT_NE(full.Message().find("no file was replaced"), std::string::npos) << full.Message();
    EXPECT_EQ(Stored("/Lua/cfg.lua"), "good = true");
    EXPECT_EQ(Stored("/Lua/cfg.lua.kvbnew"), "<missing>") << "the cut copy is not left behind";
    EXPECT_EQ(Stored("/Lua/ro.lua.kvbnew"), "<missing>");
    // What fits still goes.
    EXPECT_TRUE(work.Verbs.Write("/Lua/cfg.lua", std::string(20 * 1024, 'n')).Ok());

    // A user's own file of the usual beside name is neither written over nor deleted.
    env.fs->AddFile("/Lua/main.lua.kvbnew", "mine");
    env.clock.AdvanceMs(1500); // the program's last listing is no longer taken as the folder
    ASSERT_TRUE(work.Verbs.Write("/Lua/main.lua", "print(6)").Ok());
    EXPECT_EQ(Stored("/Lua/main.lua"), "print(6)");
    EXPECT_EQ(Stored("/Lua/main.lua.kvbnew"), "mine");
    env.fs->DeleteFile(sim::SplitPath("/Lua/main.lua.kvbnew"));

    // A replace cut after the old file went: the next listing of the folder finishes it.
    env.fs->AddFile("/Lua/cut.lua.kvbnew", "whole new content");
    ASSERT_TRUE(work.Verbs.List("/Lua", entries).Ok());
    EXPECT_EQ(Stored("/Lua/cut.lua"), "whole new content");
    EXPECT_EQ(Stored("/Lua/cut.lua.kvbnew"), "<missing>");
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(),
                            [](const DeviceDirEntry& e) { return e.Name == "cut.lua"; }));
    EXPECT_NE(host.printed.find("/Lua/cut.lua: a replacement cut short was finished"),
              std::string::npos);

    // A rename into place whose result comes after its wait: the listing shows it took place,
    // and the new file under the name is not taken for the old one and deleted.
    env.device->faults = {};
    env.device->faults.renameReplyMs = 1500;
    for (const char* path : {"/Lua/fresh.lua", "/Lua/main.lua"}) {
        const VerbResult late = work.Verbs.Write(path, "print(5)", true, TargetState::Unknown);
        EXPECT_TRUE(late.Ok()) << late.Message();
        EXPECT_EQ(Stored(path), "print(5)");
        EXPECT_EQ(Stored(path + std::string(".kvbnew")), "<missing>");
    }
}

// What the device just showed or confirmed is not asked again: a write it confirmed with its
// result is not listed after, and a lookup right after a whole listing of its folder takes the
// entry from it. Once anything went to the device, or a moment passed, it is asked afresh.
TEST_F(Verbs, NothingIsListedAgainThatTheDeviceJustShowedOrConfirmed) {
    env.device->faults.dialect = 1; // it confirms each write in its result format
    env.device->commands.clear();
    ASSERT_TRUE(work.Verbs.Write("/Lua/new.lua", "n", true, TargetState::Absent).Ok());
    ASSERT_TRUE(work.Verbs.Write("/Lua/main.lua", "print(4)", true, TargetState::File).Ok());
    // The replacement's folder is listed for a free name beside it (a write went since the
    // caller's listing).
    EXPECT_EQ(env.device->commands,
              (std::vector<std::string>{"NFWRITE \"/Lua/new.lua\"\t1\tw", "NFDIR @\"/Lua\"",
                                        "NFWRITE \"/Lua/main.lua.kvbnew\"\t8\tw",
                                        "NFDEL \"/Lua/main.lua\"",
                                        "NFRENAME \"/Lua/main.lua.kvbnew\" \"main.lua\""}));
    EXPECT_EQ(Stored("/Lua/main.lua"), "print(4)");
    const auto listings = [&] {
        return std::count_if(env.device->commands.begin(), env.device->commands.end(),
                             [](const std::string& c) { return c.rfind("NFDIR", 0) == 0; });
    };
    env.device->commands.clear();
    std::vector<DeviceDirEntry> entries;
    DeviceDirEntry entry;
    ASSERT_TRUE(work.Verbs.List("/Lua", entries).Ok());
    ASSERT_TRUE(work.Verbs.Find("/Lua/new.lua", entry).Ok());
    EXPECT_EQ(entry.Size, 1);
    EXPECT_EQ(listings(), 1);
    // A command since: the folder is listed again and shows what it made.
    ASSERT_TRUE(work.Verbs.MakeDirectory("/Lua/made").Ok());
    ASSERT_TRUE(work.Verbs.Find("/Lua/made", entry).Ok());
    EXPECT_TRUE(IsDirectory(entry));
    EXPECT_EQ(listings(), 2);
    // A moment later the device may have changed it on its own.
    env.fs->AddFile("/Lua/late.lua", "l");
    env.clock.AdvanceMs(1500);
    EXPECT_TRUE(work.Verbs.Find("/Lua/late.lua", entry).Ok());
    EXPECT_EQ(listings(), 3);
    // A lookup in another folder lists that one.
    EXPECT_EQ(work.Verbs.Find("/bin.dat", entry).What, Outcome::Done);
    EXPECT_EQ(listings(), 4);

    // A tree into a folder made now: the folders in it are made without looking for them.
    const std::filesystem::path pc =
        std::filesystem::temp_directory_path() / ("kv-verbs-tree-" + std::to_string(::getpid()));
    for (const char* name : {"one/a.lua", "two/b.lua", "two/three/c.lua"}) {
        std::filesystem::create_directories((pc / name).parent_path());
        std::ofstream(pc / name) << name;
    }
    env.device->commands.clear();
    env.clock.AdvanceMs(1500); // the root's listing above is not taken for the tree's
    work.Uploads.UploadTree(pc, "/tree");
    EXPECT_EQ(listings(), 1) << "only the root, for /tree";
    EXPECT_EQ(work.Verbs.ConfirmUploads(), 0);
    EXPECT_EQ(Stored("/tree/two/three/c.lua"), "two/three/c.lua");
    std::filesystem::remove_all(pc);
}

} // namespace

// A replacement cut by an unplug at any moment, in steps of the link's time: the next listing
// after the device is back leaves the file's old content or its new one, whole, under its name;
// done only when it is the new one; and no copy beside it but one named in the failure.
TEST(ReplaceCut, AtEveryStepTheNextListingLeavesTheOldOrTheNewWhole) {
    const std::string old = "old " + std::string(3000, 'o'),
                      fresh = "new " + std::string(5000, 'n');
    int64_t span = 0;
    int cuts = 0, finished = 0;
    for (int64_t at = 0; at == 0 || at <= span; at += 4) {
        SCOPED_TRACE("unplugged after " + std::to_string(at) + " ms");
        kvtest::WorkRig rig;
        ASSERT_TRUE(rig.connected);
        auto& fs = *rig.env.fs;
        fs.AddFile("/p/a.lua", old);
        std::vector<DeviceDirEntry> entries;
        ASSERT_TRUE(rig.work.Verbs.List("/p", entries).Ok());
        const int64_t start = rig.env.clock.NowMs();
        if (at > 0) rig.env.device->ScheduleUnplug(at, 3000);
        const VerbResult written = rig.work.Verbs.Write("/p/a.lua", fresh, true, TargetState::File);
        if (at == 0) {
            ASSERT_TRUE(written.Ok()) << written.Message();
            span = rig.env.clock.NowMs() - start;
            continue;
        }
        if (!written.Ok()) ++cuts;
        rig.env.clock.AdvanceMs(3500);
        ASSERT_TRUE(rig.comms.Connect());
        const size_t printed = rig.host.printed.size();
        ASSERT_TRUE(rig.work.Verbs.List("/p", entries).Ok());
        finished += rig.host.printed.size() > printed;
        std::string content;
        ASSERT_TRUE(fs.ReadFile(sim::SplitPath("/p/a.lua"), content)) << written.Message();
        EXPECT_TRUE(content == old || content == fresh) << content.size() << " bytes";
        if (written.Ok()) {
            EXPECT_EQ(content, fresh);
        }
        for (const auto& entry : entries) {
            if (entry.Name == "a.lua" || entry.Name == "..") continue;
            EXPECT_NE(written.Message().find(entry.Name), std::string::npos)
                << entry.Name << " left, unnamed: " << written.Message();
        }
    }
    EXPECT_GT(cuts, 5) << "the unplugs fell within the replacement";
    std::printf("[ replace cut ] %lld ms, %d cuts, %d finished by the next listing\n",
                static_cast<long long>(span), cuts, finished);
}
