// QEMU's PC machine against the emulated machine: every scenario file runs on
// both, each with the scenario's own board, and every field of the run that
// both machines observe must be the same (qemu/host/CrossCheck.h says which
// fields QEMU's PC leaves out, and why). Scenarios QEMU's PC cannot run are
// listed as skipped with the reason. The whole blink cycle is compared in
// its own, longer test (label qemu-long).
// The boot ROM's volume checks and inserted modules are run on both too;
// the runner's pieces are tested without QEMU in qemu_pieces_test.cpp.
#include <fmt/format.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>

#include "qemu/host/CrossCheck.h"
#include "qemu/host/CrossCheckRun.h"
#include "emu/Run.h"
#include "run/Cycle.h"
#include "emu/InPlace.h"
#include "fv/Insert.h"
#include "fv/ModuleFile.h"
#include "qemu/host/QemuRun.h"
#include "qemu/host/ReportBlock.h"
#include "qemu/rom/RomFormat.h"
#include "tests/host64/TestImage.h"
#include "tests/host64/TestVolume.h"
#include "fv/Volume.h"

namespace {

namespace fs = std::filesystem;

template <typename T>
T At(const std::vector<uint8_t>& bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// The emulated machine runs the same volume in place, byte for byte what QEMU's ROM holds.
const emu::FlashImage& VolumeInPlace() {
  static const emu::FlashImage volume = emu::LoadVolume(SS_FV, SS_FV_BASE);
  return volume;
}

qemu::QemuOptions BuiltVolume() {
  qemu::QemuOptions options;
  options.volume = SS_FV;
  options.stub = SS_QEMU_BOOT_ROM;
  options.volumeBase = SS_FV_BASE;
  return options;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The boot ROM checks the volume as a PEI foundation does before it runs
// anything from it: one broken field each, and the module never runs.
TEST(QemuBootRom, RefusesAVolumeThatAPeiFoundationWouldRefuse) {
  const std::vector<uint8_t> good = ReadBytes(SS_FV);
  const fv::Volume volume = fv::ReadVolume(good, SS_FV);
  const auto peim =
      std::find_if(volume.files.begin(), volume.files.end(), [](const fv::File& f) { return f.type == 0x06; });
  ASSERT_NE(peim, volume.files.end());
  const fv::File& file = *peim;
  const fv::Section* depex = file.Find(0x1B);
  const fv::Section* image = file.Find(0x12) != nullptr ? file.Find(0x12) : file.Find(0x10);
  ASSERT_NE(depex, nullptr);
  ASSERT_NE(image, nullptr);
  const uint32_t imageBase = image->type == 0x12
                                 ? image->dataOffset + 16
                                 : image->dataOffset + At<uint32_t>(good, image->dataOffset + 0x3C) + 24 + 28;
  struct Case {
    const char* name;
    uint32_t offset;
    uint8_t flip;
    bool reseal;  // the file's checksums made right again after the change
    std::string refusal;
  };
  const std::string named = hostlib::GuidText(file.name);
  const Case cases[] = {
      {"volume header checksum", 50, 0x01, false, "firmware volume header checksum wrong"},
      {"file header checksum", file.offset + 16, 0x01, false, "file header checksum wrong at"},
      {"an image byte changed in flash", image->dataOffset + 0x100, 0x01, false,
       "file data checksum wrong at " + fmt::format("{:08X}", SS_FV_BASE + file.offset) + " file " + named},
      {"image not rebased to where it lies", imageBase + 1, 0x10, true, "not rebased to its place in flash"},
      {"dependency on a PPI nobody installs", depex->dataOffset + 1, 0xFF, true, "dependency expression does not hold"},
  };
  const scenario::Scenario scenario = scenario::ParseScenario(
      R"({"reports": [{"type": "0x01", "value": "0x03020002", "data": {"kind": "specific", "module": "PcdPei"}}]})",
      "inline.json");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> broken = good;
    broken[c.offset] ^= c.flip;
    if (c.reseal) fv::WriteFileHeader(&broken[file.offset], file.name, file.type, file.attributes, file.size);
    const std::string path = testing::TempDir() + "/broken_volume.fv";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(broken.data()), static_cast<std::streamsize>(broken.size()));
    qemu::QemuOptions options = BuiltVolume();
    options.volume = path;
    const qemu::QemuRunResult r = qemu::RunOnQemu(scenario, options);
    ASSERT_EQ(r.facts.problems.size(), 1u);
    EXPECT_NE(r.facts.problems[0].find(c.refusal), std::string::npos) << r.facts.problems[0];
    EXPECT_EQ(r.facts.exitCode, QemuRom::ExitNoModule * 2 + 1);
    EXPECT_FALSE(r.run.entry.status.has_value());
    EXPECT_TRUE(r.run.reports.empty());
  }
}

// ---- the cross-check ----

// Every scenario file under scenarios/, its folders included, by its path
// there without ".json" ("hostile/wild_pointers").
std::vector<std::string> ScenarioNames() {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(SS_SCENARIOS))
    if (e.is_regular_file() && e.path().extension() == ".json")
      names.push_back(fs::relative(e.path(), SS_SCENARIOS).replace_extension().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The PEIMs a foundation lists as it walks a volume: name, file address and
// verdict ("holds: dispatched", "holds: not run here", "does not hold: ...").
std::vector<std::string> PeimsFound(const std::vector<std::string>& dispatch) {
  static const std::regex line(R"(^PEIM (\S+)(?: \(.*\))? at (0x[0-9A-F]{8}): .*?((?:holds|does not hold): .*)$)");
  std::vector<std::string> found;
  for (const std::string& step : dispatch)
    if (std::smatch m; std::regex_match(step, m, line)) found.push_back(m[1].str() + " " + m[2].str() + " " + m[3].str());
  return found;
}

scenario::Scenario LoadNamed(const std::string& name) {
  return scenario::LoadScenario(std::string(SS_SCENARIOS) + "/" + name + ".json");
}

// The comparison itself, on two copies of one sinksim run: a change to one
// field is named as that field and no other, and the fields QEMU's PC cannot
// show for a board are left out only where the board or the run calls for it.
TEST(QemuCrossCheck, NamesTheOneFieldThatDiffersAndLeavesOutOnlyWhatQemuCannotShow) {
  const scenario::Scenario board = scenario::ParseScenario(R"({
    "platform": {"control_byte": "0x81", "host_bridge_dc": "0x10000000"},
    "reports": [
      {"type": "0x01", "value": "0x03020002", "data": {"kind": "specific", "module": "PcdPei"}},
      {"type": "0x80000002", "value": "0x03058002", "caller": "PcdPei"},
      {"type": "0x03", "value": "0x03020000", "data": {"kind": "debug", "format": "%a\n", "args": [{"string": "x"}]}}]})",
                                                     "inline.json");
  const qemu::SinksimSide sinksim = qemu::RunForCrossCheck(VolumeInPlace(), board);
  ASSERT_FALSE(sinksim.run.outputs.serial.empty());
  ASSERT_FALSE(sinksim.run.outputs.memoryLogText.empty());
  ASSERT_EQ(sinksim.run.stackHobs.size(), 1u);
  qemu::QemuRunResult same;
  same.run = sinksim.run;
  same.facts.hostBridgeDc = board.platform.hostBridgeDc;

