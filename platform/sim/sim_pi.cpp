// The simulated Raspberry Pi: board state shared by the host services and the receiver.
#include "sim_pi.h"

#include <cstdio>
#include <cstring>

namespace tolva::sim {

namespace {
// The simulated firmware takes one message: the 8-word GPIO state property.
constexpr int kPropertyWords = 8;

std::unique_ptr<SimPi> &current()
{
    static std::unique_ptr<SimPi> pi;
    return pi;
}
} // namespace

SimPi::SimPi(const Knobs &knobs)
    : knobs_(knobs), sensor_(make_sensor_chip(knobs)), sensor_address_(sensor_chip_address(knobs)),
      board_(knobs.board_revision, knobs.kernel_release, knobs.camera_probes)
{
    if (!bus_.log_to_file(knobs_.bus_log))
        std::fprintf(stderr, "simulated Pi: can't open bus log %s: %s\n", knobs_.bus_log.c_str(),
                     std::strerror(errno));
    if (knobs_.camera_routed)
        board_.route_camera();
    refresh_camera();
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

void SimPi::script_command(const std::string &words, const std::string &out, int status)
{
    scripted_[words] = CommandOutput{status, out, ""};
}

std::optional<CommandOutput> SimPi::scripted_output(const std::vector<std::string> &words) const
{
    std::string line;
    for (const std::string &word : words)
        line += (line.empty() ? "" : " ") + word;
    auto found = scripted_.find(line);
    if (found == scripted_.end())
        return std::nullopt;
    return found->second;
}

int SimPi::open_mailbox()
{
    int fd = next_descriptor_++;
    mailbox_descriptors_.insert(fd);
    return fd;
}

void SimPi::mailbox_property(std::uint32_t *words)
{
    std::string entry = "mailbox";
    char word[12];
    for (int i = 0; i < kPropertyWords; ++i) {
        std::snprintf(word, sizeof word, " %08x", words[i]);
        entry += word;
    }
    record(entry);
    board_.mailbox_property(words, knobs_.mbox_response);
    mailbox_answer_.assign(words, words + kPropertyWords);
    refresh_camera();
}

void SimPi::refresh_camera()
{
    if (!knobs_.no_sensor && board_.camera_answers())
        bus_.attach(sensor_address_, sensor_.get());
    else
        bus_.detach(sensor_address_);
}

void SimPi::probe_camera()
{
    board_.probe();
    refresh_camera();
}

Mmal &SimPi::mmal()
{
    if (!mmal_)
        mmal_ = std::make_unique<Mmal>(*sensor_, knobs_);
    return *mmal_;
}

} // namespace tolva::sim
