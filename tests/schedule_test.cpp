// Tests of the schedule of an unattended run: waiting, recording and ending by the clock.
#include "output_capture.h"
#include "schedule.h"

#include <gtest/gtest.h>

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
};

class ScheduleTest : public testing::TestWithParam<ScheduleCase> {
protected:
    void SetUp() override
    {
        setenv("TZ", "EST5EDT", 1);
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

// Atlanta's civil twilight on 2009-09-06 (USNO) ends at 20:21 EDT; the run ends at 23:00, before
// the night does.
RunOptions atlanta_evening()
{
    RunOptions o = stop_at(23 * 60);
    o.night = true;
    o.latitude = 33.8;
    o.longitude = -84.4;
    o.sun_below = -6;
    return o;
}

constexpr double kAtlantaNoon = 1252252800; // 2009-09-06 12:00 EDT
constexpr double kMinute = 60, kHour = 3600;

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
                     "time)\nthe night at 33.8,-84.4 ends at 06:"}));

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
