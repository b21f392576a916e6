// The simulated kernel's V4L2 and media-controller device nodes (/dev/media*, /dev/video*,
// /dev/v4l-subdev*) and its DMA-BUF heaps with their open files, and the sysfs files that name
// the nodes.
#ifndef TOLVA_SIM_V4L2_DEVICES_H
#define TOLVA_SIM_V4L2_DEVICES_H

#include "dma_heap.h"
#include "media_device.h"

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tolva::sim {

class V4l2Devices {
public:
    // No device nodes: a board whose camera goes through the VideoCore's MMAL.
    V4l2Devices() = default;
    // The receiver's media device for the endpoint, after `other` (another driver's media
    // device, registered first at boot).
    V4l2Devices(const CameraEndpoint &endpoint, const MediaDeviceInfo &other, SensorChip &sensor,
                const Knobs &knobs);
    V4l2Devices(const V4l2Devices &) = delete;
    V4l2Devices &operator=(const V4l2Devices &) = delete;

    // The host services on these nodes: results and errno as the system calls give them.
    int open(const char *path, int flags);
    int close(int fd);
    int ioctl(int fd, unsigned long request, void *arg);
    void *mmap(std::size_t length, int prot, int flags, int fd, off_t offset);
    int munmap(void *addr, std::size_t length);
    int poll(int fd, short events, int timeout_ms);

    // /sys/dev/char/MAJOR:MINOR/uevent of a node; none for another path.
    std::optional<std::string> sysfs_file(const std::string &path) const;
    // The device paths, in registration order.
    std::vector<std::string> paths() const;
    // Descriptors open on nodes, heaps and DMA-BUFs.
    int open_count() const { return static_cast<int>(files_.size()) + heaps_.open_count(); }
    const DmaHeaps &heaps() const { return heaps_; }

    // The camera receiver's media device, if the board has one.
    MediaDevice *receiver() const { return receiver_; }

private:
    enum class Kind { media, video, sub_device };
    struct Node {
        std::string path;
        Kind kind;
        std::uint32_t major;
        std::uint32_t minor;
        MediaDevice *media;
        VideoNode *video;
        SubDevice *sub_device;
    };
    struct OpenFile {
        const Node *node;
        int flags;
    };

    void register_nodes(MediaDevice &media);
    const Node *find(const std::string &path) const;
    bool denied(Kind kind) const;
    int video_ioctl(int fd, const OpenFile &file, unsigned long request, void *arg);

    const Knobs *knobs_ = nullptr;
    std::vector<std::unique_ptr<MediaDevice>> media_;
    MediaDevice *receiver_ = nullptr;
    std::vector<Node> nodes_;
    std::map<int, OpenFile> files_;
    std::set<int> exported_; // DMA-BUF descriptors EXPBUF gave: real memory files
    DmaHeaps heaps_;
    int next_fd_ = 2000; // apart from the I2C and mailbox descriptors
};

} // namespace tolva::sim

#endif
