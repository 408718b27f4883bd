// Where a firmware volume can lie so that both machines of this kit run it:
// the emulated machine (sinksim) maps flash in whole 4 KiB pages and keeps
// temporary RAM and its PEI core page for itself; the QEMU boot ROM spans
// from the volume's 64 KiB block to 4 GiB with its own code at the top and
// shows temporary RAM where the emulated machine has it. fvpack, sinksim
// (--fv, --fv-base) and sinksim qemu ask this one check before anything is
// mapped or built.
#ifndef STATUSSINK_FV_PLACEMENT_H
#define STATUSSINK_FV_PLACEMENT_H

#include <cstdint>

namespace fv::flash {

constexpr uint32_t kPageSize = 0x1000;
// Temporary RAM of the PEI phase (cache as RAM) on both machines.
constexpr uint32_t kTempRamBase = 0xFEF00000u;
constexpr uint32_t kTempRamSize = 0x40000u;
constexpr uint32_t kLowest = kTempRamBase + kTempRamSize;
// The emulated machine's PEI core page starts here; above it the QEMU boot
// ROM keeps its code, its directory and the scenario's reports.
constexpr uint32_t kTop = 0xFFFF0000u;
constexpr uint32_t kMostBytes = kTop - kLowest;  // 16.69 MiB

// Throws FvError with the reason when a volume of `size` bytes mapped at
// `base` is not whole 4 KiB pages lying between temporary RAM's end
// (0xFEF40000) and 0xFFFF0000.
void CheckVolumePlacement(uint64_t base, uint64_t size);

}  // namespace fv::flash

namespace fv {
using flash::CheckVolumePlacement;
}

#endif
