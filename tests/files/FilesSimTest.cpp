// The file service against the simulated device: whole exchanges, byte-exact round trips.
#include "support/SimFixture.h"

#include "files/kvbFiles.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kv;
using kvtest::SimEnvironment;

namespace {

struct FilesSim : ::testing::Test {
    SimEnvironment env;
    TkvComms comms;
    TkvTerminal term{comms};
    TkvbFiles files{term};
    int done = 0;
    void SetUp() override {
        env.fs->AddDir("/Lua");
        env.fs->AddDir("/My Dir");
        ASSERT_TRUE(comms.Connect());
        files.OnDone = [this](TkvbFiles*) { ++done; };
    }
};

// The listed lines without "." and "..", which a device may list or not.
size_t Named(const std::vector<std::string>& lines) {
    return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        const std::string name = line.substr(0, line.find('\t'));
        return name != "." && name != "..";
    });
}

TEST_F(FilesSim, RandomFilesRoundTripByteExactInBothPathStyles) {
    const size_t sizes[] = {0, 1, 60, 61, 4095, 4096, 4097, 65537, 300000, 1 << 20};
    uint32_t seed = 1;
    for (bool quote : {false, true}) {
        files.QuotePaths = quote;
        for (size_t size : sizes) {
            const std::string content = kvtest::RandomBytes(size, seed++);
            const std::string path = "/My Dir/file " + std::to_string(size) + ".bin";
            ASSERT_TRUE(files.WriteFile(path, content)) << size;
            std::string stored;
            ASSERT_TRUE(env.fs->ReadFile(
                sim::SplitPath(quote ? path : "/My Dir/file_" + std::to_string(size) + ".bin"),
                stored))
                << size;
            EXPECT_TRUE(stored == content) << "upload of " << size << " bytes differs";
            std::string back = "junk";
            ASSERT_TRUE(files.ReadFile(path, back)) << size;
            EXPECT_TRUE(back == content) << "download of " << size << " bytes differs";
        }
    }
    EXPECT_FALSE(files.Busy);
}

TEST_F(FilesSim, ListingParsesAndManagementChangesTheDevice) {
    env.fs->AddFile("/Lua/main.lua", "print(1)", sim::PackFatTime(2017, 10, 16, 12, 34, 56));
    std::vector<std::string> lines;
    ASSERT_TRUE(files.ListDirectory("/Lua", lines));
    // The device may list "." and ".." first, or not.
    ASSERT_FALSE(lines.empty());
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        EXPECT_EQ(TkvbFiles::ParseDirEntry(lines[i]).Name, i == 0 ? "." : "..");
    ASSERT_LE(lines.size(), 3u);
    const auto e = TkvbFiles::ParseDirEntry(lines.back());
    EXPECT_EQ(e.Name, "main.lua");
    EXPECT_EQ(e.Size, 8);
    EXPECT_EQ(e.Created, (DateTime{2017, 10, 16, 12, 34, 56}));

    EXPECT_TRUE(files.MakeDirectory("/Lua/lib"));
    EXPECT_FALSE(files.MakeDirectory("/Lua/lib")) << "exists";
    EXPECT_TRUE(files.RenameFile("/Lua/main.lua", "init.lua"));
    EXPECT_TRUE(files.WriteFile("/Lua/lib/x.lua", "x"));
    EXPECT_FALSE(files.DeleteFile("/Lua/lib")) << "not empty";
    EXPECT_TRUE(files.WipeDirectory("/Lua/lib"));
    EXPECT_TRUE(files.DeleteFile("/Lua/init.lua"));
    ASSERT_TRUE(files.ListDirectory("/Lua", lines));
    EXPECT_EQ(Named(lines), 0u);
    ASSERT_TRUE(files.ListDirectory("", lines));
    EXPECT_EQ(lines.size(), 2u);
    EXPECT_FALSE(files.ListDirectory("/Nope", lines));
    EXPECT_TRUE(files.ListDirectory("", lines)) << "the console is in step again";
}

