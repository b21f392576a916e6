// The DMA channel of a V4L2 receiver (Unicam's image channel, a CFE CSI-2 channel): it takes
// the sensor's frames while they match what it was set up for, writes each into the next
// queued buffer or, with none queued, into its spare buffer, and numbers and time-stamps them.
#ifndef TOLVA_SIM_CAPTURE_CHANNEL_H
#define TOLVA_SIM_CAPTURE_CHANNEL_H

#include "buffer_queue.h"
#include "csi_receiver.h"

#include <atomic>
#include <cstdint>

namespace tolva::sim {

// What the channel was set up for when streaming started.
struct ChannelSetup {
    int lanes = 2;
    int bits = 10;
    int width = 0;
    int height = 0;
    int stride = 0; // bytes from one line to the next
};

class CaptureChannel : public CsiReceiver {
public:
    CaptureChannel(SensorChip &sensor, const Knobs &knobs, BufferQueue &queue);
    ~CaptureChannel() override;

    // The first frame goes into the oldest queued buffer.
    void start(const ChannelSetup &setup);
    // Returns when no frame is in flight; the buffer the channel held goes back to the queue.
    void stop();

    int line_align() const override { return setup_.stride; }

    // Frames completed into a queued buffer, for the client to dequeue; frames written into
    // the spare buffer because no buffer was queued, or because the receiver stalled on
    // purpose (TOLVA_SIM_FAULTS rx-stall).
    std::uint64_t frames_completed() const { return completed_.load(); }
    std::uint64_t frames_spare() const { return spare_.load(); }
    // The counts on standard error, when the knobs ask for it.
    void report() const { CsiReceiver::report(completed_.load(), spare_.load()); }

private:
    bool receives(const StreamSettings &settings) const override;
    void frame_end(std::uint64_t index, double interval_s, const FrameSource &source) override;
    bool stalled(std::uint64_t index) const;

    BufferQueue &queue_;
    ChannelSetup setup_;             // set before the thread starts; read-only while it runs
    VideoBuffer *current_ = nullptr; // where the frame in progress goes; the thread's own
    std::atomic<std::uint64_t> completed_{0};
    std::atomic<std::uint64_t> spare_{0};
};

} // namespace tolva::sim

#endif
