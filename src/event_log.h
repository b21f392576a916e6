// The event log of a difference recording: one CSV line per detected frame, beside its SER file.
#ifndef TOLVA_EVENT_LOG_H
#define TOLVA_EVENT_LOG_H

#include <sys/time.h>

// The header line, the columns' names.
extern const char kEventLogHeader[];

struct EventLine {
    timeval received;    // when the frame was received (UTC in the file, to the microsecond)
    long long ser_frame; // the frame's index in the SER file, from 0
    int detection;       // the detection's number, as the console's detection line gives it
    double sx, sy;       // the spread of the changed samples, as on the detection line
    double cx, cy;       // the centroid of the changed samples, pixels
    long long changed;   // the changed samples
    int brightening;     // the largest brightening of a changed sample over the frame before
    int run;             // consecutive detected frames share it, from 1
};

// Starts BASE_events.csv with its header: 0, or -1 when it cannot be made (reported).
int OpenEventLog(const char *base);
// One line, flushed at once, so that a crash loses at most the line being written: 0, or -1 when
// no log is open or the line did not reach the file (reported once).
int WriteEventLine(const EventLine &line);
// Closes the log; nothing when none is open.
void CloseEventLog(void);

// The largest brightening (cur - prev) of the samples marked in diff, over the rows j whose
// row_marks[j] is not 0 (a marked frame's rows without marks hold none); 0 without marks.
int largest_brightening16(const unsigned short *diff, const unsigned short *cur,
                          const unsigned short *prev, const int *row_marks, int width, int height);
int largest_brightening8(const unsigned short *diff, const unsigned char *cur,
                         const unsigned char *prev, const int *row_marks, int width, int height);

#endif
