// The simulated Pi's MMAL components, ports, pools and queues.
#include "mmal_sim.h"

#include "raw_pack.h"

#include <cstdio>
#include <cstring>

void MMAL_QUEUE_T::put(MMAL_BUFFER_HEADER_T *buffer)
{
    std::lock_guard<std::mutex> lock(mutex);
    buffers.push_back(buffer);
}

MMAL_BUFFER_HEADER_T *MMAL_QUEUE_T::get()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (buffers.empty())
        return nullptr;
    MMAL_BUFFER_HEADER_T *buffer = buffers.front();
    buffers.pop_front();
    return buffer;
}

namespace tolva::sim {

namespace {
constexpr std::uint32_t kRecommendedBuffers = 3; // the receiver's own recommendation
constexpr std::uint32_t kBufferAlignment = 32;

int bits_of(MMAL_FOURCC_T encoding)
{
    if (encoding == MMAL_ENCODING_BAYER_SBGGR10P)
        return 10;
    if (encoding == MMAL_ENCODING_BAYER_SBGGR12P)
        return 12;
    return 0;
}

bool is_buffer_traffic(const std::string &name)
{
    return name == "mmal_port_send_buffer" || name == "mmal_buffer_header_release" ||
           name == "mmal_queue_get";
}
} // namespace

std::string MmalCall::text() const
{
    return name + "(" + subject + ") = " + std::to_string(result);
}

MMAL_STATUS_T CallRecord::run(const std::string &name, const std::string &subject,
                              const std::function<MMAL_STATUS_T()> &call)
{
    MMAL_STATUS_T result = fails(name, subject) ? MMAL_EIO : call();
    add(name, subject, result);
    return result;
}

bool CallRecord::fails(const std::string &name, const std::string &subject) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &[failing, part] : failures_)
        if (failing == name && subject.find(part) != std::string::npos)
            return true;
    return false;
}

void CallRecord::add(const std::string &name, const std::string &subject, int result)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (is_buffer_traffic(name))
        ++traffic_[{name, result}];
    else
        calls_.push_back({name, subject, result});
}

std::vector<MmalCall> CallRecord::calls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<std::string> CallRecord::texts() const
{
    std::vector<std::string> texts;
    for (const MmalCall &call : calls())
        texts.push_back(call.text());
    return texts;
}

std::uint64_t CallRecord::traffic(const std::string &name, int result) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = traffic_.find({name, result});
    return found == traffic_.end() ? 0 : found->second;
}

void CallRecord::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
    traffic_.clear();
}

void CallRecord::fail(const std::string &name, const std::string &subject)
{
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.emplace_back(name, subject);
}

Pool::Pool(Mmal &mmal, const std::string &name, unsigned headers, std::uint32_t payload_size)
    : home_{&queue_}, headers_(headers), pool_{&queue_, headers, nullptr}
{
    queue_.mmal = &mmal;
    queue_.name = name;
    for (MMAL_BUFFER_HEADER_T &header : headers_) {
        payloads_.emplace_back(new std::uint8_t[payload_size]());
        header = MMAL_BUFFER_HEADER_T{};
        header.priv = &home_;
        header.data = payloads_.back().get();
        header.alloc_size = payload_size;
        pointers_.push_back(&header);
        queue_.put(&header);
    }
    pool_.header = pointers_.data();
}

Port::Port(Component &owner, MMAL_PORT_TYPE_T type, std::uint16_t index, Receiver *receiver)
    : owner_(owner), receiver_(receiver), private_{this}, es_{}, format_{}, port_{}
{
    name_ =
        owner.name() + (type == MMAL_PORT_TYPE_INPUT ? ":in:" : ":out:") + std::to_string(index);
    format_.type = MMAL_ES_TYPE_VIDEO;
    format_.es = &es_;
    port_.priv = &private_;
    port_.name = name_.c_str();
    port_.type = type;
    port_.index = index;
    port_.format = &format_;
    port_.buffer_num_min = 1;
    port_.buffer_alignment_min = kBufferAlignment;
    port_.component = owner.handle();
    held_.mmal = &owner.mmal();
    held_.name = name_;
}

