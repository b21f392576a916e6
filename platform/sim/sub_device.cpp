// Sub-device pad formats with each driver's rules, and our CSI-2 source's controls.
#include "sub_device.h"

#include "kernel_answer.h"

#include "bus_formats.h"

#include <linux/media-bus-format.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace tolva::sim {

namespace {
// Our source takes the sizes the dummy sensor proposed for this use took.
constexpr std::uint32_t kMinSize = 16, kMaxSize = 16383;
constexpr std::uint16_t kCsi2Channels = 4; // CFE's csi2: sink pads 0-3, source pads 4-7

std::int32_t clamp_to_int32(std::int64_t value)
{
    return static_cast<std::int32_t>(
        std::min<std::int64_t>(value, std::numeric_limits<std::int32_t>::max()));
}
} // namespace

v4l2_mbus_framefmt raw_format(std::uint32_t width, std::uint32_t height, std::uint32_t code)
{
    v4l2_mbus_framefmt format{};
    format.width = width;
    format.height = height;
    format.code = code;
    format.field = V4L2_FIELD_NONE;
    format.colorspace = V4L2_COLORSPACE_RAW;
    return format;
}

SubDevice::SubDevice(std::string name, std::size_t pads, const v4l2_mbus_framefmt &initial)
    : formats_(pads, initial), name_(std::move(name))
{
}

void SubDevice::store(std::uint16_t pad, const v4l2_mbus_framefmt &format)
{
    formats_[pad] = format;
}

// A tried format is adjusted and given back; an active one is also kept, but not while the
// sub-device streams.
int SubDevice::set_format(v4l2_subdev_format &format)
{
    if (format.pad >= formats_.size() ||
        (format.which != V4L2_SUBDEV_FORMAT_ACTIVE && format.which != V4L2_SUBDEV_FORMAT_TRY))
        return fails_with(EINVAL);
    if (format.which == V4L2_SUBDEV_FORMAT_ACTIVE && streaming_)
        return fails_with(EBUSY);
    int error = adjust(static_cast<std::uint16_t>(format.pad), format.format);
    if (error < 0)
        return fails_with(-error);
    if (format.which == V4L2_SUBDEV_FORMAT_ACTIVE)
        store(static_cast<std::uint16_t>(format.pad), format.format);
    return 0;
}

int SubDevice::ioctl(unsigned long request, void *arg)
{
    if (request == VIDIOC_SUBDEV_S_FMT)
        return set_format(*static_cast<v4l2_subdev_format *>(arg));
    if (request == VIDIOC_SUBDEV_G_FMT) {
        auto *format = static_cast<v4l2_subdev_format *>(arg);
        if (format->pad >= formats_.size())
            return fails_with(EINVAL);
        format->format = formats_[format->pad];
        return 0;
    }
    if (request == VIDIOC_SUBDEV_QUERYCAP) {
        auto *cap = static_cast<v4l2_subdev_capability *>(arg);
        std::memset(cap, 0, sizeof *cap);
        cap->version = (6u << 16) | (12u << 8);
        return 0;
    }
    return fails_with(ENOTTY);
}

CsiSource::CsiSource(std::string name, std::int64_t link_frequency, int lanes)
    : SubDevice(std::move(name), 1, raw_format(640, 480, MEDIA_BUS_FMT_SRGGB10_1X10)),
      link_frequency_(link_frequency), lanes_(lanes)
{
}

// A code the receivers cannot take is refused rather than replaced: the program asked for a
// definite format and must hear that it is wrong.
int CsiSource::adjust(std::uint16_t /*pad*/, v4l2_mbus_framefmt &format) const
{
    if (!format_by_code(format.code))
        return -EINVAL;
    format = raw_format(std::clamp(format.width, kMinSize, kMaxSize),
                        std::clamp(format.height, kMinSize, kMaxSize), format.code);
    return 0;
}

