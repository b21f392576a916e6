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

    // Camera receiver and scene.
    // TOLVA_SIM_SCENE: what the virtual sensor sees: "sky" (night sky with transients) or "replay"
    // (the frames of TOLVA_SIM_REPLAY, looped).
    std::string scene = "sky";
    // TOLVA_SIM_SEED: seed of the sky, its noise and its transients (same seed, same frames).
    std::uint64_t seed = 1;
    // TOLVA_SIM_EVENT_RATE: transients (flashes and meteors) per minute of sensor time.
    double events_per_minute = 6.0;
    // TOLVA_SIM_DRIFT: slow change of the sky's brightness, in sample values per minute.
    double drift_per_minute = 0.0;
    // TOLVA_SIM_REPLAY: a 16-bit SER file replayed as the sensor's output.
    std::string replay_file{};
    // TOLVA_SIM_LINE_ALIGN: the receiver fills each frame line up to a multiple of this many
    // bytes (1: no fill).
    int line_align = 1;
    // TOLVA_SIM_FAULTS, receiver faults:
    //   rx-port-disable  disabling the camera receiver's output port fails
    //   rx-no-pool       the receiver's buffer pool cannot be created
    bool rx_port_disable_fails = false;
    bool rx_no_pool = false;

    // Reads the environment; a value that cannot be read is reported on standard error,
    // naming the variable, and its default is kept.
    static Knobs from_environment();
};

} // namespace tolva::sim

#endif
