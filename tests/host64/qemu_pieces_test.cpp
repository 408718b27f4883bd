// The pieces of the QEMU runner that a fault would hide in, each without
// starting QEMU: the report block, the ROM layout, and reading POST codes
// and blink cycles from the trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "emu/InPlace.h"
#include "emu/Run.h"
#include "fv/ModuleFile.h"
#include "fv/Volume.h"
#include "qemu/host/QemuRun.h"
#include "qemu/host/ReportBlock.h"
#include "qemu/host/Trace.h"
#include "qemu/rom/RomFormat.h"
#include "run/Cycle.h"
#include "tests/host64/TestImage.h"
#include "tests/host64/TestVolume.h"

namespace {

namespace fs = std::filesystem;

template <typename T>
T At(const std::vector<uint8_t>& bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

TEST(QemuReportBlock, CarriesEveryReportWithItsDataRecordLaidOutAsTheEmulatorLaysItOut) {
  const scenario::Scenario s = scenario::ParseScenario(R"({
    "platform": {"cmos": {"0x5C": "0x91", "0x40": 7}, "memory_log_header": "0x00020010", "host_bridge_dc": "0x10000000",
                 "pci_address_register": "0x8000F8F0", "interrupts": "disabled", "new_hob_fill": "0xAB",
                 "fail": {"register": [1], "create_hob": true}},
    "reports": [
      {"type": "0x80000002", "value": "0x03058002", "instance": 3, "caller": "PcdPei"},
      {"type": "0x03", "value": "0x03020000", "data": {"kind": "debug", "format": "%a %d", "args": [{"string": "x"}, 5]},
       "repeat": 7},
      {"type": "0x01", "value": "0x03020002", "data": {"kind": "specific", "module": "PcdPei"}}
    ]})",
                                                 "inline.json");
  const std::vector<uint8_t> block = qemu::CompileReportBlock(s);
  const auto header = At<QemuRom::ReportBlockHeader>(block, 0);
  EXPECT_EQ(header.Signature, QemuRom::ReportBlockSignature);
  EXPECT_EQ(header.Length, block.size());
  EXPECT_EQ(header.ReportCount, 3u);
  EXPECT_EQ(header.Switches, QemuRom::SwitchFailCreateHob);  // interrupts disabled, the rest not failing
  EXPECT_EQ(header.FailRegisterMask, 2u);
  EXPECT_EQ(header.MemoryLogHeader, 0x00020010u);
  EXPECT_EQ(header.PciAddressRegister, 0x8000F8F0u);
  EXPECT_EQ(header.NewHobFill, 0xABu);
  EXPECT_EQ(header.HostBridgeDc, 0x10000000u);
  ASSERT_EQ(header.CmosCount, 2u);
  const size_t cmos = sizeof header;
  EXPECT_EQ(block[cmos], 0x40);  // CMOS entries in offset order
  EXPECT_EQ(block[cmos + 1], 7);
  EXPECT_EQ(block[cmos + 2], 0x5C);
  EXPECT_EQ(block[cmos + 3], 0x91);

  size_t at = cmos + 4;
  for (size_t i = 0; i < s.reports.size(); ++i) {
    SCOPED_TRACE("report " + std::to_string(i));
    const scenario::Report& r = s.reports[i];
    const auto entry = At<QemuRom::ReportEntry>(block, at);
    EXPECT_EQ(entry.Repeat, r.repeat);
    EXPECT_EQ(entry.Type, r.type);
    EXPECT_EQ(entry.Value, r.value);
    EXPECT_EQ(entry.Instance, r.instance);
    EXPECT_EQ(entry.CallerAddress, r.caller ? scenario::kReportDataAddress - 16 : 0u);
    if (r.caller) {
      EXPECT_EQ(0, std::memcmp(entry.CallerGuid, r.caller->data(), 16));
    }
    const std::vector<uint8_t> data(block.begin() + static_cast<std::ptrdiff_t>(at + sizeof entry),
                                    block.begin() + static_cast<std::ptrdiff_t>(at + sizeof entry + entry.DataLength));
    EXPECT_EQ(entry.DataAddress, r.data ? scenario::kReportDataAddress : 0u);
    EXPECT_EQ(data, r.data ? r.data->Placed(scenario::kReportDataAddress) : std::vector<uint8_t>{});
    EXPECT_EQ(entry.Length % 4, 0u);
    at += entry.Length;
  }
  EXPECT_EQ(at, block.size());

