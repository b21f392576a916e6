// A receiver's video node: format rules of Unicam and CFE, and the buffer queue's ioctls.
#include "video_node.h"

#include "kernel_answer.h"

#include "bus_formats.h"

#include <linux/media-bus-format.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

namespace tolva::sim {

namespace {
constexpr std::uint32_t kMinSize = 16;
constexpr unsigned kWidthAlignBits = 2; // v4l_bound_align_image(): widths in steps of 4
constexpr std::uint32_t kDefaultWidth = 640, kDefaultHeight = 480;
constexpr int kOtherProcess = 0x7fffffff; // a file handle no open() of ours gives

std::uint32_t align_up(std::uint32_t value, std::uint32_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// As the V4L2 core's clamp_align(): clamped to the aligned limits, rounded to the nearest step.
std::uint32_t clamp_align(std::uint32_t value, std::uint32_t min, std::uint32_t max,
                          unsigned align_bits)
{
    std::uint32_t mask = ~((1u << align_bits) - 1);
    value = std::clamp(value, (min + ~mask) & mask, max & mask);
    if (align_bits)
        value = (value + (1u << (align_bits - 1))) & mask;
    return value;
}
} // namespace

VideoNode::VideoNode(std::string name, std::uint32_t device_caps, const ReceiverRules &rules,
                     Pipeline &pipeline, SensorChip *channel_sensor, const Knobs &knobs)
    : name_(std::move(name)), device_caps_(device_caps), rules_(rules), pipeline_(pipeline),
      queue_(rules.min_buffers)
{
    driver_.start = [this] { return start_streaming(); };
    driver_.stop = [this] { stop_streaming(); };
    if (!channel_sensor)
        return;
    channel_ = std::make_unique<CaptureChannel>(*channel_sensor, knobs, queue_);
    format_.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format_.fmt.pix.width = kDefaultWidth;
    format_.fmt.pix.height = kDefaultHeight;
    format_.fmt.pix.pixelformat = format_by_code(MEDIA_BUS_FMT_SRGGB10_1X10)->fourcc;
    try_format(format_);
}

void VideoNode::hold_for_other_process()
{
    v4l2_requestbuffers request{};
    request.count = rules_.min_buffers;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    queue_.request_buffers(kOtherProcess, request, format_.fmt.pix.sizeimage);
}

int VideoNode::query_capabilities(v4l2_capability &cap) const
{
    std::memset(&cap, 0, sizeof cap);
    copy_text(cap.driver, rules_.driver);
    copy_text(cap.card, rules_.driver);
    copy_text(cap.bus_info, rules_.bus_info);
    cap.version = rules_.kernel_version;
    cap.device_caps = device_caps_;
    cap.capabilities = device_caps_ | V4L2_CAP_DEVICE_CAPS;
    return 0;
}

int VideoNode::enumerate_format(v4l2_fmtdesc &desc) const
{
    static const std::uint32_t kCodes[] = {MEDIA_BUS_FMT_SBGGR10_1X10, MEDIA_BUS_FMT_SGBRG10_1X10,
                                           MEDIA_BUS_FMT_SGRBG10_1X10, MEDIA_BUS_FMT_SRGGB10_1X10,
                                           MEDIA_BUS_FMT_SBGGR12_1X12, MEDIA_BUS_FMT_SGBRG12_1X12,
                                           MEDIA_BUS_FMT_SGRBG12_1X12, MEDIA_BUS_FMT_SRGGB12_1X12,
                                           MEDIA_BUS_FMT_Y10_1X10,     MEDIA_BUS_FMT_Y12_1X12};
    if (desc.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || desc.index >= std::size(kCodes))
        return fails_with(EINVAL);
    std::uint32_t index = desc.index;
    std::memset(&desc, 0, sizeof desc);
    desc.index = index;
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    desc.pixelformat = format_by_code(kCodes[index])->fourcc;
    return 0;
}

// The drivers' rule: the size bounded (widths in steps of 4), bytesperline at least the packed
// line aligned to the receiver's alignment; a larger one is kept, aligned the same way.
int VideoNode::try_format(v4l2_format &format) const
{
    if (format.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return fails_with(EINVAL);
    v4l2_pix_format &pix = format.fmt.pix;
    const BusFormat *bus = format_by_fourcc(pix.pixelformat);
    if (!bus)
        bus = format_by_code(MEDIA_BUS_FMT_SBGGR10_1X10);
    pix.pixelformat = bus->fourcc;
    pix.width = clamp_align(pix.width, kMinSize, rules_.max_size, kWidthAlignBits);
    pix.height = clamp_align(pix.height, kMinSize, rules_.max_size, 0);
    std::uint32_t minimum = align_up(packed_bytes(pix.width, bus->bits), rules_.stride_alignment);
    if (pix.bytesperline > minimum && pix.bytesperline <= rules_.max_bytesperline)
        pix.bytesperline = align_up(pix.bytesperline, rules_.stride_alignment);
    else
        pix.bytesperline = minimum;
    pix.sizeimage = pix.height * pix.bytesperline;
    pix.field = V4L2_FIELD_NONE;
    pix.colorspace = V4L2_COLORSPACE_RAW;
    return 0;
}

int VideoNode::set_format(v4l2_format &format)
{
    if (queue_.busy())
        return fails_with(EBUSY);
    if (try_format(format) != 0)
        return -1;
    format_ = format;
    return 0;
}

int VideoNode::start_streaming()
{
    int error = pipeline_.start(*this);
    if (error)
        return error;
    const v4l2_pix_format &pix = format_.fmt.pix;
    channel_->start({pipeline_.lanes(), format_by_fourcc(pix.pixelformat)->bits,
                     static_cast<int>(pix.width), static_cast<int>(pix.height),
                     static_cast<int>(pix.bytesperline)});
    return 0;
}

void VideoNode::stop_streaming()
{
    channel_->stop();
    channel_->report();
    pipeline_.stop(*this);
}

int VideoNode::ioctl(int fh, unsigned long request, void *arg, bool nonblocking)
{
    if (request == VIDIOC_QUERYCAP)
        return query_capabilities(*static_cast<v4l2_capability *>(arg));
    if (!is_image())
        return fails_with(EINVAL);
    switch (request) {
    case VIDIOC_ENUM_FMT:
        return enumerate_format(*static_cast<v4l2_fmtdesc *>(arg));
    case VIDIOC_G_FMT: {
        auto *format = static_cast<v4l2_format *>(arg);
        if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return fails_with(EINVAL);
        *format = format_;
        return 0;
    }
    case VIDIOC_TRY_FMT:
        return try_format(*static_cast<v4l2_format *>(arg));
    case VIDIOC_S_FMT:
        return set_format(*static_cast<v4l2_format *>(arg));
    case VIDIOC_REQBUFS:
        return queue_.request_buffers(fh, *static_cast<v4l2_requestbuffers *>(arg),
                                      format_.fmt.pix.sizeimage);
    case VIDIOC_QUERYBUF:
        return queue_.query_buffer(*static_cast<v4l2_buffer *>(arg));
    case VIDIOC_QBUF:
        return queue_.queue_buffer(fh, *static_cast<v4l2_buffer *>(arg), driver_);
    case VIDIOC_DQBUF:
        return queue_.dequeue_buffer(fh, *static_cast<v4l2_buffer *>(arg), nonblocking);
    case VIDIOC_EXPBUF:
        return queue_.export_buffer(fh, *static_cast<v4l2_exportbuffer *>(arg));
    case VIDIOC_STREAMON:
        return queue_.stream_on(fh, *static_cast<const std::uint32_t *>(arg), driver_);
    case VIDIOC_STREAMOFF:
        return queue_.stream_off(fh, *static_cast<const std::uint32_t *>(arg), driver_);
    default:
        return fails_with(ENOTTY);
    }
}

int VideoNode::queue_dmabuf(int fh, v4l2_buffer &buffer, std::shared_ptr<DmaBuffer> dmabuf)
{
    if (!is_image())
        return fails_with(EINVAL);
    return queue_.queue_buffer(fh, buffer, driver_, std::move(dmabuf));
}

void *VideoNode::map(std::size_t length, int prot, int flags, off_t offset) const
{
    if (!is_image() || offset < 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return queue_.map(length, prot, flags, static_cast<std::uint32_t>(offset));
}

void VideoNode::release(int fh) { queue_.release(fh, driver_); }

} // namespace tolva::sim
