// Frame ring: the hand-over between a receiver's thread and ReadRAW, shared by both back ends.
#ifndef TOLVA_CAPTURE_FRAME_RING_H
#define TOLVA_CAPTURE_FRAME_RING_H

#include <sys/time.h>

#include <cstddef>

// Slots for frames of `bufsiz` bytes (16 when 0): as many as fit in the hand-over's bytes, at
// most 64; 0, or -1 after "malloc error". Live view (one frame waits) until ring_buffer_frames.
int ring_allocate(int bufsiz);
void ring_free(void);

// The receiver's thread, the only producer. Frames lost before the next one put.
void ring_count_lost(unsigned frames);
// Copies a finished frame (cut to a slot's size) into the next free slot with the time it was
// received, or drops and counts it when the frames allowed to wait already do.
void ring_put(const void *frame, std::size_t length, const struct timeval &received);

// The main thread, the only consumer: the oldest waiting frame into `buf` (`bufsiz` bytes), its
// gap and time into the ledger; 1, or 0 when none waits.
int ring_take(unsigned char *buf, int bufsiz);
// Non-zero: every slot may hold a waiting frame (recording); 0: one, and of those waiting only
// the newest stays, the others counted lost.
void ring_buffer_frames(int on);
int ring_held_frames(void);

#endif
