// Tests of the schedule of an unattended run: waiting, recording and ending by the clock.
#include "output_capture.h"
#include "schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

using tolva::test::capture_stdout;
using tolva::test::captured_stdout;

namespace {

struct ScheduleCase {
    const char *name;
    RunOptions options;
    double now;
    std::vector<std::pair<double, int>> actions; // seconds after `now`, what the run does
    std::string said;                            // the start of what ScheduleBegin says
    const char *zone = "EST5EDT";                // the local time of the place
};

class ScheduleTest : public testing::TestWithParam<ScheduleCase> {
protected:
    void SetUp() override
    {
        setenv("TZ", GetParam().zone, 1);
        tzset();
    }
    void TearDown() override
    {
        unsetenv("TZ");
        tzset();
    }
};

TEST_P(ScheduleTest, ActsAtTheMinuteTheOptionsGive)
{
    const ScheduleCase &c = GetParam();
    capture_stdout();
    EXPECT_EQ(ScheduleBegin(c.options, c.now), 0);
    EXPECT_EQ(captured_stdout().substr(0, c.said.size()), c.said);
    for (auto [after, action] : c.actions)
        EXPECT_EQ(ScheduleAction(c.now + after), action) << c.name << " at +" << after << " s";
}

RunOptions stop_after(long long seconds)
{
    RunOptions o;
    o.stop_after_s = seconds;
    return o;
}

RunOptions stop_at(int minute)
{
    RunOptions o;
    o.stop_at_minute = minute;
    return o;
}

RunOptions civil_night(double latitude, double longitude)
{
    RunOptions o;
    o.night = true;
    o.latitude = latitude;
    o.longitude = longitude;
    o.sun_below = -6;
    return o;
}

// Atlanta's civil twilight on 2009-09-06 (USNO) ends at 20:21 EDT; the run ends at 23:00, before
// the night does.
RunOptions atlanta_evening()
{
    RunOptions o = civil_night(33.8, -84.4);
    o.stop_at_minute = 23 * 60;
    return o;
}

constexpr double kAtlantaNoon = 1252252800; // 2009-09-06 12:00 EDT
constexpr double kMinute = 60, kHour = 3600;

// The USNO's one-day data: at Washington, DC (38.889 N, 77.035 W) on 2024-03-05 civil twilight
// begins at 6:07 and ends at 18:32 EST; at Reykjavik (64.147 N, 21.943 W) on 2025-12-21 it begins
// at 10:03 and ends at 16:49 UTC. Started at midnight the run records at once and ends at dawn;
// started at noon it waits for the dusk.
RunOptions tromso_sunrise()
{
    RunOptions o = civil_night(69.65, 18.96);
    o.sun_below = -0.833;
    return o;
}
constexpr double kTromsoMidwinter = 1734782400; // 2024-12-21 12:00 UTC

constexpr double kWashingtonMidnight = 1709614800; // 2024-03-05 00:00 EST
constexpr double kReykjavikMidnight = 1766275200;  // 2025-12-21 00:00 UTC

// Seconds after midnight of a published "HH:MM".
double published(const char *minute)
{
    return std::atoi(minute) * kHour + std::atoi(minute + 3) * kMinute;
}

std::string place_text(const RunOptions &o)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.4g,%.4g", o.latitude, o.longitude);
    return text;
}

// Started at midnight: the run records at once and ends at the published dawn.
ScheduleCase night_until(const char *name, const RunOptions &o, double midnight, const char *dawn,
                         const char *zone = "EST5EDT")
{
    const double end = published(dawn);
    return {name,
            o,
            midnight,
            {{0, SCHEDULE_RECORD}, {end - kMinute, SCHEDULE_RECORD}, {end + kMinute, SCHEDULE_END}},
            "the night at " + place_text(o) + " ends at " + dawn + " (local time)\n",
            zone};
}

// Started at noon: the run waits for the published dusk.
ScheduleCase night_from(const char *name, const RunOptions &o, double midnight, const char *dusk,
                        const char *zone = "EST5EDT")
{
    const double noon = 12 * kHour, start = published(dusk) - noon;
    return {name,
            o,
            midnight + noon,
            {{start - kMinute, SCHEDULE_WAIT}, {start + kMinute, SCHEDULE_RECORD}},
            "the sun is above -6 degrees at " + place_text(o) + ": waiting until " + dusk +
                " (local time)\n",
            zone};
}

INSTANTIATE_TEST_SUITE_P(
    Options, ScheduleTest,
    testing::Values(
        ScheduleCase{"stop-after",
                     stop_after(90),
                     kAtlantaNoon,
                     {{0, SCHEDULE_RECORD}, {89.9, SCHEDULE_RECORD}, {90, SCHEDULE_END}},
                     ""},
        // 05:30 is past at noon: the next one is tomorrow's.
        ScheduleCase{"stop-at",
                     stop_at(5 * 60 + 30),
                     kAtlantaNoon,
                     {{17 * kHour + 29 * kMinute, SCHEDULE_RECORD},
                      {17 * kHour + 30 * kMinute, SCHEDULE_END}},
                     ""},
        ScheduleCase{"evening",
                     atlanta_evening(),
                     kAtlantaNoon,
                     {{8 * kHour + 20 * kMinute, SCHEDULE_WAIT},
                      {8 * kHour + 22 * kMinute, SCHEDULE_RECORD},
                      {10 * kHour + 59 * kMinute, SCHEDULE_RECORD},
                      {11 * kHour, SCHEDULE_END}},
                     "the sun is above -6 degrees at 33.8,-84.4: waiting until 20:21 (local "
                     "time)\nthe night at 33.8,-84.4 ends at 06:"},
        night_until("Washington dawn", civil_night(38.889, -77.035), kWashingtonMidnight, "06:07"),
        night_from("Washington dusk", civil_night(38.889, -77.035), kWashingtonMidnight, "18:32"),
        night_until("Reykjavik dawn", civil_night(64.147, -21.943), kReykjavikMidnight, "10:03",
                    "UTC0"),
        night_from("Reykjavik dusk", civil_night(64.147, -21.943), kReykjavikMidnight, "16:49",
                   "UTC0"),
        // Tromsø (69.65 N) at midwinter: the sun does not rise; a polar night records a day.
        ScheduleCase{
            "polar night",
            tromso_sunrise(),
            kTromsoMidwinter,
            {{0, SCHEDULE_RECORD}, {24 * kHour - 1, SCHEDULE_RECORD}, {24 * kHour, SCHEDULE_END}},
            "the sun stays below -0.833 degrees at 69.65,18.96 for the next 24 hours "
            "(polar night): recording for 24 hours\n",
            "UTC0"}),
    [](const auto &info) {
        std::string name = info.param.name;
        name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    });

TEST(Schedule, APolarDayEndsTheRunAtOnce)
{
    RunOptions o;
    o.night = true;
    o.latitude = 69.65;
    o.longitude = 18.96;
    capture_stdout();
    EXPECT_EQ(ScheduleBegin(o, 1718971200), 1);
    EXPECT_EQ(captured_stdout(),
              "the sun stays above -12 degrees at 69.65,18.96 for the next 24 hours (polar day): "
              "no night to record\n");
}

} // namespace
