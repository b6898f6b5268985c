#include "HidrawPlatform.h"

#include "../ReportQueue.h"
#include "HidrawWriter.h"
#include "LinuxSysfs.h"

#include <hidapi.h>
#include <libusb.h>

#include <cerrno>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace kv {

namespace {

constexpr size_t kQueueReports = 4096; // far above the 256 reports the link needs held

// An opened hidraw node, closed when its last user lets go: a write stuck in the kernel when the
// link is closed keeps it open until the write returns, so Close need not wait for it.
struct NodeFile {
    const int fd;
    explicit NodeFile(int file) : fd(file) {}
    ~NodeFile() { close(fd); }
    NodeFile(const NodeFile&) = delete;
    NodeFile& operator=(const NodeFile&) = delete;
};

int WriteNode(int fd, const uint8_t* data, size_t size) {
    for (;;) {
        const ssize_t n = write(fd, data, size);
        if (n >= 0 || errno != EINTR) return n < 0 ? -1 : static_cast<int>(n);
    }
}

} // namespace

struct HidrawPlatform::Device {
    std::shared_ptr<NodeFile> node;
    int wake = -1; // an eventfd that ends the reader
    int usagePage = 0;
    int usage = 0;
    std::string path;
    linuxhid::UsbNode usb;
    ReportQueue input{kQueueReports};
    std::thread reader;
    // Set when a read found the device gone: from then on no string of it is answered.
    std::atomic<bool> gone{false};

    // A hidraw write can block in the kernel: it runs on a thread of its own.
    std::unique_ptr<HidrawWriter> writer;

    std::mutex usbLock; // the strings may be asked for from any thread
    libusb_context* usbContext = nullptr;
    libusb_device_handle* usbHandle = nullptr;

    // Drains the node into the queue. The kernel keeps a read and a write on one descriptor apart;
    // nothing else here touches the node while the link is open.
    void ReadLoop() {
        uint8_t buffer[1 + 516];
        pollfd fds[2] = {{node->fd, POLLIN, 0}, {wake, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[1].revents) return; // closing
            if (!(fds[0].revents & POLLIN)) {
                if (fds[0].revents) break; // POLLHUP or POLLERR: unplugged
                continue;
            }
            const ssize_t n = read(node->fd, buffer + 1, sizeof buffer - 1);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) break;
            buffer[0] = 0; // hidraw gives reports of unnumbered devices without their ID
            input.Push(buffer, static_cast<int>(n) + 1);
        }
        gone = true;
        input.Fail();
    }

    bool OpenUsb() {
        if (usbHandle) return true;
        if (!usb.valid()) return false;
        if (!usbContext && libusb_init(&usbContext) != 0) {
            usbContext = nullptr;
            return false;
        }
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(usbContext, &list);
        for (ssize_t i = 0; i < count; ++i) {
            if (libusb_get_bus_number(list[i]) == usb.busnum &&
                libusb_get_device_address(list[i]) == usb.devnum) {
                if (libusb_open(list[i], &usbHandle) != 0) usbHandle = nullptr;
                break;
            }
        }
        if (list) libusb_free_device_list(list, 1);
        return usbHandle != nullptr;
    }

    // One string descriptor, asked of the device now (a control transfer on endpoint 0), so a
    // device that has gone fails instead of answering from what was known at open.
    bool StringDescriptor(int index, std::u16string& text) {
        if (gone || index <= 0 || index > 255 || !OpenUsb()) return false;
        unsigned char langs[255];
        int n = libusb_get_string_descriptor(usbHandle, 0, 0, langs, sizeof langs);
        if (n == LIBUSB_ERROR_NO_DEVICE) {
            gone = true;
            return false;
        }
        const uint16_t lang = n >= 4 ? static_cast<uint16_t>(langs[2] | langs[3] << 8) : 0x0409;
        unsigned char raw[255];
        n = libusb_get_string_descriptor(usbHandle, static_cast<uint8_t>(index), lang, raw,
                                         sizeof raw);
        if (n < 2 || raw[1] != LIBUSB_DT_STRING) return false;
        const int length = std::min<int>(n, raw[0]);
        text.clear();
        for (int i = 2; i + 1 < length; i += 2)
            text += static_cast<char16_t>(raw[i] | raw[i + 1] << 8);
        return true;
    }

    // The descriptor index of the manufacturer, product or serial-number string.
    int StandardIndex(HidString which) {
        if (!OpenUsb()) return -1;
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(libusb_get_device(usbHandle), &descriptor) != 0) return -1;
        switch (which) {
        case HidString::Manufacturer:
            return descriptor.iManufacturer;
        case HidString::Product:
            return descriptor.iProduct;
        case HidString::SerialNumber:
            return descriptor.iSerialNumber;
        case HidString::Indexed:
            break;
        }
        return -1;
    }

    ~Device() {
        if (reader.joinable()) {
            const uint64_t one = 1;
            (void)!::write(wake, &one, sizeof one);
            reader.join();
        }
        writer.reset();
        if (wake >= 0) close(wake);
        if (usbHandle) libusb_close(usbHandle);
        if (usbContext) libusb_exit(usbContext);
    }
};

