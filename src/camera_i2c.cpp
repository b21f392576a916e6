// Board bring-up: identifies the board from its revision and routes the camera's I2C bus for it.
#include "camera_i2c.h"

#include "fatal.h"
#include "file_handle.h"
#include "host.h"
#include "util.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

[[gnu::used]] static const char __PROGRAM_VERSION__[] =
    "@(#)camera_i2c Ver. 1.0020 (2021/10/04 10:46:59)";

namespace {

constexpr int kLineMax = 8192;           // line buffer of the /proc files, NUL included
constexpr std::size_t kRevisionMax = 15; // longer revisions would name another board if cut
constexpr std::size_t kKernelMax = 31;
constexpr std::size_t kBoardTypeAt = 3; // board type: 4th and 5th character of the revision
constexpr std::size_t kBoardTypeLength = 2;

const char kCpuinfo[] = "/proc/cpuinfo";
const char kOsrelease[] = "/proc/sys/kernel/osrelease";
const char kMailbox[] = "/dev/vcio";

// Firmware mailbox property message that sets a GPIO line the firmware controls.
const unsigned long kMboxProperty = _IOWR(100, 0, char *); // 0xC0046400 on the 32-bit Pi
constexpr std::uint32_t kProcessRequest = 0;
constexpr std::uint32_t kResponseSuccess = 0x80000000;
constexpr std::uint32_t kTagSetGpioState = 0x38041;
constexpr std::uint32_t kTagRequest = 0;
constexpr std::uint32_t kEndTag = 0;

// The firmware GPIO that powers the camera on boards with a GPIO expander.
constexpr int kCameraPowerLine = 133;

char revision[kRevisionMax + 1];
char kernel[kKernelMax + 1];

FileHandle open_proc(const char *path)
{
    FileHandle fp(host_fopen_proc(path));
    if (!fp)
        fatal_error("cami2c: can't open %s.\n", path);
    return fp;
}

// Takes `text` only whole: a value cut to fit would be a different, wrong value.
void copy_whole(char *out, std::size_t max, const char *text)
{
    if (std::strlen(text) <= max)
        std::strcpy(out, text);
}

void gpio_set(int gpio, int state)
{
    int fd = host_mbox_open(kMailbox, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        fatal_error("gpio_set: can't open %s\n", kMailbox);
    std::uint32_t buf[8] = {sizeof buf,       kProcessRequest,
                            kTagSetGpioState, 2 * sizeof(std::uint32_t),
                            kTagRequest,      static_cast<std::uint32_t>(gpio),
                            state ? 1u : 0u,  kEndTag};
    if (host_mbox_ioctl(fd, kMboxProperty, buf) < 0)
        fatal_error("gpio_set: ioctl error\n");
    if (buf[1] != kResponseSuccess)
        fatal_error("gpio_set: RPi firmware returned 0x%08x\n", buf[1]);
    host_mbox_close(fd);
}

// One step of a routing sequence: a shell command line, or (command null) the firmware line
// that powers the camera.
struct Step {
    const char *command;
};
const Step kPowerCamera = {nullptr};

using Sequence = std::vector<Step>;

const Sequence kSequenceA = {
    {"raspi-gpio set 0 ip"}, {"raspi-gpio set 0 a0"},     {"raspi-gpio set 1 ip"},
    {"raspi-gpio set 1 a0"}, {"raspi-gpio set 27 op dh"}, {"raspi-gpio set 5 op dh"},
};
const Sequence kSequenceB = {
    {"raspi-gpio set 0 ip"}, {"raspi-gpio set 0 a0"},  {"raspi-gpio set 1 ip"},
    {"raspi-gpio set 1 a0"}, {"raspi-gpio set 21 dh"}, {"raspi-gpio set 5 dh"},
};
const Sequence kSequenceC = {
    {"raspi-gpio set 0 ip"},  {"raspi-gpio set 1 ip"},  {"raspi-gpio set 28 ip"},
    {"raspi-gpio set 28 a0"}, {"raspi-gpio set 29 ip"}, {"raspi-gpio set 29 a0"},
    {"raspi-gpio set 41 dh"}, {"raspi-gpio set 32 dh"},
};
// "out" is no raspi-gpio option: those two steps change nothing, and the "dh" after each works
// because the Compute Module's firmware configuration already makes GPIO 2 and 3 outputs.
const Sequence kSequenceD = {
    {"raspi-gpio set 28 ip"}, {"raspi-gpio set 29 ip"}, {"raspi-gpio set 0 ip"},
    {"raspi-gpio set 0 a0"},  {"raspi-gpio set 1 ip"},  {"raspi-gpio set 1 a0"},
    {"raspi-gpio set 3 out"}, {"raspi-gpio set 3 dh"},  {"raspi-gpio set 2 out"},
    {"raspi-gpio set 2 dh"},
};
const Sequence kSequenceE = {
    {"raspi-gpio set 0 ip"},  {"raspi-gpio set 1 ip"},  {"raspi-gpio set 28 ip"},
    {"raspi-gpio set 28 a0"}, {"raspi-gpio set 29 ip"}, {"raspi-gpio set 29 a0"},
    {"raspi-gpio set 44 dh"}, {"raspi-gpio set 40 dh"},
};
const Sequence kSequenceF = {
    {"raspi-gpio set 0 ip"},  {"raspi-gpio set 1 ip"},  {"raspi-gpio set 28 ip"},
    {"raspi-gpio set 29 ip"}, {"raspi-gpio set 44 ip"}, {"raspi-gpio set 44 a1"},
    {"raspi-gpio set 45 ip"}, {"raspi-gpio set 45 a1"}, kPowerCamera,
};
const Sequence kSequenceG = {
    {"raspi-gpio set 0 ip"},
    {"raspi-gpio set 1 ip"},
    {"raspi-gpio set 44 ip"},
    {"raspi-gpio set 44 a1"},
    {"raspi-gpio set 45 ip"},
    {"raspi-gpio set 45 a1"},
    kPowerCamera,
};
const Sequence kSequenceH = {
    {"raspi-gpio set 0 ip"},  {"raspi-gpio set 1 ip"},  {"raspi-gpio set 44 ip"},
    {"raspi-gpio set 44 a1"}, {"raspi-gpio set 45 ip"}, {"raspi-gpio set 45 a1"},
    {"raspi-gpio set 40 dh"},
};
const Sequence kNothing = {};

// A row of the routing table: the values compared with the whole revision text or with the
// board type, and the sequence the first matching row runs.
enum class Compared { revision, board_type };
struct Route {
    Compared compared;
    std::vector<const char *> values;
    const Sequence &sequence;
};

const Route kRoutes[] = {
    {Compared::revision, {"0002", "0003"}, kSequenceA},
    {Compared::revision, {"0004", "0005", "0006", "000d", "000e", "000f"}, kSequenceB},
    {Compared::revision, {"0010", "0012", "0013", "1041"}, kSequenceC},
    {Compared::revision, {"0011", "0014"}, kSequenceD},
    {Compared::board_type, {"02", "03", "04", "09"}, kSequenceC},
    {Compared::board_type, {"0c"}, kSequenceE},
    {Compared::board_type, {"0a"}, kSequenceD},
    {Compared::board_type, {"08", "0d", "0e"}, kSequenceF},
    {Compared::board_type, {"11"}, kSequenceG},
    {Compared::board_type, {"12"}, kSequenceH},
    {Compared::board_type, {"13"}, kNothing},
    {Compared::board_type, {"14"}, kSequenceG},
};

const Sequence *find_sequence(const char *rev, const char *board_type)
{
    for (const Route &route : kRoutes) {
        const char *text = route.compared == Compared::revision ? rev : board_type;
        for (const char *value : route.values)
            if (std::strcmp(text, value) == 0)
                return &route.sequence;
    }
    return nullptr;
}

void run(const Sequence &sequence)
{
    for (const Step &step : sequence) {
        if (step.command)
            host_system(step.command);
        else
            gpio_set(kCameraPowerLine, 1);
    }
}

// The start-up repeats the routing while it waits for a camera: a board it does not know is
// reported once, until another board is routed.
std::string ReportedRevision;

void report_unknown_board(const char *rev, const char *board_type)
{
    if (ReportedRevision == rev)
        return;
    ReportedRevision = rev;
    std::fprintf(stderr, "Failed: don't know how to set GPIO for this board! ");
    std::fprintf(stderr, "Type is %s(%s)\n", rev, board_type);
}

void cam_i2c(void)
{
    char *rev = GetRev();
    if (!rev)
        fatal_error("Revisoion not found.\n");
    // Required, though the routing depends on the revision alone.
    if (!GetKernel())
        fatal_error("Kernel version not found.\n");
    char board_type[kBoardTypeLength + 1] = {};
    std::size_t length = std::strlen(rev);
    if (length > kBoardTypeAt)
        std::strncpy(board_type, rev + kBoardTypeAt, kBoardTypeLength);

    const Sequence *sequence = find_sequence(rev, board_type);
    if (!sequence) {
        report_unknown_board(rev, board_type);
        return;
    }
    ReportedRevision.clear();
    run(*sequence);
}

} // namespace

char *skipspace(char *s)
{
    while (std::isspace(static_cast<unsigned char>(*s)))
        ++s;
    return s;
}

// The first line that names "Revision" is the one: later ones are not read. Without a colon
// after the name there is no value.
char *GetRev(void)
{
    FileHandle fp = open_proc(kCpuinfo);
    revision[0] = '\0';
    char buf[kLineMax];
    while (std::fgets(buf, sizeof buf, fp.get())) {
        char *match = std::strstr(buf, "Revision");
        if (!match)
            continue;
        striptail(match);
        if (char *colon = std::strchr(match, ':'))
            copy_whole(revision, kRevisionMax, skipspace(colon + 1));
        break;
    }
    return revision[0] ? revision : nullptr;
}

char *GetKernel(void)
{
    FileHandle fp = open_proc(kOsrelease);
    kernel[0] = '\0';
    char buf[kLineMax];
    if (std::fgets(buf, sizeof buf, fp.get())) {
        striptail(buf);
        copy_whole(kernel, kKernelMax, buf);
    }
    return kernel[0] ? kernel : nullptr;
}

void camera_i2c(int device_no)
{
    cam_i2c();
    host_system(device_no == 0 ? "i2cdetect -y 0 > /dev/null" : "i2cdetect -y 10 > /dev/null");
}
