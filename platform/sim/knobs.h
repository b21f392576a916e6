// The simulated Pi's settings: one place for every TOLVA_SIM_* environment variable.
#ifndef TOLVA_SIM_KNOBS_H
#define TOLVA_SIM_KNOBS_H

#include <cstdint>
#include <string>
#include <vector>

namespace tolva::sim {

struct Knobs {
    // TOLVA_SIM_BUS_LOG: file that receives every I2C transfer as a line, as it happens.
    std::string bus_log;
    // TOLVA_SIM_SENSOR_CHIP: the sensor chip on the camera connector: ccs (the simulated CCS
    // sensor), imx219, imx477, ... (see chip_factory.h).
    std::string sensor_chip = "ccs";
    // TOLVA_SIM_SENSOR_ADDRESS: 7-bit address the sensor answers on; 0: the chip's own.
    int sensor_address = 0;
    // TOLVA_SIM_SENSOR_MODEL: the ccs chip's model id register (0x0477).
    std::uint16_t sensor_model = 0x0477;
    // TOLVA_SIM_SENSOR_CLOCK: the camera module's input clock in MHz, for the chips whose
    // registers must be set for it (the Sony ones); 0: the clock the chip's usual module has.
    double sensor_clock_mhz = 0;
    // TOLVA_SIM_BOARD_REVISION: the board's revision code in /proc/cpuinfo (a020d3, a Pi 3 B+).
    std::string board_revision = "a020d3";
    // TOLVA_SIM_KERNEL_RELEASE: /proc/sys/kernel/osrelease. The environment's default is the
    // board's usual OS: current Raspberry Pi OS (6.12.34-v8+, on a Pi 5 6.12.34-v8-16k+) on the
    // Pi 4 and Pi 5 families, whose camera then goes through V4L2, else 6.1.21-v7+. Knobs{}
    // keeps 6.1.21-v7+, so tests of a Pi 4 family board run its legacy OS unless they say.
    std::string kernel_release = "6.1.21-v7+";
    // TOLVA_SIM_CAMERA_ROUTED: 1 = the board starts as its camera routing sequence leaves it,
    // so the camera answers at once. Knobs{} starts so, which suits tests of what comes after
    // bring-up; the program's environment default is 0: the routing sequence must run first.
    bool camera_routed = true;
    // TOLVA_SIM_CAMERA_PROBES: bus probes (i2cdetect runs on bus 0) the camera needs after
    // power-up before it answers (0).
    int camera_probes = 0;
    // TOLVA_SIM_I2C_DRIVER_ADDRESSES: comma-separated 7-bit addresses a kernel driver holds;
    // i2cdetect shows them as UU.
    std::vector<int> driver_addresses{};
    // TOLVA_SIM_MBOX_RESPONSE: the firmware's response code to a mailbox property message
    // (0x80000000, success); any other value is a firmware error.
    std::uint32_t mbox_response = 0x80000000;
    // TOLVA_SIM_FAULTS: comma-separated faults, for trying the program's error paths:
    //   no-i2c-device   /dev/i2c-0 does not exist
    //   no-i2c-address  the address request on the I2C device fails
    //   no-sensor       nothing answers at the sensor's address
    //   no-vcio         /dev/vcio does not exist
    //   mbox-ioctl      the mailbox property ioctl fails
    bool no_i2c_device = false;
    bool no_i2c_address = false;
    bool no_sensor = false;
    bool no_vcio = false;
    bool mbox_ioctl_fails = false;

    // Camera receiver and scene.
    // TOLVA_SIM_SCENE: what the virtual sensor sees: "sky" (night sky with transients) or "replay"
    // (the frames of TOLVA_SIM_REPLAY, looped).
    std::string scene = "sky";
    // TOLVA_SIM_SEED: seed of the sky, its noise and its transients (same seed, same frames).
    std::uint64_t seed = 1;
    // TOLVA_SIM_EVENT_RATE: transients (flashes and meteors) per minute of sensor time.
    double events_per_minute = 6.0;
    // TOLVA_SIM_DRIFT: slow change of the sky's brightness, in sample values per minute.
    double drift_per_minute = 0.0;
    // TOLVA_SIM_REPLAY: a 16-bit SER file replayed as the sensor's output.
    std::string replay_file{};
    // TOLVA_SIM_LINE_ALIGN: the receiver fills each frame line up to a multiple of this many
    // bytes (1: no fill).
    int line_align = 1;
    // TOLVA_SIM_RECEIVER_REPORT: 1 = when the receiver stops (MMAL's port is disabled, a V4L2
    // stream is turned off), standard error gets what became of the sensor's frames (delivered,
    // no free buffer, frame times the simulator missed because it fell behind).
    bool receiver_report = false;
    // TOLVA_SIM_FAULTS, receiver faults:
    //   rx-port-disable  disabling the camera receiver's output port fails
    //   rx-no-pool       the receiver's buffer pool cannot be created
    bool rx_port_disable_fails = false;
    bool rx_no_pool = false;

    // The camera on current Raspberry Pi OS (Pi 4 and Pi 5 families): our CSI-2 source module
    // and its overlay bind the receiver's endpoint and hold the camera's regulator on.
    // TOLVA_SIM_CAMERA_PORT: the connector the overlay names on a Pi 5: 0 (CAM/DISP 0, I2C bus
    // 10) or 1 (CAM/DISP 1, bus 11; the default). The Pi 4 family's one connector is on bus 10.
    int camera_port = 1;
    // TOLVA_SIM_CSI_LANES: the overlay's data lanes (1, 2 or 4; 2).
    int csi_lanes = 2;
    // TOLVA_SIM_LINK_FREQUENCY: the overlay's link-frequencies, in Hz (450000000).
    std::int64_t link_frequency = 450000000;
    // TOLVA_SIM_FAULTS, V4L2 faults:
    //   no-module      our module is not loaded: no source entity, no video nodes, camera unpowered
    //   kernel-sensor  a kernel sensor driver holds the receiver (camera_auto_detect=1): the graph
    //                  has e.g. "imx477 10-001a", its address shows UU, the camera is unpowered
    //   v4l2-busy      another process holds the image node's buffers (EBUSY)
    //   perm-media, perm-video, perm-subdev, perm-i2c
    //                  opening /dev/media*, /dev/video*, /dev/v4l-subdev*, /dev/i2c-* is refused
    //                  (EACCES), as for a user outside the video or i2c group
    //   no-dma-heap    the kernel has no DMA-BUF heaps: /dev/dma_heap/ is empty
    //   perm-dma-heap  opening a /dev/dma_heap/ node is refused (EACCES), as for a user outside
    //                  the video group
    //   dma-heap-nomem the CMA heap's allocations fail (ENOMEM): the contiguous memory ran out
    //   rx-stall[:FIRST:COUNT]
    //                  the receiver stalls: frames FIRST to FIRST + COUNT - 1 (10 to 19) of each
    //                  stream go into its spare buffer, so their sequence numbers are missing
    bool no_module = false;
    bool kernel_sensor = false;
    bool v4l2_busy = false;
    bool media_denied = false;
    bool video_denied = false;
    bool subdev_denied = false;
    bool i2c_denied = false;
    bool no_dma_heap = false;
    bool dma_heap_denied = false;
    bool dma_heap_no_memory = false;
    std::uint64_t rx_stall_first = 0;
    std::uint64_t rx_stall_frames = 0;

    // Reads the environment; a value that cannot be read is reported on standard error,
    // naming the variable, and its default is kept.
    static Knobs from_environment();
};

} // namespace tolva::sim

#endif
