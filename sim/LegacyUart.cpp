#include "sim/LegacyUart.h"

namespace sim {

// level_ counts the bytes not yet sent: the first of them is in the shift
// register, the rest in the FIFO.
void LegacyUart::Drain() {
  if (Timed() || mode_ != Mode::Present || level_ == 0) return;
  if (pace_ == 0) {
    // The FIFO is empty by this read; its last byte is sent by the next one.
    level_ = level_ > 1 ? 1 : 0;
    progress_ = 0;
    return;
  }
  if (++progress_ >= pace_) {
    progress_ = 0;
    --level_;
  }
}

uint32_t LegacyUart::IoRead(uint16_t port, unsigned) {
  if (mode_ == Mode::Absent) return 0xFFFFFFFFu;
  if (port != kLineStatusPort) return 0;  // other registers read as reset values
  ++lsrReads_;
  Drain();
  if (mode_ == Mode::Stuck) return 0;
  const uint64_t level = Pending();
  uint8_t status = 0;
  if (level <= 1) status |= kLsrThrEmpty;  // nothing waits in the FIFO
  if (level == 0) status |= kLsrTransmitterIdle;
  return status;
}

void LegacyUart::IoWrite(uint16_t port, unsigned, uint32_t value) {
  if (mode_ == Mode::Absent || port != kBase) return;
  if (Timed()) {
    if (!line_.Write()) {
      ++overruns_;
      return;
    }
    text_.push_back(static_cast<char>(value & 0xFF));
    return;
  }
  // The shift register takes a byte of its own; the FIFO holds kFifoDepth more.
  if (level_ >= kFifoDepth + 1) {
    ++overruns_;
    return;
  }
  ++level_;
  text_.push_back(static_cast<char>(value & 0xFF));
}

void LegacyUart::Clear() {
  text_.clear();
  level_ = 0;
  progress_ = 0;
  overruns_ = 0;
  lsrReads_ = 0;
}

}  // namespace sim
