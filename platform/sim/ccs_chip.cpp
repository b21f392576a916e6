// The simulated CCS sensor's registers and what they make it send.
#include "ccs_chip.h"

namespace tolva::sim {

namespace {
// Pixels a second the model ids of the simulated sensors' modes stand for when the PLL
// registers are unset; other ids get a generic sensor.
struct CcsModel {
    std::uint16_t id;
    double pixel_rate;
    bool monochrome;
};

const CcsModel &ccs_model(std::uint16_t id)
{
    static const CcsModel kModels[] = {
        {0x0477, 840e6, false},
        {0x0219, 182.4e6, false},
        {0x0290, 148.5e6, false},
        {0x0397, 148.5e6, true},
    };
    static const CcsModel kGeneric{0, 100e6, false};
    for (const CcsModel &model : kModels)
        if (model.id == id)
            return model;
    return kGeneric;
}

// vt_pix_clk = EXTCLK x pll_multiplier / (pre_pll_clk_div x vt_sys_clk_div x vt_pix_clk_div);
// the simulated pixel array reads four pixels per vt_pix_clk cycle.
double pll_pixel_rate(const RegisterFile &r)
{
    constexpr double kPixelsPerClock = 4, kFixedPoint = 256, kMega = 1e6;
    double extclk = r.reg16be(ccs::kExtclkFrequencyMhz) / kFixedPoint * kMega;
    double divisor = static_cast<double>(r.reg16be(ccs::kPrePllClkDiv)) *
                     r.reg16be(ccs::kVtSysClkDiv) * r.reg16be(ccs::kVtPixClkDiv);
    if (divisor == 0)
        return 0;
    return extclk * r.reg16be(ccs::kPllMultiplier) / divisor * kPixelsPerClock;
}
} // namespace

CcsChip::CcsChip(std::uint16_t model_id)
{
    // Power-up values in standby: RAW10 on two lanes, full-size 1920x1080.
    RegisterFile &r = power_up_registers();
    r.put16be(ccs::kModelId, model_id);
    r.put16be(ccs::kCsiDataFormat, 0x0A0A);
    r.put8(ccs::kCsiLaneMode, 1);
    r.put16be(ccs::kFrameLengthLines, 1125);
    r.put16be(ccs::kLineLengthPck, 2200);
    r.put16be(ccs::kXOutputSize, 1920);
    r.put16be(ccs::kYOutputSize, 1080);
    make_read_only(ccs::kModelId);
    make_read_only(ccs::kModelId + 1);
}

std::array<int, 4> ccs_test_data(const RegisterFile &r)
{
    return {r.reg16be(ccs::kTestDataRed), r.reg16be(ccs::kTestDataGreenR),
            r.reg16be(ccs::kTestDataBlue), r.reg16be(ccs::kTestDataGreenB)};
}

StreamSettings CcsChip::decode(const RegisterFile &r) const
{
    constexpr std::uint16_t kRaw10 = 0x0A0A, kRaw12 = 0x0C0C;
    const CcsModel &model = ccs_model(r.reg16be(ccs::kModelId));
    StreamSettings s;
    s.streaming = r.reg8(ccs::kModeSelect) == 1;
    std::uint16_t format = r.reg16be(ccs::kCsiDataFormat);
    s.bits = format == kRaw10 ? 10 : format == kRaw12 ? 12 : 0;
    s.lanes = r.reg8(ccs::kCsiLaneMode) + 1;
    s.width = r.reg16be(ccs::kXOutputSize);
    s.height = r.reg16be(ccs::kYOutputSize);
    double pixel_rate = pll_pixel_rate(r);
    s.frame_interval_s =
        frame_interval_s(r.reg16be(ccs::kFrameLengthLines), r.reg16be(ccs::kLineLengthPck),
                         pixel_rate > 0 ? pixel_rate : model.pixel_rate);
    s.monochrome = model.monochrome;
    s.bayer = ccs::bayer_order(r.reg8(ccs::kImageOrientation));
    s.test_pattern = r.reg16be(ccs::kTestPatternMode);
    s.test_data = ccs_test_data(r);
    return s;
}

} // namespace tolva::sim
