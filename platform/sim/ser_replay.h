// Replay of a 16-bit SER video as the virtual sensor's output.
#ifndef TOLVA_SIM_SER_REPLAY_H
#define TOLVA_SIM_SER_REPLAY_H

#include "frame_source.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tolva::sim {

// The file's frames, looped, placed at the top left of the sensor's frame (cut or padded with
// zero). Frames are read from the file as they play, one at a time, so memory stays at one
// frame whatever the file's size. When the first frame has samples above the sensor's range (a
// file with the full 16-bit range) every frame is scaled down to it; a file that keeps the
// sensor's range is replayed as it is. Samples are read low byte first, as the common writers
// store them whatever their LittleEndian field says.
class SerReplay : public FrameSource {
public:
    // Null, with a message naming the file and the reason, when it cannot be replayed.
    static std::unique_ptr<SerReplay> open(const std::string &path, const FrameGeometry &geometry);
    ~SerReplay() override;
    SerReplay(const SerReplay &) = delete;
    SerReplay &operator=(const SerReplay &) = delete;

    void line(std::uint64_t index, int y, std::uint16_t *out) const override;

private:
    SerReplay(const FrameGeometry &geometry, const std::string &path, int fd, int width, int height,
              std::uint64_t count);
    // The file's frame `frame` in frame_ (under mutex_); zeros, reported once, when it cannot
    // be read.
    void load(std::uint64_t frame) const;

    std::string path_;
    int fd_;
    int width_;
    int height_;
    std::uint64_t count_;
    int shift_ = 0;

    // Guards the frame loaded and its bytes: the receiver thread renders from them while tests
    // may read frames from theirs.
    mutable std::mutex mutex_;
    mutable std::uint64_t loaded_;
    mutable bool read_failed_ = false;
    mutable std::vector<unsigned char> bytes_;
    mutable std::vector<std::uint16_t> frame_;
};

} // namespace tolva::sim

#endif
