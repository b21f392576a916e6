// Live display: the live window's picture in buffers made once (reduced by 4, and by 2 on even
// sizes, straight from the frame buffer), and the full-size demosaiced picture, or a region of it,
// when one is wanted.
//
// The demosaiced picture rgb(x, y) follows OpenCV's bilinear Bayer rule for the frame's order
// (BG2BGR for RGGB): the pixels of rows and columns 1 .. size - 2 are interpolated from their
// 3 x 3 neighbourhood, the outer rows and columns repeat their inner neighbours. Every order is
// RGGB's rule on columns moved by one, or with red and blue exchanged, or both: GRBG is RGGB a
// column on, BGGR is RGGB with red and blue exchanged, GBRG both.
//
// Reduced by 4, OpenCV's resize takes the mean ((sum + 2) >> 2) of the pixels at 4d + 1 and
// 4d + 2 in each direction, a coordinate past the edge standing for the last one; reduced by 2
// (as an area mean) that of the pixels at 2d and 2d + 1. So the view needs only those pixels,
// made straight from the frame's rows converted to 8 bits.
#include "display.h"
#include "display_neon.h"
#include "i2c.h"
#include "view_rows.h"
#ifdef TOLVA_DISPLAY_NEON
#include "cpu_features.h"
#endif

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdint>
#include <vector>

[[gnu::used]] static const char __PROGRAM_VERSION__[] =
    "@(#)display Ver. 1.0000 (2026/12/09 07:00:00)";

