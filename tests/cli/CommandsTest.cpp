// kvb's commands called as functions, each in a session with a simulated device on a folder of
// the PC, on virtual time: what they print, what they raise and what the device holds after.
#include "cli/Commands.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

namespace fs = std::filesystem;

namespace {

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Spit(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

struct Output {
    int status = -1; // the command's status, or the status of the Failure it raised
    std::string out, err, failure;
};

struct Commands : ::testing::Test {
    fs::path dir, dev;
    kvb::GlobalOptions options;
    void SetUp() override {
        dir = fs::temp_directory_path() / ("kvb-cmd-" + std::to_string(std::random_device{}()));
        dev = dir / "dev";
        fs::create_directories(dev);
        ::setenv("KVB_VIRTUAL_TIME", "1", 1);
        ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
        options.simulate = true;
        options.folders = {dev.string()};
    }
    void TearDown() override {
        fs::current_path(fs::temp_directory_path());
        fs::remove_all(dir);
    }
    // One command in a session of its own, its output captured.
    Output Run(const std::function<int(kvb::Session&)>& command) {
        Output o;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        try {
            kvb::Session session(options);
            session.Open();
            o.status = command(session);
        } catch (const kvb::Failure& f) {
            o.status = f.Status;
            o.failure = f.what();
        }
        std::fflush(stdout);
        o.out = testing::internal::GetCapturedStdout();
        o.err = testing::internal::GetCapturedStderr();
        return o;
    }
};

TEST_F(Commands, ListingsAndTreesAsFunctions) {
    Spit(dev / "Lua/main.lua", "print(1)");
    Spit(dev / "b.txt", "bb");
    Output o = Run([](kvb::Session& s) { return kvb::Ls(s, {}); });
    EXPECT_EQ(o.status, 0) << o.failure;
    EXPECT_EQ(o.out, "b.txt\nLua/\n");
    o = Run([](kvb::Session& s) { return kvb::Tree(s, "/Lua"); });
    EXPECT_EQ(o.out, "/Lua\n`-- main.lua\n");
    o = Run([](kvb::Session& s) { return kvb::Tree(s, "/b.txt"); });
    EXPECT_EQ(o.status, kvb::kDeviceError);
    EXPECT_EQ(o.failure, "/b.txt: not a directory");
}

// Patterns in get, rm and cat: matched against the listing, never sent; directories they find
// are left out without -r; only the last part may be one; one that finds nothing fails.
TEST_F(Commands, PatternsAreMatchedAgainstTheListingAndNeverSent) {
    Spit(dev / "Lua/a.lua", "A");
    Spit(dev / "Lua/b.lua", "B");
    Spit(dev / "Lua/c.txt", "C");
    Spit(dev / "Lua/lib.lua/inner.lua", "I");
    Spit(dev / "Lua/x[1].lua", "X");
    ::setenv("KVB_SIM_TRACE", (dir / "trace").c_str(), 1);
    Output o = Run([](kvb::Session& s) { return kvb::Cat(s, {"/Lua/*.lua"}); });
    EXPECT_EQ(o.status, 0) << o.failure;
    EXPECT_EQ(o.out, "ABX") << "in the listing's order, the directory left out";
    EXPECT_EQ(Slurp(dir / "trace").find('*'), std::string::npos) << Slurp(dir / "trace");
    o = Run([](kvb::Session& s) { return kvb::Cat(s, {"/Lua/x[1].lua"}); });
    EXPECT_EQ(o.out, "X") << "a name the listing holds as written";
    ::unsetenv("KVB_SIM_TRACE");

    const fs::path into = dir / "pc";
    fs::create_directories(into);
    o = Run([&](kvb::Session& s) {
        kvb::TransferOptions get;
        get.sources = {"/Lua/?.lua"};
        get.target = into.string();
        return kvb::Get(s, get);
    });
    EXPECT_EQ(o.status, 0) << o.failure;
    EXPECT_EQ(Slurp(into / "a.lua"), "A");
    EXPECT_EQ(Slurp(into / "b.lua"), "B");
    EXPECT_FALSE(fs::exists(into / "c.txt"));

    o = Run([](kvb::Session& s) { return kvb::Rm(s, {"/Lua/*.lua"}, false); });
    EXPECT_EQ(o.status, 0) << o.failure;
    EXPECT_NE(o.err.find("/Lua/lib.lua: a directory; left out"), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(dev / "Lua/a.lua"));
    EXPECT_TRUE(fs::exists(dev / "Lua/c.txt"));
    EXPECT_TRUE(fs::exists(dev / "Lua/lib.lua/inner.lua"));

    o = Run([](kvb::Session& s) { return kvb::Cat(s, {"/Lua/*.none"}); });
    EXPECT_EQ(o.status, kvb::kDeviceError);
    EXPECT_EQ(o.failure, "/Lua/*.none: no name matches");
    o = Run([](kvb::Session& s) { return kvb::Rm(s, {"/L*/c.txt"}, false); });
    EXPECT_EQ(o.status, kvb::kUsage) << o.failure;
    EXPECT_TRUE(fs::exists(dev / "Lua/c.txt"));
}

// Several paths for ls and touch, mkdir -p, edit of a new file, and exec of a command the device
// does not know.
TEST_F(Commands, SeveralPathsParentsNewFilesAndUnknownCommands) {
    Spit(dev / "A/one.txt", "1");
    Spit(dev / "B/two.txt", "2");
    Output o = Run([](kvb::Session& s) {
        kvb::LsOptions ls;
        ls.paths = {"/A", "/B/two.txt", "/B"};
        return kvb::Ls(s, ls);
    });
    EXPECT_EQ(o.status, 0) << o.failure;
    EXPECT_EQ(o.out, "/A:\none.txt\ntwo.txt\n\n/B:\ntwo.txt\n");
    o = Run([](kvb::Session& s) {
        kvb::LsOptions ls;
        ls.paths = {"/none", "/A"};
        return kvb::Ls(s, ls);
    });
    EXPECT_EQ(o.status, kvb::kDeviceError);
    EXPECT_NE(o.out.find("one.txt"), std::string::npos) << "the others are listed";

    o = Run([](kvb::Session& s) { return kvb::Touch(s, {"/A/n1.txt", "/B/n2.txt"}); });
    EXPECT_EQ(o.status, 0) << o.failure;
    EXPECT_TRUE(fs::exists(dev / "A/n1.txt") && fs::exists(dev / "B/n2.txt"));

    o = Run([](kvb::Session& s) { return kvb::Mkdir(s, {"/A/x/y/z"}, true); });
    EXPECT_EQ(o.status, 0) << o.failure;
    EXPECT_TRUE(fs::is_directory(dev / "A/x/y/z"));
    o = Run([](kvb::Session& s) { return kvb::Mkdir(s, {"/A/x/y"}, true); });
    EXPECT_EQ(o.status, 0) << "one that is there is no error: " << o.failure;
    o = Run([](kvb::Session& s) { return kvb::Mkdir(s, {"/Q/r"}, false); });
    EXPECT_NE(o.status, 0) << "without -p the parent must be there";

    ::setenv("VISUAL", "sh -c 'printf \"a=1\\nb=2\\n\" > \"$0\"'", 1);
    o = Run([](kvb::Session& s) { return kvb::Edit(s, "/A/new.cfg"); });
    EXPECT_EQ(o.status, 0) << o.failure << o.err;
    EXPECT_EQ(Slurp(dev / "A/new.cfg"), "a=1\r\nb=2\r\n");
    ::setenv("VISUAL", "true", 1);
    o = Run([](kvb::Session& s) { return kvb::Edit(s, "/A/empty.cfg"); });
    EXPECT_EQ(o.status, 0) << o.failure;
    EXPECT_FALSE(fs::exists(dev / "A/empty.cfg")) << "nothing given back, nothing made";
    o = Run([](kvb::Session& s) { return kvb::Edit(s, "/Nowhere/new.cfg"); });
    EXPECT_EQ(o.status, kvb::kDeviceError);
    ::unsetenv("VISUAL");

    o = Run([](kvb::Session& s) { return kvb::Exec(s, "frobnicate now", 1000); });
    EXPECT_EQ(o.status, kvb::kDeviceError) << o.out;
    EXPECT_NE(o.out.find("Unknown command 'frobnicate'"), std::string::npos) << o.out;
    o = Run([](kvb::Session& s) { return kvb::Exec(s, "ver", 1000); });
    EXPECT_EQ(o.status, 0) << o.failure;
}

TEST_F(Commands, TheProgressLineNamesTheFileItsNumberAndThatItStopsAfterIt) {
    kv::TTransferTally tally;
    tally.Begin(3, 3000, true, 0);
    tally.StartFile("first.lua", 1000);
    tally.FileDone(true);
    tally.StartFile("second.lua", 1000);
    tally.FileProgress(500);
    EXPECT_EQ(kvb::ProgressLine(tally, 100, false, 78),
              "second.lua - file 2 of 3 - 1,500 of 3,000 bytes");
    EXPECT_EQ(kvb::ProgressLine(tally, 100, true, 78),
              "second.lua - file 2 of 3 - 1,500 of 3,000 bytes - stops after this file");
    tally.StartFile(std::string(100, 'n') + "\x1b.lua", 1000);
    const std::string cut = kvb::ProgressLine(tally, 100, true, 78);
    EXPECT_EQ(cut.size(), 78u) << cut;
    EXPECT_NE(cut.find("... - file 3 of 3"), std::string::npos) << cut;
    EXPECT_EQ(cut.find('\x1b'), std::string::npos);
    EXPECT_EQ(kvb::Counted(1, "file"), "1 file");
    EXPECT_EQ(kvb::Counted(2, "file"), "2 files");
}

TEST_F(Commands, ADeviceAskedForThatIsNotThereNamesThoseThatAre) {
    options.device = "KV-999";
    const Output o = Run([](kvb::Session&) { return 0; });
    EXPECT_EQ(o.status, kvb::kNoDevice);
    EXPECT_EQ(o.failure, "no device KV-999 is attached; attached: KV-104-000123");
}

} // namespace
