// Tests of the virtual sensor's frames: packing, the sky's fast path against its plain
// definition, colour order, transients, drift, test patterns and SER replay.
#include "ccs_chip.h"
#include "output_capture.h"
#include "raw_pack.h"
#include "raw_reference.h"
#include "ser_replay.h"
#include "sky_scene.h"
#include "test_pattern.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>

using namespace tolva::sim;
using tolva::test::ScratchDir;
using tolva::test::unpack_reference;

namespace {

TEST(RawPack, BytesFollowTheCsi2Layout)
{
    std::uint16_t raw10[4] = {0x3FF, 0x001, 0x2AA, 0x155};
    std::uint8_t out10[5];
    pack_line(raw10, 4, 10, out10);
    EXPECT_EQ(std::vector<std::uint8_t>(out10, out10 + 5),
              (std::vector<std::uint8_t>{0xFF, 0x00, 0xAA, 0x55, 0b01'10'01'11}));
    std::uint16_t raw12[2] = {0xABC, 0x123};
    std::uint8_t out12[3];
    pack_line(raw12, 2, 12, out12);
    EXPECT_EQ(std::vector<std::uint8_t>(out12, out12 + 3),
              (std::vector<std::uint8_t>{0xAB, 0x12, 0x3C}));
    EXPECT_EQ(packed_line_bytes(5, 10), 10u); // a partial group takes a whole one
    EXPECT_EQ(packed_line_bytes(3, 12), 6u);
}

struct Geometry {
    int width, height, bits, align;
    bool mono;
    double drift;
};

class SkySceneTest : public testing::TestWithParam<Geometry> {
protected:
    FrameGeometry geometry() const
    {
        const Geometry &g = GetParam();
        return FrameGeometry{g.width, g.height, g.bits, g.mono, g.align};
    }
    SkySettings settings() const
    {
        // Many transients and a fast drift, so that both show within a few frames.
        return SkySettings{7, 60000.0, GetParam().drift, 0.05};
    }
};

TEST_P(SkySceneTest, PackedFramesAreThePlainFramesPacked)
{
    FrameGeometry g = geometry();
    SkyScene scene(g, settings());
    std::vector<std::uint8_t> frame(g.frame_bytes(), 0xEE);
    std::vector<std::uint8_t> expected(g.frame_bytes(), 0);
    int with_transients = 0;
    for (std::uint64_t i = 0; i < 12; ++i) {
        with_transients += !scene.transients(i).empty();
        scene.render(i, frame.data());
        auto samples = scene.samples(i);
        for (int y = 0; y < g.height; ++y)
            pack_line(samples.data() + static_cast<std::size_t>(y) * g.width, g.width, g.bits,
                      expected.data() + y * g.stride());
        ASSERT_EQ(frame, expected) << "frame " << i;
        ASSERT_EQ(unpack_reference(frame.data(), g.width, g.height, g.bits, g.stride()), samples);
    }
    EXPECT_GT(with_transients, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, SkySceneTest,
    testing::Values(Geometry{64, 48, 10, 1, false, 0}, Geometry{67, 33, 12, 1, false, 0},
                    Geometry{61, 30, 10, 32, true, 0}, Geometry{50, 40, 12, 16, false, 5e5},
                    Geometry{83, 21, 10, 1, false, -5e5}, Geometry{1, 1, 12, 1, false, 0}),
    [](const testing::TestParamInfo<Geometry> &info) {
        const Geometry &g = info.param;
        return std::to_string(g.width) + "x" + std::to_string(g.height) + "_raw" +
               std::to_string(g.bits) + "_align" + std::to_string(g.align) +
               (g.mono ? "_mono" : "") +
               (g.drift > 0   ? "_up"
                : g.drift < 0 ? "_down"
                              : "");
    });

TEST(SkyScene, SameSeedSameFramesOtherSeedOtherFrames)
{
    FrameGeometry g{96, 64, 10, false, 1};
    SkyScene a(g, SkySettings{3, 10, 0, 0.1}), b(g, SkySettings{3, 10, 0, 0.1});
    SkyScene c(g, SkySettings{4, 10, 0, 0.1});
    EXPECT_EQ(a.samples(5), b.samples(5));
    EXPECT_NE(a.samples(5), c.samples(5));
    EXPECT_NE(a.samples(5), a.samples(6)) << "noise differs from frame to frame";
}

TEST(SkyScene, TransientsComeAtTheConfiguredRate)
{
    FrameGeometry g{64, 64, 10, false, 1};
    constexpr double kPerMinute = 120, kInterval = 0.1; // 0.2 starts a frame
    SkyScene scene(g, SkySettings{11, kPerMinute, 0, kInterval});
    int flashes_and_meteor_frames = 0;
    for (std::uint64_t i = 0; i < 3000; ++i)
        flashes_and_meteor_frames += !scene.transients(i).empty();
    // Each start shows in 1 frame (flash) or 3 to 8 (meteor): between 0.2 and ~0.8 of frames.
    EXPECT_GT(flashes_and_meteor_frames, 3000 * 0.2 * 0.8);
    EXPECT_LT(flashes_and_meteor_frames, 3000 * 0.9);
    SkyScene quiet(g, SkySettings{11, 0, 0, kInterval});
    for (std::uint64_t i = 0; i < 300; ++i)
        ASSERT_TRUE(quiet.transients(i).empty());
}

TEST(SkyScene, DriftBrightensTheSkySlowly)
{
    FrameGeometry g{64, 64, 12, false, 1};
    SkyScene scene(g, SkySettings{1, 0, 960, 0.1}); // 960 a minute: one 16-value step a second
    auto sum = [&](std::uint64_t i) {
        auto s = scene.samples(i);
        return std::accumulate(s.begin(), s.end(), 0.0);
    };
    EXPECT_EQ(scene.drift_steps(9), 0);
    EXPECT_EQ(scene.drift_steps(10), 1);
    EXPECT_GT(sum(600 + 4), sum(4) + 64 * 64 * 16 * 50); // a minute later, 60 steps up
}

double channel_mean(const std::vector<std::uint16_t> &s, int width, int height, int channel,
                    int bayer = 0)
{
    double sum = 0;
    int n = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (bayer_channel(x, y, bayer) == channel) {
                sum += s[static_cast<std::size_t>(y) * width + x];
                ++n;
            }
    return sum / n;
}

TEST(SkyScene, ColourSkyIsInTheSensorsBayerOrderAndMonochromeIsGrey)
{
    for (int bayer = 0; bayer < 4; ++bayer) {
        SCOPED_TRACE(bayer);
        SkyScene colour(FrameGeometry{200, 200, 12, false, 1, bayer}, SkySettings{});
        auto c = colour.samples(0);
        EXPECT_GT(channel_mean(c, 200, 200, 1, bayer), channel_mean(c, 200, 200, 0, bayer));
        EXPECT_GT(channel_mean(c, 200, 200, 0, bayer), channel_mean(c, 200, 200, 3, bayer));
    }
    SkyScene mono(FrameGeometry{200, 200, 12, true, 1}, SkySettings{});
    auto m = mono.samples(0);
    EXPECT_NEAR(channel_mean(m, 200, 200, 0), channel_mean(m, 200, 200, 3), 8.0);
}

TEST(TestPattern, ColourBarsPutRedAtTheFirstSample)
{
    FrameGeometry g{16, 2, 10, false, 1};
    TestPattern bars(g, test_pattern::kColourBars, {});
    auto s = bars.samples(0);
    // White bar: all four channels full. Yellow (x 2..3): red and green full, blue empty.
    EXPECT_EQ(s[0], 1023);
    EXPECT_EQ(s[16 + 1], 1023);
    EXPECT_EQ(s[2], 1023);      // red of the yellow bar
    EXPECT_EQ(s[16 + 3], 0);    // its blue
    EXPECT_EQ(s[4], 0);         // red of the cyan bar
    EXPECT_EQ(s[16 + 5], 1023); // its blue
}

TEST(TestPattern, SolidColourTakesTheTestDataRegisters)
{
    TestPattern solid(FrameGeometry{4, 2, 12, false, 1}, test_pattern::kSolidColour,
                      {100, 200, 300, 400});
    EXPECT_EQ(solid.samples(0),
              (std::vector<std::uint16_t>{100, 200, 100, 200, 400, 300, 400, 300}));
}

TEST(TestPattern, Pn9RepeatsEvery511Bits)
{
    TestPattern pn9(FrameGeometry{1022, 1, 10, false, 1}, test_pattern::kPn9, {});
    auto s = pn9.samples(0);
    // 511 samples of 10 bits are 10 whole periods: the line repeats after 511 samples.
    EXPECT_TRUE(std::equal(s.begin(), s.begin() + 511, s.begin() + 511));
    EXPECT_NE(std::count(s.begin(), s.end(), s[0]), static_cast<long>(s.size()));
}

std::string ser_file(int width, int height, int depth, const std::vector<std::uint16_t> &samples,
                     int frames)
{
    std::string header(178, '\0');
    std::memcpy(header.data(), "LUCAM-RECORDER", 14);
    auto put = [&](std::size_t at, std::int32_t v) { std::memcpy(header.data() + at, &v, 4); };
    put(26, width);
    put(30, height);
    put(34, depth);
    put(38, frames);
    std::string data(reinterpret_cast<const char *>(samples.data()), samples.size() * 2);
    return header + data;
}

TEST(SerReplay, FramesLoopAtTheTopLeft)
{
    ScratchDir dir;
    std::vector<std::uint16_t> samples = {1, 2, 3, 4, 5, 6, 7, 8}; // two 2x2 frames
    std::string path = dir.write("in.ser", ser_file(2, 2, 16, samples, 2));
    auto replay = SerReplay::open(path, FrameGeometry{3, 3, 10, false, 1});
    ASSERT_TRUE(replay);
    EXPECT_EQ(replay->samples(0), (std::vector<std::uint16_t>{1, 2, 0, 3, 4, 0, 0, 0, 0}));
    EXPECT_EQ(replay->samples(3), (std::vector<std::uint16_t>{5, 6, 0, 7, 8, 0, 0, 0, 0}));
}

// Frames come from the file as they play: a frame changed after the replay opened is replayed
// as it is now, and a file cut short meanwhile gives black frames with one message.
TEST(SerReplay, ReadsTheFileAsItPlays)
{
    ScratchDir dir;
    std::string path = dir.write("in.ser", ser_file(2, 1, 16, {1, 2, 3, 4, 5, 6}, 3));
    auto replay = SerReplay::open(path, FrameGeometry{2, 1, 10, false, 1});
    ASSERT_TRUE(replay);
    EXPECT_EQ(replay->samples(1), (std::vector<std::uint16_t>{3, 4}));
    dir.write("in.ser", ser_file(2, 1, 16, {1, 2, 7, 8, 9, 10}, 3));
    EXPECT_EQ(replay->samples(2), (std::vector<std::uint16_t>{9, 10}));
    EXPECT_EQ(replay->samples(4), (std::vector<std::uint16_t>{7, 8}));
    dir.write("in.ser", ser_file(2, 1, 16, {1, 2}, 3));
    tolva::test::capture_stderr();
    EXPECT_EQ(replay->samples(2), (std::vector<std::uint16_t>{0, 0}));
    EXPECT_EQ(replay->samples(3), (std::vector<std::uint16_t>{1, 2}));
    EXPECT_EQ(replay->samples(5), (std::vector<std::uint16_t>{0, 0}));
    EXPECT_EQ(tolva::test::captured_stderr(),
              "simulated Pi: can't read frame 2 of " + path + ": the file is shorter now\n");
}

TEST(SerReplay, FullRangeFilesAreScaledToTheSensor)
{
    ScratchDir dir;
    std::string path = dir.write("in.ser", ser_file(2, 1, 16, {0xFFFF, 0x8000}, 1));
    auto replay = SerReplay::open(path, FrameGeometry{2, 1, 12, false, 1});
    ASSERT_TRUE(replay);
    EXPECT_EQ(replay->samples(0), (std::vector<std::uint16_t>{0xFFF, 0x800}));
}

TEST(SerReplay, RefusesWhatItCannotReplay)
{
    ScratchDir dir;
    tolva::test::capture_stderr();
    EXPECT_FALSE(
        SerReplay::open(dir.write("8.ser", ser_file(1, 1, 8, {0}, 1)), FrameGeometry{1, 1, 10}));
    EXPECT_FALSE(SerReplay::open(dir.write("short.ser", ser_file(2, 2, 16, {1}, 3)),
                                 FrameGeometry{1, 1, 10}));
    EXPECT_FALSE(SerReplay::open(dir.path() + "/missing.ser", FrameGeometry{1, 1, 10}));
    std::string messages = tolva::test::captured_stderr();
    EXPECT_NE(messages.find("8.ser: its samples are not 16-bit"), std::string::npos);
    EXPECT_NE(messages.find("short.ser: shorter than its header says"), std::string::npos);
    EXPECT_NE(messages.find("missing.ser: no SER header"), std::string::npos);
}

TEST(CcsChipTiming, FrameIntervalComesFromThePllAndTheFrameSize)
{
    CcsChip sensor;
    auto write16 = [&](std::uint16_t reg, std::uint16_t value) {
        std::uint8_t bytes[4] = {
            static_cast<std::uint8_t>(reg >> 8), static_cast<std::uint8_t>(reg),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
        sensor.write(bytes, 4);
    };
    write16(ccs::kFrameLengthLines, 1648);
    write16(ccs::kLineLengthPck, 12740);
    EXPECT_NEAR(sensor.stream_settings().frame_interval_s, 12740.0 * 1648 / 840e6, 1e-9);
    write16(ccs::kExtclkFrequencyMhz, 0x1800); // 24 MHz: 24 x 350 / (4 x 2 x 10) x 4 = 420 MHz
    write16(ccs::kPrePllClkDiv, 4);
    write16(ccs::kPllMultiplier, 350);
    write16(ccs::kVtSysClkDiv, 2);
    write16(ccs::kVtPixClkDiv, 10);
    EXPECT_NEAR(sensor.stream_settings().frame_interval_s, 12740.0 * 1648 / 420e6, 1e-9);
}

} // namespace