  scenario::Scenario tooMany = s;
  tooMany.platform.pei.failRegisterCalls = {32};
  EXPECT_THROW(qemu::CompileReportBlock(tooMany), scenario::ScenarioError);
}

// The boot ROM places every record in its report area and holds each
// report as an entry, however often it repeats: a pointer given as an
// address, or more reports than the ROM can hold, is refused before anything
// is built.
TEST(QemuReportBlock, RefusesGivenPointersAndMoreReportsThanTheRomHolds) {
  for (const char* report : {R"({"type": 3, "value": 0, "data_address": "0x12345678"})",
                             R"({"type": 3, "value": 0, "caller_address": "0x12345678"})"}) {
    const scenario::Scenario s = scenario::ParseScenario(std::string(R"({"reports": [)") + report + "]}", "inline.json");
    EXPECT_TRUE(qemu::NotRepresentable(s)) << report;
    EXPECT_THROW(qemu::CompileReportBlock(s), scenario::ScenarioError) << report;
  }
  const scenario::Scenario repeated =
      scenario::ParseScenario(R"({"reports": [{"type": 1, "value": 1, "repeat": 10000000}]})", "inline.json");
  EXPECT_LT(qemu::CompileReportBlock(repeated).size(), 1024u);
  std::string reports;
  for (int i = 0; i < 3000; ++i) reports += std::string(i ? "," : "") + R"({"type": 1, "value": )" + std::to_string(i) + "}";
  const scenario::Scenario many = scenario::ParseScenario(R"({"reports": [)" + reports + "]}", "inline.json");
  try {
    qemu::CompileReportBlock(many);
    ADD_FAILURE() << "accepted";
  } catch (const scenario::ScenarioError& e) {
    EXPECT_NE(std::string(e.what()).find("3000 reports do not fit in the QEMU boot ROM"), std::string::npos) << e.what();
  }
}

