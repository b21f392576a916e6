// The simulated sensor chips by name.
#include "chip_factory.h"

#include "ccs_chip.h"
#include "imx_chips.h"
#include "sony_imx290.h"
#include "sony_imx296.h"

namespace tolva::sim {

namespace {
template <const ImxRegisterMap &map>
std::unique_ptr<SensorChip> make_imx(const ChipType &type, const Knobs &)
{
    return std::make_unique<ImxChip>(map, type.id);
}

std::unique_ptr<SensorChip> make_ccs(const ChipType &, const Knobs &knobs)
{
    return std::make_unique<CcsChip>(knobs.sensor_model);
}

// The module's input clock in Hz: the knob's, or the usual module's.
double input_clock_hz(const Knobs &knobs, double usual_hz)
{
    constexpr double kMega = 1e6;
    return knobs.sensor_clock_mhz > 0 ? knobs.sensor_clock_mhz * kMega : usual_hz;
}

std::unique_ptr<SensorChip> make_imx290(const ChipType &, const Knobs &knobs)
{
    return std::make_unique<Imx290Chip>(input_clock_hz(knobs, imx290::kInck37MHz));
}

std::unique_ptr<SensorChip> make_imx296(const ChipType &, const Knobs &knobs)
{
    return std::make_unique<Imx296Chip>(input_clock_hz(knobs, imx296::kInck54MHz));
}

const ChipType &chip_type(const Knobs &knobs)
{
    const ChipType *type = find_chip_type(knobs.sensor_chip);
    return type ? *type : chip_types().front();
}
} // namespace

const std::vector<ChipType> &chip_types()
{
    static const std::vector<ChipType> kTypes = {
        {"ccs", 0x10, 0x0016, 0x0477, make_ccs},
        {"imx219", 0x10, 0x0000, 0x0219, make_imx<kImx219Map>},
        {"imx477", 0x1a, 0x0016, 0x0477, make_imx<kImx477Map>},
        {"imx708", 0x1a, 0x0016, 0x0708, make_imx<kImx708Map>},
        // The IMX290 family has no chip id its kernel driver reads: the standby bit it powers up
        // with (0x3000 = 0x01) stands for one. The IMX296's id is little-endian 0x4A00.
        {"imx290", 0x1a, imx290::kStandby, 0x0100, make_imx290},
        {"imx327", 0x1a, imx290::kStandby, 0x0100, make_imx290},
        {"imx462", 0x1a, imx290::kStandby, 0x0100, make_imx290},
        {"imx296", 0x1a, imx296::kSensorInfo, 0x004A, make_imx296},
    };
    return kTypes;
}

const ChipType *find_chip_type(const std::string &name)
{
    for (const ChipType &type : chip_types())
        if (name == type.name)
            return &type;
    return nullptr;
}

std::string chip_type_names()
{
    std::string names;
    for (const ChipType &type : chip_types())
        names += (names.empty() ? "" : ", ") + std::string(type.name);
    return names;
}

std::unique_ptr<SensorChip> make_sensor_chip(const Knobs &knobs)
{
    const ChipType &type = chip_type(knobs);
    return type.make(type, knobs);
}

int sensor_chip_address(const Knobs &knobs)
{
    return knobs.sensor_address != 0 ? knobs.sensor_address : chip_type(knobs).address;
}

} // namespace tolva::sim
