// The disk guard: free space through a replaceable statvfs probe, and how long it lasts.
#include "disk_guard.h"

#include <sys/statvfs.h>

#include <cstdio>

namespace {

// The recordings, their stack pictures and event logs are written to the current directory.
const char kRecordingDirectory[] = ".";

long long statvfs_free(const char *directory)
{
    struct statvfs fs;
    if (statvfs(directory, &fs) != 0)
        return -1;
    return static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
}

FreeSpaceProbe Probe = statvfs_free;
long long KeepFree = 0;

} // namespace

void SetFreeSpaceProbe(FreeSpaceProbe probe) { Probe = probe ? probe : statvfs_free; }

void SetKeepFree(long long bytes) { KeepFree = bytes > 0 ? bytes : 0; }

long long GetKeepFree(void) { return KeepFree; }

long long DiskFree(void) { return Probe(kRecordingDirectory); }

int DiskHasRoom(long long bytes)
{
    if (KeepFree == 0)
        return 1;
    long long free_bytes = DiskFree();
    return free_bytes < 0 || free_bytes - bytes >= KeepFree;
}

void format_bytes(char *out, std::size_t size, long long bytes)
{
    static const char *const units[] = {"B", "kB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1000.0 && unit < 4) {
        value /= 1000.0;
        ++unit;
    }
    std::snprintf(out, size, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
}

void format_lasting(char *out, std::size_t size, long long free_bytes, long long keep,
                    double bytes_per_second)
{
    char free_text[32], keep_text[32], rate_text[32];
    format_bytes(free_text, sizeof free_text, free_bytes);
    format_bytes(keep_text, sizeof keep_text, keep);
    format_bytes(rate_text, sizeof rate_text, static_cast<long long>(bytes_per_second));
    long long usable = free_bytes > keep ? free_bytes - keep : 0;
    long long minutes =
        bytes_per_second > 0
            ? static_cast<long long>(static_cast<double>(usable) / bytes_per_second / 60.0)
            : -1;
    if (minutes < 0)
        std::snprintf(out, size,
                      "the free space (%s, keeping %s) lasts indefinitely: nothing is "
                      "written",
                      free_text, keep_text);
    else
        std::snprintf(out, size, "the free space (%s, keeping %s) lasts %lld h %02lld min at %s/s",
                      free_text, keep_text, minutes / 60, minutes % 60, rate_text);
}
