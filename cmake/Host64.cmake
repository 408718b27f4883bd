# host64: the emulated machine, host tools and system tests.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

# Device models shared with host32 (no host32-only files).
file(GLOB SS_SIM_SOURCES CONFIGURE_DEPENDS ${SS_ROOT}/sim/*.cpp)
if(SS_SIM_SOURCES)
  add_library(ss_sim64 STATIC ${SS_SIM_SOURCES})
  target_include_directories(ss_sim64 PUBLIC ${SS_ROOT}/sim ${SS_ROOT}/include ${SS_ROOT}/tools/common)
  target_compile_options(ss_sim64 PRIVATE -Wall -Wextra)
endif()

foreach(sub emu tools tests/host64)
  if(EXISTS ${SS_ROOT}/${sub}/CMakeLists.txt)
    add_subdirectory(${SS_ROOT}/${sub} ${CMAKE_BINARY_DIR}/${sub})
  endif()
endforeach()
