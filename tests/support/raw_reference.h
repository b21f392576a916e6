// A plain reference unpacker of MIPI CSI-2 RAW10/RAW12 lines, written from the packing rules
// alone, for checking what the receiver and the scene produce.
#ifndef TOLVA_TEST_RAW_REFERENCE_H
#define TOLVA_TEST_RAW_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolva::test {

// Samples of `height` lines of `stride` bytes, each starting with `width` packed samples.
inline std::vector<std::uint16_t> unpack_reference(const std::uint8_t *raw, int width, int height,
                                                   int bits, std::size_t stride)
{
    std::vector<std::uint16_t> samples(static_cast<std::size_t>(width) * height);
    std::uint16_t *out = samples.data();
    for (int y = 0; y < height; ++y) {
        const std::uint8_t *line = raw + stride * y;
        for (int x = 0; x < width; ++x) {
            if (bits == 12) {
                const std::uint8_t *pair = line + (x / 2) * 3;
                int low = x % 2 == 0 ? (pair[2] & 0x0F) : (pair[2] >> 4);
                *out++ = static_cast<std::uint16_t>(pair[x % 2] << 4 | low);
            } else {
                const std::uint8_t *group = line + (x / 4) * 5;
                int low = (group[4] >> (2 * (x % 4))) & 0x3;
                *out++ = static_cast<std::uint16_t>(group[x % 4] << 2 | low);
            }
        }
    }
    return samples;
}

} // namespace tolva::test

#endif
