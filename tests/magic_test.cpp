// Tests of the sensor presence check, with bus maps written directly and from the simulated bus.
#include "magic.h"
#include "magic_testing.h"
#include "output_capture.h"

#include "camera_i2c.h"
#include "sim_pi.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

using tolva::sim::Knobs;
using tolva::sim::SimPi;
using tolva::test::capture_stderr;
using tolva::test::capture_stdout;
using tolva::test::captured_stderr;
using tolva::test::captured_stdout;
using tolva::test::read_file;
using tolva::test::ScratchDir;

namespace {

// The bus map goes into a directory of this process's own: nothing else running on the machine
// shares it.
const ScratchDir LogDir;
const std::string LogPath = LogDir.path() + "/i2cdetect.log";
const char *const kLog = LogPath.c_str();

// i2cdetect's map of an empty bus, as the tool prints it (each row ends in a blank).
const std::vector<std::string> kEmptyMap = {
    "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n",
    "00:          -- -- -- -- -- -- -- -- -- -- -- -- -- \n",
    "10: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n",
    "20: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n",
    "30: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n",
    "40: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n",
    "50: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n",
    "60: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n",
    "70: -- -- -- -- -- -- -- --                         \n",
};

std::string join(const std::vector<std::string> &lines, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count && i < lines.size(); ++i)
        text += lines[i];
    return text;
}

std::string with_row(std::size_t row, const std::string &line)
{
    std::vector<std::string> lines = kEmptyMap;
    lines[row] = line;
    return join(lines, lines.size());
}

bool log_exists() { return access(kLog, F_OK) == 0; }

class MagicTest : public testing::Test {
protected:
    void SetUp() override
    {
        I2cdetectLog = kLog;
        std::filesystem::remove_all(kLog);
        magic_reset();
    }
    void TearDown() override { std::filesystem::remove_all(kLog); }
};

struct LogCase {
    const char *name;
    std::string log; // what i2cdetect -y 0 prints
    int result;
};

void PrintTo(const LogCase &log, std::ostream *out) { *out << log.name; }

class MagicLog : public MagicTest, public testing::WithParamInterface<LogCase> {};

TEST_P(MagicLog, ComparesTheLogWithTheEmptyMap)
{
    SimPi &pi = SimPi::reset();
    pi.script_command("i2cdetect -y 0", GetParam().log);
    EXPECT_EQ(magic(), GetParam().result);
    EXPECT_EQ(pi.board_record(), std::vector<std::string>{"i2cdetect -y 0 > " + LogPath});
    // The log stays only when it showed a device.
    EXPECT_EQ(log_exists(), GetParam().result == 1);
    if (GetParam().result == 1) {
        EXPECT_EQ(read_file(kLog), GetParam().log);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Logs, MagicLog,
    testing::Values(
        LogCase{"EmptyMap", join(kEmptyMap, 9), -1},
        LogCase{"TrimmedAndExtraTrailingWhiteSpace",
                "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f  \t\r\n" +
                    join({kEmptyMap.begin() + 1, kEmptyMap.end()}, 8),
                -1},
        LogCase{"DeviceAt1a", with_row(2, "10: -- -- -- -- -- -- -- -- -- -- 1a -- -- -- -- -- \n"),
                1},
        LogCase{"DriverHoldsAnAddress",
                with_row(6, "50: UU -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"), 1},
        LogCase{"BlankCellsInsteadOfHyphens",
                with_row(1, "00:                -- -- -- -- -- -- -- -- -- -- -- \n"), -1},
        LogCase{"RowOfBlanksOnly", with_row(1, "00:                                         \n"),
                1},
        LogCase{"ShorterRow", with_row(3, "20: -- -- -- -- -- -- -- --\n"), 1},
        LogCase{"LongerLastRow", with_row(8, "70: -- -- -- -- -- -- -- -- --\n"), 1},
        LogCase{"LinesAfterTheNinthAreIgnored",
                join(kEmptyMap, 9) + "Error: something else\n80: 80\n", -1},
        LogCase{"EmptyLog", "", -1}, LogCase{"LogEndsEarly", join(kEmptyMap, 5), -1},
        LogCase{"LogEndsEarlyAfterADevice",
                join({kEmptyMap[0], "00:          -- -- -- -- -- -- -- -- -- -- -- -- 0f \n"}, 2),
                1}),
    [](const testing::TestParamInfo<LogCase> &info) { return info.param.name; });

TEST_F(MagicTest, SeesTheSimulatedBus)
{
    Knobs knobs;
    knobs.no_sensor = true;
    SimPi::reset(knobs);
    EXPECT_EQ(magic(), -1);
    EXPECT_FALSE(log_exists());

    SimPi::reset();
    EXPECT_EQ(magic(), 1);
    EXPECT_EQ(read_file(kLog),
              with_row(2, "10: 10 -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"));

    knobs.driver_addresses = {0x50};
    SimPi::reset(knobs);
    EXPECT_EQ(magic(), 1);
}

TEST_F(MagicTest, NoBusGivesAnEmptyLogAndNoDevice)
{
    Knobs knobs;
    knobs.no_i2c_device = true;
    SimPi::reset(knobs);
    capture_stderr();
    EXPECT_EQ(magic(), -1);
    EXPECT_EQ(captured_stderr(), "Error: Could not open file `/dev/i2c-0' or `/dev/i2c/0': No "
                                 "such file or directory\n");
}

// The start-up loop: bring-up and check until a device answers, on a board whose camera needs
// three probes after power-up. Pass 1 powers it and probes twice; pass 2's probes see it.
TEST_F(MagicTest, BringUpLoopWaitsForTheCameraToAnswer)
{
    Knobs knobs;
    knobs.camera_routed = false;
    knobs.camera_probes = 3;
    SimPi &pi = SimPi::reset(knobs);
    int passes = 0;
    do {
        camera_i2c(0);
        ++passes;
    } while (magic() < 0 && passes < 10);
    EXPECT_EQ(passes, 2);
    EXPECT_TRUE(pi.bus().answers(0x10));
    EXPECT_EQ(pi.board_record().back(), "i2cdetect -y 0 > " + LogPath);
}

} // namespace

