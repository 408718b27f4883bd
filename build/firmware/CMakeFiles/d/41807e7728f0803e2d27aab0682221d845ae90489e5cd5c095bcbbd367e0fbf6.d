obj/platform_platform_firmware.cpp.obj: \
  /work/main/platform/platform_firmware.cpp \
  /work/main/platform/platform.h \
  /usr/lib/llvm-14/lib/clang/14.0.6/include/stdint.h \
  /work/main/include/PiTypes.h \
  /usr/lib/llvm-14/lib/clang/14.0.6/include/stddef.h \
  /usr/lib/llvm-14/lib/clang/14.0.6/include/__stddef_max_align_t.h
