// Tests of the init-file interpreter and register access, on the simulated I2C bus.
#include "fatal_catcher.h"
#include "i2c.h"
#include "output_capture.h"
#include "sim_pi.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

using testing::ExitedWithCode;
using tolva::sim::Knobs;
using tolva::sim::SimPi;
using tolva::test::capture_stderr;
using tolva::test::capture_stdout;
using tolva::test::captured_stderr;
using tolva::test::captured_stdout;
using tolva::test::CatchFatal;
using tolva::test::exactly;
using tolva::test::FatalExit;
using tolva::test::ScratchDir;
using Log = std::vector<std::string>;

namespace {

const char kSize[] = "WIDTH 1920\nHEIGHT 1080\n";

class I2cTest : public testing::Test {
protected:
    void SetUp() override
    {
        SimPi::reset();
        I2C_ADDRESS = 0x10;
    }

    std::string file(const std::string &content) { return dir.write("init.txt", content); }

    // Interprets `content` (with a frame size unless it has its own); returns standard output.
    std::string interpret(const std::string &content, int expected = 0)
    {
        std::string path = file(content);
        int width = 0, height = 0, bufsiz = 0;
        capture_stdout();
        EXPECT_EQ(InitSensor(path.c_str(), &width, &height, &bufsiz), expected);
        return captured_stdout();
    }

    // Bus traffic of interpreting `body` after a frame size.
    Log writes_of(const std::string &body)
    {
        interpret(kSize + body);
        return SimPi::instance().bus().log();
    }

