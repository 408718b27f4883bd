# host64: the emulated machine, host tools and system tests.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

# The sanitizer build (build/host64-san): the same sources built with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer, every object also carrying
# libFuzzer's coverage so that the host64 fuzz targets (built only here) see
# into the libraries they drive.
option(SS_SANITIZE "build with ASan, UBSan and fuzzing coverage; adds the host64 fuzz targets" OFF)
if(SS_SANITIZE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "SS_SANITIZE needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  set(SS_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${SS_SANITIZER_FLAGS} -fsanitize=fuzzer-no-link)
  add_link_options(${SS_SANITIZER_FLAGS})
endif()

# Device models shared with host32 (no host32-only files).
file(GLOB SS_SIM_SOURCES CONFIGURE_DEPENDS ${SS_ROOT}/sim/*.cpp)
if(SS_SIM_SOURCES)
  add_library(ss_sim64 STATIC ${SS_SIM_SOURCES})
  target_include_directories(ss_sim64 PUBLIC ${SS_ROOT})
  target_compile_options(ss_sim64 PRIVATE -Wall -Wextra)
endif()

# The firmware volume the build makes: its flash base and the image section's form.
set(FV_BASE "0xFFFE0000" CACHE STRING "flash address of StatusSinkPei.fv's first byte")
set(FV_IMAGE "te" CACHE STRING "image section of the firmware file: te or pe32")
if(NOT FV_IMAGE MATCHES "^(te|pe32)$")
  message(FATAL_ERROR "FV_IMAGE must be te or pe32, not '${FV_IMAGE}'")
endif()
get_filename_component(SS_FIRMWARE_DIR ${SS_IMAGE} DIRECTORY)
set(SS_FFS ${SS_FIRMWARE_DIR}/StatusSinkPei.ffs)
set(SS_FV ${SS_FIRMWARE_DIR}/StatusSinkPei.fv)

set(SS_SIM_LIBRARY ss_sim64)
set(SS_HOST64_SUBDIRS fv scenario emu compare qemu tools tests/host64)
if(SS_SANITIZE)
  list(APPEND SS_HOST64_SUBDIRS fuzz/host64)
endif()
foreach(sub ${SS_HOST64_SUBDIRS})
  if(EXISTS ${SS_ROOT}/${sub}/CMakeLists.txt)
    add_subdirectory(${SS_ROOT}/${sub} ${CMAKE_BINARY_DIR}/${sub})
  endif()
endforeach()
