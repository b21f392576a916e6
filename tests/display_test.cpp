// Tests of the live display against the plain OpenCV chain it replaces: convertTo, cvtColor,
// resize, for every reduction, both sample widths, odd and even sizes and random samples, on the
// processor's kernel and on the plain one.
#include "display.h"
#include "i2c.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#if defined(__x86_64__) || defined(__i386__)
#define TOLVA_TEST_X86 1
#elif defined(__arm__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct Geometry {
    int width, height;
};

// Sizes with every remainder modulo 4 (the reduced sizes round, ties to even); by 2 the even
// ones are made in blocks of rows, 6 x 4 in one, 200 x 518 in several per band with a short
// last block.
const std::vector<Geometry> kSizes = {{3, 3},   {4, 5},    {6, 4},    {7, 6},
                                      {10, 9},  {14, 11},  {22, 18},  {37, 23},
                                      {64, 48}, {101, 67}, {130, 98}, {200, 518}};

cv::Mat random_frame(Geometry g, int depth, unsigned seed)
{
    cv::Mat frame(g.height, g.width, depth);
    cv::RNG rng(seed);
    rng.fill(frame, cv::RNG::UNIFORM, 0, depth == CV_16U ? 65536 : 256);
    return frame;
}

// OpenCV's demosaic of each Bayer order, in the order of the BAYER_* values.
const int kDemosaic[] = {cv::COLOR_BayerBG2BGR, cv::COLOR_BayerGB2BGR, cv::COLOR_BayerGR2BGR,
                         cv::COLOR_BayerRG2BGR};

cv::Mat plain_picture(const cv::Mat &frame, int bayer = BAYER_RGGB)
{
    cv::Mat bayer8 = frame.clone();
    if (frame.depth() == CV_16U)
        bayer8.convertTo(bayer8, CV_8U, 0.08, 0.0);
    cv::Mat rgb;
    cv::cvtColor(bayer8, rgb, kDemosaic[bayer]);
    return rgb;
}

cv::Mat plain_view(const cv::Mat &frame, int div, int bayer = BAYER_RGGB)
{
    cv::Mat view;
    const float rate = 1.0f / div;
    cv::resize(plain_picture(frame, bayer), view, cv::Size(), rate, rate, cv::INTER_LINEAR);
    return view;
}

::testing::AssertionResult same(const cv::Mat &expected, const cv::Mat &actual)
{
    if (expected.size() != actual.size() || expected.type() != actual.type())
        return ::testing::AssertionFailure()
               << "size " << actual.size() << " type " << actual.type() << ", expected "
               << expected.size() << " type " << expected.type();
    cv::Mat diff;
    cv::absdiff(expected, actual, diff);
    const int wrong = cv::countNonZero(diff.reshape(1));
    if (wrong != 0)
        return ::testing::AssertionFailure() << wrong << " samples differ";
    return ::testing::AssertionSuccess();
}

class DisplayTest : public ::testing::TestWithParam<std::tuple<int, int>> {
protected:
    int depth() const { return std::get<0>(GetParam()); }
    int div() const { return std::get<1>(GetParam()); }
};

void expect_views_of_the_plain_chain(int depth, int div)
{
    for (Geometry g : kSizes) {
        for (unsigned seed = 1; seed <= 3; ++seed) {
            const cv::Mat frame = random_frame(g, depth, seed);
            ASSERT_EQ(display_init(g.width, g.height, depth, div, BAYER_RGGB), 0);
            cv::Mat view;
            ASSERT_EQ(display_view(frame.data, view), 0);
            EXPECT_TRUE(same(plain_view(frame, div), view))
                << g.width << "x" << g.height << " seed " << seed << " path " << display_path();
        }
    }
}

TEST_P(DisplayTest, ViewEqualsThePlainChain) { expect_views_of_the_plain_chain(depth(), div()); }