Port::~Port()
{
    if (receiver_ && port_.is_enabled)
        receiver_->stop();
}

Mmal &Port::mmal() { return owner_.mmal(); }

// The receiver writes each line of the video width packed and filled, so a buffer holds the
// whole (16-aligned) video frame.
MMAL_STATUS_T Port::commit()
{
    int bits = bits_of(format_.encoding);
    MMAL_VIDEO_FORMAT_T &video = es_.video;
    if (bits == 0 || video.width == 0 || video.height == 0 || video.crop.width <= 0 ||
        video.crop.height <= 0 || static_cast<std::uint32_t>(video.crop.width) > video.width ||
        static_cast<std::uint32_t>(video.crop.height) > video.height)
        return MMAL_EINVAL;
    FrameGeometry frame{static_cast<int>(video.width), static_cast<int>(video.height), bits, false,
                        receiver_ ? receiver_->line_align() : 1};
    port_.buffer_size_min = static_cast<std::uint32_t>(frame.frame_bytes());
    port_.buffer_size_recommended = port_.buffer_size_min;
    port_.buffer_num_recommended = kRecommendedBuffers;
    port_.buffer_num = port_.buffer_num_recommended;
    port_.buffer_size = port_.buffer_size_recommended;
    return MMAL_SUCCESS;
}

MMAL_STATUS_T Port::enable(MMAL_PORT_BH_CB_T callback)
{
    if (port_.is_enabled || !callback)
        return MMAL_EINVAL;
    callback_ = callback;
    port_.is_enabled = 1;
    if (receiver_)
        receiver_->start(*this);
    return MMAL_SUCCESS;
}

// Stops delivery first (waiting for a callback in flight), then hands every buffer the port
// still holds back through the callback on this thread.
MMAL_STATUS_T Port::disable()
{
    if (!port_.is_enabled)
        return MMAL_EINVAL;
    if (receiver_) {
        receiver_->stop();
        receiver_->report();
    }
    port_.is_enabled = 0;
    while (MMAL_BUFFER_HEADER_T *buffer = held_.get()) {
        buffer->length = 0;
        callback_(&port_, buffer);
    }
    return MMAL_SUCCESS;
}

MMAL_STATUS_T Port::send(MMAL_BUFFER_HEADER_T *buffer)
{
    if (!port_.is_enabled || !buffer)
        return MMAL_EINVAL;
    held_.put(buffer);
    return MMAL_SUCCESS;
}

MMAL_BUFFER_HEADER_T *Port::take_buffer() { return held_.get(); }

void Port::deliver(MMAL_BUFFER_HEADER_T *buffer) { callback_(&port_, buffer); }

namespace {
// A parameter record of this id must come with its own size, as the userland checks.
template <typename Record> bool is_record(const MMAL_PARAMETER_HEADER_T *param, std::uint32_t id)
{
    return param->id == id && param->size == sizeof(Record);
}

template <typename Record>
MMAL_STATUS_T copy_out(MMAL_PARAMETER_HEADER_T *param, const Record &value)
{
    std::memcpy(param, &value, sizeof value);
    return MMAL_SUCCESS;
}

template <typename Record> Record copy_in(const MMAL_PARAMETER_HEADER_T *param)
{
    Record value;
    std::memcpy(&value, param, sizeof value);
    return value;
}
} // namespace

MMAL_STATUS_T Port::get_parameter(MMAL_PARAMETER_HEADER_T *param)
{
    if (!receiver_ || !param)
        return MMAL_ENOSYS;
    if (is_record<MMAL_PARAMETER_CAMERA_RX_CONFIG_T>(param, MMAL_PARAMETER_CAMERA_RX_CONFIG))
        return copy_out(param, receiver_->config());
    if (is_record<MMAL_PARAMETER_CAMERA_RX_TIMING_T>(param, MMAL_PARAMETER_CAMERA_RX_TIMING))
        return copy_out(param, receiver_->timing());
    return MMAL_ENOSYS;
}

