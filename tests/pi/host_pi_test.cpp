// Tests of the real Pi's host services where no I2C bus exists: every call fails as the
// kernel says, and register access reports it with the system's error text.
#include "camera_i2c.h"
#include "host.h"
#include "i2c.h"
#include "output_capture.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <linux/i2c-dev.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

// qemu-user answers ENOSYS for an ioctl it does not know instead of passing it to the kernel.
int not_an_adapter_errno() { return std::getenv("TOLVA_EMULATOR") ? ENOSYS : ENOTTY; }

bool exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

bool have_i2c_bus() { return exists("/dev/i2c-0"); }

// A Raspberry Pi's /proc/cpuinfo names the board's revision; a PC's does not.
bool is_a_pi()
{
    std::FILE *cpuinfo = std::fopen("/proc/cpuinfo", "r");
    if (!cpuinfo)
        return false;
    char line[8192];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, cpuinfo))
        found = std::strstr(line, "Revision") != nullptr;
    std::fclose(cpuinfo);
    return found;
}

TEST(HostPi, I2cCallsFailWithTheKernelsErrors)
{
    if (have_i2c_bus())
        GTEST_SKIP() << "this machine has /dev/i2c-0";
    EXPECT_EQ(host_i2c_open("/dev/i2c-0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    int fd = host_i2c_open("/dev/null", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(host_i2c_ioctl(fd, I2C_SLAVE_FORCE, 0x10), -1); // not an I2C adapter
    EXPECT_EQ(errno, not_an_adapter_errno());
    EXPECT_EQ(host_i2c_close(fd), 0);
    unsigned char byte = 0;
    EXPECT_EQ(host_i2c_write(fd, &byte, 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(host_i2c_read(fd, &byte, 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(host_i2c_close(fd), -1);
}

TEST(HostPi, RegisterAccessReportsTheMissingDevice)
{
    if (have_i2c_bus())
        GTEST_SKIP() << "this machine has /dev/i2c-0";
    tolva::test::capture_stderr();
    EXPECT_EQ(SetReg(0x0100, 1, 0), -1);
    EXPECT_EQ(GetReg(0x0016, 2), -1);
    EXPECT_EQ(tolva::test::captured_stderr(), "SetReg: error@open No such file or directory\n"
                                              "GetReg: error@open No such file or directory\n");
}

TEST(HostPi, MailboxCallsFailWithTheKernelsErrors)
{
    if (exists("/dev/vcio"))
        GTEST_SKIP() << "this machine has /dev/vcio";
    EXPECT_EQ(host_mbox_open("/dev/vcio", O_RDONLY | O_NONBLOCK), -1);
    EXPECT_EQ(errno, ENOENT);
    int fd = host_mbox_open("/dev/null", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    unsigned message[8] = {32, 0, 0x38041, 8, 0, 133, 1, 0};
    EXPECT_EQ(host_mbox_ioctl(fd, _IOWR(100, 0, char *), message), -1); // not a mailbox
    EXPECT_EQ(errno, not_an_adapter_errno());
    EXPECT_EQ(message[1], 0u);
    EXPECT_EQ(host_mbox_close(fd), 0);
    EXPECT_EQ(host_mbox_close(fd), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(HostPi, ShellAndProcFiles)
{
    int status = host_system("exit 3");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    std::FILE *osrelease = host_fopen_proc("/proc/sys/kernel/osrelease");
    ASSERT_NE(osrelease, nullptr);
    std::fclose(osrelease);
    EXPECT_EQ(host_fopen_proc("/proc/no-such-file"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

// A spawned shell runs beside the caller: it is still running until released, then reaped.
TEST(HostPi, SpawnedShellRunsWithoutWaitingAndIsReaped)
{
    tolva::test::ScratchDir dir;
    std::string release = dir.path() + "/release";
    std::string command = "while [ ! -e '" + release + "' ]; do sleep 0.01; done; exit 4";
    pid_t pid = host_spawn_shell(command.c_str());
    ASSERT_GT(pid, 0);
    int status = 0;
    EXPECT_EQ(host_waitpid_nohang(pid, &status), 0);
    dir.write("release", "");
    pid_t reaped = 0;
    while ((reaped = host_waitpid_nohang(pid, &status)) == 0)
        usleep(1000);
    EXPECT_EQ(reaped, pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
    EXPECT_EQ(host_waitpid_nohang(pid, &status), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(HostPi, BringUpEndsOnABoardWithoutRevision)
{
    if (is_a_pi())
        GTEST_SKIP() << "this machine is a Raspberry Pi";
    EXPECT_EQ(GetRev(), nullptr);
    EXPECT_NE(GetKernel(), nullptr);
    EXPECT_EXIT(camera_i2c(0), testing::ExitedWithCode(1),
                tolva::test::exactly("Revisoion not found.\n"));
}

volatile std::sig_atomic_t interrupted;
void note_interrupt(int) { interrupted = 1; }

// A Ctrl-C at the terminal reaches the command and the program alike, but system() ignores it
// in the program while it waits: the command's death by SIGINT is passed on instead.
TEST(HostPi, CommandEndedByCtrlCPassesItOn)
{
    auto old = std::signal(SIGINT, note_interrupt);
    interrupted = 0;
    int status = host_system("exit 3");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
    EXPECT_EQ(interrupted, 0);
    status = host_system("kill -INT $$");
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    EXPECT_EQ(interrupted, 1);
    std::signal(SIGINT, old);
}

} // namespace
