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
    return static_cast<std::uint16_t>(registers_[address] << 8 |
                                      registers_[static_cast<std::uint16_t>(address + 1)]);
}

void VirtualSensor::refuse_writes_to(std::uint16_t address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refused_.insert(address);
}

} // namespace tolva::sim
