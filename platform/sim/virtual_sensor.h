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
constexpr std::uint16_t kModelId = 0x0016;            // 2 bytes, read-only
constexpr std::uint16_t kModeSelect = 0x0100;         // 1 = streaming
constexpr std::uint16_t kCsiDataFormat = 0x0112;      // 0x0A0A RAW10, 0x0C0C RAW12
constexpr std::uint16_t kCsiLaneMode = 0x0114;        // lanes - 1
constexpr std::uint16_t kExtclkFrequencyMhz = 0x0136; // 2 bytes, MHz in 8.8 fixed point
constexpr std::uint16_t kVtPixClkDiv = 0x0300;        // 2 bytes each: the video timing PLL
constexpr std::uint16_t kVtSysClkDiv = 0x0302;
constexpr std::uint16_t kPrePllClkDiv = 0x0304;
constexpr std::uint16_t kPllMultiplier = 0x0306;
constexpr std::uint16_t kCoarseIntegrationTime = 0x0202; // 2 bytes, lines
constexpr std::uint16_t kAnalogueGain = 0x0204;          // 2 bytes
constexpr std::uint16_t kFrameLengthLines = 0x0340;      // 2 bytes
constexpr std::uint16_t kLineLengthPck = 0x0342;         // 2 bytes
constexpr std::uint16_t kXOutputSize = 0x034C;           // 2 bytes
constexpr std::uint16_t kYOutputSize = 0x034E;           // 2 bytes
constexpr std::uint16_t kTestPatternMode = 0x0600;       // 2 bytes
constexpr std::uint16_t kTestDataRed = 0x0602;           // 2 bytes each: red, greenR, blue,
constexpr std::uint16_t kTestDataGreenR = 0x0604;        // greenB of the solid-colour pattern
constexpr std::uint16_t kTestDataBlue = 0x0606;
constexpr std::uint16_t kTestDataGreenB = 0x0608;
} // namespace ccs

// Values of test_pattern_mode: CCS patterns, and one of this sensor's own (CCS leaves 256 and
// up to the maker) whose every sample tells the frame number, for checking whole frames.
namespace test_pattern {
constexpr int kSolidColour = 1;
constexpr int kColourBars = 2;
constexpr int kPn9 = 4;
constexpr int kFrameCounter = 0x0101;
} // namespace test_pattern

// What the sensor sends while it streams, read from its registers in one go.
struct StreamSettings {
    bool streaming = false;
    int bits = 0;  // 10 or 12; 0 for a data format the sensor cannot send
    int lanes = 0; // CSI-2 data lanes
    int width = 0;
    int height = 0;
    int frame_length_lines = 0;
    int line_length_pck = 0;
    int test_pattern = 0;
    std::array<int, 4> test_data{}; // red, greenR, blue, greenB
    double pll_pixel_rate = 0;      // pixels a second the PLL registers give; 0 when unset
};

// What a model id says about the sensor: its pixel rate (pixels a second, blanking included)
// sets the frame interval; a monochrome sensor has no colour filter.
struct SensorModel {
    std::uint16_t id;
    double pixel_rate;
    bool monochrome;
};
const SensorModel &sensor_model(std::uint16_t id);

// Seconds from one frame to the next: frame_length_lines x line_length_pck pixels at the PLL's
// pixel rate, or the model's when the PLL registers are unset; 0 when the timing registers are.
double frame_interval_s(const StreamSettings &settings, const SensorModel &model);

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

    StreamSettings stream_settings() const;

    // Fault: the sensor does not acknowledge the data byte of a write to this register.
    void refuse_writes_to(std::uint16_t address);

private:
    static bool read_only(std::uint16_t address);
    std::uint16_t unlocked_reg16(std::uint16_t address) const;
    double pll_pixel_rate() const;

    // Guards the registers, the register pointer and the refused registers: the bus writes them
    // from the program's thread while the receiver thread reads the stream settings.
    mutable std::mutex mutex_;
    std::array<std::uint8_t, 0x10000> registers_{};
    std::uint16_t pointer_ = 0;
    std::set<std::uint16_t> refused_;
};

} // namespace tolva::sim

#endif
