# Configures the project as on a Raspberry Pi 3 B+ whose userland pkg-config cannot find: the
# real Pi with the V4L2 back end, unless MMAL is asked for. Then TOLVA_PLATFORM=auto must warn,
# naming the board and the modules, and build the simulated Pi; TOLVA_PLATFORM=pi must stop with
# the same advice (its text: tests/cmake/platform_test.cmake).
# Usage: cmake -DSOURCE_DIR=... -DWORK_DIR=... -DC_COMPILER=... -DCXX_COMPILER=...
#              -P tests/cmake/configure_test.cmake
cmake_minimum_required(VERSION 3.16)

file(REMOVE_RECURSE "${WORK_DIR}")
set(pi_root "${WORK_DIR}/pi3")
file(MAKE_DIRECTORY "${pi_root}/proc/device-tree" "${WORK_DIR}/no-pkgconfig")
execute_process(COMMAND printf "%s\\000" "Raspberry Pi 3 Model B Plus Rev 1.3"
                OUTPUT_FILE "${pi_root}/proc/device-tree/model")

# pkg-config looks only in an empty directory: no userland, whatever this machine has.
function(configure platform capture out_status out_output)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env "PKG_CONFIG_LIBDIR=${WORK_DIR}/no-pkgconfig" PKG_CONFIG_PATH=
            ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK_DIR}/build"
            -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
            -DBUILD_TESTING=OFF -DTOLVA_BENCH=OFF -DTOLVA_PLATFORM=${platform}
            -DTOLVA_CAPTURE=${capture}
            -DTOLVA_PI_PROBE_ROOT=${pi_root} -DTOLVA_PI_PROBE_PROCESSOR=armv7l
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  # CMake wraps its messages: compare words, not lines.
  string(REGEX REPLACE "[ \t\r\n]+" " " output "${output}")
  set(${out_status} ${status} PARENT_SCOPE)
  set(${out_output} "${output}" PARENT_SCOPE)
endfunction()

set(failures 0)
function(expect_text output text what)
  string(FIND "${output}" "${text}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "configure_test: ${what}: no '${text}' in:\n${output}")
    math(EXPR count "${failures} + 1")
    set(failures ${count} PARENT_SCOPE)
  endif()
endfunction()

foreach(platform auto pi)
  configure(${platform} auto status output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "configure_test: TOLVA_PLATFORM=${platform} failed (${status}):\n${output}")
  endif()
  foreach(text "platform pi: TOLVA_PLATFORM=${platform} without the userland"
               "capture v4l2: TOLVA_CAPTURE=auto")
    expect_text("${output}" "${text}" "TOLVA_PLATFORM=${platform}")
  endforeach()
endforeach()

configure(auto mmal status output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "configure_test: TOLVA_PLATFORM=auto failed (${status}):\n${output}")
endif()
foreach(text "CMake Warning"
             "This is a Raspberry Pi (Raspberry Pi 3 Model B Plus Rev 1.3), but the program is being built for the SIMULATED Pi"
             "pkg-config finds no mmal and bcm_host"
             "platform sim: TOLVA_PLATFORM=auto on a Raspberry Pi without its userland")
  expect_text("${output}" "${text}" "TOLVA_PLATFORM=auto TOLVA_CAPTURE=mmal")
endforeach()

configure(pi mmal status output)
if(status EQUAL 0)
  message(SEND_ERROR "configure_test: TOLVA_PLATFORM=pi TOLVA_CAPTURE=mmal without the userland configured")
  math(EXPR failures "${failures} + 1")
endif()
expect_text("${output}" "TOLVA_PLATFORM=pi: pkg-config finds no mmal and bcm_host" "TOLVA_PLATFORM=pi")

if(failures GREATER 0)
  message(FATAL_ERROR "configure_test: ${failures} check(s) failed")
endif()
message(STATUS "configure_test: the Raspberry Pi without its userland captures through V4L2, or is warned about and refused for MMAL")
