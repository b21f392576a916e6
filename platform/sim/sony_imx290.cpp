// The IMX290 family's registers decoded into what the chip sends.
#include "sony_imx290.h"

#include <cmath>

namespace tolva::sim {

namespace {

constexpr double kPllHz = 1188e6;            // INCK x INCKSEL3 on every setting the driver has
constexpr double kPixelClockHz = kPllHz / 8; // 148.5 MHz: HMAX counts it
constexpr double kClockTolerance = 1e-3;
constexpr std::uint32_t kVmaxMask = 0x3FFFF;

// A window mode's size and the fastest timing it reads out at full speed (the driver's
// minimum HMAX and VMAX, 60 frames a second).
struct Window {
    int width;
    int height;
    int hmax_min;
    int vmax_min;
};
constexpr Window k1080p{1920, 1080, 2200, 1125};
constexpr Window k720p{1280, 720, 3300, 750};

const Window *window(const RegisterFile &r)
{
    switch (r.reg8(imx290::kCtrl07) >> 4 & 7) {
    case 0:
        return &k1080p;
    case 1:
        return &k720p;
    default:
        return nullptr; // cropping mode: not modelled
    }
}

int data_bits(const RegisterFile &r)
{
    constexpr std::uint16_t kRaw10 = 0x0A0A, kRaw12 = 0x0C0C;
    std::uint16_t data_type = r.reg16le(imx290::kCsiDtFmt);
    bool twelve_bit_output = (r.reg8(imx290::kOutCtrl) & 1) != 0;
    if (data_type == kRaw10 && !twelve_bit_output)
        return 10;
    if (data_type == kRaw12 && twelve_bit_output)
        return 12;
    return 0;
}

// The chip drives 2 or 4 lanes; the PHY and the CSI-2 packer must agree.
int lanes(const RegisterFile &r)
{
    int mode = r.reg8(imx290::kCsiLaneMode);
    if (mode != r.reg8(imx290::kPhyLaneNum) || (mode != 1 && mode != 3))
        return 0;
    return mode + 1;
}

// The PLL locks only at 1188 MHz, and the CSI-2 timing follows EXTCK_FREQ: both must be set
// for the input clock the module really has.
bool clocks_match(const RegisterFile &r, double inck_hz)
{
    constexpr double kFixedPoint = 256, kMega = 1e6;
    double pll = inck_hz * r.reg8(imx290::kIncksel3);
    auto extck = static_cast<std::uint16_t>(std::floor(inck_hz / kMega * kFixedPoint));
    return std::fabs(pll - kPllHz) <= kPllHz * kClockTolerance &&
           r.reg16le(imx290::kExtckFreq) == extck;
}

double interval(const RegisterFile &r, const Window &w, double inck_hz)
{
    int readout = r.reg8(imx290::kFrSel) & 3; // 1 full speed, 2 half speed
    if (readout != 1 && readout != 2)
        return 0;
    int hmax = r.reg16le(imx290::kHmax);
    int vmax = static_cast<int>(r.reg24le(imx290::kVmax) & kVmaxMask);
    if (!clocks_match(r, inck_hz) || hmax < w.hmax_min * readout || vmax < w.vmax_min)
        return 0;
    return frame_interval_s(vmax, hmax, kPixelClockHz);
}

int generator_pattern(const RegisterFile &r)
{
    constexpr int kVerticalColourBars = 3;
    std::uint8_t pg = r.reg8(imx290::kPgCtrl);
    bool on = (pg & 1) != 0;
    return on && (pg >> 4) == kVerticalColourBars ? test_pattern::kColourBars : 0;
}

} // namespace

StreamSettings decode_imx290(const RegisterFile &r, double inck_hz)
{
    StreamSettings s;
    s.streaming = (r.reg8(imx290::kStandby) & 1) == 0 && (r.reg8(imx290::kXmsta) & 1) == 0;
    s.bits = data_bits(r);
    s.lanes = lanes(r);
    const Window *w = window(r);
    if (w && r.reg16le(imx290::kXOutSize) == w->width &&
        r.reg16le(imx290::kYOutSize) == w->height) {
        s.width = w->width;
        s.height = w->height;
        s.frame_interval_s = interval(r, *w, inck_hz);
    }
    s.test_pattern = generator_pattern(r);
    return s;
}

Imx290Chip::Imx290Chip(double inck_hz) : inck_hz_(inck_hz)
{
    // Power-up values as the model assumes them; the driver programs every one of them, and so
    // must an init file: standby, master mode stopped, four lanes, RAW12, the 1080p window at
    // half-speed readout, and no PLL setting (no frames).
    RegisterFile &r = power_up_registers();
    r.put8(imx290::kStandby, 1);
    r.put8(imx290::kXmsta, 1);
    r.put8(imx290::kAdbit, 1);
    r.put8(imx290::kOutCtrl, 1);
    r.put16le(imx290::kCsiDtFmt, 0x0C0C);
    r.put8(imx290::kPhyLaneNum, 3);
    r.put8(imx290::kCsiLaneMode, 3);
    r.put8(imx290::kFrSel, 2);
    r.put16le(imx290::kVmax, 1125);
    r.put16le(imx290::kHmax, 4400);
    r.put16le(imx290::kXOutSize, 1920);
    r.put16le(imx290::kYOutSize, 1080);
}

StreamSettings Imx290Chip::decode(const RegisterFile &registers) const
{
    return decode_imx290(registers, inck_hz_);
}

} // namespace tolva::sim
