/* MMAL core of the simulated Pi: the userland's types, ids and calls that the capture unit uses,
 * with the userland's names, field order and sizes. */
#ifndef MMAL_H
#define MMAL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t MMAL_BOOL_T;
#define MMAL_FALSE 0
#define MMAL_TRUE 1

typedef enum {
    MMAL_SUCCESS = 0,
    MMAL_ENOMEM,
    MMAL_ENOSPC,
    MMAL_EINVAL,
    MMAL_ENOSYS,
    MMAL_ENOENT,
    MMAL_ENXIO,
    MMAL_EIO,
    MMAL_ESPIPE,
    MMAL_ECORRUPT,
    MMAL_ENOTREADY,
    MMAL_ECONFIG,
    MMAL_EISCONN,
    MMAL_ENOTCONN,
    MMAL_EAGAIN,
    MMAL_EFAULT,
    MMAL_STATUS_MAX = 0x7FFFFFFF
} MMAL_STATUS_T;

/* First character in the lowest byte. */
typedef uint32_t MMAL_FOURCC_T;
#define MMAL_FOURCC(a, b, c, d)                                                                    \
    ((uint32_t)(a) | ((uint32_t)(b) << 8) | ((uint32_t)(c) << 16) | ((uint32_t)(d) << 24))

#define MMAL_ENCODING_BAYER_SBGGR10P MMAL_FOURCC('p', 'B', 'A', 'A')
#define MMAL_ENCODING_BAYER_SBGGR12P MMAL_FOURCC('p', 'B', '1', '2')

typedef struct MMAL_RECT_T {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
} MMAL_RECT_T;

typedef struct MMAL_RATIONAL_T {
    int32_t num;
    int32_t den;
} MMAL_RATIONAL_T;

typedef enum {
    MMAL_ES_TYPE_UNKNOWN,
    MMAL_ES_TYPE_CONTROL,
    MMAL_ES_TYPE_AUDIO,
    MMAL_ES_TYPE_VIDEO,
    MMAL_ES_TYPE_SUBPICTURE
} MMAL_ES_TYPE_T;

typedef struct MMAL_VIDEO_FORMAT_T {
    uint32_t width;
    uint32_t height;
    MMAL_RECT_T crop;
    MMAL_RATIONAL_T frame_rate;
    MMAL_RATIONAL_T par;
    MMAL_FOURCC_T color_space;
} MMAL_VIDEO_FORMAT_T;

/* The userland's union also holds audio and subpicture formats; video is the one in use. */
typedef union {
    MMAL_VIDEO_FORMAT_T video;
} MMAL_ES_SPECIFIC_FORMAT_T;

typedef struct MMAL_ES_FORMAT_T {
    MMAL_ES_TYPE_T type;
    MMAL_FOURCC_T encoding;
    MMAL_FOURCC_T encoding_variant;
    MMAL_ES_SPECIFIC_FORMAT_T *es;
    uint32_t bitrate;
    uint32_t flags;
    uint32_t extradata_size;
    uint8_t *extradata;
} MMAL_ES_FORMAT_T;

#define MMAL_BUFFER_HEADER_FLAG_CODECSIDEINFO (1 << 7)

/* A time stamp (pts, dts; microseconds) that the component did not set. */
#define MMAL_TIME_UNKNOWN (INT64_C(1) << 63)

typedef struct MMAL_BUFFER_HEADER_T {
    struct MMAL_BUFFER_HEADER_T *next;
    struct MMAL_BUFFER_HEADER_PRIVATE_T *priv;
    uint32_t cmd;
    uint8_t *data;
    uint32_t alloc_size;
    uint32_t length;
    uint32_t offset;
    uint32_t flags;
    int64_t pts;
    int64_t dts;
    void *type;
    void *user_data;
} MMAL_BUFFER_HEADER_T;

typedef struct MMAL_QUEUE_T MMAL_QUEUE_T;

typedef struct MMAL_POOL_T {
    MMAL_QUEUE_T *queue;
    uint32_t headers_num;
    MMAL_BUFFER_HEADER_T **header;
} MMAL_POOL_T;

typedef enum {
    MMAL_PORT_TYPE_UNKNOWN = 0,
    MMAL_PORT_TYPE_CONTROL,
    MMAL_PORT_TYPE_INPUT,
    MMAL_PORT_TYPE_OUTPUT,
    MMAL_PORT_TYPE_CLOCK,
    MMAL_PORT_TYPE_INVALID = 0xffffffff
} MMAL_PORT_TYPE_T;