  auto judge = [](const scenario::Scenario& s, const qemu::QemuRunResult& q, const qemu::SinksimSide& side) {
    std::vector<std::string> different, leftOut;
    for (const qemu::FieldCheck& f : qemu::CrossCheck(s, q, side)) {
      if (!f.difference.empty()) different.push_back(f.field);
      if (!f.leftOut.empty() && f.field.rfind("stats.", 0) != 0 && f.field != "image.intact")
        leftOut.push_back(f.field);
    }
    return std::make_pair(different, leftOut);
  };
  using Names = std::vector<std::string>;
  EXPECT_EQ(judge(board, same, sinksim), std::make_pair(Names{}, Names{}));

  struct Change {
    const char* field;
    std::function<void(run::RunResult&)> change;
  };
  const Change changes[] = {
      {"image.base", [](run::RunResult& r) { r.imageBase += 8; }},
      {"image.entry", [](run::RunResult& r) { r.entryPoint += 8; }},
      {"handlers", [](run::RunResult& r) { r.handlers.pop_back(); }},
      {"entry.status", [](run::RunResult& r) { r.entry.status = 0x8000000Eu; }},
      {"serial", [](run::RunResult& r) { r.outputs.serial[3] ^= 1; }},
      {"mmio_serial", [](run::RunResult& r) { r.outputs.mmioSerial = "x"; }},
      {"memory_log.header", [](run::RunResult& r) { ++r.outputs.memoryLogHeader; }},
      {"memory_log.text", [](run::RunResult& r) { r.outputs.memoryLogText.pop_back(); }},
      {"results", [](run::RunResult& r) { r.reports[1].calls[0].status = 0x8000000Eu; }},
      {"reports.postcodes", [](run::RunResult& r) { r.reports[0].calls[1].postcodes.push_back(1); }},
      {"postcodes", [](run::RunResult& r) { r.postcodes.back() ^= 1; }},
      {"postcode_writes", [](run::RunResult& r) { ++r.postcodeWrites; }},
      {"hob", [](run::RunResult& r) { ++r.stackHobs[0].second.depth; }},
      {"services.locate_ppi", [](run::RunResult& r) { ++r.services.locatePpi; }},
      {"services.register", [](run::RunResult& r) { ++r.services.registerCalls; }},
      {"services.create_hob", [](run::RunResult& r) { ++r.services.createHob; }},
      {"services.get_hob_list", [](run::RunResult& r) { ++r.services.getHobList; }},
      {"services.copy_mem", [](run::RunResult& r) { ++r.services.copyMem; }},
      {"services.unsupported", [](run::RunResult& r) { ++r.services.unsupported; }},
      {"services.locate_ppi_services", [](run::RunResult& r) { r.services.lastLocatePpiServices += 4; }},
      {"services.create_hob_services", [](run::RunResult& r) { r.services.lastCreateHobServices += 4; }},
      {"faults", [](run::RunResult& r) { r.faults.push_back({"processor exception 13", 0, 0, 0, 0, "entry", ""}); }},
  };
  for (const Change& c : changes) {
    SCOPED_TRACE(c.field);
    qemu::QemuRunResult q = same;
    c.change(q.run);
    EXPECT_EQ(judge(board, q, sinksim), std::make_pair(Names{c.field}, Names{}));
  }

