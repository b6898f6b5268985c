#include "device/HidPlatform.h"
#include "device/ReportQueue.h"
#include "device/TimedWriter.h"
#include "device/linux/LinuxSysfs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
}

// A made-up sysfs: hidraw0 on a single-interface USB device 3/17, hidraw1 on interface 1 of a
// composite device, hidraw2 on a bus without USB.
struct FakeSysfs : ::testing::Test {
    fs::path root;
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("kv-sysfs-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        const fs::path usb = root / "devices/pci0000:00/0000:00:14.0/usb3/3-2";
        WriteFile(usb / "busnum", "3");
        WriteFile(usb / "devnum", "17");
        WriteFile(usb / "bNumInterfaces", " 1");
        fs::create_directories(usb / "3-2:1.0/0003:16D0:064E.0001/hidraw/hidraw0");
        const fs::path comp = root / "devices/pci0000:00/0000:00:14.0/usb1/1-4";
        WriteFile(comp / "busnum", "1");
        WriteFile(comp / "devnum", "2");
        WriteFile(comp / "bNumInterfaces", " 2");
        fs::create_directories(comp / "1-4:1.1/0003:16D0:064E.0002");
        fs::create_directories(root / "devices/virtual/misc/uhid/0005:1234:5678.0003");
        fs::create_directories(root / "class/hidraw/hidraw0");
        fs::create_directories(root / "class/hidraw/hidraw1");
        fs::create_directories(root / "class/hidraw/hidraw2");
        fs::create_directory_symlink(usb / "3-2:1.0/0003:16D0:064E.0001",
                                     root / "class/hidraw/hidraw0/device");
        fs::create_directory_symlink(comp / "1-4:1.1/0003:16D0:064E.0002",
                                     root / "class/hidraw/hidraw1/device");
        fs::create_directory_symlink(root / "devices/virtual/misc/uhid/0005:1234:5678.0003",
                                     root / "class/hidraw/hidraw2/device");
    }
    void TearDown() override { fs::remove_all(root); }
};

TEST_F(FakeSysfs, FindsTheUsbNodeOfAHidrawNode) {
    const auto node = kv::linuxhid::FindUsbNode(root.string(), "/dev/hidraw0");
    ASSERT_TRUE(node.valid());
    EXPECT_EQ(node.busnum, 3);
    EXPECT_EQ(node.devnum, 17);
    EXPECT_EQ(node.interfaces, 1);
    EXPECT_EQ(kv::linuxhid::UsbDevicePath(node), "/dev/bus/usb/003/017");

    EXPECT_EQ(kv::linuxhid::FindUsbNode(root.string(), "/dev/hidraw1").interfaces, 2);
    EXPECT_FALSE(kv::linuxhid::FindUsbNode(root.string(), "/dev/hidraw2").valid());
    EXPECT_FALSE(kv::linuxhid::FindUsbNode(root.string(), "/dev/hidraw9").valid());
}

TEST(InterfaceMatching, AcceptsOnlyTheSingleInterfaceOfTheDevice) {
    kv::HidInterfaceInfo info{"/dev/hidraw0", 0x16D0, 0x064E, 0xFFB2, 1, 1, 1};
    EXPECT_TRUE(kv::InterfaceMatches(info, 0x16D0, 0x064E, 0xFFB2, -1));
    EXPECT_TRUE(kv::InterfaceMatches(info, -1, -1, -1, -1));
    EXPECT_FALSE(kv::InterfaceMatches(info, 0x16D0, 0x064E, 0xFFB2, 2));
    EXPECT_FALSE(kv::InterfaceMatches(info, 0x16D0, 0x064F, -1, -1));
    EXPECT_FALSE(kv::InterfaceMatches(info, 0, -1, -1, -1));
    auto composite = info;
    composite.usbInterfaces = 2;
    EXPECT_FALSE(kv::InterfaceMatches(composite, 0x16D0, 0x064E, 0xFFB2, -1));
    auto noUsb = info;
    noUsb.usbInterfaces = 0;
    EXPECT_FALSE(kv::InterfaceMatches(noUsb, 0x16D0, 0x064E, 0xFFB2, -1));
    auto twoCollections = info;
    twoCollections.topLevelCollections = 2;
    EXPECT_FALSE(kv::InterfaceMatches(twoCollections, 0x16D0, 0x064E, 0xFFB2, -1));
}

TEST(ReportQueueTest, KeepsOrderDropsNewestWhenFullAndReportsFailureLast) {
    kv::ReportQueue queue(256);
    for (int i = 0; i < 300; ++i) {
        const uint8_t r[2] = {0, static_cast<uint8_t>(i)};
        queue.Push(r, 2);
    }
    EXPECT_EQ(queue.Size(), 256u);
    EXPECT_EQ(queue.Dropped(), 44u);
    queue.Fail();
    uint8_t buffer[8];
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(queue.Pop(buffer, 8, 0), 2);
        ASSERT_EQ(buffer[1], i);
    }
    EXPECT_EQ(queue.Pop(buffer, 8, 0), -1);
}

TEST(ReportQueueTest, PopWaitsForAReportFromAnotherThread) {
    kv::ReportQueue queue(4);
    uint8_t buffer[4];
    EXPECT_EQ(queue.Pop(buffer, 4, 0), 0);
    std::thread producer([&] {
        const uint8_t r[3] = {0, 7, 8};
        queue.Push(r, 3);
    });
    EXPECT_EQ(queue.Pop(buffer, 2, 5000), 2);
    EXPECT_EQ(buffer[1], 7);
    producer.join();
}

} // namespace

namespace {

TEST(TimedWriterTest, TheCallersTimeOutHoldsWhileAWriteBlocks) {
    std::mutex gate;
    gate.lock(); // the "kernel" holds the first write until the gate opens
    int calls = 0;
    kv::TimedWriter writer([&](const uint8_t*, size_t size) {
        if (++calls == 1) std::lock_guard<std::mutex> wait(gate);
        return static_cast<int>(size);
    });
    const uint8_t data[65] = {};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(writer.Write(data, 65, 50), 0) << "timed out while the write blocks";
    EXPECT_EQ(writer.Write(data, 65, 50), 0) << "the next write waits for the stuck one";
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(waited, std::chrono::seconds(2));
    gate.unlock();
    EXPECT_EQ(writer.Write(data, 65, 5000), 65) << "then writes go through again";
    EXPECT_EQ(calls, 2);
}

TEST(TimedWriterTest, DestroyingTheWriterDoesNotWaitForAStuckWrite) {
    // The write owns what it uses; the writer is destroyed while the "kernel" still holds it.
    auto gate = std::make_shared<std::promise<void>>();
    std::shared_future<void> open = gate->get_future().share();
    auto writer = std::make_unique<kv::TimedWriter>([open](const uint8_t*, size_t) {
        open.wait();
        return 1;
    });
    const uint8_t data[65] = {};
    EXPECT_EQ(writer->Write(data, 65, 20), 0);
    writer.reset(); // would block here until the gate opens if the stuck write were joined
    gate->set_value();
}

} // namespace
