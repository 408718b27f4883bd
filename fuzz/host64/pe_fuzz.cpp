// The PE32 loader on any bytes: parse, lay out at the preferred base and
// place below the PEI core page with every relocation applied. Anything it
// cannot take must be refused with emu::ImageError; nothing else may escape
// and no access may leave its buffers (ASan, UBSan).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Emulator.h"
#include "PeImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const emu::PeImage image = emu::ParsePeImage(std::vector<uint8_t>(data, data + size), "fuzz.efi");
    const emu::FlashImage placed = emu::PlaceRelocated(image);
    // What the machine will map: whole pages, the image inside them, the entry inside the image.
    if (placed.flash.size() % 0x1000 != 0 || placed.flash.size() < image.sizeOfImage ||
        placed.entryRva >= placed.imageSize)
      __builtin_trap();
  } catch (const emu::ImageError&) {
  }
  return 0;
}
