// The driver: start-up, raw frame unpacking and masking, and the live loop with its keys.
#include "tolvacapture.h"

#include "camera_i2c.h"
#include "cap.h"
#include "console_keys.h"
#include "difference_recording.h"
#include "disk_guard.h"
#include "display.h"
#include "end_signals.h"
#include "event_log.h"
#include "fits.h"
#include "held_frames.h"
#include "i2c.h"
#include "init_file.h"
#include "magic.h"
#include "schedule.h"
#include "ser.h"
#include "tolvacapture_version.h"
#include "unattended.h"
#include "unpack.h"
#include "util.h"
#include "window.h"
#include "zoom.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
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

const char kRecordMask[] = "./mask_rec.png";

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

// Keys as waitKey returns them; upper-case letters are other keys.
constexpr int kKeyEsc = 27;
constexpr int kKeyQuit = 'q';
constexpr int kKeyReloadMask = 'r';
constexpr int kKeyWrite = 'w';
constexpr int kKeyRecord = 's';
constexpr int kKeyDiffRecord = 'd';
constexpr int kKeyEnd = 'e';

// The zoom window shows its region at twice the frame's size.
constexpr float kZoomMagnification = 2.0f;

// Display divisor: large raw lines or tall frames are shown reduced.
constexpr int kQuarterLine = 3800;
constexpr int kQuarterHeight = 3000;
constexpr int kHalfLine = 1900;
constexpr int kHalfHeight = 1000;

void sleep_us(unsigned int microseconds) { usleep(microseconds); }
void usage(const char *program)
{
    std::printf("usage> %s sensor_init_file [-8] [--no-window] [--detect | --record] "
                "[--stop-after DURATION] [--stop-at HH:MM] [--night LAT,LON] [--sun-below DEG] "
                "[--keep-free SIZE] [--pre N] [--post N] [--status SECONDS]\n",
                program);
}

// `sensor_init_file [-8]` in av[1] ... av[ac - 1]: 0, or -1 when they are not one of its forms.
int read_file_arguments(int ac, char **av, Driver &d)
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
    return -1;
}

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

void report_waiting_for_sensor(bool routed)
{
    if (!routed) {
        std::fprintf(stderr,
                     "tolvacapture: no device answers on I2C bus %d, the camera's; waiting for "
                     "one\n",
                     GetCameraBus());
        return;
    }
    const char *revision = GetRev();
    std::fprintf(stderr,
                 "tolvacapture: no device answers on I2C bus 0 after routing for board revision "
                 "%s; waiting for one\n",
                 revision ? revision : "(none)");
}

// Routes the camera's bus and checks it until a device answers: 0, or the ending signal that
// came meanwhile (nothing is open yet then).
int bring_up_board(Driver &d, bool routed)
{
    for (int attempt = 1;; ++attempt) {
        if (routed) {
            std::printf("exec camera_i2c\n");
            camera_i2c(0);
        }
        if (magic() >= 0)
            return 0;
        if (int sig = end_signal())
            return sig;
        if (attempt < kQuickAttempts)
            continue;
        if (attempt == kQuickAttempts)
            report_waiting_for_sensor(routed);
        d.poll_sleep(kAttemptPauseUs);
    }
}

void choose_sensor_kind(Driver &d)
{
    constexpr int kSerRggb = 8; // SER's colour id of an RGGB Bayer mosaic
    if (std::strstr(d.fname, "imx397")) {
        std::printf("Monochrome");
        d.colorID = 0;
    } else {
        std::printf("Color");
        d.colorID = kSerRggb + d.bayer; // SER numbers the orders as the BAYER_* values
    }
    std::printf(" Imagesensor Detect\n");
}

int bytes_per_sample(const Driver &d) { return d.raw8_flag ? 1 : 2; }

long long frame_samples(const Driver &d) { return static_cast<long long>(d.width) * d.height; }

FrameBuffer allocate(long long bytes)
{
    return FrameBuffer(static_cast<unsigned char *>(std::malloc(static_cast<size_t>(bytes))));
}

