// The IMX296's registers decoded into what the chip sends.
#include "sony_imx296.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace tolva::sim {

namespace {

constexpr int kArrayWidth = 1456;
constexpr int kArrayHeight = 1088;
constexpr double kOperatingClockHz = 74.25e6; // HMAX counts it, whatever the input clock
constexpr int kBggr = 3;                      // the colour chip's filter order (FrameGeometry's)
constexpr int kHmaxMin = 1100;                // the kernel driver's line length
constexpr int kVblankMin = 30;                // and its least vertical blanking
constexpr std::uint32_t kVmaxMask = 0xFFFFF;
constexpr std::uint8_t kCsiOutputOn = 0xF0;
constexpr int kSampleMask = 0x3FF;

// The PLL settings (INCKSEL0 to 3, then 0x418C) the kernel driver has for each input clock.
struct ClockSetting {
    double inck_hz;
    std::array<std::uint8_t, 4> incksel;
    std::uint8_t ctrl418c;
};
constexpr ClockSetting kClockSettings[] = {
    {37.125e6, {0x80, 0x0B, 0x80, 0x08}, 116},
    {54e6, {0xB0, 0x0F, 0xB0, 0x0C}, 168},
    {74.25e6, {0x80, 0x0F, 0x80, 0x0C}, 232},
};

bool clocks_match(const RegisterFile &r, double inck_hz)
{
    constexpr double kTolerance = 1e-3;
    for (const ClockSetting &c : kClockSettings) {
        if (std::fabs(c.inck_hz - inck_hz) > c.inck_hz * kTolerance)
            continue;
        for (std::size_t i = 0; i < c.incksel.size(); ++i)
            if (r.reg8(static_cast<std::uint16_t>(imx296::kIncksel + i)) != c.incksel[i])
                return false;
        return r.reg8(imx296::kCtrl418C) == c.ctrl418c;
    }
    return false;
}

// The crop window when it is on, halved where binning is on; 0 for a crop outside the array.
void frame_size(const RegisterFile &r, StreamSettings &s)
{
    constexpr int kHorizontalBinning = 0x20, kVerticalBinningMask = 3, kVerticalBinning = 2;
    std::uint8_t roi = r.reg8(imx296::kRoi);
    int width = roi & 1 ? r.reg16le(imx296::kRoiWidth) : kArrayWidth;
    int height = roi & 2 ? r.reg16le(imx296::kRoiHeight) : kArrayHeight;
    if (width > kArrayWidth || height > kArrayHeight)
        return;
    std::uint8_t ctrl0d = r.reg8(imx296::kCtrl0D);
    s.width = ctrl0d & kHorizontalBinning ? width / 2 : width;
    s.height = (ctrl0d & kVerticalBinningMask) == kVerticalBinning ? height / 2 : height;
}

double interval(const RegisterFile &r, int height, double inck_hz)
{
    int hmax = r.reg16le(imx296::kHmax);
    auto vmax = static_cast<int>(r.reg24le(imx296::kVmax) & kVmaxMask);
    if (!clocks_match(r, inck_hz) || hmax < kHmaxMin || vmax < height + kVblankMin)
        return 0;
    return frame_interval_s(vmax, hmax, kOperatingClockHz);
}

} // namespace

StreamSettings decode_imx296(const RegisterFile &r, double inck_hz)
{
    StreamSettings s;
    s.streaming = r.reg8(imx296::kCsiOutput) == kCsiOutputOn &&
                  (r.reg8(imx296::kCtrl00) & 1) == 0 && (r.reg8(imx296::kCtrl0A) & 1) == 0;
    s.bits = 10;
    s.lanes = 1;
    s.bayer = kBggr;
    frame_size(r, s);
    if (s.width > 0 && s.height > 0)
        s.frame_interval_s = interval(r, s.height, inck_hz);
    if (r.reg8(imx296::kPgCtrl) & 1) {
        s.test_pattern = test_pattern::kSolidColour;
        s.test_data.fill(r.reg16le(imx296::kPgData1) & kSampleMask);
    }
    return s;
}

Imx296Chip::Imx296Chip(double inck_hz) : inck_hz_(inck_hz)
{
    // Power-up values as the model assumes them: standby, master mode stopped, the CSI-2 output
    // off, the driver's frame timing and no PLL setting (no frames until an init file sets it).
    RegisterFile &r = power_up_registers();
    r.put8(imx296::kCtrl00, 1);
    r.put8(imx296::kCtrl0A, 1);
    r.put16le(imx296::kHmax, kHmaxMin);
    r.put16le(imx296::kVmax, kArrayHeight + kVblankMin);
    r.put16le(imx296::kSensorInfo, imx296::kSensorInfoLq);
    make_read_only(imx296::kSensorInfo);
    make_read_only(imx296::kSensorInfo + 1);
}

StreamSettings Imx296Chip::decode(const RegisterFile &registers) const
{
    return decode_imx296(registers, inck_hz_);
}

} // namespace tolva::sim
