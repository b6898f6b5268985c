// The Windows backend: the HID class driver (HID.dll) and SetupAPI, bound by name at run time; a
// reader thread per open device that keeps one overlapped read in flight, and overlapped writes
// with their time-out on the caller's thread.
#include "../HidPlatform.h"
#include "../ReportQueue.h"
#include "WinHidPaths.h"
#include "WinHidReports.h"

#include <windows.h>

#include <setupapi.h>

#include <hidusage.h>

#include <hidpi.h>

#include <hidsdi.h>

#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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

// The serial number the device reports on an open handle; empty when it has none.
std::u16string SerialOf(HANDLE handle) {
    uint8_t buffer[512] = {};
    if (!Bound().HidD_GetSerialNumberString(handle, buffer, sizeof buffer)) return {};
    return winhid::StringFromBuffer(buffer, sizeof buffer);
}

// One program uses a device at a time, while the class driver must stay shareable: a named lock
// of this session, keyed by the device's serial number (its path when it has none), is held
// while the device is open. Null when another program holds it.
HANDLE TakeDevice(const std::u16string& serial, const std::string& path) {
    std::wstring name = L"Local\\kvbFileAccess-device-";
    if (!serial.empty())
        for (const char16_t c : serial)
            name += c == u'\\' ? L'_' : static_cast<wchar_t>(c);
    else
        for (const char c : path)
            name += c == '\\' ? L'_' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    HANDLE lock = CreateMutexW(nullptr, FALSE, name.c_str());
    if (lock && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(lock);
        return nullptr;
    }
    return lock;
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

constexpr size_t kQueueReports = 4096; // as the Linux backend: far above what the link holds
// The reader keeps one read outstanding at a time: the system's ring holds what comes while it
// hands a report on and issues the next read, which then completes at once. With several
// outstanding, Wine's class driver can complete a newly issued read from its ring while an older
// read still waits, and give the older one the same report again: reports out of order and twice.
constexpr ULONG kInputBuffers = 512; // the system's own ring per handle, at its largest
constexpr DWORD kRetryPauseMs = 50;  // after a failed read that is tried again

static_assert(winhid::kErrorAccessDenied == ERROR_ACCESS_DENIED, "error code");
static_assert(winhid::kErrorGenFailure == ERROR_GEN_FAILURE, "error code");
static_assert(winhid::kErrorOperationAborted == ERROR_OPERATION_ABORTED, "error code");
static_assert(winhid::kErrorDeviceNotConnected == ERROR_DEVICE_NOT_CONNECTED, "error code");

// A manual-reset event, closed with its owner.
struct Event {
    const HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event() {
        if (handle) CloseHandle(handle);
    }
};

// One open device. Its reader thread keeps a read in flight on the handle and drains it into the
// queue, so the system's ring never fills while the program is busy; writes, strings and the
// closing of the handle take the handle lock. The handle is closed as soon as the reader finds the
// device gone, so the system can remove the device and list it afresh when it comes back.
struct Device {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE taken = nullptr; // the device's named lock, when this handle took it
    std::string path;
    std::mutex handleLock;
    bool closed = false; // under handleLock
    int inputLength = 0, outputLength = 0;
    int usagePage = 0, usage = 0;
    ReportQueue input{kQueueReports};
    Event stop;  // set when the device is closed
    Event write; // the event of the one write at a time
    std::thread reader;

    ~Device() {
        SetEvent(stop.handle);
        if (reader.joinable()) reader.join();
        CloseHandleOnce();
        if (taken) CloseHandle(taken);
    }

    void CloseHandleOnce() {
        std::lock_guard<std::mutex> hold(handleLock);
        if (closed) return;
        closed = true;
        CloseHandle(handle);
    }

    // The reader's overlapped calls on the handle. The one read's buffer, OVERLAPPED and event
    // live until the read has ended.
    struct Reads final : winhid::OverlappedReads {
        Device& device;
        Event done;
        OVERLAPPED overlapped{};
        std::vector<uint8_t> buffer;

        explicit Reads(Device& d) : device(d), buffer(static_cast<size_t>(d.inputLength), 0) {}

        bool Issue(uint32_t& error) override {
            overlapped = OVERLAPPED{};
            overlapped.hEvent = done.handle;
            ResetEvent(done.handle);
            // A read that completes at once also sets its event; it is collected in turn.
            if (ReadFile(device.handle, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                         &overlapped))
                return true;
            error = GetLastError();
            return error == ERROR_IO_PENDING;
        }
        Woke Wait() override {
            const HANDLE events[2] = {device.stop.handle, done.handle};
            const DWORD woke = WaitForMultipleObjects(2, events, FALSE, INFINITE);
            return woke == WAIT_OBJECT_0       ? Woke::Stop
                   : woke == WAIT_OBJECT_0 + 1 ? Woke::Read
                                               : Woke::Failed;
        }
        bool Result(uint32_t& got, uint32_t& error) override {
            DWORD bytes = 0;
            const bool ok = GetOverlappedResult(device.handle, &overlapped, &bytes, FALSE);
            error = ok ? 0 : GetLastError();
            got = bytes;
            return ok;
        }
        bool Pause() override {
            return WaitForSingleObject(device.stop.handle, kRetryPauseMs) == WAIT_TIMEOUT;
        }
        // By the read's own OVERLAPPED, so that only this read is cancelled.
        void Cancel() override { CancelIoEx(device.handle, &overlapped); }
        void AwaitEnd() override {
            DWORD bytes = 0;
            GetOverlappedResult(device.handle, &overlapped, &bytes, TRUE);
        }
        void Deliver(uint32_t got) override {
            device.input.Push(buffer.data(), static_cast<int>(got));
        }
        void Close() override {
            device.CloseHandleOnce();
            device.input.Fail();
        }
    };

    void ReadLoop() {
        Reads reads(*this);
        winhid::RunReader(reads);
    }
};

class WinHidPlatform final : public IHidPlatform {
  public:
    std::vector<std::string> Enumerate(int vendorId, int productId, int usagePage,
                                       int usage) override {
        std::vector<std::string> paths;
        Bindings& b = Bound();
        if (!b.ok) return paths; // the link simply never comes up
        GUID guid;
        b.HidD_GetHidGuid(&guid);
        // No parent window: asking for the desktop's would make the system set up a desktop for a
        // console program that has none (under Wine, start its desktop process) on every listing.
        HDEVINFO set =
            b.SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
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
        HIDP_CAPS caps{};
        const bool known = Capabilities(handle, caps);
        if (!known ||
            !winhid::ReportLengthsFit(caps.InputReportByteLength, caps.OutputReportByteLength)) {
            CloseHandle(handle);
            openError_ = known ? OpenError::Unsuitable : OpenError::Other;
            return kInvalidHandle;
        }
        // A second handle of this process on the device (a look at the device list while the
        // link is open) shares the lock its first one holds.
        bool ours = false;
        {
            std::lock_guard<std::mutex> hold(lock_);
            for (const auto& [id, open] : devices_)
                ours = ours || open->path == path;
        }
        HANDLE taken = nullptr;
        if (!ours) {
            taken = TakeDevice(SerialOf(handle), path);
            if (!taken) {
                CloseHandle(handle);
                openError_ = OpenError::Busy;
                return kInvalidHandle;
            }
        }
        // The largest ring the system keeps per handle; where it is refused, the system's own
        // default stays, which the reader keeps drained as well.
        Bound().HidD_SetNumInputBuffers(handle, kInputBuffers);
        auto device = std::make_shared<Device>();
        device->handle = handle;
        device->taken = taken;
        device->path = path;
        device->inputLength = caps.InputReportByteLength;
        device->outputLength = caps.OutputReportByteLength;
        device->usagePage = caps.UsagePage;
        device->usage = caps.Usage;
        device->reader = std::thread([d = device.get()] { d->ReadLoop(); });
        openError_ = OpenError::None;
        std::lock_guard<std::mutex> hold(lock_);
        const HidHandle id = next_++;
        devices_[id] = std::move(device);
        return id;
    }

    OpenError LastOpenError() const override { return openError_; }

    std::u16string SerialWithoutOpening(const std::string& path) override {
        if (!Bound().ok) return {};
        HANDLE handle = OpenPath(path);
        if (handle == INVALID_HANDLE_VALUE) return {};
        const std::u16string serial = SerialOf(handle);
        CloseHandle(handle);
        return serial;
    }

    // The reader is stopped and the handle closed when the last user lets go.
    void Close(HidHandle handle) override {
        std::shared_ptr<Device> device;
        std::lock_guard<std::mutex> hold(lock_);
        auto it = devices_.find(handle);
        if (it == devices_.end()) return;
        device = std::move(it->second);
        devices_.erase(it);
    }

    int Read(HidHandle handle, uint8_t* buffer, int capacity, int timeoutMs) override {
        auto d = Find(handle);
        return d ? d->input.Pop(buffer, capacity, timeoutMs) : -1;
    }

    uint64_t DroppedReports(HidHandle handle) override {
        auto d = Find(handle);
        return d ? d->input.Dropped() : 0;
    }

    // The report goes out padded to the device's output length. A write still running at the
    // time-out is cancelled and waited for; one that completed despite the cancel was sent.
    int Write(HidHandle handle, const uint8_t* data, int size, int timeoutMs) override {
        auto d = Find(handle);
        uint8_t report[winhid::kReportLength];
        if (!d || !winhid::PadReport(data, size, d->outputLength, report)) return -1;
        std::lock_guard<std::mutex> hold(d->handleLock);
        if (d->closed) return -1;
        OVERLAPPED overlapped{};
        overlapped.hEvent = d->write.handle;
        ResetEvent(overlapped.hEvent);
        DWORD written = 0;
        if (!WriteFile(d->handle, report, static_cast<DWORD>(d->outputLength), nullptr,
                       &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING) return -1;
            if (WaitForSingleObject(overlapped.hEvent,
                                    static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs)) !=
                WAIT_OBJECT_0)
                CancelIoEx(d->handle, &overlapped);
        }
        if (!GetOverlappedResult(d->handle, &overlapped, &written, TRUE))
            return GetLastError() == ERROR_OPERATION_ABORTED ? 0 : -1;
        return written < static_cast<DWORD>(size) ? static_cast<int>(written) : size;
    }

    bool QueryUsage(HidHandle handle, int& usagePage, int& usage) override {
        auto d = Find(handle);
        if (!d) return false;
        usagePage = d->usagePage;
        usage = d->usage;
        return true;
    }

    // Asked of the device now, on the open handle: a device that has gone has no strings.
    bool GetString(HidHandle handle, HidString which, int index, std::u16string& text) override {
        auto d = Find(handle);
        if (!d) return false;
        std::lock_guard<std::mutex> hold(d->handleLock);
        if (d->closed) return false;
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
    std::shared_ptr<Device> Find(HidHandle handle) {
        std::lock_guard<std::mutex> hold(lock_);
        auto it = devices_.find(handle);
        return it == devices_.end() ? nullptr : it->second;
    }
    std::mutex lock_;
    std::map<HidHandle, std::shared_ptr<Device>> devices_;
    HidHandle next_ = 1;
    OpenError openError_ = OpenError::None;
};

} // namespace

IHidPlatform& MachineHidPlatform() {
    static WinHidPlatform machine;
    return machine;
}

} // namespace kv
