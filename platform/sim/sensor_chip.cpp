// The register file and bus behaviour every simulated sensor chip shares.
#include "sensor_chip.h"

namespace tolva::sim {

double frame_interval_s(double frame_length, double line_length, double pixel_rate)
{
    if (frame_length <= 0 || line_length <= 0 || pixel_rate <= 0)
        return 0;
    return frame_length * line_length / pixel_rate;
}

std::uint16_t RegisterFile::reg16be(std::uint16_t address) const
{
    return static_cast<std::uint16_t>(reg8(address) << 8 |
                                      reg8(static_cast<std::uint16_t>(address + 1)));
}

std::uint16_t RegisterFile::reg16le(std::uint16_t address) const
{
    return static_cast<std::uint16_t>(reg8(address) | reg8(static_cast<std::uint16_t>(address + 1))
                                                          << 8);
}

std::uint32_t RegisterFile::reg24le(std::uint16_t address) const
{
    return reg16le(address) |
           static_cast<std::uint32_t>(reg8(static_cast<std::uint16_t>(address + 2))) << 16;
}

void RegisterFile::put16be(std::uint16_t address, std::uint16_t value)
{
    put8(address, static_cast<std::uint8_t>(value >> 8));
    put8(static_cast<std::uint16_t>(address + 1), static_cast<std::uint8_t>(value));
}

void RegisterFile::put16le(std::uint16_t address, std::uint16_t value)
{
    put8(address, static_cast<std::uint8_t>(value));
    put8(static_cast<std::uint16_t>(address + 1), static_cast<std::uint8_t>(value >> 8));
}

bool SensorChip::write(const std::uint8_t *bytes, std::size_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (count < 2)
        return count == 0; // an address phase alone; half a register address is refused
    pointer_ = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
    for (std::size_t i = 2; i < count; ++i, ++pointer_) {
        if (refused_.count(pointer_))
            return false;
        if (!read_only_.count(pointer_))
            registers_.put8(pointer_, bytes[i]);
    }
    return true;
}

bool SensorChip::read(std::uint8_t *bytes, std::size_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < count; ++i, ++pointer_)
        bytes[i] = registers_.reg8(pointer_);
    return true;
}

std::uint8_t SensorChip::reg8(std::uint16_t address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return registers_.reg8(address);
}

std::uint16_t SensorChip::reg16be(std::uint16_t address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return registers_.reg16be(address);
}

std::uint16_t SensorChip::reg16le(std::uint16_t address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return registers_.reg16le(address);
}

StreamSettings SensorChip::stream_settings() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return decode(registers_);
}

void SensorChip::refuse_writes_to(std::uint16_t address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refused_.insert(address);
}

} // namespace tolva::sim
