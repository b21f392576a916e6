// Tests of the capture pipeline on the simulated Pi: MMAL call sequences, the receiver's
// configuration and the hand-over of frames.
#include "cap.h"
#include "fatal_catcher.h"
#include "frame_counter.h"
#include "i2c.h"
#include "output_capture.h"
#include "raw_reference.h"
#include "sensor_init.h"
#include "sim_pi.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using tolva::sim::Knobs;
using tolva::sim::Mmal;
using tolva::sim::SimPi;
using tolva::test::capture_stderr;
using tolva::test::captured_stderr;
using tolva::test::counter_frame_number;
using tolva::test::ScratchDir;
using tolva::test::unpack_reference;
using Calls = std::vector<std::string>;

namespace {

// The capture tests' stream: a small RAW10 frame counter.
struct Stream : tolva::test::SensorInit {
    Stream()
    {
        height = 16;
        bits = 10;
        counter = true;
    }
};

class CapTest : public testing::Test {
protected:
    void SetUp() override
    {
        SimPi::reset();
        I2C_ADDRESS = 0x10;
    }

    Mmal &mmal() { return SimPi::instance().mmal(); }
    Calls calls() { return mmal().record().texts(); }

    int open(const Stream &stream)
    {
        std::string path = dir.write("init.txt", stream.text());
        tolva::test::capture_stdout(); // the interpreter's summary block
        int status = OpenSensor(path.c_str());
        tolva::test::captured_stdout();
        return status;
    }

    static bool wait_for(const std::function<bool()> &done)
    {
        constexpr auto kPatience = std::chrono::seconds(10);
        auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }

    // Waits for a handed-over frame of the stream and returns its samples.
    std::vector<std::uint16_t> read_frame(const Stream &stream)
    {
        std::vector<unsigned char> raw(static_cast<std::size_t>(GetBufSiz()));
        EXPECT_TRUE(wait_for([&] { return ReadRAW(raw.data()) == 1; }));
        return unpack_reference(raw.data(), stream.width, stream.height, stream.bits,
                                static_cast<std::size_t>(stream.line_bytes()));
    }

