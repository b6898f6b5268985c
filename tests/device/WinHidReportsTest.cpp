// The Windows backend's reader decisions, report lengths and padded writes, without Windows.
#include "device/windows/WinHidReports.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using kv::winhid::ReadFailures;
using kv::winhid::ReadStep;

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
