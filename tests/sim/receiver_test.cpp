// Tests of the simulated camera receiver through the MMAL calls: delivery only on a matching
// link, buffers handed back at disable, drops, frame lengths.
#include "ccs_chip.h"
#include "output_capture.h"
#include "sim_pi.h"

#include "interface/mmal/mmal.h"
#include "interface/mmal/util/mmal_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

using namespace tolva::sim;

namespace {

// What the test's callback saw; the callback keeps buffers unless `recycle` is set.
struct Seen {
    std::mutex mutex;
    std::vector<MMAL_BUFFER_HEADER_T *> kept;
    std::vector<std::thread::id> threads;
    std::vector<std::uint32_t> lengths;
    std::atomic<int> calls{0};
    std::atomic<bool> recycle{false};
};
Seen *seen;

void keep(MMAL_PORT_T *port, MMAL_BUFFER_HEADER_T *buffer)
{
    {
        std::lock_guard<std::mutex> lock(seen->mutex);
        seen->threads.push_back(std::this_thread::get_id());
        seen->lengths.push_back(buffer->length);
        if (!seen->recycle || !port->is_enabled)
            seen->kept.push_back(buffer);
    }
    ++seen->calls;
    if (seen->recycle && port->is_enabled)
        mmal_port_send_buffer(port, buffer);
}

class ReceiverTest : public testing::Test {
protected:
    void SetUp() override
    {
        seen = &state;
        SimPi::reset(knobs);
    }
    void TearDown() override
    {
        if (pool) {
            if (output->is_enabled)
                mmal_port_disable(output);
            mmal_port_pool_destroy(output, pool);
        }
        if (rawcam)
            mmal_component_destroy(rawcam);
    }

    void reg(std::uint16_t address, std::uint16_t value, int bytes = 2)
    {
        std::uint8_t data[4] = {static_cast<std::uint8_t>(address >> 8),
                                static_cast<std::uint8_t>(address),
                                static_cast<std::uint8_t>(bytes == 2 ? value >> 8 : value),
                                static_cast<std::uint8_t>(value)};
        SimPi::instance().sensor().write(data, static_cast<std::size_t>(2 + bytes));
    }

    // Sensor: width x height RAW10 on 2 lanes at 1000 frames a second (840 MHz model rate).
    void program_sensor(int width, int height, bool streaming)
    {
        reg(ccs::kCsiDataFormat, 0x0A0A);
        reg(ccs::kCsiLaneMode, 1, 1);
        reg(ccs::kXOutputSize, static_cast<std::uint16_t>(width));
        reg(ccs::kYOutputSize, static_cast<std::uint16_t>(height));
        reg(ccs::kLineLengthPck, 840);
        reg(ccs::kFrameLengthLines, 1000);
        reg(ccs::kModeSelect, streaming ? 1 : 0, 1);
    }

    // The receiver's output port set up for a width x height RAW10 format, buffers sent.
    void open_port(int width, int height)
    {
        ASSERT_EQ(mmal_component_create("vc.ril.rawcam", &rawcam), MMAL_SUCCESS);
        output = rawcam->output[0];
        output->format->encoding = MMAL_ENCODING_BAYER_SBGGR10P;
        output->format->es->video.width = static_cast<std::uint32_t>(width);
        output->format->es->video.height = static_cast<std::uint32_t>(height);
        output->format->es->video.crop.width = width;
        output->format->es->video.crop.height = height;
        ASSERT_EQ(mmal_port_format_commit(output), MMAL_SUCCESS);
        pool = mmal_port_pool_create(output, output->buffer_num, output->buffer_size);
        ASSERT_TRUE(pool);
        ASSERT_EQ(mmal_port_enable(output, keep), MMAL_SUCCESS);
        for (std::uint32_t i = 0; i < output->buffer_num; ++i)
            ASSERT_EQ(mmal_port_send_buffer(output, mmal_queue_get(pool->queue)), MMAL_SUCCESS);
    }

    static bool wait_for_calls(int calls)
    {
        for (int i = 0; i < 5000 && seen->calls < calls; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return seen->calls >= calls;
    }

    // The first frame's length, read under the callback's lock: the receiver may still deliver.
    std::uint32_t first_length()
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        return state.lengths.at(0);
    }

