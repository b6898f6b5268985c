// The Windows backend's path test and string buffers, on made-up interface paths.
#include "device/windows/WinHidPaths.h"

#include <gtest/gtest.h>

namespace {

using kv::winhid::PathPasses;

TEST(WinHidPaths, TheDevicesInterfacesPassAndNoOtherProduct) {
    const std::string plain =
        "\\\\?\\hid#vid_16d0&pid_064e#7&2a3b4c5d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    EXPECT_EQ(kv::winhid::PathPattern("#vid_%.04x&", 0x16D0), "#vid_16d0&");
    EXPECT_EQ(kv::winhid::PathPattern("&PID_%.04X", 0x64E), "&pid_064e");
    EXPECT_TRUE(PathPasses(plain, 0x16D0, 0x064E));
    EXPECT_TRUE(PathPasses("\\\\?\\HID#VID_16D0&PID_064E#7&2A3B&0&0000#{4D1E55B2}", 0x16D0, 0x064E))
        << "upper case";
    EXPECT_TRUE(PathPasses("\\\\?\\hid#vid_16d0&pid_064e&mi_00#8&1&0&0000#{4d1e}", 0x16D0, 0x064E))
        << "an interface by its number, as Wine's HID bus names every hidraw device";
    EXPECT_TRUE(PathPasses("\\\\?\\hid#vid_16d0&pid_064e&col01#8&1&0&0000#{4d1e}", 0x16D0, 0x064E))
        << "one of several top-level collections: the usage page decides";
    EXPECT_FALSE(PathPasses("\\\\?\\hid#vid_16d0&pid_064e1#8&1#{4d1e}", 0x16D0, 0x064E));
    EXPECT_FALSE(PathPasses("\\\\?\\hid#vid_16d0&pid_064e", 0x16D0, 0x064E));
    EXPECT_FALSE(PathPasses("\\\\?\\hid#vid_046d&pid_064e#7&1&0&0000#{4d1e}", 0x16D0, 0x064E));
    EXPECT_FALSE(PathPasses("\\\\?\\hid#vid_16d0&pid_0650#7&1&0&0000#{4d1e}", 0x16D0, 0x064E));
    EXPECT_TRUE(PathPasses("\\\\?\\hid#vid_046d&pid_c52b#7&1#{4d1e}", -1, -1)) << "any";
}

TEST(WinHidPaths, StringsEndAtTheirZeroOrAtTheBuffersEnd) {
    const uint8_t text[] = {'K', 0, 'V', 0, 0, 0, 'x', 0};
    EXPECT_EQ(kv::winhid::StringFromBuffer(text, sizeof text), u"KV");
    const uint8_t full[] = {'A', 0, 0xE9, 0, 0xAC, 0x20};
    EXPECT_EQ(kv::winhid::StringFromBuffer(full, sizeof full), u"A\u00E9\u20AC");
    EXPECT_EQ(kv::winhid::StringFromBuffer(full, 5), u"A\u00E9") << "an odd last byte is dropped";
}

} // namespace
