// The real image through the emulated machine. Every input starts from the
// same machine: the board after the module's entry, put back from a snapshot
// (Emulator::Reset) rather than built anew, so an input does the same
// whatever ran before it. The image's basic blocks are libFuzzer's extra
// counters: an input that runs a block of the module not run before, or
// runs one a new number of times, is kept. Each input is decoded into a
// choice of board and a short sequence of reports (type, value, instance, a caller
// GUID placed or a caller pointer given as it is, a data record of each kind
// with pointers into and out of it, or a data pointer given as it is),
// written as a scenario so that the records are laid out by the scenario
// reader, and delivered to the handlers. It traps on any fault the watcher
// records (a write outside the allowed places, an image write, a fetch
// outside the image, a bad service argument, a read past the delivered
// record), on the image changing, on a
// handler call that does not return within its instruction budget, on a
// blink loop for anything but an unrecoverable error, and on a call deeper
// than 512 bytes of stack.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "emu/Coverage.h"
#include "emu/Emulator.h"
#include "emu/InPlace.h"
#include "emu/Run.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr uint32_t kStackBudgetBytes = 512;
// No report may take more: a boot must not stall for a debug line. A line
// costs a few thousand instructions; the widest field a format can ask for
// (the engine's character limit) reads up to 8 million.
constexpr uint64_t kInstructionBudget = 10'000'000;
// The blink loop is recognised early: its writes cost time and prove nothing more here.
constexpr uint64_t kBlinkWrites = 4096;

// One counter per byte of the image: a block's runs in an input are counted
// at the offset of its first byte (wrapping past 255, as libFuzzer's own
// counters do). The image is 8 KiB at most.
constexpr size_t kImageCounters = 16 * 1024;
__attribute__((section("__libfuzzer_extra_counters"))) uint8_t gImageBlocks[kImageCounters];

}  // namespace

// The host program's own coverage counters (the scenario reader, the JSON
// code that writes each input's scenario), where the linker gathered them.
extern "C" __attribute__((weak)) uint8_t __start___sancov_cntrs[];
extern "C" __attribute__((weak)) uint8_t __stop___sancov_cntrs[];

namespace {

// Cleared when an input ends, so that libFuzzer judges it by the image's
// blocks alone: an input that only takes a new way through the host code
// is not kept.
struct HostCoverageCleared {
  ~HostCoverageCleared() {
    if (__start___sancov_cntrs != nullptr && +__stop___sancov_cntrs > +__start___sancov_cntrs)
      std::memset(__start___sancov_cntrs, 0, static_cast<size_t>(__stop___sancov_cntrs - __start___sancov_cntrs));
  }
};

const emu::FlashImage& Volume() {
  static const emu::FlashImage volume = emu::LoadVolume(SS_FV, SS_FV_BASE);
  return volume;
}

// Pointers worth trying: nothing, RAM the machine keeps (its PPI GUID, the
// stack, the report area and the record itself), flash, device windows,
// floating bus, and the last bytes below 4 GiB.
uint32_t Pointer(FuzzedDataProvider& in) {
  const uint32_t record = scenario::kReportDataAddress;
  const uint32_t interesting[] = {0,
                                  record,
                                  record + 20,
                                  record + 120,
                                  record - 16,
                                  emu::layout::kPpiGuid,
                                  emu::layout::kStackTop - 64,
                                  emu::layout::kTempRamBase,
                                  SS_FV_BASE,
                                  0x70000,
                                  0xFEA10000,
                                  0x12345678,
                                  0xFFFFFFF0,
                                  0xFFFFFFFF};
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return in.PickValueInArray(interesting);
    case 1: return in.PickValueInArray(interesting) + in.ConsumeIntegralInRange<uint32_t>(0, 256);
    default: return in.ConsumeIntegral<uint32_t>();
  }
}

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

// At least one byte: empty byte lists are the scenario reader's own fuzzer's business.
std::string HexBytes(const std::string& bytes) {
  std::string out = bytes.empty() ? "00" : "";
  for (const unsigned char c : bytes) out += "0123456789ABCDEF"[c >> 4], out += "0123456789ABCDEF"[c & 15];
  return out;
}

std::string ModuleOrGuid(FuzzedDataProvider& in) {
  const auto modules = scenario::Modules();
  if (in.ConsumeBool()) return std::string(modules[in.ConsumeIntegralInRange<size_t>(0, modules.size() - 1)].name);
  scenario::Guid g{};
  for (uint8_t& b : g) b = in.ConsumeIntegral<uint8_t>();
  return hostlib::GuidText(g);
}

