#include "qemu/host/Trace.h"

namespace qemu {

std::optional<uint16_t> PostCodeTrace::Byte(uint32_t offset, uint8_t value) {
  if (offset == 0) {
    std::optional<uint16_t> earlier = Flush();
    low_ = value;
    return earlier;
  }
  if (!low_) return std::nullopt;  // a lone write to port 0x81 is not a POST code
  const uint16_t word = static_cast<uint16_t>(*low_ | (value << 8));
  low_.reset();
  return word;
}

void PostCodeTrace::Drop() { low_.reset(); }

std::optional<uint16_t> PostCodeTrace::Flush() {
  if (!low_) return std::nullopt;
  const uint16_t word = *low_;
  low_.reset();
  return word;
}

uint32_t SummaryHex(const std::string& text) { return static_cast<uint32_t>(std::stoul(text, nullptr, 16)); }

}  // namespace qemu
