// The firmware file and volume of the real image: what the packer writes is
// what the reader reads back, the image lies aligned and rebased to its own
// flash address, and hand-broken volumes are refused with the reason.
#include <gtest/gtest.h>

#include "fv/ModuleFile.h"

namespace {

using fv::ImageFormat;

const fv::PeFile& Image() {
  static const fv::PeFile image = fv::ReadPeFile(SS_IMAGE);
  return image;
}

fv::Packed PackAt(uint32_t base, ImageFormat format) { return fv::Pack(Image(), fv::ModulePackOptions(base, format)); }

TEST(FirmwareVolume, ReadsBackOnePeimWithItsSectionsAndTheImageRebasedToWhereItLies) {
  for (const ImageFormat format : {ImageFormat::Te, ImageFormat::Pe32}) {
    for (const uint32_t base : {0xFFFE0000u, 0xFF800000u}) {
      SCOPED_TRACE(std::string(fv::FormatName(format)) + " at " + std::to_string(base));
      const fv::Packed p = PackAt(base, format);
      const fv::Volume v = fv::ReadVolume(p.fv, "packed");
      EXPECT_EQ(p.fv.size() % 0x1000, 0u);
      ASSERT_EQ(v.blockMap.size(), 1u);
      EXPECT_EQ(v.blockMap[0], std::make_pair(static_cast<uint32_t>(p.fv.size() / 0x1000), 0x1000u));
      std::vector<const fv::File*> peims;
      for (const fv::File& f : v.files)
        if (f.type == fv::file::kTypePeim) peims.push_back(&f);
      ASSERT_EQ(peims.size(), 1u);
      const fv::File& f = *peims[0];
      EXPECT_EQ(f.name, fv::kModuleFileName);
      EXPECT_EQ(f.uiName, "StatusSinkPei");
      EXPECT_EQ(f.buildNumber, fv::kModuleBuildNumber);
      EXPECT_EQ(f.version, fv::kModuleVersion);
      EXPECT_EQ(f.offset, p.fileOffset);
      EXPECT_TRUE(std::equal(p.ffs.begin(), p.ffs.end(), p.fv.begin() + f.offset));
      EXPECT_EQ(f.sections.front().type, fv::section::kPeiDepex);
      for (const fv::Section& s : f.sections) EXPECT_EQ((s.offset - f.offset) % 4, 0u);

      const fv::Section* depex = f.Find(fv::section::kPeiDepex);
      const std::span<const uint8_t> expression(p.fv.data() + depex->dataOffset, depex->dataSize);
      EXPECT_EQ(fv::DepexText(expression), "PUSH 0065D394-9951-4144-82A3-0AFC8579C251 END");

      const fv::Section* image = f.Find(format == ImageFormat::Te ? fv::section::kTe : fv::section::kPe32);
      ASSERT_NE(image, nullptr);
      EXPECT_EQ(image->dataOffset, p.imageOffset);
      const fv::PeFile view = fv::ParseImageSection({p.fv.data() + image->dataOffset, image->dataSize}, format, "image");
      const uint32_t rvaZero = fv::RvaZero(view, base + image->dataOffset);
      // Rebased to the exact place: RVA 0 is where the header says, on the section alignment.
      EXPECT_EQ(view.imageBase, rvaZero);
      EXPECT_EQ(rvaZero % Image().sectionAlignment, 0u);
      EXPECT_EQ((f.offset + 24) % f.dataAlignment, 0u);
      EXPECT_GE(f.dataAlignment, Image().sectionAlignment);
      EXPECT_EQ(view.entryRva, Image().entryRva);
      EXPECT_EQ(view.relocations, Image().relocations);
      // The file's data checksum is kept (a changed byte shows) unless the fixed 0xAA is asked for.
      EXPECT_EQ(f.attributes & fv::file::kAttribChecksum, fv::file::kAttribChecksum);
      if (format == ImageFormat::Te) {
        EXPECT_EQ(p.strippedBytes, Image().sectionTable - 40);
      }
      // (The image section's bytes against the image relocated by an independent
      // parser, pefile: uefiextract_check.py.)
    }
  }
}

TEST(FirmwareVolume, PackerRefusesWhatCannotBeBuilt) {
  EXPECT_THROW(PackAt(0xFFFE0000u + Image().sectionAlignment / 2, ImageFormat::Pe32), fv::FvError);  // base off the alignment
  fv::PackOptions small = fv::ModulePackOptions(0xFFFE0000u, ImageFormat::Te);
  small.volumeSize = 0x1000;
  EXPECT_THROW(fv::Pack(Image(), small), fv::FvError);
  fv::PackOptions odd = fv::ModulePackOptions(0xFFFE0000u, ImageFormat::Te);
  odd.volumeSize = 0x4100;
  EXPECT_THROW(fv::Pack(Image(), odd), fv::FvError);
  std::vector<uint8_t> bss = Image().bytes;  // a section needing more than the file holds
  fv::Put(&bss[Image().sectionTable + 8], 4, Image().sections[0].rawSize + 0x100);
  EXPECT_THROW(fv::ParsePeFile(bss, "bss"), fv::FvError);
}

// Re-seals a file header after a change, so only the intended fault remains.
void FixFileHeaderChecksum(std::vector<uint8_t>& v, uint32_t file) {
  v[file + 16] = 0;
  uint8_t sum = 0;
  for (uint32_t i = 0; i < 24; ++i)
    if (i != 17 && i != 23) sum = static_cast<uint8_t>(sum + v[file + i]);
  v[file + 16] = static_cast<uint8_t>(0x100 - sum);
}

// Re-seals a whole file (header and data checksums) after a change inside it.
void Reseal(std::vector<uint8_t>& v, uint32_t file) {
  fv::Guid name;
  std::copy(v.begin() + file, v.begin() + file + 16, name.begin());
  fv::WriteFileHeader(&v[file], name, v[file + 18], v[file + 19], fv::Get(&v[file + 20], 3));
}

void FixVolumeChecksum(std::vector<uint8_t>& v) {
  const uint32_t length = fv::Get(&v[48], 2);
  fv::Put(&v[50], 2, 0);
  uint16_t sum = 0;
  for (uint32_t i = 0; i < length; i += 2) sum = static_cast<uint16_t>(sum + fv::Get(&v[i], 2));
  fv::Put(&v[50], 2, static_cast<uint16_t>(0x10000 - sum));
}

TEST(FirmwareVolume, ReaderRefusesBrokenVolumes) {
  // One block more than the volume needs: its free space has room past a
  // file header's size whatever the image's size, for the stray byte below.
  fv::PackOptions roomy = fv::ModulePackOptions(0xFFFE0000u, ImageFormat::Te);
  roomy.volumeSize = static_cast<uint32_t>(PackAt(0xFFFE0000u, ImageFormat::Te).fv.size()) + 0x1000;
  const fv::Packed good = fv::Pack(Image(), roomy);
  const uint32_t file = good.fileOffset;
  const fv::Volume v = fv::ReadVolume(good.fv, "good");
  const fv::File& peim = v.files.back();
  const uint32_t ui = peim.Find(fv::section::kUserInterface)->offset;
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> breakIt;
    const char* message;
  };
  const Case cases[] = {
      {"volume header checksum", [](auto& b) { b[50] ^= 1; }, "bad header checksum"},
      {"volume signature", [](auto& b) { b[40] = 'X'; }, "_FVH"},
      {"file system GUID", [](auto& b) { b[16] ^= 1; }, "not FFSv2"},
      {"volume truncated", [](auto& b) { b.resize(b.size() - 0x1000); }, "truncated"},
      {"block map",
       [](auto& b) {
         b[56] += 1;
         FixVolumeChecksum(b);
       },
       "block map covers"},
      {"file header checksum", [&](auto& b) { b[file + 16] += 1; }, "bad header checksum"},
      {"file state: data not valid", [&](auto& b) { b[file + 23] = 0xFC; }, "state byte 0xFC"},
      {"file state: deleted", [&](auto& b) { b[file + 23] = 0xE8; }, "state byte 0xE8"},
      {"file checksum byte", [&](auto& b) { b[file + 17] ^= 1; }, "file 1E825F10-D9B4-40FA-8C83-1512FBFFD0F3: bad file checksum"},
      {"image byte changed", [&](auto& b) { b[good.imageOffset + 100] ^= 1; }, "1E825F10-D9B4-40FA-8C83-1512FBFFD0F3: bad file checksum"},
      {"fixed checksum byte without the attribute",
       [&](auto& b) {
         b[file + 19] &= static_cast<uint8_t>(~fv::file::kAttribChecksum);
         FixFileHeaderChecksum(b, file);
       },
       "without the checksum attribute (should be 0xAA)"},
      {"file runs past the volume",
       [&](auto& b) {
         fv::Put(&b[file + 20], 3, b.size() - file + 8);
         FixFileHeaderChecksum(b, file);
       },
       "truncated"},
      {"file cut short inside a section",
       [&](auto& b) {
         fv::Put(&b[file + 20], 3, ui + 6 - file);
         Reseal(b, file);
       },
       "run past its file"},
      {"section runs past its file",
       [&](auto& b) {
         fv::Put(&b[ui], 3, 0x400);
         Reseal(b, file);
       },
       "run past its file"},
      {"section smaller than its header",
       [&](auto& b) {
         fv::Put(&b[ui], 3, 2);
         Reseal(b, file);
       },
       "below its header"},
      {"user interface text unterminated",
       [&](auto& b) {
         b[ui + 4 + 26] = 'x';
         Reseal(b, file);
       },
       "not a terminated UCS-2"},
      {"dependency expression without END",
       [&](auto& b) {
         b[peim.Find(fv::section::kPeiDepex)->dataOffset + 17] = fv::depex::kTrue;
         Reseal(b, file);
       },
       "no END"},
      {"data in the free space", [](auto& b) { b[b.size() - 1] = 0; }, "free space"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bad = good.fv;
    c.breakIt(bad);
    try {
      fv::ReadVolume(bad, "bad.fv");
      ADD_FAILURE() << "accepted";
    } catch (const fv::FvError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("bad.fv: at offset 0x", 0), 0u) << e.what();
    }
  }
}

