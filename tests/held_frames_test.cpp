// Tests of the frames held before a run of detections: the newest ones, oldest first, each once.
#include "held_frames.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>
#include <vector>

namespace {

struct RingCase {
    int capacity;
    int held; // frames offered
};

class FrameRingTest : public testing::TestWithParam<RingCase> {};

constexpr int kFrameBytes = 5;

void take(unsigned char *frame, const timeval &received, void *taken)
{
    static_cast<std::vector<std::pair<int, long>> *>(taken)->emplace_back(frame[kFrameBytes - 1],
                                                                          received.tv_usec);
}

TEST_P(FrameRingTest, GivesTheNewestFramesOldestFirstWithTheirTimesOnce)
{
    const RingCase c = GetParam();
    ASSERT_EQ(RingInit(c.capacity, kFrameBytes), 0);
    for (int n = 0; n < c.held; ++n) {
        unsigned char frame[kFrameBytes] = {0, 0, 0, 0, static_cast<unsigned char>(n)};
        RingHold(frame, timeval{0, 1000 + n});
    }
    std::vector<std::pair<int, long>> taken;
    RingTake(take, &taken);
    std::vector<std::pair<int, long>> expected;
    for (int n = std::max(0, c.held - c.capacity); n < c.held; ++n)
        expected.emplace_back(n, 1000 + n);
    EXPECT_EQ(taken, expected);
    taken.clear();
    RingTake(take, &taken);
    EXPECT_TRUE(taken.empty()) << "a frame was given twice";
    RingFree();
}

// Frames that together pass what the machine can address (a 32-bit Pi: 4 GiB) are refused, not
// allocated in a wrapped, smaller size.
TEST(FrameRing, RefusesMoreThanMemoryCanAddress)
{
    EXPECT_EQ(RingInit(4, std::numeric_limits<long long>::max()), -1);
    EXPECT_EQ(RingCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FrameRingTest,
                         testing::Values(RingCase{0, 4}, RingCase{3, 0}, RingCase{3, 2},
                                         RingCase{3, 3}, RingCase{3, 7}, RingCase{1, 5}));

} // namespace
