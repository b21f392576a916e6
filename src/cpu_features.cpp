// What the processor offers beyond the instruction set the program is built for.
#include "cpu_features.h"

#ifdef __arm__
#include <asm/hwcap.h>
#include <sys/auxv.h>

bool neon_available() { return (getauxval(AT_HWCAP) & HWCAP_NEON) != 0; }
#else
// The 64-bit ARM ABI keeps floating point in the NEON (Advanced SIMD) registers and the compiler
// uses them throughout the program: whatever runs it has NEON.
bool neon_available() { return true; }
#endif
