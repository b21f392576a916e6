// Tests of the zoom viewer through the scripted window seam: mouse events, region, drawing.
#include "output_capture.h"
#include "zoom.h"
#include "zoom_testing.h"

#include "window.h"
#include "window_script.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <string>
#include <vector>

using tolva::test::MouseEvent;
using tolva::test::WindowScript;

namespace {

constexpr float kMagnify = 2.0f; // what the live loop passes
const char kLive[] = "se_cam";
const cv::Vec3b kGrey(128, 128, 128);
const cv::Vec3b kGreen(0, 255, 0);
const cv::Vec3b kRed(0, 0, 255);

MouseEvent press(int x, int y) { return {kLive, cv::EVENT_LBUTTONDOWN, x, y}; }
MouseEvent move(int x, int y) { return {kLive, cv::EVENT_MOUSEMOVE, x, y}; }
MouseEvent release(int x, int y) { return {kLive, cv::EVENT_LBUTTONUP, x, y}; }
MouseEvent right(int x, int y) { return {kLive, cv::EVENT_RBUTTONDOWN, x, y}; }

class ZoomTest : public testing::Test {
protected:
    void SetUp() override
    {
        script().reset();
        zoom_reset();
        win_namedWindow(kLive, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
    }

    static WindowScript &script() { return WindowScript::get(); }

    // A live loop on a grey frame of the given size, shown at `rate`.
    void start(cv::Size frame, float rate)
    {
        src = cv::Mat(frame, CV_8UC3, cv::Scalar(kGrey));
        view_size = cv::Size(cvRound(frame.width * rate), cvRound(frame.height * rate));
        ASSERT_EQ(0, zoom_setMouseCallback(kLive, rate));
        show();
    }

    // One pass of the live loop: draw into a fresh view, then wait for a key with `events`.
    void show()
    {
        view = cv::Mat(view_size, CV_8UC3, cv::Scalar(kGrey));
        zoom_imshow(src, view, kMagnify);
    }
    void pass(std::vector<MouseEvent> events)
    {
        script().add({-1, std::move(events)});
        win_waitKey(1);
        show();
    }
    // A complete drag; moves at the start and on the way.
    void drag(cv::Point a, cv::Point b)
    {
        pass({press(a.x, a.y), move(b.x, b.y), release(b.x, b.y)});
    }

    static int mode() { return zoom_state().ZoomMode; }
    static cv::Rect region() { return {zoom_state().from, zoom_state().zSize}; }
    const cv::Mat *zoom_image() const
    {
        const auto *shown = script().last_shown("zoom");
        return shown ? &shown->image : nullptr;
    }

    cv::Mat src, view;
    cv::Size view_size;
};

// ---- The state table ----

TEST_F(ZoomTest, IdleLeftPressStartsASelection)
{
    start({1000, 800}, 0.5f);
    pass({press(30, 40)});
    const ZoomState s = zoom_state();
    EXPECT_EQ(1, s.ZoomMode);
    EXPECT_EQ(0, s.ZoomModeOld);
    EXPECT_EQ(cv::Point(30, 40), s.mfrom);
    EXPECT_EQ(cv::Point(30, 40), s.mto);
    EXPECT_EQ(0.5f, s.reductionRate);
}

TEST_F(ZoomTest, SelectionFromIdleAcceptedZoomsOnTheNextFrame)
{
    start({1000, 800}, 0.5f);
    pass({press(10, 20), move(40, 30)});
    EXPECT_FALSE(script().is_open("zoom"));
    script().add({-1, {release(60, 45)}});
    win_waitKey(1);
    const ZoomState s = zoom_state();
    EXPECT_EQ(2, s.ZoomMode);
    EXPECT_EQ(1, s.ZoomModeOld);
    EXPECT_EQ(cv::Point(10, 20), s.rfrom);
    EXPECT_EQ(cv::Point(60, 45), s.rto);
    EXPECT_FALSE(script().is_open("zoom")); // made by the frame, not by the mouse
    show();
    EXPECT_TRUE(script().is_open("zoom"));
    show();
    EXPECT_EQ(2, script().shows("zoom")); // refreshed on every frame
}

TEST_F(ZoomTest, ReleaseOnThePressColumnOrRowReturnsToTheModeBefore)
{
    start({1000, 800}, 0.5f);
    for (cv::Point end : {cv::Point(10, 20), cv::Point(10, 90), cv::Point(70, 20)}) {
        pass({press(10, 20), move(50, 50), release(end.x, end.y)});
        EXPECT_EQ(0, mode()) << end;
    }
    drag({10, 20}, {60, 60});
    const cv::Rect zoomed = region();
    for (cv::Point end : {cv::Point(100, 100), cv::Point(100, 200), cv::Point(150, 100)}) {
        pass({press(100, 100), move(200, 180), release(end.x, end.y)});
        EXPECT_EQ(2, mode()) << end;
        EXPECT_EQ(zoomed, region()) << "the previous region is kept";
    }
    EXPECT_EQ(0, script().destroyed("zoom")); // kept and refreshed again
    EXPECT_EQ(cv::Size(100, 80) * 2, zoom_image()->size());
}

TEST_F(ZoomTest, NewSelectionWhileZoomedRemakesTheWindow)
{
    start({1000, 800}, 0.5f);
    drag({10, 20}, {60, 45});
    pass({press(100, 100)});
    const int shows = script().shows("zoom");
    show();
    EXPECT_EQ(shows, script().shows("zoom")) << "not refreshed while selecting";
    EXPECT_TRUE(script().is_open("zoom"));
    pass({move(130, 110), release(130, 110)});
    EXPECT_EQ(1, script().destroyed("zoom"));
    EXPECT_EQ(2, script().created("zoom"));
    EXPECT_EQ(cv::Size(30, 10) * 2 * 2, zoom_image()->size()); // view, frame, magnified
}

TEST_F(ZoomTest, RightPressWhileZoomedClosesTheWindowAndTheRectangle)
{
    start({1000, 800}, 0.5f);
    drag({10, 20}, {60, 45});
    EXPECT_EQ(kGreen, view.at<cv::Vec3b>(20, 30));
    pass({right(5, 5)});
    EXPECT_EQ(0, mode());
    EXPECT_EQ(0, zoom_state().ZoomModeOld);
    EXPECT_FALSE(script().is_open("zoom"));
    EXPECT_EQ(1, script().destroyed("zoom"));
    EXPECT_EQ(0, cv::norm(view, cv::Mat(view.size(), CV_8UC3, cv::Scalar(kGrey)), cv::NORM_INF));
}

TEST_F(ZoomTest, RightPressWhenIdleOrSelectingEndsInIdle)
{
    start({1000, 800}, 0.5f);
    pass({right(5, 5)});
    EXPECT_EQ(0, mode());
    pass({press(10, 10), move(20, 20), right(20, 20)});
    EXPECT_EQ(0, mode());
    pass({release(40, 40)}); // the release of an ended selection is ignored
    EXPECT_EQ(0, mode());
    EXPECT_TRUE(script().changes().size() == 1) << "only se_cam was ever made";
}

TEST_F(ZoomTest, RightPressDuringASelectionStartedZoomedClosesTheWindow)
{
    start({1000, 800}, 0.5f);
    drag({10, 20}, {60, 45});
    pass({press(100, 100), right(100, 100)});
    EXPECT_EQ(0, mode());
    EXPECT_FALSE(script().is_open("zoom")) << "no stale zoom window is left behind";
}

TEST_F(ZoomTest, MovesAndReleasesOutsideASelectionAreIgnored)
{
    start({1000, 800}, 0.5f);
    pass({move(30, 30), release(40, 40)});
    EXPECT_EQ(0, mode());
    EXPECT_EQ(cv::Rect(), region());
    drag({10, 20}, {60, 45});
    const ZoomState before = zoom_state();
    pass({move(300, 300), release(200, 200), {kLive, cv::EVENT_MBUTTONDOWN, 1, 1}});
    const ZoomState after = zoom_state();
    EXPECT_EQ(2, after.ZoomMode);
    EXPECT_EQ(before.mto, after.mto);
    EXPECT_EQ(before.rto, after.rto);
    EXPECT_EQ(region(), cv::Rect(before.from, before.zSize));
}

// ---- The region ----

TEST_F(ZoomTest, DragPastTheEdgeEndsAtTheEdge)
{
    start({1000, 800}, 0.5f);
    ASSERT_EQ(cv::Size(500, 400), zoom_state().dSize);
    pass({press(100, 50), move(900, 700)});
    const ZoomState s = zoom_state();
    EXPECT_EQ(cv::Point(500, 400), s.mto);
    EXPECT_EQ(cv::Point(200, 100), s.from);
    EXPECT_EQ(cv::Point(1000, 800), s.to);
    EXPECT_EQ(cv::Size(800, 700), s.zSize);
    pass({move(-20, -30)});
    EXPECT_EQ(cv::Point(0, 0), zoom_state().mto);
    EXPECT_EQ(cv::Rect(0, 0, 200, 100), region());
}

TEST_F(ZoomTest, RegionIsClampedToAFrameThatIsNotAMultipleOfTheScale)
{
    start({999, 799}, 0.5f); // a view of 500 x 400 reaches 1000 x 800 frame pixels
    drag({100, 50}, {600, 500});
    ASSERT_NE(nullptr, zoom_image());
    EXPECT_EQ(cv::Size(799, 699) * 2, zoom_image()->size());
}

class ZoomDirection : public ZoomTest, public testing::WithParamInterface<int> {};

TEST_P(ZoomDirection, AnyDragDirectionGivesTheSameRegion)
{
    const cv::Point a(40, 30), b(90, 70);
    const cv::Point corners[4][2] = {
        {a, b}, {b, a}, {{a.x, b.y}, {b.x, a.y}}, {{b.x, a.y}, {a.x, b.y}}};
    start({1000, 800}, 0.5f);
    drag(corners[GetParam()][0], corners[GetParam()][1]);
    EXPECT_EQ(cv::Rect(80, 60, 100, 80), region());
}

INSTANTIATE_TEST_SUITE_P(RightDownLeftUpLeftDownRightUp, ZoomDirection, testing::Range(0, 4));

TEST_F(ZoomTest, RegionScalesWithTheRate)
{
    struct Case {
        float rate;
        cv::Rect want;
    };
    for (Case c : {Case{1.0f, {40, 30, 50, 40}}, Case{0.5f, {80, 60, 100, 80}},
                   Case{0.25f, {160, 120, 200, 160}}}) {
        zoom_reset();
        start({1000, 800}, c.rate);
        drag({40, 30}, {90, 70});
        EXPECT_EQ(c.want, region()) << "rate " << c.rate;
    }
}

TEST_F(ZoomTest, ReleaseWithoutAMoveUsesTheReleasePoint)
{
    start({1000, 800}, 1.0f);
    pass({press(10, 10), release(60, 40)});
    EXPECT_EQ(2, mode());
    EXPECT_EQ(cv::Rect(10, 10, 50, 30), region());
}

TEST_F(ZoomTest, SelectionLeavingNothingKeepsThePreviousRegion)
{
    start({1000, 800}, 1.0f);
    drag({10, 10}, {60, 40});
    // Pressed on the right edge, released beyond it: clamped to the edge, no width.
    pass({press(1000, 100), move(1100, 200), release(1100, 200)});
    EXPECT_EQ(2, mode());
    EXPECT_EQ(cv::Rect(10, 10, 50, 30), region());
}

// ---- What is shown ----

TEST_F(ZoomTest, RegionIsMagnifiedFromTheFrameWithoutTheRectangle)
{
    start({1000, 800}, 0.5f);
    src(cv::Rect(200, 100, 100, 50)).setTo(cv::Scalar(10, 20, 30));
    drag({100, 50}, {150, 75});
    ASSERT_EQ(cv::Rect(200, 100, 100, 50), region());
    ASSERT_NE(nullptr, zoom_image());
    EXPECT_EQ(cv::Size(200, 100), zoom_image()->size());
    EXPECT_EQ(CV_8UC3, zoom_image()->type());
    cv::Mat expected(100, 200, CV_8UC3, cv::Scalar(10, 20, 30));
    EXPECT_EQ(0, cv::norm(*zoom_image(), expected, cv::NORM_INF));
}

TEST_F(ZoomTest, RectangleRedWhileDraggingGreenWhileZoomedWithABlackEdge)
{
    start({1000, 800}, 0.5f);
    pass({press(100, 50), move(200, 120)});
    EXPECT_EQ(kRed, view.at<cv::Vec3b>(50, 150));
    EXPECT_EQ(kRed, view.at<cv::Vec3b>(85, 200));
    EXPECT_EQ(kGrey, view.at<cv::Vec3b>(85, 150)); // inside
    pass({release(200, 120)});
    EXPECT_EQ(kGreen, view.at<cv::Vec3b>(120, 150));
    EXPECT_EQ(kGrey, view.at<cv::Vec3b>(85, 150));
    // Two rows outside the coloured line lies the black edge: no grey left in it.
    EXPECT_LT(view.at<cv::Vec3b>(48, 150)[0], 20);
    EXPECT_LT(view.at<cv::Vec3b>(48, 150)[2], 20);
    EXPECT_EQ(kGrey, view.at<cv::Vec3b>(40, 150));
}

TEST_F(ZoomTest, NothingIsDrawnWhenIdle)
{
    start({1000, 800}, 0.5f);
    pass({});
    EXPECT_EQ(0, cv::norm(view, cv::Mat(view.size(), CV_8UC3, cv::Scalar(kGrey)), cv::NORM_INF));
    EXPECT_EQ(0, script().shows("zoom"));
}

// ---- Failures stay inside the unit ----

TEST_F(ZoomTest, OpenCvErrorIsReportedOnceAndEndsTheZoom)
{
    start({1000, 800}, 0.5f);
    drag({10, 20}, {60, 45});
    tolva::test::capture_stderr();
    EXPECT_NO_THROW(zoom_imshow(src, view, 0.0f)); // no magnification: resize refuses it
    EXPECT_NO_THROW(zoom_imshow(src, view, 0.0f));
    const std::string err = tolva::test::captured_stderr();
    EXPECT_EQ(0, err.rfind("tolvacapture: zoom: showing the region failed: ", 0)) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    EXPECT_EQ(0, mode());
    EXPECT_FALSE(script().is_open("zoom"));
}

TEST_F(ZoomTest, MouseOnAMissingWindowIsRefusedWithAMessage)
{
    tolva::test::capture_stderr();
    EXPECT_EQ(-1, zoom_setMouseCallback("no such window", 0.5f));
    const std::string err = tolva::test::captured_stderr();
    EXPECT_EQ(0, err.rfind("tolvacapture: zoom: no mouse on window \"no such window\": ", 0))
        << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
}

} // namespace
