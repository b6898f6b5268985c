#include "support/SimFixture.h"

#include <gtest/gtest.h>

#include <cstring>

#include <filesystem>
#include <fstream>

using namespace kv;
using namespace kv::sim;
using kvtest::SimEnvironment;

namespace {

const std::string kPrompt = "\xAB"
                            "Kovrin>\xBB";

struct SimTest : ::testing::Test {
    SimEnvironment env;
    TkvComms comms;
    TkvTerminal term{comms};
    void SetUp() override {
        env.fs->AddFile("/Lua/main.lua", "print(1)\r\n", PackFatTime(2017, 10, 16, 12, 34, 56));
        env.fs->AddFile("/My Dir/a b.txt", "spaced");
        ASSERT_TRUE(comms.Connect());
    }
    // Sends a line and returns everything up to the next prompt end, mark included.
    std::string Command(const std::string& line, int timeout = 1000) {
        term.SendLine(line);
        return ReadReply(timeout);
    }
    std::string ReadReply(int timeout = 1000) {
        std::string text;
        term.ReadUntil(std::string(1, PromptEndMark), "", text, timeout);
        return text;
    }
};

TEST_F(SimTest, IdentityAndStrings) {
    EXPECT_EQ(comms.Device.UsagePage, kUsagePage);
    EXPECT_EQ(comms.Device.GetManufacturer(), u"Kovrin Systems");
    EXPECT_EQ(comms.Device.GetProduct(), u"Kovrin Device");
    EXPECT_EQ(comms.Device.GetSerialNumber(), u"KV-104-000123");
    EXPECT_EQ(comms.Device.GetIndexedString(201), u"2.4.1");
    EXPECT_EQ(comms.Device.GetIndexedString(204), u".uft.nfi.");
    EXPECT_TRUE(comms.Device.GetIndexedString(205).empty());
    env.device->faults.emptySerial = true;
    EXPECT_TRUE(comms.Device.GetSerialNumber().empty());
    std::vector<std::string> list;
    EXPECT_EQ(TRawHid::FindDevices(list, kVendorId, kProductId, 0xFF00, -1), 0);
}

TEST_F(SimTest, ConsoleFramingNoEchoAndEsc) {
    term.SendText("NFD");
    std::string text;
    term.ReadBytes(1, 200, text);
    EXPECT_EQ(text, "") << "the device does not echo";
    comms.WriteMessage("\x1B", 0, 0, 50);
    EXPECT_EQ(ReadReply(), kPrompt) << "ESC drops the half-typed line";
    EXPECT_EQ(Command("frobnicate 1"), "Unknown command 'frobnicate'\r\n" + kPrompt);
    EXPECT_EQ(Command(""), kPrompt);
    EXPECT_EQ(env.device->commands.back(), "");
    Command("helx\bp");
    EXPECT_EQ(env.device->commands.back(), "help") << "Backspace edits the line";
}

TEST_F(SimTest, LinkIsPacedOneReportPerMillisecondEachWay) {
    const int64_t start = env.clock.NowUs();
    term.SendText(std::string(61 * 100, 'x')); // 100 reports
    EXPECT_GE(env.clock.NowUs() - start, 99'000);
    EXPECT_LE(env.clock.NowUs() - start, 101'000);

    env.device->PrintConsole(std::string(61 * 200, 'y'));
    const int64_t readStart = env.clock.NowUs();
    std::string text;
    term.ReadBytes(61 * 200, 1000, text);
    EXPECT_EQ(text.size(), 61u * 200);
    EXPECT_GE(env.clock.NowUs() - readStart, 199'000);
    EXPECT_LE(env.clock.NowUs() - readStart, 201'000);
}

TEST_F(SimTest, ADeviceOutputQueueNeverFloodsAHostThatDoesNotRead) {
    env.fs->AddFile("/big.bin", kvtest::RandomBytes(1 << 20, 7));
    term.SendLine("NFTYPE @/big.bin");
    env.clock.AdvanceMs(60'000); // the host is busy for a minute
    comms.PollReports(0);
    EXPECT_LT(comms.BufferedBytes(0), kChannelBufferCap / 4);
    std::string header, content;
    term.ReadUntil("\r\n", "\r\n", header, 1000);
    EXPECT_EQ(header, "big.bin\t1048576");
    term.ReadBytes(1 << 20, 2000, content);
    EXPECT_EQ(content, kvtest::RandomBytes(1 << 20, 7));
}

TEST_F(SimTest, ListingReplyFormat) {
    EXPECT_EQ(Command("NFDIR @"), "Directory of /\r\n"
                                  "Lua\t0\t16\t" +
                                      std::to_string(PackFatTime(2017, 10, 16, 12, 34, 56)) + "\t" +
                                      std::to_string(PackFatTime(2017, 10, 16, 12, 34, 56)) + "\t" +
                                      std::to_string(PackFatTime(2017, 10, 16, 12, 34, 56)) +
                                      "\r\n"
                                      "My Dir\t0\t16\t0\t0\t0\r\n"
                                      "\r\n0 File(s) 0 bytes\r\n2 Dir(s)\r\n" +
                                      kPrompt);
    const std::string sub = Command("NFDIR @/Lua");
    EXPECT_EQ(sub.substr(0, sub.find("main.lua")),
              "Directory of /Lua\r\n.\t0\t16\t1263559772\t1263559772\t1263559772\r\n"
              "..\t0\t16\t1263559772\t1263559772\t1263559772\r\n");
    EXPECT_NE(sub.find("main.lua\t10\t32\t1263559772\t"), std::string::npos);
    EXPECT_EQ(Command("NFDIR @/Nope"), "2:Path not found\r\n" + kPrompt);
}

TEST_F(SimTest, BothPathStylesAddressTheSameFile) {
    EXPECT_EQ(Command("NFTYPE @\"/My Dir/a b.txt\""), "a b.txt\t6\r\nspaced\r\n" + kPrompt);
    EXPECT_EQ(Command("NFTYPE @/My_Dir/a_b.txt"), "a b.txt\t6\r\nspaced\r\n" + kPrompt);
}

TEST_F(SimTest, ContentOfEveryByteValueMovesByCountBothWays) {
    const std::string all = kvtest::AllByteValues() + "\xAB\xBB\x1B\r\n";
    term.SendLine("NFWRITE /Lua/bytes.bin\t" + std::to_string(all.size()) + "\tw");
    std::string line;
    term.ReadUntil("\r\n", "\r\n", line, 1000);
    EXPECT_EQ(line, "Send file");
    term.SendText(all);
    EXPECT_EQ(ReadReply(), "0:No error\r\n" + kPrompt);
    std::string stored;
    ASSERT_TRUE(env.fs->ReadFile({"Lua", "bytes.bin"}, stored));
    EXPECT_EQ(stored, all);

    term.SendLine("NFTYPE @/Lua/bytes.bin");
    term.ReadUntil("\r\n", "\r\n", line, 1000);
    EXPECT_EQ(line, "bytes.bin\t261");
    std::string content;
    term.ReadBytes(261, 2000, content);
    EXPECT_EQ(content, all);
    EXPECT_EQ(ReadReply(), "\r\n" + kPrompt);
}

TEST_F(SimTest, ManagementCommandsAndTheirResults) {
    EXPECT_EQ(Command("NFMKDIR /Lua/new"), "0:No error\r\n" + kPrompt);
    EXPECT_EQ(Command("NFMKDIR /Lua/new"), "8:File exists\r\n" + kPrompt);
    EXPECT_EQ(Command("NFMKDIR /No/new"), "2:Path not found\r\n" + kPrompt);
    EXPECT_EQ(Command("NFRENAME /Lua/main.lua init.lua"), "0:No error\r\n" + kPrompt);
    EXPECT_EQ(Command("NFRENAME \"/My Dir\" \"Your Dir\""), "0:No error\r\n" + kPrompt);
    SimEntry e;
    EXPECT_TRUE(env.fs->Stat({"Your Dir", "a b.txt"}, e));
    EXPECT_TRUE(env.fs->Stat({"Lua", "init.lua"}, e));
    EXPECT_EQ(Command("NFDEL /Lua"), "9:Directory not empty\r\n" + kPrompt);
    EXPECT_EQ(Command("NFDEL /Lua/init.lua"), "0:No error\r\n" + kPrompt);
    EXPECT_EQ(Command("NFDEL /Lua/init.lua"), "4:File not found\r\n" + kPrompt);
    EXPECT_EQ(Command("NFWIPEDIR /Lua"), "0:No error\r\n" + kPrompt);
    EXPECT_FALSE(env.fs->Stat({"Lua"}, e));
    env.device->faults.forceResult = 5;
    EXPECT_EQ(Command("NFMKDIR /x"), "5:Access denied\r\n" + kPrompt);
}

// As on a FAT volume: a name keeps its case and is found in any ASCII case, another entry's
// name in another case is taken, and a name may change only its case; unless the device is one
// that tells case apart.
TEST_F(SimTest, NamesAreFoundInAnyCaseUnlessTheDeviceTellsThemApart) {
    EXPECT_EQ(Command("NFMKDIR /LUA"), "8:File exists\r\n" + kPrompt);
    EXPECT_EQ(Command("NFRENAME /lua/MAIN.LUA Main.lua"), "0:No error\r\n" + kPrompt);
    SimEntry e;
    EXPECT_TRUE(env.fs->Stat({"Lua", "Main.lua"}, e));
    env.fs->AddFile("/Lua/other.lua", "o");
    EXPECT_EQ(Command("NFRENAME /Lua/other.lua MAIN.LUA"), "8:File exists\r\n" + kPrompt);
    env.device->faults.caseSensitive = true;
    EXPECT_EQ(Command("NFRENAME /Lua/other.lua MAIN.LUA"), "0:No error\r\n" + kPrompt);
    EXPECT_EQ(Command("NFDEL /lua/Main.lua"), "4:File not found\r\n" + kPrompt);
}

TEST(SimPassword, LockedUntilThePasswordLine) {
    SimConfig config;
    config.password = "sesame";
    SimEnvironment env(config);
    TkvComms comms;
    TkvTerminal term(comms);
    ASSERT_TRUE(comms.Connect());
    EXPECT_FALSE(term.IsReady());
    term.SendLine("NFDIR @");
    std::string text;
    term.ReadToPromptEnd(500, text);
    EXPECT_EQ(text, "\r\nWrong password\r\n\xAB"
                    "PASSWORD:");
    term.SendLine("sesame");
    term.ReadToPromptEnd(500, text);
    EXPECT_TRUE(term.IsReady());
    EXPECT_FALSE(env.device->Locked());
}

TEST_F(SimTest, LogMessagesFollowTheFilter) {
    env.device->Log(4, "dropped: no filter yet");
    const std::string on = "FILTER " + std::string("\x10\0\0\0\0\0\0\0", 8);
    ASSERT_TRUE(comms.WriteMessage(on, 31, 128, 200));
    EXPECT_TRUE(env.device->FilterOn());
    EXPECT_EQ(env.device->FilterMask(), 0x10u);
    env.device->Log(4, "not in mask");
    env.device->Log(4 + 0, "");
    env.device->Log(5, "modem");
    env.device->Log(4, "x");
    env.device->Log(200, "types above 63 always pass");
    std::string msg;
    comms.ReadMessage(31, 10, msg);
    EXPECT_EQ(msg, std::string("\x04") + "not in mask") << "type 4 is bit 4 of 0x10";
    comms.ReadMessage(31, 10, msg);
    EXPECT_EQ(msg, std::string("\x04"));
    comms.ReadMessage(31, 10, msg);
    EXPECT_EQ(msg, std::string("\x04x"));
    comms.ReadMessage(31, 10, msg);
    EXPECT_EQ(msg, std::string("\xC8") + "types above 63 always pass");
    ASSERT_TRUE(comms.WriteMessage("FILTER-" + std::string(8, '\xFF'), 31, 64, 200));
    EXPECT_FALSE(env.device->FilterOn());
    env.device->Log(4, "off");
    comms.ReadMessage(31, 10, msg);
    EXPECT_EQ(msg, "");
}

TEST(SimLog, GeneratesAtTheConfiguredRate) {
    SimConfig config;
    config.logRatePerSecond = 100;
    SimEnvironment env(config);
    TkvComms comms;
    ASSERT_TRUE(comms.Connect());
    comms.WriteMessage("FILTER " + std::string(8, '\xFF'), 31, 128, 200);
    env.clock.AdvanceMs(1000);
    int count = 0;
    std::string msg;
    for (comms.ReadMessage(31, 0, msg); !msg.empty(); comms.ReadMessage(31, 0, msg))
        ++count;
    EXPECT_GE(count, 99);
    EXPECT_LE(count, 101);
}

TEST_F(SimTest, BootLoaderReEnumeratesLoadsAndRuns) {
    term.SendLine("boot");
    env.clock.AdvanceMs(500);
    std::vector<std::string> list;
    EXPECT_EQ(TRawHid::FindDevices(list, kVendorId, kProductId, kUsagePage, -1), 0);
    uint8_t report[64];
    EXPECT_EQ(comms.Device.ReadReport(report, 64, 0), -1) << "the old handle is dead";
    std::string data;
    comms.ReadMessage(0, 0, data);
    EXPECT_FALSE(comms.IsConnected()) << "a read that finds the device gone closes the link";
    EXPECT_FALSE(comms.WriteMessage("x", 0, 0, 200)) << "the old handle is dead";
    env.clock.AdvanceMs(3000);
    ASSERT_TRUE(comms.Connect());
    EXPECT_TRUE(term.IsBootLoader());
    EXPECT_EQ(comms.Device.GetIndexedString(204), u".uft.");

    const std::string image = kvtest::RandomBytes(5000, 3);
    term.SendLine("LOAD 5000 app.blf");
    std::string line;
    term.ReadUntil("\r\n", "\r\n", line, 1000);
    EXPECT_EQ(line, "Send file");
    term.SendText(image);
    std::string text;
    term.ReadToPromptStart(20000, text);
    EXPECT_EQ(text, "\r\nReceived 5000 bytes\r\n");
    const int64_t t0 = env.clock.NowMs();
    term.ReadToPromptStart(1000, text);
    EXPECT_EQ(text, "BL>\xBBLoad OK\r\n");
    term.ReadToPromptStart(7000, text);
    EXPECT_EQ(text, "BL>\xBBVerify OK\r\n");
    term.ReadToPromptStart(15000, text);
    EXPECT_EQ(text, "BL>\xBB"
                    "Burn OK\r\n");
    EXPECT_NEAR(env.clock.NowMs() - t0, 4800, 50);
    ASSERT_EQ(env.device->images.size(), 1u);
    EXPECT_EQ(env.device->images[0].name, "app.blf");
    EXPECT_EQ(env.device->images[0].content, image);

    term.SendLine("run");
    env.clock.AdvanceMs(4000);
    comms.Disconnect();
    ASSERT_TRUE(comms.Connect());
    EXPECT_FALSE(term.IsBootLoader());
}

TEST_F(SimTest, FaultsStallAbortRefuseDelaySilence) {
    env.fs->AddFile("/f.bin", std::string(10000, 'f'));
    env.device->faults.downloadStallAfter = 5000;
    term.SendLine("NFTYPE @/f.bin");
    std::string text;
    term.ReadUntil("\r\n", "\r\n", text, 1000);
    term.ReadBytes(5000, 2000, text);
    EXPECT_EQ(text.size(), 5000u);
    term.ReadBytes(1, 2000, text);
    EXPECT_EQ(text, "") << "stalled";
    env.device->faults.downloadStallAfter = -1;

    // An upload that fails: at least 256 bytes with a prompt end come back during the slice,
    // and the rest of the slice is swallowed, not taken for commands.
    env.device->faults.uploadAbortAfter = 100;
    term.SendLine("NFWRITE /g.bin\t10000\tw");
    term.ReadUntil("\r\n", "\r\n", text, 1000);
    term.SendText(std::string(4096, 'g'));
    term.ReadBytes(256, 0, text);
    EXPECT_EQ(text.size(), 256u);
    EXPECT_NE(text.find(PromptEndMark), std::string::npos);
    term.ReadToPromptEnd(100, text);
    EXPECT_EQ(Command("NFDIR @/Nope"), "2:Path not found\r\n" + kPrompt);
    SimEntry e;
    EXPECT_FALSE(env.fs->Stat({"g.bin"}, e));
    env.device->faults.uploadAbortAfter = -1;

    env.device->faults.replyDelayMs = 1500;
    const int64_t t0 = env.clock.NowMs();
    EXPECT_EQ(Command("NFMKDIR /slow", 2000), "0:No error\r\n" + kPrompt);
    EXPECT_GE(env.clock.NowMs() - t0, 1500);
    env.device->faults.replyDelayMs = 0;

    env.device->faults.silent = true;
    EXPECT_EQ(Command("NFMKDIR /quiet", 300), "");
    env.device->faults.silent = false;
    env.device->faults.omitPrompt = true;
    EXPECT_EQ(Command("NFMKDIR /quiet", 300), "0:No error\r\n");
    env.device->faults.omitPrompt = false;

    env.device->faults.extraListingLines = {"bad\tline", "../x\t1\t32\t0\t0\t0"};
    const std::string listing = Command("NFDIR @/Lua");
    EXPECT_NE(listing.find("bad\tline\r\n../x\t1\t32\t0\t0\t0\r\n\r\n"), std::string::npos);
}

TEST_F(SimTest, UnplugAndReplugInvalidatesTheOldHandle) {
    env.device->UnplugFor(1000);
    EXPECT_FALSE(comms.WriteMessage("x", 0, 0, 200));
    EXPECT_FALSE(comms.IsConnected());
    EXPECT_FALSE(comms.Connect());
    env.clock.AdvanceMs(1000);
    EXPECT_TRUE(comms.Connect());
    EXPECT_EQ(Command("NFDEL /nothing"), "4:File not found\r\n" + kPrompt);
}

TEST(SimFolder, AFolderIsTheDeviceFileSystemAndNothingOutsideIsTouched) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / "kv-sim-folder";
    fs::remove_all(root);
    fs::create_directories(root / "inside");
    std::ofstream(root / "inside" / "a.txt") << "hello";
    FolderStorage storage(root.string());
    std::vector<SimEntry> entries;
    ASSERT_TRUE(storage.List({"inside"}, entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "a.txt");
    EXPECT_EQ(entries[0].size, 5u);
    EXPECT_NE(entries[0].created, 0u);
    EXPECT_EQ(storage.WriteFile({"inside", "b.bin"}, std::string("\0\xFF", 2), 0), kOk);
    std::string content;
    EXPECT_TRUE(storage.ReadFile({"inside", "b.bin"}, content));
    EXPECT_EQ(content, std::string("\0\xFF", 2));
    EXPECT_EQ(storage.WriteFile({"..", "escape.txt"}, "x", 0), kInvalidName);
    EXPECT_EQ(storage.Rename({"inside", "a.txt"}, "../a.txt"), kInvalidName);
    EXPECT_FALSE(fs::exists(root.parent_path() / "escape.txt"));
    EXPECT_EQ(SplitPath("/a/../../b/./c"), (SimPath{"b", "c"}));
    EXPECT_EQ(storage.WipeDir({"inside"}), kOk);
    EXPECT_FALSE(fs::exists(root / "inside"));
    fs::remove_all(root);
}

} // namespace

namespace {

TEST(SimFolder, NamesMapToTheDevicesEightBitFormAndTimesKeepTheirEvenSecond) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / "kv-sim-names";
    fs::remove_all(root);
    fs::create_directories(root);
    const auto utf8 = [](const char* t) { return fs::path(std::u8string(t, t + std::strlen(t))); };
    std::ofstream(root / utf8("caf\xC3\xA9.txt")) << "x";  // café.txt in UTF-8
    std::ofstream(root / utf8("\xE6\x97\xA5.txt")) << "y"; // a name with no 8-bit form
    // 12:00:00 exactly, local time.
    std::tm noon{};
    noon.tm_year = 2024 - 1900, noon.tm_mon = 4, noon.tm_mday = 6, noon.tm_hour = 12;
    noon.tm_isdst = -1;
    const auto at = std::chrono::system_clock::from_time_t(std::mktime(&noon));
    fs::last_write_time(root / utf8("caf\xC3\xA9.txt"), std::chrono::file_clock::from_sys(at));
    FolderStorage storage(root.string());
    std::vector<SimEntry> entries;
    ASSERT_TRUE(storage.List({}, entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "caf\xE9.txt") << "the device's bytes 63 61 66 E9 2E 74 78 74";
    EXPECT_EQ(entries[0].created, PackFatTime(2024, 5, 6, 12, 0, 0));
    EXPECT_EQ(entries[1].name, "\xE6\x97\xA5.txt") << "kept as its bytes";
    std::string content;
    EXPECT_TRUE(storage.ReadFile({"caf\xE9.txt"}, content));
    EXPECT_EQ(content, "x");
    EXPECT_TRUE(storage.ReadFile({"\xE6\x97\xA5.txt"}, content));
    EXPECT_EQ(content, "y");
    EXPECT_EQ(storage.WriteFile({"na\xEFve.txt"}, "z", 0), kOk);
    EXPECT_TRUE(fs::exists(root / utf8("na\xC3\xAFve.txt"))) << "written under its UTF-8 name";
    fs::remove_all(root);
}

} // namespace
