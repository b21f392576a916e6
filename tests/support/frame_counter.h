// The simulated sensor's frame counter test pattern: every sample of frame f is (f + x + y)
// modulo the samples' range.
#ifndef TOLVA_TEST_FRAME_COUNTER_H
#define TOLVA_TEST_FRAME_COUNTER_H

#include <cstddef>

namespace tolva::test {

// The frame number a counter frame carries, modulo the range (its first sample), or -1 when a
// sample disagrees with it; sample(n) is the n-th sample of the frame in row order.
template <typename Sample>
long long counter_frame_number(Sample sample, int width, int height, int bits)
{
    const unsigned mask = (1u << bits) - 1;
    const unsigned first = static_cast<unsigned>(sample(0));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (static_cast<unsigned>(sample(static_cast<std::size_t>(y) * width + x)) !=
                ((first + static_cast<unsigned>(x + y)) & mask))
                return -1;
    return first;
}

} // namespace tolva::test

#endif
