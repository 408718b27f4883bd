// The memory-mapped PCI Express configuration window at 0xE0000000: 4 KiB of
// configuration space per bus/device/function at
// base + (bus << 20) + (device << 15) + (function << 12). Functions that are
// not added read all ones and drop writes.
//
// The sideband bridge 0:13.0 has its hide control in the byte at offset 0xE1
// (bit 0 set: hidden). While hidden, every read of its space gives all ones
// (so its vendor id reads 0xFFFF), and of all writes only those to the hide
// control still take effect.
//
// Two faults: the whole window can read all ones and drop every write (a
// configuration space that nothing answers), and the hide control can ignore
// writes (a bridge that stays hidden, or stays visible, whatever is written).
#ifndef STATUSSINK_SIM_PCIECONFIGWINDOW_H
#define STATUSSINK_SIM_PCIECONFIGWINDOW_H

#include <array>
#include <cstdint>
#include <map>

#include "sim/Machine.h"

namespace sim {

class PcieConfigWindow : public MemDevice {
 public:
  static constexpr uint32_t kBase = 0xE0000000u;
  static constexpr uint32_t kSize = 0x10000000u;  // 256 buses
  static constexpr uint32_t kFunctionSize = 0x1000;
  static constexpr uint8_t kBridgeDevice = 13;
  static constexpr uint8_t kBridgeFunction = 0;
  static constexpr uint16_t kHideControl = 0xE1;

  static constexpr uint32_t Address(uint8_t bus, uint8_t device, uint8_t function) {
    return kBase + (uint32_t{bus} << 20) + (uint32_t{device & 0x1Fu} << 15) + (uint32_t{function & 0x7u} << 12);
  }

  bool ClaimsAddress(uint32_t address) const override { return address - kBase < kSize; }
  uint32_t MemRead(uint32_t address, unsigned width) override;
  void MemWrite(uint32_t address, unsigned width, uint32_t value) override;

  // Adds (or resets) a function with the given ids; the rest of its space is 0.
  void AddFunction(uint8_t bus, uint8_t device, uint8_t function, uint16_t vendorId, uint16_t deviceId);
  void RemoveFunction(uint8_t bus, uint8_t device, uint8_t function);
  bool HasFunction(uint8_t bus, uint8_t device, uint8_t function) const;
  // Direct access to a present function's space, bypassing the hide control
  // (Write32 on an absent function adds it with ids 0).
  void Write32(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset, uint32_t value);
  uint32_t Read32(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset) const;
  void Write8(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset, uint8_t value);
  uint8_t Read8(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset) const;

  // The sideband bridge 0:13.0.
  void AddSidebandBridge(bool hidden, uint16_t vendorId = 0x8086, uint16_t deviceId = 0xA1A0);
  void SetSidebandBridgeHidden(bool hidden);
  bool SidebandBridgeHidden() const;

  void SetAllOnes(bool allOnes) { allOnes_ = allOnes; }
  void SetHideControlLocked(bool locked) { hideLocked_ = locked; }

 private:
  using Space = std::array<uint8_t, kFunctionSize>;
  static uint32_t Key(uint8_t bus, uint8_t device, uint8_t function) {
    return (Address(bus, device, function) - kBase) >> 12;
  }
  bool Hidden(uint32_t key, const Space& space) const;
  std::map<uint32_t, Space> functions_;
  bool allOnes_ = false;
  bool hideLocked_ = false;
};

}  // namespace sim

#endif
