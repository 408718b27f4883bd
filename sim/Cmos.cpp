#include "sim/Cmos.h"

namespace sim {

uint32_t Cmos::IoRead(uint16_t port, unsigned) {
  // The index port is write-only on the chipsets modelled here: it floats high.
  if (port == kIndexPort) return 0xFFFFFFFFu;
  return bytes_[index_];
}

void Cmos::IoWrite(uint16_t port, unsigned, uint32_t value) {
  if (port == kIndexPort) {
    index_ = static_cast<uint8_t>(value & 0x7F);
    nmiMasked_ = (value & 0x80) != 0;
  } else {
    bytes_[index_] = static_cast<uint8_t>(value);
  }
}

}  // namespace sim
