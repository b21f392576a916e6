# Cross build for 32-bit ARM (armhf, ARMv7: Raspberry Pi 2 and newer) with Debian's
# arm-linux-gnueabihf toolchain (crossbuild-essential-armhf). Test programs run under qemu-arm.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
#         -DTOLVA_ARMHF_SYSROOT=$(scripts/cross-sysroot armhf)
# TOLVA_ARMHF_SYSROOT (optional): the armhf root file system that OpenCV, GoogleTest and the
# other libraries are found in and that qemu-arm loads shared libraries from. Without it only the
# cross toolchain's own C/C++ libraries are there.
set(TOLVA_CROSS_ARCH armhf)
set(TOLVA_CROSS_TRIPLET arm-linux-gnueabihf)
set(TOLVA_CROSS_QEMU qemu-arm)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-toolchain.cmake)
