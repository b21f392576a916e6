/* MMAL utilities of the simulated Pi: the port pool calls the capture unit uses. */
#ifndef MMAL_UTIL_H
#define MMAL_UTIL_H

#include "interface/mmal/mmal.h"

#ifdef __cplusplus
extern "C" {
#endif

MMAL_POOL_T *mmal_port_pool_create(MMAL_PORT_T *port, unsigned int headers, uint32_t payload_size);
void mmal_port_pool_destroy(MMAL_PORT_T *port, MMAL_POOL_T *pool);

#ifdef __cplusplus
}
#endif

#endif
