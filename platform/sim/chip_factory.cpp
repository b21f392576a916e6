// The simulated sensor chips by name.
#include "chip_factory.h"

#include "ccs_chip.h"
#include "imx_chips.h"

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
