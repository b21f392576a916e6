// The CSI-2 receiver hardware every simulated capture driver has: it watches the sensor
// chip's stream and ends one frame each frame interval, on a thread of its own.
#ifndef TOLVA_SIM_CSI_RECEIVER_H
#define TOLVA_SIM_CSI_RECEIVER_H

#include "frame_source.h"
#include "knobs.h"
#include "sensor_chip.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace tolva::sim {

// A driver derives from it and says which streams its link takes and what becomes of a frame.
// The thread calls the two hooks; a derived class stops the thread in its destructor, before
// its own members go.
class CsiReceiver {
public:
    CsiReceiver(SensorChip &sensor, const Knobs &knobs);
    virtual ~CsiReceiver();
    CsiReceiver(const CsiReceiver &) = delete;
    CsiReceiver &operator=(const CsiReceiver &) = delete;

    // Frame times the simulator missed because it could not keep the sensor's pace (it renders
    // on one core): there the sensor runs slower, its frames stay consecutive.
    std::uint64_t frames_overrun() const { return overrun_.load(); }
    // Number of the sensor's next frame since streaming started.
    std::uint64_t next_frame() const { return next_index_.load(); }
    // What the sensor currently shows (null before it first streamed into the receiver).
    std::shared_ptr<const FrameSource> source() const;

    // Lines of a frame are filled up to a multiple of this many bytes.
    virtual int line_align() const = 0;

protected:
    // With TOLVA_SIM_RECEIVER_REPORT, standard error gets what became of the sensor's frames
    // since the driver was set up: delivered, without a free buffer, missed by the simulator.
    void report(std::uint64_t delivered, std::uint64_t without_buffer) const;

    // Frames from now until stop_thread(), which returns when no frame is in flight.
    void start_thread(const char *name);
    void stop_thread();

    // Whether the link carries a stream with these settings, as the receiver is set up.
    virtual bool receives(const StreamSettings &settings) const = 0;
    // Frame `index` of the stream has ended; `source` renders it.
    virtual void frame_end(std::uint64_t index, double interval_s, const FrameSource &source) = 0;

    SensorChip &sensor_;
    const Knobs &knobs_;

private:
    void run();
    void update_source(const StreamSettings &settings, double interval_s);

    // Guards stop_ (with wake_, which ends the wait between frames) and source_ with
    // source_settings_: the thread sets them while other threads look.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
    std::shared_ptr<const FrameSource> source_;
    StreamSettings source_settings_;
    std::atomic<std::uint64_t> overrun_{0};
    std::atomic<std::uint64_t> next_index_{0};
};

} // namespace tolva::sim

#endif
