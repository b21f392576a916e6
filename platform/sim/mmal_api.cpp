// The userland's MMAL and bcm_host C calls on the simulated Pi: each is recorded and can be
// made to fail, then acts on the board's MMAL objects.
#include "mmal_sim.h"
#include "sim_pi.h"

#include "bcm_host.h"
#include "interface/mmal/util/mmal_util_params.h"

#include <cstdio>

using tolva::sim::Mmal;
using tolva::sim::Port;
using tolva::sim::SimPi;

namespace {

constexpr const char *kUnknown = "?"; // subject of a call on a handle the board does not know

std::string with_id(const MMAL_PORT_T *port, std::uint32_t id)
{
    char text[16];
    std::snprintf(text, sizeof text, " 0x%X", id);
    return std::string(port->name) + text;
}

// "vc.ril.rawcam:out:0 pB12 1936x1104 crop 0,0 1928x1090": the format a commit is asked for.
std::string with_format(const MMAL_PORT_T *port)
{
    const MMAL_ES_FORMAT_T *format = port->format;
    const MMAL_VIDEO_FORMAT_T &video = format->es->video;
    char text[96];
    std::snprintf(text, sizeof text, " %c%c%c%c %ux%u crop %d,%d %dx%d",
                  static_cast<char>(format->encoding), static_cast<char>(format->encoding >> 8),
                  static_cast<char>(format->encoding >> 16),
                  static_cast<char>(format->encoding >> 24), video.width, video.height,
                  video.crop.x, video.crop.y, video.crop.width, video.crop.height);
    return port->name + std::string(text);
}

Port *port_of(MMAL_PORT_T *port) { return port && port->priv ? port->priv->port : nullptr; }

// Runs `action` on the port's object, recording the call under `subject` (the port's name).
template <typename Action>
MMAL_STATUS_T on_port(const char *name, MMAL_PORT_T *handle, const std::string &subject,
                      Action action)
{
    Port *port = port_of(handle);
    if (!port) {
        SimPi::instance().mmal().record().add(name, kUnknown, MMAL_EINVAL);
        return MMAL_EINVAL;
    }
    return port->mmal().record().run(name, subject, [&] { return action(*port); });
}

template <typename Action>
MMAL_STATUS_T on_component(const char *name, MMAL_COMPONENT_T *component, Action action)
{
    Mmal &mmal = SimPi::instance().mmal();
    if (!mmal.owns(component)) {
        mmal.record().add(name, kUnknown, MMAL_EINVAL);
        return MMAL_EINVAL;
    }
    return mmal.record().run(name, component->name, [&] { return action(mmal); });
}

} // namespace

extern "C" {

void bcm_host_init(void) { SimPi::instance().mmal().record().add("bcm_host_init", "", 0); }

MMAL_STATUS_T mmal_component_create(const char *name, MMAL_COMPONENT_T **component)
{
    Mmal &mmal = SimPi::instance().mmal();
    *component = nullptr;
    return mmal.record().run("mmal_component_create", name, [&] {
        *component = mmal.create_component(name);
        return *component ? MMAL_SUCCESS : MMAL_ENOENT;
    });
}

MMAL_STATUS_T mmal_component_destroy(MMAL_COMPONENT_T *component)
{
    return on_component("mmal_component_destroy", component, [&](Mmal &mmal) {
        mmal.destroy_component(component);
        return MMAL_SUCCESS;
    });
}

MMAL_STATUS_T mmal_component_enable(MMAL_COMPONENT_T *component)
{
    return on_component("mmal_component_enable", component, [&](Mmal &) {
        component->is_enabled = 1;
        return MMAL_SUCCESS;
    });
}

MMAL_STATUS_T mmal_component_disable(MMAL_COMPONENT_T *component)
{
    return on_component("mmal_component_disable", component, [&](Mmal &) {
        component->is_enabled = 0;
        return MMAL_SUCCESS;
    });
}

MMAL_STATUS_T mmal_port_format_commit(MMAL_PORT_T *port)
{
    return on_port("mmal_port_format_commit", port, port_of(port) ? with_format(port) : "",
                   [](Port &p) { return p.commit(); });
}

MMAL_STATUS_T mmal_port_enable(MMAL_PORT_T *port, MMAL_PORT_BH_CB_T cb)
{
    return on_port("mmal_port_enable", port, port_of(port) ? port->name : "",
                   [&](Port &p) { return p.enable(cb); });
}

MMAL_STATUS_T mmal_port_disable(MMAL_PORT_T *port)
{
    return on_port("mmal_port_disable", port, port_of(port) ? port->name : "",
                   [](Port &p) { return p.disable(); });
}

MMAL_STATUS_T mmal_port_send_buffer(MMAL_PORT_T *port, MMAL_BUFFER_HEADER_T *buffer)
{
    return on_port("mmal_port_send_buffer", port, port_of(port) ? port->name : "",
                   [&](Port &p) { return p.send(buffer); });
}

MMAL_STATUS_T mmal_port_parameter_set(MMAL_PORT_T *port, const MMAL_PARAMETER_HEADER_T *param)
{
    return on_port("mmal_port_parameter_set", port,
                   port_of(port) && param ? with_id(port, param->id) : "",
                   [&](Port &p) { return p.set_parameter(param); });
}

MMAL_STATUS_T mmal_port_parameter_get(MMAL_PORT_T *port, MMAL_PARAMETER_HEADER_T *param)
{
    return on_port("mmal_port_parameter_get", port,
                   port_of(port) && param ? with_id(port, param->id) : "",
                   [&](Port &p) { return p.get_parameter(param); });
}

MMAL_STATUS_T mmal_port_parameter_set_boolean(MMAL_PORT_T *port, uint32_t id, MMAL_BOOL_T value)
{
    return on_port("mmal_port_parameter_set_boolean", port, port_of(port) ? with_id(port, id) : "",
                   [&](Port &p) { return p.set_boolean(id, value); });
}

MMAL_POOL_T *mmal_port_pool_create(MMAL_PORT_T *port, unsigned int headers, uint32_t payload_size)
{
    MMAL_POOL_T *pool = nullptr;
    std::string subject =
        port_of(port)
            ? port->name + (" " + std::to_string(headers) + "x" + std::to_string(payload_size))
            : "";
    on_port("mmal_port_pool_create", port, subject, [&](Port &p) {
        pool = p.mmal().create_pool(p, headers, payload_size);
        return pool ? MMAL_SUCCESS : MMAL_ENOMEM;
    });
    return pool;
}

void mmal_port_pool_destroy(MMAL_PORT_T *port, MMAL_POOL_T *pool)
{
    on_port("mmal_port_pool_destroy", port, port_of(port) ? port->name : "",
            [&](Port &p) { return p.mmal().destroy_pool(pool) ? MMAL_SUCCESS : MMAL_EINVAL; });
}

void mmal_buffer_header_release(MMAL_BUFFER_HEADER_T *header)
{
    MMAL_QUEUE_T *home = header->priv->home;
    header->length = 0;
    header->offset = 0;
    header->flags = 0;
    home->mmal->record().add("mmal_buffer_header_release", home->name, MMAL_SUCCESS);
    home->put(header);
}

MMAL_BUFFER_HEADER_T *mmal_queue_get(MMAL_QUEUE_T *queue)
{
    MMAL_BUFFER_HEADER_T *buffer = nullptr;
    queue->mmal->record().run("mmal_queue_get", queue->name, [&] {
        buffer = queue->get();
        return buffer ? MMAL_SUCCESS : MMAL_EAGAIN;
    });
    return buffer;
}

} // extern "C"
