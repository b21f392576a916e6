// Tests of the simulated board: raspi-gpio's rules, i2cdetect's map, the mailbox, /proc, the
// camera's power-up, and commands the simulator leaves to the system.
#include "board.h"
#include "commands.h"
#include "host.h"
#include "output_capture.h"
#include "sim_pi.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>

namespace tolva::sim {
namespace {

using tolva::test::capture_stderr;
using tolva::test::capture_stdout;
using tolva::test::captured_stderr;
using tolva::test::captured_stdout;

const unsigned long kMboxProperty = _IOWR(100, 0, char *);

SimPi &unrouted(const std::string &revision = "a020d3", int probes = 0)
{
    Knobs knobs;
    knobs.board_revision = revision;
    knobs.camera_routed = false;
    knobs.camera_probes = probes;
    return SimPi::reset(knobs);
}

// The command's exit status and what it printed.
CommandOutput run(SimPi &pi, const std::string &line)
{
    capture_stdout();
    capture_stderr();
    int status = run_command(pi, line);
    std::string out = captured_stdout();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, captured_stderr()};
}

// Sets a firmware GPIO line through the mailbox host services; returns the response code.
std::uint32_t set_firmware_line(int line, int state)
{
    int fd = host_mbox_open("/dev/vcio", O_RDONLY | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    std::uint32_t message[8] = {
        32, 0, 0x38041, 8, 0, static_cast<std::uint32_t>(line), static_cast<std::uint32_t>(state),
        0};
    EXPECT_EQ(host_mbox_ioctl(fd, kMboxProperty, message), 0);
    EXPECT_EQ(host_mbox_close(fd), 0);
    return message[1];
}

TEST(RaspiGpio, FunctionsLevelsAndPulls)
{
    SimPi &pi = unrouted();
    const Pin &pin = pi.board().pin(20);
    EXPECT_EQ(run(pi, "raspi-gpio set 20 op pn dh").status, 0);
    EXPECT_EQ(pin.function, PinFunction::output);
    EXPECT_TRUE(pin.high);
    // The level is kept while the pin is an input and driven again when it is an output.
    EXPECT_EQ(run(pi, "raspi-gpio set 20 ip pd").status, 0);
    EXPECT_EQ(pin.function, PinFunction::input);
    EXPECT_EQ(pin.pull, Pull::down);
    EXPECT_EQ(run(pi, "raspi-gpio set 20 op").status, 0);
    EXPECT_TRUE(pin.high);
    EXPECT_EQ(run(pi, "raspi-gpio set 20 dl pu").status, 0);
    EXPECT_FALSE(pin.high);
    EXPECT_EQ(pin.pull, Pull::up);
    EXPECT_EQ(run(pi, "raspi-gpio set 20 a2 a5").status, 0);
    EXPECT_EQ(pin.function, PinFunction::alt5);
}

TEST(RaspiGpio, LevelOnlyOnAnOutput)
{
    SimPi &pi = unrouted();
    CommandOutput result = run(pi, "raspi-gpio set 21 dh");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "Can't set pin value, not an output\n");
    EXPECT_FALSE(pi.board().pin(21).high);
}

TEST(RaspiGpio, UnknownArgumentChangesNothing)
{
    SimPi &pi = unrouted();
    CommandOutput result = run(pi, "raspi-gpio set 3 op out");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "Unknown argument \"out\"\n");
    EXPECT_EQ(pi.board().pin(3).function, PinFunction::input);
}

TEST(RaspiGpio, PinListsAndRanges)
{
    SimPi &pi = unrouted();
    EXPECT_EQ(run(pi, "raspi-gpio set 20,22-24 a3").status, 0);
    for (int gpio : {20, 22, 23, 24})
        EXPECT_EQ(pi.board().pin(gpio).function, PinFunction::alt3) << gpio;
    EXPECT_EQ(pi.board().pin(21).function, PinFunction::input);
    EXPECT_EQ(pi.board().pin(25).function, PinFunction::input);
}

TEST(RaspiGpio, PinsOutsideTheChipAreRefused)
{
    SimPi &pi = unrouted("a020d3"); // BCM2837: GPIO 0 to 53
    for (const char *pins : {"54", "x", "5-3", "1,", "-1", "2-60"}) {
        CommandOutput result = run(pi, std::string("raspi-gpio set ") + pins + " op");
        EXPECT_EQ(result.status, 1) << pins;
        EXPECT_EQ(result.out, std::string("Unknown GPIO \"") + pins + "\"\n");
    }
    SimPi &pi4 = unrouted("c03111"); // BCM2711: GPIO 0 to 57
    EXPECT_EQ(run(pi4, "raspi-gpio set 57 op").status, 0);
}

