#include "sim/PciConfigPorts.h"

namespace sim {

uint32_t PciConfigPorts::Key(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg) {
  return (uint32_t{bus} << 16) | (uint32_t{device & 0x1Fu} << 11) | (uint32_t{function & 0x7u} << 8) |
         (reg & 0xFCu);
}

uint32_t PciConfigPorts::ReadKey(uint32_t key) const {
  auto it = registers_.find(key);
  if (it != registers_.end()) return it->second;
  const bool hostBridge = (key & 0xFFFF00u) == 0;
  if (hostBridge) return 0;
  for (const auto& [k, v] : registers_)
    if ((k & 0xFFFF00u) == (key & 0xFFFF00u)) return 0;  // the function exists
  return 0xFFFFFFFFu;
}

void PciConfigPorts::SetRegister(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg, uint32_t value) {
  registers_[Key(bus, device, function, reg)] = value;
}

uint32_t PciConfigPorts::Register(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg) const {
  return ReadKey(Key(bus, device, function, reg));
}

uint32_t PciConfigPorts::IoRead(uint16_t port, unsigned width) {
  if (port < kDataPort) {
    // Only a full 32-bit access reaches the address register.
    return (port == kAddressPort && width == 4) ? address_ : 0xFFFFFFFFu;
  }
  if (allOnes_ || (address_ & kEnable) == 0) return 0xFFFFFFFFu;
  const uint32_t value = ReadKey(address_ & 0x00FFFFFCu);
  return value >> (8 * (port - kDataPort));
}

void PciConfigPorts::IoWrite(uint16_t port, unsigned width, uint32_t value) {
  if (port < kDataPort) {
    if (port == kAddressPort && width == 4) address_ = value;
    return;
  }
  if (allOnes_ || (address_ & kEnable) == 0) return;
  const uint32_t key = address_ & 0x00FFFFFCu;
  const unsigned shift = 8 * (port - kDataPort);
  const uint32_t mask = (width >= 4 ? 0xFFFFFFFFu : ((1u << (8 * width)) - 1u)) << shift;
  const uint32_t old = ReadKey(key);
  registers_[key] = (old & ~mask) | ((value << shift) & mask);
}

}  // namespace sim
