// The window seam on OpenCV highgui: what the program links.
#include "window.h"

void win_namedWindow(const std::string &name, int flags) { cv::namedWindow(name, flags); }

void win_imshow(const std::string &name, const cv::Mat &image) { cv::imshow(name, image); }

int win_waitKey(int delay_ms) { return cv::waitKey(delay_ms); }

void win_destroyWindow(const std::string &name) { cv::destroyWindow(name); }

void win_setMouseCallback(const std::string &name, cv::MouseCallback callback, void *userdata)
{
    cv::setMouseCallback(name, callback, userdata);
}

void win_moveWindow(const std::string &name, int x, int y) { cv::moveWindow(name, x, y); }

cv::Rect win_getWindowImageRect(const std::string &name) { return cv::getWindowImageRect(name); }
