// V4L2 sub-devices of the simulated receivers' graphs: pads with formats, and the controls of
// our CSI-2 source, answered as the VIDIOC_SUBDEV_* and control ioctls answer.
#ifndef TOLVA_SIM_SUB_DEVICE_H
#define TOLVA_SIM_SUB_DEVICE_H

#include <linux/v4l2-subdev.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tolva::sim {

class SubDevice {
public:
    SubDevice(std::string name, std::size_t pads, const v4l2_mbus_framefmt &initial);
    virtual ~SubDevice() = default;
    SubDevice(const SubDevice &) = delete;
    SubDevice &operator=(const SubDevice &) = delete;

    const std::string &name() const { return name_; }
    const v4l2_mbus_framefmt &format(std::uint16_t pad) const { return formats_.at(pad); }
    bool streaming() const { return streaming_; }
    // s_stream: the receiver starts and stops the source with its own stream.
    void set_streaming(bool streaming) { streaming_ = streaming; }

    // An ioctl on the sub-device's node: 0, or -1 with errno set.
    virtual int ioctl(unsigned long request, void *arg);

protected:
    // `format` for `pad` as the driver adjusts it; a negative errno when the driver refuses it.
    virtual int adjust(std::uint16_t pad, v4l2_mbus_framefmt &format) const = 0;
    // Stores a new active format; a driver may pass it on to other pads.
    virtual void store(std::uint16_t pad, const v4l2_mbus_framefmt &format);

    std::vector<v4l2_mbus_framefmt> formats_;

private:
    int set_format(v4l2_subdev_format &format);

    std::string name_;
    bool streaming_ = false;
};

// Our CSI-2 source ("tolva-csi2"): one source pad whose Bayer or mono, 10 or 12-bit format and
// size user space sets, and the link frequency (from the device tree) and pixel rate controls
// the receivers read.
class CsiSource : public SubDevice {
public:
    CsiSource(std::string name, std::int64_t link_frequency, int lanes);

    int ioctl(unsigned long request, void *arg) override;

private:
    int adjust(std::uint16_t pad, v4l2_mbus_framefmt &format) const override;
    std::int64_t pixel_rate() const;
    int query_control(v4l2_queryctrl &control) const;
    int query_menu(v4l2_querymenu &menu) const;
    int get_controls(v4l2_ext_controls &controls) const;

    std::int64_t link_frequency_;
    int lanes_;
};

// CFE's "csi2" sub-device: four sink pads, each passing its format to the source pad four
// above it.
class CfeCsi2 : public SubDevice {
public:
    CfeCsi2();

private:
    int adjust(std::uint16_t pad, v4l2_mbus_framefmt &format) const override;
    void store(std::uint16_t pad, const v4l2_mbus_framefmt &format) override;
};

// A sub-device that keeps the format it has: CFE's "pisp-fe" (not used for raw capture) and a
// kernel sensor driver in its own mode.
class FixedSubDevice : public SubDevice {
public:
    using SubDevice::SubDevice;

private:
    int adjust(std::uint16_t pad, v4l2_mbus_framefmt &format) const override;
};

// A format of the default colour space and progressive field, as the drivers report.
v4l2_mbus_framefmt raw_format(std::uint32_t width, std::uint32_t height, std::uint32_t code);

} // namespace tolva::sim

#endif
