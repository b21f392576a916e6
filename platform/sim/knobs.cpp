// Reads the simulated Pi's TOLVA_SIM_* environment variables.
#include "knobs.h"

#include "board.h"
#include "chip_factory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace tolva::sim {

namespace {

constexpr std::size_t kProcTextMax = 200; // a line of /proc text, generously
// 7-bit addresses a device may use; the others are reserved on every I2C bus.
constexpr long long kFirstAddress = 0x03;
constexpr long long kLastAddress = 0x77;
constexpr long long kProbesMax = 1000000;

const char *env(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value ? value : nullptr;
}

// Decimal or 0x-prefixed hexadecimal, within [low, high].
void read_int(const char *name, long long low, long long high, long long &out)
{
    const char *text = env(name);
    if (!text)
        return;
    char *end = nullptr;
    long long value = std::strtoll(text, &end, 0);
    if (*end != '\0' || value < low || value > high) {
        std::fprintf(stderr, "simulated Pi: %s=%s is not a number from %lld to %lld; using %lld\n",
                     name, text, low, high, out);
        return;
    }
    out = value;
}

// "rx-stall" or "rx-stall:FIRST:COUNT".
bool read_stall(const std::string &fault, Knobs &knobs)
{
    constexpr std::uint64_t kDefaultFirst = 10, kDefaultFrames = 10;
    if (fault == "rx-stall") {
        knobs.rx_stall_first = kDefaultFirst;
        knobs.rx_stall_frames = kDefaultFrames;
        return true;
    }
    unsigned long long first = 0, frames = 0;
    char end = 0;
    if (std::sscanf(fault.c_str(), "rx-stall:%llu:%llu%c", &first, &frames, &end) != 2)
        return false;
    knobs.rx_stall_first = first;
    knobs.rx_stall_frames = frames;
    return true;
}

bool read_v4l2_fault(const std::string &fault, Knobs &knobs)
{
    struct Flag {
        const char *name;
        bool Knobs::*field;
    };
    static const Flag kFlags[] = {
        {"no-module", &Knobs::no_module},           {"kernel-sensor", &Knobs::kernel_sensor},
        {"v4l2-busy", &Knobs::v4l2_busy},           {"perm-media", &Knobs::media_denied},
        {"perm-video", &Knobs::video_denied},       {"perm-subdev", &Knobs::subdev_denied},
        {"perm-i2c", &Knobs::i2c_denied},           {"no-dma-heap", &Knobs::no_dma_heap},
        {"perm-dma-heap", &Knobs::dma_heap_denied}, {"dma-heap-nomem", &Knobs::dma_heap_no_memory}};
    for (const Flag &flag : kFlags)
        if (fault == flag.name) {
            knobs.*flag.field = true;
            return true;
        }
    return read_stall(fault, knobs);
}

void read_faults(Knobs &knobs)
{
    const char *text = env("TOLVA_SIM_FAULTS");
    if (!text)
        return;
    std::stringstream list(text);
    std::string fault;
    while (std::getline(list, fault, ',')) {
        if (fault == "no-i2c-device")
            knobs.no_i2c_device = true;
        else if (fault == "no-i2c-address")
            knobs.no_i2c_address = true;
        else if (fault == "no-sensor")
            knobs.no_sensor = true;
        else if (fault == "no-vcio")
            knobs.no_vcio = true;
        else if (fault == "mbox-ioctl")
            knobs.mbox_ioctl_fails = true;
        else if (fault == "rx-port-disable")
            knobs.rx_port_disable_fails = true;
        else if (fault == "rx-no-pool")
            knobs.rx_no_pool = true;
        else if (!fault.empty() && !read_v4l2_fault(fault, knobs))
            std::fprintf(stderr, "simulated Pi: TOLVA_SIM_FAULTS: unknown fault '%s'\n",
                         fault.c_str());
    }
}

// A text of at most `max` characters.
void read_text(const char *name, std::size_t max, std::string &out)
{
    const char *text = env(name);
    if (!text)
        return;
    if (std::strlen(text) > max) {
        std::fprintf(stderr, "simulated Pi: %s=%s is longer than %zu characters; using %s\n", name,
                     text, max, out.c_str());
        return;
    }
    out = text;
}

void read_flag(const char *name, bool &out)
{
    long long value = out ? 1 : 0;
    read_int(name, 0, 1, value);
    out = value != 0;
}

void read_addresses(const char *name, std::vector<int> &out)
{
    const char *text = env(name);
    if (!text)
        return;
    std::vector<int> addresses;
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        char *end = nullptr;
        long long address = std::strtoll(item.c_str(), &end, 0);
        if (item.empty() || *end != '\0' || address < kFirstAddress || address > kLastAddress) {
            std::fprintf(stderr,
                         "simulated Pi: %s: '%s' is not an address from 0x%02llx to 0x%02llx\n",
                         name, item.c_str(), kFirstAddress, kLastAddress);
            return;
        }
        addresses.push_back(static_cast<int>(address));
    }
    out = addresses;
}

