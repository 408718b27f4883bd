// One run of a scenario, whichever machine ran it: the emulated machine
// (emu/, the real image), QEMU's PC (qemu/host) or the host32 whole-path
// harness (the module's code built for the host). All fill this type and
// print it with the one JSON writer (run/Json.h) and the one text view
// (run/TextView.h), so that the cross-checks compare like with like and a
// new field is added in one place. Fields that only the emulated machine can
// measure (instructions, stack, faults, image) stay at their defaults in a
// host32 run.
#ifndef STATUSSINK_RUN_RUNRESULT_H
#define STATUSSINK_RUN_RUNRESULT_H

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "run/Outputs.h"
#include "hostlib/Text.h"
#include "scenario/Board.h"
#include "scenario/Scenario.h"
#include "sim/Machine.h"
#include "sim/PeiBehaviour.h"

namespace run {

using scenario::PostCodeStack;
using scenario::Report;
using scenario::Scenario;

struct Fault {
  std::string kind;    // "image write", "write outside allowed regions", "fetch outside the image", ...
  uint32_t address = 0;
  uint32_t eip = 0;    // start of the basic block whose instruction caused it
  uint32_t width = 0;
  uint64_t value = 0;
  std::string during;  // "entry" or "report N, handler M"
  std::string detail;
};

// A stretch of the image whose instructions a run counts apart (the format
// engine's functions, say): offsets from the address RVA 0 stands for, end
// excluded. A basic block belongs to the range its first byte lies in.
struct CountRange {
  uint32_t start = 0, end = 0;
  std::string name;

  bool operator==(const CountRange&) const = default;
};

// One call of the entry point or of a handler.
struct CallResult {
  std::optional<uint32_t> status;  // the returned EFI_STATUS; empty when the call was stopped
  // "", "blink loop" (the designed halt), "port 0x80 loop" (any other call that
  // writes port 0x80 without end), "instruction budget", "fault" (the faults say which)
  std::string stopped;
  uint64_t instructions = 0;
  uint64_t rangeInstructions = 0;  // of those, the ones executed in the run's count ranges
  uint32_t stackBytes = 0;  // deepest stack use below the arguments, return address included
  uint64_t ioAccesses = 0;
  uint64_t mmioAccesses = 0;
  OutputBytes outputBytes{};  // what each output of kOutputs received during the call
  // With the board time model: when the call began and ended, in
  // nanoseconds from the entry's start (calls follow each other without a gap).
  uint64_t startNs = 0, endNs = 0;
  // Port 0x80 words written in this call (first of each run when stopped),
  // at most a few thousand: postcode_writes counts every write.
  std::vector<uint16_t> postcodes;

  bool operator==(const CallResult&) const = default;
};

// One step of a blink cycle: a word and how many times in a row it was written.
struct CycleStep {
  uint16_t word = 0;
  uint64_t writes = 0;

