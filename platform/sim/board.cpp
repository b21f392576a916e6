// The simulated board: revision codes, raspi-gpio's pin rules, the firmware mailbox, the camera.
#include "board.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace tolva::sim {

namespace {

// Revision codes: the new style has bit 23 set and the board type in bits 4-11, the
// processor in bits 12-15; the old style is a small number per board.
constexpr std::uint32_t kNewStyle = 1u << 23;
constexpr std::uint32_t kOldStyleMask = 0xffffff; // above it: the warranty bit
constexpr unsigned kBcm2711 = 3;
constexpr unsigned kBcm2712 = 4;
constexpr unsigned kTypeZero2W = 0x12;
constexpr int kBcm2835Gpios = 54;
constexpr int kBcm2711Gpios = 58;

// The firmware GPIO (on the GPIO expander) that powers the camera on the Pi 3 B and later.
constexpr int kCameraPowerLine = 133;

// Mailbox property interface.
constexpr std::uint32_t kMessageWords = 8;
constexpr std::uint32_t kTagSetGpioState = 0x38041;
constexpr std::uint32_t kTagValueBytes = 8;
constexpr std::uint32_t kResponseSuccess = 0x80000000;
constexpr std::uint32_t kResponseParseError = 0x80000001;
constexpr std::uint32_t kTagResponse = 0x80000000; // ORed with the value length in the tag

const CameraWiring kPi1Rev1{{0, 1}, PinFunction::alt0, {27, 5}, {}, {}};
const CameraWiring kPi1Rev2{{0, 1}, PinFunction::alt0, {21, 5}, {}, {21, 5}};
const CameraWiring kBPlus{{28, 29}, PinFunction::alt0, {41, 32}, {}, {41, 32}};
const CameraWiring kZeroW{{28, 29}, PinFunction::alt0, {44, 40}, {}, {44, 40}};
const CameraWiring kCompute{{0, 1}, PinFunction::alt0, {3, 2}, {}, {2, 3}};
const CameraWiring kExpander{{44, 45}, PinFunction::alt1, {}, {kCameraPowerLine}, {}};
const CameraWiring kZero2W{{44, 45}, PinFunction::alt1, {40}, {}, {40}};

std::optional<std::uint32_t> revision_code(const std::string &revision)
{
    if (revision.empty() || revision.size() > 8 ||
        !std::all_of(revision.begin(), revision.end(),
                     [](unsigned char c) { return std::isxdigit(c); }))
        return std::nullopt;
    return static_cast<std::uint32_t>(std::strtoul(revision.c_str(), nullptr, 16));
}

std::optional<CameraWiring> old_style_wiring(std::uint32_t code)
{
    switch (code) {
    case 0x02:
    case 0x03:
        return kPi1Rev1;
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x0d:
    case 0x0e:
    case 0x0f:
        return kPi1Rev2;
    case 0x10:
    case 0x12:
    case 0x13:
    case 0x15:
        return kBPlus;
    case 0x11:
    case 0x14:
        return kCompute;
    default:
        return std::nullopt;
    }
}

std::optional<CameraWiring> new_style_wiring(unsigned type)
{
    switch (type) {
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x09:
        return kBPlus; // A+, B+, 2 B, Zero
    case 0x0c:
        return kZeroW;
    case 0x0a:
    case 0x10:
        return kCompute; // CM3, CM3+
    case 0x08:
    case 0x0d:
    case 0x0e:
    case 0x11:
    case 0x14:
        return kExpander; // 3 B, 3 B+, 3 A+, 4 B, CM4
    case 0x12:
        return kZero2W;
    default:
        return std::nullopt; // 0x13 (Pi 400): no connector
    }
}

int gpio_count(const std::string &revision)
{
    auto code = revision_code(revision);
    bool bcm2711 = code && (*code & kNewStyle) && ((*code >> 12) & 0xf) == kBcm2711;
    return bcm2711 ? kBcm2711Gpios : kBcm2835Gpios;
}

std::string make_cpuinfo(const std::string &revision)
{
    std::string text;
    for (int cpu = 0; cpu < 4; ++cpu)
        text += "processor\t: " + std::to_string(cpu) +
                "\nmodel name\t: ARMv7 Processor rev 4 (v7l)\nBogoMIPS\t: 38.40\n"
                "CPU implementer\t: 0x41\nCPU architecture: 7\nCPU variant\t: 0x0\n"
                "CPU part\t: 0xd03\nCPU revision\t: 4\n\n";
    return text + "Hardware\t: BCM2835\nRevision\t: " + revision +
           "\nSerial\t\t: 00000000c0ffee42\n";
}

bool contains(const std::vector<int> &list, int value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

// A raspi-gpio pin list: "N", "N,M,...", "N-M".
bool parse_gpios(const std::string &text, int count, std::vector<int> &gpios)
{
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma - start);
        char *end = nullptr;
        long first = std::strtol(item.c_str(), &end, 10);
        long last = first;
        if (*end == '-')
            last = std::strtol(end + 1, &end, 10);
        if (item.empty() || !std::isdigit(static_cast<unsigned char>(item[0])) || *end ||
            first < 0 || last >= count || first > last)
            return false;
        for (long gpio = first; gpio <= last; ++gpio)
            gpios.push_back(static_cast<int>(gpio));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

struct GpioOptions {
    std::optional<PinFunction> function;
    std::optional<Pull> pull;
    std::optional<bool> drive_high;
};

bool parse_option(const std::string &word, GpioOptions &options)
{
    static const char *const kAlt[] = {"a0", "a1", "a2", "a3", "a4", "a5"};
    if (word == "ip")
        options.function = PinFunction::input;
    else if (word == "op")
        options.function = PinFunction::output;
    else if (word == "pu")
        options.pull = Pull::up;
    else if (word == "pd")
        options.pull = Pull::down;
    else if (word == "pn")
        options.pull = Pull::none;
    else if (word == "dh")
        options.drive_high = true;
    else if (word == "dl")
        options.drive_high = false;
    else {
        auto alt = std::find(std::begin(kAlt), std::end(kAlt), word);
        if (alt == std::end(kAlt))
            return false;
        options.function =
            static_cast<PinFunction>(static_cast<int>(PinFunction::alt0) + (alt - kAlt));
    }
    return true;
}

unsigned processor(std::uint32_t code) { return (code >> 12) & 0xf; }
unsigned board_type(std::uint32_t code) { return (code >> 4) & 0xff; }

// New-style codes only: the families that run the current OS's camera drivers.
std::optional<std::uint32_t> new_style_code(const std::string &revision)
{
    auto code = revision_code(revision);
    if (!code || !(*code & kNewStyle))
        return std::nullopt;
    return code;
}

bool pi4_family(std::uint32_t code)
{
    return processor(code) == kBcm2711 || board_type(code) == kTypeZero2W;
}

// The current OS's kernels: Debian-built ones ("6.6.51+rpt-rpi-v8", "6.1.0-rpi7-rpi-v8") and
// anything from 6.2 on; the legacy OS stayed at 6.1.21.
bool current_os(const std::string &kernel_release)
{
    std::uint32_t version = kernel_version_code(kernel_release);
    constexpr std::uint32_t kFirstCurrent = (6u << 16) | (2u << 8);
    return version >= kFirstCurrent || kernel_release.find("+rpt") != std::string::npos ||
           kernel_release.find("-rpi-") != std::string::npos;
}

const char *model_name(unsigned type)
{
    switch (type) {
    case 0x11:
        return "4 Model B";
    case 0x12:
        return "Zero 2 W";
    case 0x13:
        return "400";
    case 0x14:
        return "Compute Module 4";
    case 0x17:
        return "5 Model B";
    case 0x18:
        return "Compute Module 5";
    case 0x19:
        return "500";
    case 0x1a:
        return "Compute Module 5 Lite";
    default:
        return nullptr;
    }
}

} // namespace

CaptureSystem capture_system(const std::string &revision, const std::string &kernel_release)
{
    auto code = new_style_code(revision);
    if (code && processor(*code) == kBcm2712)
        return CaptureSystem::cfe;
    if (code && pi4_family(*code) && current_os(kernel_release))
        return CaptureSystem::unicam;
    return CaptureSystem::mmal;
}

std::string default_kernel_release(const std::string &revision)
{
    auto code = new_style_code(revision);
    if (code && processor(*code) == kBcm2712)
        return "6.12.34-v8-16k+";
    if (code && pi4_family(*code))
        return "6.12.34-v8+";
    return "6.1.21-v7+";
}

std::uint32_t kernel_version_code(const std::string &release)
{
    unsigned major = 0, minor = 0, patch = 0;
    if (std::sscanf(release.c_str(), "%u.%u.%u", &major, &minor, &patch) != 3)
        return 0;
    return (major << 16) | (minor << 8) | std::min(patch, 255u);
}

std::optional<std::string> device_tree_model(const std::string &revision)
{
    auto code = new_style_code(revision);
    const char *name = code ? model_name(board_type(*code)) : nullptr;
    if (!name)
        return std::nullopt;
    std::string model =
        std::string("Raspberry Pi ") + name + " Rev 1." + std::to_string(*code & 0xf);
    return model + '\0';
}

std::optional<CameraWiring> camera_wiring(const std::string &revision)
{
    auto code = revision_code(revision);
    if (!code)
        return std::nullopt;
    if (*code & kNewStyle)
        return new_style_wiring((*code >> 4) & 0xff);
    return old_style_wiring(*code & kOldStyleMask);
}

Board::Board(const std::string &revision, const std::string &kernel_release, int probes_to_answer)
    : wiring_(camera_wiring(revision)), cpuinfo_(make_cpuinfo(revision)),
      osrelease_(kernel_release + "\n"), pins_(gpio_count(revision)),
      probes_to_answer_(probes_to_answer)
{
    if (wiring_)
        for (int gpio : wiring_->boot_outputs)
            pins_.at(gpio).function = PinFunction::output;
}

// raspi-gpio's rules: every option is checked before anything changes; then, pin by pin, the
// function and pull are set, and a level only on a pin that is (now) an output.
CommandOutput Board::raspi_gpio_set(const std::vector<std::string> &args)
{
    CommandOutput result;
    std::vector<int> gpios;
    if (args.empty() || !parse_gpios(args[0], pin_count(), gpios)) {
        result.status = 1;
        result.out = "Unknown GPIO \"" + (args.empty() ? std::string() : args[0]) + "\"\n";
        return result;
    }
    GpioOptions options;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (!parse_option(args[i], options)) {
            result.status = 1;
            result.out = "Unknown argument \"" + args[i] + "\"\n";
            return result;
        }
    }
    for (int gpio : gpios) {
        Pin &pin = pins_[gpio];
        if (options.function)
            pin.function = *options.function;
        if (options.pull)
            pin.pull = *options.pull;
        if (options.drive_high) {
            if (pin.function != PinFunction::output) {
                result.status = 1;
                result.out = "Can't set pin value, not an output\n";
                break;
            }
            pin.high = *options.drive_high;
        }
    }
    settle();
    return result;
}

