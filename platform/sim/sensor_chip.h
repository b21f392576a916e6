// A simulated sensor chip: its register file on the I2C bus and what its registers make it send.
#ifndef TOLVA_SIM_SENSOR_CHIP_H
#define TOLVA_SIM_SENSOR_CHIP_H

#include "i2c_bus.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <set>

namespace tolva::sim {

// Test patterns the frame sources draw; each chip maps its own register values onto these (the
// numbers are the CCS test_pattern_mode values, and one of our own: every sample of the frame
// counter tells the frame number, for checking whole frames).
namespace test_pattern {
constexpr int kSolidColour = 1;
constexpr int kColourBars = 2;
constexpr int kPn9 = 4;
constexpr int kFrameCounter = 0x0101;
} // namespace test_pattern

// What the chip sends while its registers stay as they are. A receiver needs nothing else.
struct StreamSettings {
    bool streaming = false;
    int bits = 0;  // 10 or 12; 0 for a data format the receivers cannot take
    int lanes = 0; // CSI-2 data lanes
    int width = 0;
    int height = 0;
    double frame_interval_s = 0; // 0: the timing registers give no frames
    bool monochrome = false;
    int bayer = 0;                  // colour filter order, as FrameGeometry's
    int test_pattern = 0;           // one of test_pattern::k*, 0 for the scene
    std::array<int, 4> test_data{}; // solid colour: red, greenR, blue, greenB
};

// Seconds from one frame to the next: frame_length lines of line_length pixel clocks at
// pixel_rate clocks a second; 0 when any of them is 0.
double frame_interval_s(double frame_length, double line_length, double pixel_rate);

// A chip's 64 KiB of 8-bit registers at 16-bit addresses, with the readers its decoder needs.
// Multi-byte registers are read from consecutive addresses, wrapping at the top.
class RegisterFile {
public:
    std::uint8_t reg8(std::uint16_t address) const { return bytes_[address]; }
    std::uint16_t reg16be(std::uint16_t address) const;
    std::uint16_t reg16le(std::uint16_t address) const;
    std::uint32_t reg24le(std::uint16_t address) const;

    void put8(std::uint16_t address, std::uint8_t value) { bytes_[address] = value; }
    void put16be(std::uint16_t address, std::uint16_t value);
    void put16le(std::uint16_t address, std::uint16_t value);

private:
    std::array<std::uint8_t, 0x10000> bytes_{};
};

// The bus side every chip shares: a 2-byte write sets the register pointer, longer writes store
// bytes from the pointer on, reads return bytes from the pointer on; the pointer increments after
// every byte. Writes to read-only registers (the chip id) are acknowledged and ignored.
class SensorChip : public I2cDevice {
public:
    bool write(const std::uint8_t *bytes, std::size_t count) override;
    bool read(std::uint8_t *bytes, std::size_t count) override;

    std::uint8_t reg8(std::uint16_t address) const;
    std::uint16_t reg16be(std::uint16_t address) const;
    std::uint16_t reg16le(std::uint16_t address) const;

    // Decoded from one consistent view of the registers (the bus writes them from the
    // program's thread while the receiver's thread asks for this).
    StreamSettings stream_settings() const;

    // Fault: the chip does not acknowledge the data byte of a write to this register.
    void refuse_writes_to(std::uint16_t address);

protected:
    // Power-up values, set by the chip's constructor before it goes on the bus.
    RegisterFile &power_up_registers() { return registers_; }
    void make_read_only(std::uint16_t address) { read_only_.insert(address); }

private:
    virtual StreamSettings decode(const RegisterFile &registers) const = 0;

    mutable std::mutex mutex_; // guards everything below
    RegisterFile registers_;
    std::uint16_t pointer_ = 0;
    std::set<std::uint16_t> read_only_;
    std::set<std::uint16_t> refused_;
};

} // namespace tolva::sim

#endif
