// The sun's altitude and the night window of a place: when the sun is below a given altitude.
//
// Positions follow the low-accuracy solar coordinates of J. Meeus, Astronomical Algorithms (2nd
// ed., 1998), chapter 25, with the mean sidereal time of chapter 12: about 0.01 degree over
// 1950-2050, a few seconds of time at the twilight altitudes. Refraction is not modelled: the
// altitude is the geometric altitude of the sun's centre (tables of sunrise use -0.833 degree
// for refraction and the sun's radius).
#ifndef TOLVA_SUN_H
#define TOLVA_SUN_H

// Julian day of a Unix time (seconds since 1970-01-01 00:00 UTC).
double julian_day(double unix_seconds);
// Apparent right ascension and declination of the sun, degrees.
void sun_position(double julian, double *right_ascension, double *declination);
// Greenwich mean sidereal time, degrees 0 to 360.
double sidereal_time(double julian);
// The sun's geometric altitude in degrees at a place (degrees, north and east positive).
double sun_altitude(double unix_seconds, double latitude, double longitude);

// What the sun does from `now` on, looked at over the next day.
enum {
    NIGHT_NOW,   // below the altitude now: the night ends at `end`
    NIGHT_LATER, // above it now: the night runs from `start` to `end`
    POLAR_DAY,   // above it for the whole next day: no night
    POLAR_NIGHT  // below it for the whole next day: `end` is a day from now
};
// How far ahead the window is looked for: one night per start.
constexpr double kNightHorizon = 24 * 3600.0;

// The night window at a place for the altitude `below` (degrees): one of the kinds above, with
// `start` and `end` (Unix seconds, to the second) as they say.
int night_window(double now, double latitude, double longitude, double below, double *start,
                 double *end);

#endif
