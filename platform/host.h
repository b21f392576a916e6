// Host services: the operating-system calls the system's units make, one function per call.
// platform/pi implements them with the real calls, platform/sim on the simulated Pi.
#ifndef TOLVA_PLATFORM_HOST_H
#define TOLVA_PLATFORM_HOST_H

#include <sys/types.h>

#include <cstddef>

// I2C character device (/dev/i2c-N). Results and errno as open(2), ioctl(2), write(2),
// read(2) and close(2) give them.
int host_i2c_open(const char *path, int flags);
int host_i2c_ioctl(int fd, unsigned long request, int arg);
ssize_t host_i2c_write(int fd, const void *buf, size_t count);
ssize_t host_i2c_read(int fd, void *buf, size_t count);
int host_i2c_close(int fd);

#endif