typedef struct MMAL_PORT_T {
    struct MMAL_PORT_PRIVATE_T *priv;
    const char *name;
    MMAL_PORT_TYPE_T type;
    uint16_t index;
    uint16_t index_all;
    uint32_t is_enabled;
    MMAL_ES_FORMAT_T *format;
    uint32_t buffer_num_min;
    uint32_t buffer_size_min;
    uint32_t buffer_alignment_min;
    uint32_t buffer_num_recommended;
    uint32_t buffer_size_recommended;
    uint32_t buffer_num;
    uint32_t buffer_size;
    struct MMAL_COMPONENT_T *component;
    struct MMAL_PORT_USERDATA_T *userdata;
    uint32_t capabilities;
} MMAL_PORT_T;

typedef void (*MMAL_PORT_BH_CB_T)(MMAL_PORT_T *port, MMAL_BUFFER_HEADER_T *buffer);

typedef struct MMAL_COMPONENT_T {
    struct MMAL_COMPONENT_PRIVATE_T *priv;
    struct MMAL_COMPONENT_USERDATA_T *userdata;
    const char *name;
    uint32_t is_enabled;
    MMAL_PORT_T *control;
    uint32_t input_num;
    MMAL_PORT_T **input;
    uint32_t output_num;
    MMAL_PORT_T **output;
    uint32_t clock_num;
    MMAL_PORT_T **clock;
    uint32_t port_num;
    MMAL_PORT_T **port;
    uint32_t id;
} MMAL_COMPONENT_T;

typedef struct MMAL_PARAMETER_HEADER_T {
    uint32_t id;
    uint32_t size;
} MMAL_PARAMETER_HEADER_T;

#define MMAL_PARAMETER_GROUP_COMMON (0 << 16)
#define MMAL_PARAMETER_GROUP_CAMERA (1 << 16)

enum {
    MMAL_PARAMETER_UNUSED = MMAL_PARAMETER_GROUP_COMMON,
    MMAL_PARAMETER_SUPPORTED_ENCODINGS,
    MMAL_PARAMETER_URI,
    MMAL_PARAMETER_CHANGE_EVENT_REQUEST,
    MMAL_PARAMETER_ZERO_COPY
};

#define MMAL_PARAMETER_CAMERA_RX_CONFIG (MMAL_PARAMETER_GROUP_CAMERA + 0x4D)
#define MMAL_PARAMETER_CAMERA_RX_TIMING (MMAL_PARAMETER_GROUP_CAMERA + 0x4E)

typedef struct MMAL_PARAMETER_BOOLEAN_T {
    MMAL_PARAMETER_HEADER_T hdr;
    MMAL_BOOL_T enable;
} MMAL_PARAMETER_BOOLEAN_T;

typedef enum {
    MMAL_CAMERA_RX_CONFIG_DECODE_NONE,
    MMAL_CAMERA_RX_CONFIG_DECODE_DPCM8TO10,
    MMAL_CAMERA_RX_CONFIG_DECODE_DPCM7TO10,
    MMAL_CAMERA_RX_CONFIG_DECODE_DPCM6TO10,
    MMAL_CAMERA_RX_CONFIG_DECODE_DPCM8TO12,
    MMAL_CAMERA_RX_CONFIG_DECODE_DPCM7TO12,
    MMAL_CAMERA_RX_CONFIG_DECODE_DPCM6TO12,
    MMAL_CAMERA_RX_CONFIG_DECODE_DPCM10TO14,
    MMAL_CAMERA_RX_CONFIG_DECODE_DPCM8TO14,
    MMAL_CAMERA_RX_CONFIG_DECODE_DPCM12TO16,
    MMAL_CAMERA_RX_CONFIG_DECODE_DPCM10TO16,
    MMAL_CAMERA_RX_CONFIG_DECODE_DPCM8TO16,
    MMAL_CAMERA_RX_CONFIG_DECODE_DUMMY = 0x7FFFFFFF
} MMAL_CAMERA_RX_CONFIG_DECODE;

typedef enum {
    MMAL_CAMERA_RX_CONFIG_ENCODE_NONE,
    MMAL_CAMERA_RX_CONFIG_ENCODE_DPCM10TO8,
    MMAL_CAMERA_RX_CONFIG_ENCODE_DPCM12TO8,
    MMAL_CAMERA_RX_CONFIG_ENCODE_DPCM14TO8,
    MMAL_CAMERA_RX_CONFIG_ENCODE_DUMMY = 0x7FFFFFFF
} MMAL_CAMERA_RX_CONFIG_ENCODE;

