// Tests of the image operations: their edge cases, and each against a plain reference.
#include "image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

using Frame = std::vector<unsigned short>;

constexpr unsigned short kThr = 100;
constexpr unsigned short kAbove = kThr + 1;
constexpr unsigned short kDark = kThr - 1;

// A frame of one value with the given samples set: {i, j, value}.
struct Point {
    int i, j;
    unsigned short value;
};
Frame frame_of(int width, int height, unsigned short fill, const std::vector<Point> &points = {})
{
    Frame f(static_cast<std::size_t>(width) * height, fill);
    for (const Point &p : points) {
        f[static_cast<std::size_t>(p.j) * width + p.i] = p.value;
    }
    return f;
}

// ---- Edge cases ----

TEST(ImageThreshold, EqualToThresholdIsNotAbove)
{
    Frame f = frame_of(3, 3, kThr);
    f[4] = kAbove;
    EXPECT_FLOAT_EQ(1.0f / 9, CountImage(f.data(), kThr, 3, 3));
    Frame nr = frame_of(3, 3, kThr, {{1, 1, 500}});
    NRImage(nr.data(), kThr, 3, 3); // neighbours at the threshold are not below it
    EXPECT_EQ(500, nr[4]);
    double ax, ay, sx, sy;
    SDeviImage(f.data(), kThr, 3, 3, &ax, &ay, &sx, &sy);
    EXPECT_EQ(1.0, ax);
    EXPECT_EQ(1.0, ay);
    EXPECT_FLOAT_EQ(1.0f / 9, BinzImage(f.data(), kThr, 3, 3));
    EXPECT_EQ(frame_of(3, 3, 0, {{1, 1, 65535}}), f);
}

TEST(NRImage, LoneBrightPointTakesItsLeftNeighbour)
{
    Frame f = frame_of(5, 5, 10, {{2, 2, 900}, {1, 2, 42}});
    NRImage(f.data(), kThr, 5, 5);
    EXPECT_EQ(frame_of(5, 5, 10, {{2, 2, 42}, {1, 2, 42}}), f);
}

TEST(NRImage, OneNeighbourAtTheThresholdKeepsThePoint)
{
    for (Point neighbour : {Point{1, 2, kThr}, {3, 2, kThr}, {2, 1, kThr}, {2, 3, kThr}}) {
        Frame f = frame_of(5, 5, 10, {{2, 2, 900}, neighbour});
        const Frame before = f;
        NRImage(f.data(), kThr, 5, 5);
        EXPECT_EQ(before, f) << "neighbour at " << neighbour.i << "," << neighbour.j;
    }
}

TEST(NRImage, AdjacentBrightPointsKeepEachOther)
{
    for (Point second : {Point{3, 2, 900}, {2, 3, 900}}) {
        Frame f = frame_of(5, 5, 10, {{2, 2, 900}, second});
        const Frame before = f;
        NRImage(f.data(), kThr, 5, 5);
        EXPECT_EQ(before, f);
    }
}

TEST(NRImage, DiagonalNeighboursAreNotLookedAt)
{
    Frame f = frame_of(5, 5, 10, {{2, 2, 900}, {3, 3, 900}});
    NRImage(f.data(), kThr, 5, 5);
    EXPECT_EQ(frame_of(5, 5, 10), f);
}

TEST(NRImage, BorderAndSmallFramesUntouched)
{
    Frame f = frame_of(5, 4, 10, {{0, 0, 900}, {4, 1, 900}, {2, 3, 900}, {0, 2, 900}});
    const Frame before = f;
    NRImage(f.data(), kThr, 5, 4);
    EXPECT_EQ(before, f);
    for (auto [w, h] : {std::pair{2, 5}, {5, 2}, {1, 1}, {0, 0}}) {
        Frame small = frame_of(w, h, 900);
        const Frame same = small;
        NRImage(small.data(), kThr, w, h);
        EXPECT_EQ(same, small);
    }
}

TEST(DifImage, EqualFramesGiveZeroInBothModes)
{
    Frame a = frame_of(4, 3, 777);
    for (int mode : {0, 1, -3}) {
        Frame d = frame_of(4, 3, 1);
        DifImage(d.data(), a.data(), a.data(), 4, 3, mode);
        EXPECT_EQ(frame_of(4, 3, 0), d);
    }
}

