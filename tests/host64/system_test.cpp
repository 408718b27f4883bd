// The real StatusSinkPei.efi on the emulated machine: what only the image
// shows (budgets, faults, the image staying untouched, the blink loop as the
// machine stops it, degraded devices, the memory log's wrap). The rules of
// each kind of line and of the failing PEI services are proved on the
// module's code (tests/host32); the cross-check runs the scenarios, the
// line_kinds scenario among them, on both and compares.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <regex>

#include "emu/Symbols.h"
#include "run/Json.h"
#include "run/TextView.h"
#include "tests/host64/SystemHarness.h"

namespace {

using test::RunFile;
using test::RunJson;

constexpr uint32_t kImageBudgetBytes = 8 * 1024;
constexpr uint32_t kStackBudgetBytes = 512;

// Faults the watcher recorded, as text for failure messages.
std::string FaultList(const run::RunResult& run) {
  std::string s;
  for (const auto& f : run.faults) s += f.kind + " at " + std::to_string(f.address) + " during " + f.during + "; ";
  return s;
}

TEST(DefaultBoot, RunsEveryReportWithoutFaultsWithinTheImageAndStackBudgets) {
  const auto r = RunFile("boot.json");
  EXPECT_EQ(r->entry.status, 0u);
  ASSERT_EQ(r->handlers.size(), 2u);
  EXPECT_EQ(r->Delivered(), r.scenario->DeliveryCount());
  EXPECT_FALSE(r->halt);
  EXPECT_TRUE(r->faults.empty()) << FaultList(r.run);
  EXPECT_TRUE(r->imageIntact);
  EXPECT_LE(r->imageFileSize, kImageBudgetBytes);
  for (const auto& h : r->handlerStats) EXPECT_LE(h.maxStackBytes, kStackBudgetBytes);
  EXPECT_LE(r->entry.stackBytes, kStackBudgetBytes);
  // Control byte 0x91: every line reaches all three outputs, in the same order.
  EXPECT_FALSE(r->outputs.serial.empty());
  EXPECT_EQ(r->outputs.mmioSerial, r->outputs.serial);
  EXPECT_EQ(r->outputs.memoryLogText, r->outputs.serial);
  EXPECT_EQ(r->outputs.memoryLogHeader, 4 + r->outputs.serial.size());
  // The error and the assertion of the boot are printed.
  EXPECT_NE(r->outputs.serial.find("ERROR: C80000002:V51003 I1 4934527F-4C37-41AE-9EE4-31D3DA7E0B2C\r\n"),
            std::string::npos);
  EXPECT_NE(r->outputs.serial.find("\r\nPEI_ASSERT!: Tcg2Pei.c (412): EventSize <= MAX_TCG_EVENT\r\n"),
            std::string::npos);
}

TEST(DefaultBoot, NestedLevelShowsTheEnclosingModuleAgainAfterThePop) {
  const auto r = RunFile("boot.json");
  // MemoryInitPei begins (0x12A), pushes a level (0xC2A), FspmWrapperPei and
  // SpdReaderPei run inside it, the pop shows 0x12A again, MemoryInitPei ends.
  const std::vector<uint16_t> nested = {0x012A, 0x0C2A, 0x0126, 0x012F, 0x022F, 0x0226, 0x012A, 0x022A};
  const auto& pc = r->postcodes;
  EXPECT_NE(std::search(pc.begin(), pc.end(), nested.begin(), nested.end()), pc.end());
  ASSERT_EQ(r->stackHobs.size(), 1u);
  EXPECT_EQ(r->stackHobs[0].second.depth, 0);
  EXPECT_EQ(r->stackHobs[0].second.signature, 0x30736370u);
  EXPECT_EQ(r->stackHobs[0].second.codes[0], r->postcodes.back());
}

TEST(BlinkLoop, UnrecoverableErrorIsPrintedThenTheCodeCyclesOnPort80AndTheBootStops) {
  const auto r = RunFile("blink.json");
  ASSERT_TRUE(r->halt);
  EXPECT_EQ(r->halt->reason, "blink loop");
  EXPECT_EQ(r->halt->report, 2u);
  EXPECT_EQ(r->halt->handler, 1u);  // the POST code handler, registered second
  EXPECT_EQ(r->halt->cycle, (std::vector<run::CycleStep>{
                                {0x0184, 0xF0000}, {0x8400, 0xF0000}, {0x0000, 0xF0000}, {0x0001, 0xF0000}}));
  EXPECT_EQ(r->reports.size(), 3u);  // the report after the error is never delivered
  // The text handler ran first and returned; its line is out before the blinking starts.
  EXPECT_EQ(r->reports[2].calls[0].status, 0u);
  EXPECT_NE(r->outputs.serial.find("ERROR: C90000002:V3020002 I0 82E7E419-F260-4B7C-885C-42EEC4AD85B5"),
            std::string::npos);
  // The record was updated before the loop: it holds the blinking code.
  ASSERT_EQ(r->stackHobs.size(), 1u);
  EXPECT_EQ(r->stackHobs[0].second.codes[0], 0x0184u);
}

TEST(BlinkLoop, ErrorOfOtherSeverityWritesOnceAndReturns) {
  const auto r = RunJson(
      R"({"reports": [{"type": "0xA0000002", "value": "0x03020002", "data": {"kind": "specific", "module": "RecoveryModulePei"}}]})");
  EXPECT_FALSE(r->halt);
  EXPECT_EQ(r->postcodes, (std::vector<uint16_t>{0x0184}));
}

TEST(InstructionBudget, HandlerStoppedAtTheBudgetIsReportedNotHung) {
  const auto r = RunJson(R"({"limits": {"instructions_per_call": 100, "blink_writes": 31457281},
    "reports": [{"type": "0x90000002", "value": "0x03028004"}]})");
  ASSERT_TRUE(r->halt);
  EXPECT_EQ(r->halt->reason, "instruction budget");
}

