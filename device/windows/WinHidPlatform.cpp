// The Windows backend: the HID class driver (HID.dll) and SetupAPI, bound by name at run time, with
// overlapped reads that resume after a time-out and overlapped writes under one lock.
#include "../HidPlatform.h"
#include "WinHidPaths.h"

#include <windows.h>

#include <setupapi.h>

#include <hidusage.h>

#include <hidpi.h>

#include <hidsdi.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace kv {

namespace {

// ---- the bindings, made once per process ----

// Every entry point used, with the library it comes from: one list for the declarations and the
// binding.
#define KV_ENTRY_POINTS(X)                                                                         \
    X(hid, HidD_GetHidGuid)                                                                        \
    X(hid, HidD_GetAttributes)                                                                     \
    X(hid, HidD_GetPreparsedData)                                                                  \
    X(hid, HidD_FreePreparsedData)                                                                 \
    X(hid, HidP_GetCaps)                                                                           \
    X(hid, HidD_SetNumInputBuffers)                                                                \
    X(hid, HidD_GetManufacturerString)                                                             \
    X(hid, HidD_GetProductString)                                                                  \
    X(hid, HidD_GetSerialNumberString)                                                             \
    X(hid, HidD_GetIndexedString)                                                                  \
    X(setup, SetupDiGetClassDevsA)                                                                 \
    X(setup, SetupDiEnumDeviceInterfaces)                                                          \
    X(setup, SetupDiGetDeviceInterfaceDetailA)                                                     \
    X(setup, SetupDiDestroyDeviceInfoList)

struct Bindings {
    // Each entry point by the type of its declaration in the system's headers.
#define KV_DECLARE(module, name) decltype(&::name) name = nullptr;
    KV_ENTRY_POINTS(KV_DECLARE)
#undef KV_DECLARE
    bool ok = true;

    Bindings() {
        HMODULE hid = LoadLibraryA("HID.dll");
        HMODULE setup = LoadLibraryA("SetupApi.dll");
#define KV_BIND(module, name)                                                                      \
    name = module ? reinterpret_cast<decltype(name)>(                                              \
                        reinterpret_cast<void*>(GetProcAddress(module, #name)))                    \
                  : nullptr;                                                                       \
    ok = ok && name != nullptr;
        KV_ENTRY_POINTS(KV_BIND)
#undef KV_BIND
    }
};
#undef KV_ENTRY_POINTS

Bindings& Bound() {
    static Bindings bindings; // loaded at most once
    return bindings;
}

HANDLE OpenPath(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

bool Capabilities(HANDLE handle, HIDP_CAPS& caps) {
    Bindings& b = Bound();
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!b.HidD_GetPreparsedData(handle, &data) || !data) return false;
    const bool ok = b.HidP_GetCaps(data, &caps) == HIDP_STATUS_SUCCESS;
    b.HidD_FreePreparsedData(data);
    return ok;
}

// The device test of enumeration.
bool DevicePasses(const std::string& path, int vendorId, int productId, int usagePage, int usage) {
    HANDLE handle = OpenPath(path);
    if (handle == INVALID_HANDLE_VALUE) return false;
    bool ok = false;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    HIDP_CAPS caps{};
    if (Bound().HidD_GetAttributes(handle, &attributes) &&
        (vendorId <= 0 || attributes.VendorID == vendorId) &&
        (productId <= 0 || attributes.ProductID == productId) && Capabilities(handle, caps))
        ok = (usagePage < 0 || caps.UsagePage == usagePage) && (usage < 0 || caps.Usage == usage);
    CloseHandle(handle);
    return ok;
}

// One open device: its handle and the read that may be outstanding.
struct Device {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED readOverlapped{};
    bool readPending = false;
    uint8_t readBuffer[517] = {};
    int usagePage = 0, usage = 0;
    Device() { readOverlapped.hEvent = readEvent; }
    ~Device() {
        if (readPending) CancelIo(handle);
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        CloseHandle(readEvent);
    }
};

std::mutex writeLock; // every report written passes it
HANDLE WriteEvent() {
    static HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    return event;
}

class WinHidPlatform final : public IHidPlatform {
  public:
    std::vector<std::string> Enumerate(int vendorId, int productId, int usagePage,
                                       int usage) override {
        std::vector<std::string> paths;
        Bindings& b = Bound();
        if (!b.ok) return paths; // the link simply never comes up
        GUID guid;
        b.HidD_GetHidGuid(&guid);
        HDEVINFO set = b.SetupDiGetClassDevsA(&guid, nullptr, GetDesktopWindow(),
                                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) return paths;
        for (DWORD index = 0;; ++index) {
            SP_DEVICE_INTERFACE_DATA item{};
            item.cbSize = sizeof item;
            if (!b.SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &item)) break;
            DWORD size = 0;
            b.SetupDiGetDeviceInterfaceDetailA(set, &item, nullptr, 0, &size, nullptr);
            if (size == 0) continue;
            std::unique_ptr<uint8_t[]> bytes(new uint8_t[size]);
            auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(bytes.get());
            // The size of the record's fixed part in this build's layout.
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            SP_DEVINFO_DATA info{};
            info.cbSize = sizeof info;
            if (!b.SetupDiGetDeviceInterfaceDetailA(set, &item, detail, size, nullptr, &info))
                continue;
            const std::string path = detail->DevicePath;
            if (winhid::PathPasses(path, vendorId, productId) &&
                DevicePasses(path, vendorId, productId, usagePage, usage))
                paths.push_back(path);
        }
        b.SetupDiDestroyDeviceInfoList(set);
        return paths;
    }

    HidHandle Open(const std::string& path) override {
        openError_ = OpenError::Other;
        if (!Bound().ok) return kInvalidHandle;
        HANDLE handle = OpenPath(path);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            openError_ = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                                 error == ERROR_DEVICE_NOT_CONNECTED
                             ? OpenError::Absent
                         : error == ERROR_ACCESS_DENIED     ? OpenError::NoPermission
                         : error == ERROR_SHARING_VIOLATION ? OpenError::Busy
                                                            : OpenError::Other;
            return kInvalidHandle;
        }
        openError_ = OpenError::None;
        auto device = std::make_unique<Device>();
        device->handle = handle;
        Bound().HidD_SetNumInputBuffers(handle, 256);
        HIDP_CAPS caps{};
        if (Capabilities(handle, caps)) {
            device->usagePage = caps.UsagePage;
            device->usage = caps.Usage;
        }
        const HidHandle id = next_++;
        devices_[id] = std::move(device);
        return id;
    }

    OpenError LastOpenError() const override { return openError_; }

    void Close(HidHandle handle) override { devices_.erase(handle); }

    int Read(HidHandle handle, uint8_t* buffer, int capacity, int timeoutMs) override {
        Device* d = Find(handle);
        if (!d) return -1;
        DWORD got = 0;
        if (!d->readPending) {
            ResetEvent(d->readEvent);
            if (ReadFile(d->handle, d->readBuffer, sizeof d->readBuffer, &got, &d->readOverlapped))
                return Copy(d, got, buffer, capacity);
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) return error == ERROR_DEVICE_NOT_CONNECTED ? -1 : 0;
            d->readPending = true;
        }
        // A read still running when the time-out ends stays outstanding; the next call waits for
        // the same read, so no report is lost between calls.
        if (WaitForSingleObject(d->readEvent, static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs)) !=
            WAIT_OBJECT_0)
            return 0;
        if (!GetOverlappedResult(d->handle, &d->readOverlapped, &got, FALSE)) return 0;
        d->readPending = false;
        return Copy(d, got, buffer, capacity);
    }

