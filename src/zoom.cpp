// Zoom viewer: a rectangle dragged on the live view, its full-resolution region magnified.
#include "zoom.h"
#include "zoom_testing.h"

#include "window.h"
#include "window_layout.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <string>

[[gnu::used]] static const char __PROGRAM_VERSION__[] =
    "@(#)zoom Ver. 1.0000 (2026/12/08 17:20:00)";

namespace {

enum { ZOOM_IDLE = 0, ZOOM_SELECTING = 1, ZOOM_ZOOMED = 2 };

const char kZoomWindow[] = "zoom";
const cv::Scalar kEdgeColour(0, 0, 0, 0);
const cv::Scalar kZoomedColour(0, 255, 0, 0);    // green: the region shown
const cv::Scalar kSelectingColour(0, 0, 255, 0); // red: being dragged
constexpr int kEdgeThickness = 4;                // black under the colour, so it shows on any sky
constexpr int kColourThickness = 2;
constexpr int kLineType = 10; // as the viewer has always drawn: blended edges, not LINE_8

// Shared by the mouse handler (run inside waitKey) and zoom_imshow, both on the main thread.
int ZoomMode = ZOOM_IDLE;
int ZoomModeOld = ZOOM_IDLE; // the mode to return to when a selection is abandoned
float reductionRate = 1.0f;
cv::Point mfrom, mto;  // press point and pointer, live-view pixels
cv::Point rfrom, rto;  // the accepted selection, live-view pixels
cv::Point from, to;    // the region, full-frame pixels
cv::Size zSize, dSize; // the region's extent; the live view's size
// The region before the current selection began: an abandoned selection gets it back.
cv::Point prevFrom, prevTo;
cv::Size prevSize;
bool ZoomWindowOpen = false;
std::string LiveWindow; // the window the rectangle is dragged on; "zoom" opens beside it

// OpenCV's text of the error, without the line break it ends with.
std::string one_line(const cv::Exception &e)
{
    std::string text = e.what();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

void report(const char *what, const cv::Exception &e)
{
    std::fprintf(stderr, "tolvacapture: zoom: %s failed: %s\n", what, one_line(e).c_str());
}

void close_zoom_window()
{
    if (!ZoomWindowOpen) {
        return;
    }
    ZoomWindowOpen = false;
    try {
        win_destroyWindow(kZoomWindow);
    } catch (const cv::Exception &e) {
        report("closing the window", e);
    }
}

// View pixels per full-frame pixel, inverted and truncated: 1, 2 or 4 for the rates in use.
int frame_per_view_pixel()
{
    const int k = reductionRate > 0.0f ? static_cast<int>(1.0 / reductionRate) : 1;
    return k < 1 ? 1 : k; // a view larger than the frame still maps onto it
}

// Orders the press and pointer coordinates along one axis into [low, high].
void order(int a, int b, int &low, int &high)
{
    low = b < a ? b : a;
    high = b < a ? a : b;
}

void update_selection(int x, int y)
{
    // The view's width and height themselves are allowed: a drag to the edge ends on it.
    mto = cv::Point(std::clamp(x, 0, dSize.width), std::clamp(y, 0, dSize.height));
    order(mfrom.x, mto.x, from.x, to.x);
    order(mfrom.y, mto.y, from.y, to.y);
    const int k = frame_per_view_pixel();
    from *= k;
    to *= k;
    zSize = cv::Size(to.x - from.x, to.y - from.y);
}

void begin_selection(int x, int y)
{
    prevFrom = from;
    prevTo = to;
    prevSize = zSize;
    mfrom = mto = cv::Point(x, y);
    ZoomModeOld = ZoomMode;
    ZoomMode = ZOOM_SELECTING;
}

void end_selection(int x, int y)
{
    // The release is the last pointer position, whether or not a move reported it.
    update_selection(x, y);
    const bool on_press_line = x == mfrom.x || y == mfrom.y;
    if (on_press_line || zSize.empty()) {
        from = prevFrom;
        to = prevTo;
        zSize = prevSize;
        ZoomMode = ZoomModeOld;
        return;
    }
    rfrom = mfrom;
    rto = mto;
    if (ZoomModeOld == ZOOM_ZOOMED) {
        close_zoom_window(); // made again for the new region's size
    }
    ZoomModeOld = ZOOM_SELECTING;
    ZoomMode = ZOOM_ZOOMED;
}

void end_zoom()
{
    close_zoom_window();
    ZoomModeOld = ZOOM_IDLE;
    ZoomMode = ZOOM_IDLE;
}

// Clamped to the frame: a view rounded from the frame can reach past it by k - 1 pixels.
bool region_in(cv::Size frame, cv::Rect &region)
{
    region = cv::Rect(from, zSize) & cv::Rect(cv::Point(0, 0), frame);
    return ZoomMode == ZOOM_ZOOMED && !region.empty();
}

void show_region(const cv::Mat &regionMat, float Rate)
{
    if (regionMat.empty()) {
        return;
    }
    cv::Mat zoomed;
    cv::resize(regionMat, zoomed, cv::Size(), Rate, Rate, cv::INTER_LINEAR);
    if (!ZoomWindowOpen)
        open_beside(kZoomWindow, LiveWindow, PLACE_RIGHT);
    win_imshow(kZoomWindow, zoomed);
    ZoomWindowOpen = true;
}

void draw_selection(cv::Mat &dspMat, cv::Point a, cv::Point b, const cv::Scalar &colour)
{
    cv::rectangle(dspMat, a, b, kEdgeColour, kEdgeThickness, kLineType, 0);
    cv::rectangle(dspMat, a, b, colour, kColourThickness, kLineType, 0);
}

} // namespace

int zoom_setMouseCallback(const char *title, float rate)
{
    reductionRate = rate;
    LiveWindow = title;
    try {
        win_setMouseCallback(title, zoom_mouse_callback, &reductionRate);
    } catch (const cv::Exception &e) {
        std::fprintf(stderr, "tolvacapture: zoom: no mouse on window \"%s\": %s\n", title,
                     one_line(e).c_str());
        return -1;
    }
    return 0;
}

void zoom_mouse_callback(int event, int x, int y, int, void *)
{
    switch (event) {
    case cv::EVENT_RBUTTONDOWN:
        end_zoom();
        break;
    case cv::EVENT_LBUTTONDOWN:
        begin_selection(x, y);
        break;
    case cv::EVENT_MOUSEMOVE:
        if (ZoomMode == ZOOM_SELECTING) {
            update_selection(x, y);
        }
        break;
    case cv::EVENT_LBUTTONUP:
        if (ZoomMode == ZOOM_SELECTING) {
            end_selection(x, y);
        }
        break;
    default:
        break;
    }
}

void zoom_imshow(cv::Mat srcMat, cv::Mat dspMat, float Rate)
{
    cv::Rect region;
    zoom_imshow_region(region_in(srcMat.size(), region) ? srcMat(region) : cv::Mat(), dspMat, Rate);
}

int zoom_region(cv::Size frame, cv::Rect *region) { return region_in(frame, *region) ? 1 : 0; }

void zoom_imshow_region(cv::Mat regionMat, cv::Mat dspMat, float Rate)
{
    try {
        // The region is cut from the frame before the rectangle is drawn into the view.
        if (ZoomMode == ZOOM_ZOOMED) {
            show_region(regionMat, Rate);
            draw_selection(dspMat, rfrom, rto, kZoomedColour);
        } else if (ZoomMode == ZOOM_SELECTING) {
            draw_selection(dspMat, mfrom, mto, kSelectingColour);
        }
    } catch (const cv::Exception &e) {
        report("showing the region", e);
        end_zoom(); // once, not on every frame
    }
    dSize = dspMat.size();
}

ZoomState zoom_state(void)
{
    return {ZoomMode, ZoomModeOld, reductionRate, mfrom, mto, rfrom, rto, from, to, zSize, dSize};
}

void zoom_reset(void)
{
    ZoomMode = ZoomModeOld = ZOOM_IDLE;
    reductionRate = 1.0f;
    mfrom = mto = rfrom = rto = from = to = prevFrom = prevTo = cv::Point();
    zSize = dSize = prevSize = cv::Size();
    ZoomWindowOpen = false;
}