Json Argument(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 6)) {
    case 0: return Json{{"string", in.ConsumeRandomLengthString(48)}};
    case 1: return Json{{"wstring", in.ConsumeRandomLengthString(24)}};
    case 2: return Json{{"guid", ModuleOrGuid(in)}};
    case 3: return Json{{"bytes", HexBytes(in.ConsumeRandomLengthString(16))}};
    case 4: return Json{{"u64", Hex(in.ConsumeIntegral<uint32_t>()) + "00000000"}};
    case 5: return Pointer(in);
    default: return in.ConsumeIntegral<uint32_t>();
  }
}

Json Record(FuzzedDataProvider& in) {
  Json d;
  switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0: {
      d["kind"] = "debug";
      d["level"] = Hex(in.ConsumeBool() ? 0x40u : in.ConsumeIntegral<uint32_t>());
      d["format"] = in.ConsumeRandomLengthString(120);
      Json args = Json::array();
      for (int slots = in.ConsumeIntegralInRange(0, 12); slots > 0; --slots) args.push_back(Argument(in));
      d["args"] = args;
      break;
    }
    case 1:
      d["kind"] = "assert";
      d["file"] = in.ConsumeRandomLengthString(64);
      d["line"] = in.ConsumeIntegral<uint32_t>();
      d["description"] = in.ConsumeRandomLengthString(64);
      break;
    case 2:
      d["kind"] = "specific";
      if (in.ConsumeBool())
        d["module"] = ModuleOrGuid(in);
      else
        d["guid_address"] = Hex(Pointer(in));
      break;
    case 3:
      d["kind"] = "string";
      d["string_kind"] = in.ConsumeIntegralInRange(0, 2);
      d["text"] = in.ConsumeRandomLengthString(200);
      break;
    default:
      d["kind"] = "raw";
      d["type_guid"] = ModuleOrGuid(in);
      d["bytes"] = HexBytes(in.ConsumeRandomLengthString(160));
      break;
  }
  // Headers that disagree with the record.
  if (in.ConsumeIntegralInRange(0, 7) == 0) d["size"] = in.ConsumeIntegral<uint16_t>();
  if (in.ConsumeIntegralInRange(0, 7) == 0) d["header_size"] = in.ConsumeIntegral<uint16_t>();
  return d;
}

uint32_t Type(FuzzedDataProvider& in) {
  const uint32_t types[] = {0x01, 0x02, 0x03, 0x80000002, 0x40000002, 0x90000002, 0x90000001, 0x10000002};
  return in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegral<uint32_t>() : in.PickValueInArray(types);
}

uint32_t Value(FuzzedDataProvider& in) {
  // Module begin and end, the fixed codes, an assertion, data and string
  // values, an error, and a nested level's push and pop.
  const uint32_t values[] = {0x03020002, 0x03020003, 0x03021001, 0x03021000, 0x03010007, 0x03020000, 0x03020001,
                             0x03058002, 0x03028004, 0x00051003, 0x01010000, 0x03021003, 0x03021004};
  return in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegral<uint32_t>() : in.PickValueInArray(values);
}

[[noreturn]] void Finding(const std::string& what) {
  std::fprintf(stderr, "image_fuzz: %s\n", what.c_str());
  __builtin_trap();
}

void CheckCall(const run::CallResult& c, const std::string& where, uint32_t type, bool lastHandler) {
  if (c.stackBytes > kStackBudgetBytes) Finding(where + ": " + std::to_string(c.stackBytes) + " bytes of stack");
  if (c.stopped.empty()) return;
  if (c.stopped != "blink loop") Finding(where + " stopped: " + c.stopped);
  if (!scenario::IsUnrecoverableError(type) || !lastHandler) Finding(where + " blinks for type " + Hex(type));
}

// One machine per board, made once: the module's entry runs, the machine
// keeps a snapshot of itself, and every input starts from it.
struct Board {
  scenario::Scenario settings;
  sim::Platform platform;
  std::unique_ptr<emu::Emulator> machine;
};

constexpr size_t kBoardCount = 3;
std::unique_ptr<Board> gBoards[kBoardCount];

// With -print_final_stats=1, the blocks per function too.
bool gFinalStats = false;

// At the end of a run: how many of the image's basic blocks the inputs
// reached (on any board, the entry's included), by the block map beside the volume.
void ReportImageCoverage() {
  try {
    const emu::BlockMap map = emu::ReadBlockMap(emu::BlockMapPathFor(SS_FV));
    emu::CoveredBytes covered(Volume().imageSize);
    for (const std::unique_ptr<Board>& b : gBoards)
      if (b != nullptr) covered.Add(b->machine->ExecutedBlocks());
    const emu::CoverageReport r = emu::Summarize(map, covered);
    std::fprintf(stderr, "image_fuzz: %zu of %zu basic blocks of the image reached\n", r.reached, r.blocks);
    if (gFinalStats) std::fprintf(stderr, "%s", emu::CoverageText(map, r).c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "image_fuzz: no block figures: %s\n", e.what());
  }
}

