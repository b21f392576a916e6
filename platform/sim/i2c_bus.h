// The simulated I2C bus: devices at 7-bit addresses and a log of every transfer.
#ifndef TOLVA_SIM_I2C_BUS_H
#define TOLVA_SIM_I2C_BUS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tolva::sim {

// Something that answers on the bus. Each call is one transfer (start, address, bytes, stop);
// false means the device did not acknowledge it.
class I2cDevice {
public:
    virtual ~I2cDevice() = default;
    virtual bool write(const std::uint8_t *bytes, std::size_t count) = 0;
    virtual bool read(std::uint8_t *bytes, std::size_t count) = 0;
};

class I2cBus {
public:
    I2cBus() = default;
    I2cBus(const I2cBus &) = delete;
    I2cBus &operator=(const I2cBus &) = delete;

    // The bus does not own its devices; a device stays attached until detached.
    void attach(int address, I2cDevice *device);
    void detach(int address);
    bool answers(int address) const;

    // One transfer each; false when nothing acknowledged it (no device, or a refusal).
    bool write(int address, const std::uint8_t *bytes, std::size_t count);
    bool read(int address, std::uint8_t *bytes, std::size_t count);

    // One line per transfer: "10 W 01 00 01", "10 R 04 77", a refused one ends with " NACK".
    std::vector<std::string> log() const;
    void clear_log();
    // Appends every later line to this file as well, flushed at once; empty path: no file.
    // Returns false when the file cannot be opened.
    bool log_to_file(const std::string &path);

private:
    void record(int address, char direction, const std::uint8_t *bytes, std::size_t count,
                bool acknowledged);

    struct FileCloser {
        void operator()(std::FILE *f) const { std::fclose(f); }
    };

    // Guards the devices, the log and the log file: transfers come from the program's thread,
    // tests read the log from theirs.
    mutable std::mutex mutex_;
    std::map<int, I2cDevice *> devices_;
    std::vector<std::string> log_;
    std::unique_ptr<std::FILE, FileCloser> log_file_;
};

// The log line of one transfer, as I2cBus records it.
std::string format_transfer(int address, char direction, const std::uint8_t *bytes,
                            std::size_t count, bool acknowledged);

} // namespace tolva::sim

#endif
