# Drives the three CMake builds. The two commands of the quick start:
#   make run    build the firmware image and sinksim, run the default scenario
#   make test   build everything, run every test
BUILD_DIR ?= build
CMAKE ?= cmake
GENERATOR ?= Ninja
# How host32 programs run: auto (natively where the kernel runs i386
# programs, else through qemu-i386), native, or qemu.
HOST32_RUNNER ?= auto
# Which builds' tests 'make test' runs.
TEST_BUILDS ?= firmware host32 host64
# The firmware volume: flash address of its first byte, image section te or pe32.
FV_BASE ?= 0xFFFE0000
FV_IMAGE ?= te

# BUILD_DIR may be relative or absolute.
BUILD := $(abspath $(BUILD_DIR))

.PHONY: all deps firmware host32 host64-configure host64 sinksim test run fuzz bench clean

all: firmware host32 host64

# The Debian packages the builds need (installed when missing and run as root).
deps:
	@bash tools/install_deps.sh

firmware: deps
	$(CMAKE) -S . -B $(BUILD)/firmware -G $(GENERATOR) -DSTATUSSINK_BUILD=firmware >/dev/null
	$(CMAKE) --build $(BUILD)/firmware

host32: deps
	$(CMAKE) -S . -B $(BUILD)/host32 -G $(GENERATOR) -DSTATUSSINK_BUILD=host32 \
	  -DHOST32_RUNNER=$(HOST32_RUNNER) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/host32.toolchain.cmake >/dev/null
	$(CMAKE) --build $(BUILD)/host32

host64-configure: firmware
	$(CMAKE) -S . -B $(BUILD)/host64 -G $(GENERATOR) -DSTATUSSINK_BUILD=host64 \
	  -DSS_IMAGE=$(BUILD)/firmware/StatusSinkPei.efi \
	  -DFV_BASE=$(FV_BASE) -DFV_IMAGE=$(FV_IMAGE) >/dev/null

host64: host64-configure
	$(CMAKE) --build $(BUILD)/host64

# Only what 'make run' needs: no 32-bit program is built or run.
sinksim: host64-configure
	$(CMAKE) --build $(BUILD)/host64 --target sinksim

test: all
	@bash tools/run_tests.sh $(BUILD) $(TEST_BUILDS)

run: sinksim
	@bash tools/run_default.sh $(BUILD)

# Fuzzes the format engine for FUZZ_SECONDS (ASan and UBSan, host32).
FUZZ_SECONDS ?= 600
fuzz: host32
	bash tools/host32_run.sh $(BUILD)/host32 $(BUILD)/host32/fuzz/format_fuzz -max_total_time=$(FUZZ_SECONDS) \
	  -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -dict=fuzz/format.dict \
	  -seed_inputs=$$(ls -d $(CURDIR)/fuzz/seeds/format/* | paste -sd,) $(BUILD)/host32/fuzz/format_corpus

# One table: image and engine bytes, instructions per line against snprintf
# (both counted under qemu-i386), deepest stack per report kind, the
# emulator's reports per second.
bench: all
	@bash bench/run_bench.sh $(BUILD)

clean:
	rm -rf $(BUILD)
