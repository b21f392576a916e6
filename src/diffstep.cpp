// The difference step of a difference recording in one pass over the two frames.
#include "diffstep.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

[[gnu::used]] static const char __PROGRAM_VERSION__[] =
    "@(#)diffstep Ver. 1.0000 (2026/12/09 06:30:00)";

namespace {

constexpr unsigned short kMarked = 0xFFFF;
// Rows are shared over at most this many stripes, each at least kMinStripeRows rows long.
constexpr int kMaxStripes = 16;
constexpr int kMinStripeRows = 64;
// A reduced sample from the four marked samples (0 or 65535) it reads, a sample read twice at
// a border counted twice: the 2 x 2 mean as cv::resize rounds it, the same for its 1/2 (area)
// and 1/4 (bilinear) reductions. With k of the four marked that is 0, 16384, 32768, 49151 or
// 65535: k x 16384, less 1 from k = 3 on, in 16-bit arithmetic (k = 4 wraps to 0 first).
inline unsigned short reduced_of(unsigned short a, unsigned short b, unsigned short c,
                                 unsigned short d)
{
    const unsigned short k = static_cast<unsigned short>((a & 1) + (b & 1) + (c & 1) + (d & 1));
    return static_cast<unsigned short>((k << 14) - (k > 2));
}

// Three rows of differences per stripe, kept from frame to frame (grown, never shrunk).
std::vector<unsigned short> Scratch;

// One call's frames and settings, read by all its stripes; rwidth x rheight is the reduced size.
struct Step {
    unsigned short *diff;
    const void *cur;
    const void *prev;
    const unsigned char *mask;
    int width;
    int height;
    unsigned short threshold;
    unsigned short *reduced;
    int div;
    int *row_marks;
    int rwidth;
    int rheight;
};

template <typename Sample> void difference_row(unsigned short *dst, const Step &s, int j)
{
    const std::size_t at = static_cast<std::size_t>(j) * s.width;
    const Sample *a = static_cast<const Sample *>(s.cur) + at;
    const Sample *b = static_cast<const Sample *>(s.prev) + at;
    for (int i = 0; i < s.width; ++i)
        dst[i] = static_cast<unsigned short>(a[i] > b[i] ? a[i] - b[i] : 0);
}

// Sample i of a marked row: marked when it brightened and is not masked; 1 when marked.
template <bool Masked>
inline unsigned keep(unsigned short *out, const unsigned char *mask, int i, bool brightened)
{
    const bool on = brightened & (!Masked || mask[i] == 0);
    out[i] = on ? kMarked : 0;
    return on;
}

// Row j of the marked frame from the differences of rows j - 1, j and j + 1 (up and down are
// not read on the first and the last row); returns its marked samples.
template <bool Masked>
int mark_row(unsigned short *out, const unsigned short *up, const unsigned short *mid,
             const unsigned short *down, const unsigned char *mask, int w, unsigned short thr,
             bool interior)
{
    unsigned count = 0;
    if (interior && w > 2) {
        // Interior columns: an isolated point (all four neighbours below) is removed.
        for (int i = 1; i < w - 1; ++i) {
            const bool isolated =
                (mid[i - 1] < thr) & (mid[i + 1] < thr) & (up[i] < thr) & (down[i] < thr);
            count += keep<Masked>(out, mask, i, (mid[i] > thr) & !isolated);
        }
        count += keep<Masked>(out, mask, 0, mid[0] > thr);
        count += keep<Masked>(out, mask, w - 1, mid[w - 1] > thr);
    } else {
        for (int i = 0; i < w; ++i)
            count += keep<Masked>(out, mask, i, mid[i] > thr);
    }
    return static_cast<int>(count);
}

int mark_row(unsigned short *out, const unsigned short *up, const unsigned short *mid,
             const unsigned short *down, const Step &s, int j)
{
    const bool interior = j > 0 && j < s.height - 1;
    if (!s.mask)
        return mark_row<false>(out, up, mid, down, nullptr, s.width, s.threshold, interior);
    const unsigned char *m = s.mask + static_cast<std::size_t>(j) * s.width;
    return mark_row<true>(out, up, mid, down, m, s.width, s.threshold, interior);
}

// Reduced row dy from the marked rows it reads, all of them already made.
void reduce_row(const Step &s, int dy)
{
    const int last_row = s.height - 1;
    const int last_col = s.width - 1;
    // 1/2 averages the 2 x 2 block at (2 dx, 2 dy); 1/4 interpolates half-way between the
    // samples 4 d + 1 and 4 d + 2. Both clamp at the far border.
    const int offset = s.div == 2 ? 0 : 1;
    const int r0 = std::min(s.div * dy + offset, last_row);
    const int r1 = std::min(s.div * dy + offset + 1, last_row);
    const unsigned short *a = s.diff + static_cast<std::size_t>(r0) * s.width;
    const unsigned short *b = s.diff + static_cast<std::size_t>(r1) * s.width;
    unsigned short *out = s.reduced + static_cast<std::size_t>(dy) * s.rwidth;
    // Columns whose samples are all inside the frame, then those that clamp.
    const int inside =
        s.width >= offset + 2 ? std::min(s.rwidth, (s.width - offset - 2) / s.div + 1) : 0;
    for (int dx = 0; dx < inside; ++dx) {
        const int c0 = s.div * dx + offset;
        out[dx] = reduced_of(a[c0], a[c0 + 1], b[c0], b[c0 + 1]);
    }
    for (int dx = inside; dx < s.rwidth; ++dx) {
        const int c0 = std::min(s.div * dx + offset, last_col);
        const int c1 = std::min(s.div * dx + offset + 1, last_col);
        out[dx] = reduced_of(a[c0], a[c1], b[c0], b[c1]);
    }
}

// Rows [j0, j1) of the marked frame, and the reduced rows whose first row lies in them (j0 and
// j1 are multiples of div, or j1 the height, so those reduced rows read only these rows).
template <typename Sample> int run_rows(const Step &s, unsigned short *ring, int j0, int j1)
{
    const int w = s.width;
    unsigned short *up = ring;
    unsigned short *mid = ring + w;
    unsigned short *down = ring + 2 * static_cast<std::size_t>(w);
    if (j0 > 0)
        difference_row<Sample>(up, s, j0 - 1);
    difference_row<Sample>(mid, s, j0);
    if (j0 + 1 < s.height)
        difference_row<Sample>(down, s, j0 + 1);
    int count = 0;
    for (int j = j0; j < j1; ++j) {
        const int marks = mark_row(s.diff + static_cast<std::size_t>(j) * w, up, mid, down, s, j);
        if (s.row_marks)
            s.row_marks[j] = marks;
        count += marks;
        const bool group_done = (j + 1) % s.div == 0 || j == s.height - 1;
        if (s.reduced && group_done && j / s.div < s.rheight)
            reduce_row(s, j / s.div);
        unsigned short *spare = up;
        up = mid;
        mid = down;
        down = spare;
        if (j + 2 < s.height)
            difference_row<Sample>(down, s, j + 2);
    }
    return count;
}

template <typename Sample> class StripeBody : public cv::ParallelLoopBody {
public:
    StripeBody(const Step &step, int stripes, int *counts)
        : s(step), stripes(stripes), counts(counts)
    {
    }

    void operator()(const cv::Range &range) const override
    {
        const int groups = (s.height + s.div - 1) / s.div;
        for (int k = range.start; k < range.end; ++k) {
            const int j0 = groups * k / stripes * s.div;
            const int j1 = std::min(groups * (k + 1) / stripes * s.div, s.height);
            unsigned short *ring = Scratch.data() + static_cast<std::size_t>(k) * 3 * s.width;
            counts[k] = j0 < j1 ? run_rows<Sample>(s, ring, j0, j1) : 0;
        }
    }

private:
    const Step &s;
    int stripes;
    int *counts;
};

template <typename Sample>
int diff_step(unsigned short *diff, const Sample *cur, const Sample *prev,
              const unsigned char *mask, int width, int height, unsigned short threshold,
              unsigned short *reduced, int div, int *row_marks)
{
    if (width <= 0 || height <= 0)
        return 0;
    const bool reducing = reduced && (div == 2 || div == 4);
    Step s{diff,
           cur,
           prev,
           mask,
           width,
           height,
           threshold,
           reducing ? reduced : nullptr,
           reducing ? div : 1,
           row_marks,
           0,
           0};
    if (reducing)
        DiffReducedSize(width, height, div, &s.rwidth, &s.rheight);
    const int groups = (height + s.div - 1) / s.div;
    const int stripes =
        std::clamp(std::min(cv::getNumThreads(), groups * s.div / kMinStripeRows), 1, kMaxStripes);
    const std::size_t need = static_cast<std::size_t>(stripes) * 3 * width;
    if (Scratch.size() < need)
        Scratch.resize(need);
    int counts[kMaxStripes] = {};
    StripeBody<Sample> body(s, stripes, counts);
    if (stripes == 1)
        body(cv::Range(0, 1));
    else
        cv::parallel_for_(cv::Range(0, stripes), body, stripes);
    int count = 0;
    for (int k = 0; k < stripes; ++k)
        count += counts[k];
    return count;
}

} // namespace

void DiffReducedSize(int width, int height, int div, int *rwidth, int *rheight)
{
    const double scale = 1.0 / div;
    *rwidth = static_cast<int>(std::lrint(width * scale));
    *rheight = static_cast<int>(std::lrint(height * scale));
}

int DiffStep16(unsigned short *diff, const unsigned short *cur, const unsigned short *prev,
               const unsigned char *mask, int width, int height, unsigned short threshold,
               unsigned short *reduced, int div, int *row_marks)
{
    return diff_step(diff, cur, prev, mask, width, height, threshold, reduced, div, row_marks);
}

int DiffStep8(unsigned short *diff, const unsigned char *cur, const unsigned char *prev,
              const unsigned char *mask, int width, int height, unsigned short threshold,
              unsigned short *reduced, int div, int *row_marks)
{
    return diff_step(diff, cur, prev, mask, width, height, threshold, reduced, div, row_marks);
}
