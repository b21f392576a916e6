// Frame output basics: names every output file after the frame size and the local time, and
// dumps frame buffers as headerless RAW files.
#include "util.h"

#include "file_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

[[gnu::used]] static const char __PROGRAM_VERSION__[] =
    "@(#)util Ver. 1.0010 (2021/10/04 10:46:59)";

namespace {

constexpr int kDateTimeBuffer = 64;
constexpr int kFileNameBuffer = 8192;
// Years 2000 to 2099 keep two digits; other years show what the modulo leaves (1970, 100).
constexpr int kStampCentury = 2000;

char date_time[kDateTimeBuffer];

} // namespace

double GetTime(void)
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec + tv.tv_usec / 1000000.0;
}

char *format_date_time(const std::tm &local, int microseconds)
{
    std::snprintf(date_time, sizeof date_time, "%02d%02d%02d_%02d%02d%02d_%06d",
                  (local.tm_year + kTmYearBase) % kStampCentury, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec, microseconds);
    return date_time;
}

// Seconds and microseconds come from one reading, so a second that ticks over between two
// readings cannot move the stamp by almost a second.
char *CreateDateTime(void)
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    std::time_t seconds = tv.tv_sec;
    std::tm local;
    localtime_r(&seconds, &local);
    return format_date_time(local, static_cast<int>(tv.tv_usec));
}

char *MakeFileName(int width, int height)
{
    static char fname[kFileNameBuffer];
    std::snprintf(fname, sizeof fname, "%dx%d_%s", width, height, CreateDateTime());
    return fname;
}

void report_open_failure(const char *fname) { std::printf("can't open %s\n", fname); }

void report_write_failure(const char *fname)
{
    std::fprintf(stderr, "tolvacapture: can't write %s: %s\n", fname, std::strerror(errno));
}

// Non-blocking, so that a FIFO without a reader is refused rather than waited on.
int open_private_file(const char *path, const char **refusal)
{
    *refusal = nullptr;
    int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == ELOOP)
            *refusal = "it is a symbolic link";
        else if (errno == EISDIR)
            *refusal = "it is a directory";
        else if (errno == ENXIO)
            *refusal = "it is not a regular file";
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    if (!S_ISREG(st.st_mode))
        *refusal = "it is not a regular file";
    else if (st.st_uid != geteuid())
        *refusal = "it belongs to another user";
    else if (st.st_nlink != 1)
        *refusal = "it has other hard links";
    if (*refusal) {
        close(fd);
        return -1;
    }
    return fd;
}

void report_refused_file(const char *fname, const char *refusal)
{
    std::fprintf(stderr, "tolvacapture: can't use %s: %s\n", fname, refusal);
}

int write_whole_file(const char *fname, const void *data, size_t size)
{
    FileHandle fp(std::fopen(fname, "wb"));
    if (!fp)
        return kFileNotCreated;
    bool written = size == 0 || std::fwrite(data, size, 1, fp.get()) == 1;
    // A full disk may show only when the buffered rest goes out at the close.
    if (close_file(fp) != 0)
        written = false;
    if (written)
        return 0;
    report_write_failure(fname);
    return kFileNotWritten;
}

int WriteRAW(const char *fname, unsigned char *raw, int size)
{
    int result = write_whole_file(fname, raw, size > 0 ? static_cast<size_t>(size) : 0);
    if (result == kFileNotCreated)
        report_open_failure(fname);
    // Nothing to write counts as a failure, as a short write does, though nothing went wrong.
    return result == 0 && size > 0 ? 0 : -1;
}

void striptail(char *s)
{
    for (std::size_t n = std::strlen(s);
         n > 0 && std::isspace(static_cast<unsigned char>(s[n - 1])); --n)
        s[n - 1] = '\0';
}
