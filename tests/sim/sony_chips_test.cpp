// The Sony-map chip models: what each register a shipped init file writes means to them, and
// that the frame stops where a file gets one of those registers wrong.
#include "i2c.h"
#include "output_capture.h"
#include "sim_pi.h"
#include "sony_imx290.h"
#include "sony_imx296.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using tolva::sim::Knobs;
using tolva::sim::SimPi;
using tolva::sim::StreamSettings;
using tolva::test::source_path;

namespace {

// A chip with the module clock it runs on and the shipped file it is started with.
struct Setup {
    const char *chip;
    double clock_mhz;
    const char *file;
};
const Setup k290{"imx290", 37.125, "imx290_1920x1080_raw12_37mhz.txt"};
const Setup k290At74{"imx290", 74.25, "imx290_1920x1080_raw12_37mhz.txt"};
const Setup k327{"imx327", 37.125, "imx290_1920x1080_raw12_37mhz.txt"};
const Setup k462{"imx462", 74.25, "imx290_1280x720_raw10_74mhz.txt"};
const Setup k296{"imx296", 54, "imx296_1456x1088_raw10.txt"};
const Setup k296At37{"imx296", 37.125, "imx296_1456x1088_raw10.txt"};

// What the chip is to send.
struct Frame {
    bool streams;
    int width, height, bits, lanes;
    double fps; // 0: no frames
    int pattern;
};
constexpr int kBars = tolva::sim::test_pattern::kColourBars;
constexpr int kSolid = tolva::sim::test_pattern::kSolidColour;
constexpr int kPatternLevel = 0x123;
const Frame k1080p{true, 1920, 1080, 12, 2, 60, 0};
const Frame k720p{true, 1280, 720, 10, 2, 60, 0};
const Frame kGlobalShutter{true, 1456, 1088, 10, 1, 74.25e6 / (1100 * 1118), 0};

template <typename T> Frame but(Frame f, T Frame::*field, T value)
{
    f.*field = value;
    return f;
}
Frame stopped(Frame f) { return but(f, &Frame::streams, false); }
Frame no_frames(Frame f) { return but(f, &Frame::fps, 0.0); }

struct Case {
    const char *name;
    Setup setup;
    std::vector<std::pair<std::uint16_t, std::uint8_t>> then; // register writes after the file
    Frame frame;
};

class SonyChips : public testing::TestWithParam<Case> {};

TEST_P(SonyChips, RegistersDecideTheFrame)
{
    const Case &c = GetParam();
    Knobs knobs;
    knobs.sensor_chip = c.setup.chip;
    knobs.sensor_clock_mhz = c.setup.clock_mhz;
    SimPi &pi = SimPi::reset(knobs);
    pi.set_pauses_skipped(true);
    std::string path = source_path(std::string("sensors/real/") + c.setup.file);
    int width = 0, height = 0, bufsiz = 0;
    tolva::test::capture_stdout();
    ASSERT_EQ(InitSensor(path.c_str(), &width, &height, &bufsiz), 0);
    tolva::test::captured_stdout();
    for (auto [reg, value] : c.then)
        Set1Byte(reg, value);

    // The shutter line the file names, written low byte first through the `w` suffix.
    bool imx296 = std::string(c.setup.chip) == "imx296";
    std::uint16_t shs1 = imx296 ? tolva::sim::imx296::kShs1 : tolva::sim::imx290::kShs1;
    EXPECT_EQ(pi.sensor().reg16le(shs1), imx296 ? 14 : 1);
    EXPECT_EQ(pi.sensor().reg8(static_cast<std::uint16_t>(shs1 + 2)), 0);

    const Frame &f = c.frame;
    StreamSettings s = pi.sensor().stream_settings();
    EXPECT_EQ(s.streaming, f.streams);
    EXPECT_EQ(s.width, f.width);
    EXPECT_EQ(s.height, f.height);
    EXPECT_EQ(s.bits, f.bits);
    EXPECT_EQ(s.lanes, f.lanes);
    if (f.fps == 0) {
        EXPECT_EQ(s.frame_interval_s, 0);
    } else {
        EXPECT_NEAR(1 / s.frame_interval_s, f.fps, f.fps * 1e-6);
    }
    EXPECT_EQ(s.test_pattern, f.pattern);
    if (f.pattern == kSolid) {
        EXPECT_EQ(s.test_data[0], kPatternLevel);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, SonyChips,
    testing::Values(
        Case{"imx462_720p", k462, {}, k720p}, Case{"standby", k290, {{0x3000, 1}}, stopped(k1080p)},
        Case{"colour_bars", k327, {{0x308C, 0x33}}, but(k1080p, &Frame::pattern, kBars)},
        Case{"vmax_2250", k290, {{0x3019, 0x08}, {0x3018, 0xCA}}, but(k1080p, &Frame::fps, 30.0)},
        Case{"other_input_clock", k290At74, {}, no_frames(k1080p)},
        Case{"line_too_short", k290, {{0x301D, 0x07}}, no_frames(k1080p)},
        Case{"half_speed_readout", k290, {{0x3009, 0x02}}, no_frames(k1080p)},
        Case{"lane_registers_differ", k290, {{0x3443, 0x03}}, but(k1080p, &Frame::lanes, 0)},
        Case{"raw12_type_10_bit_output", k290, {{0x3046, 0}}, but(k1080p, &Frame::bits, 0)},
        Case{"window_and_size_differ", k290, {{0x3007, 0x10}}, Frame{true, 0, 0, 12, 2, 0, 0}},
        Case{"imx296_standby", k296, {{0x3000, 1}}, stopped(kGlobalShutter)},
        Case{"imx296_csi2_output_off", k296, {{0x3005, 0}}, stopped(kGlobalShutter)},
        Case{"imx296_pattern",
             k296,
             {{0x3244, 0x23}, {0x3245, 0x01}, {0x3238, 5}},
             but(kGlobalShutter, &Frame::pattern, kSolid)},
        Case{"imx296_binned_crop",
             k296,
             {{0x3300, 3}, {0x3314, 0}, {0x3315, 4}, {0x3316, 0}, {0x3317, 2}, {0x300D, 0x22}},
             Frame{true, 512, 256, 10, 1, kGlobalShutter.fps, 0}},
        Case{"imx296_other_input_clock", k296At37, {}, no_frames(kGlobalShutter)}),
    [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

} // namespace
