// Test hooks of the zoom viewer: its state as it stands, and its return to the initial state.
#ifndef TOLVA_ZOOM_TESTING_H
#define TOLVA_ZOOM_TESTING_H

#include <opencv2/core.hpp>

struct ZoomState {
    int ZoomMode;
    int ZoomModeOld;
    float reductionRate;
    cv::Point mfrom, mto, rfrom, rto, from, to;
    cv::Size zSize, dSize;
};
ZoomState zoom_state(void);
void zoom_reset(void);

#endif
