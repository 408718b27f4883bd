#include "emu/FaultMatrix.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

#include "emu/Run.h"
#include "run/Outputs.h"

namespace emu {

namespace {

// The board every row starts from: all three outputs on (control byte 0x91),
// the memory log's gate open, the legacy port draining at once, the
// memory-mapped controller at its fixed address with registers 1 byte apart
// (so the stride register read through the sideband bridge matters), and the
// sideband bridge hidden as the platform leaves it.
constexpr const char* kBaseBoard = R"({
  "name": "fault-matrix",
  "description": "the board every fault of the matrix starts from",
  "platform": {"control_byte": "0x91", "host_bridge_dc": "0x10000000",
               "mmio_serial": {"present": true, "stride": 1}, "sideband_bridge": "hidden"},
  "reports": []
})";

struct KindText {
  const char* name;
  const char* reports;  // a JSON array of scenario reports
  std::vector<uint16_t> words;  // what the design writes to port 0x80 for them
  std::optional<uint16_t> blinks;
};

// One column each; every kind prints a line. The nesting column first shows
// a module's code (PcdPei begins: 0x121), pushes a level for MemoryInitPei
// (0xC2A), shows RecoveryModulePei beginning (0x184) and pops, which shows
// PcdPei's code again from the stack. The progress code 0x03021001 has the
// fixed code 0xFC; the error, debug, string and no-data reports have no POST
// code, nor has the assertion (operation 7): only the unrecoverable error
// with a code (RecoveryModulePei begins, 0x184) blinks.
const KindText kKinds[] = {
    {"progress", R"([{"type": "0x01", "value": "0x03021001"}])", {0xFC}, {}},
    {"error+caller", R"([{"type": "0x80000002", "value": "0x03058002", "caller": "MemoryTestPei"}])", {}, {}},
    {"debug", R"([{"type": "0x03", "value": "0x03020000",
                  "data": {"kind": "debug", "level": "0x40", "format": "Value %d\n", "args": [5]}}])", {}, {}},
    {"assertion", R"([{"type": "0x90000002", "value": "0x03010007",
                      "data": {"kind": "assert", "file": "Foo", "line": 42, "description": "Bar"}}])", {}, {}},
    {"nesting", R"([{"type": "0x01", "value": "0x03020002", "data": {"kind": "specific", "module": "PcdPei"}},
                    {"type": "0x01", "value": "0x03021003", "data": {"kind": "specific", "module": "MemoryInitPei"}},
                    {"type": "0x01", "value": "0x03020002", "data": {"kind": "specific", "module": "RecoveryModulePei"}},
                    {"type": "0x01", "value": "0x03021004", "data": {"kind": "specific", "module": "MemoryInitPei"}}])",
     {0x121, 0xC2A, 0x184, 0x121}, {}},
    {"unrecovered", R"([{"type": "0x90000002", "value": "0x03020002", "caller": "RecoveryModulePei",
                        "data": {"kind": "specific", "module": "RecoveryModulePei"}}])", {}, 0x184},
    {"string", R"([{"type": "0x03", "value": "0x03020000", "data": {"kind": "string", "text": "hello"}}])", {}, {}},
    {"no data", R"([{"type": "0x03", "value": "0x03020001"}])", {}, {}},
};

// HOB lists for the HOB rows: GetHobList hands out a list the fault wrote
// into board RAM here, with the module's record (or none) somewhere in it.
constexpr uint32_t kHobListRam = 0x00090000u;
constexpr uint16_t kHandoffType = 0x0001, kOtherType = 0x0004, kRecordType = 0x1001, kEndType = 0xFFFF;
constexpr uint16_t kRecordLength = 56;

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

// A generic header (type, length, reserved 0) and `body` zero bytes after it.
Bytes Header(uint16_t type, uint16_t length, size_t body = 0) {
  Bytes b;
  Put16(b, type);
  Put16(b, length);
  b.resize(8 + body, 0);
  return b;
}
Bytes Handoff() { return Header(kHandoffType, 0x38, 0x30); }
Bytes End() { return Header(kEndType, 8); }
// The module's record: depth, ten codes 0, signature "pcs0" at offset 52;
// `length` is what its header claims.
Bytes Record(uint8_t depth, uint16_t length = kRecordLength) {
  Bytes b = Header(kRecordType, length, kRecordLength - 8);
  b[8] = depth;
  std::memcpy(b.data() + 52, "pcs0", 4);
  return b;
}
Bytes List(std::initializer_list<Bytes> hobs) {
  Bytes out;
  for (const Bytes& h : hobs) out.insert(out.end(), h.begin(), h.end());
  return out;
}

