// The emulated machine: a 32-bit x86 CPU (Unicorn) in flat protected mode
// that runs StatusSinkPei.efi in place from a flash address just below
// 4 GiB, with the PEI environment around it (services table whose entries
// are host thunks, the services pointer below the IDT, the report-status-code
// handler PPI, a HOB list) and every port and device access routed to the
// sim/ device models of one sim::Platform.
//
// It watches what the image does: instructions and deepest stack per call,
// every port and device access, any write outside the stack, the module's own
// HOB, the memory log window and device registers, writes into the image,
// reads past the end of the data record a report delivered, and calls that
// do not return (a budget of instructions, port 0x80 writes that only the
// blink of an unrecoverable error may make, `hlt`, a jump into the PEI core's
// code, a stack or a store loop run away).
#ifndef STATUSSINK_EMU_EMULATOR_H
#define STATUSSINK_EMU_EMULATOR_H

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "emu/PeImage.h"
#include "sim/PeiBehaviour.h"
#include "sim/SimPlatform.h"
#include "scenario/RunResult.h"
#include "scenario/Scenario.h"

#include <unicorn/unicorn.h>

namespace emu {

// Where things sit in the guest's physical address space.
namespace layout {
constexpr uint32_t kTempRamBase = 0xFEF00000u;  // temporary RAM (cache as RAM) of the PEI phase
constexpr uint32_t kTempRamSize = 0x40000u;
constexpr uint32_t kServicesTable = kTempRamBase + 0x000;
constexpr uint32_t kServicesPointer = kTempRamBase + 0x100;  // the EFI_PEI_SERVICES** handed to the module
constexpr uint32_t kHandlerPpi = kTempRamBase + 0x140;
constexpr uint32_t kPpiDescriptor = kTempRamBase + 0x160;
constexpr uint32_t kPpiGuid = kTempRamBase + 0x170;
constexpr uint32_t kGdt = kTempRamBase + 0x200;
constexpr uint32_t kIdtBase = kTempRamBase + 0x1000;  // the services pointer sits in the 4 bytes below
constexpr uint32_t kIdtLimit = 0x7FF;                // 256 gates of 8 bytes
constexpr uint32_t kHobList = kTempRamBase + 0x2000;
constexpr uint32_t kReportArea = scenario::kReportDataAddress - 16;  // caller GUID, then the data record
static_assert(kReportArea == kTempRamBase + 0x12000);
constexpr uint32_t kReportAreaSize = 0x11000;
constexpr uint32_t kStackBottom = kTempRamBase + 0x30000;
constexpr uint32_t kStackTop = kTempRamBase + kTempRamSize;
constexpr uint32_t kThunkPage = 0xFFFF0000u;  // host-implemented PEI core code
constexpr uint32_t kReturnThunk = kThunkPage + 0xFF0;  // where calls from the dispatcher return to
constexpr uint32_t kNeverReached = kThunkPage + 0xFF8;  // uc_emu_start's end address; calls stop at kReturnThunk
constexpr uint32_t kFlashTop = kThunkPage;  // the image ends at or below this address
constexpr uint32_t kFileHandle = 0xFFF00000u;  // the module's FFS file, as the dispatcher would pass it
}  // namespace layout

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

using scenario::CallResult;
using scenario::Fault;
using scenario::Halt;
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
  const std::vector<Fault>& Faults() const { return faults_; }
  uint64_t FaultsNotListed() const { return faultsNotListed_; }
  static constexpr size_t kFaultListBound = 1000;
  // Writes outside the allowed places after which a call is stopped: a store
  // loop over memory the module does not own (rep stosd over bus memory, a
  // wild memset) has no good end.
  static constexpr uint32_t kStrayWritesPerCall = 64;
  // Port 0x80 runs (alike words in a row) a call keeps: the blink has four
  // words to a cycle, and a call that returns writes one word.
  static constexpr size_t kPortRunsKept = 4096;
  const std::vector<uint32_t>& Handlers() const { return pei_.Handlers(); }
  const ServiceCalls& Services() const { return pei_.calls; }
  uint32_t ImageBase() const { return imageBase_; }
  uint32_t ImageSize() const { return imageSize_; }
  uint32_t EntryPoint() const { return imageBase_ + image_.entryRva; }
  const FlashImage& Image() const { return image_; }
  uint32_t RelocationsApplied() const { return relocations_; }
  // HOBs made by CreateHob: guest address and length.
  const std::vector<std::pair<uint32_t, uint32_t>>& CreatedHobs() const { return pei_.createdHobs; }
  std::vector<uint8_t> ReadGuest(uint32_t address, uint32_t size) const;
  // Guest stores that went to the stack through the emulator's own RAM (the
  // way around Unicorn's store path); see the constructor.
  uint64_t StackStores() const { return stackStores_; }
  // Times the translation cache was flushed between calls (see Call), and
  // how many calls may run between two flushes.
  uint64_t TranslationFlushes() const { return translationFlushes_; }
  void SetTranslationFlushInterval(uint64_t calls) { translationFlushInterval_ = calls; }
  static constexpr uint64_t kTranslationFlushInterval = 1u << 20;
  // True when the image in guest memory still equals the relocated file.
  bool ImageIntact() const;

