// Host services on the simulated Pi.
#include "host.h"
#include "sim_pi.h"

#include <linux/i2c-dev.h>

#include <cerrno>
#include <cstdint>

using tolva::sim::SimPi;

namespace {
// What the kernel's i2c-dev driver answers when no device acknowledges a transfer.
ssize_t not_acknowledged()
{
    errno = EREMOTEIO;
    return -1;
}
} // namespace

int host_i2c_open(const char *path, int /*flags*/)
{
    SimPi &pi = SimPi::instance();
    if (!pi.i2c_device_exists(path)) {
        errno = ENOENT;
        return -1;
    }
    return pi.open_i2c();
}

int host_i2c_ioctl(int fd, unsigned long request, int arg)
{
    SimPi &pi = SimPi::instance();
    if (!pi.is_i2c_descriptor(fd)) {
        errno = EBADF;
        return -1;
    }
    if (request != I2C_SLAVE_FORCE || arg < 0 || arg > 0x7f) {
        errno = EINVAL;
        return -1;
    }
    if (!pi.set_i2c_address(fd, arg)) {
        errno = EIO;
        return -1;
    }
    return 0;
}

ssize_t host_i2c_write(int fd, const void *buf, size_t count)
{
    SimPi &pi = SimPi::instance();
    if (!pi.is_i2c_descriptor(fd)) {
        errno = EBADF;
        return -1;
    }
    if (!pi.bus().write(pi.i2c_address(fd), static_cast<const std::uint8_t *>(buf), count))
        return not_acknowledged();
    return static_cast<ssize_t>(count);
}

ssize_t host_i2c_read(int fd, void *buf, size_t count)
{
    SimPi &pi = SimPi::instance();
    if (!pi.is_i2c_descriptor(fd)) {
        errno = EBADF;
        return -1;
    }
    if (!pi.bus().read(pi.i2c_address(fd), static_cast<std::uint8_t *>(buf), count))
        return not_acknowledged();
    return static_cast<ssize_t>(count);
}

int host_i2c_close(int fd)
{
    if (!SimPi::instance().close_i2c(fd)) {
        errno = EBADF;
        return -1;
    }
    return 0;
}
