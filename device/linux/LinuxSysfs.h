// Finding the USB device behind a hidraw node through sysfs. The root of the tree is a parameter so
// that the logic can be checked against a made-up tree.
#pragma once

#include <string>

namespace kv::linuxhid {

struct UsbNode {
    int busnum = -1;
    int devnum = -1;
    int interfaces = 0; // bNumInterfaces of the active configuration
    bool valid() const { return busnum >= 0 && devnum >= 0; }
};

// The USB device that a hidraw node ("/dev/hidraw3") belongs to, found by walking up from
// <sysRoot>/class/hidraw/hidraw3/device to the first directory with busnum and devnum.
UsbNode FindUsbNode(const std::string& sysRoot, const std::string& hidrawPath);

// Whether the kernel still has the hidraw node ("/dev/hidraw3" is <sysRoot>/class/hidraw/hidraw3).
bool NodePresent(const std::string& sysRoot, const std::string& hidrawPath);

// "/dev/bus/usb/BBB/DDD" for a node.
std::string UsbDevicePath(const UsbNode& node);

} // namespace kv::linuxhid
