// The file service against a scripted console: exact bytes on the wire, reply handling, events.
#include "support/ScriptedHid.h"
#include "support/SimFixture.h"
#include "support/WorkRig.h"

#include "files/kvbFiles.h"
#include "workflows/ConsoleText.h"
#include "workflows/DeviceWork.h"

#include <gtest/gtest.h>

using namespace kv;
using kvtest::ScriptedEnvironment;

namespace {

const std::string kPrompt = "\xAB"
                            "p>\xBB";

// Plays the device side: ESC gives a prompt, each CR-ended line goes to onLine, and after a
// go-ahead the next `expectContent` bytes are taken as content.
struct ScriptedConsole {
    kvtest::ScriptedHid& hid;
    std::string line, content;
    size_t expectContent = 0;
    std::function<void(const std::string&)> onLine;
    std::function<void(size_t received)> onContent;
    std::vector<std::string> lines;

    explicit ScriptedConsole(kvtest::ScriptedHid& h) : hid(h) {
        hid.onWrite = [this](const std::vector<uint8_t>& r) {
            if (r[0] != 0) return;
            for (int i = 0; i < r[2]; ++i)
                Byte(static_cast<char>(r[3 + i]));
        };
    }
    void Byte(char c) {
        if (expectContent > 0) {
            content += c;
            if (--expectContent == 0 || content.size() % 4096 == 0)
                if (onContent) onContent(content.size());
            return;
        }
        if (c == '\x1B') {
            hid.QueueConsole("\r\n" + kPrompt);
        } else if (c == '\r') {
            lines.push_back(line);
            if (onLine) onLine(line);
            line.clear();
        } else {
            line += c;
        }
    }
};

struct FilesTest : ::testing::Test {
    ScriptedEnvironment env;
    TkvComms comms;
    TkvTerminal term{comms};
    TkvbFiles files{term};
    ScriptedConsole console{env.hid};
    std::vector<std::pair<int32_t, int32_t>> progress;
    int done = 0;
    void SetUp() override {
        ASSERT_TRUE(comms.Connect());
        files.OnProgress = [this](TkvbFiles* sender, int32_t pos, int32_t total) {
            EXPECT_EQ(sender, &files);
            progress.emplace_back(pos, total);
        };
        files.OnDone = [this](TkvbFiles*) { ++done; };
    }
    std::string Wire() const { return env.hid.WrittenPayload(0); }
};

TEST(FileParsing, NextFieldAndParseDirEntry) {
    std::string line = "a\tb\t\tc";
    EXPECT_EQ(NextField(line), "a");
    EXPECT_EQ(line, "b\t\tc");
    EXPECT_EQ(NextField(line), "b");
    EXPECT_EQ(NextField(line), "");
    EXPECT_EQ(NextField(line), "c");
    EXPECT_EQ(line, "");
    EXPECT_EQ(NextField(line), "");

    auto e = TkvbFiles::ParseDirEntry("a.txt\t10\t32\t0\t0\t0");
    EXPECT_EQ(e.Name, "a.txt");
    EXPECT_EQ(e.Size, 10);
    EXPECT_EQ(e.Attr, 0x20);
    EXPECT_EQ(TkvbFiles::AttrToStr(e.Attr), "A");
    EXPECT_FALSE(e.Created || e.Stamp2 || e.Stamp3);

    e = TkvbFiles::ParseDirEntry("x\t-5\t305\t1263559772\t\tabc\textra\tmore");
    EXPECT_EQ(e.Size, -5);
    EXPECT_EQ(e.Attr, 305 & 0xFF);
    ASSERT_TRUE(e.Created);
    EXPECT_FALSE(e.Stamp2);

    try {
        TkvbFiles::ParseDirEntry("no tab at all");
        FAIL() << "no size field";
    } catch (const EKvError& error) {
        EXPECT_STREQ(error.what(), "'' is not a valid integer value");
    }
    EXPECT_THROW(TkvbFiles::ParseDirEntry("a\t12x\t0"), EKvError);
    EXPECT_THROW(TkvbFiles::ParseDirEntry("a\t1\tA"), EKvError);
    EXPECT_THROW(TkvbFiles::ParseDirEntry("a\t2147483648\t0"), EKvError);
    EXPECT_EQ(TkvbFiles::ParseDirEntry("a\t-2147483648\t0").Size, INT32_MIN);
}

TEST(FileParsing, DecodePackedDate) {
    EXPECT_EQ(DecodePackedDate("1263559772"), (DateTime{2017, 10, 16, 12, 34, 56}));
    for (const char* none : {"", "0", "abc", "12345", "2147483648", "-0", " 1263559772"})
        EXPECT_FALSE(DecodePackedDate(none)) << none;
    // Leap days, the last valid second, and a negative value by its bits.
    const auto pack = [](int y, int mo, int d, int h, int mi, int s) {
        return std::to_string(static_cast<int32_t>(uint32_t(y - 1980) << 25 | uint32_t(mo) << 21 |
                                                   uint32_t(d) << 16 | uint32_t(h) << 11 |
                                                   uint32_t(mi) << 5 | uint32_t(s / 2)));
    };
    EXPECT_EQ(DecodePackedDate(pack(2024, 2, 29, 23, 59, 58)), (DateTime{2024, 2, 29, 23, 59, 58}));
    EXPECT_FALSE(DecodePackedDate(pack(2023, 2, 29, 0, 0, 0)));
    EXPECT_FALSE(DecodePackedDate(pack(2100, 2, 29, 0, 0, 0)));
    EXPECT_EQ(DecodePackedDate(pack(2000, 2, 29, 0, 0, 0)), (DateTime{2000, 2, 29, 0, 0, 0}));
    EXPECT_FALSE(DecodePackedDate(pack(2017, 4, 31, 0, 0, 0)));
    EXPECT_FALSE(DecodePackedDate(pack(2017, 4, 30, 24, 0, 0)));
    EXPECT_FALSE(DecodePackedDate(pack(2017, 4, 30, 0, 60, 0)));
    EXPECT_FALSE(DecodePackedDate(pack(2017, 4, 30, 0, 0, 60)));
    EXPECT_FALSE(DecodePackedDate(pack(2017, 13, 1, 0, 0, 0)));
    EXPECT_EQ(DecodePackedDate(pack(2100, 12, 31, 1, 2, 4)), (DateTime{2100, 12, 31, 1, 2, 4}))
        << "years past 2043 have the top bit set: a negative number on the wire";
}

TEST(FileParsing, AttrToStr) {
    EXPECT_EQ(TkvbFiles::AttrToStr(0x00), "");
    EXPECT_EQ(TkvbFiles::AttrToStr(0x23), "ARH");
    EXPECT_EQ(TkvbFiles::AttrToStr(0x21), "AR");
    EXPECT_EQ(TkvbFiles::AttrToStr(0x31), "<DIR>");
    EXPECT_EQ(TkvbFiles::AttrToStr(0x04), "");
    EXPECT_EQ(TkvbFiles::AttrToStr(0x08), "");
    EXPECT_EQ(TkvbFiles::AttrToStr(0x03), "RH");
}

TEST_F(FilesTest, QuotePathBothStyles) {
    EXPECT_EQ(files.QuotePath("/My Dir/a b.txt"), "/My_Dir/a_b.txt");
    files.QuotePaths = true;
    EXPECT_EQ(files.QuotePath("/My Dir/a b.txt"), "\"/My Dir/a b.txt\"");
    EXPECT_EQ(files.QuotePath("/q\"x"), "\"/q\"x\"") << "quotes are not escaped";
}

TEST_F(FilesTest, ListDirectoryOfTheRootOnTheWire) {
    console.onLine = [&](const std::string&) {
        env.hid.QueueConsole("\xBB"
                             "Directory of /\r\n"
                             "a.txt\t10\t32\t0\t0\t0\r\nLua\t0\t16\t0\t0\t0\r\n\r\n"
                             "after\tthe\tend\r\n2 File(s)\r\n" +
                             kPrompt + "tail");
    };
    std::vector<std::string> lines{"stale"};
    ASSERT_TRUE(files.ListDirectory("", lines));
    EXPECT_EQ(Wire(), "\x1BNFDIR @\r");
    EXPECT_EQ(lines, (std::vector<std::string>{"a.txt\t10\t32\t0\t0\t0", "Lua\t0\t16\t0\t0\t0"}));
    EXPECT_EQ(term.Pending, "") << "the trailer and prompt are drained";
    EXPECT_FALSE(files.Busy);
}

TEST_F(FilesTest, ListDirectoryRefusals) {
    std::vector<std::string> lines{"stale"};
    console.onLine = [&](const std::string&) { env.hid.QueueConsole("2:Path not found\r\n"); };
    EXPECT_FALSE(files.ListDirectory("/Nope", lines));
    EXPECT_TRUE(lines.empty());

    files.Busy = true;
    env.hid.written.clear();
    EXPECT_FALSE(files.ListDirectory("/", lines));
    EXPECT_TRUE(env.hid.written.empty()) << "busy: nothing sent";
    EXPECT_TRUE(files.Busy);
    files.Busy = false;

    comms.Disconnect();
    EXPECT_FALSE(files.ListDirectory("/", lines));
    EXPECT_TRUE(env.hid.written.empty());
}

TEST_F(FilesTest, ListingEntriesEndAtSilenceWithAPartialLastLine) {
    console.onLine = [&](const std::string&) {
        env.hid.QueueConsole("Directory of /x\r\na\t1\t32\t0\t0\t0\r\npartial\t2");
    };
    std::vector<std::string> lines;
    EXPECT_TRUE(files.ListDirectory("/x", lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"a\t1\t32\t0\t0\t0", "partial\t2"}));
}

