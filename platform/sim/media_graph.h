// A media controller device: entities with pads, the links between them and the device nodes
// that reach them, answered as the kernel's MEDIA_IOC_* ioctls answer.
#ifndef TOLVA_SIM_MEDIA_GRAPH_H
#define TOLVA_SIM_MEDIA_GRAPH_H

#include <linux/media.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tolva::sim {

// One end of a data link: an entity's pad by its index.
struct PadRef {
    std::uint32_t entity;
    std::uint16_t pad;
    bool operator==(const PadRef &other) const
    {
        return entity == other.entity && pad == other.pad;
    }
};

struct MediaDeviceInfo {
    std::string driver;
    std::string model;
    std::string bus_info;
    std::uint32_t hw_revision = 0;
    std::uint32_t kernel_version = 0; // KERNEL_VERSION(a, b, c)
};

class MediaGraph {
public:
    explicit MediaGraph(MediaDeviceInfo info) : info_(std::move(info)) {}

    // An entity with one pad per entry of `pad_flags` (MEDIA_PAD_FL_*); its id.
    std::uint32_t add_entity(const std::string &name, std::uint32_t function,
                             const std::vector<std::uint32_t> &pad_flags, std::uint32_t flags = 0);
    // The device node (MEDIA_INTF_T_*) that reaches the entity.
    void add_interface(std::uint32_t entity, std::uint32_t type, std::uint32_t major,
                       std::uint32_t minor);
    void add_link(PadRef source, PadRef sink, std::uint32_t flags);

    const std::string &model() const { return info_.model; }
    std::optional<std::uint32_t> find_entity(const std::string &name) const;
    const std::string &entity_name(std::uint32_t entity) const;
    // The pads the entity's enabled links connect to its pad.
    std::vector<PadRef> enabled_remotes(PadRef pad) const;
    bool link_enabled(PadRef source, PadRef sink) const;
    // Every enabled data link touching the entities reachable from `start` over enabled links,
    // as {source, sink}: the links a pipeline starting there validates.
    std::vector<std::pair<PadRef, PadRef>> pipeline_links(std::uint32_t start) const;

    // Links of entities in a streaming pipeline do not change (EBUSY).
    void set_streaming(const std::vector<std::pair<PadRef, PadRef>> &links, bool streaming);

    // The ioctls: 0, or -1 with errno set.
    int device_info(media_device_info *info) const;
    int topology(media_v2_topology *topology) const;
    int setup_link(const media_link_desc *desc);

private:
    struct Pad {
        std::uint32_t id;
        std::uint32_t entity;
        std::uint16_t index;
        std::uint32_t flags;
    };
    struct Entity {
        std::uint32_t id;
        std::string name;
        std::uint32_t function;
        std::uint32_t flags;
        std::vector<std::uint32_t> pads; // graph ids, by index
    };
    struct Interface {
        std::uint32_t id;
        std::uint32_t type;
        std::uint32_t major;
        std::uint32_t minor;
        std::uint32_t entity;
        std::uint32_t link_id;
    };
    struct Link {
        std::uint32_t id;
        PadRef source;
        PadRef sink;
        std::uint32_t flags;
    };

    std::uint32_t next_id(std::uint32_t type);
    const Entity *entity(std::uint32_t id) const;
    Link *find_link(PadRef source, PadRef sink);
    std::uint32_t pad_id(PadRef pad) const;

    MediaDeviceInfo info_;
    std::vector<Entity> entities_;
    std::vector<Pad> pads_;
    std::vector<Interface> interfaces_;
    std::vector<Link> links_;
    std::set<std::uint32_t> streaming_entities_;
    std::uint32_t last_id_ = 0;
    std::uint64_t version_ = 0;
};

} // namespace tolva::sim

#endif
