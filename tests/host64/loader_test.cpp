// The loader and the watcher on small hand-made PE32 images: header checks
// refuse what cannot run in place, relocations make the image work at its
// flash address, and a write into the image is caught with its address.
#include <gtest/gtest.h>

#include <cstring>

#include "Emulator.h"

namespace {

constexpr uint32_t kPreferredBase = 0x400000;

// A PE32 EFI boot service driver: .text at RVA 0x1000 holding `code` (entry
// at its start) and a data word 0x12345678 at RVA 0x1080, and .reloc with one
// HIGHLOW entry at `relocRva` (0 for none).
std::vector<uint8_t> MakeImage(std::vector<uint8_t> code, uint32_t relocRva) {
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

// mov eax, [0x401080]; ret
const std::vector<uint8_t> kReadOwnData = {0xA1, 0x80, 0x10, 0x40, 0x00, 0xC3};
// mov dword [0x401080], 0; xor eax, eax; ret
const std::vector<uint8_t> kWriteOwnData = {0xC7, 0x05, 0x80, 0x10, 0x40, 0x00, 0, 0, 0, 0, 0x31, 0xC0, 0xC3};

emu::CallResult RunEntry(const emu::PeImage& image, std::vector<emu::Fault>* faults = nullptr) {
  sim::Platform platform;
  emu::Emulator machine(image, platform, {}, {});
  emu::CallResult r = machine.RunEntry();
  if (faults != nullptr) *faults = machine.Faults();
  EXPECT_TRUE(machine.ImageIntact());
  return r;
}

TEST(Loader, RelocationsMakeTheImageWorkAtItsFlashAddress) {
  const emu::PeImage image = emu::ParsePeImage(MakeImage(kReadOwnData, 0x1001), "read.efi");
  EXPECT_EQ(RunEntry(image).status, 0x12345678u);
}

TEST(Watcher, WriteIntoTheImageIsAFaultWithItsAddressAndTheImageKeepsItsBytes) {
  const emu::PeImage image = emu::ParsePeImage(MakeImage(kWriteOwnData, 0x1002), "write.efi");
  std::vector<emu::Fault> faults;
  const emu::CallResult r = RunEntry(image, &faults);
  EXPECT_EQ(r.stopped, "fault");
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0].kind, "image write");
  EXPECT_EQ(faults[0].address, emu::layout::kFlashTop - 0x10000 + 0x1080);
  EXPECT_EQ(faults[0].during, "entry");
}

struct BadHeader {
  const char* name;
  uint32_t offset;  // into the file
  std::vector<uint8_t> bytes;
  const char* complaint;
};
void PrintTo(const BadHeader& c, std::ostream* os) { *os << c.name; }


class LoaderRefuses : public ::testing::TestWithParam<BadHeader> {};

TEST_P(LoaderRefuses, ImagesThatCannotRunInPlace) {
  std::vector<uint8_t> file = MakeImage(kReadOwnData, 0x1001);
  const BadHeader& c = GetParam();
  if (c.bytes.empty())
    file.resize(c.offset);
  else
    std::memcpy(&file[c.offset], c.bytes.data(), c.bytes.size());
  try {
    emu::ParsePeImage(file, "bad.efi");
    FAIL() << "accepted";
  } catch (const emu::ImageError& e) {
    EXPECT_NE(std::string(e.what()).find("bad.efi"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(c.complaint), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, LoaderRefuses,
    ::testing::Values(BadHeader{"NotI386", 0x44, {0x64, 0x86}, "not i386"},
                      BadHeader{"NotPe32", 0x58, {0x0B, 0x02}, "not PE32"},
                      BadHeader{"WrongSubsystem", 0x58 + 68, {10, 0}, "subsystem"},
                      BadHeader{"Imports", 0x58 + 96 + 8, {0x00, 0x20}, "import"},
                      BadHeader{"NoRelocations", 0x58 + 96 + 40, {0, 0, 0, 0}, "base relocation"},
                      BadHeader{"Truncated", 0x50, {}, "truncated"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
