// The simulated camera receiver: frames at the sensor's frame interval into free port buffers.
#include "receiver.h"

#include "ser_replay.h"
#include "sky_scene.h"
#include "test_pattern.h"

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace tolva::sim {

namespace {
using Clock = std::chrono::steady_clock;
constexpr auto kIdlePoll = std::chrono::milliseconds(2); // how often a silent link is looked at
constexpr std::uint32_t kImageIdRaw10 = 0x2B, kImageIdRaw12 = 0x2C;
constexpr std::uint32_t kSideInfoBytes = 64;
constexpr std::uint32_t kDefaultLanes = 2;

bool same_source(const StreamSettings &a, const StreamSettings &b)
{
    return a.width == b.width && a.height == b.height && a.bits == b.bits &&
           a.monochrome == b.monochrome && a.test_pattern == b.test_pattern &&
           a.test_data == b.test_data && a.frame_interval_s == b.frame_interval_s;
}
} // namespace

Receiver::Receiver(SensorChip &sensor, const Knobs &knobs) : sensor_(sensor), knobs_(knobs)
{
    config_ = {{MMAL_PARAMETER_CAMERA_RX_CONFIG, sizeof config_},
               MMAL_CAMERA_RX_CONFIG_DECODE_NONE,
               MMAL_CAMERA_RX_CONFIG_ENCODE_NONE,
               MMAL_CAMERA_RX_CONFIG_UNPACK_NONE,
               MMAL_CAMERA_RX_CONFIG_PACK_NONE,
               kDefaultLanes,
               0,
               0,
               kImageIdRaw10};
    // Power-up values of the D-PHY timing registers; nothing here depends on them.
    timing_ = {{MMAL_PARAMETER_CAMERA_RX_TIMING, sizeof timing_}, 0, 0, 0, 0, 0, 0, 0, 0, 0};
}

Receiver::~Receiver() { stop(); }

MMAL_PARAMETER_CAMERA_RX_CONFIG_T Receiver::config() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

void Receiver::set_config(const MMAL_PARAMETER_CAMERA_RX_CONFIG_T &config)
{
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = config;
}

MMAL_PARAMETER_CAMERA_RX_TIMING_T Receiver::timing() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return timing_;
}

void Receiver::set_timing(const MMAL_PARAMETER_CAMERA_RX_TIMING_T &timing)
{
    std::lock_guard<std::mutex> lock(mutex_);
    timing_ = timing;
}

std::shared_ptr<const FrameSource> Receiver::source() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return source_;
}

void Receiver::start(BufferSink &sink)
{
    stop();
    sink_ = &sink;
    stop_ = false;
    thread_ = std::thread(&Receiver::run, this);
    // Named, so that tests and debuggers can tell it from the other threads.
    pthread_setname_np(thread_.native_handle(), "rawcam");
}

void Receiver::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    sink_ = nullptr;
}

void Receiver::report() const
{
    if (!knobs_.receiver_report)
        return;
    std::fprintf(stderr,
                 "simulated Pi: receiver: %llu frames delivered, %llu without a free buffer, %llu "
                 "frame times missed (the simulator fell behind)\n",
                 static_cast<unsigned long long>(delivered_.load()),
                 static_cast<unsigned long long>(dropped_.load()),
                 static_cast<unsigned long long>(overrun_.load()));
}

// The link carries frames only when both ends agree on lanes and data type, as on hardware.
bool Receiver::receives(const StreamSettings &settings) const
{
    MMAL_PARAMETER_CAMERA_RX_CONFIG_T config = this->config();
    std::uint32_t image_id = settings.bits == 12 ? kImageIdRaw12 : kImageIdRaw10;
    return settings.bits != 0 && config.image_id == image_id &&
           config.data_lanes == static_cast<std::uint32_t>(settings.lanes);
}

void Receiver::update_source(const StreamSettings &settings, double interval_s)
{
    if (source_ && same_source(settings, source_settings_))
        return;
    FrameGeometry geometry{settings.width, settings.height, settings.bits, settings.monochrome,
                           knobs_.line_align};
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

void Receiver::deliver_side_info()
{
    MMAL_BUFFER_HEADER_T *buffer = sink_->take_buffer();
    if (!buffer) {
        ++dropped_;
        return;
    }
    buffer->length = std::min(kSideInfoBytes, buffer->alloc_size);
    std::memset(buffer->data, 0, buffer->length);
    buffer->flags = MMAL_BUFFER_HEADER_FLAG_CODECSIDEINFO;
    sink_->deliver(buffer);
}

void Receiver::deliver_frame(std::uint64_t index, double interval_s)
{
    if (index >= starved_first_.load() && index < starved_end_.load()) {
        ++dropped_;
        return;
    }
    MMAL_BUFFER_HEADER_T *buffer = sink_->take_buffer();
    if (!buffer) {
        ++dropped_;
        return;
    }
    const FrameSource &source = *source_;
    std::size_t bytes = source.geometry().frame_bytes();
    // A frame is as long as the sensor makes it; the buffer holds what fits.
    if (bytes <= buffer->alloc_size) {
        source.render(index, buffer->data);
    } else {
        scratch_.resize(bytes);
        source.render(index, scratch_.data());
        bytes = buffer->alloc_size;
        std::memcpy(buffer->data, scratch_.data(), bytes);
    }
    constexpr double kMicroseconds = 1e6;
    buffer->length = static_cast<std::uint32_t>(bytes);
    buffer->offset = 0;
    buffer->flags = 0;
    buffer->pts =
        static_cast<std::int64_t>(static_cast<double>(index) * interval_s * kMicroseconds);
    ++delivered_;
    sink_->deliver(buffer);
}

void Receiver::run()
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
        for (; side_info_pending_.load() > 0; side_info_pending_.fetch_sub(1))
            deliver_side_info();
        next_index_.store(index + 1); // before the callback can hand the frame on
        deliver_frame(index++, interval_s);
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
