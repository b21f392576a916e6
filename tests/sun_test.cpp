// Tests of the sun's position against Meeus' worked examples, and of the night window against
// published tables of sunrise, sunset and twilight.
#include "sun.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace {

// Astronomical Algorithms (2nd ed.), example 25.a (1992 October 13.0 TD) and example 12.a (1987
// April 10, 0h UT).
TEST(SunPosition, GivesMeeusWorkedExamples)
{
    double right_ascension, declination;
    sun_position(2448908.5, &right_ascension, &declination);
    EXPECT_NEAR(right_ascension, 198.38083, 0.0001);
    EXPECT_NEAR(declination, -7.78507, 0.0001);
    EXPECT_NEAR(sidereal_time(2446895.5), 197.693195, 0.000001);
    EXPECT_NEAR(julian_day(0), 2440587.5, 1e-9);
}

struct PublishedNight {
    const char *source;
    double latitude, longitude, below;
    double now;   // Unix seconds
    int kind;     // what night_window says
    double start; // the published minute (Unix seconds) the night starts at, 0: not checked
    double end;   // ... and ends at
};

class NightWindowTest : public testing::TestWithParam<PublishedNight> {};

// Tables give the minute nearest to the event: within a minute of it.
TEST_P(NightWindowTest, StartsAndEndsAtThePublishedMinute)
{
    const PublishedNight &c = GetParam();
    double start = 0, end = 0;
    EXPECT_EQ(night_window(c.now, c.latitude, c.longitude, c.below, &start, &end), c.kind)
        << c.source;
    if (c.start != 0) {
        EXPECT_NEAR(start, c.start, 60) << c.source;
    }
    if (c.end != 0) {
        EXPECT_NEAR(end, c.end, 60) << c.source;
    }
}

// USNO for Atlanta (33.8 N, 84.4 W) on 2009-09-06, Eastern Daylight Time (UTC-4), as quoted in
// PyEphem's documentation: civil twilight begins 6:50, sunrise 7:15, sunset 19:56, civil twilight
// ends 20:21. Astronomy Answers' table of sunrise for 2002-01-01 at longitude 0 (UTC): 4:52 at
// 34 S, 7:22 at 40 N. Sunrise and sunset put the sun's centre 0.833 degree below the horizon.
constexpr double kAtlantaMidnight = 1252209600; // 2009-09-06 00:00 EDT
constexpr double kNewYear2002 = 1009843200;     // 2002-01-01 00:00 UTC
constexpr double kMinute = 60, kHour = 3600;
constexpr double kSunrise = -0.833;

// The USNO's one-day data (Astronomical Applications, rstt/oneday), to the minute:
// - Washington, DC (38.889 N, 77.035 W) on 2024-03-05, Eastern Standard Time (UTC-5): civil
//   twilight begins 6:07, sunrise 6:34, sunset 18:06, civil twilight ends 18:32;
// - Reykjavik (64.147 N, 21.943 W) on 2025-12-21, UTC: civil twilight begins 10:03, sunrise 11:22,
//   sunset 15:30, civil twilight ends 16:49 (a winter day of four hours);
// - Sydney (33.869 S, 151.209 E) on 2025-09-22, UTC: sunset 7:51, then sunrise 19:44.
constexpr double kWashingtonMidnight = 1709614800; // 2024-03-05 00:00 EST
constexpr double kReykjavikMidnight = 1766275200;  // 2025-12-21 00:00 UTC
constexpr double kSydneyDay = 1758499200;          // 2025-09-22 00:00 UTC, 10:00 in Sydney

// The Unix time of a published "HH:MM" on the day that starts at `midnight`.
double published(double midnight, const char *minute)
{
    return midnight + std::atoi(minute) * kHour + std::atoi(minute + 3) * kMinute;
}

// At midnight it is night, which ends at the published minute.
PublishedNight ends_at(const char *source, double latitude, double longitude, double below,
                       double midnight, const char *minute)
{
    return {source,   latitude,  longitude, below,
            midnight, NIGHT_NOW, midnight,  published(midnight, minute)};
}

// At noon it is day; the night starts at the published minute.
PublishedNight starts_at(const char *source, double latitude, double longitude, double below,
                         double midnight, const char *minute)
{
    return {source,
            latitude,
            longitude,
            below,
            midnight + 12 * kHour,
            NIGHT_LATER,
            published(midnight, minute),
            0};
}

INSTANTIATE_TEST_SUITE_P(
    Tables, NightWindowTest,
    testing::Values(
        ends_at("Atlanta sunrise", 33.8, -84.4, kSunrise, kAtlantaMidnight, "07:15"),
        ends_at("Atlanta dawn", 33.8, -84.4, -6, kAtlantaMidnight, "06:50"),
        starts_at("Atlanta sunset", 33.8, -84.4, kSunrise, kAtlantaMidnight, "19:56"),
        starts_at("Atlanta dusk", 33.8, -84.4, -6, kAtlantaMidnight, "20:21"),
        ends_at("34 S sunrise", -34, 0, kSunrise, kNewYear2002, "04:52"),
        ends_at("40 N sunrise", 40, 0, kSunrise, kNewYear2002, "07:22"),
        ends_at("Washington dawn", 38.889, -77.035, -6, kWashingtonMidnight, "06:07"),
        starts_at("Washington sunset", 38.889, -77.035, kSunrise, kWashingtonMidnight, "18:06"),
        starts_at("Washington dusk", 38.889, -77.035, -6, kWashingtonMidnight, "18:32"),
        ends_at("Reykjavik dawn", 64.147, -21.943, -6, kReykjavikMidnight, "10:03"),
        ends_at("Reykjavik sunrise", 64.147, -21.943, kSunrise, kReykjavikMidnight, "11:22"),
        starts_at("Reykjavik dusk", 64.147, -21.943, -6, kReykjavikMidnight, "16:49"),
        PublishedNight{"Sydney night", -33.869, 151.209, kSunrise, kSydneyDay, NIGHT_LATER,
                       kSydneyDay + 7 * kHour + 51 * kMinute,
                       kSydneyDay + 19 * kHour + 44 * kMinute},
        // Tromsø (69.65 N): at midsummer the sun stays above -12 degrees all day; at midwinter
        // it does not rise, and a polar night is a day long.
        PublishedNight{"Tromso midsummer", 69.65, 18.96, -12, 1718971200, POLAR_DAY, 0, 0},
        PublishedNight{"Tromso midwinter", 69.65, 18.96, kSunrise, 1734782400, POLAR_NIGHT,
                       1734782400, 1734782400 + kNightHorizon}));

} // namespace
