// The firmware volume reader and the in-place preparation on any bytes, at
// the build's flash base: every refusal is fv::FvError (the reader) or
// emu::ImageError (the preparation); nothing else may escape and no access
// may leave its buffers (ASan, UBSan).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "emu/InPlace.h"
#include "fv/Volume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  try {
    const fv::Volume volume = fv::ReadVolume(bytes, "fuzz.fv");
    for (const fv::File& f : volume.files)
      for (const fv::Section& s : f.sections)
        if (s.dataOffset + uint64_t{s.dataSize} > size) __builtin_trap();
  } catch (const fv::FvError&) {
  }
  try {
    const emu::FlashImage placed = emu::PlaceVolume(bytes, "fuzz.fv", SS_FV_BASE);
    const uint64_t entry = uint64_t{placed.imageBase} + placed.entryRva;
    if (entry < placed.flashBase || entry >= placed.flashBase + uint64_t{placed.flash.size()}) __builtin_trap();
  } catch (const emu::ImageError&) {
  }
  return 0;
}
