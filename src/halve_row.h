// The by-2 view row kernel of the live display, written for the compiler to vectorise: it is
// compiled once for each instruction set the display may choose (display.cpp, display_neon.cpp),
// so it has internal linkage and calls nothing.
//
// View pixel dx of an interior view row averages the demosaiced pixels (2 dx, 2 dx + 1) of rows
// b (even, red on even columns) and c (odd, blue on odd columns); a is the row above b, e the
// row below c. Each pixel is OpenCV's bilinear BG2BGR value, each mean rounded as there, and
// the four are averaged as resize's area mean rounds, (sum + 2) >> 2.
#ifndef TOLVA_HALVE_ROW_H
#define TOLVA_HALVE_ROW_H

#include <cstdint>

// View pixels [first, last) into out (B, G, R per pixel); columns 2 first - 1 .. 2 last are read.
__attribute__((always_inline)) static inline void
halve_row_kernel(const uint8_t *__restrict a, const uint8_t *__restrict b,
                 const uint8_t *__restrict c, const uint8_t *__restrict e, int first, int last,
                 uint8_t *__restrict out)
{
    for (int dx = first; dx < last; ++dx) {
        const int x = 2 * dx;
        const uint16_t aE = a[x], aO = a[x + 1], aOm = a[x - 1];
        const uint16_t bE = b[x], bO = b[x + 1], bOm = b[x - 1], bEp = b[x + 2];
        const uint16_t cE = c[x], cO = c[x + 1], cOm = c[x - 1], cEp = c[x + 2];
        const uint16_t eE = e[x], eO = e[x + 1], eEp = e[x + 2];
        // The red pixel (b, x), the greens (b, x + 1) and (c, x), the blue pixel (c, x + 1).
        const uint16_t blue =
            static_cast<uint16_t>((((aOm + aO + cOm + cO + 2) >> 2) + ((aO + cO + 1) >> 1) +
                                   ((cOm + cO + 1) >> 1) + cO + 2) >>
                                  2);
        const uint16_t green = static_cast<uint16_t>(
            (((aE + cE + bOm + bO + 2) >> 2) + bO + cE + ((bO + eO + cE + cEp + 2) >> 2) + 2) >> 2);
        const uint16_t red =
            static_cast<uint16_t>((bE + ((bE + bEp + 1) >> 1) + ((bE + eE + 1) >> 1) +
                                   ((bE + bEp + eE + eEp + 2) >> 2) + 2) >>
                                  2);
        out[3 * dx] = static_cast<uint8_t>(blue);
        out[3 * dx + 1] = static_cast<uint8_t>(green);
        out[3 * dx + 2] = static_cast<uint8_t>(red);
    }
}

#endif
