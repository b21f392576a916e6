// Difference recording: each frame against the one before, detections announced, recorded and
// stacked into one picture.
#include "difference_recording.h"

#include "diffstep.h"
#include "event_log.h"
#include "host.h"
#include "image.h"
#include "window.h"
#include "window_layout.h"

#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kDiffWindow[] = "ImageDiff";
const char kStackWindow[] = "ImageDiffStack";
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
// Whether ImageDiff and ImageDiffStack are open: they are placed when they open, and stay where
// the user moves them afterwards.
bool DiffWindowOpen = false;
bool StackWindowOpen = false;

// Stack samples are 0 or 65535; an eighth of that saturates to white.
constexpr double kStackScale = 0.125;
// A detection: the changed samples are more than this percentage of the frame ...
constexpr double kMinChangedPercent = 0.001;
// ... and spread over less than this fraction of the frame in at least one direction.
constexpr double kCompactFraction = 0.1;

void show_in(const char *window, WindowPlace place, bool &open, const cv::Mat &picture)
{
    if (!open)
        open_beside(window, kLiveWindow, place);
    open = true;
    win_imshow(window, picture);
}

unsigned short *samples16(const FrameBuffer &buffer)
{
    return reinterpret_cast<unsigned short *>(buffer.get());
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
    show_in(kStackWindow, PLACE_BELOW_RIGHT, StackWindowOpen, StackView);
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

// What the event log says of a detection, kept until its frame is written (the event's line
// carries the frame's place in the SER file).
void note_event(Driver &d, double cx, double cy, double sx, double sy, int marked)
{
    if (oc + 1 != frame_count)
        ++d.run_number;
    const int *rows = RowMarks.data();
    int brightening = d.raw8_flag
                          ? largest_brightening8(samples16(d.DiffImage), d.BinImage2.get(),
                                                 d.BinImage3.get(), rows, d.width, d.height)
                          : largest_brightening16(samples16(d.DiffImage), samples16(d.BinImage2),
                                                  samples16(d.BinImage3), rows, d.width, d.height);
    d.event =
        EventLine{{0, 0}, 0, d.diffcount + 1, sx, sy, cx, cy, marked, brightening, d.run_number};
    d.event_pending = true;
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

// The marked difference of the current frame, in one pass over the two frames; DiffPicture
// becomes the ImageDiff window's picture at the display's reduction. Returns the marked samples.
int mark_difference(Driver &d, unsigned short threshold)
{
    // load_mask makes the mask one continuous 8-bit grey picture of the frame's size.
    const unsigned char *mask = nullptr;
    if (!d.mask_d.empty() && d.mask_d.cols == d.width && d.mask_d.rows == d.height)
        mask = d.mask_d.ptr<unsigned char>(0);
    unsigned short *reduced = nullptr;
    if (d.div > 1 && !d.run.no_window) {
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

} // namespace

// Their results are of no concern.
void reap_scripts(Driver &d)
{
    auto ended = [](pid_t pid) {
        int status;
        return host_waitpid_nohang(pid, &status) != 0;
    };
    d.scripts.erase(std::remove_if(d.scripts.begin(), d.scripts.end(), ended), d.scripts.end());
}

unsigned short difference_threshold(const Driver &d)
{
    // The same fraction (three eighths) of the samples' range: 8-bit samples with -8.
    int bits = d.raw8_flag ? 8 : d.rawbit;
    return static_cast<unsigned short>(d.bthresh >> (16 - bits));
}

void prepare_difference_recording(Driver &d)
{
    d.mode = MODE_DIFF_RECORDING;
    d.diffcount = 0;
    DiffWindowOpen = StackWindowOpen = false;
    InitImage(samples16(d.StkImage), d.width, d.height, 0);
    load_mask(kDetectionMask, d, d.mask_d);
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
        if (sx / w < kCompactFraction || sy / h < kCompactFraction) {
            note_event(d, ax, ay, sx, sy, marked);
            detection(d, sx, sy);
        }
    }
    if (!d.run.no_window)
        show_in(kDiffWindow, PLACE_BELOW, DiffWindowOpen,
                d.div > 1 ? DiffPicture : cv::Mat(h, w, CV_16U, diff));
    if (d.diff == 1) {
        stack_marked_rows(d, diff);
        if (!d.run.no_window)
            show_stack(d);
    }
}

void end_difference_recording(Driver &d)
{
    d.mode = MODE_END_RECORDING;
    d.diff = 0;
    if (!d.run.no_window)
        win_destroyWindow(kDiffWindow);
    DiffWindowOpen = false;
    if (d.diffcount != 0) {
        const cv::Mat &bayerMat = stack_picture(d);
        std::snprintf(d.pfname, sizeof d.pfname, "%.*s_%04ddifs.png", kBaseNameMax, d.tfname,
                      d.diffcount);
        write_png(d.pfname, bayerMat);
        if (!d.run.no_window)
            win_destroyWindow(kStackWindow);
        StackWindowOpen = false;
    }
}
