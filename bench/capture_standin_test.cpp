// The loop benchmark's frames: sky noise well under the difference threshold, and a spot at full
// scale where and when the stand-in says, in both packings.
#include "capture_standin.h"

#include "difference_recording.h"
#include "raw_pack.h"
#include "tolvacapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace tolva::bench;

namespace {

struct Geometry {
    int width;
    int height;
    int bits;
};

class StandinFrameTest : public testing::TestWithParam<Geometry> {
protected:
    std::vector<unsigned char> packed(unsigned seed) const
    {
        const Geometry &g = GetParam();
        std::vector<unsigned char> frame(tolva::sim::packed_line_bytes(g.width, g.bits) *
                                         static_cast<size_t>(g.height));
        pack_noise_frame(seed, g.width, g.height, g.bits, frame.data());
        return frame;
    }
    std::vector<std::uint16_t> unpacked(std::vector<unsigned char> &frame) const
    {
        const Geometry &g = GetParam();
        std::vector<std::uint16_t> samples(static_cast<size_t>(g.width) * g.height);
        CnvertImage(reinterpret_cast<unsigned char *>(samples.data()), frame.data(),
                    static_cast<int>(frame.size()), g.bits, 0);
        return samples;
    }
    int full() const { return (1 << GetParam().bits) - 1; }
};

TEST_P(StandinFrameTest, SpotFramesCarryAFullScaleSquareOnNoiseAtTheSkyLevel)
{
    const Geometry &g = GetParam();
    ASSERT_TRUE(spot_frame(0));
    std::vector<unsigned char> frame = packed(1);
    paint_spot(0, g.width, g.height, g.bits, frame.data());
    std::vector<std::uint16_t> samples = unpacked(frame);
    SpotPlace spot = spot_place(0, g.width, g.height);
    int level = full() / 16, spread = full() / 128, spot_samples = 0;
    for (int y = 0; y < g.height; ++y)
        for (int x = 0; x < g.width; ++x) {
            int sample = samples[static_cast<size_t>(y) * g.width + x];
            bool in_spot =
                x >= spot.x && x < spot.x + kSpotSide && y >= spot.y && y < spot.y + kSpotSide;
            if (in_spot) {
                ++spot_samples;
                EXPECT_EQ(sample, full()) << x << "," << y;
            } else {
                ASSERT_LE(std::abs(sample - level), spread) << x << "," << y;
            }
        }
    EXPECT_EQ(spot_samples, kSpotSide * kSpotSide);
}

TEST_P(StandinFrameTest, OtherFramesAreLeftAsTheyAre)
{
    const Geometry &g = GetParam();
    std::vector<unsigned char> frame = packed(2), before = frame;
    for (long long index = 1; index < kSpotEvery; ++index) {
        ASSERT_FALSE(spot_frame(index));
        paint_spot(index, g.width, g.height, g.bits, frame.data());
    }
    EXPECT_EQ(frame, before);
}

// Only the spots are to be detected: the two noise frames the stand-in alternates differ by
// less than the program's difference threshold everywhere.
TEST_P(StandinFrameTest, NoiseFramesDifferByLessThanTheDifferenceThreshold)
{
    std::vector<unsigned char> a = packed(1), b = packed(2);
    EXPECT_NE(a, b);
    std::vector<std::uint16_t> first = unpacked(a), second = unpacked(b);
    Driver d;
    d.rawbit = GetParam().bits;
    int threshold = difference_threshold(d), largest = 0;
    for (size_t k = 0; k < first.size(); ++k)
        largest = std::max(largest, std::abs(first[k] - second[k]));
    EXPECT_LT(largest, threshold);
}

TEST_P(StandinFrameTest, TheSpotMovesAndStaysInside)
{
    const Geometry &g = GetParam();
    SpotPlace last = spot_place(0, g.width, g.height);
    for (long long index = kSpotEvery; index < 20 * kSpotEvery; index += kSpotEvery) {
        SpotPlace place = spot_place(index, g.width, g.height);
        EXPECT_TRUE(place.x != last.x || place.y != last.y) << index;
        EXPECT_GE(place.x, 0);
        EXPECT_GE(place.y, 0);
        EXPECT_LE(place.x + kSpotSide, g.width);
        EXPECT_LE(place.y + kSpotSide, g.height);
        last = place;
    }
}

INSTANTIATE_TEST_SUITE_P(Packings, StandinFrameTest,
                         testing::Values(Geometry{64, 48, 10}, Geometry{64, 48, 12},
                                         Geometry{100, 40, 12}, Geometry{1920, 1080, 10},
                                         Geometry{2028, 1520, 12}));

} // namespace
