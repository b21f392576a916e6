// The row kernels of the live display (16-bit rows to 8 bits, view rows by 2 and by 4), written for
// the compiler to vectorise: they are compiled once for each instruction set the display may choose
// (display.cpp, display_neon.cpp), so they have internal linkage and call nothing.
//
// By 2, view pixel dx of an interior view row averages the demosaiced pixels (2 dx, 2 dx + 1) of
// rows b (even, red on even columns) and c (odd, blue on odd columns); a is the row above b, e the
// row below c. Each pixel is OpenCV's bilinear BG2BGR value, each mean rounded as there, and
// the four are averaged as resize's area mean rounds, (sum + 2) >> 2.
#ifndef TOLVA_VIEW_ROWS_H
#define TOLVA_VIEW_ROWS_H

#include <cstdint>
#include <cstring>

// n 16-bit samples to 8 bits as convertTo(CV_8U, scale) does: the product in single precision
// rounded to the nearest integer, ties to even (adding 1.5 x 2^23 leaves that integer in the low
// bits), saturated at 255.
__attribute__((always_inline)) static inline void
convert_row_kernel(const uint16_t *__restrict src, uint8_t *__restrict dst, int n, float scale)
{
    for (int i = 0; i < n; ++i) {
        const float f = static_cast<float>(src[i]) * scale + 12582912.0f;
        int32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        const int32_t v = bits - 0x4B400000;
        dst[i] = static_cast<uint8_t>(v > 255 ? 255 : v);
    }
}

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

// By 4, view pixel dx averages the pixels (4 dx + 1, 4 dx + 2) of rows r1 (odd, blue on odd
// columns) and r2 (even); r0 is the row above r1, r3 the row below r2. View pixels [first,
// last); columns 4 first .. 4 last - 1 are read.
__attribute__((always_inline)) static inline void
quarter_row_kernel(const uint8_t *__restrict r0, const uint8_t *__restrict r1,
                   const uint8_t *__restrict r2, const uint8_t *__restrict r3, int first, int last,
                   uint8_t *__restrict out)
{
    for (int dx = first; dx < last; ++dx) {
        const int x = 4 * dx;
        const uint16_t a0 = r0[x], a1 = r0[x + 1], a2 = r0[x + 2];
        const uint16_t b0 = r1[x], b1 = r1[x + 1], b2 = r1[x + 2], b3 = r1[x + 3];
        const uint16_t c0 = r2[x], c1 = r2[x + 1], c2 = r2[x + 2], c3 = r2[x + 3];
        const uint16_t d1 = r3[x + 1], d2 = r3[x + 2], d3 = r3[x + 3];
        // The blue pixel (r1, x + 1), the greens (r1, x + 2) and (r2, x + 1), the red (r2, x + 2).
        const uint16_t blue =
            static_cast<uint16_t>((b1 + ((b1 + b3 + 1) >> 1) + ((b1 + d1 + 1) >> 1) +
                                   ((b1 + b3 + d1 + d3 + 2) >> 2) + 2) >>
                                  2);
        const uint16_t green = static_cast<uint16_t>(
            (((a1 + c1 + b0 + b2 + 2) >> 2) + b2 + c1 + ((b2 + d2 + c1 + c3 + 2) >> 2) + 2) >> 2);
        const uint16_t red =
            static_cast<uint16_t>((((a0 + a2 + c0 + c2 + 2) >> 2) + ((a2 + c2 + 1) >> 1) +
                                   ((c0 + c2 + 1) >> 1) + c2 + 2) >>
                                  2);
        out[3 * dx] = static_cast<uint8_t>(blue);
        out[3 * dx + 1] = static_cast<uint8_t>(green);
        out[3 * dx + 2] = static_cast<uint8_t>(red);
    }
}

#endif
