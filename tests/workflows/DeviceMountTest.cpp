// The mount workflow against the simulated device on virtual time: whole files fetched once and
// sent on close, listings kept briefly and kept true by the mount's own changes, the answers of a
// folder, and a write the device did not take kept for recovery while the device is away.
#include "support/SimFixture.h"

#include "workflows/DeviceMount.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>

using namespace kv;
namespace fs = std::filesystem;

namespace {

struct Quiet : IWorkHost {
    void Print(const std::string&, MessageStyle) override {}
};

struct Mount : ::testing::Test {
    kvtest::SimEnvironment env;
    TkvComms comms;
    TkvTerminal term{comms};
    TkvbFiles files{term};
    Quiet host;
    TDeviceWork work{files, host};
    fs::path recovery =
        fs::path(::testing::TempDir()) / ("kvb-mount-recovery-" + std::to_string(::getpid()));
    std::vector<std::string> log;
    std::unique_ptr<TDeviceMount> mount;
    void SetUp() override {
        fs::remove_all(recovery);
        env.fs->AddFile("/Lua/main.lua", "print(1)\r\n");
        env.fs->AddFile("/Lua/lib.lua", "x = 2");
        env.fs->AddDir("/Lua/empty");
        env.fs->AddFile("/readme.txt", "hello");
        ASSERT_TRUE(comms.Connect());
        files.QuotePaths = true;
        mount = std::make_unique<TDeviceMount>(work, "/Lua", recovery);
        mount->Log = [this](const std::string& line) { log.push_back(line); };
    }
    std::string Stored(const std::string& path) {
        std::string content;
        return env.fs->ReadFile(sim::SplitPath(path), content) ? content : "<missing>";
    }
    std::string ReadAll(const std::string& path) {
        uint64_t h = 0;
        if (mount->Open(path, O_RDONLY, h) != 0) return "<not opened>";
        char buffer[4096];
        const int n = mount->Read(h, buffer, sizeof buffer, 0);
        mount->Release(h);
        return n < 0 ? "<error " + std::to_string(-n) + ">" : std::string(buffer, n);
    }
    int WriteFile(const std::string& path, const std::string& content) {
        uint64_t h = 0;
        if (const int err = mount->Create(path, O_WRONLY | O_CREAT | O_TRUNC, h)) return err;
        mount->Write(h, content.data(), content.size(), 0);
        const int err = mount->Flush(h);
        mount->Release(h);
        return err;
    }
    int Commands(const std::string& word) {
        const auto& c = env.device->commands;
        return static_cast<int>(std::count_if(c.begin(), c.end(), [&](const std::string& line) {
            return line.rfind(word + " ", 0) == 0;
        }));
    }
};

TEST_F(Mount, AFileIsFetchedOnceAndAWriteGoesWholeOnClose) {
    EXPECT_EQ(ReadAll("/main.lua"), "print(1)\r\n");
    EXPECT_EQ(ReadAll("/main.lua"), "print(1)\r\n");
    EXPECT_EQ(env.device->downloads, 1) << "kept while its listed size and stamps stay the same";

    // Changed on the device: the next listing shows another size, and it is fetched again.
    env.fs->AddFile("/Lua/main.lua", "print(22)\r\n");
    env.clock.AdvanceMs(mount->ListingMs + 1);
    EXPECT_EQ(ReadAll("/main.lua"), "print(22)\r\n");
    EXPECT_EQ(env.device->downloads, 2);

    uint64_t h = 0;
    ASSERT_EQ(mount->Create("/new.lua", O_WRONLY | O_CREAT | O_TRUNC, h), 0);
    const std::string part1(3000, 'a'), part2 = "tail";
    EXPECT_EQ(mount->Write(h, part1.data(), part1.size(), 0), 3000);
    EXPECT_EQ(mount->Write(h, part2.data(), part2.size(), 3000), 4);
    MountAttr attr;
    ASSERT_EQ(mount->GetAttr("/new.lua", attr, h), 0);
    EXPECT_EQ(attr.Size, 3004u) << "as its writer sees it";
    EXPECT_EQ(env.device->uploads, 0) << "nothing is sent before the close";
    ASSERT_EQ(mount->Flush(h), 0);
    EXPECT_EQ(Stored("/Lua/new.lua"), part1 + part2) << "there once the close returns";
    EXPECT_EQ(mount->Flush(h), 0);
    EXPECT_EQ(mount->Release(h), 0);
    EXPECT_EQ(env.device->uploads, 1) << "an unchanged file is not sent again";

    // Changed in the middle and truncated: the whole file goes again, in its new length.
    ASSERT_EQ(mount->Open("/new.lua", O_RDWR, h), 0);
    EXPECT_EQ(mount->Write(h, "BB", 2, 1), 2);
    EXPECT_EQ(mount->Truncate("/new.lua", 10, h), 0);
    EXPECT_EQ(mount->Release(h), 0) << "a close without its flush still sends";
    EXPECT_EQ(Stored("/Lua/new.lua"), "aBBaaaaaaa");
    EXPECT_EQ(ReadAll("/new.lua"), "aBBaaaaaaa");
    EXPECT_EQ(env.device->downloads, 2) << "what was sent is what is read back";
}

TEST_F(Mount, AListingIsKeptBrieflyAndShowsTheMountsOwnChanges) {
    for (int i = 0; i < 1000; ++i)
        env.fs->AddFile("/Lua/many/f" + std::to_string(i) + ".txt", "");
    std::vector<MountEntry> entries;
    ASSERT_EQ(mount->ReadDir("/many", entries), 0);
    EXPECT_EQ(entries.size(), 1000u);
    const int listed = mount->Listings;
    for (const auto& entry : entries) {
        MountAttr attr;
        ASSERT_EQ(mount->GetAttr("/many/" + entry.Name, attr), 0);
    }
    EXPECT_EQ(mount->Listings, listed) << "ls -l of the folder costs its one listing";

    // The mount's changes show at once, without a listing; another's only after a while.
    env.device->config.stamp = ((2026u - 1980u) << 25) | (12u << 21) | (9u << 16) | (12u << 11);
    ASSERT_EQ(WriteFile("/many/made.txt", "12345"), 0);
    ASSERT_EQ(mount->MakeDirectory("/many/sub"), 0);
    ASSERT_EQ(WriteFile("/many/sub/inner.txt", "i"), 0);
    ASSERT_EQ(mount->Unlink("/many/f0.txt"), 0);
    ASSERT_EQ(mount->Rename("/many/f1.txt", "/many/g1.txt"), 0);
    env.fs->AddFile("/Lua/many/other.txt", "by someone else");
    MountAttr attr;
    EXPECT_EQ(mount->GetAttr("/many/f0.txt", attr), -ENOENT);
    EXPECT_EQ(mount->GetAttr("/many/f1.txt", attr), -ENOENT);
    EXPECT_EQ(mount->GetAttr("/many/g1.txt", attr), 0);
    EXPECT_EQ(mount->GetAttr("/many/other.txt", attr), -ENOENT);
    EXPECT_EQ(mount->Listings, listed) << "a folder made here is known empty";
    // A file sent from here shows the device's own stamp, never 1970: its folder is listed once
    // more when it is asked about, and that listing shows the other program's file too.
    ASSERT_EQ(mount->GetAttr("/many/made.txt", attr), 0);
    EXPECT_EQ(attr.Size, 5u);
    std::tm stamp{};
    stamp.tm_year = 2026 - 1900;
    stamp.tm_mon = 11;
    stamp.tm_mday = 9;
    stamp.tm_hour = 12;
    stamp.tm_isdst = -1;
    EXPECT_EQ(attr.Modified, std::mktime(&stamp));
    EXPECT_EQ(mount->Listings, listed + 1);
    EXPECT_EQ(mount->GetAttr("/many/other.txt", attr), 0);
    EXPECT_EQ(mount->GetAttr("/many/made.txt", attr), 0);
    EXPECT_EQ(mount->Listings, listed + 1);
    EXPECT_EQ(Stored("/Lua/many/g1.txt"), "");
    EXPECT_EQ(Stored("/Lua/many/f0.txt"), "<missing>");
}

TEST_F(Mount, CallsAnswerAsAFolderDoes) {
    MountAttr attr;
    EXPECT_EQ(mount->GetAttr("/", attr), 0);
    EXPECT_TRUE(attr.Directory);
    EXPECT_EQ(mount->GetAttr("/empty", attr), 0);
    EXPECT_TRUE(attr.Directory);
    EXPECT_EQ(mount->GetAttr("/nothing", attr), -ENOENT);
    uint64_t h = 0;
    EXPECT_EQ(mount->Open("/empty", O_RDONLY, h), -EISDIR);

    // Names the device cannot take are refused before anything is sent.
    const size_t sent = env.device->commands.size();
    EXPECT_EQ(mount->Create("/a\tb.lua", O_WRONLY | O_CREAT | O_TRUNC, h), -EINVAL);
    EXPECT_EQ(mount->Create("/say \"hi\".lua", O_WRONLY | O_CREAT | O_TRUNC, h), -EINVAL);
    EXPECT_EQ(mount->Create("/\xE2\x82\xAC.lua", O_WRONLY | O_CREAT | O_TRUNC, h), -EINVAL)
        << "beyond the device's 8-bit text";
    EXPECT_EQ(mount->MakeDirectory("/line\rend"), -EINVAL);
    EXPECT_EQ(mount->Rename("/lib.lua", "/l\ti.lua"), -EINVAL);
    EXPECT_EQ(env.device->commands.size(), sent);
    EXPECT_EQ(WriteFile("/caf\xC3\xA9.lua", "ok"), 0)
        << "UTF-8 within Latin-1 is the device's text";
    EXPECT_EQ(Stored("/Lua/caf\xE9.lua"), "ok");
    env.fs->AddFile("/Lua/na\xEFve.txt", "from the device");
    env.clock.AdvanceMs(mount->ListingMs + 1);
    std::vector<MountEntry> listed;
    ASSERT_EQ(mount->ReadDir("/", listed), 0);
    EXPECT_TRUE(std::any_of(listed.begin(), listed.end(), [](const MountEntry& e) {
        return e.Name == "na\xC3\xAFve.txt";
    })) << "the device's 8-bit names in UTF-8";
    EXPECT_EQ(ReadAll("/na\xC3\xAFve.txt"), "from the device");

    // Renames: within a folder by the device, over a file as rename(2) does, elsewhere EXDEV.
    EXPECT_EQ(mount->Rename("/lib.lua", "/empty/lib.lua"), -EXDEV);
    ASSERT_EQ(WriteFile("/main.lua.tmp", "print(3)\r\n"), 0);
    ASSERT_EQ(mount->Rename("/main.lua.tmp", "/main.lua"), 0);
    EXPECT_EQ(Stored("/Lua/main.lua"), "print(3)\r\n");
    EXPECT_EQ(Stored("/Lua/main.lua.tmp"), "<missing>");
    EXPECT_EQ(ReadAll("/main.lua"), "print(3)\r\n");
    EXPECT_EQ(mount->Rename("/lib.lua", "/main.lua", true), -EEXIST);
    EXPECT_EQ(mount->Rename("/lib.lua", "/empty"), -EISDIR);

    // rmdir of a folder the device lists with anything in it now leaves it whole.
    std::vector<MountEntry> entries;
    ASSERT_EQ(mount->ReadDir("/empty", entries), 0);
    EXPECT_TRUE(entries.empty());
    env.fs->AddFile("/Lua/empty/late.txt", "made on the device");
    EXPECT_EQ(mount->RemoveDirectory("/empty"), -ENOTEMPTY);
    EXPECT_EQ(Stored("/Lua/empty/late.txt"), "made on the device");
    EXPECT_EQ(Commands("NFWIPEDIR"), 0);
    EXPECT_EQ(mount->Unlink("/empty/late.txt"), 0);
    EXPECT_EQ(mount->RemoveDirectory("/empty"), 0);
    EXPECT_EQ(mount->GetAttr("/empty", attr), -ENOENT);
    EXPECT_EQ(mount->Unlink("/empty"), -ENOENT);
    // A file unlinked while open: the kernel asks for its attributes with no path, and its
    // handle answers; its close does not bring it back.
    h = 0;
    ASSERT_EQ(mount->Open("/lib.lua", O_RDONLY, h), 0);
    char buffer[16];
    EXPECT_EQ(mount->Read(h, buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(mount->Unlink("/lib.lua"), 0);
    EXPECT_EQ(mount->GetAttr("", attr, h), 0);
    EXPECT_FALSE(attr.Directory);
    EXPECT_EQ(attr.Size, 5u);
    EXPECT_EQ(mount->GetAttr("", attr, 0), -ENOENT);
    mount->Release(h);
    EXPECT_EQ(Stored("/Lua/lib.lua"), "<missing>");
}

// Several opens of one file share one content, as in any file system; a create neither empties
// nor claims a file the device's own programs made since the last listing; a folder made there
// is EEXIST to mkdir; a write past the largest file sends nothing; a reader keeps what it opened
// after an unlink.
TEST_F(Mount, OpensOfOneFileShareItAndCreatesAndFoldersAnswerAsProgramsExpect) {
    uint64_t a = 0, b = 0;
    ASSERT_EQ(mount->Open("/lib.lua", O_WRONLY | O_TRUNC, a), 0);
    ASSERT_EQ(mount->Open("/lib.lua", O_RDWR, b), 0);
    ASSERT_EQ(mount->Write(a, "AAAA", 4, 0), 4);
    ASSERT_EQ(mount->Write(b, "BB", 2, 2), 2);
    char buffer[8] = {};
    EXPECT_EQ(mount->Read(b, buffer, sizeof buffer, 0), 4);
    EXPECT_EQ(std::string(buffer, 4), "AABB");
    ASSERT_EQ(mount->Flush(a), 0);
    mount->Release(a);
    ASSERT_EQ(mount->Flush(b), 0);
    mount->Release(b);
    EXPECT_EQ(Stored("/Lua/lib.lua"), "AABB");

    // Made on the device after the mount listed the folder.
    MountAttr attr;
    ASSERT_EQ(mount->GetAttr("/late.txt", attr), -ENOENT);
    env.fs->AddFile("/Lua/late.txt", "the device's own");
    env.clock.AdvanceMs(1500);
    uint64_t h = 0;
    EXPECT_EQ(mount->Create("/late.txt", O_WRONLY | O_CREAT | O_EXCL, h), -EEXIST);
    ASSERT_EQ(mount->Create("/late.txt", O_RDWR | O_CREAT, h), 0);
    EXPECT_EQ(mount->Read(h, buffer, 3, 0), 3);
    mount->Release(h);
    EXPECT_EQ(Stored("/Lua/late.txt"), "the device's own");
    env.fs->AddDir("/Lua/made"); // after the listing the create took
    EXPECT_EQ(mount->MakeDirectory("/made"), -EEXIST);

    // Past 64 MiB: EFBIG, and the device keeps what it had.
    ASSERT_EQ(mount->Open("/main.lua", O_WRONLY, h), 0);
    ASSERT_EQ(mount->Write(h, "x", 1, 0), 1);
    EXPECT_EQ(mount->Write(h, "y", 1, int64_t(64) << 20), -EFBIG);
    EXPECT_EQ(mount->Flush(h), -EFBIG);
    mount->Release(h);
    EXPECT_EQ(Stored("/Lua/main.lua"), "print(1)\r\n");

    // Opened, never read, unlinked: the reader still reads what it opened.
    ASSERT_EQ(mount->Open("/main.lua", O_RDONLY, h), 0);
    ASSERT_EQ(mount->Unlink("/main.lua"), 0);
    EXPECT_EQ(mount->Read(h, buffer, 5, 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "print");
    mount->Release(h);
    EXPECT_EQ(Stored("/Lua/main.lua"), "<missing>");
}

TEST_F(Mount, AWriteTheDeviceDidNotTakeIsKeptAndTheMountWaitsForItsOwnDevice) {
    TDeviceHold hold(comms);
    uint64_t h = 0;
    ASSERT_EQ(mount->Open("/main.lua", O_WRONLY | O_TRUNC, h), 0);
    const std::string typed = "print('typed while it was away')\r\n";
    ASSERT_EQ(mount->Write(h, typed.data(), typed.size(), 0), int(typed.size()));
    env.device->Unplug();
    EXPECT_EQ(mount->Flush(h), -EIO);
    MountAttr attr;
    EXPECT_EQ(mount->GetAttr("/lib.lua", attr), -EIO);
    std::vector<MountEntry> entries;
    EXPECT_EQ(mount->ReadDir("/", entries), -EIO);

    // Kept under the file's name, and the log says where.
    std::vector<fs::path> kept;
    for (const auto& each : fs::directory_iterator(recovery))
        if (each.path().filename() != "recovery.log" && each.path().extension() != ".kvbwait")
            kept.push_back(each.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_NE(kept[0].filename().string().find("main.lua"), std::string::npos);
    std::ifstream in(kept[0], std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), typed);
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& line) {
        return line.find(kept[0].string()) != std::string::npos;
    }));
    std::ifstream logFile(recovery / "recovery.log");
    std::stringstream logged;
    logged << logFile.rdbuf();
    EXPECT_NE(logged.str().find(kept[0].string()), std::string::npos);

    // Another device in its place is not taken for it.
    sim::SimDevice& other = env.AddDevice();
    (void)other;
    env.clock.AdvanceMs(1500);
    EXPECT_EQ(mount->GetAttr("/lib.lua", attr), -EIO);

    env.device->Replug();
    env.clock.AdvanceMs(1500);
    EXPECT_EQ(mount->GetAttr("/lib.lua", attr), 0);
    EXPECT_EQ(mount->Flush(h), 0) << "the program's next fsync sends it";
    EXPECT_EQ(Stored("/Lua/main.lua"), typed);
    EXPECT_EQ(mount->Release(h), 0);
}

} // namespace
