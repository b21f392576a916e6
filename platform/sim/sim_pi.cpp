// The simulated Raspberry Pi: board state shared by the host services and the receiver.
#include "sim_pi.h"

#include <cstdio>
#include <cstring>

namespace tolva::sim {

namespace {
// The simulated firmware takes one message: the 8-word GPIO state property.
constexpr int kPropertyWords = 8;

// The Pi 4 family's one camera connector: Unicam's second instance, I2C through the i2c0 mux.
constexpr int kPi4CameraBus = 10;
// The Pi 5's CAM/DISP connectors: aliases i2c10 and i2c11 (bcm2712-rpi.dtsi), and the CFE
// instance each one feeds.
constexpr int kPi5FirstCameraBus = 10;
const char *const kCfeInstances[] = {"platform:1f00110000.csi", "platform:1f00128000.csi"};

std::unique_ptr<SimPi> &current()
{
    static std::unique_ptr<SimPi> pi;
    return pi;
}

// The sub-device name a kernel sensor driver gets: its driver and its I2C client,
// "imx477 10-001a". The ccs chip stands for the IMX sensor its model id names; the IMX327 and
// IMX462 have the IMX290's driver.
std::string kernel_sensor_name(const Knobs &knobs, int bus, int address)
{
    const std::string &chip = knobs.sensor_chip;
    char driver[16];
    if (chip == "ccs")
        std::snprintf(driver, sizeof driver, "imx%x", knobs.sensor_model);
    else
        std::snprintf(driver, sizeof driver, "%s",
                      chip == "imx327" || chip == "imx462" ? "imx290" : chip.c_str());
    char name[48];
    std::snprintf(name, sizeof name, "%s %d-%04x", driver, bus, address);
    return name;
}

BoundSource bound_source(const Knobs &knobs)
{
    if (knobs.kernel_sensor)
        return BoundSource::kernel_sensor;
    return knobs.no_module ? BoundSource::none : BoundSource::ours;
}

std::unique_ptr<V4l2Devices> make_v4l2(CaptureSystem capture, int bus, SensorChip &sensor,
                                       int address, const Knobs &knobs)
{
    if (capture == CaptureSystem::mmal)
        return std::make_unique<V4l2Devices>();
    bool unicam = capture == CaptureSystem::unicam;
    CameraEndpoint endpoint{unicam ? ReceiverKind::unicam : ReceiverKind::cfe,
                            unicam ? "platform:fe801000.csi" : kCfeInstances[knobs.camera_port],
                            bus,
                            knobs.csi_lanes,
                            knobs.link_frequency,
                            bound_source(knobs),
                            kernel_sensor_name(knobs, bus, address),
                            kernel_version_code(knobs.kernel_release)};
    // The media device the boot registers before the camera's: the codec on a Pi 4, the ISP
    // back end on a Pi 5.
    const char *other = unicam ? "bcm2835-codec" : "pispbe";
    MediaDeviceInfo info{other, other, unicam ? "platform:bcm2835-codec" : "platform:pispbe", 0,
                         endpoint.kernel_version};
    return std::make_unique<V4l2Devices>(endpoint, info, sensor, knobs);
}
} // namespace

SimPi::SimPi(const Knobs &knobs)
    : knobs_(knobs), sensor_(make_sensor_chip(knobs)), sensor_address_(sensor_chip_address(knobs)),
      board_(knobs.board_revision, knobs.kernel_release, knobs.camera_probes),
      capture_(tolva::sim::capture_system(knobs.board_revision, knobs.kernel_release))
{
    v4l2_ = make_v4l2(capture_, camera_bus(), *sensor_, sensor_address_, knobs_);
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

int SimPi::camera_bus() const
{
    switch (capture_) {
    case CaptureSystem::unicam:
        return kPi4CameraBus;
    case CaptureSystem::cfe:
        return kPi5FirstCameraBus + knobs_.camera_port;
    default:
        return 0;
    }
}

std::vector<int> SimPi::claimed_addresses() const
{
    std::vector<int> claimed = knobs_.driver_addresses;
    if (capture_ != CaptureSystem::mmal && knobs_.kernel_sensor)
        claimed.push_back(sensor_address_);
    return claimed;
}

bool SimPi::i2c_device_exists(const char *path) const
{
    return !knobs_.no_i2c_device && path == "/dev/i2c-" + std::to_string(camera_bus());
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

// On a current OS board the camera is powered while our source driver holds its regulator, from
// probe on; a kernel sensor driver powers it only while it streams.
void SimPi::refresh_camera()
{
    bool powered = capture_ == CaptureSystem::mmal ? board_.camera_answers()
                                                   : bound_source(knobs_) == BoundSource::ours;
    if (!knobs_.no_sensor && powered)
        bus_.attach(sensor_address_, sensor_.get());
    else
        bus_.detach(sensor_address_);
}

void SimPi::probe_camera()
{
    board_.probe();
    refresh_camera();
}

std::optional<std::string> SimPi::kernel_file(const std::string &path) const
{
    if (capture_ == CaptureSystem::mmal)
        return std::nullopt;
    if (path == "/proc/device-tree/model")
        return device_tree_model(knobs_.board_revision);
    return v4l2_->sysfs_file(path);
}

std::uint64_t SimPi::frames_handed_over()
{
    if (capture_ == CaptureSystem::mmal)
        return mmal().receiver().frames_delivered();
    std::uint64_t frames = 0;
    if (const MediaDevice *receiver = v4l2_->receiver())
        for (const auto &video : receiver->video_nodes())
            if (video->is_image())
                frames += video->channel()->frames_completed();
    return frames;
}

Mmal &SimPi::mmal()
{
    if (!mmal_)
        mmal_ = std::make_unique<Mmal>(*sensor_, knobs_, capture_ == CaptureSystem::mmal);
    return *mmal_;
}

} // namespace tolva::sim