void read_double(const char *name, double low, double high, double &out)
{
    const char *text = env(name);
    if (!text)
        return;
    char *end = nullptr;
    double value = std::strtod(text, &end);
    if (*end != '\0' || !(value >= low && value <= high)) {
        std::fprintf(stderr, "simulated Pi: %s=%s is not a number from %g to %g; using %g\n", name,
                     text, low, high, out);
        return;
    }
    out = value;
}

void read_chip(Knobs &knobs)
{
    const char *chip = env("TOLVA_SIM_SENSOR_CHIP");
    if (!chip)
        return;
    if (find_chip_type(chip))
        knobs.sensor_chip = chip;
    else
        std::fprintf(stderr, "simulated Pi: TOLVA_SIM_SENSOR_CHIP=%s is not one of %s; using %s\n",
                     chip, chip_type_names().c_str(), knobs.sensor_chip.c_str());
}

void read_receiver_knobs(Knobs &knobs)
{
    if (const char *scene = env("TOLVA_SIM_SCENE")) {
        if (std::string(scene) == "sky" || std::string(scene) == "replay")
            knobs.scene = scene;
        else
            std::fprintf(stderr,
                         "simulated Pi: TOLVA_SIM_SCENE=%s is not sky or replay; using %s\n", scene,
                         knobs.scene.c_str());
    }
    if (const char *replay = env("TOLVA_SIM_REPLAY")) {
        knobs.replay_file = replay;
        if (!env("TOLVA_SIM_SCENE"))
            knobs.scene = "replay";
    }
    long long seed = static_cast<long long>(knobs.seed);
    read_int("TOLVA_SIM_SEED", 0, 0x7fffffff, seed);
    knobs.seed = static_cast<std::uint64_t>(seed);
    read_double("TOLVA_SIM_EVENT_RATE", 0.0, 60000.0, knobs.events_per_minute);
    read_double("TOLVA_SIM_DRIFT", -100000.0, 100000.0, knobs.drift_per_minute);
    long long align = knobs.line_align;
    read_int("TOLVA_SIM_LINE_ALIGN", 1, 4096, align);
    knobs.line_align = static_cast<int>(align);
    read_flag("TOLVA_SIM_RECEIVER_REPORT", knobs.receiver_report);
}

void read_camera_knobs(Knobs &knobs)
{
    long long port = knobs.camera_port;
    read_int("TOLVA_SIM_CAMERA_PORT", 0, 1, port);
    knobs.camera_port = static_cast<int>(port);
    long long lanes = knobs.csi_lanes;
    read_int("TOLVA_SIM_CSI_LANES", 1, 4, lanes);
    if (lanes == 3) {
        std::fprintf(stderr, "simulated Pi: TOLVA_SIM_CSI_LANES=3 is not 1, 2 or 4; using %d\n",
                     knobs.csi_lanes);
        lanes = knobs.csi_lanes;
    }
    knobs.csi_lanes = static_cast<int>(lanes);
    constexpr long long kMaxLinkFrequency = 2000000000;
    long long frequency = knobs.link_frequency;
    read_int("TOLVA_SIM_LINK_FREQUENCY", 1, kMaxLinkFrequency, frequency);
    knobs.link_frequency = frequency;
}

} // namespace

Knobs Knobs::from_environment()
{
    Knobs knobs;
    if (const char *log = env("TOLVA_SIM_BUS_LOG"))
        knobs.bus_log = log;
    read_chip(knobs);
    long long address = sensor_chip_address(knobs);
    read_int("TOLVA_SIM_SENSOR_ADDRESS", kFirstAddress, kLastAddress, address);
    knobs.sensor_address = static_cast<int>(address);
    long long model = knobs.sensor_model;
    read_int("TOLVA_SIM_SENSOR_MODEL", 0, 0xffff, model);
    knobs.sensor_model = static_cast<std::uint16_t>(model);
    read_double("TOLVA_SIM_SENSOR_CLOCK", 1.0, 100.0, knobs.sensor_clock_mhz);
    // /proc values may be longer than the program's buffers: trying that is one of their uses.
    read_text("TOLVA_SIM_BOARD_REVISION", kProcTextMax, knobs.board_revision);
    knobs.kernel_release = default_kernel_release(knobs.board_revision);
    read_text("TOLVA_SIM_KERNEL_RELEASE", kProcTextMax, knobs.kernel_release);
    knobs.camera_routed = false;
    read_flag("TOLVA_SIM_CAMERA_ROUTED", knobs.camera_routed);
    long long probes = knobs.camera_probes;
    read_int("TOLVA_SIM_CAMERA_PROBES", 0, kProbesMax, probes);
    knobs.camera_probes = static_cast<int>(probes);
    read_addresses("TOLVA_SIM_I2C_DRIVER_ADDRESSES", knobs.driver_addresses);
    long long response = knobs.mbox_response;
    read_int("TOLVA_SIM_MBOX_RESPONSE", 0, 0xffffffffLL, response);
    knobs.mbox_response = static_cast<std::uint32_t>(response);
    read_faults(knobs);
    read_receiver_knobs(knobs);
    read_camera_knobs(knobs);
    return knobs;
}

} // namespace tolva::sim
