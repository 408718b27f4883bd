// The emulated machine's physical memory: one table of the regions the
// machine keeps itself (the flash the image runs from, temporary RAM, the
// stack, the PEI core's code page), mapped once from that table, and the bus
// in every gap between them up to 4 GiB, where a device answers or the bus
// floats (reads all ones, writes lost and reported).
//
// Temporary RAM, the stack included, is RAM the machine keeps itself,
// reached through device-style callbacks: Unicorn 2.0.1 allocates and frees
// a tree on every guest store to its own RAM, and nearly every store of a
// handler call goes to the stack. The callbacks see every access: each
// stack store's address for the deepest stack use, each store elsewhere for
// the fault watch's allowed places, each read of the report area for reads
// past the delivered record. So the engine has no hook on memory reads or
// writes, which would send every load and store of the image (flash reads
// too) down its slow path. Newer Unicorn versions take the same path (a device mapping is part
// of the stable API).
#ifndef STATUSSINK_EMU_GUESTMEMORY_H
#define STATUSSINK_EMU_GUESTMEMORY_H

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "emu/Cpu.h"
#include "emu/FaultWatch.h"
#include "emu/MachineLayout.h"
#include "sim/Machine.h"

namespace emu {

class GuestMemory {
 public:
  enum class Kind {
    Flash,     // the image's flash: read and execute only
    Ram,       // temporary RAM below the stack: the machine's own RAM behind callbacks
    Stack,     // the same, where the stack is
    CoreCode,  // the PEI core's page: the service thunks, read and execute only
  };
  struct Region {
    const char* label;
    uint64_t start, end;  // end excluded
    Kind kind;
  };

  // Maps the flash at `flashBase` holding `flash` (whole pages, placed
  // where CheckPlacement allows) and everything around it.
  GuestMemory(Cpu& cpu, sim::Machine& bus, FaultWatch& watch, uint32_t flashBase, const std::vector<uint8_t>& flash);
  ~GuestMemory();
  GuestMemory(const GuestMemory&) = delete;
  GuestMemory& operator=(const GuestMemory&) = delete;

  // The regions the machine keeps, in address order.
  const std::vector<Region>& Kept() const { return kept_; }
  // The kept region at `address`, or null for the bus; `bytesLeft` says how
  // far the same region, or the bus, goes on.
  const Region* At(uint32_t address, uint64_t* bytesLeft) const;
  bool InFlash(uint32_t address) const { return address - flashBase_ < flashSize_; }

  // Guest memory as the PEI core's code sees it: temporary RAM and the
  // stack from the machine's own RAM, flash through Unicorn, and everything else
  // through the bus as a load would go. Addresses wrap at 4 GiB as a 32-bit
  // processor's do.
  void Read(uint32_t address, void* bytes, uint32_t size) const;
  std::vector<uint8_t> Read(uint32_t address, uint32_t size) const;
  // Writes temporary RAM (the stack included) from the host side, false
  // anywhere else: Unicorn's own writes would go past the flash's write
  // protection.
  bool Write(uint32_t address, const void* bytes, uint32_t size);
  // The same, where the machine itself writes: throws when it fails.
  void Put(uint32_t address, const void* bytes, uint32_t size);
  void Put32(uint32_t address, uint32_t value) { Put(address, &value, 4); }
  // Temporary RAM and the stack as they are now, to be put back as a whole
  // (Emulator::Reset). The flash cannot change but by a fault, and the bus
  // keeps its own state.
  struct Contents {
    std::vector<uint8_t> ram;
    uint64_t stackStores = 0;
  };
  Contents Save() const;
  void Restore(const Contents& contents);

  // True while the flash holds `flash`.
  bool FlashHolds(const std::vector<uint8_t>& flash) const;

  // For each call: the deepest stack address, starting from `esp`, which
  // every stack store deeper than before lowers (to ESP when that is deeper
  // still), and the bus's device accesses.
  void StartCall(uint32_t esp) {
    deepest_ = esp;
    busAccesses_ = 0;
  }
  void NoteEsp(uint32_t esp) { deepest_ = std::min(deepest_, esp); }
  uint32_t Deepest() const { return deepest_; }
  uint64_t BusAccesses() const { return busAccesses_; }
  // Guest stores served by the stack's callbacks.
  uint64_t StackStores() const { return stackStores_; }

 private:
  struct BusWindow;
  void MapBus(uint64_t address, uint64_t size);
  static uint64_t OnRamRead(uc_struct* uc, uint64_t offset, unsigned size, void* self);
  static void OnRamWrite(uc_struct* uc, uint64_t offset, unsigned size, uint64_t value, void* self);
  static uint64_t OnBusRead(uc_struct* uc, uint64_t offset, unsigned size, void* window);
  static void OnBusWrite(uc_struct* uc, uint64_t offset, unsigned size, uint64_t value, void* window);
  static bool OnProtected(uc_struct* uc, uc_mem_type type, uint64_t address, int size, int64_t value, void* self);
  static bool OnUnmapped(uc_struct* uc, uc_mem_type type, uint64_t address, int size, int64_t value, void* self);

  Cpu& cpu_;
  sim::Machine& bus_;
  FaultWatch& watch_;
  uint32_t flashBase_, flashSize_;
  std::vector<Region> kept_;
  std::vector<std::unique_ptr<BusWindow>> windows_;
  std::vector<uint8_t> ram_;  // temporary RAM's bytes, the stack's last: kTempRamBase up to kStackTop
  uint64_t stackStores_ = 0;
  uint32_t deepest_ = 0;
  uint64_t busAccesses_ = 0;
};

}  // namespace emu

#endif
