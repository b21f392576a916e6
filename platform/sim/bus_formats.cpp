// The raw formats of Unicam's and CFE's tables that the simulated Pi models.
#include "bus_formats.h"

#include <linux/media-bus-format.h>
#include <linux/videodev2.h>

// Debian bookworm's kernel headers (6.1) predate the 12-bit packed mono format.
#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

namespace tolva::sim {

namespace {
constexpr BusFormat kFormats[] = {
    {MEDIA_BUS_FMT_SBGGR10_1X10, V4L2_PIX_FMT_SBGGR10P, 10},
    {MEDIA_BUS_FMT_SGBRG10_1X10, V4L2_PIX_FMT_SGBRG10P, 10},
    {MEDIA_BUS_FMT_SGRBG10_1X10, V4L2_PIX_FMT_SGRBG10P, 10},
    {MEDIA_BUS_FMT_SRGGB10_1X10, V4L2_PIX_FMT_SRGGB10P, 10},
    {MEDIA_BUS_FMT_SBGGR12_1X12, V4L2_PIX_FMT_SBGGR12P, 12},
    {MEDIA_BUS_FMT_SGBRG12_1X12, V4L2_PIX_FMT_SGBRG12P, 12},
    {MEDIA_BUS_FMT_SGRBG12_1X12, V4L2_PIX_FMT_SGRBG12P, 12},
    {MEDIA_BUS_FMT_SRGGB12_1X12, V4L2_PIX_FMT_SRGGB12P, 12},
    {MEDIA_BUS_FMT_Y10_1X10, V4L2_PIX_FMT_Y10P, 10},
    {MEDIA_BUS_FMT_Y12_1X12, V4L2_PIX_FMT_Y12P, 12},
};

template <typename Match> const BusFormat *find(Match match)
{
    for (const BusFormat &format : kFormats)
        if (match(format))
            return &format;
    return nullptr;
}
} // namespace

const BusFormat *format_by_code(std::uint32_t code)
{
    return find([code](const BusFormat &format) { return format.code == code; });
}

const BusFormat *format_by_fourcc(std::uint32_t fourcc)
{
    return find([fourcc](const BusFormat &format) { return format.fourcc == fourcc; });
}

} // namespace tolva::sim
