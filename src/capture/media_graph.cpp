// Media graph: reads a media device's topology through the host seam and finds its device nodes.
#include "media_graph.h"

#include "file_handle.h"
#include "host.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tolva::capture {

namespace {

template <typename T> std::uint64_t pointer_of(std::vector<T> &items)
{
    return reinterpret_cast<std::uintptr_t>(items.data());
}

bool is_interface_link(const media_v2_link &link)
{
    return (link.flags & MEDIA_LNK_FL_LINK_TYPE) == MEDIA_LNK_FL_INTERFACE_LINK;
}

// "DEVNAME=video0" in the device's uevent: its node under /dev.
std::string node_from_uevent(unsigned major, unsigned minor)
{
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/uevent", major, minor);
    FileHandle fp(host_fopen_proc(path));
    if (!fp)
        return {};
    char line[256];
    const char key[] = "DEVNAME=";
    while (std::fgets(line, sizeof line, fp.get())) {
        if (std::strncmp(line, key, sizeof key - 1) != 0)
            continue;
        std::string name(line + sizeof key - 1);
        name.erase(name.find_last_not_of("\r\n") + 1);
        return "/dev/" + name;
    }
    return {};
}

} // namespace

std::optional<MediaGraph> MediaGraph::read(int fd)
{
    // The counts first, then the items; a graph that changed in between is read again.
    for (;;) {
        media_v2_topology counts{};
        if (host_dev_ioctl(fd, MEDIA_IOC_G_TOPOLOGY, &counts) < 0)
            return std::nullopt;
        MediaGraph graph;
        graph.entities_.resize(counts.num_entities);
        graph.interfaces_.resize(counts.num_interfaces);
        graph.pads_.resize(counts.num_pads);
        graph.links_.resize(counts.num_links);
        media_v2_topology topology = counts;
        topology.ptr_entities = pointer_of(graph.entities_);
        topology.ptr_interfaces = pointer_of(graph.interfaces_);
        topology.ptr_pads = pointer_of(graph.pads_);
        topology.ptr_links = pointer_of(graph.links_);
        if (host_dev_ioctl(fd, MEDIA_IOC_G_TOPOLOGY, &topology) < 0)
            return std::nullopt;
        if (topology.topology_version == counts.topology_version)
            return graph;
    }
}

const media_v2_entity *MediaGraph::entity_with_prefix(std::string_view prefix) const
{
    for (const media_v2_entity &entity : entities_)
        if (std::string_view(entity.name).substr(0, prefix.size()) == prefix)
            return &entity;
    return nullptr;
}

const media_v2_entity *MediaGraph::entity_named(std::string_view name) const
{
    for (const media_v2_entity &entity : entities_)
        if (std::string_view(entity.name) == name)
            return &entity;
    return nullptr;
}

std::vector<const media_v2_entity *> MediaGraph::sensors() const
{
    std::vector<const media_v2_entity *> found;
    for (const media_v2_entity &entity : entities_)
        if (entity.function == MEDIA_ENT_F_CAM_SENSOR)
            found.push_back(&entity);
    return found;
}

std::string MediaGraph::device_node(std::uint32_t entity_id) const
{
    for (const media_v2_link &link : links_) {
        if (!is_interface_link(link) || link.sink_id != entity_id)
            continue;
        for (const media_v2_interface &interface : interfaces_)
            if (interface.id == link.source_id)
                return node_from_uevent(interface.devnode.major, interface.devnode.minor);
    }
    return {};
}

const media_v2_pad *MediaGraph::pad(std::uint32_t pad_id) const
{
    auto found = std::find_if(pads_.begin(), pads_.end(),
                              [pad_id](const media_v2_pad &p) { return p.id == pad_id; });
    return found == pads_.end() ? nullptr : &*found;
}

std::vector<MediaGraph::LinkEnds>
MediaGraph::changeable_enabled_links(std::uint32_t entity_id) const
{
    std::vector<LinkEnds> found;
    for (const media_v2_link &link : links_) {
        if (is_interface_link(link) || (link.flags & MEDIA_LNK_FL_ENABLED) == 0 ||
            (link.flags & MEDIA_LNK_FL_IMMUTABLE) != 0)
            continue;
        const media_v2_pad *source = pad(link.source_id);
        const media_v2_pad *sink = pad(link.sink_id);
        if (source && sink && source->entity_id == entity_id)
            found.push_back({source->index, sink->entity_id, sink->index});
    }
    return found;
}

int setup_link(int media_fd, std::uint32_t source, std::uint32_t source_pad, std::uint32_t sink,
               std::uint32_t sink_pad, bool enabled)
{
    media_link_desc link{};
    link.source.entity = source;
    link.source.index = static_cast<std::uint16_t>(source_pad);
    link.sink.entity = sink;
    link.sink.index = static_cast<std::uint16_t>(sink_pad);
    link.flags = enabled ? MEDIA_LNK_FL_ENABLED : 0;
    return host_dev_ioctl(media_fd, MEDIA_IOC_SETUP_LINK, &link);
}

} // namespace tolva::capture
