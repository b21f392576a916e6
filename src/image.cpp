// Image operations: per-sample arithmetic, thresholds and statistics over whole 16-bit frames.
#include "image.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

[[gnu::used]] static const char __PROGRAM_VERSION__[] =
    "@(#)image Ver. 1.0000 (2026/12/08 17:15:00)";

namespace {

constexpr unsigned short kMarked = 0xFFFF; // a binarised sample above the threshold

// Samples of a frame; a frame with no columns or no rows has none.
std::size_t samples(int width, int height)
{
    return width > 0 && height > 0 ? static_cast<std::size_t>(width) * height : 0;
}

// dst := op(src1 sample, src2 sample) for every sample in raster order.
template <typename Op>
void for_each_of_two(unsigned short *dst, const unsigned short *src1, const unsigned short *src2,
                     int width, int height, Op op)
{
    const std::size_t n = samples(width, height);
    for (std::size_t k = 0; k < n; ++k) {
        dst[k] = op(src1[k], src2[k]);
    }
}

// dst := op(dst sample, src sample) for every sample in raster order.
template <typename Op>
void for_each_pair(unsigned short *dst, const unsigned short *src, int width, int height, Op op)
{
    for_each_of_two(dst, dst, src, width, height, op);
}

// Samples looked at together for one above the threshold: a marked frame is mostly empty.
constexpr int kScanBlock = 16;

bool any_above(const unsigned short *samples, unsigned short threshold)
{
    bool above = false;
    for (int k = 0; k < kScanBlock; ++k)
        above |= samples[k] > threshold;
    return above;
}

// Calls visit(i, j) for every sample above the threshold, in raster order; with rows given, only
// in the rows j whose rows[j] is not 0.
template <typename Visit>
void for_each_above(const unsigned short *frame, unsigned short threshold, int width, int height,
                    const int *rows, Visit visit)
{
    for (int j = 0; j < height; ++j) {
        if (rows && rows[j] == 0)
            continue;
        const unsigned short *row = frame + static_cast<std::size_t>(j) * width;
        for (int block = 0; block < width; block += kScanBlock) {
            const int end = std::min(width, block + kScanBlock);
            if (end - block == kScanBlock && !any_above(row + block, threshold))
                continue;
            for (int i = block; i < end; ++i) {
                if (row[i] > threshold) {
                    visit(i, j);
                }
            }
        }
    }
}

// SDeviImage's sums, in its order, over the rows for_each_above is given.
void spread(const unsigned short *dst, unsigned short threshold, int width, int height,
            const int *rows, double *ax, double *ay, double *sx, double *sy)
{
    // 64-bit sums: a 4000 x 3000 frame all above the threshold sums columns to about 2.4e10.
    std::int64_t count = 0;
    std::int64_t sumx = 0;
    std::int64_t sumy = 0;
    for_each_above(dst, threshold, width, height, rows, [&](int i, int j) {
        ++count;
        sumx += i;
        sumy += j;
    });
    *ax = static_cast<double>(sumx) / static_cast<double>(count);
    *ay = static_cast<double>(sumy) / static_cast<double>(count);

    const double meanx = *ax;
    const double meany = *ay;
    double qsumx = 0.0;
    double qsumy = 0.0;
    for_each_above(dst, threshold, width, height, rows, [&](int i, int j) {
        qsumx += (i - meanx) * (i - meanx);
        qsumy += (j - meany) * (j - meany);
    });
    *sx = std::sqrt(qsumx / static_cast<double>(count));
    *sy = std::sqrt(qsumy / static_cast<double>(count));
}

// The count as a fraction of the frame, the product formed as int: 0 / 0 (NaN) for an empty frame.
float fraction(std::int64_t count, int width, int height)
{
    const int total = width * height;
    return static_cast<float>(count) / static_cast<float>(total);
}

bool is_isolated(const unsigned short *p, int width, unsigned short threshold)
{
    return p[0] > threshold && p[-1] < threshold && p[1] < threshold && p[-width] < threshold &&
           p[width] < threshold;
}

} // namespace

void InitImage(unsigned short *dst, int width, int height, unsigned short val)
{
    const std::size_t n = samples(width, height);
    for (std::size_t k = 0; k < n; ++k) {
        dst[k] = val;
    }
}

void SLImage(unsigned short *dst, const unsigned short *src, int width, int height, int)
{
    for_each_pair(dst, src, width, height,
                  [](unsigned short d, unsigned short s) { return d < s ? s : d; });
}