TEST_F(FilesSim, FailuresReportFalseAndLeaveTheConsoleInStep) {
    env.fs->AddFile("/big.bin", std::string(10000, 'b'));
    env.device->faults.downloadStallAfter = 5000;
    std::string content = "old";
    EXPECT_FALSE(files.ReadFile("/big.bin", content));
    EXPECT_EQ(content, "");
    env.device->faults.downloadStallAfter = -1;

    env.device->faults.uploadAbortAfter = 4096 * 2 + 10;
    EXPECT_FALSE(files.WriteFile("/Lua/up.bin", std::string(50000, 'u')));
    env.device->faults.uploadAbortAfter = -1;
    sim::SimEntry entry;
    EXPECT_FALSE(env.fs->Stat({"Lua", "up.bin"}, entry));

    std::vector<std::string> lines;
    EXPECT_TRUE(files.ListDirectory("/Lua", lines)) << "nothing of the failed upload lingers";
    for (const auto& line : lines)
        EXPECT_EQ(line.rfind("up.bin", 0), std::string::npos) << line;
    EXPECT_TRUE(files.ReadFile("/big.bin", content));
    EXPECT_EQ(content.size(), 10000u);
}

TEST_F(FilesSim, AnUnplugDuringAnUploadIsAFailure) {
    files.OnProgress = [&](TkvbFiles*, int32_t pos, int32_t) {
        if (pos == 8192) env.device->Unplug();
    };
    EXPECT_FALSE(files.WriteFile("/Lua/cut.bin", std::string(40000, 'c')));
    EXPECT_FALSE(comms.IsConnected());
    EXPECT_EQ(done, 1);
    EXPECT_FALSE(files.Busy);
}

TEST_F(FilesSim, FirmwareIntoTheBootLoader) {
    term.SendLine("boot");
    env.clock.AdvanceMs(4000);
    comms.Disconnect();
    ASSERT_TRUE(comms.Connect());
    ASSERT_TRUE(term.IsBootLoader());
    const std::string image = kvtest::RandomBytes(70000, 9);
    EXPECT_TRUE(files.LoadFirmware("app.blf", image));
    ASSERT_EQ(env.device->images.size(), 1u);
    EXPECT_EQ(env.device->images[0].name, "app.blf");
    EXPECT_TRUE(env.device->images[0].content == image);

    env.device->faults.imageRefuseAfter = 100;
    EXPECT_FALSE(files.LoadFirmware("bad.blf", image));
    EXPECT_EQ(env.device->images.size(), 1u);
}

} // namespace

namespace {

TEST_F(FilesSim, HostileRepliesEndInABoundedOutcome) {
    // A download that announces the largest length and then stalls.
    env.fs->AddFile("/liar.bin", std::string(1000, 'l'));
    env.device->faults.announceLength = 2147483647;
    std::string content = "old";
    int64_t t0 = env.clock.NowMs();
    EXPECT_FALSE(files.ReadFile("/liar.bin", content));
    EXPECT_EQ(content, "");
    EXPECT_LT(env.clock.NowMs() - t0, 2500) << "given up one slice wait after the stall";
    EXPECT_FALSE(files.Busy);

    // More content than announced (as when a report comes twice on the way): the count is met
    // early and the rest stands before the prompt. Not the file, so not a success.
    env.device->faults.announceLength = 900;
    content = "old";
    EXPECT_FALSE(files.ReadFile("/liar.bin", content));
    EXPECT_EQ(content, "");
    EXPECT_TRUE(files.ContentOverran());
    env.device->faults.announceLength = -1;
    EXPECT_TRUE(files.ReadFile("/liar.bin", content)) << "the next download is whole again";
    EXPECT_EQ(content, std::string(1000, 'l'));
    EXPECT_FALSE(files.ContentOverran());

    // A listing line of 1 MB: read whole, then refused by the parser with the conversion error.
    env.device->faults.extraListingLines = {std::string(1 << 20, 'n')};
    std::vector<std::string> lines;
    EXPECT_TRUE(files.ListDirectory("/Lua", lines));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().size(), size_t(1) << 20);
    EXPECT_THROW(TkvbFiles::ParseDirEntry(lines.back()), EKvError);
    env.device->faults.extraListingLines.clear();
    EXPECT_TRUE(files.ListDirectory("/Lua", lines)) << "and the console is in step again";
    EXPECT_EQ(Named(lines), 0u);
}

} // namespace
