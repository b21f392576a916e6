// Tests of the V4L2 capture back end on the simulated Unicam and CFE boards: the frames the
// receiver lost counted from its sequence numbers, the live view's newest frame, the receiver's
// line stride, the frame buffers from the CMA heap or the receiver, and the failures a user can
// cause, each said with its fix and nothing left open.
#include "cap.h"
#include "frame_counter.h"
#include "i2c.h"
#include "output_capture.h"
#include "raw_reference.h"
#include "sensor_init.h"
#include "sim_pi.h"
#include "test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

using testing::ContainsRegex;
using testing::HasSubstr;
using tolva::sim::Knobs;
using tolva::sim::SimPi;
using tolva::test::capture_stderr;
using tolva::test::captured_stderr;
using tolva::test::ScratchDir;

namespace {

// 64x48 at 100 frames a second, the frame counter.
std::string counter_init(int bits)
{
    tolva::test::SensorInit sensor;
    sensor.bits = bits;
    sensor.counter = true;
    return sensor.text();
}

// The number a packed counter frame of 64x48 samples carries (lines `stride` bytes apart), or -1
// when it is not one whole counter frame.
long long counter_number(const std::vector<unsigned char> &raw, int bits, std::size_t stride)
{
    auto samples = tolva::test::unpack_reference(raw.data(), 64, 48, bits, stride);
    return tolva::test::counter_frame_number([&samples](std::size_t n) { return samples[n]; }, 64,
                                             48, bits);
}

// Waits for the next frame of the RAW12 counter and returns its number: -1 when it is not one
// whole frame. Its gap must be the frames missing since `previous`.
long long next_counter_frame(std::vector<unsigned char> &raw, long long previous)
{
    while (!ReadRAW(raw.data()))
        usleep(2000);
    long long number = counter_number(raw, 12, 96);
    EXPECT_GE(number, 0) << "not one whole frame";
    EXPECT_EQ(number - previous - 1, GetFrameGap()) << "frame " << number;
    return number;
}

Knobs board_knobs(const char *revision)
{
    Knobs knobs;
    knobs.board_revision = revision;
    knobs.kernel_release = tolva::sim::default_kernel_release(revision);
    knobs.events_per_minute = 0;
    return knobs;
}

// The pipeline's end: every device and DMA-BUF closed again, no DMA-BUF left alive, and the
// sensor stopped.
void expect_nothing_left_open()
{
    SimPi &pi = SimPi::instance();
    EXPECT_EQ(pi.v4l2().open_count(), 0);
    EXPECT_EQ(pi.v4l2().heaps().live_buffers(), 0);
    EXPECT_FALSE(pi.sensor().stream_settings().streaming);
}

class V4l2BoardTest : public testing::TestWithParam<const char *> {
protected:
    void SetUp() override { I2C_ADDRESS = 0x10; }

