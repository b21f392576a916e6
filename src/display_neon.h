// The live display's NEON kernels for ARM: on 32-bit ARM compiled for NEON on their own and taken
// only on processors that have it (cpu_features.h); on 64-bit ARM always.
#ifndef TOLVA_DISPLAY_NEON_H
#define TOLVA_DISPLAY_NEON_H

#include <cstdint>

#if (defined(__arm__) || defined(__aarch64__)) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define TOLVA_DISPLAY_NEON 1

// convert_row_kernel, halve_row_kernel and quarter_row_kernel (view_rows.h) built for NEON.
void convert_row_neon(const uint16_t *src, uint8_t *dst, int n, float scale);
void halve_row_neon(const uint8_t *r0, const uint8_t *r1, const uint8_t *r2, const uint8_t *r3,
                    int first, int last, uint8_t *out);
void quarter_row_neon(const uint8_t *r0, const uint8_t *r1, const uint8_t *r2, const uint8_t *r3,
                      int first, int last, uint8_t *out);
#endif

#endif
