// Replay of a 16-bit SER video as the virtual sensor's output.
#ifndef TOLVA_SIM_SER_REPLAY_H
#define TOLVA_SIM_SER_REPLAY_H

#include "frame_source.h"

#include <memory>
#include <string>
#include <vector>

namespace tolva::sim {

// The file's frames, looped, placed at the top left of the sensor's frame (cut or padded with
// zero). Samples above the sensor's range (a file with the full 16-bit range) are scaled down
// to it; a file that keeps the sensor's range is replayed as it is. Samples are read low byte
// first, as the common writers store them whatever their LittleEndian field says.
class SerReplay : public FrameSource {
public:
    // Null, with a message naming the file and the reason, when it cannot be replayed.
    static std::unique_ptr<SerReplay> open(const std::string &path, const FrameGeometry &geometry);

    void line(std::uint64_t index, int y, std::uint16_t *out) const override;

private:
    SerReplay(const FrameGeometry &geometry, int width, int height,
              std::vector<std::uint16_t> frames, std::size_t count);

    int width_;
    int height_;
    std::size_t count_;
    int shift_;
    std::vector<std::uint16_t> frames_;
};

} // namespace tolva::sim

#endif
