# Builds StatusSinkPei.efi with explicit compiler and linker command lines:
# the image must not depend on what CMake thinks a Windows toolchain is.
find_program(SS_CLANGXX NAMES clang++-14 clang++ REQUIRED)
find_program(SS_LLD_LINK NAMES lld-link-14 lld-link REQUIRED)
find_program(SS_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
find_program(SS_OBJDUMP NAMES llvm-objdump-14 llvm-objdump REQUIRED)

include(${SS_ROOT}/cmake/FirmwareCodegen.cmake)
set(SS_FW_FLAGS --target=i686-pc-windows-msvc -std=c++17 ${SS_FW_CODEGEN_FLAGS} -mno-stack-arg-probe
  -Wall -Wextra -DSTATUSSINK_FIRMWARE=1)
foreach(dir ${SS_MODULE_INCLUDES})
  list(APPEND SS_FW_FLAGS -I${dir})
endforeach()

set(SS_FW_SOURCES ${SS_MODULE_SOURCES} ${SS_ROOT}/platform/platform_firmware.cpp)
set(SS_FW_OBJECTS "")
foreach(src ${SS_FW_SOURCES})
  file(RELATIVE_PATH rel ${SS_ROOT} ${src})
  string(REPLACE "/" "_" objname ${rel})
  set(obj ${CMAKE_CURRENT_BINARY_DIR}/obj/${objname}.obj)
  add_custom_command(OUTPUT ${obj}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/obj
    COMMAND ${SS_CLANGXX} ${SS_FW_FLAGS} -MD -MF ${obj}.d -c ${src} -o ${obj}
    DEPENDS ${src}
    DEPFILE ${obj}.d
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/obj
    COMMENT "firmware: ${rel}"
    VERBATIM)
  list(APPEND SS_FW_OBJECTS ${obj})
endforeach()

# The image's layout: /align:32 /filealign:32. The image runs in place from
# flash, so its sections sit in the file exactly where they sit in memory
# (section alignment equal to file alignment). 16 would save 48 bytes; 32 is
# kept because the firmware volume is packed and checked with it. Constant
# data stays in its own section (merging it into .text would save a section
# header, but the image check disassembles .text and would read data as code).
set(SS_FW_LINK_LAYOUT /align:32 /filealign:32)
set(SS_IMAGE ${CMAKE_CURRENT_BINARY_DIR}/StatusSinkPei.efi)
set(SS_MAP ${CMAKE_CURRENT_BINARY_DIR}/StatusSinkPei.map)
add_custom_command(OUTPUT ${SS_IMAGE} ${SS_MAP}
  COMMAND ${SS_LLD_LINK} /nologo /nodefaultlib /entry:ModuleEntry /subsystem:efi_boot_service_driver
          /driver ${SS_FW_LINK_LAYOUT} /dynamicbase /opt:ref /map:${SS_MAP} /out:${SS_IMAGE}
          ${SS_FW_OBJECTS}
  DEPENDS ${SS_FW_OBJECTS}
  COMMENT "firmware: linking StatusSinkPei.efi"
  VERBATIM)
add_custom_target(firmware ALL DEPENDS ${SS_IMAGE})

add_test(NAME image_checks
  COMMAND ${SS_PYTHON} ${SS_ROOT}/tests/image/check_image.py --objdump ${SS_OBJDUMP} ${SS_IMAGE})

# The checker itself must catch what it is there to catch.
set(SS_BAD_OBJ ${CMAKE_CURRENT_BINARY_DIR}/bad/bad_image.obj)
set(SS_BAD_IMAGE ${CMAKE_CURRENT_BINARY_DIR}/bad/bad_image.efi)
add_custom_command(OUTPUT ${SS_BAD_IMAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/bad
  COMMAND ${SS_CLANGXX} --target=i686-pc-windows-msvc -ffreestanding -fno-exceptions -O1 -msse2
          -c ${SS_ROOT}/tests/image/bad_image.cpp -o ${SS_BAD_OBJ}
  COMMAND ${SS_LLD_LINK} /nologo /nodefaultlib /entry:Entry /subsystem:efi_boot_service_driver /driver
          /dynamicbase /out:${SS_BAD_IMAGE} ${SS_BAD_OBJ}
  DEPENDS ${SS_ROOT}/tests/image/bad_image.cpp
  VERBATIM)
add_custom_target(bad_image ALL DEPENDS ${SS_BAD_IMAGE})
add_test(NAME image_checker_rejects_bad_image
  COMMAND ${SS_PYTHON} ${SS_ROOT}/tests/image/test_checker.py ${SS_BAD_IMAGE} ${SS_OBJDUMP})
