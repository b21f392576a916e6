// Media graph: the media controller's entities, pads and links of one media device, and the
// device nodes behind them.
#ifndef TOLVA_CAPTURE_MEDIA_GRAPH_H
#define TOLVA_CAPTURE_MEDIA_GRAPH_H

#include <linux/media.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolva::capture {

class MediaGraph {
public:
    // The topology of the media device open at `fd`; none (errno set) when it can't be read.
    static std::optional<MediaGraph> read(int fd);

    // The first entity whose name starts with `prefix`, or whose name is `name`.
    const media_v2_entity *entity_with_prefix(std::string_view prefix) const;
    const media_v2_entity *entity_named(std::string_view name) const;
    // Entities that are camera sensors (MEDIA_ENT_F_CAM_SENSOR).
    std::vector<const media_v2_entity *> sensors() const;
    // The device node of an entity's interface ("/dev/video0", "/dev/v4l-subdev2"), from
    // /sys/dev/char/MAJOR:MINOR/uevent; empty when it has none.
    std::string device_node(std::uint32_t entity_id) const;
    // Enabled links that leave `entity_id` and can be changed, as (source pad, sink entity,
    // sink pad) indices.
    struct LinkEnds {
        std::uint32_t source_pad;
        std::uint32_t sink_entity;
        std::uint32_t sink_pad;
    };
    std::vector<LinkEnds> changeable_enabled_links(std::uint32_t entity_id) const;

private:
    const media_v2_pad *pad(std::uint32_t pad_id) const;

    std::vector<media_v2_entity> entities_;
    std::vector<media_v2_interface> interfaces_;
    std::vector<media_v2_pad> pads_;
    std::vector<media_v2_link> links_;
};

// Enables or disables the link from pad `source_pad` of `source` to pad `sink_pad` of `sink`:
// 0, or -1 with errno as MEDIA_IOC_SETUP_LINK leaves it.
int setup_link(int media_fd, std::uint32_t source, std::uint32_t source_pad, std::uint32_t sink,
               std::uint32_t sink_pad, bool enabled);

} // namespace tolva::capture

#endif
