// Tests of the FITS writer: header cards, data unit, byte order, sensor names and the files as
// fitsverify and astropy see them.
#include "fits.h"
#include "output_capture.h"
#include "test_support.h"
#include "tools/run_tool.h"
#include "util.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

using tolva::test::capture_stderr;
using tolva::test::capture_stdout;
using tolva::test::captured_stderr;
using tolva::test::captured_stdout;
using tolva::test::read_file;
using tolva::test::run_tool;
using tolva::test::ScratchDir;
using tolva::test::shell_word;

namespace {

constexpr size_t kBlock = 2880;
constexpr size_t kCard = 80;
const char kInitFile[] = "sensor_init/imx477_4056x3040.txt";

std::string blank_filled(const std::string &text)
{
    return text + std::string(kCard - text.size(), ' ');
}

// Frame buffer of 16-bit little-endian samples following a simple ramp.
std::vector<unsigned char> ramp16(int samples, int step = 37)
{
    std::vector<unsigned char> frame(2 * samples);
    for (int i = 0; i < samples; ++i) {
        uint16_t value = static_cast<uint16_t>(i * step);
        frame[2 * i] = value & 0xff;
        frame[2 * i + 1] = value >> 8;
    }
    return frame;
}

class FitsTest : public testing::Test {
protected:
    std::string path(const std::string &name) { return dir.path() + "/" + name; }

    // Writes `frame` as FITS (after InitFits) and returns the file and standard output.
    std::string write(std::vector<unsigned char> &frame, const std::string &name,
                      std::string *console = nullptr)
    {
        std::string file = path(name);
        capture_stdout();
        int result = WriteFTS(frame.data(), static_cast<int>(frame.size()), 12, file.c_str());
        std::string out = captured_stdout();
        EXPECT_EQ(result, 0) << out;
        if (console)
            *console = out;
        return read_file(file);
    }

    // fitsverify and astropy accept the file and read back the frame's samples.
    void expect_readable(const std::string &name, std::vector<unsigned char> &frame, int width,
                         int height, int sample_bytes)
    {
        std::string raw = path(name + ".raw");
        ASSERT_EQ(WriteRAW(raw.c_str(), frame.data(), static_cast<int>(frame.size())),
                  frame.empty() ? -1 : 0);
        auto check =
            run_tool("fits_check.py", shell_word(path(name)) + " " + shell_word(raw) + " " +
                                          std::to_string(width) + " " + std::to_string(height) +
                                          " " + std::to_string(sample_bytes));
        EXPECT_EQ(check.status, 0) << check.output;
    }

    ScratchDir dir;
};

TEST_F(FitsTest, HeaderCardsInFixedFormat)
{
    InitFits(4056 * 3040 * 2, 4056, 3040, kInitFile);
    std::vector<unsigned char> frame = ramp16(4056 * 3040);
    std::string file = write(frame, "cards.fts");
    ASSERT_GE(file.size(), kBlock);
    const char *cards[] = {
        "SIMPLE  =                    T / Created by Tolvacapture",
        "BITPIX  =                   16 / number of bits per data pixel",
        "NAXIS   =                    2 / number of data axes",
        "NAXIS1  =                 4056 / length of data axis 1",
        "NAXIS2  =                 3040 / length of data axis 2",
        "BZERO   =                    0 / data range offset",
        "BSCALE  =                    1 / lscaling factor",
        "SENSOR  = 'imx477           ' / image sensor name",
        "END",
    };
    for (size_t i = 0; i < std::size(cards); ++i)
        EXPECT_EQ(file.substr(i * kCard, kCard), blank_filled(cards[i])) << "card " << i + 1;
    // Values end in column 30, the comment slash stands in column 32.
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_NE(file[i * kCard + 29], ' ') << "card " << i + 1;
        EXPECT_EQ(file.substr(i * kCard + 30, 3), " / ") << "card " << i + 1;
    }
    EXPECT_EQ(file.substr(9 * kCard, kBlock - 9 * kCard), std::string(kBlock - 9 * kCard, ' '));
    expect_readable("cards.fts", frame, 4056, 3040, 2);
}