  // From the next call on, also counts the instructions of every block that
  // starts in one of these ranges of the image (offsets from ImageBase(), end
  // excluded): CallResult::rangeInstructions. Refuses (std::invalid_argument)
  // a range that ends before it starts or past the image, and ranges that
  // overlap. Blocks do not span functions, so ranges made of whole functions
  // count exactly; a block seen to run over a range's edge is named in
  // RangeCrossings() (once), and is counted with the range its first byte is in.
  void CountIn(const std::vector<scenario::CountRange>& ranges);
  const std::vector<std::string>& RangeCrossings() const { return rangeCrossings_; }

  // The blocks that ran in the flash since the machine was made (or since
  // CountIn), as (offset from ImageBase(), bytes): `sinksim coverage`.
  std::vector<std::pair<uint32_t, uint32_t>> ExecutedBlocks() const {
    std::vector<std::pair<uint32_t, uint32_t>> ran;
    for (uint32_t at = 0; at < blockCounts_.size(); ++at)
      if (blockCounts_[at].size != 0) ran.emplace_back(flashBase_ + at - imageBase_, blockCounts_[at].size);
    return ran;
  }

 private:
  struct MmioRegion;
  CallResult Call(uint32_t function, const std::vector<uint32_t>& args, const std::string& during);
  void Fail(Fault fault);
  // Records the fault and stops the call in progress.
  void Stop(Fault fault);
  void WroteOutside(Fault fault);
  // The bytes of the report area a handler may read as the delivered record
  // (its header and Size bytes) and the objects placed after it; the rest of
  // the area is watched while the report's handlers run.
  void WatchRecord(const std::vector<uint8_t>& placed, const scenario::DataRecord& record);
  void CheckRecordRead(uint32_t address, uint32_t size, const char* how);
  void SetUpCpu();
  void SetUpEnvironment();
  // What lies at a guest address: the emulator's stack, Unicorn's RAM or
  // flash, or the bus; bytesLeft says how far the same kind goes on.
  enum class Memory { Stack, Ram, Bus };
  Memory MemoryAt(uint32_t address, uint64_t* bytesLeft) const;
  void MapBus();
  void MapBusRegion(uint64_t address, uint64_t size, uint32_t busAddress);
  bool AllowedRamWrite(uint32_t address, int size) const;
  void Service(uint32_t address);
  void SyncHobs(uint32_t offset, uint32_t length);
  uint32_t Arg(int n) const;
  void GuestRead(uint32_t address, void* bytes, uint32_t size) const;
  bool GuestWrite(uint32_t address, const void* bytes, uint32_t size);
  void Write32(uint32_t address, uint32_t value);
  bool TryWrite32(uint32_t address, uint32_t value, const char* service);
  void Return(uint32_t eax);

