// Live display: the live window's picture in buffers made once (reduced by 4 straight from the
// frame buffer), and the full-size demosaiced picture, or a region of it, when one is wanted.
//
// The demosaiced picture rgb(x, y) follows OpenCV's bilinear Bayer rule for BG2BGR: the pixels
// of rows and columns 1 .. size - 2 are interpolated from their 3 x 3 neighbourhood, the outer
// rows and columns repeat their inner neighbours. Reduced by 4, OpenCV's resize takes the mean
// ((sum + 2) >> 2) of the pixels at 4d + 1 and 4d + 2 in each direction, a coordinate past the
// edge standing for the last one; so the view needs only those pixels, made straight from the
// frame's rows converted to 8 bits.
#include "display.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

static const char __PROGRAM_VERSION__[] = "@(#)display Ver. 1.0000 (2026/12/09 07:00:00)";

namespace {

constexpr double kDisplayScale = 0.08; // 16-bit samples to the 8-bit picture
constexpr int kStripes = 8;            // bands of the view made side by side
constexpr int kRowSlots = 4;           // converted rows a band keeps: all one view row reads

int Width = 0, Height = 0, Depth = CV_16U, Div = 1;
bool Tiny = false; // under 3 x 3: OpenCV's own chain, as its demosaic has no interior there
cv::Size ViewSize;
cv::Mat Bayer8, Full, View;
// Per band: converted 8-bit rows (slot y % 4, tagged with y).
std::vector<uint8_t> RowCache;
std::vector<int> RowTag;

struct Rows {
    const uint8_t *up, *mid, *down;
};

// 16-bit sample to 8 bits as convertTo does: the product in single precision rounded to the
// nearest integer, ties to even (adding 1.5 x 2^23 leaves that integer in the low bits).
void convert_row(const uint16_t *src, uint8_t *dst, int n)
{
    const float scale = static_cast<float>(kDisplayScale);
    for (int i = 0; i < n; ++i) {
        float f = static_cast<float>(src[i]) * scale + 12582912.0f;
        int32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        const int32_t v = bits - 0x4B400000;
        dst[i] = static_cast<uint8_t>(v > 255 ? 255 : v);
    }
}

// Bayer row y of the frame in 8 bits, for band `band`.
const uint8_t *bayer_row(const void *frame, int band, int y)
{
    if (Depth == CV_8U)
        return static_cast<const uint8_t *>(frame) + static_cast<size_t>(y) * Width;
    const int slot = band * kRowSlots + (y % kRowSlots);
    uint8_t *row = RowCache.data() + static_cast<size_t>(slot) * Width;
    if (RowTag[slot] != y) {
        convert_row(static_cast<const uint16_t *>(frame) + static_cast<size_t>(y) * Width, row,
                    Width);
        RowTag[slot] = y;
    }
    return row;
}

int clamp(int v, int low, int high) { return v < low ? low : v > high ? high : v; }

// The rows that interpolate picture row y (any row: the outer ones repeat their neighbours).
Rows rows_for(const void *frame, int band, int y, bool &odd)
{
    const int c = clamp(y, 1, Height - 2);
    odd = (c & 1) != 0;
    return {bayer_row(frame, band, c - 1), bayer_row(frame, band, c),
            bayer_row(frame, band, c + 1)};
}

inline unsigned cross(const Rows &r, int x)
{
    return (r.up[x] + r.down[x] + r.mid[x - 1] + r.mid[x + 1] + 2) >> 2;
}
inline unsigned diagonal(const Rows &r, int x)
{
    return (r.up[x - 1] + r.up[x + 1] + r.down[x - 1] + r.down[x + 1] + 2) >> 2;
}
inline unsigned across(const Rows &r, int x) { return (r.mid[x - 1] + r.mid[x + 1] + 1) >> 1; }
inline unsigned vertical(const Rows &r, int x) { return (r.up[x] + r.down[x] + 1) >> 1; }

// Adds B, G, R of the interior pixel x (1 .. width - 2) to bgr. Blue sits at odd column and row.
template <bool OddX, bool OddY> inline void add_pixel(const Rows &r, int x, unsigned bgr[3])
{
    if (OddX && OddY) {
        bgr[0] += r.mid[x], bgr[1] += cross(r, x), bgr[2] += diagonal(r, x);
    } else if (!OddX && !OddY) {
        bgr[0] += diagonal(r, x), bgr[1] += cross(r, x), bgr[2] += r.mid[x];
    } else if (OddY) {
        bgr[0] += across(r, x), bgr[1] += r.mid[x], bgr[2] += vertical(r, x);
    } else {
        bgr[0] += vertical(r, x), bgr[1] += r.mid[x], bgr[2] += across(r, x);
    }
}

// The same for any column x of the picture.
void add_any(const Rows &r, bool odd_y, int x, unsigned bgr[3])
{
    x = clamp(x, 1, Width - 2);
    const bool odd_x = (x & 1) != 0;
    if (odd_x)
        odd_y ? add_pixel<true, true>(r, x, bgr) : add_pixel<true, false>(r, x, bgr);
    else
        odd_y ? add_pixel<false, true>(r, x, bgr) : add_pixel<false, false>(r, x, bgr);
}

// View row dy reduced by 4: the mean of picture rows and columns 4d + 1 and 4d + 2.
template <bool OddA, bool OddB>
void quarter_interior(const Rows &ra, const Rows &rb, int whole, uint8_t *out)
{
    for (int dx = 0; dx < whole; ++dx) {
        const int x = 4 * dx + 1;
        unsigned bgr[3] = {2, 2, 2};
        add_pixel<true, OddA>(ra, x, bgr);
        add_pixel<false, OddA>(ra, x + 1, bgr);
        add_pixel<true, OddB>(rb, x, bgr);
        add_pixel<false, OddB>(rb, x + 1, bgr);
        out[3 * dx] = static_cast<uint8_t>(bgr[0] >> 2);
        out[3 * dx + 1] = static_cast<uint8_t>(bgr[1] >> 2);
        out[3 * dx + 2] = static_cast<uint8_t>(bgr[2] >> 2);
    }
}

void quarter_row(const void *frame, int band, int dy, uint8_t *out)
{
    const int ya = std::min(4 * dy + 1, Height - 1);
    const int yb = std::min(4 * dy + 2, Height - 1);
    bool odd_a, odd_b;
    const Rows ra = rows_for(frame, band, ya, odd_a);
    const Rows rb = rows_for(frame, band, yb, odd_b);
    // Columns 4d .. 4d + 3 inside the frame: pixels 4d + 1 and 4d + 2 are interior.
    const int inner = std::min(ViewSize.width, Width / 4);
    if (odd_a && !odd_b)
        quarter_interior<true, false>(ra, rb, inner, out);
    else if (odd_a)
        quarter_interior<true, true>(ra, rb, inner, out);
    else if (odd_b)
        quarter_interior<false, true>(ra, rb, inner, out);
    else
        quarter_interior<false, false>(ra, rb, inner, out);
    for (int dx = inner; dx < ViewSize.width; ++dx) {
        const int xa = std::min(4 * dx + 1, Width - 1);
        const int xb = xa == Width - 1 ? xa : xa + 1;
        unsigned bgr[3] = {2, 2, 2};
        add_any(ra, odd_a, xa, bgr);
        add_any(ra, odd_a, xb, bgr);
        add_any(rb, odd_b, xa, bgr);
        add_any(rb, odd_b, xb, bgr);
        for (int c = 0; c < 3; ++c)
            out[3 * dx + c] = static_cast<uint8_t>(bgr[c] >> 2);
    }
}

void reduce_band(const void *frame, int band)
{
    const int first = ViewSize.height * band / kStripes;
    const int last = ViewSize.height * (band + 1) / kStripes;
    for (int slot = 0; slot < kRowSlots; ++slot)
        RowTag[band * kRowSlots + slot] = -1; // a new frame
    for (int dy = first; dy < last; ++dy) {
        quarter_row(frame, band, dy, View.ptr<uint8_t>(dy));
    }
}

cv::Mat frame_mat(const void *frame)
{
    return cv::Mat(Height, Width, Depth, const_cast<void *>(frame));
}

} // namespace

