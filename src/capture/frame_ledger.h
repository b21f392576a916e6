// Frame ledger: what both capture back ends record about the frames they hand to the driver.
#ifndef TOLVA_CAPTURE_FRAME_LEDGER_H
#define TOLVA_CAPTURE_FRAME_LEDGER_H

#include <sys/time.h>

#include <cstdint>

// Back to nothing lost and no frame taken, when a pipeline opens.
void ledger_reset(void);
// Frames the receiver finished that will never reach ReadRAW; any thread may count them.
void ledger_count_lost(unsigned frames);
// The frame ReadRAW returns: the frames lost just before it, and when it was received.
void ledger_frame_taken(unsigned gap, const struct timeval &received);

// Frames lost between two sequence numbers of the receiver: 0 when `sequence` is the one
// `expected`; the 32-bit counters wrap.
unsigned ledger_sequence_gap(std::uint32_t expected, std::uint32_t sequence);
// The wall-clock time of a CLOCK_MONOTONIC time stamp, as the two clocks stand now.
struct timeval ledger_wall_clock(const struct timeval &monotonic);

#endif
