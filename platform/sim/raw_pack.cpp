// MIPI CSI-2 RAW10 and RAW12 packing.
#include "raw_pack.h"

namespace tolva::sim {

namespace {
constexpr int kRaw10Group = 4, kRaw10GroupBytes = 5;
constexpr int kRaw12Group = 2, kRaw12GroupBytes = 3;

std::size_t groups(int width, int group)
{
    return static_cast<std::size_t>((width + group - 1) / group);
}

std::uint16_t sample_or_zero(const std::uint16_t *samples, int width, int i)
{
    return i < width ? samples[i] : 0;
}

void pack_raw10(const std::uint16_t *samples, int width, std::uint8_t *out)
{
    for (int i = 0; i < width; i += kRaw10Group, out += kRaw10GroupBytes) {
        std::uint8_t low = 0;
        for (int k = 0; k < kRaw10Group; ++k) {
            std::uint16_t s = sample_or_zero(samples, width, i + k);
            out[k] = static_cast<std::uint8_t>(s >> 2);
            low = static_cast<std::uint8_t>(low | (s & 0x3) << (2 * k));
        }
        out[kRaw10Group] = low;
    }
}

void pack_raw12(const std::uint16_t *samples, int width, std::uint8_t *out)
{
    for (int i = 0; i < width; i += kRaw12Group, out += kRaw12GroupBytes) {
        std::uint16_t s0 = samples[i];
        std::uint16_t s1 = sample_or_zero(samples, width, i + 1);
        out[0] = static_cast<std::uint8_t>(s0 >> 4);
        out[1] = static_cast<std::uint8_t>(s1 >> 4);
        out[2] = static_cast<std::uint8_t>((s0 & 0xF) | (s1 & 0xF) << 4);
    }
}
} // namespace

std::size_t packed_line_bytes(int width, int bits)
{
    return bits == 12 ? groups(width, kRaw12Group) * kRaw12GroupBytes
                      : groups(width, kRaw10Group) * kRaw10GroupBytes;
}

std::size_t FrameGeometry::line_bytes() const { return packed_line_bytes(width, bits); }

std::size_t FrameGeometry::stride() const
{
    std::size_t align = static_cast<std::size_t>(line_align > 0 ? line_align : 1);
    return (line_bytes() + align - 1) / align * align;
}

bool FrameGeometry::operator==(const FrameGeometry &other) const
{
    return width == other.width && height == other.height && bits == other.bits &&
           monochrome == other.monochrome && line_align == other.line_align && bayer == other.bayer;
}

void pack_line(const std::uint16_t *samples, int width, int bits, std::uint8_t *out)
{
    if (bits == 12)
        pack_raw12(samples, width, out);
    else
        pack_raw10(samples, width, out);
}

} // namespace tolva::sim
