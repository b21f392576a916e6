// The simulated Pi's settings: one place for every TOLVA_SIM_* environment variable.
#ifndef TOLVA_SIM_KNOBS_H
#define TOLVA_SIM_KNOBS_H

#include <cstdint>
#include <string>

namespace tolva::sim {

struct Knobs {
    // TOLVA_SIM_BUS_LOG: file that receives every I2C transfer as a line, as it happens.
    std::string bus_log;
    // TOLVA_SIM_SENSOR_ADDRESS: 7-bit address the virtual sensor answers on (0x10).
    int sensor_address = 0x10;
    // TOLVA_SIM_SENSOR_MODEL: the sensor's CCS model id register (0x0477).
    std::uint16_t sensor_model = 0x0477;
    // TOLVA_SIM_FAULTS: comma-separated faults, for trying the program's error paths:
    //   no-i2c-device   /dev/i2c-0 does not exist
    //   no-i2c-address  the address request on the I2C device fails
    //   no-sensor       nothing answers at the sensor's address
    bool no_i2c_device = false;
    bool no_i2c_address = false;
    bool no_sensor = false;

    // Reads the environment; a value that cannot be read is reported on standard error,
    // naming the variable, and its default is kept.
    static Knobs from_environment();
};

} // namespace tolva::sim

#endif
