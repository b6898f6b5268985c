// Finding the USB device behind a hidraw node through sysfs, and what the kernel knows of it. The
// root of the tree is a parameter so that the logic can be checked against a made-up tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv::linuxhid {

struct UsbNode {
    int busnum = -1;
    int devnum = -1;
    int interfaces = 0; // bNumInterfaces of the active configuration
    std::string dir;    // the USB device's sysfs directory
    bool valid() const { return busnum >= 0 && devnum >= 0; }
};

// The USB device that a hidraw node ("/dev/hidraw3") belongs to, found by walking up from
// <sysRoot>/class/hidraw/hidraw3/device to the first directory with busnum and devnum.
UsbNode FindUsbNode(const std::string& sysRoot, const std::string& hidrawPath);

// Whether the kernel still has the hidraw node ("/dev/hidraw3" is <sysRoot>/class/hidraw/hidraw3).
bool NodePresent(const std::string& sysRoot, const std::string& hidrawPath);

// A string the kernel read from the USB device when it was attached ("manufacturer", "product",
// "serial"), as UTF-16. False when the device has gone; an empty text when it has no such string.
bool UsbString(const UsbNode& node, const std::string& attribute, std::u16string& text);

// The usage page and usage of the first top-level collection of a report descriptor.
bool TopLevelUsage(const uint8_t* descriptor, size_t size, int& usagePage, int& usage);

// Who has the node open besides this process, as /proc tells (only for processes this user may
// look into): "kvb mount (process 4711)", the program's name and its first word that is not an
// option; empty when nobody can be found.
std::string NodeHolder(const std::string& nodePath, const std::string& procRoot = "/proc");

// "/dev/bus/usb/BBB/DDD" for a node.
std::string UsbDevicePath(const UsbNode& node);

} // namespace kv::linuxhid
