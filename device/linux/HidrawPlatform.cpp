#include "HidrawPlatform.h"

#include "../ReportQueue.h"
#include "../TimedWriter.h"
#include "LinuxSysfs.h"

#include <hidapi.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace kv {

namespace {

std::u16string FromWide(const wchar_t* text) {
    std::u16string out;
    if (!text) return out;
    for (; *text; ++text) {
        const auto c = static_cast<uint32_t>(*text);
        if (c < 0x10000) {
            out += static_cast<char16_t>(c);
        } else if (c <= 0x10FFFF) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return out;
}

constexpr size_t kQueueReports = 4096; // far above the 256 reports the link needs held

} // namespace

struct HidrawPlatform::Device {
    hid_device* hid = nullptr;
    // Owns hid: shared with the writer, so that a write stuck in the kernel when the link is
    // closed keeps the handle open until it returns, and Close need not wait for it.
    std::shared_ptr<hid_device> hidOwner;
    int usagePage = 0;
    int usage = 0;
    std::string path;
    linuxhid::UsbNode usb;
    ReportQueue input{kQueueReports};
    std::thread reader;
    std::atomic<bool> stop{false};
    // Set when a read found the device gone: from then on no string of it is answered.
    std::atomic<bool> gone{false};

    // A hidraw write can block in the kernel: it runs on a thread of its own.
    std::unique_ptr<TimedWriter> writer;

    libusb_context* usbContext = nullptr;
    libusb_device_handle* usbHandle = nullptr;

    void ReadLoop() {
        uint8_t buffer[1 + 516];
        while (!stop) {
            const int n = hid_read_timeout(hid, buffer + 1, sizeof buffer - 1, 50);
            if (n < 0) {
                gone = true;
                input.Fail();
                return;
            }
            if (n == 0) continue;
            buffer[0] = 0; // hidraw gives reports of unnumbered devices without their ID
            input.Push(buffer, n + 1);
        }
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
        stop = true;
        if (reader.joinable()) reader.join();
        writer.reset();
        if (usbHandle) libusb_close(usbHandle);
        if (usbContext) libusb_exit(usbContext);
        hidOwner.reset();
    }
};

HidrawPlatform::HidrawPlatform() = default;

HidrawPlatform::~HidrawPlatform() {
    devices_.clear();
    if (initialised_) hid_exit();
}

std::vector<std::string> HidrawPlatform::Enumerate(int vendorId, int productId, int usagePage,
                                                   int usage) {
    std::vector<std::string> paths;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!initialised_) {
            if (hid_init() != 0) return paths;
            initialised_ = true;
        }
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
        info.usbInterfaces = linuxhid::FindUsbNode("/sys", d->path).interfaces;
        if (InterfaceMatches(info, vendorId, productId, usagePage, usage))
            paths.push_back(info.path);
    }
    hid_free_enumeration(all);
    return paths;
}

HidHandle HidrawPlatform::Open(const std::string& path) {
    if (!initialised_) {
        if (hid_init() != 0) return kInvalidHandle;
        initialised_ = true;
    }
    hid_device* hid = hid_open_path(path.c_str());
    if (!hid) return kInvalidHandle;
    auto device = std::make_shared<Device>();
    device->hid = hid;
    device->hidOwner = std::shared_ptr<hid_device>(hid, hid_close);
    if (const hid_device_info* info = hid_get_device_info(hid)) {
        device->usagePage = info->usage_page;
        device->usage = info->usage;
    }
    device->path = path;
    device->usb = linuxhid::FindUsbNode("/sys", path);
    device->reader = std::thread([d = device.get()] { d->ReadLoop(); });
    device->writer =
        std::make_unique<TimedWriter>([owner = device->hidOwner](const uint8_t* data, size_t size) {
            return hid_write(owner.get(), data, size);
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
    // The reader ends within one 50 ms poll; a write stuck in the kernel is abandoned and closes
    // the handle itself when it returns.
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
    if (which == HidString::Indexed) return device->StringDescriptor(index, text);
    // Asked of the device itself where its USB node can be opened. hidapi answers these three from
    // what it read at open, which would never tell that the device has gone; it is used only when
    // the USB node cannot be opened, and then only while the hidraw node is still there.
    const int descriptor = device->StandardIndex(which);
    if (descriptor > 0) return device->StringDescriptor(descriptor, text);
    if (descriptor == 0) {
        text.clear(); // the device has no such string
        return true;
    }
    if (!linuxhid::NodePresent("/sys", device->path)) return false;
    wchar_t buffer[256] = {};
    int result = -1;
    switch (which) {
    case HidString::Manufacturer:
        result = hid_get_manufacturer_string(device->hid, buffer, 256);
        break;
    case HidString::Product:
        result = hid_get_product_string(device->hid, buffer, 256);
        break;
    case HidString::SerialNumber:
        result = hid_get_serial_number_string(device->hid, buffer, 256);
        break;
    case HidString::Indexed:
        break;
    }
    if (result != 0) return false;
    text = FromWide(buffer);
    return true;
}

IHidPlatform& MachineHidPlatform() {
    static HidrawPlatform machine;
    return machine;
}

} // namespace kv
