// Device nodes of the simulated kernel's V4L2 side, numbered as the kernel registers them.
#include "v4l2_devices.h"

#include "kernel_answer.h"

#include <fcntl.h>
#include <linux/dma-buf.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tolva::sim {

namespace {
constexpr std::uint32_t kVideoMajor = 81;  // VIDEO_MAJOR: video and sub-device nodes
constexpr std::uint32_t kMediaMajor = 237; // dynamic; what a Pi tends to give

std::string devname(const std::string &path) { return path.substr(std::string("/dev/").size()); }
} // namespace

V4l2Devices::V4l2Devices(const CameraEndpoint &endpoint, const MediaDeviceInfo &other,
                         SensorChip &sensor, const Knobs &knobs)
    : knobs_(&knobs), heaps_(endpoint.receiver == ReceiverKind::cfe, knobs)
{
    media_.push_back(std::make_unique<MediaDevice>(other));
    media_.push_back(std::make_unique<MediaDevice>(endpoint, sensor, knobs));
    receiver_ = media_.back().get();
    for (auto &media : media_)
        register_nodes(*media);
    if (knobs.v4l2_busy)
        for (const auto &video : receiver_->video_nodes())
            if (video->is_image())
                video->hold_for_other_process();
}

// The media device node first; the driver's video nodes, then its sub-device nodes, each with
// its interface in the graph.
void V4l2Devices::register_nodes(MediaDevice &media)
{
    auto count = [this](Kind kind) {
        return std::count_if(nodes_.begin(), nodes_.end(),
                             [kind](const Node &node) { return node.kind == kind; });
    };
    auto next_minor = [this] {
        return static_cast<std::uint32_t>(
            std::count_if(nodes_.begin(), nodes_.end(),
                          [](const Node &node) { return node.kind != Kind::media; }));
    };
    std::uint32_t media_minor = static_cast<std::uint32_t>(count(Kind::media));
    nodes_.push_back({"/dev/media" + std::to_string(media_minor), Kind::media, kMediaMajor,
                      media_minor, &media, nullptr, nullptr});
    for (const auto &video : media.video_nodes()) {
        std::uint32_t minor = next_minor();
        media.graph().add_interface(video->entity, MEDIA_INTF_T_V4L_VIDEO, kVideoMajor, minor);
        nodes_.push_back({"/dev/video" + std::to_string(count(Kind::video)), Kind::video,
                          kVideoMajor, minor, &media, video.get(), nullptr});
    }
    for (SubDevice *sub_device : media.sub_devices()) {
        std::uint32_t minor = next_minor();
        auto entity = media.graph().find_entity(sub_device->name());
        media.graph().add_interface(*entity, MEDIA_INTF_T_V4L_SUBDEV, kVideoMajor, minor);
        nodes_.push_back({"/dev/v4l-subdev" + std::to_string(count(Kind::sub_device)),
                          Kind::sub_device, kVideoMajor, minor, &media, nullptr, sub_device});
    }
}

const V4l2Devices::Node *V4l2Devices::find(const std::string &path) const
{
    auto found = std::find_if(nodes_.begin(), nodes_.end(),
                              [&path](const Node &node) { return node.path == path; });
    return found == nodes_.end() ? nullptr : &*found;
}

std::vector<std::string> V4l2Devices::paths() const
{
    std::vector<std::string> list;
    for (const Node &node : nodes_)
        list.push_back(node.path);
    return list;
}

// The device nodes belong to root and the video group; a user outside it is refused.
bool V4l2Devices::denied(Kind kind) const
{
    switch (kind) {
    case Kind::media:
        return knobs_->media_denied;
    case Kind::video:
        return knobs_->video_denied;
    default:
        return knobs_->subdev_denied;
    }
}

int V4l2Devices::open(const char *path, int flags)
{
    if (DmaHeaps::in_heap_folder(path))
        return heaps_.open(path);
    const Node *node = find(path);
    if (!node)
        return fails_with(ENOENT);
    if (denied(node->kind))
        return fails_with(EACCES);
    int fd = next_fd_++;
    files_[fd] = {node, flags};
    return fd;
}

int V4l2Devices::close(int fd)
{
    if (exported_.erase(fd))
        return ::close(fd);
    if (heaps_.owns(fd))
        return heaps_.close(fd);
    auto found = files_.find(fd);
    if (found == files_.end())
        return fails_with(EBADF);
    if (VideoNode *video = found->second.node->video)
        video->release(fd);
    files_.erase(found);
    return 0;
}

int V4l2Devices::ioctl(int fd, unsigned long request, void *arg)
{
    if (exported_.count(fd))
        return request == DMA_BUF_IOCTL_SYNC ? 0 : fails_with(ENOTTY);
    if (heaps_.owns(fd))
        return heaps_.ioctl(fd, request, arg);
    auto found = files_.find(fd);
    if (found == files_.end())
        return fails_with(EBADF);
    const Node &node = *found->second.node;
    switch (node.kind) {
    case Kind::media:
        return node.media->ioctl(request, arg);
    case Kind::sub_device:
        return node.sub_device->ioctl(request, arg);
    default:
        return video_ioctl(fd, found->second, request, arg);
    }
}

// A DMABUF buffer's descriptor is looked up among the DMA-BUFs, as dma_buf_get() does.
int V4l2Devices::video_ioctl(int fd, const OpenFile &file, unsigned long request, void *arg)
{
    VideoNode &video = *file.node->video;
    if (request == VIDIOC_QBUF) {
        auto &buffer = *static_cast<v4l2_buffer *>(arg);
        if (buffer.memory == V4L2_MEMORY_DMABUF)
            return video.queue_dmabuf(fd, buffer, heaps_.buffer(buffer.m.fd));
    }
    int result = video.ioctl(fd, request, arg, file.flags & O_NONBLOCK);
    if (result == 0 && request == VIDIOC_EXPBUF)
        exported_.insert(static_cast<v4l2_exportbuffer *>(arg)->fd);
    return result;
}

void *V4l2Devices::mmap(std::size_t length, int prot, int flags, int fd, off_t offset)
{
    if (exported_.count(fd))
        return ::mmap(nullptr, length, prot, flags, fd, offset);
    if (heaps_.owns(fd))
        return heaps_.mmap(length, prot, flags, fd, offset);
    auto found = files_.find(fd);
    if (found == files_.end() || !found->second.node->video) {
        errno = found == files_.end() ? EBADF : ENODEV;
        return MAP_FAILED;
    }
    return found->second.node->video->map(length, prot, flags, offset);
}

int V4l2Devices::munmap(void *addr, std::size_t length) { return ::munmap(addr, length); }

// A video node is ready when a buffer can be dequeued (or nothing is to be waited for); the
// other nodes never have anything to read.
int V4l2Devices::poll(int fd, short /*events*/, int timeout_ms)
{
    auto found = files_.find(fd);
    if (found == files_.end())
        return fails_with(EBADF);
    if (VideoNode *video = found->second.node->video)
        return video->poll(timeout_ms);
    return 0;
}

std::optional<std::string> V4l2Devices::sysfs_file(const std::string &path) const
{
    for (const Node &node : nodes_) {
        std::string numbers = std::to_string(node.major) + ":" + std::to_string(node.minor);
        if (path == "/sys/dev/char/" + numbers + "/uevent")
            return "MAJOR=" + std::to_string(node.major) + "\nMINOR=" + std::to_string(node.minor) +
                   "\nDEVNAME=" + devname(node.path) + "\n";
    }
    return std::nullopt;
}

} // namespace tolva::sim
