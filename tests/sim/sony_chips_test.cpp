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

struct Case {
    const char *name;
    const char *chip;
    double clock_mhz;                                         // the module's input clock
    const char *file;                                         // one of the shipped Sony files
    std::vector<std::pair<std::uint16_t, std::uint8_t>> then; // register writes after it
    bool streams;
    int width, height, bits, lanes;
    double fps; // 0: no frames
    int pattern;
};

constexpr int kBars = tolva::sim::test_pattern::kColourBars;
constexpr int kSolid = tolva::sim::test_pattern::kSolidColour;
constexpr int kPatternLevel = 0x123;
const char k1080[] = "imx290_1920x1080_raw12_37mhz.txt";
const char k720[] = "imx290_1280x720_raw10_74mhz.txt";
const char k296[] = "imx296_1456x1088_raw10.txt";
constexpr double k296Fps = 74.25e6 / (1100 * 1118);

class SonyChips : public testing::TestWithParam<Case> {};

TEST_P(SonyChips, RegistersDecideTheFrame)
{
    const Case &c = GetParam();
    Knobs knobs;
    knobs.sensor_chip = c.chip;
    knobs.sensor_clock_mhz = c.clock_mhz;
    SimPi &pi = SimPi::reset(knobs);
    pi.set_pauses_skipped(true);
    std::string path = source_path(std::string("sensors/real/") + c.file);
    int width = 0, height = 0, bufsiz = 0;
    tolva::test::capture_stdout();
    ASSERT_EQ(InitSensor(path.c_str(), &width, &height, &bufsiz), 0);
    tolva::test::captured_stdout();
    for (auto [reg, value] : c.then)
        Set1Byte(reg, value);

    // The shutter line the file names, written low byte first through the `w` suffix.
    bool imx296 = std::string(c.chip) == "imx296";
    std::uint16_t shs1 = imx296 ? tolva::sim::imx296::kShs1 : tolva::sim::imx290::kShs1;
    EXPECT_EQ(pi.sensor().reg16le(shs1), imx296 ? 14 : 1);
    EXPECT_EQ(pi.sensor().reg8(static_cast<std::uint16_t>(shs1 + 2)), 0);

    StreamSettings s = pi.sensor().stream_settings();
    EXPECT_EQ(s.streaming, c.streams);
    EXPECT_EQ(s.width, c.width);
    EXPECT_EQ(s.height, c.height);
    EXPECT_EQ(s.bits, c.bits);
    EXPECT_EQ(s.lanes, c.lanes);
    if (c.fps == 0) {
        EXPECT_EQ(s.frame_interval_s, 0);
    } else {
        EXPECT_NEAR(1 / s.frame_interval_s, c.fps, c.fps * 1e-6);
    }
    EXPECT_EQ(s.test_pattern, c.pattern);
    if (c.pattern == kSolid) {
        EXPECT_EQ(s.test_data[0], kPatternLevel);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, SonyChips,
    testing::Values(
        Case{"imx290_1080p", "imx290", 37.125, k1080, {}, true, 1920, 1080, 12, 2, 60, 0},
        Case{"imx462_720p", "imx462", 74.25, k720, {}, true, 1280, 720, 10, 2, 60, 0},
        Case{"standby", "imx290", 37.125, k1080, {{0x3000, 1}}, false, 1920, 1080, 12, 2, 60, 0},
        Case{"master_stopped",
             "imx290",
             37.125,
             k1080,
             {{0x3002, 1}},
             false,
             1920,
             1080,
             12,
             2,
             60,
             0},
        Case{"colour_bars",
             "imx327",
             37.125,
             k1080,
             {{0x308C, 0x33}},
             true,
             1920,
             1080,
             12,
             2,
             60,
             kBars},
        Case{"vmax_doubled",
             "imx290",
             37.125,
             k1080,
             {{0x3019, 0x08}, {0x3018, 0xCA}},
             true,
             1920,
             1080,
             12,
             2,
             30,
             0},
        Case{"other_input_clock", "imx290", 74.25, k1080, {}, true, 1920, 1080, 12, 2, 0, 0},
        Case{"line_too_short",
             "imx290",
             37.125,
             k1080,
             {{0x301D, 0x07}},
             true,
             1920,
             1080,
             12,
             2,
             0,
             0},
        Case{"half_speed_readout",
             "imx290",
             37.125,
             k1080,
             {{0x3009, 0x02}},
             true,
             1920,
             1080,
             12,
             2,
             0,
             0},
        Case{"lane_registers_differ",
             "imx290",
             37.125,
             k1080,
             {{0x3443, 0x03}},
             true,
             1920,
             1080,
             12,
             0,
             60,
             0},
        Case{"raw12_type_10_bit_output",
             "imx290",
             37.125,
             k1080,
             {{0x3046, 0x00}},
             true,
             1920,
             1080,
             0,
             2,
             60,
             0},
        Case{"window_and_size_differ",
             "imx290",
             37.125,
             k1080,
             {{0x3007, 0x10}},
             true,
             0,
             0,
             12,
             2,
             0,
             0},
        Case{"imx296", "imx296", 54, k296, {}, true, 1456, 1088, 10, 1, k296Fps, 0},
        Case{"imx296_standby",
             "imx296",
             54,
             k296,
             {{0x3000, 1}},
             false,
             1456,
             1088,
             10,
             1,
             k296Fps,
             0},
        Case{"imx296_master_stopped",
             "imx296",
             54,
             k296,
             {{0x300A, 1}},
             false,
             1456,
             1088,
             10,
             1,
             k296Fps,
             0},
        Case{"imx296_csi2_output_off",
             "imx296",
             54,
             k296,
             {{0x3005, 0}},
             false,
             1456,
             1088,
             10,
             1,
             k296Fps,
             0},
        Case{"imx296_pattern",
             "imx296",
             54,
             k296,
             {{0x3244, 0x23}, {0x3245, 0x01}, {0x3238, 5}},
             true,
             1456,
             1088,
             10,
             1,
             k296Fps,
             kSolid},
        Case{"imx296_binned_crop",
             "imx296",
             54,
             k296,
             {{0x3300, 3}, {0x3314, 0}, {0x3315, 4}, {0x3316, 0}, {0x3317, 2}, {0x300D, 0x22}},
             true,
             512,
             256,
             10,
             1,
             k296Fps,
             0},
        Case{
            "imx296_other_input_clock", "imx296", 37.125, k296, {}, true, 1456, 1088, 10, 1, 0, 0}),
    [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

} // namespace
