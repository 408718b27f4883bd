// The PEI core's side of the emulated machine: the services table whose
// entries point into a page of host thunks, the services pointer in the word
// below the IDT, the report-status-code handler PPI and its descriptor, and
// the HOB list, all in temporary RAM. A call into the page runs the service
// of that slot: sim::PeiBehaviour decides what it answers and stores, and
// the thunk carries that out in guest memory (cdecl arguments from the
// guest stack, the result in EAX, back to the caller).
#ifndef STATUSSINK_EMU_PEITHUNKS_H
#define STATUSSINK_EMU_PEITHUNKS_H

#include <cstdint>

#include "emu/Cpu.h"
#include "emu/FaultWatch.h"
#include "emu/GuestMemory.h"
#include "sim/PeiBehaviour.h"

namespace emu {

class PeiThunks {
 public:
  // Writes the services table, the handler PPI and the HOB list.
  PeiThunks(Cpu& cpu, GuestMemory& memory, FaultWatch& watch, sim::PeiBehaviour& pei);
  // Execution reached `address` in the PEI core's page (not its return
  // thunk): the service whose slot starts there runs, or the call is
  // stopped as a wild jump into the PEI core's code.
  void Service(uint32_t address);

 private:
  uint32_t Arg(int n) const;
  void Return(uint32_t eax);
  bool TryWrite32(uint32_t address, uint32_t value, const char* service);
  void CopyMem();
  // Copies the HOB at `offset` of `length` bytes and the end-of-list HOB after it into guest memory.
  void SyncHobs(uint32_t offset, uint32_t length);

  Cpu& cpu_;
  GuestMemory& memory_;
  FaultWatch& watch_;
  sim::PeiBehaviour& pei_;
};

}  // namespace emu

#endif
