obj/include_CompareGuid.cpp.obj: \
  /work/main/include/CompareGuid.cpp \
  /work/main/include/PiTypes.h \
  /usr/lib/llvm-14/lib/clang/14.0.6/include/stddef.h \
  /usr/lib/llvm-14/lib/clang/14.0.6/include/__stddef_max_align_t.h \
  /usr/lib/llvm-14/lib/clang/14.0.6/include/stdint.h
