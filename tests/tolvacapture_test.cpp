// Tests of the driver's kernels and start-up arithmetic: unpacking, masks, command line, geometry,
// and the signals that end the program.
#include "difference_recording.h"
#include "end_signals.h"
#include "output_capture.h"
#include "tolvacapture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <random>
#include <string>
#include <vector>

using tolva::test::capture_stderr;
using tolva::test::capture_stdout;
using tolva::test::captured_stderr;
using tolva::test::captured_stdout;
using Bytes = std::vector<unsigned char>;

namespace {

constexpr unsigned char kUntouched = 0xA5;

// Unpacks with a buffer that shows every byte written: the result is cut where the writing
// stopped (kUntouched bytes at the end are checked separately).
Bytes unpack(Bytes src, int bpp, int raw8, size_t room = 64)
{
    Bytes dst(room, kUntouched);
    CnvertImage(dst.data(), src.data(), static_cast<int>(src.size()), bpp, raw8);
    size_t written = static_cast<size_t>(unpacked_size(static_cast<int>(src.size()), bpp, raw8));
    for (size_t i = written; i < dst.size(); ++i)
        EXPECT_EQ(dst[i], kUntouched) << "byte " << i << " written past the output";
    dst.resize(written);
    return dst;
}

struct Conversion {
    const char *name;
    Bytes in;
    int bpp;
    int raw8;
    Bytes out;
};

class ConversionTest : public testing::TestWithParam<Conversion> {};

TEST_P(ConversionTest, GivesTheBytesOfTheLayout)
{
    const Conversion &c = GetParam();
    EXPECT_EQ(unpack(c.in, c.bpp, c.raw8), c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Groups, ConversionTest,
    testing::Values(
        Conversion{"raw10",
                   {0xFF, 0x00, 0x80, 0x01, 0xE7},
                   10,
                   0,
                   {0xFF, 0x03, 0x01, 0x00, 0x02, 0x02, 0x07, 0x00}},
        Conversion{"raw12", {0xAB, 0xCD, 0xEF}, 12, 0, {0xBF, 0x0A, 0xDE, 0x0C}},
        Conversion{"raw10_8bit", {0xFF, 0x00, 0x80, 0x01, 0xE7}, 10, 1, {0xFF, 0x00, 0x80, 0x01}},
        Conversion{"raw12_8bit", {0xAB, 0xCD, 0xEF}, 12, 1, {0xAB, 0xCD}},
        Conversion{"bit16_8bit", {0x34, 0x12, 0x78, 0x56}, 16, 1, {0x12, 0x56}},
        Conversion{"bit16", {0x34, 0x12, 0x78, 0x56}, 16, 0, {0x34, 0x12, 0x78, 0x56}},
        Conversion{"bit8", {0x34, 0x12, 0x78}, 8, 0, {0x34, 0x12, 0x78}},
        Conversion{"bit8_8bit", {0x34, 0x12, 0x78}, 8, 1, {0x34, 0x12, 0x78}},
        // A trailing partial group is not unpacked, nor read.
        Conversion{"raw10_partial",
                   {0xFF, 0x00, 0x80, 0x01, 0xE7, 0x11, 0x22},
                   10,
                   0,
                   {0xFF, 0x03, 0x01, 0x00, 0x02, 0x02, 0x07, 0x00}},
        Conversion{"raw12_partial", {0xAB, 0xCD, 0xEF, 0x12}, 12, 0, {0xBF, 0x0A, 0xDE, 0x0C}},
        Conversion{"raw12_only_partial", {0xAB, 0xCD}, 12, 0, {}},
        Conversion{"bit16_8bit_odd", {0x34, 0x12, 0x78}, 16, 1, {0x12}}),
    [](const testing::TestParamInfo<Conversion> &info) { return std::string(info.param.name); });

TEST(CnvertImage, OtherDepthsLeaveTheBufferAsItWas)
{
    for (int bpp : {0, 9, 11, 14, 24}) {
        for (int raw8 : {0, 1}) {
            Bytes dst(16, kUntouched);
            Bytes src(15, 0x5A);
            CnvertImage(dst.data(), src.data(), 15, bpp, raw8);
            EXPECT_EQ(dst, Bytes(16, kUntouched)) << "bpp " << bpp << " raw8 " << raw8;
        }
    }
}

// A plain reference: each sample taken on its own from the packed stream by its bit positions.
std::vector<unsigned> reference_samples(const Bytes &src, int bpp)
{
    std::vector<unsigned> samples;
    if (bpp == 10) {
        for (size_t n = 0; n < src.size() / 5 * 4; ++n) {
            size_t group = n / 4 * 5, k = n % 4;
            samples.push_back(src[group + k] * 4u + ((src[group + 4] >> (2 * k)) & 3u));
        }
    } else {
        for (size_t n = 0; n < src.size() / 3 * 2; ++n) {
            size_t group = n / 2 * 3, k = n % 2;
            samples.push_back(src[group + k] * 16u + ((src[group + 2] >> (4 * k)) & 15u));
        }
    }
    return samples;
}

struct FrameShape {
    int width;
    int height;
    int fill; // bytes the receiver adds after each line
    int bpp;
};

class WholeFrameTest : public testing::TestWithParam<FrameShape> {};

// Random frames with line fill, unpacked as one stream, against the reference.
TEST_P(WholeFrameTest, MatchesThePlainReference)
{
    const FrameShape &f = GetParam();
    int line = f.width * f.bpp / 8 + f.fill;
    Bytes raw(static_cast<size_t>(line) * f.height);
    std::mt19937 random(static_cast<unsigned>(f.width * 7 + f.fill));
    for (auto &b : raw)
        b = static_cast<unsigned char>(random());
    std::vector<unsigned> expected = reference_samples(raw, f.bpp);

    Bytes wide = unpack(raw, f.bpp, 0, expected.size() * 2 + 8);
    Bytes narrow = unpack(raw, f.bpp, 1, expected.size() + 8);
    ASSERT_EQ(wide.size(), expected.size() * 2);
    ASSERT_EQ(narrow.size(), expected.size());
    for (size_t n = 0; n < expected.size(); ++n) {
        ASSERT_EQ(wide[2 * n] | wide[2 * n + 1] << 8, expected[n]) << "sample " << n;
        ASSERT_EQ(narrow[n], expected[n] >> (f.bpp - 8)) << "8-bit sample " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, WholeFrameTest,
                         testing::Values(FrameShape{4, 1, 0, 10}, FrameShape{2, 1, 0, 12},
                                         FrameShape{64, 9, 0, 10}, FrameShape{64, 9, 0, 12},
                                         FrameShape{1928, 7, 30, 10}, FrameShape{200, 5, 3, 12},
                                         FrameShape{36, 3, 7, 10}, FrameShape{38, 3, 1, 12}));

TEST(CnvertImage, UnpacksAllFrameSizesIntoBinSize)
{
    // The output sizes are exactly the BinSize of the geometry (worked example).
    EXPECT_EQ(unpacked_size(2592000, 10, 0), 4147200);
    EXPECT_EQ(unpacked_size(2592000, 10, 1), 2073600);
    EXPECT_EQ(unpacked_size(18495360, 12, 0), 24660480);
    EXPECT_EQ(unpacked_size(18495360, 12, 1), 12330240);
}

class MaskTest : public testing::Test {
protected:
    static constexpr int kWidth = 5;
    static constexpr int kHeight = 3;
    std::vector<unsigned short> frame = std::vector<unsigned short>(kWidth * kHeight + 4, 700);
    Bytes frame8 = Bytes(kWidth * kHeight + 4, 70);
    cv::Mat mask = cv::Mat::zeros(kHeight, kWidth, CV_8U);
};

TEST_F(MaskTest, AnyNonZeroGreyBlanksItsSample)
{
    mask.at<unsigned char>(0, 1) = 1;
    mask.at<unsigned char>(2, 4) = 255;
    bmask(mask, frame.data(), kWidth, kHeight);
    for (int n = 0; n < static_cast<int>(frame.size()); ++n)
        EXPECT_EQ(frame[n], n == 1 || n == 2 * kWidth + 4 ? 0 : 700) << "sample " << n;
}

TEST_F(MaskTest, AllZeroMaskChangesNothing)
{
    bmask(mask, frame.data(), kWidth, kHeight);
    EXPECT_EQ(frame, std::vector<unsigned short>(frame.size(), 700));
}

TEST_F(MaskTest, MaskOfAnotherSizeWritesNothing)
{
    for (cv::Size size : {cv::Size(kWidth + 1, kHeight), cv::Size(kWidth, kHeight + 1),
                          cv::Size(kWidth - 1, kHeight)}) {
        cv::Mat other(size, CV_8U, cv::Scalar(255));
        bmask(other, frame.data(), kWidth, kHeight);
        bmask8(other, frame8.data(), kWidth, kHeight);
    }
    EXPECT_EQ(frame, std::vector<unsigned short>(frame.size(), 700));
    EXPECT_EQ(frame8, Bytes(frame8.size(), 70));
}

TEST_F(MaskTest, EightBitFramesLoseOnlyTheMarkedSamples)
{
    mask.row(1).setTo(9);
    bmask8(mask, frame8.data(), kWidth, kHeight);
    for (int n = 0; n < static_cast<int>(frame8.size()); ++n)
        EXPECT_EQ(frame8[n], n / kWidth == 1 ? 0 : 70) << "sample " << n;
}

TEST_F(MaskTest, ReadsTheFirstByteOfColourElements)
{
    cv::Mat colour = cv::Mat::zeros(kHeight, kWidth, CV_8UC3);
    colour.at<cv::Vec3b>(1, 2) = cv::Vec3b(3, 0, 0);
    colour.at<cv::Vec3b>(1, 3) = cv::Vec3b(0, 3, 3);
    bmask(colour, frame.data(), kWidth, kHeight);
    EXPECT_EQ(frame[kWidth + 2], 0);
    EXPECT_EQ(frame[kWidth + 3], 700);
}

struct CommandLine {
    std::vector<std::string> args;
    bool accepted;
    std::string path;
    bool raw8;
};

class CommandLineTest : public testing::TestWithParam<CommandLine> {};

TEST_P(CommandLineTest, TakesThePathAndTheMode)
{
    const CommandLine &c = GetParam();
    std::vector<std::string> args = c.args;
    std::vector<char *> av;
    for (auto &a : args)
        av.push_back(a.data());
    Driver d;
    capture_stdout();
    int result = read_command_line(static_cast<int>(av.size()), av.data(), d);
    std::string out = captured_stdout();
    if (c.accepted) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(out, "");
        EXPECT_EQ(d.fname, c.path);
        EXPECT_EQ(d.raw8_flag, c.raw8);
    } else {
        EXPECT_EQ(result, -1);
        EXPECT_EQ(out,
                  "usage> ./tolvacapture sensor_init_file [-8] [--no-window] [--detect | --record] "
                  "[--stop-after DURATION] [--stop-at HH:MM] [--night LAT,LON] [--sun-below DEG] "
                  "[--keep-free SIZE] [--pre N] [--post N] [--status SECONDS]\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, CommandLineTest,
    testing::Values(CommandLine{{"./tolvacapture", "s.txt"}, true, "s.txt", false},
                    CommandLine{{"./tolvacapture", "s.txt", "-8"}, true, "s.txt", true},
                    CommandLine{{"./tolvacapture", "-8", "s.txt"}, true, "s.txt", true},
                    CommandLine{{"./tolvacapture", "-8", "-8"}, true, "-8", true},
                    CommandLine{{"./tolvacapture", "-8"}, true, "-8", false},
                    CommandLine{{"./tolvacapture", "a.txt", "b.txt"}, false, "", false},
                    CommandLine{{"./tolvacapture", "-8x", "s.txt"}, false, "", false},
                    CommandLine{{"./tolvacapture", "s.txt", "-8", "x"}, false, "", false},
                    CommandLine{{"./tolvacapture", "-8", "s.txt", "-8"}, false, "", false},
                    CommandLine{{"./tolvacapture"}, false, "", false}));

struct Geometry {
    int width, height, bufsiz;
    bool raw8;
    int xwidth, div, bpp, BinSize, dpp, depth;
};

class GeometryTest : public testing::TestWithParam<Geometry> {};

TEST_P(GeometryTest, FollowsTheSizes)
{
    const Geometry &g = GetParam();
    Driver d;
    d.width = g.width;
    d.height = g.height;
    d.bufsiz = g.bufsiz;
    d.raw8_flag = g.raw8;
    ASSERT_EQ(derive_geometry(d), 0);
    EXPECT_EQ(d.xwidth, g.xwidth);
    EXPECT_EQ(d.div, g.div);
    EXPECT_EQ(d.rawbit, g.bpp);
    EXPECT_EQ(d.BinSize, g.BinSize);
    EXPECT_EQ(d.dpp, g.dpp);
    EXPECT_EQ(d.depth, g.depth);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, GeometryTest,
    testing::Values(
        // The two worked examples.
        Geometry{1920, 1080, 2592000, false, 2400, 2, 10, 4147200, 16, CV_16U},
        Geometry{1920, 1080, 2592000, true, 2400, 2, 10, 2073600, 8, CV_8U},
        Geometry{4056, 3040, 6084 * 3040, false, 6084, 4, 12, 24660480, 16, CV_16U},
        // div boundaries: the raw line length in bytes and the height.
        Geometry{2533, 100, 3800 * 100, false, 3800, 2, 12, 506666, 16, CV_16U},
        Geometry{2534, 100, 3801 * 100, false, 3801, 4, 12, 506800, 16, CV_16U},
        Geometry{200, 3000, 300 * 3000, false, 300, 2, 12, 1200000, 16, CV_16U},
        Geometry{200, 3001, 300 * 3001, false, 300, 4, 12, 1200400, 16, CV_16U},
        Geometry{1520, 10, 1900 * 10, false, 1900, 1, 10, 30400, 16, CV_16U},
        Geometry{1520, 10, 1901 * 10, false, 1901, 2, 10, 30400, 16, CV_16U}, // a fill byte a line
        Geometry{160, 1000, 200 * 1000, false, 200, 1, 10, 320000, 16, CV_16U},
        Geometry{160, 1001, 200 * 1001, false, 200, 2, 10, 320320, 16, CV_16U},
        // Fill bytes at the end of each line: bpp truncates, BinSize is the samples without
        // the fill; so also for a last partial group (38 RAW10 samples in 10 groups).
        Geometry{2028, 1520, 3072 * 1520, false, 3072, 2, 12, 6165120, 16, CV_16U},
        Geometry{2028, 1520, 3072 * 1520, true, 3072, 2, 12, 3082560, 8, CV_8U},
        Geometry{38, 4, 50 * 4, false, 50, 1, 10, 304, 16, CV_16U},
        // A stream one byte longer than its lines: no line fill, the stream's BinSize.
        Geometry{64, 4, 80 * 4 + 1, false, 80, 1, 10, 513, 16, CV_16U}));

TEST(Geometry, RefusesBitDepthsItCannotUnpackNamingTheSizes)
{
    struct {
        int width, height, bufsiz;
        const char *message;
        int rawbit = 0; // the init file's, 0 for none
    } cases[] = {
        {1920, 1080, 1920 * 1080, "a raw frame of 2073600 bytes for 1920x1080 pixels gives 8"},
        {1920, 1080, 1920 * 1080 * 2, "4147200 bytes for 1920x1080 pixels gives 16 bits"},
        {1920, 1080, 0, "a raw frame of 0 bytes for 1920x1080 pixels gives 0 bits"},
        {64, 64, 64 * 64 * 11 / 8, "gives 11 bits a pixel; only 10 and 12 can be unpacked"},
        {0, 1080, 2592000, "frame size 0x1080 cannot be captured"},
        {40000, 40000, 2000000000, "2000000000 bytes unpacks to 3200000000 bytes, more than"},
        // RAW12 lines of 64 pixels need 96 bytes.
        {64, 48, 80 * 48, "has lines of 80 bytes, fewer than the 96 of RAWBIT 12; check BUFSIZ",
         12},
    };
    for (const auto &c : cases) {
        Driver d;
        d.width = c.width;
        d.height = c.height;
        d.bufsiz = c.bufsiz;
        d.rawbit = c.rawbit;
        capture_stderr();
        EXPECT_EQ(derive_geometry(d), -1);
        EXPECT_NE(captured_stderr().find(c.message), std::string::npos) << c.message;
    }
}

// The init file's depth decides: RAW10 lines of 64 pixels (80 bytes) in a V4L2 receiver's
// 96-byte stride are RAW10 with fill, not 12 bits a pixel.
TEST(Geometry, TheInitFilesDepthTakesLongerLinesAsFill)
{
    Driver d;
    d.width = 64;
    d.height = 48;
    d.bufsiz = 96 * 48;
    d.rawbit = 10;
    ASSERT_EQ(derive_geometry(d), 0);
    EXPECT_EQ(d.rawbit, 10);
    EXPECT_EQ(d.BinSize, 64 * 48 * 2);
}

TEST(Statistics, FrameRateIsANumberEvenWithoutFramesOrTime)
{
    EXPECT_DOUBLE_EQ(frame_rate(30, 1.5), 20.0);
    EXPECT_EQ(frame_rate(0, 2.0), 0.0);
    EXPECT_EQ(frame_rate(0, 0.0), 0.0);
    EXPECT_EQ(frame_rate(5, 0.0), 0.0);
}

TEST(Geometry, ThresholdSitsAtThreeEighthsOfTheSampleRange)
{
    Driver d;
    d.rawbit = 10;
    EXPECT_EQ(difference_threshold(d), 384);
    d.rawbit = 12;
    EXPECT_EQ(difference_threshold(d), 1536);
    d.raw8_flag = true;
    EXPECT_EQ(difference_threshold(d), 96);
}

// The runner may have started the tests with some of these ignored.
void default_end_signals()
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        std::signal(sig, SIG_DFL);
}

// The handlers only record: the first ending signal counts, also when others follow.
TEST(EndSignals, AreRecordedNotActedOn)
{
    default_end_signals();
    catch_end_signals();
    EXPECT_EQ(end_signal(), 0);
    raise(SIGHUP);
    raise(SIGINT);
    EXPECT_EQ(end_signal(), SIGHUP);
    catch_end_signals();
    EXPECT_EQ(end_signal(), 0);
}

class SecondSignal : public testing::TestWithParam<int> {};

TEST_P(SecondSignal, OfTheSameKindEndsTheProgramAtOnce)
{
    int sig = GetParam();
    EXPECT_EXIT(
        {
            default_end_signals();
            catch_end_signals();
            raise(sig);
            if (end_signal() == sig)
                raise(sig);
            std::exit(0);
        },
        testing::KilledBySignal(sig), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, SecondSignal, testing::Values(SIGINT, SIGTERM, SIGHUP));

// nohup, or a script's background job: the signal was ignored before the program started.
TEST(EndSignals, ThoseIgnoredAtTheStartStayIgnored)
{
    default_end_signals();
    std::signal(SIGHUP, SIG_IGN);
    catch_end_signals();
    raise(SIGHUP);
    EXPECT_EQ(end_signal(), 0);
    raise(SIGTERM);
    EXPECT_EQ(end_signal(), SIGTERM);
    default_end_signals();
}

// A console into a pipe whose reader has gone (a closed terminal's tee) must not end the
// program in the middle of completing a recording.
TEST(EndSignals, APipeWithoutReaderEndsNothing)
{
    catch_end_signals();
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    EXPECT_EQ(write(ends[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(ends[1]);
    EXPECT_EQ(end_signal(), 0);
}

} // namespace
