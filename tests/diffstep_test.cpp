// Tests of the one-pass difference step against the image unit's rules run one after another,
// and of the driver's difference recording against those rules: marks, counts, detections, the
// ImageDiff and ImageDiffStack pictures and the stack PNG.
#include "difference_recording.h"
#include "diffstep.h"
#include "image.h"
#include "test_support.h"
#include "tolvacapture.h"
#include "window_script.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using tolva::test::ScratchDir;
using tolva::test::ShownImage;
using tolva::test::WindowScript;
using tolva::test::WorkIn;

namespace {

using Samples = std::vector<unsigned short>;
using Bytes = std::vector<unsigned char>;

// The step's result as the image unit's rules give it, one full pass each.
struct Plain {
    Samples marks;
    int count = 0;
    cv::Mat picture; // the marks reduced by 1/div as the ImageDiff window shows them
};

Plain plain_step(const Samples &cur, const Samples &prev, const Bytes &mask, int w, int h,
                 unsigned short thr, int div)
{
    Plain p;
    p.marks.resize(cur.size());
    DifImage(p.marks.data(), cur.data(), prev.data(), w, h, 0);
    NRImage(p.marks.data(), thr, w, h);
    for (size_t n = 0; n < mask.size(); ++n)
        if (mask[n])
            p.marks[n] = 0;
    BinzImage(p.marks.data(), thr, w, h);
    p.count = static_cast<int>(std::count(p.marks.begin(), p.marks.end(), 0xFFFF));
    cv::resize(cv::Mat(h, w, CV_16U, p.marks.data()), p.picture, cv::Size(), 1.0 / div, 1.0 / div,
               cv::INTER_LINEAR);
    return p;
}

Samples widened(const Bytes &frame) { return Samples(frame.begin(), frame.end()); }

// A frame pair whose differences are drawn from a few values around the threshold (below,
// equal, just above, far above) with the given chance of not being 0: sparse pairs give
// isolated points, dense ones runs and clusters.
struct Pair {
    Samples cur;
    Samples prev;
};

Pair random_pair(std::mt19937 &rng, int w, int h, unsigned short thr, double density,
                 unsigned short top)
{
    std::bernoulli_distribution lit(density);
    std::uniform_int_distribution<int> pick(0, 5);
    std::uniform_int_distribution<int> sky(0, top / 4);
    Pair f{Samples(static_cast<size_t>(w) * h), Samples(static_cast<size_t>(w) * h)};
    const int steps[6] = {thr - 1, thr, thr + 1, thr + 1, 2 * thr + 3, -(thr + 2)};
    for (size_t n = 0; n < f.cur.size(); ++n) {
        int base = sky(rng) + thr + 2;
        int delta = lit(rng) ? steps[pick(rng)] : 0;
        f.prev[n] = static_cast<unsigned short>(base);
        f.cur[n] = static_cast<unsigned short>(std::clamp(base + delta, 0, int{top}));
    }
    return f;
}

Bytes random_mask(std::mt19937 &rng, int w, int h)
{
    std::bernoulli_distribution hidden(0.2);
    Bytes m(static_cast<size_t>(w) * h);
    for (auto &b : m)
        b = hidden(rng) ? static_cast<unsigned char>(1 + rng() % 255) : 0;
    return m;
}

void expect_same_picture(const cv::Mat &expected, const Samples &got, int div)
{
    if (div == 1)
        return; // the marks themselves are the picture
    int rw, rh;
    DiffReducedSize(expected.cols * div, expected.rows * div, div, &rw, &rh);
    ASSERT_EQ(expected.type(), CV_16U);
    cv::Mat mine(expected.rows, expected.cols, CV_16U, const_cast<unsigned short *>(got.data()));
    EXPECT_EQ(cv::norm(expected, mine, cv::NORM_INF), 0.0);
}

// Each row's entry counts the marks the rules put in that row.
void expect_row_marks(const Samples &marks, const std::vector<int> &rows, int w, int h)
{
    for (int j = 0; j < h; ++j) {
        auto row = marks.begin() + static_cast<std::ptrdiff_t>(j) * w;
        ASSERT_EQ(rows[j], std::count(row, row + w, 0xFFFF)) << "row " << j;
    }
}

// Runs the step on 16-bit samples and, where they fit, 8-bit ones, and compares with the rules.
void check_step(const Pair &f, const Bytes &mask, int w, int h, unsigned short thr, int div)
{
    SCOPED_TRACE(testing::Message() << w << "x" << h << " div " << div << " thr " << thr
                                    << (mask.empty() ? "" : " masked"));
    Plain p = plain_step(f.cur, f.prev, mask, w, h, thr, div);
    int rw, rh;
    DiffReducedSize(w, h, div, &rw, &rh);
    ASSERT_EQ(rw, p.picture.cols);
    ASSERT_EQ(rh, p.picture.rows);
    Samples marks(f.cur.size(), 7);
    Samples reduced(static_cast<size_t>(rw) * rh, 7);
    std::vector<int> rows(h, -1);
    const unsigned char *m = mask.empty() ? nullptr : mask.data();
    EXPECT_EQ(DiffStep16(marks.data(), f.cur.data(), f.prev.data(), m, w, h, thr, reduced.data(),
                         div, rows.data()),
              p.count);
    EXPECT_EQ(marks, p.marks);
    expect_same_picture(p.picture, reduced, div);
    expect_row_marks(p.marks, rows, w, h);
}

void check_step8(const Bytes &cur, const Bytes &prev, const Bytes &mask, int w, int h,
                 unsigned short thr, int div)
{
    SCOPED_TRACE(testing::Message() << "8-bit " << w << "x" << h << " div " << div);
    Plain p = plain_step(widened(cur), widened(prev), mask, w, h, thr, div);
    int rw, rh;
    DiffReducedSize(w, h, div, &rw, &rh);
    Samples marks(cur.size(), 7);
    Samples reduced(static_cast<size_t>(rw) * rh, 7);
    std::vector<int> rows(h, -1);
    const unsigned char *m = mask.empty() ? nullptr : mask.data();
    EXPECT_EQ(DiffStep8(marks.data(), cur.data(), prev.data(), m, w, h, thr, reduced.data(), div,
                        rows.data()),
              p.count);
    EXPECT_EQ(marks, p.marks);
    expect_same_picture(p.picture, reduced, div);
    expect_row_marks(p.marks, rows, w, h);
}

Bytes narrowed(const Samples &s)
{
    Bytes b(s.size());
    std::transform(s.begin(), s.end(), b.begin(), [](unsigned short v) {
        return static_cast<unsigned char>(std::min<int>(v, 255));
    });
    return b;
}

// The step with one stripe and with several: OpenCV's thread count is set for each case.
class DiffStepTest : public testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        old_threads = cv::getNumThreads();
        cv::setNumThreads(GetParam());
    }
    void TearDown() override { cv::setNumThreads(old_threads); }
    int old_threads = 1;
};

