// Running what ships: the build's volume on the emulated machine in place,
// against the bare image relocated by the loader; volumes the foundation
// must not dispatch; the memory log read back from a dump of its window; the
// POST code decoder.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "emu/InPlace.h"
#include "emu/LogDump.h"
#include "fv/ModuleFile.h"
#include "emu/PostCodeDecode.h"
#include "tests/host64/SystemHarness.h"
#include "tests/host64/TestImage.h"
#include "tests/host64/TestVolume.h"

namespace {

constexpr uint32_t kBase = SS_FV_BASE;

std::vector<uint8_t> BuiltVolume() {
  std::ifstream in(SS_FV, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(InPlace, DefaultScenarioFromTheVolumeMatchesTheRelocatedImage) {
  const scenario::Scenario scenario = scenario::LoadScenario(std::string(SS_SCENARIOS) + "/boot.json");
  const emu::FlashImage volume = emu::LoadVolume(SS_FV, kBase);
  const run::RunResult inPlace = emu::RunScenario(volume, scenario);
  const run::RunResult relocated = emu::RunScenario(test::Image(), scenario);

  EXPECT_EQ(inPlace.relocations, 0u);
  EXPECT_GT(relocated.relocations, 0u);
  EXPECT_TRUE(inPlace.faults.empty());
  EXPECT_TRUE(inPlace.imageIntact);
  // The entry lies in the volume's flash and the module was handed its own file.
  EXPECT_GE(inPlace.entryPoint, kBase);
  EXPECT_LT(inPlace.entryPoint, kBase + volume.flash.size());
  EXPECT_EQ(volume.fileHandle - kBase, fv::ReadVolume(volume.flash, "fv").files.back().offset);
  ASSERT_EQ(inPlace.handlers.size(), 2u);
  for (size_t h = 0; h < 2; ++h)
    EXPECT_EQ(inPlace.handlers[h] - inPlace.imageBase, relocated.handlers[h] - relocated.imageBase);

  EXPECT_EQ(inPlace.outputs.serial, relocated.outputs.serial);
  EXPECT_EQ(inPlace.outputs.mmioSerial, relocated.outputs.mmioSerial);
  EXPECT_EQ(inPlace.outputs.memoryLogText, relocated.outputs.memoryLogText);
  EXPECT_EQ(inPlace.outputs.memoryLogHeader, relocated.outputs.memoryLogHeader);
  EXPECT_EQ(inPlace.postcodes, relocated.postcodes);
  EXPECT_EQ(inPlace.instructions, relocated.instructions);
  EXPECT_EQ(inPlace.maxStackBytes, relocated.maxStackBytes);
  ASSERT_EQ(inPlace.reports.size(), relocated.reports.size());
  for (size_t i = 0; i < inPlace.reports.size(); ++i)
    EXPECT_EQ(test::Statuses(inPlace.reports[i]), test::Statuses(relocated.reports[i])) << "report " << i;
}

TEST(InPlace, VolumesThatMustNotRunAreRefusedWithTheReason) {
  const fv::PeFile pe = fv::ReadPeFile(SS_IMAGE);
  fv::PackOptions otherPpi = fv::ModulePackOptions(kBase, fv::ImageFormat::Te);
  otherPpi.depexPpis[0][0] ^= 0xFF;
  // A volume one block larger than it needs, so that its free space has room
  // past a file header's size whatever the image's size; then a stray byte
  // at its end.
  fv::PackOptions roomy = fv::ModulePackOptions(kBase, fv::ImageFormat::Te);
  roomy.volumeSize = static_cast<uint32_t>(BuiltVolume().size()) + 0x1000;
  std::vector<uint8_t> broken = fv::Pack(pe, roomy).fv;
  broken[broken.size() - 1] = 0;  // data in the free space
  const fv::Packed built = fv::Pack(pe, fv::ModulePackOptions(kBase, fv::ImageFormat::Te));
  std::vector<uint8_t> changed = built.fv;
  changed[built.imageOffset + 0x100] ^= 0x01;  // one image byte changed in flash
  // The build's firmware file as an integrator might add it to a volume of
  // theirs: behind a 4 KiB pad file, not where it was rebased for.
  test::VolumeBuilder moved(0x4000);
  moved.AddPad(0x1000);
  const uint32_t movedAt = moved.Add(fv::kModuleFileName, fv::file::kTypePeim,
                                     std::vector<uint8_t>(built.ffs.begin() + 24, built.ffs.end()));
  moved.bytes[movedAt + 19] = built.ffs[19];  // its own attributes (data alignment), resealed
  fv::WriteFileHeader(&moved.bytes[movedAt], fv::kModuleFileName, fv::file::kTypePeim, built.ffs[19],
                      static_cast<uint32_t>(built.ffs.size()));
  test::VolumeBuilder noModule(0x4000);
  noModule.AddPeim(test::Name(1), fv::DepexForAll(std::vector<fv::Guid>{}), test::MakeImage(test::kReadOwnData, 0x1001),
                   "OtherPei");
  test::VolumeBuilder rawModule(0x1000);
  rawModule.Add(fv::kModuleFileName, fv::file::kTypeRaw, {1, 2, 3});
  const uint32_t elsewhere = kBase == 0xFF800000u ? 0xFFFE0000u : 0xFF800000u;
  auto hex = [](uint32_t v) {
    char t[16];
    std::snprintf(t, sizeof t, "0x%08X", v);
    return std::string(t);
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> volume;
    uint32_t mappedAt;
    std::string message;
  };
  const Case cases[] = {
      {"dependency does not hold", fv::Pack(pe, otherPpi).fv, kBase, "is not dispatched: its dependency expression"},
      {"built for another base", BuiltVolume(), kBase - 0x10000,
       "if the whole volume was packed for " + hex(kBase) + ", map it there (--fv-base " + hex(kBase) + ")"},
      {"PE32 built for another base", fv::Pack(pe, fv::ModulePackOptions(elsewhere, fv::ImageFormat::Pe32)).fv,
       kBase, "if the whole volume was packed for " + hex(elsewhere)},
      {"the firmware file moved into another volume", moved.bytes, kBase,
       "(StatusSinkPei): the image lies at " + hex(kBase + movedAt + static_cast<uint32_t>(built.imageOffset - built.fileOffset) - 200) +
           " but was rebased for " + hex(built.imageBase) +
           ", and nothing relocates an image that runs in place: the file was moved after it was packed"},
      {"an image byte changed in flash", changed, kBase, "file 1E825F10-D9B4-40FA-8C83-1512FBFFD0F3: bad file checksum"},
      {"broken volume", broken, kBase, "free space"},
      {"no module", noModule.bytes, kBase,
       "holds no PEIM named 1E825F10-D9B4-40FA-8C83-1512FBFFD0F3 (StatusSinkPei); its PEIMs: PEIM " +
           hostlib::GuidText(test::Name(1)) + " (OtherPei)"},
      {"the module's name on a raw file", rawModule.bytes, kBase, "is not a PEIM (type 0x00000001)"},
      // Where the machines keep their own things, no volume is mapped: refused before any machine exists.
      {"mapped over the PEI core page", BuiltVolume(), 0xFFFF0000u - 0x1000u, "lies outside the flash both machines map"},
      {"mapped below temporary RAM's end", BuiltVolume(), 0xFEF00000u, "lies outside the flash both machines map"},
      {"not on a page", BuiltVolume(), kBase + 0x10, "is not whole 4 KiB pages"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      emu::PlaceVolume(c.volume, "test.fv", c.mappedAt);
      ADD_FAILURE() << "accepted";
    } catch (const emu::ImageError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

std::vector<uint8_t> Window(uint32_t header, const std::string& at4, const std::string& atOffset = "") {
  std::vector<uint8_t> w(0x10000, 0);
  fv::Put(w.data(), 4, header);
  std::copy(at4.begin(), at4.end(), w.begin() + 4);
  std::copy(atOffset.begin(), atOffset.end(), w.begin() + (header & 0xFFFF));
  return w;
}

TEST(MemoryLogDump, DecodesHeaderTextAndLossOrWarns) {
  struct Case {
    const char* name;
    std::vector<uint8_t> window;
    std::string text;  // prefix and suffix of the text, oldest first
    uint64_t written, lost;
    bool corrupt;
    const char* warning;  // "" for none
  };
  std::vector<uint8_t> full = Window(0x00010000, std::string(0xFFFC, 'a'));
  std::vector<uint8_t> wrapped = Window(0x00030008, "new!", "old");
  const Case cases[] = {
      {"never written", Window(0, ""), "", 0, 0, false, "nothing has been written"},
      {"three bytes", Window(7, "abc"), "abc", 3, 0, false, ""},
      {"filled exactly to the end", full, std::string(0xFFFC, 'a'), 65532, 0, false, ""},
      {"third time round", wrapped, "old", 3 * 65532 + 4, 2 * 65532 + 4, false, "NUL bytes"},
      {"offset inside the header", Window(0x00000002, "xy"), "", 0, 0, true, "corrupt header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const emu::LogDump d = emu::DecodeLogWindow(c.window);
    EXPECT_EQ(d.text.substr(0, c.text.size()), c.text);
    EXPECT_EQ(d.written, c.written);
    EXPECT_EQ(d.lost, c.lost);
    EXPECT_EQ(d.corrupt, c.corrupt);
    if (*c.warning == 0) {
      EXPECT_TRUE(d.warnings.empty()) << d.warnings.front();
    } else {
      ASSERT_FALSE(d.warnings.empty());
      EXPECT_NE(d.warnings.front().find(c.warning), std::string::npos) << d.warnings.front();
    }
  }
  // After a wrap the text runs from the offset to the end, then from 0x70004: newest last.
  const emu::LogDump d = emu::DecodeLogWindow(wrapped);
  EXPECT_EQ(d.text.size(), 65532u);
  EXPECT_EQ(d.text.substr(d.text.size() - 4), "new!");
  EXPECT_THROW(emu::DecodeLogWindow(std::vector<uint8_t>(100)), std::invalid_argument);
}

TEST(PostCodeDecoder, NamesEveryCodeTheModuleWritesAndSaysWhyOthersAreNot) {
  struct Case {
    uint32_t code;
    bool written;
    std::vector<std::string> parts;  // each must appear in the first line
  };
  const Case cases[] = {
      {0xF2, true, {"status code value 0x03028001"}},
      {0xFC, true, {"status code value 0x03021001"}},
      {0x0184, true, {"base code 0x84 begins", "one of 8 modules"}},
      {0x0221, true, {"base code 0x21 ends"}},
      {0x0C2A, true, {"base code 0x2A nested level begins"}},
      // The blink loop writes its code rotated a byte at a time: 0184, 8400, 0000, 0001.
      {0x8400, true, {"word 2 of the blink cycle", "0x0184, 0x0284 or 0x0C84"}},
      {0x0000, true, {"word 3 of every blink cycle"}},
      {0x0002, true, {"word 4 of the blink cycle", "codes 0x02XX"}},
      {0x000C, true, {"word 4 of the blink cycle", "codes 0x0CXX"}},
      {0x0300, false, {"not flags the module sets"}},
      {0xFFFF, false, {"not flags the module sets"}},
      {0x0021, false, {"base code of", "written only with a flag"}},
      {0x12345, false, {"wider than a 16-bit"}},
      {0x00EE, false, {}},
  };
  for (const Case& c : cases) {
    const emu::PostCodeMeaning m = emu::DecodePostCode(c.code);
    EXPECT_EQ(m.written, c.written) << std::hex << c.code;
    ASSERT_EQ(m.lines.empty(), c.parts.empty()) << std::hex << c.code;
    for (const std::string& part : c.parts) EXPECT_NE(m.lines[0].find(part), std::string::npos) << m.lines[0];
  }
  // Every module of a shared base code is named.
  const std::string line = emu::DecodePostCode(0x0184).lines.at(0);
  for (std::string_view name : scenario::ModulesWithBaseCode(0x84)) EXPECT_NE(line.find(name), std::string::npos) << name;
}

}  // namespace
