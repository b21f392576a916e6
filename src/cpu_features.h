// What the processor offers beyond the instruction set the program is built for.
#ifndef TOLVA_CPU_FEATURES_H
#define TOLVA_CPU_FEATURES_H

#if (defined(__arm__) || defined(__aarch64__)) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// True when the processor this runs on has NEON: on 32-bit ARM the kernel's hardware capabilities
// say so (Raspberry Pi OS builds for ARMv6, which has none); on 64-bit ARM always.
bool neon_available();
#endif

#endif
