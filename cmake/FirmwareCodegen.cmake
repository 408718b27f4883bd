# How the module's code is generated, shared by the image and the benchmark's
# copy of the format engine (figures: image bytes measured when the choice
# was made; 'make bench' gives the current ones):
#   -Oz           smallest code (-Os: 288 bytes more); the engine's speed
#                 comes from its shape, not from unrolling
#   -flto         link-time optimisation: one module-wide view that inlines
#                 single-use helpers across files and drops what nothing calls
#                 (without it the image is 1,984 bytes larger)
#   -march=i586   the same code size as i386, and the image runs on every
#                 processor that IA32 PI firmware runs on; i686 and later
#                 (cmov) make the image 224 bytes larger for about ten fewer
#                 instructions over the five benchmark lines
#   -fno-jump-tables  switches as compare chains: a jump table costs 4 bytes of
#                 constant data and a relocation per case value (192 bytes here)
set(SS_FW_CODEGEN_FLAGS -Oz -flto -march=i586 -fno-jump-tables
  -ffreestanding -fno-builtin -fno-exceptions -fno-rtti -fno-strict-aliasing -fno-stack-protector
  -fno-threadsafe-statics -mno-sse -mno-mmx -mno-80387 -msoft-float -mno-implicit-float)
