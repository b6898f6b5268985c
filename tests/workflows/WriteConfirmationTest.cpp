// What the device says after a write's content, through every way of writing: only its result
// format ("N:text") decides on its own; other words, or none, are settled by a listing, and a copy
// that may be whole is never deleted.
#include "support/WorkRig.h"

#include "workflows/DeviceMount.h"
#include "workflows/DeviceSync.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <random>

namespace {

namespace fs = std::filesystem;
using namespace kv;

struct Answer {
    const char* name;
    void (*set)(sim::SimFaults&);
    bool stored; // the write is done and the device holds the new content
};

const Answer kAnswers[] = {
    {"0:No error",
     [](sim::SimFaults& f) {
         f.writeConfirmSet = true;
         f.writeConfirm = "0:No error";
     },
     true},
    {"5:Access denied",
     [](sim::SimFaults& f) {
         f.writeConfirmSet = true;
         f.writeConfirm = "5:Access denied";
     },
     false},
    {"Wrote 5 bytes",
     [](sim::SimFaults& f) {
         f.writeConfirmSet = true;
         f.writeConfirm = "Wrote 5 bytes";
     },
     true},
    {"OK",
     [](sim::SimFaults& f) {
         f.writeConfirmSet = true;
         f.writeConfirm = "OK";
     },
     true},
    {"an empty line",
     [](sim::SimFaults& f) {
         f.writeConfirmSet = true;
         f.writeConfirm.clear();
     },
     true},
    {"no line in time", [](sim::SimFaults& f) { f.writeResultSilent = true; }, true},
    // Other words while the content did not fit whole: the listing shows it is not there.
    {"Done, but cut",
     [](sim::SimFaults& f) {
         f.writeConfirmSet = true;
         f.writeConfirm = "Done";
         f.capacity = 4500;
     },
     false},
    {"a line cut by an unplug", [](sim::SimFaults& f) { f.writeConfirmCut = true; }, false},
};

struct WriteConfirmation : ::testing::Test {
    kvtest::WorkRig rig;
    const std::string next = std::string(5000, 'n');
    void SetUp() override {
        ASSERT_TRUE(rig.connected);
        rig.env.fs->AddFile("/d/old.txt", "old text");
    }
    // What the device holds at path: "new", "old", "missing" or "other".
    std::string Stored(const std::string& path) {
        std::string content;
        if (!rig.env.fs->ReadFile(sim::SplitPath(path), content)) return "missing";
        return content == next ? "new" : content == "old text" ? "old" : "other";
    }
    // No copy of a replacement is left under another name in /d, but where one may be whole.
    int Others() {
        std::vector<sim::SimEntry> entries;
        rig.env.fs->List(sim::SplitPath("/d"), entries);
        int others = 0;
        for (const auto& e : entries)
            others += e.name != "old.txt" && e.name != "new.txt";
        return others;
    }
};

TEST_F(WriteConfirmation, EachAnswerThroughTheFileServiceAndTheVerbs) {
    for (const Answer& answer : kAnswers) {
        SCOPED_TRACE(answer.name);
        rig.env.device->faults = {};
        rig.env.fs->AddFile("/d/old.txt", "old text");
        rig.env.fs->DeleteFile(sim::SplitPath("/d/new.txt"));
        if (!rig.comms.IsConnected()) {
            rig.env.device->Replug();
            ASSERT_TRUE(rig.comms.Connect());
        }
        answer.set(rig.env.device->faults);
        const bool cut = rig.env.device->faults.writeConfirmCut;

        // The file service: a marked refusal is false with the device's line; other words and
        // silence are true and unconfirmed, for a listing to settle.
        const bool written = rig.files.WriteFile("/d/probe.txt", "12345");
        EXPECT_EQ(written, !cut && std::string(answer.name) != "5:Access denied");
        EXPECT_EQ(rig.files.WriteConfirmed(), std::string(answer.name) == "0:No error");
        if (cut) {
            rig.env.device->Replug();
            ASSERT_TRUE(rig.comms.Connect());
            answer.set(rig.env.device->faults);
        }
        rig.env.fs->DeleteFile(sim::SplitPath("/d/probe.txt"));

        // A new file and a replacement through the verb every front end uses.
        const VerbResult created = rig.work.Verbs.Write("/d/new.txt", next);
        EXPECT_EQ(created.Ok(), answer.stored) << created.Message();
        EXPECT_EQ(Stored("/d/new.txt"), answer.stored ? "new" : "missing");
        if (cut) {
            EXPECT_EQ(created.What, Outcome::DeviceGone);
            rig.env.device->Replug();
            ASSERT_TRUE(rig.comms.Connect());
            answer.set(rig.env.device->faults);
        }
        const VerbResult replaced =
            rig.work.Verbs.Write("/d/old.txt", next, true, TargetState::File);
        EXPECT_EQ(replaced.Ok(), answer.stored) << replaced.Message();
        EXPECT_EQ(Stored("/d/old.txt"), answer.stored ? "new" : "old");
        if (!cut) {
            EXPECT_EQ(Others(), 0) << "a cut or refused copy is not left behind";
        }
        if (std::string(answer.name) == "Done, but cut") {
            EXPECT_NE(replaced.Message().find("it said \"Done\""), std::string::npos)
                << replaced.Message();
        }
    }
}

TEST_F(WriteConfirmation, EachAnswerThroughSyncAndTheMount) {
    const fs::path pc =
        fs::temp_directory_path() / ("kv-confirm-" + std::to_string(std::random_device{}()));
    for (const Answer& answer : kAnswers) {
        SCOPED_TRACE(answer.name);
        rig.env.device->faults = {};
        if (!rig.comms.IsConnected()) {
            rig.env.device->Replug();
            ASSERT_TRUE(rig.comms.Connect());
        }
        rig.env.fs->WipeDir(sim::SplitPath("/s"));
        fs::remove_all(pc);
        fs::create_directories(pc);
        std::ofstream(pc / "a.lua", std::ios::binary) << next;
        answer.set(rig.env.device->faults);

        SyncOptions options;
        options.PcFolder = pc;
        options.DeviceFolder = "/s";
        options.RecordFile = pc.string() + ".record";
        TDeviceSync sync(rig.work, options);
        const bool planned = sync.Plan().Ok();
        if (planned) sync.Run();
        bool allDone = planned && sync.Unresolved() == 0;
        for (const SyncItem& item : sync.Items)
            allDone = allDone && item.Done && item.Error.empty();
        EXPECT_EQ(allDone, answer.stored);
        // Cut by an unplug, the device may have stored it whole; only the result is certain.
        if (!rig.env.device->faults.writeConfirmCut) {
            EXPECT_EQ(Stored("/s/a.lua"), answer.stored ? "new" : "missing");
        }
        fs::remove(options.RecordFile);

        if (!rig.comms.IsConnected()) {
            rig.env.device->Replug();
            ASSERT_TRUE(rig.comms.Connect());
            answer.set(rig.env.device->faults);
        }
        TDeviceMount mount(rig.work, "/d", pc / "recovery");
        uint64_t handle = 0;
        ASSERT_EQ(mount.Open("/old.txt", O_WRONLY | O_TRUNC, handle), 0);
        mount.Write(handle, next.data(), next.size(), 0);
        const int flushed = mount.Flush(handle);
        mount.Release(handle);
        EXPECT_EQ(flushed == 0, answer.stored) << flushed;
        EXPECT_EQ(Stored("/d/old.txt"), answer.stored ? "new" : "old");
        rig.env.device->faults = {};
        rig.env.fs->AddFile("/d/old.txt", "old text");
    }
    fs::remove_all(pc);
}

} // namespace
