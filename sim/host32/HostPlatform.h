// host32 implementation of the platform seam: the module's port, memory and
// interrupt-flag operations reach the device models of one sim::Platform.
#ifndef STATUSSINK_SIM_HOSTPLATFORM_H
#define STATUSSINK_SIM_HOSTPLATFORM_H

#include <cstdint>

#include "sim/SimPlatform.h"

namespace sim {

// While it lives, the module's platform functions reach `platform`.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform& platform);
  ~ScopedPlatform();
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  Platform* previous_;
};

// What the module's store-IDT-register reads as the table's base.
void SetIdtBase(uint32_t base);

}  // namespace sim

#endif