MMAL_STATUS_T Port::set_parameter(const MMAL_PARAMETER_HEADER_T *param)
{
    if (!receiver_ || !param)
        return MMAL_ENOSYS;
    if (is_record<MMAL_PARAMETER_CAMERA_RX_CONFIG_T>(param, MMAL_PARAMETER_CAMERA_RX_CONFIG))
        receiver_->set_config(copy_in<MMAL_PARAMETER_CAMERA_RX_CONFIG_T>(param));
    else if (is_record<MMAL_PARAMETER_CAMERA_RX_TIMING_T>(param, MMAL_PARAMETER_CAMERA_RX_TIMING))
        receiver_->set_timing(copy_in<MMAL_PARAMETER_CAMERA_RX_TIMING_T>(param));
    else
        return MMAL_ENOSYS;
    return MMAL_SUCCESS;
}

// Zero copy is the one boolean the capture unit sets; the simulated buffers are the frames
// themselves either way.
MMAL_STATUS_T Port::set_boolean(std::uint32_t id, MMAL_BOOL_T)
{
    return id == MMAL_PARAMETER_ZERO_COPY ? MMAL_SUCCESS : MMAL_ENOSYS;
}

Component::Component(Mmal &mmal, const std::string &name, Receiver *receiver)
    : mmal_(mmal), name_(name), private_{this}, component_{}
{
    component_.priv = &private_;
    component_.name = name_.c_str();
    // The camera receiver has one output; the ISP one input and one output; the renderer one input.
    bool camera = receiver != nullptr;
    bool has_input = !camera, has_output = name != "vc.ril.video_render";
    if (has_input)
        inputs_.push_back(std::make_unique<Port>(*this, MMAL_PORT_TYPE_INPUT, 0, nullptr));
    if (has_output)
        outputs_.push_back(std::make_unique<Port>(*this, MMAL_PORT_TYPE_OUTPUT, 0, receiver));
    for (auto &port : inputs_)
        input_handles_.push_back(port->handle());
    for (auto &port : outputs_)
        output_handles_.push_back(port->handle());
    component_.input_num = static_cast<std::uint32_t>(inputs_.size());
    component_.input = input_handles_.data();
    component_.output_num = static_cast<std::uint32_t>(outputs_.size());
    component_.output = output_handles_.data();
}

Mmal::Mmal(SensorChip &sensor, const Knobs &knobs, bool camera_receiver)
    : camera_receiver_(camera_receiver), receiver_(sensor, knobs)
{
    if (knobs.rx_port_disable_fails)
        record_.fail("mmal_port_disable");
    if (knobs.rx_no_pool)
        record_.fail("mmal_port_pool_create");
}

Mmal::~Mmal()
{
    // Components go first: their ports stop the receiver before the buffers' storage goes.
    components_.clear();
    pools_.clear();
}

MMAL_COMPONENT_T *Mmal::create_component(const std::string &name)
{
    bool camera = name == "vc.ril.rawcam";
    if (camera ? !camera_receiver_ : name != "vc.ril.isp" && name != "vc.ril.video_render")
        return nullptr;
    auto component = std::make_unique<Component>(*this, name, camera ? &receiver_ : nullptr);
    MMAL_COMPONENT_T *handle = component->handle();
    components_[handle] = std::move(component);
    return handle;
}

bool Mmal::destroy_component(MMAL_COMPONENT_T *handle) { return components_.erase(handle) != 0; }

bool Mmal::owns(const MMAL_COMPONENT_T *handle) const { return components_.count(handle) != 0; }

MMAL_POOL_T *Mmal::create_pool(Port &port, unsigned headers, std::uint32_t payload_size)
{
    if (headers == 0)
        return nullptr;
    auto pool = std::make_unique<Pool>(*this, port.name() + " pool", headers, payload_size);
    MMAL_POOL_T *handle = pool->handle();
    pools_[handle] = std::move(pool);
    return handle;
}

bool Mmal::destroy_pool(MMAL_POOL_T *pool) { return pools_.erase(pool) != 0; }

} // namespace tolva::sim
