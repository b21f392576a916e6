// Tests of board identification and camera I2C routing, on the simulated board.
#include "camera_i2c.h"
#include "output_capture.h"
#include "sim_pi.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using testing::ExitedWithCode;
using tolva::sim::Knobs;
using tolva::sim::SimPi;
using tolva::test::capture_stderr;
using tolva::test::capture_stdout;
using tolva::test::captured_stderr;
using tolva::test::captured_stdout;
using tolva::test::exactly;
using Log = std::vector<std::string>;

namespace {

constexpr int kSensorAddress = 0x10;
const char kProbeBus0[] = "i2cdetect -y 0 > /dev/null";
const char kPowerCamera[] =
    "mailbox 00000020 00000000 00038041 00000008 00000000 00000085 00000001 00000000";

const Log kA = {"raspi-gpio set 0 ip", "raspi-gpio set 0 a0",     "raspi-gpio set 1 ip",
                "raspi-gpio set 1 a0", "raspi-gpio set 27 op dh", "raspi-gpio set 5 op dh"};
const Log kB = {"raspi-gpio set 0 ip", "raspi-gpio set 0 a0",  "raspi-gpio set 1 ip",
                "raspi-gpio set 1 a0", "raspi-gpio set 21 dh", "raspi-gpio set 5 dh"};
const Log kC = {"raspi-gpio set 0 ip",  "raspi-gpio set 1 ip",  "raspi-gpio set 28 ip",
                "raspi-gpio set 28 a0", "raspi-gpio set 29 ip", "raspi-gpio set 29 a0",
                "raspi-gpio set 41 dh", "raspi-gpio set 32 dh"};
const Log kD = {"raspi-gpio set 28 ip", "raspi-gpio set 29 ip", "raspi-gpio set 0 ip",
                "raspi-gpio set 0 a0",  "raspi-gpio set 1 ip",  "raspi-gpio set 1 a0",
                "raspi-gpio set 3 out", "raspi-gpio set 3 dh",  "raspi-gpio set 2 out",
                "raspi-gpio set 2 dh"};
const Log kE = {"raspi-gpio set 0 ip",  "raspi-gpio set 1 ip",  "raspi-gpio set 28 ip",
                "raspi-gpio set 28 a0", "raspi-gpio set 29 ip", "raspi-gpio set 29 a0",
                "raspi-gpio set 44 dh", "raspi-gpio set 40 dh"};
const Log kF = {"raspi-gpio set 0 ip",  "raspi-gpio set 1 ip",  "raspi-gpio set 28 ip",
                "raspi-gpio set 29 ip", "raspi-gpio set 44 ip", "raspi-gpio set 44 a1",
                "raspi-gpio set 45 ip", "raspi-gpio set 45 a1", kPowerCamera};
const Log kG = {"raspi-gpio set 0 ip",
                "raspi-gpio set 1 ip",
                "raspi-gpio set 44 ip",
                "raspi-gpio set 44 a1",
                "raspi-gpio set 45 ip",
                "raspi-gpio set 45 a1",
                kPowerCamera};
const Log kH = {"raspi-gpio set 0 ip",  "raspi-gpio set 1 ip",  "raspi-gpio set 44 ip",
                "raspi-gpio set 44 a1", "raspi-gpio set 45 ip", "raspi-gpio set 45 a1",
                "raspi-gpio set 40 dh"};
const Log kNothing = {};

Log then(Log log, const std::string &entry)
{
    log.push_back(entry);
    return log;
}

// A simulated board with this revision whose camera is not routed yet.
SimPi &board(const std::string &revision, Knobs knobs = Knobs{})
{
    knobs.board_revision = revision;
    knobs.camera_routed = false;
    return SimPi::reset(knobs);
}

// Runs camera_i2c and returns what it wrote to standard error; raspi-gpio's own complaints
// (on standard output, as the tool prints them) are dropped.
std::string run_camera_i2c(int device_no = 0)
{
    capture_stdout();
    capture_stderr();
    camera_i2c(device_no);
    captured_stdout();
    return captured_stderr();
}

struct Routing {
    const char *revision;
    const Log *sequence;
    bool camera_answers; // afterwards, on the simulated board of that revision
};

void PrintTo(const Routing &routing, std::ostream *out) { *out << routing.revision; }

class RoutingTable : public testing::TestWithParam<Routing> {};

TEST_P(RoutingTable, RunsTheRowsSequenceThenProbesTheBus)
{
    const Routing &routing = GetParam();
    SimPi &pi = board(routing.revision);
    EXPECT_FALSE(pi.bus().answers(kSensorAddress));
    EXPECT_EQ(run_camera_i2c(), "");
    EXPECT_EQ(pi.board_record(), then(*routing.sequence, kProbeBus0));
    EXPECT_EQ(pi.bus().answers(kSensorAddress), routing.camera_answers);
}

INSTANTIATE_TEST_SUITE_P(
    WholeRevision, RoutingTable,
    testing::Values(
        Routing{"0002", &kA, true}, Routing{"0003", &kA, true}, Routing{"0004", &kB, true},
        Routing{"0005", &kB, true}, Routing{"0006", &kB, true}, Routing{"000d", &kB, true},
        Routing{"000e", &kB, true}, Routing{"000f", &kB, true}, Routing{"0010", &kC, true},
        Routing{"0012", &kC, true}, Routing{"0013", &kC, true},
        // Row 3, not a board type row; the simulator knows no such board.
        Routing{"1041", &kC, false}, Routing{"0011", &kD, true}, Routing{"0014", &kD, true}));

INSTANTIATE_TEST_SUITE_P(BoardType, RoutingTable,
                         testing::Values(Routing{"900021", &kC, true}, Routing{"900032", &kC, true},
                                         Routing{"a01041", &kC, true}, Routing{"900093", &kC, true},
                                         Routing{"9000c1", &kE, true}, Routing{"a020a0", &kD, true},
                                         Routing{"a02082", &kF, true}, Routing{"a020d3", &kF, true},
                                         Routing{"9020e0", &kF, true}, Routing{"c03111", &kG, true},
                                         Routing{"902120", &kH, true},
                                         Routing{"c03130", &kNothing, false},
                                         Routing{"a03140", &kG, true}));

struct Unknown {
    const char *revision;
    const char *message;
};

void PrintTo(const Unknown &unknown, std::ostream *out) { *out << unknown.revision; }

class UnknownBoard : public testing::TestWithParam<Unknown> {};

// While the start-up waits for a camera the routing is repeated: the board is reported once.
TEST_P(UnknownBoard, IsReportedOnOneLineOnceAndOnlyProbed)
{
    SimPi &pi = board(GetParam().revision);
    EXPECT_EQ(run_camera_i2c(), GetParam().message);
    EXPECT_EQ(run_camera_i2c(), "");
    EXPECT_EQ(pi.board_record(), then(Log{kProbeBus0}, kProbeBus0));
    EXPECT_FALSE(pi.bus().answers(kSensorAddress));
}

INSTANTIATE_TEST_SUITE_P(
    Revisions, UnknownBoard,
    testing::Values(
        Unknown{"0007", "Failed: don't know how to set GPIO for this board! Type is 0007(7)\n"},
        Unknown{"A020A0",
                "Failed: don't know how to set GPIO for this board! Type is A020A0(0A)\n"},
        Unknown{"000", "Failed: don't know how to set GPIO for this board! Type is 000()\n"},
        Unknown{"123456789abcdef", "Failed: don't know how to set GPIO for this board! Type is "
                                   "123456789abcdef(45)\n"}));

class ProbedBus : public testing::TestWithParam<int> {};

TEST_P(ProbedBus, AnyDeviceNumberButZeroProbesBus10)
{
    SimPi &pi = board("c03130");
    run_camera_i2c(GetParam());
    EXPECT_EQ(pi.board_record(), Log{"i2cdetect -y 10 > /dev/null"});
}

INSTANTIATE_TEST_SUITE_P(DeviceNumbers, ProbedBus, testing::Values(1, 10, -1));

TEST(CameraI2c, EveryCallRunsTheWholeSequenceAgain)
{
    SimPi &pi = board("a020d3");
    run_camera_i2c();
    run_camera_i2c();
    Log once = then(kF, kProbeBus0);
    Log twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(pi.board_record(), twice);
    EXPECT_TRUE(pi.bus().answers(kSensorAddress));
}

TEST(CameraI2c, SetsTheCameraPowerLineThroughTheMailbox)
{
    SimPi &pi = board("a02082");
    run_camera_i2c();
    EXPECT_TRUE(pi.board().firmware_line(133));
    EXPECT_EQ(pi.last_mailbox_answer(),
              (std::vector<std::uint32_t>{32, 0x80000000, 0x38041, 8, 0x80000008, 133, 1, 0}));
    EXPECT_EQ(pi.open_mailbox_count(), 0);
}

class FirmwareError : public testing::TestWithParam<std::uint32_t> {};

TEST_P(FirmwareError, EndsTheProcessShowingTheCode)
{
    Knobs knobs;
    knobs.mbox_response = GetParam();
    board("a020d3", knobs);
    char message[64];
    std::snprintf(message, sizeof message, "gpio_set: RPi firmware returned 0x%08x\n", GetParam());
    EXPECT_EXIT(camera_i2c(0), ExitedWithCode(1), exactly(message));
}

INSTANTIATE_TEST_SUITE_P(Codes, FirmwareError,
                         testing::Values(0x80000001u, 0x00000000u, 0xffffffffu, 0x0000002au));

TEST(CameraI2c, MailboxFailuresEndTheProcess)
{
    Knobs knobs;
    knobs.no_vcio = true;
    board("c03111", knobs);
    EXPECT_EXIT(camera_i2c(0), ExitedWithCode(1), exactly("gpio_set: can't open /dev/vcio\n"));
    knobs = Knobs{};
    knobs.mbox_ioctl_fails = true;
    board("c03111", knobs);
    EXPECT_EXIT(camera_i2c(0), ExitedWithCode(1), exactly("gpio_set: ioctl error\n"));
}

// A /proc file's text and the value read from it (null: not found).
struct ProcText {
    const char *text;
    const char *value;
};

void PrintTo(const ProcText &proc, std::ostream *out)
{
    *out << testing::PrintToString(std::string(proc.text));
}

void expect_value(const char *value, const ProcText &proc)
{
    if (proc.value)
        EXPECT_STREQ(value, proc.value);
    else
        EXPECT_EQ(value, nullptr) << value;
}

class RevisionLine : public testing::TestWithParam<ProcText> {};

TEST_P(RevisionLine, GivesTheValueOfTheFirstRevisionLine)
{
    board("a020d3").board().set_cpuinfo(std::string(GetParam().text));
    expect_value(GetRev(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Cpuinfo, RevisionLine,
    testing::Values(ProcText{"CPU revision\t: 4\nRevision\t: a02082\n", "a02082"},
                    ProcText{"Revision\t: a02082\nRevision\t: c03111\n", "a02082"},
                    ProcText{"Revision: \t a020d3 \t \n", "a020d3"},
                    ProcText{"Revision\t: a020d3", "a020d3"},
                    ProcText{"Board Revision : 9000c1\r\n", "9000c1"},
                    ProcText{"Revision\t: 123456789abcdef\n", "123456789abcdef"},
                    // Not found: longer than 15 characters, no colon, no value, no line.
                    ProcText{"Revision\t: 123456789abcdef0\n", nullptr},
                    ProcText{"Revision a020d3\nRevision : c03111\n", nullptr},
                    ProcText{"Revision\t:  \t\n", nullptr},
                    ProcText{"revision\t: a020d3\nCPU revision : 4\n", nullptr},
                    ProcText{"", nullptr}));

class KernelRelease : public testing::TestWithParam<ProcText> {};

TEST_P(KernelRelease, IsTheFirstLineWithoutTrailingWhiteSpace)
{
    board("a020d3").board().set_osrelease(std::string(GetParam().text));
    expect_value(GetKernel(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Osrelease, KernelRelease,
                         testing::Values(ProcText{"6.1.21-v7+\n", "6.1.21-v7+"},
                                         ProcText{"5.10.103-v7l+ \t\nsecond line\n",
                                                  "5.10.103-v7l+"},
                                         ProcText{"1234567890123456789012345678901\n",
                                                  "1234567890123456789012345678901"},
                                         // Not found: longer than 31 characters, blank, empty.
                                         ProcText{"12345678901234567890123456789012\n", nullptr},
                                         ProcText{" \n", nullptr}, ProcText{"", nullptr}));

TEST(CameraI2c, BoardFilesThatCannotBeReadEndTheProcess)
{
    board("a020d3").board().set_cpuinfo(std::nullopt);
    EXPECT_EXIT(camera_i2c(0), ExitedWithCode(1), exactly("cami2c: can't open /proc/cpuinfo.\n"));
    board("a020d3").board().set_osrelease(std::nullopt);
    EXPECT_EXIT(camera_i2c(0), ExitedWithCode(1),
                exactly("cami2c: can't open /proc/sys/kernel/osrelease.\n"));
}

TEST(CameraI2c, MissingRevisionOrKernelEndsTheProcessBeforeRouting)
{
    board("a020d3").board().set_cpuinfo(std::string("Revision\t: a020d3a020d3a020d3\n"));
    EXPECT_EXIT(camera_i2c(0), ExitedWithCode(1), exactly("Revisoion not found.\n"));
    board("a020d3").board().set_osrelease(std::string("\n"));
    EXPECT_EXIT(camera_i2c(0), ExitedWithCode(1), exactly("Kernel version not found.\n"));
}

TEST(CameraI2c, WhiteSpaceHelpers)
{
    char text[] = " \t\n\v\f\rvalue \t\r\n";
    char *value = skipspace(text);
    EXPECT_EQ(value, text + 6);
    striptail(value);
    EXPECT_STREQ(value, "value");
    char blank[] = " \t\n";
    striptail(blank);
    EXPECT_STREQ(blank, "");
    EXPECT_STREQ(skipspace(blank), "");
}

} // namespace
