// Tests of where the windows open: the live window's plain frame, beside the live window.
#include "window_layout.h"

#include "window.h"
#include "window_script.h"

#include <gtest/gtest.h>

namespace {

using tolva::test::WindowChange;
using tolva::test::WindowScript;

struct Placing {
    WindowPlace place;
    bool anchor_open;
    cv::Point expected; // the new window's place: the live window's picture is at (10, 20), 320x240
};

class WindowLayoutTest : public testing::TestWithParam<Placing> {};

TEST_P(WindowLayoutTest, OpensPlainBesideTheAnchor)
{
    WindowScript &script = WindowScript::get();
    script.reset();
    if (GetParam().anchor_open) {
        win_imshow("se_cam", cv::Mat(240, 320, CV_8UC3));
        win_moveWindow("se_cam", 10, 20);
    }
    open_beside("zoom", "se_cam", GetParam().place);
    ASSERT_EQ(script.changes().back().window, "zoom");
    EXPECT_EQ(script.changes().back().flags, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
    win_imshow("zoom", cv::Mat(50, 60, CV_8UC3));
    EXPECT_EQ(win_getWindowImageRect("zoom"), cv::Rect(GetParam().expected, cv::Size(60, 50)));
}

INSTANTIATE_TEST_SUITE_P(Places, WindowLayoutTest,
                         testing::Values(Placing{PLACE_RIGHT, true, {338, 20}},
                                         Placing{PLACE_BELOW, true, {10, 268}},
                                         Placing{PLACE_BELOW_RIGHT, true, {338, 268}},
                                         Placing{PLACE_RIGHT, false, {0, 0}}));

} // namespace
