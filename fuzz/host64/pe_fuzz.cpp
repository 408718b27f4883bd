// The one image check on any bytes, as a PE32 file and as a TE image
// section: parse, and for a PE32 file place it below the PEI core page with
// every relocation applied and convert it to TE, which must pass the check
// again. Anything it cannot take must be refused with fv::FvError;
// nothing else may escape and no access may leave its buffers (ASan, UBSan).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "emu/Emulator.h"
#include "fv/Image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const fv::PeFile image = fv::ParsePeFile(std::vector<uint8_t>(data, data + size), "fuzz.efi");
    const emu::FlashImage placed = emu::PlaceRelocated(image);
    // What the machine will map: whole pages, the image inside them, the entry inside the image.
    if (placed.flash.size() % 0x1000 != 0 || placed.flash.size() < image.sizeOfImage ||
        placed.entryRva >= placed.imageSize)
      __builtin_trap();
    // Every image the check passes converts to TE, and the TE form passes it too.
    const fv::PeFile te = fv::ParseTeImage(fv::ToTe(image), "fuzz.te");
    if (te.entryRva != image.entryRva || te.relocations != image.relocations) __builtin_trap();
  } catch (const fv::FvError&) {
  }
  try {
    fv::ParseTeImage(std::span(data, size), "fuzz.te");
  } catch (const fv::FvError&) {
  }
  return 0;
}
