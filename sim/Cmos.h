// CMOS RAM behind index port 0x70 and data port 0x71: 128 bytes that tests
// and scenarios set. Bit 7 of the index write is the NMI mask on real boards;
// it is kept apart from the index.
#ifndef STATUSSINK_SIM_CMOS_H
#define STATUSSINK_SIM_CMOS_H

#include <array>
#include <cstdint>

#include "sim/Machine.h"

namespace sim {

class Cmos : public IoDevice {
 public:
  static constexpr uint16_t kIndexPort = 0x70;
  static constexpr uint16_t kDataPort = 0x71;
  static constexpr unsigned kSize = 128;

  bool ClaimsPort(uint16_t port) const override { return port == kIndexPort || port == kDataPort; }
  uint32_t IoRead(uint16_t port, unsigned width) override;
  void IoWrite(uint16_t port, unsigned width, uint32_t value) override;

  // Offsets are taken modulo 128, as the hardware's 7-bit index does.
  void Set(uint8_t offset, uint8_t value) { bytes_[offset % kSize] = value; }
  uint8_t Get(uint8_t offset) const { return bytes_[offset % kSize]; }
  void Fill(uint8_t value) { bytes_.fill(value); }
  uint8_t Index() const { return index_; }
  bool NmiMasked() const { return nmiMasked_; }

 private:
  std::array<uint8_t, kSize> bytes_{};
  uint8_t index_ = 0;
  bool nmiMasked_ = false;
};

}  // namespace sim

#endif
