/* VideoCore host interface of the simulated Pi: the part of the userland's bcm_host.h in use. */
#ifndef BCM_HOST_H
#define BCM_HOST_H

#ifdef __cplusplus
extern "C" {
#endif

void bcm_host_init(void);

#ifdef __cplusplus
}
#endif

#endif
