// The emulated machine under hostile reports: pointers anywhere in the 4 GiB
// address space, records shorter than the one before (the report area keeps
// the earlier one's bytes, as a board's does), pointers delivered as
// they are given, runs of millions of calls, and how each kind of stopped
// call shows in the run.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "tests/host64/SystemHarness.h"

namespace {

using test::RunJson;

constexpr uint8_t kControlByteOffset = 0x5C;
constexpr uint8_t kLegacySerialOnly = 0x81;
const std::string kUnclaimedGuid = "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF";

std::string FaultList(const run::RunResult& run) {
  std::string s;
  for (const auto& f : run.faults) s += fmt::format("{} at 0x{:X} during {}; ", f.kind, f.address, f.during);
  return s;
}

// One debug report per pointer, each printing the GUID it points at.
std::string GuidLines(const std::vector<uint32_t>& pointers) {
  std::string reports;
  for (const uint32_t p : pointers)
    reports += fmt::format(R"({}{{"type": 3, "value": "0x03020000", "data": {{"kind": "debug", "format": "%g\n", "args": [{}]}}}})",
                           reports.empty() ? "" : ",", p);
  return fmt::format(R"({{"platform": {{"control_byte": "0x{:X}"}}, "reports": [{}]}})", kLegacySerialOnly, reports);
}

std::string Repeated(const std::string& line, size_t times) {
  std::string s;
  for (size_t i = 0; i < times; ++i) s += line;
  return s;
}

// Reports built in C++ (pointers as given, records of any bytes) on a board
// whose legacy serial port prints every line.
run::RunResult RunReports(std::vector<scenario::Report> reports, scenario::Scenario& scenario) {
  scenario.path = "built.json";
  scenario.platform.cmos[kControlByteOffset] = kLegacySerialOnly;
  scenario.reports = std::move(reports);
  return emu::RunScenario(test::Image(), scenario);
}

// A record of `size` bytes: the 20-byte header (header size, size, type GUID), then `fill`.
scenario::DataRecord Record(uint16_t size, uint8_t fill, const std::array<uint8_t, 16>& type = {}) {
  scenario::DataRecord r;
  r.kind = "raw";
  r.bytes.assign(size, fill);
  r.bytes[0] = 20, r.bytes[1] = 0;
  r.bytes[2] = static_cast<uint8_t>(size - 20), r.bytes[3] = static_cast<uint8_t>((size - 20) >> 8);
  std::copy(type.begin(), type.end(), r.bytes.begin() + 4);
  return r;
}

TEST(WildPointers, ThousandsOfDistinctUnclaimedPagesReadAsFloatingBus) {
  // Every report reads a page no report read before: the machine's mappings must not grow with them.
  std::vector<uint32_t> pointers;
  for (uint32_t i = 0; i < 4100; ++i) pointers.push_back(0x10000000u + 0x1000u * i);
  const auto r = RunJson(GuidLines(pointers));
  EXPECT_TRUE(r->faults.empty()) << FaultList(r.run);
  EXPECT_FALSE(r->halt);
  ASSERT_EQ(r->reports.size(), pointers.size());
  EXPECT_EQ(r->outputs.serial, Repeated(kUnclaimedGuid + "\r\n", pointers.size()));
}

TEST(WildPointers, UnclaimedReadsAreCountedAndLoggedOnTheBus) {
  const std::vector<uint32_t> pointers = {0x10000000u, 0x23456000u};
  const auto r = RunJson(GuidLines(pointers), /*accesses=*/true);
  for (size_t i = 0; i < pointers.size(); ++i) {
    EXPECT_GT(r->reports[i].calls[0].mmioAccesses, 0u);
    uint32_t bytesRead = 0;
    for (const auto& a : r->accesses)
      if (a.kind == sim::AccessKind::MemRead && a.address - pointers[i] < 16) {
        EXPECT_EQ(a.value, a.width == 4 ? 0xFFFFFFFFu : (1u << (8 * a.width)) - 1) << a.address;
        bytesRead += a.width;
      }
    EXPECT_EQ(bytesRead, 16u) << "pointer " << i;
  }
}

// The last page below 4 GiB is as ordinary as any other; a GUID that runs
// past 4 GiB continues at address 0, as on a 32-bit processor.
TEST(WildPointers, TheTopOfTheAddressSpaceReadsLikeAnyOtherPage) {
  const std::vector<uint32_t> pointers = {0xFFFFF000u, 0xFFFFF800u, 0xFFFFFFF0u, 0xFFFFFFF8u, 0xFFFFFFFFu};
  const auto r = RunJson(GuidLines(pointers), /*accesses=*/true);
  EXPECT_TRUE(r->faults.empty()) << FaultList(r.run);
  EXPECT_EQ(r->outputs.serial, Repeated(kUnclaimedGuid + "\r\n", pointers.size()));
  bool wrapped = false;
  for (const auto& a : r->accesses) wrapped |= a.kind == sim::AccessKind::MemRead && a.address < 16;
  EXPECT_TRUE(wrapped) << "no read continued at address 0";
}

// A module GUID the PEI core copies from where nothing answers is 16 bytes
// of 0xFF, not what the destination held before.
TEST(CopyMem, AnUnclaimedSourceCopiesFloatingBusBytes) {
  const std::string second = R"({"type": "0x01", "value": "0x03020003", "data": {"kind": "specific", "guid_address": "0x12345678"}})";
  const auto alone = RunJson(R"({"reports": [)" + second + "]}");
  const auto afterAnother = RunJson(
      R"({"reports": [{"type": "0x01", "value": "0x03020002", "data": {"kind": "specific", "module": "PcdPei"}}, )" +
      second + "]}");
  EXPECT_TRUE(alone->faults.empty()) << FaultList(alone.run);
  EXPECT_TRUE(afterAnother->faults.empty()) << FaultList(afterAnother.run);
  EXPECT_TRUE(alone->postcodes.empty());
  // PcdPei begins; the GUID of no module ends nothing (it used to end PcdPei with the copy left on the stack).
  EXPECT_EQ(afterAnother->postcodes, (std::vector<uint16_t>{0x0121}));
}

// A short record must not show the bytes of a longer one delivered before
// it: the report area keeps them, as a board's does, and the handler reads
// nothing past the record's Size.
TEST(ReportData, ARecordShowsNothingOfTheRecordBeforeIt) {
  scenario::Report longRecord, assertion;
  longRecord.type = 0x03, longRecord.value = 0x03020000, longRecord.data = Record(400, 'A');
  assertion.type = 0x90000002, assertion.value = 0x03010007, assertion.data = Record(20, 0);
  scenario::Scenario one, two;
  const run::RunResult alone = RunReports({assertion}, one);
  const run::RunResult after = RunReports({longRecord, assertion}, two);
  EXPECT_EQ(alone.outputs.serial, "\r\nPEI_ASSERT!:  (0): \r\n");
  const size_t second = after.outputs.serial.find("\r\nPEI_ASSERT");
  ASSERT_NE(second, std::string::npos) << after.outputs.serial;
  EXPECT_EQ(after.outputs.serial.substr(second), alone.outputs.serial);
  EXPECT_TRUE(alone.faults.empty()) << FaultList(alone);
  EXPECT_TRUE(after.faults.empty()) << FaultList(after);
}

// CallerId and Data go to the handlers exactly as given: no record is placed for them.
TEST(ReportData, PointersGivenAsAddressesAreDeliveredAsTheyAre) {
  scenario::Report error;
  error.type = 0x80000002, error.value = 0x03020002, error.instance = 7;
  error.callerAddress = emu::layout::kPpiGuid;  // the GUID the machine's PEI core keeps in its own RAM
  error.dataAddress = 0x12345678u;
  error.caller = scenario::Guid{};  // excluded by the address: never placed or delivered
  scenario::Report nulls = error;
  nulls.instance = 8;
  nulls.callerAddress = 0, nulls.dataAddress = 0;
  nulls.data = Record(24, 0);
  scenario::Scenario s;
  const run::RunResult r = RunReports({error, nulls}, s);
  EXPECT_TRUE(r.faults.empty()) << FaultList(r);
  EXPECT_EQ(r.outputs.serial,
            "ERROR: C80000002:V3020002 I7 0065D394-9951-4144-82A3-0AFC8579C251 12345678\r\n"
            "ERROR: C80000002:V3020002 I8\r\n");
}

// Unicorn 2.0.1 fails after about four million calls unless its translation
// cache is flushed now and then; a flush between calls changes nothing the
// module does, and happens as often as asked.
TEST(LongRuns, TheTranslationCacheIsFlushedBetweenCallsWithoutChangingTheRun) {
  const scenario::Scenario scenario = scenario::LoadScenario(std::string(SS_SCENARIOS) + "/report_kinds.json");
  auto run = [&](uint64_t interval, std::string& serial, uint64_t& instructions) {
    sim::Platform platform;
    scenario::ApplyPlatform(scenario.platform, platform);
    emu::Emulator machine(test::Image(), platform, scenario.platform, scenario.limits);
    if (interval != 0) machine.SetTranslationFlushInterval(interval);
    uint64_t calls = 1;
    instructions = machine.RunEntry().instructions;
    for (size_t i = 0; i < scenario.reports.size(); ++i)
      for (const run::CallResult& c : machine.Deliver(scenario.reports[i], i)) {
        instructions += c.instructions;
        ++calls;
      }
    serial = run::ReadOutputs(platform).serial;
    EXPECT_TRUE(machine.Faults().empty());
    return std::pair{machine.TranslationFlushes(), calls};
  };
  std::string plain, flushed;
  uint64_t plainInstructions = 0, flushedInstructions = 0;
  const auto [noFlushes, calls] = run(0, plain, plainInstructions);
  EXPECT_EQ(noFlushes, 0u);  // the default interval is far longer than this run
  EXPECT_LE(emu::Emulator::kTranslationFlushInterval, 1u << 20);
  // One flush, before the last call: a flush resets the library's whole 1 GiB code buffer, which costs time.
  const auto [flushes, sameCalls] = run(calls - 1, flushed, flushedInstructions);
  EXPECT_EQ(flushes, 1u);
  EXPECT_EQ(flushed, plain);
  EXPECT_EQ(flushedInstructions, plainInstructions);
}

// What exit statuses are made of: a designed halt (the blink loop), a call
// stopped by the instruction budget, and a call stopped by a fault each
// show differently in the run, and the reports not delivered after a halt
// are visible.
TEST(StoppedCalls, DesignedHaltBudgetAndFaultAreToldApart) {
  const auto blink = test::RunFile("blink.json");
  ASSERT_TRUE(blink->halt);
  EXPECT_EQ(blink->halt->reason, "blink loop");
  EXPECT_EQ(blink->reports.back().calls.back().stopped, "blink loop");
  EXPECT_TRUE(blink->faults.empty()) << FaultList(blink.run);
  EXPECT_EQ(run::Classify(blink.run), run::RunEnd::DesignedHalt);
  EXPECT_LT(blink->Delivered(), blink.scenario->DeliveryCount());

  const auto budget = RunJson(R"({"limits": {"instructions_per_call": 100},
    "reports": [{"type": "0x90000002", "value": "0x03028004"}, {"type": "0x01", "value": "0x03021001"}]})");
  ASSERT_TRUE(budget->halt);
  EXPECT_EQ(budget->halt->reason, "instruction budget");
  EXPECT_EQ(budget->halt->report, 0u);
  ASSERT_EQ(budget->Delivered(), 1u);  // the second report is not delivered
  EXPECT_EQ(run::Classify(budget.run), run::RunEnd::Stopped);
  EXPECT_EQ(budget->reports[0].calls.back().stopped, "instruction budget");
  EXPECT_FALSE(budget->reports[0].calls.back().status);
  // A call stopped by a fault: see Watcher.StoppedByAFault (loader_test.cpp), with images made to fault.
}

}  // namespace
