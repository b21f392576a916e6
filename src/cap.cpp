// Raw capture pipeline: configures the camera receiver, programs the sensor and keeps the
// latest finished frame ready for the driver in a one-slot hand-over.
#include "cap.h"

#include "i2c.h"

#include "bcm_host.h"
#include "interface/mmal/mmal.h"
#include "interface/mmal/util/mmal_util.h"
#include "interface/mmal/util/mmal_util_params.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>

static const char __PROGRAM_VERSION__[] = "@(#)cap Ver. 1.0010 (2021/09/27 21:12:40)";

namespace {

constexpr int kEmptyBufSize = 16;        // RawBuf's size when the init file gives no BUFSIZ
constexpr unsigned kVideoAlign = 16;     // the receiver's video format is in 16-pixel blocks
constexpr uint32_t kImageIdRaw10 = 0x2B; // CSI-2 data type of RAW10
constexpr uint32_t kImageIdRaw12 = 0x2C; // CSI-2 data type of RAW12
constexpr int kRawBit12 = 12;

MMAL_COMPONENT_T *rawcam;
MMAL_COMPONENT_T *isp;
MMAL_COMPONENT_T *render;
MMAL_PORT_T *output;
MMAL_POOL_T *pool;
MMAL_PARAMETER_CAMERA_RX_CONFIG_T rx_cfg;
MMAL_PARAMETER_CAMERA_RX_TIMING_T rx_timing;
CAPTURE_PARAMS_T cfg;
int Width;
int Height;
int BufSiz;
int Size;

// Hand-over between the callback (library thread) and ReadRAW (main thread): each side touches
// RawBuf's bytes only while RawReadFlag has the value that lets it act (0: callback, 1: ReadRAW)
// and changes the flag with a release store after its copy; the other side loads it with acquire.
// The unit owns RawBuf from OpenSensor to CloseSensor; BufSiz, Size and the pointer are written
// before the port is enabled and only read afterwards.
std::unique_ptr<unsigned char[]> RawBuf;
std::atomic<int> RawReadFlag{0};
std::atomic<int> running{0};

// Bytes of a received buffer that go into RawBuf: a frame longer than RawBuf is cut to its size,
// so the driver still gets the frame's first lines while the message names the length.
uint32_t copy_length(uint32_t length)
{
    return length < static_cast<uint32_t>(Size) ? length : static_cast<uint32_t>(Size);
}

void callback(MMAL_PORT_T *port, MMAL_BUFFER_HEADER_T *buffer)
{
    if (running.load(std::memory_order_acquire) == 0) {
        mmal_buffer_header_release(buffer);
        return;
    }
    if ((buffer->flags & MMAL_BUFFER_HEADER_FLAG_CODECSIDEINFO) == 0) {
        if (buffer->length != static_cast<uint32_t>(BufSiz)) {
            std::fprintf(stderr, "BUFSIZ@callback = %d\n", static_cast<int>(buffer->length));
            std::fflush(stderr);
        }
        const auto *params = reinterpret_cast<const CAPTURE_PARAMS_T *>(port->userdata);
        if (params->write_empty == 0 && RawBuf &&
            RawReadFlag.load(std::memory_order_acquire) == 0) {
            std::memcpy(RawBuf.get(), buffer->data, copy_length(buffer->length));
            RawReadFlag.store(1, std::memory_order_release);
        }
    }
    buffer->length = 0;
    mmal_port_send_buffer(port, buffer);
}

unsigned round_up(unsigned value, unsigned block) { return (value + block - 1) / block * block; }

// Receiver set-up before the sensor is programmed: records read, edited and written back.
int configure_receiver(const char *fname, MMAL_FOURCC_T *encoding)
{
    rx_cfg.hdr.id = MMAL_PARAMETER_CAMERA_RX_CONFIG;
    rx_cfg.hdr.size = sizeof rx_cfg;
    if (mmal_port_parameter_get(output, &rx_cfg.hdr) != MMAL_SUCCESS)
        return -2;
    bool raw12 = check_rawbit(fname) == kRawBit12;
    rx_cfg.unpack = MMAL_CAMERA_RX_CONFIG_UNPACK_NONE;
    rx_cfg.pack = MMAL_CAMERA_RX_CONFIG_PACK_NONE;
    rx_cfg.data_lanes = static_cast<uint32_t>(check_lanes(fname));
    rx_cfg.image_id = raw12 ? kImageIdRaw12 : kImageIdRaw10;
    *encoding = raw12 ? MMAL_ENCODING_BAYER_SBGGR12P : MMAL_ENCODING_BAYER_SBGGR10P;
    if (mmal_port_parameter_set(output, &rx_cfg.hdr) != MMAL_SUCCESS)
        return -2;

    rx_timing.hdr.id = MMAL_PARAMETER_CAMERA_RX_TIMING;
    rx_timing.hdr.size = sizeof rx_timing;
    if (mmal_port_parameter_get(output, &rx_timing.hdr) != MMAL_SUCCESS ||
        mmal_port_parameter_set(output, &rx_timing.hdr) != MMAL_SUCCESS)
        return -2;
    return 0;
}

int create_components()
{
    if (mmal_component_create("vc.ril.rawcam", &rawcam) != MMAL_SUCCESS)
        return -1;
    if (mmal_component_create("vc.ril.isp", &isp) != MMAL_SUCCESS ||
        mmal_component_create("vc.ril.video_render", &render) != MMAL_SUCCESS)
        return -2;
    return 0;
}

int enable_components()
{
    for (MMAL_COMPONENT_T *component : {rawcam, isp, render})
        if (mmal_component_enable(component) != MMAL_SUCCESS)
            return -2;
    return 0;
}

// Port format for the frame size, then the port's own buffer recommendation and its pool.
int create_buffers(MMAL_FOURCC_T encoding)
{
    MMAL_ES_FORMAT_T *format = output->format;
    format->encoding = encoding;
    format->es->video.crop.width = Width;
    format->es->video.crop.height = Height;
    format->es->video.width = round_up(static_cast<unsigned>(Width), kVideoAlign);
    format->es->video.height = round_up(static_cast<unsigned>(Height), kVideoAlign);
    if (mmal_port_format_commit(output) != MMAL_SUCCESS)
        return -3;
    // The commit sets the recommendation; the counts in use follow it.
    output->buffer_size = output->buffer_size_recommended;
    output->buffer_num = output->buffer_num_recommended;
    if (mmal_port_parameter_set_boolean(output, MMAL_PARAMETER_ZERO_COPY, MMAL_TRUE) !=
        MMAL_SUCCESS)
        return -3;
    pool = mmal_port_pool_create(output, output->buffer_num, output->buffer_size);
    return pool ? 0 : -3;
}

int circulate_buffers()
{
    for (uint32_t i = 0; i < output->buffer_num; ++i) {
        MMAL_BUFFER_HEADER_T *buffer = mmal_queue_get(pool->queue);
        if (!buffer || mmal_port_send_buffer(output, buffer) != MMAL_SUCCESS)
            return -5;
    }
    return 0;
}

// A process opens one pipeline; handles left from an earlier open in the same process (tests)
// must not be taken for this one's.
void forget_handles()
{
    rawcam = isp = render = nullptr;
    output = nullptr;
    pool = nullptr;
    Width = Height = BufSiz = Size = 0;
    RawReadFlag.store(0, std::memory_order_relaxed);
}

int open_pipeline(const char *fname)
{
    forget_handles();
    bcm_host_init();
    if (int status = create_components())
        return status;
    output = rawcam->output[0];
    MMAL_FOURCC_T encoding = 0;
    if (int status = configure_receiver(fname, &encoding))
        return status;
    if (int status = enable_components())
        return status;
    if (InitSensor(fname, &Width, &Height, &BufSiz) < 0)
        return -1;
    Size = BufSiz > 0 ? BufSiz : kEmptyBufSize;
    RawBuf.reset(new (std::nothrow) unsigned char[static_cast<size_t>(Size)]);
    if (int status = create_buffers(encoding))
        return status;
    output->userdata = reinterpret_cast<struct MMAL_PORT_USERDATA_T *>(&cfg);
    if (mmal_port_enable(output, callback) != MMAL_SUCCESS)
        return -4;
    running.store(1, std::memory_order_release);
    return circulate_buffers();
}

void destroy_if_present(MMAL_COMPONENT_T *component)
{
    if (component)
        mmal_component_destroy(component);
}

} // namespace

int OpenSensor(const char *fname) { return open_pipeline(fname); }

int CloseSensor(int status)
{
    running.store(0, std::memory_order_release);
    switch (status) {
    default:
        StopSensor();
        [[fallthrough]];
    case -5:
        if (mmal_port_disable(output) != MMAL_SUCCESS)
            return -1;
        [[fallthrough]];
    case -4:
        if (pool)
            mmal_port_pool_destroy(output, pool);
        [[fallthrough]];
    case -3:
        mmal_component_disable(render);
        mmal_component_disable(isp);
        mmal_component_disable(rawcam);
        [[fallthrough]];
    case -2:
    case -1:
        destroy_if_present(rawcam);
        destroy_if_present(isp);
        destroy_if_present(render);
        RawBuf.reset();
    }
    return 0;
}

int ReadRAW(unsigned char *buf)
{
    if (RawReadFlag.load(std::memory_order_acquire) == 0)
        return 0;
    if (BufSiz > 0)
        std::memcpy(buf, RawBuf.get(), static_cast<size_t>(BufSiz));
    RawReadFlag.store(0, std::memory_order_release);
    return 1;
}

int GetWidth(void) { return Width; }
int GetHeight(void) { return Height; }
int GetBufSiz(void) { return BufSiz; }