std::function<void(scenario::PlatformConfig&)> HobListFault(Bytes list) {
  return [list = std::move(list)](scenario::PlatformConfig& c) {
    c.boardRamBase = kHobListRam;
    c.boardRam = list;
    c.pei.hobListAddress = kHobListRam;
  };
}

std::function<void(scenario::PlatformConfig&)> LogHeader(uint32_t header) {
  return [header](scenario::PlatformConfig& c) { c.memoryLogHeader = header; };
}

// The words a blink loop shows for a code whose first word is `first`: the
// code rotated left by 0, 8, 16 and 24 bits (its bits 16 to 31 are clear).
std::vector<uint16_t> BlinkCycle(uint16_t first) {
  return {first, static_cast<uint16_t>(first << 8), 0, static_cast<uint16_t>(first >> 8)};
}

// L, M or G when `got` holds all of `want`, lower case for part of it, '.' for nothing.
char Sink(char letter, const std::string& got, const std::string& want) {
  if (got.empty()) return '.';
  if (!want.empty() && got.find(want) != std::string::npos) return letter;
  return static_cast<char>(letter - 'A' + 'a');
}

std::string Words(const std::vector<uint16_t>& words, const char* separator) {
  if (words.empty()) return "-";
  std::string out;
  for (size_t i = 0; i < words.size(); ++i) out += (i == 0 ? "" : separator) + fmt::format("{:X}", words[i]);
  return out;
}

}  // namespace

std::string ExpectedSinks(const DeviceFault& fault) {
  std::string design;
  for (const run::Output& o : run::kOutputs) {
    const char some = static_cast<char>(std::tolower(o.letter));
    const size_t named = fault.outputs.find(o.letter);
    if (fault.outputs == "." || (named != std::string::npos && fault.outputs.substr(named + 1, 1) == "."))
      design += '.';
    else
      design += fault.outputs.find(some) != std::string::npos ? some : o.letter;
  }
  return design;
}

