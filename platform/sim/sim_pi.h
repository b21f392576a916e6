// The simulated Raspberry Pi as a whole: what the host services and MMAL calls act on.
#ifndef TOLVA_SIM_SIM_PI_H
#define TOLVA_SIM_SIM_PI_H

#include "i2c_bus.h"
#include "knobs.h"
#include "mmal_sim.h"
#include "virtual_sensor.h"

#include <map>
#include <memory>

namespace tolva::sim {

class SimPi {
public:
    explicit SimPi(const Knobs &knobs);
    SimPi(const SimPi &) = delete;
    SimPi &operator=(const SimPi &) = delete;

    // The process's simulated Pi, built from the environment on first use.
    static SimPi &instance();
    // Replaces it with a fresh board built from these knobs (tests start each case so).
    static SimPi &reset(const Knobs &knobs = Knobs{});

    const Knobs &knobs() const { return knobs_; }
    I2cBus &bus() { return bus_; }
    VirtualSensor &sensor() { return *sensor_; }

    // The I2C character device: open descriptors and the address each one talks to.
    bool i2c_device_exists(const char *path) const;
    int open_i2c();
    bool is_i2c_descriptor(int fd) const;
    bool set_i2c_address(int fd, int address);
    int i2c_address(int fd) const;
    bool close_i2c(int fd);
    int open_i2c_count() const { return static_cast<int>(i2c_descriptors_.size()); }

    // Faults tests switch on and off while running.
    void set_i2c_device_missing(bool missing) { knobs_.no_i2c_device = missing; }
    void set_i2c_address_fails(bool fails) { knobs_.no_i2c_address = fails; }

    // The VideoCore's MMAL with the camera receiver, made on first use.
    Mmal &mmal();

private:
    Knobs knobs_;
    I2cBus bus_;
    std::unique_ptr<VirtualSensor> sensor_;
    std::map<int, int> i2c_descriptors_; // descriptor -> address (-1 before one is set)
    int next_descriptor_ = 1000;
    std::unique_ptr<Mmal> mmal_; // last: its receiver thread reads the sensor until it goes
};

} // namespace tolva::sim

#endif
