// Tests of the difference recording on scripted frames: detection, script runs, stack picture.
#include "difference_recording.h"
#include "output_capture.h"
#include "test_support.h"
#include "tolvacapture.h"
#include "window_script.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

using tolva::test::capture_stderr;
using tolva::test::capture_stdout;
using tolva::test::captured_stderr;
using tolva::test::captured_stdout;
using tolva::test::read_file;
using tolva::test::ScratchDir;
using tolva::test::WindowScript;
using tolva::test::WorkIn;

namespace {

constexpr unsigned short kSky = 100;

// A driver ready for a difference recording on frames of this size, in a scratch working
// directory with a home of its own, whose detect script logs each run.
class DifferenceTest : public testing::Test {
protected:
    void SetUp() override
    {
        WindowScript::get().reset();
        WindowScript::get().keep_last_image_only(true);
        std::string script =
            dir.write("detect_voice.sh", "#!/bin/sh\necho run >> \"$HOME/runs\"\n");
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        frame_count = 0;
        oc = 0;
    }

    void TearDown() override
    {
        dir.write("release", ""); // a script that waits for it ends
        wait_for_scripts();
    }

    void make(int width, int height, int bpp, bool raw8 = false)
    {
        d.width = width;
        d.height = height;
        d.bufsiz = width * height * bpp / 8;
        d.rawbit = bpp;
        d.raw8_flag = raw8;
        ASSERT_EQ(derive_geometry(d), 0);
        ASSERT_TRUE(allocate_buffers(d));
        fill(kSky);
        std::swap(d.BinImage2, d.BinImage3);
        fill(kSky);
        capture_stdout();
        prepare_difference_recording(d);
        EXPECT_EQ(captured_stdout(), "");
        d.diff = 0; // not the first recording of the run
    }

    unsigned short *current() { return reinterpret_cast<unsigned short *>(d.BinImage2.get()); }

    void fill(unsigned short value)
    {
        for (int n = 0; n < d.width * d.height; ++n)
            set(n % d.width, n / d.width, value);
    }

    // Sets one sample of the current frame, 16-bit or 8-bit as the mode has it.
    void set(int x, int y, unsigned short value)
    {
        size_t n = static_cast<size_t>(y) * d.width + x;
        if (d.raw8_flag)
            d.BinImage2[n] = static_cast<unsigned char>(value);
        else
            current()[n] = value;
    }

    void brighten_block(int x, int y, int w, int h, unsigned short by)
    {
        for (int j = y; j < y + h; ++j)
            for (int i = x; i < x + w; ++i)
                set(i, j, kSky + by);
    }

    // One pass of the loop's difference step on the current frame; its standard output.
    std::string step()
    {
        ++frame_count;
        capture_stdout();
        difference_step(d);
        return captured_stdout();
    }

    // The next frame: what is current becomes the previous frame, the sky comes back.
    void next_frame()
    {
        std::swap(d.BinImage2, d.BinImage3);
        fill(kSky);
    }

    // Waits for the scripts the step started (a test has no loop to reap them).
    void wait_for_scripts()
    {
        for (pid_t pid : d.scripts) {
            int status;
            EXPECT_EQ(waitpid(pid, &status, 0), pid);
        }
        d.scripts.clear();
    }

    int script_runs()
    {
        std::string runs = read_file(dir.path() + "/runs");
        return static_cast<int>(std::count(runs.begin(), runs.end(), '\n'));
    }

    ScratchDir dir;
    WorkIn work_in{dir.path()};
    Driver d;
};

TEST_F(DifferenceTest, IdenticalFramesGiveABlackDifferenceAndNoDetection)
{
    make(64, 48, 12);
    EXPECT_EQ(step(), "");
    EXPECT_EQ(d.diffcount, 0);
    const auto *shown = WindowScript::get().last_shown("ImageDiff");
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->type, CV_16U);
    EXPECT_EQ(cv::countNonZero(shown->image), 0);
    EXPECT_EQ(WindowScript::get().shows("ImageDiffStack"), 0);
}

