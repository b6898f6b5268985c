// The parts of the Windows backend's reader and writer that need no Windows: the reader's loop
// over its overlapped calls, what a failed read means, whether a device's report lengths fit the
// link, and the report a write puts on the wire. Plain code, so that it is tested anywhere.
#pragma once

#include <cstdint>

namespace kv::winhid {

// The system error codes the reader tells apart (their values in the Windows headers; the
// backend checks that they agree).
constexpr uint32_t kErrorAccessDenied = 5;          // ERROR_ACCESS_DENIED
constexpr uint32_t kErrorGenFailure = 31;           // ERROR_GEN_FAILURE
constexpr uint32_t kErrorOperationAborted = 995;    // ERROR_OPERATION_ABORTED
constexpr uint32_t kErrorDeviceNotConnected = 1167; // ERROR_DEVICE_NOT_CONNECTED

// A device's own report length (report ID included) that the link takes: 64 bytes and the ID.
constexpr int kReportLength = 65;

// What the reader does after one of its reads failed (an empty read counts as a failure).
enum class ReadStep {
    Reissue,    // issue the read again at once
    RetryLater, // issue it again after a pause, so that a failure never becomes a busy loop
    Gone,       // the device has gone: stop, and close the handle
};

// The failures of one reader in a row. A device-loss error is the end at once (Wine gives
// ERROR_ACCESS_DENIED for a device removed under an open handle); a cancelled read is issued
// again; any other failure is retried a few times, and a failure that keeps coming back without a
// report between is taken as the device gone as well.
class ReadFailures {
  public:
    static constexpr int kRetries = 3;  // other failures in a row before the device counts as gone
    static constexpr int kCancels = 16; // cancelled reads in a row, likewise
    ReadStep OnFailure(uint32_t error);
    void OnReport() { others_ = cancels_ = 0; }

  private:
    int others_ = 0;
    int cancels_ = 0;
};

// The overlapped calls of one reader on one device handle, with its one read's buffer.
class OverlappedReads {
  public:
    enum class Woke { Stop, Read, Failed }; // what a wait ended with (Failed: the wait itself)
    virtual ~OverlappedReads() = default;
    // Issues the read; true when it is in flight (one that completes at once counts), else false
    // with the system's error.
    virtual bool Issue(uint32_t& error) = 0;
    // Waits until the read in flight ends or the reader is stopped.
    virtual Woke Wait() = 0;
    // Takes the result of the read that has ended, without waiting: true with its length, or
    // false with the system's error.
    virtual bool Result(uint32_t& got, uint32_t& error) = 0;
    // The pause before a failed read is tried again; false when the reader was stopped in it.
    virtual bool Pause() = 0;
    // Asks the system to cancel the read in flight.
    virtual void Cancel() = 0;
    // Waits until the cancelled read has ended, so its buffer and event may go.
    virtual void AwaitEnd() = 0;
    // Hands on the report of Got bytes that the last read brought.
    virtual void Deliver(uint32_t got) = 0;
    // The device has gone: closes its handle and ends its reports.
    virtual void Close() = 0;
};

// The reader: one read in flight at a time, each report handed on, failures judged by
// ReadFailures, until the reader is stopped or the device has gone. A read still in flight at
// the end is cancelled and waited for, so the handle is closed (here when the device has gone,
// by the owner after the stop) with no read on it. True when the device has gone.
bool RunReader(OverlappedReads& reads);

// Whether a device with these capability lengths (report ID included) carries the link's reports;
// one that does not is refused at open (OpenError::Unsuitable).
bool ReportLengthsFit(int inputLength, int outputLength);

// The output report for one write of Size bytes (report ID first) in a device's report of Length
// bytes: copied into Out and padded with zeros to Length. False when it does not fit.
bool PadReport(const uint8_t* data, int size, int length, uint8_t* out);

} // namespace kv::winhid