    ScratchDir dir;
};

long long frame_number(const std::vector<std::uint16_t> &samples, const Stream &stream)
{
    return counter_frame_number([&samples](std::size_t n) { return samples.at(n); }, stream.width,
                                stream.height, stream.bits);
}

// Bytes of address space the process has mapped now.
rlim_t mapped_bytes()
{
    std::ifstream statm("/proc/self/statm");
    rlim_t pages = 0;
    statm >> pages;
    return pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

const Calls kOpenCalls = {
    "bcm_host_init() = 0",
    "mmal_component_create(vc.ril.rawcam) = 0",
    "mmal_component_create(vc.ril.isp) = 0",
    "mmal_component_create(vc.ril.video_render) = 0",
    "mmal_port_parameter_get(vc.ril.rawcam:out:0 0x1004D) = 0",
    "mmal_port_parameter_set(vc.ril.rawcam:out:0 0x1004D) = 0",
    "mmal_port_parameter_get(vc.ril.rawcam:out:0 0x1004E) = 0",
    "mmal_port_parameter_set(vc.ril.rawcam:out:0 0x1004E) = 0",
    "mmal_component_enable(vc.ril.rawcam) = 0",
    "mmal_component_enable(vc.ril.isp) = 0",
    "mmal_component_enable(vc.ril.video_render) = 0",
    "mmal_port_format_commit(vc.ril.rawcam:out:0 pBAA 64x16 crop 0,0 64x16) = 0",
    "mmal_port_parameter_set_boolean(vc.ril.rawcam:out:0 0x4) = 0",
    "mmal_port_pool_create(vc.ril.rawcam:out:0 3x1280) = 0",
    "mmal_port_enable(vc.ril.rawcam:out:0) = 0",
};

const Calls kDestroyAll = {"mmal_component_destroy(vc.ril.rawcam) = 0",
                           "mmal_component_destroy(vc.ril.isp) = 0",
                           "mmal_component_destroy(vc.ril.video_render) = 0"};
const Calls kDisableAll = {"mmal_component_disable(vc.ril.video_render) = 0",
                           "mmal_component_disable(vc.ril.isp) = 0",
                           "mmal_component_disable(vc.ril.rawcam) = 0"};
const Calls kPoolDestroy = {"mmal_port_pool_destroy(vc.ril.rawcam:out:0) = 0"};
const Calls kPortDisable = {"mmal_port_disable(vc.ril.rawcam:out:0) = 0"};

Calls operator+(Calls a, const Calls &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(CapTest, OpenMakesTheCallsInOrderAndCirculatesEveryBuffer)
{
    Stream stream;
    stream.streaming = false;
    ASSERT_EQ(open(stream), 0);
    EXPECT_EQ(calls(), kOpenCalls);
    EXPECT_EQ(mmal().record().traffic("mmal_queue_get"), 3u);
    EXPECT_EQ(mmal().record().traffic("mmal_port_send_buffer"), 3u);
    EXPECT_EQ(GetWidth(), 64);
    EXPECT_EQ(GetHeight(), 16);
    EXPECT_EQ(GetBufSiz(), 1280);
    EXPECT_EQ(CloseSensor(0), 0);
}

struct Failure {
    const char *call;
    const char *subject;
    int status;
    Calls teardown;
    const char *message = ""; // on standard error, for the steps after the sensor was programmed
};

class CapFailureTest : public CapTest, public testing::WithParamInterface<Failure> {};

// After a failure past the interpreter the sensor it programmed (and set streaming) is stopped
// first, and the step is named; before it, the bus is not touched.
TEST_P(CapFailureTest, StatusNamesTheStepAndCloseUndoesExactlyIt)
{
    const Failure &failure = GetParam();
    mmal().record().fail(failure.call, failure.subject);
    Stream stream;
    capture_stderr();
    ASSERT_EQ(open(stream), failure.status);
    EXPECT_EQ(captured_stderr(), failure.message);
    mmal().record().clear();
    SimPi::instance().bus().clear_log();
    EXPECT_EQ(CloseSensor(failure.status), 0);
    EXPECT_EQ(calls(), failure.teardown);
    Calls stop = failure.status <= -3 ? Calls{"10 W 01 00 00"} : Calls{};
    EXPECT_EQ(SimPi::instance().bus().log(), stop);
    EXPECT_EQ(mmal().live_components(), 0);
    EXPECT_EQ(mmal().live_pools(), 0);
}

const Calls kAfterPool = kDisableAll + kDestroyAll;
const Calls kAfterEnable = kPortDisable + kPoolDestroy + kAfterPool;

INSTANTIATE_TEST_SUITE_P(
    EveryStep, CapFailureTest,
    testing::Values(Failure{"mmal_component_create", "vc.ril.rawcam", -1, {}},
                    Failure{"mmal_component_create", "vc.ril.isp", -2, {kDestroyAll[0]}},
                    Failure{"mmal_component_create",
                            "vc.ril.video_render",
                            -2,
                            {kDestroyAll[0], kDestroyAll[1]}},
                    Failure{"mmal_port_parameter_get", "0x1004D", -2, kDestroyAll},
                    Failure{"mmal_port_parameter_set", "0x1004D", -2, kDestroyAll},
                    Failure{"mmal_port_parameter_get", "0x1004E", -2, kDestroyAll},
                    Failure{"mmal_port_parameter_set", "0x1004E", -2, kDestroyAll},
                    Failure{"mmal_component_enable", "vc.ril.rawcam", -2, kDestroyAll},
                    Failure{"mmal_component_enable", "vc.ril.video_render", -2, kDestroyAll},
                    Failure{"mmal_port_format_commit", "", -3, kAfterPool,
                            "tolvacapture: camera receiver: the frame format was refused\n"},
                    Failure{"mmal_port_parameter_set_boolean", "", -3, kAfterPool,
                            "tolvacapture: camera receiver: zero copy was refused\n"},
                    Failure{"mmal_port_pool_create", "", -3, kAfterPool,
                            "tolvacapture: camera receiver: no buffer pool\n"},
                    Failure{"mmal_port_enable", "", -4, kPoolDestroy + kAfterPool,
                            "tolvacapture: camera receiver: the output port can't be enabled\n"},
                    Failure{"mmal_queue_get", "", -5, kAfterEnable,
                            "tolvacapture: camera receiver: no free buffer in the pool\n"},
                    Failure{"mmal_port_send_buffer", "", -5, kAfterEnable,
                            "tolvacapture: camera receiver: a buffer was refused\n"}),
    [](const testing::TestParamInfo<Failure> &info) {
        std::string name = std::string(info.param.call).substr(5) + "_" + info.param.subject;
        for (char &c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

TEST_F(CapTest, InterpreterFailureIsStatusMinusOneAndDestroysWithoutDisabling)
{
    Stream stream;
    stream.settings = "BUFSIZ 1280\n"; // no WIDTH / HEIGHT
    capture_stderr();
    EXPECT_EQ(open(stream), -1);
    EXPECT_EQ(captured_stderr(), "can't set WIDTH and/or HEIGHT\n");
    mmal().record().clear();
    EXPECT_EQ(CloseSensor(-1), 0);
    EXPECT_EQ(calls(), kDestroyAll);
}

TEST_F(CapTest, CloseAfterAFullOpenStopsTheSensorFirst)
{
    Stream stream;
    stream.streaming = false;
    ASSERT_EQ(open(stream), 0);
    mmal().record().clear();
    SimPi::instance().bus().clear_log();
    EXPECT_EQ(CloseSensor(0), 0);
    EXPECT_EQ(SimPi::instance().bus().log(), (Calls{"10 W 01 00 00"}));
    EXPECT_EQ(calls(), kPortDisable + kPoolDestroy + kDisableAll + kDestroyAll);
    EXPECT_EQ(mmal().live_components(), 0);
}

TEST_F(CapTest, PortThatCannotBeDisabledGivesMinusOneAndReleasesNothingMore)
{
    Stream stream;
    ASSERT_EQ(open(stream), 0);
    mmal().record().fail("mmal_port_disable");
    mmal().record().clear();
    SimPi::instance().bus().clear_log();
    EXPECT_EQ(CloseSensor(0), -1);
    // The sensor was stopped before the port was tried.
    EXPECT_EQ(SimPi::instance().bus().log(), (Calls{"10 W 01 00 00"}));
    EXPECT_EQ(calls(), (Calls{"mmal_port_disable(vc.ril.rawcam:out:0) = 7"}));
    EXPECT_EQ(mmal().live_components(), 3);
    EXPECT_EQ(mmal().live_pools(), 1);
}

struct Format {
    std::string rawbit; // the RAWBIT line, if any
    int bits;           // what the sensor sends
    std::uint32_t image_id;
    const char *encoding;
};

class CapFormatTest : public CapTest, public testing::WithParamInterface<Format> {};

TEST_P(CapFormatTest, ReceiverFollowsTheInitFile)
{
    const Format &format = GetParam();
    mmal().receiver().set_config([] {
        auto config = SimPi::instance().mmal().receiver().config();
        config.decode = MMAL_CAMERA_RX_CONFIG_DECODE_DPCM8TO10;
        config.unpack = MMAL_CAMERA_RX_CONFIG_UNPACK_10;
        config.pack = MMAL_CAMERA_RX_CONFIG_PACK_RAW12;
        config.embedded_data_lines = 2;
        config.encode_block_length = 7;
        return config;
    }());
    Stream stream;
    stream.width = 1928;
    stream.height = 1090;
    stream.bits = format.bits;
    stream.streaming = false;
    stream.settings = "WIDTH 1928\nHEIGHT 1090\nDATA_LANES 4\n" + format.rawbit;
    ASSERT_EQ(open(stream), 0);
    auto config = mmal().receiver().config();
    EXPECT_EQ(config.image_id, format.image_id);
    EXPECT_EQ(config.data_lanes, 4u);
    EXPECT_EQ(config.unpack, MMAL_CAMERA_RX_CONFIG_UNPACK_NONE);
    EXPECT_EQ(config.pack, MMAL_CAMERA_RX_CONFIG_PACK_NONE);
    EXPECT_EQ(config.decode, MMAL_CAMERA_RX_CONFIG_DECODE_DPCM8TO10);
    EXPECT_EQ(config.embedded_data_lines, 2u);
    EXPECT_EQ(config.encode_block_length, 7u);
    Calls made = calls();
    EXPECT_EQ(made.at(11), std::string("mmal_port_format_commit(vc.ril.rawcam:out:0 ") +
                               format.encoding + " 1936x1104 crop 0,0 1928x1090) = 0");
    std::uint32_t line = format.bits == 12 ? 2904 : 2420; // 1936 samples packed
    EXPECT_EQ(made.at(13), "mmal_port_pool_create(vc.ril.rawcam:out:0 3x" +
                               std::to_string(line * 1104) + ") = 0");
    EXPECT_EQ(CloseSensor(0), 0);
}

INSTANTIATE_TEST_SUITE_P(RawBit, CapFormatTest,
                         testing::Values(Format{"RAWBIT 12\n", 12, 0x2C, "pB12"},
                                         Format{"", 10, 0x2B, "pBAA"},
                                         Format{"RAWBIT 10\n", 10, 0x2B, "pBAA"},
                                         Format{"rawbit 12\n", 10, 0x2B, "pBAA"}));

// A depth the receiver cannot deliver ends the open at its line, before the receiver is set up
// or any buffer is made.
class CapRefusedDepthTest : public CapTest, public testing::WithParamInterface<int> {};

TEST_P(CapRefusedDepthTest, EndsTheOpenBeforeTheReceiverIsSetUp)
{
    Stream stream;
    stream.settings = "WIDTH 64\nHEIGHT 16\nRAWBIT " + std::to_string(GetParam()) + "\n";
    std::string path = dir.write("init.txt", stream.text());
    capture_stderr();
    {
        tolva::test::CatchFatal catching;
        EXPECT_THROW(OpenSensor(path.c_str()), tolva::test::FatalExit);
    }
    EXPECT_EQ(captured_stderr(), path + ":3: RAWBIT " + std::to_string(GetParam()) +
                                     " is not a depth the receiver delivers (10 or 12)\n");
    for (const std::string &call : calls())
        EXPECT_EQ(call.find("mmal_port_parameter_set"), std::string::npos) << call;
    EXPECT_EQ(mmal().live_pools(), 0);
    EXPECT_TRUE(SimPi::instance().bus().log().empty());
}

INSTANTIATE_TEST_SUITE_P(RawBit, CapRefusedDepthTest, testing::Values(8, 14, 16));

TEST_F(CapTest, DataLanesDefaultToTwo)
{
    Stream stream;
    stream.streaming = false;
    stream.settings = "WIDTH 64\nHEIGHT 16\n";
    ASSERT_EQ(open(stream), 0);
    EXPECT_EQ(mmal().receiver().config().data_lanes, 2u);
    EXPECT_EQ(CloseSensor(0), 0);
}

TEST_F(CapTest, FrameIsHandedOverOnce)
{
    Stream stream;
    stream.fps = 20; // 50 ms between frames: a second read at once finds none
    ASSERT_EQ(open(stream), 0);
    const long long first = frame_number(read_frame(stream), stream);
    // A reader paused between the two reads may find a newer frame, never the same one again.
    std::vector<unsigned char> raw(static_cast<std::size_t>(stream.frame_bytes()));
    if (ReadRAW(raw.data()) == 1) {
        EXPECT_GT(frame_number(unpack_reference(raw.data(), stream.width, stream.height,
                                                stream.bits, stream.line_bytes()),
                               stream),
                  first);
    }
    EXPECT_EQ(CloseSensor(0), 0);
}

// Live view reads the newest frame, the ones before it dropped and counted; the frames after it
// still wait, so a recording switched on then goes on from it without a gap.
TEST_F(CapTest, LiveViewReadsTheNewestFrameAndARecordingGoesOnFromIt)
{
    Stream stream;
    stream.fps = 20; // 50 ms between frames: none arrives between a wait and the read after it
    ASSERT_EQ(open(stream), 0);
    auto &receiver = mmal().receiver();
    ASSERT_TRUE(wait_for([&] { return receiver.frames_delivered() >= 5; }));
    const long long newest = frame_number(read_frame(stream), stream);
    EXPECT_GE(newest, 4);
    EXPECT_EQ(GetFrameGap(), newest) << "every frame before it was dropped";
    EXPECT_GE(GetDropCount(), newest);
    ASSERT_TRUE(wait_for(
        [&] { return receiver.frames_delivered() >= static_cast<std::uint64_t>(newest) + 5; }));
    BufferFrames(1);
    for (long long expected = newest + 1; expected <= newest + 4; ++expected) {
        EXPECT_EQ(frame_number(read_frame(stream), stream), expected);
        EXPECT_EQ(GetFrameGap(), 0);
    }
    EXPECT_EQ(CloseSensor(0), 0);
}

TEST_F(CapTest, WhileRecordingFramesWaitOldestFirstEachOnce)
{
    Stream stream;
    ASSERT_EQ(open(stream), 0);
    BufferFrames(1);
    auto &receiver = mmal().receiver();
    timeval seen_first, reading, received, first, before{0, 0};
    ASSERT_TRUE(wait_for([&] { return receiver.frames_delivered() >= 1; }));
    gettimeofday(&seen_first, nullptr);
    ASSERT_TRUE(wait_for([&] { return receiver.frames_delivered() >= 10; }));
    gettimeofday(&reading, nullptr);
    for (long long expected = 0; expected < 10; ++expected) {
        EXPECT_EQ(frame_number(read_frame(stream), stream), expected);
        EXPECT_EQ(GetFrameGap(), 0);
        // Each frame keeps the time it was received, in order, before it was read.
        GetFrameTime(&received);
        EXPECT_TRUE(timercmp(&before, &received, <));
        EXPECT_TRUE(timercmp(&received, &reading, <));
        before = received;
        if (expected == 0)
            first = received;
    }
    EXPECT_EQ(GetDropCount(), 0);
    // The first one's time is from before the test saw it arrive, not from its reading.
    EXPECT_FALSE(timercmp(&first, &seen_first, >));
    EXPECT_EQ(CloseSensor(0), 0);
}

// Back in live view the window gets the newest frame at once; the frames skipped are lost.
TEST_F(CapTest, EndOfRecordingKeepsOnlyTheNewestFrameWaiting)
{
    Stream stream;
    stream.fps = 20; // 50 ms between frames: none arrives between the switch and the read
    ASSERT_EQ(open(stream), 0);
    BufferFrames(1);
    auto &receiver = mmal().receiver();
    ASSERT_TRUE(wait_for([&] { return receiver.frames_delivered() >= 4; }));
    BufferFrames(0);
    long long newest = frame_number(read_frame(stream), stream);
    EXPECT_GE(newest, 3);
    EXPECT_EQ(GetFrameGap(), newest);
    EXPECT_GE(GetDropCount(), newest);
    EXPECT_EQ(CloseSensor(0), 0);
}

// Beyond the hand-over's capacity the newest frames are dropped: the frames waiting stay in
// order, and the count of lost frames is the gap the next frame shows.
TEST_F(CapTest, FramesBeyondTheHandOverAreDroppedAndCounted)
{
    Stream stream;
    stream.fps = 400;
    ASSERT_EQ(open(stream), 0);
    BufferFrames(1);
    const int held = GetHeldFrames();
    ASSERT_EQ(held, 64) << "small frames: the frame limit, not the byte limit";
    auto &receiver = mmal().receiver();
    ASSERT_TRUE(wait_for([&] { return receiver.frames_delivered() >= held + 20u; }));
    // Frame 0 waited in live view, and the frames that came before the hand-over began to hold
    // them were dropped (on a slow machine, an emulator, there may be some); from the first one
    // held on, the hand-over fills up in order.
    read_frame(stream);
    const long long first = frame_number(read_frame(stream), stream);
    for (long long expected = first + 1; expected < first + held - 1; ++expected)
        ASSERT_EQ(frame_number(read_frame(stream), stream), expected);
    long long next = frame_number(read_frame(stream), stream);
    EXPECT_GE(next, held + 20);
    EXPECT_EQ(GetFrameGap(), next - (first + held - 1));
    EXPECT_GE(GetDropCount(), GetFrameGap());
    EXPECT_EQ(CloseSensor(0), 0);
}

// Frames the receiver finished without a free buffer never reach the callback: their time
// stamps' gap counts them, also among the very first frames, before the sensor's step is known.
struct Starved {
    std::uint64_t first;
    std::uint64_t frames;
};

class CapStarvedTest : public CapTest, public testing::WithParamInterface<Starved> {};

TEST_P(CapStarvedTest, FramesWithoutAFreeBufferAreCountedFromTheTimeStamps)
{
    const Starved &starved = GetParam();
    mmal().receiver().starve(starved.first, starved.frames);
    Stream stream;
    ASSERT_EQ(open(stream), 0);
    BufferFrames(1);
    long long last = -1, gaps = 0, counted = 0;
    while (last < static_cast<long long>(starved.first + starved.frames) + 3) {
        long long number = frame_number(read_frame(stream), stream);
        ASSERT_GT(number, last);
        gaps += number - last - 1;
        counted += GetFrameGap();
        last = number;
    }
    EXPECT_EQ(gaps, static_cast<long long>(starved.frames));
    EXPECT_EQ(counted, gaps);
    EXPECT_EQ(GetDropCount(), gaps);
    EXPECT_EQ(CloseSensor(0), 0);
}

INSTANTIATE_TEST_SUITE_P(Gaps, CapStarvedTest,
                         testing::Values(Starved{5, 1}, Starved{5, 7}, Starved{1, 1}, Starved{1, 3},
                                         Starved{2, 2}),
                         [](const testing::TestParamInfo<Starved> &info) {
                             return std::to_string(info.param.frames) + "_from_frame_" +
                                    std::to_string(info.param.first);
                         });

TEST_F(CapTest, RecordOfCallsStaysFlatWhileFramesFlow)
{
    Stream stream;
    stream.fps = 1000;
    ASSERT_EQ(open(stream), 0);
    std::size_t calls_at_start = mmal().record().calls().size();
    ASSERT_TRUE(wait_for([&] { return mmal().receiver().frames_delivered() >= 50; }));
    EXPECT_EQ(mmal().record().calls().size(), calls_at_start);
    EXPECT_GE(mmal().record().traffic("mmal_port_send_buffer"), 50u);
    EXPECT_EQ(CloseSensor(0), 0);
}

// Of two lines without a value the DATA_LANES one is named: the lanes are scanned first.
TEST_F(CapTest, ReceiverSetUpScansTheLanesBeforeTheBitDepth)
{
    Stream stream;
    stream.settings = "WIDTH 64\nHEIGHT 16\nRAWBIT\nDATA_LANES\n";
    std::string path = dir.write("init.txt", stream.text());
    EXPECT_EXIT(OpenSensor(path.c_str()), testing::ExitedWithCode(1),
                tolva::test::exactly(path + ":4: DATA_LANES has no value\n"));
}

// The hand-over is allocated after the sensor was programmed: when it cannot be had, the open
// fails with the allocator's message (and the close stops the sensor) instead of waiting for
// frames that cannot come.
TEST_F(CapTest, HandOverThatCannotBeAllocatedFailsTheOpen)
{
    if (tolva::test::kAddressSanitizer || tolva::test::kThreadSanitizer)
        GTEST_SKIP() << "the sanitizers' allocators do not fail under an address space limit";
    if (std::getenv("TOLVA_EMULATOR"))
        GTEST_SKIP() << "qemu-user keeps its own address space limit";
    Stream stream; // the largest sensor: a hand-over of eight 18 MB frames
    stream.width = 4056;
    stream.height = 3040;
    stream.bits = 12;
    std::string path = dir.write("init.txt", stream.text());
    auto limited_open = [&] {
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = mapped_bytes() + (rlim_t{64} << 20);
        setrlimit(RLIMIT_AS, &limit);
        tolva::test::capture_stdout();
        int status = OpenSensor(path.c_str());
        tolva::test::captured_stdout();
        int closed = CloseSensor(status);
        bool stopped = SimPi::instance().bus().log().back() == "10 W 01 00 00";
        std::exit(status == -3 && closed == 0 && stopped ? 0 : 1);
    };
    EXPECT_EXIT(limited_open(), testing::ExitedWithCode(0),
                tolva::test::exactly("malloc error: Cannot allocate memory\n"));
}

TEST_F(CapTest, SideInformationIsPassedBackUntouched)
{
    mmal().receiver().inject_side_info();
    Stream stream;
    capture_stderr();
    ASSERT_EQ(open(stream), 0);
    EXPECT_EQ(frame_number(read_frame(stream), stream), 0);
    EXPECT_EQ(CloseSensor(0), 0);
    EXPECT_EQ(captured_stderr(), "");
}

TEST_F(CapTest, LengthMismatchIsReportedForEveryFrameAndNeverOverrunsRawBuf)
{
    Knobs knobs;
    knobs.line_align = 32; // lines of 96 bytes: a frame of 1536 bytes for the packed BUFSIZ 1280
    SimPi::reset(knobs);
    Stream stream;
    stream.fps = 200;
    capture_stderr();
    ASSERT_EQ(open(stream), 0);
    std::vector<unsigned char> raw(1280);
    ASSERT_TRUE(wait_for([&] { return mmal().receiver().frames_delivered() >= 4; }));
    ASSERT_TRUE(wait_for([&] { return ReadRAW(raw.data()) == 1; }));
    EXPECT_EQ(CloseSensor(0), 0);
    std::string messages = captured_stderr();

    std::istringstream lines(messages);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line, "BUFSIZ@callback = 1536");
        ++count;
    }
    EXPECT_GE(count, 4);
    // The frame is cut to RawBuf: its first 1280 bytes, 13 whole lines, every sample consistent.
    auto samples = unpack_reference(raw.data(), 64, 13, 10, 96);
    unsigned first = samples[0];
    for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 64; ++x)
            ASSERT_EQ(samples[static_cast<std::size_t>(y) * 64 + x], (first + x + y) & 1023u);
}

TEST_F(CapTest, ShorterFrameIsCopiedWholeAndReported)
{
    Stream stream;
    stream.bufsiz = 1400; // room for line fill the receiver does not add
    capture_stderr();
    ASSERT_EQ(open(stream), 0);
    std::vector<unsigned char> raw(1400);
    ASSERT_TRUE(wait_for([&] { return ReadRAW(raw.data()) == 1; }));
    EXPECT_EQ(CloseSensor(0), 0);
    EXPECT_EQ(captured_stderr().rfind("BUFSIZ@callback = 1280\n", 0), 0u);
    auto samples = unpack_reference(raw.data(), 64, 16, 10, 80);
    EXPECT_EQ(frame_number(samples, stream), samples[0]);
}

TEST_F(CapTest, NothingArrivesWhenTheReceiverDoesNotMatchTheSensor)
{
    Stream stream;
    stream.fps = 1000;
    stream.settings = "WIDTH 64\nHEIGHT 16\nBUFSIZ 1280\nDATA_LANES 4\n"; // the sensor sends on 2
    ASSERT_EQ(open(stream), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::vector<unsigned char> raw(1280);
    EXPECT_EQ(ReadRAW(raw.data()), 0);
    EXPECT_EQ(mmal().receiver().frames_delivered(), 0u);
    EXPECT_EQ(CloseSensor(0), 0);
}

// Readers at full speed and slowed down (each frame held until the sensor has lost one, however
// fast the machine is): every frame handed over is one whole frame, they come in the order the
// sensor made them, each once, and every frame between two of them is counted as lost, no more,
// no less.
class CapStressTest : public CapTest, public testing::WithParamInterface<bool> {};

TEST_P(CapStressTest, EveryHandedOverFrameIsWholeAndEveryGapCounted)
{
    const bool slow = GetParam();
    const int frames = slow ? 300 : 2000;
    Stream stream; // frames long enough that a copy takes a while: 96 KiB
    stream.width = 2048;
    stream.height = 32;
    stream.bits = 12;
    stream.fps = 2000;
    ASSERT_EQ(open(stream), 0);
    BufferFrames(1);
    std::vector<unsigned char> raw(static_cast<std::size_t>(stream.frame_bytes()));
    long long last = -1;
    int whole = 0;
    long long gaps = 0, counted = 0;
    for (int taken = 0; taken < frames;) {
        if (ReadRAW(raw.data()) == 0) {
            std::this_thread::yield();
            continue;
        }
        ++taken;
        auto samples = unpack_reference(raw.data(), stream.width, stream.height, 12,
                                        static_cast<std::size_t>(stream.line_bytes()));
        long long number = frame_number(samples, stream);
        whole += number >= 0;
        if (number >= 0 && last >= 0) {
            number = last + ((number - last) & 0xFFF); // the counter wraps at 4096
            EXPECT_GT(number, last) << "a frame was handed over twice or out of order";
            gaps += number - last - 1;
            counted += GetFrameGap();
        }
        last = number;
        const int dropped = GetDropCount();
        while (slow && GetDropCount() == dropped)
            std::this_thread::yield();
    }
    EXPECT_EQ(CloseSensor(0), 0);
    EXPECT_EQ(whole, frames);
    EXPECT_EQ(counted, gaps);
    EXPECT_GE(GetDropCount(), counted);
    if (slow) {
        EXPECT_GT(gaps, 0) << "a reader slower than the sensor loses frames";
    }
}

INSTANTIATE_TEST_SUITE_P(Readers, CapStressTest, testing::Bool());

} // namespace