struct Geometry {
    int w, h;
};
const Geometry kSizes[] = {{1, 1},  {2, 3},    {3, 2},   {5, 7},     {8, 8},
                           {17, 9}, {64, 130}, {33, 67}, {130, 301}, {257, 515}};

TEST_P(DiffStepTest, RandomFramesMatchTheRulesAtEverySizeDensityAndReduction)
{
    std::mt19937 rng(12345);
    for (const Geometry &g : kSizes)
        for (int div : {1, 2, 4}) {
            int rw, rh;
            DiffReducedSize(g.w, g.h, div, &rw, &rh);
            if (rw == 0 || rh == 0)
                continue; // cv::resize makes no empty picture
            for (double density : {0.01, 0.1, 0.5, 0.95}) {
                Pair f = random_pair(rng, g.w, g.h, 1536, density, 4095);
                check_step(f, {}, g.w, g.h, 1536, div);
                check_step(f, random_mask(rng, g.w, g.h), g.w, g.h, 1536, div);
            }
        }
}

TEST_P(DiffStepTest, EightBitFramesMatchTheRulesOnTheirWidenedSamples)
{
    std::mt19937 rng(777);
    for (const Geometry &g : kSizes)
        for (int div : {1, 2, 4}) {
            int rw, rh;
            DiffReducedSize(g.w, g.h, div, &rw, &rh);
            if (rw == 0 || rh == 0)
                continue;
            for (double density : {0.05, 0.5}) {
                Pair f = random_pair(rng, g.w, g.h, 96, density, 255);
                check_step8(narrowed(f.cur), narrowed(f.prev), {}, g.w, g.h, 96, div);
                check_step8(narrowed(f.cur), narrowed(f.prev), random_mask(rng, g.w, g.h), g.w, g.h,
                            96, div);
            }
        }
}

