// A V4L2 receiver's DMA channel: frames into queued buffers, or the spare buffer, counted.
#include "capture_channel.h"

#include <ctime>

namespace tolva::sim {

namespace {
constexpr double kNanosecondsPerSecond = 1e9;

std::uint64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(now.tv_nsec);
}
} // namespace

CaptureChannel::CaptureChannel(SensorChip &sensor, const Knobs &knobs, BufferQueue &queue)
    : CsiReceiver(sensor, knobs), queue_(queue)
{
}

CaptureChannel::~CaptureChannel() { stop(); }

void CaptureChannel::start(const ChannelSetup &setup)
{
    stop();
    setup_ = setup;
    current_ = queue_.take_queued();
    start_thread("csi-rx");
}

void CaptureChannel::stop()
{
    stop_thread();
    if (current_)
        queue_.give_back(current_);
    current_ = nullptr;
}

// The receiver is set up for one data type, size and lane count; a stream of any other
// brings no frame, as on hardware.
bool CaptureChannel::receives(const StreamSettings &settings) const
{
    return settings.bits == setup_.bits && settings.lanes == setup_.lanes &&
           settings.width == setup_.width && settings.height == setup_.height;
}

bool CaptureChannel::stalled(std::uint64_t index) const
{
    return index >= knobs_.rx_stall_first && index < knobs_.rx_stall_first + knobs_.rx_stall_frames;
}

// The frame that ends is complete in its buffer, stamped with its start; the buffer for the
// next frame is chosen now, at that frame's start, as the drivers do at frame start. The
// sequence number counts every frame, those written into the spare buffer too, so a gap in
// it is a lost frame.
void CaptureChannel::frame_end(std::uint64_t index, double interval_s, const FrameSource &source)
{
    if (current_) {
        source.render(index, current_->data());
        auto interval_ns = static_cast<std::uint64_t>(interval_s * kNanosecondsPerSecond);
        queue_.complete(current_, static_cast<std::uint32_t>(index), monotonic_ns() - interval_ns);
        ++completed_;
    } else {
        ++spare_;
    }
    current_ = stalled(index + 1) ? nullptr : queue_.take_queued();
}

} // namespace tolva::sim