typedef enum {
    MMAL_CAMERA_RX_CONFIG_UNPACK_NONE,
    MMAL_CAMERA_RX_CONFIG_UNPACK_6,
    MMAL_CAMERA_RX_CONFIG_UNPACK_7,
    MMAL_CAMERA_RX_CONFIG_UNPACK_8,
    MMAL_CAMERA_RX_CONFIG_UNPACK_10,
    MMAL_CAMERA_RX_CONFIG_UNPACK_12,
    MMAL_CAMERA_RX_CONFIG_UNPACK_14,
    MMAL_CAMERA_RX_CONFIG_UNPACK_16,
    MMAL_CAMERA_RX_CONFIG_UNPACK_DUMMY = 0x7FFFFFFF
} MMAL_CAMERA_RX_CONFIG_UNPACK;

typedef enum {
    MMAL_CAMERA_RX_CONFIG_PACK_NONE,
    MMAL_CAMERA_RX_CONFIG_PACK_8,
    MMAL_CAMERA_RX_CONFIG_PACK_10,
    MMAL_CAMERA_RX_CONFIG_PACK_12,
    MMAL_CAMERA_RX_CONFIG_PACK_14,
    MMAL_CAMERA_RX_CONFIG_PACK_16,
    MMAL_CAMERA_RX_CONFIG_PACK_RAW10,
    MMAL_CAMERA_RX_CONFIG_PACK_RAW12,
    MMAL_CAMERA_RX_CONFIG_PACK_DUMMY = 0x7FFFFFFF
} MMAL_CAMERA_RX_CONFIG_PACK;

typedef struct MMAL_PARAMETER_CAMERA_RX_CONFIG_T {
    MMAL_PARAMETER_HEADER_T hdr;
    MMAL_CAMERA_RX_CONFIG_DECODE decode;
    MMAL_CAMERA_RX_CONFIG_ENCODE encode;
    MMAL_CAMERA_RX_CONFIG_UNPACK unpack;
    MMAL_CAMERA_RX_CONFIG_PACK pack;
    uint32_t data_lanes;
    uint32_t encode_block_length;
    uint32_t embedded_data_lines;
    uint32_t image_id;
} MMAL_PARAMETER_CAMERA_RX_CONFIG_T;

typedef struct MMAL_PARAMETER_CAMERA_RX_TIMING_T {
    MMAL_PARAMETER_HEADER_T hdr;
    uint32_t timing1;
    uint32_t timing2;
    uint32_t timing3;
    uint32_t timing4;
    uint32_t timing5;
    uint32_t term1;
    uint32_t term2;
    uint32_t cpi_timing1;
    uint32_t cpi_timing2;
} MMAL_PARAMETER_CAMERA_RX_TIMING_T;

MMAL_STATUS_T mmal_component_create(const char *name, MMAL_COMPONENT_T **component);
MMAL_STATUS_T mmal_component_destroy(MMAL_COMPONENT_T *component);
MMAL_STATUS_T mmal_component_enable(MMAL_COMPONENT_T *component);
MMAL_STATUS_T mmal_component_disable(MMAL_COMPONENT_T *component);

MMAL_STATUS_T mmal_port_format_commit(MMAL_PORT_T *port);
MMAL_STATUS_T mmal_port_enable(MMAL_PORT_T *port, MMAL_PORT_BH_CB_T cb);
MMAL_STATUS_T mmal_port_disable(MMAL_PORT_T *port);
MMAL_STATUS_T mmal_port_send_buffer(MMAL_PORT_T *port, MMAL_BUFFER_HEADER_T *buffer);
MMAL_STATUS_T mmal_port_parameter_set(MMAL_PORT_T *port, const MMAL_PARAMETER_HEADER_T *param);
MMAL_STATUS_T mmal_port_parameter_get(MMAL_PORT_T *port, MMAL_PARAMETER_HEADER_T *param);

void mmal_buffer_header_release(MMAL_BUFFER_HEADER_T *header);
MMAL_BUFFER_HEADER_T *mmal_queue_get(MMAL_QUEUE_T *queue);

#ifdef __cplusplus
}
#endif

#endif