    ScratchDir dir;
};

const char kWorkedExample[] =
    "@ programming the sensor\n"
    "I2C_ADDRESS 0x10\n"
    "WIDTH       1920\n"
    "HEIGHT      1080\n"
    "BUFSIZ      2592000    # 2400 bytes a line, 1080 lines\n"
    "DATA_LANES  2\n"
    "RAWBIT      10\n"
    "$HI = 0x0200           // named value for a register address\n"
    "0x0100 0x00            // one byte: 0x00 to register 0x0100\n"
    "$HI 0x0460 w           // two bytes: 0x04 to 0x0200, 0x60 to 0x0201\n"
    "WAIT 10                // 10 ms\n"
    "0x0100 1\n"
    "@ done\n";

TEST_F(I2cTest, WorkedExamplePutsItsWritesOnTheBusAndPrintsEchoesAndSummary)
{
    std::string path = file(kWorkedExample);
    int width = 0, height = 0, bufsiz = 0;
    capture_stdout();
    ASSERT_EQ(InitSensor(path.c_str(), &width, &height, &bufsiz), 0);
    EXPECT_EQ(captured_stdout(), "@ programming the sensor\n"
                                 "@ done\n"
                                 "--- " +
                                     path +
                                     " ---\n"
                                     "RAWBIT     :   10\n"
                                     "DATA_LANES :    2\n"
                                     "I2C_ADDRESS: 0x10\n"
                                     "WIDTH      : 1920\n"
                                     "HEIGHT     : 1080\n"
                                     "BUFSIZ     : 2592000\n"
                                     "----------\n");
    EXPECT_EQ(SimPi::instance().bus().log(),
              (Log{"10 W 01 00 00", "10 W 02 00 04", "10 W 02 01 60", "10 W 01 00 01"}));
    EXPECT_EQ(width, 1920);
    EXPECT_EQ(height, 1080);
    EXPECT_EQ(bufsiz, 2592000);
    EXPECT_EQ(check_rawbit(path.c_str()), 10);
    EXPECT_EQ(check_lanes(path.c_str()), 2);
    // The registers hold what the file wrote, readable back.
    EXPECT_EQ(SimPi::instance().sensor().reg16be(0x0200), 0x0460);
    EXPECT_EQ(GetReg(0x0100, 1), 1);
}

TEST_F(I2cTest, EchoLinesKeepCommentMarkersAndComeInFileOrder)
{
    EXPECT_EQ(interpret(std::string(kSize) + "  @ note # not a comment // nor this\n@x\n"),
              std::string("@ note # not a comment // nor this\n@x\n") +
                  interpret(kSize)); // the summary follows
}

TEST_F(I2cTest, CommentsAndBlankLinesAreSkipped)
{
    EXPECT_EQ(writes_of("# 0x0100 0x01\n   // note\n\n \t \n0x0100 0x01 // x = 1\n"
                        "0x0101 2# comment\n0x0102 3 // a # b\n"),
              (Log{"10 W 01 00 01", "10 W 01 01 02", "10 W 01 02 03"}));
}

TEST_F(I2cTest, CrLfFilesReadLikeLfFiles)
{
    std::string crlf = "@ echo\r\nWIDTH 64\r\nHEIGHT 48\r\n0x0100 0x01\r\n$R = 0x0200 \r\n$R 5\r\n";
    std::string out = interpret(crlf);
    EXPECT_EQ(out.substr(0, 7), "@ echo\n");
    EXPECT_NE(out.find("WIDTH      :   64\n"), std::string::npos);
    EXPECT_EQ(SimPi::instance().bus().log(), (Log{"10 W 01 00 01", "10 W 02 00 05"}));
}

TEST_F(I2cTest, LinesLongerThanTheBufferAreReadInPiecesOf8191Characters)
{
    std::string first_piece = "@" + std::string(8190, 'a');
    std::string out = interpret(std::string(kSize) + first_piece + "@tail\n");
    EXPECT_EQ(out.substr(0, 8191 + 1 + 6), first_piece + "\n@tail\n");
}

TEST_F(I2cTest, NumbersInHexDecimalAndByName)
{
    EXPECT_EQ(writes_of("0x0100 0x1Fz\n0X0101 0XaB\n0x0102 0x\n258 7\n"
                        "$REG = 0x0103\n$VAL = $REG\n$REG $VAL\n0x0000000000000104 0x00000001\n"),
              (Log{"10 W 01 00 1f", "10 W 01 01 ab", "10 W 01 02 00", "10 W 01 02 07",
                   "10 W 01 03 03", "10 W 01 04 01"}));
}

TEST_F(I2cTest, FirstDefinitionOfANameWins)
{
    EXPECT_EQ(writes_of("$A = 1\n$A = 2\n0x0100 $A\n"), (Log{"10 W 01 00 01"}));
}

TEST_F(I2cTest, EqualsSignIsNoSeparator)
{
    // "$G=0x10" defines the name "$G=0x10", so a later "$G" is unknown.
    std::string path = file(std::string(kSize) + "$G=0x10\n0x0100 $G\n");
    int w, h, b;
    EXPECT_EXIT(InitSensor(path.c_str(), &w, &h, &b), ExitedWithCode(1), exactly("$G not found\n"));
}

TEST_F(I2cTest, DefinitionWithoutDollarCannotBeUsedAndSetsNothing)
{
    std::string path = file("WIDTH = 1920\nHEIGHT 1080\n");
    int w = 0, h = 0, b = 0;
    capture_stderr();
    EXPECT_EQ(InitSensor(path.c_str(), &w, &h, &b), -1);
    EXPECT_EQ(captured_stderr(), "can't set WIDTH and/or HEIGHT\n");
    EXPECT_EQ(w, 0); // out-parameters untouched
}

struct BadToken {
    const char *line;
    const char *message;
};

class I2cBadTokenTest : public I2cTest, public testing::WithParamInterface<BadToken> {};

TEST_P(I2cBadTokenTest, EndsTheRunNamingTheToken)
{
    std::string path = file(std::string(kSize) + "0x0100 1\n" + GetParam().line + "\n0x0101 1\n");
    int w, h, b;
    EXPECT_EXIT(InitSensor(path.c_str(), &w, &h, &b), ExitedWithCode(1),
                exactly(GetParam().message));
}

INSTANTIATE_TEST_SUITE_P(Numbers, I2cBadTokenTest,
                         testing::Values(BadToken{"WAIT -5", "-5 is not digit\n"},
                                         BadToken{"0x0100 +5", "+5 is not digit\n"},
                                         BadToken{"0x0100 1.5", "1.5 is not digit\n"},
                                         BadToken{"GAIN 5", "GAIN is not digit\n"},
                                         BadToken{"0x0100 $NOPE", "$NOPE not found\n"},
                                         BadToken{"$SELF = $SELF", "$SELF not found\n"},
                                         BadToken{"0x0100 0x123456789",
                                                  "0x123456789 is not digit\n"},
                                         BadToken{"0x0100 2147483648", "2147483648 is not digit\n"},
                                         BadToken{"0x0100 99999999999999999999",
                                                  "99999999999999999999 is not digit\n"}));

TEST_F(I2cTest, LargestValuesThatFitAreAccepted)
{
    EXPECT_EQ(writes_of("0x0100 0xFFFFFFFF\n0x0101 2147483647\n"),
              (Log{"10 W 01 00 ff", "10 W 01 01 ff"}));
}

TEST_F(I2cTest, NameLengthAndTableLimits)
{
    std::string name30 = "$" + std::string(29, 'N');
    EXPECT_EQ(writes_of(name30 + " = 7\n0x0100 " + name30 + "\n"), (Log{"10 W 01 00 07"}));

    std::string path = file(std::string(kSize) + "$" + std::string(30, 'N') + " = 7\n");
    int w, h, b;
    EXPECT_EXIT(InitSensor(path.c_str(), &w, &h, &b), ExitedWithCode(1),
                exactly("over name length max(32).\n"));

    std::string defs;
    for (int i = 0; i < 127; ++i)
        defs += "$V" + std::to_string(i) + " = " + std::to_string(i) + "\n";
    SimPi::instance().bus().clear_log();
    EXPECT_EQ(writes_of(defs + "0x0100 $V126\n"), (Log{"10 W 01 00 7e"}));

    path = file(std::string(kSize) + defs + "$V127 = 127\n");
    EXPECT_EXIT(InitSensor(path.c_str(), &w, &h, &b), ExitedWithCode(1),
                exactly("over table max(128).\n"));
}

TEST_F(I2cTest, LinesWithoutAValueEndTheRunNamingFileAndLine)
{
    int w, h, b;
    std::string path = file(std::string(kSize) + "0x0100\n");
    EXPECT_EXIT(InitSensor(path.c_str(), &w, &h, &b), ExitedWithCode(1),
                exactly(path + ":3: 0x0100 has no value\n"));
    path = file("# comment\n$A =   \n");
    EXPECT_EXIT(InitSensor(path.c_str(), &w, &h, &b), ExitedWithCode(1),
                exactly(path + ":2: $A has no value\n"));
    path = file("@ x\nRAWBIT\n");
    EXPECT_EXIT(check_rawbit(path.c_str()), ExitedWithCode(1),
                exactly(path + ":2: RAWBIT has no value\n"));
}

TEST_F(I2cTest, ScansSeeOnlyUpperCaseAndTakeTheFirstValue)
{
    std::string path = file(std::string(kSize) + "rawbit 12\ndata_lanes 4\n");
    EXPECT_EQ(check_rawbit(path.c_str()), 10);
    EXPECT_EQ(check_lanes(path.c_str()), 2);
    std::string out = interpret(std::string(kSize) + "rawbit 12\ndata_lanes 4\nwidth 640\n");
    EXPECT_NE(out.find("RAWBIT     :   12\nDATA_LANES :    4\n"), std::string::npos);
    EXPECT_NE(out.find("WIDTH      :  640\n"), std::string::npos);

    path = file(std::string(kSize) + "RAWBIT 12\nDATA_LANES 4\nRAWBIT 10\nDATA_LANES 1\n");
    EXPECT_EQ(check_rawbit(path.c_str()), 12);
    EXPECT_EQ(check_lanes(path.c_str()), 4);
    out = interpret(tolva::test::read_file(path));
    EXPECT_NE(out.find("RAWBIT     :   10\nDATA_LANES :    1\n"), std::string::npos);

    path = file("bayer BGGR\nBAYER gbrg\nBAYER GRBG\n");
    EXPECT_EQ(check_bayer(path.c_str()), BAYER_GBRG);
}

TEST_F(I2cTest, ScanEdgeCases)
{
    std::string path = file("# only a comment\n\n");
    EXPECT_EQ(check_rawbit(path.c_str()), 10);
    EXPECT_EQ(check_lanes(path.c_str()), 2);
    EXPECT_EQ(check_bayer(path.c_str()), BAYER_RGGB);
    capture_stderr();
    int w, h, b;
    EXPECT_EQ(InitSensor(path.c_str(), &w, &h, &b), -1);
    EXPECT_EQ(captured_stderr(), "can't set WIDTH and/or HEIGHT\n");

    // The scans run before any definition exists.
    path = file("$BITS = 12\nRAWBIT $BITS\n");
    EXPECT_EXIT(check_rawbit(path.c_str()), ExitedWithCode(1), exactly("$BITS not found\n"));
    path = file("RAWBIT = 12\n");
    EXPECT_EXIT(check_rawbit(path.c_str()), ExitedWithCode(1), exactly("= is not digit\n"));

    capture_stderr();
    EXPECT_EQ(check_rawbit("/nonexistent/init.txt"), -1);
    EXPECT_EQ(check_lanes("/nonexistent/init.txt"), -1);
    EXPECT_EQ(InitSensor("/nonexistent/init.txt", &w, &h, &b), -1);
    EXPECT_EQ(captured_stderr(), "can't open /nonexistent/init.txt\n"
                                 "can't open /nonexistent/init.txt\n"
                                 "can't open /nonexistent/init.txt.\n");
}

TEST_F(I2cTest, RegisterWritesAsBytesOnTheBus)
{
    EXPECT_EQ(
        writes_of("0x10 0x5 w\n0x10 0x5\n0x10 0x1234\n0x0202 0x0C1C W\n"
                  "0x0204 0x0102 word\n0x0206 0x0304 Wide\n0x0208 0x0506 x\n"
                  "0x01FF 0xABCD w\n0x01 2 w extra tokens\n"),
        (Log{"10 W 00 10 00", "10 W 00 11 05", "10 W 00 10 05", "10 W 00 10 34", "10 W 02 02 0c",
             "10 W 02 03 1c", "10 W 02 04 01", "10 W 02 05 02", "10 W 02 06 03", "10 W 02 07 04",
             "10 W 02 08 06", "10 W 01 ff ab", "10 W 02 00 cd", "10 W 00 01 00", "10 W 00 02 02"}));
}

TEST_F(I2cTest, AddressChangesTakeEffectAtTheirPlaceAndLast)
{
    SimPi::instance().bus().attach(0x1a, &SimPi::instance().sensor());
    std::string out = interpret(std::string(kSize) + "0x0100 1\nI2C_ADDRESS 0x1a\n0x0100 2\n");
    EXPECT_EQ(SimPi::instance().bus().log(), (Log{"10 W 01 00 01", "1a W 01 00 02"}));
    EXPECT_NE(out.find("I2C_ADDRESS: 0x1A\n"), std::string::npos);
    StopSensor(); // stops the sensor at the address the file set last
    EXPECT_EQ(SimPi::instance().bus().log().back(), "1a W 01 00 00");
}

TEST_F(I2cTest, StopLinesAreKeptForTheStopInPlaceOfModeSelect)
{
    SimPi::instance().set_pauses_skipped(true);
    EXPECT_EQ(writes_of("$ON = 1\nSTOP 0x3000 $ON\nstop WAIT 30\nSTOP 0x3018 0x0465 w\n"), Log{});
    StopSensor();
    EXPECT_EQ(SimPi::instance().bus().log(),
              (Log{"10 W 30 00 01", "10 W 30 18 04", "10 W 30 19 65"}));
    EXPECT_EQ(SimPi::instance().skipped_pauses(), std::chrono::milliseconds(30));
    interpret(kSize); // the next file's stop is its own
    StopSensor();
    EXPECT_EQ(SimPi::instance().bus().log().back(), "10 W 01 00 00");
}

TEST_F(I2cTest, PausesSleepAtLeastTheirTime)
{
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(writes_of("WAIT 30\nDELAY 20\nwait 0\n"), Log{});
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST_F(I2cTest, RefusedRegisterIsReportedByNobodyAndTheFileGoesOn)
{
    SimPi::instance().sensor().refuse_writes_to(0x0101);
    EXPECT_EQ(writes_of("0x0101 1\n0x0102 2\n"), (Log{"10 W 01 01 01 NACK", "10 W 01 02 02"}));
}

TEST_F(I2cTest, NoDeviceFileReportsEachLineAndGoesOn)
{
    SimPi::instance().set_i2c_device_missing(true);
    std::string path = file(std::string(kSize) + "0x0100 1\n0x0101 1\n");
    int w, h, b;
    capture_stdout();
    capture_stderr();
    EXPECT_EQ(InitSensor(path.c_str(), &w, &h, &b), 0);
    captured_stdout();
    EXPECT_EQ(captured_stderr(), "SetReg: error@open No such file or directory\n"
                                 "SetReg: error@open No such file or directory\n");
    EXPECT_EQ(SimPi::instance().bus().log(), Log{});
}

TEST_F(I2cTest, SetRegEdgeCases)
{
    EXPECT_EQ(SetReg(0x0100, 0, 0x55), 0); // opens and addresses, transfers nothing
    EXPECT_EQ(SetReg(0x0100, 1, 0x1FF), 0);
    EXPECT_EQ(SetReg(0xFFFF, 2, 0x0102), 0); // the address wraps as a 16-bit number
    EXPECT_EQ(SetReg(0x0300, 4, 0x11223344), 0);
    EXPECT_EQ(SimPi::instance().bus().log(),
              (Log{"10 W 01 00 ff", "10 W ff ff 01", "10 W 00 00 02", "10 W 03 00 11",
                   "10 W 03 01 22", "10 W 03 02 33", "10 W 03 03 44"}));
    EXPECT_EQ(SimPi::instance().open_i2c_count(), 0);

    I2C_ADDRESS = 0x22; // nobody there: every transfer fails silently
    EXPECT_EQ(SetReg(0x0100, 2, 1), 0);
    EXPECT_EQ(SimPi::instance().bus().log().back(), "22 W 01 01 01 NACK");
}

TEST_F(I2cTest, SetRegAndGetRegOpenAndAddressFailures)
{
    SimPi::instance().set_i2c_address_fails(true);
    capture_stderr();
    EXPECT_EQ(SetReg(0x0100, 1, 1), -1);
    EXPECT_EQ(GetReg(0x0100, 1), -1);
    EXPECT_EQ(captured_stderr(), "SetReg: error@ioctl Input/output error\n"
                                 "GetReg: error@ioctl Input/output error\n");
    SimPi::instance().set_i2c_device_missing(true);
    capture_stderr();
    EXPECT_EQ(SetReg(0x0100, 1, 1), -1);
    EXPECT_EQ(GetReg(0x0100, 1), -1);
    EXPECT_EQ(captured_stderr(), "SetReg: error@open No such file or directory\n"
                                 "GetReg: error@open No such file or directory\n");
    EXPECT_EQ(SimPi::instance().open_i2c_count(), 0);
    EXPECT_EQ(SimPi::instance().bus().log(), Log{});
}

TEST_F(I2cTest, GetRegReadsOneOrTwoBytesBigEndian)
{
    EXPECT_EQ(GetReg(0x0016, 2), 0x0477); // the sensor's model id
    EXPECT_EQ(GetReg(0x0017, 1), 0x77);
    EXPECT_EQ(SimPi::instance().bus().log(),
              (Log{"10 W 00 16", "10 R 04 77", "10 W 00 17", "10 R 77"}));

    capture_stderr();
    EXPECT_EQ(GetReg(0x0016, 3), -1);
    EXPECT_EQ(GetReg(0x0016, 0), -1);
    EXPECT_EQ(GetReg(0x0016, -1), -1);
    EXPECT_EQ(captured_stderr(), "GetReg: len=3 No support (len > 2)\n"
                                 "GetReg: len=0 No support (len > 2)\n"
                                 "GetReg: len=-1 No support (len > 2)\n");
    EXPECT_EQ(SimPi::instance().bus().log().size(), 4u); // nothing more on the bus
}

TEST_F(I2cTest, GetRegWithNobodyAtTheAddressEndsTheProcess)
{
    I2C_ADDRESS = 0x1a;
    EXPECT_EXIT(
        GetReg(0x0016, 2), ExitedWithCode(1),
        exactly("GetReg: error@read Remote I/O error\nI2C_ADDRESS: 1a\nlen: len=2  n=-1\n"));
}

TEST_F(I2cTest, StopSensorAndTheNamedOperationsWithoutSupport)
{
    StopSensor();
    EXPECT_EQ(SimPi::instance().bus().log(), (Log{"10 W 01 00 00"}));
    capture_stderr();
    SetFrameLength(1);
    SetExposure(2);
    SetAnaGain(3);
    SetDigGain(4);
    SetOrientation(5);
    EXPECT_EQ(captured_stderr(), "SetFrameLength : no support. use SetReg.\n"
                                 "SetExposure : no support. use SetReg.\n"
                                 "SetAnaGain : no support. use SetReg.\n"
                                 "SetDigGain : no support. use SetReg.\n"
                                 "SetOrientation : no support. use SetReg.\n");
    EXPECT_EQ(SimPi::instance().bus().log().size(), 1u);
    capture_stdout();
    DispMode();
    EXPECT_EQ(captured_stdout(), "@(#)i2c Ver. 1.0030 (2021/10/04 10:46:59)\n");
    EXPECT_STREQ(i2c_device_name, "/dev/i2c-0");
}

TEST_F(I2cTest, PausesAreAskedOfTheHostInFull)
{
    SimPi::instance().set_pauses_skipped(true);
    // The longest pause a file can give is over 24 days: no part of it may be lost.
    EXPECT_EQ(writes_of("WAIT 1500\nDELAY 2147483647\nWAIT 0xFFFFFFFF\n"), Log{});
    EXPECT_EQ(SimPi::instance().skipped_pauses(),
              std::chrono::milliseconds(1500) + std::chrono::milliseconds(2147483647));
}

// A value no frame can have ends the run at its line, naming the file, the line and the value,
// before the register writes after it go out.
struct RefusedValue {
    const char *lines; // put between a register write and the rest of the file
    int line;          // the line named
    const char *message;
};

void PrintTo(const RefusedValue &c, std::ostream *os) { *os << '"' << c.lines << '"'; }

class I2cRefusedValueTest : public I2cTest, public testing::WithParamInterface<RefusedValue> {};

TEST_P(I2cRefusedValueTest, EndsTheRunAtItsLine)
{
    const RefusedValue &c = GetParam();
    std::string path = file(std::string("0x0100 1\n") + c.lines + "\n0x0101 1\n" + kSize);
    int w = 0, h = 0, b = 0;
    capture_stderr();
    {
        CatchFatal catching;
        try {
            InitSensor(path.c_str(), &w, &h, &b);
            ADD_FAILURE() << "the file was accepted";
        } catch (const FatalExit &exit) {
            EXPECT_EQ(exit.status, 1);
        }
    }
    EXPECT_EQ(captured_stderr(), path + ":" + std::to_string(c.line) + ": " + c.message + "\n");
    EXPECT_EQ(SimPi::instance().bus().log(), Log{"10 W 01 00 01"});
    EXPECT_EQ(w, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, I2cRefusedValueTest,
    testing::Values(
        RefusedValue{"WIDTH 0xFFFFFFFF", 2, "WIDTH 0xFFFFFFFF (-1) is out of range (1 to 65535)"},
        RefusedValue{"HEIGHT 100000", 2, "HEIGHT 100000 is out of range (1 to 65535)"},
        RefusedValue{"width 65536", 2, "width 65536 is out of range (1 to 65535)"},
        RefusedValue{"$W = 0x11170\nWIDTH $W", 3, "WIDTH $W (70000) is out of range (1 to 65535)"},
        RefusedValue{"BUFSIZ 0x80000000", 2,
                     "BUFSIZ 0x80000000 (-2147483648) is out of range (0 to 2147483647)"},
        RefusedValue{"DATA_LANES 0", 2, "DATA_LANES 0 is out of range (1 to 4)"},
        RefusedValue{"data_lanes 5", 2, "data_lanes 5 is out of range (1 to 4)"},
        RefusedValue{"RAWBIT 14", 2, "RAWBIT 14 is not a depth the receiver delivers (10 or 12)"},
        RefusedValue{"RAWBIT 0x10", 2,
                     "RAWBIT 0x10 (16) is not a depth the receiver delivers (10 or 12)"},
        RefusedValue{"rawbit 8", 2, "rawbit 8 is not a depth the receiver delivers (10 or 12)"},
        RefusedValue{"BAYER RGBG", 2, "BAYER RGBG is not a Bayer order (RGGB, GRBG, GBRG or BGGR)"},
        RefusedValue{"STOP 0x3000", 2, "STOP has no value"}));

TEST_F(I2cTest, ScansRefuseWhatTheReceiverCannotBeSetUpFor)
{
    CatchFatal catching;
    std::string path = file("@ x\nRAWBIT 16\n");
    capture_stderr();
    EXPECT_THROW(check_rawbit(path.c_str()), FatalExit);
    EXPECT_EQ(captured_stderr(),
              path + ":2: RAWBIT 16 is not a depth the receiver delivers (10 or 12)\n");
    path = file("DATA_LANES 0xFFFFFFFF\n");
    capture_stderr();
    EXPECT_THROW(check_lanes(path.c_str()), FatalExit);
    EXPECT_EQ(captured_stderr(),
              path + ":1: DATA_LANES 0xFFFFFFFF (-1) is out of range (1 to 4)\n");
    // Each scan sees only its own setting, and upper case only.
    path = file("RAWBIT 12\nDATA_LANES 4\nrawbit 14\nDATA_LANES 9\n");
    EXPECT_EQ(check_rawbit(path.c_str()), 12);
    EXPECT_EQ(check_lanes(path.c_str()), 4);
}

// Sizes that each fit but together describe no frame the receiver can deliver: refused after
// the file, naming the line that set them last, with the sensor stopped again.
struct RefusedFrame {
    const char *settings;
    bool refused;
    const char *message; // after "FILE:"
};

void PrintTo(const RefusedFrame &c, std::ostream *os) { *os << '"' << c.settings << '"'; }

class I2cFrameTest : public I2cTest, public testing::WithParamInterface<RefusedFrame> {};

TEST_P(I2cFrameTest, FrameSizesAreCheckedTogether)
{
    const RefusedFrame &c = GetParam();
    std::string path = file(std::string(c.settings) + "0x0100 1\n");
    int w = 0, h = 0, b = 0;
    capture_stdout();
    capture_stderr();
    int result = InitSensor(path.c_str(), &w, &h, &b);
    captured_stdout();
    std::string err = captured_stderr();
    if (!c.refused) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(err, "");
        EXPECT_EQ(SimPi::instance().bus().log(), Log{"10 W 01 00 01"});
        return;
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, path + ":" + c.message + "\n");
    EXPECT_EQ(SimPi::instance().bus().log(), (Log{"10 W 01 00 01", "10 W 01 00 00"}));
    EXPECT_EQ(w, 0); // out-parameters untouched
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, I2cFrameTest,
    testing::Values(
        RefusedFrame{"WIDTH 65535\nHEIGHT 1\n", false, ""},
        RefusedFrame{"WIDTH 4096\nHEIGHT 8192\n", false, ""}, // 32 Mi pixels
        RefusedFrame{"WIDTH 4097\nHEIGHT 8192\n", true,
                     "2: WIDTH 4097 x HEIGHT 8192 is more than 33554432 pixels"},
        RefusedFrame{"HEIGHT 65535\nWIDTH 65535\nHEIGHT 60000\n", true,
                     "3: WIDTH 65535 x HEIGHT 60000 is more than 33554432 pixels"},
        // 1920 x 1080 RAW10: 2592000 bytes packed; fill up to one bit a pixel more.
        RefusedFrame{"WIDTH 1920\nHEIGHT 1080\nBUFSIZ 2592000\n", false, ""},
        RefusedFrame{"WIDTH 1920\nHEIGHT 1080\nBUFSIZ 2851199\n", false, ""},
        RefusedFrame{"WIDTH 1920\nHEIGHT 1080\nBUFSIZ 2591999\n", true,
                     "3: BUFSIZ 2591999 does not fit WIDTH 1920 x HEIGHT 1080 at RAWBIT 10 "
                     "(2592000 to 2851199 bytes)"},
        RefusedFrame{"BUFSIZ 2851200\nWIDTH 1920\nHEIGHT 1080\n", true,
                     "1: BUFSIZ 2851200 does not fit WIDTH 1920 x HEIGHT 1080 at RAWBIT 10 "
                     "(2592000 to 2851199 bytes)"},
        RefusedFrame{"WIDTH 1920\nHEIGHT 1080\nBUFSIZ 1\nBUFSIZ 0\n", false, ""}, // not given
        // The receiver's depth is the scan's (the first upper-case RAWBIT), not the last one.
        RefusedFrame{"RAWBIT 12\nRAWBIT 10\nWIDTH 64\nHEIGHT 48\nBUFSIZ 4608\n", false, ""},
        RefusedFrame{"rawbit 12\nWIDTH 64\nHEIGHT 48\nBUFSIZ 4608\n", true,
                     "4: BUFSIZ 4608 does not fit WIDTH 64 x HEIGHT 48 at RAWBIT 10 (3840 to 4223 "
                     "bytes)"}));

TEST_F(I2cTest, AFileWithoutAFrameSizeLeavesTheSensorStopped)
{
    std::string path = file("WIDTH 1920\n0x0100 1\n");
    int w = 0, h = 0, b = 0;
    capture_stderr();
    EXPECT_EQ(InitSensor(path.c_str(), &w, &h, &b), -1);
    EXPECT_EQ(captured_stderr(), "can't set WIDTH and/or HEIGHT\n");
    EXPECT_EQ(SimPi::instance().bus().log(), (Log{"10 W 01 00 01", "10 W 01 00 00"}));
}

TEST_F(I2cTest, EverySensorFileIsAccepted)
{
    SimPi::instance().set_pauses_skipped(true);
    int files = 0;
    for (const auto &entry :
         std::filesystem::recursive_directory_iterator(tolva::test::source_path("sensors"))) {
        if (entry.path().extension() != ".txt")
            continue;
        std::string path = entry.path().string();
        int w = 0, h = 0, b = 0;
        capture_stdout();
        capture_stderr();
        EXPECT_EQ(InitSensor(path.c_str(), &w, &h, &b), 0) << path;
        captured_stdout();
        EXPECT_EQ(captured_stderr(), "") << path;
        // Whole lines of samples, each with less fill than the receivers' 32-byte alignment.
        ASSERT_GT(h, 0) << path;
        long long samples = (check_rawbit(path.c_str()) * static_cast<long long>(w) + 7) / 8;
        EXPECT_EQ(b % h, 0) << path;
        EXPECT_GE(b / h, samples) << path;
        EXPECT_LT(b / h, samples + 32) << path;
        ++files;
    }
    EXPECT_GE(files, 13);
}

TEST_F(I2cTest, FatalErrorKeepsTheWritesBeforeIt)
{
    std::string log = dir.path() + "/bus.log";
    std::string path = file(std::string(kSize) + "0x0100 1\n0x0101 bad\n0x0102 1\n");
    int w, h, b;
    EXPECT_EXIT(
        {
            SimPi::reset(Knobs{log});
            InitSensor(path.c_str(), &w, &h, &b);
        },
        ExitedWithCode(1), exactly("bad is not digit\n"));
    EXPECT_EQ(tolva::test::read_file(log), "10 W 01 00 01\n");
}

} // namespace