TEST_F(DifferenceTest, OnlyBrighteningCounts)
{
    make(64, 48, 12);
    fill(kSky / 2); // darker everywhere
    EXPECT_EQ(step(), "");
    EXPECT_EQ(d.diffcount, 0);
}

TEST_F(DifferenceTest, NeedsMoreThanOneSampleInAHundredThousand)
{
    make(1920, 1080, 12);
    brighten_block(100, 100, 20, 1, 2000); // 20 samples: 0.00096 %
    EXPECT_EQ(step(), "");
    next_frame();
    brighten_block(100, 300, 21, 1, 2000); // 21 samples: 0.00101 %
    EXPECT_EQ(step(), "    1:Diff Detect. sx:0006 sy:0000\n");
}

TEST_F(DifferenceTest, ACompactSpotIsADetectionAnEvenSpreadIsNot)
{
    make(1920, 1080, 12);
    brighten_block(800, 500, 8, 5, 3000); // 40 samples
    EXPECT_EQ(step(), "    1:Diff Detect. sx:0002 sy:0001\n");
    next_frame();
    // Pairs of samples (single points are noise) on a coarse grid over the whole frame.
    for (int y = 5; y < 1080; y += 20)
        for (int x = 5; x < 1918; x += 20)
            brighten_block(x, y, 2, 1, 3000);
    EXPECT_EQ(step(), "");
    EXPECT_EQ(d.diffcount, 1);
}

TEST_F(DifferenceTest, AHorizontalStreakIsADetection)
{
    make(1920, 1080, 12);
    brighten_block(0, 600, 1920, 2, 3000);
    EXPECT_EQ(step(), "    1:Diff Detect. sx:0554 sy:0000\n");
}

TEST_F(DifferenceTest, ThresholdIsStrictAtEachDepth)
{
    struct {
        int bpp;
        bool raw8;
        unsigned short at, above;
    } depths[] = {{12, false, 1536, 1537}, {10, false, 384, 385}, {12, true, 96, 97}};
    for (const auto &depth : depths) {
        make(64, 48, depth.bpp, depth.raw8);
        brighten_block(20, 20, 5, 5, depth.at);
        EXPECT_EQ(step(), "") << depth.bpp << (depth.raw8 ? " -8" : "");
        next_frame();
        brighten_block(40, 20, 5, 5, depth.above);
        EXPECT_EQ(step(), "    1:Diff Detect. sx:0001 sy:0001\n")
            << depth.bpp << (depth.raw8 ? " -8" : "");
    }
}

TEST_F(DifferenceTest, TheScriptAnnouncesEachRunOfDetections)
{
    make(64, 48, 12);
    std::string out;
    for (int frame = 99; frame <= 110; ++frame) {
        next_frame();
        if (frame >= 100 && frame <= 102)
            brighten_block(10 + 10 * (frame - 100), 10, 3, 3, 3000);
        if (frame == 110)
            brighten_block(40, 30, 3, 3, 3000);
        frame_count = frame - 1;
        out += step();
    }
    EXPECT_EQ(out, "    1:Diff Detect. sx:0001 sy:0001\n"
                   "    2:Diff Detect. sx:0001 sy:0001\n"
                   "    3:Diff Detect. sx:0001 sy:0001\n"
                   "    4:Diff Detect. sx:0001 sy:0001\n");
    EXPECT_EQ(d.scripts.size(), 2u);
    wait_for_scripts();
    EXPECT_EQ(script_runs(), 2);
    EXPECT_EQ(oc, 110);
}

