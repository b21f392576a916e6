// The program's own start-up and live loop, capture and windows replaced by stand-ins that never
// wait, in live view, a recording and a difference recording: the whole pass per frame and its
// stages as ratios to a main-memory memcpy of one 16-bit frame, measured in the same run.
//
// usage: loop_bench [--size WIDTHxHEIGHT] [--mode live|rec|diff] [--frames N] [--dir DIR]
//   --size, --mode  only this frame size (4056x3040, 3280x2464, 2028x1520, 1920x1080) or mode
//   --frames        measured passes a mode (by default fewer for larger frames)
//   --dir           where the recordings' files go (a scratch directory made there, removed
//                   after): the disk they are written to is part of the figures
#include "capture_standin.h"
#include "quiet_stdout.h"
#include "ratio_reporter.h"

#include "cap.h"
#include "difference_recording.h"
#include "ser.h"
#include "ser_testing.h"
#include "tolvacapture.h"
#include "window_script.h"
#include "zoom.h"
#include "zoom_testing.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using tolva::bench::frame16_bytes;
using tolva::bench::MemcpyReference;
using tolva::bench::RatioReport;
using tolva::test::WindowScript;
namespace fs = std::filesystem;

namespace {

using tolva::bench::QuietStdout;
using Clock = std::chrono::steady_clock;

struct FrameSize {
    const char *init_file; // in sensors/simulated/
    int width;
    int height;
    int bits;
};

const FrameSize kSizes[] = {{"sim_imx477_4056x3040_raw12.txt", 4056, 3040, 12},
                            {"sim_imx219_3280x2464_raw10.txt", 3280, 2464, 10},
                            {"sim_imx477_2028x1520_raw12.txt", 2028, 1520, 12},
                            {"sim_imx290_1920x1080_raw10.txt", 1920, 1080, 10}};

enum Mode { kLive, kRecording, kDifference, kModes };

struct ModeKind {
    const char *name;
    const char *option;
    int start_key; // -1: live view needs none
};

const ModeKind kModeKinds[kModes] = {{"live view", "live", -1},
                                     {"recording (s)", "rec", 's'},
                                     {"difference recording (d)", "diff", 'd'}};

constexpr int kEndKey = 'e';
constexpr int kQuitKey = 'q';
// Passes of live view before the mode's key, and passes of the mode left out at its start (the
// first one opens the file).
constexpr int kWarmPasses = 3;
constexpr int kSkippedPasses = 1;
// By default each mode passes about this many bytes of 16-bit frames, within these counts.
constexpr double kBytesPerMode = 1.5e9;
constexpr int kFewestFrames = 40;
constexpr int kMostFrames = 240;
constexpr int kStageFrames = 30;
// Reference copies before each mode and after the stages: the median of them all is the size's
// reference, so that load from elsewhere that comes and goes weighs on both sides of the ratio.
constexpr int kReferenceRounds = 7;

struct Options {
    int size = -1; // index into kSizes, -1 for all
    int mode = -1;
    int frames = 0; // 0: by the frame size
    std::string dir;
};

// A pass's or a stage's times: the mean is what keeping the sensor's rate needs; the median
// shows what load from elsewhere did to the mean.
struct Times {
    double mean = 0;
    double median = 0;
    int count = 0;
};

Times times_of(const std::vector<double> &seconds)
{
    return {tolva::bench::mean(seconds), tolva::bench::median(seconds),
            static_cast<int>(seconds.size())};
}

struct SizeFigures {
    Times pass[kModes];
    bool measured[kModes] = {};
    int detections = 0;
    Times read_raw, unpack, difference, ser_append;
    std::vector<double> plain_writes; // each frame's bare write() before the recordings
    std::vector<double> copies;       // the reference copies around this size's runs
    MemcpyReference reference() const { return MemcpyReference(tolva::bench::median(copies)); }
};

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void usage_error(const char *message, const char *value)
{
    std::fprintf(stderr,
                 "loop_bench: %s%s\nusage: loop_bench [--size WIDTHxHEIGHT] "
                 "[--mode live|rec|diff] [--frames N] [--dir DIR]\n",
                 message, value);
    std::exit(2);
}

int size_index(const char *text)
{
    for (int k = 0; k < static_cast<int>(std::size(kSizes)); ++k)
        if (std::to_string(kSizes[k].width) + "x" + std::to_string(kSizes[k].height) == text)
            return k;
    usage_error("no such frame size: ", text);
}

int mode_index(const char *text)
{
    for (int k = 0; k < kModes; ++k)
        if (std::strcmp(kModeKinds[k].option, text) == 0)
            return k;
    usage_error("no such mode: ", text);
}

Options read_options(int argc, char **argv)
{
    Options options;
    options.dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    for (int k = 1; k < argc; ++k) {
        std::string option = argv[k];
        if (k + 1 >= argc)
            usage_error("missing value or unknown option: ", argv[k]);
        const char *value = argv[++k];
        if (option == "--size")
            options.size = size_index(value);
        else if (option == "--mode")
            options.mode = mode_index(value);
        else if (option == "--frames")
            options.frames = std::max(kSkippedPasses + 2, std::atoi(value));
        else if (option == "--dir")
            options.dir = value;
        else
            usage_error("unknown option: ", argv[k - 1]);
    }
    return options;
}

int frames_for(const FrameSize &size, const Options &options)
{
    if (options.frames > 0)
        return options.frames;
    double frames = kBytesPerMode / static_cast<double>(frame16_bytes(size.width, size.height));
    return std::clamp(static_cast<int>(frames), kFewestFrames, kMostFrames);
}

// The type of the file system holding `path`: the entry of the longest mount point above it.
std::string file_system_of(const fs::path &path)
{
    std::ifstream mounts("/proc/self/mounts");
    std::string line, best_point, best_type = "unknown";
    std::string where = fs::weakly_canonical(path).string();
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string device, point, type;
        fields >> device >> point >> type;
        bool above = where.compare(0, point.size(), point) == 0 &&
                     (where.size() == point.size() || point == "/" || where[point.size()] == '/');
        if (above && point.size() >= best_point.size()) {
            best_point = point;
            best_type = type;
        }
    }
    return best_type + " (mounted on " + best_point + ")";
}

