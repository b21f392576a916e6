# The Raspberry Pi probe and the advice for a Pi without its userland (cmake/TolvaPlatform.cmake),
# tried on made-up machines: each case is a file system root with the files a board shows.
# Usage: cmake -DSOURCE_DIR=... -DWORK_DIR=... -P tests/cmake/platform_test.cmake

cmake_minimum_required(VERSION 3.16)
include(${SOURCE_DIR}/cmake/TolvaPlatform.cmake)

set(failures 0)
function(fail)
  string(CONCAT what ${ARGV})
  message(SEND_ERROR "platform_test: ${what}")
  math(EXPR count "${failures} + 1")
  set(failures ${count} PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")

# A made-up machine: NAME's root with an optional device-tree model (written, as the kernel does,
# with a NUL at its end) and /proc/cpuinfo text.
function(make_machine name model cpuinfo)
  set(machine "${WORK_DIR}/${name}")
  file(MAKE_DIRECTORY "${machine}/proc/device-tree")
  if(model)
    execute_process(COMMAND printf "%s\\000" "${model}"
                    OUTPUT_FILE "${machine}/proc/device-tree/model")
  endif()
  if(cpuinfo)
    file(WRITE "${machine}/proc/cpuinfo" "${cpuinfo}")
  endif()
endfunction()

set(pi3_cpuinfo "processor\t: 0\nmodel name\t: ARMv7 Processor rev 4 (v7l)\nHardware\t: BCM2835\nRevision\t: a020d3\nSerial\t\t: 00000000deadbeef\nModel\t\t: Raspberry Pi 3 Model B Plus Rev 1.3\n")
set(pc_cpuinfo "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Core(TM) i5\n")
make_machine(pi3 "Raspberry Pi 3 Model B Plus Rev 1.3" "${pi3_cpuinfo}")
make_machine(pi4 "Raspberry Pi 4 Model B Rev 1.4" "processor\t: 0\nBogoMIPS\t: 108.00\n")
make_machine(old_kernel "" "processor\t: 0\nHardware\t: BCM2709\nRevision\t: a02082\n")
make_machine(zero "" "processor\t: 0\nModel\t\t: Raspberry Pi Zero W Rev 1.1\n")
make_machine(other_arm "Pine64 RockPro64 v2.1" "processor\t: 0\nHardware\t: Rockchip RK3399\n")
make_machine(pc "" "${pc_cpuinfo}")
make_machine(bare "" "")

# name, processor, the model expected ("" when the machine is no Raspberry Pi).
set(cases
  "pi3|armv7l|Raspberry Pi 3 Model B Plus Rev 1.3"
  "pi4|aarch64|Raspberry Pi 4 Model B Rev 1.4"
  "old_kernel|armv7l|Raspberry Pi (BCM2709)"
  "zero|armv6l|Raspberry Pi Zero W Rev 1.1"
  "pi3|x86_64|"
  "other_arm|aarch64|"
  "pc|x86_64|"
  "bare|armv7l|")
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 name)
  list(GET fields 1 processor)
  list(LENGTH fields count)
  set(expected "")
  if(count GREATER 2)
    list(GET fields 2 expected)
  endif()
  tolva_raspberry_pi_model("${WORK_DIR}/${name}" "${processor}" model)
  if(NOT model STREQUAL expected)
    fail("machine ${name} on ${processor}: got '${model}', expected '${expected}'")
  endif()
endforeach()

# The advice names the modules, then what fits the machine.
file(MAKE_DIRECTORY "${WORK_DIR}/buster/opt/vc/lib/pkgconfig")
file(WRITE "${WORK_DIR}/buster/opt/vc/lib/pkgconfig/mmal.pc" "prefix=/opt/vc\n")
file(WRITE "${WORK_DIR}/buster/opt/vc/lib/pkgconfig/bcm_host.pc" "prefix=/opt/vc\n")
file(MAKE_DIRECTORY "${WORK_DIR}/half/opt/vc/lib/pkgconfig")
file(WRITE "${WORK_DIR}/half/opt/vc/lib/pkgconfig/mmal.pc" "prefix=/opt/vc\n")
# name, pointer size, a text the advice must hold, a text it must not.
set(advice_cases
  "buster|4|PKG_CONFIG_PATH=${WORK_DIR}/buster/opt/vc/lib/pkgconfig|libraspberrypi-dev"
  "half|4|libraspberrypi-dev|PKG_CONFIG_PATH=${WORK_DIR}"
  "bare|4|Bookworm|PKG_CONFIG_PATH=${WORK_DIR}"
  "buster|8|32-bit Raspberry Pi OS|PKG_CONFIG_PATH")
foreach(case IN LISTS advice_cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 name)
  list(GET fields 1 pointer_size)
  list(GET fields 2 wanted)
  list(GET fields 3 unwanted)
  tolva_userland_advice("${WORK_DIR}/${name}" "${pointer_size}" advice)
  string(FIND "${advice}" "mmal and bcm_host" at_modules)
  string(FIND "${advice}" "${wanted}" at_wanted)
  string(FIND "${advice}" "${unwanted}" at_unwanted)
  if(at_modules EQUAL -1 OR at_wanted EQUAL -1 OR NOT at_unwanted EQUAL -1)
    fail("advice for ${name} (${pointer_size}-byte pointers) should name mmal and bcm_host, "
         "hold '${wanted}' and not '${unwanted}': ${advice}")
  endif()
endforeach()

if(failures GREATER 0)
  message(FATAL_ERROR "platform_test: ${failures} check(s) failed")
endif()
list(LENGTH cases machines)
list(LENGTH advice_cases advices)
message(STATUS "platform_test: ${machines} machines and ${advices} advice cases passed")
