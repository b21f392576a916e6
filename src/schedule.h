// When an unattended run records and when it ends: the night, --stop-after and --stop-at.
#ifndef TOLVA_SCHEDULE_H
#define TOLVA_SCHEDULE_H

#include "options.h"

enum { SCHEDULE_WAIT, SCHEDULE_RECORD, SCHEDULE_END };

// Works out the recording's start and the run's end from `now` (Unix seconds) and says on
// standard output what the night gives: 0, or 1 when there is nothing to wait for (a polar day
// under --night: the run ends at once).
int ScheduleBegin(const RunOptions &o, double now);
// What the run does at `now`: wait (daylight before the night), record, or end.
int ScheduleAction(double now);
// The run's end in Unix seconds; infinity when nothing ends it.
double ScheduleEnd(void);

// The next local time of day `minute` (minutes after midnight) after `now`, in Unix seconds.
double next_clock_time(double now, int minute);

#endif