TEST_F(FilesTest, ReadFileSlicesProgressAndEvents) {
    const std::string content = kvtest::RandomBytes(10000, 1);
    console.onLine = [&](const std::string& line) {
        if (line == "NFTYPE @/Lua/big_file.bin")
            env.hid.QueueConsole("big file.bin\t10000\tjunk\r\n" + content + "\r\n" + kPrompt);
    };
    std::string got = "old";
    ASSERT_TRUE(files.ReadFile("/Lua/big file.bin", got));
    EXPECT_EQ(Wire(), "\x1BNFTYPE @/Lua/big_file.bin\r");
    EXPECT_EQ(got, content);
    EXPECT_EQ(progress, (std::vector<std::pair<int32_t, int32_t>>{
                            {4096, 10000}, {8192, 10000}, {10000, 10000}}));
    EXPECT_EQ(done, 1);
    EXPECT_TRUE(term.Pending.empty());
}

TEST_F(FilesTest, ReadFileOfLengthZeroAndOfAShortHeader) {
    console.onLine = [&](const std::string& line) {
        if (line.find("empty") != std::string::npos)
            env.hid.QueueConsole("empty\t0\r\n" + kPrompt);
        else
            env.hid.QueueConsole("name\t42\r\n" + std::string(42, '\xBB') + kPrompt);
    };
    std::string got = "old";
    EXPECT_TRUE(files.ReadFile("/empty", got));
    EXPECT_EQ(got, "");
    EXPECT_TRUE(progress.empty());
    EXPECT_EQ(done, 1);
    EXPECT_TRUE(files.ReadFile("/other", got));
    EXPECT_EQ(got, std::string(42, '\xBB')) << "content is taken by count, markers and all";
}