HidrawPlatform::HidrawPlatform(std::string sysRoot) : sysRoot_(std::move(sysRoot)) {}

HidrawPlatform::~HidrawPlatform() {
    devices_.clear();
    std::lock_guard<std::mutex> hold(hidapiLock_);
    if (hidapiReady_) hid_exit();
}

std::vector<std::string> HidrawPlatform::Enumerate(int vendorId, int productId, int usagePage,
                                                   int usage) {
    std::vector<std::string> paths;
    std::lock_guard<std::mutex> hold(hidapiLock_);
    if (!hidapiReady_) {
        if (hid_init() != 0) return paths;
        hidapiReady_ = true;
    }
    hid_device_info* all =
        hid_enumerate(vendorId > 0 ? vendorId : 0, productId > 0 ? productId : 0);
    // hidapi lists one entry per top-level collection; count them per node first.
    std::map<std::string, int> collections;
    for (auto* d = all; d; d = d->next)
        ++collections[d->path];
    for (auto* d = all; d; d = d->next) {
        if (d->bus_type != HID_API_BUS_USB) continue;
        HidInterfaceInfo info;
        info.path = d->path;
        info.vendorId = d->vendor_id;
        info.productId = d->product_id;
        info.usagePage = d->usage_page;
        info.usage = d->usage;
        info.topLevelCollections = collections[d->path];
        info.usbInterfaces = linuxhid::FindUsbNode(sysRoot_, d->path).interfaces;
        if (InterfaceMatches(info, vendorId, productId, usagePage, usage))
            paths.push_back(info.path);
    }
    hid_free_enumeration(all);
    return paths;
}

HidHandle HidrawPlatform::Open(const std::string& path) {
    holder_.clear();
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        // One program uses a device at a time: hidraw gives every reader every report and takes
        // every writer's, so two programs would type into each other's commands. An advisory lock
        // on the node is taken before anything is sent; a second handle of this process (a look
        // at the device list while the link is open) shares the one it holds.
        bool ours = false;
        {
            std::lock_guard<std::mutex> hold(lock_);
            for (const auto& [handle, device] : devices_)
                ours = ours || device->path == path;
        }
        if (!ours && flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(fd);
            openError_ = error == EWOULDBLOCK ? OpenError::Busy : OpenError::Other;
            if (openError_ == OpenError::Busy) holder_ = linuxhid::NodeHolder(path);
            return kInvalidHandle;
        }
        openError_ = OpenError::None;
        return Adopt(fd, path);
    }
    openError_ = errno == ENOENT || errno == ENODEV || errno == ENXIO ? OpenError::Absent
                 : errno == EACCES || errno == EPERM                  ? OpenError::NoPermission
                 : errno == EBUSY                                     ? OpenError::Busy
                                                                      : OpenError::Other;
    return kInvalidHandle;
}