// Double data rate on every lane: two bits a lane per link clock.
std::int64_t CsiSource::pixel_rate() const
{
    const BusFormat *bus = format_by_code(format(0).code);
    return link_frequency_ * 2 * lanes_ / bus->bits;
}

int CsiSource::ioctl(unsigned long request, void *arg)
{
    switch (request) {
    case VIDIOC_QUERYCTRL:
        return query_control(*static_cast<v4l2_queryctrl *>(arg));
    case VIDIOC_QUERYMENU:
        return query_menu(*static_cast<v4l2_querymenu *>(arg));
    case VIDIOC_G_EXT_CTRLS:
        return get_controls(*static_cast<v4l2_ext_controls *>(arg));
    default:
        return SubDevice::ioctl(request, arg);
    }
}

int CsiSource::query_control(v4l2_queryctrl &control) const
{
    std::uint32_t id = control.id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
    if (control.id & V4L2_CTRL_FLAG_NEXT_CTRL)
        id = id < V4L2_CID_LINK_FREQ ? V4L2_CID_LINK_FREQ
                                     : (id < V4L2_CID_PIXEL_RATE ? V4L2_CID_PIXEL_RATE : 0);
    if (id != V4L2_CID_LINK_FREQ && id != V4L2_CID_PIXEL_RATE)
        return fails_with(EINVAL);
    std::memset(&control, 0, sizeof control);
    control.id = id;
    control.flags = V4L2_CTRL_FLAG_READ_ONLY;
    control.step = 1;
    if (id == V4L2_CID_LINK_FREQ) {
        control.type = V4L2_CTRL_TYPE_INTEGER_MENU;
        copy_text(control.name, "Link Frequency");
    } else {
        control.type = V4L2_CTRL_TYPE_INTEGER64;
        copy_text(control.name, "Pixel Rate");
        control.minimum = control.maximum = control.default_value = clamp_to_int32(pixel_rate());
    }
    return 0;
}

int CsiSource::query_menu(v4l2_querymenu &menu) const
{
    if (menu.id != V4L2_CID_LINK_FREQ || menu.index != 0)
        return fails_with(EINVAL);
    menu.value = link_frequency_;
    return 0;
}

int CsiSource::get_controls(v4l2_ext_controls &controls) const
{
    for (std::uint32_t i = 0; i < controls.count; ++i) {
        v4l2_ext_control &control = controls.controls[i];
        if (control.id == V4L2_CID_LINK_FREQ) {
            control.value = 0; // the menu's one entry
        } else if (control.id == V4L2_CID_PIXEL_RATE) {
            control.value64 = pixel_rate();
        } else {
            controls.error_idx = i;
            return fails_with(EINVAL);
        }
    }
    return 0;
}

CfeCsi2::CfeCsi2()
    : SubDevice("csi2", 2 * kCsi2Channels, raw_format(640, 480, MEDIA_BUS_FMT_SRGGB10_1X10))
{
}

// A sink pad takes any raw format (an unknown code becomes RGGB 10-bit); a source pad shows
// its sink pad's.
int CfeCsi2::adjust(std::uint16_t pad, v4l2_mbus_framefmt &format) const
{
    if (pad >= kCsi2Channels) {
        format = formats_[pad - kCsi2Channels];
        return 0;
    }
    std::uint32_t code = format_by_code(format.code) ? format.code : MEDIA_BUS_FMT_SRGGB10_1X10;
    format = raw_format(format.width, format.height, code);
    return 0;
}

void CfeCsi2::store(std::uint16_t pad, const v4l2_mbus_framefmt &format)
{
    formats_[pad] = format;
    if (pad < kCsi2Channels)
        formats_[pad + kCsi2Channels] = format;
}

int FixedSubDevice::adjust(std::uint16_t pad, v4l2_mbus_framefmt &format) const
{
    format = formats_[pad];
    return 0;
}

} // namespace tolva::sim
