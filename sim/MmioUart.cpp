#include "sim/MmioUart.h"

namespace sim {

uint8_t MmioUart::ReadByte(uint32_t offset) {
  if (offset % stride_ != 0) return 0;
  switch (offset / stride_) {
    case kInterruptIdRegister:
      return kInterruptIdValue;
    case kLineStatusRegister:
      return 0x60;  // transmitter empty
    case kStatusRegister: {
      const uint64_t n = statusReads_++;
      const bool ready = status_ == Status::AlwaysReady || (status_ == Status::ReadyForFirst && n < readyReads_);
      return ready ? kStatusReady : kStatusNotReady;
    }
    default:
      return 0;
  }
}

uint32_t MmioUart::MemRead(uint32_t address, unsigned width) {
  if (!present_) return 0xFFFFFFFFu;
  const uint32_t offset = address - base_;
  uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) value |= uint32_t{ReadByte(offset + i)} << (8 * i);
  return value;
}

void MmioUart::MemWrite(uint32_t address, unsigned width, uint32_t value) {
  if (!present_) return;
  const uint32_t offset = address - base_;
  if (offset == kTransmitRegister * stride_) text_.push_back(static_cast<char>(value & 0xFF));
  (void)width;
}

}  // namespace sim