TEST_F(FitsTest, FourK12BitExampleSizesAndConsole)
{
    InitFits(24660480, 4056, 3040, kInitFile);
    std::vector<unsigned char> frame = ramp16(4056 * 3040, 1);
    std::string console;
    std::string file = write(frame, "big.fts", &console);
    EXPECT_EQ(console, "2880 + 24661440 bytes\n");
    ASSERT_EQ(file.size(), 24664320u);
    EXPECT_EQ(file.substr(kBlock + 24660480), std::string(960, '\0'));
    expect_readable("big.fts", frame, 4056, 3040, 2);
}

TEST_F(FitsTest, SamplesAreWrittenHighByteFirst)
{
    InitFits(4, 2, 1, kInitFile);
    std::vector<unsigned char> frame = {0x23, 0x01, 0x00, 0x80};
    std::string file = write(frame, "order.fts");
    EXPECT_EQ(file.substr(kBlock, 4), std::string("\x01\x23\x80\x00", 4));
    // 0x8000 reads back negative through BZERO 0, as every reader takes it.
    expect_readable("order.fts", frame, 2, 1, 2);
}

struct SizeCase {
    int bin_size, width, height;
    int bitpix;
    size_t data_unit; // bytes after the header
    size_t samples;   // bytes of samples in the data unit
};

void PrintTo(const SizeCase &c, std::ostream *os)
{
    *os << c.bin_size << " bytes " << c.width << "x" << c.height;
}

class FitsSizes : public FitsTest, public testing::WithParamInterface<SizeCase> {};

TEST_P(FitsSizes, DataUnitIsWholeBlocksOfZeroFill)
{
    const SizeCase &c = GetParam();
    InitFits(c.bin_size, c.width, c.height, "no_sensor_here.txt");
    std::vector<unsigned char> frame(c.bin_size);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<unsigned char>(i % 251 + 1);
    std::string console;
    std::string file = write(frame, "size.fts", &console);
    EXPECT_EQ(console, "2880 + " + std::to_string(c.data_unit) + " bytes\n");
    ASSERT_EQ(file.size(), kBlock + c.data_unit);
    std::string bitpix = std::to_string(c.bitpix);
    EXPECT_EQ(file.substr(kCard + 10, 20), std::string(20 - bitpix.size(), ' ') + bitpix);
    EXPECT_EQ(file.substr(kBlock + c.samples), std::string(c.data_unit - c.samples, '\0'));
    EXPECT_EQ(file.substr(7 * kCard, kCard),
              blank_filled("SENSOR  = '" + std::string(17, ' ') + "' / image sensor name"));
    expect_readable("size.fts", frame, c.width, c.height, c.bitpix / 8);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, FitsSizes,
    testing::Values(SizeCase{2880, 40, 36, 16, 2880, 2880},  // exactly one block, no fill
                    SizeCase{2882, 1, 1441, 16, 5760, 2882}, // one sample into a second block
                    SizeCase{2881, 43, 67, 8, 5760, 2881},   // 8-bit samples, 2879 bytes of fill
                    SizeCase{0, 0, 0, 16, 0, 0},             // empty data unit
                    // a buffer with line fill: only the declared samples are written
                    SizeCase{3000, 40, 36, 16, 2880, 2880}));

// A buffer with fewer samples than the frame declares gives what it has, as 16-bit samples (the
// driver's depth): nothing is made up, and an empty buffer gives an empty data unit.
struct ShortBuffer {
    int bin_size;
    std::string data; // the data unit's samples, high byte first
};

class FitsShortBufferTest : public FitsTest, public testing::WithParamInterface<ShortBuffer> {};

TEST_P(FitsShortBufferTest, DataUnitHoldsOnlyTheBuffersWholeSamples)
{
    const ShortBuffer &c = GetParam();
    InitFits(c.bin_size, 4056, 3040, kInitFile);
    std::vector<unsigned char> frame = {0x23, 0x01, 0x45, 0x02, 0x67};
    frame.resize(static_cast<size_t>(c.bin_size));
    std::string console;
    std::string file = write(frame, "short.fts", &console);
    size_t data_unit = c.data.empty() ? 0 : kBlock;
    EXPECT_EQ(console, "2880 + " + std::to_string(data_unit) + " bytes\n");
    ASSERT_EQ(file.size(), kBlock + data_unit);
    EXPECT_EQ(file.substr(kCard, kCard),
              blank_filled("BITPIX  =                   16 / number of bits per data pixel"));
    EXPECT_EQ(file.substr(kBlock, c.data.size()), c.data);
    EXPECT_EQ(file.substr(kBlock + c.data.size()), std::string(data_unit - c.data.size(), '\0'));
}

