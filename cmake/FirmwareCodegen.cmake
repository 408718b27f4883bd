# How the module's code is generated, shared by the image and the benchmark's
# copy of the format engine:
#   -Oz           smallest code; the engine's speed comes from its shape, not
#                 from unrolling, and every byte counts against the 8 KiB image
#   -flto         link-time optimisation: one module-wide view that inlines
#                 single-use helpers across files and drops what nothing calls
#                 (about 1.7 KB of the image, and fewer calls per line)
#   -march=i586   the oldest processor family that PI firmware for IA32 runs on;
#                 nothing newer (cmov and later) makes the code smaller or the
#                 lines shorter here, and i586 keeps the image runnable everywhere
#   -fno-jump-tables  switches as compare chains: a jump table costs 4 bytes of
#                 constant data and a 2-byte relocation per case value
set(SS_FW_CODEGEN_FLAGS -Oz -flto -march=i586 -fno-jump-tables
  -ffreestanding -fno-builtin -fno-exceptions -fno-rtti -fno-strict-aliasing -fno-stack-protector
  -fno-threadsafe-statics -mno-sse -mno-mmx -mno-80387 -msoft-float -mno-implicit-float)
