#include "RawHid.h"

#include "Clock.h"
#include "DeviceText.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace kv {

namespace {
std::mutex WriteLock;
} // namespace

TRawHid::~TRawHid() {
    Close();
}

int TRawHid::FindDevices(std::vector<std::string>& List, int VendorID, int ProductID, int UsagePage,
                         int Usage) {
    List = HidPlatform().Enumerate(VendorID, ProductID, UsagePage, Usage);
    return static_cast<int>(List.size());
}

bool TRawHid::Open(const std::string& Path) {
    DevicePath = Path;
    Handle = HidPlatform().Open(Path);
    OpenHolder.clear();
    OpenSerial.clear();
    if (Handle == kInvalidHandle) {
        OpenFailure = HidPlatform().LastOpenError();
        if (OpenFailure == OpenError::None) OpenFailure = OpenError::Other;
        if (OpenFailure == OpenError::Busy) {
            OpenHolder = HidPlatform().LastOpenHolder();
            OpenSerial = HidTo8Bit(HidPlatform().SerialWithoutOpening(Path));
        }
        return false;
    }
    OpenFailure = OpenError::None;
    int page = 0, usage = 0;
    if (QueryUsage(page, usage)) {
        UsagePage = page;
        Usage = usage;
    }
    return true;
}

bool TRawHid::OpenFirst(int VendorID, int ProductID, int UsagePage, int Usage) {
    std::vector<std::string> list;
    if (FindDevices(list, VendorID, ProductID, UsagePage, Usage) < 1) return false;
    return Open(list.front());
}

void TRawHid::Close() {
    // A pending read belongs to the handle; closing the handle abandons it.
    ReadPending = false;
    UsagePage = 0;
    Usage = 0;
    if (Handle != kInvalidHandle) {
        ClosedDrops += HidPlatform().DroppedReports(Handle);
        HidPlatform().Close(Handle);
    }
    Handle = kInvalidHandle;
}

uint64_t TRawHid::DroppedReports() const {
    return ClosedDrops + (IsOpen() ? HidPlatform().DroppedReports(Handle) : 0);
}

int TRawHid::ReadReport(uint8_t* Buffer, int Size, int Timeout) {
    if (Timeout < 0) Timeout = ReadTimeout;
    if (Size < 0) Size = 0;
    if (Size + 1 > kMaxReadSize + 1) Size = kMaxReadSize;
    if (Handle == kInvalidHandle) return 0;

    // The backend keeps every report that arrives after a time-out, so a read that ran out of time
    // stays outstanding and the next call collects the same report stream.
    ReadPending = true;
    int got = 0;
    if (!WaitHookHere()) {
        got = HidPlatform().Read(Handle, ReadBuffer, sizeof ReadBuffer, Timeout);
    } else {
        // The same wait in slices with the hook served between them, to the same deadline.
        const int64_t end = Clock().NowMs() + Timeout;
        for (;;) {
            ServeWaitHook();
            if (Handle == kInvalidHandle) return 0;
            const int64_t left = std::max<int64_t>(end - Clock().NowMs(), 0);
            got = HidPlatform().Read(Handle, ReadBuffer, sizeof ReadBuffer,
                                     static_cast<int>(std::min<int64_t>(left, kWaitSliceMs)));
            if (got != 0 || left <= kWaitSliceMs) break;
        }
    }
    if (got == 0) return 0;
    ReadPending = false;
    if (got < 0) return -1;
    int n = std::min(got, static_cast<int>(sizeof ReadBuffer)) - 1;
    if (n > Size) n = Size;
    if (n <= 0) return 0;
    std::memcpy(Buffer, ReadBuffer + 1, n);
    return n;
}

int WriteReport(HidHandle Handle, const uint8_t* Data, int Size, int Timeout) {
    if (Size < 0 || Size + 1 > TRawHid::kMaxWriteSize + 1 || Handle == kInvalidHandle) return -1;
    std::lock_guard<std::mutex> hold(WriteLock);
    uint8_t report[TRawHid::kMaxWriteSize + 1] = {};
    report[0] = 0; // report ID 0
    if (Size > 0) std::memcpy(report + 1, Data, Size);
    const int written = HidPlatform().Write(Handle, report, Size + 1, Timeout);
    if (written == 0) return 0;
    if (written < 0) return -1;
    return written - 1;
}

int TRawHid::WriteReport(const uint8_t* Data, int Size, int Timeout) {
    ServeWaitHook();
    return kv::WriteReport(Handle, Data, Size, Timeout < 0 ? WriteTimeout : Timeout);
}

bool TRawHid::QueryUsage(int& OutUsagePage, int& OutUsage) {
    if (Handle == kInvalidHandle) return false;
    return HidPlatform().QueryUsage(Handle, OutUsagePage, OutUsage);
}

std::u16string TRawHid::FetchString(HidString which, int index) {
    if (Handle == kInvalidHandle) return {};
    std::u16string text;
    if (!HidPlatform().GetString(Handle, which, index, text)) return {};
    // The string is fetched into a 512-byte buffer: at most 255 code units and a terminator.
    const size_t limit = kStringBufferBytes / 2 - 1;
    const size_t end = std::min(text.find(u'\0'), limit);
    if (end < text.size()) text.resize(end);
    return text;
}

std::u16string TRawHid::GetManufacturer() {
    return FetchString(HidString::Manufacturer, 0);
}
std::u16string TRawHid::GetProduct() {
    return FetchString(HidString::Product, 0);
}
std::u16string TRawHid::GetSerialNumber() {
    return FetchString(HidString::SerialNumber, 0);
}
std::u16string TRawHid::GetIndexedString(int Index) {
    return FetchString(HidString::Indexed, Index);
}

} // namespace kv
