// The simulated Raspberry Pi: board state shared by the host services and the receiver.
#include "sim_pi.h"

#include <cstdio>
#include <cstring>

namespace tolva::sim {

namespace {
std::unique_ptr<SimPi> &current()
{
    static std::unique_ptr<SimPi> pi;
    return pi;
}
} // namespace

SimPi::SimPi(const Knobs &knobs) : knobs_(knobs), sensor_(std::make_unique<VirtualSensor>(knobs.sensor_model))
{
    if (!bus_.log_to_file(knobs_.bus_log))
        std::fprintf(stderr, "simulated Pi: can't open bus log %s: %s\n", knobs_.bus_log.c_str(),
                     std::strerror(errno));
    if (!knobs_.no_sensor)
        bus_.attach(knobs_.sensor_address, sensor_.get());
}

SimPi &SimPi::instance()
{
    if (!current())
        current() = std::make_unique<SimPi>(Knobs::from_environment());
    return *current();
}

SimPi &SimPi::reset(const Knobs &knobs)
{
    current() = std::make_unique<SimPi>(knobs);
    return *current();
}

bool SimPi::i2c_device_exists(const char *path) const
{
    return !knobs_.no_i2c_device && std::strcmp(path, "/dev/i2c-0") == 0;
}

int SimPi::open_i2c()
{
    int fd = next_descriptor_++;
    i2c_descriptors_[fd] = -1;
    return fd;
}

bool SimPi::is_i2c_descriptor(int fd) const { return i2c_descriptors_.count(fd) != 0; }

bool SimPi::set_i2c_address(int fd, int address)
{
    if (knobs_.no_i2c_address || !is_i2c_descriptor(fd))
        return false;
    i2c_descriptors_[fd] = address;
    return true;
}

int SimPi::i2c_address(int fd) const
{
    auto found = i2c_descriptors_.find(fd);
    return found == i2c_descriptors_.end() ? -1 : found->second;
}

bool SimPi::close_i2c(int fd) { return i2c_descriptors_.erase(fd) != 0; }

Mmal &SimPi::mmal()
{
    if (!mmal_)
        mmal_ = std::make_unique<Mmal>(*sensor_, knobs_);
    return *mmal_;
}

} // namespace tolva::sim
