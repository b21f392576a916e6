// The live display's NEON kernel for 32-bit ARM, compiled for NEON on its own and taken only on
// processors that have it (see unpack_neon.h).
#ifndef TOLVA_DISPLAY_NEON_H
#define TOLVA_DISPLAY_NEON_H

#include <cstdint>

#if defined(__arm__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define TOLVA_DISPLAY_NEON 1

// halve_row_kernel (halve_row.h) built for NEON.
void halve_row_neon(const uint8_t *a, const uint8_t *b, const uint8_t *c, const uint8_t *e,
                    int first, int last, uint8_t *out);
#endif

#endif