TEST_F(FilesTest, ReadFileCutShortIsAFailureWithEmptyContent) {
    console.onLine = [&](const std::string&) {
        env.hid.QueueConsole("f\t10000\r\n" + std::string(5000, 'x'));
    };
    std::string got = "old";
    EXPECT_FALSE(files.ReadFile("/f", got));
    EXPECT_EQ(got, "");
    EXPECT_EQ(progress, (std::vector<std::pair<int32_t, int32_t>>{{4096, 10000}}));
    EXPECT_EQ(done, 1);
    EXPECT_FALSE(files.Busy);
}

TEST_F(FilesTest, ACommandDuringWhichInputWasDroppedFailsAsNotWhole) {
    kvtest::QuietHost host;
    TDeviceWork work{files, host};
    // A listing that arrives faster than it is read: the console's buffer overflows, and what
    // is left reads like a listing that ended by silence.
    std::string listing = "Directory of /\r\n";
    for (int i = 0; listing.size() < kChannelBufferCap; ++i)
        listing.append("f").append(std::to_string(i)).append("\t1\t32\t0\t0\t0\r\n");
    console.onLine = [&](const std::string&) { env.hid.QueueConsole(listing + "\r\n" + kPrompt); };
    std::vector<std::string> lines;
    EXPECT_FALSE(files.ListDirectory("/", lines));
    EXPECT_TRUE(files.InputLost());
    std::vector<DeviceDirEntry> entries;
    const VerbResult listed = work.Verbs.List("/", entries);
    EXPECT_EQ(listed.What, Outcome::NotWhole) << listed.Message();
    const uint64_t overflowed = comms.DroppedReports(kConsoleChannel);
    EXPECT_GT(overflowed, 0u);
    EXPECT_EQ(LostReportsText(comms),
              std::to_string(overflowed) + " input reports from the device dropped (" +
                  std::to_string(overflowed) + " with the console's buffer full)");

    // Reports dropped in the backend's queue during a download that looks whole.
    std::string header = "f\t3\r\nabc";
    console.onLine = [&](const std::string&) {
        env.hid.dropped += 2;
        env.hid.QueueConsole(header + "\r\n" + kPrompt);
    };
    std::string got;
    EXPECT_FALSE(files.ReadFile("/f", got));
    EXPECT_EQ(work.Verbs.Read("/f", got).What, Outcome::NotWhole);
    console.onLine = [&](const std::string&) { env.hid.QueueConsole(header + "\r\n" + kPrompt); };
    EXPECT_TRUE(files.ReadFile("/f", got)) << "nothing dropped meanwhile";
    EXPECT_FALSE(files.InputLost());
    EXPECT_EQ(got, "abc");
    // The link's count outlives the handle whose queue dropped them.
    comms.Disconnect();
    env.hid.dropped = 0;
    ASSERT_TRUE(comms.Connect());
    EXPECT_EQ(comms.LostReports(), overflowed + 4);
    EXPECT_NE(LostReportsText(comms).find("4 in the link's queue"), std::string::npos);
}

