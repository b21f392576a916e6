// The simulated board: revision, kernel, GPIO pins, firmware lines and the camera's wiring.
#ifndef TOLVA_SIM_BOARD_H
#define TOLVA_SIM_BOARD_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tolva::sim {

enum class PinFunction { input, output, alt0, alt1, alt2, alt3, alt4, alt5 };
enum class Pull { none, down, up };

struct Pin {
    PinFunction function = PinFunction::input;
    bool high = false;
    Pull pull = Pull::none;
};

// What a command run on the simulated Pi gives back: its exit status and what it printed.
struct CommandOutput {
    int status = 0;
    std::string out;
    std::string err;
};

// How the camera connector is wired on one board model: the pins that carry its I2C lines
// (and the function that connects them to the I2C controller of bus 0), the GPIO outputs and
// firmware lines that power it, and the pins the firmware sets up as outputs at boot.
struct CameraWiring {
    std::vector<int> i2c_pins;
    PinFunction i2c_function;
    std::vector<int> power_pins;
    std::vector<int> power_firmware_lines;
    std::vector<int> boot_outputs;
};

// The camera wiring of the board with this revision code; none for boards without a camera
// connector and for codes the simulator does not know.
std::optional<CameraWiring> camera_wiring(const std::string &revision);

// How frames reach memory: the VideoCore's MMAL receiver (older boards, and the Pi 4 family on
// a legacy OS), or a V4L2 driver the current OS loads: Unicam on the Pi 4 family (Pi 4, Pi 400,
// CM4, Zero 2 W), CFE on the Pi 5 family.
enum class CaptureSystem { mmal, unicam, cfe };
CaptureSystem capture_system(const std::string &revision, const std::string &kernel_release);

// The kernel release of the board's usual OS: current Raspberry Pi OS on the Pi 4 and Pi 5
// families, the legacy OS elsewhere.
std::string default_kernel_release(const std::string &revision);
// KERNEL_VERSION(a, b, c) of a release such as "6.12.34-v8+"; 0 when it does not start so.
std::uint32_t kernel_version_code(const std::string &release);
// /proc/device-tree/model of a board of the Pi 4 or Pi 5 family, NUL-terminated as the kernel
// gives it; none for the others (the program does not read it there).
std::optional<std::string> device_tree_model(const std::string &revision);

class Board {
public:
    // `probes_to_answer`: bus probes the camera needs after power-up before it answers.
    Board(const std::string &revision, const std::string &kernel_release, int probes_to_answer);

    // The /proc text files; none when the file is missing.
    const std::optional<std::string> &cpuinfo() const { return cpuinfo_; }
    const std::optional<std::string> &osrelease() const { return osrelease_; }
    void set_cpuinfo(std::optional<std::string> text) { cpuinfo_ = std::move(text); }
    void set_osrelease(std::optional<std::string> text) { osrelease_ = std::move(text); }

    // "raspi-gpio set PINS OPTIONS...", given the words after "set".
    CommandOutput raspi_gpio_set(const std::vector<std::string> &args);
    int pin_count() const { return static_cast<int>(pins_.size()); }
    const Pin &pin(int gpio) const { return pins_.at(gpio); }

    // One mailbox property message of `words` 32-bit words (the first holds the size in bytes),
    // answered in place with `response` as the firmware's response code.
    void mailbox_property(std::uint32_t *words, std::uint32_t response);
    bool firmware_line(int gpio) const;

    // One probe of bus 0 (an i2cdetect run); counts towards the camera's power-up.
    void probe();
    bool camera_answers() const;
    // Leaves the pins as the board's routing sequence does: the camera connected and powered,
    // its power-up probes done. Nothing happens on a board without a camera connector.
    void route_camera();

private:
    bool camera_connected() const;
    bool camera_powered() const;
    void settle();

    std::optional<CameraWiring> wiring_;
    std::optional<std::string> cpuinfo_;
    std::optional<std::string> osrelease_;
    std::vector<Pin> pins_;
    std::vector<int> firmware_high_;
    int probes_to_answer_;
    int probes_since_power_up_ = 0;
};

} // namespace tolva::sim

#endif
