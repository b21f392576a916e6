// Live display: the live window's picture in buffers made once (reduced by 4, and by 2 on even
// sizes, straight from the frame buffer), and the full-size demosaiced picture, or a region of it,
// when one is wanted.
//
// Every picture equals what convertTo(CV_8U, 0.08) (16-bit samples only), cvtColor (the
// frame's Bayer order: COLOR_BayerBG2BGR for RGGB) and resize(1 / div, INTER_LINEAR) make of
// the frame.
#ifndef TOLVA_DISPLAY_H
#define TOLVA_DISPLAY_H

#include <opencv2/core.hpp>

// Sets up the unit for frames of `width` x `height` samples of `depth` (CV_16U or CV_8U) in the
// Bayer order `bayer` (a BAYER_* value) shown reduced by `div` (1, 2 or 4). Buffers are made
// here, once. Returns 0, or -1 for a bad geometry.
int display_init(int width, int height, int depth, int div, int bayer);
// The live window's picture of `frame`, in a buffer of the unit that the next call overwrites.
int display_view(const void *frame, cv::Mat &view);
// The same, with beside(context) run once meanwhile on one of OpenCV's threads, which share out
// the view's work when it is done (before the view, on the calling thread, where the view is
// made by OpenCV's own chain). It has ended when this returns; it must not touch the unit.
int display_view_beside(const void *frame, cv::Mat &view, void (*beside)(void *), void *context);
// The full-size demosaiced picture of `frame`.
int display_full(const void *frame, cv::Mat &full);
// The demosaiced picture of `region` (full-frame pixels, inside the frame, not empty) of `frame`:
// its pixels equal the full picture's there. Returns -1 when the region is outside the frame.
int display_region(const void *frame, cv::Rect region, cv::Mat &picture);

// The row kernels the view by 2 and by 4 takes: "avx2", "ssse3", "sse2", "neon" or "plain"
// (pixel by pixel). display_force_plain(1) makes the next display_init take the plain path (tests
// compare the two).
const char *display_path();
void display_force_plain(int plain);

#endif
