// The simulated I2C bus: routes transfers to devices and logs each one.
#include "i2c_bus.h"

namespace tolva::sim {

std::string format_transfer(int address, char direction, const std::uint8_t *bytes,
                            std::size_t count, bool acknowledged)
{
    char piece[8];
    std::snprintf(piece, sizeof piece, "%02x %c", address & 0x7f, direction);
    std::string line = piece;
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(piece, sizeof piece, " %02x", bytes[i]);
        line += piece;
    }
    if (!acknowledged)
        line += " NACK";
    return line;
}

void I2cBus::attach(int address, I2cDevice *device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[address] = device;
}

void I2cBus::detach(int address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.erase(address);
}

bool I2cBus::answers(int address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_.count(address) != 0;
}

bool I2cBus::write(int address, const std::uint8_t *bytes, std::size_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = devices_.find(address);
    bool acknowledged = found != devices_.end() && found->second->write(bytes, count);
    record(address, 'W', bytes, count, acknowledged);
    return acknowledged;
}

bool I2cBus::read(int address, std::uint8_t *bytes, std::size_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = devices_.find(address);
    bool acknowledged = found != devices_.end() && found->second->read(bytes, count);
    // A read nobody answered carried no bytes.
    record(address, 'R', bytes, acknowledged ? count : 0, acknowledged);
    return acknowledged;
}

std::vector<std::string> I2cBus::log() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void I2cBus::clear_log()
{
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
}

bool I2cBus::log_to_file(const std::string &path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    log_file_.reset(path.empty() ? nullptr : std::fopen(path.c_str(), "a"));
    return path.empty() || log_file_ != nullptr;
}

void I2cBus::record(int address, char direction, const std::uint8_t *bytes, std::size_t count,
                    bool acknowledged)
{
    log_.push_back(format_transfer(address, direction, bytes, count, acknowledged));
    if (log_file_) {
        std::fprintf(log_file_.get(), "%s\n", log_.back().c_str());
        std::fflush(log_file_.get());
    }
}

} // namespace tolva::sim
