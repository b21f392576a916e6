// The driver: start-up, raw frame unpacking and masking, and the live loop with its keys.
#ifndef TOLVA_TOLVACAPTURE_H
#define TOLVA_TOLVACAPTURE_H

#include "event_log.h"
#include "options.h"

#include <opencv2/core.hpp>

#include <sys/types.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

// Recording state of the live loop.
enum { MODE_LIVE, MODE_RECORDING, MODE_DIFF_RECORDING, MODE_END_RECORDING, MODE_QUIT };

// Frames received since the loop began, the frame of the last detection, and the loop's start
// and end times in seconds.
extern int frame_count;
extern int oc;
extern double st;
extern double et;

// Unpacks a packed raw frame (RAW10, RAW12; 8 and 16 bits pass through) into one sample per
// pixel: 16-bit little-endian samples, or their 8 most significant bits when raw8 is non-zero.
// Whole groups only; any other bpp leaves dst as it was.
void CnvertImage(unsigned char *dst, unsigned char *src, int srcSize, int bpp, int raw8);

// Bytes CnvertImage writes for these arguments.
long long unpacked_size(int srcSize, int bpp, int raw8);

// Sets to 0 every sample whose mask pixel is non-zero. A mask whose size is not the frame's
// (width x height) changes nothing: start-up and the keys refuse such masks with a message.
void bmask(const cv::Mat &msk, unsigned short *dst, int width, int height);
void bmask8(const cv::Mat &msk, unsigned char *dst, int width, int height);

struct FreeBuffer {
    void operator()(unsigned char *p) const { std::free(p); }
};
using FrameBuffer = std::unique_ptr<unsigned char[], FreeBuffer>;

// What `main` holds for the whole run: the command line, the frame geometry, the buffers, the
// masks and the recording state. Start-up fills it; the live loop works on it.
struct Driver {
    const char *fname = nullptr;
    bool raw8_flag = false;
    // The samples' bits as the init file states them (check_rawbit), which the raw frame's sizes
    // must give too (derive_geometry): the depth the unpacker and the writers are told.
    int rawbit = 0;
    int bayer = 0; // the init file's Bayer order (check_bayer): the demosaic's and SER's
    int colorID = 0;
    int s_status = 0;

    int width = 0;
    int height = 0;
    // Bytes of one raw frame as the pipeline reports it: RawImage's size, the unpacker's input.
    int bufsiz = 0;
    int xwidth = 0;
    int div = 1;
    int BinSize = 0;
    int dpp = 0;
    int depth = CV_16U;

    int mode = MODE_LIVE;
    int diff = 1;
    int diffcount = 0;
    int bthresh = 0x6000;
    int timeout_counter = 0;
    int keycode = -1;
    // Frames lost while the open recording ran, and the user scripts started and not yet
    // reaped.
    int recording_drops = 0;
    std::vector<pid_t> scripts;

    cv::Mat readmask;
    cv::Mat mask_r;
    cv::Mat mask_d;
    char wfname[8192] = "";
    char tfname[8192] = "";
    char pfname[8192] = "";
    char str[256] = "";

    // BinImage2 is the current frame, BinImage3 the previous one; DiffImage and StkImage hold
    // 16-bit samples in every mode (the difference step reads 8-bit frames as they are).
    FrameBuffer RawImage;
    FrameBuffer BinImage2;
    FrameBuffer BinImage3;
    FrameBuffer DiffImage;
    FrameBuffer StkImage;

    // How the empty polls of the loop and the pauses of the bring-up wait; tests shorten them.
    void (*poll_sleep)(unsigned int microseconds) = nullptr;
    // The wall clock of the schedule, the status line and the rates (GetTime); tests fix it.
    double (*clock)(void) = nullptr;
    // The monotonic clock (seconds) the recording's writes are timed by, for the storage's
    // rate; tests make the storage slow.
    double (*write_clock)(void) = nullptr;

    // The long options, and what the unattended run keeps between passes: whether the recording
    // they ask for has started, the frames still to write after a run of detections, the open
    // recording's name, its frames written (also by the frame before) and received, its start
    // and the time its writes took, what was said about it, the next status line.
    RunOptions run;
    bool scheduled_started = false;
    bool refusal_said = false;
    bool too_slow_said = false;
    bool lasting_said = false;
    int post_left = 0;
    int run_number = 0;
    std::string recording_name;
    long long ser_frames = 0;
    long long written_at_last_frame = 0;
    long long received_in_recording = 0;
    double recording_start = 0;
    double writing_seconds = 0;
    double next_status = 0;
    // The detection of the current frame, logged when the frame is written.
    bool event_pending = false;
    EventLine event = {};
};

// The live window; the other windows open beside it.
constexpr char kLiveWindow[] = "se_cam";

// Returned by start_up when the live loop is to run; any other value is the exit status.
constexpr int kRunLoop = -1;

// read_command_line's results besides 0.
constexpr int kUsageShown = -1;
constexpr int kBadOption = -2;
// Reads `tolvacapture sensor_init_file [-8] [long options]`: 0; kUsageShown after the usage line
// when the arguments before the long options are not one of the forms; kBadOption after a
// message naming the option and its value (and the usage line for an unknown option).
int read_command_line(int ac, char **av, Driver &d);
// xwidth, div, BinSize, dpp and depth from width, height, bufsiz and rawbit; -1 (with a message
// naming the sizes) when they give a bit depth other than 10 or 12, or other than rawbit.
int derive_geometry(Driver &d);
// The frame buffers for that geometry; false when one cannot be had.
bool allocate_buffers(Driver &d);
// Frames a second for the statistics; 0 when there was no frame or no measurable time.
double frame_rate(int frames, double seconds);

// Everything from the banner to the record mask; kRunLoop or an exit status.
int start_up(int ac, char **av, Driver &d);
// The live loop with its set-up and way out; the exit status.
int live_loop(Driver &d);

// Reads a mask image into `mask` as 8-bit grey. A missing file is no error and leaves `mask`
// as it was; so does a file of another size than the frame's, which is reported.
void load_mask(const char *path, Driver &d, cv::Mat &mask);
// Writes a picture as a PNG file; false, with the reason on standard error, when it cannot.
bool write_png(const char *fname, const cv::Mat &picture);
// Base names (frame size and time stamp) are far shorter; the bound keeps room for the endings.
constexpr int kBaseNameMax = 8000;

#endif
