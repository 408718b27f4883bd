#include "sim/RamWindow.h"

#include <utility>

namespace sim {

uint32_t RamWindow::MemRead(uint32_t address, unsigned width) {
  const uint32_t offset = address - base_;
  uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i)
    value |= uint32_t{offset + i < bytes_.size() ? bytes_[offset + i] : uint8_t{0xFF}} << (8 * i);
  return value;
}

void RamWindow::MemWrite(uint32_t address, unsigned width, uint32_t value) {
  const uint32_t offset = address - base_;
  for (unsigned i = 0; i < width && offset + i < bytes_.size(); ++i)
    bytes_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void RamWindow::Load(uint32_t base, std::vector<uint8_t> bytes) {
  base_ = base;
  bytes_ = std::move(bytes);
}

}  // namespace sim
