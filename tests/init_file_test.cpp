// Tests of the init file's one reading: what the driver kept is what every later reader sees.
#include "i2c.h"
#include "init_file.h"
#include "output_capture.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tolva::test::capture_stderr;
using tolva::test::capture_stdout;
using tolva::test::captured_stderr;
using tolva::test::captured_stdout;

// The file is changed on disk after the driver kept it: the scans, the interpreter and a second
// reader of the path all see the kept text, while another path is read from its own file.
TEST(InitFile, KeptTextIsWhatEveryReaderSees)
{
    tolva::test::ScratchDir dir;
    std::string kept = dir.write("kept.txt", "WIDTH 64\nHEIGHT 48\nRAWBIT 12\nDATA_LANES 4\n");
    std::string other = dir.write("other.txt", "RAWBIT 10\n");
    ASSERT_TRUE(keep_init_file(kept.c_str()));
    dir.write("kept.txt", "WIDTH 32\nHEIGHT 16\nRAWBIT 10\nDATA_LANES 1\n");

    std::string text;
    ASSERT_TRUE(read_init_file(kept.c_str(), text));
    EXPECT_EQ(text, "WIDTH 64\nHEIGHT 48\nRAWBIT 12\nDATA_LANES 4\n");
    EXPECT_EQ(check_rawbit(kept.c_str()), 12);
    EXPECT_EQ(check_lanes(kept.c_str()), 4);
    EXPECT_EQ(check_rawbit(other.c_str()), 10);

    int width = 0, height = 0, bufsiz = 0;
    capture_stdout();
    EXPECT_EQ(InitSensor(kept.c_str(), &width, &height, &bufsiz), 0);
    captured_stdout();
    EXPECT_EQ(width, 64);
    EXPECT_EQ(height, 48);

    // A file that cannot be read keeps nothing: its path is read from the disk again.
    EXPECT_FALSE(keep_init_file(dir.path().c_str()));
    EXPECT_EQ(check_rawbit(kept.c_str()), 10);
}

// What is no init file is refused, not read without end: a directory, a device that never ends.
TEST(InitFile, UnreadablePathsAreRefused)
{
    tolva::test::ScratchDir dir;
    std::string text;
    for (const std::string &path : {dir.path(), std::string("/dev/zero")}) {
        capture_stderr();
        EXPECT_FALSE(read_init_file(path.c_str(), text)) << path;
        captured_stderr();
    }
}

} // namespace
