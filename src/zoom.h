// Zoom viewer: a rectangle dragged on the live view, its full-resolution region magnified.
#ifndef TOLVA_ZOOM_H
#define TOLVA_ZOOM_H

#include <opencv2/core.hpp>

// Registers the mouse handler on the live window `title`, whose view is the frame x `rate`.
// Returns 0, or -1 (with a message) when highgui refuses it, e.g. no such window.
int zoom_setMouseCallback(const char *title, float rate);
// The live window's mouse handler: left drag selects, right press ends the zoom.
void zoom_mouse_callback(int event, int x, int y, int flags, void *param);
// Per displayed frame: refreshes the window "zoom" from `srcMat` (BGR, full resolution) magnified
// by `Rate`, and draws the selection into `dspMat` (the live view, shares the caller's pixels).
void zoom_imshow(cv::Mat srcMat, cv::Mat dspMat, float Rate);
// The region to be shown, in full-frame pixels and inside a frame of size `frame`: returns 1 and
// sets *region while a region is zoomed, else 0. For a caller that makes only that picture.
int zoom_region(cv::Size frame, cv::Rect *region);
// zoom_imshow with the region's picture made by the caller: `regionMat` is the picture of the
// rectangle zoom_region gave (empty when it gave none).
void zoom_imshow_region(cv::Mat regionMat, cv::Mat dspMat, float Rate);

#endif