INSTANTIATE_TEST_SUITE_P(Buffers, FitsShortBufferTest,
                         testing::Values(ShortBuffer{0, ""}, ShortBuffer{1, ""},
                                         ShortBuffer{5, std::string("\x01\x23\x02\x45", 4)}));

TEST_F(FitsTest, EightBitFramesAreWrittenAsBytes)
{
    InitFits(6, 3, 2, kInitFile);
    std::vector<unsigned char> frame = {1, 2, 3, 250, 251, 252};
    std::string file = write(frame, "eight.fts");
    EXPECT_EQ(file.substr(kBlock, 6), std::string(frame.begin(), frame.end()));
    expect_readable("eight.fts", frame, 3, 2, 1);
}

TEST(EndianChange, SwapsWholeSamplesOnlyForSixteenBitDepths)
{
    for (int bpp : {10, 12, 16}) {
        unsigned char src[3] = {0x23, 0x01, 0x77};
        unsigned char dst[3] = {0xee, 0xee, 0xee};
        EndianChange(dst, src, 3, bpp);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(dst), 3), "\x01\x23\xee") << bpp;
    }
    unsigned char src[2] = {0x23, 0x01};
    unsigned char dst[2] = {0xee, 0xee};
    EndianChange(dst, src, 2, 8);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dst), 2), "\xee\xee");
}

struct NameCase {
    const char *path;
    const char *name;
};

void PrintTo(const NameCase &c, std::ostream *os) { *os << '"' << c.path << '"'; }

class SensorName : public testing::TestWithParam<NameCase> {};

TEST_P(SensorName, FirstImxAndDigits)
{
    char name[kSensorNameMax + 1];
    std::memset(name, 'x', sizeof name);
    GetSensorName(GetParam().path, name);
    EXPECT_STREQ(name, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SensorName,
    testing::Values(NameCase{"sensor_init/imx477_4056x3040.txt", "imx477"},
                    NameCase{"cams/imx219/imx477.txt", "imx219"}, // directories count, leftmost
                    NameCase{"sensor_init/IMX477.txt", ""},       // case-sensitive
                    NameCase{"imx_only.txt", ""},                 // digits required
                    NameCase{"init\nimx290.txt", "imx290"},
                    NameCase{"imx12345678901234.txt", "imx12345678901234"}, // 17: fits exactly
                    NameCase{"imx1234567890123456789.txt", "imx12345678901234"})); // cut to 17

TEST_F(FitsTest, SensorCardHoldsNamesUpToSeventeenCharacters)
{
    std::vector<unsigned char> frame = ramp16(1);
    InitFits(2, 1, 1, "imx1234567890123456789.txt");
    EXPECT_EQ(write(frame, "long.fts").substr(7 * kCard, kCard),
              blank_filled("SENSOR  = 'imx12345678901234' / image sensor name"));
    expect_readable("long.fts", frame, 1, 1, 2);
}

TEST_F(FitsTest, FileThatCannotBeCreatedIsReported)
{
    InitFits(2, 1, 1, kInitFile);
    std::vector<unsigned char> frame = ramp16(1);
    std::string file = path("missing/dir/frame.fts");
    capture_stdout();
    EXPECT_EQ(WriteFTS(frame.data(), 2, 12, file.c_str()), -1);
    EXPECT_EQ(captured_stdout(), "can't open " + file + "\n");
}

TEST_F(FitsTest, FullDiskIsReportedWithTheName)
{
    InitFits(40000, 200, 100, kInitFile);
    std::vector<unsigned char> frame = ramp16(20000);
    capture_stdout();
    capture_stderr();
    EXPECT_EQ(WriteFTS(frame.data(), 40000, 12, "/dev/full"), -1);
    captured_stdout();
    EXPECT_EQ(captured_stderr(),
              "tolvacapture: can't write /dev/full: " + std::string(std::strerror(ENOSPC)) + "\n");
}

} // namespace
