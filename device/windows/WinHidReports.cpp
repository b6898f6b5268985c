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

bool RunReader(OverlappedReads& reads) {
    ReadFailures failures;
    bool gone = false;
    // After a failed read or issue: false when the reader ends (the device gone, or a stop in
    // the pause).
    const auto goOn = [&](uint32_t error) {
        switch (failures.OnFailure(error)) {
        case ReadStep::Gone:
            gone = true;
            return false;
        case ReadStep::RetryLater:
            return reads.Pause();
        case ReadStep::Reissue:
            break;
        }
        return true;
    };
    // Issues the read, again after a failure that may pass; false when the reader ends.
    const auto issue = [&] {
        for (;;) {
            uint32_t error = 0;
            if (reads.Issue(error)) return true;
            if (!goOn(error)) return false;
        }
    };
    bool inFlight = issue();
    while (inFlight) {
        const OverlappedReads::Woke woke = reads.Wait();
        if (woke == OverlappedReads::Woke::Stop) break;
        if (woke == OverlappedReads::Woke::Failed) {
            gone = true; // nothing more will come
            break;
        }
        uint32_t got = 0, error = 0;
        const bool ok = reads.Result(got, error);
        inFlight = false; // every completion ends the read, failed or not
        if (ok && got > 0) {
            failures.OnReport();
            reads.Deliver(got);
        } else if (!goOn(error)) {
            break;
        }
        inFlight = issue();
    }
    if (inFlight) {
        reads.Cancel();
        reads.AwaitEnd();
    }
    if (gone) reads.Close();
    return gone;
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
