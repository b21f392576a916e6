// The virtual sensor's register file.
#include "virtual_sensor.h"

namespace tolva::sim {

namespace {
void put16(std::array<std::uint8_t, 0x10000> &regs, std::uint16_t address, std::uint16_t value)
{
    regs[address] = static_cast<std::uint8_t>(value >> 8);
    regs[static_cast<std::uint16_t>(address + 1)] = static_cast<std::uint8_t>(value);
}
} // namespace

VirtualSensor::VirtualSensor(std::uint16_t model_id)
{
    // Power-up values of a CCS sensor in standby: RAW10 on two lanes, full-size 1920x1080.
    put16(registers_, ccs::kModelId, model_id);
    put16(registers_, ccs::kCsiDataFormat, 0x0A0A);
    registers_[ccs::kCsiLaneMode] = 1;
    put16(registers_, ccs::kFrameLengthLines, 1125);
    put16(registers_, ccs::kLineLengthPck, 2200);
    put16(registers_, ccs::kXOutputSize, 1920);
    put16(registers_, ccs::kYOutputSize, 1080);
}

bool VirtualSensor::read_only(std::uint16_t address)
{
    return address == ccs::kModelId || address == ccs::kModelId + 1;
}

bool VirtualSensor::write(const std::uint8_t *bytes, std::size_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (count < 2)
        return count == 0; // an address phase alone; half a register address is refused
    pointer_ = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
    for (std::size_t i = 2; i < count; ++i, ++pointer_) {
        if (refused_.count(pointer_))
            return false;
        if (!read_only(pointer_))
            registers_[pointer_] = bytes[i];
    }
    return true;
}

bool VirtualSensor::read(std::uint8_t *bytes, std::size_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < count; ++i, ++pointer_)
        bytes[i] = registers_[pointer_];
    return true;
}

std::uint8_t VirtualSensor::reg8(std::uint16_t address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return registers_[address];
}

std::uint16_t VirtualSensor::reg16(std::uint16_t address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return unlocked_reg16(address);
}

std::uint16_t VirtualSensor::unlocked_reg16(std::uint16_t address) const
{
    return static_cast<std::uint16_t>(registers_[address] << 8 |
                                      registers_[static_cast<std::uint16_t>(address + 1)]);
}

StreamSettings VirtualSensor::stream_settings() const
{
    constexpr std::uint16_t kRaw10 = 0x0A0A, kRaw12 = 0x0C0C;
    std::lock_guard<std::mutex> lock(mutex_);
    StreamSettings s;
    s.streaming = registers_[ccs::kModeSelect] == 1;
    std::uint16_t format = unlocked_reg16(ccs::kCsiDataFormat);
    s.bits = format == kRaw10 ? 10 : format == kRaw12 ? 12 : 0;
    s.lanes = registers_[ccs::kCsiLaneMode] + 1;
    s.width = unlocked_reg16(ccs::kXOutputSize);
    s.height = unlocked_reg16(ccs::kYOutputSize);
    s.frame_length_lines = unlocked_reg16(ccs::kFrameLengthLines);
    s.line_length_pck = unlocked_reg16(ccs::kLineLengthPck);
    s.test_pattern = unlocked_reg16(ccs::kTestPatternMode);
    s.test_data = {unlocked_reg16(ccs::kTestDataRed), unlocked_reg16(ccs::kTestDataGreenR),
                   unlocked_reg16(ccs::kTestDataBlue), unlocked_reg16(ccs::kTestDataGreenB)};
    s.pll_pixel_rate = pll_pixel_rate();
    return s;
}

// vt_pix_clk = EXTCLK x pll_multiplier / (pre_pll_clk_div x vt_sys_clk_div x vt_pix_clk_div);
// the simulated pixel array reads four pixels per vt_pix_clk cycle, as the IMX477 does.
double VirtualSensor::pll_pixel_rate() const
{
    constexpr double kPixelsPerClock = 4, kFixedPoint = 256, kMega = 1e6;
    double extclk = unlocked_reg16(ccs::kExtclkFrequencyMhz) / kFixedPoint * kMega;
    double divisor = static_cast<double>(unlocked_reg16(ccs::kPrePllClkDiv)) *
                     unlocked_reg16(ccs::kVtSysClkDiv) * unlocked_reg16(ccs::kVtPixClkDiv);
    if (divisor == 0)
        return 0;
    return extclk * unlocked_reg16(ccs::kPllMultiplier) / divisor * kPixelsPerClock;
}

const SensorModel &sensor_model(std::uint16_t id)
{
    // Pixel rates of the modes the sensors/ files use; other ids get a generic sensor.
    static const SensorModel kModels[] = {
        {0x0477, 840e6, false},
        {0x0219, 182.4e6, false},
        {0x0290, 148.5e6, false},
        {0x0397, 148.5e6, true},
    };
    static const SensorModel kGeneric{0, 100e6, false};
    for (const SensorModel &model : kModels)
        if (model.id == id)
            return model;
    return kGeneric;
}

double frame_interval_s(const StreamSettings &settings, const SensorModel &model)
{
    double rate = settings.pll_pixel_rate > 0 ? settings.pll_pixel_rate : model.pixel_rate;
    return static_cast<double>(settings.frame_length_lines) * settings.line_length_pck / rate;
}

void VirtualSensor::refuse_writes_to(std::uint16_t address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refused_.insert(address);
}

} // namespace tolva::sim
