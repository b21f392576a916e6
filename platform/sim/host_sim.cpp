// Host services on the simulated Pi.
#include "host.h"

#include "commands.h"
#include "kernel_answer.h"
#include "sim_pi.h"

#include <linux/i2c-dev.h>

#include <sys/ioctl.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

using tolva::sim::fails_with;
using tolva::sim::SimPi;

namespace {
// What the kernel's i2c-dev driver answers when no device acknowledges a transfer.
ssize_t not_acknowledged()
{
    errno = EREMOTEIO;
    return -1;
}

// The vcio driver's property request: _IOWR(100, 0, char *).
const unsigned long kMboxProperty = _IOWR(100, 0, char *);
constexpr std::uint32_t kPropertyBytes = 32; // the one message the simulated firmware takes

// A file of the simulated /proc: the board's text in an unnamed temporary file, so the caller
// reads and closes it like any other.
std::FILE *proc_file(const std::optional<std::string> &text)
{
    if (!text) {
        errno = ENOENT;
        return nullptr;
    }
    std::FILE *file = std::tmpfile();
    if (!file)
        return nullptr;
    std::fwrite(text->data(), 1, text->size(), file);
    std::rewind(file);
    return file;
}
} // namespace

int host_i2c_open(const char *path, int /*flags*/)
{
    SimPi &pi = SimPi::instance();
    if (!pi.i2c_device_exists(path)) {
        errno = ENOENT;
        return -1;
    }
    if (pi.knobs().i2c_denied)
        return fails_with(EACCES);
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

int host_system(const char *command)
{
    if (!command)
        return 1; // a shell is available
    return tolva::sim::run_command(SimPi::instance(), command);
}

pid_t host_spawn_shell(const char *command)
{
    return tolva::sim::spawn_command(SimPi::instance(), command);
}

pid_t host_waitpid_nohang(pid_t pid, int *status) { return waitpid(pid, status, WNOHANG); }

std::FILE *host_fopen_proc(const char *path)
{
    SimPi &pi = SimPi::instance();
    if (std::strcmp(path, "/proc/cpuinfo") == 0)
        return proc_file(pi.board().cpuinfo());
    if (std::strcmp(path, "/proc/sys/kernel/osrelease") == 0)
        return proc_file(pi.board().osrelease());
    // The board's sysfs and device tree stand in for the PC's own.
    if (std::strncmp(path, "/sys/", 5) == 0 || std::strncmp(path, "/proc/device-tree/", 18) == 0)
        return proc_file(pi.kernel_file(path));
    return std::fopen(path, "r");
}

int host_dev_open(const char *path, int flags)
{
    return SimPi::instance().v4l2().open(path, flags);
}

int host_dev_close(int fd) { return SimPi::instance().v4l2().close(fd); }

int host_dev_ioctl(int fd, unsigned long request, void *arg)
{
    return SimPi::instance().v4l2().ioctl(fd, request, arg);
}

void *host_dev_mmap(std::size_t length, int prot, int flags, int fd, off_t offset)
{
    return SimPi::instance().v4l2().mmap(length, prot, flags, fd, offset);
}

int host_dev_munmap(void *addr, std::size_t length)
{
    return SimPi::instance().v4l2().munmap(addr, length);
}

int host_dev_poll(int fd, short events, int timeout_ms)
{
    return SimPi::instance().v4l2().poll(fd, events, timeout_ms);
}

int host_mbox_open(const char *path, int /*flags*/)
{
    SimPi &pi = SimPi::instance();
    if (pi.knobs().no_vcio || std::strcmp(path, "/dev/vcio") != 0)
        return fails_with(ENOENT);
    return pi.open_mailbox();
}

int host_mbox_ioctl(int fd, unsigned long request, void *message)
{
    SimPi &pi = SimPi::instance();
    if (!pi.is_mailbox_descriptor(fd))
        return fails_with(EBADF);
    if (request != kMboxProperty)
        return fails_with(ENOTTY);
    if (pi.knobs().mbox_ioctl_fails)
        return fails_with(EIO);
    auto *words = static_cast<std::uint32_t *>(message);
    if (words[0] != kPropertyBytes)
        return fails_with(EINVAL);
    pi.mailbox_property(words);
    return 0;
}

int host_mbox_close(int fd) { return SimPi::instance().close_mailbox(fd) ? 0 : fails_with(EBADF); }

const char *host_platform_notice()
{
    return "tolvacapture: running on the simulated Pi: no camera hardware is used (the "
           "TOLVA_SIM_* variables set the board up, see README)";
}

int host_nanosleep(const struct timespec *request, struct timespec *remaining)
{
    SimPi &pi = SimPi::instance();
    if (!pi.pauses_skipped())
        return nanosleep(request, remaining);
    constexpr long kNanosecondsPerSecond = 1000000000L;
    if (request->tv_sec < 0 || request->tv_nsec < 0 || request->tv_nsec >= kNanosecondsPerSecond)
        return fails_with(EINVAL);
    pi.skip_pause(std::chrono::seconds(request->tv_sec) +
                  std::chrono::nanoseconds(request->tv_nsec));
    return 0;
}