  // What the board calls for.
  struct Board {
    const char* name;
    std::function<void(scenario::Scenario&, qemu::QemuRunResult&, qemu::SinksimSide&)> change;
    Names leftOut;
  };
  const Board boards[] = {
      {"a legacy port that drains slowly", [](scenario::Scenario& s, auto&, auto&) { s.platform.legacyDrainPace = 3; },
       {"serial"}},
      {"a memory-mapped controller that takes text",
       [](scenario::Scenario& s, auto&, auto&) { s.platform.mmioSerialPresent = true; }, {"mmio_serial"}},
      {"a memory-mapped controller that never gets ready",
       [](scenario::Scenario& s, auto&, auto&) {
         s.platform.mmioSerialPresent = true;
         s.platform.mmioStatus = scenario::MmioStatus::NeverReady;
       },
       {}},
      {"reads of memory nothing on the board holds",
       [](auto&, auto&, qemu::SinksimSide& side) { side.unansweredReads = 2; },
       {"serial", "memory_log.header", "memory_log.text"}},
      {"a host bridge that did not keep register 0xDC",
       [](auto&, qemu::QemuRunResult& q, auto&) { q.facts.hostBridgeDc = 0; }, {"memory_log.header", "memory_log.text"}},
  };
  for (const Board& b : boards) {
    SCOPED_TRACE(b.name);
    scenario::Scenario s = board;
    qemu::QemuRunResult q = same;
    qemu::SinksimSide side = sinksim;
    b.change(s, q, side);
    EXPECT_EQ(judge(s, q, side).second, b.leftOut);
  }
}

