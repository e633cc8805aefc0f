# Small freestanding ARM programs for the virtual board's tests.
#
#   vboard_arm_program(NAME name SOURCES a.S b.c [LINK_ADDR 0x200000])
#     Builds name.elf and name.bin (flat image from LINK_ADDR) with
#     arm-none-eabi-gcc -mcpu=arm920t -marm, freestanding, entry _start,
#     into ${CMAKE_CURRENT_BINARY_DIR}/arm/. Creates the target arm_<name>.
#
#   vboard_use_arm_programs(TARGET t PROGRAMS name...)
#     Makes t depend on the programs and defines, for each of them,
#     ARM_PROGRAM_<NAME>_BIN, ARM_PROGRAM_<NAME>_ELF (paths as string
#     literals) and ARM_PROGRAM_<NAME>_ADDR (the link address), with <NAME>
#     the program name in capitals.
include_guard(GLOBAL)

find_program(VBOARD_ARM_GCC arm-none-eabi-gcc)
find_program(VBOARD_ARM_OBJCOPY arm-none-eabi-objcopy)

function(vboard_arm_program)
  cmake_parse_arguments(ARG "" "NAME;LINK_ADDR" "SOURCES" ${ARGN})
  if(NOT ARG_NAME OR NOT ARG_SOURCES)
    message(FATAL_ERROR "vboard_arm_program: NAME and SOURCES are required")
  endif()
  if(NOT VBOARD_ARM_GCC OR NOT VBOARD_ARM_OBJCOPY)
    message(FATAL_ERROR "vboard_arm_program: arm-none-eabi-gcc / objcopy not found")
  endif()
  if(NOT ARG_LINK_ADDR)
    set(ARG_LINK_ADDR 0x200000)
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/arm)
  set(elf ${dir}/${ARG_NAME}.elf)
  set(bin ${dir}/${ARG_NAME}.bin)
  set(srcs)
  foreach(s ${ARG_SOURCES})
    get_filename_component(abs ${s} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND srcs ${abs})
  endforeach()
  add_custom_command(
    OUTPUT ${elf} ${bin}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${VBOARD_ARM_GCC} -mcpu=arm920t -marm -Os -ffreestanding -fno-builtin -nostdlib -nostartfiles
            -Wall -Wextra -Werror -Wl,-N -Wl,--build-id=none -Wl,-e,_start -Wl,-Ttext=${ARG_LINK_ADDR}
            -o ${elf} ${srcs} -lgcc
    COMMAND ${VBOARD_ARM_OBJCOPY} -O binary ${elf} ${bin}
    DEPENDS ${srcs}
    COMMENT "ARM test program ${ARG_NAME}"
    VERBATIM)
  add_custom_target(arm_${ARG_NAME} DEPENDS ${elf} ${bin})
  set_target_properties(arm_${ARG_NAME} PROPERTIES ARM_ELF ${elf} ARM_BIN ${bin} ARM_ADDR ${ARG_LINK_ADDR})
endfunction()

function(vboard_use_arm_programs)
  cmake_parse_arguments(ARG "" "TARGET" "PROGRAMS" ${ARGN})
  foreach(p ${ARG_PROGRAMS})
    string(TOUPPER ${p} up)
    get_target_property(elf arm_${p} ARM_ELF)
    get_target_property(bin arm_${p} ARM_BIN)
    get_target_property(addr arm_${p} ARM_ADDR)
    add_dependencies(${ARG_TARGET} arm_${p})
    target_compile_definitions(${ARG_TARGET} PRIVATE
      ARM_PROGRAM_${up}_BIN="${bin}" ARM_PROGRAM_${up}_ELF="${elf}" ARM_PROGRAM_${up}_ADDR=${addr})
  endforeach()
endfunction()
