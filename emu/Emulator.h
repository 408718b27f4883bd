// The emulated machine: a 32-bit x86 CPU (Unicorn) in flat protected mode
// that runs StatusSinkPei.efi in place from a flash address just below
// 4 GiB, with the PEI environment around it (services table whose entries
// are host thunks, the services pointer below the IDT, the report-status-code
// handler PPI, a HOB list) and every port and device access routed to the
// sim/ device models of one sim::Platform.
//
// It is made of parts with one job each: the CPU and the state of the call
// it runs (emu/Cpu.h), guest memory with its one table of regions
// (emu/GuestMemory.h), the PEI service thunks (emu/PeiThunks.h), the block
// and range counter (emu/BlockCounter.h) and the fault watch
// (emu/FaultWatch.h). This class is the call protocol: it calls the entry and
// the handlers as the PEI dispatcher and the router do, and stops calls that
// do not return (a budget of instructions, port 0x80 writes that only the
// blink of an unrecoverable error may make, as the board's sim::PostCodePort
// counts them, `hlt`, a jump into the PEI core's code, a stack or a store
// loop run away).
#ifndef STATUSSINK_EMU_EMULATOR_H
#define STATUSSINK_EMU_EMULATOR_H

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emu/BlockCounter.h"
#include "emu/Cpu.h"
#include "emu/FaultWatch.h"
#include "emu/GuestMemory.h"
#include "emu/MachineLayout.h"
#include "emu/PeImage.h"
#include "emu/PeiThunks.h"
#include "sim/PeiBehaviour.h"
#include "sim/SimPlatform.h"
#include "run/RunResult.h"
#include "scenario/Scenario.h"

namespace emu {

// What the machine maps read-only as flash and calls: the image relocated by
// the loader below the PEI core page (a bare .efi, for unit work), or a
// firmware volume at its flash base with the image in it run in place.
struct FlashImage {
  std::string path;
  std::string source;         // "relocated .efi" or "firmware volume in place"
  std::string format;         // "PE32" or "TE"
  uint32_t fileSize = 0;      // bytes of the .efi or the volume
  uint32_t flashBase = 0;     // first byte of the read-only mapping
  std::vector<uint8_t> flash;  // what lies there, a whole number of pages
  uint32_t imageBase = 0;     // the address RVA 0 stands for
  uint32_t imageSize = 0;
  uint32_t entryRva = 0;
  uint32_t relocations = 0;             // applied by the loader; 0 in place
  uint32_t fileHandle = layout::kFileHandle;  // FileHandle as the dispatcher passes it
  std::vector<std::string> dispatch;    // how the PEIM was found and why it may run
};

// Refuses (ImageError) flash that is not whole pages, covers what the machine
// keeps for itself (low memory, temporary RAM, the PEI core page) or does not
// hold the entry point.
void CheckPlacement(const FlashImage& image);

// The .efi laid out and relocated just below the PEI core page.
FlashImage PlaceRelocated(const PeImage& image);

// The PPIs the machine's PEI core has installed before it dispatches the module.
std::vector<std::array<uint8_t, 16>> InstalledPpis();

using run::CallResult;
using run::Fault;
using run::Halt;
using ServiceCalls = sim::PeiServiceCalls;

class Emulator {
 public:
  Emulator(FlashImage image, sim::Platform& platform, const scenario::PlatformConfig& config,
           const scenario::Limits& limits);
  Emulator(const PeImage& image, sim::Platform& platform, const scenario::PlatformConfig& config,
           const scenario::Limits& limits)
      : Emulator(PlaceRelocated(image), platform, config, limits) {}
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Calls ModuleEntry(FileHandle, PeiServices) as the PEI dispatcher does.
  CallResult RunEntry();
  // Delivers one report to every registered handler in registration order, as the router does.
  std::vector<CallResult> Deliver(const scenario::Report& report, size_t index);

  bool Halted() const { return halt_.has_value(); }
  const std::optional<Halt>& HaltInfo() const { return halt_; }
  // The first kFaultListBound faults of the run, and how many came after them.
  const std::vector<Fault>& Faults() const { return watch_.Faults(); }
  uint64_t FaultsNotListed() const { return watch_.FaultsNotListed(); }
  static constexpr size_t kFaultListBound = FaultWatch::kFaultListBound;
  // Writes outside the allowed places after which a call is stopped: a store
  // loop over memory the module does not own (rep stosd over bus memory, a
  // wild memset) has no good end.
  static constexpr uint32_t kStrayWritesPerCall = FaultWatch::kStrayWritesPerCall;
  // Port 0x80 runs (alike words in a row) the board's port keeps for a call
  // (sim::PostCodePort::KeepRuns): the blink has four words to a cycle, and
  // a call that returns writes one word.
  static constexpr size_t kPortRunsKept = 4096;
  const std::vector<uint32_t>& Handlers() const { return pei_.Handlers(); }
  const ServiceCalls& Services() const { return pei_.calls; }
  uint32_t ImageBase() const { return image_.imageBase; }
  uint32_t ImageSize() const { return image_.imageSize; }
  uint32_t EntryPoint() const { return image_.imageBase + image_.entryRva; }
  const FlashImage& Image() const { return image_; }
  uint32_t RelocationsApplied() const { return image_.relocations; }
  // HOBs made by CreateHob: guest address and length.
  const std::vector<std::pair<uint32_t, uint32_t>>& CreatedHobs() const { return pei_.createdHobs; }
  std::vector<uint8_t> ReadGuest(uint32_t address, uint32_t size) const { return memory_.Read(address, size); }
  // Guest stores that went to the stack through the emulator's own RAM (the
  // way around Unicorn's store path); see emu/GuestMemory.h.
  uint64_t StackStores() const { return memory_.StackStores(); }
  // Times the translation cache was flushed between calls (see Call), and
  // how many calls may run between two flushes.
  uint64_t TranslationFlushes() const { return translationFlushes_; }
  void SetTranslationFlushInterval(uint64_t calls) { translationFlushInterval_ = calls; }
  static constexpr uint64_t kTranslationFlushInterval = 1u << 20;
  // True when the image in guest memory still equals the relocated file.
  bool ImageIntact() const { return memory_.FlashHolds(image_.flash); }

