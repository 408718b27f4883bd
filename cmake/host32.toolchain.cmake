# 32-bit i686 Linux host build: the target's pointer size and argument slots.
# Declared as a cross build, so that CMake runs its programs through
# CMAKE_CROSSCOMPILING_EMULATOR when the kernel cannot run i386 programs
# (Host32Runner.cmake decides which).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
