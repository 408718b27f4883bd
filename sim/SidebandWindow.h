// The chipset's sideband register window at 0xD0000000: the 32-bit register
// with port id p and offset r lies at 0xD0000000 | (p << 16) | r. Registers
// are settable; unset ones read 0. The window decodes whether or not the
// sideband bridge's configuration space is hidden, as on the hardware. As a
// fault, the window can float: every read gives all ones, writes are lost.
#ifndef STATUSSINK_SIM_SIDEBANDWINDOW_H
#define STATUSSINK_SIM_SIDEBANDWINDOW_H

#include <cstdint>
#include <map>

#include "sim/Machine.h"

namespace sim {

class SidebandWindow : public MemDevice {
 public:
  static constexpr uint32_t kBase = 0xD0000000u;
  static constexpr uint32_t kSize = 0x01000000u;  // 256 port ids of 64 KiB
  // The register that tells the memory-mapped serial controller's register stride.
  static constexpr uint8_t kSerialStridePort = 0x90;
  static constexpr uint16_t kSerialStrideOffset = 0x618;

  static constexpr uint32_t Address(uint8_t portId, uint16_t offset) {
    return kBase | (uint32_t{portId} << 16) | offset;
  }

  bool ClaimsAddress(uint32_t address) const override { return address - kBase < kSize; }
  uint32_t MemRead(uint32_t address, unsigned width) override;
  void MemWrite(uint32_t address, unsigned width, uint32_t value) override;

  void SetRegister(uint8_t portId, uint16_t offset, uint32_t value);
  uint32_t Register(uint8_t portId, uint16_t offset) const;
  void SetFloating(bool floating) { floating_ = floating; }

 private:
  std::map<uint32_t, uint32_t> registers_;  // by window offset, 4-byte aligned
  bool floating_ = false;
};

}  // namespace sim

#endif