void apply_mask(const cv::Mat &mask, unsigned char *frame, const Driver &d)
{
    if (d.raw8_flag)
        bmask8(mask, frame, d.width, d.height);
    else
        bmask(mask, reinterpret_cast<unsigned short *>(frame), d.width, d.height);
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

// The SER append of the current frame, stamped with the time it was received.
void stamp_frame()
{
    timeval received;
    GetFrameTime(&received);
    SetSERFrameTime(&received);
}

// The bytes of a frame's samples in a SER file (and in the frames held before a detection).
int ser_frame_size(const Driver &d) { return d.width * d.height * d.dpp / 8; }

// A frame into the recording, counted when written; the time the writes take gives the
// storage's rate.
void append_samples(Driver &d, unsigned char *frame)
{
    double begin = d.write_clock();
    if (WriteSERImage(frame, ser_frame_size(d), d.dpp) == 0)
        ++d.ser_frames;
    d.writing_seconds += d.write_clock() - begin;
}

void append_frame(void *driver)
{
    Driver &d = *static_cast<Driver *>(driver);
    append_samples(d, d.BinImage2.get());
}

// A frame held before a run of detections, with the time it was received.
void append_held_frame(unsigned char *frame, const timeval &received, void *driver)
{
    SetSERFrameTime(&received);
    append_samples(*static_cast<Driver *>(driver), frame);
}

// The current frame into the recording, after the frames held before it; a detection on it
// gets its line in the event log with the frame's place in the file.
void write_current_frame(Driver &d)
{
    if (d.event_pending)
        RingTake(append_held_frame, &d);
    stamp_frame();
    if (d.event_pending) {
        d.event.ser_frame = d.ser_frames;
        GetFrameTime(&d.event.received);
        WriteEventLine(d.event);
    }
    append_frame(&d);
}

// A difference recording writes the frames of each run of detections, the frames held before
// it and those after it (--pre, --post); the others are held, the oldest let go.
void write_difference_frames(Driver &d)
{
    if (d.diff == 1) {
        write_current_frame(d);
        if (d.event_pending)
            d.post_left = d.run.post;
    } else if (d.post_left > 0) {
        write_current_frame(d);
        --d.post_left;
    } else {
        timeval received;
        GetFrameTime(&received);
        RingHold(d.BinImage2.get(), received);
    }
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
    announce_written(WriteFTS(d.BinImage2.get(), d.BinSize, d.rawbit, d.wfname) == 0, d.wfname);
}

// While a recording runs, frames wait in the hand-over, so a stall of the loop loses none.
// A difference recording's event log is written beside its SER file.
void start_recording(Driver &d)
{
    new_base_name(d);
    name_file(d, ".ser");
    d.recording_name = d.wfname;
    WriteSERHeader(d.wfname);
    if (d.mode == MODE_DIFF_RECORDING)
        OpenEventLog(d.tfname);
    d.recording_drops = 0;
    d.ser_frames = 0;
    d.written_at_last_frame = 0;
    d.received_in_recording = 0;
    d.writing_seconds = 0;
    d.recording_start = d.clock();
    d.too_slow_said = false;
    d.lasting_said = false;
    d.post_left = 0;
    d.run_number = 0;
    d.event_pending = false;
    d.scheduled_started = true;
    RingClear();
    BufferFrames(1);
}

void close_recording(Driver &d)
{
    if (d.recording_drops != 0)
        std::printf("%d frames dropped\n", d.recording_drops);
    CloseEventLog();
    CloseSER();
}

// Before this pass writes a frame: when the frames it may write (the current one and those held
// before it) would leave less than the free space to keep, the recording is closed as e closes
// it, with nothing of this pass in it. The recording the options ask for starts again when
// space returns.
void guard_disk(Driver &d)
{
    bool recording = d.mode == MODE_RECORDING || d.mode == MODE_DIFF_RECORDING;
    if (!recording || !disk_guard_trips(d, 1 + RingCount()))
        return;
    if (d.mode == MODE_DIFF_RECORDING)
        end_difference_recording(d);
    close_recording(d);
    BufferFrames(0);
    d.mode = MODE_LIVE;
    d.scheduled_started = false;
}

int next_key(Driver &d)
{
    int key = d.run.no_window ? ConsoleKey() : win_waitKey(1);
    int scheduled = scheduled_key(d);
    return scheduled >= 0 ? scheduled : key;
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
        if (d.mode == MODE_LIVE && recording_allowed(d)) {
            d.mode = MODE_RECORDING;
            start_recording(d);
        }
        break;
    case kKeyDiffRecord:
        if (d.mode == MODE_LIVE && recording_allowed(d)) {
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
    if (!appended) {
        if (d.mode == MODE_DIFF_RECORDING)
            write_difference_frames(d);
        else
            write_current_frame(d);
    }
    d.diff = 0;
    d.event_pending = false;
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
        CnvertImage(d.BinImage2.get(), d.RawImage.get(), d.bufsiz, d.rawbit, d.raw8_flag);
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
    guard_disk(d);
    if (d.mode == MODE_DIFF_RECORDING)
        difference_step(d);
    // In a SER recording every frame is appended, whatever key this pass reads: the append
    // runs beside the display. A difference recording's `e` drops the frame it ends on.
    const bool append_now = d.mode == MODE_RECORDING;
    if (!d.run.no_window)
        show_frame(d, append_now);
    else if (append_now)
        write_current_frame(d);
    d.keycode = next_key(d);
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
                 d.width, d.height, d.rawbit, check_lanes(d.fname), d.bufsiz);
}

int finish(Driver &d)
{
    et = GetTime();
    int dropped = GetDropCount();
    reap_scripts(d);
    if (!d.run.no_window)
        win_destroyWindow(kLiveWindow);
    RingFree();
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

double monotonic_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void default_seams(Driver &d)
{
    if (!d.poll_sleep)
        d.poll_sleep = sleep_us;
    if (!d.clock)
        d.clock = GetTime;
    if (!d.write_clock)
        d.write_clock = monotonic_seconds;
}

} // namespace

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

// PNG pictures are encoded in memory and written as the other files are, so that a picture that
// cannot be written is reported with the system's reason, whichever step failed.
bool write_png(const char *fname, const cv::Mat &picture)
{
    std::vector<unsigned char> png;
    if (!cv::imencode(".png", picture, png)) {
        std::fprintf(stderr, "tolvacapture: can't write %s: the picture cannot be encoded\n",
                     fname);
        return false;
    }
    int result = write_whole_file(fname, png.data(), png.size());
    if (result == kFileNotCreated)
        report_write_failure(fname);
    return result == 0;
}

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

// The long options follow the init file and -8; the arguments before them are the seed's forms.
int read_command_line(int ac, char **av, Driver &d)
{
    int first_option = 1;
    while (first_option < ac && std::strncmp(av[first_option], "--", 2) != 0)
        ++first_option;
    if (read_file_arguments(first_option, av, d) < 0) {
        usage(av[0]);
        return kUsageShown;
    }
    int options = read_options(ac, av, first_option, d.run);
    if (options == kUnknownOption)
        usage(av[0]);
    return options < 0 ? kBadOption : 0;
}

// The bits a pixel: the init file's RAWBIT, whose packed line each raw line must hold (the rest is
// the receiver's line fill, which a V4L2 receiver adds up to its 32-byte stride); for a driver
// without an init file, what the raw frame's sizes give (truncated: line fill of less than one
// more bit a pixel is allowed). Either must be a depth the unpacker knows.
int confirm_depth(Driver &d)
{
    long long bits =
        d.rawbit != 0 ? d.rawbit : static_cast<long long>(d.bufsiz) * 8 / d.width / d.height;
    if (bits != 10 && bits != 12) {
        std::fprintf(stderr,
                     "tolvacapture: a raw frame of %d bytes for %dx%d pixels gives %lld bits a "
                     "pixel; only 10 and 12 can be unpacked\n",
                     d.bufsiz, d.width, d.height, bits);
        return -1;
    }
    long long line = packed_line_bytes(d.width, static_cast<int>(bits));
    if (d.rawbit != 0 && d.bufsiz / d.height < line) {
        std::fprintf(stderr,
                     "tolvacapture: a raw frame of %d bytes for %dx%d pixels has lines of %d "
                     "bytes, fewer than the %lld of RAWBIT %d; check BUFSIZ against the frame "
                     "size\n",
                     d.bufsiz, d.width, d.height, d.bufsiz / d.height, line, d.rawbit);
        return -1;
    }
    d.rawbit = static_cast<int>(bits);
    return 0;
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
    if (confirm_depth(d) < 0)
        return -1;
    // Lines with fill are unpacked without it (unpack_frame): the frame is its samples alone.
    long long size = d.bufsiz;
    long long bin_size = d.rawbit == 10 ? (d.raw8_flag ? size * 4 / 5 : size * 8 / 5)
                                        : (d.raw8_flag ? size * 2 / 3 : size * 4 / 3);
    if (lines_carry_fill(d.width, d.xwidth, d.rawbit))
        bin_size = frame_samples(d) * bytes_per_sample(d);
    // Frame sizes are ints everywhere (the writers take them so).
    if (bin_size > INT_MAX) {
        std::fprintf(stderr,
                     "tolvacapture: a raw frame of %d bytes unpacks to %lld bytes, more than %d\n",
                     d.bufsiz, bin_size, INT_MAX);
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

// The frame buffers hold what the unpacker writes, what the display reads (width x height
// samples) and BinSize, whichever is largest; the difference buffers width x height 16-bit
// samples whatever the mode.
bool allocate_buffers(Driver &d)
{
    long long frame =
        std::max({static_cast<long long>(d.BinSize), unpacked_size(d.bufsiz, d.rawbit, d.raw8_flag),
                  frame_samples(d) * bytes_per_sample(d)});
    long long wide = frame_samples(d) * 2;
    d.RawImage = allocate(d.bufsiz);
    d.BinImage2 = allocate(frame);
    d.BinImage3 = allocate(frame);
    d.DiffImage = allocate(wide);
    d.StkImage = allocate(wide);
    return d.RawImage && d.BinImage2 && d.BinImage3 && d.DiffImage && d.StkImage;
}

// The command line, then the camera's bus (the init file may name it): -1 to go on, or the status
// the program ends with (0 after the usage line, 1 after a bad option or bus).
static int read_arguments(int ac, char **av, Driver &d)
{
    int command_line = read_command_line(ac, av, d);
    if (command_line == kUsageShown)
        return 0;
    if (command_line == kBadOption)
        return 1;
    // Read once: the bus, the scans, the receiver's set-up and the interpreter all take this text.
    keep_init_file(d.fname);
    return FindCameraBus(d.fname) < 0 ? 1 : -1;
}

int start_up(int ac, char **av, Driver &d)
{
    // Console lines as they happen, also into a pipe or a file (a log, the user's script's
    // output in between).
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    catch_end_signals();
    default_seams(d);
    std::printf("%s\n", kProgramVersion + 4);
    // Where the board's routing connects the camera's bus, it comes up before the command line
    // is read; otherwise the init file may name the bus, and the command line comes first.
    bool routed = RoutesCameraBus() != 0;
    if (!routed)
        if (int status = read_arguments(ac, av, d); status >= 0)
            return status;
    if (int sig = bring_up_board(d, routed)) {
        announce_end_signal(sig);
        return end_signal_status(sig);
    }
    if (routed)
        if (int status = read_arguments(ac, av, d); status >= 0)
            return status;
    SetKeepFree(keep_free_bytes(d.run));
    d.rawbit = check_rawbit(d.fname);
    if (d.rawbit < 0) {
        std::fprintf(stderr, "tolvacapture: check_rawbit error\n");
        return 1;
    }
    d.bayer = check_bayer(d.fname);
    if (d.bayer < 0) {
        std::fprintf(stderr, "tolvacapture: check_bayer error\n");
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
    if (!d.run.no_window)
        with_end_signals_held(
            [] { win_namedWindow(kLiveWindow, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL); });
    if (!allocate_buffers(d)) {
        std::perror("malloc error");
        CloseSensor(d.s_status);
        return 1;
    }
    if (RingInit(d.run.pre, ser_frame_size(d)) < 0) {
        std::fprintf(stderr,
                     "tolvacapture: --pre %d: %d frames of %d bytes cannot be held in memory; "
                     "give fewer frames\n",
                     d.run.pre, d.run.pre, ser_frame_size(d));
        CloseSensor(d.s_status);
        return 1;
    }
    load_mask(kRecordMask, d, d.mask_r);
    return kRunLoop;
}

int live_loop(Driver &d)
{
    default_seams(d);
    InitFits(d.BinSize, d.width, d.height, d.fname);
    InitSer(d.dpp, d.width, d.height, d.fname, d.colorID);
    d.timeout_counter = 0;
    oc = 0;
    frame_count = 0;
    st = GetTime();
    // Without a window too: a snapshot's PNG is the display's full-size picture.
    display_init(d.width, d.height, d.depth, d.div, d.bayer);
    if (!d.run.no_window)
        zoom_setMouseCallback(kLiveWindow, 1.0f / d.div);
    d.next_status = d.clock();
    if (ScheduleBegin(d.run, d.clock()) != 0)
        return finish(d);
    for (;;) {
        if (int sig = end_signal())
            return end_by_signal(d, sig);
        UpdateSERHeader();
        reap_scripts(d);
        print_status(d);
        if (!ReadRAW(d.RawImage.get())) {
            if (++d.timeout_counter > kTimeoutPolls)
                return time_out(d);
            if (frame_count == 0 && d.timeout_counter == kNoFrameHintPolls)
                no_frame_hint(d);
            d.poll_sleep(kPollSleepUs);
            continue;
        }
        // Frames lost before this one, when the one before was part of the open recording.
        if (d.mode != MODE_LIVE) {
            int lost = GetFrameGap();
            d.recording_drops += lost;
            ++d.received_in_recording;
            check_storage_pace(d, lost);
            say_how_long_space_lasts(d);
        }
        if (!frame_pass(d))
            break;
    }
    return finish(d);
}
