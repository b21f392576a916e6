// A V4L2 video device node of a simulated receiver: its format with the driver's rules, its
// buffer queue and, for an image node, the DMA channel that fills it.
#ifndef TOLVA_SIM_VIDEO_NODE_H
#define TOLVA_SIM_VIDEO_NODE_H

#include "buffer_queue.h"
#include "capture_channel.h"

#include <linux/videodev2.h>

#include <cstdint>
#include <memory>
#include <string>

namespace tolva::sim {

// What differs between the receivers' drivers for a video node.
struct ReceiverRules {
    std::string driver;             // QUERYCAP's driver and card
    std::string bus_info;           // "platform:..."
    std::uint32_t stride_alignment; // bytesperline is a multiple of this
    std::uint32_t max_bytesperline; // a larger request falls back to the minimum
    std::uint32_t max_size;         // width and height
    unsigned min_buffers;           // queue_setup's minimum
    std::uint32_t kernel_version;   // KERNEL_VERSION(a, b, c)
};

class VideoNode;

// The receiver around its video nodes: what streaming starts and stops along the pipeline.
class Pipeline {
public:
    virtual ~Pipeline() = default;
    // Validates the pipeline up to `node` and starts the source: 0, or an errno.
    virtual int start(const VideoNode &node) = 0;
    virtual void stop(const VideoNode &node) = 0;
    // Data lanes of the CSI-2 link, as the device tree gives them.
    virtual int lanes() const = 0;
};

class VideoNode {
public:
    // An image capture node when `channel_sensor` is set, else a node for metadata or the ISP
    // that the simulation opens and names but does not stream.
    VideoNode(std::string name, std::uint32_t device_caps, const ReceiverRules &rules,
              Pipeline &pipeline, SensorChip *channel_sensor, const Knobs &knobs);
    VideoNode(const VideoNode &) = delete;
    VideoNode &operator=(const VideoNode &) = delete;

    const std::string &name() const { return name_; }
    bool is_image() const { return channel_ != nullptr; }
    const v4l2_pix_format &format() const { return format_.fmt.pix; }
    std::uint32_t entity = 0; // its entity in the media graph

    // The calls on one of its open files, `fh`: results and errno as the system calls give.
    int ioctl(int fh, unsigned long request, void *arg, bool nonblocking);
    // QBUF of a DMABUF buffer, `dmabuf` the DMA-BUF its descriptor names (null: none).
    int queue_dmabuf(int fh, v4l2_buffer &buffer, std::shared_ptr<DmaBuffer> dmabuf);
    void *map(std::size_t length, int prot, int flags, off_t offset) const;
    int poll(int timeout_ms) { return queue_.poll(timeout_ms); }
    void release(int fh);

    // Another process (a camera application) holds the queue.
    void hold_for_other_process();

    const CaptureChannel *channel() const { return channel_.get(); }

private:
    int query_capabilities(v4l2_capability &cap) const;
    int enumerate_format(v4l2_fmtdesc &desc) const;
    int try_format(v4l2_format &format) const;
    int set_format(v4l2_format &format);
    int start_streaming();
    void stop_streaming();

    std::string name_;
    std::uint32_t device_caps_;
    const ReceiverRules &rules_;
    Pipeline &pipeline_;
    v4l2_format format_{};
    BufferQueue queue_;
    BufferQueue::Driver driver_;
    std::unique_ptr<CaptureChannel> channel_; // last: its thread fills queue_'s buffers
};

} // namespace tolva::sim

#endif