TEST(DifImage, DarkerGivesZeroInModeZeroAndTheMagnitudeOtherwise)
{
    Frame a = {10, 500, 0};
    Frame b = {300, 200, 65535};
    Frame d(3);
    DifImage(d.data(), a.data(), b.data(), 3, 1, 0);
    EXPECT_EQ((Frame{0, 300, 0}), d);
    DifImage(d.data(), a.data(), b.data(), 3, 1, 2);
    EXPECT_EQ((Frame{290, 300, 65535}), d);
}

TEST(BinzImage, CountImageAgreesAndFindsNothingAboveFullScale)
{
    Frame f = {0, 50, 99, 100, 101, 4095, 65535, 7};
    const float binz = BinzImage(f.data(), kThr, 4, 2);
    EXPECT_FLOAT_EQ(3.0f / 8, binz);
    EXPECT_EQ((Frame{0, 0, 0, 0, 65535, 65535, 65535, 0}), f);
    EXPECT_EQ(binz, CountImage(f.data(), kThr, 4, 2));
    EXPECT_EQ(0.0f, CountImage(f.data(), 65535, 4, 2));
}

TEST(BinzImage, EmptyFrameGivesNaNAndTouchesNothing)
{
    unsigned short guard = 4242;
    for (auto [w, h] : {std::pair{0, 0}, {0, 5}, {5, 0}}) {
        EXPECT_TRUE(std::isnan(BinzImage(&guard, 0, w, h)));
        EXPECT_TRUE(std::isnan(CountImage(&guard, 0, w, h)));
        EXPECT_EQ(4242, guard);
    }
}

TEST(SDeviImage, NothingAboveGivesNaN)
{
    Frame f = frame_of(4, 4, kThr);
    double out[4] = {1, 1, 1, 1};
    SDeviImage(f.data(), kThr, 4, 4, &out[0], &out[1], &out[2], &out[3]);
    for (double v : out) {
        EXPECT_TRUE(std::isnan(v));
    }
}

TEST(SDeviImage, SinglePointAndTwoPointsInARow)
{
    double ax, ay, sx, sy;
    Frame one = frame_of(7, 5, 0, {{5, 3, 900}});
    SDeviImage(one.data(), kThr, 7, 5, &ax, &ay, &sx, &sy);
    EXPECT_EQ(5.0, ax);
    EXPECT_EQ(3.0, ay);
    EXPECT_EQ(0.0, sx);
    EXPECT_EQ(0.0, sy);

    Frame two = frame_of(7, 5, 0, {{0, 2, 900}, {2, 2, 900}});
    SDeviImage(two.data(), kThr, 7, 5, &ax, &ay, &sx, &sy);
    EXPECT_EQ(1.0, ax);
    EXPECT_EQ(2.0, ay);
    EXPECT_EQ(1.0, sx); // population deviation, not sqrt(2)
    EXPECT_EQ(0.0, sy);
}

// The spread and the bounding box of sparse points on rows of every length around the scan's
// blocks of 16, points at block edges and in the last, short block included, equal the sums and
// extremes taken sample by sample in raster order, to the last bit.
TEST(SDeviImage, SparsePointsOnAnyRowLengthGiveTheRasterOrderResult)
{
    std::mt19937 rng(17);
    for (int w : {15, 16, 17, 31, 32, 33, 47, 100, 257}) {
        const int h = 9;
        for (int points : {1, 2, 5, 40}) {
            Frame f(static_cast<std::size_t>(w) * h, kDark);
            for (int p = 0; p < points; ++p) {
                const int i = p % 3 == 0   ? (p * 16 + 15) % w
                              : p % 3 == 1 ? w - 1
                                           : static_cast<int>(rng() % w);
                f[static_cast<std::size_t>(rng() % h) * w + i] = p % 2 ? kAbove : 65535;
            }
            long long n = 0, sum_i = 0, sum_j = 0;
            int minx = w, miny = h, maxx = 0, maxy = 0;
            for (int j = 0; j < h; ++j)
                for (int i = 0; i < w; ++i)
                    if (f[static_cast<std::size_t>(j) * w + i] > kThr) {
                        ++n, sum_i += i, sum_j += j;
                        minx = std::min(minx, i), maxx = std::max(maxx, i);
                        miny = std::min(miny, j), maxy = std::max(maxy, j);
                    }
            const double mean_i = static_cast<double>(sum_i) / n;
            const double mean_j = static_cast<double>(sum_j) / n;
            double q_i = 0.0, q_j = 0.0;
            for (int j = 0; j < h; ++j)
                for (int i = 0; i < w; ++i)
                    if (f[static_cast<std::size_t>(j) * w + i] > kThr) {
                        q_i += (i - mean_i) * (i - mean_i);
                        q_j += (j - mean_j) * (j - mean_j);
                    }
            double ax, ay, sx, sy;
            SDeviImage(f.data(), kThr, w, h, &ax, &ay, &sx, &sy);
            EXPECT_EQ(ax, mean_i) << w << " wide, " << points << " points";
            EXPECT_EQ(ay, mean_j) << w << " wide, " << points << " points";
            EXPECT_EQ(sx, std::sqrt(q_i / n)) << w << " wide, " << points << " points";
            EXPECT_EQ(sy, std::sqrt(q_j / n)) << w << " wide, " << points << " points";
            // The same sums over the rows that hold points only, as the difference step runs it.
            std::vector<int> rows(h, 0);
            for (int j = 0; j < h; ++j)
                for (int i = 0; i < w; ++i)
                    rows[j] += f[static_cast<std::size_t>(j) * w + i] > kThr;
            double rx, ry, rsx, rsy;
            SDeviRows(f.data(), rows.data(), kThr, w, h, &rx, &ry, &rsx, &rsy);
            EXPECT_EQ((std::vector<double>{rx, ry, rsx, rsy}),
                      (std::vector<double>{ax, ay, sx, sy}))
                << w << " wide, " << points << " points, by rows";
            int box[4];
            MaxMinImage(f.data(), kThr, w, h, &box[0], &box[1], &box[2], &box[3]);
            EXPECT_EQ((std::vector<int>{box, box + 4}), (std::vector<int>{minx, miny, maxx, maxy}))
                << w << " wide, " << points << " points";
        }
    }
}

