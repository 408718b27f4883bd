# host32: the module's code linked to the simulated platform, with unit tests.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

include(${SS_ROOT}/cmake/Host32Runner.cmake)

set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The module, compiled as it is for the image but for the host's i686 ABI.
add_library(ss_module STATIC ${SS_MODULE_SOURCES})
target_include_directories(ss_module PUBLIC ${SS_MODULE_INCLUDES})
target_compile_options(ss_module PRIVATE -fno-exceptions -fno-rtti -fno-strict-aliasing -Wall -Wextra)

# Device models, shared with host64, plus the host32-only platform seam and PEI environment.
file(GLOB SS_SIM_SOURCES CONFIGURE_DEPENDS ${SS_ROOT}/sim/*.cpp ${SS_ROOT}/sim/host32/*.cpp)
add_library(ss_sim STATIC ${SS_SIM_SOURCES})
target_include_directories(ss_sim PUBLIC ${SS_ROOT})
target_link_libraries(ss_sim PUBLIC ss_module)
target_compile_options(ss_sim PRIVATE -Wall -Wextra)

include(GoogleTest)
file(GLOB SS_HOST32_TESTS CONFIGURE_DEPENDS ${SS_ROOT}/tests/host32/*.cpp)
add_executable(host32_tests ${SS_HOST32_TESTS})
target_link_libraries(host32_tests PRIVATE ss_sim ss_module GTest::gtest_main)
target_include_directories(host32_tests PRIVATE ${SS_ROOT})
# Listed when ctest runs, not when the binary is linked: a build never has to
# run an i386 program.
gtest_discover_tests(host32_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)

set(SS_SIM_LIBRARY ss_sim)
foreach(sub hostlib scenario run fuzz bench tools/host32)
  if(EXISTS ${SS_ROOT}/${sub}/CMakeLists.txt)
    add_subdirectory(${SS_ROOT}/${sub} ${CMAKE_BINARY_DIR}/${sub})
  endif()
endforeach()
