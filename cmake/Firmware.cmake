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
# Compiles every firmware source into DIR/obj with the firmware flags and
# EXTRA_FLAGS; the objects' paths go into OUT_VAR.
function(ss_firmware_objects dir label out_var)
  set(objects "")
  foreach(src ${SS_FW_SOURCES})
    file(RELATIVE_PATH rel ${SS_ROOT} ${src})
    string(REPLACE "/" "_" objname ${rel})
    set(obj ${dir}/obj/${objname}.obj)
    add_custom_command(OUTPUT ${obj}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}/obj
      COMMAND ${SS_CLANGXX} ${SS_FW_FLAGS} ${ARGN} -MD -MF ${obj}.d -c ${src} -o ${obj}
      DEPENDS ${src}
      DEPFILE ${obj}.d
      WORKING_DIRECTORY ${dir}/obj
      COMMENT "${label}: ${rel}"
      VERBATIM)
    list(APPEND objects ${obj})
  endforeach()
  set(${out_var} ${objects} PARENT_SCOPE)
endfunction()
ss_firmware_objects(${CMAKE_CURRENT_BINARY_DIR} "firmware" SS_FW_OBJECTS)

# The image's layout. It runs in place from flash, so its sections sit in the
# file exactly where they sit in memory (section alignment equal to file
# alignment), and every byte between them is flash. Figures measured when the
# choice was made, on code that linked to 8,576 bytes with /align:32, separate
# sections and lld-link's headers; with everything below: 8,264 bytes.
#   /align:8      the alignment of the largest scalar (a 64-bit value); the
#                 compiler gives this module's objects 4 at most. Section ends
#                 and the headers' end are padded to it: /align:16 costs 8
#                 bytes more, /align:32 24. compact_image.py refuses the image
#                 when an object asks for more than the image's alignment
#                 (an alignas(16) table, say): then raise it here. The FFS
#                 file still gets data alignment 16, the smallest it offers
#                 above 1 byte.
#   /merge:.rdata=.text  constant data follows the code in one section: a
#                 section header and the padding between code and data less
#                 (48 bytes). The image check finds the code's extent in the map.
#   /lldsavetemps keeps the object that link-time code generation makes, so
#                 the alignment its sections ask for can be checked.
# lld-link writes a DOS stub program, sixteen data directories, room for a
# section header more and the base relocations in a section of their own, none
# of which an image that runs in place uses. compact_image.py rewrites the
# image right after the link (216 bytes): a 64-byte DOS header, seven data
# directories, the base relocations at the end of .text, its one section (280
# bytes of headers instead of 488, and no padding in front of the
# relocations). It moves the section down by what that frees, fixes every RVA,
# the relocation blocks and the relocated addresses, and shifts the map's
# absolute addresses the same way; it refuses (and fails the build on) any
# image it does not understand.
set(SS_FW_LINK_LAYOUT /align:8 /filealign:8 /merge:.rdata=.text)
set(SS_IMAGE ${CMAKE_CURRENT_BINARY_DIR}/StatusSinkPei.efi)
set(SS_MAP ${CMAKE_CURRENT_BINARY_DIR}/StatusSinkPei.map)
# lld-link's own output, before the headers are compacted (same file names, so the map names the same objects).
set(SS_LINKED_DIR ${CMAKE_CURRENT_BINARY_DIR}/linked)
set(SS_LINKED_IMAGE ${SS_LINKED_DIR}/StatusSinkPei.efi)
set(SS_LINKED_MAP ${SS_LINKED_DIR}/StatusSinkPei.map)
set(SS_COMPACT ${SS_ROOT}/cmake/compact_image.py)
add_custom_command(OUTPUT ${SS_IMAGE} ${SS_MAP} ${SS_LINKED_IMAGE} ${SS_LINKED_MAP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${SS_LINKED_DIR}
  COMMAND ${SS_LLD_LINK} /nologo /nodefaultlib /entry:ModuleEntry /subsystem:efi_boot_service_driver
          /driver ${SS_FW_LINK_LAYOUT} /dynamicbase /opt:ref /lldsavetemps /map:${SS_LINKED_MAP}
          /out:${SS_LINKED_IMAGE} ${SS_FW_OBJECTS}
  COMMAND ${SS_PYTHON} ${SS_COMPACT} ${SS_LINKED_IMAGE} ${SS_LINKED_MAP} ${SS_IMAGE} ${SS_MAP} ${SS_FW_OBJECTS}
  DEPENDS ${SS_FW_OBJECTS} ${SS_COMPACT}
  COMMENT "firmware: linking StatusSinkPei.efi"
  VERBATIM)

# The debug copy of the image and the block map that `sinksim coverage` reads.
# The same sources compiled again with DWARF line tables only (full debug
# information changes what link-time code generation makes of -Oz code; line
# tables alone leave it as it is), linked the same way with the tables kept:
# build/firmware/debug/StatusSinkPei.efi. It is never shipped. block_map.py
# holds its code to the shipped link's byte for byte (relocated addresses
# apart) and fails the build otherwise, then writes StatusSinkPei.blocks beside
# the image: the functions from the map, the basic blocks from the disassembly,
# the source lines of each block from the debug copy's line table, all at the
# shipped image's addresses.
find_program(SS_DWARFDUMP NAMES llvm-dwarfdump-14 llvm-dwarfdump REQUIRED)
set(SS_DEBUG_DIR ${CMAKE_CURRENT_BINARY_DIR}/debug)
set(SS_DEBUG_IMAGE ${SS_DEBUG_DIR}/StatusSinkPei.efi)
set(SS_BLOCK_MAP ${CMAKE_CURRENT_BINARY_DIR}/StatusSinkPei.blocks)
ss_firmware_objects(${SS_DEBUG_DIR} "firmware (debug copy)" SS_FW_DEBUG_OBJECTS -gdwarf-4 -gline-tables-only)
add_custom_command(OUTPUT ${SS_DEBUG_IMAGE}
  COMMAND ${SS_LLD_LINK} /nologo /nodefaultlib /entry:ModuleEntry /subsystem:efi_boot_service_driver
          /driver ${SS_FW_LINK_LAYOUT} /dynamicbase /opt:ref /debug:dwarf /map:${SS_DEBUG_DIR}/StatusSinkPei.map
          /out:${SS_DEBUG_IMAGE} ${SS_FW_DEBUG_OBJECTS}
  DEPENDS ${SS_FW_DEBUG_OBJECTS}
  COMMENT "firmware: linking the debug copy of StatusSinkPei.efi"
  VERBATIM)
set(SS_BLOCK_MAP_SCRIPT ${SS_ROOT}/cmake/block_map.py)
add_custom_command(OUTPUT ${SS_BLOCK_MAP}
  COMMAND ${SS_PYTHON} ${SS_BLOCK_MAP_SCRIPT} --objdump ${SS_OBJDUMP} --dwarfdump ${SS_DWARFDUMP}
          ${SS_IMAGE} ${SS_MAP} ${SS_LINKED_IMAGE} ${SS_DEBUG_IMAGE} ${SS_BLOCK_MAP}
  DEPENDS ${SS_IMAGE} ${SS_MAP} ${SS_LINKED_IMAGE} ${SS_DEBUG_IMAGE} ${SS_BLOCK_MAP_SCRIPT}
  COMMENT "firmware: the block map of StatusSinkPei.efi"
  VERBATIM)
add_custom_target(firmware ALL DEPENDS ${SS_IMAGE} ${SS_BLOCK_MAP})

add_test(NAME image_checks
  COMMAND ${SS_PYTHON} ${SS_ROOT}/tests/image/check_image.py --objdump ${SS_OBJDUMP} --map ${SS_MAP} ${SS_IMAGE})

# The checker itself must catch what it is there to catch.
set(SS_BAD_OBJ ${CMAKE_CURRENT_BINARY_DIR}/bad/bad_image.obj)
set(SS_BAD_IMAGE ${CMAKE_CURRENT_BINARY_DIR}/bad/bad_image.efi)
set(SS_BAD_MAP ${CMAKE_CURRENT_BINARY_DIR}/bad/bad_image.map)
add_custom_command(OUTPUT ${SS_BAD_IMAGE} ${SS_BAD_MAP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/bad
  COMMAND ${SS_CLANGXX} --target=i686-pc-windows-msvc -ffreestanding -fno-exceptions -O1 -msse2
          -c ${SS_ROOT}/tests/image/bad_image.cpp -o ${SS_BAD_OBJ}
  COMMAND ${SS_LLD_LINK} /nologo /nodefaultlib /entry:Entry /subsystem:efi_boot_service_driver /driver
          ${SS_FW_LINK_LAYOUT} /dynamicbase /map:${SS_BAD_MAP} /out:${SS_BAD_IMAGE} ${SS_BAD_OBJ}
  DEPENDS ${SS_ROOT}/tests/image/bad_image.cpp
  VERBATIM)
add_custom_target(bad_image ALL DEPENDS ${SS_BAD_IMAGE})
add_test(NAME image_checker_rejects_bad_image
  COMMAND ${SS_PYTHON} ${SS_ROOT}/tests/image/test_checker.py ${SS_BAD_IMAGE} ${SS_OBJDUMP} ${SS_BAD_MAP})

# The post-link step on hand-made images (what it moves, what it refuses), on
# this image, and against an object that asks for more alignment than the image has.
set(SS_ALIGNED_OBJ ${CMAKE_CURRENT_BINARY_DIR}/bad/aligned_table.obj)
add_custom_command(OUTPUT ${SS_ALIGNED_OBJ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/bad
  COMMAND ${SS_CLANGXX} --target=i686-pc-windows-msvc -std=c++17 -ffreestanding -Oz
          -c ${SS_ROOT}/tests/image/aligned_table.cpp -o ${SS_ALIGNED_OBJ}
  DEPENDS ${SS_ROOT}/tests/image/aligned_table.cpp
  VERBATIM)
add_custom_target(aligned_table ALL DEPENDS ${SS_ALIGNED_OBJ})
add_test(NAME compact_image_rewrites_and_refuses
  COMMAND ${SS_PYTHON} ${SS_ROOT}/tests/image/compact_image_test.py ${SS_ROOT}
          ${SS_LINKED_IMAGE} ${SS_LINKED_MAP} ${SS_IMAGE} ${SS_MAP} ${SS_ALIGNED_OBJ} ${SS_FW_OBJECTS})