// Rows given as holding nothing are not read: the spread is the frame's without them.
TEST(SDeviImage, RowsGivenAsEmptyAreNotRead)
{
    Frame f = frame_of(5, 4, kDark);
    f[0 * 5 + 1] = kAbove;
    f[2 * 5 + 3] = kAbove;
    f[3 * 5 + 4] = kAbove;
    const int rows[4] = {1, 0, 0, 1};
    double ax, ay, sx, sy;
    SDeviRows(f.data(), rows, kThr, 5, 4, &ax, &ay, &sx, &sy);
    EXPECT_EQ(ax, 2.5);
    EXPECT_EQ(ay, 1.5);
    EXPECT_EQ(sx, 1.5);
    EXPECT_EQ(sy, 1.5);
}

TEST(SDeviImage, FullTwelveMegapixelFrameDoesNotOverflow)
{
    constexpr int w = 4000, h = 3000;
    Frame f(static_cast<std::size_t>(w) * h, 1000);
    double ax, ay, sx, sy;
    SDeviImage(f.data(), kThr, w, h, &ax, &ay, &sx, &sy);
    EXPECT_DOUBLE_EQ((w - 1) / 2.0, ax);
    EXPECT_DOUBLE_EQ((h - 1) / 2.0, ay);
    // Population deviation of 0 ... n-1: sqrt((n^2 - 1) / 12).
    EXPECT_NEAR(std::sqrt((double(w) * w - 1) / 12), sx, 1e-6);
    EXPECT_NEAR(std::sqrt((double(h) * h - 1) / 12), sy, 1e-6);
}

TEST(MaxMinImage, NothingAboveKeepsTheStartValues)
{
    Frame f = frame_of(6, 4, kThr);
    int box[4] = {-1, -1, -1, -1};
    MaxMinImage(f.data(), kThr, 6, 4, &box[0], &box[1], &box[2], &box[3]);
    EXPECT_EQ(6, box[0]);
    EXPECT_EQ(4, box[1]);
    EXPECT_EQ(0, box[2]);
    EXPECT_EQ(0, box[3]);
}

TEST(MaxMinImage, BoxOfThePointsAbove)
{
    Frame f = frame_of(6, 4, 0, {{4, 1, kAbove}, {2, 3, kAbove}, {3, 2, kThr}});
    int minx, miny, maxx, maxy;
    MaxMinImage(f.data(), kThr, 6, 4, &minx, &miny, &maxx, &maxy);
    EXPECT_EQ(2, minx);
    EXPECT_EQ(1, miny);
    EXPECT_EQ(4, maxx);
    EXPECT_EQ(3, maxy);
}

