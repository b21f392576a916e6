// Models of the Sony IMX219, IMX477 and IMX708: CCS-style register maps, each with its own
// places for the frame registers and its own pixel clock.
#ifndef TOLVA_SIM_IMX_CHIPS_H
#define TOLVA_SIM_IMX_CHIPS_H

#include "sensor_chip.h"

#include <cstdint>

namespace tolva::sim {

// Where one chip keeps what decides its stream. They share mode_select 0x0100,
// csi_lane_mode 0x0114 (lanes - 1), the video timing dividers 0x0301 (pixel) and 0x0303
// (system), test_pattern_mode 0x0600 and the solid colour at 0x0602-0x0608; 16-bit registers
// are big-endian.
struct ImxRegisterMap {
    std::uint16_t chip_id;       // 16-bit, read-only
    std::uint16_t data_format;   // 16-bit: the depth in both bytes (0x0A0A RAW10)
    std::uint16_t x_output_size; // 16-bit each
    std::uint16_t y_output_size;
    std::uint16_t frame_length;        // lines
    std::uint16_t line_length;         // pixel clocks
    std::uint16_t extclk_mhz;          // 16-bit, MHz in 8.8 fixed point
    std::uint16_t pre_pll_div;         // 8-bit
    std::uint16_t pll_multiplier;      // 16-bit
    double pixels_per_clock;           // pixels the array reads per video timing pixel clock
    std::uint16_t long_exposure_shift; // 8-bit: frame length x 2^shift; 0 when the chip has none
    bool depth_in_op_divider;          // the output pixel clock divider 0x0309 must be the depth
    std::uint16_t orientation;         // 8-bit: bit 0 mirror, bit 1 flip (CCS's meaning)
};

extern const ImxRegisterMap kImx219Map;
extern const ImxRegisterMap kImx477Map;
extern const ImxRegisterMap kImx708Map;

// A chip streams while mode_select is 1, at the size of its output size registers, in RAW10 or
// RAW12 when both bytes of its data format (and the output pixel clock divider, where the chip
// needs it so) agree on the depth, every
// frame_length x line_length pixel clocks at EXTCLK / pre_pll_div x pll_multiplier /
// (pixel divider x system divider) x pixels_per_clock.
class ImxChip : public SensorChip {
public:
    ImxChip(const ImxRegisterMap &map, std::uint16_t id);

private:
    StreamSettings decode(const RegisterFile &registers) const override;
    int bits(const RegisterFile &registers) const;
    double pixel_rate(const RegisterFile &registers) const;
    double frame_length(const RegisterFile &registers) const;

    const ImxRegisterMap &map_;
};

} // namespace tolva::sim

#endif
