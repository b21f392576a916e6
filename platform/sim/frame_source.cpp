// Frame sources: the generic whole-frame paths built from lines.
#include "frame_source.h"

#include <cstring>

namespace tolva::sim {

void FrameSource::render(std::uint64_t index, std::uint8_t *out) const
{
    std::vector<std::uint16_t> samples(static_cast<std::size_t>(geometry_.width));
    std::size_t stride = geometry_.stride();
    std::size_t fill = stride - geometry_.line_bytes();
    for (int y = 0; y < geometry_.height; ++y, out += stride) {
        line(index, y, samples.data());
        pack_line(samples.data(), geometry_.width, geometry_.bits, out);
        std::memset(out + geometry_.line_bytes(), 0, fill);
    }
}

std::vector<std::uint16_t> FrameSource::samples(std::uint64_t index) const
{
    std::size_t width = static_cast<std::size_t>(geometry_.width);
    std::vector<std::uint16_t> all(width * static_cast<std::size_t>(geometry_.height));
    for (int y = 0; y < geometry_.height; ++y)
        line(index, y, all.data() + static_cast<std::size_t>(y) * width);
    return all;
}

} // namespace tolva::sim