TEST_P(DisplayTest, ViewOfASecondFrameIsThatFramesOwn)
{
    // Rows converted for one frame must not be taken for the next one.
    const Geometry g{101, 67};
    ASSERT_EQ(display_init(g.width, g.height, depth(), div(), BAYER_RGGB), 0);
    cv::Mat view;
    ASSERT_EQ(display_view(random_frame(g, depth(), 7).data, view), 0);
    const cv::Mat second = random_frame(g, depth(), 8);
    ASSERT_EQ(display_view(second.data, view), 0);
    EXPECT_TRUE(same(plain_view(second, div()), view));
}

TEST_P(DisplayTest, FullPictureEqualsTheDemosaic)
{
    for (Geometry g : kSizes) {
        const cv::Mat frame = random_frame(g, depth(), 11);
        ASSERT_EQ(display_init(g.width, g.height, depth(), div(), BAYER_RGGB), 0);
        cv::Mat view, full;
        ASSERT_EQ(display_view(frame.data, view), 0);
        view.setTo(cv::Scalar(1, 2, 3)); // the live loop draws into the view
        ASSERT_EQ(display_full(frame.data, full), 0);
        EXPECT_TRUE(same(plain_picture(frame), full)) << g.width << "x" << g.height;
    }
}

TEST_P(DisplayTest, RegionEqualsTheFullPictureThere)
{
    const Geometry g{37, 23};
    const cv::Mat frame = random_frame(g, depth(), 5);
    const cv::Mat expected = plain_picture(frame);
    ASSERT_EQ(display_init(g.width, g.height, depth(), div(), BAYER_RGGB), 0);
    const std::vector<cv::Rect> regions = {
        {0, 0, 1, 1},   {36, 22, 1, 1}, {0, 22, 5, 1},  {36, 0, 1, 4},  {0, 0, 37, 23},
        {1, 1, 2, 2},   {2, 3, 9, 7},   {3, 2, 10, 5},  {30, 17, 7, 6}, {0, 5, 4, 18},
        {17, 0, 20, 1}, {35, 21, 2, 2}, {5, 20, 31, 3}, {33, 1, 3, 21}};
    if (div() != 1) { // also a frame too small for the demosaic's interior
        const cv::Mat tiny = random_frame({5, 2}, depth(), 6);
        ASSERT_EQ(display_init(5, 2, depth(), div(), BAYER_RGGB), 0);
        cv::Mat picture;
        ASSERT_EQ(display_region(tiny.data, cv::Rect(1, 0, 3, 2), picture), 0);
        EXPECT_TRUE(same(plain_picture(tiny)(cv::Rect(1, 0, 3, 2)), picture));
        ASSERT_EQ(display_init(g.width, g.height, depth(), div(), BAYER_RGGB), 0);
    }
    for (const cv::Rect &r : regions) {
        cv::Mat picture;
        ASSERT_EQ(display_region(frame.data, r, picture), 0) << r;
        EXPECT_TRUE(same(expected(r), picture)) << r;
    }
}

