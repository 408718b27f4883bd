# Drives the three CMake builds. The two commands of the quick start:
#   make run    build everything, run the default scenario on the emulated machine
#   make test   build everything, run every test
BUILD_DIR ?= build
CMAKE ?= cmake
GENERATOR ?= Ninja

.PHONY: all firmware host32 host64 test run fuzz bench clean

all: firmware host32 host64

firmware:
	$(CMAKE) -S . -B $(BUILD_DIR)/firmware -G $(GENERATOR) -DSTATUSSINK_BUILD=firmware >/dev/null
	$(CMAKE) --build $(BUILD_DIR)/firmware

host32:
	$(CMAKE) -S . -B $(BUILD_DIR)/host32 -G $(GENERATOR) -DSTATUSSINK_BUILD=host32 \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/host32.toolchain.cmake >/dev/null
	$(CMAKE) --build $(BUILD_DIR)/host32

host64: firmware
	$(CMAKE) -S . -B $(BUILD_DIR)/host64 -G $(GENERATOR) -DSTATUSSINK_BUILD=host64 \
	  -DSS_IMAGE=$(CURDIR)/$(BUILD_DIR)/firmware/StatusSinkPei.efi >/dev/null
	$(CMAKE) --build $(BUILD_DIR)/host64

test: all
	@bash tools/run_tests.sh $(BUILD_DIR)

run: all
	@bash tools/run_default.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
