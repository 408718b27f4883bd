#include "LegacyUart.h"

namespace sim {

void LegacyUart::Drain() {
  if (mode_ != Mode::Present || level_ == 0) return;
  if (pace_ == 0) {
    level_ = 0;
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
  if (mode_ == Mode::Stuck || level_ != 0) return 0;
  return kLsrThrEmpty | kLsrTransmitterIdle;
}

void LegacyUart::IoWrite(uint16_t port, unsigned, uint32_t value) {
  if (mode_ == Mode::Absent || port != kBase) return;
  if (level_ >= kFifoDepth) {
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
