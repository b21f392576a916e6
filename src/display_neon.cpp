// The live display's NEON kernel (32-bit ARM, built with -mfpu=neon for this file only).
#include "display_neon.h"

#ifdef TOLVA_DISPLAY_NEON
#include "halve_row.h"

void halve_row_neon(const uint8_t *a, const uint8_t *b, const uint8_t *c, const uint8_t *e,
                    int first, int last, uint8_t *out)
{
    halve_row_kernel(a, b, c, e, first, last, out);
}
#endif