TEST_F(FilesTest, ReadFileRefusalsAndBadLengths) {
    std::string header;
    console.onLine = [&](const std::string&) { env.hid.QueueConsole(header + "\r\n" + kPrompt); };
    std::string got = "old";
    header = "4:File not found";
    EXPECT_FALSE(files.ReadFile("/f", got));
    header = "f\t-1";
    EXPECT_FALSE(files.ReadFile("/f", got)) << "a negative length is a refusal";
    EXPECT_EQ(done, 0);
    header = "f\t12abc";
    try {
        files.ReadFile("/f", got);
        FAIL();
    } catch (const EKvError& e) {
        EXPECT_STREQ(e.what(), "'12abc' is not a valid integer value");
    }
    EXPECT_FALSE(files.Busy) << "cleared on the error path";
    EXPECT_EQ(done, 0);
    EXPECT_TRUE(progress.empty());
}

TEST_F(FilesTest, WriteFileOnTheWire) {
    console.onLine = [&](const std::string& line) {
        if (line.rfind("NFWRITE", 0) == 0) {
            console.expectContent = 5;
            env.hid.QueueConsole("Send file\r\n");
        }
    };
    console.onContent = [&](size_t) { env.hid.QueueConsole("0:No error\r\n" + kPrompt); };
    EXPECT_TRUE(files.WriteFile("/Lua/a b.lua", std::string("\xAB\xBB\x1B\r\0", 5)));
    EXPECT_EQ(Wire(), std::string("\x1BNFWRITE /Lua/a_b.lua\t5\tw\r\xAB\xBB\x1B\r\0", 31));
    EXPECT_EQ(progress, (std::vector<std::pair<int32_t, int32_t>>{{5, 5}}));
    EXPECT_EQ(done, 1);
    EXPECT_TRUE(term.Pending.empty());
}