std::u16string HidrawPlatform::SerialWithoutOpening(const std::string& path) {
    std::u16string serial;
    linuxhid::UsbString(linuxhid::FindUsbNode(sysRoot_, path), "serial", serial);
    return serial;
}

HidHandle HidrawPlatform::Adopt(int fd, const std::string& path) {
    auto device = std::make_shared<Device>();
    device->node = std::make_shared<NodeFile>(fd);
    device->wake = eventfd(0, EFD_CLOEXEC);
    if (device->wake < 0) return kInvalidHandle;
    int size = 0;
    hidraw_report_descriptor descriptor{};
    if (ioctl(fd, HIDIOCGRDESCSIZE, &size) == 0 && size > 0 && size <= HID_MAX_DESCRIPTOR_SIZE) {
        descriptor.size = static_cast<uint32_t>(size);
        if (ioctl(fd, HIDIOCGRDESC, &descriptor) == 0)
            linuxhid::TopLevelUsage(descriptor.value, descriptor.size, device->usagePage,
                                    device->usage);
    }
    device->path = path;
    device->usb = linuxhid::FindUsbNode(sysRoot_, path);
    device->reader = std::thread([d = device.get()] { d->ReadLoop(); });
    device->writer =
        std::make_unique<HidrawWriter>([node = device->node](const uint8_t* data, size_t size) {
            return WriteNode(node->fd, data, size);
        });
    std::lock_guard<std::mutex> hold(lock_);
    const HidHandle handle = next_++;
    devices_[handle] = device;
    return handle;
}

std::shared_ptr<HidrawPlatform::Device> HidrawPlatform::Find(HidHandle handle) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = devices_.find(handle);
    return it == devices_.end() ? nullptr : it->second;
}

void HidrawPlatform::Close(HidHandle handle) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto it = devices_.find(handle);
        if (it == devices_.end()) return;
        device = std::move(it->second);
        devices_.erase(it);
    }
    // The reader ends at once; a write stuck in the kernel is abandoned and closes the node
    // itself when it returns.
}

int HidrawPlatform::Read(HidHandle handle, uint8_t* buffer, int capacity, int timeoutMs) {
    auto device = Find(handle);
    if (!device) return -1;
    return device->input.Pop(buffer, capacity, timeoutMs);
}

int HidrawPlatform::Write(HidHandle handle, const uint8_t* data, int size, int timeoutMs) {
    auto device = Find(handle);
    if (!device || size <= 0) return -1;
    const int result = device->writer->Write(data, static_cast<size_t>(size), timeoutMs);
    return result < 0 ? -1 : result;
}

uint64_t HidrawPlatform::DroppedReports(HidHandle handle) {
    auto device = Find(handle);
    return device ? device->input.Dropped() : 0;
}

bool HidrawPlatform::QueryUsage(HidHandle handle, int& usagePage, int& usage) {
    auto device = Find(handle);
    if (!device) return false;
    usagePage = device->usagePage;
    usage = device->usage;
    return true;
}

bool HidrawPlatform::GetString(HidHandle handle, HidString which, int index, std::u16string& text) {
    auto device = Find(handle);
    if (!device || device->gone) return false;
    std::lock_guard<std::mutex> hold(device->usbLock);
    if (which == HidString::Indexed) return device->StringDescriptor(index, text);
    const int descriptor = device->StandardIndex(which);
    if (descriptor > 0) return device->StringDescriptor(descriptor, text);
    if (descriptor == 0) {
        text.clear(); // the device has no such string
        return true;
    }
    // The USB node could not be opened (it may need more rights than the hidraw node): what the
    // kernel read at attach, answered only while the device is still there.
    if (!linuxhid::NodePresent(sysRoot_, device->path)) return false;
    return linuxhid::UsbString(device->usb,
                               which == HidString::Manufacturer ? "manufacturer"
                               : which == HidString::Product    ? "product"
                                                                : "serial",
                               text);
}

IHidPlatform& MachineHidPlatform() {
    static HidrawPlatform machine;
    return machine;
}

} // namespace kv
