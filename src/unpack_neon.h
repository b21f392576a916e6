// NEON kernels of the unpacking for ARM. 32-bit builds compile them for NEON on their own and take
// them only on processors that have it (Raspberry Pi OS builds for ARMv6, which has none); every
// 64-bit ARM processor has it.
#ifndef TOLVA_UNPACK_NEON_H
#define TOLVA_UNPACK_NEON_H

#if (defined(__arm__) || defined(__aarch64__)) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define TOLVA_UNPACK_NEON 1

// True when the processor this runs on has NEON: on 32-bit ARM the kernel's hardware capabilities
// say so, on 64-bit ARM always.
bool neon_available();

// As raw10_to_16 ... raw12_to_8 of unpack.h, byte for byte.
void raw10_to_16_neon(unsigned char *dst, const unsigned char *src, long long groups);
void raw12_to_16_neon(unsigned char *dst, const unsigned char *src, long long groups);
void raw10_to_8_neon(unsigned char *dst, const unsigned char *src, long long groups);
void raw12_to_8_neon(unsigned char *dst, const unsigned char *src, long long groups);
#endif

// Vector kernels load more bytes than the groups they convert: the groups a loop of steps of
// `step_groups` groups may take when each step reads `reach` bytes from its start without
// leaving the stream of `groups` groups of `group_bytes`. The plain kernels do the rest.
long long vector_groups(long long groups, int group_bytes, int step_groups, int reach);

#endif
