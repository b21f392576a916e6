// The windows, keys and mouse: the one way the driver and the zoom viewer reach OpenCV highgui.
// The program links window.cpp (highgui); tests link a scripted stand-in that returns keys and
// delivers mouse events per call and records what was shown.
//
// What the real back end does (OpenCV's Qt highgui, as on Debian and Raspberry Pi OS): waitKey
// returns letters in lower case whatever Shift says and keeps only the last key pressed between
// two calls; without a display Qt aborts unless QT_QPA_PLATFORM=offscreen is set, where windows
// work and waitKey returns -1. WINDOW_GUI_NORMAL gives a plain window without the right-click menu
// that would swallow the zoom viewer's right click.
#ifndef TOLVA_WINDOW_H
#define TOLVA_WINDOW_H

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>

#include <string>

void win_namedWindow(const std::string &name, int flags);
// Shows `image` in window `name`, creating the window (autosized) when it does not exist.
void win_imshow(const std::string &name, const cv::Mat &image);
// Dispatches the windows' events, mouse callbacks included, and returns the key pressed or -1.
int win_waitKey(int delay_ms);
void win_destroyWindow(const std::string &name);
void win_setMouseCallback(const std::string &name, cv::MouseCallback callback, void *userdata);
void win_moveWindow(const std::string &name, int x, int y);
// The window's picture area on the screen; empty when the window is not open.
cv::Rect win_getWindowImageRect(const std::string &name);

#endif