TEST(AvrImage, FirstFrameIsCopiedAndTheMeanTruncates)
{
    Frame d = {9, 3, 65535};
    Frame s = {4, 4, 65535};
    AvrImage(d.data(), s.data(), 3, 1, 0);
    EXPECT_EQ(s, d);
    d = {3, 65535, 0};
    AvrImage(d.data(), s.data(), 3, 1, 1);
    EXPECT_EQ((Frame{3, 32769, 32767}), d);
}

TEST(WBImageRG, HalvesRedAndGreensKeepsBlue)
{
    Frame f = frame_of(2, 2, 100);
    WBImageRG(f.data(), 2, 2);
    EXPECT_EQ((Frame{50, 50, 50, 100}), f);
}

TEST(SubImage, LargerSourceGivesZeroNotAWrap)
{
    Frame d = {5, 10, 65535, 0};
    Frame s = {6, 3, 1, 65535};
    SubImage(d.data(), s.data(), 4, 1, 0);
    EXPECT_EQ((Frame{0, 7, 65534, 0}), d);
}

TEST(InitImage, FillsExactlyTheFrame)
{
    Frame f(3 * 2 + 1, 1);
    InitImage(f.data(), 3, 2, 0);
    EXPECT_EQ((Frame{0, 0, 0, 0, 0, 0, 1}), f);
}

// ---- Each function against a plain reference, on awkward sizes ----

struct Size {
    int width, height;
};
void PrintTo(const Size &size, std::ostream *os) { *os << size.width << "x" << size.height; }

class ImageReference : public testing::TestWithParam<Size> {
protected:
    void SetUp() override
    {
        w = GetParam().width;
        h = GetParam().height;
        rng.seed(static_cast<unsigned>(w * 1000 + h));
        a = random_frame();
        b = random_frame();
    }

    // Values cluster around the threshold so every comparison goes both ways; extremes too.
    Frame random_frame()
    {
        std::uniform_int_distribution<int> pick(0, 9);
        std::uniform_int_distribution<int> near(kThr - 3, kThr + 3);
        std::uniform_int_distribution<int> any(0, 65535);
        Frame f(n() + kGuard, kGuardValue);
        for (std::size_t k = 0; k < n(); ++k) {
            const int p = pick(rng);
            f[k] = p == 0 ? 0 : p == 1 ? 65535 : p < 6 ? near(rng) : any(rng);
        }
        return f;
    }

    std::size_t n() const { return static_cast<std::size_t>(w) * h; }
    unsigned short &at(Frame &f, int i, int j) const
    {
        return f[static_cast<std::size_t>(j) * w + i];
    }

    // The samples past the frame were not touched.
    void expect_guard_intact(const Frame &f) const
    {
        for (std::size_t k = n(); k < f.size(); ++k) {
            EXPECT_EQ(kGuardValue, f[k]) << "written past the frame at " << k;
        }
    }

    // Runs a per-sample operation and the same rule written out per (i, j).
    template <typename Op, typename Rule> void check_pairwise(Op op, Rule rule)
    {
        Frame got = a;
        op(got.data(), b.data());
        Frame want = a;
        for (int j = 0; j < h; ++j) {
            for (int i = 0; i < w; ++i) {
                at(want, i, j) = rule(at(a, i, j), at(b, i, j));
            }
        }
        EXPECT_EQ(want, got);
        expect_guard_intact(got);
    }

    static constexpr std::size_t kGuard = 8;
    static constexpr unsigned short kGuardValue = 0xBEEF;
    int w = 0, h = 0;
    std::mt19937 rng;
    Frame a, b;
};

using US = unsigned short;

TEST_P(ImageReference, PerSampleOperations)
{
    check_pairwise([&](US *d, const US *s) { SLImage(d, s, w, h, 0); },
                   [](int d, int s) { return std::max(d, s); });
    check_pairwise([&](US *d, const US *s) { SDImage(d, s, w, h, 0); },
                   [](int d, int s) { return std::min(d, s); });
    check_pairwise([&](US *d, const US *s) { SubImage(d, s, w, h, 0); },
                   [](int d, int s) { return std::max(d - s, 0); });
    check_pairwise([&](US *d, const US *s) { AbsImage(d, s, w, h, 0); },
                   [](int d, int s) { return std::abs(d - s); });
    check_pairwise([&](US *d, const US *s) { CopyImage(d, s, w, h, 0); },
                   [](int, int s) { return s; });
    for (int num : {0, 1, 7, 1000}) {
        check_pairwise([&](US *d, const US *s) { AvrImage(d, s, w, h, num); },
                       [&](int d, int s) { return (num * d + s) / (num + 1); });
    }
}

