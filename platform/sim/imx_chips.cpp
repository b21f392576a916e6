// The IMX219, IMX477 and IMX708 register maps and what they make the chips send.
#include "imx_chips.h"

#include "ccs_chip.h"

namespace tolva::sim {

namespace {
// The low bytes of the CCS video timing and output dividers: these chips take 8-bit dividers.
constexpr std::uint16_t kVtPixClkDiv = 0x0301;
constexpr std::uint16_t kVtSysClkDiv = 0x0303;
constexpr std::uint16_t kOpPixClkDiv = 0x0309;
constexpr int kMaxLongExposureShift = 7;
} // namespace

// IMX219: its frame registers sit in the 0x0160 bank; the VT pixel clock (91.2 MHz at 24 MHz
// EXTCLK) reads two pixels a cycle.
const ImxRegisterMap kImx219Map{0x0000, 0x018C, 0x016C, 0x016E, 0x0160, 0x0162, 0x012A,
                                0x0304, 0x0306, 2.0,    0,      true,   0x0172};
// IMX477: the CCS places; the IVT pixel clock (210 MHz) reads four pixels a cycle, and
// 0x3100 stretches the frame for long exposures.
const ImxRegisterMap kImx477Map{0x0016, 0x0112, 0x034C, 0x034E, 0x0340, 0x0342, 0x0136,
                                0x0305, 0x0306, 4.0,    0x3100, true,   0x0101};
// IMX708: the IMX477's places and clock (148.8 MHz at full size), its output clock set
// elsewhere.
const ImxRegisterMap kImx708Map{0x0016, 0x0112, 0x034C, 0x034E, 0x0340, 0x0342, 0x0136,
                                0x0305, 0x0306, 4.0,    0x3100, false,  0x0101};
ImxChip::ImxChip(const ImxRegisterMap &map, std::uint16_t id) : map_(map)
{
    power_up_registers().put16be(map.chip_id, id);
    make_read_only(map.chip_id);
    make_read_only(static_cast<std::uint16_t>(map.chip_id + 1));
}

int ImxChip::bits(const RegisterFile &r) const
{
    int depth = r.reg8(map_.data_format);
    bool agreed = r.reg8(static_cast<std::uint16_t>(map_.data_format + 1)) == depth &&
                  (!map_.depth_in_op_divider || r.reg8(kOpPixClkDiv) == depth);
    return agreed && (depth == 10 || depth == 12) ? depth : 0;
}

double ImxChip::pixel_rate(const RegisterFile &r) const
{
    constexpr double kFixedPoint = 256, kMega = 1e6;
    double divisor =
        static_cast<double>(r.reg8(map_.pre_pll_div)) * r.reg8(kVtPixClkDiv) * r.reg8(kVtSysClkDiv);
    if (divisor == 0)
        return 0;
    double extclk = r.reg16be(map_.extclk_mhz) / kFixedPoint * kMega;
    return extclk * r.reg16be(map_.pll_multiplier) / divisor * map_.pixels_per_clock;
}

double ImxChip::frame_length(const RegisterFile &r) const
{
    int shift = map_.long_exposure_shift ? r.reg8(map_.long_exposure_shift) : 0;
    double lines = r.reg16be(map_.frame_length);
    return shift <= kMaxLongExposureShift ? lines * (1 << shift) : 0;
}

StreamSettings ImxChip::decode(const RegisterFile &r) const
{
    StreamSettings s;
    s.streaming = r.reg8(ccs::kModeSelect) == 1;
    s.bits = bits(r);
    s.lanes = r.reg8(ccs::kCsiLaneMode) + 1;
    s.width = r.reg16be(map_.x_output_size);
    s.height = r.reg16be(map_.y_output_size);
    s.frame_interval_s =
        frame_interval_s(frame_length(r), r.reg16be(map_.line_length), pixel_rate(r));
    s.bayer = ccs::bayer_order(r.reg8(map_.orientation));
    s.test_pattern = r.reg16be(ccs::kTestPatternMode);
    s.test_data = ccs_test_data(r);
    return s;
}

} // namespace tolva::sim
