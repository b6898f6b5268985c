#include "support/ScriptedHid.h"

#include "device/Clock.h"
#include "device/DeviceText.h"
#include "device/RawHid.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <thread>

using kv::TRawHid;
using kvtest::ScriptedEnvironment;

namespace {

struct RawHidTest : ::testing::Test {
    ScriptedEnvironment env;
    TRawHid hid;
    void OpenIt() { ASSERT_TRUE(hid.OpenFirst(kv::kVendorId, kv::kProductId, kv::kUsagePage, -1)); }
};

TEST_F(RawHidTest, TimedOutReadIsResumedByTheNextCallWithoutLosingTheReport) {
    OpenIt();
    env.hid.QueueRaw(std::vector<uint8_t>(64, 0x42), 30);
    uint8_t buffer[64];
    EXPECT_EQ(hid.ReadReport(buffer, 64, 10), 0);
    EXPECT_TRUE(hid.ReadPending);
    EXPECT_EQ(hid.ReadReport(buffer, 64, 50), 64);
    EXPECT_FALSE(hid.ReadPending);
    EXPECT_EQ(buffer[63], 0x42);
    // The report arrived 30 ms after the first call: the second call waited only until then.
    EXPECT_EQ(env.clock.NowMs(), 1000 + 30);
}

// A wait hook sees every long wait of its thread in slices: reads keep their deadline and their
// report, sleeps their length; the hook is never entered from inside itself nor from another
// thread.
TEST_F(RawHidTest, WaitHookIsServedThroughLongReadsAndSleeps) {
    OpenIt();
    std::vector<int64_t> calls;
    int depth = 0, deepest = 0;
    kv::SetWaitHook([&] {
        deepest = std::max(deepest, ++depth);
        calls.push_back(env.clock.NowMs());
        uint8_t inner[64];
        hid.ReadReport(inner, 64, 100); // a long read from inside the hook: not served again
        --depth;
    });
    struct Off {
        ~Off() { kv::SetWaitHook({}); }
    } off;
    uint8_t buffer[64];
    EXPECT_EQ(hid.ReadReport(buffer, 64, 1000), 0);
    // The deadline holds whatever the hook spent: the read ends at most one hook call after it.
    EXPECT_GE(env.clock.NowMs(), 1000 + 1000);
    EXPECT_LE(env.clock.NowMs(), 1000 + 1000 + 100 + kv::kWaitSliceMs);
    ASSERT_GE(calls.size(), 8u);
    for (size_t i = 1; i < calls.size(); ++i)
        EXPECT_LE(calls[i] - calls[i - 1], kv::kWaitSliceMs + 100) << i;

    calls.clear();
    kv::SetWaitHook([&] { calls.push_back(env.clock.NowMs()); });
    const int64_t start = env.clock.NowMs();
    env.hid.QueueRaw(std::vector<uint8_t>(64, 7), 70);
    EXPECT_EQ(hid.ReadReport(buffer, 64, 1000), 64);
    EXPECT_EQ(env.clock.NowMs(), start + 70) << "the report ends the sliced wait when it comes";
    EXPECT_EQ(buffer[0], 7);
    EXPECT_GE(calls.size(), 3u);

    calls.clear();
    env.clock.SleepMs(2000);
    EXPECT_EQ(env.clock.NowMs(), start + 70 + 2000);
    EXPECT_GE(calls.size(), 2000u / kv::kWaitSliceMs);

    calls.clear();
    std::thread([&] { env.clock.SleepMs(500); }).join();
    EXPECT_TRUE(calls.empty()) << "another thread's wait does not call the hook";
    EXPECT_EQ(deepest, 1) << "the hook was entered from inside itself";
}

TEST_F(RawHidTest, SizesAreClampedAndLongReportsCut) {
    OpenIt();
    env.hid.QueueRaw(std::vector<uint8_t>(600, 1));
    env.hid.QueueRaw(std::vector<uint8_t>(64, 2)); // 65 bytes on the wire with the ID
    uint8_t buffer[600];
    EXPECT_EQ(hid.ReadReport(buffer, 600, 0), 516);
    EXPECT_EQ(hid.ReadReport(buffer, 10, 0), 10);
    EXPECT_EQ(hid.ReadReport(buffer, 64, 0), 0);

    env.hid.QueueRaw(std::vector<uint8_t>(64, 3));
    EXPECT_EQ(hid.ReadReport(buffer, 64, -1), 64) << "negative time-out uses ReadTimeout 0";
}

TEST_F(RawHidTest, WriteLimitsAndResults) {
    uint8_t data[516] = {1, 2, 3};
    EXPECT_EQ(hid.WriteReport(data, 64, 100), -1) << "closed";
    OpenIt();
    EXPECT_EQ(hid.WriteReport(data, 515, 100), 515);
    EXPECT_EQ(hid.WriteReport(data, 516, 100), -1);
    ASSERT_EQ(env.hid.written.size(), 1u);
    EXPECT_EQ(env.hid.written[0].size(), 515u);
    EXPECT_EQ(env.hid.written[0][2], 3);

    env.hid.writeMode = kvtest::ScriptedHid::WriteMode::TimeOut;
    EXPECT_EQ(hid.WriteReport(data, 64, 200), 0);
    env.hid.writeMode = kvtest::ScriptedHid::WriteMode::Fail;
    EXPECT_EQ(hid.WriteReport(data, 64, 200), -1);
}

TEST_F(RawHidTest, EnumerationAcceptsOnlyTheSingleMatchingInterface) {
    auto base = env.hid.interfaces[0];
    auto composite = base;
    composite.path = "/dev/hidraw-composite";
    composite.usbInterfaces = 2;
    auto twoCollections = base;
    twoCollections.path = "/dev/hidraw-two";
    twoCollections.topLevelCollections = 2;
    auto otherPage = base;
    otherPage.path = "/dev/hidraw-page";
    otherPage.usagePage = 0xFF00;
    auto otherProduct = base;
    otherProduct.path = "/dev/hidraw-product";
    otherProduct.productId = 0x1234;
    env.hid.interfaces = {composite, twoCollections, otherPage, otherProduct, base};

    std::vector<std::string> list{"stale"};
    EXPECT_EQ(TRawHid::FindDevices(list, kv::kVendorId, kv::kProductId, kv::kUsagePage, -1), 1);
    EXPECT_EQ(list, std::vector<std::string>{base.path});
    EXPECT_EQ(TRawHid::FindDevices(list, kv::kVendorId, kv::kProductId, -1, -1), 2);
    EXPECT_EQ(TRawHid::FindDevices(list, kv::kVendorId, -1, -1, -1), 3);
    EXPECT_EQ(TRawHid::FindDevices(list, kv::kVendorId, kv::kProductId, kv::kUsagePage, 2), 0);

    env.hid.present = false;
    EXPECT_FALSE(hid.OpenFirst(kv::kVendorId, kv::kProductId, kv::kUsagePage, -1));
    EXPECT_FALSE(hid.IsOpen());
}

TEST_F(RawHidTest, OpenReadsUsageAndCloseResetsState) {
    OpenIt();
    EXPECT_EQ(hid.UsagePage, kv::kUsagePage);
    EXPECT_EQ(hid.Usage, 1);
    EXPECT_EQ(hid.DevicePath, "/dev/hidraw-kovrin");
    uint8_t buffer[64];
    EXPECT_EQ(hid.ReadReport(buffer, 64, 5), 0);
    EXPECT_TRUE(hid.ReadPending);
    hid.Close();
    EXPECT_FALSE(hid.ReadPending);
    EXPECT_EQ(hid.UsagePage, 0);
    EXPECT_EQ(hid.Usage, 0);
    hid.Close(); // harmless
    EXPECT_EQ(hid.ReadReport(buffer, 64, 5), 0);

    OpenIt();
    env.hid.QueueRaw(std::vector<uint8_t>(64, 9));
    EXPECT_EQ(hid.ReadReport(buffer, 64, 0), 64);
}

TEST_F(RawHidTest, StringsAreEmptyWhenClosedOrUnreadableAndLimitedToTheBuffer) {
    EXPECT_TRUE(hid.GetManufacturer().empty());
    EXPECT_TRUE(hid.GetProduct().empty());
    EXPECT_TRUE(hid.GetSerialNumber().empty());
    EXPECT_TRUE(hid.GetIndexedString(201).empty());
    OpenIt();
    env.hid.indexed[204] = std::u16string(300, u'x');
    EXPECT_EQ(hid.GetProduct(), u"Kovrin Device");
    EXPECT_EQ(hid.GetIndexedString(204).size(), 255u);
    EXPECT_TRUE(hid.GetIndexedString(203).empty());
    env.hid.present = false;
    EXPECT_TRUE(hid.GetSerialNumber().empty());
}

TEST_F(RawHidTest, TheIdentityIsAskedForStringByStringInTheDevicesOrder) {
    OpenIt();
    env.hid.indexed = {{201, u"1.2"}, {202, u"77"}, {203, u"2026-01-02"}};
    env.hid.stringsAsked.clear();
    EXPECT_EQ(kv::IdentityText(hid), "Kovrin\n#12345\nKovrin Device v1.2 (build 77 @ 2026-01-02)");
    EXPECT_EQ(env.hid.stringsAsked,
              (std::vector<std::string>{"manufacturer", "serial", "product", "201", "202", "203"}));
}

} // namespace
