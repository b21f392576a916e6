// The simulated camera receiver: frames at the sensor's frame interval into free port buffers.
#include "receiver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tolva::sim {

namespace {
constexpr std::uint32_t kImageIdRaw10 = 0x2B, kImageIdRaw12 = 0x2C;
constexpr std::uint32_t kSideInfoBytes = 64;
constexpr std::uint32_t kDefaultLanes = 2;
} // namespace

Receiver::Receiver(SensorChip &sensor, const Knobs &knobs) : CsiReceiver(sensor, knobs)
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

void Receiver::start(BufferSink &sink)
{
    stop();
    sink_ = &sink;
    start_thread("rawcam");
}

void Receiver::stop()
{
    stop_thread();
    sink_ = nullptr;
}

void Receiver::report() const { CsiReceiver::report(delivered_.load(), dropped_.load()); }

// The link carries frames only when both ends agree on lanes and data type, as on hardware.
bool Receiver::receives(const StreamSettings &settings) const
{
    MMAL_PARAMETER_CAMERA_RX_CONFIG_T config = this->config();
    std::uint32_t image_id = settings.bits == 12 ? kImageIdRaw12 : kImageIdRaw10;
    return settings.bits != 0 && config.image_id == image_id &&
           config.data_lanes == static_cast<std::uint32_t>(settings.lanes);
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

void Receiver::frame_end(std::uint64_t index, double interval_s, const FrameSource &source)
{
    for (; side_info_pending_.load() > 0; side_info_pending_.fetch_sub(1))
        deliver_side_info();
    if (index >= starved_first_.load() && index < starved_end_.load()) {
        ++dropped_;
        return;
    }
    MMAL_BUFFER_HEADER_T *buffer = sink_->take_buffer();
    if (!buffer) {
        ++dropped_;
        return;
    }
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
    sink_->deliver(buffer);
    ++delivered_; // once the callback is done with it: whoever sees the count sees the frame
}

} // namespace tolva::sim
