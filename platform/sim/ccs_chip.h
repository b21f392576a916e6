// The simulated CCS sensor: the MIPI CCS registers, a made-up PLL and the model id's pixel rate.
#ifndef TOLVA_SIM_CCS_CHIP_H
#define TOLVA_SIM_CCS_CHIP_H

#include "sensor_chip.h"

#include <cstdint>

namespace tolva::sim {

// CCS register addresses (16-bit, big-endian multi-byte values).
namespace ccs {
constexpr std::uint16_t kModelId = 0x0016;            // 2 bytes, read-only
constexpr std::uint16_t kModeSelect = 0x0100;         // 1 = streaming
constexpr std::uint16_t kImageOrientation = 0x0101;   // bit 0 mirror, bit 1 flip
constexpr std::uint16_t kCsiDataFormat = 0x0112;      // 0x0A0A RAW10, 0x0C0C RAW12
constexpr std::uint16_t kCsiLaneMode = 0x0114;        // lanes - 1
constexpr std::uint16_t kExtclkFrequencyMhz = 0x0136; // 2 bytes, MHz in 8.8 fixed point
constexpr std::uint16_t kVtPixClkDiv = 0x0300;        // 2 bytes each: the video timing PLL
constexpr std::uint16_t kVtSysClkDiv = 0x0302;
constexpr std::uint16_t kPrePllClkDiv = 0x0304;
constexpr std::uint16_t kPllMultiplier = 0x0306;
constexpr std::uint16_t kCoarseIntegrationTime = 0x0202; // 2 bytes, lines
constexpr std::uint16_t kAnalogueGain = 0x0204;          // 2 bytes
constexpr std::uint16_t kFrameLengthLines = 0x0340;      // 2 bytes
constexpr std::uint16_t kLineLengthPck = 0x0342;         // 2 bytes
constexpr std::uint16_t kXOutputSize = 0x034C;           // 2 bytes
constexpr std::uint16_t kYOutputSize = 0x034E;           // 2 bytes
constexpr std::uint16_t kTestPatternMode = 0x0600;       // 2 bytes
constexpr std::uint16_t kTestDataRed = 0x0602;           // 2 bytes each: red, greenR, blue,
constexpr std::uint16_t kTestDataGreenR = 0x0604;        // greenB of the solid-colour pattern
constexpr std::uint16_t kTestDataBlue = 0x0606;
constexpr std::uint16_t kTestDataGreenB = 0x0608;

// The Bayer order (FrameGeometry's) of an RGGB mosaic read out with an image_orientation value:
// the mirror moves it by a column, the flip by a line.
inline int bayer_order(std::uint8_t orientation) { return orientation & 3; }
} // namespace ccs

// A generic CCS sensor: frame size, data format and lanes from the CCS registers; the frame
// interval from frame_length_lines x line_length_pck at the pixel rate of its PLL registers, or
// at the rate its model id stands for when they are unset. Model 0x0397 is monochrome; the
// others' RGGB mosaic comes out in the order image_orientation's mirror and flip make of it.
class CcsChip : public SensorChip {
public:
    explicit CcsChip(std::uint16_t model_id = 0x0477);

private:
    StreamSettings decode(const RegisterFile &registers) const override;
};

// Solid-colour test data at 0x0602, 0x0604, 0x0606, 0x0608 (red, greenR, blue, greenB), as the
// CCS and the IMX sensors that follow it keep them.
std::array<int, 4> ccs_test_data(const RegisterFile &registers);

} // namespace tolva::sim

#endif
