// The live display's NEON kernels (on 32-bit ARM built with -mfpu=neon for this file only).
#include "display_neon.h"

#ifdef TOLVA_DISPLAY_NEON
#include "view_rows.h"

void convert_row_neon(const uint16_t *src, uint8_t *dst, int n, float scale)
{
    convert_row_kernel(src, dst, n, scale);
}

void halve_row_neon(const uint8_t *r0, const uint8_t *r1, const uint8_t *r2, const uint8_t *r3,
                    int first, int last, uint8_t *out)
{
    halve_row_kernel(r0, r1, r2, r3, first, last, out);
}

void quarter_row_neon(const uint8_t *r0, const uint8_t *r1, const uint8_t *r2, const uint8_t *r3,
                      int first, int last, uint8_t *out)
{
    quarter_row_kernel(r0, r1, r2, r3, first, last, out);
}
#endif
