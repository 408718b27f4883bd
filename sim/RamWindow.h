// Plain RAM that the board decodes at a settable place, outside the PEI
// phase's temporary RAM: a fault puts bytes there for the module to find
// (a HOB list the PEI core hands out, for instance). Empty, it claims nothing.
#ifndef STATUSSINK_SIM_RAMWINDOW_H
#define STATUSSINK_SIM_RAMWINDOW_H

#include <cstdint>
#include <vector>

#include "sim/Machine.h"

namespace sim {

class RamWindow : public MemDevice {
 public:
  bool ClaimsAddress(uint32_t address) const override { return address - base_ < bytes_.size(); }
  uint32_t MemRead(uint32_t address, unsigned width) override;
  void MemWrite(uint32_t address, unsigned width, uint32_t value) override;
  bool IsRam() const override { return true; }

  // The window becomes these bytes at base; the bytes after them float.
  void Load(uint32_t base, std::vector<uint8_t> bytes);
  uint32_t Base() const { return base_; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  uint32_t base_ = 0;
  std::vector<uint8_t> bytes_;
};

}  // namespace sim

#endif
