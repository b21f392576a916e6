// Raw capture pipeline on MMAL: configures the VideoCore camera receiver, programs the sensor and
// hands finished frames to the driver through a hand-over of a few frames, oldest first, counting
// every frame that never reaches the driver.
#include "cap.h"

#include "frame_ledger.h"
#include "frame_ring.h"
#include "i2c.h"

#include "bcm_host.h"
#include "interface/mmal/mmal.h"
#include "interface/mmal/util/mmal_util.h"
#include "interface/mmal/util/mmal_util_params.h"

#include <algorithm>
#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

[[gnu::used]] static const char __PROGRAM_VERSION__[] = "@(#)cap Ver. 1.0010 (2021/09/27 21:12:40)";

namespace {

constexpr unsigned kVideoAlign = 16;     // the receiver's video format is in 16-pixel blocks
constexpr uint32_t kImageIdRaw10 = 0x2B; // CSI-2 data type of RAW10
constexpr uint32_t kImageIdRaw12 = 0x2C; // CSI-2 data type of RAW12
constexpr int kRawBit12 = 12;

// Frames lost among the first ones are counted once a shorter step of the time stamps shows the
// sensor's own step, within this many usual steps.
constexpr uint64_t kEarlySteps = 16;
// Steps of the time stamps (microseconds) longer than this, about three years, are a restart.
constexpr uint64_t kLongestStep = uint64_t{1} << 46;

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
// The callback recycles buffers only while the pipeline runs; it hands frames over through the
// frame ring.
std::atomic<int> running{0};
// The time stamp state belongs to the callback.
int64_t LastPts;
int64_t FrameStep;  // the usual step between two frames' time stamps; 0 before it is known
uint64_t StepUnits; // usual steps from the first frame's time stamp to the last one

// A step of the time stamps shorter than the usual one: early in the stream, with the usual step
// a whole multiple of it, frames were lost among the very first ones and every usual step seen
// so far hid as many; otherwise the sensor got faster, and counting starts afresh.
uint64_t faster_step(int64_t step)
{
    int64_t ratio = (FrameStep + step / 2) / step;
    bool multiple =
        ratio >= 2 && StepUnits <= kEarlySteps && std::llabs(FrameStep - ratio * step) * 4 < step;
    uint64_t missed = multiple ? StepUnits * static_cast<uint64_t>(ratio - 1) : 0;
    StepUnits = multiple ? StepUnits * static_cast<uint64_t>(ratio) + 1 : 1;
    FrameStep = step;
    return missed;
}

// A frame the receiver finished while it had no free buffer never comes here; it shows as a
// gap in the buffers' time stamps (microseconds). A step of n usual steps lost n - 1 frames;
// the usual step follows the sensor's clock. A step back in time (the stream started again)
// only restarts.
unsigned frames_missed(int64_t pts)
{
    if (pts == MMAL_TIME_UNKNOWN)
        return 0;
    int64_t last = LastPts;
    LastPts = pts;
    // Wrapped arithmetic: stamps may lie anywhere in their range; a step too long to be a
    // frame's restarts too.
    uint64_t span = static_cast<uint64_t>(pts) - static_cast<uint64_t>(last);
    if (last == MMAL_TIME_UNKNOWN || pts <= last || span > kLongestStep)
        return 0;
    auto step = static_cast<int64_t>(span);
    uint64_t missed = 0;
    if (FrameStep == 0) {
        FrameStep = step;
        StepUnits = 1;
    } else if (step * 4 < FrameStep * 3) {
        missed = faster_step(step);
    } else {
        int64_t steps = (step + FrameStep / 2) / FrameStep;
        if (steps == 1)
            FrameStep += (step - FrameStep) / 8;
        StepUnits += static_cast<uint64_t>(steps);
        missed = static_cast<uint64_t>(steps - 1);
    }
    return static_cast<unsigned>(std::min<uint64_t>(missed, UINT32_MAX / 2));
}

void callback(MMAL_PORT_T *port, MMAL_BUFFER_HEADER_T *buffer)
{
    if (running.load(std::memory_order_acquire) == 0) {
        mmal_buffer_header_release(buffer);
        return;
    }
    if ((buffer->flags & MMAL_BUFFER_HEADER_FLAG_CODECSIDEINFO) == 0) {
        timeval received;
        gettimeofday(&received, nullptr);
        if (buffer->length != static_cast<uint32_t>(BufSiz)) {
            std::fprintf(stderr, "BUFSIZ@callback = %d\n", static_cast<int>(buffer->length));
            std::fflush(stderr);
        }
        ring_count_lost(frames_missed(buffer->pts));
        const auto *params = reinterpret_cast<const CAPTURE_PARAMS_T *>(port->userdata);
        if (params->write_empty == 0)
            ring_put(buffer->data, buffer->length, received);
    }
    buffer->length = 0;
    mmal_port_send_buffer(port, buffer);
}

unsigned round_up(unsigned value, unsigned block) { return (value + block - 1) / block * block; }

// Receiver set-up before the sensor is programmed: records read, edited and written back. The
// lanes are scanned before the bit depth, so of two bad lines the DATA_LANES one is named.
int configure_receiver(const char *fname, MMAL_FOURCC_T *encoding)
{
    rx_cfg.hdr.id = MMAL_PARAMETER_CAMERA_RX_CONFIG;
    rx_cfg.hdr.size = sizeof rx_cfg;
    if (mmal_port_parameter_get(output, &rx_cfg.hdr) != MMAL_SUCCESS)
        return OPEN_COMPONENTS_FAILED;
    uint32_t lanes = static_cast<uint32_t>(check_lanes(fname));
    bool raw12 = check_rawbit(fname) == kRawBit12;
    rx_cfg.unpack = MMAL_CAMERA_RX_CONFIG_UNPACK_NONE;
    rx_cfg.pack = MMAL_CAMERA_RX_CONFIG_PACK_NONE;
    rx_cfg.data_lanes = lanes;
    rx_cfg.image_id = raw12 ? kImageIdRaw12 : kImageIdRaw10;
    *encoding = raw12 ? MMAL_ENCODING_BAYER_SBGGR12P : MMAL_ENCODING_BAYER_SBGGR10P;
    if (mmal_port_parameter_set(output, &rx_cfg.hdr) != MMAL_SUCCESS)
        return OPEN_COMPONENTS_FAILED;

    rx_timing.hdr.id = MMAL_PARAMETER_CAMERA_RX_TIMING;
    rx_timing.hdr.size = sizeof rx_timing;
    if (mmal_port_parameter_get(output, &rx_timing.hdr) != MMAL_SUCCESS ||
        mmal_port_parameter_set(output, &rx_timing.hdr) != MMAL_SUCCESS)
        return OPEN_COMPONENTS_FAILED;
    return 0;
}

int create_components()
{
    if (mmal_component_create("vc.ril.rawcam", &rawcam) != MMAL_SUCCESS)
        return OPEN_RECEIVER_FAILED;
    if (mmal_component_create("vc.ril.isp", &isp) != MMAL_SUCCESS ||
        mmal_component_create("vc.ril.video_render", &render) != MMAL_SUCCESS)
        return OPEN_COMPONENTS_FAILED;
    return 0;
}

int enable_components()
{
    for (MMAL_COMPONENT_T *component : {rawcam, isp, render})
        if (mmal_component_enable(component) != MMAL_SUCCESS)
            return OPEN_COMPONENTS_FAILED;
    return 0;
}

// A step after the sensor was programmed failed: says which, for the status it gives.
int failed(int status, const char *step)
{
    std::fprintf(stderr, "tolvacapture: camera receiver: %s\n", step);
    return status;
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
        return failed(OPEN_BUFFERS_FAILED, "the frame format was refused");
    // The commit sets the recommendation; the counts in use follow it.
    output->buffer_size = output->buffer_size_recommended;
    output->buffer_num = output->buffer_num_recommended;
    if (mmal_port_parameter_set_boolean(output, MMAL_PARAMETER_ZERO_COPY, MMAL_TRUE) !=
        MMAL_SUCCESS)
        return failed(OPEN_BUFFERS_FAILED, "zero copy was refused");
    pool = mmal_port_pool_create(output, output->buffer_num, output->buffer_size);
    return pool ? 0 : failed(OPEN_BUFFERS_FAILED, "no buffer pool");
}

int circulate_buffers()
{
    for (uint32_t i = 0; i < output->buffer_num; ++i) {
        MMAL_BUFFER_HEADER_T *buffer = mmal_queue_get(pool->queue);
        if (!buffer)
            return failed(OPEN_CIRCULATION_FAILED, "no free buffer in the pool");
        if (mmal_port_send_buffer(output, buffer) != MMAL_SUCCESS)
            return failed(OPEN_CIRCULATION_FAILED, "a buffer was refused");
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
    Width = Height = BufSiz = 0;
    ledger_reset();
    LastPts = MMAL_TIME_UNKNOWN;
    FrameStep = 0;
    StepUnits = 0;
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
        return OPEN_RECEIVER_FAILED;
    if (ring_allocate(Width, Height, BufSiz) < 0)
        return OPEN_BUFFERS_FAILED;
    if (int status = create_buffers(encoding))
        return status;
    output->userdata = reinterpret_cast<struct MMAL_PORT_USERDATA_T *>(&cfg);
    if (mmal_port_enable(output, callback) != MMAL_SUCCESS)
        return failed(OPEN_PORT_FAILED, "the output port can't be enabled");
    running.store(1, std::memory_order_release);
    return circulate_buffers();
}

void destroy_if_present(MMAL_COMPONENT_T *component)
{
    if (component)
        mmal_component_destroy(component);
}

// The first two stages leave the sensor as it was (an interpreter that fails has stopped it
// itself); every later one leaves it programmed, and streaming if the init file started it.
bool sensor_programmed(int status)
{
    return status != OPEN_RECEIVER_FAILED && status != OPEN_COMPONENTS_FAILED;
}

} // namespace

int RoutesCameraBus(void) { return 1; }

int FindCameraBus(const char * /*fname*/)
{
    SetCameraBus(0); // where the board's routing sequence leaves the camera
    return 0;
}

int OpenSensor(const char *fname) { return open_pipeline(fname); }

int CloseSensor(int status)
{
    running.store(0, std::memory_order_release);
    if (sensor_programmed(status))
        StopSensor();
    switch (status) {
    default:
    case OPEN_CIRCULATION_FAILED:
        if (mmal_port_disable(output) != MMAL_SUCCESS)
            return -1;
        [[fallthrough]];
    case OPEN_PORT_FAILED:
        if (pool)
            mmal_port_pool_destroy(output, pool);
        [[fallthrough]];
    case OPEN_BUFFERS_FAILED:
        mmal_component_disable(render);
        mmal_component_disable(isp);
        mmal_component_disable(rawcam);
        [[fallthrough]];
    case OPEN_COMPONENTS_FAILED:
    case OPEN_RECEIVER_FAILED:
        destroy_if_present(rawcam);
        destroy_if_present(isp);
        destroy_if_present(render);
        ring_free();
    }
    return 0;
}