  bool operator==(const CycleStep&) const = default;
};

// A call that never returned, and where the boot stopped.
struct Halt {
  std::string reason;
  size_t report = 0;
  size_t handler = 0;
  std::vector<CycleStep> cycle;  // one cycle of the stopped call's port 0x80 writes, the words in turn
  uint64_t portWrites = 0;  // port 0x80 writes made by the stopped call
  uint64_t instructions = 0;
};

struct DeliveredReport {
  size_t index = 0;  // delivery order (of the first, when repeated)
  const Report* report = nullptr;
  std::vector<CallResult> calls;  // one per registered handler, in registration order
  // Deliveries in a row of the same scenario report that every handler
  // answered alike, kept once: a report repeated ten million times costs
  // one entry, not ten million.
  uint64_t repeat = 1;
};

// The board time model's figures of a run.
struct TimingResult {
  sim::TimingSettings settings;
  uint64_t bootNs = 0;  // from the entry's start to the end of the last call
  // The time charged to each output of kOutputs, in the table's order, then
  // to the module (everything else): together bootNs.
  std::array<uint64_t, kOutputCount + 1> chargedNs{};
  // Each serial line's transmitter: its settings and its bursts of bytes
  // sent back to back, as (start of the first start bit in ns, bytes).
  struct Wire {
    size_t output = 0;  // in kOutputs
    sim::UartTiming line;
    std::vector<std::pair<uint64_t, uint64_t>> bursts;
  };
  std::vector<Wire> wires;
};
// The board clock's figures, read through kOutputs.
TimingResult ReadTiming(const sim::Platform& platform);

struct HandlerStats {
  uint32_t address = 0;
  uint64_t calls = 0;
  uint64_t instructions = 0;
  uint64_t maxInstructions = 0;
  uint32_t maxStackBytes = 0;
};

struct RunResult {
  std::string machine;  // "emulator" or "host32"
  const Scenario* scenario = nullptr;
  std::string imagePath;
  std::string imageSource, imageFormat;  // "relocated .efi" / "firmware volume in place"; "PE32" / "TE"
  std::vector<std::string> dispatch;     // how the volume's PEIM was found and allowed to run
  uint32_t imageFileSize = 0, imageBase = 0, imageSize = 0, entryPoint = 0, relocations = 0;
  uint32_t dataAddress = scenario::kReportDataAddress;  // where the reports' data records were placed
  CallResult entry;
  std::vector<uint32_t> handlers;  // addresses, in registration order
  std::vector<DeliveredReport> reports;
  DeviceOutputs outputs;
  std::vector<uint16_t> postcodes;  // every word written to port 0x80 (a stopped call: one per run)
  uint64_t postcodeWrites = 0;      // every write counted
  std::optional<Halt> halt;
  std::vector<Fault> faults;  // the first ones of the run
  uint64_t faultsNotListed = 0;  // faults after those, counted only
  sim::PeiServiceCalls services;
  bool imageIntact = true;
  std::vector<std::pair<uint32_t, PostCodeStack>> stackHobs;  // HOBs the module created: address, record
  std::vector<HandlerStats> handlerStats;
  uint64_t instructions = 0;  // entry and every handler call
  // The count ranges asked for (none: nothing counted apart), the entry's and
  // every handler call's instructions in them, and every executed block that
  // runs over a range's edge (its count would go wrong, so a run with any is
  // not to be trusted for the ranges).
  std::vector<CountRange> countRanges;
  uint64_t rangeInstructions = 0;
  std::vector<std::string> countRangeCrossings;
  uint32_t maxStackBytes = 0;
  uint64_t ioAccesses = 0, mmioAccesses = 0;
  std::vector<uint8_t> memoryLogWindow;  // the 64 KiB at 0x70000 after the run (emulator)
  std::optional<TimingResult> timing;  // with the board time model only
  std::vector<sim::Access> accesses;  // the bus log, when asked for
  bool accessLogTruncated = false;

  // Records the entry's call, then each delivered report, keeping the
  // totals. Alike deliveries in a row are kept once; a run whose deliveries
  // differ from each other more than kMaxKeptReports times throws RunLimit.
  void AddEntry(CallResult call);
  void AddReport(DeliveredReport delivered);
  // Reports delivered, repeats counted.
  uint64_t Delivered() const;
};

// Different deliveries a run keeps (alike ones in a row count once): about
// 300 bytes each with two handlers, so a run stays within a few hundred MB
// whatever the scenario. A repeated report that every handler answers alike
// costs one entry however often it is delivered.
inline constexpr size_t kMaxKeptReports = size_t{1} << 20;

// One of the run's own limits was reached: not bad input, the run stops (exit status 3).
class RunLimit : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How a run ended, in the order of precedence: a call stopped or faulted (an
// instruction budget, a fault, the image written, a time limit) wins over
// the module halting as designed (a blink loop, and nothing else wrong).
// sinksim's exit status is the enum's value; 1 is bad input.
enum class RunEnd { Clean = 0, DesignedHalt = 2, Stopped = 3 };
RunEnd Classify(const RunResult& run);

// Names for the addresses of a run (handlers, fault locations): offsets from
// imageBase to names, taken from the image's map or given by the harness.
struct RenderContext {
  std::map<uint32_t, std::string> symbols;
  size_t maxRows = 200;  // long tables of the text view show their first and last rows
};
using hostlib::Hex32;  // "0x0000001F"
std::string SymbolAt(const RenderContext& context, const RunResult& run, uint32_t address);
std::string HandlerName(const RenderContext& context, const RunResult& run, size_t handler);

}  // namespace run

#endif
