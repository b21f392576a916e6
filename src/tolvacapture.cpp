// The driver: start-up, raw frame unpacking and masking, the live loop and difference detection.
#include "tolvacapture.h"

#include "camera_i2c.h"
#include "cap.h"
#include "diffstep.h"
#include "display.h"
#include "fits.h"
#include "host.h"
#include "i2c.h"
#include "image.h"
#include "magic.h"
#include "ser.h"
#include "tolvacapture_version.h"
#include "unpack.h"
#include "util.h"
#include "window.h"
#include "zoom.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// The version comes from the build (CMakeLists.txt's project VERSION).
static const char kProgramVersion[] =
    "@(#)tolvacapture Ver. " TOLVA_VERSION " (2026/12/08 17:30:00)";

int frame_count;
int oc;
double st;
double et;

namespace {

const char kLiveWindow[] = "se_cam";
const char kDiffWindow[] = "ImageDiff";
const char kStackWindow[] = "ImageDiffStack";
const char kRecordMask[] = "./mask_rec.png";
const char kDetectionMask[] = "./mask_det.png";
const char kDetectScript[] = "~/detect_voice.sh";
const char kDetectScriptName[] = "detect_voice.sh"; // in the home directory

// The ImageDiff window's picture when the display is reduced, kept from frame to frame.
cv::Mat DiffPicture;
// The marked samples of each row of the current difference (the difference step's passes over
// the marks skip the rows without any), and the ImageDiffStack window's picture at full size
// and reduced, all kept from frame to frame.
std::vector<int> RowMarks;
cv::Mat StackPicture;
cv::Mat StackView;

// Three hundred thousand empty polls of 500 us: the stream has stalled for 150 s.
constexpr int kTimeoutPolls = 300000;
constexpr unsigned int kPollSleepUs = 500;
// Ten thousand empty polls, 5 s, without any frame since the pipeline opened: the user is told
// what is waited for.
constexpr int kNoFrameHintPolls = 10000;

// A camera that is powering up answers within the first attempts of the bring-up; after them
// the attempts pause, so that waiting for a camera that is not there leaves the processor free.
constexpr int kQuickAttempts = 10;
constexpr unsigned int kAttemptPauseUs = 100000;

// The signals that end the program as q does. The handlers, on whichever thread a signal
// reaches, only record it; the main thread acts on it between passes of its loops.
struct EndSignalKind {
    int number;
    const char *name;
};
const EndSignalKind kEndSignals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
std::atomic<int> EndSignal{0};
std::atomic<unsigned int> EndSignalsSeen{0}; // one bit per signal number
static_assert(std::atomic<int>::is_always_lock_free &&
                  std::atomic<unsigned int>::is_always_lock_free,
              "signal handlers may only use lock-free atomics");

// Keys as waitKey returns them; upper-case letters are other keys.
constexpr int kKeyEsc = 27;
constexpr int kKeyQuit = 'q';
constexpr int kKeyReloadMask = 'r';
constexpr int kKeyWrite = 'w';
constexpr int kKeyRecord = 's';
constexpr int kKeyDiffRecord = 'd';
constexpr int kKeyEnd = 'e';

// 12-bit full scale (4095) a little above 8-bit white: samples above 3181 saturate.
constexpr float kZoomMagnification = 2.0f;
// Stack samples are 0 or 65535; an eighth of that saturates to white.
constexpr double kStackScale = 0.125;
// A detection: the changed samples are more than this percentage of the frame ...
constexpr double kMinChangedPercent = 0.001;
// ... and spread over less than this fraction of the frame in at least one direction.
constexpr double kCompactFraction = 0.1;

// Display divisor: large raw lines or tall frames are shown reduced.
constexpr int kQuarterLine = 3800;
constexpr int kQuarterHeight = 3000;
constexpr int kHalfLine = 1900;
constexpr int kHalfHeight = 1000;

void sleep_us(unsigned int microseconds) { usleep(microseconds); }

void set_disposition(int sig, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = handler == SIG_DFL ? 0 : SA_RESTART;
    sigaction(sig, &action, nullptr);
}

// Async-signal-safe: lock-free atomics, sigaction and raise only. A signal that comes again
// ends the program at once: its default action is restored and it is raised anew (delivered as
// soon as this handler returns).
void record_end_signal(int sig)
{
    int saved_errno = errno;
    unsigned int bit = 1u << sig;
    if (EndSignalsSeen.fetch_or(bit) & bit) {
        set_disposition(sig, SIG_DFL);
        raise(sig);
    } else {
        int none = 0;
        EndSignal.compare_exchange_strong(none, sig);
    }
    errno = saved_errno;
}

// Writes to a pipe whose reader has gone fail with EPIPE instead of ending the program. A
// handler rather than SIG_IGN: commands run through the shell get the default action back.
void ignore_signal(int) {}

const char *end_signal_name(int sig)
{
    for (const EndSignalKind &kind : kEndSignals)
        if (kind.number == sig)
            return kind.name;
    return "a signal";
}

void announce_end_signal(int sig)
{
    std::fprintf(stderr, "tolvacapture: %s received, quitting\n", end_signal_name(sig));
}

int end_signal_status(int sig) { return 128 + sig; }

// Threads that the capture library and the window system start inherit the signal mask of the
// thread that makes them: made with the ending signals blocked, they never take one in the
// middle of a library call, and the signals go to the main thread, where they also cut short
// the sleeps of its loops.
template <typename Call> void with_end_signals_held(Call call)
{
    sigset_t held, old;
    sigemptyset(&held);
    for (const EndSignalKind &kind : kEndSignals)
        sigaddset(&held, kind.number);
    pthread_sigmask(SIG_BLOCK, &held, &old);
    call();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void usage(const char *program) { std::printf("usage> %s sensor_init_file [-8]\n", program); }

void print_key_help()
{
    std::printf("-------------------------\n"
                "[Esc] / [q] : quit\n"
                "[w]         : write raw data\n"
                "[s]         : start recording\n"
                "[d]         : start diff recording\n"
                "[e]         : end recording\n"
                "-------------------------\n");
}

void report_waiting_for_sensor()
{
    const char *revision = GetRev();
    std::fprintf(stderr,
                 "tolvacapture: no device answers on I2C bus 0 after routing for board revision "
                 "%s; waiting for one\n",
                 revision ? revision : "(none)");
}

// Routes the camera's bus and checks it until a device answers: 0, or the ending signal that
// came meanwhile (nothing is open yet then).
int bring_up_board(Driver &d)
{
    for (int attempt = 1;; ++attempt) {
        std::printf("exec camera_i2c\n");
        camera_i2c(0);
        if (magic() >= 0)
            return 0;
        if (int sig = end_signal())
            return sig;
        if (attempt < kQuickAttempts)
            continue;
        if (attempt == kQuickAttempts)
            report_waiting_for_sensor();
        d.poll_sleep(kAttemptPauseUs);
    }
}

void choose_sensor_kind(Driver &d)
{
    if (std::strstr(d.fname, "imx397")) {
        std::printf("Monochrome");
        d.colorID = 0;
    } else {
        std::printf("Color");
        d.colorID = 8; // SER's code for an RGGB Bayer mosaic
    }
    std::printf(" Imagesensor Detect\n");
}

int bytes_per_sample(const Driver &d) { return d.raw8_flag ? 1 : 2; }

long long frame_samples(const Driver &d) { return static_cast<long long>(d.width) * d.height; }

FrameBuffer allocate(long long bytes)
{
    return FrameBuffer(static_cast<unsigned char *>(std::malloc(static_cast<size_t>(bytes))));
}

// Reads a mask image into `mask` as 8-bit grey. A missing file is no error and leaves `mask`
// as it was; so does a file of another size than the frame's, which is reported.
void load_mask(const char *path, Driver &d, cv::Mat &mask)
{
    // Checked first: the image reader warns about a missing file, and a missing mask is normal.
    if (access(path, R_OK) != 0)
        return;
    d.readmask = cv::imread(path, cv::IMREAD_COLOR);
    if (d.readmask.empty())
        return;
    if (d.readmask.cols != d.width || d.readmask.rows != d.height) {
        std::fprintf(stderr, "tolvacapture: %s is %dx%d, the frame %dx%d: mask ignored\n", path,
                     d.readmask.cols, d.readmask.rows, d.width, d.height);
        return;
    }
    cv::cvtColor(d.readmask, mask, cv::COLOR_RGB2GRAY);
}

void apply_mask(const cv::Mat &mask, unsigned char *frame, const Driver &d)
{
    if (d.raw8_flag)
        bmask8(mask, frame, d.width, d.height);
    else
        bmask(mask, reinterpret_cast<unsigned short *>(frame), d.width, d.height);
}

unsigned short *samples16(const FrameBuffer &buffer)
{
    return reinterpret_cast<unsigned short *>(buffer.get());
}

template <typename Sample> void blank_masked(const cv::Mat &msk, Sample *dst, int width, int height)
{
    if (msk.cols != width || msk.rows != height)
        return;
    size_t element = msk.elemSize();
    for (int j = 0; j < msk.rows; ++j) {
        const unsigned char *row = msk.ptr<unsigned char>(j);
        Sample *out = dst + static_cast<size_t>(j) * msk.cols;
        for (int i = 0; i < msk.cols; ++i)
            if (row[i * element] != 0)
                out[i] = 0;
    }
}

void high_bytes_of_16(unsigned char *dst, const unsigned char *src, int pairs)
{
    for (int p = 0; p < pairs; ++p)
        dst[p] = src[2 * p + 1];
}

// The stack as an 8-bit picture with its caption, at full resolution: converted in one band a
// thread over OpenCV's threads (each band's conversion is the whole frame's, sample for sample).
const cv::Mat &stack_picture(Driver &d)
{
    const cv::Mat stack(d.height, d.width, CV_16U, d.StkImage.get());
    StackPicture.create(d.height, d.width, CV_8U); // allocated once per geometry
    cv::parallel_for_(
        cv::Range(0, d.height),
        [&stack](const cv::Range &rows) {
            cv::Mat band = StackPicture.rowRange(rows.start, rows.end);
            stack.rowRange(rows.start, rows.end).convertTo(band, CV_8U, kStackScale, 0.0);
        },
        cv::getNumThreads());
    std::snprintf(d.str, sizeof d.str, "%d differences detected", d.diffcount);
    cv::putText(StackPicture, d.str, cv::Point(20, 50), cv::FONT_HERSHEY_SIMPLEX, 1.0,
                cv::Scalar(200, 200, 200, 0), 1, cv::LINE_8, false);
    return StackPicture;
}

void show_stack(Driver &d)
{
    cv::resize(stack_picture(d), StackView, cv::Size(), 1.0 / d.div, 1.0 / d.div, cv::INTER_LINEAR);
    win_imshow(kStackWindow, StackView);
}

// The difference's marks into the stack (SLImage), on the rows that hold any: on the others the
// maximum with 0 leaves the stack as it is.
void stack_marked_rows(Driver &d, const unsigned short *diff)
{
    unsigned short *stack = samples16(d.StkImage);
    const std::size_t w = static_cast<std::size_t>(d.width);
    for (int j = 0; j < d.height;) {
        if (RowMarks[j] == 0) {
            ++j;
            continue;
        }
        int end = j + 1;
        while (end < d.height && RowMarks[end] != 0)
            ++end;
        SLImage(stack + j * w, diff + j * w, d.width, end - j, 0);
        j = end;
    }
}

// The user's script, through the shell, without waiting for it: the loop goes on with the frames
// of the event it announces. A script that is not there is not started (the shell would say
// "not found" at every run of detections).
void start_script(Driver &d)
{
    const char *home = std::getenv("HOME");
    if (home && access((std::string(home) + "/" + kDetectScriptName).c_str(), F_OK) != 0)
        return;
    pid_t pid = host_spawn_shell(kDetectScript);
    if (pid < 0) {
        std::fprintf(stderr, "tolvacapture: can't start %s: %s\n", kDetectScript,
                     std::strerror(errno));
        return;
    }
    d.scripts.push_back(pid);
}

// Scripts that have ended are reaped (their results are of no concern); running ones stay.
void reap_scripts(Driver &d)
{
    auto ended = [](pid_t pid) {
        int status;
        return host_waitpid_nohang(pid, &status) != 0;
    };
    d.scripts.erase(std::remove_if(d.scripts.begin(), d.scripts.end(), ended), d.scripts.end());
}

void detection(Driver &d, double sx, double sy)
{
    ++d.diffcount;
    std::printf("%5d:Diff Detect. sx:%04.0lf sy:%04.0lf\n", d.diffcount, sx, sy);
    d.diff = 1;
    // The script announces the start of a run of detections in consecutive frames.
    if (oc + 1 != frame_count)
        start_script(d);
    oc = frame_count;
}

// The SER append of the current frame, stamped with the time it was received.
void stamp_frame()
{
    timeval received;
    GetFrameTime(&received);
    SetSERFrameTime(&received);
}

void append_frame(void *driver)
{
    Driver &d = *static_cast<Driver *>(driver);
    WriteSERImage(d.BinImage2.get(), d.width * d.height * d.dpp / 8, d.dpp);
}

// The reduced picture goes to "se_cam"; of the full-size one only the zoomed region is made.
// With `append`, the frame is appended to the recording while the picture is made.
void show_frame(Driver &d, bool append)
{
    cv::Mat dsp8BitMat, regionMat;
    if (append)
        stamp_frame();
    display_view_beside(d.BinImage2.get(), dsp8BitMat, append ? append_frame : nullptr, &d);
    cv::Rect region;
    if (zoom_region(cv::Size(d.width, d.height), &region) == 1)
        display_region(d.BinImage2.get(), region, regionMat);
    zoom_imshow_region(regionMat, dsp8BitMat, kZoomMagnification);
    win_imshow(kLiveWindow, dsp8BitMat);
}

// PNG pictures are encoded in memory and written as the other files are, so that a picture that
// cannot be written is reported with the system's reason, whichever step failed.
bool write_png(const char *fname, const cv::Mat &picture)
{
    std::vector<unsigned char> png;
    if (!cv::imencode(".png", picture, png)) {
        std::fprintf(stderr, "can't write %s: the picture cannot be encoded\n", fname);
        return false;
    }
    int result = write_whole_file(fname, png.data(), png.size());
    if (result == kFileNotCreated)
        report_write_failure(fname);
    return result == 0;
}

void new_base_name(Driver &d)
{
    std::snprintf(d.tfname, sizeof d.tfname, "%s", MakeFileName(d.width, d.height));
}

// Base names (frame size and time stamp) are far shorter; the bound keeps room for the endings.
constexpr int kBaseNameMax = 8000;

// wfname := tfname + extension.
void name_file(Driver &d, const char *extension)
{
    std::snprintf(d.wfname, sizeof d.wfname, "%.*s%s", kBaseNameMax, d.tfname, extension);
}

void announce_written(bool written, const char *fname)
{
    if (written)
        std::printf("write: %s\n", fname);
}

// Each file is announced once it is written; a file that is not is reported by its writer
// instead, so no line claims a file that a full disk or an unwritable directory kept out.
void write_frame(Driver &d)
{
    cv::Mat rgb8BitMat; // the full-size demosaiced picture, made only for the PNG
    display_full(d.BinImage2.get(), rgb8BitMat);
    new_base_name(d);
    name_file(d, ".raw");
    announce_written(WriteRAW(d.wfname, d.BinImage2.get(), d.BinSize) == 0, d.wfname);
    name_file(d, ".png");
    announce_written(write_png(d.wfname, rgb8BitMat), d.wfname);
    name_file(d, ".fts");
    announce_written(WriteFTS(d.BinImage2.get(), d.BinSize, d.bpp, d.wfname) == 0, d.wfname);
}

// While a recording runs, frames wait in the hand-over, so a stall of the loop loses none.
void start_recording(Driver &d)
{
    new_base_name(d);
    name_file(d, ".ser");
    WriteSERHeader(d.wfname);
    d.recording_drops = 0;
    BufferFrames(1);
}

void close_recording(Driver &d)
{
    if (d.recording_drops != 0)
        std::printf("%d frames dropped\n", d.recording_drops);
    CloseSER();
}

// Acts on the key of this pass; false when the loop is to be left at once.
bool act_on_key(Driver &d)
{
    bool recording = d.mode == MODE_RECORDING || d.mode == MODE_DIFF_RECORDING;
    switch (d.keycode) {
    case kKeyEsc:
    case kKeyQuit:
        if (!recording)
            return false;
        d.mode = MODE_QUIT;
        break;
    case kKeyReloadMask:
        load_mask(kRecordMask, d, d.mask_r);
        break;
    case kKeyWrite:
        write_frame(d);
        break;
    case kKeyRecord:
        if (d.mode == MODE_LIVE) {
            d.mode = MODE_RECORDING;
            start_recording(d);
        }
        break;
    case kKeyDiffRecord:
        if (d.mode == MODE_LIVE) {
            prepare_difference_recording(d);
            start_recording(d);
        }
        break;
    case kKeyEnd:
        if (d.mode == MODE_RECORDING)
            d.mode = MODE_END_RECORDING;
        else if (d.mode == MODE_DIFF_RECORDING)
            end_difference_recording(d);
        break;
    default:
        break;
    }
    return true;
}

// Appends the frame when the state says so, unless it was `appended` already, and closes a
// recording that ends; false when the loop is to be left.
bool recording_step(Driver &d, bool appended)
{
    if (!appended && (d.mode != MODE_DIFF_RECORDING || d.diff == 1)) {
        stamp_frame();
        append_frame(&d);
    }
    d.diff = 0;
    if (d.mode == MODE_END_RECORDING) {
        close_recording(d);
        BufferFrames(0); // live view: the window is current again at once
        d.mode = MODE_LIVE;
    } else if (d.mode == MODE_QUIT) {
        close_recording(d);
        return false;
    }
    return true;
}

// Raw lines that carry fill after their samples are unpacked line by line, the fill skipped, so
// that the frame buffer holds exactly width x height samples; other frames as one stream.
void unpack_frame(Driver &d)
{
    if (lines_carry_fill(d.width, d.xwidth, d.rawbit))
        unpack_lines(d.BinImage2.get(), d.RawImage.get(), d.width, d.height, d.xwidth, d.rawbit,
                     d.raw8_flag);
    else
        CnvertImage(d.BinImage2.get(), d.RawImage.get(), d.RawSize, d.rawbit, d.raw8_flag);
}

// One pass that received a frame; false when the loop is to be left.
bool frame_pass(Driver &d)
{
    ++frame_count;
    d.timeout_counter = 0;
    std::swap(d.BinImage2, d.BinImage3);
    unpack_frame(d);
    if (!d.mask_r.empty())
        apply_mask(d.mask_r, d.BinImage2.get(), d);
    if (d.mode == MODE_DIFF_RECORDING)
        difference_step(d);
    // In a SER recording every frame is appended, whatever key this pass reads: the append
    // runs beside the display. A difference recording's `e` drops the frame it ends on.
    const bool append_now = d.mode == MODE_RECORDING;
    show_frame(d, append_now);
    d.keycode = win_waitKey(1);
    if (!act_on_key(d))
        return false;
    return d.mode == MODE_LIVE || recording_step(d, append_now);
}

void complete_recording(Driver &d)
{
    if (d.mode != MODE_LIVE)
        close_recording(d);
    d.mode = MODE_LIVE;
}

// The stream stalled: an open recording is completed and the pipeline closed before the end.
int time_out(Driver &d)
{
    complete_recording(d);
    CloseSensor(d.s_status);
    std::fprintf(stderr, "tolvacapture: time out.\n");
    return 1;
}

// Nothing came since the pipeline opened: what the receiver waits for, and what usually keeps
// it waiting, for each family of sensor registers. The time-out follows later as ever.
void no_frame_hint(const Driver &d)
{
    std::fprintf(stderr,
                 "tolvacapture: no frame in 5 s: the camera receiver waits for %dx%d RAW%d frames "
                 "on %d lanes (BUFSIZ %d); check the init file: RAWBIT, DATA_LANES, WIDTH and "
                 "HEIGHT against the sensor's data format, lane and output size registers (CCS "
                 "style: 0x0112, 0x0114, 0x034C; IMX219: 0x018C, 0x0114, 0x016C; Sony STARVIS: "
                 "ADBIT, lanes, window), the writes that start streaming (0x0100 = 1; Sony: "
                 "standby 0x3000 = 0, master start 0x3002 = 0, on the IMX296 0x300A = 0), the "
                 "input clock a Sony file is written for, BUFSIZ against the frame size\n",
                 d.width, d.height, d.rawbit == 12 ? 12 : 10, check_lanes(d.fname), d.bufsiz);
}

int finish(Driver &d)
{
    et = GetTime();
    int dropped = GetDropCount();
    reap_scripts(d);
    win_destroyWindow(kLiveWindow);
    if (CloseSensor(d.s_status) < 0) {
        std::printf(" Error CloseSensor.\n");
        return 1;
    }
    double elapsed = et - st;
    std::printf("frame_count = %d\n", frame_count);
    std::printf("time        = %f\n", elapsed);
    std::printf("fps         = %f\n", frame_rate(frame_count, elapsed));
    std::printf("dropped     = %d\n", dropped);
    return 0;
}

// The way out that q takes, for an ending signal: a difference recording ends as on quit, without
// its stack image. A pipeline that cannot be closed keeps its own status 1.
int end_by_signal(Driver &d, int sig)
{
    announce_end_signal(sig);
    complete_recording(d);
    int status = finish(d);
    return status == 0 ? end_signal_status(sig) : status;
}

void default_sleep(Driver &d)
{
    if (!d.poll_sleep)
        d.poll_sleep = sleep_us;
}

} // namespace

// A signal that was ignored when the program started stays ignored: whoever started it asked
// for that (nohup, a job that a script started in the background).
void catch_end_signals()
{
    EndSignal = 0;
    EndSignalsSeen = 0;
    for (const EndSignalKind &kind : kEndSignals) {
        struct sigaction current;
        sigaction(kind.number, nullptr, &current);
        if (current.sa_handler != SIG_IGN)
            set_disposition(kind.number, record_end_signal);
    }
    set_disposition(SIGPIPE, ignore_signal);
}

int end_signal() { return EndSignal.load(); }

long long unpacked_size(int srcSize, int bpp, int raw8)
{
    long long size = srcSize;
    switch (bpp) {
    case 10:
        return size / 5 * (raw8 ? 4 : 8);
    case 12:
        return size / 3 * (raw8 ? 2 : 4);
    case 8:
        return size;
    case 16:
        return raw8 ? size / 2 : size;
    default:
        return 0;
    }
}

void CnvertImage(unsigned char *dst, unsigned char *src, int srcSize, int bpp, int raw8)
{
    if (srcSize <= 0)
        return;
    switch (bpp) {
    case 10:
        unpack_groups(dst, src, srcSize / 5, 10, raw8);
        break;
    case 12:
        unpack_groups(dst, src, srcSize / 3, 12, raw8);
        break;
    case 8:
        std::memcpy(dst, src, static_cast<size_t>(srcSize));
        break;
    case 16:
        if (raw8)
            high_bytes_of_16(dst, src, srcSize / 2);
        else
            std::memcpy(dst, src, static_cast<size_t>(srcSize));
        break;
    default:
        break;
    }
}

void bmask(const cv::Mat &msk, unsigned short *dst, int width, int height)
{
    blank_masked(msk, dst, width, height);
}

void bmask8(const cv::Mat &msk, unsigned char *dst, int width, int height)
{
    blank_masked(msk, dst, width, height);
}

int read_command_line(int ac, char **av, Driver &d)
{
    if (ac == 2) {
        d.fname = av[1];
        return 0;
    }
    if (ac == 3) {
        // The second argument is tested first: "-8 -8" takes the first as the path.
        if (std::strcmp(av[2], "-8") == 0) {
            d.fname = av[1];
            d.raw8_flag = true;
            return 0;
        }
        if (std::strcmp(av[1], "-8") == 0) {
            d.fname = av[2];
            d.raw8_flag = true;
            return 0;
        }
    }
    usage(av[0]);
    return -1;
}

int derive_geometry(Driver &d)
{
    if (d.width <= 0 || d.height <= 0) {
        std::fprintf(stderr, "tolvacapture: frame size %dx%d cannot be captured\n", d.width,
                     d.height);
        return -1;
    }
    d.xwidth = d.bufsiz / d.height;
    if (d.xwidth > kQuarterLine || d.height > kQuarterHeight)
        d.div = 4;
    else if (d.xwidth > kHalfLine || d.height > kHalfHeight)
        d.div = 2;
    else
        d.div = 1;
    d.RawSize = d.bufsiz;
    long long raw_bits = static_cast<long long>(d.RawSize) * 8;
    long long bpp = raw_bits / d.width / d.height;
    if (bpp != 10 && bpp != 12) {
        std::fprintf(stderr,
                     "tolvacapture: a raw frame of %d bytes for %dx%d pixels gives %lld bits a "
                     "pixel; only 10 and 12 can be unpacked\n",
                     d.RawSize, d.width, d.height, bpp);
        return -1;
    }
    d.bpp = static_cast<int>(bpp);
    // Lines with fill are unpacked without it (unpack_frame): the frame is its samples alone.
    long long size = d.RawSize;
    long long bin_size = d.bpp == 10 ? (d.raw8_flag ? size * 4 / 5 : size * 8 / 5)
                                     : (d.raw8_flag ? size * 2 / 3 : size * 4 / 3);
    if (lines_carry_fill(d.width, d.xwidth, d.bpp))
        bin_size = frame_samples(d) * bytes_per_sample(d);
    // Frame sizes are ints everywhere (the writers take them so).
    if (bin_size > INT_MAX) {
        std::fprintf(stderr,
                     "tolvacapture: a raw frame of %d bytes unpacks to %lld bytes, more than %d\n",
                     d.RawSize, bin_size, INT_MAX);
        return -1;
    }
    d.BinSize = static_cast<int>(bin_size);
    d.dpp = d.raw8_flag ? 8 : 16;
    d.depth = d.raw8_flag ? CV_8U : CV_16U;
    return 0;
}

double frame_rate(int frames, double seconds)
{
    // No frame or no measurable time gives no rate: 0 rather than inf or nan.
    if (frames <= 0 || seconds <= 0)
        return 0.0;
    return 1.0 / (seconds / frames);
}

unsigned short difference_threshold(const Driver &d)
{
    // The same fraction (three eighths) of the samples' range: 8-bit samples with -8.
    int bits = d.raw8_flag ? 8 : d.bpp;
    return static_cast<unsigned short>(d.bthresh >> (16 - bits));
}

// The frame buffers hold what the unpacker writes, what the display reads (width x height
// samples) and BinSize, whichever is largest; the difference buffers width x height 16-bit
// samples whatever the mode.
bool allocate_buffers(Driver &d)
{
    long long frame = std::max({static_cast<long long>(d.BinSize),
                                unpacked_size(d.RawSize, d.rawbit, d.raw8_flag),
                                frame_samples(d) * bytes_per_sample(d)});
    long long wide = frame_samples(d) * 2;
    d.RawImage = allocate(d.RawSize);
    d.BinImage2 = allocate(frame);
    d.BinImage3 = allocate(frame);
    d.DiffImage = allocate(wide);
    d.StkImage = allocate(wide);
    return d.RawImage && d.BinImage2 && d.BinImage3 && d.DiffImage && d.StkImage;
}

int start_up(int ac, char **av, Driver &d)
{
    // Console lines as they happen, also into a pipe or a file (a log, the user's script's
    // output in between).
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    catch_end_signals();
    default_sleep(d);
    std::printf("%s\n", kProgramVersion + 4);
    if (int sig = bring_up_board(d)) {
        announce_end_signal(sig);
        return end_signal_status(sig);
    }
    if (read_command_line(ac, av, d) < 0)
        return 0;
    d.rawbit = check_rawbit(d.fname);
    if (d.rawbit < 0) {
        std::fprintf(stderr, "tolvacapture: check_rawbit error\n");
        return 1;
    }
    choose_sensor_kind(d);
    with_end_signals_held([&d] { d.s_status = OpenSensor(d.fname); });
    if (d.s_status < 0) {
        CloseSensor(d.s_status);
        return 1;
    }
    d.width = GetWidth();
    d.height = GetHeight();
    d.bufsiz = GetBufSiz();
    if (derive_geometry(d) < 0) {
        CloseSensor(d.s_status);
        return 1;
    }
    print_key_help();
    with_end_signals_held(
        [] { win_namedWindow(kLiveWindow, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL); });
    if (!allocate_buffers(d)) {
        std::perror("malloc error");
        CloseSensor(d.s_status);
        return 1;
    }
    load_mask(kRecordMask, d, d.mask_r);
    return kRunLoop;
}

int live_loop(Driver &d)
{
    default_sleep(d);
    InitFits(d.BinSize, d.width, d.height, d.fname);
    InitSer(d.dpp, d.width, d.height, d.fname, d.colorID);
    d.timeout_counter = 0;
    oc = 0;
    frame_count = 0;
    st = GetTime();
    display_init(d.width, d.height, d.depth, d.div);
    zoom_setMouseCallback(kLiveWindow, 1.0f / d.div);
    for (;;) {
        if (int sig = end_signal())
            return end_by_signal(d, sig);
        UpdateSERHeader();
        reap_scripts(d);
        if (!ReadRAW(d.RawImage.get())) {
            if (++d.timeout_counter > kTimeoutPolls)
                return time_out(d);
            if (frame_count == 0 && d.timeout_counter == kNoFrameHintPolls)
                no_frame_hint(d);
            d.poll_sleep(kPollSleepUs);
            continue;
        }
        // Frames lost before this one, when the one before was part of the open recording.
        if (d.mode != MODE_LIVE)
            d.recording_drops += GetFrameGap();
        if (!frame_pass(d))
            break;
    }
    return finish(d);
}

void prepare_difference_recording(Driver &d)
{
    d.mode = MODE_DIFF_RECORDING;
    d.diffcount = 0;
    InitImage(samples16(d.StkImage), d.width, d.height, 0);
    load_mask(kDetectionMask, d, d.mask_d);
}

// The marked difference of the current frame, in one pass over the two frames; DiffPicture
// becomes the ImageDiff window's picture at the display's reduction. Returns the marked samples.
int mark_difference(Driver &d, unsigned short threshold)
{
    // load_mask makes the mask one continuous 8-bit grey picture of the frame's size.
    const unsigned char *mask = nullptr;
    if (!d.mask_d.empty() && d.mask_d.cols == d.width && d.mask_d.rows == d.height)
        mask = d.mask_d.ptr<unsigned char>(0);
    unsigned short *reduced = nullptr;
    if (d.div > 1) {
        int rw, rh;
        DiffReducedSize(d.width, d.height, d.div, &rw, &rh);
        DiffPicture.create(rh, rw, CV_16U); // allocated once per geometry
        reduced = DiffPicture.ptr<unsigned short>(0);
    }
    unsigned short *diff = samples16(d.DiffImage);
    RowMarks.resize(static_cast<std::size_t>(d.height)); // allocated once per geometry
    if (d.raw8_flag)
        return DiffStep8(diff, d.BinImage2.get(), d.BinImage3.get(), mask, d.width, d.height,
                         threshold, reduced, d.div, RowMarks.data());
    return DiffStep16(diff, samples16(d.BinImage2), samples16(d.BinImage3), mask, d.width, d.height,
                      threshold, reduced, d.div, RowMarks.data());
}

void difference_step(Driver &d)
{
    unsigned short thr = difference_threshold(d);
    int w = d.width, h = d.height;
    int marked = mark_difference(d, thr);
    unsigned short *diff = samples16(d.DiffImage);
    float changed = static_cast<float>(marked) / static_cast<float>(w * h);
    float lrate = static_cast<float>(changed * 100.0);
    if (lrate > kMinChangedPercent) {
        double ax, ay, sx, sy;
        SDeviRows(diff, RowMarks.data(), thr, w, h, &ax, &ay, &sx, &sy);
        if (sx / w < kCompactFraction || sy / h < kCompactFraction)
            detection(d, sx, sy);
    }
    win_imshow(kDiffWindow, d.div > 1 ? DiffPicture : cv::Mat(h, w, CV_16U, diff));
    if (d.diff == 1) {
        stack_marked_rows(d, diff);
        show_stack(d);
    }
}

void end_difference_recording(Driver &d)
{
    d.mode = MODE_END_RECORDING;
    d.diff = 0;
    win_destroyWindow(kDiffWindow);
    if (d.diffcount != 0) {
        const cv::Mat &bayerMat = stack_picture(d);
        std::snprintf(d.pfname, sizeof d.pfname, "%.*s_%04ddifs.png", kBaseNameMax, d.tfname,
                      d.diffcount);
        write_png(d.pfname, bayerMat);
        win_destroyWindow(kStackWindow);
    }
}
