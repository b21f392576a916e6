// What the processor offers beyond the instruction set the program is built for.
#ifndef TOLVA_CPU_FEATURES_H
#define TOLVA_CPU_FEATURES_H

#if defined(__arm__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// True when the processor this runs on has NEON (the kernel's hardware capabilities): Raspberry
// Pi OS builds for ARMv6, which has none.
bool neon_available();
#endif

#endif