void Board::mailbox_property(std::uint32_t *words, std::uint32_t response)
{
    if (words[0] != kMessageWords * sizeof(std::uint32_t) || words[2] != kTagSetGpioState ||
        words[3] != kTagValueBytes) {
        words[1] = kResponseParseError;
        return;
    }
    words[1] = response;
    if (response != kResponseSuccess)
        return;
    words[4] = kTagResponse | kTagValueBytes;
    int line = static_cast<int>(words[5]);
    firmware_high_.erase(std::remove(firmware_high_.begin(), firmware_high_.end(), line),
                         firmware_high_.end());
    if (words[6] != 0)
        firmware_high_.push_back(line);
    settle();
}

bool Board::firmware_line(int gpio) const { return contains(firmware_high_, gpio); }

void Board::probe()
{
    if (camera_powered() && probes_since_power_up_ < probes_to_answer_)
        ++probes_since_power_up_;
}

bool Board::camera_answers() const
{
    return camera_connected() && camera_powered() && probes_since_power_up_ >= probes_to_answer_;
}

void Board::route_camera()
{
    if (!wiring_)
        return;
    for (int gpio : wiring_->i2c_pins)
        pins_.at(gpio).function = wiring_->i2c_function;
    for (int gpio : wiring_->power_pins)
        pins_.at(gpio) = Pin{PinFunction::output, true, Pull::none};
    for (int line : wiring_->power_firmware_lines)
        if (!firmware_line(line))
            firmware_high_.push_back(line);
    probes_since_power_up_ = probes_to_answer_;
}

bool Board::camera_connected() const
{
    return wiring_ &&
           std::all_of(wiring_->i2c_pins.begin(), wiring_->i2c_pins.end(), [this](int gpio) {
               return pins_.at(gpio).function == wiring_->i2c_function;
           });
}

bool Board::camera_powered() const
{
    if (!wiring_)
        return false;
    auto driven_high = [this](int gpio) {
        const Pin &pin = pins_.at(gpio);
        return pin.function == PinFunction::output && pin.high;
    };
    auto line_high = [this](int line) { return firmware_line(line); };
    return std::all_of(wiring_->power_pins.begin(), wiring_->power_pins.end(), driven_high) &&
           std::all_of(wiring_->power_firmware_lines.begin(), wiring_->power_firmware_lines.end(),
                       line_high);
}

// A camera that lost power starts its power-up over.
void Board::settle()
{
    if (!camera_powered())
        probes_since_power_up_ = 0;
}

} // namespace tolva::sim