TEST_F(FilesTest, WriteFileEmptyAndSliced) {
    size_t expect = 0;
    console.onLine = [&](const std::string&) {
        console.expectContent = expect;
        env.hid.QueueConsole("Send file\r\n" +
                             (expect == 0 ? "0:No error\r\n" + kPrompt : std::string()));
    };
    EXPECT_TRUE(files.WriteFile("/e", ""));
    EXPECT_EQ(Wire(), "\x1BNFWRITE /e\t0\tw\r");
    EXPECT_TRUE(progress.empty());
    EXPECT_EQ(done, 1);

    expect = 4097;
    env.hid.written.clear();
    EXPECT_TRUE(files.WriteFile("/s", std::string(4097, 's')));
    EXPECT_EQ(progress, (std::vector<std::pair<int32_t, int32_t>>{{4096, 4097}, {4097, 4097}}));
    EXPECT_EQ(console.content, std::string(4097, 's'));
    // 4096 bytes are 68 reports (67 full and one of 9), then one report of 1 byte.
    size_t contentReports = 0;
    for (const auto& r : env.hid.written)
        if (r[2] != 0 && r[3] == 's') ++contentReports;
    EXPECT_EQ(contentReports, 69u);
}

TEST_F(FilesTest, WriteFileStopsWhenTheDeviceAborts) {
    console.onLine = [&](const std::string&) {
        console.expectContent = 20000;
        env.hid.QueueConsole("Send file\r\n");
    };
    console.onContent = [&](size_t received) {
        if (received == 4096) {
            env.hid.QueueConsole("28:Disk full\r\n" + kPrompt + std::string(300, 'E'));
            console.expectContent = 0; // the device takes no more content
        }
    };
    EXPECT_FALSE(files.WriteFile("/w", std::string(20000, 'w')));
    EXPECT_EQ(console.content.size(), 4096u) << "stops after the first slice";
    EXPECT_TRUE(progress.empty());
    EXPECT_EQ(done, 1);

    // Fewer than 256 bytes waiting, even with a prompt end, do not stop it.
    console.content.clear();
    console.expectContent = 0;
    console.onContent = [&](size_t received) {
        if (received == 4096) env.hid.QueueConsole("short\xBB");
    };
    EXPECT_TRUE(files.WriteFile("/w", std::string(20000, 'w')));
    EXPECT_EQ(console.content.size(), 20000u);
}

TEST_F(FilesTest, WriteFileWithoutGoAheadSendsNoContent) {
    console.onLine = [&](const std::string&) { env.hid.QueueConsole("2:Path not found\r\n"); };
    EXPECT_FALSE(files.WriteFile("/no/such", "data"));
    EXPECT_EQ(Wire(), "\x1BNFWRITE /no/such\t4\tw\r");
    EXPECT_EQ(done, 0);
}

TEST_F(FilesTest, WriteFileReportsALinkLostOnTheWay) {
    console.onLine = [&](const std::string&) {
        console.expectContent = 10000;
        env.hid.QueueConsole("Send file\r\n");
    };
    console.onContent = [&](size_t) { env.hid.writeMode = kvtest::ScriptedHid::WriteMode::Fail; };
    EXPECT_FALSE(files.WriteFile("/w", std::string(10000, 'w')));
    EXPECT_FALSE(comms.IsConnected());
    EXPECT_EQ(done, 1);
}

