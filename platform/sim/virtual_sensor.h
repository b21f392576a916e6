// The virtual sensor's register file: the MIPI CCS registers IMX sensors use, over I2C.
#ifndef TOLVA_SIM_VIRTUAL_SENSOR_H
#define TOLVA_SIM_VIRTUAL_SENSOR_H

#include "i2c_bus.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <set>

namespace tolva::sim {

// CCS register addresses (16-bit, big-endian multi-byte values).
namespace ccs {
constexpr std::uint16_t kModelId = 0x0016;               // 2 bytes, read-only
constexpr std::uint16_t kModeSelect = 0x0100;            // 1 = streaming
constexpr std::uint16_t kCsiDataFormat = 0x0112;         // 0x0A0A RAW10, 0x0C0C RAW12
constexpr std::uint16_t kCsiLaneMode = 0x0114;           // lanes - 1
constexpr std::uint16_t kCoarseIntegrationTime = 0x0202; // 2 bytes, lines
constexpr std::uint16_t kAnalogueGain = 0x0204;          // 2 bytes
constexpr std::uint16_t kFrameLengthLines = 0x0340;      // 2 bytes
constexpr std::uint16_t kLineLengthPck = 0x0342;         // 2 bytes
constexpr std::uint16_t kXOutputSize = 0x034C;           // 2 bytes
constexpr std::uint16_t kYOutputSize = 0x034E;           // 2 bytes
constexpr std::uint16_t kTestPatternMode = 0x0600;       // 2 bytes
} // namespace ccs

// Registers as a CCS sensor keeps them: a 2-byte write sets the register pointer, longer writes
// store bytes from the pointer on, reads return bytes from the pointer on; the pointer
// increments after every byte. Writes to read-only registers are acknowledged and ignored.
class VirtualSensor : public I2cDevice {
public:
    explicit VirtualSensor(std::uint16_t model_id = 0x0477);

    bool write(const std::uint8_t *bytes, std::size_t count) override;
    bool read(std::uint8_t *bytes, std::size_t count) override;

    std::uint8_t reg8(std::uint16_t address) const;
    std::uint16_t reg16(std::uint16_t address) const;
    std::uint16_t model_id() const { return reg16(ccs::kModelId); }

    // Fault: the sensor does not acknowledge the data byte of a write to this register.
    void refuse_writes_to(std::uint16_t address);

private:
    static bool read_only(std::uint16_t address);

    mutable std::mutex mutex_;
    std::array<std::uint8_t, 0x10000> registers_{};
    std::uint16_t pointer_ = 0;
    std::set<std::uint16_t> refused_;
};

} // namespace tolva::sim

#endif
