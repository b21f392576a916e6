// Tests of the scripted window seam the driver and zoom tests rely on.
#include "window.h"
#include "window_script.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using tolva::test::ScriptStep;
using tolva::test::WindowChange;
using tolva::test::WindowScript;

namespace {

struct Seen {
    int event, x, y, flags;
    void *param;
};
std::vector<Seen> seen;
void record_mouse(int event, int x, int y, int flags, void *param)
{
    seen.push_back({event, x, y, flags, param});
}

class WindowScriptTest : public testing::Test {
protected:
    void SetUp() override
    {
        script().reset();
        seen.clear();
    }
    static WindowScript &script() { return WindowScript::get(); }
};

TEST_F(WindowScriptTest, KeysInOrderThenMinusOne)
{
    script().add_keys({'s', 'e'});
    EXPECT_EQ('s', win_waitKey(1));
    EXPECT_EQ('e', win_waitKey(1));
    EXPECT_EQ(-1, win_waitKey(1));
    EXPECT_EQ(-1, win_waitKey(1));
    EXPECT_EQ(4, script().waits());
}

TEST_F(WindowScriptTest, MouseEventsReachTheCallbackBeforeTheKey)
{
    int userdata = 0;
    win_namedWindow("se_cam", cv::WINDOW_AUTOSIZE);
    win_setMouseCallback("se_cam", record_mouse, &userdata);
    script().add({'w', {{"se_cam", cv::EVENT_LBUTTONDOWN, 3, 4}, {"se_cam", 0, 5, 6, 1}}});
    script().on_wait([&](int pass) {
        EXPECT_EQ(0, pass);
        EXPECT_TRUE(seen.empty()); // the hook runs first
    });
    EXPECT_EQ('w', win_waitKey(1));
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(cv::EVENT_LBUTTONDOWN, seen[0].event);
    EXPECT_EQ(3, seen[0].x);
    EXPECT_EQ(4, seen[0].y);
    EXPECT_EQ(&userdata, seen[0].param);
    EXPECT_EQ(6, seen[1].y);
    EXPECT_EQ(1, seen[1].flags);
}

TEST_F(WindowScriptTest, MouseEventForAWindowWithoutCallbackFailsTheTest)
{
    script().add({-1, {{"zoom", cv::EVENT_RBUTTONDOWN, 0, 0}}});
    EXPECT_NONFATAL_FAILURE(win_waitKey(1), "no mouse callback");
}

TEST_F(WindowScriptTest, CallbackNeedsAnOpenWindowAsInHighgui)
{
    EXPECT_THROW(win_setMouseCallback("se_cam", record_mouse, nullptr), cv::Exception);
    EXPECT_THROW(win_destroyWindow("se_cam"), cv::Exception); // no window at all
    win_namedWindow("se_cam", cv::WINDOW_AUTOSIZE);
    EXPECT_NO_THROW(win_destroyWindow("zoom")); // unknown name, but a window exists
    win_destroyWindow("se_cam");
    EXPECT_THROW(win_setMouseCallback("se_cam", record_mouse, nullptr), cv::Exception);
}

TEST_F(WindowScriptTest, RecordsWindowsAndCopiesImages)
{
    win_namedWindow("se_cam", cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
    cv::Mat frame(4, 6, CV_8UC3, cv::Scalar(1, 2, 3));
    win_imshow("se_cam", frame);
    frame.setTo(cv::Scalar(9, 9, 9)); // the record keeps what was shown
    win_imshow("zoom", cv::Mat(2, 2, CV_16UC1, cv::Scalar(500)));
    win_destroyWindow("zoom");

    const auto &changes = script().changes();
    ASSERT_EQ(3u, changes.size());
    EXPECT_EQ(WindowChange::Created, changes[0].kind);
    EXPECT_EQ(cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL, changes[0].flags);
    EXPECT_EQ("zoom", changes[1].window);
    EXPECT_EQ(cv::WINDOW_AUTOSIZE, changes[1].flags);
    EXPECT_EQ(WindowChange::Destroyed, changes[2].kind);
    EXPECT_TRUE(script().is_open("se_cam"));
    EXPECT_FALSE(script().is_open("zoom"));

    const auto *shown = script().last_shown("se_cam");
    ASSERT_NE(nullptr, shown);
    EXPECT_EQ(cv::Size(6, 4), shown->size);
    EXPECT_EQ(CV_8UC3, shown->type);
    EXPECT_EQ(cv::Vec3b(1, 2, 3), shown->image.at<cv::Vec3b>(3, 5));
    EXPECT_EQ(CV_16UC1, script().last_shown("zoom")->type);
}

TEST_F(WindowScriptTest, KeepLastImageOnlyStillCountsShows)
{
    script().keep_last_image_only(true);
    for (int value = 1; value <= 3; ++value) {
        win_imshow("se_cam", cv::Mat(1, 1, CV_8UC1, cv::Scalar(value)));
        win_imshow("zoom", cv::Mat(1, 1, CV_8UC1, cv::Scalar(10 * value)));
    }
    EXPECT_EQ(2u, script().shown().size());
    EXPECT_EQ(3, script().shows("se_cam"));
    EXPECT_EQ(3, script().last_shown("se_cam")->image.at<uchar>(0, 0));
    EXPECT_EQ(30, script().last_shown("zoom")->image.at<uchar>(0, 0));
    EXPECT_EQ(1, script().created("se_cam"));
}

} // namespace
