// The ratio reporter's arithmetic: the reference copy scaled to a frame, ratios, medians.
#include "ratio_reporter.h"

#include <gtest/gtest.h>

using tolva::bench::frame16_bytes;
using tolva::bench::median;
using tolva::bench::MemcpyReference;
using tolva::bench::RatioReport;

TEST(RatioReporterTest, ScalesTheReferenceCopyToTheFrameItStandsFor)
{
    MemcpyReference reference(0.064); // 64 MiB in 64 ms: 1 MiB a millisecond
    EXPECT_EQ(frame16_bytes(4056, 3040), 24660480LL);
    EXPECT_DOUBLE_EQ(reference.seconds_for(1LL << 20), 0.001);
    EXPECT_DOUBLE_EQ(reference.ratio(0.003, 1LL << 20), 3.0);
    EXPECT_EQ(RatioReport(reference).ratio_text(0.0015, 1LL << 20), "1.50x");
}

TEST(RatioReporterTest, MedianOfOddAndEvenCountsAndOfNone)
{
    EXPECT_DOUBLE_EQ(median({5, 1, 3}), 3);
    EXPECT_DOUBLE_EQ(median({4, 1, 3, 2}), 2.5);
    EXPECT_DOUBLE_EQ(median({}), 0);
}
