# The body of the cross builds for the Pi's Debian architectures, included by
# toolchain-armhf.cmake and toolchain-arm64.cmake after they set TOLVA_CROSS_ARCH (the Debian
# architecture), TOLVA_CROSS_TRIPLET (the GNU one), TOLVA_CROSS_QEMU (the qemu-user program that
# runs the tests) and CMAKE_SYSTEM_PROCESSOR. The sysroot comes from TOLVA_<ARCH>_SYSROOT (cache
# variable or environment): TOLVA_ARMHF_SYSROOT, TOLVA_ARM64_SYSROOT.
set(CMAKE_SYSTEM_NAME Linux)

string(TOUPPER "TOLVA_${TOLVA_CROSS_ARCH}_SYSROOT" sysroot_variable)
set(${sysroot_variable} "$ENV{${sysroot_variable}}"
    CACHE PATH "${TOLVA_CROSS_ARCH} sysroot (see scripts/cross-sysroot)")
set(sysroot "${${sysroot_variable}}")
# try_compile projects see only the variables listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ${sysroot_variable})

set(CMAKE_C_COMPILER ${TOLVA_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TOLVA_CROSS_TRIPLET}-g++)

if(sysroot)
  if(NOT EXISTS "${sysroot}/usr/lib/${TOLVA_CROSS_TRIPLET}")
    message(FATAL_ERROR "${sysroot_variable}=${sysroot} is not an ${TOLVA_CROSS_ARCH} sysroot "
                        "(build one with scripts/cross-sysroot ${TOLVA_CROSS_ARCH})")
  endif()
  set(CMAKE_SYSROOT "${sysroot}")
  set(CMAKE_FIND_ROOT_PATH "${sysroot}")
  set(library_root "${sysroot}")
  # pkg_check_modules looks only at the sysroot's .pc files and prefixes the paths they give.
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${sysroot}")
  # A copy of a Pi's root may keep the userland's mmal.pc and bcm_host.pc in /opt/vc.
  set(pc_dirs usr/lib/${TOLVA_CROSS_TRIPLET}/pkgconfig usr/lib/pkgconfig usr/share/pkgconfig
              opt/vc/lib/pkgconfig)
  list(TRANSFORM pc_dirs PREPEND "${sysroot}/")
  string(REPLACE ";" ":" pc_path "${pc_dirs}")
  set(ENV{PKG_CONFIG_LIBDIR} "${pc_path}")
  set(ENV{PKG_CONFIG_PATH} "")
else()
  # The toolchain's own libc and libstdc++ live here.
  set(CMAKE_FIND_ROOT_PATH /usr/${TOLVA_CROSS_TRIPLET})
  set(library_root /usr/${TOLVA_CROSS_TRIPLET})
endif()
# qemu-user loads the target's shared libraries from the library root. It passes on only the
# ioctls it knows and answers ENOSYS for others (such as I2C's): TOLVA_EMULATOR tells tests so.
# Its statx does not look below the library root, and Qt asks statx whether its plugin folder
# exists: the folder (with the platform "offscreen" the tests' windows use) is named outright.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TOLVA_CROSS_QEMU} -L "${library_root}"
    -E TOLVA_EMULATOR=${TOLVA_CROSS_QEMU}
    -E QT_PLUGIN_PATH=${library_root}/usr/lib/${TOLVA_CROSS_TRIPLET}/qt5/plugins)

# Programs (compilers, code generators) come from the host; libraries, headers and CMake
# packages only from the target's root.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
