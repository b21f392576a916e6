// The raw formats the simulated receivers take: media-bus codes and the packed pixel formats
// that carry them.
#ifndef TOLVA_SIM_BUS_FORMATS_H
#define TOLVA_SIM_BUS_FORMATS_H

#include <cstdint>

namespace tolva::sim {

struct BusFormat {
    std::uint32_t code;   // MEDIA_BUS_FMT_*
    std::uint32_t fourcc; // V4L2_PIX_FMT_*: the CSI-2 packed format in memory
    int bits;             // 10 or 12
};

// The four Bayer orders and mono, 10 and 12 bits; null for any other code or pixel format.
const BusFormat *format_by_code(std::uint32_t code);
const BusFormat *format_by_fourcc(std::uint32_t fourcc);

// Bytes of `width` packed samples of `bits`, as the drivers reckon a line before alignment.
inline std::uint32_t packed_bytes(std::uint32_t width, int bits)
{
    return width * static_cast<std::uint32_t>(bits) / 8;
}

} // namespace tolva::sim

#endif
