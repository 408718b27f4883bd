// Images made by hand for the watcher's tests: a small PE32 image around a
// few bytes of code, and the built image with code written over one of its
// functions.
#ifndef STATUSSINK_TESTS_IMAGES_H
#define STATUSSINK_TESTS_IMAGES_H

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "Run.h"

namespace test {

constexpr uint32_t kPreferredBase = 0x400000;

// A PE32 EFI boot service driver: .text at RVA 0x1000 holding `code` (entry
// at its start) and a data word 0x12345678 at RVA 0x1080, and .reloc with one
// HIGHLOW entry at `relocRva` (0 for none).
inline std::vector<uint8_t> MakeImage(std::vector<uint8_t> code, uint32_t relocRva) {
  std::vector<uint8_t> f(0x600, 0);
  auto put16 = [&](uint32_t at, uint16_t v) { std::memcpy(&f[at], &v, 2); };
  auto put32 = [&](uint32_t at, uint32_t v) { std::memcpy(&f[at], &v, 4); };
  put16(0, 0x5A4D);
  put32(0x3C, 0x40);
  put32(0x40, 0x00004550);
  const uint32_t coff = 0x44, opt = coff + 20;
  put16(coff, 0x014C);
  put16(coff + 2, 2);
  put16(coff + 16, 0xE0);
  put16(coff + 18, 0x0102);
  put16(opt, 0x010B);
  put32(opt + 16, 0x1000);  // entry
  put32(opt + 28, kPreferredBase);
  put32(opt + 32, 0x1000);
  put32(opt + 36, 0x200);
  put32(opt + 56, 0x3000);  // size of image
  put32(opt + 60, 0x200);   // size of headers
  put16(opt + 68, 11);      // EFI boot service driver
  put32(opt + 92, 16);
  put32(opt + 96 + 8 * 5, 0x2000);
  put32(opt + 100 + 8 * 5, 12);
  const uint32_t sections = opt + 0xE0;
  std::memcpy(&f[sections], ".text", 5);
  put32(sections + 8, 0x100);
  put32(sections + 12, 0x1000);
  put32(sections + 16, 0x200);
  put32(sections + 20, 0x200);
  put32(sections + 36, 0x60000020);
  std::memcpy(&f[sections + 40], ".reloc", 6);
  put32(sections + 48, 12);
  put32(sections + 52, 0x2000);
  put32(sections + 56, 0x200);
  put32(sections + 60, 0x400);
  put32(sections + 76, 0x42000040);
  std::memcpy(&f[0x200], code.data(), code.size());
  put32(0x280, 0x12345678);
  put32(0x400, 0x1000);
  put32(0x404, 12);
  if (relocRva != 0) put16(0x408, static_cast<uint16_t>(0x3000 | (relocRva - 0x1000)));
  return f;
}

inline emu::PeImage HandMade(std::vector<uint8_t> code, const char* name = "handmade.efi") {
  return emu::ParsePeImage(MakeImage(std::move(code), 0), name);
}

// `image` with `code` written at `rva`. The code holds no address of the
// image, and no base relocation may fall inside it (it would be changed as
// the image is placed): refused with std::invalid_argument.
inline emu::PeImage Patched(const emu::PeImage& image, uint32_t rva, const std::vector<uint8_t>& code) {
  std::vector<uint8_t> file = image.file;
  for (const emu::Section& s : image.sections)
    if (rva >= s.rva && rva + code.size() <= s.rva + s.rawSize) {
      std::memcpy(file.data() + s.rawOffset + (rva - s.rva), code.data(), code.size());
      emu::PeImage patched = emu::ParsePeImage(std::move(file), image.path + " (patched)");
      const std::vector<uint8_t> here = patched.LayOut(patched.preferredBase),
                                 there = patched.LayOut(patched.preferredBase + 0x10000);
      if (!std::equal(here.begin() + rva, here.begin() + rva + code.size(), there.begin() + rva))
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