FaultCell JudgeCell(const RunResult& run, const run::DeviceOutputs& clean, const DeviceFault& fault,
                    const ReportKind& kind) {
  FaultCell cell;
  const auto fail = [&cell](std::string why) {
    if (cell.problem.empty()) cell.problem = std::move(why);
  };
  for (const run::Output& o : run::kOutputs) cell.sinks += Sink(o.letter, run.outputs.*o.text, clean.*o.text);

  const auto judgeCall = [&](const run::CallResult& call) {
    cell.maxStackBytes = std::max(cell.maxStackBytes, call.stackBytes);
    if (call.stackBytes > kFaultStackBudget) fail(fmt::format("stack {} bytes", call.stackBytes));
    if (!call.stopped.empty()) return;
    cell.maxInstructions = std::max(cell.maxInstructions, call.instructions);
    if (call.instructions > kFaultCallBudget) fail(fmt::format("{} instructions", call.instructions));
    if (call.status && *call.status != 0) cell.errors.push_back(*call.status);
    cell.postcodes.insert(cell.postcodes.end(), call.postcodes.begin(), call.postcodes.end());
  };
  judgeCall(run.entry);
  if (!run.entry.stopped.empty()) fail("entry stopped: " + run.entry.stopped);
  for (const DeliveredReport& d : run.reports)
    for (const run::CallResult& call : d.calls) judgeCall(call);

  // How the run ended, as sinksim's exit status judges it; a designed halt
  // must also be the blink loop of the unrecoverable error, the last report,
  // showing its code's rotation.
  const run::RunEnd end = run::Classify(run);
  if (!run.faults.empty()) fail(run.faults.front().kind);
  if (!run.imageIntact) fail("image written");
  for (const DeliveredReport& d : run.reports)
    for (const run::CallResult& call : d.calls)
      if (!call.stopped.empty() && (!run.halt || call.stopped != run.halt->reason)) fail("stopped: " + call.stopped);
  if (end == run::RunEnd::Stopped) fail(run.halt ? "stopped: " + run.halt->reason : "stopped");
  // Where the design blinks, the boot must halt in the last report with the
  // code's rotation, each word written 983,040 times; nowhere else.
  const bool mustBlink = kind.blinks && fault.postCodes == PostCodes::Shown;
  if (run.halt) {
    const run::Halt& h = *run.halt;
    for (const run::CycleStep& step : h.cycle) cell.cycle.push_back(step.word);
    // Every word of the rotation shown equally long (0 when the steps differ).
    if (std::all_of(h.cycle.begin(), h.cycle.end(),
                    [&](const run::CycleStep& step) { return step.writes == h.cycle.front().writes; }))
      cell.writesPerWord = h.cycle.empty() ? 0 : h.cycle.front().writes;
    const scenario::Report* halted = run.reports.empty() ? nullptr : run.reports.back().report;
    const bool lastReport = run.Delivered() == run.scenario->DeliveryCount();
    const bool designed = mustBlink && end == run::RunEnd::DesignedHalt && lastReport && halted != nullptr &&
                          scenario::IsUnrecoverableError(halted->type) && cell.cycle == BlinkCycle(*kind.blinks) &&
                          cell.writesPerWord == 0xF0000;
    if (!designed) fail("stopped: " + h.reason);
  } else if (run.Delivered() != run.scenario->DeliveryCount()) {
    fail("reports not delivered");
  } else if (mustBlink) {
    fail("no blink for the unrecoverable error");
  }

  // The text on every output the board leaves working, none where it breaks one.
  const std::string design = ExpectedSinks(fault);
  for (size_t k = 0; k < cell.sinks.size(); ++k) {
    const char want = design[k], got = cell.sinks[k];
    const bool ok = want == '.' ? got == '.' : std::islower(want) ? got != '.' : got == want;
    if (!ok) fail(fmt::format("text {} where the design gives {}", cell.sinks, design));
  }
  // The POST code words, and EFI_NOT_FOUND for each report with a code where no record is found.
  const auto other = fault.wordsFor.find(kind.name);
  const std::vector<uint16_t>& words = other != fault.wordsFor.end() ? other->second : kind.words;
  const std::vector<uint16_t> none;
  if (cell.postcodes != (fault.postCodes == PostCodes::Shown ? words : none))
    fail(fmt::format("port 0x80 {} where the design gives {}", Words(cell.postcodes, ","),
                     Words(fault.postCodes == PostCodes::Shown ? words : none, ",")));
  const size_t coded = kind.words.size() + (kind.blinks ? 1 : 0);
  const std::vector<uint32_t> notFound(fault.postCodes == PostCodes::NotFound ? coded : 0, EFI_NOT_FOUND);
  if (cell.errors != notFound) fail(fmt::format("{} error statuses where the design gives {}", cell.errors.size(), notFound.size()));
  cell.outcome = !cell.problem.empty() ? CellOutcome::Failed : run.halt ? CellOutcome::Halted : CellOutcome::Completed;
  return cell;
}

namespace {

const char* OutcomeName(CellOutcome outcome) {
  switch (outcome) {
    case CellOutcome::Completed: return "completed";
    case CellOutcome::Halted: return "halted";
    case CellOutcome::Failed: return "failed";
  }
  return "";
}

}  // namespace

std::string FaultCell::Summary() const {
  if (outcome == CellOutcome::Failed) return "FAIL " + problem;
  std::string out = outcome == CellOutcome::Halted ? "halt " : "ok ";
  out += sinks;
  if (outcome == CellOutcome::Halted) {
    out += " " + Words(cycle, ">");
  } else {
    out += " " + Words(postcodes, ",");
  }
  for (uint32_t e : errors) out += e == 0x8000000Eu ? " nf" : fmt::format(" {:08X}", e);
  return out;
}

