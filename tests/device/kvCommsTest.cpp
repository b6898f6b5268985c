#include "support/ScriptedHid.h"

#include "device/kvComms.h"

#include <gtest/gtest.h>

using kv::TkvComms;
using kvtest::ScriptedEnvironment;

namespace {

struct CommsTest : ::testing::Test {
    ScriptedEnvironment env;
    TkvComms comms;
    void SetUp() override { ASSERT_TRUE(comms.Connect()); }
    std::string Read(uint8_t channel, int timeout = 0) {
        std::string data;
        comms.ReadMessage(channel, timeout, data);
        return data;
    }
};

TEST_F(CommsTest, WriteMessageCutsIntoReportsOf61BytesWithExactLayout) {
    std::string data;
    for (int i = 0; i < 123; ++i)
        data += static_cast<char>(i + 1);
    ASSERT_TRUE(comms.WriteMessage(data.substr(0, 122), 0, 0, 200));
    ASSERT_EQ(env.hid.written.size(), 2u);
    EXPECT_EQ(env.hid.written[0][2], 61);
    EXPECT_EQ(env.hid.written[1][2], 61);

    env.hid.written.clear();
    ASSERT_TRUE(comms.WriteMessage(data, 31, 128, 200));
    ASSERT_EQ(env.hid.written.size(), 3u);
    for (const auto& r : env.hid.written) {
        ASSERT_EQ(r.size(), 64u);
        EXPECT_EQ(r[0], 31);
        EXPECT_EQ(r[1], 128);
    }
    const auto& last = env.hid.written[2];
    EXPECT_EQ(last[2], 1);
    EXPECT_EQ(last[3], 123);
    for (int i = 4; i < 64; ++i)
        EXPECT_EQ(last[i], 0) << "padding at " << i;
    EXPECT_EQ(env.hid.WrittenPayload(31), data);
}

TEST_F(CommsTest, WriteMessageEdgeCases) {
    EXPECT_TRUE(comms.WriteMessage("", 0, 0, 200));
    EXPECT_FALSE(comms.WriteMessage("x", 32, 0, 200));
    EXPECT_TRUE(env.hid.written.empty());
    EXPECT_TRUE(comms.IsConnected());
}

TEST_F(CommsTest, AnyWriteThatDoesNotCompleteClosesTheLink) {
    env.hid.writeMode = kvtest::ScriptedHid::WriteMode::TimeOut;
    EXPECT_FALSE(comms.WriteMessage(std::string(200, 'a'), 0, 0, 200));
    EXPECT_FALSE(comms.IsConnected());
    EXPECT_EQ(env.clock.NowMs(), 1000 + 200) << "stops at the first report that times out";
    EXPECT_FALSE(comms.WriteMessage("a", 0, 0, 200)) << "closed";
    ASSERT_TRUE(comms.Connect());
    env.hid.writeMode = kvtest::ScriptedHid::WriteMode::Fail;
    EXPECT_FALSE(comms.WriteMessage("a", 0, 0, 200));
    EXPECT_FALSE(comms.IsConnected());
}

TEST_F(CommsTest, ReportsComeBackInOrderPerChannel) {
    env.hid.QueueChannel(0, "one");
    env.hid.QueueChannel(5, "other");
    env.hid.QueueChannel(0, "two");
    env.hid.QueueChannel(0, "three");
    EXPECT_EQ(Read(0), "one");
    EXPECT_EQ(Read(0), "two");
    EXPECT_EQ(Read(0), "three");
    EXPECT_EQ(Read(0), "");
    EXPECT_EQ(Read(5), "other");
    EXPECT_EQ(Read(40), "");
}

TEST_F(CommsTest, MalformedReportsAreDroppedAndNothingIsReadPastTheReport) {
    env.hid.QueueRaw(std::vector<uint8_t>(63, 0));
    auto wrongChannel = kv::MakeReport(40, 0, "x");
    env.hid.QueueReport(wrongChannel);
    EXPECT_FALSE(comms.PollReports(0));

    auto empty = kv::MakeReport(0, 0, "");
    env.hid.QueueReport(empty);
    EXPECT_TRUE(comms.PollReports(0));
    EXPECT_EQ(Read(0), "");

    auto longLength = kv::MakeReport(0, 0, std::string(61, 'z'));
    longLength[2] = 255;
    env.hid.QueueReport(longLength);
    EXPECT_EQ(Read(0), std::string(61, 'z'));
}

TEST_F(CommsTest, FullChannelDropsNewerReportsUntilOneIsRead) {
    for (int i = 0; i < 2048; ++i)
        env.hid.QueueChannel(3, std::to_string(i));
    env.hid.QueueChannel(3, "dropped");
    env.hid.QueueChannel(0, "console");
    EXPECT_TRUE(comms.PollReports(0));
    EXPECT_EQ(comms.BufferedBytes(3), kv::kChannelBufferCap);
    EXPECT_EQ(comms.DroppedReports(3), 1u);
    EXPECT_EQ(comms.LostReports(), 0u) << "a channel nobody reads is not a loss";
    EXPECT_EQ(Read(0), "console") << "other channels are not affected";
    EXPECT_EQ(Read(3), "0");
    env.hid.QueueChannel(3, "room");
    comms.PollReports(0);
    EXPECT_EQ(comms.BufferedBytes(3), kv::kChannelBufferCap);
    std::string last;
    for (int i = 1; i < 2049; ++i)
        last = Read(3);
    EXPECT_EQ(last, "room");
    EXPECT_EQ(Read(3), "");
}

TEST_F(CommsTest, BufferedReportsSurviveReconnectUntilCleared) {
    env.hid.QueueChannel(0, "kept");
    env.hid.QueueChannel(1, "cleared");
    comms.PollReports(0);
    comms.Disconnect();
    EXPECT_FALSE(comms.IsConnected());
    ASSERT_TRUE(comms.Connect());
    comms.ClearChannel(1);
    EXPECT_EQ(Read(1), "");
    EXPECT_EQ(Read(0), "kept");
}

TEST_F(CommsTest, ReadMessageTimeoutRules) {
    // Timeout 0 never waits.
    env.hid.QueueChannel(0, "late", 5);
    EXPECT_EQ(Read(0, 0), "");
    EXPECT_EQ(env.clock.NowMs(), 1000);
    // A report arriving within the time-out is returned when it comes.
    EXPECT_EQ(Read(0, 10), "late");
    EXPECT_EQ(env.clock.NowMs(), 1005);
    // Nothing at all: returns after one full time-out.
    EXPECT_EQ(Read(0, 100), "");
    EXPECT_EQ(env.clock.NowMs(), 1105);
    // Reports on other channels keep the loop going until the deadline.
    for (int i = 1; i <= 5; ++i)
        env.hid.QueueChannel(7, "noise", i * 30);
    EXPECT_EQ(Read(0, 100), "");
    EXPECT_EQ(env.clock.NowMs(), 1105 + 120);
    // No deadline: a single wait of the device default (0).
    env.hid.QueueChannel(0, "x", 40);
    EXPECT_EQ(Read(0, -1), "");
    EXPECT_EQ(env.clock.NowMs(), 1225);
    EXPECT_EQ(Read(0, 50), "x");
}

} // namespace