// The step goes on while the script runs; a second run of detections starts a second script
// beside the first.
TEST_F(DifferenceTest, TheScriptRunsWithoutHoldingUpTheLoop)
{
    std::string script = dir.write("detect_voice.sh", "#!/bin/sh\n"
                                                      "while [ ! -e \"$HOME/release\" ]; do\n"
                                                      "  sleep 0.01\n"
                                                      "done\n"
                                                      "echo run >> \"$HOME/runs\"\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    make(64, 48, 12);
    frame_count = 10; // not right after the detection at start-up (oc 0)
    brighten_block(10, 10, 3, 3, 3000);
    EXPECT_EQ(step(), "    1:Diff Detect. sx:0001 sy:0001\n");
    next_frame();
    EXPECT_EQ(step(), "");
    next_frame();
    brighten_block(30, 10, 3, 3, 3000);
    EXPECT_EQ(step(), "    2:Diff Detect. sx:0001 sy:0001\n");
    ASSERT_EQ(d.scripts.size(), 2u);
    for (pid_t pid : d.scripts) {
        int status;
        EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the script has not been released";
    }
    dir.write("release", "");
    wait_for_scripts();
    EXPECT_EQ(script_runs(), 2);
}

TEST_F(DifferenceTest, AMissingScriptIsNotStartedAndSaysNothing)
{
    make(64, 48, 12);
    frame_count = 10;
    std::filesystem::remove(dir.path() + "/detect_voice.sh");
    brighten_block(10, 10, 3, 3, 3000);
    tolva::test::capture_stderr();
    EXPECT_EQ(step(), "    1:Diff Detect. sx:0001 sy:0001\n");
    EXPECT_EQ(tolva::test::captured_stderr(), "");
    EXPECT_EQ(d.diff, 1);
    EXPECT_TRUE(d.scripts.empty());
}

TEST_F(DifferenceTest, EndWithoutDetectionsWritesNoStack)
{
    make(64, 48, 12);
    step();
    std::snprintf(d.tfname, sizeof d.tfname, "64x48_base");
    end_difference_recording(d);
    EXPECT_EQ(d.mode, MODE_END_RECORDING);
    EXPECT_EQ(d.diff, 0);
    EXPECT_FALSE(std::filesystem::exists("64x48_base_0000difs.png"));
    EXPECT_EQ(WindowScript::get().destroyed("ImageDiff"), 1);
    EXPECT_EQ(WindowScript::get().created("ImageDiffStack"), 0);
}

TEST_F(DifferenceTest, SevenDetectionsGiveACaptionedStackUnderTheBaseName)
{
    make(320, 240, 12);
    for (int n = 0; n < 7; ++n) {
        next_frame();
        brighten_block(40 * n + 10, 150, 3, 3, 3000);
        step();
    }
    EXPECT_EQ(d.diffcount, 7);
    EXPECT_TRUE(WindowScript::get().is_open("ImageDiffStack"));
    std::snprintf(d.tfname, sizeof d.tfname, "320x240_base");
    end_difference_recording(d);

    cv::Mat stack = cv::imread("320x240_base_0007difs.png", cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(stack.empty());
    EXPECT_EQ(stack.type(), CV_8U);
    EXPECT_EQ(stack.size(), cv::Size(320, 240));
    EXPECT_STREQ(d.str, "7 differences detected");
    // Every detected spot is white; the caption is grey 200 above them.
    for (int n = 0; n < 7; ++n)
        EXPECT_EQ(stack.at<unsigned char>(151, 40 * n + 11), 255) << "spot " << n;
    EXPECT_GT(cv::countNonZero(stack(cv::Rect(20, 25, 280, 30)) == 200), 100);
    EXPECT_FALSE(WindowScript::get().is_open("ImageDiffStack"));
    EXPECT_FALSE(WindowScript::get().is_open("ImageDiff"));
}

// Detections on rows far apart, frames without any between them: the stack is the maximum of
// the detected frames' whole differences, and its window shows the full frame's conversion with
// the caption, reduced as resize reduces it, whichever rows the marks were on.
TEST_F(DifferenceTest, TheStackIsTheMaximumOfTheWholeDifferencesOfTheDetectedFrames)
{
    make(320, 240, 12);
    d.div = 2;
    const size_t n = static_cast<size_t>(d.width) * d.height;
    std::vector<unsigned short> expected(n, 0);
    const unsigned short *diff = reinterpret_cast<const unsigned short *>(d.DiffImage.get());
    const int rows[] = {0, 239 - 2, 117, 1, 200, 64};
    for (int k = 0; k < 12; ++k) {
        next_frame();
        if (k % 2 == 0)
            brighten_block(25 * k + 3, rows[k / 2], 3, 3, 3000);
        step();
        if (d.diff == 1)
            for (size_t m = 0; m < n; ++m)
                expected[m] = std::max(expected[m], diff[m]);
        d.diff = 0; // as the loop clears it after the pass
    }
    ASSERT_EQ(d.diffcount, 6);
    const unsigned short *stack = reinterpret_cast<const unsigned short *>(d.StkImage.get());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), stack));

    cv::Mat picture;
    cv::Mat(d.height, d.width, CV_16U, expected.data()).convertTo(picture, CV_8U, 0.125, 0.0);
    cv::putText(picture, "6 differences detected", cv::Point(20, 50), cv::FONT_HERSHEY_SIMPLEX, 1.0,
                cv::Scalar(200, 200, 200, 0), 1, cv::LINE_8, false);
    cv::Mat view;
    cv::resize(picture, view, cv::Size(), 0.5, 0.5, cv::INTER_LINEAR);
    const tolva::test::ShownImage *shown = WindowScript::get().last_shown("ImageDiffStack");
    ASSERT_NE(shown, nullptr);
    ASSERT_EQ(shown->image.size(), view.size());
    EXPECT_EQ(cv::norm(shown->image, view, cv::NORM_INF), 0.0);
}