TEST_F(FilesTest, LoadFirmwareOnTheWire) {
    console.onLine = [&](const std::string&) {
        console.expectContent = 70000;
        env.hid.QueueConsole("Send file\r\n");
    };
    console.onContent = [&](size_t n) {
        if (n == 70000) env.hid.QueueConsole("Received\r\n" + kPrompt, 1);
    };
    files.QuotePaths = false;
    EXPECT_TRUE(files.LoadFirmware("my app.blf", std::string(70000, 'F')));
    EXPECT_EQ(console.lines.back(), "LOAD 70000 my app.blf") << "the name is not quoted";
    EXPECT_EQ(progress.size(), 18u);
    EXPECT_EQ(progress[16].first, 17 * 4096);
    EXPECT_EQ(progress[17].first, 70000);
    EXPECT_EQ(term.Pending, "p>\xBB") << "reads only up to the prompt start";
}

TEST_F(FilesTest, LoadFirmwareStopsOnAnyByteFromTheBootLoader) {
    console.onLine = [&](const std::string&) {
        console.expectContent = 70000;
        env.hid.QueueConsole("Send file\r\n");
    };
    console.onContent = [&](size_t n) {
        if (n == 8192) env.hid.QueueConsole("!");
    };
    EXPECT_FALSE(files.LoadFirmware("app.blf", std::string(70000, 'F')));
    EXPECT_EQ(console.content.size(), 8192u);
    EXPECT_EQ(progress.size(), 1u);
    EXPECT_EQ(done, 1);
}

TEST_F(FilesTest, ManagementCommandsOnTheWire) {
    console.onLine = [&](const std::string&) { env.hid.QueueConsole("0:No error\r\n" + kPrompt); };
    EXPECT_TRUE(files.DeleteFile("/Lua/old file.lua"));
    EXPECT_TRUE(files.RenameFile("/Lua/a.lua", "b.lua"));
    EXPECT_TRUE(files.WipeDirectory("/Lua/dir"));
    files.QuotePaths = true;
    EXPECT_TRUE(files.DeleteFile("/Lua/old file.lua"));
    EXPECT_TRUE(files.MakeDirectory("/New Dir"));
    EXPECT_EQ(console.lines,
              (std::vector<std::string>{"NFDEL /Lua/old_file.lua", "NFRENAME /Lua/a.lua b.lua",
                                        "NFWIPEDIR /Lua/dir", "NFDEL \"/Lua/old file.lua\"",
                                        "NFMKDIR \"/New Dir\""}));
    EXPECT_TRUE(term.Pending.empty());
}

TEST_F(FilesTest, ManagementResultsAndWaits) {
    int delay = 0;
    std::string reply = "0:No error";
    console.onLine = [&](const std::string&) {
        env.hid.QueueConsole(reply + "\r\n" + kPrompt, delay);
    };
    delay = 1500;
    EXPECT_TRUE(files.MakeDirectory("/a"));
    delay = 2500;
    EXPECT_FALSE(files.MakeDirectory("/b"));
    delay = 0;
    env.clock.AdvanceMs(1000); // the late answer comes and goes
    files.DiscardInput();
    reply = "5:Access denied";
    EXPECT_FALSE(files.DeleteFile("/c"));

    reply = "0:No error";
    files.Busy = true;
    EXPECT_FALSE(files.DeleteFile("/d"));
    EXPECT_TRUE(files.RenameFile("/e", "f")) << "rename skips the busy guard";
    EXPECT_TRUE(files.Busy) << "and leaves the flag alone";
}

} // namespace