TEST(I2cdetect, PrintsTheBusMapInTheToolsLayout)
{
    SimPi &pi = SimPi::reset();
    std::string map = "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n"
                      "00:          -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                      "10: 10 -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                      "20: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                      "30: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                      "40: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                      "50: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                      "60: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
                      "70: -- -- -- -- -- -- -- --                         \n";
    CommandOutput result = run(pi, "i2cdetect -y 0");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, map);
    EXPECT_EQ(
        bus_map(pi.bus(), {0x1a, 0x77}),
        map.replace(map.find("10: 10 -- -- -- -- -- -- -- -- -- --"), 36,
                    "10: 10 -- -- -- -- -- -- -- -- -- UU")
            .replace(map.find("70: -- -- -- -- -- -- -- --"), 27, "70: -- -- -- -- -- -- -- UU"));
}

TEST(I2cdetect, WritesToTheRedirectedFile)
{
    Knobs knobs;
    knobs.driver_addresses = {0x03};
    SimPi &pi = SimPi::reset(knobs);
    test::ScratchDir dir;
    std::string file = dir.path() + "/map";
    CommandOutput result = run(pi, "i2cdetect -y 0 >" + file);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(test::read_file(file).substr(52, 53),
              "00:          UU -- -- -- -- -- -- -- -- -- -- -- -- \n");
    EXPECT_EQ(run(pi, "i2cdetect -y 0 > /dev/null").out, "");
    EXPECT_EQ(pi.board_record(),
              (std::vector<std::string>{"i2cdetect -y 0 >" + file, "i2cdetect -y 0 > /dev/null"}));
}

TEST(I2cdetect, MissingBusLeavesAnEmptyFile)
{
    SimPi &pi = SimPi::reset();
    test::ScratchDir dir;
    std::string file = dir.path() + "/map";
    CommandOutput result = run(pi, "i2cdetect -y 10 > " + file);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "Error: Could not open file `/dev/i2c-10' or `/dev/i2c/10': No such file or "
              "directory\n");
    EXPECT_EQ(test::read_file(file), "");
    EXPECT_EQ(run(pi, "i2cdetect -y 0 > " + dir.path() + "/no/such/dir").status, 2);
}

TEST(Camera, AnswersWhenConnectedPoweredAndProbedEnough)
{
    SimPi &pi = unrouted("a020d3", 2);
    run(pi, "raspi-gpio set 44 a1");
    run(pi, "raspi-gpio set 45 a1");
    EXPECT_FALSE(pi.bus().answers(0x10));
    EXPECT_EQ(set_firmware_line(133, 1), 0x80000000u);
    EXPECT_TRUE(pi.board().firmware_line(133));
    EXPECT_FALSE(pi.bus().answers(0x10));
    run(pi, "i2cdetect -y 0");
    EXPECT_FALSE(pi.bus().answers(0x10));
    run(pi, "i2cdetect -y 0");
    EXPECT_TRUE(pi.bus().answers(0x10));
    // Lines disconnected and connected again: the camera stayed powered.
    run(pi, "raspi-gpio set 44 ip");
    EXPECT_FALSE(pi.bus().answers(0x10));
    run(pi, "raspi-gpio set 44 a1");
    EXPECT_TRUE(pi.bus().answers(0x10));
    // Power cycled: the power-up starts over.
    set_firmware_line(133, 0);
    set_firmware_line(133, 1);
    EXPECT_FALSE(pi.bus().answers(0x10));
}

TEST(Camera, RoutedKnobStartsWithTheCameraAnswering)
{
    Knobs knobs;
    EXPECT_TRUE(SimPi::reset(knobs).bus().answers(0x10));
    knobs.camera_probes = 5;
    EXPECT_TRUE(SimPi::reset(knobs).bus().answers(0x10));
    knobs.board_revision = "c03130"; // Pi 400: no camera connector
    EXPECT_FALSE(SimPi::reset(knobs).bus().answers(0x10));
    knobs = Knobs{};
    knobs.no_sensor = true;
    EXPECT_FALSE(SimPi::reset(knobs).bus().answers(0x10));
}

