// The event log: a CSV line per detected frame, flushed per line, and the events' brightening.
#include "event_log.h"

#include "file_handle.h"
#include "util.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>

const char kEventLogHeader[] =
    "utc,ser_frame,detection,sx,sy,centroid_x,centroid_y,changed,max_brightening,run\n";

namespace {

// The open log, its name, and whether a failed line was reported (once a log).
FileHandle Log;
std::string LogName;
bool FailureReported = false;

void report_failure()
{
    if (!FailureReported)
        report_write_failure(LogName.c_str());
    FailureReported = true;
}

template <typename Sample>
int largest_brightening(const unsigned short *diff, const Sample *cur, const Sample *prev,
                        const int *row_marks, int width, int height)
{
    int largest = 0;
    for (int j = 0; j < height; ++j) {
        if (row_marks[j] == 0)
            continue;
        const std::size_t row = static_cast<std::size_t>(j) * static_cast<std::size_t>(width);
        for (int i = 0; i < width; ++i) {
            std::size_t at = row + static_cast<std::size_t>(i);
            int rise = static_cast<int>(cur[at]) - static_cast<int>(prev[at]);
            if (diff[at] != 0 && rise > largest)
                largest = rise;
        }
    }
    return largest;
}

} // namespace

int OpenEventLog(const char *base)
{
    CloseEventLog();
    LogName = std::string(base) + "_events.csv";
    Log.reset(std::fopen(LogName.c_str(), "w"));
    FailureReported = false;
    if (!Log) {
        report_open_failure(LogName.c_str());
        return -1;
    }
    if (std::fputs(kEventLogHeader, Log.get()) == EOF || std::fflush(Log.get()) != 0) {
        report_failure();
        return -1;
    }
    return 0;
}

int WriteEventLine(const EventLine &e)
{
    if (!Log)
        return -1;
    std::tm utc;
    time_t seconds = e.received.tv_sec;
    gmtime_r(&seconds, &utc);
    char stamp[40];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    int written =
        std::fprintf(Log.get(), "%s.%06ldZ,%lld,%d,%.1f,%.1f,%.1f,%.1f,%lld,%d,%d\n", stamp,
                     static_cast<long>(e.received.tv_usec), e.ser_frame, e.detection, e.sx, e.sy,
                     e.cx, e.cy, e.changed, e.brightening, e.run);
    if (written < 0 || std::fflush(Log.get()) != 0) {
        report_failure();
        return -1;
    }
    return 0;
}

void CloseEventLog(void)
{
    if (close_file(Log) != 0)
        report_failure();
}

int largest_brightening16(const unsigned short *diff, const unsigned short *cur,
                          const unsigned short *prev, const int *row_marks, int width, int height)
{
    return largest_brightening(diff, cur, prev, row_marks, width, height);
}

int largest_brightening8(const unsigned short *diff, const unsigned char *cur,
                         const unsigned char *prev, const int *row_marks, int width, int height)
{
    return largest_brightening(diff, cur, prev, row_marks, width, height);
}
