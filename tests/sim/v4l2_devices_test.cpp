// Tests of the simulated Pi's V4L2 side through the host services, on a Pi 4 (Unicam) and a
// Pi 5 (CFE): graphs, formats and strides, link validation, EBUSY, frames and their numbers, and
// frames into DMA-BUFs of the heaps with the CPU cache between.
#include "ccs_chip.h"
#include "host.h"
#include "sim_pi.h"
#include "test_pattern.h"
#include "test_support.h"

#include <fcntl.h>
#include <linux/dma-buf.h>
#include <linux/dma-heap.h>
#include <linux/media-bus-format.h>
#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace tolva::sim {
namespace {

struct Board {
    const char *name;
    const char *revision;
    const char *kernel;
    ReceiverKind receiver;
    int bus;
    const char *image_node;
};

const Board kUnicam{"Unicam", "c03114", "6.12.34-v8+", ReceiverKind::unicam, 10, "unicam-image"};
const Board kCfe{"CFE", "c04170", "6.12.34-v8-16k+", ReceiverKind::cfe, 11, "rp1-cfe-csi2_ch0"};

std::string board_name(const testing::TestParamInfo<Board> &info) { return info.param.name; }

// The receiver's graph as user space finds it: the media device holding our source, entity
// ids by name, and each entity's device node through its interface and sysfs.
struct Graph {
    std::string media_path;
    std::map<std::string, std::uint32_t> entities;
    std::map<std::uint32_t, std::string> devnodes;
    std::vector<media_v2_link> links;
};

std::string read_kernel_file(const std::string &path)
{
    return test::read_stream(host_fopen_proc(path.c_str()));
}

Graph read_graph(int fd)
{
    media_v2_topology topology{};
    EXPECT_EQ(host_dev_ioctl(fd, MEDIA_IOC_G_TOPOLOGY, &topology), 0);
    std::vector<media_v2_entity> entities(topology.num_entities);
    std::vector<media_v2_interface> interfaces(topology.num_interfaces);
    std::vector<media_v2_link> links(topology.num_links);
    topology.ptr_entities = reinterpret_cast<std::uintptr_t>(entities.data());
    topology.ptr_interfaces = reinterpret_cast<std::uintptr_t>(interfaces.data());
    topology.ptr_links = reinterpret_cast<std::uintptr_t>(links.data());
    EXPECT_EQ(host_dev_ioctl(fd, MEDIA_IOC_G_TOPOLOGY, &topology), 0);
    Graph graph;
    for (const media_v2_entity &entity : entities)
        graph.entities[entity.name] = entity.id;
    for (const media_v2_link &link : links) {
        if ((link.flags & MEDIA_LNK_FL_LINK_TYPE) != MEDIA_LNK_FL_INTERFACE_LINK) {
            graph.links.push_back(link);
            continue;
        }
        for (const media_v2_interface &interface : interfaces)
            if (interface.id == link.source_id) {
                std::string uevent =
                    read_kernel_file("/sys/dev/char/" + std::to_string(interface.devnode.major) +
                                     ":" + std::to_string(interface.devnode.minor) + "/uevent");
                std::size_t name = uevent.find("DEVNAME=");
                graph.devnodes[link.sink_id] =
                    "/dev/" + uevent.substr(name + 8, uevent.find('\n', name) - name - 8);
            }
    }
    return graph;
}

// The media device whose graph has an entity named "tolva-csi2 ...".
Graph find_receiver()
{
    for (int n = 0; n < 8; ++n) {
        std::string path = "/dev/media" + std::to_string(n);
        int fd = host_dev_open(path.c_str(), O_RDWR);
        if (fd < 0)
            continue;
        Graph graph = read_graph(fd);
        host_dev_close(fd);
        for (const auto &[name, id] : graph.entities)
            if (name.rfind("tolva-csi2", 0) == 0) {
                graph.media_path = path;
                return graph;
            }
    }
    return {};
}

class V4l2Test : public testing::TestWithParam<Board> {
protected:
    void SetUp() override
    {
        knobs.board_revision = GetParam().revision;
        knobs.kernel_release = GetParam().kernel;
    }
    void TearDown() override
    {
        for (int fd : open_fds)
            host_dev_close(fd);
        SimPi::reset();
    }

    void start_board()
    {
        pi = &SimPi::reset(knobs);
        graph = find_receiver();
        ASSERT_FALSE(graph.media_path.empty());
        source_name = "tolva-csi2 i2c-" + std::to_string(GetParam().bus);
    }
    int open(const std::string &path, int flags = O_RDWR | O_NONBLOCK)
    {
        int fd = host_dev_open(path.c_str(), flags);
        if (fd >= 0)
            open_fds.push_back(fd);
        return fd;
    }
    int node(const std::string &entity)
    {
        return open(graph.devnodes.at(graph.entities.at(entity)));
    }