  // From the next call on, also counts the instructions of every block that
  // starts in one of these ranges of the image (offsets from ImageBase(), end
  // excluded): CallResult::rangeInstructions. Refuses (std::invalid_argument)
  // a range that ends before it starts or past the image, and ranges that
  // overlap. Blocks do not span functions, so ranges made of whole functions
  // count exactly; a block seen to run over a range's edge is named in
  // RangeCrossings() (once), and is counted with the range its first byte is in.
  void CountIn(const std::vector<run::CountRange>& ranges) { counter_.CountIn(ranges); }
  const std::vector<std::string>& RangeCrossings() const { return counter_.RangeCrossings(); }

  // The blocks that ran in the flash since the machine was made (or since
  // CountIn), as (offset from ImageBase(), bytes): `sinksim coverage`.
  std::vector<std::pair<uint32_t, uint32_t>> ExecutedBlocks() const { return counter_.Ran(); }
  // Also counts every run of a block of the image at the offset of its first
  // byte in `counters` (libFuzzer's extra counters); null stops it.
  void CountBlockRunsInto(uint8_t* counters, size_t size) { counter_.CountRunsInto(counters, size); }

  // Keeps the machine as it is now (right after RunEntry, say) to go back to:
  // the registers, temporary RAM and the stack, the PEI services' state (HOBs,
  // registered handlers, counts), every device of the board, the faults and
  // the halt. Reset puts all of that back without making a new CPU, so the
  // code Unicorn translated stays translated: a run of many short inputs
  // starts each from the same machine for the cost of a few copies.
  //
  // The blocks seen to run (ExecutedBlocks) and the range crossings stay as
  // they are, gathered over every run since the machine was made; after
  // Reset, ResetBlocksRun puts them back to the snapshot's as well, so that
  // they tell of the entry and the runs after the reset alone.
  void TakeSnapshot();
  void Reset();
  void ResetBlocksRun();

  // The bounds on each call from the next call on: a machine kept after its
  // entry may run reports under other budgets than the entry ran under.
  void SetLimits(const scenario::Limits& limits) { limits_ = limits; }

 private:
  CallResult Call(uint32_t function, const std::vector<uint32_t>& args, const std::string& during);
  // What the call that just ended wrote to port 0x80, as the halt of the run.
  Halt HaltOf(const CallResult& call, size_t report, size_t handler) const;

  // Unicorn callbacks.
  static void OnImageBlock(uc_struct* uc, uint64_t address, uint32_t size, void* self);
  static void OnThunkCode(uc_struct* uc, uint64_t address, uint32_t size, void* self);
  static uint32_t OnIn(uc_struct* uc, uint32_t port, int size, void* self);
  static void OnOut(uc_struct* uc, uint32_t port, int size, uint32_t value, void* self);

  FlashImage image_;
  sim::Platform& platform_;
  bool interruptsEnabled_;
  scenario::Limits limits_;
  sim::PeiBehaviour pei_;  // what the services answer; the thunks carry it out in guest memory
  Cpu cpu_;
  FaultWatch watch_;
  GuestMemory memory_;
  BlockCounter counter_;
  PeiThunks thunks_;

  uint64_t callsSinceFlush_ = 0;
  uint64_t translationFlushInterval_ = kTranslationFlushInterval;
  uint64_t translationFlushes_ = 0;
  std::optional<Halt> halt_;
  struct Snapshot;
  std::unique_ptr<Snapshot, void (*)(Snapshot*)> snapshot_{nullptr, nullptr};

  // State of the call in progress (the rest is in cpu_.call and the parts).
  uint64_t ioAccesses_ = 0;
  uint64_t portWritesBefore_ = 0;  // the port's write count when the call began
  bool blinkAllowed_ = false;  // the call handles an unrecoverable error: it may blink for ever
  bool returned_ = false;      // the call came back to the return thunk
};

}  // namespace emu

#endif