// A stopped call: compared whole when QEMU ran it as far as sinksim and read
// the board back; as far as QEMU got when it was let run a shorter look; and
// without what QEMU never read back when it could not.
TEST(QemuCrossCheck, ComparesAStoppedCallAsFarAsQemuRanIt) {
  const scenario::Scenario blink = LoadNamed("blink");
  const qemu::SinksimSide sinksim = qemu::RunForCrossCheck(VolumeInPlace(), blink);
  ASSERT_TRUE(sinksim.run.halt);
  auto differentAndLeftOut = [&](const qemu::QemuRunResult& q) {
    std::vector<std::string> different, leftOut;
    for (const qemu::FieldCheck& f : qemu::CrossCheck(blink, q, sinksim)) {
      if (!f.difference.empty()) different.push_back(f.field);
      if (!f.leftOut.empty() && f.field.rfind("stats.", 0) != 0 && f.field != "image.intact")
        leftOut.push_back(f.field);
    }
    return std::make_pair(different, leftOut);
  };
  using Names = std::vector<std::string>;
  qemu::QemuRunResult whole;
  whole.run = sinksim.run;
  whole.facts.hostBridgeDc = blink.platform.hostBridgeDc;
  whole.facts.stateReadBack = true;
  EXPECT_EQ(differentAndLeftOut(whole), std::make_pair(Names{}, Names{}));

  // The first 1000 writes: one run of the cycle's first word so far.
  auto look = [&](uint16_t word) {
    qemu::QemuRunResult q = whole;
    q.run.halt->cycle.clear();
    q.run.halt->portWrites = 1000;
    q.run.postcodeWrites -= sinksim.run.halt->portWrites - 1000;
    std::vector<uint16_t>& stopped = q.run.reports.back().calls.back().postcodes;
    q.run.postcodes.resize(q.run.postcodes.size() - stopped.size());
    stopped = {word};
    q.run.postcodes.push_back(word);
    return q;
  };
  const Names shortLook{"halted.cycle", "halted.port_writes"};
  EXPECT_EQ(differentAndLeftOut(look(sinksim.run.halt->cycle.front().word)), std::make_pair(Names{}, shortLook));
  EXPECT_EQ(differentAndLeftOut(look(sinksim.run.halt->cycle.front().word ^ 1)),
            std::make_pair(Names{"reports.postcodes"}, shortLook));

  qemu::QemuRunResult notReadBack = whole;
  notReadBack.facts.stateReadBack = false;
  EXPECT_EQ(differentAndLeftOut(notReadBack).second,
            (Names{"memory_log.header", "memory_log.text", "hob", "services.locate_ppi", "services.register",
                   "services.create_hob", "services.get_hob_list", "services.copy_mem", "services.unsupported",
                   "services.locate_ppi_services", "services.create_hob_services"}));
}

// A blink loop is looked at for this many port 0x80 writes on QEMU in the
// ordinary cross-check (its trace shows about 170,000 a second): the words so
// far must be sinksim's first. QemuWholeBlinkCycle compares whole cycles.
constexpr uint64_t kShortLookWrites = 200000;

// Runs the scenario on sinksim and on QEMU, both with the scenario's own
// board, and expects every field both observe to be the same. Prints the
// fields left out with their reasons; answers how many were compared.
size_t ExpectSameOnBoth(const scenario::Scenario& scenario, const std::string& volumePath = SS_FV,
                        uint32_t volumeBase = SS_FV_BASE, bool wholeBlinkCycle = false) {
  const emu::FlashImage inPlace =
      volumePath == SS_FV ? VolumeInPlace() : emu::LoadVolume(volumePath, volumeBase);
  const qemu::SinksimSide onSinksim = qemu::RunForCrossCheck(inPlace, scenario);
  qemu::QemuOptions options = BuiltVolume();
  options.volume = volumePath;
  options.volumeBase = volumeBase;
  options.timeLimitSeconds = wholeBlinkCycle ? 600 : 60;
  if (!wholeBlinkCycle) options.blinkWrites = kShortLookWrites;
  const qemu::QemuRunResult onQemu = qemu::RunOnQemu(scenario, options);
  EXPECT_TRUE(onQemu.facts.problems.empty()) << onQemu.facts.problems.front();
  EXPECT_FALSE(onQemu.facts.timedOut) << "QEMU ran into its time limit";

  // The same volume at the same flash base: both foundations find the same PEIMs.
  EXPECT_EQ(PeimsFound(onQemu.run.dispatch), PeimsFound(onSinksim.run.dispatch));
  EXPECT_FALSE(PeimsFound(onSinksim.run.dispatch).empty());

  size_t compared = 0;
  std::string leftOut;
  for (const qemu::FieldCheck& f : qemu::CrossCheck(scenario, onQemu, onSinksim)) {
    if (!f.leftOut.empty()) {
      leftOut += "  " + f.field + ": " + f.leftOut + "\n";
      continue;
    }
    ++compared;
    EXPECT_EQ(f.difference, "") << f.field << " differs";
  }
  std::cout << scenario.path << ": " << compared << " fields compared; left out:\n" << leftOut;
  return compared;
}

class QemuAgainstSinksim : public testing::TestWithParam<std::string> {};

TEST_P(QemuAgainstSinksim, AgreeInEveryFieldBothMachinesObserve) {
  const scenario::Scenario scenario = LoadNamed(GetParam());
  if (const std::optional<std::string> why = qemu::NotRepresentable(scenario))
    GTEST_SKIP() << "QEMU's PC cannot run it: " << *why;
  ExpectSameOnBoth(scenario);
}

