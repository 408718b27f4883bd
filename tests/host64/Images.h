// Images for the watcher's tests: the hand-made image of TestImage.h parsed,
// and the built image with code written over one of its functions.
#ifndef STATUSSINK_TESTS_IMAGES_H
#define STATUSSINK_TESTS_IMAGES_H

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "emu/Run.h"
#include "tests/host64/TestImage.h"

namespace test {

inline emu::PeImage HandMade(std::vector<uint8_t> code, const char* name = "handmade.efi") {
  return fv::ParsePeFile(MakeImage(std::move(code), 0), name);
}

// `image` (a PE32 file) with `code` written at `rva`. The code holds no
// address of the image, and no base relocation may fall inside it (it would
// be changed as the image is placed): refused with std::invalid_argument.
inline emu::PeImage Patched(const emu::PeImage& image, uint32_t rva, const std::vector<uint8_t>& code) {
  std::vector<uint8_t> file = image.bytes;
  for (const fv::PeSection& s : image.sections)
    if (rva >= s.rva && rva + code.size() <= s.rva + s.rawSize) {
      const size_t at = s.rawOffset + (rva - s.rva);
      std::memcpy(file.data() + at, code.data(), code.size());
      emu::PeImage patched = fv::ParsePeFile(std::move(file), image.path + " (patched)");
      const std::vector<uint8_t> here = fv::Rebase(patched, patched.imageBase).bytes,
                                 there = fv::Rebase(patched, patched.imageBase + 0x10000).bytes;
      if (!std::equal(here.begin() + at, here.begin() + at + code.size(), there.begin() + at))
        throw std::invalid_argument("a base relocation falls inside the patched bytes");
      return patched;
    }
  throw std::invalid_argument("no section holds the patched bytes");
}

// The RVAs of the handlers the image's entry registers, in registration order.
inline std::vector<uint32_t> HandlerRvas(const emu::PeImage& image) {
  sim::Platform platform;
  emu::Emulator machine(image, platform, {}, {});
  machine.RunEntry();
  std::vector<uint32_t> rvas;
  for (const uint32_t h : machine.Handlers()) rvas.push_back(h - machine.ImageBase());
  return rvas;
}

}  // namespace test

#endif