std::string load_average()
{
    std::ifstream loadavg("/proc/loadavg");
    std::string one, five, fifteen;
    loadavg >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// The keys of one run: live view, the mode's key, `frames` passes of the mode, its end, quit.
std::vector<int> key_script(Mode mode, int frames)
{
    std::vector<int> keys(kWarmPasses, -1);
    keys.push_back(kModeKinds[mode].start_key);
    keys.insert(keys.end(), static_cast<size_t>(frames), -1);
    keys.push_back(mode == kLive ? -1 : kEndKey);
    keys.push_back(kQuitKey);
    return keys;
}

// Durations of the passes the mode ran in full: from each ReadRAW to the next.
std::vector<double> mode_passes(int frames)
{
    const auto &starts = tolva::bench::pass_starts();
    std::vector<double> seconds;
    int first = kWarmPasses + 1 + kSkippedPasses, last = kWarmPasses + frames;
    for (int k = first; k <= last && k + 1 < static_cast<int>(starts.size()); ++k)
        seconds.push_back(std::chrono::duration<double>(starts[k + 1] - starts[k]).count());
    return seconds;
}

void remove_files_in(const fs::path &dir)
{
    for (const auto &entry : fs::directory_iterator(dir))
        fs::remove_all(entry.path());
}

// Frames written into a file of the scratch directory by a bare write() each, timed: the disk's own
// cost of a frame in the same run. The recording that follows takes their memory a frame a pass
// (the file is cut by one frame before each append), so that it writes into pages the machine
// has just used, as a long recording does on a Pi once its page cache is full. A virtual machine
// that hands freed memory back to its host (free page reporting) makes writes into memory that
// went back wait for the host, at many times a Pi's cost; the plain writes show that cost.
class PlainFrames {
public:
    PlainFrames(fs::path file, long long frame_bytes, int frames)
        : file_(std::move(file)), frame_bytes_(frame_bytes)
    {
        std::vector<unsigned char> frame(static_cast<size_t>(frame_bytes), 0x5a);
        fd_ = open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        for (; fd_ >= 0 && frames_ < frames; ++frames_) {
            Clock::time_point start = Clock::now();
            if (write(fd_, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
                break;
            seconds_.push_back(seconds_since(start));
        }
        if (frames_ < frames)
            std::fprintf(stderr, "loop_bench: can't write %s: %s\n", file_.c_str(),
                         std::strerror(errno));
    }
    ~PlainFrames()
    {
        if (fd_ >= 0)
            close(fd_);
        fs::remove(file_);
    }
    PlainFrames(const PlainFrames &) = delete;
    PlainFrames &operator=(const PlainFrames &) = delete;

    const std::vector<double> &write_seconds() const { return seconds_; }
    void give_back_frame()
    {
        if (frames_ > 0 && ftruncate(fd_, static_cast<off_t>(--frames_) * frame_bytes_) != 0)
            frames_ = 0;
    }

private:
    fs::path file_;
    long long frame_bytes_;
    int fd_ = -1;
    int frames_ = 0;
    std::vector<double> seconds_;
};

// The frames a mode's run appends, with a few to spare: a SER recording every frame from its key
// on, a difference recording the frames with a spot.
int appends_of(Mode mode, int frames)
{
    int passes = frames + kSkippedPasses + 2;
    return mode == kRecording ? passes : passes / tolva::bench::kSpotEvery + 2;
}

// Start-up and the live loop with the mode's keys, `plain` (if any) giving back a frame's memory
// for each frame the recording appends; false (reported) when start-up fails.
bool run_mode(const std::string &init_file, Mode mode, int frames, PlainFrames *plain, Driver &d,
              Times &passes)
{
    WindowScript &script = WindowScript::get();
    script.reset();
    script.keep_last_image_only(true);
    script.add_keys(key_script(mode, frames));
    // The key wait comes before the pass's append: a SER recording appends every frame from its
    // key on, a difference recording the frames its step marked.
    script.on_wait([plain, mode, &d](int pass) {
        if (plain && pass >= kWarmPasses && (mode == kRecording || d.diff == 1))
            plain->give_back_frame();
    });
    zoom_reset();
    std::string program = "tolvacapture", file = init_file;
    char *av[] = {program.data(), file.data(), nullptr};
    int status;
    {
        QuietStdout quiet;
        status = start_up(2, av, d);
        if (status == kRunLoop) {
            tolva::bench::clear_pass_starts();
            tolva::bench::reserve_pass_starts(static_cast<size_t>(frames + kWarmPasses + 4));
            status = live_loop(d);
        }
    }
    if (status != 0) {
        std::fprintf(stderr, "loop_bench: %s with %s ended with status %d\n", kModeKinds[mode].name,
                     init_file.c_str(), status);
        return false;
    }
    passes = times_of(mode_passes(frames));
    return true;
}

// Times `measured` on each of `frames` frames after `prepare` has made the frame ready.
template <typename Prepare, typename Measured>
Times stage(int frames, Prepare prepare, Measured measured)
{
    std::vector<double> seconds;
    for (int k = 0; k < frames; ++k) {
        prepare();
        Clock::time_point start = Clock::now();
        measured();
        seconds.push_back(seconds_since(start));
    }
    return times_of(seconds);
}

void next_frame(Driver &d)
{
    ReadRAW(d.RawImage.get());
    std::swap(d.BinImage2, d.BinImage3);
    CnvertImage(d.BinImage2.get(), d.RawImage.get(), d.bufsiz, d.rawbit, d.raw8_flag);
}

// The stages, on the frames of the run that `d` comes from, through the program's own functions.
void measure_stages(Driver &d, int frames, const fs::path &scratch, SizeFigures &figures)
{
    QuietStdout quiet;
    unsigned char *raw = d.RawImage.get();
    figures.read_raw = stage(
        frames, [] {}, [raw] { ReadRAW(raw); });
    figures.unpack = stage(
        frames, [raw] { ReadRAW(raw); },
        [&d] {
            CnvertImage(d.BinImage2.get(), d.RawImage.get(), d.bufsiz, d.rawbit, d.raw8_flag);
        });
    prepare_difference_recording(d);
    // As the loop does after a pass of the recording: the frame appended, the mark cleared.
    figures.difference = stage(
        frames, [&d] { next_frame(d); },
        [&d] {
            difference_step(d);
            d.diff = 0;
        });
    d.mode = MODE_LIVE;
    WriteSERHeader("stages.ser");
    int bytes = d.width * d.height * d.dpp / 8;
    PlainFrames plain(scratch / "plain_frames.bin", bytes, frames);
    figures.ser_append = stage(
        frames,
        [&plain] {
            plain.give_back_frame();
            timeval now;
            gettimeofday(&now, nullptr);
            SetSERFrameTime(&now);
        },
        [&d, bytes] { WriteSERImage(d.BinImage2.get(), bytes, d.dpp); });
    CloseSER();
}

void append(std::vector<double> &to, const std::vector<double> &more)
{
    to.insert(to.end(), more.begin(), more.end());
}

std::string size_name(const FrameSize &size)
{
    return std::to_string(size.width) + "x" + std::to_string(size.height) + " RAW" +
           std::to_string(size.bits);
}

void print_times(const RatioReport &report, const std::string &name, const Times &times,
                 long long bytes)
{
    std::printf("  %s  median %.2fx over %d\n", report.line(name, times.mean, bytes).c_str(),
                report.reference().ratio(times.median, bytes), times.count);
}

// The live pass less the stages it holds besides the display; 0 without a live run.
double display_seconds(const SizeFigures &f)
{
    if (!f.measured[kLive])
        return 0;
    return std::max(0.0, f.pass[kLive].mean - f.read_raw.mean - f.unpack.mean);
}

void print_size(const RatioReport &report, const FrameSize &size, const SizeFigures &f)
{
    long long bytes = frame16_bytes(size.width, size.height);
    std::printf("\n%s: memcpy of its 16-bit frame (%.1f MB) %.3f ms; whole pass per frame "
                "(mean, median), then stages\n  %s (median of %zu around this size's runs)\n",
                size_name(size).c_str(), static_cast<double>(bytes) / 1e6,
                report.reference().seconds_for(bytes) * 1e3, report.reference_line().c_str(),
                f.copies.size());
    for (int mode = 0; mode < kModes; ++mode)
        if (f.measured[mode])
            print_times(report, kModeKinds[mode].name, f.pass[mode], bytes);
    if (f.measured[kDifference])
        std::printf("  (difference recording: %d detections, a spot every %d frames)\n",
                    f.detections, tolva::bench::kSpotEvery);
    print_times(report, "ReadRAW copy", f.read_raw, bytes);
    print_times(report, "unpack RAW" + std::to_string(size.bits) + "->16", f.unpack, bytes);
    if (f.measured[kLive])
        report.print("  display (live pass - ReadRAW - unpack)", display_seconds(f), bytes);
    print_times(report, "difference step", f.difference, bytes);
    print_times(report, "SER append", f.ser_append, bytes);
    if (!f.plain_writes.empty())
        print_times(report, "plain write() of the frame", times_of(f.plain_writes), bytes);
}

std::string cell(const RatioReport &report, bool measured, double seconds, long long bytes)
{
    return measured ? report.ratio_text(seconds, bytes) : "-";
}

void print_table(const std::vector<std::pair<int, SizeFigures>> &all)
{
    std::printf(
        "\n| frame | live | recording (s) | difference recording (d) | ReadRAW copy | unpack "
        "| display | difference step | SER append |\n"
        "|---|---|---|---|---|---|---|---|---|\n");
    for (const auto &[index, f] : all) {
        const FrameSize &size = kSizes[index];
        long long bytes = frame16_bytes(size.width, size.height);
        RatioReport report(f.reference());
        std::printf("| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", size_name(size).c_str(),
                    cell(report, f.measured[kLive], f.pass[kLive].mean, bytes).c_str(),
                    cell(report, f.measured[kRecording], f.pass[kRecording].mean, bytes).c_str(),
                    cell(report, f.measured[kDifference], f.pass[kDifference].mean, bytes).c_str(),
                    report.ratio_text(f.read_raw.mean, bytes).c_str(),
                    report.ratio_text(f.unpack.mean, bytes).c_str(),
                    cell(report, f.measured[kLive], display_seconds(f), bytes).c_str(),
                    report.ratio_text(f.difference.mean, bytes).c_str(),
                    report.ratio_text(f.ser_append.mean, bytes).c_str());
    }
}

// A scratch directory for the recordings, which is also the working directory (the masks and
// the files the keys write) and HOME (no user script is found there).
fs::path make_scratch(const std::string &dir)
{
    std::string pattern = dir + "/loop_bench.XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::fprintf(stderr, "loop_bench: can't make a directory in %s: %s\n", dir.c_str(),
                     std::strerror(errno));
        std::exit(1);
    }
    fs::path scratch = fs::absolute(pattern);
    fs::current_path(scratch);
    setenv("HOME", scratch.c_str(), 1);
    return scratch;
}

} // namespace

