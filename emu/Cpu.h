// The machine's processor: a Unicorn x86 CPU in flat 32-bit protected mode,
// and the state of the call it runs, which every part of the machine reports
// against: what the call serves, the basic block it is in, and why it was
// stopped.
#ifndef STATUSSINK_EMU_CPU_H
#define STATUSSINK_EMU_CPU_H

#include <cstdint>
#include <memory>
#include <string>

#include <unicorn/unicorn.h>

namespace emu {

// Throws std::runtime_error naming what was being done when Unicorn refuses.
void Check(uc_err err, const std::string& what);

class Cpu {
 public:
  Cpu();
  uc_engine* Engine() const { return uc_.get(); }
  uint32_t Read(int reg) const;
  void Write(int reg, uint32_t value);
  // Flat 32-bit protected mode, paging off: the GDT at `gdt` (kFlatGdt,
  // written there by the caller: a 4 GiB code and a 4 GiB data segment) and
  // the IDT register.
  static const uint64_t kFlatGdt[3];
  void EnterFlatMode(uint32_t gdt, uint32_t idtBase, uint16_t idtLimit);

  // The call in progress.
  struct Call {
    std::string during;         // "entry", "report 3, handler 1"
    uint32_t blockStart = 0;    // start of the basic block being executed
    std::string stopReason;     // empty while the call runs
  };
  Call call;
  // Ends the call at once for `reason`, whatever stopped it before.
  void Stop(std::string reason) {
    call.stopReason = std::move(reason);
    uc_emu_stop(Engine());
  }
  // Ends the call for `reason` unless something stopped it already.
  void StopUnlessStopped(const char* reason) {
    if (call.stopReason.empty()) Stop(reason);
  }

 private:
  std::unique_ptr<uc_struct, void (*)(uc_struct*)> uc_;
};

}  // namespace emu

#endif
