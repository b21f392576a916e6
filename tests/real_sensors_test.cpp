// The init files of sensors/real/, each started as the program starts it, on its chip's model
// behind the board's receiver: header, registers and frames agree with what README's table of
// sensors claims.
#include "cap.h"
#include "chip_factory.h"
#include "i2c.h"
#include "output_capture.h"
#include "raw_reference.h"
#include "sim_pi.h"
#include "suite_board.h"
#include "test_pattern.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace tolva::sim;
using tolva::test::source_path;

namespace {

// One row of README's table.
struct RealSensorFile {
    const char *name;
    const char *chip;
    int width, height, bits, lanes;
    double fps;
    double clock_mhz = 0; // the module's input clock; 0: the chip's usual one
    // The named value that selects a test pattern, and the pattern (with its level) it gives.
    const char *pattern_value = "$TEST_PATTERN = 2";
    int pattern = test_pattern::kColourBars;
    int pattern_level = 0;
    const char *stream_on = "\n0x0100 0x01"; // the write that starts the stream
    int bayer = BAYER_RGGB;                  // the chip's filter order, flips off
};

void PrintTo(const RealSensorFile &file, std::ostream *out) { *out << file.name; }

// Unicam's line alignment, which the files' BUFSIZ follows; the V4L2 back end asks CFE (which
// aligns to 16) for the same.
constexpr int kReceiverAlign = 32;

class RealSensorFileTest : public testing::TestWithParam<RealSensorFile> {
protected:
    void SetUp() override
    {
        Knobs knobs = tolva::test::suite_knobs();
        knobs.sensor_chip = GetParam().chip;
        knobs.sensor_clock_mhz = GetParam().clock_mhz;
        knobs.line_align = kReceiverAlign;
        knobs.csi_lanes = GetParam().lanes; // the overlay set up for the module, as on a board
        SimPi &pi = SimPi::reset(knobs);
        pi.set_pauses_skipped(true);
        SetCameraBus(pi.camera_bus()); // the program's bring-up finds it so
    }

    std::string path() const { return source_path(std::string("sensors/real/") + GetParam().name); }
    std::string text() const { return tolva::test::read_file(path()); }
    // A copy of the file with this text in place of its own.
    std::string variant(const std::string &content) const
    {
        return dir_.write(GetParam().name, content);
    }

    int open(const std::string &file)
    {
        tolva::test::capture_stdout();
        int status = OpenSensor(file.c_str());
        tolva::test::captured_stdout();
        return status;
    }

    // The chip must stream what the receiver was set up for, or no frame would ever come.
    static void expect_stream(const StreamSettings &s, const RealSensorFile &f)
    {
        ASSERT_TRUE(s.streaming);
        ASSERT_EQ(s.bits, f.bits);
        ASSERT_EQ(s.lanes, f.lanes);
        ASSERT_GT(s.frame_interval_s, 0);
    }

