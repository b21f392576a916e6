// Difference recording: each frame against the one before, detections announced, recorded and
// stacked into one picture.
#ifndef TOLVA_DIFFERENCE_RECORDING_H
#define TOLVA_DIFFERENCE_RECORDING_H

#include "tolvacapture.h"

// The difference threshold on the samples' scale.
unsigned short difference_threshold(const Driver &d);

// Difference recording: preparation on 'd', the step of each pass, and the end on 'e'.
void prepare_difference_recording(Driver &d);
void difference_step(Driver &d);
void end_difference_recording(Driver &d);

// The user scripts that detections started are reaped once they have ended; running ones stay.
void reap_scripts(Driver &d);

#endif
