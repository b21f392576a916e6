// The Sony IMX296 (the Global Shutter Camera's chip): its register map, as a simulated chip.
#ifndef TOLVA_SIM_SONY_IMX296_H
#define TOLVA_SIM_SONY_IMX296_H

#include "sensor_chip.h"

#include <cstdint>

namespace tolva::sim {

// Register addresses; multi-byte registers keep their low byte first.
namespace imx296 {
constexpr std::uint16_t kCtrl00 = 0x3000;     // bit 0: 1 standby
constexpr std::uint16_t kCsiOutput = 0x3005;  // 0xF0 turns the CSI-2 output on
constexpr std::uint16_t kCtrl0A = 0x300A;     // bit 0 (XMSTA): 1 master mode stopped
constexpr std::uint16_t kCtrl0D = 0x300D;     // bit 5 horizontal binning, bits 1-0 = 2 vertical
constexpr std::uint16_t kVmax = 0x3010;       // 3 bytes (20 bits): lines a frame
constexpr std::uint16_t kHmax = 0x3014;       // 2 bytes: line length in 74.25 MHz clocks
constexpr std::uint16_t kIncksel = 0x3089;    // 4 bytes: the input clock's PLL settings
constexpr std::uint16_t kShs1 = 0x308D;       // 3 bytes: line the shutter opens at
constexpr std::uint16_t kSensorInfo = 0x3148; // 2 bytes, read-only: model 296 in bits 14-6
constexpr std::uint16_t kPgCtrl = 0x3238;     // bit 0 generator on, bit 2 its clock
constexpr std::uint16_t kPgData1 = 0x3244;    // 2 bytes: the generator's first level
constexpr std::uint16_t kRoi = 0x3300;        // bit 0 horizontal, bit 1 vertical crop on
constexpr std::uint16_t kRoiWidth = 0x3314;   // 2 bytes
constexpr std::uint16_t kRoiHeight = 0x3316;  // 2 bytes
constexpr std::uint16_t kCtrl418C = 0x418C;   // a value a input clock

constexpr std::uint16_t kSensorInfoLq = 0x4A00; // colour IMX296LQ
constexpr double kInck54MHz = 54e6;             // the Raspberry Pi camera's oscillator
} // namespace imx296

// What the registers make an IMX296 send, its input clock being `inck_hz` (37.125, 54 or
// 74.25 MHz): streaming once its CSI-2 output is on, out of standby with master mode started;
// always RAW10 on one lane; the whole 1456 x 1088 array, or the crop and binning its window
// registers set; the frame interval VMAX x HMAX at 74.25 MHz, given the PLL settings are the
// ones for `inck_hz` and the timing is no faster than the kernel driver's (HMAX 1100, 30 lines
// of blanking). The pattern generator is drawn as a field of its first level (PGDATA1).
StreamSettings decode_imx296(const RegisterFile &registers, double inck_hz);

class Imx296Chip : public SensorChip {
public:
    explicit Imx296Chip(double inck_hz = imx296::kInck54MHz);

private:
    StreamSettings decode(const RegisterFile &registers) const override;

    double inck_hz_;
};

} // namespace tolva::sim

#endif
