// Init files for the simulated CCS sensor.
#include "sensor_init.h"

#include <cmath>
#include <cstdio>
#include <sstream>

namespace tolva::test {

namespace {

// The PLL below (24 MHz in, 840 MHz out) and the line length in pixel clocks give the frame
// rate: 840 MHz / 12740 / lines.
constexpr double kPixelRate = 840e6;
constexpr int kLineLength = 0x31C4;
const char *const kPll = "0x0136 0x1800 w\n0x0304 0x0004 w\n0x0306 0x015E w\n"
                         "0x0302 0x0002 w\n0x0300 0x0005 w\n";

std::string register16(int address, int value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%04X 0x%04X w\n", address, value);
    return text;
}

} // namespace

int SensorInit::line_bytes() const
{
    return bits == 12 ? (width + 1) / 2 * 3 : (width + 3) / 4 * 5;
}

std::string SensorInit::text() const
{
    std::ostringstream f;
    if (settings.empty())
        f << "I2C_ADDRESS 0x10\nWIDTH " << width << "\nHEIGHT " << height << "\nBUFSIZ "
          << (bufsiz ? bufsiz : frame_bytes()) << "\nDATA_LANES " << lanes << "\nRAWBIT " << bits
          << "\n";
    else
        f << settings;
    f << "0x0100 0x00\n"
      << kPll << register16(0x0112, bits == 12 ? 0x0C0C : 0x0A0A) << "0x0114 0x01\n"
      << register16(0x034C, width) << register16(0x034E, height) << register16(0x0342, kLineLength)
      << register16(0x0340, static_cast<int>(std::lround(kPixelRate / kLineLength / fps)));
    if (solid >= 0) {
        f << register16(0x0600, 0x0001);
        for (int reg : {0x0602, 0x0604, 0x0606, 0x0608})
            f << register16(reg, solid);
    }
    if (counter)
        f << register16(0x0600, 0x0101);
    if (streaming)
        f << "0x0100 0x01\n";
    return f.str();
}

} // namespace tolva::test
