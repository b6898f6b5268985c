#include "device/HidPlatform.h"
#include "device/ReportQueue.h"
#include "device/linux/HidrawPlatform.h"
#include "device/linux/HidrawWriter.h"
#include "device/linux/LinuxSysfs.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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
    fs::path usb; // the USB device of hidraw0
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("kv-sysfs-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        usb = root / "devices/pci0000:00/0000:00:14.0/usb3/3-2";
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

TEST_F(FakeSysfs, AnswersTheStringsTheKernelReadUntilTheDeviceGoes) {
    WriteFile(usb / "manufacturer", "Kovrin \xC3\x9C\xE2\x82\xAC\xF0\x9F\x94\x8C");
    const auto node = kv::linuxhid::FindUsbNode(root.string(), "/dev/hidraw0");
    std::u16string text;
    ASSERT_TRUE(kv::linuxhid::UsbString(node, "manufacturer", text));
    EXPECT_EQ(text, u"Kovrin \u00DC\u20AC\U0001F50C");
    EXPECT_TRUE(kv::linuxhid::UsbString(node, "serial", text)) << "present, without a serial";
    EXPECT_EQ(text, u"");
    fs::remove_all(usb);
    EXPECT_FALSE(kv::linuxhid::UsbString(node, "manufacturer", text));
}

// One program uses a device at a time: a second program's open of the node fails as busy (two
// backends stand for the two programs: the lock belongs to an open of the node, not to a
// process), a second handle of the same program shares the lock, and the holder is named from
// /proc.
TEST_F(FakeSysfs, OneProgramAtATimeAndTheHolderIsNamed) {
    const fs::path node = root / "hidraw0";
    WriteFile(node, "");
    WriteFile(usb / "serial", "KV-104-000123");
    kv::HidrawPlatform first(root.string()), second(root.string());
    const kv::HidHandle held = first.Open(node.string());
    ASSERT_NE(held, kv::kInvalidHandle);
    const kv::HidHandle again = first.Open(node.string());
    EXPECT_NE(again, kv::kInvalidHandle) << "the same program's second handle";
    first.Close(again);
    EXPECT_EQ(second.Open(node.string()), kv::kInvalidHandle);
    EXPECT_EQ(second.LastOpenError(), kv::OpenError::Busy);
    first.Close(held);
    const kv::HidHandle later = second.Open(node.string());
    EXPECT_NE(later, kv::kInvalidHandle) << "taken once the holder let go";
    second.Close(later);

    // A made-up /proc: process 4711 holds the node as "kvb mount".
    const fs::path proc = root / "proc";
    fs::create_directories(proc / "4711/fd");
    fs::create_directories(proc / "99/fd");
    fs::create_symlink("/dev/null", proc / "99/fd/0");
    fs::create_symlink("/dev/hidraw0", proc / "4711/fd/5");
    using namespace std::string_literals;
    std::ofstream(proc / "4711/cmdline", std::ios::binary) << "/usr/bin/kvb\0-q\0mount\0m\0"s;
    EXPECT_EQ(kv::linuxhid::NodeHolder("/dev/hidraw0", proc.string()), "kvb mount (process 4711)");
    EXPECT_EQ(kv::linuxhid::NodeHolder("/dev/hidraw1", proc.string()), "");
}

TEST(ReportDescriptor, GivesTheUsageOfTheFirstTopLevelCollection) {
    int page = 0, usage = 0;
    // Usage Page 0xFFB2 (two bytes), Usage 1, Collection (Application) ...
    const uint8_t plain[] = {0x06, 0xB2, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0xA1,
                             0x00, 0xC0, 0xC0, 0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0xC0};
    ASSERT_TRUE(kv::linuxhid::TopLevelUsage(plain, sizeof plain, page, usage));
    EXPECT_EQ(page, 0xFFB2);
    EXPECT_EQ(usage, 1);
    // A long item first, then a four-byte usage that carries its own page.
    const uint8_t extended[] = {0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x05, 0x01,
                                0x0B, 0x02, 0x00, 0x0C, 0x00, 0xA1, 0x01};
    ASSERT_TRUE(kv::linuxhid::TopLevelUsage(extended, sizeof extended, page, usage));
    EXPECT_EQ(page, 0x000C);
    EXPECT_EQ(usage, 2);
    EXPECT_FALSE(kv::linuxhid::TopLevelUsage(plain, 4, page, usage)) << "cut before a collection";
}

// A socket pair stands in for the hidraw node (one datagram per report, as the kernel hands them
// over). The program reads, writes and asks for strings from three threads at once while the
// device end keeps both directions busy; then the device is unplugged under all of them.
TEST_F(FakeSysfs, ReadsWritesAndStringsAtOnceUntilAnUnplugEndsEach) {
    std::signal(SIGPIPE, SIG_IGN);
    WriteFile(usb / "serial", "KV-104-000123");
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    kv::HidrawPlatform platform(root.string());
    const kv::HidHandle handle = platform.Adopt(pair[0], "/dev/hidraw0");
    ASSERT_NE(handle, kv::kInvalidHandle);

    std::atomic<int> taken{0}, reads{0};
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::thread device([&] {
        uint8_t report[64] = {};
        for (int sent = 0; sent < 3000 || ((taken < 300 || reads < 3000) &&
                                           std::chrono::steady_clock::now() < limit);) {
            report[0] = static_cast<uint8_t>(sent);
            sent += send(pair[1], report, sizeof report, MSG_DONTWAIT) > 0;
            while (recv(pair[1], report + 1, 63, MSG_DONTWAIT) > 0)
                ++taken;
        }
        close(pair[1]); // unplugged while the program still reads and writes
    });
    int inOrder = 0, readEnd = 0;
    std::thread reader([&] {
        uint8_t buffer[65];
        while ((readEnd = platform.Read(handle, buffer, sizeof buffer, 2000)) > 0)
            inOrder += buffer[1] == static_cast<uint8_t>(reads.fetch_add(1));
    });
    int writes = 0, writeEnd = 0;
    std::thread writer([&] {
        const uint8_t report[65] = {0, 5};
        while ((writeEnd = platform.Write(handle, report, sizeof report, 200)) == 65)
            ++writes;
    });
    std::u16string first, text;
    EXPECT_TRUE(platform.GetString(handle, kv::HidString::SerialNumber, 0, first));
    while (platform.GetString(handle, kv::HidString::SerialNumber, 0, text) &&
           std::chrono::steady_clock::now() < limit)
        std::this_thread::yield();
    device.join();
    reader.join();
    writer.join();
    EXPECT_FALSE(platform.GetString(handle, kv::HidString::SerialNumber, 0, text)) << "unplugged";
    platform.Close(handle);

    EXPECT_EQ(first, u"KV-104-000123");
    EXPECT_GE(reads, 3000);
    EXPECT_EQ(inOrder, reads.load()) << "input reports whole and in order";
    EXPECT_EQ(readEnd, -1) << "reads fail once the queue is empty";
    EXPECT_GE(writes, 300);
    EXPECT_EQ(writeEnd, -1) << "a write to the unplugged node fails";
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

TEST(HidrawWriterTest, TheCallersTimeOutHoldsWhileAWriteBlocks) {
    std::mutex gate;
    gate.lock(); // the "kernel" holds the first write until the gate opens
    int calls = 0;
    kv::HidrawWriter writer([&](const uint8_t*, size_t size) {
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

TEST(HidrawWriterTest, DestroyingTheWriterDoesNotWaitForAStuckWrite) {
    // The write owns what it uses; the writer is destroyed while the "kernel" still holds it.
    auto gate = std::make_shared<std::promise<void>>();
    std::shared_future<void> open = gate->get_future().share();
    auto writer = std::make_unique<kv::HidrawWriter>([open](const uint8_t*, size_t) {
        open.wait();
        return 1;
    });
    const uint8_t data[65] = {};
    EXPECT_EQ(writer->Write(data, 65, 20), 0);
    std::thread opener([gate] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        gate->set_value();
    });
    const auto t0 = std::chrono::steady_clock::now();
    writer.reset(); // would wait here for the gate if the stuck write were joined
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    opener.join();
}

} // namespace
