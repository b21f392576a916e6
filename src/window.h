// The windows, keys and mouse: the one way the driver and the zoom viewer reach OpenCV highgui.
// The program links window.cpp (highgui); tests link a scripted stand-in that returns keys and
// delivers mouse events per call and records what was shown.
#ifndef TOLVA_WINDOW_H
#define TOLVA_WINDOW_H

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>

#include <string>

void win_namedWindow(const std::string &name, int flags);
void win_imshow(const std::string &name, const cv::Mat &image);
int win_waitKey(int delay_ms);
void win_destroyWindow(const std::string &name);
void win_setMouseCallback(const std::string &name, cv::MouseCallback callback, void *userdata);

#endif