bool FaultMatrix::AsDesigned() const {
  for (const auto& row : cells)
    for (const FaultCell& c : row)
      if (c.outcome == CellOutcome::Failed) return false;
  return true;
}

scenario::Scenario FaultBaseBoard() { return scenario::ParseScenario(kBaseBoard, "<fault matrix board>"); }

std::vector<ReportKind> ReportKinds() {
  std::vector<ReportKind> kinds;
  for (const KindText& k : kKinds) {
    const std::string text = std::string(R"({"name": "kind", "reports": )") + k.reports + "}";
    kinds.push_back({k.name, scenario::ParseScenario(text, std::string("<report kind ") + k.name + ">").reports, k.words,
                     k.blinks});
  }
  return kinds;
}

std::vector<DeviceFault> DeviceFaults() {
  using scenario::LegacySerial;
  using scenario::MmioStatus;
  using C = scenario::PlatformConfig;
  constexpr PostCodes kNotFound = PostCodes::NotFound, kNone = PostCodes::None;
  // Each row says what the design still does on its board: the outputs that
  // get the text, and whether the POST code handler writes its codes.
  return {
      {"none", "the board as built", [](C&) {}},
      {"legacy absent", "nothing decodes 0x3F8-0x3FF: reads give all ones, writes are lost",
       [](C& c) { c.legacySerial = LegacySerial::Absent; }, "L."},
      {"legacy stuck", "the line status register never shows the transmit FIFO empty",
       [](C& c) { c.legacySerial = LegacySerial::Stuck; }, "L."},
      {"legacy slow", "one byte leaves the FIFO per 100 line status reads",
       [](C& c) { c.legacyDrainPace = 100; }},
      {"legacy slower than wait", "one byte per 10,000 reads: a 16-byte burst outlasts the module's wait",
       [](C& c) { c.legacyDrainPace = 10000; }, "l"},
      {"mmio absent", "no configuration function and nothing at the fixed address 0xFEA10000 (reads all ones)",
       [](C& c) { c.mmioSerialPresent = false; }, "M."},
      {"mmio never ready", "the status register never shows room in the transmit FIFO",
       [](C& c) { c.mmioStatus = MmioStatus::NeverReady; }, "M."},
      {"mmio ready 3 polls", "the status register shows room for its first 3 reads only",
       [](C& c) {
         c.mmioStatus = MmioStatus::ReadyForFirst;
         c.mmioReadyReads = 3;
       },
       "m"},
      {"mmio config hidden", "the controller's configuration function reads all ones; the controller answers at "
                             "its fixed address",
       [](C& c) { c.mmioConfigVisible = false; }},
      {"sideband stuck hidden", "the bridge's hide control ignores writes and the sideband window reads all ones "
                                "(the stride register reads 0xFFFFFFFF): the 1-byte stride cannot be learnt",
       [](C& c) { c.sidebandStuckHidden = true; }, "M."},
      {"config all ones", "every configuration read (window at 0xE0000000 and ports 0xCF8/0xCFC) gives all ones; "
                          "writes are dropped",
       [](C& c) { c.configSpaceAllOnes = true; }},
      {"hob depth 200", "GetHobList gives a list whose record has depth 200; a depth past the last level is taken "
                        "as the last, so the pop shows Codes[8], 0",
       HobListFault(List({Handoff(), Record(200), End()})), "", PostCodes::Shown,
       {{"nesting", {0x121, 0xC2A, 0x184, 0x000}}}},
      {"hob zero length before", "a HOB of length 0 stands before the record: the walk ends there",
       HobListFault(List({Handoff(), Header(kOtherType, 0), Record(0), End()})), "", kNotFound},
      {"hob zero length after", "a HOB of length 0 follows the record instead of the end",
       HobListFault(List({Handoff(), Record(0), Header(kOtherType, 0, 8)}))},
      {"hob truncated before", "a HOB whose length (4) is shorter than its header stands before the record",
       HobListFault(List({Handoff(), Header(kOtherType, 4), Record(0), End()})), "", kNotFound},
      {"hob header-only before", "a legal HOB of 8 bytes, header only, stands before the record",
       HobListFault(List({Handoff(), Header(kOtherType, 8), Record(0), End()}))},
      {"hob odd length before", "a HOB of 12 bytes (not a multiple of 8) stands before the record",
       HobListFault(List({Handoff(), Header(kOtherType, 12, 4), Record(0), End()}))},
      {"hob runs past list", "a HOB of length 0xFFF8 before the record leads past the list into floating bus",
       HobListFault(List({Handoff(), Header(kOtherType, 0xFFF8), Record(0), End()})), "", kNotFound},
      {"hob short record", "a 0x1001 HOB with \"pcs0\" at offset 52 whose length says 16 bytes",
       HobListFault(List({Handoff(), Record(0, 16), End()})), "", kNotFound},
      {"hob garbage after", "bytes 0xA5 follow the record instead of the end",
       HobListFault(List({Handoff(), Record(0), Bytes(16, 0xA5)}))},
      {"hob list empty", "the list's first HOB is the end", HobListFault(List({End()})), "", kNotFound},
      {"pei locate fails", "LocatePpi finds no handler PPI", [](C& c) { c.pei.failLocatePpi = true; }, ".", kNone},
      {"pei null ppi", "LocatePpi succeeds with a null PPI", [](C& c) { c.pei.nullPpi = true; }, ".", kNone},
      {"pei register 0 fails", "Register fails for the text handler", [](C& c) { c.pei.failRegisterCalls = {0}; },
       "."},
      {"pei register 1 fails", "Register fails for the POST code handler",
       [](C& c) { c.pei.failRegisterCalls = {1}; }, "", kNone},
      {"pei create hob fails", "CreateHob has no room: no record", [](C& c) { c.pei.failCreateHob = true; }, "",
       kNotFound},
      {"pei get hob list fails", "GetHobList answers EFI_NOT_READY", [](C& c) { c.pei.failGetHobList = true; }, "",
       kNotFound},
      {"pei null hob list", "GetHobList succeeds with a null list", [](C& c) { c.pei.nullHobList = true; }, "",
       kNotFound},
      {"log header ffffffff", "memory log header 0xFFFFFFFF: last byte of the window, wrap count about to roll over",
       LogHeader(0xFFFFFFFFu), "g"},
      {"log header 00000001", "memory log header offset 1: inside the header itself", LogHeader(0x00000001u)},
      {"log header 00020003", "memory log header offset 3, wrap count 2", LogHeader(0x00020003u)},
      {"log header 0000ffff", "memory log header offset 0xFFFF: the line wraps after one byte",
       LogHeader(0x0000FFFFu)},
  };
}

