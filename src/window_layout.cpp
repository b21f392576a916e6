// Where the program's windows open: with the live window's plain frame, beside it.
#include "window_layout.h"

#include "window.h"

namespace {

constexpr int kWindowGap = 8; // pixels between a window's picture and the next window's frame

} // namespace

void open_beside(const std::string &name, const std::string &anchor, WindowPlace place)
{
    win_namedWindow(name, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
    const cv::Rect at = win_getWindowImageRect(anchor);
    if (at.empty())
        return;
    const int right = at.x + at.width + kWindowGap;
    const int below = at.y + at.height + kWindowGap;
    switch (place) {
    case PLACE_RIGHT:
        win_moveWindow(name, right, at.y);
        break;
    case PLACE_BELOW:
        win_moveWindow(name, at.x, below);
        break;
    case PLACE_BELOW_RIGHT:
        win_moveWindow(name, right, below);
        break;
    }
}