void DifImage(unsigned short *dst, const unsigned short *src1, const unsigned short *src2,
              int width, int height, int num)
{
    // One loop per mode, so each stays free of branches per sample.
    if (num == 0) {
        for_each_of_two(dst, src1, src2, width, height, [](unsigned short a, unsigned short b) {
            return static_cast<unsigned short>(a > b ? a - b : 0);
        });
    } else {
        for_each_of_two(dst, src1, src2, width, height, [](unsigned short a, unsigned short b) {
            return static_cast<unsigned short>(a > b ? a - b : b - a);
        });
    }
}

void NRImage(unsigned short *dst, unsigned short threshold, int width, int height)
{
    // In place on purpose: a removed point counts as dark for the samples after it.
    for (int j = 1; j < height - 1; ++j) {
        unsigned short *row = dst + static_cast<std::size_t>(j) * width;
        for (int i = 1; i < width - 1; ++i) {
            if (is_isolated(row + i, width, threshold)) {
                row[i] = row[i - 1];
            }
        }
    }
}

float BinzImage(unsigned short *dst, unsigned short threshold, int width, int height)
{
    std::int64_t count = 0;
    const std::size_t n = samples(width, height);
    for (std::size_t k = 0; k < n; ++k) {
        const bool above = dst[k] > threshold;
        dst[k] = above ? kMarked : 0;
        count += above;
    }
    return fraction(count, width, height);
}

float CountImage(const unsigned short *dst, unsigned short threshold, int width, int height)
{
    std::int64_t count = 0;
    const std::size_t n = samples(width, height);
    for (std::size_t k = 0; k < n; ++k) {
        count += dst[k] > threshold;
    }
    return fraction(count, width, height);
}

void SDeviImage(const unsigned short *dst, unsigned short threshold, int width, int height,
                double *ax, double *ay, double *sx, double *sy)
{
    spread(dst, threshold, width, height, nullptr, ax, ay, sx, sy);
}

void SDeviRows(const unsigned short *dst, const int *rows, unsigned short threshold, int width,
               int height, double *ax, double *ay, double *sx, double *sy)
{
    spread(dst, threshold, width, height, rows, ax, ay, sx, sy);
}

void SDImage(unsigned short *dst, const unsigned short *src, int width, int height, int)
{
    for_each_pair(dst, src, width, height,
                  [](unsigned short d, unsigned short s) { return s < d ? s : d; });
}

void AvrImage(unsigned short *dst, const unsigned short *src, int width, int height, int num)
{
    for_each_pair(dst, src, width, height, [num](unsigned short d, unsigned short s) {
        return static_cast<unsigned short>((num * d + s) / (num + 1));
    });
}

void WBImageRG(unsigned short *src, int width, int height)
{
    for (int j = 0; j < height; ++j) {
        unsigned short *row = src + static_cast<std::size_t>(j) * width;
        for (int i = 0; i < width; ++i) {
            const bool blue = (i & 1) && (j & 1);
            if (!blue) {
                row[i] >>= 1;
            }
        }
    }
}

void SubImage(unsigned short *dst, const unsigned short *src, int width, int height, int)
{
    for_each_pair(dst, src, width, height, [](unsigned short d, unsigned short s) {
        return static_cast<unsigned short>(d > s ? d - s : 0);
    });
}

void AbsImage(unsigned short *dst, const unsigned short *src, int width, int height, int)
{
    for_each_pair(dst, src, width, height, [](unsigned short d, unsigned short s) {
        return static_cast<unsigned short>(d >= s ? d - s : s - d);
    });
}

void CopyImage(unsigned short *dst, const unsigned short *src, int width, int height, int)
{
    for_each_pair(dst, src, width, height, [](unsigned short, unsigned short s) { return s; });
}

void MaxMinImage(const unsigned short *dst, unsigned short threshold, int width, int height,
                 int *minx, int *miny, int *maxx, int *maxy)
{
    *minx = width;
    *miny = height;
    *maxx = 0;
    *maxy = 0;
    for_each_above(dst, threshold, width, height, nullptr, [&](int i, int j) {
        if (i < *minx) {
            *minx = i;
        }
        if (j < *miny) {
            *miny = j;
        }
        if (i > *maxx) {
            *maxx = i;
        }
        if (j > *maxy) {
            *maxy = j;
        }
    });
}
