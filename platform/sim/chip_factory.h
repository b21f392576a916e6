// The sensor chips the simulated Pi can carry on its camera connector, by name.
#ifndef TOLVA_SIM_CHIP_FACTORY_H
#define TOLVA_SIM_CHIP_FACTORY_H

#include "knobs.h"
#include "sensor_chip.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tolva::sim {

// A chip as TOLVA_SIM_SENSOR_CHIP names it: the 7-bit address it answers on unless
// TOLVA_SIM_SENSOR_ADDRESS says otherwise, and where its chip id reads (big-endian; the ccs
// chip's id is TOLVA_SIM_SENSOR_MODEL).
struct ChipType {
    const char *name;
    int address;
    std::uint16_t id_register;
    std::uint16_t id;
    std::unique_ptr<SensorChip> (*make)(const ChipType &type, const Knobs &knobs);
};

const std::vector<ChipType> &chip_types();
// The chip of this name; null for a name not known.
const ChipType *find_chip_type(const std::string &name);
// "ccs, imx219, ...", for messages.
std::string chip_type_names();

// The chip the knobs ask for (ccs for a name not known) and the address it answers on.
std::unique_ptr<SensorChip> make_sensor_chip(const Knobs &knobs);
int sensor_chip_address(const Knobs &knobs);

} // namespace tolva::sim

#endif
