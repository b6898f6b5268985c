// The device verbs against the simulated device: the typed result of each, for success and for
// every failure the device can produce.
#include "support/SimFixture.h"

#include "workflows/DeviceWork.h"

#include <gtest/gtest.h>

using namespace kv;

namespace {

struct Recorder : IWorkHost {
    std::string printed;
    void Print(const std::string& Text, MessageStyle) override { printed += Text; }
};

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
    EXPECT_TRUE(work.List("/Lua", entries).Ok());
    EXPECT_EQ(entries.size(), 3u) << "\"..\" and the two files";
    DeviceDirEntry entry;
    EXPECT_TRUE(work.Find("/Lua", entry).Ok());
    EXPECT_TRUE(IsDirectory(entry));
    std::string content;
    EXPECT_TRUE(work.Read("/Lua/main.lua", content).Ok());
    EXPECT_TRUE(work.Write("/Lua/new.lua", "n = 1").Ok());
    EXPECT_EQ(Stored("/Lua/new.lua"), "n = 1");
    EXPECT_TRUE(work.NewFile("/Lua/empty.txt").Ok());
    EXPECT_TRUE(work.NewFile("/Lua/new.lua").Ok()) << "an existing file is left as it is";
    EXPECT_EQ(Stored("/Lua/new.lua"), "n = 1");
    EXPECT_TRUE(work.MakeDirectory("/Docs").Ok());
    EXPECT_TRUE(work.Rename("/Lua/new.lua", "old.lua").Ok());
    EXPECT_TRUE(work.Delete("/Lua/old.lua", false).Ok());
    EXPECT_TRUE(work.Delete("/Docs", true).Ok());
    std::string plain, why;
    bool crlf = false;
    EXPECT_TRUE(work.EditorRead("/Lua/main.lua", plain, crlf, why).Ok());
    EXPECT_EQ(plain, "print(1)\n");
    EXPECT_TRUE(crlf);
    EXPECT_TRUE(work.EditorWrite("/Lua/main.lua", "print(2)\n", crlf).Ok());
    EXPECT_EQ(Stored("/Lua/main.lua"), "print(2)\r\n");
    EXPECT_TRUE(work.EditorRead("/bin.dat", plain, crlf, why).Ok());
    EXPECT_EQ(why, "it holds NUL bytes");
}

TEST_F(Verbs, FailuresSayWhatHappened) {
    std::string content;
    EXPECT_EQ(work.Read("/Lua/nope", content).What, Outcome::NoSuchFile);
    EXPECT_EQ(work.Read("/Lua", content).What, Outcome::IsDirectory);
    DeviceDirEntry entry;
    EXPECT_EQ(work.Find("/No/such", entry).What, Outcome::NoSuchFile);
    // The device's own words come with a refusal.
    const VerbResult renamed = work.Rename("/Lua/led driver.lua", "main.lua");
    EXPECT_EQ(renamed.What, Outcome::Refused);
    EXPECT_FALSE(renamed.Reply.empty());
    EXPECT_NE(renamed.Message().find(renamed.Reply), std::string::npos) << renamed.Message();
    EXPECT_EQ(work.MakeDirectory("/Lua").What, Outcome::Refused);
    EXPECT_EQ(work.Delete("/Lua/nope", false).What, Outcome::Refused);
    // A name the device takes the content for and does not store: its listing shows it.
    const VerbResult stored = work.Write("/Lua/q?.lua", "x=1");
    EXPECT_EQ(stored.What, Outcome::Refused);
    EXPECT_EQ(stored.Message(), "/Lua/q?.lua: the device did not store it");
    EXPECT_EQ(work.NewFile("/Lua/star*.lua").What, Outcome::Refused);
    EXPECT_EQ(work.NewFile("/Lua").What, Outcome::IsDirectory);
    // Content cut short, both ways.
    env.fs->AddFile("/long.bin", std::string(9000, 'l'));
    env.device->faults.downloadStallAfter = 100;
    EXPECT_EQ(work.Read("/long.bin", content).What, Outcome::NotWhole);
    env.device->faults.downloadStallAfter = -1;
    env.device->faults.uploadAbortAfter = 5000;
    EXPECT_EQ(work.Write("/big.bin", std::string(20000, 'b')).What, Outcome::NotWhole);
    env.device->faults.uploadAbortAfter = -1;
    // Uploads confirmed together: only the one that is not there is reported.
    EXPECT_TRUE(work.Write("/Lua/a.lua", "a", false).Ok());
    EXPECT_TRUE(work.Write("/Lua/b?.lua", "b", false).Ok());
    EXPECT_EQ(work.ConfirmUploads(), 1);
    EXPECT_EQ(work.NotMoved.Lines(),
              std::vector<std::string>{"/Lua/b?.lua: the device did not store it"});
    // The device gone: every verb says so.
    env.device->Unplug();
    EXPECT_EQ(work.Read("/Lua/main.lua", content).What, Outcome::DeviceGone);
    EXPECT_EQ(work.Delete("/Lua/main.lua", false).What, Outcome::DeviceGone);
    EXPECT_EQ(work.Write("/x", "x").What, Outcome::DeviceGone);
}

} // namespace
