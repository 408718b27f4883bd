// The loader and the watcher on small hand-made PE32 images: relocations
// make the image work at its flash address, and a write into the image is
// caught with its address. (What the image check refuses: image_check_test.)
#include <gtest/gtest.h>

#include <cstring>

#include "emu/Run.h"
#include "tests/host64/TestImage.h"

namespace {

using test::kPreferredBase;
using test::kReadOwnData;
using test::MakeImage;

// mov dword [0x401080], 0; xor eax, eax; ret
const std::vector<uint8_t> kWriteOwnData = {0xC7, 0x05, 0x80, 0x10, 0x40, 0x00, 0, 0, 0, 0, 0x31, 0xC0, 0xC3};

run::CallResult RunEntry(const emu::PeImage& image, std::vector<run::Fault>* faults = nullptr) {
  sim::Platform platform;
  emu::Emulator machine(image, platform, {}, {});
  run::CallResult r = machine.RunEntry();
  if (faults != nullptr) *faults = machine.Faults();
  EXPECT_TRUE(machine.ImageIntact());
  return r;
}

TEST(Loader, RelocationsMakeTheImageWorkAtItsFlashAddress) {
  const emu::PeImage image = fv::ParsePeFile(MakeImage(kReadOwnData, 0x1001), "read.efi");
  EXPECT_EQ(RunEntry(image).status, 0x12345678u);
}

TEST(Watcher, WriteIntoTheImageIsAFaultWithItsAddressAndTheImageKeepsItsBytes) {
  const emu::PeImage image = fv::ParsePeFile(MakeImage(kWriteOwnData, 0x1002), "write.efi");
  std::vector<run::Fault> faults;
  const run::CallResult r = RunEntry(image, &faults);
  EXPECT_EQ(r.stopped, "fault");
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0].kind, "image write");
  EXPECT_EQ(faults[0].address, emu::layout::kFlashTop - 0x10000 + 0x1080);
  EXPECT_EQ(faults[0].during, "entry");
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
    const emu::PeImage image = fv::ParsePeFile(MakeImage(c.code, c.relocRva), "fault.efi");
    scenario::Scenario scenario;
    scenario.reports.resize(2);
    const run::RunResult run = emu::RunScenario(image, scenario);
    EXPECT_EQ(run.entry.stopped, "fault");
    EXPECT_FALSE(run.entry.status);
    EXPECT_FALSE(run.halt);
    EXPECT_EQ(run::Classify(run), run::RunEnd::Stopped);
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
  const emu::PeImage image = fv::ParsePeFile(MakeImage({0xA1, 0xFE, 0xFF, 0xFF, 0xFF, 0xC3}, 0), "wrap.efi");
  std::vector<run::Fault> faults;
  EXPECT_EQ(RunEntry(image, &faults).status, 0xFFFFFFFFu);
  EXPECT_TRUE(faults.empty());
}

}  // namespace