FaultMatrix RunFaultMatrix(const FlashImage& image) {
  FaultMatrix m;
  m.faults = DeviceFaults();
  m.kinds = ReportKinds();
  const scenario::Scenario base = FaultBaseBoard();
  // The kinds of a row share the row's board: each cell runs on the row's
  // machine reset to its state after the entry, as a machine of its own
  // would; a row's machine is not needed after it. The first row is the
  // board without a fault; the text it received is what the other rows are
  // measured against.
  Runner runner(image, 1);
  std::vector<run::DeviceOutputs> clean;
  for (const DeviceFault& fault : m.faults) {
    std::vector<FaultCell> row;
    for (size_t k = 0; k < m.kinds.size(); ++k) {
      scenario::Scenario s = base;
      s.name = fault.name + " / " + m.kinds[k].name;
      s.reports = m.kinds[k].reports;
      fault.apply(s.platform);
      const bool mayBlink = std::any_of(s.reports.begin(), s.reports.end(),
                                        [](const scenario::Report& r) { return scenario::IsUnrecoverableError(r.type); });
      s.limits.instructionsPerCall = mayBlink ? kFaultBlinkBudget : kFaultCallBudget;
      const RunResult run = runner.Run(s);
      if (clean.size() < m.kinds.size()) clean.push_back(run.outputs);
      row.push_back(JudgeCell(run, clean[k], fault, m.kinds[k]));
    }
    m.cells.push_back(std::move(row));
  }
  return m;
}