TEST(DegradedSerial, StuckLegacyPortDropsItsLinesButTheBootGoesOnAndOtherOutputsGetEveryLine) {
  const auto r = RunFile("stuck_legacy.json");
  EXPECT_FALSE(r->halt);
  EXPECT_EQ(r->Delivered(), r.scenario->DeliveryCount());
  EXPECT_EQ(r->outputs.serial, "");
  EXPECT_EQ(r->outputs.mmioSerial,
            "<ZEB POSTCODE>: 0121\r\nERROR: C80000002:V3058002 I0 B1AF0C16-464A-4B29-A1BC-AADF32B32E1F\r\n"
            "<ZEB POSTCODE>: 0221\r\n");
  EXPECT_EQ(r->outputs.memoryLogText, r->outputs.mmioSerial);
  EXPECT_EQ(r->postcodes, (std::vector<uint16_t>{0x0121, 0x0221}));
}

TEST(DegradedSerial, AbsentMemoryMappedControllerIsProbedOnceAndLeftAlone) {
  const auto r = RunJson(R"({"platform": {"control_byte": "0x90", "mmio_serial": {"present": false}},
    "reports": [{"type": 3, "value": 0, "data": {"kind": "string", "text": "x"}}]})",
                         /*accesses=*/true);
  EXPECT_EQ(r->outputs.mmioSerial, "");
  EXPECT_EQ(r->outputs.serial, "x\r\n");
  // Only the presence read at the fixed address's status register touched the controller; the sideband was not read.
  std::vector<sim::Access> controller, sideband;
  for (const auto& a : r->accesses) {
    if (a.kind != sim::AccessKind::MemRead && a.kind != sim::AccessKind::MemWrite) continue;
    if (a.address - 0xFEA10000u < 0x1000) controller.push_back(a);
    if (a.address - 0xD0000000u < 0x1000000) sideband.push_back(a);
  }
  EXPECT_EQ(controller, (std::vector<sim::Access>{sim::MemR(0xFEA1007C, 1, 0xFF)}));
  EXPECT_TRUE(sideband.empty());
}

// The controller as its base address register and the sideband register
// describe it: a memory BAR decodes with its flag bits (0 to 3) masked.
TEST(MmioSerial, TheControllerGetsTheTextWhereverItsBarAndStrideSayItIs) {
  for (const auto& [base, stride] : {std::pair{"0xFE034000", 1}, {"0xFE02000C", 4}, {"0xFE02000C", 1}, {"0xFE03F008", 4}}) {
    SCOPED_TRACE(fmt::format("BAR {}, stride {}", base, stride));
    const auto r = RunJson(fmt::format(R"({{"platform": {{"control_byte": "0x90", "mmio_serial": {{"present": true,
      "base": "{}", "stride": {}}}, "sideband_bridge": "hidden"}}, "reports": [{{"type": 3, "value": 0,
      "data": {{"kind": "string", "text": "bar"}}}}]}})", base, stride));
    EXPECT_EQ(r->outputs.mmioSerial, "bar\r\n");
    EXPECT_TRUE(r->faults.empty()) << FaultList(r.run);  // includes the bridge-visibility check
  }
}

