// Sensor presence check: compares i2cdetect's map of the camera's bus with the map of an empty bus.
#include "magic.h"
#include "magic_testing.h"

#include "file_handle.h"
#include "host.h"
#include "i2c.h"
#include "util.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

[[gnu::used]] static const char __PROGRAM_VERSION__[] =
    "@(#)magic Ver. 1.0010 (2021/10/04 10:46:59)";

const char *I2cdetectLog = "/tmp/i2cdetect.log";

namespace {

constexpr int kLineMax = 8192; // command and line buffers, NUL included

// i2cdetect's map of a bus on which nothing answers (addresses 0x03 to 0x77).
const char *const gdata[] = {
    "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f",
    "00:          -- -- -- -- -- -- -- -- -- -- -- -- --",
    "10: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --",
    "20: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --",
    "30: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --",
    "40: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --",
    "50: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --",
    "60: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --",
    "70: -- -- -- -- -- -- -- --",
    nullptr,
};

// Whether a log that cannot be used has been reported; once until the log can be used again.
bool LogReported;

void strip_hyphen(char *s)
{
    for (; *s; ++s)
        if (*s == '-')
            *s = ' ';
}

// The log is made here, a regular file of this user, before the shell's redirection writes it:
// a link planted at the fixed name in the shared /tmp would turn the redirection against the
// user, a FIFO would hang it, a directory would make every check fail in silence. In a sticky
// /tmp nobody else can replace the file between this check and the redirection.
bool log_is_usable()
{
    const char *refusal;
    int fd = open_private_file(I2cdetectLog, &refusal);
    if (fd >= 0) {
        close(fd);
        LogReported = false;
        return true;
    }
    if (!LogReported) {
        if (refusal)
            report_refused_file(I2cdetectLog, refusal);
        else
            report_write_failure(I2cdetectLog);
    }
    LogReported = true;
    return false;
}

} // namespace

void magic_reset(void) { LogReported = false; }

// The log is trimmed before hyphens become blanks and the template is not, so a changed
// length of a row counts as a difference, while "--" and blank cells compare equal.
int magic(void)
{
    if (!log_is_usable())
        return -1;
    char cmd[kLineMax];
    std::snprintf(cmd, sizeof cmd, "i2cdetect -y %d > %s", GetCameraBus(), I2cdetectLog);
    host_system(cmd);

    FileHandle fp(std::fopen(I2cdetectLog, "r"));
    if (!fp)
        return -1;
    char buf[kLineMax];
    char tmp[kLineMax];
    for (int i = 0; gdata[i]; ++i) {
        // A log that ends early shows no device in the lines it lacks.
        if (!std::fgets(buf, sizeof buf, fp.get()))
            break;
        striptail(buf);
        std::snprintf(tmp, sizeof tmp, "%s", gdata[i]);
        strip_hyphen(buf);
        strip_hyphen(tmp);
        if (std::strcmp(buf, tmp) != 0)
            return 1; // the log stays, showing the device
    }
    fp.reset();
    unlink(I2cdetectLog);
    return -1;
}
