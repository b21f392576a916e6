// The CSI-2 receiver's frame clock: frames at the sensor's frame interval while the link matches.
#include "csi_receiver.h"

#include "ser_replay.h"
#include "sky_scene.h"
#include "test_pattern.h"

#include <pthread.h>

#include <chrono>
#include <cstdio>

namespace tolva::sim {

namespace {
using Clock = std::chrono::steady_clock;
constexpr auto kIdlePoll = std::chrono::milliseconds(2); // how often a silent link is looked at

bool same_source(const StreamSettings &a, const StreamSettings &b)
{
    return a.width == b.width && a.height == b.height && a.bits == b.bits &&
           a.monochrome == b.monochrome && a.bayer == b.bayer && a.test_pattern == b.test_pattern &&
           a.test_data == b.test_data && a.frame_interval_s == b.frame_interval_s;
}
} // namespace

CsiReceiver::CsiReceiver(SensorChip &sensor, const Knobs &knobs) : sensor_(sensor), knobs_(knobs) {}

CsiReceiver::~CsiReceiver() { stop_thread(); }

std::shared_ptr<const FrameSource> CsiReceiver::source() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return source_;
}

void CsiReceiver::start_thread(const char *name)
{
    stop_thread();
    stop_ = false;
    thread_ = std::thread(&CsiReceiver::run, this);
    // Named, so that tests and debuggers can tell it from the other threads.
    pthread_setname_np(thread_.native_handle(), name);
}

void CsiReceiver::stop_thread()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void CsiReceiver::update_source(const StreamSettings &settings, double interval_s)
{
    if (source_ && same_source(settings, source_settings_) &&
        source_->geometry().line_align == line_align())
        return;
    FrameGeometry geometry{settings.width,      settings.height, settings.bits,
                           settings.monochrome, line_align(),    settings.bayer};
    std::shared_ptr<const FrameSource> source;
    if (TestPattern::supported(settings.test_pattern))
        source = std::make_shared<TestPattern>(geometry, settings.test_pattern, settings.test_data);
    else if (knobs_.scene == "replay")
        source = SerReplay::open(knobs_.replay_file, geometry);
    if (!source)
        source =
            std::make_shared<SkyScene>(geometry, SkySettings{knobs_.seed, knobs_.events_per_minute,
                                                             knobs_.drift_per_minute, interval_s});
    std::lock_guard<std::mutex> lock(mutex_);
    source_ = std::move(source);
    source_settings_ = settings;
}

void CsiReceiver::report(std::uint64_t delivered, std::uint64_t without_buffer) const
{
    if (!knobs_.receiver_report)
        return;
    std::fprintf(stderr,
                 "simulated Pi: receiver: %llu frames delivered, %llu without a free buffer, %llu "
                 "frame times missed (the simulator fell behind)\n",
                 static_cast<unsigned long long>(delivered),
                 static_cast<unsigned long long>(without_buffer),
                 static_cast<unsigned long long>(frames_overrun()));
}

void CsiReceiver::run()
{
    Clock::time_point next = Clock::now();
    bool streaming = false;
    std::uint64_t index = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (wake_.wait_until(lock, next, [this] { return stop_; }))
                return;
        }
        StreamSettings settings = sensor_.stream_settings();
        double interval_s = settings.frame_interval_s;
        if (!settings.streaming || interval_s <= 0 || !receives(settings)) {
            streaming = false;
            next += kIdlePoll;
            continue;
        }
        auto interval =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval_s));
        if (!streaming) { // the first frame ends one frame interval after streaming starts
            streaming = true;
            index = 0;
            next_index_.store(0);
            update_source(settings, interval_s);
            next = Clock::now() + interval;
            continue;
        }
        update_source(settings, interval_s);
        next_index_.store(index + 1); // before the frame can be handed on
        frame_end(index++, interval_s, *source_);
        next += interval;
        Clock::time_point now = Clock::now();
        // Fell behind (a busy machine): the frame times missed are counted and the next frame
        // comes at once. Frames keep consecutive numbers and time stamps, as from a sensor that
        // ran slower for a while, so the client is not charged with the simulator's losses.
        if (now > next + interval) {
            overrun_ += static_cast<std::uint64_t>((now - next) / interval);
            next = now;
        }
    }
}

} // namespace tolva::sim
