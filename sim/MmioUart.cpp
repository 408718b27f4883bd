#include "sim/MmioUart.h"

namespace sim {

uint8_t MmioUart::ReadByte(uint32_t offset) {
  if (offset % stride_ != 0) return 0;
  switch (offset / stride_) {
    case kInterruptIdRegister:
      return kInterruptIdValue;
    case kLineStatusRegister: {
      const uint64_t pending = line_.Driven() ? line_.Pending() : 0;
      return (pending <= 1 ? 0x20 : 0) | (pending == 0 ? 0x40 : 0);  // FIFO empty, transmitter idle
    }
    case kStatusRegister: {
      const uint64_t n = statusReads_++;
      const bool ready = status_ == Status::AlwaysReady || (status_ == Status::ReadyForFirst && n < readyReads_);
      if (!ready) return kStatusNotReady;
      if (!line_.Driven()) return kStatusReady;
      // The shift register holds one byte and the FIFO the rest.
      const uint64_t pending = line_.Pending();
      if (pending > line_.Timing().fifo) return kStatusNotReady;
      return pending <= 1 ? kStatusReady : kStatusNotFull;
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
  if (offset != kTransmitRegister * stride_) return;
  if (line_.Driven() && !line_.Write()) {
    ++overruns_;
    return;
  }
  text_.push_back(static_cast<char>(value & 0xFF));
  (void)width;
}

}  // namespace sim
