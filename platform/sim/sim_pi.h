// The simulated Raspberry Pi as a whole: what the host services and MMAL calls act on.
#ifndef TOLVA_SIM_SIM_PI_H
#define TOLVA_SIM_SIM_PI_H

#include "board.h"
#include "chip_factory.h"
#include "i2c_bus.h"
#include "knobs.h"
#include "mmal_sim.h"
#include "v4l2_devices.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

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
    SensorChip &sensor() { return *sensor_; }
    int sensor_address() const { return sensor_address_; }
    Board &board() { return board_; }

    // How the board's camera reaches memory, and the I2C bus of its connector: bus 0 on the
    // boards of the MMAL receiver, the connector's own bus (10 or 11) on current OS boards.
    CaptureSystem capture_system() const { return capture_; }
    int camera_bus() const;
    // Addresses a kernel driver holds on the camera bus: i2cdetect shows them as UU.
    std::vector<int> claimed_addresses() const;

    // The I2C character device: open descriptors and the address each one talks to.
    bool i2c_device_exists(const char *path) const;
    int open_i2c();
    bool is_i2c_descriptor(int fd) const;
    bool set_i2c_address(int fd, int address);
    int i2c_address(int fd) const;
    bool close_i2c(int fd);
    int open_i2c_count() const { return static_cast<int>(i2c_descriptors_.size()); }

    // Everything run on the board, in order: each shell command line as given, and each mailbox
    // property message as "mailbox" and its eight words as sent, in hexadecimal.
    const std::vector<std::string> &board_record() const { return record_; }
    void record(const std::string &entry) { record_.push_back(entry); }
    // Makes the command with these words (without its redirection) print `out` and exit
    // with `status` instead of what the simulator or the system would do.
    void script_command(const std::string &words, const std::string &out, int status = 0);
    std::optional<CommandOutput> scripted_output(const std::vector<std::string> &words) const;

    // The firmware mailbox device /dev/vcio and its property message.
    int open_mailbox();
    bool is_mailbox_descriptor(int fd) const { return mailbox_descriptors_.count(fd) != 0; }
    bool close_mailbox(int fd) { return mailbox_descriptors_.erase(fd) != 0; }
    int open_mailbox_count() const { return static_cast<int>(mailbox_descriptors_.size()); }
    // `words` is an 8-word message; the firmware's answer overwrites it.
    void mailbox_property(std::uint32_t *words);
    // The eight words of the last property message as the firmware answered them.
    const std::vector<std::uint32_t> &last_mailbox_answer() const { return mailbox_answer_; }

    // The camera answers on the bus while the board has it connected and powered.
    void refresh_camera();
    // One probe of bus 0 (i2cdetect), counted towards the camera's power-up.
    void probe_camera();

    // Faults tests switch on and off while running.
    void set_i2c_device_missing(bool missing) { knobs_.no_i2c_device = missing; }
    void set_i2c_address_fails(bool fails) { knobs_.no_i2c_address = fails; }

    // Pauses (nanosleep) are slept for real unless skipped; skipped ones are added up. The fuzz
    // harness skips them: its inputs ask for pauses of days.
    void set_pauses_skipped(bool skipped) { pauses_skipped_ = skipped; }
    bool pauses_skipped() const { return pauses_skipped_; }
    void skip_pause(std::chrono::nanoseconds pause) { skipped_pauses_ += pause; }
    std::chrono::nanoseconds skipped_pauses() const { return skipped_pauses_; }

    // The VideoCore's MMAL with the camera receiver, made on first use.
    Mmal &mmal();
    // The V4L2 and media-controller device nodes: the receiver's on current OS boards, none
    // on the others.
    V4l2Devices &v4l2() { return *v4l2_; }
    // Frames the camera receiver has handed to the program since it first streamed, on either
    // receiver: given to the MMAL output port's callback, or completed into a queued V4L2
    // buffer (not those the V4L2 receiver wrote into its spare buffer).
    std::uint64_t frames_handed_over();
    // A kernel text file the board serves (/sys/dev/char/..., /proc/device-tree/...); none for
    // a path it does not.
    std::optional<std::string> kernel_file(const std::string &path) const;

private:
    Knobs knobs_;
    I2cBus bus_;
    std::unique_ptr<SensorChip> sensor_;
    int sensor_address_;
    std::map<int, int> i2c_descriptors_; // descriptor -> address (-1 before one is set)
    int next_descriptor_ = 1000;
    Board board_;
    std::vector<std::string> record_;
    std::map<std::string, CommandOutput> scripted_;
    std::set<int> mailbox_descriptors_;
    std::vector<std::uint32_t> mailbox_answer_;
    bool pauses_skipped_ = false;
    std::chrono::nanoseconds skipped_pauses_{0};
    CaptureSystem capture_;
    std::unique_ptr<Mmal> mmal_; // these last: their receiver threads read the sensor
    std::unique_ptr<V4l2Devices> v4l2_;
};

} // namespace tolva::sim

#endif
