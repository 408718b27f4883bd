// A firmware volume on the emulated machine, found as a PEI foundation finds
// it: the volume mapped read-only at its flash base and checked (header,
// checksums, every file and section), the PEIM found by type, its dependency
// expression evaluated against the PPIs installed so far, its PE32 or TE
// section found, and its entry called where it lies. Nothing is relocated: a
// volume built for another base is refused with both addresses.
#ifndef STATUSSINK_EMU_INPLACE_H
#define STATUSSINK_EMU_INPLACE_H

#include <cstdint>
#include <string>
#include <vector>

#include "emu/Emulator.h"

namespace emu {

FlashImage PlaceVolume(std::vector<uint8_t> bytes, std::string path, uint32_t flashBase);
FlashImage LoadVolume(const std::string& path, uint32_t flashBase);

}  // namespace emu

#endif
