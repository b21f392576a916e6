/* MMAL parameter helpers of the simulated Pi: the boolean setter the capture unit uses. */
#ifndef MMAL_UTIL_PARAMS_H
#define MMAL_UTIL_PARAMS_H

#include "interface/mmal/mmal.h"

#ifdef __cplusplus
extern "C" {
#endif

MMAL_STATUS_T mmal_port_parameter_set_boolean(MMAL_PORT_T *port, uint32_t id, MMAL_BOOL_T value);

#ifdef __cplusplus
}
#endif

#endif
