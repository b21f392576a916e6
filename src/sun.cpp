// The sun's altitude (Meeus' low-accuracy solar coordinates) and the night window of a place.
#include "sun.h"

#include <cmath>

namespace {

constexpr double kUnixEpochJulian = 2440587.5;
constexpr double kJ2000 = 2451545.0;
constexpr double kDaysPerCentury = 36525.0;
constexpr double kSecondsPerDay = 86400.0;
constexpr double kPi = 3.14159265358979323846;
// The window is sampled a minute apart, then each crossing bisected to a second: the sun moves
// at most a quarter of a degree a minute, so no night shorter than a minute is missed.
constexpr double kStep = 60.0;
constexpr double kResolution = 1.0;

double radians(double degrees) { return degrees * kPi / 180.0; }
double degrees(double radians) { return radians * 180.0 / kPi; }

double wrap360(double angle)
{
    double wrapped = std::fmod(angle, 360.0);
    return wrapped < 0 ? wrapped + 360.0 : wrapped;
}

bool below_at(double t, double latitude, double longitude, double below)
{
    return sun_altitude(t, latitude, longitude) < below;
}

// The first sample after `from`, a minute apart, up to `until`, where the sun's side of the
// altitude differs from its side at `from`; the crossing is then bisected. -1 when none.
double next_crossing(double from, double until, double latitude, double longitude, double below)
{
    const bool side = below_at(from, latitude, longitude, below);
    double before = from;
    for (double t = from + kStep; t <= until; t += kStep) {
        if (below_at(t, latitude, longitude, below) != side) {
            double after = t;
            while (after - before > kResolution) {
                double mid = (before + after) / 2;
                (below_at(mid, latitude, longitude, below) == side ? before : after) = mid;
            }
            return std::ceil(after);
        }
        before = t;
    }
    return -1;
}

} // namespace

double julian_day(double unix_seconds) { return kUnixEpochJulian + unix_seconds / kSecondsPerDay; }

void sun_position(double julian, double *right_ascension, double *declination)
{
    const double t = (julian - kJ2000) / kDaysPerCentury;
    const double mean_longitude = 280.46646 + t * (36000.76983 + t * 0.0003032);
    const double anomaly = radians(357.52911 + t * (35999.05029 - t * 0.0001537));
    const double centre = (1.914602 - t * (0.004817 + t * 0.000014)) * std::sin(anomaly) +
                          (0.019993 - t * 0.000101) * std::sin(2 * anomaly) +
                          0.000289 * std::sin(3 * anomaly);
    const double node = radians(125.04 - 1934.136 * t);
    const double longitude = radians(mean_longitude + centre - 0.00569 - 0.00478 * std::sin(node));
    const double obliquity = radians(
        23.0 + (26.0 + (21.448 - t * (46.8150 + t * (0.00059 - t * 0.001813))) / 60.0) / 60.0 +
        0.00256 * std::cos(node));
    *right_ascension = wrap360(
        degrees(std::atan2(std::cos(obliquity) * std::sin(longitude), std::cos(longitude))));
    *declination = degrees(std::asin(std::sin(obliquity) * std::sin(longitude)));
}

double sidereal_time(double julian)
{
    const double d = julian - kJ2000;
    const double t = d / kDaysPerCentury;
    return wrap360(280.46061837 + 360.98564736629 * d + t * t * (0.000387933 - t / 38710000.0));
}

double sun_altitude(double unix_seconds, double latitude, double longitude)
{
    const double julian = julian_day(unix_seconds);
    double right_ascension, declination;
    sun_position(julian, &right_ascension, &declination);
    const double hour_angle = radians(sidereal_time(julian) + longitude - right_ascension);
    const double lat = radians(latitude), dec = radians(declination);
    return degrees(std::asin(std::sin(lat) * std::sin(dec) +
                             std::cos(lat) * std::cos(dec) * std::cos(hour_angle)));
}

int night_window(double now, double latitude, double longitude, double below, double *start,
                 double *end)
{
    if (below_at(now, latitude, longitude, below)) {
        *start = now;
        *end = next_crossing(now, now + kNightHorizon, latitude, longitude, below);
        if (*end < 0) {
            *end = now + kNightHorizon;
            return POLAR_NIGHT;
        }
        return NIGHT_NOW;
    }
    *start = next_crossing(now, now + kNightHorizon, latitude, longitude, below);
    if (*start < 0)
        return POLAR_DAY;
    *end = next_crossing(*start, *start + kNightHorizon, latitude, longitude, below);
    if (*end < 0)
        *end = *start + kNightHorizon;
    return NIGHT_LATER;
}