// The build packs a TE image by default; the boot ROM finds and enters a
// PE32 image section as well.
TEST(QemuAgainstSinksimFormats, RunAPe32VolumeAlike) {
  const fv::Packed packed =
      fv::Pack(fv::ReadPeFile(SS_IMAGE), fv::ModulePackOptions(SS_FV_BASE, fv::ImageFormat::Pe32));
  const std::string path = testing::TempDir() + "/pe32_volume.fv";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(packed.fv.data()), static_cast<std::streamsize>(packed.fv.size()));
  ExpectSameOnBoth(LoadNamed("report_kinds"), path);
}

// What UEFIExtract (a parser written elsewhere) says about a file: every
// message it prints but the one every volume without a reset vector draws,
// and its report.
struct ReadElsewhere {
  std::vector<std::string> messages;
  std::string report;
};
ReadElsewhere UefiExtract(const std::string& path) {
  ReadElsewhere r;
  const fs::path dir = fs::path(path).parent_path();
  const std::string command = "cd '" + dir.string() + "' && '" SS_UEFIEXTRACT "' '" + path + "' report 2>&1";
  FILE* out = popen(command.c_str(), "r");
  char line[512];
  while (out != nullptr && std::fgets(line, sizeof line, out) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (!text.empty() && text != "parse: not a single Volume Top File is found, the image may be corrupted")
      r.messages.push_back(text);
  }
  if (out == nullptr || pclose(out) != 0) r.messages.push_back("UEFIExtract did not run to its end");
  std::ifstream in(path + ".report.txt");
  r.report.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return r;
}

// The module added by fvpack's insert to volumes another build left: behind
// the 4 KiB pad file of a three-file volume (a raw file, a PEIM with its own
// made-up image and a dependency expression that does not hold, the pad
// file), into the larger pad file between the files of another volume (with
// a PEIM whose expression holds), and into that volume at an offset inside a
// whole flash image that ends at 4 GiB. Each runs alike on both machines,
// which find the same PEIMs, and UEFIExtract reads each clean.
TEST(InsertedModule, RunsAlikeOnBothMachinesWhereverItLands) {
  const fv::PeFile pe = fv::ReadPeFile(SS_IMAGE);
  const std::vector<uint8_t> otherImage = test::MakeImage(test::kReadOwnData, 0x1001);
  test::VolumeBuilder threeFiles(0x8000);
  threeFiles.Add(test::Name(1), fv::file::kTypeRaw, std::vector<uint8_t>(100, 0x5A));
  threeFiles.AddPeim(test::Name(2), fv::DepexForAll(std::vector<fv::Guid>{test::Name(9)}), otherImage, "OtherPei");
  const uint32_t pad = threeFiles.AddPad(0x1000);
  test::VolumeBuilder padded(0x10000);
  padded.Add(test::Name(3), fv::file::kTypeRaw, std::vector<uint8_t>(24, 0xA5));
  const uint32_t largePad = padded.AddPad(0x5000);
  padded.AddPeim(test::Name(4), fv::DepexForAll(std::vector<fv::Guid>{}), otherImage, "EarlyPei");
  std::vector<uint8_t> flash(0x40000, 0xFF);
  std::copy(padded.bytes.begin(), padded.bytes.end(), flash.begin() + 0x10000);

  struct Case {
    const char* name;
    std::vector<uint8_t> into;
    uint64_t volumeOffset;
    uint32_t flashBase;
    fv::ImageFormat format;
    uint32_t roomStart;  // the module's file lands at or after this volume offset
    fv::Guid otherPeim;
  };
  const Case cases[] = {
      {"behind the 4 KiB pad file", threeFiles.bytes, 0, 0xFFF83000u, fv::ImageFormat::Te, pad + 0x1000, test::Name(2)},
      {"into a larger pad file", padded.bytes, 0, 0xFFF80000u, fv::ImageFormat::Te, largePad, test::Name(4)},
      {"into a volume inside a flash image", flash, 0x10000, static_cast<uint32_t>(0x100000000ull - flash.size()),
       fv::ImageFormat::Pe32, largePad, test::Name(4)},
  };
  const scenario::Scenario scenario = LoadNamed("report_kinds");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fv::InsertOptions options;
    options.file = fv::ModulePackOptions(0, c.format);
    options.volumeOffset = c.volumeOffset;
    options.flashBase = c.flashBase;
    const fv::Inserted done = fv::Insert(c.into, pe, options, "into");
    EXPECT_GE(done.fileOffset, c.roomStart);
    EXPECT_LT(done.fileOffset, c.roomStart + 0x1000);
    const std::vector<uint8_t> volume(done.flash.begin() + static_cast<std::ptrdiff_t>(c.volumeOffset),
                                      done.flash.begin() + static_cast<std::ptrdiff_t>(c.volumeOffset + done.volumeBytes));
    const std::string path = testing::TempDir() + "/" + std::to_string(getpid()) + "-inserted.fv";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(volume.data()), static_cast<std::streamsize>(volume.size()));
    ExpectSameOnBoth(scenario, path, done.volumeBase);

    const std::string whole = testing::TempDir() + "/" + std::to_string(getpid()) + "-inserted.bin";
    std::ofstream(whole, std::ios::binary)
        .write(reinterpret_cast<const char*>(done.flash.data()), static_cast<std::streamsize>(done.flash.size()));
    const ReadElsewhere read = UefiExtract(whole);
    EXPECT_TRUE(read.messages.empty()) << read.messages.front();
    EXPECT_NE(read.report.find("1E825F10-D9B4-40FA-8C83-1512FBFFD0F3"), std::string::npos) << read.report;
    EXPECT_NE(read.report.find(hostlib::GuidText(c.otherPeim)), std::string::npos) << read.report;
    for (const std::string& made : {path, whole, whole + ".report.txt"}) std::remove(made.c_str());
  }
}

