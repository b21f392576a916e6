// The console reports of an unattended run: the periodic status line and a storage too slow.
#ifndef TOLVA_STATUS_REPORT_H
#define TOLVA_STATUS_REPORT_H

#include <cstddef>

struct StatusFigures {
    int frames;
    double fps;
    int dropped;
    const char *recording; // the SER file being written, null for none
    int detections;
    long long free_bytes; // -1: unknown
};

// "status: 1200 frames, 10.0 fps, 0 dropped, recording X.ser, 3 detections, 12.3 GB free"
void format_status_line(char *out, std::size_t size, const StatusFigures &s);

// The hand-over filled because the frames are written slower than they come: the rates measured
// (bytes a second) and what to do about it (8-bit samples unless they are recorded already).
void format_storage_too_slow(char *out, std::size_t size, double written_per_second,
                             double needed_per_second, bool eight_bit);

#endif
