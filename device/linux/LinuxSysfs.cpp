#include "LinuxSysfs.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace kv::linuxhid {

namespace fs = std::filesystem;

namespace {

bool ReadInt(const fs::path& file, int& value) {
    std::ifstream in(file);
    return static_cast<bool>(in >> value);
}

} // namespace

UsbNode FindUsbNode(const std::string& sysRoot, const std::string& hidrawPath) {
    UsbNode node;
    const std::string name = fs::path(hidrawPath).filename().string();
    if (name.empty()) return node;
    std::error_code ec;
    fs::path dir = fs::canonical(fs::path(sysRoot) / "class" / "hidraw" / name / "device", ec);
    if (ec) return node;
    const fs::path root = fs::canonical(sysRoot, ec);
    if (ec) return node;
    // Walk up: HID device, USB interface, USB device (the first one with busnum and devnum).
    for (int depth = 0; depth < 16 && dir != root && dir.has_parent_path(); ++depth) {
        int bus = -1, dev = -1;
        if (ReadInt(dir / "busnum", bus) && ReadInt(dir / "devnum", dev)) {
            node.busnum = bus;
            node.devnum = dev;
            if (!ReadInt(dir / "bNumInterfaces", node.interfaces)) node.interfaces = 0;
            return node;
        }
        dir = dir.parent_path();
    }
    return node;
}

bool NodePresent(const std::string& sysRoot, const std::string& hidrawPath) {
    const std::string name = fs::path(hidrawPath).filename().string();
    std::error_code ec;
    return !name.empty() && fs::exists(fs::path(sysRoot) / "class" / "hidraw" / name, ec);
}

std::string UsbDevicePath(const UsbNode& node) {
    char text[64];
    std::snprintf(text, sizeof text, "/dev/bus/usb/%03d/%03d", node.busnum, node.devnum);
    return text;
}

} // namespace kv::linuxhid
