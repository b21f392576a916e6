// Replay of a 16-bit SER video, read from the file as it plays.
#include "ser_replay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace tolva::sim {

namespace {
constexpr std::size_t kHeaderBytes = 178;
constexpr std::size_t kWidthOffset = 26, kHeightOffset = 30, kDepthOffset = 34, kCountOffset = 38;
constexpr char kFileId[] = "LUCAM-RECORDER";
constexpr std::uint64_t kNotLoaded = std::numeric_limits<std::uint64_t>::max();

std::int32_t le32(const unsigned char *p)
{
    return static_cast<std::int32_t>(p[0] | p[1] << 8 | p[2] << 16 |
                                     static_cast<std::uint32_t>(p[3]) << 24);
}

std::unique_ptr<SerReplay> refuse(const std::string &path, const char *reason, int fd = -1)
{
    if (fd >= 0)
        close(fd);
    std::fprintf(stderr, "simulated Pi: can't replay %s: %s\n", path.c_str(), reason);
    return nullptr;
}

// Reads exactly `count` bytes at `offset`; false on an error or the file's end.
bool read_at(int fd, unsigned char *to, std::size_t count, std::uint64_t offset)
{
    while (count > 0) {
        ssize_t got = pread(fd, to, count, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        to += got;
        count -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}
} // namespace

SerReplay::SerReplay(const FrameGeometry &geometry, const std::string &path, int fd, int width,
                     int height, std::uint64_t count)
    : FrameSource(geometry), path_(path), fd_(fd), width_(width), height_(height), count_(count),
      loaded_(kNotLoaded),
      bytes_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 2),
      frame_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height))
{
    std::lock_guard<std::mutex> lock(mutex_);
    load(0);
    if (*std::max_element(frame_.begin(), frame_.end()) > geometry_.max_sample())
        shift_ = 16 - geometry_.bits;
}

SerReplay::~SerReplay() { close(fd_); }

std::unique_ptr<SerReplay> SerReplay::open(const std::string &path, const FrameGeometry &geometry)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    unsigned char header[kHeaderBytes];
    if (fd < 0 || !read_at(fd, header, kHeaderBytes, 0))
        return refuse(path, "no SER header", fd);
    if (std::memcmp(header, kFileId, sizeof kFileId - 1) != 0)
        return refuse(path, "not a SER file", fd);
    int width = le32(header + kWidthOffset), height = le32(header + kHeightOffset);
    int depth = le32(header + kDepthOffset), count = le32(header + kCountOffset);
    if (depth <= 8)
        return refuse(path, "its samples are not 16-bit", fd);
    if (width <= 0 || height <= 0 || count <= 0)
        return refuse(path, "no frames", fd);
    std::uint64_t frame_bytes =
        std::uint64_t{2} * static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    if (frame_bytes > std::numeric_limits<std::size_t>::max() / 2)
        return refuse(path, "its frames are too large", fd);
    struct stat file;
    if (fstat(fd, &file) != 0 || static_cast<std::uint64_t>(file.st_size) <
                                     kHeaderBytes + frame_bytes * static_cast<std::uint64_t>(count))
        return refuse(path, "shorter than its header says", fd);
    return std::unique_ptr<SerReplay>(
        new SerReplay(geometry, path, fd, width, height, static_cast<std::uint64_t>(count)));
}

void SerReplay::load(std::uint64_t frame) const
{
    if (frame == loaded_)
        return;
    loaded_ = frame;
    errno = 0;
    if (!read_at(fd_, bytes_.data(), bytes_.size(), kHeaderBytes + frame * bytes_.size())) {
        if (!read_failed_)
            std::fprintf(stderr, "simulated Pi: can't read frame %llu of %s: %s\n",
                         static_cast<unsigned long long>(frame), path_.c_str(),
                         errno ? std::strerror(errno) : "the file is shorter now");
        read_failed_ = true;
        std::fill(bytes_.begin(), bytes_.end(), 0);
    }
    for (std::size_t i = 0; i < frame_.size(); ++i)
        frame_[i] = static_cast<std::uint16_t>(bytes_[2 * i] | bytes_[2 * i + 1] << 8);
}

void SerReplay::line(std::uint64_t index, int y, std::uint16_t *out) const
{
    std::fill(out, out + geometry_.width, std::uint16_t{0});
    if (y >= height_)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    load(index % count_);
    const std::uint16_t *from = frame_.data() + static_cast<std::size_t>(y) * width_;
    int n = std::min(width_, geometry_.width);
    for (int x = 0; x < n; ++x)
        out[x] = std::min<std::uint16_t>(static_cast<std::uint16_t>(from[x] >> shift_),
                                         geometry_.max_sample());
}

} // namespace tolva::sim