TEST_P(DisplayTest, RegionsAlongEveryEdgeOfEvenAndOddFrames)
{
    // Small regions hugging each edge and corner: at the far edge of an even width or height
    // the demosaiced block must still start early enough to hold an interior.
    for (Geometry g : {Geometry{38, 24}, Geometry{38, 23}, Geometry{37, 24}, Geometry{8, 6}}) {
        const cv::Mat frame = random_frame(g, depth(), 9);
        const cv::Mat expected = plain_picture(frame);
        ASSERT_EQ(display_init(g.width, g.height, depth(), div(), BAYER_RGGB), 0);
        for (int w = 1; w <= 3; ++w) {
            for (int h = 1; h <= 3; ++h) {
                const std::vector<cv::Rect> regions = {{0, 0, w, h},
                                                       {g.width - w, 0, w, h},
                                                       {0, g.height - h, w, h},
                                                       {g.width - w, g.height - h, w, h},
                                                       {g.width / 2, g.height - h, w, h},
                                                       {g.width - w, g.height / 2, w, h}};
                for (const cv::Rect &r : regions) {
                    cv::Mat picture;
                    ASSERT_EQ(display_region(frame.data, r, picture), 0) << r;
                    EXPECT_TRUE(same(expected(r), picture)) << g.width << "x" << g.height << r;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(DepthsAndReductions, DisplayTest,
                         ::testing::Combine(::testing::Values(CV_16U, CV_8U),
                                            ::testing::Values(1, 2, 4)));

TEST(Display, TheProcessorsViewKernelsAreTakenAndThePlainPathAgrees)
{
    std::string expected = "plain";
#ifdef TOLVA_TEST_X86
    expected = __builtin_cpu_supports("avx2")    ? "avx2"
               : __builtin_cpu_supports("ssse3") ? "ssse3"
                                                 : "sse2";
#elif defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    expected = "neon"; // every 64-bit ARM processor has it
#elif defined(__arm__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (getauxval(AT_HWCAP) & HWCAP_NEON)
        expected = "neon";
#endif
    EXPECT_EQ(display_path(), expected);
    display_force_plain(1);
    EXPECT_STREQ(display_path(), "plain");
    for (int depth : {CV_16U, CV_8U})
        for (int div : {2, 4})
            expect_views_of_the_plain_chain(depth, div);
    display_force_plain(0);
    EXPECT_EQ(display_path(), expected);
}

void count_call(void *calls) { ++*static_cast<int *>(calls); }

TEST_P(DisplayTest, AJobBesideTheViewRunsOnceAndLeavesTheViewAsItIs)
{
    for (Geometry g : {Geometry{130, 98}, Geometry{101, 67}, Geometry{200, 518}}) {
        const cv::Mat frame = random_frame(g, depth(), 5);
        ASSERT_EQ(display_init(g.width, g.height, depth(), div(), BAYER_RGGB), 0);
        for (int pass = 1; pass <= 3; ++pass) {
            int calls = 0;
            cv::Mat view;
            ASSERT_EQ(display_view_beside(frame.data, view, count_call, &calls), 0);
            EXPECT_EQ(calls, 1) << g.width << "x" << g.height << " pass " << pass;
            EXPECT_TRUE(same(plain_view(frame, div()), view)) << g.width << "x" << g.height;
        }
    }
}

TEST(Display, EverySampleValueConvertsAsConvertToDoes)
{
    // A 256 x 256 frame holds each 16-bit value once; odd columns keep their own values in the
    // view by 4 only through the demosaic, so the full ramp goes through each reduction.
    cv::Mat frame(256, 256, CV_16U);
    for (int i = 0; i < 65536; ++i)
        frame.at<uint16_t>(i / 256, i % 256) = static_cast<uint16_t>(i);
    for (int div : {2, 4}) {
        ASSERT_EQ(display_init(256, 256, CV_16U, div, BAYER_RGGB), 0);
        cv::Mat view;
        ASSERT_EQ(display_view(frame.data, view), 0);
        EXPECT_TRUE(same(plain_view(frame, div), view)) << "div " << div;
    }
    // Flat frames: each value alone decides every sample of the picture.
    for (int v : {0, 6, 7, 18, 19, 31, 3187, 3188, 3193, 4095, 65535}) {
        cv::Mat flat(8, 8, CV_16U, cv::Scalar(v));
        ASSERT_EQ(display_init(8, 8, CV_16U, 2, BAYER_RGGB), 0);
        cv::Mat view;
        ASSERT_EQ(display_view(flat.data, view), 0);
        EXPECT_TRUE(same(plain_view(flat, 2), view)) << "value " << v;
    }
}

TEST(Display, FramesWithoutAnInteriorShowAsOpenCVShowsThem)
{
    for (Geometry g : std::vector<Geometry>{{1, 1}, {2, 5}, {5, 2}}) {
        for (int depth : {CV_16U, CV_8U}) {
            const cv::Mat frame = random_frame(g, depth, 4);
            ASSERT_EQ(display_init(g.width, g.height, depth, 1, BAYER_RGGB), 0);
            cv::Mat view;
            ASSERT_EQ(display_view(frame.data, view), 0);
            EXPECT_TRUE(same(plain_picture(frame), view)) << g.width << "x" << g.height;
        }
    }
}

// Each Bayer order, by the processor's kernels and by the plain rule: the view, the full picture
// and a region are OpenCV's chain with the order's demosaic, and a scene of one colour, laid out
// in the order's mosaic, shows that colour.
class DisplayBayerTest : public ::testing::TestWithParam<int> {};

TEST_P(DisplayBayerTest, PicturesFollowTheFramesOrder)
{
    const int bayer = GetParam();
    const cv::Rect region(2, 1, 4, 4);
    for (int plain = 0; plain <= 1; ++plain) {
        display_force_plain(plain);
        for (int div : {1, 2, 4}) {
            for (Geometry g : {Geometry{7, 6}, Geometry{22, 18}, Geometry{101, 67}}) {
                SCOPED_TRACE(testing::Message() << g.width << "x" << g.height << " by " << div
                                                << " path " << display_path());
                const cv::Mat frame = random_frame(g, CV_16U, 3);
                ASSERT_EQ(display_init(g.width, g.height, CV_16U, div, bayer), 0);
                cv::Mat view, full, picture;
                ASSERT_EQ(display_view(frame.data, view), 0);
                EXPECT_TRUE(same(plain_view(frame, div, bayer), view));
                ASSERT_EQ(display_region(frame.data, region, picture), 0);
                EXPECT_TRUE(same(plain_picture(frame, bayer)(region), picture));
                ASSERT_EQ(display_full(frame.data, full), 0);
                EXPECT_TRUE(same(plain_picture(frame, bayer), full));
            }
        }
    }
    display_force_plain(0);
}

TEST_P(DisplayBayerTest, OneColourLooksTheSameInEveryOrder)
{
    const int bayer = GetParam();
    const uint16_t kLevel[4] = {2000, 1000, 1000, 500}; // red, the greens, blue
    cv::Mat frame(16, 16, CV_16U);
    for (int y = 0; y < frame.rows; ++y)
        for (int x = 0; x < frame.cols; ++x) // RGGB's channel at the place the order moves to
            frame.at<uint16_t>(y, x) = kLevel[((y ^ bayer >> 1) & 1) * 2 + ((x ^ bayer) & 1)];
    const cv::Vec3b bgr(40, 80, 160); // the levels x 0.08
    for (int div : {1, 4}) {
        ASSERT_EQ(display_init(frame.cols, frame.rows, CV_16U, div, bayer), 0);
        cv::Mat view;
        ASSERT_EQ(display_view(frame.data, view), 0);
        EXPECT_EQ(view.at<cv::Vec3b>(view.rows / 2, view.cols / 2), bgr) << "by " << div;
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, DisplayBayerTest,
                         ::testing::Values(BAYER_RGGB, BAYER_GRBG, BAYER_GBRG, BAYER_BGGR));

TEST(Display, RefusesWhatItCannotShow)
{
    EXPECT_EQ(display_init(0, 10, CV_16U, 1, BAYER_RGGB), -1);
    EXPECT_EQ(display_init(10, 0, CV_16U, 1, BAYER_RGGB), -1);
    EXPECT_EQ(display_init(10, 10, CV_32F, 1, BAYER_RGGB), -1);
    EXPECT_EQ(display_init(10, 10, CV_16U, 3, BAYER_RGGB), -1);
    EXPECT_EQ(display_init(10, 10, CV_16U, 1, 4), -1); // no such Bayer order
    ASSERT_EQ(display_init(10, 10, CV_8U, 2, BAYER_RGGB), 0);
    std::vector<uint8_t> frame(100, 9);
    cv::Mat picture;
    EXPECT_EQ(display_region(frame.data(), cv::Rect(5, 5, 6, 2), picture), -1);
    EXPECT_EQ(display_region(frame.data(), cv::Rect(5, 5, 0, 2), picture), -1);
    EXPECT_EQ(display_region(frame.data(), cv::Rect(-1, 0, 2, 2), picture), -1);
}

} // namespace