TEST_P(ImageReference, DifferenceInBothModes)
{
    for (int mode : {0, 1}) {
        Frame got(n() + kGuard, kGuardValue);
        DifImage(got.data(), a.data(), b.data(), w, h, mode);
        Frame want = got;
        for (int j = 0; j < h; ++j) {
            for (int i = 0; i < w; ++i) {
                const int diff = at(a, i, j) - at(b, i, j);
                at(want, i, j) = diff > 0 ? diff : mode == 0 ? 0 : -diff;
            }
        }
        EXPECT_EQ(want, got) << "mode " << mode;
    }
}

TEST_P(ImageReference, InitAndWhiteBalance)
{
    Frame init = a;
    InitImage(init.data(), w, h, 321);
    Frame wb = a;
    WBImageRG(wb.data(), w, h);
    Frame want_init = a, want_wb = a;
    for (int j = 0; j < h; ++j) {
        for (int i = 0; i < w; ++i) {
            at(want_init, i, j) = 321;
            if (i % 2 == 0 || j % 2 == 0) {
                at(want_wb, i, j) = at(a, i, j) / 2;
            }
        }
    }
    EXPECT_EQ(want_init, init);
    EXPECT_EQ(want_wb, wb);
}

TEST_P(ImageReference, IsolatedPointRemoval)
{
    Frame got = a;
    NRImage(got.data(), kThr, w, h);
    Frame want = a;
    for (int j = 1; j + 1 < h; ++j) {
        for (int i = 1; i + 1 < w; ++i) {
            const bool dark_around = at(want, i - 1, j) < kThr && at(want, i + 1, j) < kThr &&
                                     at(want, i, j - 1) < kThr && at(want, i, j + 1) < kThr;
            if (at(want, i, j) > kThr && dark_around) {
                at(want, i, j) = at(want, i - 1, j);
            }
        }
    }
    EXPECT_EQ(want, got);
    expect_guard_intact(got);
}

TEST_P(ImageReference, ThresholdStatistics)
{
    std::int64_t count = 0;
    double sumx = 0, sumy = 0;
    int minx = w, miny = h, maxx = 0, maxy = 0;
    Frame want_binz = a;
    for (int j = 0; j < h; ++j) {
        for (int i = 0; i < w; ++i) {
            const bool above = at(a, i, j) > kThr;
            at(want_binz, i, j) = above ? 65535 : 0;
            if (above) {
                ++count;
                sumx += i;
                sumy += j;
                minx = std::min(minx, i), miny = std::min(miny, j);
                maxx = std::max(maxx, i), maxy = std::max(maxy, j);
            }
        }
    }
    const float fraction = float(count) / float(w * h);

    EXPECT_EQ(fraction, CountImage(a.data(), kThr, w, h)) << "counted " << count;
    int box[4];
    MaxMinImage(a.data(), kThr, w, h, &box[0], &box[1], &box[2], &box[3]);
    EXPECT_EQ(minx, box[0]);
    EXPECT_EQ(miny, box[1]);
    EXPECT_EQ(maxx, box[2]);
    EXPECT_EQ(maxy, box[3]);

    if (count > 0) {
        const double mx = sumx / count, my = sumy / count;
        double qx = 0, qy = 0;
        for (int j = 0; j < h; ++j) {
            for (int i = 0; i < w; ++i) {
                if (at(a, i, j) > kThr) {
                    qx += (i - mx) * (i - mx);
                    qy += (j - my) * (j - my);
                }
            }
        }
        double ax, ay, sx, sy;
        SDeviImage(a.data(), kThr, w, h, &ax, &ay, &sx, &sy);
        EXPECT_DOUBLE_EQ(mx, ax);
        EXPECT_DOUBLE_EQ(my, ay);
        EXPECT_DOUBLE_EQ(std::sqrt(qx / count), sx);
        EXPECT_DOUBLE_EQ(std::sqrt(qy / count), sy);
    }

    Frame binz = a;
    EXPECT_EQ(fraction, BinzImage(binz.data(), kThr, w, h));
    EXPECT_EQ(want_binz, binz);
    expect_guard_intact(binz);
}

INSTANTIATE_TEST_SUITE_P(OddSizes, ImageReference,
                         testing::Values(Size{1, 1}, Size{1, 9}, Size{9, 1}, Size{2, 2}, Size{3, 3},
                                         Size{5, 4}, Size{17, 13}, Size{63, 31}, Size{101, 77}),
                         [](const testing::TestParamInfo<Size> &info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

} // namespace
