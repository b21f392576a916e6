// Test patterns of the virtual sensor.
#include "test_pattern.h"

#include "sensor_chip.h"

#include <algorithm>

namespace tolva::sim {

namespace {
constexpr int kBars = 8;
// Red, green, blue of the eight colour bars, left to right.
constexpr bool kBarColours[kBars][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                        {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
constexpr int kChannelColour[4] = {0, 1, 1, 2};   // RGGB channel -> red, green, blue
constexpr int kChannelTestData[4] = {0, 1, 3, 2}; // RGGB channel -> red, greenR, blue, greenB
constexpr std::uint16_t kPn9Seed = 0x1FF;
} // namespace

TestPattern::TestPattern(const FrameGeometry &geometry, int mode,
                         const std::array<int, 4> &test_data)
    : FrameSource(geometry), mode_(mode), test_data_(test_data)
{
}

bool TestPattern::supported(int mode)
{
    return mode == test_pattern::kSolidColour || mode == test_pattern::kColourBars ||
           mode == test_pattern::kPn9 || mode == test_pattern::kFrameCounter;
}

std::uint16_t TestPattern::bar_sample(int x, int y) const
{
    int bar = static_cast<int>(static_cast<long long>(x) * kBars / geometry_.width);
    std::uint16_t max = geometry_.max_sample();
    if (geometry_.monochrome)
        return static_cast<std::uint16_t>(max * (kBars - 1 - bar) / (kBars - 1));
    return kBarColours[bar][kChannelColour[bayer_channel(x, y, geometry_.bayer)]] ? max : 0;
}

// PN9 (x^9 + x^5 + 1), restarted on every line; each sample takes the next `bits` bits.
void TestPattern::pn9_line(std::uint16_t *out) const
{
    std::uint16_t state = kPn9Seed;
    for (int x = 0; x < geometry_.width; ++x) {
        std::uint16_t sample = 0;
        for (int b = 0; b < geometry_.bits; ++b) {
            std::uint16_t bit = ((state >> 8) ^ (state >> 4)) & 1;
            state = static_cast<std::uint16_t>(((state << 1) | bit) & 0x1FF);
            sample = static_cast<std::uint16_t>(sample << 1 | bit);
        }
        out[x] = sample;
    }
}

void TestPattern::line(std::uint64_t index, int y, std::uint16_t *out) const
{
    std::uint16_t max = geometry_.max_sample();
    switch (mode_) {
    case test_pattern::kSolidColour:
        for (int x = 0; x < geometry_.width; ++x) {
            int data =
                geometry_.monochrome ? 1 : kChannelTestData[bayer_channel(x, y, geometry_.bayer)];
            out[x] = static_cast<std::uint16_t>(std::clamp<int>(test_data_[data], 0, max));
        }
        break;
    case test_pattern::kColourBars:
        for (int x = 0; x < geometry_.width; ++x)
            out[x] = bar_sample(x, y);
        break;
    case test_pattern::kPn9:
        pn9_line(out);
        break;
    default: // frame counter: every sample tells its frame, line and column
        for (int x = 0; x < geometry_.width; ++x)
            out[x] = static_cast<std::uint16_t>((index + static_cast<std::uint64_t>(x + y)) & max);
    }
}

} // namespace tolva::sim
