// Unicam's and CFE's media graphs, built as bcm2835-unicam.c and rp1_cfe/cfe.c build them, and
// the link validation their streaming starts with.
#include "media_device.h"

#include "bus_formats.h"

#include <linux/media-bus-format.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

namespace tolva::sim {

namespace {
constexpr std::uint32_t kSink = MEDIA_PAD_FL_SINK;
constexpr std::uint32_t kSource = MEDIA_PAD_FL_SOURCE;
constexpr std::uint32_t kSinkMust = MEDIA_PAD_FL_SINK | MEDIA_PAD_FL_MUST_CONNECT;
constexpr std::uint32_t kSourceMust = MEDIA_PAD_FL_SOURCE | MEDIA_PAD_FL_MUST_CONNECT;
constexpr std::uint32_t kFixed = MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE;
constexpr std::uint32_t kImageCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
constexpr std::uint32_t kMetaCaps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;

// Unicam: the stride is a 16-bit register in multiples of 32. CFE: 16-byte DMA bursts.
constexpr std::uint32_t kUnicamAlignment = 32, kCfeAlignment = 16;
constexpr std::uint32_t kUnicamMaxBytesperline = (1u << 16) - kUnicamAlignment;
constexpr std::uint32_t kCfeMaxBytesperline = 0xffffff00;
constexpr std::uint32_t kUnicamMaxSize = kUnicamMaxBytesperline / 4, kCfeMaxSize = 16384;
constexpr unsigned kMinBuffers = 3;        // both drivers' queue_setup
constexpr std::uint16_t kCsi2Channels = 4; // CFE: csi2 source pad 4 + n feeds channel n
constexpr std::uint16_t kFeStreamPad = 0, kFeConfigPad = 1, kFeOutput0Pad = 2;

// A kernel sensor driver's own mode: the full sensor (that of the IMX477, for the example).
constexpr std::uint32_t kKernelSensorWidth = 4056, kKernelSensorHeight = 3040;

MediaDeviceInfo receiver_info(const CameraEndpoint &endpoint)
{
    const char *name = endpoint.receiver == ReceiverKind::unicam ? "unicam" : "rp1-cfe";
    return {name, name, endpoint.bus_info, 0, endpoint.kernel_version};
}

ReceiverRules receiver_rules(const CameraEndpoint &endpoint)
{
    bool unicam = endpoint.receiver == ReceiverKind::unicam;
    return {unicam ? "unicam" : "rp1-cfe",
            endpoint.bus_info,
            unicam ? kUnicamAlignment : kCfeAlignment,
            unicam ? kUnicamMaxBytesperline : kCfeMaxBytesperline,
            unicam ? kUnicamMaxSize : kCfeMaxSize,
            kMinBuffers,
            endpoint.kernel_version};
}

bool same_bus_format(const v4l2_mbus_framefmt &a, const v4l2_mbus_framefmt &b)
{
    return a.width == b.width && a.height == b.height && a.code == b.code && a.field == b.field;
}
} // namespace

MediaDevice::MediaDevice(const MediaDeviceInfo &info)
    : graph_(info), rules_{info.driver, info.bus_info, 1, 0, 0, 0, info.kernel_version}
{
}

MediaDevice::MediaDevice(const CameraEndpoint &endpoint, SensorChip &sensor, const Knobs &knobs)
    : graph_(receiver_info(endpoint)), rules_(receiver_rules(endpoint)), kind_(endpoint.receiver),
      lanes_(endpoint.lanes), sensor_(&sensor), knobs_(&knobs)
{
    if (kind_ == ReceiverKind::unicam)
        build_unicam(endpoint);
    else
        build_cfe(endpoint);
}

std::vector<SubDevice *> MediaDevice::sub_devices() const
{
    std::vector<SubDevice *> list;
    for (const auto &sub_device : sub_devices_)
        list.push_back(sub_device.get());
    return list;
}

SubDevice *MediaDevice::add_sub_device(std::unique_ptr<SubDevice> sub_device,
                                       std::uint32_t function,
                                       const std::vector<std::uint32_t> &pads)
{
    std::uint32_t id = graph_.add_entity(sub_device->name(), function, pads);
    sub_devices_.push_back(std::move(sub_device));
    entities_.push_back({id, sub_devices_.back().get(), nullptr});
    return sub_devices_.back().get();
}

VideoNode *MediaDevice::add_video(const std::string &name, std::uint32_t caps,
                                  std::uint32_t pad_flags, bool image, std::uint32_t flags)
{
    videos_.push_back(
        std::make_unique<VideoNode>(name, caps, rules_, *this, image ? sensor_ : nullptr, *knobs_));
    VideoNode *node = videos_.back().get();
    node->entity = graph_.add_entity(name, MEDIA_ENT_F_IO_V4L, {pad_flags}, flags);
    entities_.push_back({node->entity, nullptr, node});
    return node;
}

// The sub-device the receiver's endpoint binds, ours or a kernel sensor driver in its mode: its
// entity.
std::uint32_t MediaDevice::bound_source(const CameraEndpoint &endpoint)
{
    std::unique_ptr<SubDevice> source;
    if (endpoint.source == BoundSource::ours)
        source = std::make_unique<CsiSource>("tolva-csi2 i2c-" + std::to_string(endpoint.i2c_bus),
                                             endpoint.link_frequency, endpoint.lanes);
    else
        source = std::make_unique<FixedSubDevice>(
            endpoint.kernel_sensor, 1,
            raw_format(kKernelSensorWidth, kKernelSensorHeight, MEDIA_BUS_FMT_SRGGB12_1X12));
    source_ = add_sub_device(std::move(source), MEDIA_ENT_F_CAM_SENSOR, {kSource});
    return entities_.back().id;
}

// Unicam registers its nodes once its source is bound, links the source's pad to the image
// node, and the embedded-data node only to a source with a second pad (ours has one).
void MediaDevice::build_unicam(const CameraEndpoint &endpoint)
{
    if (endpoint.source == BoundSource::none)
        return;
    std::uint32_t source_id = bound_source(endpoint);
    VideoNode *image =
        add_video("unicam-image", kImageCaps | V4L2_CAP_IO_MC, kSink, true, MEDIA_ENT_FL_DEFAULT);
    add_video("unicam-embedded", kMetaCaps | V4L2_CAP_IO_MC, kSink, false);
    graph_.add_link({source_id, 0}, {image->entity, 0}, kFixed);
}

// CFE's csi2 and pisp-fe exist from probe; its eight nodes come once the source is bound. Only
// the source's link is enabled: user space enables csi2:4 -> csi2_ch0 for raw capture.
void MediaDevice::build_cfe(const CameraEndpoint &endpoint)
{
    add_sub_device(std::make_unique<CfeCsi2>(), MEDIA_ENT_F_VID_IF_BRIDGE,
                   {kSink, kSink, kSink, kSink, kSource, kSource, kSource, kSource});
    v4l2_mbus_framefmt fe_format = raw_format(640, 480, MEDIA_BUS_FMT_SRGGB16_1X16);
    add_sub_device(std::make_unique<FixedSubDevice>("pisp-fe", 5, fe_format),
                   MEDIA_ENT_F_PROC_VIDEO_ISP, {kSink, kSink, kSource, kSource, kSource});
    if (endpoint.source == BoundSource::none)
        return;
    std::uint32_t source_id = bound_source(endpoint);
    std::uint32_t csi2_id = entities_[0].id, fe_id = entities_[1].id;
    const std::uint32_t caps = V4L2_CAP_IO_MC;
    VideoNode *channels[] = {
        add_video("rp1-cfe-csi2_ch0", kImageCaps | V4L2_CAP_META_CAPTURE | caps, kSinkMust, true),
        add_video("rp1-cfe-embedded", kMetaCaps | caps, kSinkMust, false),
        add_video("rp1-cfe-csi2_ch2", kImageCaps | V4L2_CAP_META_CAPTURE | caps, kSinkMust, true),
        add_video("rp1-cfe-csi2_ch3", kImageCaps | V4L2_CAP_META_CAPTURE | caps, kSinkMust, true)};
    VideoNode *outputs[] = {
        add_video("rp1-cfe-fe_image0", kImageCaps | caps, kSinkMust, false, MEDIA_ENT_FL_DEFAULT),
        add_video("rp1-cfe-fe_image1", kImageCaps | caps, kSinkMust, false),
        add_video("rp1-cfe-fe_stats", kMetaCaps | caps, kSinkMust, false)};
    VideoNode *config = add_video(
        "rp1-cfe-fe_config", V4L2_CAP_META_OUTPUT | V4L2_CAP_STREAMING | caps, kSourceMust, false);
    graph_.add_link({source_id, 0}, {csi2_id, 0}, kFixed);
    for (std::uint16_t n = 0; n < kCsi2Channels; ++n) {
        PadRef channel_pad{csi2_id, static_cast<std::uint16_t>(kCsi2Channels + n)};
        graph_.add_link(channel_pad, {channels[n]->entity, 0}, 0);
        if (channels[n]->is_image())
            graph_.add_link(channel_pad, {fe_id, kFeStreamPad}, 0);
    }
    for (std::uint16_t n = 0; n < std::size(outputs); ++n)
        graph_.add_link({fe_id, static_cast<std::uint16_t>(kFeOutput0Pad + n)},
                        {outputs[n]->entity, 0}, 0);
    graph_.add_link({config->entity, 0}, {fe_id, kFeConfigPad}, 0);
}

const MediaDevice::Entity &MediaDevice::entity(std::uint32_t id) const
{
    return *std::find_if(entities_.begin(), entities_.end(),
                         [id](const Entity &entity) { return entity.id == id; });
}

// The image node's own check of the format arriving: CFE fails it with EINVAL, Unicam with
// EPIPE, as their link_validate callbacks do.
int MediaDevice::validate_video_link(PadRef source, const VideoNode &node) const
{
    const v4l2_mbus_framefmt &arriving = entity(source.entity).sub_device->format(source.pad);
    const BusFormat *bus = format_by_code(arriving.code);
    const v4l2_pix_format &pix = node.format();
    bool agree = bus && bus->fourcc == pix.pixelformat && arriving.width == pix.width &&
                 arriving.height == pix.height;
    if (agree)
        return 0;
    return kind_ == ReceiverKind::unicam ? EPIPE : EINVAL;
}

// As media_pipeline_start(): every enabled link of the pipeline is validated; between two
// sub-devices the formats at both ends must agree (EPIPE, v4l2_subdev_link_validate_default).
int MediaDevice::validate(const VideoNode &node) const
{
    for (const auto &[source, sink] : graph_.pipeline_links(node.entity)) {
        const Entity &to = entity(sink.entity);
        int error = 0;
        if (to.video)
            error = to.video == &node ? validate_video_link(source, node) : 0;
        else if (!same_bus_format(entity(source.entity).sub_device->format(source.pad),
                                  to.sub_device->format(sink.pad)))
            error = EPIPE;
        if (error)
            return error;
    }
    return 0;
}

// CFE streams a node only through its enabled link (EINVAL otherwise; Unicam's is immutable);
// then the pipeline is validated and the source started.
int MediaDevice::start(const VideoNode &node)
{
    if (graph_.enabled_remotes({node.entity, 0}).empty())
        return EINVAL;
    int error = validate(node);
    if (error)
        return error;
    graph_.set_streaming(graph_.pipeline_links(node.entity), true);
    source_->set_streaming(true);
    return 0;
}

void MediaDevice::stop(const VideoNode &node)
{
    source_->set_streaming(false);
    graph_.set_streaming(graph_.pipeline_links(node.entity), false);
}

int MediaDevice::ioctl(unsigned long request, void *arg)
{
    switch (request) {
    case MEDIA_IOC_DEVICE_INFO:
        return graph_.device_info(static_cast<media_device_info *>(arg));
    case MEDIA_IOC_G_TOPOLOGY:
        return graph_.topology(static_cast<media_v2_topology *>(arg));
    case MEDIA_IOC_SETUP_LINK:
        return graph_.setup_link(static_cast<const media_link_desc *>(arg));
    default:
        errno = ENOTTY;
        return -1;
    }
}

} // namespace tolva::sim
