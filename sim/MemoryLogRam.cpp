#include "sim/MemoryLogRam.h"

namespace sim {

uint32_t MemoryLogRam::MemRead(uint32_t address, unsigned width) {
  const uint32_t offset = address - kBase;
  uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i)
    value |= uint32_t{offset + i < kSize ? bytes_[offset + i] : uint8_t{0xFF}} << (8 * i);
  return value;
}

void MemoryLogRam::MemWrite(uint32_t address, unsigned width, uint32_t value) {
  const uint32_t offset = address - kBase;
  for (unsigned i = 0; i < width && offset + i < kSize; ++i) {
    bytes_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    if (offset + i >= kTextStart) ++textBytesStored_;
  }
}

uint32_t MemoryLogRam::Header() const {
  return uint32_t{bytes_[0]} | (uint32_t{bytes_[1]} << 8) | (uint32_t{bytes_[2]} << 16) | (uint32_t{bytes_[3]} << 24);
}

void MemoryLogRam::SetHeader(uint32_t header) {
  for (unsigned i = 0; i < 4; ++i) bytes_[i] = static_cast<uint8_t>(header >> (8 * i));
}

std::string MemoryLogRam::LogText() const {
  uint32_t next = Offset();
  if (next < kTextStart) next = kTextStart;
  const char* text = reinterpret_cast<const char*>(bytes_.data());
  if (WrapCount() == 0) return std::string(text + kTextStart, text + next);
  return std::string(text + next, text + kSize) + std::string(text + kTextStart, text + next);
}

}  // namespace sim
