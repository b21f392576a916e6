// Host services: the operating-system calls the system's units make, one function per call.
// platform/pi implements them with the real calls, platform/sim on the simulated Pi.
#ifndef TOLVA_PLATFORM_HOST_H
#define TOLVA_PLATFORM_HOST_H

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <ctime>

// I2C character device (/dev/i2c-N). Results and errno as open(2), ioctl(2), write(2),
// read(2) and close(2) give them.
int host_i2c_open(const char *path, int flags);
int host_i2c_ioctl(int fd, unsigned long request, int arg);
ssize_t host_i2c_write(int fd, const void *buf, size_t count);
ssize_t host_i2c_read(int fd, void *buf, size_t count);
int host_i2c_close(int fd);

// Shell command line, as system(3): the command's wait status, -1 if no shell could run.
int host_system(const char *command);
// Shell command line started without waiting for it, as posix_spawn(3) of "/bin/sh -c command"
// (vfork semantics: cheap also from a process with much memory mapped): the child's pid, or -1
// with errno set when it could not start.
pid_t host_spawn_shell(const char *command);
// As waitpid(pid, status, WNOHANG): pid once the child has ended (it is reaped), 0 while it
// runs, -1 with errno set on failure.
pid_t host_waitpid_nohang(pid_t pid, int *status);

// A kernel text file (/proc/..., /sys/..., /proc/device-tree/...) opened for reading, as
// fopen(path, "r"); null and errno on failure.
std::FILE *host_fopen_proc(const char *path);

// V4L2 and media-controller device nodes (/dev/media*, /dev/video*, /dev/v4l-subdev*), the
// DMA-BUF heaps (/dev/dma_heap/*) and the DMA-BUF descriptors they give. Results and errno as
// open(2), close(2), ioctl(2), mmap(2), munmap(2) and poll(2).
int host_dev_open(const char *path, int flags);
int host_dev_close(int fd);
int host_dev_ioctl(int fd, unsigned long request, void *arg);
void *host_dev_mmap(std::size_t length, int prot, int flags, int fd, off_t offset);
int host_dev_munmap(void *addr, std::size_t length);
int host_dev_poll(int fd, short events, int timeout_ms);

// Firmware mailbox device (/dev/vcio). Results and errno as open(2), ioctl(2) with the address
// of a property message, and close(2).
int host_mbox_open(const char *path, int flags);
int host_mbox_ioctl(int fd, unsigned long request, void *message);
int host_mbox_close(int fd);

// What the program tells the user on standard error as it starts, about the machine it runs on:
// null on the real board, which needs no word.
const char *host_platform_notice();

// A pause of the sensor init file, as nanosleep(2): 0, or -1 and errno (EINTR with the time
// left in `remaining`).
int host_nanosleep(const struct timespec *request, struct timespec *remaining);

#endif
