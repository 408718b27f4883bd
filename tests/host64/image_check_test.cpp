// One image check for every path: what fvpack reads (fv::ReadPeFile), the
// bare image sinksim --image loads (emu::PlaceRelocated) and the image in a
// volume sinksim --fv runs in place (emu::LoadVolume) accept the same images
// and refuse the rest with the same reason; every image accepted runs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <random>

#include "emu/InPlace.h"
#include "fv/ModuleFile.h"
#include "emu/Run.h"
#include "tests/host64/SystemHarness.h"
#include "tests/host64/TestImage.h"

namespace {

using test::kDirectory;
using test::kOptional;
using test::kRelocBlock;
using test::kSections;
using test::Le32;

constexpr uint32_t kVolumeBase = 0xFFF00000u;

// Files of this process only: ctest runs the tests of this file side by side.
std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
  const std::string path = testing::TempDir() + "/" + std::to_string(getpid()) + "-" + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

// The outcome of one path: nothing (accepted) or the refusal's reason and message.
struct Outcome {
  std::optional<std::string> reason;
  std::string message;
};
template <typename F>
Outcome Try(F take) {
  try {
    take();
    return {};
  } catch (const fv::ImageRefused& e) {
    return {e.Reason(), e.what()};
  }
}

// `good` (a PE32 file) packed into a volume, then `image` (the same size) put
// in the place of its image section, as if a volume had been built around
// it; the file's checksums sealed again.
std::vector<uint8_t> VolumeHolding(const std::vector<uint8_t>& good, const std::vector<uint8_t>& image,
                                   fv::ImageFormat format) {
  const fv::Packed packed = fv::Pack(fv::ParsePeFile(good, "good.efi"), fv::ModulePackOptions(kVolumeBase, format));
  std::vector<uint8_t> v = packed.fv;
  // Only the bytes that differ from the good image change: its rebased words
  // stay as packed. A TE image keeps the file from its section table on.
  const uint32_t stripped = fv::ParsePeFile(good, "good.efi").sectionTable;
  const uint32_t from = format == fv::ImageFormat::Te ? stripped : 0;
  const uint32_t shift = format == fv::ImageFormat::Te ? stripped - fv::te::kHeaderSize : 0;
  for (size_t i = from; i < image.size(); ++i)
    if (image[i] != good[i]) v[packed.imageOffset + i - shift] = image[i];
  const fv::Volume read = fv::ReadVolume(packed.fv, "good.fv");
  const fv::File& f = read.files.back();
  fv::WriteFileHeader(&v[f.offset], f.name, f.type, f.attributes, f.size);
  return v;
}

// The three paths on one image: fvpack's, the bare image's, the volume's (PE32).
std::vector<Outcome> ThreePaths(const std::vector<uint8_t>& good, const std::vector<uint8_t>& image, bool inVolume) {
  const std::string efi = Write("image.efi", image);
  std::vector<Outcome> out;
  out.push_back(Try([&] { fv::Pack(fv::ReadPeFile(efi), fv::ModulePackOptions(kVolumeBase, fv::ImageFormat::Te)); }));
  out.push_back(Try([&] { emu::PlaceRelocated(emu::LoadPeImage(efi)); }));
  std::remove(efi.c_str());
  if (inVolume) {
    const std::string fvPath = Write("image.fv", VolumeHolding(good, image, fv::ImageFormat::Pe32));
    out.push_back(Try([&] { emu::LoadVolume(fvPath, kVolumeBase); }));
    std::remove(fvPath.c_str());
  }
  return out;
}

struct Patch {
  uint32_t offset;
  std::vector<uint8_t> bytes;
};
struct Refused {
  const char* name;
  std::vector<Patch> patches;
  uint32_t truncateTo;  // 0: the whole file
  const char* reason;
};
void PrintTo(const Refused& c, std::ostream* os) { *os << c.name; }

class ImageCheck : public testing::TestWithParam<Refused> {};

TEST_P(ImageCheck, RefusedByEveryPathWithTheSameReason) {
  const Refused& c = GetParam();
  const std::vector<uint8_t> good = test::MakeImage(test::kReadOwnData, 0x1001);
  std::vector<uint8_t> bad = good;
  for (const Patch& p : c.patches) std::copy(p.bytes.begin(), p.bytes.end(), bad.begin() + p.offset);
  if (c.truncateTo != 0) bad.resize(c.truncateTo);
  const std::vector<Outcome> paths = ThreePaths(good, bad, c.truncateTo == 0);
  for (size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE("path " + std::to_string(i));
    ASSERT_TRUE(paths[i].reason) << "accepted";
    EXPECT_NE(paths[i].reason->find(c.reason), std::string::npos) << paths[i].message;
    EXPECT_EQ(*paths[i].reason, *paths[0].reason);
    EXPECT_TRUE(paths[i].message.ends_with(": " + *paths[i].reason)) << paths[i].message;
    EXPECT_NE(paths[i].message.find(i < 2 ? "image.efi" : "image.fv"), std::string::npos) << paths[i].message;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, ImageCheck,
    testing::Values(
        Refused{"NotI386", {{test::kCoff, {0x64, 0x86}}}, 0, "machine 0x8664 is not i386"},
        Refused{"NotPe32", {{kOptional, {0x0B, 0x02}}}, 0, "optional header is not PE32"},
        Refused{"Truncated", {}, 0x50, "truncated"},
        Refused{"SubsystemOtherThan11", {{kOptional + 68, {10, 0}}}, 0, "subsystem 10 is not an EFI boot service driver"},
        Refused{"ImportDirectory", {{kDirectory(1), Le32(0x1000)}}, 0, "the import directory is set"},
        Refused{"ImportAddressTable", {{kDirectory(12) + 4, Le32(8)}}, 0, "the import address table directory is set"},
        Refused{"DelayImports", {{kDirectory(13), Le32(0x1000)}}, 0, "the delay import directory is set"},
        Refused{"DirectoriesPastTheOptionalHeader", {{test::kCoff + 16, {0x60, 0}}}, 0, "cannot hold its 16"},
        Refused{"SectionAlignmentOf3", {{kOptional + 32, Le32(3)}, {kOptional + 36, Le32(3)}}, 0,
                "section alignment 0x3 is not a power of two"},
        Refused{"SectionAlignmentOf64KiB", {{kOptional + 32, Le32(0x10000)}, {kOptional + 36, Le32(0x10000)}}, 0,
                "section alignment 0x10000 is more than 4 KiB"},
        Refused{"SectionAlignmentOf2GiB", {{kOptional + 32, Le32(0x80000000u)}, {kOptional + 36, Le32(0x80000000u)}},
                0, "section alignment 0x80000000 is more than 4 KiB"},
        Refused{"FileAlignmentOtherThanTheSections", {{kOptional + 36, Le32(0x200)}}, 0,
                "file alignment 0x200 differs from the section alignment 0x1000"},
        Refused{"SizeOfImageBeyondTheFile", {{kOptional + 56, Le32(0x4000)}}, 0, "size of image 0x4000 is not within"},
        Refused{"SizeOfHeadersShortOfTheSectionTable", {{kOptional + 60, Le32(0x100)}}, 0,
                "does not cover the headers"},
        Refused{"EntryInTheHeaders", {{kOptional + 16, Le32(0x100)}}, 0, "entry point 0x100 lies in the headers"},
        Refused{"EntryBetweenSections", {{kOptional + 16, Le32(0x1800)}}, 0, "entry point 0x1800 is not inside a section"},
        Refused{"BaseOfCodeInTheHeaders", {{kOptional + 20, Le32(0x10)}}, 0, "base of code 0x10 lies in the headers"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Sections, ImageCheck,
    testing::Values(
        Refused{"NoSections", {{test::kCoff + 2, {0, 0}}}, 0, "no sections"},
        Refused{"AtAnotherFileOffsetThanItsRva", {{kSections + 20, Le32(0x400)}}, 0,
                "section .text lies at file offset 0x400 but RVA 0x1000"},
        Refused{"LargerThanTheFileHolds", {{kSections + 8, Le32(0x300)}}, 0,
                "section .text needs 0x300 bytes but the file holds 0x200"},
        Refused{"Writable", {{kSections + 36, Le32(0xE0000020u)}}, 0, "section .text is writable"},
        Refused{"InTheHeaders",
                {{kOptional + 32, Le32(0x100)}, {kOptional + 36, Le32(0x100)}, {kSections + 12, Le32(0x100)},
                 {kSections + 20, Le32(0x100)}},
                0, "section .text at RVA 0x100 overlaps the headers"},
        Refused{"Overlapping",
                {{kOptional + 32, Le32(0x100)}, {kOptional + 36, Le32(0x100)}, {kSections + 52, Le32(0x1100)},
                 {kSections + 60, Le32(0x1100)}},
                0, "section .reloc at RVA 0x1100 overlaps or comes before section .text"},
        Refused{"PastTheImage", {{kOptional + 56, Le32(0x2100)}}, 0, "section .reloc (RVA 0x2000, 0x200 bytes) lies outside"},
        Refused{"NotOnTheSectionAlignment", {{kSections + 52, Le32(0x2100)}, {kSections + 60, Le32(0x2100)}}, 0,
                "section .reloc at RVA 0x2100 is not aligned to the section alignment 0x1000"}),
    [](const auto& info) { return std::string(info.param.name); });

// The relocation directory (RVA 0x2000, 12 bytes: one block for page 0x1000
// with one HIGHLOW entry and one ABSOLUTE pad) broken in each way a loader
// must notice before it patches anything.
INSTANTIATE_TEST_SUITE_P(
    Relocations, ImageCheck,
    testing::Values(
        Refused{"None", {{kDirectory(5), Le32(0)}}, 0, "no base relocations"},
        Refused{"DirectoryOfOneByte", {{kDirectory(5) + 4, Le32(1)}}, 0, "ends 1 bytes into a block header"},
        Refused{"DirectoryOfSevenBytes", {{kDirectory(5) + 4, Le32(7)}}, 0, "ends 7 bytes into a block header"},
        Refused{"BytesAfterTheLastBlock", {{kDirectory(5) + 4, Le32(16)}}, 0, "ends 4 bytes into a block header"},
        Refused{"DirectoryInTheHeaders", {{kDirectory(5), Le32(0x100)}}, 0, "directory at RVA 0x100 lies in the headers"},
        Refused{"DirectoryPastTheImage", {{kDirectory(5) + 4, Le32(0x1001)}}, 0, "directory outside the image"},
        Refused{"BlockLongerThanTheDirectory", {{kRelocBlock + 4, Le32(16)}}, 0, "malformed relocation block"},
        Refused{"BlockShorterThanItsHeader", {{kRelocBlock + 4, Le32(6)}}, 0, "malformed relocation block"},
        Refused{"BlockOfOddSize", {{kRelocBlock + 4, Le32(11)}, {kDirectory(5) + 4, Le32(11)}}, 0,
                "malformed relocation block"},
        Refused{"SixtyFourBitType", {{kRelocBlock + 8, {0x01, 0xA0}}}, 0, "relocation type 10"},
        // Page 0xFFFFF001 + offset 0xFFF wraps to RVA 0: it would patch the MZ header.
        Refused{"PageAndOffsetWrapToTheHeaders", {{kRelocBlock, Le32(0xFFFFF001u)}, {kRelocBlock + 8, {0xFF, 0x3F}}},
                0, "lies outside the image's sections"},
        Refused{"TargetInTheHeaders", {{kRelocBlock, Le32(0)}, {kRelocBlock + 8, {0x10, 0x30}}}, 0,
                "lies outside the image's sections"},
        Refused{"TargetRunsPastTheImageEnd", {{kRelocBlock, Le32(0x2000)}, {kRelocBlock + 8, {0xFE, 0x3F}}}, 0,
                "lies outside the image's sections"}),
    [](const auto& info) { return std::string(info.param.name); });

// Any change to the headers or the relocations: the three paths agree, the
// bare image and the volume's image accepted or refused alike, for the same
// reason; the TE form in a volume agrees with the PE32 file wherever the
// change lies in what a TE image keeps.
TEST(ImageCheckProperty, ThePathsAgreeOnEveryChangedByte) {
  const std::vector<uint8_t> good = test::MakeImage(test::kReadOwnData, 0x1001);
  const fv::PeFile parsed = fv::ParsePeFile(good, "good.efi");
  std::mt19937 random(21);
  std::uniform_int_distribution<uint32_t> where(0, 0x200 + 16 - 1), value(0, 255);
  size_t accepted = 0, refused = 0;
  for (int n = 0; n < 1500; ++n) {
    const uint32_t pick = where(random);
    const uint32_t offset = pick < 0x200 ? pick : kRelocBlock + pick - 0x200;
    // The image base field is rebased in the volume: another base there is the rebase check's business.
    if (offset >= kOptional + 28 && offset < kOptional + 32) continue;
    std::vector<uint8_t> changed = good;
    changed[offset] = static_cast<uint8_t>(value(random));
    SCOPED_TRACE("byte " + std::to_string(offset) + " = " + std::to_string(changed[offset]));
    const std::vector<Outcome> paths = ThreePaths(good, changed, true);
    for (const Outcome& o : paths) EXPECT_EQ(o.reason, paths[0].reason) << o.message;
    ++(paths[0].reason ? refused : accepted);
    if (!paths[0].reason || offset < parsed.sectionTable) continue;
    const std::string te = Write("image_te.fv", VolumeHolding(good, changed, fv::ImageFormat::Te));
    const Outcome inTe = Try([&] { emu::LoadVolume(te, kVolumeBase); });
    std::remove(te.c_str());
    EXPECT_EQ(inTe.reason, paths[0].reason) << inTe.message;
  }
  // Both kinds were met, many times.
  EXPECT_GT(accepted, 100u);
  EXPECT_GT(refused, 100u);
}

// Every image the check accepts runs: packed by fvpack in either form, and
// loaded bare, its entry gives the same answer on the emulated machine.
TEST(ImageCheckProperty, EveryAcceptedImageRunsAlikeOnEveryPath) {
  struct Good {
    const char* name;
    std::vector<uint8_t> file;
    uint32_t entryStatus;
  };
  const Good images[] = {
      {"the module", test::Image().bytes, 0},
      {"hand-made, 4 KiB alignment", test::MakeImage(test::kReadOwnData, 0x1001), 0x12345678},
      {"hand-made, 512-byte alignment", test::MakeImage(test::kReadOwnData, 0x1001, 0x200), 0x12345678},
      {"hand-made, 16-byte alignment", test::MakeImage(test::kReadOwnData, 0x1001, 0x10), 0x12345678},
  };
  for (const Good& g : images) {
    SCOPED_TRACE(g.name);
    const fv::PeFile pe = fv::ParsePeFile(g.file, "good.efi");
    std::vector<emu::FlashImage> placed = {emu::PlaceRelocated(pe)};
    for (const fv::ImageFormat format : {fv::ImageFormat::Te, fv::ImageFormat::Pe32}) {
      const fv::Packed packed = fv::Pack(pe, fv::ModulePackOptions(kVolumeBase, format));
      placed.push_back(emu::PlaceVolume(packed.fv, "packed.fv", kVolumeBase));
    }
    for (const emu::FlashImage& f : placed) {
      sim::Platform platform;
      emu::Emulator machine(f, platform, {}, {});
      EXPECT_EQ(machine.RunEntry().status, g.entryStatus) << f.source << " " << f.format;
      EXPECT_TRUE(machine.Faults().empty());
      EXPECT_TRUE(machine.ImageIntact());
    }
  }
}

}  // namespace