int display_init(int width, int height, int depth, int div)
{
    if (width < 1 || height < 1 || (depth != CV_16U && depth != CV_8U) ||
        (div != 1 && div != 2 && div != 4))
        return -1;
    Width = width, Height = height, Depth = depth, Div = div;
    Tiny = width < 3 || height < 3;
    const double rate = 1.0f / div; // single precision, as the live window's rate
    ViewSize =
        cv::Size(cv::saturate_cast<int>(width * rate), cv::saturate_cast<int>(height * rate));
    Bayer8.create(height, width, CV_8U);
    Full.create(height, width, CV_8UC3);
    View = div == 1 ? Full : cv::Mat(ViewSize, CV_8UC3);
    RowCache.assign(static_cast<size_t>(kStripes) * kRowSlots * width, 0);
    RowTag.assign(kStripes * kRowSlots, -1);
    return 0;
}

int display_full(const void *frame, cv::Mat &full)
{
    cv::Mat bayer = frame_mat(frame);
    if (Depth == CV_16U) {
        bayer.convertTo(Bayer8, CV_8U, kDisplayScale, 0.0);
        bayer = Bayer8;
    }
    cv::cvtColor(bayer, Full, cv::COLOR_BayerBG2BGR);
    full = Full;
    return 0;
}

int display_view(const void *frame, cv::Mat &view)
{
    if (Div == 1)
        return display_full(frame, view);
    // By 2, OpenCV's own SIMD demosaic and area mean into the unit's buffers are the faster way
    // (measured); by 4 the view reads a quarter of the demosaiced pixels, made here alone.
    if (Div == 2 || Tiny) {
        display_full(frame, view);
        const double rate = 1.0f / Div;
        cv::resize(Full, View, cv::Size(), rate, rate, cv::INTER_LINEAR);
        view = View;
        return 0;
    }
    cv::parallel_for_(cv::Range(0, kStripes), [frame](const cv::Range &bands) {
        for (int band = bands.start; band < bands.end; ++band)
            reduce_band(frame, band);
    });
    view = View;
    return 0;
}

