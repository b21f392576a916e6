// What the virtual sensor sees: a source of frames, as samples and as packed receiver lines.
#ifndef TOLVA_SIM_FRAME_SOURCE_H
#define TOLVA_SIM_FRAME_SOURCE_H

#include "raw_pack.h"

#include <cstdint>
#include <vector>

namespace tolva::sim {

// Frames are numbered from 0, the first frame after streaming starts. Both calls are const and
// write only to their output, so a test may read frames while the receiver renders them.
class FrameSource {
public:
    explicit FrameSource(const FrameGeometry &geometry) : geometry_(geometry) {}
    virtual ~FrameSource() = default;

    const FrameGeometry &geometry() const { return geometry_; }

    // Line y of frame `index`: `width` samples. This is the plain definition of the frame.
    virtual void line(std::uint64_t index, int y, std::uint16_t *out) const = 0;

    // The whole frame as the receiver writes it: frame_bytes() of packed lines with zero fill.
    virtual void render(std::uint64_t index, std::uint8_t *out) const;

    // All samples of frame `index`, row-major.
    std::vector<std::uint16_t> samples(std::uint64_t index) const;

protected:
    FrameGeometry geometry_;
};

} // namespace tolva::sim

#endif
