// Frame ring: the hand-over between a receiver's thread and ReadRAW, shared by both back ends,
// which also answers cap.h's ReadRAW, BufferFrames and the sizes.
#ifndef TOLVA_CAPTURE_FRAME_RING_H
#define TOLVA_CAPTURE_FRAME_RING_H

#include <sys/time.h>

#include <cstddef>

// The pipeline's frame size, and slots for frames of `bufsiz` bytes (16 when 0): as many as fit
// in the hand-over's bytes, at most 64; 0, or -1 after "malloc error". Live view (ReadRAW takes
// the newest frame) until BufferFrames.
int ring_allocate(int width, int height, int bufsiz);
void ring_free(void);

// The receiver's thread, the only producer. Frames lost before the next one put.
void ring_count_lost(unsigned frames);
// Copies a finished frame (cut to a slot's size) into the next free slot with the time it was
// received, or drops and counts it when every slot holds a frame waiting.
void ring_put(const void *frame, std::size_t length, const struct timeval &received);

#endif
