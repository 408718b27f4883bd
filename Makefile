# Drives the four CMake builds. The two commands of the quick start:
#   make run    build the firmware image and sinksim, run the default scenario
#   make test   build everything, run every test
BUILD_DIR ?= build
CMAKE ?= cmake
GENERATOR ?= Ninja
# How host32 programs run: auto (natively where the kernel runs i386
# programs, else through qemu-i386), native, or qemu.
HOST32_RUNNER ?= auto
# Which builds' tests 'make test' runs.
TEST_BUILDS ?= firmware host32 host64 host64-san
# The firmware volume: flash address of its first byte, image section te or pe32.
FV_BASE ?= 0xFFFE0000
FV_IMAGE ?= te

# BUILD_DIR may be relative or absolute.
BUILD := $(abspath $(BUILD_DIR))

.PHONY: all deps firmware host32 host64-configure host64 host64-san host64-fuzz sinksim test run fuzz bench coverage readme-picture clean

all: firmware host32 host64 host64-san

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

# host64 again, built with clang under ASan and UBSan, with the host64 fuzz
# targets. Built after host64: both write the same firmware volume.
host64-san: host64
	$(CMAKE) -S . -B $(BUILD)/host64-san -G $(GENERATOR) -DSTATUSSINK_BUILD=host64 -DSS_SANITIZE=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DSS_IMAGE=$(BUILD)/firmware/StatusSinkPei.efi \
	  -DFV_BASE=$(FV_BASE) -DFV_IMAGE=$(FV_IMAGE) >/dev/null
	$(CMAKE) --build $(BUILD)/host64-san

# The host64 fuzz targets without the sanitizers (libFuzzer only), for
# speed: 'make fuzz FUZZ_BUILD=host64-fuzz'. Not part of 'make all' or 'make test'.
host64-fuzz: host64
	$(CMAKE) -S . -B $(BUILD)/host64-fuzz -G $(GENERATOR) -DSTATUSSINK_BUILD=host64 -DSS_FUZZ_PLAIN=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DSS_IMAGE=$(BUILD)/firmware/StatusSinkPei.efi \
	  -DFV_BASE=$(FV_BASE) -DFV_IMAGE=$(FV_IMAGE) >/dev/null
	$(CMAKE) --build $(BUILD)/host64-fuzz --target image_fuzz fv_fuzz pe_fuzz scenario_fuzz

# Only what 'make run' needs: no 32-bit program is built or run.
sinksim: host64-configure
	$(CMAKE) --build $(BUILD)/host64 --target sinksim

test: all
	@bash tools/run_tests.sh $(BUILD) $(TEST_BUILDS)

run: sinksim
	@bash tools/run_default.sh $(BUILD)

# Runs every fuzz target (or those named in FUZZ_TARGETS) for FUZZ_SECONDS
# each: the format engine (host32) and the host64 ones of the sanitizer build.
# FUZZ_BUILD=host64-fuzz runs the host64 targets of the build without sanitizers.
FUZZ_SECONDS ?= 600
FUZZ_TARGETS ?=
FUZZ_BUILD ?= host64-san
fuzz: host32 $(FUZZ_BUILD)
	@FUZZ_BUILD=$(FUZZ_BUILD) bash tools/fuzz.sh $(BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# One table: image and engine bytes, instructions per line against snprintf
# (the engine in the image on the emulated machine, snprintf under
# qemu-i386), deepest stack per report kind, the emulator's reports per second.
bench: all
	@bash bench/run_bench.sh $(BUILD)

# Which basic blocks of the image the suite's scenarios reach, per function
# (every scenario under scenarios/ on a machine of its own), and an lcov trace
# file of it, build/coverage/StatusSinkPei.info; genhtml (Debian lcov) makes
# build/coverage/html/index.html of it.
coverage: sinksim
	@bash tools/coverage.sh $(BUILD)

# The README's picture: the default scenario on the board time model as
# 'sinksim plot --timing' draws it (the test sinksim_views fails when it no longer is).
readme-picture: sinksim
	$(BUILD)/host64/tools/sinksim plot --timing -o docs/boot.svg

clean:
	rm -rf $(BUILD)
