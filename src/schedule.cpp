// The schedule of an unattended run: the night window, the stop time and the stop duration.
#include "schedule.h"

#include "sun.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

double RecordFrom = 0;
double EndAt = HUGE_VAL;

constexpr double kHalfMinute = 30;

// "HH:MM" local time of a Unix time, to the nearest minute as almanacs give their times.
const char *clock_text(double t)
{
    static char text[16];
    time_t seconds = static_cast<time_t>(t + kHalfMinute);
    std::tm local;
    localtime_r(&seconds, &local);
    std::strftime(text, sizeof text, "%H:%M", &local);
    return text;
}

// The night's part of the schedule; false when there is no night (polar day).
bool plan_night(const RunOptions &o, double now)
{
    double start = now, end = now;
    int kind = night_window(now, o.latitude, o.longitude, o.sun_below, &start, &end);
    char place[64];
    std::snprintf(place, sizeof place, "%.4g,%.4g", o.latitude, o.longitude);
    switch (kind) {
    case POLAR_DAY:
        std::printf("the sun stays above %g degrees at %s for the next 24 hours (polar day): no "
                    "night to record\n",
                    o.sun_below, place);
        return false;
    case POLAR_NIGHT:
        std::printf("the sun stays below %g degrees at %s for the next 24 hours (polar night): "
                    "recording for 24 hours\n",
                    o.sun_below, place);
        break;
    case NIGHT_LATER:
        std::printf("the sun is above %g degrees at %s: waiting until %s (local time)\n",
                    o.sun_below, place, clock_text(start));
        break;
    default:
        break;
    }
    std::printf("the night at %s ends at %s (local time)\n", place, clock_text(end));
    RecordFrom = start;
    EndAt = std::min(EndAt, end);
    return true;
}

} // namespace

double next_clock_time(double now, int minute)
{
    time_t seconds = static_cast<time_t>(std::floor(now));
    std::tm local;
    localtime_r(&seconds, &local);
    local.tm_hour = minute / 60;
    local.tm_min = minute % 60;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    time_t candidate = std::mktime(&local);
    if (static_cast<double>(candidate) <= now) {
        local.tm_mday += 1;
        local.tm_hour = minute / 60;
        local.tm_min = minute % 60;
        local.tm_isdst = -1;
        candidate = std::mktime(&local);
    }
    return static_cast<double>(candidate);
}

int ScheduleBegin(const RunOptions &o, double now)
{
    RecordFrom = now;
    EndAt = HUGE_VAL;
    if (o.stop_after_s > 0)
        EndAt = now + static_cast<double>(o.stop_after_s);
    if (o.stop_at_minute >= 0)
        EndAt = std::min(EndAt, next_clock_time(now, o.stop_at_minute));
    if (o.night && !plan_night(o, now))
        return 1;
    return 0;
}

int ScheduleAction(double now)
{
    if (now >= EndAt)
        return SCHEDULE_END;
    return now >= RecordFrom ? SCHEDULE_RECORD : SCHEDULE_WAIT;
}

double ScheduleEnd(void) { return EndAt; }
