// Raw capture pipeline on V4L2 and the media controller: sets the formats along the receiver's
// pipeline (Unicam on the Pi 4 family, CFE on the Pi 5 family) from our CSI-2 source sub-device to
// the video node, programs the sensor, and hands the frames to the driver through the frame ring:
// a thread of the unit takes each buffer the receiver finishes, as MMAL's thread does, counting
// the frames lost by their sequence numbers. The buffers come from the kernel's CMA heap, whose
// memory the CPU reads through its cache; the receiver's own buffers, which user space maps
// uncached, are the way left when the heap can't be used.
#include "cap.h"

#include "frame_ledger.h"
#include "frame_ring.h"
#include "i2c.h"
#include "media_graph.h"

#include "host.h"

#include <fcntl.h>
#include <linux/dma-buf.h>
#include <linux/dma-heap.h>
#include <linux/media-bus-format.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

[[gnu::used]] static const char __PROGRAM_VERSION__[] = "@(#)cap Ver. 2.0000 (2026/12/10 03:00:00)";

using tolva::capture::MediaGraph;

namespace {

// Our CSI-2 source sub-device: "tolva-csi2 i2c-N", N the camera connector's I2C adapter.
const char kSourcePrefix[] = "tolva-csi2";
const char kBusTag[] = " i2c-";
constexpr std::uint32_t kSourcePad = 0;
// Unicam's image node; CFE's CSI-2 block (pad 0 in, pad 4 out to its first channel) and node.
const char kUnicamImage[] = "unicam-image";
const char kCfeCsi2[] = "csi2";
const char kCfeChannel0[] = "rp1-cfe-csi2_ch0";
constexpr std::uint32_t kCfeCsi2Sink = 0;
constexpr std::uint32_t kCfeCsi2Channel0 = 4;
constexpr int kMediaDevices = 64; // /dev/media0 to /dev/media63 are looked at
const char kSetUpSection[] = "README, \"Current Raspberry Pi OS\"";

constexpr int kRawBit12 = 12;
// Both receivers take widths in steps of 4 pixels (v4l_bound_align_image's walign 2).
constexpr int kWidthStep = 4;
// Both receivers take this line stride: Unicam needs a multiple of 32 bytes, CFE of 16.
constexpr std::uint32_t kStrideAlign = 32;
// The kernel's queue only has to bridge the moments the unit's thread waits to run: the frame
// ring holds what the driver has not taken yet (the kernel gives at most 32 buffers, too few for
// a stall of half a second at 100 frames a second). CFE needs at least 3; the receiver keeps two
// while it streams.
constexpr std::uint32_t kWantedBuffers = 6;
constexpr std::uint32_t kMinBuffers = 3;
// The CMA heap: physically contiguous memory, mapped cached, which both receivers'
// videobuf2-dma-contig takes whether or not an IOMMU maps it for them. (The system heap, which
// udev's vidbuf_cached link names on the Pi 5 family, is not contiguous: Unicam, which no IOMMU
// maps, can't take it.) Its name is "reserved" when the kernel's command line sizes the memory.
const char *const kCmaHeaps[] = {"/dev/dma_heap/linux,cma", "/dev/dma_heap/reserved"};
// How long the thread waits for a buffer before it looks whether it should end.
constexpr int kPollMs = 50;
const char kThreadName[] = "v4l2-frames";

enum class Receiver { unicam, cfe };

struct Mapping {
    void *data = MAP_FAILED;
    std::size_t length = 0;
    int dmabuf = -1; // the heap's buffer the mapping shows; -1 for the receiver's own
};

// The unit owns the descriptors and mappings from OpenSensor to CloseSensor. They are set before
// the thread starts; it only reads them, and it alone dequeues and queues buffers from then until
// CloseSensor has joined it.
std::string MediaPath;
int MediaFd = -1;
int SourceFd = -1;
int Csi2Fd = -1;
int VideoFd = -1;
std::string SourcePath, Csi2Path, VideoPath, HeapPath;
std::uint32_t Memory = V4L2_MEMORY_MMAP; // DMABUF with the heap's buffers
std::optional<MediaGraph> Graph;
Receiver Kind = Receiver::unicam;
std::vector<Mapping> Buffers;
bool Streaming = false;
int Width;
int Height;
int BufSiz;
std::thread Dequeuer;
std::atomic<bool> Stopping{false};
// The sequence number the next frame should carry; the thread's.
std::uint32_t ExpectedSequence;

// "tolvacapture: NODE: can't ACTION: the system's error"; -1.
int fail(const std::string &path, const char *action)
{
    std::fprintf(stderr, "tolvacapture: %s: can't %s: %s\n", path.c_str(), action,
                 std::strerror(errno));
    return -1;
}

// Why a device node can't be used, with the fix a user can make.
void report_node_error(const std::string &path, const char *action, int error)
{
    if (error == EACCES || error == EPERM)
        std::fprintf(stderr,
                     "tolvacapture: %s: no permission to %s it: add the user to the group video "
                     "(sudo usermod -aG video $USER), then log in again\n",
                     path.c_str(), action);
    else if (error == EBUSY)
        std::fprintf(stderr,
                     "tolvacapture: %s: busy: another program uses the camera receiver (a "
                     "libcamera or rpicam application); end it and start again\n",
                     path.c_str());
    else
        std::fprintf(stderr, "tolvacapture: %s: can't %s it: %s\n", path.c_str(), action,
                     std::strerror(error));
}

int open_node(const std::string &path)
{
    int fd = host_dev_open(path.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0)
        report_node_error(path, "open", errno);
    return fd;
}

void close_node(int &fd)
{
    if (fd >= 0)
        host_dev_close(fd);
    fd = -1;
}

// A camera sensor of the kernel's own on a receiver's graph: a sensor overlay holds it.
bool report_kernel_sensor(const std::string &path, const MediaGraph &graph)
{
    for (const media_v2_entity *sensor : graph.sensors()) {
        if (std::strncmp(sensor->name, kSourcePrefix, sizeof kSourcePrefix - 1) == 0)
            continue;
        std::fprintf(stderr,
                     "tolvacapture: %s: the kernel's sensor driver \"%s\" holds the camera "
                     "receiver: set camera_auto_detect=0 and remove the sensor's dtoverlay= line "
                     "in config.txt, then reboot (%s)\n",
                     path.c_str(), sensor->name, kSetUpSection);
        return true;
    }
    return false;
}

// The media device that has our source entity, opened, its graph read; -1 after saying why.
int find_media_device()
{
    if (MediaFd >= 0)
        return 0;
    bool reported = false;
    for (int n = 0; n < kMediaDevices; ++n) {
        std::string path = "/dev/media" + std::to_string(n);
        int fd = host_dev_open(path.c_str(), O_RDWR);
        if (fd < 0) {
            // One word for a refusal: it is the same for every media device.
            if (errno != ENOENT && !reported)
                report_node_error(path, "open", errno);
            reported = reported || errno != ENOENT;
            continue;
        }
        std::optional<MediaGraph> graph = MediaGraph::read(fd);
        if (graph && graph->entity_with_prefix(kSourcePrefix)) {
            MediaFd = fd;
            MediaPath = path;
            Graph = std::move(graph);
            return 0;
        }
        if (graph && report_kernel_sensor(path, *graph))
            reported = true;
        host_dev_close(fd);
    }
    if (!reported)
        std::fprintf(stderr,
                     "tolvacapture: no media device has the CSI-2 source \"%s\": its kernel "
                     "module is not loaded or its overlay is not in config.txt (%s)\n",
                     kSourcePrefix, kSetUpSection);
    return -1;
}

// The N of "tolva-csi2 i2c-N", or -1.
int bus_from_source_name(const char *name)
{
    const char *tag = std::strstr(name, kBusTag);
    if (!tag)
        return -1;
    char *end = nullptr;
    long bus = std::strtol(tag + sizeof kBusTag - 1, &end, 10);
    return end != tag + sizeof kBusTag - 1 && *end == '\0' && bus >= 0 && bus < INT32_MAX
               ? static_cast<int>(bus)
               : -1;
}

// The bus's device must be usable by this user before the presence check waits on it.
int check_bus_device(int bus)
{
    SetCameraBus(bus);
    int fd = host_i2c_open(i2c_device_name, O_RDWR);
    if (fd >= 0) {
        host_i2c_close(fd);
        return bus;
    }
    if (errno == EACCES || errno == EPERM)
        std::fprintf(stderr,
                     "tolvacapture: %s: no permission to open it: add the user to the group i2c "
                     "(sudo usermod -aG i2c $USER), then log in again\n",
                     i2c_device_name);
    else
        std::fprintf(stderr,
                     "tolvacapture: %s: can't open the camera's I2C bus: %s (%s: dtparam=i2c_vc=on "
                     "on the Pi 4 family, dtparam=i2c_csi_dsi0 or i2c_csi_dsi on the Pi 5 "
                     "family)\n",
                     i2c_device_name, std::strerror(errno), kSetUpSection);
    return -1;
}

std::uint32_t bits_of(int rawbit) { return rawbit == kRawBit12 ? 12 : 10; }

// The frames the init file describes: packed RAW10 or RAW12 in its Bayer order.
struct RawFormat {
    std::uint32_t bits;
    int bayer; // BAYER_RGGB .. BAYER_BGGR
};

// A packed Bayer format's media-bus code and pixel format: one row a depth, one column an
// order (as the BAYER_* values).
struct BayerFormat {
    std::uint32_t bus_code, pixel_format;
};

const BayerFormat kBayerFormats[2][4] = {
    {{MEDIA_BUS_FMT_SRGGB10_1X10, V4L2_PIX_FMT_SRGGB10P},
     {MEDIA_BUS_FMT_SGRBG10_1X10, V4L2_PIX_FMT_SGRBG10P},
     {MEDIA_BUS_FMT_SGBRG10_1X10, V4L2_PIX_FMT_SGBRG10P},
     {MEDIA_BUS_FMT_SBGGR10_1X10, V4L2_PIX_FMT_SBGGR10P}},
    {{MEDIA_BUS_FMT_SRGGB12_1X12, V4L2_PIX_FMT_SRGGB12P},
     {MEDIA_BUS_FMT_SGRBG12_1X12, V4L2_PIX_FMT_SGRBG12P},
     {MEDIA_BUS_FMT_SGBRG12_1X12, V4L2_PIX_FMT_SGBRG12P},
     {MEDIA_BUS_FMT_SBGGR12_1X12, V4L2_PIX_FMT_SBGGR12P}},
};

const BayerFormat &bayer_format(const RawFormat &format)
{
    return kBayerFormats[format.bits == 12 ? 1 : 0][format.bayer];
}

std::uint32_t media_bus_code(const RawFormat &format) { return bayer_format(format).bus_code; }

std::uint32_t pixel_format(const RawFormat &format) { return bayer_format(format).pixel_format; }

std::uint32_t line_stride(std::uint32_t bits)
{
    std::uint32_t bytes = (static_cast<std::uint32_t>(Width) * bits + 7) / 8;
    return (bytes + kStrideAlign - 1) / kStrideAlign * kStrideAlign;
}

// Sets a sub-device pad's active format; -1 after naming what the pad gave instead.
int set_pad_format(int fd, const std::string &path, std::uint32_t pad, std::uint32_t code)
{
    v4l2_subdev_format format{};
    format.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    format.pad = pad;
    format.format.width = static_cast<std::uint32_t>(Width);
    format.format.height = static_cast<std::uint32_t>(Height);
    format.format.code = code;
    format.format.field = V4L2_FIELD_NONE;
    format.format.colorspace = V4L2_COLORSPACE_RAW;
    if (host_dev_ioctl(fd, VIDIOC_SUBDEV_S_FMT, &format) < 0) {
        report_node_error(path, "set the format of", errno);
        return -1;
    }
    const v4l2_mbus_framefmt &got = format.format;
    if (got.width == static_cast<std::uint32_t>(Width) &&
        got.height == static_cast<std::uint32_t>(Height) && got.code == code)
        return 0;
    std::fprintf(stderr,
                 "tolvacapture: %s: pad %u refused %dx%d media bus code 0x%04x and took %ux%u "
                 "code 0x%04x: the receiver can't take WIDTH and HEIGHT of the init file\n",
                 path.c_str(), pad, static_cast<std::uint32_t>(Width), Height, code, got.width,
                 got.height, got.code);
    return -1;
}

// CFE's CSI-2 block: its input takes the source's format (its output to the first channel gets a
// copy), and only the link to the first channel's node is enabled, so that streaming waits for
// no other node.
int set_up_cfe(std::uint32_t code)
{
    const media_v2_entity *csi2 = Graph->entity_named(kCfeCsi2);
    const media_v2_entity *channel = Graph->entity_named(kCfeChannel0);
    Csi2Path = Graph->device_node(csi2->id);
    if ((Csi2Fd = open_node(Csi2Path)) < 0 ||
        set_pad_format(Csi2Fd, Csi2Path, kCfeCsi2Sink, code) < 0)
        return -1;
    for (const MediaGraph::LinkEnds &link : Graph->changeable_enabled_links(csi2->id))
        if (link.sink_entity != channel->id)
            tolva::capture::setup_link(MediaFd, csi2->id, link.source_pad, link.sink_entity,
                                       link.sink_pad, false);
    if (tolva::capture::setup_link(MediaFd, csi2->id, kCfeCsi2Channel0, channel->id, 0, true) < 0) {
        std::fprintf(stderr, "tolvacapture: %s: can't enable the link %s:%u -> %s: %s\n",
                     MediaPath.c_str(), kCfeCsi2, kCfeCsi2Channel0, kCfeChannel0,
                     std::strerror(errno));
        return -1;
    }
    return 0;
}

// The video node's format. The frames' size is the stride the receiver gives x HEIGHT: the
// driver cuts the lines by it, so a BUFSIZ that differs is named and the receiver's size used.
int set_video_format(const RawFormat &raw)
{
    const std::uint32_t bits = raw.bits;
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = static_cast<std::uint32_t>(Width);
    format.fmt.pix.height = static_cast<std::uint32_t>(Height);
    format.fmt.pix.pixelformat = pixel_format(raw);
    format.fmt.pix.bytesperline = line_stride(bits);
    format.fmt.pix.field = V4L2_FIELD_NONE;
    if (host_dev_ioctl(VideoFd, VIDIOC_S_FMT, &format) < 0) {
        report_node_error(VideoPath, "set the format of", errno);
        return -1;
    }
    const v4l2_pix_format &got = format.fmt.pix;
    if (got.width != static_cast<std::uint32_t>(Width) ||
        got.height != static_cast<std::uint32_t>(Height) || got.pixelformat != pixel_format(raw)) {
        std::fprintf(stderr,
                     "tolvacapture: %s: refused %dx%d RAW%u frames and took %ux%u: the receiver "
                     "can't take WIDTH, HEIGHT and RAWBIT of the init file\n",
                     VideoPath.c_str(), static_cast<std::uint32_t>(Width), Height, bits, got.width,
                     got.height);
        return -1;
    }
    long long frame = static_cast<long long>(got.bytesperline) * Height;
    if (frame > INT32_MAX)
        return -1;
    if (frame != BufSiz)
        std::fprintf(stderr,
                     "tolvacapture: BUFSIZ %d in the init file, but the receiver's frames are "
                     "%lld bytes (%u a line x %d lines): using %lld; set BUFSIZ %lld\n",
                     BufSiz, frame, got.bytesperline, Height, frame, frame);
    BufSiz = static_cast<int>(frame);
    return 0;
}

// The lanes our source's overlay gives the receiver, from the source's controls: its pixel rate
// is the link frequency x 2 (double data rate) x lanes / bits. 0 when the controls can't be read.
int overlay_lanes(std::uint32_t bits)
{
    v4l2_ext_control values[2]{};
    values[0].id = V4L2_CID_LINK_FREQ;
    values[1].id = V4L2_CID_PIXEL_RATE;
    v4l2_ext_controls controls{};
    controls.which = V4L2_CTRL_WHICH_CUR_VAL;
    controls.count = 2;
    controls.controls = values;
    if (host_dev_ioctl(SourceFd, VIDIOC_G_EXT_CTRLS, &controls) < 0)
        return 0;
    v4l2_querymenu frequency{};
    frequency.id = V4L2_CID_LINK_FREQ;
    frequency.index = static_cast<std::uint32_t>(values[0].value);
    if (host_dev_ioctl(SourceFd, VIDIOC_QUERYMENU, &frequency) < 0 || frequency.value <= 0)
        return 0;
    const std::int64_t per_lane = 2 * static_cast<std::int64_t>(frequency.value);
    return static_cast<int>((values[1].value64 * bits + per_lane / 2) / per_lane);
}

// The receiver listens on the overlay's lanes; a sensor sending on others brings no frame.
int check_overlay_lanes(const char *fname, std::uint32_t bits)
{
    const int lanes = check_lanes(fname);
    const int overlay = overlay_lanes(bits);
    if (overlay == 0 || overlay == lanes)
        return 0;
    const char *parameter = lanes == 1 ? ",1lane" : (lanes == 4 ? ",4lanes" : "");
    std::fprintf(stderr,
                 "tolvacapture: %s: DATA_LANES %d, but the overlay gives the receiver %d lanes "
                 "(%s): put dtoverlay=%s%s in config.txt and reboot, or write the init file "
                 "for %d lanes (%s)\n",
                 fname, lanes, overlay, SourcePath.c_str(), kSourcePrefix, parameter, overlay,
                 kSetUpSection);
    return -1;
}

int set_formats(const char *fname)
{
    if (Width % kWidthStep != 0) {
        std::fprintf(stderr,
                     "tolvacapture: %s: WIDTH %d: the receiver takes widths in steps of %d "
                     "pixels; set the sensor's output width (0x034C) and WIDTH to %d or %d\n",
                     fname, Width, kWidthStep, Width / kWidthStep * kWidthStep,
                     (Width / kWidthStep + 1) * kWidthStep);
        return -1;
    }
    const RawFormat raw{bits_of(check_rawbit(fname)), check_bayer(fname)};
    if (raw.bayer < 0)
        return -1; // the file can't be read now: the scan has said so
    std::uint32_t code = media_bus_code(raw);
    const media_v2_entity *source = Graph->entity_with_prefix(kSourcePrefix);
    SourcePath = Graph->device_node(source->id);
    if ((SourceFd = open_node(SourcePath)) < 0 ||
        set_pad_format(SourceFd, SourcePath, kSourcePad, code) < 0 ||
        check_overlay_lanes(fname, raw.bits) < 0)
        return -1;
    if (Kind == Receiver::cfe && set_up_cfe(code) < 0)
        return -1;
    const media_v2_entity *video =
        Graph->entity_named(Kind == Receiver::cfe ? kCfeChannel0 : kUnicamImage);
    VideoPath = Graph->device_node(video->id);
    if ((VideoFd = open_node(VideoPath)) < 0)
        return -1;
    return set_video_format(raw);
}

int request_buffers(std::uint32_t count)
{
    v4l2_requestbuffers request{};
    request.count = count;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = Memory;
    if (host_dev_ioctl(VideoFd, VIDIOC_REQBUFS, &request) < 0)
        return -1;
    return static_cast<int>(request.count);
}

v4l2_buffer buffer_record(std::uint32_t index)
{
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = Memory;
    buffer.index = index;
    return buffer;
}

int map_buffers(std::uint32_t count)
{
    Buffers.assign(count, Mapping{});
    for (std::uint32_t i = 0; i < count; ++i) {
        v4l2_buffer buffer = buffer_record(i);
        if (host_dev_ioctl(VideoFd, VIDIOC_QUERYBUF, &buffer) < 0)
            return fail(VideoPath, "query a buffer");
        void *data = host_dev_mmap(buffer.length, PROT_READ, MAP_SHARED, VideoFd,
                                   static_cast<off_t>(buffer.m.offset));
        if (data == MAP_FAILED)
            return fail(VideoPath, "map a buffer");
        Buffers[i] = {data, buffer.length};
        if (buffer.length < static_cast<std::uint32_t>(BufSiz)) {
            std::fprintf(stderr, "tolvacapture: %s: buffers of %u bytes, BUFSIZ is %d\n",
                         VideoPath.c_str(), buffer.length, BufSiz);
            return -1;
        }
    }
    return 0;
}

// The buffers the receiver's queue takes, or -1 after saying why. Fewer than asked (the kernel's
// contiguous memory ran short) still run, and the user learns what that costs.
int counted_buffers()
{
    std::uint32_t wanted = kWantedBuffers;
    int count = request_buffers(wanted);
    if (count < 0)
        report_node_error(VideoPath, "get buffers from", errno);
    if (count < static_cast<int>(kMinBuffers)) {
        if (count >= 0)
            std::fprintf(stderr, "tolvacapture: %s: %d buffers, at least %u are needed\n",
                         VideoPath.c_str(), count, kMinBuffers);
        return -1;
    }
    if (static_cast<std::uint32_t>(count) < wanted)
        std::fprintf(stderr,
                     "tolvacapture: %s: %d frame buffers of the %u asked for: a busy system "
                     "loses frames sooner; give the kernel more contiguous memory (%s)\n",
                     VideoPath.c_str(), count, wanted, kSetUpSection);
    return count;
}

// The first CMA heap there is, opened, HeapPath naming it; -1 with the errno of the first that
// refused (ENOENT: none is there).
int open_heap()
{
    HeapPath = kCmaHeaps[0];
    for (const char *path : kCmaHeaps) {
        int fd = host_dev_open(path, O_RDWR | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT) {
            HeapPath = path;
            return fd;
        }
    }
    errno = ENOENT;
    return -1;
}

// One line: the frames will come out of the receiver's uncached buffers, why, and the fix.
void report_slow_copies(const std::string &why, const std::string &fix)
{
    std::fprintf(stderr,
                 "tolvacapture: %s: %s: frames are copied from %s's uncached buffers, more "
                 "slowly; %s\n",
                 HeapPath.c_str(), why.c_str(), VideoPath.c_str(), fix.c_str());
}

void report_heap_error(int error, int buffers)
{
    const std::string set_up = std::string(" (") + kSetUpSection + ")";
    if (error == EACCES || error == EPERM)
        report_slow_copies("no permission to open it",
                           "add the user to the group video (sudo usermod -aG video $USER), "
                           "then log in again");
    else if (error == ENOENT)
        report_slow_copies("no such heap", "the kernel needs its CMA heap, "
                                           "CONFIG_DMABUF_HEAPS_CMA, which Raspberry Pi OS's "
                                           "kernels have" +
                                               set_up);
    else if (error == ENOMEM)
        report_slow_copies("no contiguous memory for " + std::to_string(buffers) +
                               " frame buffers of " + std::to_string(BufSiz) + " bytes",
                           "give the kernel more contiguous memory" + set_up);
    else
        report_slow_copies(std::strerror(error), std::string("see ") + kSetUpSection);
}

// A buffer of the heap for each of the receiver's, mapped for reading; -1 with errno set.
int allocate_heap_buffers(int heap, std::uint32_t count)
{
    Buffers.assign(count, Mapping{});
    for (Mapping &buffer : Buffers) {
        dma_heap_allocation_data request{};
        request.len = static_cast<std::uint64_t>(BufSiz);
        request.fd_flags = O_RDWR | O_CLOEXEC;
        if (host_dev_ioctl(heap, DMA_HEAP_IOCTL_ALLOC, &request) < 0)
            return -1;
        buffer.dmabuf = static_cast<int>(request.fd);
        buffer.length = static_cast<std::size_t>(BufSiz);
        buffer.data = host_dev_mmap(buffer.length, PROT_READ, MAP_SHARED, buffer.dmabuf, 0);
        if (buffer.data == MAP_FAILED)
            return -1;
    }
    return 0;
}

// Every mapping undone, every heap buffer closed, and the receiver's queue emptied.
void release_buffers()
{
    for (Mapping &buffer : Buffers) {
        if (buffer.data != MAP_FAILED)
            host_dev_munmap(buffer.data, buffer.length);
        if (buffer.dmabuf >= 0)
            host_dev_close(buffer.dmabuf);
    }
    Buffers.clear();
    request_buffers(0);
}

// The heap's buffers when the heap can be used; else, said in one line, the receiver's own.
int create_buffers()
{
    int heap = open_heap();
    if (heap < 0) {
        report_heap_error(errno, 0);
    } else {
        Memory = V4L2_MEMORY_DMABUF;
        int count = counted_buffers();
        int allocated =
            count < 0 ? -1 : allocate_heap_buffers(heap, static_cast<std::uint32_t>(count));
        int error = errno;
        host_dev_close(heap); // needed no more once its buffers exist
        if (count < 0)
            return -1;
        if (allocated == 0)
            return 0;
        report_heap_error(error, count);
        release_buffers();
    }
    Memory = V4L2_MEMORY_MMAP;
    int count = counted_buffers();
    return count < 0 ? -1 : map_buffers(static_cast<std::uint32_t>(count));
}

int queue_buffer(std::uint32_t index)
{
    v4l2_buffer buffer = buffer_record(index);
    if (Memory == V4L2_MEMORY_DMABUF) {
        buffer.m.fd = Buffers[index].dmabuf;
        buffer.length = static_cast<std::uint32_t>(Buffers[index].length);
    }
    return host_dev_ioctl(VideoFd, VIDIOC_QBUF, &buffer);
}

int queue_all_buffers()
{
    for (std::uint32_t i = 0; i < Buffers.size(); ++i)
        if (queue_buffer(i) < 0)
            return fail(VideoPath, "queue a buffer");
    return 0;
}

int stream_on()
{
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (host_dev_ioctl(VideoFd, VIDIOC_STREAMON, &type) == 0) {
        Streaming = true;
        return 0;
    }
    if (errno == EPIPE)
        std::fprintf(stderr,
                     "tolvacapture: %s: the formats along the pipeline disagree (EPIPE) for "
                     "%dx%d frames: see media-ctl -p (%s)\n",
                     VideoPath.c_str(), Width, Height, kSetUpSection);
    else
        report_node_error(VideoPath, "start streaming on", errno);
    return -1;
}

// The next finished buffer, or none (errno EAGAIN: none is ready).
bool dequeue(v4l2_buffer &buffer)
{
    buffer = buffer_record(0);
    return host_dev_ioctl(VideoFd, VIDIOC_DQBUF, &buffer) == 0;
}

// DMA_BUF_IOCTL_SYNC on a heap buffer (nothing to do for the receiver's own); a wait the kernel
// broke off is started again.
int sync_buffer(const Mapping &buffer, std::uint64_t flags)
{
    if (buffer.dmabuf < 0)
        return 0;
    dma_buf_sync sync{flags};
    int result;
    do
        result = host_dev_ioctl(buffer.dmabuf, DMA_BUF_IOCTL_SYNC, &sync);
    while (result < 0 && (errno == EINTR || errno == EAGAIN));
    return result;
}

// The frame is read through the CPU's cache only once the cache was dropped: before that it may
// still hold an earlier frame's bytes. A frame that can't be read so is lost, not passed on.
void put_frame(const Mapping &buffer, const struct timeval &start)
{
    if (sync_buffer(buffer, DMA_BUF_SYNC_START | DMA_BUF_SYNC_READ) < 0) {
        ring_count_lost(1);
        return;
    }
    ring_put(buffer.data, static_cast<std::size_t>(BufSiz), start);
    sync_buffer(buffer, DMA_BUF_SYNC_END | DMA_BUF_SYNC_READ);
}

// Each finished buffer: the frames lost before it (gaps in the sequence numbers, which count also
// the frames the receiver wrote into its spare buffer), then its frame into the ring with the
// wall-clock time of its start, and the buffer back to the receiver at once.
void take_finished_buffers()
{
    v4l2_buffer buffer;
    while (dequeue(buffer)) {
        ring_count_lost(ledger_sequence_gap(ExpectedSequence, buffer.sequence));
        ExpectedSequence = buffer.sequence + 1;
        if (buffer.flags & V4L2_BUF_FLAG_ERROR)
            ring_count_lost(1);
        else
            put_frame(Buffers[buffer.index], ledger_wall_clock(buffer.timestamp));
        queue_buffer(buffer.index);
    }
}

void dequeue_frames()
{
    while (!Stopping.load(std::memory_order_acquire))
        if (host_dev_poll(VideoFd, POLLIN, kPollMs) > 0)
            take_finished_buffers();
}

void start_dequeuer()
{
    Stopping.store(false, std::memory_order_release);
    Dequeuer = std::thread(dequeue_frames);
    pthread_setname_np(Dequeuer.native_handle(), kThreadName);
}

void stop_dequeuer()
{
    Stopping.store(true, std::memory_order_release);
    if (Dequeuer.joinable())
        Dequeuer.join();
}

int open_pipeline(const char *fname)
{
    ledger_reset();
    ExpectedSequence = 0;
    Width = Height = BufSiz = 0;
    if (find_media_device() < 0)
        return OPEN_RECEIVER_FAILED;
    Kind = Graph->entity_named(kCfeChannel0) ? Receiver::cfe : Receiver::unicam;
    if (!Graph->entity_named(Kind == Receiver::cfe ? kCfeCsi2 : kUnicamImage)) {
        std::fprintf(stderr, "tolvacapture: %s: neither Unicam's nor CFE's pipeline\n",
                     MediaPath.c_str());
        return OPEN_RECEIVER_FAILED;
    }
    if (InitSensor(fname, &Width, &Height, &BufSiz) < 0)
        return OPEN_RECEIVER_FAILED;
    if (set_formats(fname) < 0 || create_buffers() < 0 || ring_allocate(Width, Height, BufSiz) < 0)
        return OPEN_BUFFERS_FAILED;
    if (queue_all_buffers() < 0)
        return OPEN_CIRCULATION_FAILED;
    if (stream_on() < 0)
        return OPEN_PORT_FAILED;
    start_dequeuer();
    return 0;
}

int stop_streaming()
{
    if (!Streaming)
        return 0;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (host_dev_ioctl(VideoFd, VIDIOC_STREAMOFF, &type) < 0) {
        report_node_error(VideoPath, "stop streaming on", errno);
        return -1;
    }
    Streaming = false;
    return 0;
}

} // namespace

