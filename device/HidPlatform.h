// The narrow interface through which TRawHid reaches the HID devices of the machine. One backend is
// chosen per process: the hidraw backend on Linux, the simulated device, or a test double.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv {

using HidHandle = intptr_t;
constexpr HidHandle kInvalidHandle = -1;

enum class HidString { Manufacturer, Product, SerialNumber, Indexed };

// Why an interface could not be opened.
enum class OpenError {
    None,
    Absent,       // it is not there (any more)
    NoPermission, // the system does not let this user open it
    Busy,         // another program holds it
    Unsuitable,   // its reports are not the link's 64-byte reports
    Other,
};

// What enumeration knows of one HID interface; the backends fill it, the matching is shared.
struct HidInterfaceInfo {
    std::string path;
    int vendorId = 0;
    int productId = 0;
    int usagePage = 0;
    int usage = 0;
    // Interfaces of the USB device this HID interface belongs to (1 for a non-composite device).
    int usbInterfaces = 1;
    // Top-level collections in this interface's report descriptor.
    int topLevelCollections = 1;
};

// The path and device tests in one: a negative value means "any". Only a device's single,
// non-composite interface with one top-level collection is accepted.
bool InterfaceMatches(const HidInterfaceInfo& info, int vendorId, int productId, int usagePage,
                      int usage);

class IHidPlatform {
  public:
    virtual ~IHidPlatform() = default;

    // Paths of the present interfaces that pass InterfaceMatches, in a stable order.
    virtual std::vector<std::string> Enumerate(int vendorId, int productId, int usagePage,
                                               int usage) = 0;
    // Opens an interface for reading and writing; kInvalidHandle when it cannot be opened.
    virtual HidHandle Open(const std::string& path) = 0;
    // Why the last Open on this backend failed (backends are opened from one thread).
    virtual OpenError LastOpenError() const { return OpenError::Other; }
    // One program uses a device at a time: Open takes the device for this process, and an
    // interface another program has taken fails with Busy. Who holds it then, as far as the
    // system tells: the program's name and process id ("kvb mount (process 4711)"); empty when
    // it cannot tell.
    virtual std::string LastOpenHolder() const { return {}; }
    // The serial number of the interface at path, read without opening it; empty when unknown.
    virtual std::u16string SerialWithoutOpening(const std::string&) { return {}; }
    virtual void Close(HidHandle handle) = 0;
    // Waits up to timeoutMs for one input report and copies it, report ID first, into buffer
    // (at most capacity bytes). Returns the bytes copied, 0 when none came in time, -1 on failure.
    // A report that arrives after a time-out is kept for the next call; none is ever lost.
    virtual int Read(HidHandle handle, uint8_t* buffer, int capacity, int timeoutMs) = 0;
    // Writes one output report, report ID first. Returns the bytes written (ID included), 0 when
    // the write did not complete within timeoutMs, -1 on failure.
    virtual int Write(HidHandle handle, const uint8_t* data, int size, int timeoutMs) = 0;
    virtual bool QueryUsage(HidHandle handle, int& usagePage, int& usage) = 0;
    // One HID string as UTF-16; false when it cannot be read. index is used for Indexed only.
    virtual bool GetString(HidHandle handle, HidString which, int index, std::u16string& text) = 0;
    // Input reports of this handle that the backend's own queue dropped because it was full.
    virtual uint64_t DroppedReports(HidHandle) { return 0; }
};

// The machine's own HID access: defined by the one platform backend this build links.
IHidPlatform& MachineHidPlatform();
// The process's backend. Until SetHidPlatform is called this is the machine's own HID access.
IHidPlatform& HidPlatform();
// Chooses the backend; nullptr returns to the machine's own. The backend must outlive its use.
void SetHidPlatform(IHidPlatform* platform);

} // namespace kv