int display_region(const void *frame, cv::Rect region, cv::Mat &picture)
{
    const cv::Rect frame_rect(0, 0, Width, Height);
    if (region.empty() || (region & frame_rect) != region)
        return -1;
    if (Tiny) {
        display_full(frame, picture);
        picture = Full(region);
        return 0;
    }
    // A margin of one pixel (two where needed to keep the Bayer phase) makes the region's border
    // pixels interior; where the region meets the frame's edge, the edge rule is the frame's.
    // At the far edge of an even-sized frame the block starts early enough to be 3 wide or high.
    const int x0 = std::max(0, std::min(region.x - 1, Width - 3)) & ~1;
    const int y0 = std::max(0, std::min(region.y - 1, Height - 3)) & ~1;
    const int x1 = std::min(Width, std::max(region.br().x + 1, x0 + 3));
    const int y1 = std::min(Height, std::max(region.br().y + 1, y0 + 3));
    const cv::Rect block(x0, y0, x1 - x0, y1 - y0);
    cv::Mat bayer = frame_mat(frame)(block);
    if (Depth == CV_16U) {
        cv::Mat bayer8 = Bayer8(block);
        bayer.convertTo(bayer8, CV_8U, kDisplayScale, 0.0);
        bayer = bayer8;
    }
    cv::Mat rgb = Full(block);
    cv::cvtColor(bayer, rgb, cv::COLOR_BayerBG2BGR);
    picture = Full(region);
    return 0;
}
