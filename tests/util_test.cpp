// Tests of output naming, time stamps and the RAW dump.
#include "output_capture.h"
#include "test_support.h"
#include "util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <ostream>
#include <string>

using tolva::test::capture_stderr;
using tolva::test::capture_stdout;
using tolva::test::captured_stderr;
using tolva::test::captured_stdout;
using tolva::test::read_file;
using tolva::test::ScratchDir;

namespace {

std::tm broken_down(int year, int month, int day, int hour, int minute, int second)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

struct StampCase {
    std::tm time;
    int microseconds;
    const char *stamp;
};

void PrintTo(const StampCase &c, std::ostream *os) { *os << c.stamp; }

class StampLayout : public testing::TestWithParam<StampCase> {};

TEST_P(StampLayout, FormatsTheBrokenDownTime)
{
    EXPECT_STREQ(format_date_time(GetParam().time, GetParam().microseconds), GetParam().stamp);
}

INSTANTIATE_TEST_SUITE_P(
    Years, StampLayout,
    testing::Values(StampCase{broken_down(2026, 1, 8, 14, 30, 15), 123456, "260108_143015_123456"},
                    StampCase{broken_down(2100, 12, 31, 23, 59, 60), 999999,
                              "1001231_235960_999999"},
                    StampCase{broken_down(1970, 1, 1, 0, 0, 0), 0, "19700101_000000_000000"},
                    StampCase{broken_down(2000, 2, 29, 1, 2, 3), 5, "000229_010203_000005"}));

// YYMMDD_hhmmss_uuuuuu for the years 2000 to 2099. (Checked by hand: std::regex draws a false
// maybe-uninitialized warning from GCC 12 in the sanitizer build.)
bool is_stamp(const std::string &text)
{
    const std::string shape = "dddddd_dddddd_dddddd";
    if (text.size() != shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != '_')
            return false;
    return true;
}

TEST(CreateDateTime, IsTheLocalTimeOfOneClockReading)
{
    std::time_t before = std::time(nullptr);
    std::string stamp = CreateDateTime();
    std::time_t after = std::time(nullptr);
    ASSERT_TRUE(is_stamp(stamp)) << stamp;
    std::tm local;
    bool matched = false;
    for (std::time_t t = before; t <= after; ++t) {
        localtime_r(&t, &local);
        std::string seconds = format_date_time(local, 0);
        matched = matched || stamp.compare(0, 14, seconds, 0, 14) == 0;
    }
    EXPECT_TRUE(matched) << stamp;
}

TEST(MakeFileName, IsSizeAndStamp)
{
    std::string name = MakeFileName(4056, 3040);
    EXPECT_EQ(name.rfind("4056x3040_", 0), 0u) << name;
    EXPECT_TRUE(is_stamp(name.substr(10))) << name;
}

TEST(GetTime, ReadsTheWallClock)
{
    double before = static_cast<double>(std::time(nullptr));
    double now = GetTime();
    EXPECT_GE(now, before);
    EXPECT_LT(now, before + 2);
}

class WriteRawTest : public testing::Test {
protected:
    std::string path(const char *name) { return dir.path() + "/" + name; }
    ScratchDir dir;
};

TEST_F(WriteRawTest, WritesExactlyTheBuffer)
{
    unsigned char frame[] = {0x23, 0x01, 0xff, 0x03, 0x00, 0x00, 0x0a};
    std::string file = path("frame.raw");
    ASSERT_EQ(WriteRAW(file.c_str(), frame, sizeof frame), 0);
    EXPECT_EQ(read_file(file), std::string(reinterpret_cast<char *>(frame), sizeof frame));
}

TEST_F(WriteRawTest, SizeZeroLeavesAnEmptyFileAndFails)
{
    unsigned char frame[1] = {7};
    std::string file = path("empty.raw");
    capture_stdout();
    capture_stderr();
    EXPECT_EQ(WriteRAW(file.c_str(), frame, 0), -1);
    EXPECT_EQ(captured_stdout(), "");
    EXPECT_EQ(captured_stderr(), "");
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST_F(WriteRawTest, MissingDirectoryIsReportedWithTheName)
{
    unsigned char frame[2] = {1, 2};
    std::string file = path("no/such/dir/frame.raw");
    capture_stdout();
    EXPECT_EQ(WriteRAW(file.c_str(), frame, sizeof frame), -1);
    EXPECT_EQ(captured_stdout(), "can't open " + file + "\n");
}

TEST_F(WriteRawTest, FullDiskFailsWithTheName)
{
    unsigned char frame[4096] = {};
    capture_stderr();
    EXPECT_EQ(WriteRAW("/dev/full", frame, sizeof frame), -1);
    EXPECT_EQ(captured_stderr(),
              "tolvacapture: can't write /dev/full: " + std::string(std::strerror(ENOSPC)) + "\n");
}

TEST_F(WriteRawTest, WholeFileResultsTellACreateFromAWriteFailure)
{
    unsigned char bytes[4] = {1, 2, 3, 4};
    std::string missing = path("no/such/dir/frame.png");
    capture_stdout();
    capture_stderr();
    errno = 0;
    EXPECT_EQ(write_whole_file(missing.c_str(), bytes, sizeof bytes), kFileNotCreated);
    EXPECT_EQ(errno, ENOENT); // left for the caller's report
    // A few bytes stay buffered until the close, where the full disk shows.
    EXPECT_EQ(write_whole_file("/dev/full", bytes, sizeof bytes), kFileNotWritten);
    EXPECT_EQ(captured_stdout(), "");
    EXPECT_EQ(captured_stderr(),
              "tolvacapture: can't write /dev/full: " + std::string(std::strerror(ENOSPC)) + "\n");
    std::string file = path("bytes.png");
    EXPECT_EQ(write_whole_file(file.c_str(), bytes, sizeof bytes), 0);
    EXPECT_EQ(read_file(file), "\x01\x02\x03\x04");
}

} // namespace
