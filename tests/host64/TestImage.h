// A small PE32 EFI boot service driver made by hand, laid out to run in
// place (each section at the file offset equal to its RVA), for the loader,
// the watcher and the image check: .text at RVA 0x1000 holding `code` (entry
// at its start) and a data word 0x12345678 at RVA 0x1080, and .reloc at RVA
// 0x2000 with one block for page 0x1000: one HIGHLOW entry at `relocRva`
// (0: an ABSOLUTE pad only) and an ABSOLUTE pad.
#ifndef STATUSSINK_TESTS_TESTIMAGE_H
#define STATUSSINK_TESTS_TESTIMAGE_H

#include <cstdint>
#include <cstring>
#include <vector>

namespace test {

constexpr uint32_t kPreferredBase = 0x400000;
// File offsets (equal to RVAs) in MakeImage's file.
constexpr uint32_t kCoff = 0x44;
constexpr uint32_t kOptional = 0x58;
constexpr uint32_t kSections = kOptional + 0xE0;
constexpr uint32_t kDirectory(uint32_t index) { return kOptional + 96 + 8 * index; }
constexpr uint32_t kText = 0x1000;
constexpr uint32_t kData = 0x1080;
constexpr uint32_t kRelocBlock = 0x2000;  // page RVA, block size, then the entries
constexpr uint32_t kImageSize = 0x3000;

inline std::vector<uint8_t> Le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

// `alignment` is both the section and the file alignment (at most 0x1000, which the RVAs keep).
inline std::vector<uint8_t> MakeImage(const std::vector<uint8_t>& code, uint32_t relocRva, uint32_t alignment = 0x1000) {
  std::vector<uint8_t> f(kImageSize, 0);
  auto put16 = [&](uint32_t at, uint16_t v) { std::memcpy(&f[at], &v, 2); };
  auto put32 = [&](uint32_t at, uint32_t v) { std::memcpy(&f[at], &v, 4); };
  put16(0, 0x5A4D);
  put32(0x3C, 0x40);
  put32(0x40, 0x00004550);
  put16(kCoff, 0x014C);
  put16(kCoff + 2, 2);
  put16(kCoff + 16, 0xE0);
  put16(kCoff + 18, 0x0102);
  put16(kOptional, 0x010B);
  put32(kOptional + 16, kText);  // entry
  put32(kOptional + 20, kText);  // base of code
  put32(kOptional + 28, kPreferredBase);
  put32(kOptional + 32, alignment);
  put32(kOptional + 36, alignment);
  put32(kOptional + 56, kImageSize);
  put32(kOptional + 60, 0x200);  // size of headers
  put16(kOptional + 68, 11);     // EFI boot service driver
  put32(kOptional + 92, 16);
  put32(kDirectory(5), kRelocBlock);
  put32(kDirectory(5) + 4, 12);
  std::memcpy(&f[kSections], ".text", 5);
  put32(kSections + 8, 0x100);
  put32(kSections + 12, kText);
  put32(kSections + 16, 0x200);
  put32(kSections + 20, kText);
  put32(kSections + 36, 0x60000020);  // code, execute, read
  std::memcpy(&f[kSections + 40], ".reloc", 6);
  put32(kSections + 48, 12);
  put32(kSections + 52, kRelocBlock);
  put32(kSections + 56, 0x200);
  put32(kSections + 60, kRelocBlock);
  put32(kSections + 76, 0x42000040);  // initialised data, discardable, read
  std::memcpy(&f[kText], code.data(), code.size());
  put32(kData, 0x12345678);
  put32(kRelocBlock, kText);
  put32(kRelocBlock + 4, 12);
  if (relocRva != 0) put16(kRelocBlock + 8, static_cast<uint16_t>(0x3000 | (relocRva - kText)));
  return f;
}

// mov eax, [0x401080]; ret
inline const std::vector<uint8_t> kReadOwnData = {0xA1, 0x80, 0x10, 0x40, 0x00, 0xC3};

}  // namespace test

#endif
