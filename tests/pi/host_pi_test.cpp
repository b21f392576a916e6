// Tests of the real Pi's host services where no I2C bus exists: every call fails as the
// kernel says, and register access reports it with the system's error text.
#include "host.h"
#include "i2c.h"

#include <gtest/gtest.h>
#include <linux/i2c-dev.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// qemu-user answers ENOSYS for an ioctl it does not know instead of passing it to the kernel.
int not_an_adapter_errno() { return std::getenv("TOLVA_EMULATOR") ? ENOSYS : ENOTTY; }

bool have_i2c_bus()
{
    struct stat st;
    return stat("/dev/i2c-0", &st) == 0;
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
    testing::internal::CaptureStderr();
    EXPECT_EQ(SetReg(0x0100, 1, 0), -1);
    EXPECT_EQ(GetReg(0x0016, 2), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "SetReg: error@open No such file or directory\n"
              "GetReg: error@open No such file or directory\n");
}

} // namespace
