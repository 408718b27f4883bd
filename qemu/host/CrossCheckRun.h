// The emulated machine's side of the QEMU cross-check: the one part of it
// that runs the emulated CPU, kept apart so that the QEMU runner and the
// comparison link no emulator.
#ifndef STATUSSINK_QEMU_CROSSCHECKRUN_H
#define STATUSSINK_QEMU_CROSSCHECKRUN_H

#include "emu/InPlace.h"
#include "qemu/host/CrossCheck.h"
#include "scenario/Scenario.h"

namespace qemu {

// Runs the scenario on the emulated machine, counting the memory reads that
// nothing answered outside the chipset's device windows.
SinksimSide RunForCrossCheck(const emu::FlashImage& image, const scenario::Scenario& scenario);

}  // namespace qemu

#endif
