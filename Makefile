# Drives the three CMake builds. The two commands of the quick start:
#   make run    build everything, run the default scenario on the emulated machine
#   make test   build everything, run every test
BUILD_DIR ?= build
CMAKE ?= cmake
GENERATOR ?= Ninja
# The firmware volume: flash address of its first byte, image section te or pe32.
FV_BASE ?= 0xFFFE0000
FV_IMAGE ?= te

.PHONY: all deps firmware host32 host64 test run fuzz bench clean

all: firmware host32 host64

# The Debian packages the builds need (installed when missing and run as root).
deps:
	@bash tools/install_deps.sh

firmware: deps
	$(CMAKE) -S . -B $(BUILD_DIR)/firmware -G $(GENERATOR) -DSTATUSSINK_BUILD=firmware >/dev/null
	$(CMAKE) --build $(BUILD_DIR)/firmware

host32: deps
	$(CMAKE) -S . -B $(BUILD_DIR)/host32 -G $(GENERATOR) -DSTATUSSINK_BUILD=host32 \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/host32.toolchain.cmake >/dev/null
	$(CMAKE) --build $(BUILD_DIR)/host32

host64: firmware
	$(CMAKE) -S . -B $(BUILD_DIR)/host64 -G $(GENERATOR) -DSTATUSSINK_BUILD=host64 \
	  -DSS_IMAGE=$(CURDIR)/$(BUILD_DIR)/firmware/StatusSinkPei.efi -DFV_BASE=$(FV_BASE) -DFV_IMAGE=$(FV_IMAGE) >/dev/null
	$(CMAKE) --build $(BUILD_DIR)/host64

test: all
	@bash tools/run_tests.sh $(BUILD_DIR)

run: all
	@bash tools/run_default.sh $(BUILD_DIR)

# Fuzzes the format engine for FUZZ_SECONDS (ASan and UBSan, host32).
FUZZ_SECONDS ?= 600
fuzz: host32
	$(BUILD_DIR)/host32/fuzz/format_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
	  -print_final_stats=1 -dict=fuzz/format.dict $(BUILD_DIR)/host32/fuzz/format_corpus fuzz/seeds/format

# Instructions per line of the format engine against snprintf, by callgrind.
bench: host32
	@bash bench/run_bench.sh $(BUILD_DIR)/host32/bench/format_bench

clean:
	rm -rf $(BUILD_DIR)
