// The transfer tally: what the progress line and the summary say as files move.
#include "workflows/TransferTally.h"

#include <gtest/gtest.h>

namespace {

using kv::TTransferTally;

TEST(TransferTally, CountsBytesSpeedTimeLeftAndTheSummary) {
    TTransferTally t;
    t.Begin(2, 122000, true, 1000);
    t.StartFile("a.lua", 61000);
    t.FileProgress(4096);
    EXPECT_EQ(t.Line(1100), "a.lua - file 1 of 2 - 4,096 of 122,000 bytes") << "no speed yet";
    t.FileProgress(61000);
    t.FileDone(true);
    t.StartFile("b.lua", 61000);
    t.FileProgress(30500);
    // 91,500 bytes in 1.5 s: 61 kB/s, 30,500 bytes left: 0.5 s.
    EXPECT_EQ(t.Line(2500),
              "b.lua - file 2 of 2 - 91,500 of 122,000 bytes - 61.0 kB/s - 0:01 left");
    t.FileDone(false);
    EXPECT_EQ(t.Summary("Saved", "to /x", 3000), "Saved 1 file of 2 (61,000 bytes) to /x in 2.0 s");
}

TEST(TransferTally, TreesCountAsFoundAndMissingUploadsAreTakenBack) {
    TTransferTally t;
    t.Begin(0, 0, false, 0);
    t.Add(3, 300);
    t.StartFile("x", 100);
    t.FileProgress(100);
    EXPECT_EQ(t.Line(1000), "x - file 1 of 3 so far - 100 of 300 bytes - 0.1 kB/s")
        << "no time left while trees may add files";
    t.FileDone(true);
    t.StartFile("y", 100);
    t.FileProgress(250); // bigger than listed: the total grows with it
    t.FileDone(true);
    t.AllKnown();
    EXPECT_EQ(t.Line(500), "y - file 2 of 3 - 350 of 450 bytes - 0.7 kB/s - 0:00 left");
    t.NotStored(250);
    EXPECT_EQ(t.Summary("Uploaded", "to /", 1000),
              "Uploaded 1 file of 3 (100 bytes) to / in 1.0 s");
    EXPECT_EQ(kv::GroupedNumber(1234567), "1,234,567");
    EXPECT_EQ(kv::GroupedNumber(999), "999");
}

} // namespace
