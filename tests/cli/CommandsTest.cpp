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

} // namespace
