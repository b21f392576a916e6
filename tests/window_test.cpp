// Tests of the highgui window seam without a display: Qt's offscreen platform.
#include "window.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

int mouse_calls = 0;
void count_mouse(int, int, int, int, void *) { ++mouse_calls; }

class WindowTest : public testing::Test {
protected:
    static void SetUpTestSuite() { setenv("QT_QPA_PLATFORM", "offscreen", 1); }
};

TEST_F(WindowTest, WindowLivesThroughShowWaitAndDestroy)
{
    win_namedWindow("live", cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
    win_setMouseCallback("live", count_mouse, nullptr);
    win_imshow("live", cv::Mat(30, 40, CV_8UC3, cv::Scalar(0, 0, 255)));
    // No one presses a key offscreen.
    EXPECT_EQ(-1, win_waitKey(1));
    EXPECT_EQ(0, mouse_calls);
    win_destroyWindow("live");
    // The window is gone: highgui refuses a callback for it.
    EXPECT_THROW(win_setMouseCallback("live", count_mouse, nullptr), cv::Exception);
}

TEST_F(WindowTest, ImshowCreatesTheWindow)
{
    win_namedWindow("keep", cv::WINDOW_AUTOSIZE);
    win_imshow("shown", cv::Mat(8, 8, CV_8UC1, cv::Scalar(7)));
    EXPECT_NO_THROW(win_setMouseCallback("shown", count_mouse, nullptr));
    win_destroyWindow("shown");
    win_destroyWindow("keep");
}

} // namespace
