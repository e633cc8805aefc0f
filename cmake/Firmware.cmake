# Firmware sub-build and the host-side records made from its images.
#
# firmware/ is a CMake project of its own, built with the cross toolchain
# (cmake/arm-none-eabi.cmake) as an ExternalProject into
# ${CMAKE_BINARY_DIR}/firmware. None of the host build's compile options
# (warnings, sanitizers) reach it: it gets only the arguments below.
#
# Provides:
#   dorvex_firmware         target: the firmware sub-build (always re-run, so
#                           edits under firmware/ rebuild)
#   dorvex_firmware_images  static library defining test_loader_image and
#                           uploader_image (host/usb/firmware_image.h)
#   DORVEX_TEST_LOADER_ELF, DORVEX_TEST_LOADER_BIN,
#   DORVEX_UPLOADER_ELF, DORVEX_UPLOADER_BIN   absolute paths

# Script mode: turn one flat image into a C++ source with its FirmwareImage.
#   cmake -DDORVEX_EMBED_INPUT=... -DDORVEX_EMBED_OUTPUT=... -DDORVEX_EMBED_NAME=... -P Firmware.cmake
if(DEFINED DORVEX_EMBED_INPUT)
  file(READ "${DORVEX_EMBED_INPUT}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR length "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # 16 bytes a line (CMake's regular expressions have no {n})
  string(REPEAT "0x..," 16 sixteen)
  string(REGEX REPLACE "(${sixteen})" "\\1\n    " bytes "${bytes}")
  if(length EQUAL 0)
    set(bytes "0x00,")
  endif()
  set(content "// Generated from ${DORVEX_EMBED_INPUT} by cmake/Firmware.cmake; do not edit.
#include \"firmware_image.h\"

namespace {
alignas(4) const uint8_t image_bytes[] = {
    ${bytes}
};
}  // namespace

const FirmwareImage ${DORVEX_EMBED_NAME} = {image_bytes, ${length}u};
")
  # Rewrite only on change, so the library is rebuilt only for a new image.
  if(EXISTS "${DORVEX_EMBED_OUTPUT}")
    file(READ "${DORVEX_EMBED_OUTPUT}" old)
    if(old STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE "${DORVEX_EMBED_OUTPUT}" "${content}")
  return()
endif()

include(ExternalProject)

set(DORVEX_FIRMWARE_BINARY_DIR ${CMAKE_BINARY_DIR}/firmware)
set(DORVEX_TEST_LOADER_ELF ${DORVEX_FIRMWARE_BINARY_DIR}/test_loader.elf)
set(DORVEX_TEST_LOADER_BIN ${DORVEX_FIRMWARE_BINARY_DIR}/test_loader.bin)
set(DORVEX_UPLOADER_ELF ${DORVEX_FIRMWARE_BINARY_DIR}/uploader.elf)
set(DORVEX_UPLOADER_BIN ${DORVEX_FIRMWARE_BINARY_DIR}/uploader.bin)
foreach(var DORVEX_TEST_LOADER_ELF DORVEX_TEST_LOADER_BIN DORVEX_UPLOADER_ELF DORVEX_UPLOADER_BIN)
  set(${var} ${${var}} CACHE INTERNAL "firmware output (cmake/Firmware.cmake)")
endforeach()

ExternalProject_Add(dorvex_firmware
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/firmware
  BINARY_DIR ${DORVEX_FIRMWARE_BINARY_DIR}
  PREFIX ${CMAKE_BINARY_DIR}/firmware-prefix
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/arm-none-eabi.cmake
    -DCMAKE_BUILD_TYPE=MinSizeRel
    # Flags come from firmware/CMakeLists.txt only, never from the
    # environment (CFLAGS, CXXFLAGS) of the host build.
    -DCMAKE_C_FLAGS=
    -DCMAKE_CXX_FLAGS=
    -DCMAKE_ASM_FLAGS=
    -DCMAKE_C_FLAGS_MINSIZEREL=
    -DCMAKE_CXX_FLAGS_MINSIZEREL=
    -DCMAKE_ASM_FLAGS_MINSIZEREL=
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS
    ${DORVEX_TEST_LOADER_ELF} ${DORVEX_TEST_LOADER_BIN}
    ${DORVEX_UPLOADER_ELF} ${DORVEX_UPLOADER_BIN})

set(_dorvex_image_sources)
foreach(image test_loader uploader)
  string(TOUPPER ${image} _upper)
  set(_bin ${DORVEX_${_upper}_BIN})
  set(_src ${CMAKE_BINARY_DIR}/generated/firmware/${image}_image.cpp)
  add_custom_command(
    OUTPUT ${_src}
    COMMAND ${CMAKE_COMMAND} -DDORVEX_EMBED_INPUT=${_bin} -DDORVEX_EMBED_OUTPUT=${_src}
            -DDORVEX_EMBED_NAME=${image}_image -P ${CMAKE_CURRENT_LIST_FILE}
    DEPENDS ${_bin} dorvex_firmware ${CMAKE_CURRENT_LIST_FILE}
    COMMENT "Embedding ${image}.bin"
    VERBATIM)
  list(APPEND _dorvex_image_sources ${_src})
endforeach()

add_library(dorvex_firmware_images STATIC ${_dorvex_image_sources})
target_include_directories(dorvex_firmware_images PUBLIC ${CMAKE_SOURCE_DIR}/host/usb)
add_dependencies(dorvex_firmware_images dorvex_firmware)