TEST(FirmwareVolume, DependencyExpressionsEvaluateAgainstInstalledPpis) {
  const fv::Guid a = fv::HandlerPpi();
  fv::Guid b = a;
  b[15] ^= 0xFF;
  auto push = [](const fv::Guid& g) {
    std::vector<uint8_t> e{fv::depex::kPush};
    e.insert(e.end(), g.begin(), g.end());
    return e;
  };
  auto cat = [](std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> e;
    for (const auto& p : parts) e.insert(e.end(), p.begin(), p.end());
    return e;
  };
  using V = std::vector<uint8_t>;
  const V kEnd{fv::depex::kEnd}, kAnd{fv::depex::kAnd}, kOr{fv::depex::kOr}, kNot{fv::depex::kNot};
  const auto onlyA = [&](const fv::Guid& g) { return g == a; };
  struct Case {
    V expression;
    bool holds;
  };
  const Case cases[] = {
      {fv::DepexForAll(std::vector<fv::Guid>{}), true},
      {fv::DepexForAll(std::vector<fv::Guid>{a}), true},
      {fv::DepexForAll(std::vector<fv::Guid>{b}), false},
      {fv::DepexForAll(std::vector<fv::Guid>{a, b}), false},
      {cat({push(a), push(b), kOr, kEnd}), true},
      {cat({push(b), kNot, kEnd}), true},
      {cat({push(a), kNot, push(a), kAnd, kEnd}), false},
  };
  for (const Case& c : cases) EXPECT_EQ(fv::EvaluateDepex(c.expression, onlyA), c.holds) << fv::DepexText(c.expression);
  const V malformed[] = {
      {},                                  // nothing
      cat({push(a)}),                      // no END
      cat({push(a), kAnd, kEnd}),          // AND of one value
      cat({kNot, kEnd}),                   // NOT of nothing
      cat({push(a), push(a), kEnd}),       // two values left
      cat({push(a), kEnd, kEnd}),          // bytes after END
      V{0x00, 0x08},                       // BEFORE: not a PEI opcode
      V{fv::depex::kPush, 1, 2, 3},        // PUSH cut short
  };
  for (const V& e : malformed) EXPECT_THROW(fv::EvaluateDepex(e, onlyA), fv::FvError);
}

}  // namespace
