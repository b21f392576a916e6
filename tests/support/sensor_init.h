// Init files for the simulated CCS sensor, written as the shipped sensor files are.
#ifndef TOLVA_TEST_SENSOR_INIT_H
#define TOLVA_TEST_SENSOR_INIT_H

#include <string>

namespace tolva::test {

// A small, fast sensor (64 x 48 RAW12 at 100 frames a second) whose picture the test chooses:
// the night sky, one solid sample value, or the frame counter (every sample of frame f is
// (f + x + y) modulo the samples' range). The sensor sends on 2 lanes, whatever the receiver is
// told.
struct SensorInit {
    int width = 64;
    int height = 48;
    int bits = 12;        // RAW12 or RAW10
    double fps = 100;     // frames a second, from the frame's length in lines
    int lanes = 2;        // the receiver's DATA_LANES
    int bufsiz = 0;       // 0: one frame of packed lines
    int solid = -1;       // >= 0: every sample has this value
    bool counter = false; // the frame counter test pattern
    bool streaming = true;
    std::string settings; // when given, replaces the settings (I2C_ADDRESS to RAWBIT)

    int line_bytes() const;
    int frame_bytes() const { return line_bytes() * height; }
    std::string text() const;
};

} // namespace tolva::test

#endif