int RoutesCameraBus(void) { return 0; }

int FindCameraBus(const char *fname)
{
    // The media device is looked for afresh: OpenSensor takes the one found now.
    close_node(MediaFd);
    Graph.reset();
    int bus = check_i2c_bus(fname);
    if (bus >= 0)
        return check_bus_device(bus);
    if (bus < -1 || find_media_device() < 0)
        return -1;
    const media_v2_entity *source = Graph->entity_with_prefix(kSourcePrefix);
    bus = bus_from_source_name(source->name);
    if (bus < 0)
        std::fprintf(stderr,
                     "tolvacapture: %s: the source \"%s\" names no I2C bus (\"%s N\"): give the "
                     "camera's bus in the init file as I2C_BUS N\n",
                     MediaPath.c_str(), source->name, kBusTag + 1);
    if (bus < 0 || check_bus_device(bus) < 0) {
        close_node(MediaFd);
        Graph.reset();
        return -1;
    }
    return bus;
}

int OpenSensor(const char *fname) { return open_pipeline(fname); }

int CloseSensor(int status)
{
    if (status != OPEN_RECEIVER_FAILED)
        StopSensor();
    stop_dequeuer();
    if (stop_streaming() < 0)
        return -1;
    if (!Buffers.empty())
        release_buffers();
    for (int *fd : {&VideoFd, &Csi2Fd, &SourceFd, &MediaFd})
        close_node(*fd);
    Graph.reset();
    ring_free();
    return 0;
}