std::string FaultMatrixText(const FaultMatrix& m) {
  std::string letters, whats;
  for (const run::Output& o : run::kOutputs) {
    letters += std::string(letters.empty() ? "" : " ") + o.letter;
    whats += std::string(whats.empty() ? "" : ", ") + o.what;
  }
  std::vector<size_t> widths(m.kinds.size() + 1, 0);
  for (const DeviceFault& f : m.faults) widths[0] = std::max(widths[0], f.name.size());
  for (size_t k = 0; k < m.kinds.size(); ++k) {
    widths[k + 1] = m.kinds[k].name.size();
    for (const auto& row : m.cells) widths[k + 1] = std::max(widths[k + 1], row[k].Summary().size());
  }
  std::string out = fmt::format("{:<{}}", "fault", widths[0]);
  for (size_t k = 0; k < m.kinds.size(); ++k) out += fmt::format("  {:<{}}", m.kinds[k].name, widths[k + 1]);
  while (out.back() == ' ') out.pop_back();
  out += "\n";
  for (size_t f = 0; f < m.faults.size(); ++f) {
    std::string line = fmt::format("{:<{}}", m.faults[f].name, widths[0]);
    for (size_t k = 0; k < m.kinds.size(); ++k) line += fmt::format("  {:<{}}", m.cells[f][k].Summary(), widths[k + 1]);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  out += fmt::format(
      "\nok: every handler call returned within {} instructions and {} bytes of stack, no fault, image intact.\n"
      "halt: stopped in the blink loop for an unrecoverable error (after one whole cycle, within {}\n"
      "instructions), as designed; the cycle's words follow.\n"
      "{}: the text reached {} (lower case: part\n"
      "of it; '.': none of it). Then the port 0x80 words of the calls that returned, and 'nf' for each\n"
      "EFI_NOT_FOUND a handler answered.\n\n",
      kFaultCallBudget, kFaultStackBudget, kFaultBlinkBudget, letters, whats);
  for (const DeviceFault& f : m.faults) out += fmt::format("{:<{}}  {}\n", f.name, widths[0], f.description);
  out += m.AsDesigned() ? "\nevery cell as designed\n" : "\nFAILED: not every cell as designed\n";
  return out;
}

nlohmann::ordered_json FaultMatrixJson(const FaultMatrix& m) {
  using Json = nlohmann::ordered_json;
  Json doc;
  doc["call_budget_instructions"] = kFaultCallBudget;
  doc["blink_budget_instructions"] = kFaultBlinkBudget;
  doc["stack_budget_bytes"] = kFaultStackBudget;
  doc["kinds"] = Json::array();
  for (const ReportKind& k : m.kinds) doc["kinds"].push_back({{"name", k.name}, {"reports", k.reports.size()}});
  doc["faults"] = Json::array();
  for (size_t f = 0; f < m.faults.size(); ++f) {
    Json cells = Json::array();
    for (size_t k = 0; k < m.kinds.size(); ++k) {
      const FaultCell& c = m.cells[f][k];
      Json cell{{"kind", m.kinds[k].name},
                {"outcome", OutcomeName(c.outcome)},
                {"summary", c.Summary()},
                {"sinks", c.sinks},
                {"postcodes", c.postcodes},
                {"errors", c.errors},
                {"max_instructions", c.maxInstructions},
                {"max_stack_bytes", c.maxStackBytes}};
      if (c.outcome == CellOutcome::Halted) {
        cell["cycle"] = c.cycle;
        cell["writes_per_word"] = c.writesPerWord;
      }
      if (!c.problem.empty()) cell["problem"] = c.problem;
      cells.push_back(std::move(cell));
    }
    doc["faults"].push_back(
        {{"name", m.faults[f].name}, {"description", m.faults[f].description}, {"cells", std::move(cells)}});
  }
  doc["as_designed"] = m.AsDesigned();
  return doc;
}

int PrintFaultMatrix(const FlashImage& image, bool json, std::ostream& out) {
  const FaultMatrix m = RunFaultMatrix(image);
  out << (json ? FaultMatrixJson(m).dump(2) + "\n" : FaultMatrixText(m));
  constexpr int kExitNotAsDesigned = 3;  // sinksim's exit status for a stopped or faulting handler
  return m.AsDesigned() ? 0 : kExitNotAsDesigned;
}

}  // namespace emu