    Knobs knobs;
    Seen state;
    MMAL_COMPONENT_T *rawcam = nullptr;
    MMAL_PORT_T *output = nullptr;
    MMAL_POOL_T *pool = nullptr;
};

TEST_F(ReceiverTest, CommitRecommendsBuffersForTheWholeVideoFrame)
{
    open_port(1936, 1104);
    EXPECT_EQ(output->buffer_num, 3u);
    EXPECT_EQ(output->buffer_size, 2420u * 1104);
    EXPECT_EQ(pool->headers_num, 3u);
    EXPECT_EQ(pool->header[0]->alloc_size, 2420u * 1104);
}

TEST_F(ReceiverTest, DisableHandsBackHeldBuffersOnTheCallingThread)
{
    program_sensor(64, 16, false);
    open_port(64, 16);
    ASSERT_EQ(mmal_port_disable(output), MMAL_SUCCESS);
    EXPECT_EQ(output->is_enabled, 0u);
    EXPECT_EQ(state.calls, 3);
    for (auto id : state.threads)
        EXPECT_EQ(id, std::this_thread::get_id());
    EXPECT_EQ(mmal_port_send_buffer(output, state.kept[0]), MMAL_EINVAL);
    for (auto *buffer : state.kept)
        mmal_buffer_header_release(buffer);
    int free_buffers = 0;
    while (mmal_queue_get(pool->queue))
        ++free_buffers;
    EXPECT_EQ(free_buffers, 3);
}

TEST_F(ReceiverTest, NoCallbackRunsAfterDisableReturns)
{
    state.recycle = true;
    program_sensor(64, 16, true);
    open_port(64, 16);
    ASSERT_TRUE(wait_for_calls(20));
    ASSERT_EQ(mmal_port_disable(output), MMAL_SUCCESS);
    int calls = state.calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(state.calls, calls);
    EXPECT_EQ(state.kept.size(), 3u) << "every buffer came back at disable";
}

TEST_F(ReceiverTest, FramesWithNoFreeBufferAreDroppedAndCounted)
{
    program_sensor(64, 16, true);
    open_port(64, 16);
    auto &receiver = SimPi::instance().mmal().receiver();
    for (int i = 0; i < 5000 && receiver.frames_dropped() < 5; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(receiver.frames_dropped(), 5u);
    EXPECT_EQ(receiver.frames_delivered(), 3u);
    EXPECT_EQ(state.lengths, (std::vector<std::uint32_t>{1280, 1280, 1280}));
}

TEST_F(ReceiverTest, NothingArrivesOnAMismatchedLink)
{
    program_sensor(64, 16, true);
    reg(ccs::kCsiDataFormat, 0x0C0C); // RAW12 against the receiver's RAW10 image id
    open_port(64, 16);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(state.calls, 0);
    reg(ccs::kCsiDataFormat, 0x0A0A);
    reg(ccs::kCsiLaneMode, 3, 1); // four lanes against two
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(state.calls, 0);
    reg(ccs::kCsiLaneMode, 1, 1);
    EXPECT_TRUE(wait_for_calls(1));
}

TEST_F(ReceiverTest, FrameLengthIsTheSensorsWithLineFill)
{
    knobs.line_align = 32;
    SimPi::reset(knobs);
    program_sensor(64, 16, true); // 80 bytes a line, filled to 96
    open_port(64, 16);
    ASSERT_TRUE(wait_for_calls(1));
    EXPECT_EQ(first_length(), 96u * 16);
}

TEST_F(ReceiverTest, FrameLongerThanTheBufferIsCutToIt)
{
    program_sensor(64, 40, true);
    open_port(64, 16);
    ASSERT_TRUE(wait_for_calls(1));
    EXPECT_EQ(first_length(), output->buffer_size);
}

// The environment's board, taken out for a test's duration and put back after it.
class WithoutBoardInEnvironment {
public:
    WithoutBoardInEnvironment()
    {
        if (const char *board = getenv(kBoard)) {
            saved_ = board;
            unsetenv(kBoard);
        }
    }
    ~WithoutBoardInEnvironment()
    {
        if (!saved_.empty())
            setenv(kBoard, saved_.c_str(), 1);
    }

private:
    static constexpr const char *kBoard = "TOLVA_SIM_BOARD_REVISION";
    std::string saved_;
};

// The knobs of the VideoCore receiver: a board of the current OS that a suite's run puts in the
// environment (the V4L2 runs) would give it no such receiver, so the test runs without it.
TEST(ReceiverKnobs, EnvironmentSetsTheSceneAndTheReceiverFaults)
{
    WithoutBoardInEnvironment no_board;
    const char *names[] = {"TOLVA_SIM_SEED",           "TOLVA_SIM_EVENT_RATE", "TOLVA_SIM_DRIFT",
                           "TOLVA_SIM_REPLAY",         "TOLVA_SIM_LINE_ALIGN", "TOLVA_SIM_FAULTS",
                           "TOLVA_SIM_RECEIVER_REPORT"};
    setenv("TOLVA_SIM_SEED", "42", 1);
    setenv("TOLVA_SIM_EVENT_RATE", "12.5", 1);
    setenv("TOLVA_SIM_DRIFT", "fast", 1);
    setenv("TOLVA_SIM_REPLAY", "/data/night.ser", 1);
    setenv("TOLVA_SIM_LINE_ALIGN", "32", 1);
    setenv("TOLVA_SIM_FAULTS", "rx-no-pool,rx-port-disable", 1);
    setenv("TOLVA_SIM_RECEIVER_REPORT", "1", 1);
    tolva::test::capture_stderr();
    Knobs knobs = Knobs::from_environment();
    std::string messages = tolva::test::captured_stderr();
    for (const char *name : names)
        unsetenv(name);
    EXPECT_EQ(knobs.seed, 42u);
    EXPECT_EQ(knobs.events_per_minute, 12.5);
    EXPECT_EQ(knobs.drift_per_minute, 0.0);
    EXPECT_EQ(messages, "simulated Pi: TOLVA_SIM_DRIFT=fast is not a number from -100000 to "
                        "100000; using 0\n");
    EXPECT_EQ(knobs.scene, "replay");
    EXPECT_EQ(knobs.replay_file, "/data/night.ser");
    EXPECT_EQ(knobs.line_align, 32);
    EXPECT_TRUE(knobs.rx_no_pool);
    EXPECT_TRUE(knobs.rx_port_disable_fails);
    EXPECT_TRUE(knobs.receiver_report);

    SimPi::reset(knobs);
    MMAL_COMPONENT_T *rawcam = nullptr;
    ASSERT_EQ(mmal_component_create("vc.ril.rawcam", &rawcam), MMAL_SUCCESS);
    EXPECT_EQ(mmal_port_pool_create(rawcam->output[0], 3, 1024), nullptr);
    EXPECT_EQ(mmal_port_disable(rawcam->output[0]), MMAL_EIO);
    mmal_component_destroy(rawcam);
}

} // namespace
