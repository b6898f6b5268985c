#include "WinHidReports.h"

#include <cstring>

namespace kv::winhid {

ReadStep ReadFailures::OnFailure(uint32_t error) {
    switch (error) {
    case kErrorDeviceNotConnected:
    case kErrorAccessDenied:
    case kErrorGenFailure:
        return ReadStep::Gone;
    case kErrorOperationAborted:
        return ++cancels_ > kCancels ? ReadStep::Gone : ReadStep::Reissue;
    default:
        return ++others_ > kRetries ? ReadStep::Gone : ReadStep::RetryLater;
    }
}

bool ReportLengthsFit(int inputLength, int outputLength) {
    return inputLength == kReportLength && outputLength == kReportLength;
}

bool PadReport(const uint8_t* data, int size, int length, uint8_t* out) {
    if (size <= 0 || size > length) return false;
    std::memcpy(out, data, static_cast<size_t>(size));
    std::memset(out + size, 0, static_cast<size_t>(length - size));
    return true;
}

} // namespace kv::winhid
