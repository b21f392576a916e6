// The unattended run's work in each pass: schedule, disk guard, status line, storage pace.
#include "unattended.h"

#include "cap.h"
#include "disk_guard.h"
#include "schedule.h"
#include "status_report.h"
#include "util.h"

#include <cstdio>

namespace {

// The keys the schedule presses, as a user would.
constexpr int kKeyQuit = 'q';
constexpr int kKeyRecord = 's';
constexpr int kKeyDiffRecord = 'd';

constexpr long long kSerStampBytes = 8;
// The sensor's rate is measured over the recording's first seconds.
constexpr double kLastingMeasureSeconds = 2.0;

double recording_seconds(const Driver &d) { return d.clock() - d.recording_start; }

const char *keep_free_text()
{
    static char text[32];
    format_bytes(text, sizeof text, GetKeepFree());
    return text;
}

} // namespace

long long recorded_frame_bytes(const Driver &d)
{
    return static_cast<long long>(d.width) * d.height * d.dpp / 8 + kSerStampBytes;
}

int scheduled_key(Driver &d)
{
    int action = ScheduleAction(d.clock());
    if (action == SCHEDULE_END)
        return kKeyQuit;
    if (action == SCHEDULE_RECORD && d.run.start != START_NOTHING && !d.scheduled_started &&
        d.mode == MODE_LIVE)
        return d.run.start == START_DETECT ? kKeyDiffRecord : kKeyRecord;
    return -1;
}

bool recording_allowed(Driver &d)
{
    // Room for the most a pass may write (a frame and those held before it): a recording the
    // guard closed does not start again until that much space has returned.
    if (DiskHasRoom(recorded_frame_bytes(d) * (1 + d.run.pre))) {
        d.refusal_said = false;
        return true;
    }
    if (!d.refusal_said)
        std::fprintf(stderr,
                     "tolvacapture: recording refused: less than %s would be left free on the "
                     "disk; free some space (or lower --keep-free)\n",
                     keep_free_text());
    d.refusal_said = true;
    return false;
}

bool disk_guard_trips(Driver &d, int frames)
{
    if (DiskHasRoom(recorded_frame_bytes(d) * frames))
        return false;
    std::fprintf(stderr,
                 "tolvacapture: less than %s would be left free on the disk: %s closed; no new "
                 "recording until space returns\n",
                 keep_free_text(), d.recording_name.c_str());
    d.refusal_said = true;
    return true;
}

void check_storage_pace(Driver &d, int lost)
{
    const bool written_since = d.ser_frames != d.written_at_last_frame;
    d.written_at_last_frame = d.ser_frames;
    double seconds = recording_seconds(d);
    if (lost == 0 || !written_since || d.too_slow_said || d.writing_seconds <= 0 || seconds <= 0)
        return;
    double frame = static_cast<double>(recorded_frame_bytes(d));
    double needed =
        frame * static_cast<double>(d.received_in_recording + d.recording_drops) / seconds;
    double written = frame * static_cast<double>(d.ser_frames) / d.writing_seconds;
    if (written >= needed)
        return;
    char message[512];
    format_storage_too_slow(message, sizeof message, written, needed, d.raw8_flag);
    std::fprintf(stderr, "%s\n", message);
    d.too_slow_said = true;
}

void say_how_long_space_lasts(Driver &d)
{
    bool unattended = d.run.no_window || d.run.start != START_NOTHING;
    if (d.lasting_said || !unattended || d.mode == MODE_LIVE)
        return;
    double seconds = recording_seconds(d);
    if (seconds < kLastingMeasureSeconds)
        return;
    d.lasting_said = true;
    long long free_bytes = DiskFree();
    if (free_bytes < 0)
        return;
    // Every frame written: a difference recording writes fewer.
    double rate = static_cast<double>(recorded_frame_bytes(d)) *
                  static_cast<double>(d.received_in_recording) / seconds;
    char line[256];
    format_lasting(line, sizeof line, free_bytes, GetKeepFree(), rate);
    std::printf("%s\n", line);
}

void print_status(Driver &d)
{
    if (d.run.status_s == 0)
        return;
    double now = d.clock();
    if (now < d.next_status)
        return;
    d.next_status = now + d.run.status_s;
    bool recording = d.mode != MODE_LIVE;
    StatusFigures figures = {frame_count,    frame_rate(frame_count, GetTime() - st),
                             GetDropCount(), recording ? d.recording_name.c_str() : nullptr,
                             d.diffcount,    DiskFree()};
    char line[512];
    format_status_line(line, sizeof line, figures);
    std::printf("%s\n", line);
}
