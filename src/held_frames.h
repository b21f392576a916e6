// The frames held before a run of detections: a ring of whole frames with their reception times.
//
// Ownership: the ring's memory is allocated once by RingInit (frames x bytes) and freed by
// RingFree, both on the main thread, which alone holds, takes and discards frames.
#ifndef TOLVA_HELD_FRAMES_H
#define TOLVA_HELD_FRAMES_H

#include <sys/time.h>

// Room for `frames` frames of `bytes` each (0 frames: an empty ring that holds nothing): 0, or -1
// when the memory cannot be had.
int RingInit(int frames, long long bytes);
void RingFree(void);
// Keeps a copy of `frame` and its reception time; when the ring is full, the oldest frame goes.
void RingHold(const unsigned char *frame, const timeval &received);
// Frames held.
int RingCount(void);
// Hands every frame held to `take`, oldest first, and empties the ring: each frame is taken once.
void RingTake(void (*take)(unsigned char *frame, const timeval &received, void *context),
              void *context);
// Forgets the frames held (a new recording starts with none).
void RingClear(void);

#endif