// The boot ROM's PEI services against the emulated machine's: each failure
// switch, the interrupt flag, and what a new HOB holds, with the module's
// answers to them compared on both machines.
TEST(QemuAgainstSinksimFoundation, AnswerTheModuleAlikeWhenServicesFail) {
  const char* const reports = R"("reports": [
      {"type": "0x01", "value": "0x03020002", "data": {"kind": "specific", "module": "PcdPei"}},
      {"type": "0x03", "value": "0x03020000", "data": {"kind": "string", "text": "between"}},
      {"type": "0x01", "value": "0x03020003", "data": {"kind": "specific", "module": "PcdPei"}}])";
  const char* const platforms[] = {
      R"({"control_byte": "0x80", "fail": {"locate_ppi": true}})",
      R"({"control_byte": "0x80", "fail": {"null_ppi": true}})",
      R"({"control_byte": "0x80", "fail": {"register": [0]}})",
      R"({"control_byte": "0x80", "fail": {"register": [1]}})",
      R"({"control_byte": "0x80", "fail": {"create_hob": true}})",
      R"({"control_byte": "0x80", "fail": {"get_hob_list": true}})",
      R"({"control_byte": "0x80", "fail": {"null_hob_list": true}})",
      R"({"control_byte": "0x80", "new_hob_fill": "0xA5", "interrupts": "disabled"})",
      R"({"control_byte": "0x81", "host_bridge_dc": "0x10000000", "memory_log_header": "0x0003FFF8"})",
  };
  for (const char* platform : platforms) {
    SCOPED_TRACE(platform);
    ExpectSameOnBoth(
        scenario::ParseScenario(std::string("{\"platform\": ") + platform + ", " + reports + "}", "inline.json"));
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, QemuAgainstSinksim, testing::ValuesIn(ScenarioNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                           return name;
                         });

// Every scenario that blinks, run on QEMU until its call has written port
// 0x80 as often as sinksim lets it (the scenario's limits.blink_writes, a
// whole cycle and the write that starts the next): the same cycle, word for
// word and count for count, the same writes, the same words in the same
// runs. QEMU's trace takes about 25 s a cycle; this test has its own label.
TEST(QemuWholeBlinkCycle, EveryBlinkingScenarioShowsTheSameCycleOnBothMachines) {
  size_t blinking = 0;
  for (const std::string& name : ScenarioNames()) {
    const scenario::Scenario scenario = LoadNamed(name);
    if (qemu::NotRepresentable(scenario)) continue;
    const run::RunResult quick = emu::RunScenario(VolumeInPlace(), scenario);
    if (!quick.halt || quick.halt->reason != "blink loop") continue;
    SCOPED_TRACE(name);
    ++blinking;
    ExpectSameOnBoth(scenario, SS_FV, SS_FV_BASE, true);
  }
  EXPECT_GE(blinking, 1u) << "no scenario blinks: the whole cycle was never compared";
}

}  // namespace