    ScratchDir dir;
};

// Frames 10 to 16 go into the receiver's spare buffer: the recording's frames show exactly that
// gap, and so do the counts; back in live view frames are passed over, each frame's gap still
// the frames missing before it.
TEST_P(V4l2BoardTest, LostFramesAreCountedFromTheSequenceNumbers)
{
    Knobs knobs = board_knobs(GetParam());
    knobs.rx_stall_first = 10;
    knobs.rx_stall_frames = 7;
    SimPi::reset(knobs);
    std::string init = dir.write("counter.txt", counter_init(12));
    ASSERT_GE(FindCameraBus(init.c_str()), 0);
    tolva::test::capture_stdout();
    ASSERT_EQ(OpenSensor(init.c_str()), 0);
    tolva::test::captured_stdout();
    BufferFrames(1);
    std::vector<unsigned char> raw(static_cast<std::size_t>(GetBufSiz()));
    long long previous = -1;
    int gaps = 0;
    while (previous < 30) {
        previous = next_counter_frame(raw, previous);
        ASSERT_GE(previous, 0);
        gaps += GetFrameGap();
    }
    EXPECT_EQ(gaps, 7);
    EXPECT_EQ(GetDropCount(), 7);

    BufferFrames(0);
    for (int frames = 0; frames < 3;) {
        usleep(50000); // several frames come meanwhile
        if (!ReadRAW(raw.data()))
            continue;
        long long number = counter_number(raw, 12, 96);
        ASSERT_GE(number, 0) << "not one whole frame";
        EXPECT_EQ(number - previous - 1, GetFrameGap()) << "frame " << number;
        gaps += GetFrameGap();
        previous = number;
        ++frames;
    }
    EXPECT_GT(gaps, 7);
    EXPECT_GE(GetDropCount(), gaps);
    EXPECT_EQ(CloseSensor(0), 0);
    expect_nothing_left_open();
}

// RAW10 lines of 64 samples are 80 bytes; both receivers take 96 (a multiple of 32).
TEST_P(V4l2BoardTest, TheReceiversLineStrideOverridesADifferentBufsiz)
{
    SimPi::reset(board_knobs(GetParam()));
    std::string init = dir.write("raw10.txt", counter_init(10));
    ASSERT_GE(FindCameraBus(init.c_str()), 0);
    tolva::test::capture_stdout();
    capture_stderr();
    int status = OpenSensor(init.c_str());
    tolva::test::captured_stdout();
    EXPECT_EQ(captured_stderr(), "tolvacapture: BUFSIZ 3840 in the init file, but the "
                                 "receiver's frames are 4608 bytes (96 a line x 48 lines): "
                                 "using 4608; set BUFSIZ 4608\n");
    std::vector<unsigned char> raw(4608);
    while (!ReadRAW(raw.data()))
        usleep(2000);
    // The fill after each line's 80 bytes is the receiver's, not the next line's samples.
    EXPECT_GE(counter_number(raw, 10, 96), 0);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(GetBufSiz(), 4608);
    EXPECT_EQ(CloseSensor(0), 0);
    expect_nothing_left_open();
}

INSTANTIATE_TEST_SUITE_P(Receivers, V4l2BoardTest, testing::Values("c03114", "c04170"));

// Where the frame buffers come from: the CMA heap, or the receiver's own with one line saying why
// and what to do.
struct MemoryPath {
    const char *name;
    bool Knobs::*fault; // null: none
    int heap_buffers;   // DMA-BUFs alive while streaming
    const char *said;   // the line on standard error, as a regular expression; null: none
};

void PrintTo(const MemoryPath &path, std::ostream *out) { *out << path.name; }

class V4l2MemoryTest : public testing::TestWithParam<std::tuple<const char *, MemoryPath>> {
protected:
    ScratchDir dir;
};

// Frames read from a cached buffer before its sync would be an earlier frame's: the counter's
// numbers then go back, and the gaps no longer match the losses counted.
TEST_P(V4l2MemoryTest, WholeFramesInOrderAndNothingLeft)
{
    const auto &[revision, path] = GetParam();
    Knobs knobs = board_knobs(revision);
    if (path.fault)
        knobs.*path.fault = true;
    SimPi::reset(knobs);
    I2C_ADDRESS = 0x10;
    std::string init = dir.write("counter.txt", counter_init(12));
    ASSERT_GE(FindCameraBus(init.c_str()), 0);
    tolva::test::capture_stdout();
    capture_stderr();
    int status = OpenSensor(init.c_str());
    std::string err = captured_stderr();
    tolva::test::captured_stdout();
    ASSERT_EQ(status, 0) << err;
    if (path.said) {
        EXPECT_THAT(err, ContainsRegex(path.said));
        EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line: " << err;
    } else {
        EXPECT_EQ(err, "");
    }
    EXPECT_EQ(SimPi::instance().v4l2().heaps().live_buffers(), path.heap_buffers);
    BufferFrames(1);
    std::vector<unsigned char> raw(static_cast<std::size_t>(GetBufSiz()));
    for (long long previous = -1; previous < 20;) {
        previous = next_counter_frame(raw, previous);
        ASSERT_GE(previous, 0);
    }
    EXPECT_EQ(CloseSensor(0), 0);
    expect_nothing_left_open();
}

INSTANTIATE_TEST_SUITE_P(
    Paths, V4l2MemoryTest,
    testing::Combine(
        testing::Values("c03114", "c04170"),
        testing::Values(
            MemoryPath{"CachedHeap", nullptr, 6, nullptr},
            MemoryPath{"NoHeap", &Knobs::no_dma_heap, 0,
                       "^tolvacapture: /dev/dma_heap/linux,cma: no such heap: frames are copied "
                       "from /dev/video[0-9]+'s uncached buffers, more slowly; the kernel needs "
                       "its CMA heap"},
            MemoryPath{"HeapRefused", &Knobs::dma_heap_denied, 0,
                       "^tolvacapture: /dev/dma_heap/linux,cma: no permission to open it: frames "
                       "are copied from /dev/video[0-9]+'s uncached buffers, more slowly; add "
                       "the user to the group video"},
            MemoryPath{"NoContiguousMemory", &Knobs::dma_heap_no_memory, 0,
                       "^tolvacapture: /dev/dma_heap/linux,cma: no contiguous memory for 6 frame "
                       "buffers of 4608 bytes: frames are copied from /dev/video[0-9]+'s "
                       "uncached buffers, more slowly; give the kernel more contiguous memory"})),
    [](const testing::TestParamInfo<std::tuple<const char *, MemoryPath>> &info) {
        return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
    });

// The init file's Bayer order is the one the pipeline is set up for, on both receivers: the video
// node's pixel format (the source's media-bus code must agree with it for the stream to start).
class V4l2BayerTest : public testing::TestWithParam<int> {
protected:
    ScratchDir dir;
};

TEST_P(V4l2BayerTest, FormatsFollowTheInitFilesOrder)
{
    const char *const kOrders[] = {"RGGB", "GRBG", "GBRG", "BGGR"};
    const std::uint32_t kFormats[] = {V4L2_PIX_FMT_SRGGB12P, V4L2_PIX_FMT_SGRBG12P,
                                      V4L2_PIX_FMT_SGBRG12P, V4L2_PIX_FMT_SBGGR12P};
    for (const char *revision : {"c03114", "c04170"}) {
        SCOPED_TRACE(revision);
        SimPi::reset(board_knobs(revision));
        I2C_ADDRESS = 0x10;
        std::string init = dir.write("bayer.txt", std::string("BAYER ") + kOrders[GetParam()] +
                                                      "\n" + counter_init(12));
        ASSERT_GE(FindCameraBus(init.c_str()), 0);
        tolva::test::capture_stdout();
        int status = OpenSensor(init.c_str());
        tolva::test::captured_stdout();
        ASSERT_EQ(status, 0);
        std::uint32_t format = 0;
        for (const auto &node : SimPi::instance().v4l2().receiver()->video_nodes())
            if (node->name() == "unicam-image" || node->name() == "rp1-cfe-csi2_ch0")
                format = node->format().pixelformat;
        EXPECT_EQ(format, kFormats[GetParam()]);
        EXPECT_EQ(CloseSensor(0), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, V4l2BayerTest,
                         testing::Values(BAYER_RGGB, BAYER_GRBG, BAYER_GBRG, BAYER_BGGR));

struct Refusal {
    const char *name;
    void (*fault)(Knobs &);
    bool at_open; // found by OpenSensor, not before the bring-up
    const char *said;
};

class V4l2RefusalTest : public testing::TestWithParam<Refusal> {};

TEST_P(V4l2RefusalTest, IsSaidWithItsFixAndLeavesNothingOpen)
{
    Knobs knobs = board_knobs("c04170");
    GetParam().fault(knobs);
    SimPi::reset(knobs);
    I2C_ADDRESS = 0x10;
    ScratchDir dir;
    std::string init = dir.write("counter.txt", counter_init(12));
    tolva::test::capture_stdout();
    capture_stderr();
    int bus = FindCameraBus(init.c_str());
    int status = GetParam().at_open && bus >= 0 ? OpenSensor(init.c_str()) : 0;
    if (status < 0)
        CloseSensor(status);
    tolva::test::captured_stdout();
    std::string err = captured_stderr();
    EXPECT_TRUE(bus < 0 || status < 0) << err;
    EXPECT_EQ(bus < 0, !GetParam().at_open);
    EXPECT_THAT(err, HasSubstr(GetParam().said));
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line: " << err;
    expect_nothing_left_open();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, V4l2RefusalTest,
    testing::Values(
        Refusal{"NoModule", [](Knobs &k) { k.no_module = true; }, false,
                "no media device has the CSI-2 source \"tolva-csi2\": its kernel module is not "
                "loaded or its overlay is not in config.txt (README, \"Current Raspberry Pi OS\")"},
        Refusal{"KernelSensor", [](Knobs &k) { k.kernel_sensor = true; }, false,
                "holds the camera receiver: set camera_auto_detect=0"},
        Refusal{"MediaDenied", [](Knobs &k) { k.media_denied = true; }, false,
                "/dev/media0: no permission to open it: add the user to the group video"},
        Refusal{"I2cDenied", [](Knobs &k) { k.i2c_denied = true; }, false,
                "/dev/i2c-11: no permission to open it: add the user to the group i2c"},
        Refusal{"SubdevDenied", [](Knobs &k) { k.subdev_denied = true; }, true,
                "no permission to open it: add the user to the group video"},
        Refusal{"VideoDenied", [](Knobs &k) { k.video_denied = true; }, true,
                "/dev/video0: no permission to open it: add the user to the group video"},
        // The sensor would send on the file's 2 lanes, the receiver listen on the overlay's 4.
        Refusal{"OverlayLanes", [](Knobs &k) { k.csi_lanes = 4; }, true,
                "counter.txt: DATA_LANES 2, but the overlay gives the receiver 4 lanes "
                "(/dev/v4l-subdev2): put dtoverlay=tolva-csi2 in config.txt and reboot, or write "
                "the init file for 4 lanes"},
        Refusal{"Busy", [](Knobs &k) { k.v4l2_busy = true; }, true,
                "/dev/video0: busy: another program uses the camera receiver"}),
    [](const testing::TestParamInfo<Refusal> &info) { return info.param.name; });

} // namespace
