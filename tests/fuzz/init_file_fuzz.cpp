// Fuzz target of the init-file reader: each input, taken as a sensor init file, goes through the
// scans and the interpreter on a fresh simulated Pi, in the order the program calls them.
// What the reader promises for a file it accepts is checked; a broken promise aborts, so the
// fuzzer keeps the input.
#include "fatal_catcher.h"
#include "i2c.h"
#include "sim_pi.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// What an accepted file's frame may be: a side of a sensor's 16-bit output size registers, at
// most 32 Mi pixels.
constexpr int kMaxSide = 65535;
constexpr long long kMaxPixels = 1LL << 25;

void require(bool promise, const char *what)
{
    if (promise)
        return;
    std::fprintf(stderr, "init_file_fuzz: broken promise: %s\n", what);
    std::abort();
}

// The reader opens files by name: the input goes into one scratch file of this process.
class ScratchFile {
public:
    ScratchFile()
    {
        const char *tmp = std::getenv("TMPDIR");
        path_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolva_init_fuzz_XXXXXX";
        fd_ = mkstemp(path_.data());
        require(fd_ >= 0, "a scratch file can be made");
    }
    ~ScratchFile()
    {
        close(fd_);
        unlink(path_.c_str());
    }
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;

    const char *hold(const std::uint8_t *data, std::size_t size)
    {
        bool written =
            ftruncate(fd_, 0) == 0 && pwrite(fd_, data, size, 0) == static_cast<ssize_t>(size);
        require(written, "the input can be written to the scratch file");
        return path_.c_str();
    }

private:
    std::string path_;
    int fd_ = -1;
};

void read_as_the_program_does(const char *path)
{
    int rawbit = check_rawbit(path); // the driver, before anything is opened
    require(rawbit == 10 || rawbit == 12, "the depth is one the receiver delivers");
    int lanes = check_lanes(path); // the receiver's set-up
    require(lanes >= 1 && lanes <= 4, "the lane count is one a CSI-2 link has");
    require(check_rawbit(path) == rawbit, "the scan gives the same depth again");

    int width = 0, height = 0, bufsiz = 0;
    if (InitSensor(path, &width, &height, &bufsiz) != 0)
        return;
    require(width >= 1 && width <= kMaxSide && height >= 1 && height <= kMaxSide,
            "the frame's sides are within a sensor's output size");
    long long pixels = static_cast<long long>(width) * height;
    require(pixels <= kMaxPixels, "the frame is at most 32 Mi pixels");
    // The driver derives the depth from the sizes: it must be the receiver's.
    require(bufsiz == 0 || bufsiz * 8LL / pixels == rawbit, "BUFSIZ gives the receiver's depth");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static ScratchFile file;
    const char *path = file.hold(data, size);
    tolva::sim::SimPi::reset().set_pauses_skipped(true); // files may ask for pauses of days
    I2C_ADDRESS = 0x10;
    tolva::test::CatchFatal catching;
    try {
        read_as_the_program_does(path);
    } catch (const tolva::test::FatalExit &) {
        // The program ends here, with the message written: a refused file, not a finding.
    }
    return 0;
}
