// The virtual sensor's test patterns (test_pattern_mode 0x0600), in the sensor's Bayer order or
// grey.
#ifndef TOLVA_SIM_TEST_PATTERN_H
#define TOLVA_SIM_TEST_PATTERN_H

#include "frame_source.h"

#include <array>

namespace tolva::sim {

class TestPattern : public FrameSource {
public:
    // `mode` is one of test_pattern::k*; `test_data` the solid colour's red, greenR, blue, greenB.
    TestPattern(const FrameGeometry &geometry, int mode, const std::array<int, 4> &test_data);

    void line(std::uint64_t index, int y, std::uint16_t *out) const override;

    static bool supported(int mode);

private:
    std::uint16_t bar_sample(int x, int y) const;
    void pn9_line(std::uint16_t *out) const;

    int mode_;
    std::array<int, 4> test_data_;
};

// Bayer channel of a pixel in the filter order `bayer` (FrameGeometry's): 0 red, 1 green on red
// lines, 2 green on blue lines, 3 blue.
inline int bayer_channel(int x, int y, int bayer)
{
    return ((y ^ bayer >> 1) & 1) * 2 + ((x ^ bayer) & 1);
}

} // namespace tolva::sim

#endif