  // Unicorn callbacks.
  static void OnImageBlock(uc_struct* uc, uint64_t address, uint32_t size, void* self);
  bool BlockInRange(uint32_t offset, uint32_t size);
  static void OnThunkCode(uc_struct* uc, uint64_t address, uint32_t size, void* self);
  static uint32_t OnIn(uc_struct* uc, uint32_t port, int size, void* self);
  static void OnOut(uc_struct* uc, uint32_t port, int size, uint32_t value, void* self);
  static void OnRamWrite(uc_struct* uc, uc_mem_type type, uint64_t address, int size, int64_t value, void* self);
  static bool OnProtected(uc_struct* uc, uc_mem_type type, uint64_t address, int size, int64_t value, void* self);
  static void OnRecordRead(uc_struct* uc, uc_mem_type type, uint64_t address, int size, int64_t value, void* self);
  static bool OnUnmapped(uc_struct* uc, uc_mem_type type, uint64_t address, int size, int64_t value, void* self);
  static uint64_t OnStackRead(uc_struct* uc, uint64_t offset, unsigned size, void* self);
  static void OnStackWrite(uc_struct* uc, uint64_t offset, unsigned size, uint64_t value, void* self);
  static uint64_t OnMmioRead(uc_struct* uc, uint64_t offset, unsigned size, void* region);
  static void OnMmioWrite(uc_struct* uc, uint64_t offset, unsigned size, uint64_t value, void* region);

  FlashImage image_;
  sim::Platform& platform_;
  scenario::PlatformConfig config_;
  scenario::Limits limits_;
  sim::PeiBehaviour pei_;  // what the services answer; the thunks below carry it out in guest memory
  std::unique_ptr<uc_struct, void (*)(uc_struct*)> uc_;
  std::vector<std::unique_ptr<MmioRegion>> regions_;
  uint32_t imageBase_ = 0, imageSize_ = 0, relocations_ = 0;
  uint32_t flashBase_ = 0, flashSize_ = 0;  // the read-only mapping

  struct BlockCount {
    uint16_t size = 0;  // bytes of the block last seen at this offset (0: none yet)
    uint16_t instructions = 0;
    bool inRange = false;  // the block starts in a count range
  };
  std::vector<BlockCount> blockCounts_;  // by offset of the block's start in the flash
  // By offset in the flash: 0 outside the count ranges, else the range's
  // number plus one. Empty when no range is counted.
  std::vector<uint16_t> rangeAt_;
  std::vector<scenario::CountRange> countRanges_;
  std::vector<std::string> rangeCrossings_;
  std::vector<uint8_t> stack_;           // the stack's bytes, kStackBottom up to kStackTop
  uint64_t stackStores_ = 0;             // guest stores served by the stack's callbacks
  // The delivered record while its report's handlers run: [start, declaredEnd)
  // is the record as its header declares it, [objectsStart, blockEnd) and
  // everything from pointedFrom on what the record points at; the rest of the
  // report area is not the record.
  struct RecordWatch {
    bool active = false;
    uint32_t start = 0, declaredEnd = 0, objectsStart = 0, blockEnd = 0;
    uint32_t pointedFrom = 0;  // the lowest address in or behind the record that one of its words points at
    uint32_t caller = 0;       // the caller GUID's address: its 16 bytes are the caller's, wherever they lie
    uint16_t size = 0;  // the header's Size
  };
  RecordWatch watch_;
  uint64_t callsSinceFlush_ = 0;
  uint64_t translationFlushInterval_ = kTranslationFlushInterval;
  uint64_t translationFlushes_ = 0;
  std::vector<Fault> faults_;
  uint64_t faultsNotListed_ = 0;
  std::optional<Halt> halt_;

  // State of the call in progress.
  std::string during_;
  uint32_t lastEip_ = 0;  // start of the basic block being executed
  uint32_t minEsp_ = 0;
  uint64_t instructions_ = 0;
  uint64_t rangeInstructions_ = 0;
  uint64_t ioAccesses_ = 0, mmioAccesses_ = 0;
  std::vector<std::pair<uint16_t, uint64_t>> portRuns_;  // port 0x80 writes of the call, as runs
  uint64_t portWrites_ = 0;
  bool portRunsFull_ = false;  // kPortRunsKept runs kept: later writes are only counted
  bool blinkAllowed_ = false;  // the call handles an unrecoverable error: it may blink for ever
  bool returned_ = false;      // the call came back to the return thunk
  uint32_t strayWrites_ = 0;   // writes outside the allowed places in this call
  bool readPastReported_ = false;  // this call's first read past the record is in the faults
  std::string stopReason_;
  bool serviceFault_ = false;
};

}  // namespace emu

#endif