int main(int argc, char **argv)
{
    Options options = read_options(argc, argv);
    fs::path sensors = fs::path(TOLVA_SOURCE_DIR) / "sensors" / "simulated";
    fs::path scratch = make_scratch(options.dir);
    std::string stamps = (scratch / "timestamp.bin").string();
    TimeStampFile = stamps.c_str();

    std::printf("loop_bench: the program's start-up and live loop, frames always ready, windows "
                "scripted; ratios to a main-memory memcpy of the 16-bit frame, measured around "
                "each size's runs\n");
    std::printf("recordings write SER files to %s on %s: disk writes are included\n",
                scratch.c_str(), file_system_of(scratch).c_str());
    std::printf("load average at the start: %s\n", load_average().c_str());

    std::vector<std::pair<int, SizeFigures>> all;
    for (int index = 0; index < static_cast<int>(std::size(kSizes)); ++index) {
        if (options.size >= 0 && options.size != index)
            continue;
        const FrameSize &size = kSizes[index];
        std::string init_file = (sensors / size.init_file).string();
        int frames = frames_for(size, options);
        SizeFigures figures;
        std::unique_ptr<Driver> d;
        for (int mode = 0; mode < kModes; ++mode) {
            if (options.mode >= 0 && options.mode != mode)
                continue;
            append(figures.copies, MemcpyReference::copy_times(kReferenceRounds));
            std::unique_ptr<PlainFrames> plain;
            if (mode != kLive) {
                plain = std::make_unique<PlainFrames>(scratch / "plain_frames.bin",
                                                      frame16_bytes(size.width, size.height),
                                                      appends_of(static_cast<Mode>(mode), frames));
                append(figures.plain_writes, plain->write_seconds());
            }
            d = std::make_unique<Driver>();
            if (!run_mode(init_file, static_cast<Mode>(mode), frames, plain.get(), *d,
                          figures.pass[mode]))
                return 1;
            figures.measured[mode] = true;
            if (mode == kDifference)
                figures.detections = d->diffcount;
            remove_files_in(scratch);
        }
        measure_stages(*d, std::min(frames, kStageFrames), scratch, figures);
        remove_files_in(scratch);
        append(figures.copies, MemcpyReference::copy_times(kReferenceRounds));
        print_size(RatioReport(figures.reference()), size, figures);
        all.emplace_back(index, figures);
        std::fflush(stdout);
    }
    print_table(all);
    std::printf("\nload average at the end: %s\n", load_average().c_str());
    fs::current_path("/");
    fs::remove_all(scratch);
    return 0;
}