TEST(QemuRom, PutsTheVolumeFirstTheReportsAfterItAndTheBootCodeAtTheTop) {
  std::vector<uint8_t> volume(0x3010, 0x11);
  std::memcpy(volume.data() + 40, "_FVH", 4);
  const uint32_t fvLength = 0x3008;  // shorter than the file: the block goes after the file
  std::memcpy(volume.data() + 32, &fvLength, 4);
  const std::vector<uint8_t> block(100, 0x22), stub(QemuRom::StubSize - 3, 0x33);
  const std::vector<uint8_t> rom = qemu::BuildRom(volume, block, stub, 0xFFFE0000u);
  ASSERT_EQ(rom.size(), 0x20000u);
  EXPECT_TRUE(std::equal(volume.begin(), volume.end(), rom.begin()));
  EXPECT_EQ(rom[0x3010], 0x22);
  EXPECT_EQ(rom[0x3010 + 99], 0x22);
  EXPECT_EQ(rom[0x3010 + 100], 0xFF);
  const size_t stubAt = 0x20000 - QemuRom::StubSize;
  EXPECT_EQ(rom[stubAt], 0x33);
  EXPECT_EQ(rom[0x20000 - 4], 0x33);
  EXPECT_EQ(rom.back(), 0xFF);
  const auto directory = At<QemuRom::RomDirectory>(rom, stubAt - sizeof(QemuRom::RomDirectory));
  EXPECT_EQ(directory.Signature, QemuRom::RomDirectorySignature);
  EXPECT_EQ(directory.VolumeBase, 0xFFFE0000u);
  EXPECT_EQ(directory.ReportBlock, 0xFFFE3010u);

  EXPECT_TRUE(std::equal(fv::kModuleFileName.begin(), fv::kModuleFileName.end(), directory.ModuleName));
  // A volume on a 4 KiB page inside a 64 KiB block: the ROM starts at the block, erased before the volume.
  const std::vector<uint8_t> onAPage = qemu::BuildRom(volume, block, stub, 0xFFFE3000u);
  ASSERT_EQ(onAPage.size(), 0x20000u);
  EXPECT_TRUE(std::all_of(onAPage.begin(), onAPage.begin() + 0x3000, [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(volume.begin(), volume.end(), onAPage.begin() + 0x3000));
  const auto moved = At<QemuRom::RomDirectory>(onAPage, stubAt - sizeof(QemuRom::RomDirectory));
  EXPECT_EQ(moved.VolumeBase, 0xFFFE3000u);
  EXPECT_EQ(moved.ReportBlock, 0xFFFE6010u);

  const std::vector<uint8_t> tooLarge(0x20000 - QemuRom::StubSize - 0x3010 - 15, 0);
  EXPECT_THROW(qemu::BuildRom(volume, tooLarge, stub, 0xFFFE0000u), qemu::QemuError);
  EXPECT_THROW(qemu::BuildRom(std::vector<uint8_t>(64, 0), block, stub, 0xFFFE0000u), qemu::QemuError);
}

TEST(QemuTrace, JoinsTheTwoByteWritesOfAPortWriteIntoOneWord) {
  qemu::PostCodeTrace t;
  EXPECT_EQ(t.Byte(0, 0x34), std::nullopt);
  EXPECT_EQ(t.Byte(1, 0x01), std::optional<uint16_t>(0x0134));
  EXPECT_EQ(t.Byte(0, 0x21), std::nullopt);
  EXPECT_EQ(t.Byte(0, 0x22), std::optional<uint16_t>(0x0021));  // an 8-bit write, then the next one starts
  EXPECT_EQ(t.Flush(), std::optional<uint16_t>(0x0022));
  EXPECT_EQ(t.Byte(1, 0x05), std::nullopt);  // port 0x81 alone is not a POST code
  EXPECT_EQ(t.Flush(), std::nullopt);
  EXPECT_EQ(t.Byte(0, 0x84), std::nullopt);
  t.Drop();  // the trace was cut between the two bytes of a write
  EXPECT_EQ(t.Flush(), std::nullopt);
}

// One description of a blink cycle for every machine: the words the module
// writes in turn, each with its count, once a whole cycle and the first
// write of the next were seen.
TEST(BlinkCycle, IsTheWordsInTurnWithTheirCountsOnceAWholeCycleAndTheNextStartAreSeen) {
  using Runs = std::vector<std::pair<uint16_t, uint64_t>>;
  using Steps = std::vector<run::CycleStep>;
  const uint64_t u = 983040;
  struct Case {
    const char* name;
    Runs runs;
    Steps cycle;  // empty: none
  };
  const Case cases[] = {
      {"one cycle and the next start", {{0x184, 9}, {0x8400, 9}, {0, 9}, {1, 9}, {0x184, 2}},
       {{0x184, 9}, {0x8400, 9}, {0, 9}, {1, 9}}},
      {"a code with a zero byte: the two 0000 words written in turn show as one run",
       {{0xF2, u}, {0xF200, u}, {0, 2 * u}, {0xF2, 1}},
       {{0xF2, u}, {0xF200, u}, {0, u}, {0, u}}},
      {"two and a half cycles, the merged run in the middle",
       {{0xF2, 5}, {0xF200, 5}, {0, 10}, {0xF2, 5}, {0xF200, 5}, {0, 10}, {0xF2, 5}, {0xF200, 3}},
       {{0xF2, 5}, {0xF200, 5}, {0, 5}, {0, 5}}},
      {"the cycle not yet closed", {{0x184, 9}, {0x8400, 9}, {0, 9}, {1, 4}}, {}},
      {"the next start not yet seen", {{0x184, 9}, {0x8400, 9}, {0, 9}, {1, 9}}, {}},
      {"one word so far", {{0x184, 500}}, {}},
      {"no repetition", {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}}, {}},
      {"a second cycle unlike the first", {{1, 2}, {2, 2}, {1, 2}, {3, 2}, {1, 1}}, {{1, 2}, {2, 2}, {1, 2}, {3, 2}}},
      {"a first run lengthened by the code written before the loop, described as written",
       {{0x184, 10}, {0x8400, 9}, {0, 9}, {1, 9}, {0x184, 1}},
       {{0x184, 10}, {0x8400, 9}, {0, 9}, {1, 9}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    run::Halt halt;
    halt.cycle = {{7, 7}};  // whatever was there is replaced
    run::DescribeCycle(c.runs, halt);
    EXPECT_EQ(halt.cycle, c.cycle);
  }
  EXPECT_EQ(run::CycleText({{0xF2, u}, {0xF200, u}, {0, u}, {0, u}}),
            "00F2 F200 0000 0000 (each word written 983040 times)");
  EXPECT_EQ(run::CycleText({{0x184, 10}, {0x8400, 9}}), "0184 (10 times) 8400 (9 times)");
}

}  // namespace