    int set_pad(const std::string &entity, std::uint32_t pad, std::uint32_t width,
                std::uint32_t height, std::uint32_t code)
    {
        v4l2_subdev_format format{};
        format.which = V4L2_SUBDEV_FORMAT_ACTIVE;
        format.pad = pad;
        format.format.width = width;
        format.format.height = height;
        format.format.code = code;
        return host_dev_ioctl(node(entity), VIDIOC_SUBDEV_S_FMT, &format);
    }
    int setup_link(const std::string &source, std::uint16_t source_pad, const std::string &sink,
                   std::uint32_t flags)
    {
        media_link_desc link{};
        link.source.entity = graph.entities.at(source);
        link.source.index = source_pad;
        link.sink.entity = graph.entities.at(sink);
        link.flags = flags;
        return host_dev_ioctl(open(graph.media_path), MEDIA_IOC_SETUP_LINK, &link);
    }
    int set_video(int fd, std::uint32_t width, std::uint32_t height, std::uint32_t fourcc,
                  std::uint32_t bytesperline, v4l2_pix_format *result = nullptr)
    {
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        v4l2_pix_format &pix = format.fmt.pix;
        pix.width = width;
        pix.height = height;
        pix.pixelformat = fourcc;
        pix.field = V4L2_FIELD_NONE;
        pix.bytesperline = bytesperline;
        int status = host_dev_ioctl(fd, VIDIOC_S_FMT, &format);
        if (result)
            *result = format.fmt.pix;
        return status;
    }
    // The pipeline set up for width x height of `code` at the source, `fourcc` at the node.
    int configure(int video, std::uint32_t width, std::uint32_t height, std::uint32_t code,
                  std::uint32_t fourcc, std::uint32_t node_height = 0)
    {
        EXPECT_EQ(set_pad(source_name, 0, width, height, code), 0);
        if (GetParam().receiver == ReceiverKind::cfe) {
            EXPECT_EQ(set_pad("csi2", 0, width, height, code), 0);
            EXPECT_EQ(setup_link("csi2", 4, GetParam().image_node, MEDIA_LNK_FL_ENABLED), 0);
        }
        return set_video(video, width, node_height ? node_height : height, fourcc, 0);
    }
    unsigned request_buffers(int fd, unsigned count)
    {
        v4l2_requestbuffers request{};
        request.count = count;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        EXPECT_EQ(host_dev_ioctl(fd, VIDIOC_REQBUFS, &request), 0) << std::strerror(errno);
        return request.count;
    }
    int buffer_call(int fd, unsigned long request, std::uint32_t index, v4l2_buffer *out = nullptr)
    {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        int status = host_dev_ioctl(fd, request, &buffer);
        if (out)
            *out = buffer;
        return status;
    }
    int stream(int fd, unsigned long request)
    {
        std::uint32_t type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        return host_dev_ioctl(fd, request, &type);
    }
    void sensor_register(std::uint16_t address, std::uint16_t value, int bytes = 2)
    {
        std::uint8_t data[4] = {static_cast<std::uint8_t>(address >> 8),
                                static_cast<std::uint8_t>(address),
                                static_cast<std::uint8_t>(bytes == 2 ? value >> 8 : value),
                                static_cast<std::uint8_t>(value)};
        pi->sensor().write(data, static_cast<std::size_t>(2 + bytes));
    }
    // The virtual sensor's frame counter pattern, width x height RAW10 on 2 lanes, 200 frames
    // a second.
    void stream_sensor(int width, int height, bool on)
    {
        sensor_register(ccs::kCsiDataFormat, 0x0A0A);
        sensor_register(ccs::kCsiLaneMode, 1, 1);
        sensor_register(ccs::kXOutputSize, static_cast<std::uint16_t>(width));
        sensor_register(ccs::kYOutputSize, static_cast<std::uint16_t>(height));
        sensor_register(ccs::kTestPatternMode, test_pattern::kFrameCounter);
        sensor_register(ccs::kLineLengthPck, 840);
        sensor_register(ccs::kFrameLengthLines, 5000);
        sensor_register(ccs::kModeSelect, on ? 1 : 0, 1);
    }
    const CaptureChannel &channel()
    {
        for (const auto &video : pi->v4l2().receiver()->video_nodes())
            if (video->name() == GetParam().image_node)
                return *video->channel();
        throw std::logic_error("no image node");
    }