TEST(MemoryLog, WrapsPastTheWindowEndAndCountsTheWrap) {
  const auto r = RunFile("memory_log_wrap.json");
  EXPECT_EQ(r->outputs.memoryLogHeader, 0x00070030u);
  const std::string lines = "<ZEB POSTCODE>: 0121\r\n<ZEB POSTCODE>: 0221\r\nafter the wrap\r\n";
  const std::string& log = r->outputs.memoryLogText;
  ASSERT_GE(log.size(), lines.size());
  EXPECT_EQ(log.substr(log.size() - lines.size()), lines);
}

TEST(MemoryLog, GatedOffBelowRegisterDcThreshold) {
  const auto r = RunJson(R"({"platform": {"control_byte": "0x81", "host_bridge_dc": "0x0FFFFFFF", "memory_log_header": "0x12345678"},
    "reports": [{"type": 3, "value": 0, "data": {"kind": "string", "text": "x"}}]})");
  EXPECT_EQ(r->outputs.memoryLogHeader, 0x12345678u);
  EXPECT_EQ(r->outputs.serial, "x\r\n");
}

TEST(ImageIntegrity, ImageIsNeverWrittenAcrossEveryScenarioKind) {
  for (const char* name : {"boot.json", "report_kinds.json", "stuck_legacy.json", "memory_log_wrap.json"}) {
    const auto r = RunFile(name);
    EXPECT_TRUE(r->imageIntact) << name;
    for (const auto& f : r->faults) EXPECT_NE(f.kind, "image write") << name;
  }
}

// Every report kind and every conversion (numbers of both sizes with every
// option, 8- and 16-bit strings, characters, GUIDs, times, named and unnamed
// status values) once: the deepest stack of every handler call, measured
// exactly by the emulated machine, stays within the budget.
TEST(Budgets, EveryReportKindAndConversionStaysWithinTheStackBudget) {
  const auto r = RunFile("bench/stack_paths.json");
  EXPECT_TRUE(r->faults.empty()) << FaultList(r.run);
  ASSERT_EQ(r->Delivered(), r.scenario->DeliveryCount());
  for (const auto& d : r->reports)
    for (const auto& c : d.calls) {
      EXPECT_TRUE(c.stopped.empty()) << d.report->note;
      EXPECT_LE(c.stackBytes, kStackBudgetBytes) << d.report->note;
    }
  EXPECT_LE(r->entry.stackBytes, kStackBudgetBytes);
  // The conversions that used to call the engine again print what they did.
  EXPECT_NE(r->outputs.serial.find("4934527F-4C37-41AE-9EE4-31D3DA7E0B2C B1AF0C16-464A-4B29-A1BC-AADF32B32E1F    |"),
            std::string::npos);
  EXPECT_NE(r->outputs.serial.find("12/08/2024  30:59         255/255/65535  255:255|"), std::string::npos);
  EXPECT_NE(r->outputs.serial.find("Not Found 80000099 Warning Buffer Too Small|1234"), std::string::npos);
}

