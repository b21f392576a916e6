// The capture pipeline with the sensors/simulated/ init files on the simulated Pi: frames handed
// over are exactly the frames the scene made.
#include "cap.h"
#include "i2c.h"
#include "output_capture.h"
#include "raw_reference.h"
#include "sim_pi.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using tolva::sim::Knobs;
using tolva::sim::SimPi;
using tolva::test::source_path;
using tolva::test::unpack_reference;

namespace {

struct SensorFile {
    const char *name;
    std::uint16_t model;
    int width, height, bits;
};

class SensorFileTest : public testing::TestWithParam<SensorFile> {};

constexpr int kFrames = 20;
// Under emulation (qemu-user) a 12-megapixel frame takes seconds to make and to check;
// so it does under ThreadSanitizer, for which a few frames show the hand-over as well as many.
constexpr int kFramesSlowed = 3;

int frames_to_take()
{
    return std::getenv("TOLVA_EMULATOR") || tolva::test::kThreadSanitizer ? kFramesSlowed : kFrames;
}

TEST_P(SensorFileTest, DeliversTheScenesFrames)
{
    const SensorFile &file = GetParam();
    Knobs knobs;
    knobs.sensor_model = file.model;
    knobs.events_per_minute = 600; // transients in a good share of the frames
    SimPi::reset(knobs);
    I2C_ADDRESS = 0x10;
    std::string path = source_path(std::string("sensors/simulated/") + file.name);
    tolva::test::capture_stdout();
    ASSERT_EQ(OpenSensor(path.c_str()), 0);
    tolva::test::captured_stdout();
    ASSERT_EQ(GetWidth(), file.width);
    ASSERT_EQ(GetHeight(), file.height);
    std::size_t stride = static_cast<std::size_t>(GetBufSiz() / GetHeight());
    ASSERT_EQ(stride, static_cast<std::size_t>(file.width * file.bits / 8));

    auto &receiver = SimPi::instance().mmal().receiver();
    std::vector<unsigned char> raw(static_cast<std::size_t>(GetBufSiz()));
    std::uint64_t next_candidate = 0;
    for (int taken = 0, wanted = frames_to_take(); taken < wanted;) {
        if (ReadRAW(raw.data()) == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            continue;
        }
        ++taken;
        auto samples = unpack_reference(raw.data(), file.width, file.height, file.bits, stride);
        auto source = receiver.source();
        ASSERT_TRUE(source);
        // The frame waiting was the first to finish after the last read: look from there on,
        // by its first line, then the whole frame.
        bool found = false;
        std::vector<std::uint16_t> line(static_cast<std::size_t>(file.width));
        for (std::uint64_t i = next_candidate; i < receiver.next_frame() && !found; ++i) {
            source->line(i, 0, line.data());
            if (std::equal(line.begin(), line.end(), samples.begin()) &&
                source->samples(i) == samples) {
                found = true;
                next_candidate = i + 1;
            }
        }
        ASSERT_TRUE(found) << "frame " << taken << " is not a frame of the scene";
    }
    EXPECT_EQ(CloseSensor(0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sensors, SensorFileTest,
    testing::Values(SensorFile{"sim_imx477_4056x3040_raw12.txt", 0x0477, 4056, 3040, 12},
                    SensorFile{"sim_imx477_2028x1520_raw12.txt", 0x0477, 2028, 1520, 12},
                    SensorFile{"sim_imx290_1920x1080_raw10.txt", 0x0290, 1920, 1080, 10},
                    SensorFile{"sim_imx219_3280x2464_raw10.txt", 0x0219, 3280, 2464, 10},
                    SensorFile{"sim_imx397_1440x1080_raw10_mono.txt", 0x0397, 1440, 1080, 10}),
    [](const testing::TestParamInfo<SensorFile> &info) {
        std::string name = info.param.name;
        return name.substr(0, name.find('.'));
    });

} // namespace
