# Cross build for 32-bit ARM (armhf, ARMv7: Raspberry Pi 2 and newer) with Debian's
# arm-linux-gnueabihf toolchain (crossbuild-essential-armhf). Test programs run under qemu-arm.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
#         -DTOLVA_ARMHF_SYSROOT=$(scripts/armhf-sysroot)
# TOLVA_ARMHF_SYSROOT (optional): the armhf root file system that OpenCV, GoogleTest and the
# other libraries are found in and that qemu-arm loads shared libraries from. Without it only the
# cross toolchain's own C/C++ libraries are there.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TOLVA_ARMHF_TRIPLET arm-linux-gnueabihf)

set(TOLVA_ARMHF_SYSROOT "$ENV{TOLVA_ARMHF_SYSROOT}"
    CACHE PATH "armhf sysroot (see scripts/armhf-sysroot)")
# try_compile projects see only the variables listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOLVA_ARMHF_SYSROOT)

set(CMAKE_C_COMPILER ${TOLVA_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TOLVA_ARMHF_TRIPLET}-g++)

if(TOLVA_ARMHF_SYSROOT)
  if(NOT EXISTS "${TOLVA_ARMHF_SYSROOT}/usr/lib/${TOLVA_ARMHF_TRIPLET}")
    message(FATAL_ERROR "TOLVA_ARMHF_SYSROOT=${TOLVA_ARMHF_SYSROOT} is not an armhf sysroot "
                        "(build one with scripts/armhf-sysroot)")
  endif()
  set(CMAKE_SYSROOT "${TOLVA_ARMHF_SYSROOT}")
  set(CMAKE_FIND_ROOT_PATH "${TOLVA_ARMHF_SYSROOT}")
  set(TOLVA_ARMHF_LIBRARY_ROOT "${TOLVA_ARMHF_SYSROOT}")
  # pkg_check_modules looks only at the sysroot's .pc files and prefixes the paths they give.
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${TOLVA_ARMHF_SYSROOT}")
  # A copy of a Pi's root may keep the userland's mmal.pc and bcm_host.pc in /opt/vc.
  set(pc_dirs usr/lib/${TOLVA_ARMHF_TRIPLET}/pkgconfig usr/lib/pkgconfig usr/share/pkgconfig
              opt/vc/lib/pkgconfig)
  list(TRANSFORM pc_dirs PREPEND "${TOLVA_ARMHF_SYSROOT}/")
  string(REPLACE ";" ":" pc_path "${pc_dirs}")
  set(ENV{PKG_CONFIG_LIBDIR} "${pc_path}")
  set(ENV{PKG_CONFIG_PATH} "")
else()
  # The toolchain's own libc and libstdc++ live here.
  set(CMAKE_FIND_ROOT_PATH /usr/${TOLVA_ARMHF_TRIPLET})
  set(TOLVA_ARMHF_LIBRARY_ROOT /usr/${TOLVA_ARMHF_TRIPLET})
endif()
# qemu-arm loads the target's shared libraries from the library root. It passes on only the
# ioctls it knows and answers ENOSYS for others (such as I2C's): TOLVA_EMULATOR tells tests so.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L "${TOLVA_ARMHF_LIBRARY_ROOT}" -E TOLVA_EMULATOR=qemu-arm)

# Programs (compilers, code generators) come from the host; libraries, headers and CMake
# packages only from the target's root.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
