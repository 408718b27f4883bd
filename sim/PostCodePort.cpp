#include "sim/PostCodePort.h"

namespace sim {

uint32_t PostCodePort::IoRead(uint16_t, unsigned width) {
  // Reading the port gives back the last byte written, as on most boards.
  return width == 1 ? latch_ : 0xFFFFFFFFu;
}

void PostCodePort::IoWrite(uint16_t port, unsigned width, uint32_t value) {
  uint16_t code;
  if (port == kPort && width >= 2) {
    code = static_cast<uint16_t>(value);
  } else if (port == kPort) {
    code = static_cast<uint8_t>(value);
  } else {
    code = static_cast<uint16_t>((value & 0xFF) << 8);  // port 0x81 alone: the high byte
  }
  latch_ = static_cast<uint8_t>(code);
  ++writes_;
  if (runsFull_) {
    // counted only
  } else if (!runs_.empty() && runs_.back().code == code) {
    ++runs_.back().count;
  } else if (runs_.size() < runLimit_) {
    runs_.push_back({code, 1});
  } else {
    runsFull_ = true;
  }
  // No locals with destructors here: the callback may leave by longjmp.
  if (armed_ && writes_ >= stopAt_) {
    armed_ = false;
    onLimit_();
  }
}

std::vector<uint16_t> PostCodePort::Codes() const {
  std::vector<uint16_t> out;
  for (const Run& r : runs_) out.insert(out.end(), static_cast<size_t>(r.count), r.code);
  return out;
}

}  // namespace sim
