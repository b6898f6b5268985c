// TRawHid: one USB HID device found by its identifiers, single reports in and out with time-outs,
// and the device's HID strings. Knows nothing of channels or text.
#pragma once

#include "HidPlatform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kv {

class TRawHid {
  public:
    static constexpr int kMaxReadSize = 516;  // data bytes of one read, report ID not counted
    static constexpr int kMaxWriteSize = 515; // data bytes of one write, report ID not counted
    static constexpr int kStringBufferBytes = 512;

    TRawHid() = default;
    ~TRawHid();
    TRawHid(const TRawHid&) = delete;
    TRawHid& operator=(const TRawHid&) = delete;

    // Clears List and fills it with the paths of matching interfaces; a negative value means any.
    static int FindDevices(std::vector<std::string>& List, int VendorID, int ProductID,
                           int UsagePage, int Usage);

    // False when the device cannot be opened; OpenFailure then says why.
    bool Open(const std::string& Path);
    bool OpenFirst(int VendorID, int ProductID, int UsagePage, int Usage);
    void Close();
    bool IsOpen() const { return Handle != kInvalidHandle; }

    // Data bytes placed in Buffer (report ID dropped), 0 when nothing was read in time, -1 when
    // the device is gone.
    int ReadReport(uint8_t* Buffer, int Size, int Timeout);
    // Data bytes written, 0 on time-out, -1 when refused or failed.
    int WriteReport(const uint8_t* Data, int Size, int Timeout);

    // Input reports the backend's queue dropped, over every handle this object has opened: the
    // count of a handle is kept when it closes.
    uint64_t DroppedReports() const;

    bool QueryUsage(int& OutUsagePage, int& OutUsage);
    std::u16string GetManufacturer();
    std::u16string GetProduct();
    std::u16string GetSerialNumber();
    std::u16string GetIndexedString(int Index);

    HidHandle Handle = kInvalidHandle;
    int UsagePage = 0;
    int Usage = 0;
    int ReadTimeout = 0;
    int WriteTimeout = 0;
    bool ReadPending = false;
    std::string DevicePath;
    OpenError OpenFailure = OpenError::None;
    // When another program holds the device (OpenFailure Busy): who, and the device's serial
    // number, as far as the system tells.
    std::string OpenHolder, OpenSerial;

  private:
    std::u16string FetchString(HidString which, int index);
    uint64_t ClosedDrops = 0; // dropped on handles closed since
    uint8_t ReadBuffer[kMaxReadSize + 1] = {};
};

// The unit-level write: every report written by any TRawHid passes one lock.
int WriteReport(HidHandle Handle, const uint8_t* Data, int Size, int Timeout);

} // namespace kv
