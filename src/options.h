// The long options of an unattended run: what they ask for, read and checked before anything
// starts.
#ifndef TOLVA_OPTIONS_H
#define TOLVA_OPTIONS_H

// The recording that starts by itself with the first frame (or with the night).
enum { START_NOTHING, START_DETECT, START_RECORD };

// --keep-free when not given: 1 GiB without a window, off with one.
constexpr long long kKeepFreeDefault = -1;
constexpr long long kKeepFreeUnattended = 1LL << 30;

struct RunOptions {
    bool no_window = false;
    int start = START_NOTHING;
    long long stop_after_s = 0; // 0: none
    int stop_at_minute = -1;    // minutes after local midnight; -1: none
    bool night = false;
    double latitude = 0.0;
    double longitude = 0.0;
    double sun_below = -12.0;
    long long keep_free = kKeepFreeDefault; // bytes; 0: off
    int pre = 0;
    int post = 0;
    int status_s = 0; // 0: no status line
};

// Reads the options av[first] ... av[ac - 1] into `o`: 0; kBadValue after one message on standard
// error naming the option and the value that is wrong; kUnknownOption after one naming it.
constexpr int kBadValue = -1;
constexpr int kUnknownOption = -2;
int read_options(int ac, char **av, int first, RunOptions &o);

// The free space to keep: --keep-free's, or its default for the window setting.
long long keep_free_bytes(const RunOptions &o);

// "90s", "45m", "8h" (or plain seconds) into seconds; -1 when it is not such a duration.
long long parse_duration(const char *text);
// "500M", "1G", "2048K", "0" (bytes without a suffix) into bytes; -1 when it is not a size.
long long parse_size(const char *text);
// "HH:MM" into minutes after midnight; -1 when it is not a time of day.
int parse_clock(const char *text);
// "LAT,LON" in degrees (north and east positive): 0, or -1 when out of range or not numbers.
int parse_place(const char *text, double *latitude, double *longitude);

#endif
