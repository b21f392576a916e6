// The media controller's graph and its ioctls, with the media core's rules for ids and links.
#include "media_graph.h"

#include "kernel_answer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tolva::sim {

namespace {
// Graph object ids carry their type in the top byte, as media_gobj_gen_id() makes them.
constexpr std::uint32_t kTypeEntity = 0, kTypePad = 1, kTypeLink = 2, kTypeInterface = 3;
constexpr int kIdBits = 24;

// Copies `items` out through the user's array pointer, if it gave one, of `room` entries:
// false (ENOSPC) when that is too short.
template <typename Out, typename Item, typename Fill>
bool copy_array(std::uint64_t pointer, std::uint32_t room, const std::vector<Item> &items,
                Fill fill)
{
    if (!pointer)
        return true;
    if (items.size() > room)
        return false;
    Out *out = reinterpret_cast<Out *>(static_cast<std::uintptr_t>(pointer));
    for (const Item &item : items) {
        std::memset(out, 0, sizeof *out);
        fill(item, *out++);
    }
    return true;
}
} // namespace

std::uint32_t MediaGraph::next_id(std::uint32_t type)
{
    ++version_;
    return type << kIdBits | ++last_id_;
}

std::uint32_t MediaGraph::add_entity(const std::string &name, std::uint32_t function,
                                     const std::vector<std::uint32_t> &pad_flags,
                                     std::uint32_t flags)
{
    Entity entity{next_id(kTypeEntity), name, function, flags, {}};
    for (std::size_t index = 0; index < pad_flags.size(); ++index) {
        entity.pads.push_back(next_id(kTypePad));
        pads_.push_back(
            {entity.pads.back(), entity.id, static_cast<std::uint16_t>(index), pad_flags[index]});
    }
    entities_.push_back(entity);
    return entity.id;
}

// A device node comes with its interface link to the entity, enabled and immutable.
void MediaGraph::add_interface(std::uint32_t entity, std::uint32_t type, std::uint32_t major,
                               std::uint32_t minor)
{
    std::uint32_t id = next_id(kTypeInterface);
    interfaces_.push_back({id, type, major, minor, entity, next_id(kTypeLink)});
}

void MediaGraph::add_link(PadRef source, PadRef sink, std::uint32_t flags)
{
    links_.push_back({next_id(kTypeLink), source, sink, flags});
}

const MediaGraph::Entity *MediaGraph::entity(std::uint32_t id) const
{
    auto found = std::find_if(entities_.begin(), entities_.end(),
                              [id](const Entity &entity) { return entity.id == id; });
    return found == entities_.end() ? nullptr : &*found;
}

std::optional<std::uint32_t> MediaGraph::find_entity(const std::string &name) const
{
    for (const Entity &entity : entities_)
        if (entity.name == name)
            return entity.id;
    return std::nullopt;
}

const std::string &MediaGraph::entity_name(std::uint32_t id) const { return entity(id)->name; }

std::uint32_t MediaGraph::pad_id(PadRef pad) const { return entity(pad.entity)->pads.at(pad.pad); }

MediaGraph::Link *MediaGraph::find_link(PadRef source, PadRef sink)
{
    auto found = std::find_if(links_.begin(), links_.end(), [&](const Link &link) {
        return link.source == source && link.sink == sink;
    });
    return found == links_.end() ? nullptr : &*found;
}

bool MediaGraph::link_enabled(PadRef source, PadRef sink) const
{
    return std::any_of(links_.begin(), links_.end(), [&](const Link &link) {
        return link.source == source && link.sink == sink && (link.flags & MEDIA_LNK_FL_ENABLED);
    });
}

std::vector<PadRef> MediaGraph::enabled_remotes(PadRef pad) const
{
    std::vector<PadRef> remotes;
    for (const Link &link : links_) {
        if (!(link.flags & MEDIA_LNK_FL_ENABLED))
            continue;
        if (link.source == pad)
            remotes.push_back(link.sink);
        else if (link.sink == pad)
            remotes.push_back(link.source);
    }
    return remotes;
}

std::vector<std::pair<PadRef, PadRef>> MediaGraph::pipeline_links(std::uint32_t start) const
{
    std::vector<std::uint32_t> reached{start};
    std::vector<std::pair<PadRef, PadRef>> links;
    for (std::size_t next = 0; next < reached.size(); ++next) {
        for (const Link &link : links_) {
            bool touches = link.source.entity == reached[next] || link.sink.entity == reached[next];
            if (!(link.flags & MEDIA_LNK_FL_ENABLED) || !touches)
                continue;
            auto pair = std::make_pair(link.source, link.sink);
            if (std::find(links.begin(), links.end(), pair) == links.end())
                links.push_back(pair);
            for (std::uint32_t end : {link.source.entity, link.sink.entity})
                if (std::find(reached.begin(), reached.end(), end) == reached.end())
                    reached.push_back(end);
        }
    }
    return links;
}