    Knobs knobs;
    SimPi *pi = nullptr;
    Graph graph;
    std::string source_name;
    std::vector<int> open_fds;
};

TEST_P(V4l2Test, GraphAsTheDriverBuildsIt)
{
    start_board();
    int media = open(graph.media_path);
    media_device_info info{};
    ASSERT_EQ(host_dev_ioctl(media, MEDIA_IOC_DEVICE_INFO, &info), 0);
    bool unicam = GetParam().receiver == ReceiverKind::unicam;
    EXPECT_STREQ(info.model, unicam ? "unicam" : "rp1-cfe");
    ASSERT_TRUE(graph.entities.count(source_name));
    EXPECT_TRUE(graph.entities.count(GetParam().image_node));
    EXPECT_EQ(graph.devnodes.at(graph.entities.at(source_name)).rfind("/dev/v4l-subdev", 0), 0u);
    // The source's link is the one enabled, and fixed; CFE's channel link waits for user space.
    std::uint32_t fixed = MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE;
    std::size_t enabled = 0;
    for (const media_v2_link &link : graph.links) {
        if (link.flags & MEDIA_LNK_FL_ENABLED) {
            ++enabled;
            EXPECT_EQ(link.flags & fixed, fixed);
        }
    }
    EXPECT_EQ(enabled, 1u);
    if (!unicam) {
        EXPECT_EQ(setup_link("csi2", 4, GetParam().image_node, MEDIA_LNK_FL_ENABLED), 0);
        EXPECT_EQ(setup_link(source_name, 0, "csi2", 0), -1);
        EXPECT_EQ(errno, EINVAL); // immutable
    }
    // The source's rates, from the overlay's link frequency: 2 bits a lane per cycle.
    ASSERT_EQ(set_pad(source_name, 0, 1920, 1080, MEDIA_BUS_FMT_SRGGB10_1X10), 0);
    v4l2_ext_control rates[2] = {};
    rates[0].id = V4L2_CID_LINK_FREQ;
    rates[1].id = V4L2_CID_PIXEL_RATE;
    v4l2_ext_controls controls{};
    controls.count = 2;
    controls.controls = rates;
    ASSERT_EQ(host_dev_ioctl(node(source_name), VIDIOC_G_EXT_CTRLS, &controls), 0);
    v4l2_querymenu menu{};
    menu.id = V4L2_CID_LINK_FREQ;
    menu.index = static_cast<std::uint32_t>(rates[0].value);
    ASSERT_EQ(host_dev_ioctl(node(source_name), VIDIOC_QUERYMENU, &menu), 0);
    EXPECT_EQ(menu.value, 450000000);
    EXPECT_EQ(rates[1].value64, 450000000LL * 2 * 2 / 10);
    // An array too short for the graph.
    media_v2_topology topology{};
    media_v2_entity one{};
    topology.num_entities = 1;
    topology.ptr_entities = reinterpret_cast<std::uintptr_t>(&one);
    EXPECT_EQ(host_dev_ioctl(media, MEDIA_IOC_G_TOPOLOGY, &topology), -1);
    EXPECT_EQ(errno, ENOSPC);
}

INSTANTIATE_TEST_SUITE_P(Receivers, V4l2Test, testing::Values(kUnicam, kCfe), board_name);

// Stride rules: the minimum packed line aligned to the receiver's alignment, a larger request
// kept (aligned), widths in steps of 4.
struct StrideCase {
    std::uint32_t width;
    std::uint32_t fourcc;
    std::uint32_t requested;
    std::uint32_t unicam_width, unicam_stride;
    std::uint32_t cfe_width, cfe_stride;
};

class StrideTest : public V4l2Test {};

TEST_P(StrideTest, BytesperlineFollowsTheDriver)
{
    const StrideCase kCases[] = {
        {1920, V4L2_PIX_FMT_SRGGB10P, 0, 1920, 2400, 1920, 2400},
        {2028, V4L2_PIX_FMT_SRGGB12P, 0, 2028, 3072, 2028, 3056},
        {2028, V4L2_PIX_FMT_SRGGB12P, 3072, 2028, 3072, 2028, 3072}, // the back end's request
        {2028, V4L2_PIX_FMT_SBGGR12P, 3050, 2028, 3072, 2028, 3056}, // too small: the minimum
        {1440, V4L2_PIX_FMT_Y10P, 4000, 1440, 4000, 1440, 4000},
        {1441, V4L2_PIX_FMT_SGBRG10P, 0, 1440, 1824, 1440, 1808},
        {1920, V4L2_PIX_FMT_YUYV, 0, 1920, 2400, 1920, 2400}, // unknown: BGGR 10-bit
    };
    start_board();
    int video = node(GetParam().image_node);
    bool unicam = GetParam().receiver == ReceiverKind::unicam;
    for (const StrideCase &c : kCases) {
        v4l2_pix_format pix{};
        ASSERT_EQ(set_video(video, c.width, 1080, c.fourcc, c.requested, &pix), 0);
        EXPECT_EQ(pix.width, unicam ? c.unicam_width : c.cfe_width) << c.width;
        EXPECT_EQ(pix.bytesperline, unicam ? c.unicam_stride : c.cfe_stride) << c.width;
        EXPECT_EQ(pix.sizeimage, pix.bytesperline * 1080u);
    }
    // At least three buffers, each of sizeimage.
    EXPECT_EQ(request_buffers(video, 1), 3u);
    v4l2_buffer buffer{};
    ASSERT_EQ(buffer_call(video, VIDIOC_QUERYBUF, 2, &buffer), 0);
    EXPECT_EQ(buffer.length, (unicam ? 2400u : 2400u) * 1080);
}

INSTANTIATE_TEST_SUITE_P(Receivers, StrideTest, testing::Values(kUnicam, kCfe), board_name);

// STREAMON validates the pipeline: what each receiver answers to each disagreement.
struct MismatchCase {
    const char *name;
    std::uint32_t source_code;
    std::uint32_t node_fourcc;
    std::uint32_t node_height;
    bool csi2_disagrees; // CFE's csi2 sink pad keeps the node's height, not the source's
    bool link_enabled;
    int unicam_error, cfe_error;
};

class ValidationTest : public V4l2Test {};

TEST_P(ValidationTest, StreamonRefusesAPipelineThatDisagrees)
{
    const MismatchCase kCases[] = {
        {"agrees", MEDIA_BUS_FMT_SRGGB10_1X10, V4L2_PIX_FMT_SRGGB10P, 0, false, true, 0, 0},
        {"height", MEDIA_BUS_FMT_SRGGB10_1X10, V4L2_PIX_FMT_SRGGB10P, 1088, false, true, EPIPE,
         EINVAL},
        {"code", MEDIA_BUS_FMT_SRGGB12_1X12, V4L2_PIX_FMT_SRGGB10P, 0, false, true, EPIPE, EINVAL},
        {"order", MEDIA_BUS_FMT_SBGGR10_1X10, V4L2_PIX_FMT_SRGGB10P, 0, false, true, EPIPE, EINVAL},
        {"csi2 pad", MEDIA_BUS_FMT_SRGGB10_1X10, V4L2_PIX_FMT_SRGGB10P, 1088, true, true, EPIPE,
         EPIPE},
        {"link off", MEDIA_BUS_FMT_SRGGB10_1X10, V4L2_PIX_FMT_SRGGB10P, 0, false, false, 0, EINVAL},
    };
    bool unicam = GetParam().receiver == ReceiverKind::unicam;
    for (const MismatchCase &c : kCases) {
        start_board();
        int video = node(GetParam().image_node);
        ASSERT_EQ(configure(video, 1920, 1080, c.source_code, c.node_fourcc, c.node_height), 0);
        if (!unicam && c.csi2_disagrees) {
            ASSERT_EQ(set_pad("csi2", 0, 1920, 1088, c.source_code), 0);
        }
        if (!unicam && !c.link_enabled) {
            ASSERT_EQ(setup_link("csi2", 4, GetParam().image_node, 0), 0);
        }
        request_buffers(video, 3);
        ASSERT_EQ(buffer_call(video, VIDIOC_QBUF, 0), 0);
        int expected = unicam ? c.unicam_error : c.cfe_error;
        EXPECT_EQ(stream(video, VIDIOC_STREAMON), expected ? -1 : 0) << c.name;
        if (expected) {
            EXPECT_EQ(errno, expected) << c.name;
        }
        EXPECT_EQ(stream(video, VIDIOC_STREAMOFF), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Receivers, ValidationTest, testing::Values(kUnicam, kCfe), board_name);

class BusyTest : public V4l2Test {};

TEST_P(BusyTest, OneUserAtATimeAndNoChangesWhileStreaming)
{
    start_board();
    int video = node(GetParam().image_node);
    ASSERT_EQ(configure(video, 64, 32, MEDIA_BUS_FMT_SRGGB10_1X10, V4L2_PIX_FMT_SRGGB10P), 0);
    request_buffers(video, 3);
    EXPECT_EQ(set_video(video, 64, 32, V4L2_PIX_FMT_SRGGB10P, 0), -1); // buffers exist
    EXPECT_EQ(errno, EBUSY);
    int second = node(GetParam().image_node);
    v4l2_requestbuffers request{3, V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP, 0, 0, {}};
    EXPECT_EQ(host_dev_ioctl(second, VIDIOC_REQBUFS, &request), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(stream(second, VIDIOC_STREAMON), -1);
    EXPECT_EQ(errno, EBUSY);
    ASSERT_EQ(buffer_call(video, VIDIOC_QBUF, 0), 0);
    ASSERT_EQ(stream(video, VIDIOC_STREAMON), 0);
    EXPECT_EQ(set_pad(source_name, 0, 64, 16, MEDIA_BUS_FMT_SRGGB10_1X10), -1);
    EXPECT_EQ(errno, EBUSY);
    if (GetParam().receiver == ReceiverKind::cfe) {
        EXPECT_EQ(setup_link("csi2", 4, GetParam().image_node, 0), -1);
        EXPECT_EQ(errno, EBUSY);
    }
    v4l2_requestbuffers release{0, V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP, 0, 0, {}};
    EXPECT_EQ(host_dev_ioctl(video, VIDIOC_REQBUFS, &release), -1);
    EXPECT_EQ(errno, EBUSY);
    // Closing the owner stops streaming and frees the queue for the next user.
    host_dev_close(video);
    open_fds.erase(std::find(open_fds.begin(), open_fds.end(), video));
    EXPECT_EQ(request_buffers(second, 3), 3u);
}

INSTANTIATE_TEST_SUITE_P(Receivers, BusyTest, testing::Values(kUnicam, kCfe), board_name);

std::uint64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(now.tv_nsec);
}

class FrameTest : public V4l2Test {};

// Frames carry the sensor's packed lines at the node's stride, stamps from the monotonic clock,
// and sequence numbers that leave out exactly the frames written into the spare buffer (here
// those of a deliberate stall, 3 to 5, and any the test was too slow for).
TEST_P(FrameTest, PackedFramesNumberedWithGapsForTheSpareBuffer)
{
    constexpr int kWidth = 64, kHeight = 32, kFrames = 12;
    constexpr std::uint32_t kStride = 96; // larger than the packed 80: kept, aligned
    knobs.rx_stall_first = 3;
    knobs.rx_stall_frames = 3;
    start_board();
    int video = node(GetParam().image_node);
    ASSERT_EQ(configure(video, kWidth, kHeight, MEDIA_BUS_FMT_SRGGB10_1X10, V4L2_PIX_FMT_SRGGB10P),
              0);
    v4l2_pix_format pix{};
    ASSERT_EQ(set_video(video, kWidth, kHeight, V4L2_PIX_FMT_SRGGB10P, kStride, &pix), 0);
    ASSERT_EQ(pix.bytesperline, kStride);
    unsigned count = request_buffers(video, 3);
    std::vector<std::uint8_t *> maps;
    for (unsigned i = 0; i < count; ++i) {
        v4l2_buffer buffer{};
        ASSERT_EQ(buffer_call(video, VIDIOC_QUERYBUF, i, &buffer), 0);
        void *map = host_dev_mmap(buffer.length, PROT_READ, MAP_SHARED, video, buffer.m.offset);
        ASSERT_NE(map, MAP_FAILED);
        maps.push_back(static_cast<std::uint8_t *>(map));
        ASSERT_EQ(buffer_call(video, VIDIOC_QBUF, i), 0);
    }
    v4l2_buffer none{};
    EXPECT_EQ(buffer_call(video, VIDIOC_DQBUF, 0, &none), -1); // not streaming yet
    ASSERT_EQ(stream(video, VIDIOC_STREAMON), 0);
    EXPECT_EQ(buffer_call(video, VIDIOC_DQBUF, 0, &none), -1);
    EXPECT_EQ(errno, EAGAIN);
    stream_sensor(kWidth, kHeight, true);

    TestPattern expected(FrameGeometry{kWidth, kHeight, 10, false, static_cast<int>(kStride)},
                         test_pattern::kFrameCounter, {});
    std::vector<std::uint8_t> frame(pix.sizeimage);
    std::vector<std::uint32_t> sequences;
    std::uint64_t last_stamp = 0;
    while (sequences.size() < kFrames) {
        ASSERT_EQ(host_dev_poll(video, POLLIN, 5000), 1);
        v4l2_buffer buffer{};
        ASSERT_EQ(buffer_call(video, VIDIOC_DQBUF, 0, &buffer), 0);
        std::uint64_t stamp = static_cast<std::uint64_t>(buffer.timestamp.tv_sec) * 1000000000ull +
                              static_cast<std::uint64_t>(buffer.timestamp.tv_usec) * 1000;
        EXPECT_TRUE(buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC);
        EXPECT_GT(stamp, last_stamp);
        EXPECT_LE(stamp, monotonic_ns());
        last_stamp = stamp;
        EXPECT_EQ(buffer.bytesused, pix.sizeimage);
        expected.render(buffer.sequence, frame.data());
        EXPECT_EQ(std::memcmp(maps[buffer.index], frame.data(), frame.size()), 0)
            << "frame " << buffer.sequence;
        sequences.push_back(buffer.sequence);
        ASSERT_EQ(buffer_call(video, VIDIOC_QBUF, buffer.index), 0);
    }
    stream_sensor(kWidth, kHeight, false);
    // Once the sensor stops, every frame that ended is either dequeued or spare.
    v4l2_buffer buffer{};
    while (host_dev_poll(video, POLLIN, 100) == 1 &&
           buffer_call(video, VIDIOC_DQBUF, 0, &buffer) == 0)
        sequences.push_back(buffer.sequence);
    EXPECT_TRUE(std::is_sorted(sequences.begin(), sequences.end()));
    EXPECT_EQ(std::adjacent_find(sequences.begin(), sequences.end()), sequences.end());
    for (std::uint32_t stalled : {3u, 4u, 5u})
        EXPECT_EQ(std::count(sequences.begin(), sequences.end(), stalled), 0);
    EXPECT_EQ(sequences.size() + channel().frames_spare(), channel().next_frame());
    // An exported buffer is the same memory.
    v4l2_exportbuffer exported{};
    exported.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    exported.index = 1;
    ASSERT_EQ(host_dev_ioctl(video, VIDIOC_EXPBUF, &exported), 0);
    void *shared = host_dev_mmap(pix.sizeimage, PROT_READ, MAP_SHARED, exported.fd, 0);
    ASSERT_NE(shared, MAP_FAILED);
    dma_buf_sync sync{DMA_BUF_SYNC_START | DMA_BUF_SYNC_READ};
    EXPECT_EQ(host_dev_ioctl(exported.fd, DMA_BUF_IOCTL_SYNC, &sync), 0);
    EXPECT_EQ(std::memcmp(shared, maps[1], pix.sizeimage), 0);
    EXPECT_EQ(host_dev_munmap(shared, pix.sizeimage), 0);
    EXPECT_EQ(host_dev_close(exported.fd), 0);
    EXPECT_EQ(stream(video, VIDIOC_STREAMOFF), 0);
    for (std::uint8_t *map : maps)
        EXPECT_EQ(host_dev_munmap(map, pix.sizeimage), 0);
}

INSTANTIATE_TEST_SUITE_P(Receivers, FrameTest, testing::Values(kUnicam, kCfe), board_name);

class DmaBufTest : public V4l2Test {
protected:
    static constexpr const char *kCma = "/dev/dma_heap/linux,cma";

    // A DMA-BUF of `bytes` from the heap at `path`, or -1.
    int allocate(const char *path, std::size_t bytes)
    {
        int heap = open(path, O_RDWR | O_CLOEXEC);
        dma_heap_allocation_data request{};
        request.len = bytes;
        request.fd_flags = O_RDWR | O_CLOEXEC;
        if (heap < 0 || host_dev_ioctl(heap, DMA_HEAP_IOCTL_ALLOC, &request) < 0)
            return -1;
        open_fds.push_back(static_cast<int>(request.fd));
        return static_cast<int>(request.fd);
    }
    int dmabuf_call(int video, unsigned long request, v4l2_buffer &buffer)
    {
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_DMABUF;
        return host_dev_ioctl(video, request, &buffer);
    }
    int queue(int video, std::uint32_t index, int dmabuf, std::uint32_t length)
    {
        v4l2_buffer buffer{};
        buffer.index = index;
        buffer.m.fd = dmabuf;
        buffer.length = length;
        return dmabuf_call(video, VIDIOC_QBUF, buffer);
    }
    void request_dmabufs(int video)
    {
        v4l2_requestbuffers request{3, V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_DMABUF, 0, 0, {}};
        ASSERT_EQ(host_dev_ioctl(video, VIDIOC_REQBUFS, &request), 0);
        EXPECT_TRUE(request.capabilities & V4L2_BUF_CAP_SUPPORTS_DMABUF);
    }
    void sync(int dmabuf, std::uint64_t flags)
    {
        dma_buf_sync sync{flags};
        EXPECT_EQ(host_dev_ioctl(dmabuf, DMA_BUF_IOCTL_SYNC, &sync), 0);
    }
};

// What videobuf2-dma-contig takes: a CMA buffer of at least a frame (length 0: all of it); the
// system heap's scattered pages, which udev's vidbuf_cached names on a Pi 5, would need an
// IOMMU that neither receiver has. A frame shows in a buffer's cached mapping only once a CPU
// read has started: before, the mapping holds an earlier frame.
TEST_P(DmaBufTest, CmaBuffersTakeFramesThatShowAfterTheSync)
{
    constexpr int kWidth = 64, kHeight = 64, kFrames = 8;
    start_board();
    int video = node(GetParam().image_node);
    ASSERT_EQ(configure(video, kWidth, kHeight, MEDIA_BUS_FMT_SRGGB10_1X10, V4L2_PIX_FMT_SRGGB10P),
              0);
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(host_dev_ioctl(video, VIDIOC_G_FMT, &format), 0);
    const std::uint32_t size = format.fmt.pix.sizeimage;
    ASSERT_GT(size, 4096u);
    request_dmabufs(video);
    struct Import {
        const char *what;
        int dmabuf;
        std::uint32_t length;
        int error;
    };
    const Import imports[] = {
        {"length short of a frame", allocate(kCma, size), size - 1, EINVAL},
        {"buffer short of the length", allocate(kCma, 4096), size, EFAULT},
        {"whole buffer short of a frame", allocate(kCma, 4096), 0, EINVAL},
        {"not a DMA-BUF", video, size, EINVAL},
        {"not contiguous", allocate("/dev/dma_heap/system", size), size, EFAULT},
        {"udev's link", allocate("/dev/dma_heap/vidbuf_cached", size), 0,
         GetParam().receiver == ReceiverKind::cfe ? EFAULT : 0},
    };
    for (const Import &import : imports) {
        errno = 0;
        EXPECT_EQ(queue(video, 0, import.dmabuf, import.length), import.error ? -1 : 0)
            << import.what;
        EXPECT_EQ(errno, import.error) << import.what;
    }

    request_dmabufs(video); // afresh: no buffer queued
    std::vector<int> dmabufs;
    std::vector<std::uint8_t *> maps;
    for (std::uint32_t i = 0; i < 3; ++i) {
        dmabufs.push_back(allocate(kCma, size));
        void *map = host_dev_mmap(size, PROT_READ, MAP_SHARED, dmabufs.back(), 0);
        ASSERT_NE(map, MAP_FAILED);
        maps.push_back(static_cast<std::uint8_t *>(map));
        ASSERT_EQ(queue(video, i, dmabufs.back(), 0), 0);
    }
    ASSERT_EQ(stream(video, VIDIOC_STREAMON), 0);
    stream_sensor(kWidth, kHeight, true);
    TestPattern expected(
        FrameGeometry{kWidth, kHeight, 10, false, static_cast<int>(format.fmt.pix.bytesperline)},
        test_pattern::kFrameCounter, {});
    std::vector<std::uint8_t> frame(size);
    for (int frames = 0; frames < kFrames; ++frames) {
        ASSERT_EQ(host_dev_poll(video, POLLIN, 5000), 1);
        v4l2_buffer buffer{};
        ASSERT_EQ(dmabuf_call(video, VIDIOC_DQBUF, buffer), 0);
        ASSERT_EQ(buffer.m.fd, dmabufs[buffer.index]);
        EXPECT_GE(buffer.length, size); // all of the DMA-BUF
        expected.render(buffer.sequence, frame.data());
        EXPECT_NE(std::memcmp(maps[buffer.index], frame.data(), size), 0) << "stale before";
        sync(buffer.m.fd, DMA_BUF_SYNC_START | DMA_BUF_SYNC_READ);
        EXPECT_EQ(std::memcmp(maps[buffer.index], frame.data(), size), 0) << buffer.sequence;
        sync(buffer.m.fd, DMA_BUF_SYNC_END | DMA_BUF_SYNC_READ);
        ASSERT_EQ(queue(video, buffer.index, buffer.m.fd, 0), 0);
    }
    stream_sensor(kWidth, kHeight, false);
    EXPECT_EQ(stream(video, VIDIOC_STREAMOFF), 0);
    for (std::uint8_t *map : maps)
        EXPECT_EQ(host_dev_munmap(map, size), 0);
    // The queue holds what it imported until its buffers are freed.
    for (int fd : open_fds) {
        if (fd != video) {
            EXPECT_EQ(host_dev_close(fd), 0);
        }
    }
    open_fds = {video};
    EXPECT_EQ(pi->v4l2().heaps().live_buffers(), 3);
    v4l2_requestbuffers release{0, V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_DMABUF, 0, 0, {}};
    EXPECT_EQ(host_dev_ioctl(video, VIDIOC_REQBUFS, &release), 0);
    EXPECT_EQ(pi->v4l2().heaps().live_buffers(), 0);
}

INSTANTIATE_TEST_SUITE_P(Receivers, DmaBufTest, testing::Values(kUnicam, kCfe), board_name);

// Each fault as the back end meets it: what opening, streaming and the camera bus give.
struct Fault {
    const char *name;
    bool Knobs::*knob;
    const char *denied_path; // opening it is refused (EACCES); "i2c": the camera's bus
    bool source_entity;      // our source is in the graph
    bool sensor_answers;     // on the camera bus
    bool claimed;            // i2cdetect shows UU at the sensor's address
    bool buffers_busy;       // REQBUFS gives EBUSY
};

const Fault kFaults[] = {
    {"none", nullptr, nullptr, true, true, false, false},
    {"no_module", &Knobs::no_module, nullptr, false, false, false, false},
    {"kernel_sensor", &Knobs::kernel_sensor, nullptr, false, false, true, false},
    {"v4l2_busy", &Knobs::v4l2_busy, nullptr, true, true, false, true},
    {"perm_media", &Knobs::media_denied, "/dev/media1", false, true, false, false},
    {"perm_video", &Knobs::video_denied, "/dev/video0", true, true, false, false},
    {"perm_subdev", &Knobs::subdev_denied, "/dev/v4l-subdev0", true, true, false, false},
    {"perm_i2c", &Knobs::i2c_denied, "i2c", true, true, false, false},
};

class FaultTest : public V4l2Test {};

TEST_P(FaultTest, EachFaultAsTheBackEndMeetsIt)
{
    for (const Fault &fault : kFaults) {
        Knobs faulty = knobs;
        if (fault.knob)
            faulty.*fault.knob = true;
        pi = &SimPi::reset(faulty);
        if (fault.denied_path) {
            std::string bus = "/dev/i2c-" + std::to_string(GetParam().bus);
            int fd = std::strcmp(fault.denied_path, "i2c") == 0
                         ? host_i2c_open(bus.c_str(), O_RDWR)
                         : host_dev_open(fault.denied_path, O_RDWR);
            EXPECT_EQ(fd, -1) << fault.name;
            EXPECT_EQ(errno, EACCES) << fault.name;
        }
        Graph found = find_receiver();
        EXPECT_EQ(!found.media_path.empty(), fault.source_entity) << fault.name;
        EXPECT_EQ(pi->bus().answers(pi->sensor_address()), fault.sensor_answers) << fault.name;
        std::vector<int> claimed = pi->claimed_addresses();
        EXPECT_EQ(std::count(claimed.begin(), claimed.end(), pi->sensor_address()) == 1,
                  fault.claimed)
            << fault.name;
        if (fault.knob == &Knobs::kernel_sensor) {
            int media = host_dev_open("/dev/media1", O_RDWR);
            Graph kernel = read_graph(media);
            host_dev_close(media);
            EXPECT_TRUE(
                kernel.entities.count("imx477 " + std::to_string(GetParam().bus) + "-0010"));
        }
        if (found.media_path.empty())
            continue;
        graph = found;
        int video = node(GetParam().image_node);
        if (video < 0)
            continue;
        v4l2_requestbuffers request{3, V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP, 0, 0, {}};
        EXPECT_EQ(host_dev_ioctl(video, VIDIOC_REQBUFS, &request), fault.buffers_busy ? -1 : 0)
            << fault.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Receivers, FaultTest, testing::Values(kUnicam, kCfe), board_name);

class KernelSensorTest : public V4l2Test {};

// The sensor driver the firmware's detection loads registers the sub-device of the chip on the
// bus, named after its driver and its own address.
TEST_P(KernelSensorTest, NamedAfterTheChipsDriverAndAddress)
{
    struct Case {
        const char *chip;
        const char *entity_prefix;
        const char *client;
    };
    const Case cases[] = {{"ccs", "imx477 ", "-0010"},
                          {"imx219", "imx219 ", "-0010"},
                          {"imx708", "imx708 ", "-001a"},
                          {"imx462", "imx290 ", "-001a"}};
    for (const Case &c : cases) {
        Knobs bound = knobs;
        bound.kernel_sensor = true;
        bound.sensor_chip = c.chip;
        pi = &SimPi::reset(bound);
        int media = host_dev_open("/dev/media1", O_RDWR);
        Graph kernel = read_graph(media);
        host_dev_close(media);
        std::string name = c.entity_prefix + std::to_string(GetParam().bus) + c.client;
        EXPECT_EQ(kernel.entities.count(name), 1u) << c.chip << ": no entity " << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Receivers, KernelSensorTest, testing::Values(kUnicam, kCfe), board_name);

// The program's environment picks the OS a board usually runs, and with it the receiver.
TEST(V4l2Boards, RevisionPicksTheReceiverAndItsBus)
{
    struct Case {
        const char *revision;
        const char *kernel; // null: the environment's default
        CaptureSystem capture;
        int bus;
        const char *model;
    };
    const Case kCases[] = {
        {"c04170", nullptr, CaptureSystem::cfe, 11, "Raspberry Pi 5 Model B Rev 1.0"},
        {"c03114", nullptr, CaptureSystem::unicam, 10, "Raspberry Pi 4 Model B Rev 1.4"},
        {"902120", nullptr, CaptureSystem::unicam, 10, "Raspberry Pi Zero 2 W Rev 1.0"},
        {"c03114", "6.1.21-v8+", CaptureSystem::mmal, 0, nullptr},
        {"c03114", "6.6.51+rpt-rpi-v8", CaptureSystem::unicam, 10,
         "Raspberry Pi 4 Model B Rev 1.4"},
        {"a020d3", nullptr, CaptureSystem::mmal, 0, nullptr},
    };
    for (const Case &c : kCases) {
        setenv("TOLVA_SIM_BOARD_REVISION", c.revision, 1);
        if (c.kernel)
            setenv("TOLVA_SIM_KERNEL_RELEASE", c.kernel, 1);
        SimPi &pi = SimPi::reset(Knobs::from_environment());
        unsetenv("TOLVA_SIM_BOARD_REVISION");
        unsetenv("TOLVA_SIM_KERNEL_RELEASE");
        EXPECT_EQ(pi.capture_system(), c.capture) << c.revision;
        EXPECT_EQ(pi.camera_bus(), c.bus) << c.revision;
        EXPECT_TRUE(pi.i2c_device_exists(("/dev/i2c-" + std::to_string(c.bus)).c_str()));
        EXPECT_EQ(host_dev_open("/dev/media0", O_RDWR) >= 0, c.capture != CaptureSystem::mmal);
        // The VideoCore's camera receiver exists only where no kernel driver holds the CSI-2
        // receiver.
        EXPECT_EQ(pi.mmal().create_component("vc.ril.rawcam") != nullptr,
                  c.capture == CaptureSystem::mmal);
        std::string model = read_kernel_file("/proc/device-tree/model");
        EXPECT_EQ(model, c.model ? std::string(c.model) + '\0' : "") << c.revision;
    }
    SimPi::reset();
}

TEST(V4l2Boards, CameraKnobsComeFromTheEnvironment)
{
    setenv("TOLVA_SIM_FAULTS", "no-module,rx-stall:5:2,perm-i2c,rx-stall:x,dma-heap-nomem", 1);
    setenv("TOLVA_SIM_CSI_LANES", "3", 1);
    setenv("TOLVA_SIM_CAMERA_PORT", "0", 1);
    testing::internal::CaptureStderr();
    Knobs knobs = Knobs::from_environment();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "simulated Pi: TOLVA_SIM_FAULTS: unknown fault 'rx-stall:x'\n"
              "simulated Pi: TOLVA_SIM_CSI_LANES=3 is not 1, 2 or 4; using 2\n");
    for (const char *name : {"TOLVA_SIM_FAULTS", "TOLVA_SIM_CSI_LANES", "TOLVA_SIM_CAMERA_PORT"})
        unsetenv(name);
    EXPECT_TRUE(knobs.no_module);
    EXPECT_TRUE(knobs.i2c_denied);
    EXPECT_TRUE(knobs.dma_heap_no_memory);
    EXPECT_FALSE(knobs.dma_heap_denied || knobs.no_dma_heap);
    EXPECT_EQ(knobs.rx_stall_first, 5u);
    EXPECT_EQ(knobs.rx_stall_frames, 2u);
    EXPECT_EQ(knobs.csi_lanes, 2);
    EXPECT_EQ(knobs.camera_port, 0);
}

} // namespace
} // namespace tolva::sim