    int Write(HidHandle handle, const uint8_t* data, int size, int timeoutMs) override {
        Device* d = Find(handle);
        if (!d || size <= 0 || size > 516) return -1;
        std::lock_guard<std::mutex> hold(writeLock);
        OVERLAPPED overlapped{};
        overlapped.hEvent = WriteEvent();
        ResetEvent(overlapped.hEvent);
        DWORD written = 0;
        if (!WriteFile(d->handle, data, static_cast<DWORD>(size), &written, &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING) return -1;
            if (WaitForSingleObject(overlapped.hEvent,
                                    static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs)) !=
                WAIT_OBJECT_0) {
                CancelIo(d->handle); // the write timed out: cancelled, and counted as 0
                GetOverlappedResult(d->handle, &overlapped, &written, TRUE);
                return 0;
            }
            if (!GetOverlappedResult(d->handle, &overlapped, &written, FALSE)) return -1;
        }
        return static_cast<int>(written);
    }

    bool QueryUsage(HidHandle handle, int& usagePage, int& usage) override {
        Device* d = Find(handle);
        if (!d) return false;
        HIDP_CAPS caps{};
        if (!Capabilities(d->handle, caps)) return false;
        usagePage = caps.UsagePage;
        usage = caps.Usage;
        return true;
    }

    bool GetString(HidHandle handle, HidString which, int index, std::u16string& text) override {
        Device* d = Find(handle);
        if (!d) return false;
        Bindings& b = Bound();
        uint8_t buffer[512] = {};
        BOOLEAN ok = FALSE;
        switch (which) {
        case HidString::Manufacturer:
            ok = b.HidD_GetManufacturerString(d->handle, buffer, sizeof buffer);
            break;
        case HidString::Product:
            ok = b.HidD_GetProductString(d->handle, buffer, sizeof buffer);
            break;
        case HidString::SerialNumber:
            ok = b.HidD_GetSerialNumberString(d->handle, buffer, sizeof buffer);
            break;
        case HidString::Indexed:
            ok = b.HidD_GetIndexedString(d->handle, static_cast<ULONG>(index), buffer,
                                         sizeof buffer);
            break;
        }
        if (!ok) return false;
        text = winhid::StringFromBuffer(buffer, sizeof buffer);
        return true;
    }

  private:
    Device* Find(HidHandle handle) {
        auto it = devices_.find(handle);
        return it == devices_.end() ? nullptr : it->second.get();
    }
    static int Copy(Device* d, DWORD got, uint8_t* buffer, int capacity) {
        const int n = static_cast<int>(got) < capacity ? static_cast<int>(got) : capacity;
        std::memcpy(buffer, d->readBuffer, static_cast<size_t>(n));
        return n;
    }
    std::map<HidHandle, std::unique_ptr<Device>> devices_;
    HidHandle next_ = 1;
    OpenError openError_ = OpenError::None;
};

} // namespace

IHidPlatform& MachineHidPlatform() {
    static WinHidPlatform machine;
    return machine;
}

} // namespace kv
