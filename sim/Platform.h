// The simulated board: every device model, wired to one bus. The host32
// platform seam and the emulated machine both drive an instance of this.
#ifndef STATUSSINK_SIM_PLATFORM_H
#define STATUSSINK_SIM_PLATFORM_H

#include "Machine.h"
#include "PostCodePort.h"

namespace sim {

struct Platform {
  Platform();
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  Machine bus;
  PostCodePort postCodes;
};

}  // namespace sim

#endif