// A path or name that would end, split or change the command line is refused before anything
// is sent (not even the ESC of the command's frame), with the reason kept apart from the
// device's words; every valid one goes byte for byte.
TEST_F(FilesTest, ArgumentsThatCannotGoIntoACommandLineSendNothing) {
    struct Case {
        std::string path;
        bool quoted;
        const char* why; // empty: sent as it is
    };
    const Case cases[] = {
        {"/z\rNFWIPEDIR Lua\rz", true, "a carriage return (CR)"},
        {"/a\nb", false, "a line feed (LF)"},
        {"/a\tb", true, "a TAB"},
        {"/a\x1B"
         "b",
         false, "the control character 0x1B"},
        {std::string("/a\0b", 4), true, "the control character 0x00"},
        {"/a\x7F", true, "the control character 0x7F"},
        {"/x\" y", true, "a double quote (\")"},
        {"/x\" y", false, ""},
        {"/My Dir/caf\xE9 \xBB.txt", true, ""},
        {"/My Dir/caf\xE9 \xBB.txt", false, ""},
    };
    console.onLine = [&](const std::string&) { env.hid.QueueConsole("0:No error\r\n" + kPrompt); };
    for (const Case& c : cases) {
        files.QuotePaths = c.quoted;
        env.hid.written.clear();
        console.lines.clear();
        std::string content;
        std::vector<std::string> lines;
        const bool sent[] = {files.ListDirectory(c.path, lines), files.ReadFile(c.path, content),
                             files.WriteFile(c.path, "x"),       files.MakeDirectory(c.path),
                             files.WipeDirectory(c.path),        files.DeleteFile(c.path),
                             files.RenameFile(c.path, "n")};
        const std::string shown = VisibleText(c.path);
        if (*c.why) {
            for (bool result : sent)
                EXPECT_FALSE(result) << shown;
            EXPECT_TRUE(env.hid.written.empty()) << shown;
            EXPECT_EQ(
                files.LastRefusal().rfind(std::string("not sent: the path holds ") + c.why, 0), 0u)
                << files.LastRefusal();
            EXPECT_EQ(files.LastReply(), "") << shown;
            continue;
        }
        EXPECT_EQ(files.LastRefusal(), "") << shown;
        const std::string arg = files.QuotePath(c.path);
        EXPECT_EQ(console.lines, (std::vector<std::string>{
                                     "NFDIR @" + arg, "NFTYPE @" + arg, "NFWRITE " + arg + "\t1\tw",
                                     "NFMKDIR " + arg, "NFWIPEDIR " + arg, "NFDEL " + arg,
                                     "NFRENAME " + arg + " " + files.QuotePath("n")}))
            << shown;
    }

    // A new name is one name: no "/" in it, nor a quote that would start or end it.
    const std::pair<std::string, bool> names[] = {
        {"backup/old", false}, {"q\"x.txt", true}, {"\"x.txt", false}, {"a\rb", false}};
    for (const auto& [name, quoted] : names) {
        files.QuotePaths = quoted;
        env.hid.written.clear();
        EXPECT_FALSE(files.RenameFile("/a.txt", name));
        EXPECT_TRUE(env.hid.written.empty()) << VisibleText(name);
        EXPECT_EQ(files.LastRefusal().rfind("not sent: the name \"" + VisibleText(name) + "\"", 0),
                  0u)
            << files.LastRefusal();
    }
    files.QuotePaths = false;
    console.lines.clear();
    EXPECT_TRUE(files.RenameFile("/a.txt", "q\"x \xE9.txt")) << "a quote inside is plain text";
    EXPECT_EQ(console.lines, std::vector<std::string>{"NFRENAME /a.txt q\"x_\xE9.txt"});
    env.hid.written.clear();
    EXPECT_FALSE(files.LoadFirmware("app\r.blf", "F"));
    EXPECT_TRUE(env.hid.written.empty());
    EXPECT_EQ(VisibleText("a\r\n\tb\x01"), "a\\r\\n\\tb\\x01");
}