namespace {

// What may stand at the log's fixed path in the shared /tmp instead of a file of this user's.
struct PlantedCase {
    const char *name;
    void (*plant)(const std::string &target); // makes kLog; `target` a file of the user's
    const char *refusal;
};

void PrintTo(const PlantedCase &c, std::ostream *out) { *out << c.name; }

class MagicPlanted : public MagicTest, public testing::WithParamInterface<PlantedCase> {};

// Nothing is written through what was planted, the bus is not probed, the check reports it
// once however often the bring-up asks, and it works again as soon as the path is free.
TEST_P(MagicPlanted, IsReportedOnceAndNeverWrittenThrough)
{
    ScratchDir dir;
    std::string target = dir.write("precious", "the user's own data\n");
    GetParam().plant(target);
    SimPi &pi = SimPi::reset();
    std::string report = "tolvacapture: can't use " + LogPath + ": " + GetParam().refusal + "\n";
    capture_stderr();
    for (int attempt = 0; attempt < 3; ++attempt)
        EXPECT_EQ(magic(), -1);
    EXPECT_EQ(captured_stderr(), report);
    EXPECT_TRUE(pi.board_record().empty());
    EXPECT_EQ(read_file(target), "the user's own data\n");

    std::filesystem::remove_all(kLog);
    EXPECT_EQ(magic(), 1);
    struct stat st;
    ASSERT_EQ(stat(kLog, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // A problem that comes back is reported again.
    std::filesystem::remove_all(kLog);
    GetParam().plant(target);
    capture_stderr();
    EXPECT_EQ(magic(), -1);
    EXPECT_EQ(captured_stderr(), report);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, MagicPlanted,
    testing::Values(
        PlantedCase{"SymbolicLink",
                    [](const std::string &target) { ASSERT_EQ(symlink(target.c_str(), kLog), 0); },
                    "it is a symbolic link"},
        PlantedCase{"DanglingLink",
                    [](const std::string &target) {
                        ASSERT_EQ(symlink((target + ".new").c_str(), kLog), 0);
                    },
                    "it is a symbolic link"},
        PlantedCase{"Directory", [](const std::string &) { ASSERT_EQ(mkdir(kLog, 0755), 0); },
                    "it is a directory"},
        PlantedCase{"Fifo", [](const std::string &) { ASSERT_EQ(mkfifo(kLog, 0666), 0); },
                    "it is not a regular file"},
        PlantedCase{"HardLink",
                    [](const std::string &target) { ASSERT_EQ(link(target.c_str(), kLog), 0); },
                    "it has other hard links"}),
    [](const testing::TestParamInfo<PlantedCase> &info) { return info.param.name; });

} // namespace

namespace {

// A file of another user could be swapped for a link by that user after the check.
TEST_F(MagicTest, LogOfAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another user";
    tolva::test::ScratchDir dir;
    std::filesystem::copy_file(dir.write("log", ""), kLog);
    ASSERT_EQ(chown(kLog, 65534, 65534), 0);
    SimPi::reset();
    capture_stderr();
    EXPECT_EQ(magic(), -1);
    EXPECT_EQ(captured_stderr(),
              "tolvacapture: can't use " + LogPath + ": it belongs to another user\n");
}

} // namespace
