# How host32 programs run: natively where this kernel executes i386 programs,
# through qemu-i386 (Debian's qemu-user) where it refuses them ("Exec format
# error"). HOST32_RUNNER=qemu forces the emulator, =native forces direct runs.
# The choice becomes CMAKE_CROSSCOMPILING_EMULATOR, which ctest, test
# discovery and add_test honour, and is written to host32_runner in the build
# directory for scripts that start host32 programs themselves.
set(HOST32_RUNNER "auto" CACHE STRING "How host32 programs run: auto, native or qemu")
set_property(CACHE HOST32_RUNNER PROPERTY STRINGS auto native qemu)

set(probe_dir ${CMAKE_BINARY_DIR}/host32_probe)
try_compile(ss_probe_built ${probe_dir}/build ${SS_ROOT}/cmake/host32_probe.c
  COPY_FILE ${probe_dir}/probe OUTPUT_VARIABLE ss_probe_log)
if(NOT ss_probe_built)
  message(FATAL_ERROR "host32: cannot build an i386 program (is g++-multilib installed?)\n${ss_probe_log}")
endif()
execute_process(COMMAND ${probe_dir}/probe RESULT_VARIABLE ss_probe_native
  OUTPUT_QUIET ERROR_QUIET)
set(ss_kernel_runs_i386 FALSE)
if(ss_probe_native STREQUAL "0")
  set(ss_kernel_runs_i386 TRUE)
endif()

if(HOST32_RUNNER STREQUAL "qemu" OR (HOST32_RUNNER STREQUAL "auto" AND NOT ss_kernel_runs_i386))
  find_program(SS_QEMU_I386 NAMES qemu-i386 qemu-i386-static)
  if(NOT SS_QEMU_I386)
    message(FATAL_ERROR "host32: this kernel cannot run i386 programs and qemu-i386 is missing "
                        "(install qemu-user: bash tools/install_deps.sh)")
  endif()
  execute_process(COMMAND ${SS_QEMU_I386} ${probe_dir}/probe RESULT_VARIABLE ss_probe_qemu
    OUTPUT_QUIET ERROR_QUIET)
  if(NOT ss_probe_qemu STREQUAL "0")
    message(FATAL_ERROR "host32: ${SS_QEMU_I386} cannot run an i386 program (${ss_probe_qemu})")
  endif()
  # -R 0xc0000000: the emulated process gets a 3 GiB address space. The i386
  # AddressSanitizer runtime sees uname say i686 and nothing mapped above
  # 3 GiB, so it takes the top gigabyte for a kernel's and lays its shadow
  # out for memory below 0xC0000000; without the limit qemu-i386 later hands
  # out heap above it and the runtime aborts ("AddrIsInMem") once the
  # fuzzer's memory grows.
  # detect_leaks=0: the leak checker stops the world with a ptrace-ing clone,
  # which qemu-user does not provide, so a sanitized program would hang at
  # exit. Reads and writes outside buffers are still caught. The runtime reads
  # its options from /proc/self/environ, which qemu's -E does not change, so
  # the variable is set for qemu itself.
  set(CMAKE_CROSSCOMPILING_EMULATOR env ASAN_OPTIONS=detect_leaks=0 ${SS_QEMU_I386} -R 0xc0000000)
  if(HOST32_RUNNER STREQUAL "qemu")
    set(ss_why "forced with HOST32_RUNNER=qemu")
  else()
    set(ss_why "this kernel refuses i386 programs")
  endif()
  message(NOTICE "host32 programs run through ${SS_QEMU_I386} (${ss_why})")
elseif(HOST32_RUNNER STREQUAL "native" OR HOST32_RUNNER STREQUAL "auto")
  if(NOT ss_kernel_runs_i386)
    message(FATAL_ERROR "host32: HOST32_RUNNER=native, but this kernel refuses i386 programs")
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR "")
  message(NOTICE "host32 programs run natively (this kernel runs i386 programs)")
else()
  message(FATAL_ERROR "HOST32_RUNNER must be auto, native or qemu, not '${HOST32_RUNNER}'")
endif()
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " ss_runner_line)
file(WRITE ${CMAKE_BINARY_DIR}/host32_runner "${ss_runner_line}\n")