// Wild text pointers: memory nobody claims reads as 0xFF, so such a string
// never ends. Each report must complete, print what fits and cost a bounded
// number of instructions: a text is read no further than its field can show
// (the line's 199 characters, or a width or precision), so a line costs at
// most a few line-lengths of reads. The widest field a debug format can ask
// for reads up to the engine's character limit of 1,000,000 characters; that
// report has its own, larger bound.
TEST(WildPointers, ATextThatNeverEndsCostsABoundedNumberOfInstructions) {
  constexpr uint64_t kLineBound = 20'000;              // instructions of a handler call printing one wild line
  constexpr uint64_t kCharacterLimitBound = 8'000'000;  // a field as wide as the engine's character limit
  const auto r = RunJson(R"({"platform": {"control_byte": "0x80"}, "reports": [
    {"type": 3, "value": 0, "data": {"kind": "debug", "level": "0x40", "format": "%s\n", "args": ["0x12345678"]}},
    {"type": 3, "value": 0, "data": {"kind": "debug", "level": "0x40", "format": "%S\n", "args": ["0x12345678"]}},
    {"type": 3, "value": 0, "data": {"kind": "debug", "level": "0x40", "format": "%5a\n", "args": ["0x12345678"]}},
    {"type": 3, "value": 0, "data": {"kind": "debug", "level": "0x40", "format": "%-5a|\n", "args": ["0x12345678"]}},
    {"type": 3, "value": 0, "data": {"kind": "debug", "level": "0x40", "format": "%.40S|\n", "args": ["0x12345678"]}},
    {"type": 3, "value": 0, "data": {"kind": "raw", "type_guid": "92D11080-496F-4D95-BE7E-037488382B0A",
                                     "bytes": "0000000078563412"}},
    {"type": 3, "value": 0, "data": {"kind": "debug", "level": "0x40", "format": "%999999a\n", "args": ["0x12345678"]}}
  ]})");
  ASSERT_EQ(r->reports.size(), 7u);
  EXPECT_FALSE(r->halt);
  const std::string ff(199, '\xFF');
  const std::string lines[] = {ff, ff, ff, ff, std::string(40, '\xFF') + "|\r\n", ff, ff};
  EXPECT_EQ(r->outputs.serial, lines[0] + lines[1] + lines[2] + lines[3] + lines[4] + lines[5] + lines[6]);
  for (size_t i = 0; i < r->reports.size(); ++i) {
    const auto& text = r->reports[i].calls.at(0);
    EXPECT_TRUE(text.stopped.empty()) << "report " << i;
    EXPECT_EQ(text.status, 0u) << "report " << i;
    EXPECT_LE(text.instructions, i + 1 < r->reports.size() ? kLineBound : kCharacterLimitBound) << "report " << i;
  }
}

// An assertion record whose file name runs on for 60,000 characters (the
// record holds no NUL): the file name is measured only up to the room the
// line leaves for it, so the call costs what a line costs, not what the name
// is long.
TEST(WildPointers, AnAssertionWithAFileNameLongerThanTheLineCostsALine) {
  constexpr uint64_t kLineBound = 20'000;
  std::string bytes(20 * 2, '0');  // payload offsets 0-19: header fields the handler does not read
  bytes += "07000000" + std::string(8 * 2, '0');  // line 7 at record offset 40, then offsets 44-51
  for (int i = 0; i < 60'000; ++i) bytes += "46";  // "F" from record offset 52 on
  const auto r = RunJson(R"({"platform": {"control_byte": "0x80"}, "reports": [{"type": "0x90000002",
    "value": "0x00010007", "data": {"kind": "raw", "type_guid": "00000000-0000-0000-0000-000000000000", "bytes": ")" + bytes + R"("}}]})");
  ASSERT_EQ(r->reports.size(), 1u);
  const std::string prefix = "\r\nPEI_ASSERT!: ";
  EXPECT_EQ(r->outputs.serial, prefix + std::string(199 - prefix.size(), 'F'));
  const auto& text = r->reports[0].calls.at(0);
  EXPECT_TRUE(text.stopped.empty());
  EXPECT_LE(text.instructions, kLineBound);
}

// The stack is RAM the emulator keeps itself, reached through store and load
// callbacks instead of Unicorn's own RAM (whose 2.0.1 store path allocates on
// every store). The stack's stores must arrive there, and the deepest stack
// the watcher reports must be one of the places they wrote.
TEST(Emulator, StackStoresGoThroughTheEmulatorsOwnRam) {
  const scenario::Scenario scenario = scenario::LoadScenario(std::string(SS_SCENARIOS) + "/report_kinds.json");
  sim::Platform platform;
  scenario::ApplyPlatform(scenario.platform, platform);
  emu::Emulator machine(test::Image(), platform, scenario.platform, scenario.limits);
  EXPECT_EQ(machine.StackStores(), 0u);
  const run::CallResult entry = machine.RunEntry();
  const uint64_t afterEntry = machine.StackStores();
  EXPECT_GT(afterEntry, 0u);
  const std::vector<run::CallResult> calls = machine.Deliver(scenario.reports[2], 2);  // the error line with a GUID
  ASSERT_EQ(calls.size(), 2u);
  // A text line is built in a 200-byte buffer on the stack: at least that many stores.
  EXPECT_GE(machine.StackStores() - afterEntry, 200u);
  EXPECT_GT(calls[0].stackBytes, 200u);
  EXPECT_TRUE(machine.Faults().empty());
}

}  // namespace

namespace {

// The bytes of a JSON text field, read back as Latin-1.
std::string Latin1Bytes(const nlohmann::ordered_json& field) {
  const std::string utf8 = field.get<std::string>();
  std::string bytes;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      bytes += static_cast<char>(c);
    } else {
      EXPECT_TRUE((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) << "not a Latin-1 code point at " << i;
      bytes += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
    }
  }
  return bytes;
}

