#include "support/ScriptedHid.h"

#include "device/kvComms.h"

#include <gtest/gtest.h>

using kvtest::ScriptedEnvironment;

namespace {

struct TerminalTest : ::testing::Test {
    ScriptedEnvironment env;
    kv::TkvComms comms;
    kv::TkvTerminal term{comms};
    void SetUp() override { ASSERT_TRUE(comms.Connect()); }
};

TEST_F(TerminalTest, PromptReadersTrimTheirMarkAndLeaveTheRest) {
    const std::string output = "abc\xAB"
                               "dev\xBB";
    env.hid.QueueConsole(output);
    std::string text;
    term.ReadToPromptEnd(50, text);
    EXPECT_EQ(text, "abc\xAB"
                    "dev");

    env.hid.QueueConsole(output);
    term.ReadToPromptStart(50, text);
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(term.Pending, "dev\xBB");
    term.ReadToPromptEnd(50, text);
    EXPECT_EQ(text, "dev");
}

TEST_F(TerminalTest, OneReportFeedsManyOneByteReads) {
    env.hid.QueueConsole(std::string(40, 'q'));
    std::string c;
    term.ReadBytes(1, 10, c);
    EXPECT_EQ(c, "q");
    EXPECT_EQ(term.Pending.size(), 39u);
    const int reads = env.hid.readCalls;
    for (int i = 0; i < 39; ++i) {
        term.ReadBytes(1, 10, c);
        EXPECT_EQ(c, "q");
    }
    EXPECT_EQ(env.hid.readCalls, reads) << "the channel is not touched";
}

TEST_F(TerminalTest, ReadBytesKeepsAPartialGatherForTheNextRead) {
    env.hid.QueueConsole("12345");
    std::string text;
    term.ReadBytes(8, 20, text);
    EXPECT_EQ(text, "");
    EXPECT_EQ(term.Pending, "12345");
    env.hid.QueueConsole("678");
    term.ReadBytes(8, 20, text);
    EXPECT_EQ(text, "12345678");
}

TEST_F(TerminalTest, ReadUntilEndsOnSilenceUntrimmedAndNeedsTheWholeMarker) {
    env.hid.QueueConsole("no mark\xBB here");
    std::string text;
    term.ReadUntil("\r\n", "\r\n", text, 100);
    EXPECT_EQ(text, "no mark\xBB here");
    EXPECT_EQ(env.clock.NowMs(), 1100) << "one silent wait";

    env.hid.QueueConsole("a\rb\r");
    env.hid.QueueConsole("\nrest", 30);
    term.ReadUntil("\r\n", "\r\n", text, 100);
    EXPECT_EQ(text, "a\rb");
    EXPECT_EQ(term.Pending, "rest");

    env.hid.QueueConsole("x\xBBy");
    term.ReadUntil("", "\xBB", text, 10);
    EXPECT_EQ(text, "restx\xBBy") << "an empty end marker reads until silence: never trimmed";
}

TEST_F(TerminalTest, ReadUntilOnClosedLinkReturnsEmptyAtOnce) {
    env.hid.QueueConsole("buffered");
    comms.PollReports(0);
    comms.Disconnect();
    std::string text;
    term.ReadToPromptEnd(1000, text);
    EXPECT_EQ(text, "");
    EXPECT_EQ(env.clock.NowMs(), 1000);
    term.ReadBytes(3, 1000, text);
    EXPECT_EQ(text, "buf") << "ReadBytes still serves buffered bytes";
    term.ReadBytes(10, 1000, text);
    EXPECT_EQ(text, "");
    EXPECT_EQ(env.clock.NowMs(), 1000) << "and does not wait on a closed link";
    EXPECT_EQ(term.Pending, "fered");
}

TEST_F(TerminalTest, IsReadyAsksForAFreshPromptWithEsc) {
    std::string prompt = "\r\n\xAB"
                         "PASSWORD:\xBB";
    env.hid.onWrite = [&](const std::vector<uint8_t>& r) {
        if (r[0] == 0 && r[2] == 1 && r[3] == 0x1B) env.hid.QueueConsole(prompt, 3);
    };
    env.hid.QueueConsole("old output\xAB"
                         "x\xBB");
    EXPECT_FALSE(term.IsReady());
    ASSERT_EQ(env.hid.written.size(), 1u);
    const auto& esc = env.hid.written[0];
    EXPECT_EQ(std::vector<uint8_t>(esc.begin(), esc.begin() + 4),
              (std::vector<uint8_t>{0, 0, 1, 0x1B}));

    prompt = "\xAB"
             "password:\xBB";
    EXPECT_TRUE(term.IsReady()) << "the test is case-sensitive";
    prompt = "\xAB"
             "/Lua>\xBB";
    EXPECT_TRUE(term.IsReady());
    EXPECT_TRUE(term.Pending.empty());

    // The prompt's rest 300 ms after its start: still a password prompt, read to its end.
    env.hid.onWrite = [&](const std::vector<uint8_t>& r) {
        if (r[0] != 0 || r[2] != 1 || r[3] != 0x1B) return;
        env.hid.QueueConsole("\xAB"
                             "PASS",
                             3);
        env.hid.QueueConsole("WORD:\xBB", 300);
    };
    EXPECT_FALSE(term.IsReady());
    EXPECT_TRUE(term.Pending.empty());

    env.hid.onWrite = nullptr;
    EXPECT_TRUE(term.IsReady()) << "silence counts as ready";
}

TEST_F(TerminalTest, SendLineSendsTextAndCrInOneReport) {
    term.SendLine("boot");
    ASSERT_EQ(env.hid.written.size(), 1u);
    const auto& r = env.hid.written[0];
    EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.begin() + 8),
              (std::vector<uint8_t>{0, 0, 5, 'b', 'o', 'o', 't', '\r'}));
}

TEST_F(TerminalTest, IsBootLoaderLooksForTheExactWord) {
    env.hid.product = u"Kovrin BootLoader v2";
    EXPECT_TRUE(term.IsBootLoader());
    env.hid.product = u"Kovrin bootloader";
    EXPECT_FALSE(term.IsBootLoader());
    env.hid.product = u"BootLoader";
    comms.Disconnect();
    EXPECT_FALSE(term.IsBootLoader()) << "unreadable string";
}

TEST_F(TerminalTest, PendingSurvivesDisconnectAndClearInput) {
    env.hid.QueueConsole("abcdef");
    std::string text;
    term.ReadBytes(2, 10, text);
    env.hid.QueueConsole("ghi");
    comms.PollReports(0);
    term.ClearInput();
    comms.Disconnect();
    ASSERT_TRUE(comms.Connect());
    term.ReadBytes(4, 10, text);
    EXPECT_EQ(text, "cdef");
    term.ReadBytes(1, 10, text);
    EXPECT_EQ(text, "") << "ClearInput dropped the channel's buffered report";
}

} // namespace
