// The loader and the watcher on small hand-made PE32 images: header checks
// refuse what cannot run in place, relocations make the image work at its
// flash address, and a write into the image is caught with its address.
#include <gtest/gtest.h>

#include <cstring>

#include "Images.h"

namespace {

using test::MakeImage;

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

// Bytes written over the good image at a file offset.
struct Patch {
  uint32_t offset;
  std::vector<uint8_t> bytes;
};
std::vector<uint8_t> Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// File offsets in MakeImage's file.
constexpr uint32_t kOptional = 0x58;
constexpr uint32_t kRelocDirectorySize = kOptional + 100 + 8 * 5;
constexpr uint32_t kRelocBlock = 0x400;  // page RVA, block size, then the entries

struct BadImage {
  const char* name;
  std::vector<Patch> patches;
  uint32_t truncateTo;  // 0: keep the whole file
  const char* complaint;
};
void PrintTo(const BadImage& c, std::ostream* os) { *os << c.name; }

class LoaderRefuses : public ::testing::TestWithParam<BadImage> {};

TEST_P(LoaderRefuses, ImagesThatCannotRunInPlace) {
  std::vector<uint8_t> file = MakeImage(kReadOwnData, 0x1001);
  const BadImage& c = GetParam();
  for (const Patch& p : c.patches) std::copy(p.bytes.begin(), p.bytes.end(), file.begin() + p.offset);
  if (c.truncateTo != 0) file.resize(c.truncateTo);
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
    ::testing::Values(BadImage{"NotI386", {{0x44, {0x64, 0x86}}}, 0, "not i386"},
                      BadImage{"NotPe32", {{kOptional, {0x0B, 0x02}}}, 0, "not PE32"},
                      BadImage{"WrongSubsystem", {{kOptional + 68, {10, 0}}}, 0, "subsystem"},
                      BadImage{"Imports", {{kOptional + 96 + 8, {0x00, 0x20}}}, 0, "import"},
                      BadImage{"NoRelocations", {{kOptional + 96 + 40, {0, 0, 0, 0}}}, 0, "base relocation"},
                      BadImage{"DirectoriesPastTheOptionalHeader", {{0x54, {0x60, 0}}}, 0, "cannot hold its 16"},
                      BadImage{"Truncated", {}, 0x50, "truncated"}),
    [](const auto& info) { return std::string(info.param.name); });

// The relocation directory (RVA 0x2000, 12 bytes: one block for page 0x1000
// with one HIGHLOW entry and one ABSOLUTE pad) broken in each way a loader
// must notice before it patches anything.
INSTANTIATE_TEST_SUITE_P(
    Relocations, LoaderRefuses,
    ::testing::Values(
        // Page 0xFFFFF001 + offset 0xFFF wraps to RVA 0: it would patch the MZ header.
        BadImage{"PageAndOffsetWrapToTheHeaders", {{kRelocBlock, Le32(0xFFFFF001u)}, {kRelocBlock + 8, {0xFF, 0x3F}}}, 0,
                 "lies outside the image"},
        BadImage{"TargetRunsPastTheImageEnd", {{kRelocBlock, Le32(0x2000)}, {kRelocBlock + 8, {0xFE, 0x3F}}}, 0,
                 "lies outside the image"},
        BadImage{"DirectoryOfOneByte", {{kRelocDirectorySize, Le32(1)}}, 0, "ends 1 bytes into a block header"},
        BadImage{"DirectoryOfSevenBytes", {{kRelocDirectorySize, Le32(7)}}, 0, "ends 7 bytes into a block header"},
        BadImage{"BytesAfterTheLastBlock", {{kRelocDirectorySize, Le32(12 + 4)}, {kRelocBlock + 4, Le32(12)}}, 0,
                 "ends 4 bytes into a block header"},
        BadImage{"BlockLongerThanTheDirectory", {{kRelocBlock + 4, Le32(16)}}, 0, "malformed relocation block"},
        BadImage{"BlockShorterThanItsHeader", {{kRelocBlock + 4, Le32(6)}}, 0, "malformed relocation block"},
        BadImage{"BlockOfOddSize", {{kRelocBlock + 4, Le32(11)}, {kRelocDirectorySize, Le32(11)}}, 0,
                 "malformed relocation block"},
        BadImage{"SixtyFourBitType", {{kRelocBlock + 8, {0x01, 0xA0}}}, 0, "type 10"},
        BadImage{"DirectoryPastTheImage", {{kRelocDirectorySize, Le32(0x1001)}}, 0, "directory outside the image"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Loader, FilesThatAreNotImagesAreRefusedByName) {
  for (const char* path : {"/", "/nonexistent/StatusSinkPei.efi"}) {
    try {
      emu::LoadPeImage(path);
      ADD_FAILURE() << path << " accepted";
    } catch (const emu::ImageError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(path, 0), 0u) << e.what();
    }
  }
}

// A call stopped by a fault is neither a halt nor the end of the run: the
// faults say what happened and later calls still run.
TEST(Watcher, StoppedByAFaultTheRunGoesOn) {
  struct Case {
    const char* name;
    std::vector<uint8_t> code;
    uint32_t relocRva;  // the code's one absolute address, or 0
    const char* kind;
    uint32_t address;
  };
  const Case cases[] = {
      {"write into the image", kWriteOwnData, 0x1002, "image write", emu::layout::kFlashTop - 0x10000 + 0x1080},
      // mov eax, 0x30000000; jmp eax
      {"jump onto the bus", {0xB8, 0, 0, 0, 0x30, 0xFF, 0xE0}, 0, "fetch outside the image", 0x30000000},
      // mov eax, 0xFEF00000; jmp eax
      {"jump into RAM", {0xB8, 0, 0, 0xF0, 0xFE, 0xFF, 0xE0}, 0, "fetch from non-executable memory", 0xFEF00000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const emu::PeImage image = emu::ParsePeImage(MakeImage(c.code, c.relocRva), "fault.efi");
    scenario::Scenario scenario;
    scenario.reports.resize(2);
    const emu::RunResult run = emu::RunScenario(image, scenario);
    EXPECT_EQ(run.entry.stopped, "fault");
    EXPECT_FALSE(run.entry.status);
    EXPECT_FALSE(run.halt);
    EXPECT_EQ(scenario::Classify(run), scenario::RunEnd::Stopped);
    EXPECT_EQ(run.Delivered(), 2u);  // delivered (to no handler: none was registered)
    ASSERT_EQ(run.faults.size(), 1u);
    EXPECT_EQ(run.faults[0].kind, c.kind);
    EXPECT_EQ(run.faults[0].address, c.address);
    EXPECT_TRUE(run.imageIntact);
  }
}

// An unaligned load that runs past 4 GiB continues at address 0, where
// nothing answers: the bus floats, and nothing faults.
TEST(Watcher, ALoadAcrossFourGibWrapsToAddressZero) {
  // mov eax, [0xFFFFFFFE]; ret
  const emu::PeImage image = emu::ParsePeImage(MakeImage({0xA1, 0xFE, 0xFF, 0xFF, 0xFF, 0xC3}, 0), "wrap.efi");
  std::vector<emu::Fault> faults;
  EXPECT_EQ(RunEntry(image, &faults).status, 0xFFFFFFFFu);
  EXPECT_TRUE(faults.empty());
}

}  // namespace
