// Replay of a 16-bit SER video.
#include "ser_replay.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace tolva::sim {

namespace {
constexpr std::size_t kHeaderBytes = 178;
constexpr std::size_t kWidthOffset = 26, kHeightOffset = 30, kDepthOffset = 34, kCountOffset = 38;
constexpr char kFileId[] = "LUCAM-RECORDER";
// Frames kept in memory at most; longer files replay their first frames.
constexpr std::size_t kMaxReplayBytes = std::size_t{1} << 30;

std::int32_t le32(const unsigned char *p)
{
    return static_cast<std::int32_t>(p[0] | p[1] << 8 | p[2] << 16 |
                                     static_cast<std::uint32_t>(p[3]) << 24);
}

std::unique_ptr<SerReplay> refuse(const std::string &path, const char *reason)
{
    std::fprintf(stderr, "simulated Pi: can't replay %s: %s\n", path.c_str(), reason);
    return nullptr;
}
} // namespace

SerReplay::SerReplay(const FrameGeometry &geometry, int width, int height,
                     std::vector<std::uint16_t> frames, std::size_t count)
    : FrameSource(geometry), width_(width), height_(height), count_(count), shift_(0),
      frames_(std::move(frames))
{
    std::uint16_t peak = frames_.empty() ? 0 : *std::max_element(frames_.begin(), frames_.end());
    if (peak > geometry_.max_sample())
        shift_ = 16 - geometry_.bits;
}

std::unique_ptr<SerReplay> SerReplay::open(const std::string &path, const FrameGeometry &geometry)
{
    std::ifstream in(path, std::ios::binary);
    unsigned char header[kHeaderBytes];
    if (!in.read(reinterpret_cast<char *>(header), kHeaderBytes))
        return refuse(path, "no SER header");
    if (std::memcmp(header, kFileId, sizeof kFileId - 1) != 0)
        return refuse(path, "not a SER file");
    int width = le32(header + kWidthOffset), height = le32(header + kHeightOffset);
    int depth = le32(header + kDepthOffset), count = le32(header + kCountOffset);
    if (depth <= 8)
        return refuse(path, "its samples are not 16-bit");
    if (width <= 0 || height <= 0 || count <= 0)
        return refuse(path, "no frames");
    std::size_t frame = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::size_t frames = std::min<std::size_t>(
        static_cast<std::size_t>(count), std::max<std::size_t>(1, kMaxReplayBytes / (2 * frame)));
    std::vector<unsigned char> bytes(frame * frames * 2);
    if (!in.read(reinterpret_cast<char *>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size())))
        return refuse(path, "shorter than its header says");
    std::vector<std::uint16_t> samples(frame * frames);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return std::unique_ptr<SerReplay>(
        new SerReplay(geometry, width, height, std::move(samples), frames));
}

void SerReplay::line(std::uint64_t index, int y, std::uint16_t *out) const
{
    std::fill(out, out + geometry_.width, std::uint16_t{0});
    if (y >= height_)
        return;
    std::size_t frame = static_cast<std::size_t>(index % count_);
    const std::uint16_t *from =
        frames_.data() +
        (frame * static_cast<std::size_t>(height_) + static_cast<std::size_t>(y)) * width_;
    int n = std::min(width_, geometry_.width);
    for (int x = 0; x < n; ++x)
        out[x] = std::min<std::uint16_t>(static_cast<std::uint16_t>(from[x] >> shift_),
                                         geometry_.max_sample());
}

} // namespace tolva::sim
