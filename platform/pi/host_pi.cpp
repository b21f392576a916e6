// Host services of a real Raspberry Pi: thin wrappers over the system calls.
#include "host.h"

#include "spawn_shell.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>

int host_i2c_open(const char *path, int flags) { return open(path, flags); }

int host_i2c_ioctl(int fd, unsigned long request, int arg) { return ioctl(fd, request, arg); }

ssize_t host_i2c_write(int fd, const void *buf, size_t count) { return write(fd, buf, count); }

ssize_t host_i2c_read(int fd, void *buf, size_t count) { return read(fd, buf, count); }

int host_i2c_close(int fd) { return close(fd); }

// system() ignores SIGINT in the caller while the command runs, so a Ctrl-C at the terminal ends
// only the command; it is passed on, so that the program ends as it would have without one.
int host_system(const char *command)
{
    int status = std::system(command);
    if (status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGINT)
        raise(SIGINT);
    return status;
}

pid_t host_spawn_shell(const char *command) { return tolva::spawn_shell(command); }

pid_t host_waitpid_nohang(pid_t pid, int *status) { return waitpid(pid, status, WNOHANG); }

std::FILE *host_fopen_proc(const char *path) { return std::fopen(path, "r"); }

int host_dev_open(const char *path, int flags) { return open(path, flags); }

int host_dev_close(int fd) { return close(fd); }

int host_dev_ioctl(int fd, unsigned long request, void *arg) { return ioctl(fd, request, arg); }

void *host_dev_mmap(std::size_t length, int prot, int flags, int fd, off_t offset)
{
    return mmap(nullptr, length, prot, flags, fd, offset);
}

int host_dev_munmap(void *addr, std::size_t length) { return munmap(addr, length); }

int host_dev_poll(int fd, short events, int timeout_ms)
{
    struct pollfd watched = {fd, events, 0};
    return poll(&watched, 1, timeout_ms);
}

int host_mbox_open(const char *path, int flags) { return open(path, flags); }

int host_mbox_ioctl(int fd, unsigned long request, void *message)
{
    return ioctl(fd, request, message);
}

int host_mbox_close(int fd) { return close(fd); }

const char *host_platform_notice() { return nullptr; }

int host_nanosleep(const struct timespec *request, struct timespec *remaining)
{
    return nanosleep(request, remaining);
}
