// The Sony IMX290 family (IMX290, IMX327, IMX462): the STARVIS register map, as a simulated chip.
#ifndef TOLVA_SIM_SONY_IMX290_H
#define TOLVA_SIM_SONY_IMX290_H

#include "sensor_chip.h"

#include <cstdint>

namespace tolva::sim {

// Register addresses; multi-byte registers keep their low byte first.
namespace imx290 {
constexpr std::uint16_t kStandby = 0x3000;     // bit 0: 1 standby, 0 operating
constexpr std::uint16_t kXmsta = 0x3002;       // bit 0: 1 master mode stopped, 0 started
constexpr std::uint16_t kAdbit = 0x3005;       // bit 0: 1 12-bit conversion
constexpr std::uint16_t kCtrl07 = 0x3007;      // bits 6-4 window mode, bits 1-0 flips
constexpr std::uint16_t kFrSel = 0x3009;       // bits 1-0: 1 full-speed, 2 half-speed readout
constexpr std::uint16_t kVmax = 0x3018;        // 3 bytes (18 bits): lines a frame
constexpr std::uint16_t kHmax = 0x301C;        // 2 bytes: line length in 148.5 MHz clocks
constexpr std::uint16_t kShs1 = 0x3020;        // 3 bytes: line the shutter starts at
constexpr std::uint16_t kOutCtrl = 0x3046;     // bit 0 (ODBIT): 1 12-bit output
constexpr std::uint16_t kIncksel3 = 0x305E;    // input clock multiplier of the 1188 MHz PLL
constexpr std::uint16_t kPgCtrl = 0x308C;      // bit 0 generator on, bits 7-4 its pattern
constexpr std::uint16_t kPhyLaneNum = 0x3407;  // lanes - 1
constexpr std::uint16_t kYOutSize = 0x3418;    // 2 bytes
constexpr std::uint16_t kCsiDtFmt = 0x3441;    // 2 bytes: 0x0A0A RAW10, 0x0C0C RAW12
constexpr std::uint16_t kCsiLaneMode = 0x3443; // lanes - 1
constexpr std::uint16_t kExtckFreq = 0x3444;   // 2 bytes: input clock in MHz x 256
constexpr std::uint16_t kXOutSize = 0x3472;    // 2 bytes

// The modules carry 37.125 or 74.25 MHz; 37.125 MHz is the Raspberry Pi overlay's default.
constexpr double kInck37MHz = 37.125e6;
} // namespace imx290

// What the registers make an IMX290-family chip send, its input clock being `inck_hz`:
// streaming once out of standby with master mode started; RAW10 or RAW12 when the CSI-2 data
// type and the output depth agree; 2 or 4 lanes when both lane registers say the same; the
// 1080p or 720p window when the output size registers match it; the frame interval VMAX x HMAX
// at 148.5 MHz, given the PLL runs at 1188 MHz (INCK x INCKSEL3) and the timing is no faster
// than the window's readout allows. The generator's vertical colour bars are drawn as colour
// bars; its other patterns are not drawn (the scene is sent).
StreamSettings decode_imx290(const RegisterFile &registers, double inck_hz);

// The IMX290, IMX327 and IMX462 share this model: where the kernel driver tells them apart
// (undocumented tuning registers, 30 against 29.4 dB of analogue gain) no frame differs.
class Imx290Chip : public SensorChip {
public:
    explicit Imx290Chip(double inck_hz = imx290::kInck37MHz);

private:
    StreamSettings decode(const RegisterFile &registers) const override;

    double inck_hz_;
};

} // namespace tolva::sim

#endif