// The boards: every output on; the memory-mapped controller with registers
// 1 byte apart and a legacy port that drains one byte per 3 status reads, so
// the module's waits run a while and end; the memory log alone with its
// header near the window's end. No board has a legacy port that never
// empties: the module then waits its whole 100,000 status reads (some
// 600,000 instructions) on every line and drops the rest, the same whatever
// the input, which would make that board most of the fuzzer's time. The
// scenario stuck_legacy.json runs that path.
Board& BoardFor(uint8_t byte) {
  static const char* const kBoards[kBoardCount] = {
      R"({"platform": {"control_byte": "0x91", "host_bridge_dc": "0x10000000", "mmio_serial": {"present": true}}, "reports": []})",
      R"({"platform": {"control_byte": "0x83", "mmio_serial": {"present": true, "stride": 1}, "legacy_serial": {"drain_pace": 3}}, "reports": []})",
      R"({"platform": {"control_byte": "0x90", "host_bridge_dc": "0x10000000", "memory_log_header": "0x0007FFF0"}, "reports": []})",
  };
  const size_t which = byte % kBoardCount;
  std::unique_ptr<Board>& b = gBoards[which];
  if (b == nullptr) {
    b = std::make_unique<Board>();
    b->settings = scenario::ParseScenario(kBoards[which], "board.json");
    b->settings.limits.instructionsPerCall = kInstructionBudget;
    b->settings.limits.blinkWrites = kBlinkWrites;
    scenario::ApplyPlatform(b->settings.platform, b->platform);
    b->platform.bus.SetLogLimit(0);
    b->machine = std::make_unique<emu::Emulator>(Volume(), b->platform, b->settings.platform, b->settings.limits);
    const run::CallResult entry = b->machine->RunEntry();
    if (entry.status != 0u || entry.stackBytes > kStackBudgetBytes || !b->machine->Faults().empty())
      Finding("the entry failed, stopped or ran deep");
    if (Volume().imageSize > kImageCounters) Finding("the image is larger than its counters");
    b->machine->CountBlockRunsInto(gImageBlocks, kImageCounters);
    b->machine->TakeSnapshot();
  }
  b->machine->Reset();
  return *b;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i)
    if (std::string((*argv)[i]) == "-print_final_stats=1") gFinalStats = true;
  std::atexit(ReportImageCoverage);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const HostCoverageCleared hostCoverageCleared;
  FuzzedDataProvider in(data, size);
  Board& board = BoardFor(in.ConsumeIntegral<uint8_t>());
  Json reports = Json::array();
  struct Pointers {
    bool caller = false, data = false;  // a pointer given as it is instead of a placed object
    uint32_t callerAddress = 0, dataAddress = 0;
  };
  std::vector<Pointers> given;
  for (int n = in.ConsumeIntegralInRange(1, 6); n > 0 && in.remaining_bytes() > 0; --n) {
    Json r{{"type", Hex(Type(in))}, {"value", Hex(Value(in))}, {"instance", in.ConsumeIntegral<uint8_t>()}};
    Pointers p;
    switch (in.ConsumeIntegralInRange(0, 2)) {
      case 0: break;
      case 1: r["caller"] = ModuleOrGuid(in); break;
      default: p.caller = true, p.callerAddress = Pointer(in);
    }
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0: break;
      case 1: p.data = true, p.dataAddress = Pointer(in); break;
      default: r["data"] = Record(in);
    }
    reports.push_back(r);
    given.push_back(p);
  }

  scenario::Scenario scenario;
  try {
    // Bytes that are not UTF-8 become U+FFFD: the scenario's texts are UTF-8.
    scenario = scenario::ParseScenario(Json{{"reports", reports}}.dump(-1, ' ', false, Json::error_handler_t::replace),
                                       "fuzz.json");
  } catch (const scenario::ScenarioError&) {
    return 0;  // a combination the reader refuses (the reader has its own fuzzer)
  }
  for (size_t i = 0; i < scenario.reports.size(); ++i) {
    scenario::Report& r = scenario.reports[i];
    if (given[i].caller) r.callerAddress = given[i].callerAddress;
    if (given[i].data) r.dataAddress = given[i].dataAddress;
    const std::vector<run::CallResult> calls = board.machine->Deliver(r, i);
    for (size_t h = 0; h < calls.size(); ++h)
      CheckCall(calls[h], "report " + std::to_string(i) + ", handler " + std::to_string(h), r.type,
                h + 1 == board.machine->Handlers().size());
    if (!board.machine->Faults().empty()) {
      const run::Fault& f = board.machine->Faults().front();
      Finding(f.kind + " at " + Hex(f.address) + " by " + Hex(f.eip) + " during " + f.during + ": " + f.detail);
    }
    if (board.machine->Halted()) break;
  }
  if (!board.machine->ImageIntact()) Finding("the image was written");
  return 0;
}
