// The camera receiver ("vc.ril.rawcam" hardware): takes the virtual sensor's CSI-2 stream and
// fills the buffers its output port holds, on a thread of its own.
#ifndef TOLVA_SIM_RECEIVER_H
#define TOLVA_SIM_RECEIVER_H

#include "frame_source.h"
#include "knobs.h"
#include "sensor_chip.h"

#include "interface/mmal/mmal.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
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

class Receiver {
public:
    Receiver(SensorChip &sensor, const Knobs &knobs);
    ~Receiver();
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    // Receiver registers, as the rawcam output port's parameters set them.
    MMAL_PARAMETER_CAMERA_RX_CONFIG_T config() const;
    void set_config(const MMAL_PARAMETER_CAMERA_RX_CONFIG_T &config);
    MMAL_PARAMETER_CAMERA_RX_TIMING_T timing() const;
    void set_timing(const MMAL_PARAMETER_CAMERA_RX_TIMING_T &timing);

    // Delivery into `sink` from now until stop(); stop() returns when no delivery is in flight.
    void start(BufferSink &sink);
    void stop();

    // Lines are filled up to a multiple of this many bytes.
    int line_align() const { return knobs_.line_align; }

    // The next frame time delivers a side-information buffer before the frame.
    void inject_side_info() { side_info_pending_.fetch_add(1); }

    // The sensor's frames `first` to `first` + `frames` - 1 find no free buffer, as when the
    // client holds them all.
    void starve(std::uint64_t first, std::uint64_t frames)
    {
        starved_end_.store(first + frames);
        starved_first_.store(first);
    }

    // Frames handed to the callback; frames lost because the port held no free buffer (they
    // keep their numbers, so their time stamps leave a gap); frame times the simulator missed
    // because it could not keep the sensor's pace (it renders on one core): there the sensor
    // runs slower, its frames stay consecutive.
    std::uint64_t frames_delivered() const { return delivered_.load(); }
    std::uint64_t frames_dropped() const { return dropped_.load(); }
    std::uint64_t frames_overrun() const { return overrun_.load(); }
    // The three counts on standard error, when the knobs ask for it.
    void report() const;
    // Number of the sensor's next frame since streaming started.
    std::uint64_t next_frame() const { return next_index_.load(); }
    // What the sensor currently shows (null before it first streamed into the receiver).
    std::shared_ptr<const FrameSource> source() const;

private:
    void run();
    bool receives(const StreamSettings &settings) const;
    void update_source(const StreamSettings &settings, double interval_s);
    void deliver_side_info();
    void deliver_frame(std::uint64_t index, double interval_s);

    SensorChip &sensor_;
    const Knobs &knobs_;
    BufferSink *sink_ = nullptr;

    // Guards what the receiver thread and the capture unit's thread both touch: stop_ (with
    // wake_, which ends the wait between frames), config_, timing_ and source_ with
    // source_settings_. The thread's own state (sink_, scratch_) needs none.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
    MMAL_PARAMETER_CAMERA_RX_CONFIG_T config_;
    MMAL_PARAMETER_CAMERA_RX_TIMING_T timing_;
    std::shared_ptr<const FrameSource> source_;
    StreamSettings source_settings_;
    std::vector<std::uint8_t> scratch_; // a frame longer than the buffer is rendered here first

    std::atomic<int> side_info_pending_{0};
    std::atomic<std::uint64_t> starved_first_{0};
    std::atomic<std::uint64_t> starved_end_{0};
    std::atomic<std::uint64_t> delivered_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> overrun_{0};
    std::atomic<std::uint64_t> next_index_{0};
};

} // namespace tolva::sim

#endif
