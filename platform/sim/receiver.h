// The camera receiver ("vc.ril.rawcam" hardware): takes the virtual sensor's CSI-2 stream and
// fills the buffers its output port holds, on a thread of its own.
#ifndef TOLVA_SIM_RECEIVER_H
#define TOLVA_SIM_RECEIVER_H

#include "csi_receiver.h"

#include "interface/mmal/mmal.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace tolva::sim {

// What a receiver's output port offers the receiver: the buffers the client sent it, and the
// client's callback for a filled buffer.
class BufferSink {
public:
    virtual ~BufferSink() = default;
    virtual MMAL_BUFFER_HEADER_T *take_buffer() = 0;
    virtual void deliver(MMAL_BUFFER_HEADER_T *buffer) = 0;
};

class Receiver : public CsiReceiver {
public:
    Receiver(SensorChip &sensor, const Knobs &knobs);
    ~Receiver() override;

    // Receiver registers, as the rawcam output port's parameters set them.
    MMAL_PARAMETER_CAMERA_RX_CONFIG_T config() const;
    void set_config(const MMAL_PARAMETER_CAMERA_RX_CONFIG_T &config);
    MMAL_PARAMETER_CAMERA_RX_TIMING_T timing() const;
    void set_timing(const MMAL_PARAMETER_CAMERA_RX_TIMING_T &timing);

    // Delivery into `sink` from now until stop(); stop() returns when no delivery is in flight.
    void start(BufferSink &sink);
    void stop();

    int line_align() const override { return knobs_.line_align; }

    // The next frame time delivers a side-information buffer before the frame.
    void inject_side_info() { side_info_pending_.fetch_add(1); }

    // The sensor's frames `first` to `first` + `frames` - 1 find no free buffer, as when the
    // client holds them all.
    void starve(std::uint64_t first, std::uint64_t frames)
    {
        starved_end_.store(first + frames);
        starved_first_.store(first);
    }

    // Frames the callback has returned from; frames lost because the port held no free buffer
    // (they keep their numbers, so their time stamps leave a gap). frames_overrun() tells the
    // frame times the simulator itself missed.
    std::uint64_t frames_delivered() const { return delivered_.load(); }
    std::uint64_t frames_dropped() const { return dropped_.load(); }
    // The three counts on standard error, when the knobs ask for it.
    void report() const;

private:
    bool receives(const StreamSettings &settings) const override;
    void frame_end(std::uint64_t index, double interval_s, const FrameSource &source) override;
    void deliver_side_info();

    BufferSink *sink_ = nullptr;

    // Guards config_ and timing_: the receiver thread reads what the capture unit's thread sets.
    // The thread's own state (sink_, scratch_) needs none.
    mutable std::mutex mutex_;
    MMAL_PARAMETER_CAMERA_RX_CONFIG_T config_;
    MMAL_PARAMETER_CAMERA_RX_TIMING_T timing_;
    std::vector<std::uint8_t> scratch_; // a frame longer than the buffer is rendered here first

    std::atomic<int> side_info_pending_{0};
    std::atomic<std::uint64_t> starved_first_{0};
    std::atomic<std::uint64_t> starved_end_{0};
    std::atomic<std::uint64_t> delivered_{0};
    std::atomic<std::uint64_t> dropped_{0};
};

} // namespace tolva::sim

#endif