TEST_P(DiffStepTest, FullScaleSamplesAndExtremeThresholds)
{
    std::mt19937 rng(99);
    for (unsigned short thr : {0, 1, 65534, 65535}) {
        Pair f = random_pair(rng, 37, 131, 1000, 0.3, 65535);
        for (size_t n = 0; n < f.cur.size(); n += 5)
            f.cur[n] = 65535, f.prev[n] = 0;
        check_step(f, {}, 37, 131, thr, 2);
        check_step(f, {}, 37, 131, thr, 4);
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, DiffStepTest, testing::Values(1, 4));

// Hand-made neighbourhoods of the isolated-point rule on a 7 x 5 frame, differences only.
class IsolatedPointTest : public testing::Test {
protected:
    static constexpr int kW = 7, kH = 5;
    static constexpr unsigned short kThr = 10;
    Samples cur = Samples(kW * kH, 0), prev = Samples(kW * kH, 0);
    void lift(int x, int y, unsigned short by) { cur[y * kW + x] = by; }
    Samples marks()
    {
        Samples m(kW * kH, 7);
        DiffStep16(m.data(), cur.data(), prev.data(), nullptr, kW, kH, kThr, nullptr, 1, nullptr);
        Plain p = plain_step(cur, prev, {}, kW, kH, kThr, 1);
        EXPECT_EQ(m, p.marks);
        return m;
    }
    bool marked(const Samples &m, int x, int y) { return m[y * kW + x] == 0xFFFF; }
};

TEST_F(IsolatedPointTest, AnIsolatedInteriorPointIsRemovedAPairIsKept)
{
    lift(2, 2, 50);
    lift(5, 1, 50);
    lift(5, 2, 50);
    Samples m = marks();
    EXPECT_FALSE(marked(m, 2, 2));
    EXPECT_TRUE(marked(m, 5, 1));
    EXPECT_TRUE(marked(m, 5, 2));
}

TEST_F(IsolatedPointTest, ANeighbourEqualToTheThresholdKeepsThePoint)
{
    lift(2, 2, 50);
    lift(2, 3, kThr); // not below, not above: the point is not isolated, the neighbour unmarked
    lift(4, 2, kThr + 1);
    lift(5, 2, kThr); // equal itself: never marked
    Samples m = marks();
    EXPECT_TRUE(marked(m, 2, 2));
    EXPECT_FALSE(marked(m, 2, 3));
    EXPECT_TRUE(marked(m, 4, 2));
    EXPECT_FALSE(marked(m, 5, 2));
}

TEST_F(IsolatedPointTest, PointsOnTheBordersAreNeverRemoved)
{
    for (auto [x, y] : {std::pair{0, 2}, {6, 2}, {3, 0}, {3, 4}, {0, 0}, {6, 4}})
        lift(x, y, 50);
    Samples m = marks();
    for (auto [x, y] : {std::pair{0, 2}, {6, 2}, {3, 0}, {3, 4}, {0, 0}, {6, 4}})
        EXPECT_TRUE(marked(m, x, y)) << x << "," << y;
}

TEST_F(IsolatedPointTest, ADiagonalOfPointsIsRemovedPointByPoint)
{
    // Diagonal neighbours do not count: every point of the diagonal is isolated.
    for (int k = 1; k < 4; ++k)
        lift(k, k, 50);
    Samples m = marks();
    EXPECT_EQ(std::count(m.begin(), m.end(), 0xFFFF), 0);
}

// The driver's difference recording over random scenes with spots, compared with the rules:
// every detection line, the ImageDiff and ImageDiffStack pictures and the stack PNG.
class DriverDifferenceTest : public testing::TestWithParam<std::tuple<int, bool>> {
protected:
    void SetUp() override
    {
        WindowScript::get().reset();
        WindowScript::get().keep_last_image_only(true);
        frame_count = 0;
        oc = 0;
    }

    ScratchDir dir;
    WorkIn work_in{dir.path()}; // no detect script there
};

cv::Mat stack_of(const Samples &stack, int w, int h, int detections)
{
    cv::Mat picture;
    cv::Mat(h, w, CV_16U, const_cast<unsigned short *>(stack.data()))
        .convertTo(picture, CV_8U, 0.125, 0.0);
    char caption[64];
    std::snprintf(caption, sizeof caption, "%d differences detected", detections);
    cv::putText(picture, caption, cv::Point(20, 50), cv::FONT_HERSHEY_SIMPLEX, 1.0,
                cv::Scalar(200, 200, 200, 0), 1, cv::LINE_8, false);
    return picture;
}

double max_difference(const cv::Mat &a, const cv::Mat &b)
{
    if (a.size() != b.size() || a.type() != b.type())
        return -1;
    return cv::norm(a, b, cv::NORM_INF);
}

TEST_P(DriverDifferenceTest, DetectionsAndPicturesMatchTheRules)
{
    const auto [width, raw8] = GetParam();
    const int height = 131;
    Driver d;
    d.width = width;
    d.height = height;
    d.bufsiz = width * height * 12 / 8; // RAW12 lines: the reduction follows the width
    d.raw8_flag = raw8;
    ASSERT_EQ(derive_geometry(d), 0);
    ASSERT_TRUE(allocate_buffers(d));
    ASSERT_EQ(d.div, width < 1000 ? 1 : width < 2000 ? 2 : 4);
    const unsigned short top = raw8 ? 255 : 4095;
    const unsigned short thr = static_cast<unsigned short>(d.bthresh >> (raw8 ? 8 : 4));
    const size_t n = static_cast<size_t>(width) * height;
    std::mt19937 rng(width);
    Samples prev(n, 0), stack(n, 0);
    std::fill_n(d.BinImage3.get(), n * (raw8 ? 1 : 2), 0);
    Bytes mask = random_mask(rng, width, height);
    std::string expected_lines;
    int detections = 0;
    CaptureStdout();
    prepare_difference_recording(d);
    d.mask_d = cv::Mat(height, width, CV_8U, mask.data()).clone();
    d.diff = 0;
    for (int frame = 0; frame < 8; ++frame) {
        // A dim sky, a broad brightening on every third frame (a candidate that is spread
        // out) and a compact spot on every second one.
        Samples cur(n);
        std::bernoulli_distribution lit(frame % 3 == 0 ? 0.4 : 0.0005);
        for (size_t k = 0; k < n; ++k)
            cur[k] = static_cast<unsigned short>(rng() % (top / 8) + (lit(rng) ? thr + 1 : 0));
        if (frame % 2 == 1)
            for (int y = 40; y < 60; ++y)
                for (int x = 10; x < 30; ++x)
                    cur[y * width + x] = top;
        for (size_t k = 0; k < n; ++k) {
            if (raw8)
                d.BinImage2[k] = static_cast<unsigned char>(cur[k]);
            else
                reinterpret_cast<unsigned short *>(d.BinImage2.get())[k] = cur[k];
        }
        ++frame_count;
        difference_step(d);

        Plain p = plain_step(cur, prev, mask, width, height, thr, d.div);
        float lrate = static_cast<float>(CountImage(p.marks.data(), thr, width, height) * 100.0);
        bool detected = false;
        if (lrate > 0.001) {
            double ax, ay, sx, sy;
            SDeviImage(p.marks.data(), thr, width, height, &ax, &ay, &sx, &sy);
            if (sx / width < 0.1 || sy / height < 0.1) {
                detected = true;
                char line[128];
                std::snprintf(line, sizeof line, "%5d:Diff Detect. sx:%04.0lf sy:%04.0lf\n",
                              ++detections, sx, sy);
                expected_lines += line;
            }
        }
        const ShownImage *shown = WindowScript::get().last_shown("ImageDiff");
        ASSERT_NE(shown, nullptr);
        EXPECT_EQ(max_difference(shown->image, p.picture), 0.0) << "frame " << frame;
        if (detected) {
            SLImage(stack.data(), p.marks.data(), width, height, 0);
            cv::Mat reduced;
            cv::resize(stack_of(stack, width, height, detections), reduced, cv::Size(), 1.0 / d.div,
                       1.0 / d.div, cv::INTER_LINEAR);
            const ShownImage *shown_stack = WindowScript::get().last_shown("ImageDiffStack");
            ASSERT_NE(shown_stack, nullptr);
            EXPECT_EQ(max_difference(shown_stack->image, reduced), 0.0) << "frame " << frame;
        }
        d.diff = 0; // as the recording step leaves it after writing the frame
        std::swap(d.BinImage2, d.BinImage3);
        prev = cur;
    }
    std::snprintf(d.tfname, sizeof d.tfname, "scene");
    end_difference_recording(d);
    EXPECT_EQ(GetCapturedStdout(), expected_lines);
    ASSERT_GE(detections, 2); // the stack PNG shows more than one frame
    char png_name[64];
    std::snprintf(png_name, sizeof png_name, "scene_%04ddifs.png", detections);
    cv::Mat png = cv::imread(png_name, cv::IMREAD_UNCHANGED);
    EXPECT_EQ(max_difference(png, stack_of(stack, width, height, detections)), 0.0);
}

// Widths that the display shows whole, halved and quartered; 16-bit and 8-bit samples.
INSTANTIATE_TEST_SUITE_P(Reductions, DriverDifferenceTest,
                         testing::Combine(testing::Values(300, 1302, 2602), testing::Bool()));

} // namespace
