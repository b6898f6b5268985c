// The Windows backend's reader decisions, report lengths and padded writes, without Windows.
#include "device/windows/WinHidReports.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

namespace {

using kv::winhid::ReadFailures;
using kv::winhid::ReadStep;
using Woke = kv::winhid::OverlappedReads::Woke;

TEST(WinHidReader, DeviceLossEndsAtOnceAndOtherFailuresEndOnlyWhenTheyRepeat) {
    for (uint32_t loss : {kv::winhid::kErrorDeviceNotConnected, kv::winhid::kErrorAccessDenied,
                          kv::winhid::kErrorGenFailure}) {
        ReadFailures failures;
        EXPECT_EQ(failures.OnFailure(loss), ReadStep::Gone) << "error " << loss;
    }
    ReadFailures failures;
    const uint32_t other = 87; // ERROR_INVALID_PARAMETER: nothing the reader knows
    for (int i = 0; i < ReadFailures::kRetries; ++i)
        EXPECT_EQ(failures.OnFailure(other), ReadStep::RetryLater) << "failure " << i + 1;
    failures.OnReport(); // a report between: the count starts again
    for (int i = 0; i < ReadFailures::kRetries; ++i)
        EXPECT_EQ(failures.OnFailure(other), ReadStep::RetryLater) << "after a report, " << i + 1;
    EXPECT_EQ(failures.OnFailure(other), ReadStep::Gone) << "a failure that keeps coming back";
}

TEST(WinHidReader, ACancelledReadIsIssuedAgainUnlessCancelsNeverStop) {
    ReadFailures failures;
    for (int i = 0; i < ReadFailures::kCancels; ++i)
        ASSERT_EQ(failures.OnFailure(kv::winhid::kErrorOperationAborted), ReadStep::Reissue);
    EXPECT_EQ(failures.OnFailure(kv::winhid::kErrorOperationAborted), ReadStep::Gone);
    failures.OnReport();
    EXPECT_EQ(failures.OnFailure(kv::winhid::kErrorOperationAborted), ReadStep::Reissue);
}

// The overlapped calls of one handle, played from a script, failing the test when the reader
// issues a read while one is outstanding, or closes the handle or lets the read go under the
// system before the read has ended.
struct FakeReads final : kv::winhid::OverlappedReads {
    struct End {
        Woke woke;
        uint32_t got = 0, error = 0;
    };
    std::deque<uint32_t> issues; // each issue's error, 0 in flight; then in flight
    std::deque<End> ends;        // what each wait ends with; then the stop
    End last{Woke::Stop};
    bool outstanding = false, cancelled = false, closed = false;
    std::vector<uint32_t> reports;
    int pauses = 0;

    bool Issue(uint32_t& error) override {
        if (outstanding || closed)
            ADD_FAILURE() << "a read issued while one is outstanding, or after the close";
        error = issues.empty() ? 0 : issues.front();
        if (!issues.empty()) issues.pop_front();
        outstanding = error == 0;
        cancelled = false;
        return outstanding;
    }
    Woke Wait() override {
        last = ends.empty() ? End{Woke::Stop} : ends.front();
        if (!ends.empty()) ends.pop_front();
        return last.woke;
    }
    bool Result(uint32_t& got, uint32_t& error) override {
        outstanding = false;
        got = last.got;
        error = last.error;
        return error == 0;
    }
    bool Pause() override {
        ++pauses;
        return true;
    }
    void Cancel() override { cancelled = outstanding; }
    void AwaitEnd() override {
        if (!cancelled) ADD_FAILURE() << "waiting for a read that was never cancelled";
        outstanding = false;
    }
    void Deliver(uint32_t got) override { reports.push_back(got); }
    void Close() override {
        if (outstanding) ADD_FAILURE() << "the handle closed under a read that has not ended";
        closed = true;
    }
};

TEST(WinHidReader, OneReadAtATimeThroughReportsFailuresAndReissuesAndNoneLeftAtTheStop) {
    FakeReads reads;
    const uint32_t other = 87, cancelled = kv::winhid::kErrorOperationAborted;
    reads.issues = {0, 0, other, cancelled}; // the third issue fails, its retry as cancelled
    reads.ends = {{Woke::Read, 65},
                  {Woke::Read, 0, cancelled},
                  {Woke::Read, 0},
                  {Woke::Read, 64},
                  {Woke::Read, 0, other}};
    EXPECT_FALSE(kv::winhid::RunReader(reads));
    EXPECT_EQ(reads.reports, (std::vector<uint32_t>{65, 64}));
    EXPECT_EQ(reads.pauses, 3) << "the failed issue, the empty read, the failed read";
    EXPECT_FALSE(reads.outstanding) << "the owner closes the handle next";
    EXPECT_FALSE(reads.closed);
}

TEST(WinHidReader, ADeviceLostClosesItsHandleOnlyWhenNoReadIsOutstanding) {
    const uint32_t loss = kv::winhid::kErrorDeviceNotConnected;
    const std::pair<std::deque<uint32_t>, std::deque<FakeReads::End>> losses[] = {
        {{}, {{Woke::Read, 0, loss}}},   // a read fails
        {{0, loss}, {{Woke::Read, 65}}}, // the next issue fails
        {{}, {{Woke::Failed}}},          // the wait fails, the read still on
    };
    for (const auto& [issues, ends] : losses) {
        SCOPED_TRACE(&issues - &losses[0].first);
        FakeReads reads;
        reads.issues = issues;
        reads.ends = ends;
        EXPECT_TRUE(kv::winhid::RunReader(reads));
        EXPECT_TRUE(reads.closed);
    }
}

TEST(WinHidReports, OnlyTheLinksReportLengthsAreTakenAndWritesArePaddedToThem) {
    EXPECT_TRUE(kv::winhid::ReportLengthsFit(65, 65));
    EXPECT_FALSE(kv::winhid::ReportLengthsFit(9, 65)) << "8-byte input reports";
    EXPECT_FALSE(kv::winhid::ReportLengthsFit(65, 33)) << "32-byte output reports";
    EXPECT_FALSE(kv::winhid::ReportLengthsFit(0, 0)) << "no reports at all";
    EXPECT_FALSE(kv::winhid::ReportLengthsFit(513, 513));

    const uint8_t data[] = {0, 7, 1, 2, 0xAB};
    std::vector<uint8_t> out(65, 0xEE);
    ASSERT_TRUE(kv::winhid::PadReport(data, sizeof data, 65, out.data()));
    std::vector<uint8_t> expected(65, 0);
    std::copy(std::begin(data), std::end(data), expected.begin());
    EXPECT_EQ(out, expected) << "report ID first, the rest zero";
    std::vector<uint8_t> big(66, 1);
    EXPECT_FALSE(kv::winhid::PadReport(big.data(), 66, 65, out.data())) << "longer than the report";
    EXPECT_FALSE(kv::winhid::PadReport(data, 0, 65, out.data())) << "not even the report ID";
}

} // namespace
