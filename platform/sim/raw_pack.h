// MIPI CSI-2 packing of sample lines into RAW10 and RAW12, as the camera receiver delivers them.
#ifndef TOLVA_SIM_RAW_PACK_H
#define TOLVA_SIM_RAW_PACK_H

#include <cstddef>
#include <cstdint>

namespace tolva::sim {

// Size of one frame as the receiver writes it: lines of packed samples, each line filled up to
// a multiple of line_align bytes.
struct FrameGeometry {
    int width = 0;
    int height = 0;
    int bits = 10; // 10 or 12
    bool monochrome = false;
    int line_align = 1;
    // Colour filter order of the first pixels: RGGB 0, GRBG 1, GBRG 2, BGGR 3. Bit 0 is RGGB moved
    // by a column, bit 1 by a line, as a sensor's mirror and flip move it.
    int bayer = 0;

    std::size_t line_bytes() const;
    std::size_t stride() const;
    std::size_t frame_bytes() const { return stride() * static_cast<std::size_t>(height); }
    std::uint16_t max_sample() const { return static_cast<std::uint16_t>((1u << bits) - 1); }
    bool operator==(const FrameGeometry &other) const;
    bool operator!=(const FrameGeometry &other) const { return !(*this == other); }
};

// Bytes of `width` packed samples: RAW10 4 samples in 5 bytes, RAW12 2 samples in 3 bytes; a
// last partial group is padded with zero samples.
std::size_t packed_line_bytes(int width, int bits);

// Packs `width` samples into packed_line_bytes(width, bits) bytes.
void pack_line(const std::uint16_t *samples, int width, int bits, std::uint8_t *out);

// Offset of sample i's high byte (its bits above the lowest two or four) in a packed line.
inline std::size_t high_byte_offset(int i, int bits)
{
    return bits == 12 ? static_cast<std::size_t>(i / 2) * 3 + i % 2
                      : static_cast<std::size_t>(i / 4) * 5 + i % 4;
}

} // namespace tolva::sim

#endif
