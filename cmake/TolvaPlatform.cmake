# Which platform layer to build: tells a Raspberry Pi from other machines and says what a Pi
# lacks when its VideoCore userland (pkg-config modules mmal and bcm_host) is not found.
# Functions only; CMakeLists.txt calls them, tests/cmake/platform_test.cmake tries them on
# made-up boards. ROOT is the file system the probes read ("" for this machine's own).

# The Raspberry Pi's model as the machine tells it, or "" when it is no Raspberry Pi. The device
# tree's model names every Pi; older kernels without a device tree say it in /proc/cpuinfo
# (a "Model" line, or the SoC in "Hardware"). Only ARM processors are asked: an x86 PC with a
# copied /proc is no Pi.
function(tolva_raspberry_pi_model root processor out_var)
  set(model "")
  if(processor MATCHES "^(arm|aarch64)")
    if(EXISTS "${root}/proc/device-tree/model")
      # The file ends in a NUL byte; file(STRINGS) stops there.
      file(STRINGS "${root}/proc/device-tree/model" dt_model LIMIT_COUNT 1)
      if(dt_model MATCHES "^Raspberry Pi")
        set(model "${dt_model}")
      endif()
    endif()
    if(NOT model AND EXISTS "${root}/proc/cpuinfo")
      file(STRINGS "${root}/proc/cpuinfo" cpuinfo_model REGEX "^Model[ \t]*: Raspberry Pi")
      file(STRINGS "${root}/proc/cpuinfo" cpuinfo_soc REGEX "^Hardware[ \t]*: BCM(2835|2836|2837|2708|2709|2710|2711)")
      if(cpuinfo_model)
        list(GET cpuinfo_model 0 line)
        string(REGEX REPLACE "^Model[ \t]*: " "" model "${line}")
      elseif(cpuinfo_soc)
        list(GET cpuinfo_soc 0 line)
        string(REGEX REPLACE "^Hardware[ \t]*: " "" soc "${line}")
        set(model "Raspberry Pi (${soc})")
      endif()
    endif()
  endif()
  set(${out_var} "${model}" PARENT_SCOPE)
endfunction()

# What to do so that pkg-config finds mmal and bcm_host on a Pi: where older images keep them,
# which package brings them, and that a 64-bit userland has none.
function(tolva_userland_advice root pointer_size out_var)
  set(vc_pc_dir "${root}/opt/vc/lib/pkgconfig")
  if(pointer_size EQUAL 8)
    set(advice
        "This is a 64-bit userland: MMAL and the legacy camera stack exist for 32-bit Raspberry "
        "Pi OS (armhf) only. Run the program on 32-bit Raspberry Pi OS with the legacy camera "
        "stack (README, \"On a real Raspberry Pi\").")
  elseif(EXISTS "${vc_pc_dir}/mmal.pc" AND EXISTS "${vc_pc_dir}/bcm_host.pc")
    set(advice
        "They are in ${vc_pc_dir}, where older images keep them and pkg-config does not look: "
        "configure again with PKG_CONFIG_PATH=${vc_pc_dir} in the environment.")
  else()
    set(advice
        "The package libraspberrypi-dev provides them (scripts/bootstrap --pi installs it): "
        "Raspberry Pi OS Buster puts them in /opt/vc/lib/pkgconfig (then configure with "
        "PKG_CONFIG_PATH=/opt/vc/lib/pkgconfig), Bullseye in the system's own pkg-config "
        "directories. Bookworm and later releases have no MMAL at all (README, \"On a real "
        "Raspberry Pi\").")
  endif()
  string(CONCAT text "pkg-config finds no mmal and bcm_host, the Raspberry Pi userland's "
                "modules for the VideoCore camera receiver. " ${advice})
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()
