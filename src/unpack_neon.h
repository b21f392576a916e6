// NEON kernels of the unpacking for ARM. 32-bit builds compile them for NEON on their own and take
// them only on processors that have it (Raspberry Pi OS builds for ARMv6, which has none); every
// 64-bit ARM processor has it.
#ifndef TOLVA_UNPACK_NEON_H
#define TOLVA_UNPACK_NEON_H

#if (defined(__arm__) || defined(__aarch64__)) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define TOLVA_UNPACK_NEON 1

// As raw10_to_16 ... raw12_to_8 of unpack.h, byte for byte.
void raw10_to_16_neon(unsigned char *dst, const unsigned char *src, long long groups);
void raw12_to_16_neon(unsigned char *dst, const unsigned char *src, long long groups);
void raw10_to_8_neon(unsigned char *dst, const unsigned char *src, long long groups);
void raw12_to_8_neon(unsigned char *dst, const unsigned char *src, long long groups);
#endif

#endif