TEST(Mailbox, AnswersOnlyTheGpioStateMessage)
{
    SimPi &pi = unrouted();
    int fd = host_mbox_open("/dev/vcio", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    std::uint32_t other_tag[8] = {32, 0, 0x10001, 8, 0, 0, 0, 0};
    EXPECT_EQ(host_mbox_ioctl(fd, kMboxProperty, other_tag), 0);
    EXPECT_EQ(other_tag[1], 0x80000001u);
    std::uint32_t short_message[2] = {8, 0};
    EXPECT_EQ(host_mbox_ioctl(fd, kMboxProperty, short_message), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(host_mbox_ioctl(fd, 0x1234, other_tag), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(host_mbox_close(fd), 0);
    EXPECT_EQ(host_mbox_close(fd), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(host_mbox_ioctl(fd, kMboxProperty, other_tag), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(host_mbox_open("/dev/vcio0", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(
        pi.board_record(),
        std::vector<std::string>{
            "mailbox 00000020 00000000 00010001 00000008 00000000 00000000 00000000 00000000"});
}

TEST(Mailbox, InjectedFirmwareErrorChangesNothing)
{
    Knobs knobs;
    knobs.camera_routed = false;
    knobs.mbox_response = 0x80000001;
    SimPi &pi = SimPi::reset(knobs);
    EXPECT_EQ(set_firmware_line(133, 1), 0x80000001u);
    EXPECT_FALSE(pi.board().firmware_line(133));
}

std::string read_proc(const char *path)
{
    std::FILE *file = host_fopen_proc(path);
    EXPECT_NE(file, nullptr) << path;
    return test::read_stream(file);
}

TEST(Proc, ServesTheBoardsFiles)
{
    Knobs knobs;
    knobs.board_revision = "c03111";
    knobs.kernel_release = "6.1.21-v8+";
    SimPi &pi = SimPi::reset(knobs);
    std::string cpuinfo = read_proc("/proc/cpuinfo");
    EXPECT_NE(cpuinfo.find("CPU revision\t: 4\n"), std::string::npos);
    EXPECT_NE(cpuinfo.find("\nRevision\t: c03111\n"), std::string::npos);
    EXPECT_EQ(read_proc("/proc/sys/kernel/osrelease"), "6.1.21-v8+\n");
    pi.board().set_cpuinfo(std::nullopt);
    EXPECT_EQ(host_fopen_proc("/proc/cpuinfo"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    pi.board().set_osrelease(std::string(""));
    EXPECT_EQ(read_proc("/proc/sys/kernel/osrelease"), "");
}

TEST(Commands, OthersRunForRealAndAreRecorded)
{
    SimPi &pi = SimPi::reset();
    test::ScratchDir dir;
    std::string file = dir.path() + "/out";
    EXPECT_EQ(run(pi, "exit 3").status, 3);
    EXPECT_EQ(run(pi, "echo hi > " + file).status, 0);
    EXPECT_EQ(test::read_file(file), "hi\n");
    // Shell syntax the simulator does not read goes to the shell, modelled tool or not.
    EXPECT_EQ(run(pi, "i2cdetect -y 0 | true").status, 0);
    EXPECT_EQ(pi.board_record(),
              (std::vector<std::string>{"exit 3", "echo hi > " + file, "i2cdetect -y 0 | true"}));
}

TEST(Commands, ScriptedOutputReplacesTheCommand)
{
    SimPi &pi = SimPi::reset();
    pi.script_command("i2cdetect -y 0", "anything\n", 4);
    CommandOutput result = run(pi, "i2cdetect  -y 0");
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.out, "anything\n");
}

TEST(Knobs, BoardKnobsComeFromTheEnvironment)
{
    setenv("TOLVA_SIM_BOARD_REVISION", "902120", 1);
    setenv("TOLVA_SIM_KERNEL_RELEASE", "6.1.21-v7+-with-a-long-local-version-suffix", 1);
    setenv("TOLVA_SIM_CAMERA_PROBES", "4", 1);
    setenv("TOLVA_SIM_I2C_DRIVER_ADDRESSES", "0x1a,80", 1);
    setenv("TOLVA_SIM_MBOX_RESPONSE", "0x80000001", 1);
    setenv("TOLVA_SIM_FAULTS", "no-vcio,mbox-ioctl", 1);
    Knobs knobs = Knobs::from_environment();
    EXPECT_EQ(knobs.board_revision, "902120");
    EXPECT_EQ(knobs.kernel_release, "6.1.21-v7+-with-a-long-local-version-suffix");
    EXPECT_FALSE(knobs.camera_routed); // the program's default: routing required
    EXPECT_EQ(knobs.camera_probes, 4);
    EXPECT_EQ(knobs.driver_addresses, (std::vector<int>{0x1a, 80}));
    EXPECT_EQ(knobs.mbox_response, 0x80000001u);
    EXPECT_TRUE(knobs.no_vcio);
    EXPECT_TRUE(knobs.mbox_ioctl_fails);

    setenv("TOLVA_SIM_CAMERA_ROUTED", "1", 1);
    setenv("TOLVA_SIM_I2C_DRIVER_ADDRESSES", "0x1a,0x78", 1);
    setenv("TOLVA_SIM_CAMERA_PROBES", "-1", 1);
    capture_stderr();
    knobs = Knobs::from_environment();
    EXPECT_EQ(captured_stderr(),
              "simulated Pi: TOLVA_SIM_CAMERA_PROBES=-1 is not a number from 0 to 1000000; "
              "using 0\n"
              "simulated Pi: TOLVA_SIM_I2C_DRIVER_ADDRESSES: '0x78' is not an address from 0x03 "
              "to 0x77\n");
    EXPECT_TRUE(knobs.camera_routed);
    EXPECT_EQ(knobs.camera_probes, 0);
    EXPECT_TRUE(knobs.driver_addresses.empty());
    for (const char *name :
         {"TOLVA_SIM_BOARD_REVISION", "TOLVA_SIM_KERNEL_RELEASE", "TOLVA_SIM_CAMERA_PROBES",
          "TOLVA_SIM_I2C_DRIVER_ADDRESSES", "TOLVA_SIM_MBOX_RESPONSE", "TOLVA_SIM_FAULTS",
          "TOLVA_SIM_CAMERA_ROUTED"})
        unsetenv(name);
}

} // namespace
} // namespace tolva::sim
