// What the processor offers beyond the instruction set the program is built for.
#include "cpu_features.h"

#include <asm/hwcap.h>
#include <sys/auxv.h>

bool neon_available() { return (getauxval(AT_HWCAP) & HWCAP_NEON) != 0; }