void MediaGraph::set_streaming(const std::vector<std::pair<PadRef, PadRef>> &links, bool streaming)
{
    for (const auto &[source, sink] : links)
        for (std::uint32_t end : {source.entity, sink.entity}) {
            if (streaming)
                streaming_entities_.insert(end);
            else
                streaming_entities_.erase(end);
        }
}

int MediaGraph::device_info(media_device_info *info) const
{
    std::memset(info, 0, sizeof *info);
    copy_text(info->driver, info_.driver);
    copy_text(info->model, info_.model);
    copy_text(info->bus_info, info_.bus_info);
    info->media_version = info_.kernel_version;
    info->driver_version = info_.kernel_version;
    info->hw_revision = info_.hw_revision;
    return 0;
}

// The media core fills what the caller has room for; an array too short fails with ENOSPC.
int MediaGraph::topology(media_v2_topology *topology) const
{
    media_v2_topology answer = *topology;
    answer.topology_version = version_;
    bool room =
        copy_array<media_v2_entity>(answer.ptr_entities, answer.num_entities, entities_,
                                    [](const Entity &entity, media_v2_entity &out) {
                                        out.id = entity.id;
                                        copy_text(out.name, entity.name);
                                        out.function = entity.function;
                                        out.flags = entity.flags;
                                    }) &&
        copy_array<media_v2_interface>(answer.ptr_interfaces, answer.num_interfaces, interfaces_,
                                       [](const Interface &interface, media_v2_interface &out) {
                                           out.id = interface.id;
                                           out.intf_type = interface.type;
                                           out.devnode.major = interface.major;
                                           out.devnode.minor = interface.minor;
                                       }) &&
        copy_array<media_v2_pad>(answer.ptr_pads, answer.num_pads, pads_,
                                 [](const Pad &pad, media_v2_pad &out) {
                                     out.id = pad.id;
                                     out.entity_id = pad.entity;
                                     out.flags = pad.flags;
                                     out.index = pad.index;
                                 });
    std::vector<media_v2_link> links;
    for (const Interface &interface : interfaces_)
        links.push_back(
            {interface.link_id,
             interface.id,
             interface.entity,
             MEDIA_LNK_FL_INTERFACE_LINK | MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE,
             {}});
    for (const Link &link : links_)
        links.push_back({link.id, pad_id(link.source), pad_id(link.sink), link.flags, {}});
    std::sort(links.begin(), links.end(),
              [](const media_v2_link &a, const media_v2_link &b) { return a.id < b.id; });
    room = room && copy_array<media_v2_link>(
                       answer.ptr_links, answer.num_links, links,
                       [](const media_v2_link &link, media_v2_link &out) { out = link; });
    if (!room)
        return fails_with(ENOSPC);
    answer.num_entities = static_cast<std::uint32_t>(entities_.size());
    answer.num_interfaces = static_cast<std::uint32_t>(interfaces_.size());
    answer.num_pads = static_cast<std::uint32_t>(pads_.size());
    answer.num_links = static_cast<std::uint32_t>(links.size());
    *topology = answer;
    return 0;
}

// As __media_entity_setup_link(): only the enabled flag may change, never on an immutable link,
// and not while a pipeline through either end streams.
int MediaGraph::setup_link(const media_link_desc *desc)
{
    const Entity *source = entity(desc->source.entity);
    const Entity *sink = entity(desc->sink.entity);
    if (!source || !sink || desc->source.index >= source->pads.size() ||
        desc->sink.index >= sink->pads.size())
        return fails_with(EINVAL);
    Link *link = find_link({source->id, desc->source.index}, {sink->id, desc->sink.index});
    if (!link)
        return fails_with(EINVAL);
    constexpr std::uint32_t kMutable = MEDIA_LNK_FL_ENABLED;
    if ((link->flags & ~kMutable) != (desc->flags & ~kMutable))
        return fails_with(EINVAL);
    if (link->flags & MEDIA_LNK_FL_IMMUTABLE)
        return link->flags == desc->flags ? 0 : fails_with(EINVAL);
    if (link->flags == desc->flags)
        return 0;
    if (!(link->flags & MEDIA_LNK_FL_DYNAMIC) &&
        (streaming_entities_.count(source->id) || streaming_entities_.count(sink->id)))
        return fails_with(EBUSY);
    link->flags = desc->flags;
    return 0;
}

} // namespace tolva::sim
