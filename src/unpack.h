// Unpacking of MIPI CSI-2 packed RAW10 and RAW12 samples: the plain kernels, the vector kernels
// chosen for the processor at run time, and the line-aware unpacking of frames with line fill.
//
// A RAW10 group is 5 bytes for 4 samples, a RAW12 group 3 bytes for 2. Output is 16-bit
// little-endian samples in the sensor's range, or (raw8 non-zero) their 8 most significant bits,
// one byte each. Every path gives the same bytes as the plain kernels. The caller owns the
// buffers; nothing is allocated or kept.
#ifndef TOLVA_UNPACK_H
#define TOLVA_UNPACK_H

// Unpacks `groups` whole groups of `bits`-bit packed samples (10 or 12) from src into dst, on the
// fastest path the processor has. Returns the bytes written; -1 (nothing written) for other bits.
long long unpack_groups(unsigned char *dst, const unsigned char *src, long long groups, int bits,
                        int raw8);

// Bytes of one packed line of `width` samples, a last partial group counted whole.
long long packed_line_bytes(int width, int bits);
// True when lines of `stride` bytes hold `width` packed samples followed by fill: the frame is
// then to be unpacked line by line (unpack_lines) rather than as one stream.
bool lines_carry_fill(int width, int stride, int bits);
// Unpacks the first `width` samples of each of `height` lines of `stride` bytes (stride at least
// packed_line_bytes), skipping each line's fill: dst gets exactly width x height samples.
// Returns the bytes written; -1 (nothing written) for other bits or a stride too short.
long long unpack_lines(unsigned char *dst, const unsigned char *src, int width, int height,
                       int stride, int bits, int raw8);

// The plain kernels, one sample after the other: the oracle of the vector kernels.
void raw10_to_16(unsigned char *dst, const unsigned char *src, long long groups);
void raw12_to_16(unsigned char *dst, const unsigned char *src, long long groups);
void raw10_to_8(unsigned char *dst, const unsigned char *src, long long groups);
void raw12_to_8(unsigned char *dst, const unsigned char *src, long long groups);

// Vector kernels load more bytes than the groups they convert: the groups a loop of steps of
// `step_groups` groups may take when each step reads `reach` bytes from its start without
// leaving the stream of `groups` groups of `group_bytes`. The plain kernels do the rest.
long long vector_groups(long long groups, int group_bytes, int step_groups, int reach);

// The path unpack_groups takes: "ssse3", "neon" or "plain". unpack_force_plain(1) makes
// it take the plain kernels (so tests check both paths on one machine), 0 the processor's best.
const char *unpack_path();
void unpack_force_plain(int plain);

#endif