// sinksim --json streams the document element by element. For every kind of
// run (faults, a halted call, reports without output, empty arrays, repeats)
// it must parse, be laid out exactly as the parser's own dump(2) lays out
// what it read (the layout every scenario's document is compared in), and
// show every delivery of the run, in order, with its calls' results and words.
TEST(JsonOutput, TheStreamedDocumentParsesAndShowsEveryDeliveryOfTheRun) {
  for (const char* name : {"boot.json", "report_kinds.json", "blink.json", "minimal.json", "bench/stack_paths.json",
                           "hostile/nesting_1000.json"}) {
    const auto r = RunFile(name);
    const std::string text = run::ToJsonText(r.run, run::RenderContext{});
    const auto json = nlohmann::ordered_json::parse(text);
    EXPECT_EQ(json.dump(2), text) << name;
    std::vector<std::pair<size_t, const run::DeliveredReport*>> deliveries;
    for (const run::DeliveredReport& d : r->reports)
      for (uint64_t k = 0; k < d.repeat; ++k) deliveries.emplace_back(d.index + k, &d);
    ASSERT_EQ(json["reports"].size(), deliveries.size()) << name;
    ASSERT_EQ(json["results"].size(), deliveries.size()) << name;
    for (size_t i = 0; i < deliveries.size(); ++i) {
      const auto& [index, d] = deliveries[i];
      const auto& shown = json["reports"][i];
      ASSERT_EQ(shown["index"], index) << name;
      EXPECT_EQ(shown["source"], d->report->source) << name << " " << i;
      EXPECT_EQ(json["results"][i], shown["results"]) << name << " " << i;
      std::vector<uint16_t> words;
      for (size_t h = 0; h < d->calls.size(); ++h) {
        const run::CallResult& c = d->calls[h];
        EXPECT_EQ(shown["results"][h], c.status ? nlohmann::ordered_json(*c.status) : nullptr) << name << " " << i;
        EXPECT_EQ(shown["instructions"][h], c.instructions) << name << " " << i;
        words.insert(words.end(), c.postcodes.begin(), c.postcodes.end());
      }
      EXPECT_EQ(shown["postcodes"].get<std::vector<uint16_t>>(), words) << name << " " << i;
    }
    EXPECT_EQ(json["postcodes"].get<std::vector<uint16_t>>(), r->postcodes) << name;
    EXPECT_EQ(json["stats"]["reports_delivered"], r->Delivered()) << name;
  }
}

}  // namespace

TEST(JsonOutput, EveryByteTheModuleWritesRoundTripsThroughTheJsonTextFields) {
  // Bytes 0x01..0xFF as %a arguments, split in two lines to fit the line buffer.
  std::string low, high;
  for (int b = 0x01; b <= 0x7F; ++b) low += fmt::format("{:02x}", b);
  for (int b = 0x80; b <= 0xFF; ++b) high += fmt::format("{:02x}", b);
  const std::string report = R"({"type": "0x03", "value": "0x03020000", "data": {"kind": "debug", "level": "0x40",
      "format": "%a\n", "args": [{"bytes": "HEX00"}]}})";
  auto withBytes = [&](const std::string& hex) { return std::regex_replace(report, std::regex("HEX"), hex); };
  const auto r = RunJson(R"({"platform": {"control_byte": "0x91", "host_bridge_dc": "0x10000000",
      "mmio_serial": {"present": true, "stride": 4, "status": "ready"}}, "reports": [)" +
                         withBytes(low) + "," + withBytes(high) + "]}");
  for (int b = 0x01; b <= 0xFF; ++b)
    EXPECT_NE(r->outputs.serial.find(static_cast<char>(b)), std::string::npos) << "byte " << b << " not printed";
  EXPECT_EQ(r->outputs.mmioSerial, r->outputs.serial);
  EXPECT_EQ(r->outputs.memoryLogText, r->outputs.serial);

  const auto json = nlohmann::ordered_json::parse(run::ToJson(r.run, run::RenderContext{}).dump(2));
  EXPECT_EQ(Latin1Bytes(json["serial"]), r->outputs.serial);
  EXPECT_EQ(Latin1Bytes(json["mmio_serial"]), r->outputs.mmioSerial);
  EXPECT_EQ(Latin1Bytes(json["memory_log"]["text"]), r->outputs.memoryLogText);

  // The text view sends a terminal no control byte other than CR, LF and TAB.
  const std::string text = run::ToText(r.run, run::RenderContext{});
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    EXPECT_TRUE(c == '\r' || c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7F)) << "raw byte " << int{c};
  }
  EXPECT_NE(text.find("\\x01\\x02\\x03"), std::string::npos);
  EXPECT_NE(text.find("\\xFE\\xFF"), std::string::npos);
}

