# host64: the emulated machine, host tools and system tests.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

# The sanitizer build (build/host64-san): the same sources built with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer, every object also carrying
# libFuzzer's coverage so that the host64 fuzz targets (built only here) see
# into the libraries they drive; the emulated machine's own code (emu/, sim/)
# excepted, whose fuzzer follows the image's blocks instead (emu/CMakeLists.txt).
option(SS_SANITIZE "build with ASan, UBSan and fuzzing coverage; adds the host64 fuzz targets" OFF)
if(SS_SANITIZE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "SS_SANITIZE needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  set(SS_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${SS_SANITIZER_FLAGS} -fsanitize=fuzzer-no-link)
  add_link_options(${SS_SANITIZER_FLAGS})
endif()

# The fuzz targets alone, without the sanitizers (build/host64-fuzz): the
# same libFuzzer coverage of the host code, for measuring and running the
# fuzzers at the speed the code has without ASan's and UBSan's checks. Only
# the sanitizer build runs them with the tests.
option(SS_FUZZ_PLAIN "build the host64 fuzz targets with libFuzzer but without the sanitizers" OFF)
if(SS_FUZZ_PLAIN)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "SS_FUZZ_PLAIN needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  # Every program links libFuzzer's runtime (without its main): it serves the coverage callbacks.
  add_compile_options(-fsanitize=fuzzer-no-link)
  add_link_options(-fsanitize=fuzzer-no-link)
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
set(SS_HOST64_SUBDIRS hostlib fv scenario run emu compare qemu view tools tests/host64)
if(SS_SANITIZE OR SS_FUZZ_PLAIN)
  list(APPEND SS_HOST64_SUBDIRS fuzz/host64)
endif()
foreach(sub ${SS_HOST64_SUBDIRS})
  if(EXISTS ${SS_ROOT}/${sub}/CMakeLists.txt)
    add_subdirectory(${SS_ROOT}/${sub} ${CMAKE_BINARY_DIR}/${sub})
  endif()
endforeach()
