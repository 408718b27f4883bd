// Calls that do not return, on images made or patched by hand: each ends
// quickly, with the reason a firmware engineer needs and the exit status
// sinksim gives it, however long the guest would go on; the run keeps a
// bounded list of faults. And the record watch: a handler that reads the
// delivered data record past its declared size is reported.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <functional>

#include "tests/host64/Images.h"
#include "emu/Render.h"
#include "tests/host64/SystemHarness.h"

namespace {

using scenario::RunEnd;

// mov dx, 0x80; l: out dx, ax; jmp l
const std::vector<uint8_t> kPortLoop = {0x66, 0xBA, 0x80, 0x00, 0x66, 0xEF, 0xEB, 0xFC};
// mov dx, 0x80; l: inc eax; out dx, ax; jmp l: a new word every write
const std::vector<uint8_t> kCountingPortLoop = {0x66, 0xBA, 0x80, 0x00, 0x40, 0x66, 0xEF, 0xEB, 0xFB};
// l: push eax; jmp l
const std::vector<uint8_t> kPushLoop = {0x50, 0xEB, 0xFD};
// mov edi, 0x10000000; mov ecx, 0x40000000; xor eax, eax; rep stosd; ret
const std::vector<uint8_t> kRepStosd = {0xBF, 0, 0, 0, 0x10, 0xB9, 0, 0, 0, 0x40, 0x31, 0xC0, 0xF3, 0xAB, 0xC3};
// mov eax, 0xFFFF0003 (3 bytes into the PEI core's LocatePpi); call eax
const std::vector<uint8_t> kIntoLocatePpi = {0xB8, 0x03, 0x00, 0xFF, 0xFF, 0xFF, 0xD0};
// mov [0x10000000], eax; xor eax, eax; ret
const std::vector<uint8_t> kStrayWrite = {0xA3, 0, 0, 0, 0x10, 0x31, 0xC0, 0xC3};
const std::vector<uint8_t> kHlt = {0xF4};

constexpr int kEntry = -1;
constexpr int kTextHandler = 0, kPostCodeHandler = 1;

// The built image with `code` over the start of the handler registered `handler`-th.
emu::PeImage HandlerPatched(int handler, const std::vector<uint8_t>& code) {
  static const std::vector<uint32_t> rvas = test::HandlerRvas(test::Image());
  return test::Patched(test::Image(), rvas.at(static_cast<size_t>(handler)), code);
}

const char* const kNoReports = R"({"reports": []})";
const char* const kProgress = R"({"reports": [{"type": 1, "value": "0x03021001"}]})";
const char* const kUnrecovered = R"({"reports": [{"type": "0x90000002", "value": "0x03020002"}]})";

struct Stop {
  const char* name;
  std::function<emu::PeImage()> image;
  const char* scenario;
  int call;            // kEntry, or the handler of the last report delivered
  const char* stopped;  // how that call shows
  const char* fault;    // kind of the run's first fault, "" for none
  const char* detail;   // part of its detail
  RunEnd end;
};

TEST(Stops, EveryCallThatDoesNotReturnEndsQuicklyWithItsReasonAndExitStatus) {
  const Stop cases[] = {
      {"hlt in the entry", [] { return test::HandMade(kHlt); }, kNoReports, kEntry, "fault", "hlt", "never ends",
       RunEnd::Stopped},
      {"hlt in a handler", [] { return HandlerPatched(kTextHandler, kHlt); }, kProgress, kTextHandler, "fault", "hlt",
       "never ends", RunEnd::Stopped},
      {"a call into the middle of a service", [] { return test::HandMade(kIntoLocatePpi); }, kNoReports, kEntry,
       "fault", "fetch outside the image", "3 bytes into the PEI core's LocatePpi code", RunEnd::Stopped},
      {"a port 0x80 loop in the entry", [] { return test::HandMade(kPortLoop); }, kNoReports, kEntry,
       "port 0x80 loop", "", "", RunEnd::Stopped},
      {"a port 0x80 loop of ever other words", [] { return test::HandMade(kCountingPortLoop); }, kNoReports, kEntry,
       "port 0x80 loop", "", "", RunEnd::Stopped},
      {"a port 0x80 loop on a progress code", [] { return HandlerPatched(kPostCodeHandler, kPortLoop); }, kProgress,
       kPostCodeHandler, "port 0x80 loop", "", "", RunEnd::Stopped},
      // The same loop where the design blinks: the one loop that is a halt.
      {"a port 0x80 loop on an unrecoverable error", [] { return HandlerPatched(kPostCodeHandler, kPortLoop); },
       kUnrecovered, kPostCodeHandler, "blink loop", "", "", RunEnd::DesignedHalt},
      {"a push loop in the entry", [] { return test::HandMade(kPushLoop); }, kNoReports, kEntry, "fault",
       "stack overflow", "runaway recursion or a push loop", RunEnd::Stopped},
      {"a push loop in a handler", [] { return HandlerPatched(kTextHandler, kPushLoop); }, kProgress, kTextHandler,
       "fault", "stack overflow", "runaway recursion or a push loop", RunEnd::Stopped},
      {"rep stosd over bus memory", [] { return test::HandMade(kRepStosd); }, kNoReports, kEntry, "fault",
       "write outside allowed regions", "no device decodes it", RunEnd::Stopped},
  };
  for (const Stop& c : cases) {
    SCOPED_TRACE(c.name);
    const emu::PeImage image = c.image();
    const scenario::Scenario s = scenario::ParseScenario(c.scenario, "stop.json");
    const emu::RunResult run = emu::RunScenario(image, s);
    const scenario::CallResult& call = c.call == kEntry ? run.entry : run.reports.back().calls.at(c.call);
    EXPECT_EQ(call.stopped, c.stopped);
    EXPECT_FALSE(call.status);
    EXPECT_EQ(scenario::Classify(run), c.end);
    if (*c.fault == '\0') {
      EXPECT_TRUE(run.faults.empty()) << run.faults.front().kind;
      ASSERT_TRUE(run.halt);
      EXPECT_EQ(run.halt->reason, c.stopped);
      EXPECT_EQ(run.halt->portWrites, s.limits.blinkWrites);
    } else {
      ASSERT_FALSE(run.faults.empty());
      EXPECT_EQ(run.faults.front().kind, c.fault);
      EXPECT_NE(run.faults.front().detail.find(c.detail), std::string::npos) << run.faults.front().detail;
      EXPECT_EQ(run.faults.front().during, c.call == kEntry ? "entry" : fmt::format("report 0, handler {}", c.call));
      // Stopped at the first fault that cannot end well, or after a bounded few.
      EXPECT_LE(run.faults.size(), emu::Emulator::kStrayWritesPerCall + 1u);
      EXPECT_LT(call.instructions, 100'000u);
    }
    EXPECT_TRUE(run.imageIntact);
  }
}

// The board's POST code port keeps a call's words as runs of alike words: a
// loop that writes a new word every time keeps the first kPortRunsKept runs
// and is still stopped at its limit of writes, in bounded memory.
TEST(Stops, APortLoopOfEverOtherWordsKeepsABoundedListOfRuns) {
  sim::Platform platform;
  const scenario::Limits limits;
  emu::Emulator machine(test::HandMade(kCountingPortLoop), platform, {}, limits);
  const scenario::CallResult entry = machine.RunEntry();
  EXPECT_EQ(entry.stopped, "port 0x80 loop");
  EXPECT_EQ(platform.postCodes.WriteCount(), limits.blinkWrites);
  EXPECT_EQ(platform.postCodes.Runs().size(), emu::Emulator::kPortRunsKept);
  EXPECT_TRUE(platform.postCodes.RunsFull());
  EXPECT_EQ(entry.postcodes.size(), emu::Emulator::kPortRunsKept);
  EXPECT_EQ(entry.postcodes.back(), emu::Emulator::kPortRunsKept);  // the loop's words count up from 1
  ASSERT_TRUE(machine.HaltInfo());
  EXPECT_EQ(machine.HaltInfo()->portWrites, limits.blinkWrites);
}

// A store loop is stopped once it has written outside the allowed places
// kStrayWritesPerCall times; a run that faults in every call keeps the
// first faults and counts the rest.
TEST(Stops, TheFaultListIsBoundedAndCountsTheFaultsItLeavesOut) {
  const emu::PeImage stosd = test::HandMade(kRepStosd);
  const scenario::Scenario none = scenario::ParseScenario(kNoReports, "none.json");
  const emu::RunResult loop = emu::RunScenario(stosd, none);
  ASSERT_EQ(loop.faults.size(), emu::Emulator::kStrayWritesPerCall + 1u);
  EXPECT_EQ(loop.faults.back().kind, "runaway stores");
  EXPECT_EQ(loop.faults[1].address, loop.faults[0].address + 4);

  constexpr uint64_t kReports = emu::Emulator::kFaultListBound + 300;
  const scenario::Scenario many = scenario::ParseScenario(
      fmt::format(R"({{"reports": [{{"type": 1, "value": "0x03021001", "repeat": {}}}]}})", kReports), "many.json");
  const emu::RunResult run = emu::RunScenario(HandlerPatched(kTextHandler, kStrayWrite), many);
  EXPECT_EQ(run.Delivered(), kReports);  // each call returned
  EXPECT_EQ(run.faults.size(), emu::Emulator::kFaultListBound);
  EXPECT_EQ(run.faultsNotListed, kReports - emu::Emulator::kFaultListBound);
  EXPECT_EQ(scenario::Classify(run), RunEnd::Stopped);
  const auto json = scenario::ToJson(run, scenario::RenderContext{});
  EXPECT_EQ(json["faults_not_listed"], 300u);
  EXPECT_NE(emu::ToText(run, emu::RenderContext{}).find("and 300 more faults, not listed"), std::string::npos);
}

// mov eax, [esp+24] (the Data argument); mov eax, [eax+40]; xor eax, eax; ret
const std::vector<uint8_t> kReadOffset40 = {0x8B, 0x44, 0x24, 0x18, 0x8B, 0x40, 0x28, 0x31, 0xC0, 0xC3};

// A handler reads the u32 at offset 40 of the record it was given. The
// record's header with its Size says how much of the report area is the
// record; whatever lies beyond it is an earlier report's.
TEST(RecordWatch, AReadPastTheDeclaredSizeIsAFaultAndTheRecordItselfIsNot) {
  struct Case {
    const char* name;
    std::string data;  // the report's "data" or "data_address" member
    bool readPast;
  };
  const Case cases[] = {
      {"header only (Size 0)", R"("data": {"kind": "raw", "type_guid": "PcdPei"})", true},
      {"Size 20: offsets 20 to 39", R"("data": {"kind": "raw", "type_guid": "PcdPei", "bytes": ")" + std::string(48, '0') + R"(", "size": 20})", true},
      {"Size 24: offsets 20 to 43", R"("data": {"kind": "raw", "type_guid": "PcdPei", "bytes": ")" + std::string(48, '0') + R"("})", false},
      // A raw record of Size 4 whose word points behind it, at offset 40: the
      // bytes there are what it points at; a word pointing elsewhere exempts nothing.
      {"Size 4 pointing at offset 40", R"("data": {"kind": "raw", "type_guid": "PcdPei", "bytes": "3820F1FE)" + std::string(40, '0') + R"(", "size": 4})", false},
      {"Size 4 pointing past the placed bytes", R"("data": {"kind": "raw", "type_guid": "PcdPei", "bytes": "3820F1FE", "size": 4})", false},
      {"Size 4 pointing at its own word", R"("data": {"kind": "specific", "guid_address": "0xFEF12024"})", false},
      {"Size 4 pointing before the record", R"("data": {"kind": "raw", "type_guid": "PcdPei", "bytes": "0000F1FE)" + std::string(40, '0') + R"(", "size": 4})", true},
      // The caller's GUID given by an address inside the area is the caller's.
      {"Size 0, the caller GUID at offset 40", R"("caller_address": "0xFEF12038", "data": {"kind": "raw", "type_guid": "PcdPei"})", false},
      {"Size 0, the caller GUID at offset 44", R"("caller_address": "0xFEF1203C", "data": {"kind": "raw", "type_guid": "PcdPei"})", true},
      // No record was delivered at an address the scenario gives: nothing is watched.
      {"a record given by its address", R"("data_address": "0xFEF12010")", false},
  };
  const emu::PeImage image = HandlerPatched(kTextHandler, kReadOffset40);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const scenario::Scenario s = scenario::ParseScenario(
        R"({"reports": [{"type": 3, "value": 0, )" + c.data + "}]}", "watch.json");
    const emu::RunResult run = emu::RunScenario(image, s);
    EXPECT_EQ(run.reports[0].calls[0].status, 0u);  // a read past the record does not stop the call
    if (!c.readPast) {
      EXPECT_TRUE(run.faults.empty()) << run.faults.front().detail;
      continue;
    }
    ASSERT_EQ(run.faults.size(), 1u);
    EXPECT_EQ(run.faults[0].kind, "read past the record");
    EXPECT_EQ(run.faults[0].address, scenario::kReportDataAddress + 40);
    EXPECT_EQ(run.faults[0].during, "report 0, handler 0");
    EXPECT_NE(run.faults[0].detail.find("offset 40 of the data record"), std::string::npos) << run.faults[0].detail;
    EXPECT_EQ(scenario::Classify(run), RunEnd::Stopped);
  }
}

}  // namespace