// A repeated report is run from the one copy the scenario keeps, and alike
// deliveries in a row are kept once in the run: ten million repeats would
// otherwise hold ten million results. Views and the JSON document still show
// every delivery.
TEST(Repeat, AlikeDeliveriesAreKeptOnceAndShownOneByOne) {
  const auto r = RunJson(R"({"reports": [{"type": 1, "value": "0x03021001", "repeat": 1000},
    {"type": 3, "value": 0, "data": {"kind": "string", "text": "x"}, "repeat": 2}]})");
  EXPECT_EQ(r->Delivered(), 1002u);
  EXPECT_LE(r->reports.size(), 4u);  // the first call of a kind may differ from the rest (a HOB found, say)
  EXPECT_EQ(r->handlerStats[1].calls, 1002u);
  EXPECT_EQ(r->postcodes.size(), 1000u);
  const run::RenderContext context;
  const auto json = run::ToJson(r.run, context);
  ASSERT_EQ(json["reports"].size(), 1002u);
  for (size_t i = 0; i < 1002; ++i) ASSERT_EQ(json["reports"][i]["index"], i);
  EXPECT_EQ(json["reports"][1001]["source"], 1u);
  EXPECT_EQ(json["stats"]["reports_delivered"], 1002u);
  EXPECT_NE(run::ToText(r.run, context).find("reports delivered 1002 of 1002"), std::string::npos);
}

// Deliveries that differ from the one before are each kept; the run stops
// at its own limit with RunLimit (sinksim: exit status 3, never bad input),
// while alike deliveries still cost nothing there.
TEST(Repeat, DeliveriesThatDifferEachTimeStopAtTheRunsOwnLimit) {
  const scenario::Report a, b;
  run::RunResult r;
  for (size_t i = 0; i < run::kMaxKeptReports; ++i) r.AddReport({i, i % 2 ? &a : &b, {}});
  ASSERT_EQ(r.reports.size(), run::kMaxKeptReports);
  const size_t next = run::kMaxKeptReports;
  r.AddReport({next, &a, {}});  // alike the last: counted in its entry
  EXPECT_EQ(r.Delivered(), next + 1);
  EXPECT_THROW(r.AddReport({next + 1, &b, {}}), run::RunLimit);
}

// Exit status classes: a blink loop alone is the designed halt; a stopped
// call or a fault wins over it.
TEST(RunEnd, BlinkLoopIsTheDesignedHaltAndAStoppedCallOrFaultWins) {
  EXPECT_EQ(run::Classify(RunFile("boot.json").run), run::RunEnd::Clean);
  const auto blink = RunFile("blink.json");
  EXPECT_EQ(run::Classify(blink.run), run::RunEnd::DesignedHalt);
  run::RunResult faulted = blink.run;
  faulted.faults.push_back({"write outside allowed regions", 0x1000, 0, 4, 0, "report 0, handler 0", ""});
  EXPECT_EQ(run::Classify(faulted), run::RunEnd::Stopped);
  const auto budget = RunJson(R"({"limits": {"instructions_per_call": 100},
    "reports": [{"type": "0x90000002", "value": "0x03028004"}]})");
  EXPECT_EQ(run::Classify(budget.run), run::RunEnd::Stopped);
}

// --accesses: the list says it is cut short exactly when accesses were left out of it.
TEST(JsonOutput, TheAccessListIsMarkedTruncatedOnlyWhenItIs) {
  const scenario::Scenario s = scenario::LoadScenario(std::string(SS_SCENARIOS) + "/minimal.json");
  for (const size_t limit : {size_t{4} << 20, size_t{10}}) {
    emu::RunOptions options;
    options.keepAccessLog = true;
    options.accessLogLimit = limit;
    const run::RunResult run = emu::RunScenario(test::Image(), s, options);
    const auto json = run::ToJson(run, run::RenderContext{});
    const bool cut = limit == 10;
    EXPECT_EQ(json["accesses"].size(), cut ? 10u : run.ioAccesses + run.mmioAccesses) << limit;
    EXPECT_EQ(json["accesses_truncated"], cut) << limit;
  }
}
