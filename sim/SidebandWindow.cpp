#include "sim/SidebandWindow.h"

namespace sim {

uint32_t SidebandWindow::MemRead(uint32_t address, unsigned width) {
  if (floating_) return 0xFFFFFFFFu;
  const uint32_t offset = address - kBase;
  auto it = registers_.find(offset & ~3u);
  const uint32_t value = it == registers_.end() ? 0 : it->second;
  (void)width;  // the bus trims the value to the access width
  return value >> (8 * (offset & 3u));
}

void SidebandWindow::MemWrite(uint32_t address, unsigned width, uint32_t value) {
  if (floating_) return;
  const uint32_t offset = address - kBase;
  const unsigned shift = 8 * (offset & 3u);
  const uint32_t mask = (width >= 4 ? 0xFFFFFFFFu : ((1u << (8 * width)) - 1u)) << shift;
  uint32_t& reg = registers_[offset & ~3u];
  reg = (reg & ~mask) | ((value << shift) & mask);
}

void SidebandWindow::SetRegister(uint8_t portId, uint16_t offset, uint32_t value) {
  registers_[(Address(portId, offset) - kBase) & ~3u] = value;
}

uint32_t SidebandWindow::Register(uint8_t portId, uint16_t offset) const {
  auto it = registers_.find((Address(portId, offset) - kBase) & ~3u);
  return it == registers_.end() ? 0 : it->second;
}

}  // namespace sim
