// The long options of an unattended run: parsing and checking, one message for a bad value.
#include "options.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Frames held before or written after each run of detections: over a minute at 10 fps; whether
// the memory for the frames held can be had is known only once the frame size is (at start-up).
constexpr int kMaxHeldFrames = 1000;
constexpr long long kMaxStatusSeconds = 24 * 3600;
constexpr long long kMaxDurationSeconds = 366LL * 24 * 3600;

// A decimal number that fills the whole text but for a suffix of at most one character.
bool split_number(const char *text, double *value, char *suffix)
{
    if (!text || !*text)
        return false;
    errno = 0;
    char *end = nullptr;
    *value = std::strtod(text, &end);
    if (end == text || errno != 0 || !std::isfinite(*value))
        return false;
    *suffix = *end;
    return *end == '\0' || end[1] == '\0';
}

bool parse_int(const char *text, long long low, long long high, long long *value)
{
    if (!text || !*text)
        return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    if (*end != '\0' || errno != 0 || v < low || v > high)
        return false;
    *value = v;
    return true;
}

// The factor of a unit letter; 1 without one, -1 for a letter that is no unit.
long long multiplier(char suffix, const char *units, const long long *factors)
{
    if (suffix == '\0')
        return 1;
    const char *at = std::strchr(units, suffix);
    return at ? factors[at - units] : -1;
}

long long scaled(const char *text, const char *units, const long long *factors, long long limit)
{
    double value;
    char suffix;
    if (!split_number(text, &value, &suffix) || value < 0)
        return -1;
    long long factor = multiplier(suffix, units, factors);
    if (factor < 0 || value * factor > static_cast<double>(limit))
        return -1;
    return std::llround(value * factor);
}

int bad_value(const char *option, const char *value, const char *expected)
{
    std::fprintf(stderr, "tolvacapture: %s %s: %s\n", option, value ? value : "(missing)",
                 expected);
    return kBadValue;
}

struct Option {
    const char *name;
    bool takes_value;
    // Stores the value; false when it is wrong.
    bool (*store)(const char *value, RunOptions &o);
    const char *expected; // the message's second half for a wrong value
};

bool store_no_window(const char *, RunOptions &o)
{
    o.no_window = true;
    return true;
}

bool store_detect(const char *, RunOptions &o)
{
    o.start = START_DETECT;
    return true;
}

bool store_record(const char *, RunOptions &o)
{
    o.start = START_RECORD;
    return true;
}

bool store_stop_after(const char *value, RunOptions &o)
{
    o.stop_after_s = parse_duration(value);
    return o.stop_after_s > 0;
}

bool store_stop_at(const char *value, RunOptions &o)
{
    o.stop_at_minute = parse_clock(value);
    return o.stop_at_minute >= 0;
}

bool store_night(const char *value, RunOptions &o)
{
    o.night = true;
    return parse_place(value, &o.latitude, &o.longitude) == 0;
}

bool store_sun_below(const char *value, RunOptions &o)
{
    char suffix;
    return split_number(value, &o.sun_below, &suffix) && suffix == '\0' && o.sun_below >= -90 &&
           o.sun_below <= 90;
}

bool store_keep_free(const char *value, RunOptions &o)
{
    o.keep_free = parse_size(value);
    return o.keep_free >= 0;
}

bool store_frames(const char *value, int *frames)
{
    long long v;
    if (!parse_int(value, 0, kMaxHeldFrames, &v))
        return false;
    *frames = static_cast<int>(v);
    return true;
}

bool store_pre(const char *value, RunOptions &o) { return store_frames(value, &o.pre); }
bool store_post(const char *value, RunOptions &o) { return store_frames(value, &o.post); }

bool store_status(const char *value, RunOptions &o)
{
    long long v;
    if (!parse_int(value, 1, kMaxStatusSeconds, &v))
        return false;
    o.status_s = static_cast<int>(v);
    return true;
}

const Option kOptions[] = {
    {"--no-window", false, store_no_window, ""},
    {"--detect", false, store_detect, ""},
    {"--record", false, store_record, ""},
    {"--stop-after", true, store_stop_after,
     "not a duration; give seconds, minutes or hours, as 90s, 45m or 8h"},
    {"--stop-at", true, store_stop_at, "not a time of day; give local time as HH:MM, e.g. 05:30"},
    {"--night", true, store_night,
     "not a place; give latitude and longitude in degrees, north and east positive, e.g. "
     "48.2,16.4"},
    {"--sun-below", true, store_sun_below,
     "not an altitude; give degrees from -90 to 90, e.g. -12 (nautical twilight)"},
    {"--keep-free", true, store_keep_free,
     "not a size; give bytes with K, M or G, e.g. 500M or 2G, or 0 to turn the guard off"},
    {"--pre", true, store_pre, "not a frame count; give 0 to 1000"},
    {"--post", true, store_post, "not a frame count; give 0 to 1000"},
    {"--status", true, store_status, "not a period; give whole seconds from 1 to 86400"},
};

const Option *find_option(const char *name)
{
    for (const Option &option : kOptions)
        if (std::strcmp(option.name, name) == 0)
            return &option;
    return nullptr;
}

} // namespace

long long parse_duration(const char *text)
{
    static const long long factors[] = {1, 60, 3600};
    return scaled(text, "smh", factors, kMaxDurationSeconds);
}

long long parse_size(const char *text)
{
    static const long long factors[] = {1LL << 10, 1LL << 20, 1LL << 30, 1LL << 40};
    return scaled(text, "KMGT", factors, LLONG_MAX / 2);
}

int parse_clock(const char *text)
{
    int hours, minutes;
    char tail;
    if (!text || std::strlen(text) != 5 || text[2] != ':' ||
        std::sscanf(text, "%2d:%2d%c", &hours, &minutes, &tail) != 2)
        return -1;
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59)
        return -1;
    return hours * 60 + minutes;
}

int parse_place(const char *text, double *latitude, double *longitude)
{
    if (!text)
        return -1;
    const char *comma = std::strchr(text, ',');
    if (!comma)
        return -1;
    char *end = nullptr;
    errno = 0;
    double lat = std::strtod(text, &end);
    if (end != comma || errno != 0 || !(lat >= -90 && lat <= 90))
        return -1;
    double lon = std::strtod(comma + 1, &end);
    if (end == comma + 1 || *end != '\0' || errno != 0 || !(lon >= -180 && lon <= 180))
        return -1;
    *latitude = lat;
    *longitude = lon;
    return 0;
}

int read_options(int ac, char **av, int first, RunOptions &o)
{
    for (int i = first; i < ac; ++i) {
        const Option *option = find_option(av[i]);
        if (!option) {
            std::fprintf(stderr, "tolvacapture: unknown option %s\n", av[i]);
            return kUnknownOption;
        }
        const char *value = nullptr;
        if (option->takes_value) {
            value = i + 1 < ac ? av[++i] : nullptr;
            if (!value)
                return bad_value(option->name, value, option->expected);
        }
        if (!option->store(value, o))
            return bad_value(option->name, value, option->expected);
    }
    return 0;
}

long long keep_free_bytes(const RunOptions &o)
{
    if (o.keep_free != kKeepFreeDefault)
        return o.keep_free;
    return o.no_window ? kKeepFreeUnattended : 0;
}
