// The media devices of the simulated receivers: Unicam's (Pi 4 family) and CFE's (Pi 5
// family) graphs as their drivers build them around the bound CSI-2 source, and the pipeline
// checks their streaming runs.
#ifndef TOLVA_SIM_MEDIA_DEVICE_H
#define TOLVA_SIM_MEDIA_DEVICE_H

#include "media_graph.h"
#include "sub_device.h"
#include "video_node.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tolva::sim {

enum class ReceiverKind { unicam, cfe };

// What the device tree binds to the receiver's endpoint.
enum class BoundSource {
    ours,          // our CSI-2 source driver ("tolva-csi2 i2c-N")
    kernel_sensor, // a kernel sensor driver the firmware's camera detection loaded
    none,          // our module is not loaded: the receiver waits for its source
};

struct CameraEndpoint {
    ReceiverKind receiver;
    std::string bus_info;        // the receiver's platform device
    int i2c_bus;                 // the camera connector's I2C adapter
    int lanes;                   // data-lanes
    std::int64_t link_frequency; // link-frequencies
    BoundSource source;
    std::string kernel_sensor;    // the kernel sensor driver's sub-device name
    std::uint32_t kernel_version; // KERNEL_VERSION(a, b, c)
};

class MediaDevice : public Pipeline {
public:
    // The receiver's media device with its graph.
    MediaDevice(const CameraEndpoint &endpoint, SensorChip &sensor, const Knobs &knobs);
    // A media device of another driver (a codec, the ISP back end), for the search to pass by.
    explicit MediaDevice(const MediaDeviceInfo &info);

    MediaGraph &graph() { return graph_; }
    // In the order the driver registers their device nodes.
    const std::vector<std::unique_ptr<VideoNode>> &video_nodes() const { return videos_; }
    std::vector<SubDevice *> sub_devices() const;

    // An ioctl on the media device node: 0, or -1 with errno set.
    int ioctl(unsigned long request, void *arg);

    int start(const VideoNode &node) override;
    void stop(const VideoNode &node) override;
    int lanes() const override { return lanes_; }

private:
    struct Entity {
        std::uint32_t id;
        SubDevice *sub_device; // null for a video node
        VideoNode *video;      // null for a sub-device
    };

    SubDevice *add_sub_device(std::unique_ptr<SubDevice> sub_device, std::uint32_t function,
                              const std::vector<std::uint32_t> &pads);
    VideoNode *add_video(const std::string &name, std::uint32_t caps, std::uint32_t pad_flags,
                         bool image, std::uint32_t flags = 0);
    std::uint32_t bound_source(const CameraEndpoint &endpoint);
    void build_unicam(const CameraEndpoint &endpoint);
    void build_cfe(const CameraEndpoint &endpoint);
    const Entity &entity(std::uint32_t id) const;
    int validate(const VideoNode &node) const;
    int validate_video_link(PadRef source, const VideoNode &node) const;

    MediaGraph graph_;
    ReceiverRules rules_;
    ReceiverKind kind_ = ReceiverKind::unicam;
    int lanes_ = 0;
    SensorChip *sensor_ = nullptr;
    const Knobs *knobs_ = nullptr;
    std::vector<std::unique_ptr<SubDevice>> sub_devices_;
    std::vector<std::unique_ptr<VideoNode>> videos_;
    std::vector<Entity> entities_;
    SubDevice *source_ = nullptr;
};

} // namespace tolva::sim

#endif
