// The simulated Pi's MMAL: components, ports, pools and queues behind the userland's C calls,
// with a record of every call and failures a test can switch on.
#ifndef TOLVA_SIM_MMAL_SIM_H
#define TOLVA_SIM_MMAL_SIM_H

#include "knobs.h"
#include "receiver.h"
#include "sensor_chip.h"

#include "interface/mmal/mmal.h"
#include "interface/mmal/util/mmal_util.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tolva::sim {
class Mmal;
class Port;
class Component;
} // namespace tolva::sim

// The userland leaves these to its implementation; the simulator's are here.
struct MMAL_QUEUE_T {
    // Guards the buffers: the receiver thread takes and the callback returns them while the
    // program sends them.
    std::mutex mutex;
    std::deque<MMAL_BUFFER_HEADER_T *> buffers;
    tolva::sim::Mmal *mmal = nullptr;
    std::string name;

    void put(MMAL_BUFFER_HEADER_T *buffer);
    MMAL_BUFFER_HEADER_T *get();
};
struct MMAL_BUFFER_HEADER_PRIVATE_T {
    MMAL_QUEUE_T *home; // the pool's queue a released buffer goes back to
};
struct MMAL_PORT_PRIVATE_T {
    tolva::sim::Port *port;
};
struct MMAL_COMPONENT_PRIVATE_T {
    tolva::sim::Component *component;
};

namespace tolva::sim {

// One MMAL call as it was made: "mmal_port_enable(vc.ril.rawcam:out:0) = 0".
struct MmalCall {
    std::string name;
    std::string subject; // component, port (with parameter id) or pool the call acted on
    int result;
    std::string text() const;
};

// Every MMAL call in order, except the per-buffer traffic (send, release, queue_get, made on
// the receiver's thread too for every frame): those are only counted, so a night-long run
// keeps its memory.
class CallRecord {
public:
    // Runs `call` unless a failure is armed for it; records name, subject and result.
    MMAL_STATUS_T run(const std::string &name, const std::string &subject,
                      const std::function<MMAL_STATUS_T()> &call);
    bool fails(const std::string &name, const std::string &subject) const;
    void add(const std::string &name, const std::string &subject, int result);

    std::vector<MmalCall> calls() const;
    std::vector<std::string> texts() const;
    // Buffer traffic calls `name` that gave `result` since the last clear().
    std::uint64_t traffic(const std::string &name, int result = 0) const;
    void clear();

    // From now on, every call `name` whose subject contains `subject` fails with MMAL_EIO (a
    // pool or buffer call returns nothing).
    void fail(const std::string &name, const std::string &subject = "");

private:
    // Guards the record, the traffic counts and the armed failures: calls come from the
    // program's thread and, for buffer traffic, from the receiver's.
    mutable std::mutex mutex_;
    std::vector<MmalCall> calls_;
    std::map<std::pair<std::string, int>, std::uint64_t> traffic_;
    std::vector<std::pair<std::string, std::string>> failures_;
};

class Pool {
public:
    Pool(Mmal &mmal, const std::string &name, unsigned headers, std::uint32_t payload_size);
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;
    MMAL_POOL_T *handle() { return &pool_; }

private:
    MMAL_QUEUE_T queue_;
    MMAL_BUFFER_HEADER_PRIVATE_T home_;
    std::vector<MMAL_BUFFER_HEADER_T> headers_;
    std::vector<MMAL_BUFFER_HEADER_T *> pointers_;
    std::vector<std::unique_ptr<std::uint8_t[]>> payloads_;
    MMAL_POOL_T pool_;
};

class Port : public BufferSink {
public:
    Port(Component &owner, MMAL_PORT_TYPE_T type, std::uint16_t index, Receiver *receiver);
    ~Port() override;
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    MMAL_PORT_T *handle() { return &port_; }
    const std::string &name() const { return name_; }
    Mmal &mmal();

    MMAL_STATUS_T commit();
    MMAL_STATUS_T enable(MMAL_PORT_BH_CB_T callback);
    MMAL_STATUS_T disable();
    MMAL_STATUS_T send(MMAL_BUFFER_HEADER_T *buffer);
    MMAL_STATUS_T get_parameter(MMAL_PARAMETER_HEADER_T *param);
    MMAL_STATUS_T set_parameter(const MMAL_PARAMETER_HEADER_T *param);
    MMAL_STATUS_T set_boolean(std::uint32_t id, MMAL_BOOL_T value);

    MMAL_BUFFER_HEADER_T *take_buffer() override;
    void deliver(MMAL_BUFFER_HEADER_T *buffer) override;

private:
    Component &owner_;
    std::string name_;
    Receiver *receiver_; // the receiver behind a camera output port; null elsewhere
    MMAL_PORT_PRIVATE_T private_;
    MMAL_ES_SPECIFIC_FORMAT_T es_;
    MMAL_ES_FORMAT_T format_;
    MMAL_PORT_T port_;
    MMAL_PORT_BH_CB_T callback_ = nullptr;
    MMAL_QUEUE_T held_; // buffers sent to the port and not yet filled
};

class Component {
public:
    Component(Mmal &mmal, const std::string &name, Receiver *receiver);
    Component(const Component &) = delete;
    Component &operator=(const Component &) = delete;

    MMAL_COMPONENT_T *handle() { return &component_; }
    const std::string &name() const { return name_; }
    Mmal &mmal() { return mmal_; }

private:
    Mmal &mmal_;
    std::string name_;
    MMAL_COMPONENT_PRIVATE_T private_;
    std::vector<std::unique_ptr<Port>> inputs_;
    std::vector<std::unique_ptr<Port>> outputs_;
    std::vector<MMAL_PORT_T *> input_handles_;
    std::vector<MMAL_PORT_T *> output_handles_;
    MMAL_COMPONENT_T component_;
};

// All of MMAL on one simulated board.
class Mmal {
public:
    // Without `camera_receiver` the VideoCore has no "vc.ril.rawcam": on the current OS a
    // kernel driver owns the CSI-2 receiver.
    Mmal(SensorChip &sensor, const Knobs &knobs, bool camera_receiver = true);
    ~Mmal();
    Mmal(const Mmal &) = delete;
    Mmal &operator=(const Mmal &) = delete;

    CallRecord &record() { return record_; }
    Receiver &receiver() { return receiver_; }

    // Null for a component the VideoCore does not have.
    MMAL_COMPONENT_T *create_component(const std::string &name);
    bool destroy_component(MMAL_COMPONENT_T *handle);
    bool owns(const MMAL_COMPONENT_T *handle) const;
    MMAL_POOL_T *create_pool(Port &port, unsigned headers, std::uint32_t payload_size);
    bool destroy_pool(MMAL_POOL_T *pool);
    int live_components() const { return static_cast<int>(components_.size()); }
    int live_pools() const { return static_cast<int>(pools_.size()); }

private:
    bool camera_receiver_;
    CallRecord record_;
    Receiver receiver_; // declared before the components, whose ports stop it when they go
    std::map<const MMAL_COMPONENT_T *, std::unique_ptr<Component>> components_;
    std::map<const MMAL_POOL_T *, std::unique_ptr<Pool>> pools_;
};

} // namespace tolva::sim

#endif