struct StackFailure {
    const char *base;
    const char *link_to; // the stack's file name is made a link to this, if given
    int error;
};

class DifferenceStackFailureTest : public DifferenceTest,
                                   public testing::WithParamInterface<StackFailure> {};

TEST_P(DifferenceStackFailureTest, AStackThatCannotBeWrittenIsReportedWithTheReason)
{
    const StackFailure &failure = GetParam();
    std::string stack = std::string(failure.base) + "_0001difs.png";
    if (failure.link_to)
        std::filesystem::create_symlink(failure.link_to, stack);
    make(64, 48, 12);
    brighten_block(10, 10, 3, 3, 3000);
    step();
    std::snprintf(d.tfname, sizeof d.tfname, "%s", failure.base);
    capture_stdout();
    capture_stderr();
    end_difference_recording(d);
    EXPECT_EQ(captured_stdout(), "");
    EXPECT_EQ(captured_stderr(),
              "tolvacapture: can't write " + stack + ": " + std::strerror(failure.error) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Writes, DifferenceStackFailureTest,
    testing::Values(StackFailure{"missing/64x48_base", nullptr, ENOENT}, // no such directory
                    StackFailure{"64x48_full", "/dev/full", ENOSPC}));   // a full disk

TEST_F(DifferenceTest, DetectionMaskHidesItsRegionAndCarriesOver)
{
    cv::Mat mask = cv::Mat::zeros(48, 64, CV_8UC3);
    mask(cv::Rect(0, 0, 32, 48)).setTo(cv::Scalar(255, 255, 255));
    cv::imwrite("mask_det.png", mask);
    make(64, 48, 12);
    brighten_block(10, 10, 3, 3, 3000);
    EXPECT_EQ(step(), "");
    std::filesystem::remove("mask_det.png");
    prepare_difference_recording(d);
    next_frame();
    brighten_block(10, 10, 3, 3, 3000);
    EXPECT_EQ(step(), "");
    next_frame();
    brighten_block(40, 10, 3, 3, 3000);
    EXPECT_EQ(step(), "    1:Diff Detect. sx:0001 sy:0001\n");
}

TEST_F(DifferenceTest, DetectionMaskOfAnotherSizeIsIgnoredWithAMessage)
{
    cv::imwrite("mask_det.png", cv::Mat(10, 10, CV_8UC3, cv::Scalar(255, 255, 255)));
    tolva::test::capture_stderr();
    make(64, 48, 12);
    EXPECT_EQ(tolva::test::captured_stderr(),
              "tolvacapture: ./mask_det.png is 10x10, the frame 64x48: mask ignored\n");
    EXPECT_TRUE(d.mask_d.empty());
}

TEST_F(DifferenceTest, FirstRecordingOfTheRunStacksItsFirstFrame)
{
    make(64, 48, 12);
    d.diff = 1;
    EXPECT_EQ(step(), "");
    EXPECT_EQ(WindowScript::get().shows("ImageDiffStack"), 1);
}

} // namespace
