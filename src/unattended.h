// The unattended run's work in each pass: the schedule's keys, the disk guard's checks, the status
// line and the storage's pace.
#ifndef TOLVA_UNATTENDED_H
#define TOLVA_UNATTENDED_H

#include "tolvacapture.h"

// Bytes a frame adds to a SER file: its samples and its time stamp in the trailer.
long long recorded_frame_bytes(const Driver &d);

// The key the schedule presses in this pass (d or s when the recording asked for is due, q when
// the run ends), or -1.
int scheduled_key(Driver &d);

// Whether a recording may start: the disk keeps its free space after the most a pass may write.
// A refusal is said once until a recording starts again.
bool recording_allowed(Driver &d);
// Whether the open recording must close before this pass writes `frames` frames, said with the
// recording's name when it must.
bool disk_guard_trips(Driver &d, int frames);

// A frame `lost` frames after the one before in a recording: when frames were written meanwhile
// and the writes are slower than the frames come, the storage holds the recording back; said once
// a recording. A difference recording writes in runs, each as fast as the sensor makes frames.
void check_storage_pace(Driver &d, int lost);
// Once an unattended recording has run long enough to measure the sensor's rate: how long the
// free space lasts at it.
void say_how_long_space_lasts(Driver &d);
// The status line when --status asks for one at this time.
void print_status(Driver &d);

#endif
