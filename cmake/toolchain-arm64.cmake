# Cross build for 64-bit ARM (arm64, ARMv8-A: Raspberry Pi 3 and newer on 64-bit Raspberry Pi OS,
# the only one the Pi 5 has) with Debian's aarch64-linux-gnu toolchain
# (crossbuild-essential-arm64). Test programs run under qemu-aarch64.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake \
#         -DTOLVA_ARM64_SYSROOT=$(scripts/cross-sysroot arm64)
# TOLVA_ARM64_SYSROOT (optional): as TOLVA_ARMHF_SYSROOT in toolchain-armhf.cmake.
set(TOLVA_CROSS_ARCH arm64)
set(TOLVA_CROSS_TRIPLET aarch64-linux-gnu)
set(TOLVA_CROSS_QEMU qemu-aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-toolchain.cmake)
