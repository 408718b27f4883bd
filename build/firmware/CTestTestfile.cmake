# CMake generated Testfile for 
# Source directory: /work/main
# Build directory: /work/main/build/firmware
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
add_test([=[image_checks]=] "/usr/bin/python3" "/work/main/tests/image/check_image.py" "--objdump" "/usr/bin/llvm-objdump-14" "/work/main/build/firmware/StatusSinkPei.efi")
set_tests_properties([=[image_checks]=] PROPERTIES  _BACKTRACE_TRIPLES "/work/main/cmake/Firmware.cmake;45;add_test;/work/main/cmake/Firmware.cmake;0;;/work/main/CMakeLists.txt;32;include;/work/main/CMakeLists.txt;0;")