namespace {

// 16-bit samples to the 8-bit picture: 12-bit full scale (4095) a little above white, samples
// above 3181 saturate.
constexpr double kDisplayScale = 0.08;
constexpr int kStripes = 8;  // bands of the view made side by side
constexpr int kRowSlots = 4; // converted rows a band keeps: all one view row reads

int Width = 0, Height = 0, Depth = CV_16U, Div = 1;
int Demosaic = cv::COLOR_BayerBG2BGR; // OpenCV's code for the frame's Bayer order
bool ShiftX = false;                  // the order is RGGB's a column on
bool SwapRedBlue = false;             // the order has RGGB's red and blue exchanged
bool Tiny = false; // under 3 x 3: OpenCV's own chain, as its demosaic has no interior there
// The view made here, from the frame's rows: by 4, and by 2 on even sizes (odd ones have view
// pixels that average fewer than four pixels, which resize rounds in floating point).
bool Direct = false;
cv::Size ViewSize;
cv::Mat Bayer8, Full, View;
// Per band: converted 8-bit rows (slot y % 4, tagged with y).
std::vector<uint8_t> RowCache;
std::vector<int> RowTag;

// The row kernels for this processor; without view row kernels (null) the view is made pixel by
// pixel and the rows converted by the kernel built for any processor.
using ConvertRow = void (*)(const uint16_t *src, uint8_t *dst, int n, float scale);
using ViewRow = void (*)(const uint8_t *r0, const uint8_t *r1, const uint8_t *r2, const uint8_t *r3,
                         int first, int last, uint8_t *out);
struct ViewPath {
    const char *name;
    ConvertRow convert;
    ViewRow halve, quarter;
};

void convert_row(const uint16_t *src, uint8_t *dst, int n, float scale)
{
    convert_row_kernel(src, dst, n, scale);
}

const ViewPath kPlain = {"plain", convert_row, nullptr, nullptr};

#if defined(__x86_64__) || defined(__i386__)
// The kernels built for AVX2, SSSE3 and the PC's baseline (SSE2); the loader links the one this
// processor runs, in the order given.
__attribute__((target_clones("avx2", "ssse3", "default"))) void
convert_row_x86(const uint16_t *src, uint8_t *dst, int n, float scale)
{
    convert_row_kernel(src, dst, n, scale);
}

__attribute__((target_clones("avx2", "ssse3", "default"))) void
halve_row_x86(const uint8_t *r0, const uint8_t *r1, const uint8_t *r2, const uint8_t *r3, int first,
              int last, uint8_t *out)
{
    halve_row_kernel(r0, r1, r2, r3, first, last, out);
}

__attribute__((target_clones("avx2", "ssse3", "default"))) void
quarter_row_x86(const uint8_t *r0, const uint8_t *r1, const uint8_t *r2, const uint8_t *r3,
                int first, int last, uint8_t *out)
{
    quarter_row_kernel(r0, r1, r2, r3, first, last, out);
}

ViewPath best_view_path()
{
    __builtin_cpu_init();
    const char *name = __builtin_cpu_supports("avx2")    ? "avx2"
                       : __builtin_cpu_supports("ssse3") ? "ssse3"
                                                         : "sse2";
    return {name, convert_row_x86, halve_row_x86, quarter_row_x86};
}
#elif defined(TOLVA_DISPLAY_NEON)
ViewPath best_view_path()
{
    return neon_available() ? ViewPath{"neon", convert_row_neon, halve_row_neon, quarter_row_neon}
                            : kPlain;
}
#else
ViewPath best_view_path() { return kPlain; }
#endif

bool ForcePlain = false;

ViewPath view_path()
{
    static const ViewPath best = best_view_path();
    return ForcePlain ? kPlain : best;
}

ViewPath Path = kPlain; // the kernels of the frames set up last

struct Rows {
    const uint8_t *up, *mid, *down;
};

// Bayer row y of the frame in 8 bits, for band `band`.
const uint8_t *bayer_row(const void *frame, int band, int y)
{
    if (Depth == CV_8U)
        return static_cast<const uint8_t *>(frame) + static_cast<size_t>(y) * Width;
    const int slot = band * kRowSlots + (y % kRowSlots);
    uint8_t *row = RowCache.data() + static_cast<size_t>(slot) * Width;
    if (RowTag[slot] != y) {
        Path.convert(static_cast<const uint16_t *>(frame) + static_cast<size_t>(y) * Width, row,
                     Width, static_cast<float>(kDisplayScale));
        RowTag[slot] = y;
    }
    return row;
}

// The rows that interpolate picture row y (any row: the outer ones repeat their neighbours).
Rows rows_for(const void *frame, int band, int y, bool &odd)
{
    const int c = std::clamp(y, 1, Height - 2); // frames of 3 x 3 and more come here
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

// Adds B, G, R of the interior pixel x (1 .. width - 2) to bgr, as RGGB's rule has them: blue
// at odd column and row (before red and blue are exchanged for the order).
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

// The same for any column x of the picture, in the frame's order.
void add_any(const Rows &r, bool odd_y, int x, unsigned bgr[3])
{
    x = std::clamp(x, 1, Width - 2);
    const bool odd_x = (x & 1) != static_cast<int>(ShiftX);
    if (odd_x)
        odd_y ? add_pixel<true, true>(r, x, bgr) : add_pixel<true, false>(r, x, bgr);
    else
        odd_y ? add_pixel<false, true>(r, x, bgr) : add_pixel<false, false>(r, x, bgr);
}

// The first picture row and column of the pixels a view pixel d averages: by 4, 4d + 1 and
// 4d + 2; by 2 (even sizes only), 2d and 2d + 1.
inline int first_of(int d) { return Div == 4 ? 4 * d + 1 : 2 * d; }

// A view pixel: the mean of four pixels' sums in bgr, in the order's places of red and blue.
inline void store_mean(const unsigned bgr[3], uint8_t *pixel)
{
    const int blue = SwapRedBlue ? 2 : 0;
    pixel[blue] = static_cast<uint8_t>(bgr[0] >> 2);
    pixel[1] = static_cast<uint8_t>(bgr[1] >> 2);
    pixel[2 - blue] = static_cast<uint8_t>(bgr[2] >> 2);
}

// View row pixels [first, last) from the interior pixels first_of(d) and first_of(d) + 1.
template <int Reduction, bool Shift, bool OddA, bool OddB>
void reduce_interior(const Rows &ra, const Rows &rb, int first, int last, uint8_t *out)
{
    constexpr int kStep = Reduction, kOffset = Reduction == 4 ? 1 : 0;
    constexpr bool kOddX = (kOffset == 1) != Shift;
    for (int dx = first; dx < last; ++dx) {
        const int x = kStep * dx + kOffset;
        unsigned bgr[3] = {2, 2, 2};
        add_pixel<kOddX, OddA>(ra, x, bgr);
        add_pixel<!kOddX, OddA>(ra, x + 1, bgr);
        add_pixel<kOddX, OddB>(rb, x, bgr);
        add_pixel<!kOddX, OddB>(rb, x + 1, bgr);
        store_mean(bgr, out + 3 * dx);
    }
}

template <int Reduction, bool Shift>
void reduce_rows(const Rows &ra, bool odd_a, const Rows &rb, bool odd_b, int first, int last,
                 uint8_t *out)
{
    if (odd_a && !odd_b)
        reduce_interior<Reduction, Shift, true, false>(ra, rb, first, last, out);
    else if (odd_a)
        reduce_interior<Reduction, Shift, true, true>(ra, rb, first, last, out);
    else if (odd_b)
        reduce_interior<Reduction, Shift, false, true>(ra, rb, first, last, out);
    else
        reduce_interior<Reduction, Shift, false, false>(ra, rb, first, last, out);
}

template <int Reduction>
void reduce_rows(const Rows &ra, bool odd_a, const Rows &rb, bool odd_b, int first, int last,
                 uint8_t *out)
{
    if (ShiftX)
        reduce_rows<Reduction, true>(ra, odd_a, rb, odd_b, first, last, out);
    else
        reduce_rows<Reduction, false>(ra, odd_a, rb, odd_b, first, last, out);
}

// The row kernels make RGGB's colours: the order's exchange of red and blue, after them.
void swap_red_blue(int first, int last, uint8_t *out)
{
    for (int dx = first; dx < last; ++dx)
        std::swap(out[3 * dx], out[3 * dx + 2]);
}

// View pixel dx of any column: the pixels it averages clamp at the far edge.
void reduce_any(const Rows &ra, bool odd_a, const Rows &rb, bool odd_b, int dx, uint8_t *out)
{
    const int xa = std::min(first_of(dx), Width - 1);
    const int xb = xa == Width - 1 ? xa : xa + 1;
    unsigned bgr[3] = {2, 2, 2};
    add_any(ra, odd_a, xa, bgr);
    add_any(ra, odd_a, xb, bgr);
    add_any(rb, odd_b, xa, bgr);
    add_any(rb, odd_b, xb, bgr);
    store_mean(bgr, out + 3 * dx);
}

// View row dy: the mean of the pixels at first_of(d) and first_of(d) + 1 in each direction.
void reduce_row(const void *frame, int band, int dy, uint8_t *out)
{
    const int ya = std::min(first_of(dy), Height - 1);
    const int yb = std::min(ya + 1, Height - 1);
    bool odd_a, odd_b;
    const Rows ra = rows_for(frame, band, ya, odd_a);
    const Rows rb = rows_for(frame, band, yb, odd_b);
    // The view columns whose two pixels are interior (1 .. width - 2).
    const int first = Div == 4 ? 0 : 1;
    const int last =
        std::max(first, std::min(ViewSize.width, Div == 4 ? Width / 4 : Width / 2 - 1));
    // Rows ya - 1 .. ya + 2 are the four rows of the kernels in every view row but those at the
    // edges, where edge rows repeat: by 2 the first and the last, by 4 those that reach the last.
    const bool inner = Div == 2 ? dy > 0 && dy < ViewSize.height - 1 : ya + 2 <= Height - 1;
    // The kernels read RGGB's columns: orders a column on take the pixel by pixel rule.
    const ViewRow kernel = inner && !ShiftX ? (Div == 2 ? Path.halve : Path.quarter) : nullptr;
    if (kernel) {
        kernel(ra.up, ra.mid, rb.mid, rb.down, first, last, out);
        if (SwapRedBlue)
            swap_red_blue(first, last, out);
    } else if (Div == 4) {
        reduce_rows<4>(ra, odd_a, rb, odd_b, first, last, out);
    } else {
        reduce_rows<2>(ra, odd_a, rb, odd_b, first, last, out);
    }
    for (int dx = 0; dx < first; ++dx)
        reduce_any(ra, odd_a, rb, odd_b, dx, out);
    for (int dx = last; dx < ViewSize.width; ++dx)
        reduce_any(ra, odd_a, rb, odd_b, dx, out);
}

void reduce_band(const void *frame, int band)
{
    const int first = ViewSize.height * band / kStripes;
    const int last = ViewSize.height * (band + 1) / kStripes;
    for (int slot = 0; slot < kRowSlots; ++slot)
        RowTag[band * kRowSlots + slot] = -1; // a new frame
    for (int dy = first; dy < last; ++dy) {
        reduce_row(frame, band, dy, View.ptr<uint8_t>(dy));
    }
}

cv::Mat frame_mat(const void *frame)
{
    return cv::Mat(Height, Width, Depth, const_cast<void *>(frame));
}

} // namespace

int display_init(int width, int height, int depth, int div, int bayer)
{
    // OpenCV names an order by the second line's second and third pixels.
    static const int kDemosaic[] = {cv::COLOR_BayerBG2BGR, cv::COLOR_BayerGB2BGR,
                                    cv::COLOR_BayerGR2BGR, cv::COLOR_BayerRG2BGR};
    if (width < 1 || height < 1 || (depth != CV_16U && depth != CV_8U) ||
        (div != 1 && div != 2 && div != 4) || bayer < BAYER_RGGB || bayer > BAYER_BGGR)
        return -1;
    Width = width, Height = height, Depth = depth, Div = div;
    Demosaic = kDemosaic[bayer];
    ShiftX = bayer == BAYER_GRBG || bayer == BAYER_GBRG;
    SwapRedBlue = bayer == BAYER_GBRG || bayer == BAYER_BGGR;
    Tiny = width < 3 || height < 3;
    const double rate = 1.0f / div; // single precision, as the live window's rate
    ViewSize =
        cv::Size(cv::saturate_cast<int>(width * rate), cv::saturate_cast<int>(height * rate));
    Bayer8.create(height, width, CV_8U);
    Full.create(height, width, CV_8UC3);
    View = div == 1 ? Full : cv::Mat(ViewSize, CV_8UC3);
    RowCache.assign(static_cast<size_t>(kStripes) * kRowSlots * width, 0);
    RowTag.assign(kStripes * kRowSlots, -1);
    Direct = !Tiny && (div == 4 || (div == 2 && width % 2 == 0 && height % 2 == 0));
    Path = view_path();
    return 0;
}

const char *display_path() { return view_path().name; }

void display_force_plain(int plain) { ForcePlain = plain != 0; }

int display_full(const void *frame, cv::Mat &full)
{
    cv::Mat bayer = frame_mat(frame);
    if (Depth == CV_16U) {
        bayer.convertTo(Bayer8, CV_8U, kDisplayScale, 0.0);
        bayer = Bayer8;
    }
    cv::cvtColor(bayer, Full, Demosaic);
    full = Full;
    return 0;
}

int display_view(const void *frame, cv::Mat &view)
{
    return display_view_beside(frame, view, nullptr, nullptr);
}

int display_view_beside(const void *frame, cv::Mat &view, void (*beside)(void *), void *context)
{
    if (!Direct) {
        if (beside)
            beside(context);
        if (Div == 1)
            return display_full(frame, view);
        display_full(frame, view);
        const double rate = 1.0f / Div;
        cv::resize(Full, View, cv::Size(), rate, rate, cv::INTER_LINEAR);
        view = View;
        return 0;
    }
    // The view reads a quarter (by 2) or a sixteenth (by 4) of the demosaiced pixels, in bands
    // over OpenCV's threads; the job beside is one more task of the same loop, taken first, so
    // the threads share out the bands while one of them runs it.
    const int first = beside ? -1 : 0;
    cv::parallel_for_(
        cv::Range(first, kStripes),
        [frame, beside, context](const cv::Range &tasks) {
            for (int task = tasks.start; task < tasks.end; ++task)
                task < 0 ? beside(context) : reduce_band(frame, task);
        },
        kStripes - first);
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
    cv::cvtColor(bayer, rgb, Demosaic);
    picture = Full(region);
    return 0;
}