    std::vector<unsigned char> next_frame()
    {
        std::vector<unsigned char> raw(static_cast<std::size_t>(GetBufSiz()));
        while (ReadRAW(raw.data()) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return raw;
    }

    tolva::test::ScratchDir dir_;
};

TEST_P(RealSensorFileTest, StreamsWhatItsHeaderSays)
{
    const RealSensorFile &f = GetParam();
    std::string file = path();
    ASSERT_EQ(open(file), 0);
    EXPECT_EQ(I2C_ADDRESS, find_chip_type(f.chip)->address);
    EXPECT_EQ(GetWidth(), f.width);
    EXPECT_EQ(GetHeight(), f.height);
    EXPECT_EQ(check_rawbit(file.c_str()), f.bits);
    EXPECT_EQ(check_lanes(file.c_str()), f.lanes);
    EXPECT_EQ(check_bayer(file.c_str()), f.bayer);
    int stride = (f.width * f.bits / 8 + kReceiverAlign - 1) / kReceiverAlign * kReceiverAlign;
    EXPECT_EQ(GetBufSiz(), stride * f.height);

    StreamSettings s = SimPi::instance().sensor().stream_settings();
    ASSERT_NO_FATAL_FAILURE(expect_stream(s, f));
    EXPECT_EQ(s.width, f.width);
    EXPECT_EQ(s.height, f.height);
    EXPECT_EQ(s.test_pattern, 0);
    EXPECT_EQ(s.bayer, f.bayer);
    EXPECT_NEAR(1 / s.frame_interval_s, f.fps, f.fps / 100);

    // The echo line names the same mode.
    std::smatch echo;
    std::string all = text();
    ASSERT_TRUE(std::regex_search(all, echo,
                                  std::regex("\n@ (\\w+) (\\d+)x(\\d+) RAW(\\d+) ([0-9.]+)fps\n")));
    EXPECT_EQ(echo[1], f.chip);
    EXPECT_EQ(std::stoi(echo[2]), f.width);
    EXPECT_EQ(std::stoi(echo[3]), f.height);
    EXPECT_EQ(std::stoi(echo[4]), f.bits);
    EXPECT_NEAR(std::stod(echo[5]), f.fps, f.fps / 100);

    next_frame(); // frames arrive through the receiver at the file's line length
    EXPECT_EQ(CloseSensor(0), 0);
    // The program's end leaves the chip stopped, whatever register stops it.
    EXPECT_FALSE(SimPi::instance().sensor().stream_settings().streaming);
}

TEST_P(RealSensorFileTest, SendsTheTestPatternItsNamedValueSelects)
{
    const RealSensorFile &f = GetParam();
    // The first definition of a name wins, so one put first overrides the file's own.
    ASSERT_EQ(open(variant(std::string(f.pattern_value) + "\n" + text())), 0);
    ASSERT_NO_FATAL_FAILURE(expect_stream(SimPi::instance().sensor().stream_settings(), f));
    std::vector<unsigned char> raw = next_frame();
    EXPECT_EQ(CloseSensor(0), 0);
    FrameGeometry geometry{f.width, f.height, f.bits, false, kReceiverAlign};
    int level = f.pattern_level;
    TestPattern pattern(geometry, f.pattern, {level, level, level, level});
    EXPECT_EQ(
        tolva::test::unpack_reference(raw.data(), f.width, f.height, f.bits, geometry.stride()),
        pattern.samples(0));
}

TEST_P(RealSensorFileTest, SendsNothingWithoutItsStreamOnWrite)
{
    std::string all = text();
    std::size_t stream_on = all.rfind(GetParam().stream_on);
    ASSERT_NE(stream_on, std::string::npos);
    all.erase(stream_on, all.find('\n', stream_on + 1) - stream_on);
    int w, h, b;
    tolva::test::capture_stdout();
    ASSERT_EQ(InitSensor(variant(all).c_str(), &w, &h, &b), 0);
    tolva::test::captured_stdout();
    EXPECT_FALSE(SimPi::instance().sensor().stream_settings().streaming);
}

// An IMX290-family file: 60 fps on two lanes for the module clock it names; the generator's
// vertical colour bars; master start last.
RealSensorFile sony(const char *name, int width, int height, int bits, double clock_mhz)
{
    RealSensorFile file{name, "imx290", width, height, bits, 2, 60.0, clock_mhz};
    file.pattern_value = "$TEST_PATTERN = 0x33";
    file.stream_on = "\n0x3002 0x00";
    return file;
}

INSTANTIATE_TEST_SUITE_P(
    Files, RealSensorFileTest,
    testing::Values(
        RealSensorFile{"imx219_3280x2464_raw10.txt", "imx219", 3280, 2464, 10, 2, 21.19},
        RealSensorFile{"imx219_1640x1232_raw10.txt", "imx219", 1640, 1232, 10, 2, 41.85},
        RealSensorFile{"imx219_1920x1080_raw10.txt", "imx219", 1920, 1080, 10, 2, 47.57},
        RealSensorFile{"imx219_640x480_raw10.txt", "imx219", 640, 480, 10, 2, 103.32},
        RealSensorFile{"imx477_4056x3040_raw12.txt", "imx477", 4056, 3040, 12, 2, 10.0},
        RealSensorFile{"imx477_2028x1520_raw12.txt", "imx477", 2028, 1520, 12, 2, 40.0},
        RealSensorFile{"imx477_2028x1080_raw12.txt", "imx477", 2028, 1080, 12, 2, 50.0},
        RealSensorFile{"imx477_1332x990_raw10.txt", "imx477", 1332, 990, 10, 2, 120.0},
        RealSensorFile{"imx708_4608x2592_raw10.txt", "imx708", 4608, 2592, 10, 2, 14.35},
        RealSensorFile{"imx708_2304x1296_raw10.txt", "imx708", 2304, 1296, 10, 2, 56.02},
        RealSensorFile{"imx708_1536x864_raw10.txt", "imx708", 1536, 864, 10, 2, 120.12},
        sony("imx290_1920x1080_raw10_37mhz.txt", 1920, 1080, 10, 37.125),
        sony("imx290_1920x1080_raw10_74mhz.txt", 1920, 1080, 10, 74.25),
        sony("imx290_1920x1080_raw12_37mhz.txt", 1920, 1080, 12, 37.125),
        sony("imx290_1920x1080_raw12_74mhz.txt", 1920, 1080, 12, 74.25),
        sony("imx290_1280x720_raw10_37mhz.txt", 1280, 720, 10, 37.125),
        sony("imx290_1280x720_raw10_74mhz.txt", 1280, 720, 10, 74.25),
        sony("imx290_1280x720_raw12_37mhz.txt", 1280, 720, 12, 37.125),
        sony("imx290_1280x720_raw12_74mhz.txt", 1280, 720, 12, 74.25),
        RealSensorFile{"imx296_1456x1088_raw10.txt", "imx296", 1456, 1088, 10, 1, 60.38, 54,
                       "$TEST_PATTERN = 0x05", test_pattern::kSolidColour, 0x300, "\n0x300A 0x00",
                       BAYER_BGGR}),
    [](const testing::TestParamInfo<RealSensorFile> &info) {
        std::string name = info.param.name;
        return name.substr(0, name.find('.'));
    });

} // namespace
